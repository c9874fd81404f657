#include "core/args.h"

#include <cstring>

#include "core/errors.h"
#include "core/memory.h"

namespace torvex {

PyObject* raise_too_many_positional(const char* fullname, int min, int max,
                                    Py_ssize_t given) noexcept {
  const char* verb = given == 1 ? "was" : "were";
  if (min == max) {
    return raise_fmt(PyExc_TypeError, "%s() takes %d positional arguments but %zd %s given",
                     fullname, max, given, verb);
  }
  return raise_fmt(PyExc_TypeError,
                   "%s() takes from %d to %d positional arguments but %zd %s given", fullname, min,
                   max, given, verb);
}

namespace {

PyObject* raise_missing(const ArgSpec& spec, PyObject** out) noexcept {
  const char* missing[16];
  int n = 0;
  for (int i = 0; i < spec.nrequired && n < 16; ++i) {
    if (!out[i]) missing[n++] = spec.names[i];
  }
  Ref list(PyUnicode_FromString(""));
  if (!list) return nullptr;
  for (int i = 0; i < n; ++i) {
    const char* sep = "";
    if (i > 0) sep = (n == 2) ? " and " : (i == n - 1 ? ", and " : ", ");
    Ref piece(PyUnicode_FromFormat("%s'%s'", sep, missing[i]));
    if (!piece) return nullptr;
    Ref joined(PyUnicode_Concat(list.get(), piece.get()));
    if (!joined) return nullptr;
    list = std::move(joined);
  }
  return raise_fmt(PyExc_TypeError, "%s() missing %d required positional argument%s: %U",
                   spec.fullname, n, n == 1 ? "" : "s", list.get());
}

// Index of keyword `kw` among the parameters, or -1. Interned strings usually match by identity.
int find_keyword(const ArgSpec& spec, PyObject* kw) noexcept {
  for (int i = 0; i < spec.ntotal; ++i) {
    if (PyUnicode_CompareWithASCIIString(kw, spec.names[i]) == 0) return i;
  }
  return -1;
}

}  // namespace

bool parse_args(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out) noexcept {
  if (!kwnames && nargs >= spec.nrequired && nargs <= spec.npositional) {
    // The common call: positional arguments only, nothing to match by name.
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    for (int i = static_cast<int>(nargs); i < spec.ntotal; ++i) out[i] = nullptr;
    return true;
  }
  for (int i = 0; i < spec.ntotal; ++i) out[i] = nullptr;
  if (nargs > spec.npositional) {
    raise_too_many_positional(spec.fullname, spec.nrequired, spec.npositional, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* kw = PyTuple_GET_ITEM(kwnames, k);
      int idx = find_keyword(spec, kw);
      if (idx < 0) {
        raise_fmt(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.fullname,
                  kw);
        return false;
      }
      if (out[idx]) {
        raise_fmt(PyExc_TypeError, "%s() got multiple values for argument '%s'", spec.fullname,
                  spec.names[idx]);
        return false;
      }
      out[idx] = args[nargs + k];
    }
  }
  for (int i = 0; i < spec.nrequired; ++i) {
    if (!out[i]) {
      raise_missing(spec, out);
      return false;
    }
  }
  return true;
}

bool parse_args_tuple(const ArgSpec& spec, PyObject* args, PyObject* kwargs,
                      PyObject** out) noexcept {
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
  if (nkw == 0) return parse_args(spec, &PyTuple_GET_ITEM(args, 0), nargs, nullptr, out);
  // Lay the call out as a vectorcall: positional values, then keyword values with their names.
  RVec<PyObject*> stack(static_cast<size_t>(nargs + nkw));
  for (Py_ssize_t i = 0; i < nargs; ++i) stack[i] = PyTuple_GET_ITEM(args, i);
  Ref names(PyTuple_New(nkw));
  if (!names) return false;
  Py_ssize_t pos = 0, k = 0;
  PyObject *key, *value;
  while (PyDict_Next(kwargs, &pos, &key, &value)) {
    PyTuple_SET_ITEM(names.get(), k, Py_NewRef(key));
    stack[nargs + k] = value;
    ++k;
  }
  return parse_args(spec, stack.data(), nargs, names.get(), out);
}

const char* type_short_name(PyTypeObject* type) noexcept {
  const char* name = type->tp_name;
  const char* dot = std::strrchr(name, '.');
  return dot ? dot + 1 : name;
}

namespace {

// numpy's boolean scalars are accepted as flags without importing numpy.
bool is_numpy_bool(PyObject* obj) noexcept {
  const char* name = Py_TYPE(obj)->tp_name;
  return std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0;
}

}  // namespace

bool convert_bool(PyObject* obj, const char* param, bool* out) noexcept {
  if (obj == Py_True || obj == Py_False) {
    *out = obj == Py_True;
    return true;
  }
  if (is_numpy_bool(obj)) {
    int r = PyObject_IsTrue(obj);
    if (r >= 0) {
      *out = r == 1;
      return true;
    }
  } else {
    raise_wrong_type(obj, "bool");
  }
  add_param_note(param);
  return false;
}

bool to_uint32(PyObject* obj, uint32_t* out) noexcept {
  Ref idx(PyNumber_Index(obj));
  if (!idx) return false;
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(idx.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  if (overflow || v < 0 || v > 0xFFFFFFFFLL) {
    raise_integral_range();
    return false;
  }
  *out = static_cast<uint32_t>(v);
  return true;
}

bool to_int32(PyObject* obj, int32_t* out) noexcept {
  Ref idx(PyNumber_Index(obj));
  if (!idx) return false;
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(idx.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  if (overflow || v < INT32_MIN || v > INT32_MAX) {
    raise_integral_range();
    return false;
  }
  *out = static_cast<int32_t>(v);
  return true;
}

bool convert_field_number(PyObject* obj, const char* param, uint32_t* out) noexcept {
  if (to_uint32(obj, out)) return true;
  add_param_note(param);
  return false;
}

bool convert_str(PyObject* obj, const char* param) noexcept {
  if (PyUnicode_Check(obj)) return true;
  raise_wrong_type(obj, "str");
  add_param_note(param);
  return false;
}

bool convert_instance(PyObject* obj, PyTypeObject* type, const char* param) noexcept {
  if (PyObject_TypeCheck(obj, type)) return true;
  raise_wrong_type(obj, type_short_name(type));
  add_param_note(param);
  return false;
}

void ByteInput::release_view() noexcept { PyBuffer_Release(&view_); }

namespace {

bool u8_format(const char* fmt) noexcept {
  if (!fmt) return true;
  if (*fmt && std::strchr("@=<>!", *fmt)) ++fmt;
  return (fmt[0] == 'B' || fmt[0] == 'c') && fmt[1] == '\0';
}

}  // namespace

bool ByteInput::init_other(PyObject* obj, const char* param) noexcept {
  if (PyBytes_Check(obj)) {
    owner_ = Ref::borrow(obj);
    data_ = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(obj));
    size_ = static_cast<size_t>(PyBytes_GET_SIZE(obj));
    return true;
  }
  if (PyByteArray_Check(obj)) {
    // A bytearray can be resized by Python code run during the parse; parse a private copy.
    Ref copy(PyBytes_FromStringAndSize(PyByteArray_AS_STRING(obj), PyByteArray_GET_SIZE(obj)));
    if (!copy) {
      add_param_note(param);
      return false;
    }
    data_ = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(copy.get()));
    size_ = static_cast<size_t>(PyBytes_GET_SIZE(copy.get()));
    owner_ = std::move(copy);
    return true;
  }
  if (PyObject_GetBuffer(obj, &view_, PyBUF_FULL_RO) < 0) {
    add_param_note(param);
    return false;
  }
  has_view_ = true;
  const char* problem = nullptr;
  if (view_.itemsize != 1 || !u8_format(view_.format)) {
    problem = "buffer contents are not compatible with u8";
  } else if (view_.ndim > 0 && !view_.shape) {
    problem = "shape is null";
  } else if (view_.ndim > 0 && !view_.strides) {
    problem = "strides is null";
  } else if (!PyBuffer_IsContiguous(&view_, 'C')) {
    problem = "buffer is not contiguous";
  }
  if (problem) {
    PyBuffer_Release(&view_);
    has_view_ = false;
    PyErr_SetString(PyExc_BufferError, problem);
    add_param_note(param);
    return false;
  }
  data_ = static_cast<const uint8_t*>(view_.buf);
  size_ = static_cast<size_t>(view_.len);
  return true;
}

}  // namespace torvex
