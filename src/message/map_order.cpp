#include "message/map_order.h"

#include <algorithm>

#include "core/errors.h"

namespace torvex {

namespace {

enum class Order { Signed, Unsigned, Text, Bool };

Order order_of(ScalarType t) noexcept {
  using enum ScalarType;
  switch (t) {
    case String:
      return Order::Text;
    case Bool:
      return Order::Bool;
    case Uint32:
    case Uint64:
    case Fixed32:
    case Fixed64:
      return Order::Unsigned;
    default:
      return Order::Signed;
  }
}

bool is_32_bit(ScalarType t) noexcept {
  using enum ScalarType;
  return t == Int32 || t == Sint32 || t == Sfixed32 || t == Uint32 || t == Fixed32;
}

// The position of an integer key, or false when it is not an int or out of the type's range
// (no error left set). Reading an int, or a subclass, runs no Python code.
bool number_of(PyObject* k, ScalarType t, uint64_t* out) noexcept {
  if (!PyLong_Check(k) || PyBool_Check(k)) return false;
  int overflow = 0;
  long long n = PyLong_AsLongLongAndOverflow(k, &overflow);
  if (n == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  if (order_of(t) == Order::Signed) {
    if (overflow || (is_32_bit(t) && (n < INT32_MIN || n > INT32_MAX))) return false;
    *out = static_cast<uint64_t>(n) ^ (uint64_t{1} << 63);
    return true;
  }
  if (overflow < 0 || (!overflow && n < 0)) return false;
  uint64_t u = static_cast<uint64_t>(n);
  if (overflow) {
    u = PyLong_AsUnsignedLongLong(k);
    if (u == static_cast<uint64_t>(-1) && PyErr_Occurred()) {
      PyErr_Clear();
      return false;
    }
  }
  if (is_32_bit(t) && u > UINT32_MAX) return false;
  *out = u;
  return true;
}

}  // namespace

SortedEntries::~SortedEntries() {
  for (Entry& e : entries_) {
    Py_DECREF(e.key);
    Py_DECREF(e.value);
  }
}

int SortedEntries::init(PyObject* dict, ScalarType key_type) noexcept {
  entries_.reserve(static_cast<size_t>(PyDict_GET_SIZE(dict)));
  Py_ssize_t pos = 0;
  PyObject *k, *v;
  while (PyDict_Next(dict, &pos, &k, &v)) {
    entries_.push_back(Entry{0, {}, Py_NewRef(k), Py_NewRef(v)});
  }
  const Order order = order_of(key_type);
  for (Entry& e : entries_) {
    bool ok;
    if (order == Order::Text) {
      ok = PyUnicode_Check(e.key);
      if (ok) {
        Py_ssize_t n;
        const char* s = PyUnicode_AsUTF8AndSize(e.key, &n);
        if (!s) return -1;  // no UTF-8 form: the encoders would fail on it the same way
        e.text = std::string_view(s, static_cast<size_t>(n));
      }
    } else if (order == Order::Bool) {
      ok = PyBool_Check(e.key);
      e.number = e.key == Py_True;
    } else {
      ok = number_of(e.key, key_type, &e.number);
    }
    if (!ok) {
      unorderable_ = e.key;
      return 0;
    }
  }
  if (order == Order::Text) {
    // string_view compares as unsigned bytes, which is the order of the code points.
    std::sort(entries_.begin(), entries_.end(),
              [](const Entry& a, const Entry& b) { return a.text < b.text; });
  } else {
    std::sort(entries_.begin(), entries_.end(),
              [](const Entry& a, const Entry& b) { return a.number < b.number; });
  }
  return 1;
}

bool fail_unorderable_key(ScalarType key_type, PyObject* key) noexcept {
  using enum ScalarType;
  switch (order_of(key_type)) {
    case Order::Text:
      return fail_wrong_type(key, "str");  // the unsorted writers' text
    case Order::Bool:
      return fail_expected("bool", key);
    default:
      break;
  }
  if (!PyLong_Check(key) || PyBool_Check(key)) return fail_expected("int", key);
  const bool wide = !is_32_bit(key_type);
  const char* name = order_of(key_type) == Order::Signed ? (wide ? "int64" : "int32")
                                                         : (wide ? "uint64" : "uint32");
  return fail_out_of_range(key, name);
}

}  // namespace torvex
