// Binary encoding of message instances.
#pragma once

#include <Python.h>

#include "schema/descriptor.h"

namespace torvex {

// to_binary: the whole encoding of `msg` as a new bytes object, or nullptr with an error.
// `deterministic` writes map entries in ascending key order, at every level.
PyObject* serialize_message(const MessageMarshaler* m, PyObject* msg, bool write_unknown_fields,
                            bool deterministic = false) noexcept;

// byte_size: the length to_binary would return, from the same walk without the bytes; false
// with the same error to_binary would raise.
bool message_byte_size(const MessageMarshaler* m, PyObject* msg, bool write_unknown_fields,
                       size_t* size) noexcept;

}  // namespace torvex
