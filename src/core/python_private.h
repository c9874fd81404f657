// The interpreter's private API that the extension uses, each call in one place here, with the
// versions it was checked on. Nothing else in src/ names a private (_Py) function.
#pragma once

#include <Python.h>

// The header of a statically allocated object that is immortal, so that counting it never frees
// it. From 3.13 on PyObject_HEAD_INIT gives that; 3.12 gives a count of 1 outside the
// interpreter's core and is spelled out (checked on 3.12.1).
#if PY_VERSION_HEX < 0x030D0000
#define TORVEX_IMMORTAL_HEAD_INIT(type) {{_Py_IMMORTAL_REFCNT}, (type)},
#else
#define TORVEX_IMMORTAL_HEAD_INIT(type) PyObject_HEAD_INIT(type)
#endif

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

}  // namespace torvex
