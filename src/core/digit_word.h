// Eight ASCII digits at a time: the integer and float readers share this word trick.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace torvex {

// The word trick reads the first digit from the low byte, so it only holds on little-endian
// machines; elsewhere callers read digit by digit.
constexpr bool kDigitWords = std::endian::native == std::endian::little;

constexpr uint64_t kPow10Int[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};

// The number written by the eight digit values in t's bytes, first digit in the low byte:
// pairs, then fours, then all eight are combined by multiplication.
inline uint64_t eight_digit_value(uint64_t t) noexcept {
  t = t * 10 + (t >> 8);  // byte 2i: digits 2i and 2i + 1 as a number below 100
  constexpr uint64_t kLanes = 0x000000FF000000FFu;
  return ((t & kLanes) * (100 + (uint64_t{1000000} << 32)) +
          ((t >> 16) & kLanes) * (1 + (uint64_t{10000} << 32))) >>
         32;
}

// The run of ASCII digits that starts the 8 bytes at `p` (all readable): returns its length k
// (0-8) and sets *w to *w * 10^k plus the run's value. Only where kDigitWords holds.
inline unsigned append_digit_word(const char* p, uint64_t* w) noexcept {
  uint64_t t;
  std::memcpy(&t, p, 8);
  t -= 0x3030303030303030u;
  // A byte is not a digit when its value is 10 or more (below '0' it wraps high). Borrows and
  // carries only move upwards, so the lowest flagged byte is the first non-digit.
  const uint64_t other = ((t + 0x7676767676767676u) | t) & 0x8080808080808080u;
  const unsigned k = other ? static_cast<unsigned>(std::countr_zero(other)) >> 3 : 8;
  if (k == 0) return 0;
  // The run moved to the top bytes; the vacated low bytes read as leading zeros.
  *w = *w * kPow10Int[k] + eight_digit_value(t << (8 * (8 - k)));
  return k;
}

}  // namespace torvex
