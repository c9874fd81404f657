// Tests on field values that are plain builtins, shared by the binary and JSON writers: they
// decide, without running Python code, whether a value may stay borrowed and whether implicit
// presence skips it. Header-inline: the writers' per-type loops inline them.
#pragma once

#include <Python.h>

#include <bit>
#include <cstdint>

#include "schema_types.h"

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

}  // namespace torvex
