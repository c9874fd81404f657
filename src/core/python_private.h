// The interpreter's private API that the extension uses, each call in one place here, with the
// versions it was checked on. Nothing else in src/ names a private (_Py) function.
#pragma once

#include <Python.h>

namespace torvex {

// Whether `o` is immortal (its count is never changed), for a shortcut that skips counting
// such objects. Public from 3.14 on as PyUnstable_IsImmortal; _Py_IsImmortal is the inline
// test of 3.12 and 3.13 (checked on 3.12.1 and 3.13.0). The free-threaded build keeps counts
// per thread, so callers do not take the shortcut there (see Py_GIL_DISABLED).
inline bool is_immortal(PyObject* o) noexcept {
#if PY_VERSION_HEX >= 0x030E0000
  return PyUnstable_IsImmortal(o);
#else
  return _Py_IsImmortal(o);
#endif
}

// The attribute `name` of the class `type` along its MRO, borrowed, or nullptr (never with an
// error set), answered from the interpreter's per-type cache: a dict lookup costs several times
// more. _PyType_Lookup (checked on 3.12.1 and 3.13.0); elsewhere callers look in the dict.
#if PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
#define TORVEX_HAS_TYPE_LOOKUP 1
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) noexcept {
  return _PyType_Lookup(type, name);
}
#endif

}  // namespace torvex
