#include "core/float_parse.h"

#include <bit>
#include <cmath>
#include <cstdint>

#include "core/pow10_table.h"
#include "core/wide_mul.h"

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

}  // namespace

bool fast_decimal_to_double(const char* s, size_t n, double* out) noexcept {
  const char* p = s;
  const char* const end = s + n;
  const bool negative = p < end && *p == '-';
  p += negative;
  // The first 19 significant digits in w; later ones only move the exponent (integer part)
  // or mark the value as truncated.
  uint64_t w = 0;
  int significant = 0;
  int64_t exponent = 0;
  bool truncated = false;
  bool any_digit = false;
  for (bool fraction = false;; fraction = true) {
    for (; p < end && is_digit(*p); ++p) {
      any_digit = true;
      const unsigned d = static_cast<unsigned>(*p - '0');
      if (significant < 19) {
        w = w * 10 + d;
        significant += w != 0;
        exponent -= fraction;
      } else {
        truncated |= d != 0;
        exponent += !fraction;
      }
    }
    if (fraction || p == end || *p != '.') break;
    ++p;
  }
  if (!any_digit) return false;
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    const bool negative_exp = p < end && *p == '-';
    p += p < end && (*p == '-' || *p == '+');
    if (p == end || !is_digit(*p)) return false;
    int64_t e = 0;
    // Clamped: beyond a million the result is 0 or infinity either way.
    for (; p < end && is_digit(*p); ++p) e = e < 1000000 ? e * 10 + (*p - '0') : e;
    exponent += negative_exp ? -e : e;
  }
  if (p != end) return false;

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
    if (!eisel_lemire(w, q, &d)) return false;
    // The dropped digits put the value between w and w + 1 units: settled if both ends agree.
    double up;
    if (truncated && (!eisel_lemire(w + 1, q, &up) || up != d)) return false;
  }
  *out = negative ? -d : d;
  return true;
}

}  // namespace torvex
