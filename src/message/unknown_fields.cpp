#include "message/unknown_fields.h"

#include <cstring>
#include <utility>

#include "core/errors.h"
#include "core/ref.h"
#include "message/instance.h"

namespace torvex {

namespace {

bool is_packed(PyObject* store) noexcept { return store && PyByteArray_CheckExact(store); }

// Appends `v` as a base-128 varint to `out`, which has room for 10 more bytes.
char* put_varint(char* out, uint64_t v) noexcept {
  while (v >= 0x80) {
    *out++ = static_cast<char>(v | 0x80);
    v >>= 7;
  }
  *out++ = static_cast<char>(v);
  return out;
}

// Reads a varint written by put_varint; false at a truncated one.
bool get_varint(const char*& p, const char* end, uint64_t* v) noexcept {
  *v = 0;
  for (int shift = 0; p < end && shift < 64; shift += 7) {
    auto b = static_cast<unsigned char>(*p++);
    *v |= static_cast<uint64_t>(b & 0x7f) << shift;
    if (b < 0x80) return true;
  }
  return false;
}

bool append_packed(PyObject* packed, uint32_t number, const void* data, size_t n) noexcept {
  char head[20];
  char* h = put_varint(put_varint(head, number), n);
  Py_ssize_t at = PyByteArray_GET_SIZE(packed);
  Py_ssize_t add = (h - head) + static_cast<Py_ssize_t>(n);
  if (PyByteArray_Resize(packed, at + add) < 0) return false;
  char* out = PyByteArray_AS_STRING(packed) + at;
  memcpy(out, head, static_cast<size_t>(h - head));
  if (n) memcpy(out + (h - head), data, n);
  return true;
}

// Appends one record to the dict store.
bool append_to_dict(PyObject* store, PyObject* key, PyObject* record) noexcept {
  // Any failing lookup (an odd key planted by Python code, say) counts as absent.
  Ref list = Ref::borrow(PyDict_GetItemWithError(store, key));
  if (!list) {
    PyErr_Clear();
    list = Ref(PyList_New(0));
    if (!list || PyDict_SetItem(store, key, list.get()) < 0) return false;
  } else if (!PyList_Check(list.get())) {
    raise_wrong_type(list.get(), "list");
    return false;
  }
  return PyList_Append(list.get(), record) == 0;
}

// Adds the records packed in `packed` to the dict `store`.
bool add_packed(PyObject* store, PyObject* packed) noexcept {
  // Our own copy: Python code run by dict updates cannot change what is being read.
  Ref bytes(PyBytes_FromStringAndSize(PyByteArray_AS_STRING(packed), PyByteArray_GET_SIZE(packed)));
  if (!bytes) return false;
  const char* p = PyBytes_AS_STRING(bytes.get());
  const char* end = p + PyBytes_GET_SIZE(bytes.get());
  while (p < end) {
    uint64_t number, n;
    if (!get_varint(p, end, &number) || !get_varint(p, end, &n) ||
        n > static_cast<uint64_t>(end - p)) {
      raise_internal("truncated unknown-field records");
      return false;
    }
    Ref key(PyLong_FromUnsignedLongLong(number));
    Ref record(PyBytes_FromStringAndSize(p, static_cast<Py_ssize_t>(n)));
    if (!key || !record || !append_to_dict(store, key.get(), record.get())) return false;
    p += n;
  }
  return true;
}

}  // namespace

PyObject* unfold_unknown_fields(PyObject* msg) noexcept {
  NativeMessageObject* self = as_native(msg);
  Ref packed = Ref::borrow(self->unknown);
  if (!is_packed(packed.get())) return self->unknown;
  Ref store(PyDict_New());
  if (!store || !add_packed(store.get(), packed.get())) return nullptr;
  // Python code run meanwhile may have unfolded it already: the first dict stays.
  if (self->unknown != packed.get()) return get_unknown_fields(msg);
  Py_DECREF(std::exchange(self->unknown, store.release()));  // `packed` still holds it
  return self->unknown;
}

bool append_unknown_record(PyObject* msg, uint32_t number, const void* data, size_t n) noexcept {
  NativeMessageObject* self = as_native(msg);
  if (!self->unknown) {
    PyObject* packed = PyByteArray_FromStringAndSize(nullptr, 0);
    if (!packed) return false;
    if (self->unknown) {
      Py_DECREF(packed);  // a collection run by the allocation made a store first
    } else {
      self->unknown = packed;
    }
  }
  if (is_packed(self->unknown)) return append_packed(self->unknown, number, data, n);
  Ref key(PyLong_FromUnsignedLong(number));
  if (!key) return false;
  Ref record(PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(n)));
  return record && append_to_dict(self->unknown, key.get(), record.get());
}

namespace {

// Visits a snapshot of the source store's items, so Python code run by item assignment on the
// target cannot change the dict being iterated.
template <class Fn>
bool for_each_source_list(PyObject* source, Fn&& fn) noexcept {
  PyObject* src = get_unknown_fields(source);
  if (!src) return !PyErr_Occurred();
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
  PyObject* from = as_native(source)->unknown;
  if (!from) return true;
  PyObject* to = as_native(target)->unknown;
  if (is_packed(from) && (!to || is_packed(to))) {
    // Packed after packed: one copy of the bytes, nothing unfolded.
    Ref bytes(PyBytes_FromStringAndSize(PyByteArray_AS_STRING(from), PyByteArray_GET_SIZE(from)));
    if (!bytes) return false;
    if (!to) {
      to = PyByteArray_FromStringAndSize(nullptr, 0);
      if (!to) return false;
      Py_XSETREF(as_native(target)->unknown, to);
    }
    Py_ssize_t at = PyByteArray_GET_SIZE(to);
    if (PyByteArray_Resize(to, at + PyBytes_GET_SIZE(bytes.get())) < 0) return false;
    memcpy(PyByteArray_AS_STRING(to) + at, PyBytes_AS_STRING(bytes.get()),
           static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
    return true;
  }
  if (!get_unknown_fields(source)) return !PyErr_Occurred();
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
  if (is_packed(as_native(source)->unknown) && !as_native(target)->unknown) {
    return merge_unknown_fields(target, source);  // the same: one copy of the packed bytes
  }
  if (!get_unknown_fields(source)) return !PyErr_Occurred();
  PyObject* dst = get_or_init_unknown_fields(target);
  if (!dst) return false;
  return for_each_source_list(source, [dst](PyObject* key, PyObject* value) {
    Ref copy(PyList_GetSlice(value, 0, PyList_GET_SIZE(value)));
    return copy && PyDict_SetItem(dst, key, copy.get()) == 0;
  });
}

}  // namespace torvex
