// Limits every codec shares, kept apart so that the lowest layers can name them.
#pragma once

#include <cmath>
#include <cstdint>

namespace torvex {

// Nesting limit shared by all codecs; the message a call starts with is at depth 0.
constexpr uint32_t MAX_RECURSION_DEPTH = 100;

// A finite value fits a float field when it rounds to a finite float32: every magnitude below
// 2^128 * (1 - 2^-25), halfway between FLT_MAX and 2^128. The text other runtimes write for
// FLT_MAX (3.4028235e38) is a little above FLT_MAX as a double, and must be accepted.
constexpr double kFloat32Limit = 0x1.ffffffp127;
inline bool fits_float32(double d) noexcept { return !(std::fabs(d) >= kFloat32Limit); }

}  // namespace torvex
