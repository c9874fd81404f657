// The native part of every message instance, and the helpers every codec uses on instances:
// marshaler lookup, empty-instance creation, presence and the unknown-field store.
#pragma once

#include <Python.h>

#include "core/bitset.h"
#include "core/python_private.h"
#include "schema/descriptor.h"

namespace torvex {

// Native state of a message instance. Field values are not here: they are ordinary
// attributes of the Python object (slots of the generated class).
struct NativeMessageObject {
  PyObject_HEAD
      // The unknown-field store: created on first need, so instances without unknown fields
      // carry none. A dict, mutated in place and never replaced once made, or records packed by
      // the decoder in a bytearray, which the first reader turns into the dict.
      PyObject* unknown;
  // Bound at __new__ so hot paths need no class-attribute lookup; null when the class was not
  // initialised yet (such instances look the marshaler up on every use).
  MessageMarshaler* marshaler;
  // Field numbers marked present (with its own lock in free-threaded builds; see bitset.h).
  PresenceBitset presence;
  PyObject* weakreflist;
};

PyTypeObject* native_message_type() noexcept;  // created by the module entry

inline NativeMessageObject* as_native(PyObject* o) noexcept {
  return reinterpret_cast<NativeMessageObject*>(o);
}
inline bool is_native_message(PyObject* o) noexcept {
  return PyObject_TypeCheck(o, native_message_type());
}

// A marshaler in use by one call, borrowed without touching its atomic count: either bound to
// the instance the call works on (which outlives the call), or kept alive by `owner_`, the
// MessageMarshaler object the class attribute held.
class MarshalerRef {
 public:
  MarshalerRef() noexcept = default;
  MarshalerRef(MessageMarshaler* m, Ref owner) noexcept : m_(m), owner_(std::move(owner)) {}
  MessageMarshaler* get() const noexcept { return m_; }
  MessageMarshaler* operator->() const noexcept { return m_; }
  explicit operator bool() const noexcept { return m_ != nullptr; }

 private:
  MessageMarshaler* m_ = nullptr;
  Ref owner_;
};

// The instance's marshaler: the bound one, else the class attribute `_ext_marshaler` (which
// must be a MessageMarshaler). Also guarantees that the instance has the layout the schema's
// slot offsets assume. `self` must be a NativeMessage and stay alive while the result is used.
MarshalerRef lookup_marshaler(PyObject* self) noexcept;
// The same for a class (class methods).
MarshalerRef lookup_class_marshaler(PyObject* cls) noexcept;
// The MessageMarshaler object in `cls`'s own dict (borrowed) when reading it there provably
// gives what attribute lookup would, else nullptr (with an error set only on failure).
PyObject* own_class_marshaler(PyObject* cls, const DescriptorVocabulary* v) noexcept;

// Raises unless `obj` is laid out as the schema's class (only matters for slot access).
bool check_layout(PyObject* obj, const MessageMarshaler* m) noexcept;

// At a full collection: frees the memory kept for reuse that no instance took since the last
// one (see instance.cpp).
void release_idle_blocks() noexcept;

// Allocates an instance of `cls` bound to `m` (which may be null: not initialised yet). A
// caller making many instances in a row may pass a tracker of its own for the collector.
PyObject* alloc_instance(PyTypeObject* cls, MessageMarshaler* m,
                         YoungTracker* young = nullptr) noexcept;

// Frees what NativeMessage itself holds, clears weak references and frees the object's memory
// (the end of every instance deallocator; the caller has untracked it and drops the class).
void release_native(PyObject* self) noexcept;

// Replaces the generic deallocator and traversal of the interpreter on a message class whose
// instances hold slots only, with ones that do the same work in one pass. No-op for other
// classes; false with an error set on failure.
bool use_message_dealloc(PyObject* cls) noexcept;

// Whether `cls.__new__` is provably NativeMessage's own: no __new__ defined in Python and no
// metaclass attribute hook. Then calling it means allocating, and the marshaler the caller
// already holds (read from the same class attribute) can be bound without another lookup.
inline bool has_native_new(PyObject* cls) noexcept {
  return PyType_Check(cls) &&
         reinterpret_cast<PyTypeObject*>(cls)->tp_new == native_message_type()->tp_new &&
         Py_TYPE(cls)->tp_getattro == PyType_Type.tp_getattro;
}
// `cls.__new__(cls)` plus the schema's defaults; never runs __init__.
PyObject* create_empty_message(const MessageMarshaler* m, PyObject* cls) noexcept;
// `cls.__new__(cls)` alone (copies fill every attribute themselves).
PyObject* new_message(const MessageMarshaler* m, PyObject* cls) noexcept;

// Presence helpers for native callers: a failure is a broken invariant (internal error).
bool presence_mark(PyObject* msg, uint32_t number, bool present) noexcept;
inline bool presence_test(PyObject* msg, uint32_t number) noexcept {
  return as_native(msg)->presence.test(number);
}
// Raises the internal error matching a non-Ok bitset status; returns false.
bool raise_bitset_status(BitsetStatus st) noexcept;

PyObject* unfold_unknown_fields(PyObject* msg) noexcept;  // unknown_fields.h

// The unknown-field store (borrowed), or nullptr when it does not exist yet, or nullptr with an
// error set when unfolding packed records failed.
inline PyObject* get_unknown_fields(PyObject* msg) noexcept {
  PyObject* store = as_native(msg)->unknown;
  if (store && !PyDict_CheckExact(store)) [[unlikely]]
    return unfold_unknown_fields(msg);
  return store;
}
// The same as a status, for the writers that visit every message: false with an error set when
// unfolding failed, else true with *store null when there is no store. The common case costs a
// load, not an error-state test.
inline bool unknown_fields_of(PyObject* msg, PyObject** store) noexcept {
  PyObject* s = as_native(msg)->unknown;
  if (s && !PyDict_CheckExact(s)) [[unlikely]] {
    if (!(s = unfold_unknown_fields(msg))) return false;
  }
  *store = s;
  return true;
}
// The store, created empty on first call (borrowed; nullptr with an error on failure).
PyObject* get_or_init_unknown_fields(PyObject* msg) noexcept;

}  // namespace torvex
