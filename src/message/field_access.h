// Field access shared by the binary and JSON codecs and by merge: which fields an encoder
// emits (select_value, required_not_set), how a decoded value is stored (store_singular), and
// the tests on plain builtin values that decide, without running Python code, whether a value
// may stay borrowed and whether implicit presence skips it. Header-inline: the codecs' per-field
// loops inline them.
#pragma once

#include <Python.h>

#include <bit>
#include <cmath>
#include <cstdint>

#include "core/errors.h"
#include "core/limits.h"
#include "core/portable.h"
#include "core/ref.h"
#include "message/instance.h"
#include "message/oneof.h"
#include "schema/descriptor.h"
#include "schema/schema_types.h"

namespace torvex {

// Ints below 2^30 in magnitude (one digit) are read inline; `v` must be an int or subclass.
inline bool compact_value(PyObject* v, Py_ssize_t* out) noexcept {
  auto* l = reinterpret_cast<PyLongObject*>(v);
  if (!PyUnstable_Long_IsCompact(l)) return false;
  *out = PyUnstable_Long_CompactValue(l);
  return true;
}

inline bool is_int(PyObject* v) noexcept { return PyLong_Check(v) && !PyBool_Check(v); }

// Whether converting `v` for type kT runs no Python code, so that it may stay borrowed.
template <ScalarType kT>
inline bool plain_scalar(PyObject* v) noexcept {
  using enum ScalarType;
  if constexpr (kT == Double || kT == Float) return PyFloat_CheckExact(v);
  if constexpr (kT == Bool) return PyBool_Check(v);
  if constexpr (kT == String) return PyUnicode_CheckExact(v);
  if constexpr (kT == Bytes) return PyBytes_CheckExact(v);
  return PyLong_CheckExact(v);
}

// Whether a value that passed plain_scalar<kT> is the zero that implicit presence skips
// (bool(v) false, or the +0.0 bit pattern for double and float).
template <ScalarType kT>
inline bool plain_zero(PyObject* v) noexcept {
  using enum ScalarType;
  if constexpr (kT == Double || kT == Float) {
    return std::bit_cast<uint64_t>(PyFloat_AS_DOUBLE(v)) == 0;
  } else if constexpr (kT == Bool) {
    return v == Py_False;
  } else if constexpr (kT == String) {
    return PyUnicode_GET_LENGTH(v) == 0;
  } else if constexpr (kT == Bytes) {
    return PyBytes_GET_SIZE(v) == 0;
  } else {
    Py_ssize_t c;
    return compact_value(v, &c) && c == 0;
  }
}

// ---- integers: one family for every codec ----------------------------------------------
// Each converts `v`, an int or subclass, exactly, or fails with the conversion's
// OverflowError, which the codecs then word for their field type.

// OverflowError "out of range integral type conversion attempted"; returns false.
TORVEX_COLD bool integral_range() noexcept;

// The platform's conversion to C long (the signed 64-bit one on the platforms we build for).
TORVEX_NOINLINE bool long_value(PyObject* v, int64_t* out) noexcept;

TORVEX_NOINLINE bool ulonglong_value(PyObject* v, uint64_t* out) noexcept;

inline bool to_i64(PyObject* v, int64_t* out) noexcept {
  Py_ssize_t c;
  if (compact_value(v, &c)) {
    *out = c;
    return true;
  }
  return long_value(v, out);
}

inline bool to_u64(PyObject* v, uint64_t* out) noexcept {
  Py_ssize_t c;
  if (compact_value(v, &c) && c >= 0) {
    *out = static_cast<uint64_t>(c);
    return true;
  }
  return ulonglong_value(v, out);
}

// For callers with another form for values beyond 64 bits: false when `v` does not fit, with no
// error set (or with one when reading it failed).
TORVEX_NOINLINE bool fitting_long_value(PyObject* v, int64_t* out) noexcept;

inline bool int64_if_fits(PyObject* v, int64_t* out) noexcept {
  Py_ssize_t c;
  if (compact_value(v, &c)) {
    *out = c;
    return true;
  }
  return fitting_long_value(v, out);
}

// 32-bit targets go through the signed 64-bit conversion, then a range check.
inline bool to_i32(PyObject* v, int32_t* out) noexcept {
  int64_t n = 0;
  if (!to_i64(v, &n)) return false;
  if (n < INT32_MIN || n > INT32_MAX) return integral_range();
  *out = static_cast<int32_t>(n);
  return true;
}

inline bool to_u32(PyObject* v, uint32_t* out) noexcept {
  int64_t n = 0;
  if (!to_i64(v, &n)) return false;
  if (n < 0 || n > UINT32_MAX) return integral_range();
  *out = static_cast<uint32_t>(n);
  return true;
}

// Ints and enum members compare through int's own ==, which the values answer.
inline bool int_equality(PyObject* v) noexcept {
  return PyLong_Check(v) && Py_TYPE(v)->tp_richcompare == PyLong_Type.tp_richcompare;
}

// Whether the int `v` equals the enum default member `dflt`: 1 equal, 0 not, -1 when only
// running == could tell (a subclass with its own ==, or a value beyond one digit).
inline int plain_enum_default(PyObject* v, PyObject* dflt) noexcept {
  if (v == dflt) return 1;
  Py_ssize_t a, b;
  if (!int_equality(v) || !int_equality(dflt) || !compact_value(v, &a) ||
      !compact_value(dflt, &b)) {
    return -1;
  }
  return a == b;
}

// ValueError "cannot encode <field> to binary: required field not set"; returns -1.
TORVEX_COLD int required_not_set(const FieldSpec& f) noexcept;

// The value singular field `f` of `msg` holds now, read through its oneof when it has one (new
// reference); Py_None when a oneof holds another member or none.
inline PyObject* current_message(const FieldSpec& f, PyObject* msg) noexcept {
  if (!f.in_oneof) return f.accessor.get(msg);
  Ref attr(f.oneof_accessor.get(msg));
  if (!attr) return nullptr;
  PyObject* value;
  int r = oneof_member(attr.get(), f, &value);
  if (r < 0) return nullptr;
  return Py_NewRef(r ? value : Py_None);
}

// Writes a decoded singular value: a oneof member replaces the whole oneof; other fields are
// assigned and, with explicit presence, marked present.
inline bool store_singular(const FieldSpec& f, PyObject* msg, PyObject* value) noexcept {
  if (f.in_oneof) [[unlikely]] {
    return set_oneof_member(msg, f, value);
  }
  if (f.accessor.set(msg, value) < 0) return false;
  return !f.has_presence || presence_mark(msg, f.number, true);
}

// A float or double field's value for the writers of text (JSON and text format): floats as
// they are, other numbers through __float__, bool refused; a finite value of a float field must
// round to a finite float32. False with the error set.
inline bool text_float_value(PyObject* v, bool single, double* d) noexcept {
  if (PyFloat_CheckExact(v)) {
    *d = PyFloat_AS_DOUBLE(v);
  } else {
    if (PyBool_Check(v)) return fail_expected("float", v);
    *d = PyFloat_AsDouble(v);
    if (*d == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
      return fail_expected("float", v);
    }
  }
  if (single && std::isfinite(*d) && !fits_float32(*d)) {
    raise_fmt(PyExc_OverflowError, "value %S out of range for float", v);
    return false;
  }
  return true;
}

// bool(v), with the builtins that hold field values answered inline.
inline int truth(PyObject* v) noexcept {
  if (v == Py_True) return 1;
  if (v == Py_False || v == Py_None) return 0;
  PyTypeObject* t = Py_TYPE(v);
  if (t == &PyLong_Type) {
    Py_ssize_t c;
    return compact_value(v, &c) ? c != 0 : 1;  // zero is always compact
  }
  if (t == &PyUnicode_Type) return PyUnicode_GET_LENGTH(v) != 0;
  if (t == &PyBytes_Type) return PyBytes_GET_SIZE(v) != 0;
  if (t == &PyList_Type) return PyList_GET_SIZE(v) != 0;
  if (t == &PyDict_Type) return PyDict_GET_SIZE(v) != 0;
  return PyObject_IsTrue(v);
}

// Implicit double/float: skipped only for +0.0, so -0.0 and NaN survive a round trip. The
// conversion is the platform's (its TypeError, not ours, for a str).
inline int double_bits_nonzero(PyObject* v) noexcept {
  double d;
  if (PyFloat_CheckExact(v)) {
    d = PyFloat_AS_DOUBLE(v);
  } else {
    d = PyFloat_AsDouble(v);
    if (d == -1.0 && PyErr_Occurred()) return -1;
  }
  return std::bit_cast<uint64_t>(d) != 0;
}

inline int differs_from_default(const EnumTable& t, PyObject* v) noexcept {
  PyObject* dflt = t.default_member.get();
  if (v == dflt) return 0;
  int eq = PyObject_RichCompareBool(v, dflt, Py_EQ);
  return eq < 0 ? -1 : !eq;
}

// The member's value when the oneof attribute holds an Oneof naming field `f`.
inline int oneof_value(PyObject* msg, const FieldSpec& f, Ref* out) noexcept {
  Ref attr(f.oneof_accessor.get(msg));
  if (!attr) return -1;
  PyObject* a = attr.get();
  if (a == Py_None || !is_oneof(a)) return 0;
  auto* o = reinterpret_cast<OneofObject*>(a);
  PyObject* value;
  if (o->field == f.local_name_obj.get()) {
    value = o->value;  // the parsers store the schema's own name object
  } else {
    int r = oneof_member(a, f, &value);
    if (r <= 0) return r;
  }
  *out = Ref::borrow(value);  // the Oneof is immutable and still held by `attr` here
  return 1;
}

// The value of field `f` to encode: 1 with a new reference in *out, 0 to skip, -1 on error
// (required_not_set among them, unless kRequiredFails is false: has_field asks about a required
// field without failing). Inline for the binary encoder's walk; select_field_value and
// field_is_set are the same out of line.
template <bool kRequiredFails = true>
TORVEX_ALWAYS_INLINE inline int select_value(PyObject* msg, const FieldSpec& f, bool emit_implicit,
                                             Ref* out) noexcept {
  if (f.in_oneof) return oneof_value(msg, f, out);
  // A container not made yet is empty: skipped without making it.
  if (!emit_implicit && f.accessor.holds_unmade(msg)) return 0;
  Ref v(f.accessor.get(msg));
  if (!v) return -1;
  const bool implicit = f.presence == Presence::Implicit;
  int r;
  switch (f.kind) {
    case ValueKind::List:
    case ValueKind::Map:
      // Containers have no presence of their own, whatever the descriptor says.
      r = emit_implicit ? 1 : truth(v.get());
      if (r < 0) return -1;
      if (r) *out = std::move(v);
      return r;
    case ValueKind::Message:
      r = v.get() != Py_None || (implicit && emit_implicit);
      break;
    case ValueKind::Scalar:
      if (!implicit) {
        r = presence_test(msg, f.number);
      } else if (emit_implicit) {
        r = 1;
      } else if (f.elem.scalar == ScalarType::Double || f.elem.scalar == ScalarType::Float) {
        r = double_bits_nonzero(v.get());
      } else {
        r = truth(v.get());
      }
      break;
    case ValueKind::Enum:
      if (!implicit) {
        r = presence_test(msg, f.number);
      } else if (emit_implicit) {
        r = 1;
      } else {
        r = differs_from_default(*f.elem.enum_table.get(), v.get());
      }
      break;
    default:
      r = 0;
      break;
  }
  if (r < 0) return -1;
  if (r == 0) return kRequiredFails && f.presence == Presence::Required ? required_not_set(f) : 0;
  *out = std::move(v);
  return 1;
}

// Whether the lazy container slots of `acc` in `a` and `b` both hold an empty container of the
// same kind, one of them not made yet: equal, without making it.
inline bool same_empty_containers(const AttributeAccessor& acc, PyObject* a, PyObject* b) noexcept {
  if (!acc.lazy) return false;
  auto kind = [&acc](PyObject* msg) -> PyObject* {
    PyObject* v = acc.stored(msg);
    if (!v || is_unmade(v)) return v;
    if (PyList_CheckExact(v) && PyList_GET_SIZE(v) == 0) return unmade_list();
    if (PyDict_CheckExact(v) && PyDict_GET_SIZE(v) == 0) return unmade_dict();
    return nullptr;
  };
  PyObject* x = kind(a);
  return x && x == kind(b) && (is_unmade(acc.stored(a)) || is_unmade(acc.stored(b)));
}

// select_value out of line, for the JSON writer (which passes its own emit_implicit) and merge.
int select_field_value(PyObject* msg, const FieldSpec& f, bool emit_implicit, Ref* out) noexcept;

// Whether the binary encoder would write field `f` of `msg`: 1, 0, -1 on error. An unset
// required field answers 0. What the Python side's has_field and repr ask.
int field_is_set(PyObject* msg, const FieldSpec& f) noexcept;

}  // namespace torvex
