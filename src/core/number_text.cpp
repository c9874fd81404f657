#include "core/number_text.h"

#include <bit>
#include <cmath>
#include <cstring>

#include "core/double_text.h"
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

}  // namespace

// Two digits per division, written from the end once the length is known.
size_t format_uint64(uint64_t v, char* out) noexcept {
  const auto n = static_cast<size_t>(decimal_length(v));
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

char* double_text_detail::put_exponent(char* p, int exp) noexcept {
  *p++ = 'e';
  *p++ = exp < 0 ? '-' : '+';
  if (exp < 0) exp = -exp;
  if (exp >= 100) {
    *p++ = static_cast<char>('0' + exp / 100);
    exp %= 100;
  }
  std::memcpy(p, kDigitPairs.c + 2 * exp, 2);
  return p + 2;
}

size_t format_double(double x, char* out) noexcept { return write_double(x, out); }

}  // namespace torvex
