#include "message/instance.h"

#include <new>

#include "core/args.h"
#include "core/errors.h"
#include "core/python_private.h"

namespace torvex {

bool check_layout(PyObject* obj, const MessageMarshaler* m) noexcept {
  if (!m->has_slots || PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(m->cls.get()))) {
    return true;
  }
  raise_wrong_type(obj, type_short_name(reinterpret_cast<PyTypeObject*>(m->cls.get())));
  return false;
}

PyObject* own_class_marshaler(PyObject* cls, const DescriptorVocabulary* v) noexcept {
#ifdef Py_GIL_DISABLED
  // Without the interpreter lock a borrowed dict entry can be replaced and freed meanwhile.
  (void)cls;
  (void)v;
  return nullptr;
#else
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  if (!PyType_Check(cls) || !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) || !type->tp_dict) {
    return nullptr;
  }
#ifdef TORVEX_HAS_TYPE_LOOKUP
  // Found along the MRO, but only the class's own marshaler passes the test below.
  PyObject* attr = type_lookup(type, v->ext_marshaler);
#else
  PyObject* attr = PyDict_GetItemWithError(type->tp_dict, v->ext_marshaler);
#endif
  if (!attr || Py_TYPE(attr) != marshaler_type()) return nullptr;
  const MessageMarshaler* m = reinterpret_cast<MarshalerObject*>(attr)->rec;
  // Only the class intake built it for, while its metaclass is unchanged since (see intake).
  if (m->cls.get() != cls || m->meta.get() != reinterpret_cast<PyObject*>(Py_TYPE(cls)) ||
      m->meta_version == 0 || Py_TYPE(cls)->tp_version_tag != m->meta_version) {
    return nullptr;
  }
  return attr;
#endif
}

MarshalerRef lookup_class_marshaler(PyObject* cls) noexcept {
  const DescriptorVocabulary* v = vocabulary();
  if (!v) return {};
  if (PyObject* own = own_class_marshaler(cls, v)) {
    return MarshalerRef(reinterpret_cast<MarshalerObject*>(own)->rec, Ref::borrow(own));
  }
  if (PyErr_Occurred()) return {};
  Ref attr(PyObject_GetAttr(cls, v->ext_marshaler));
  if (!attr) return {};
  MessageMarshaler* m = marshaler_from_object(attr.get());
  if (!m) return {};
  return MarshalerRef(m, std::move(attr));
}

MarshalerRef lookup_marshaler(PyObject* self) noexcept {
  if (MessageMarshaler* bound = as_native(self)->marshaler) return MarshalerRef(bound, Ref());
  MarshalerRef m = lookup_class_marshaler(reinterpret_cast<PyObject*>(Py_TYPE(self)));
  if (m && !check_layout(self, m.get())) return {};
  return m;
}

PyObject* alloc_instance(PyTypeObject* cls, MessageMarshaler* m) noexcept {
  // The schema's slot offsets are only valid for its own class and subclasses.
  if (m && m->has_slots && reinterpret_cast<PyObject*>(cls) != m->cls.get() &&
      !PyType_IsSubtype(cls, reinterpret_cast<PyTypeObject*>(m->cls.get()))) {
    return raise_wrong_type(m->cls.get(), cls->tp_name);
  }
  PyObject* self = cls->tp_alloc(cls, 0);
  if (!self) return nullptr;
  NativeMessageObject* o = as_native(self);
  o->unknown = nullptr;
  o->weakreflist = nullptr;
  new (&o->presence) PresenceBitset(m && m->max_number < PresenceBitset::kInlineBits);
  o->marshaler = rc_incref(m);
  return self;
}

void release_native(PyObject* self) noexcept {
  NativeMessageObject* o = as_native(self);
  if (o->weakreflist) PyObject_ClearWeakRefs(self);
  Py_CLEAR(o->unknown);
  rc_decref(std::exchange(o->marshaler, nullptr));
  o->presence.~PresenceBitset();
  Py_TYPE(self)->tp_free(self);
}

namespace {

// The deallocator the interpreter gives classes made by a class statement, found on a class
// made for the purpose.
destructor generic_dealloc() noexcept {
  static destructor found = nullptr;
  if (!found) {
    Ref probe(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(){}",
                                    "_dealloc_probe"));
    if (!probe) return nullptr;
    found = reinterpret_cast<PyTypeObject*>(probe.get())->tp_dealloc;
  }
  return found;
}

// Empties the slots that `t` itself adds (its writable object members), as the generic
// deallocator does.
inline void clear_own_slots(PyTypeObject* t, PyObject* self) noexcept {
  for (PyMemberDef* mp = t->tp_members; mp && mp->name; ++mp) {
    if (mp->type != Py_T_OBJECT_EX || (mp->flags & Py_READONLY)) continue;
    auto** slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + mp->offset);
    Py_CLEAR(*slot);
  }
}

