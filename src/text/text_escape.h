// Quoting of string and bytes values in the text format, both ways. Pure byte work: nothing here
// touches the interpreter, so the C++ unit tests cover it directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/memory.h"

namespace torvex {

// Appends s[0..n) escaped as the text format writes it between its double quotes: \n, \r, \t,
// \", \', \\ by name, other control bytes and 0x7f as three octal digits. `bytes`: also every
// byte from 0x80 up (a string field's UTF-8 stays as it is).
void escape_text(const char* s, size_t n, bool bytes, RString& out);

enum class UnescapeStatus : uint8_t {
  Ok,
  BadHex,        // \x without a hex digit
  BadCodePoint,  // \u or \U: too few hex digits, beyond U+10FFFF, or a surrogate
};

// Appends the content of one quoted literal (`body`, without its quotes) with escapes resolved:
// octal (up to three digits), \x (one or two hex digits), \u (four) and \U (eight, UTF-8
// encoded), and the single-letter escapes. An unknown escape (\\? too) keeps its backslash. On
// failure
// `*where` is the offset of the bad escape in `body`.
UnescapeStatus unescape_text(std::string_view body, RString& out, size_t* where);

}  // namespace torvex
