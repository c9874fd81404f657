// The text format writer: message instances to the human-readable protobuf text, as
// text_format's printer writes it.
#pragma once

#include <Python.h>

#include <cstddef>

#include "schema/descriptor.h"

namespace torvex {

// Options of one to_text call, unchanged through the walk.
struct TextWriteOptions {
  PyObject* registry = nullptr;  // borrowed; null for registry=None (no extensions, no Any)
  bool one_line = false;         // fields separated by single spaces instead of lines
  bool print_unknown = false;    // unknown fields by number
};

// to_text: the document as a new str, or nullptr with an error.
PyObject* message_to_text(const MessageMarshaler* m, PyObject* msg,
                          const TextWriteOptions& opts) noexcept;

// Writes a float field's value (a double holding a float32) as the text format does: the
// fewest digits, six at least, that read back to the same float32, in repr() form. Finite
// values only; `out` must hold 32 bytes. Returns the length.
size_t format_float32(float f, char* out) noexcept;

}  // namespace torvex
