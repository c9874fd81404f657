// The full 128-bit product of two 64-bit integers, for the float formatter and parser.
#pragma once

#include <cstdint>

#if defined(_MSC_VER) && !defined(__clang__) && defined(_M_X64)
#include <intrin.h>
#endif

namespace torvex {

struct U128 {
  uint64_t hi;
  uint64_t lo;
};

inline U128 mul_64x64(uint64_t a, uint64_t b) noexcept {
#if defined(__SIZEOF_INT128__)
  const unsigned __int128 p = static_cast<unsigned __int128>(a) * b;
  return {static_cast<uint64_t>(p >> 64), static_cast<uint64_t>(p)};
#elif defined(_MSC_VER) && defined(_M_X64)
  uint64_t hi;
  const uint64_t lo = _umul128(a, b, &hi);
  return {hi, lo};
#else
  // Schoolbook on 32-bit halves; the middle sums cannot overflow 64 bits.
  const uint64_t a0 = a & 0xFFFFFFFFu, a1 = a >> 32, b0 = b & 0xFFFFFFFFu, b1 = b >> 32;
  const uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
  const uint64_t mid = (p00 >> 32) + (p01 & 0xFFFFFFFFu) + (p10 & 0xFFFFFFFFu);
  return {p11 + (p01 >> 32) + (p10 >> 32) + (mid >> 32), (mid << 32) | (p00 & 0xFFFFFFFFu)};
#endif
}

}  // namespace torvex
