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

PyTypeObject* oneof_type_slow() noexcept;
extern PyTypeObject* g_oneof_type;
// Created once per process, then read without a call: every oneof read tests this type.
inline PyTypeObject* oneof_type() noexcept {
  PyTypeObject* t = g_oneof_type;
  return t ? t : oneof_type_slow();
}

inline bool is_oneof(PyObject* o) noexcept { return PyObject_TypeCheck(o, oneof_type()); }

// New Oneof holding (new references to) field and value.
PyObject* make_oneof(PyObject* field, PyObject* value) noexcept;

// Reads member `f` from the oneof attribute value `attr`: 1 with a borrowed `*value` when the
// attribute holds an Oneof naming `f`, 0 when the member is absent, -1 on error (an Oneof whose
// field is not a str).
int oneof_member(PyObject* attr, const FieldSpec& f, PyObject** value) noexcept;

// Stores a new Oneof(f's local name, value) into the oneof attribute of `msg`.
bool set_oneof_member(PyObject* msg, const FieldSpec& f, PyObject* value) noexcept;

// The member each oneof of one message holds, read once for an encoding instead of once per
// member. Filled for messages with at most kMax oneofs (`ready`).
struct OneofChoices {
  static constexpr uint32_t kMax = 4;
  bool ready = false;
  const FieldSpec* member[kMax] = {};  // by oneof position; null: the oneof holds None
  Ref holder[kMax];                    // the Oneof, keeping the member's value alive
  // The value of `f` when it is the chosen member of its oneof, else null.
  PyObject* value_of(const FieldSpec& f) const noexcept {
    uint32_t k = f.oneof_index;
    if (member[k] != &f) return nullptr;
    return reinterpret_cast<OneofObject*>(holder[k].get())->value;
  }
};

// Every oneof attribute holds None or an Oneof naming a field of the message. With `out`, also
// records what each oneof holds.
bool check_oneofs(const MessageMarshaler* m, PyObject* msg, OneofChoices* out = nullptr) noexcept;

}  // namespace torvex
