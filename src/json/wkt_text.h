// Text forms of the time and field-mask well-known types in JSON: pure conversions on native
// strings, so they can be tested without an interpreter.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/memory.h"

namespace torvex::wkt_text {

// The standard's limits.
inline constexpr int64_t kTimestampMinSeconds = -62135596800;  // 0001-01-01T00:00:00Z
inline constexpr int64_t kTimestampMaxSeconds = 253402300799;  // 9999-12-31T23:59:59Z
inline constexpr int64_t kDurationMaxSeconds = 315576000000;   // 10000 years
inline constexpr int32_t kMaxNanos = 999999999;

enum class TextResult { Ok, Invalid, OutOfRange };

// RFC 3339 in UTC with 0, 3, 6 or 9 fraction digits. The caller has checked the ranges.
void format_timestamp(int64_t seconds, int32_t nanos, RString* out);
// Invalid for any malformed text, OutOfRange for a well-formed one outside the limits.
TextResult parse_timestamp(std::string_view text, int64_t* seconds, int32_t* nanos);

// "<seconds>[.fraction]s", "-" first for negative durations. The caller has checked the ranges
// and the signs.
void format_duration(int64_t seconds, int32_t nanos, RString* out);
// Ok or Invalid (out-of-range durations are invalid text too).
TextResult parse_duration(std::string_view text, int64_t* seconds, int32_t* nanos);

// Appends the lowerCamelCase form of a snake_case path; false when the path is not one that
// converts back to itself ("*" is kept as is).
bool field_mask_path_to_json(std::string_view path, RString* out);
// Appends the snake_case form of a lowerCamelCase path.
void field_mask_path_from_json(std::string_view path, RString* out);

}  // namespace torvex::wkt_text
