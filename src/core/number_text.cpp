#include "core/number_text.h"

#include <cmath>
#include <cstring>

#include "core/float_format.h"

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

// repr() switches to exponent notation when the decimal point would sit more than 16 places
// right of the first digit or more than 4 places left of it (|x| >= 1e16 or |x| < 1e-4), and
// writes the exponent with a sign and at least two digits.
size_t format_double(double x, char* out) noexcept {
  char* p = out;
  if (std::signbit(x)) *p++ = '-';
  if (x == 0) {
    std::memcpy(p, "0.0", 3);
    return static_cast<size_t>(p + 3 - out);
  }
  const ShortestDecimal d = shortest_decimal(std::fabs(x));
  // The digits go straight to where most layouts want them and are moved at most once.
  const int n = static_cast<int>(digit_count(d.digits));
  const int point = d.exponent + n;  // position of the decimal point after the first digit
  if (point > -4 && point <= 16) {
    if (point <= 0) {
      std::memcpy(p, "0.000", 2 - point);
      p += 2 - point;
      return static_cast<size_t>(p + format_uint64(d.digits, p) - out);
    }
    format_uint64(d.digits, p);
    if (point >= n) {
      p += n;
      std::memset(p, '0', static_cast<size_t>(point - n));
      p += point - n;
      std::memcpy(p, ".0", 2);
      return static_cast<size_t>(p + 2 - out);
    }
    std::memmove(p + point + 1, p + point, static_cast<size_t>(n - point));
    p[point] = '.';
    return static_cast<size_t>(p + n + 1 - out);
  }
  format_uint64(d.digits, p + 1);
  p[0] = p[1];
  if (n > 1) {
    p[1] = '.';
    p += n + 1;
  } else {
    p += 1;
  }
  *p++ = 'e';
  int exp = point - 1;
  *p++ = exp < 0 ? '-' : '+';
  if (exp < 0) exp = -exp;
  if (exp >= 100) {
    *p++ = static_cast<char>('0' + exp / 100);
    exp %= 100;
  }
  std::memcpy(p, kDigitPairs.c + 2 * exp, 2);
  return static_cast<size_t>(p + 2 - out);
}

}  // namespace torvex
