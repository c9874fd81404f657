// Merge and copy of message instances at the object level: values move between Python objects
// through the schema's accessors, without a wire format, and are never converted.
#pragma once

#include <Python.h>

#include "schema/descriptor.h"

namespace torvex {

// __copy__: a new instance of self's class sharing every attribute value (lists, dicts,
// sub-messages, Oneofs), with the same presence and new lists of the same unknown records.
PyObject* shallow_copy(const MessageMarshaler* m, PyObject* self) noexcept;

// __deepcopy__: as shallow_copy, but messages are copied recursively and lists and dicts are
// rebuilt as exact list and dict. Nesting beyond MAX_RECURSION_DEPTH (a cycle, typically)
// raises RecursionError.
PyObject* deep_copy(const MessageMarshaler* m, PyObject* self) noexcept;

// _merge_from: merges `source` (any NativeMessage; its class is checked here) into `dst`,
// whose marshaler is `m`. Stops where an error occurs, keeping what was merged so far.
bool merge_message(const MessageMarshaler* m, PyObject* dst, PyObject* source,
                   bool ignore_unknown_fields) noexcept;

}  // namespace torvex
