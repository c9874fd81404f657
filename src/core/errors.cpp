#include "core/errors.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#if defined(__GLIBC__)
#include <execinfo.h>
#include <unistd.h>
#endif

#include "core/limits.h"
#include "core/ref.h"

namespace torvex {

PyObject* internal_error_type() noexcept {
  // Created once and kept for the life of the process, like the other native classes.
  static PyObject* type = nullptr;
  if (!type) {
    type = PyErr_NewExceptionWithDoc(
        "torvex_ext.InternalError",
        "A broken invariant inside the torvex native extension (a bug, not bad input).",
        PyExc_BaseException, nullptr);
  }
  return type;
}

PyObject* raise_internal(const char* what) noexcept {
  std::fprintf(stderr, "torvex: internal error: %s\n", what);
#if defined(__GLIBC__)
  if (std::getenv("TORVEX_BACKTRACE")) {
    void* frames[64];
    int n = backtrace(frames, 64);
    backtrace_symbols_fd(frames, n, STDERR_FILENO);
  }
#endif
  PyObject* type = internal_error_type();
  if (type) PyErr_SetString(type, what);
  return nullptr;
}

PyObject* raise_wrong_type(PyObject* obj, const char* expected) noexcept {
  if (obj == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    return nullptr;
  }
  Ref qual(PyType_GetQualName(Py_TYPE(obj)));
  if (!qual) return nullptr;
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qual.get(), expected);
  return nullptr;
}

void add_param_note(const char* param) noexcept {
  PyObject* exc = PyErr_GetRaisedException();
  if (!exc) return;
  Ref note(PyUnicode_FromFormat("while processing '%s'", param));
  if (note) {
    Ref r(PyObject_CallMethod(exc, "add_note", "O", note.get()));
    if (!r) {
      // Keep the original exception: a failing note must not replace it.
      PyErr_Clear();
    }
  } else {
    PyErr_Clear();
  }
  PyErr_SetRaisedException(exc);
}

PyObject* raise_fmt(PyObject* exc, const char* fmt, ...) noexcept {
  va_list va;
  va_start(va, fmt);
  PyObject* msg = PyUnicode_FromFormatV(fmt, va);
  va_end(va);
  if (!msg) return nullptr;
  PyErr_SetObject(exc, msg);
  Py_DECREF(msg);
  return nullptr;
}

PyObject* raise_integral_range() noexcept {
  PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
  return nullptr;
}

bool fail_wrong_type(PyObject* obj, const char* expected) noexcept {
  raise_wrong_type(obj, expected);
  return false;
}

bool fail_expected(const char* what, PyObject* v) noexcept {
  raise_fmt(PyExc_TypeError, "expected %s, got %S", what, reinterpret_cast<PyObject*>(Py_TYPE(v)));
  return false;
}

bool fail_out_of_range(PyObject* v, const char* type_name) noexcept {
  if (PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
    PyErr_Clear();
  }
  raise_fmt(PyExc_OverflowError, "value %S out of range for %s", v, type_name);
  return false;
}

bool fail_too_deep(const char* doing) noexcept {
  raise_fmt(PyExc_RecursionError, "exceeded maximum recursion depth %u while %s message",
            static_cast<unsigned>(MAX_RECURSION_DEPTH), doing);
  return false;
}

}  // namespace torvex
