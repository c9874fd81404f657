// Binary decoding into message instances (merge semantics).
#pragma once

#include <Python.h>

#include "binary/wire.h"
#include "schema/descriptor.h"

namespace torvex {

// Merges the encoding in data[0..n) into `msg` (whose schema is `m`), starting at depth 0.
bool parse_into(const MessageMarshaler* m, PyObject* msg, const uint8_t* data, size_t n,
                bool ignore_unknown_fields) noexcept;

// Merges the whole view into `msg` at nesting `depth`.
bool decode_message(const MessageMarshaler* m, PyObject* msg, InputView& view,
                    bool ignore_unknown_fields, uint32_t depth) noexcept;

}  // namespace torvex
