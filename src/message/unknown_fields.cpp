#include "message/unknown_fields.h"

#include "core/errors.h"
#include "core/ref.h"
#include "message/instance.h"

namespace torvex {

bool append_unknown_record(PyObject* msg, uint32_t number, const void* data, size_t n) noexcept {
  PyObject* store = get_or_init_unknown_fields(msg);
  if (!store) return false;
  Ref key(PyLong_FromUnsignedLong(number));
  if (!key) return false;
  // Any failing lookup (an odd key planted by Python code, say) counts as absent.
  Ref list = Ref::borrow(PyDict_GetItemWithError(store, key.get()));
  if (!list) {
    PyErr_Clear();
    list = Ref(PyList_New(0));
    if (!list || PyDict_SetItem(store, key.get(), list.get()) < 0) return false;
  } else if (!PyList_Check(list.get())) {
    raise_wrong_type(list.get(), "list");
    return false;
  }
  Ref record(PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(n)));
  return record && PyList_Append(list.get(), record.get()) == 0;
}

namespace {

// Visits a snapshot of the source store's items, so Python code run by item assignment on the
// target cannot change the dict being iterated.
template <class Fn>
bool for_each_source_list(PyObject* source, Fn&& fn) noexcept {
  PyObject* src = get_unknown_fields(source);
  if (!src) return true;
  Ref snapshot(PyDict_Items(src));
  if (!snapshot) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(snapshot.get()); ++i) {
    PyObject* pair = PyList_GET_ITEM(snapshot.get(), i);
    PyObject* value = PyTuple_GET_ITEM(pair, 1);
    if (!PyList_Check(value)) {
      raise_wrong_type(value, "list");
      return false;
    }
    if (!fn(PyTuple_GET_ITEM(pair, 0), value)) return false;
  }
  return true;
}

}  // namespace

bool merge_unknown_fields(PyObject* target, PyObject* source) noexcept {
  if (!get_unknown_fields(source)) return true;
  PyObject* dst = get_or_init_unknown_fields(target);
  if (!dst) return false;
  return for_each_source_list(source, [dst](PyObject* key, PyObject* value) {
    Ref list = Ref::borrow(PyDict_GetItemWithError(dst, key));
    if (!list) {
      if (PyErr_Occurred()) return false;
      list = Ref(PyList_New(0));
      if (!list || PyDict_SetItem(dst, key, list.get()) < 0) return false;
    } else if (!PyList_Check(list.get())) {
      raise_wrong_type(list.get(), "list");
      return false;
    }
    Ref items(PyList_GetSlice(value, 0, PyList_GET_SIZE(value)));
    if (!items) return false;
    Py_ssize_t end = PyList_GET_SIZE(list.get());
    return PyList_SetSlice(list.get(), end, end, items.get()) == 0;
  });
}

bool copy_unknown_fields(PyObject* target, PyObject* source) noexcept {
  if (!get_unknown_fields(source)) return true;
  PyObject* dst = get_or_init_unknown_fields(target);
  if (!dst) return false;
  return for_each_source_list(source, [dst](PyObject* key, PyObject* value) {
    Ref copy(PyList_GetSlice(value, 0, PyList_GET_SIZE(value)));
    return copy && PyDict_SetItem(dst, key, copy.get()) == 0;
  });
}

}  // namespace torvex
