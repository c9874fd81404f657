// Oneof values: an immutable (member local name, value) pair stored in a message's oneof
// attribute, plus reading, setting and validating oneof members.
#pragma once

#include <Python.h>

#include "message/instance.h"
#include "schema/descriptor.h"

namespace torvex {

struct OneofObject {
  PyObject_HEAD PyObject* field;  // the set member's local name (a str when made by the codecs)
  PyObject* value;
};

PyTypeObject* oneof_type() noexcept;  // created once per process

inline bool is_oneof(PyObject* o) noexcept { return PyObject_TypeCheck(o, oneof_type()); }

// New Oneof holding (new references to) field and value.
PyObject* make_oneof(PyObject* field, PyObject* value) noexcept;

// Reads member `f` from the oneof attribute value `attr`: 1 with a borrowed `*value` when the
// attribute holds an Oneof naming `f`, 0 when the member is absent, -1 on error (an Oneof whose
// field is not a str).
int oneof_member(PyObject* attr, const FieldSpec& f, PyObject** value) noexcept;

// Stores a new Oneof(f's local name, value) into the oneof attribute of `msg`.
bool set_oneof_member(PyObject* msg, const FieldSpec& f, PyObject* value) noexcept;

// Every oneof attribute holds None or an Oneof naming a field of the message.
bool check_oneofs(const MessageMarshaler* m, PyObject* msg) noexcept;

}  // namespace torvex
