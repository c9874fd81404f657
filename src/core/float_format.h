// The shortest decimal that reads back to a double, by the Schubfach method: scale the value and
// the two ends of its rounding interval by one 128-bit power of ten, then choose between at most
// four candidates. No loop over digits and no big integers.
#pragma once

#include <cstdint>

namespace torvex {

// digits * 10^exponent, with no trailing zeros in digits (at most 17 of them).
struct ShortestDecimal {
  uint64_t digits;
  int exponent;
};

// For a finite x > 0. Among the shortest decimals that read back to x, the one nearest x; an
// exact tie goes to the even digit string. These are the digits repr() shows.
ShortestDecimal shortest_decimal(double x) noexcept;

}  // namespace torvex
