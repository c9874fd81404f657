#include "core/number_text.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace torvex {

namespace {

constexpr auto kDigitPairs = [] {
  struct Table {
    char c[200];
  } t{};
  for (int i = 0; i < 100; ++i) {
    t.c[2 * i] = static_cast<char>('0' + i / 10);
    t.c[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return t;
}();

inline size_t digit_count(uint64_t v) noexcept {
  size_t n = 1;
  for (;;) {
    if (v < 10) return n;
    if (v < 100) return n + 1;
    if (v < 1000) return n + 2;
    if (v < 10000) return n + 3;
    v /= 10000;
    n += 4;
  }
}

}  // namespace

// Two digits per division, written from the end once the length is known.
size_t format_uint64(uint64_t v, char* out) noexcept {
  size_t n = digit_count(v);
  char* p = out + n;
  while (v >= 100) {
    uint64_t q = v / 100;
    p -= 2;
    std::memcpy(p, kDigitPairs.c + 2 * (v - q * 100), 2);
    v = q;
  }
  if (v >= 10) {
    std::memcpy(p - 2, kDigitPairs.c + 2 * v, 2);
  } else {
    p[-1] = static_cast<char>('0' + v);
  }
  return n;
}

size_t format_int64(int64_t v, char* out) noexcept {
  if (v >= 0) return format_uint64(static_cast<uint64_t>(v), out);
  *out = '-';
  return 1 + format_uint64(0 - static_cast<uint64_t>(v), out + 1);
}

// std::to_chars with a fixed or scientific format and no precision yields the shortest digits
// that read back to x, which are the digits repr() uses; repr() switches to exponent notation
// outside [1e-4, 1e16) and then writes the exponent with a sign and at least two digits, as
// to_chars does.
size_t format_double(double x, char* out) noexcept {
  if (x == 0) {
    if (std::signbit(x)) {
      std::memcpy(out, "-0.0", 4);
      return 4;
    }
    std::memcpy(out, "0.0", 3);
    return 3;
  }
  char sci[kNumberScratch];
  char* sci_end = std::to_chars(sci, sci + sizeof(sci), x, std::chars_format::scientific).ptr;
  double ax = std::fabs(x);
  if (!(ax >= 1e-4 && ax < 1e16)) {
    std::memcpy(out, sci, static_cast<size_t>(sci_end - sci));
    return static_cast<size_t>(sci_end - sci);
  }
  // Plain notation from the scientific text "[-]d[.ddd]e(+|-)XX": the library's own
  // fixed-format shortest path is several times slower than its scientific one.
  const char* s = sci;
  char* p = out;
  if (*s == '-') *p++ = *s++;
  const char lead = *s++;
  const char* frac = s;
  size_t nfrac = 0;
  if (*s == '.') {
    frac = ++s;
    while (*s != 'e') ++s;
    nfrac = static_cast<size_t>(s - frac);
  }
  const bool negative_exp = s[1] == '-';
  int exp = 0;
  for (const char* d = s + 2; d < sci_end; ++d) exp = exp * 10 + (*d - '0');
  if (negative_exp) {
    // 1e-4 <= |x| < 1: "0." then exp - 1 zeros, then the digits.
    *p++ = '0';
    *p++ = '.';
    for (int i = 1; i < exp; ++i) *p++ = '0';
    *p++ = lead;
    std::memcpy(p, frac, nfrac);
    p += nfrac;
  } else {
    *p++ = lead;
    size_t whole = static_cast<size_t>(exp);  // digits after the lead one before the point
    if (nfrac <= whole) {
      std::memcpy(p, frac, nfrac);
      p += nfrac;
      for (size_t i = nfrac; i < whole; ++i) *p++ = '0';
      *p++ = '.';
      *p++ = '0';
    } else {
      std::memcpy(p, frac, whole);
      p += whole;
      *p++ = '.';
      std::memcpy(p, frac + whole, nfrac - whole);
      p += nfrac - whole;
    }
  }
  return static_cast<size_t>(p - out);
}

}  // namespace torvex
