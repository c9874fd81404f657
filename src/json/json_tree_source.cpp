#include "json/json_tree_source.h"

#include <cmath>

#include "core/errors.h"

namespace torvex {

JsonKind JsonTreeSource::end_fail() noexcept {
  PyErr_SetString(PyExc_ValueError, "unexpected end of JSON tree");
  return JsonKind::Error;
}

JsonKind JsonTreeSource::type_fail() noexcept {
  raise_fmt(PyExc_TypeError, "unexpected type in JSON tree: %S",
            reinterpret_cast<PyObject*>(Py_TYPE(cur_.get())));
  return JsonKind::Error;
}

// The parser peeks before every read, so a mismatch here is a caller's mistake.
bool JsonTreeSource::expect(JsonKind wanted) noexcept {
  JsonKind k = peek();
  if (k == wanted) return true;
  if (k != JsonKind::Error) {
    raise_fmt(PyExc_TypeError, "expected %s but found %s", json_kind_name(wanted),
              json_kind_name(k));
  }
  return false;
}

bool JsonTreeSource::read_null() noexcept {
  if (!expect(JsonKind::Null)) return false;
  cur_.reset();
  return true;
}

bool JsonTreeSource::read_bool(bool* out) noexcept {
  if (!expect(JsonKind::Bool)) return false;
  *out = cur_.get() == Py_True;
  cur_.reset();
  return true;
}

bool JsonTreeSource::read_number_value(JsonNumber* out) noexcept {
  if (!expect(JsonKind::Number)) return false;
  Ref v = take();
  if (PyFloat_Check(v.get())) {
    out->kind = JsonNumber::Double;
    out->d = PyFloat_AS_DOUBLE(v.get());
    if (PyFloat_CheckExact(v.get())) out->exact = std::move(v);
    return true;
  }
  int overflow = 0;
  long long i = PyLong_AsLongLongAndOverflow(v.get(), &overflow);
  if (i == -1 && PyErr_Occurred()) return false;
  if (!overflow) {
    out->kind = JsonNumber::Small;
    out->i = i;
    if (PyLong_CheckExact(v.get())) out->exact = std::move(v);
    return true;
  }
  out->kind = JsonNumber::Big;
  // Subclasses (IntEnum members and the like) are stored as plain ints.
  out->big = PyLong_CheckExact(v.get()) ? std::move(v) : Ref(PyNumber_Index(v.get()));
  return static_cast<bool>(out->big);
}

bool JsonTreeSource::read_number_as_float(double* out) noexcept {
  if (!expect(JsonKind::Number)) return false;
  Ref v = take();
  if (PyFloat_Check(v.get())) {
    *out = PyFloat_AS_DOUBLE(v.get());
    return true;
  }
  double d = PyLong_AsDouble(v.get());
  if (d == -1.0 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
    // Too large for a double: the caller reports the non-finite value.
    PyErr_Clear();
    int sign = 0;
    PyLong_AsLongLongAndOverflow(v.get(), &sign);
    d = sign < 0 ? -HUGE_VAL : HUGE_VAL;
  }
  *out = d;
  return true;
}

PyObject* JsonTreeSource::read_number() noexcept {
  if (!expect(JsonKind::Number)) return nullptr;
  Ref v = take();
  if (PyLong_CheckExact(v.get()) || PyFloat_CheckExact(v.get())) return v.release();
  if (PyFloat_Check(v.get())) return PyFloat_FromDouble(PyFloat_AS_DOUBLE(v.get()));
  return PyNumber_Index(v.get());
}

bool JsonTreeSource::read_str(std::string_view* out) noexcept {
  if (!expect(JsonKind::String)) return false;
  last_str_ = take();
  Py_ssize_t n;
  const char* s = PyUnicode_AsUTF8AndSize(last_str_.get(), &n);
  if (!s) return false;
  *out = std::string_view(s, static_cast<size_t>(n));
  return true;
}

PyObject* JsonTreeSource::read_string() noexcept {
  if (!expect(JsonKind::String)) return nullptr;
  Ref v = take();
  if (PyUnicode_CheckExact(v.get())) return v.release();
  return PyUnicode_FromObject(v.get());
}

PyObject* JsonTreeSource::read_any() noexcept {
  if (peek() == JsonKind::Error) return nullptr;
  return take().release();
}

bool JsonTreeSource::skip() noexcept {
  if (!cur_) return end_fail() != JsonKind::Error;
  cur_.reset();
  return true;
}

bool JsonTreeSource::begin_object(ObjIter& it) noexcept {
  if (!expect(JsonKind::Object)) return false;
  it.dict = take();
  it.pos = 0;
  return true;
}

int JsonTreeSource::next_key(ObjIter& it, std::string_view* key) noexcept {
  PyObject *k, *v;
  if (!PyDict_Next(it.dict.get(), &it.pos, &k, &v)) return 0;
  if (!PyUnicode_Check(k)) {
    PyErr_SetString(PyExc_TypeError, "JSON object keys must be strings");
    return -1;
  }
  it.key = Ref::borrow(k);
  cur_ = Ref::borrow(v);
  Py_ssize_t n;
  const char* s = PyUnicode_AsUTF8AndSize(k, &n);
  if (!s) return -1;
  *key = std::string_view(s, static_cast<size_t>(n));
  return 1;
}

PyObject* JsonTreeSource::key_object(const ObjIter& it, std::string_view) noexcept {
  if (PyUnicode_CheckExact(it.key.get())) return Py_NewRef(it.key.get());
  return PyUnicode_FromObject(it.key.get());
}

bool JsonTreeSource::begin_array(ArrIter& it) noexcept {
  if (!expect(JsonKind::Array)) return false;
  it.list = take();
  it.index = 0;
  return true;
}

int JsonTreeSource::next_element(ArrIter& it) noexcept {
  // The size is read each time: Python code run meanwhile may have changed the list.
  if (it.index >= PyList_GET_SIZE(it.list.get())) return 0;
  cur_ = Ref::borrow(PyList_GET_ITEM(it.list.get(), it.index++));
  return 1;
}

}  // namespace torvex
