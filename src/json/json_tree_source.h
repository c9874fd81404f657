// JsonTreeSource: the JSON parser's cursor over a tree of Python values (dict, list, str, int,
// float, bool, None), the kind of tree _to_json_value produces. Same operations as the text
// reader (see json_source.h); values are handed out as the objects themselves where possible.
#pragma once

#include <Python.h>

#include <string_view>

#include "core/ref.h"
#include "json/json_source.h"

namespace torvex {

class JsonTreeSource {
 public:
  static constexpr bool kText = false;

  struct ObjIter {
    Ref dict;  // held: Python code run during the parse may drop the caller's references
    Py_ssize_t pos = 0;
    Ref key;  // the current member's key
  };
  struct ArrIter {
    Ref list;
    Py_ssize_t index = 0;
  };

  explicit JsonTreeSource(PyObject* root) noexcept : cur_(Ref::borrow(root)) {}

  JsonKind peek() noexcept {
    PyObject* v = cur_.get();
    if (!v) return end_fail();
    // The exact types json.loads makes first: the checks below that admit subclasses call
    // PyType_IsSubtype for every value that is not of their own type.
    if (PyUnicode_CheckExact(v)) return JsonKind::String;
    if (PyFloat_CheckExact(v)) return JsonKind::Number;
    if (PyDict_CheckExact(v)) return JsonKind::Object;
    if (PyList_CheckExact(v)) return JsonKind::Array;
    if (v == Py_None) return JsonKind::Null;
    if (PyBool_Check(v)) return JsonKind::Bool;
    if (PyUnicode_Check(v)) return JsonKind::String;
    if (PyLong_Check(v) || PyFloat_Check(v)) return JsonKind::Number;
    if (PyDict_Check(v)) return JsonKind::Object;
    if (PyList_Check(v)) return JsonKind::Array;
    return type_fail();
  }

  bool read_null() noexcept;
  bool read_bool(bool* out) noexcept;
  bool read_number_value(JsonNumber* out) noexcept;
  bool read_number_as_float(double* out) noexcept;
  PyObject* read_number() noexcept;
  bool read_str(std::string_view* out) noexcept;
  PyObject* read_string() noexcept;
  PyObject* read_any() noexcept;
  // The next value as it is (borrowed; nullptr at the end), for readers that can keep it.
  PyObject* current() const noexcept { return cur_.get(); }
  // Consumes the next value, returning it (a reader that keeps what current() showed).
  Ref take_current() noexcept { return take(); }
  bool skip() noexcept;
  bool begin_object(ObjIter& it) noexcept;
  int next_key(ObjIter& it, std::string_view* key) noexcept;
  PyObject* key_object(const ObjIter& it, std::string_view) noexcept;
  bool begin_array(ArrIter& it) noexcept;
  int next_element(ArrIter& it) noexcept;

 private:
  JsonKind end_fail() noexcept;
  JsonKind type_fail() noexcept;
  bool expect(JsonKind wanted) noexcept;
  Ref take() noexcept { return std::move(cur_); }

  Ref cur_;       // the next value to be read; empty once consumed
  Ref last_str_;  // keeps the bytes of the last read_str view alive
};

}  // namespace torvex