void message_dealloc(PyObject* self) noexcept {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  // Long chains of messages free one level at a time instead of recursing.
  Py_TRASHCAN_BEGIN(self, message_dealloc) if (tp->tp_finalize) [[unlikely]] {
    // A __del__ added to the class after it was made; it may resurrect the instance.
    PyObject_GC_Track(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) goto done;
    PyObject_GC_UnTrack(self);
  }
  {
    PyTypeObject* native = native_message_type();
    for (PyTypeObject* t = tp; t && t != native; t = t->tp_base) clear_own_slots(t, self);
  }
  release_native(self);
  Py_DECREF(tp);
done:
  Py_TRASHCAN_END
}

}  // namespace

bool use_message_dealloc(PyObject* cls) noexcept {
  if (!PyType_Check(cls)) return true;
  destructor generic = generic_dealloc();
  if (!generic) return false;
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  PyTypeObject* native = native_message_type();
  // Every class from `cls` down to NativeMessage made by a class statement, none with a dict
  // or a legacy finalizer: then freeing means emptying slots plus NativeMessage's own work.
  PyTypeObject* t = type;
  for (; t && t != native; t = t->tp_base) {
    if ((t->tp_dealloc != generic && t->tp_dealloc != message_dealloc) ||
        !PyType_HasFeature(t, Py_TPFLAGS_HEAPTYPE) || t->tp_dictoffset != 0 ||
        PyType_HasFeature(t, Py_TPFLAGS_MANAGED_DICT) || t->tp_del ||
        t->tp_weaklistoffset != native->tp_weaklistoffset || t->tp_itemsize != 0) {
      return true;
    }
  }
  if (t == native) type->tp_dealloc = message_dealloc;
  return true;
}

PyObject* create_empty_message(const MessageMarshaler* m, PyObject* cls) noexcept {
  if (has_native_new(cls)) {
    // Fresh from tp_alloc: every slot is empty, so defaults go straight to their offsets.
    Ref obj(alloc_instance(reinterpret_cast<PyTypeObject*>(cls), const_cast<MessageMarshaler*>(m)));
    if (!obj || apply_fresh_defaults(m, obj.get()) < 0) return nullptr;
    return obj.release();
  }
  Ref obj(new_message(m, cls));
  if (!obj || apply_defaults(m, obj.get()) < 0) return nullptr;
  return obj.release();
}

PyObject* new_message(const MessageMarshaler* m, PyObject* cls) noexcept {
  Ref obj;
  if (has_native_new(cls)) {
    obj =
        Ref(alloc_instance(reinterpret_cast<PyTypeObject*>(cls), const_cast<MessageMarshaler*>(m)));
    if (!obj) return nullptr;
  } else {
    Ref new_fn(PyObject_GetAttr(cls, m->vocab->new_));
    if (!new_fn) return nullptr;
    obj = Ref(PyObject_CallOneArg(new_fn.get(), cls));
    if (!obj) return nullptr;
    if (!is_native_message(obj.get())) return raise_wrong_type(obj.get(), "NativeMessage");
    // A __new__ returning an instance of an unrelated message class would make the schema's
    // slot offsets point into the wrong layout.
    if (!check_layout(obj.get(), m)) return nullptr;
  }
  return obj.release();
}

bool raise_bitset_status(BitsetStatus st) noexcept {
  switch (st) {
    case BitsetStatus::Ok:
      return true;
    case BitsetStatus::OutOfRange:
      raise_internal("field number out of range for the inline presence bitset");
      break;
    case BitsetStatus::Incompatible:
      raise_internal("incompatible bitset types when copying");
      break;
    case BitsetStatus::Poisoned:
      raise_internal("presence bitset lock is poisoned");
      break;
  }
  return false;
}

bool presence_mark(PyObject* msg, uint32_t number, bool present) noexcept {
  BitsetStatus st = as_native(msg)->presence.mark(number, present);
  return st == BitsetStatus::Ok || raise_bitset_status(st);
}

PyObject* get_or_init_unknown_fields(PyObject* msg) noexcept {
  NativeMessageObject* self = as_native(msg);
  if (self->unknown) return get_unknown_fields(msg);
  PyObject* dict = PyDict_New();
  if (!dict) return nullptr;
  // Creating the dict can run a garbage collection, and with it Python code on another
  // thread; whoever installs first wins, so one instance never sees two stores.
  if (self->unknown) {
    Py_DECREF(dict);
  } else {
    self->unknown = dict;
  }
  return get_unknown_fields(msg);
}

}  // namespace torvex
