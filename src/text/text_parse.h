// The text format parser: the human-readable protobuf text into message instances, with merge
// semantics (a singular field given twice keeps the last value, sub-messages merge, lists grow).
#pragma once

#include <Python.h>

#include <cstddef>

#include "schema/descriptor.h"

namespace torvex {

// Passed unchanged through a whole parse.
struct TextReadOptions {
  PyObject* registry = nullptr;       // borrowed; null for registry=None (no extensions, no Any)
  bool allow_unknown_fields = false;  // skip fields and extensions the schema does not know
};

// Parses data[0..n) into `msg`, a message of schema `m`. Errors: ValueError "<line>:<column>:
// <what>", RecursionError beyond the nesting limit, and whatever Python code the parse calls
// raises (enum classes, the registry).
bool parse_text(const MessageMarshaler* m, PyObject* msg, const char* data, size_t n,
                const TextReadOptions& opts) noexcept;

}  // namespace torvex
