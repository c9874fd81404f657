// Raising helpers shared by every module. Each sets the Python error indicator and returns the
// failure value its caller forwards (nullptr or -1), so call sites read `return raise_...;`.
#pragma once

#include <Python.h>

#include "core/portable.h"

namespace torvex {

// The class of broken-invariant errors. It derives from BaseException so that an ordinary
// `except Exception` does not swallow a bug in the extension.
PyObject* internal_error_type() noexcept;

// Raises the internal error (and reports it on stderr, with a native backtrace when the
// environment variable TORVEX_BACKTRACE is set). Never aborts.
PyObject* raise_internal(const char* what) noexcept;

// "'<qualname of type(obj)>' object is not an instance of '<expected>'", or for None
// "'None' is not an instance of '<expected>'". The type-check TypeError used everywhere.
PyObject* raise_wrong_type(PyObject* obj, const char* expected) noexcept;

// Attaches "while processing '<param>'" as a note to the pending exception.
void add_param_note(const char* param) noexcept;

// Raises `exc` with a message built from a printf-style format (PyUnicode_FromFormat codes).
PyObject* raise_fmt(PyObject* exc, const char* fmt, ...) noexcept;

// "out of range integral type conversion attempted" (OverflowError).
PyObject* raise_integral_range() noexcept;

// The same kind of errors for the codecs' walks, which forward `false`. Out of line and cold:
// the hot loops only test and branch to them.

// raise_wrong_type, returning false.
TORVEX_COLD bool fail_wrong_type(PyObject* obj, const char* expected) noexcept;

// TypeError "expected <what>, got <type(v)>".
TORVEX_COLD bool fail_expected(const char* what, PyObject* v) noexcept;

// OverflowError "value <v> out of range for <type_name>". It replaces a pending OverflowError
// (the conversion's own text); any other pending exception is left as it is.
TORVEX_COLD bool fail_out_of_range(PyObject* v, const char* type_name) noexcept;

// RecursionError "exceeded maximum recursion depth <limit> while <doing> message".
TORVEX_COLD bool fail_too_deep(const char* doing) noexcept;

}  // namespace torvex
