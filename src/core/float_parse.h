// Decimal text to the nearest double (round half to even, as float() reads it), the common
// cases in a few multiplications: exact double arithmetic when the digits and the power of ten
// are both exact doubles, else one or two 64x128-bit products with a power of ten (the
// Eisel-Lemire method).
#pragma once

#include <cstddef>

namespace torvex {

// Reads all of s[0, n) as [-]digits[.digits][(e|E)[+|-]digits] (at least one mantissa digit,
// either side of the point may be empty) into *out and returns true. Returns false, leaving
// *out alone, when the text has another form or when the result is not decided by the fast
// methods (exact halfway cases, subnormal or overflowing results, more than 19 significant
// digits that do not settle the result): the caller then converts the text the slow, exact way.
bool fast_decimal_to_double(const char* s, size_t n, double* out) noexcept;

// The same for the JSON number that starts at s (JSON's stricter mantissa: no leading zero
// before another digit, digits on both sides of a point), in a text that ends at `end` or at any
// character that cannot continue the number. Returns the end of the number, or nullptr when the
// text there is not a valid JSON number or the value is not decided; the caller's own scanner
// then reports the error or converts the slow way.
const char* fast_json_number_to_double(const char* s, const char* end, double* out) noexcept;

}  // namespace torvex
