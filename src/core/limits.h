// Limits every codec shares, kept apart so that the lowest layers can name them.
#pragma once

#include <cstdint>

namespace torvex {

// Nesting limit shared by all codecs; the message a call starts with is at depth 0.
constexpr uint32_t MAX_RECURSION_DEPTH = 100;

}  // namespace torvex
