#include "core/float_parse.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "core/digit_word.h"
#include "core/portable.h"
#include "core/pow10_table.h"

namespace torvex {

namespace {

constexpr double kExactPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                  1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                  1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

inline bool is_digit(char c) noexcept { return static_cast<unsigned char>(c - '0') < 10; }

// w * 10^q correctly rounded, for w != 0; false when the product leaves too little margin
// to decide the rounding or the result is subnormal or infinite.
bool eisel_lemire(uint64_t w, int q, double* out) noexcept {
  if (q < pow10::kMinExp) {
    // Below 2^64 * 10^-343, under half the smallest subnormal.
    *out = 0;
    return true;
  }
  if (q > 308) {
    *out = HUGE_VAL;
    return true;
  }
  const int lz = std::countl_zero(w);
  w <<= lz;
  const uint64_t* t = pow10::kMantissa[q - pow10::kMinExp];
  // The top 64 bits of w * 10^q with the mantissa's 54 bits at their top. The product with the
  // high half of 10^q is short of the true one by less than one unit of hi; only when hi's low
  // nine bits are all ones could that reach the kept bits, and then the low half is added.
  U128 p = mul_64x64(w, t[0]);
  if ((p.hi & 0x1FF) == 0x1FF) {
    const U128 p2 = mul_64x64(w, t[1]);
    const uint64_t lo = p.lo + p2.hi;
    p.hi += lo < p.lo;
    p.lo = lo;
    // Still short by up to two units of lo (the truncated table and the dropped low word).
    if ((p.hi & 0x1FF) == 0x1FF && p.lo >= UINT64_MAX - 1) return false;
  }
  const int upper = static_cast<int>(p.hi >> 63);
  uint64_t mantissa = p.hi >> (upper + 9);
  // Exactly halfway in the computed bits: the true value may be the tie itself (to even) or a
  // hair above it (up), and these bits cannot tell which.
  if (p.lo == 0 && (p.hi & 0x1FF) == 0 && (mantissa & 3) == 1) return false;
  int biased = ((q * 1741647) >> 19) + upper - lz + 1086;
  mantissa = (mantissa + (mantissa & 1)) >> 1;
  if (mantissa >> 53) {
    mantissa >>= 1;
    ++biased;
  }
  if (biased <= 0 || biased >= 0x7FF) return false;
  const uint64_t bits =
      static_cast<uint64_t>(biased) << 52 | (mantissa & ((uint64_t{1} << 52) - 1));
  *out = std::bit_cast<double>(bits);
  return true;
}

// Digits from p while they last, appended to *w (which may wrap past 19 digits: the caller
// counts and takes the slow path then). Eight bytes at a time where eight are left: the run of
// digits at their start is found from a per-byte test, shifted to the top (the vacated low
// bytes read as leading zeros) and converted at once.
inline const char* scan_digits(const char* p, const char* end, uint64_t* w) noexcept {
  if constexpr (kDigitWords) {
    while (end - p >= 8) {
      const unsigned k = append_digit_word(p, w);
      p += k;
      if (k < 8) return p;
    }
  }
  while (p < end && is_digit(*p)) *w = *w * 10 + static_cast<unsigned>(*p++ - '0');
  return p;
}

// More than 19 digits: the first 19 significant ones (leading zeros do not count), the
// decimal exponent of the last one kept, and whether a nonzero digit was dropped.
void significant_digits(const char* p, const char* end, uint64_t* w, int64_t* exponent,
                        bool* truncated) noexcept {
  int significant = 0;
  *w = 0;
  *exponent = 0;
  *truncated = false;
  for (bool fraction = false; p < end; ++p) {
    if (*p == '.') {
      fraction = true;
      continue;
    }
    const unsigned d = static_cast<unsigned>(*p - '0');
    if (significant < 19) {
      *w = *w * 10 + d;
      significant += *w != 0;
      *exponent -= fraction;
    } else {
      *truncated |= d != 0;
      *exponent += !fraction;
    }
  }
}

}  // namespace

namespace {

// The number at s, ended by `end` or by the first character that cannot continue it. With
// kJson the mantissa must also be JSON's: integer digits without a superfluous leading zero, and
// digits after a point. Returns the end of the number, or nullptr (out untouched) when the text
// does not start with such a number or the fast methods cannot decide its value.
template <bool kJson>
const char* parse_decimal(const char* s, const char* end, double* out) noexcept {
  const char* p = s;
  const bool negative = p < end && *p == '-';
  p += negative;
  const char* const mantissa = p;
  uint64_t w = 0;
  p = scan_digits(p, end, &w);
  int64_t digits = p - mantissa;
  if constexpr (kJson) {
    if (digits == 0 || (*mantissa == '0' && digits > 1)) return nullptr;
  }
  int64_t exponent = 0;
  if (p < end && *p == '.') {
    const char* fraction = ++p;
    p = scan_digits(p, end, &w);
    if (kJson && p == fraction) return nullptr;
    exponent = fraction - p;
    digits += p - fraction;
  }
  if (digits == 0) return nullptr;
  bool truncated = false;
  if (digits > 19) significant_digits(mantissa, p, &w, &exponent, &truncated);
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    const bool negative_exp = p < end && *p == '-';
    p += p < end && (*p == '-' || *p == '+');
    if (p == end || !is_digit(*p)) return nullptr;
    int64_t e = 0;
    // Clamped: beyond a million the result is 0 or infinity either way.
    for (; p < end && is_digit(*p); ++p) e = e < 1000000 ? e * 10 + (*p - '0') : e;
    exponent += negative_exp ? -e : e;
  }

  double d;
  if (w == 0) {
    d = 0;
  } else if (!truncated && w <= (uint64_t{1} << 53) && exponent >= -22 && exponent <= 22) {
    // Both operands are exact doubles, so the one rounding of * or / is the right one.
    d = static_cast<double>(w);
    d = exponent < 0 ? d / kExactPow10[-exponent] : d * kExactPow10[exponent];
  } else {
    const int q = exponent < -100000  ? -100000
                  : exponent > 100000 ? 100000
                                      : static_cast<int>(exponent);
    if (!eisel_lemire(w, q, &d)) return nullptr;
    // The dropped digits put the value between w and w + 1 units: settled if both ends agree.
    double up;
    if (truncated && (!eisel_lemire(w + 1, q, &up) || up != d)) return nullptr;
  }
  *out = negative ? -d : d;
  return p;
}

}  // namespace

bool fast_decimal_to_double(const char* s, size_t n, double* out) noexcept {
  double d = 0;
  if (parse_decimal<false>(s, s + n, &d) != s + n) return false;
  *out = d;
  return true;
}

const char* fast_json_number_to_double(const char* s, const char* end, double* out) noexcept {
  return parse_decimal<true>(s, end, out);
}

}  // namespace torvex
