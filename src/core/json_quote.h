// JSON string quoting, below every layer that writes JSON text: the sink quotes values with it,
// and intake builds each field's quoted member keys with it once, ahead of any encoding.
#pragma once

#include <Python.h>

#include <cstddef>

#include "core/memory.h"

namespace torvex {

// The character after the backslash for bytes with a short escape; 'u' for the other control
// characters; 0 for bytes copied as they are.
struct JsonEscapeTable {
  char c[256];
};
inline constexpr JsonEscapeTable kJsonEscape = [] {
  JsonEscapeTable t{};
  for (int i = 0; i < 0x20; ++i) t.c[i] = 'u';
  // (character, letter of its short escape) pairs.
  constexpr char kShort[] = "\bb\tt\nn\ff\rr\"\"\\\\";
  for (int i = 0; kShort[i]; i += 2) t.c[static_cast<unsigned char>(kShort[i])] = kShort[i + 1];
  return t;
}();

// Index of the first byte of s[0 .. n) that a JSON string must escape (below 0x20, the double
// quote or the backslash), or n when there is none.
size_t json_escape_scan(const char* s, size_t n) noexcept;

// Appends the JSON string of the UTF-8 text s[0 .. n), quotes included.
void json_quote(const char* s, size_t n, RString* out) noexcept;

// Zero bytes after the text of a member prefix, so that writers copy it in whole 16-byte blocks.
inline constexpr size_t kMemberPrefixPad = 15;

// The text a member key contributes after an earlier member: a comma, the JSON string of `name`
// (a str) and ":", then kMemberPrefixPad bytes of padding (not part of the text). Clears *ascii
// when the text is not plain ASCII. False with an error (no UTF-8 form).
bool json_member_prefix(PyObject* name, RString* out, bool* ascii) noexcept;

}  // namespace torvex
