// Binary encoding of message instances.
#pragma once

#include <Python.h>

#include "descriptor.h"
#include "reverse_buffer.h"

namespace torvex {

// to_binary: the whole encoding of `msg` as a new bytes object, or nullptr with an error.
PyObject* serialize_message(const MessageMarshaler* m, PyObject* msg,
                            bool write_unknown_fields) noexcept;

// Encodes `msg` (content only, no tag or length) into `buf` at nesting `depth`.
bool encode_message(const MessageMarshaler* m, PyObject* msg, ReverseBuffer& buf, uint32_t depth,
                    bool write_unknown_fields) noexcept;

// The value of field `f` to encode: 1 with a new reference in *out, 0 to skip, -1 on error.
// Shared with the JSON writer, which passes its own emit_implicit.
int select_field_value(PyObject* msg, const FieldSpec& f, bool emit_implicit, Ref* out) noexcept;

// ValueError "cannot encode <field> to binary: required field not set"; returns -1.
[[gnu::cold, gnu::noinline]] int required_not_set(const FieldSpec& f) noexcept;

}  // namespace torvex
