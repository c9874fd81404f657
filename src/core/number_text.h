// Numbers as text, for the JSON and text-format writers: Python's repr() of a double and the
// decimal digits of 64-bit integers, written into a caller's scratch buffer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace torvex {

// Room that format_double and format_int64 need at most.
inline constexpr size_t kNumberScratch = 48;

// Writes the text Python's repr() gives for the finite double x (plain notation with ".0" for
// 0 and 1e-4 <= |x| < 1e16, shortest round-trip digits, exponent notation otherwise). Returns
// the length; `out` must hold kNumberScratch bytes.
size_t format_double(double x, char* out) noexcept;

// Decimal digits of v with a leading "-" for negatives; `out` must hold 20 bytes.
size_t format_int64(int64_t v, char* out) noexcept;
size_t format_uint64(uint64_t v, char* out) noexcept;

}  // namespace torvex
