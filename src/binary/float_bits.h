// A float32 field's bits and the double a Python float holds for it, both ways. NaNs convert by
// their bits: the hardware conversions quiet a signalling NaN, so a value read from the wire and
// written back unchanged would come out different.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

namespace torvex {

inline double double_from_float_bits(uint32_t u) noexcept {
  if ((u & 0x7FFFFFFFu) > 0x7F800000u) [[unlikely]] {
    return std::bit_cast<double>((uint64_t{u & 0x80000000u} << 32) | 0x7FF0000000000000ull |
                                 (uint64_t{u & 0x007FFFFFu} << 29));
  }
  return static_cast<double>(std::bit_cast<float>(u));
}

// False when a finite `d` is beyond the float range (the caller raises).
inline bool float_bits_from_double(double d, uint32_t* out) noexcept {
  if (std::isnan(d)) [[unlikely]] {
    uint64_t b = std::bit_cast<uint64_t>(d);
    uint32_t payload = static_cast<uint32_t>(b >> 29) & 0x007FFFFFu;
    // A payload only in the bits a float cannot hold: still a NaN, the quiet one.
    *out = (static_cast<uint32_t>(b >> 32) & 0x80000000u) | 0x7F800000u |
           (payload ? payload : 0x00400000u);
    return true;
  }
  float x = static_cast<float>(d);
  if (std::isinf(x) && !std::isinf(d)) return false;
  *out = std::bit_cast<uint32_t>(x);
  return true;
}

}  // namespace torvex
