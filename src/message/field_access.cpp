#include "message/field_access.h"

#include "core/errors.h"
#include "core/portable.h"

namespace torvex {

int required_not_set(const FieldSpec& f) noexcept {
  raise_fmt(PyExc_ValueError, "cannot encode %s to binary: required field not set",
            f.local_name.c_str());
  return -1;
}

int select_field_value(PyObject* msg, const FieldSpec& f, bool emit_implicit, Ref* out) noexcept {
  return select_value(msg, f, emit_implicit, out);
}

int field_is_set(PyObject* msg, const FieldSpec& f) noexcept {
  Ref unused;
  return select_value<false>(msg, f, false, &unused);
}

TORVEX_COLD bool integral_range() noexcept {
  raise_integral_range();
  return false;
}

// The platform's conversion to C long (the signed 64-bit one on the platforms we build for).
TORVEX_NOINLINE bool long_value(PyObject* v, int64_t* out) noexcept {
  if constexpr (sizeof(long) == sizeof(int64_t)) {
    long r = PyLong_AsLong(v);
    if (r == -1 && PyErr_Occurred()) return false;
    *out = r;
  } else {
    long long r = PyLong_AsLongLong(v);
    if (r == -1 && PyErr_Occurred()) return false;
    *out = r;
  }
  return true;
}

TORVEX_NOINLINE bool fitting_long_value(PyObject* v, int64_t* out) noexcept {
  int overflow = 0;
  long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
  if (overflow || (n == -1 && PyErr_Occurred())) return false;
  *out = n;
  return true;
}

TORVEX_NOINLINE bool ulonglong_value(PyObject* v, uint64_t* out) noexcept {
  if constexpr (sizeof(unsigned long) == sizeof(uint64_t)) {
    // The unsigned long conversion reads the digits directly; the long long one goes through a
    // byte-array conversion costing several times more. On any failure the long long call
    // runs again, so errors and __index__ handling stay what they were.
    if (PyLong_CheckExact(v)) {
      unsigned long r = PyLong_AsUnsignedLong(v);
      if (r != static_cast<unsigned long>(-1) || !PyErr_Occurred()) {
        *out = r;
        return true;
      }
      PyErr_Clear();
    }
  }
  unsigned long long r = PyLong_AsUnsignedLongLong(v);
  if (r == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *out = r;
  return true;
}

}  // namespace torvex
