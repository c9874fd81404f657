// Equality helpers shared by the classes that define ==.
#pragma once

#include <Python.h>

#include "core/ref.h"

namespace torvex {

// The truth of `a == b` through the full protocol (no identity shortcut, so NaN != NaN as in
// plain Python): 1, 0, or -1 with an error.
inline int equal_truth(PyObject* a, PyObject* b) noexcept {
  Ref r(PyObject_RichCompare(a, b, Py_EQ));
  return r ? PyObject_IsTrue(r.get()) : -1;
}

// `!=` as the negation of `self == other`, evaluated through the full comparison protocol.
inline PyObject* not_equal_via_eq(PyObject* self, PyObject* other) noexcept {
  int t = equal_truth(self, other);
  if (t < 0) return nullptr;
  return PyBool_FromLong(!t);
}

}  // namespace torvex
