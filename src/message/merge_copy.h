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
//
// The copy is a tree: a message reached twice inside `self` is copied twice, and `memo` is
// neither read nor filled for messages copied here (copy.deepcopy records `self` itself). A
// sub-message whose class overrides __deepcopy__ is copied by that method, given `memo` (a
// dict of this copy's own when `memo` is None).
PyObject* deep_copy(const MessageMarshaler* m, PyObject* self, PyObject* memo) noexcept;

// _merge_from: merges `source` (any NativeMessage; its class is checked here) into `dst`,
// whose marshaler is `m`. Stops where an error occurs, keeping what was merged so far.
bool merge_message(const MessageMarshaler* m, PyObject* dst, PyObject* source,
                   bool ignore_unknown_fields) noexcept;

}  // namespace torvex
