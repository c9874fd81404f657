// Argument parsing for fastcall methods and the conversions of the Python surface. Every
// message is built here so that the texts stay identical across methods.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>

#include "core/errors.h"
#include "core/ref.h"

namespace torvex {

// The parameters of one callable. Positional-or-keyword parameters come first (the first
// `nrequired` of them are required), keyword-only ones after them (all optional here).
struct ArgSpec {
  const char* fullname;      // "NativeMessage.to_binary", "generic_setattr", ...
  const char* const* names;  // every parameter, in signature order
  int npositional;
  int nrequired;
  int ntotal;
};

// Matches fastcall arguments to `spec`. `out` receives borrowed references (nullptr for an
// absent optional parameter). On failure raises the interpreter-style TypeError.
bool parse_args(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out) noexcept;

// The same for a tp_new/tp_init style call (an args tuple and a kwargs dict or NULL).
bool parse_args_tuple(const ArgSpec& spec, PyObject* args, PyObject* kwargs,
                      PyObject** out) noexcept;

// "<fullname>() takes 0 positional arguments but N was/were given".
PyObject* raise_too_many_positional(const char* fullname, int min, int max,
                                    Py_ssize_t given) noexcept;

// Conversions. Each raises its own error with the note "while processing '<param>'".
bool convert_bool(PyObject* obj, const char* param, bool* out) noexcept;
bool convert_field_number(PyObject* obj, const char* param, uint32_t* out) noexcept;
bool convert_str(PyObject* obj, const char* param) noexcept;
bool convert_instance(PyObject* obj, PyTypeObject* type, const char* param) noexcept;

// Integer conversions without a parameter note (used by intake and the codecs): any object
// with __index__; out of range raises "out of range integral type conversion attempted".
bool to_uint32(PyObject* obj, uint32_t* out) noexcept;
bool to_int32(PyObject* obj, int32_t* out) noexcept;

// The UTF-8 text of a str, valid while `obj` lives; the wrong-type TypeError for anything else.
inline bool str_utf8(PyObject* obj, std::string_view* out) noexcept {
  if (!PyUnicode_Check(obj)) return fail_wrong_type(obj, "str");
  Py_ssize_t n;
  const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
  if (!s) return false;
  *out = std::string_view(s, static_cast<size_t>(n));
  return true;
}

// The expected-class name in the wrong-type message: the type's __name__.
const char* type_short_name(PyTypeObject* type) noexcept;

// A bytes-like argument held for the duration of one call: `bytes` in place, `bytearray`
// copied once, any other C-contiguous u8 buffer held (not copied) until destruction.
class ByteInput {
 public:
  ByteInput() noexcept = default;
  ~ByteInput() {
    if (has_view_) release_view();
  }
  ByteInput(const ByteInput&) = delete;
  ByteInput& operator=(const ByteInput&) = delete;

  // Raises BufferError / TypeError (with the note for `param`) on unsuitable input.
  bool init(PyObject* obj, const char* param) noexcept {
    if (PyBytes_CheckExact(obj)) [[likely]] {
      owner_ = Ref::borrow(obj);
      data_ = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(obj));
      size_ = static_cast<size_t>(PyBytes_GET_SIZE(obj));
      return true;
    }
    return init_other(obj, param);
  }
  const uint8_t* data() const noexcept { return data_; }
  size_t size() const noexcept { return size_; }

 private:
  bool init_other(PyObject* obj, const char* param) noexcept;
  void release_view() noexcept;

  Ref owner_;       // the bytes object (given or our private copy) keeping `data_` alive
  Py_buffer view_;  // valid only while `has_view_`: a held buffer export
  bool has_view_ = false;
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace torvex
