#include "message/instance.h"

#include <cstring>
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

namespace {

#ifndef Py_GIL_DISABLED
// Classes whose own marshaler own_class_marshaler found, by a hash of the class's address: a
// class method then finds it with a few loads instead of an attribute lookup. An entry holds
// while the class keeps the version tag it had: setting an attribute of the class or of a base
// gives it a new one, and tags are never reused, so a class freed and another made at the same
// address cannot match. The metaclass is re-checked as own_class_marshaler checks it.
struct SeenClass {
  PyObject* cls = nullptr;
  PyObject* own = nullptr;  // the MarshalerObject lookup gives (borrowed: the class holds it)
  unsigned int version = 0;
};
SeenClass g_seen[32];

SeenClass& seen_slot(PyObject* cls) noexcept {
  return g_seen[(reinterpret_cast<uintptr_t>(cls) * 0x9E3779B97F4A7C15u) >> 59];
}

PyObject* seen_marshaler(PyObject* cls) noexcept {
  const SeenClass& e = seen_slot(cls);
  if (e.cls != cls || !PyType_Check(cls)) return nullptr;
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  if (type->tp_version_tag != e.version) return nullptr;
  const MessageMarshaler* m = reinterpret_cast<MarshalerObject*>(e.own)->rec;
  PyTypeObject* meta = Py_TYPE(cls);
  if (m->meta.get() != reinterpret_cast<PyObject*>(meta) ||
      meta->tp_version_tag != m->meta_version) {
    return nullptr;
  }
  return e.own;
}

void remember_marshaler(PyObject* cls, PyObject* own) noexcept {
  unsigned int version = reinterpret_cast<PyTypeObject*>(cls)->tp_version_tag;
  if (version != 0) seen_slot(cls) = SeenClass{cls, own, version};
}
#else
PyObject* seen_marshaler(PyObject*) noexcept { return nullptr; }
void remember_marshaler(PyObject*, PyObject*) noexcept {}
#endif

}  // namespace

MarshalerRef lookup_class_marshaler(PyObject* cls) noexcept {
  if (PyObject* own = seen_marshaler(cls)) {
    return MarshalerRef(reinterpret_cast<MarshalerObject*>(own)->rec, Ref::borrow(own));
  }
  const DescriptorVocabulary* v = vocabulary();
  if (!v) return {};
  if (PyObject* own = own_class_marshaler(cls, v)) {
    remember_marshaler(cls, own);
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

namespace {

void message_dealloc(PyObject* self) noexcept;

#ifndef Py_GIL_DISABLED
// The memory of freed message instances, kept for the next instance of the same size, as the
// interpreter keeps freed floats and tuples: a parse or copy makes, and dropping its result
// frees, many small messages, and the allocator's and collector's bookkeeping is much of that
// cost. A batch is typically dropped before the next one is made, so the bound is in bytes,
// enough for a few megabytes of messages. Blocks nobody took between two full collections are
// freed at the second, so an idle process gives the memory back. Only classes that got
// message_dealloc take part: their memory is interchangeable (see use_message_dealloc). A kept
// block is raw memory whose type is not read again before it is reused or freed, so a class can
// be freed while blocks of its instances wait here. The interpreter lock serialises use, so
// builds without it keep none.
class BlockPool {
 public:
  static constexpr size_t kSizes = 16;  // instances with up to 15 slots of their own
  static constexpr size_t kMaxBytes = size_t{4} << 20;  // instance bytes kept, all sizes

  // A tracked instance of `cls` with one reference and empty slots (emptied when the block was
  // given), for alloc_instance to fill in; null when no block of its size waits.
  PyObject* take(PyTypeObject* cls, YoungTracker* young) noexcept {
    if (cls->tp_dealloc != message_dealloc) return nullptr;
    size_t k = size_index(cls);
    if (k >= kSizes || !head_[k]) return nullptr;
    PyObject* o = head_[k];
    head_[k] = as_native(o)->unknown;  // the link to the next block
    if (--count_[k] < idle_[k]) idle_[k] = count_[k];
    held_ -= block_size(k);
    init_object(o, cls);  // the class reference, the count and the allocation tracer
    if (young) {
      young->track(o);
    } else {
      PyObject_GC_Track(o);
    }
    return o;
  }

  // Keeps the memory of `o`, an instance of a class that got message_dealloc, untracked, its
  // slots emptied and NativeMessage's fields released, when it fits; false leaves freeing it to the
  // caller. A finalized object keeps that mark in the collector's header, which a new object must
  // not inherit.
  bool give(PyObject* o) noexcept {
    size_t k = size_index(Py_TYPE(o));
    if (k >= kSizes || held_ + block_size(k) > kMaxBytes || gc_is_finalized(o)) return false;
    as_native(o)->unknown = head_[k];
    head_[k] = o;
    ++count_[k];
    held_ += block_size(k);
    return true;
  }

  // At a full collection: frees the blocks of each size that stayed unused since the last one.
  void release_idle() noexcept {
    for (size_t k = 0; k < kSizes; ++k) {
      for (; idle_[k] > 0; --idle_[k], --count_[k]) {
        PyObject* o = head_[k];
        head_[k] = as_native(o)->unknown;
        held_ -= block_size(k);
        // Its class may be gone; NativeMessage has no preheader either, as GC_Del needs to know.
        Py_SET_TYPE(o, native_message_type());
        PyObject_GC_Del(o);
      }
      idle_[k] = count_[k];
    }
  }

 private:
  static size_t size_index(PyTypeObject* tp) noexcept {
    return (static_cast<size_t>(tp->tp_basicsize) - sizeof(NativeMessageObject)) /
           sizeof(PyObject*);
  }
  static size_t block_size(size_t k) noexcept {
    return sizeof(NativeMessageObject) + k * sizeof(PyObject*);
  }

  PyObject* head_[kSizes] = {};  // blocks linked through their `unknown` field
  uint32_t count_[kSizes] = {};  // blocks kept, by size
  uint32_t idle_[kSizes] = {};   // the fewest kept since the last full collection, by size
  size_t held_ = 0;              // the basic sizes of the kept blocks, summed
};

BlockPool g_blocks;

PyObject* reuse_block(PyTypeObject* cls, YoungTracker* young) noexcept {
  return g_blocks.take(cls, young);
}
bool keep_block(PyObject* o) noexcept { return g_blocks.give(o); }
#else
PyObject* reuse_block(PyTypeObject*, YoungTracker*) noexcept { return nullptr; }
bool keep_block(PyObject*) noexcept { return false; }
#endif

}  // namespace

void release_idle_blocks() noexcept {
#ifndef Py_GIL_DISABLED
  g_blocks.release_idle();
#endif
}

PyObject* alloc_instance(PyTypeObject* cls, MessageMarshaler* m, YoungTracker* young) noexcept {
  // The schema's slot offsets are only valid for its own class and subclasses.
  if (m && m->has_slots && reinterpret_cast<PyObject*>(cls) != m->cls.get() &&
      !PyType_IsSubtype(cls, reinterpret_cast<PyTypeObject*>(m->cls.get()))) {
    return raise_wrong_type(m->cls.get(), cls->tp_name);
  }
  PyObject* self = reuse_block(cls, young);
  if (!self && !(self = cls->tp_alloc(cls, 0))) return nullptr;
  NativeMessageObject* o = as_native(self);
  o->unknown = nullptr;
  o->weakreflist = nullptr;
  new (&o->presence) PresenceBitset(m && m->max_number < PresenceBitset::kInlineBits);
  o->marshaler = rc_incref(m);
  return self;
}

namespace {

// What NativeMessage itself holds, dropped; the memory stays.
inline void clear_native(PyObject* self) noexcept {
  NativeMessageObject* o = as_native(self);
  if (o->weakreflist) PyObject_ClearWeakRefs(self);
  Py_CLEAR(o->unknown);
  rc_decref(std::exchange(o->marshaler, nullptr));
  o->presence.~PresenceBitset();
}

}  // namespace

void release_native(PyObject* self) noexcept {
  clear_native(self);
  Py_TYPE(self)->tp_free(self);
}

namespace {

// The deallocator and traversal the interpreter gives classes made by a class statement, found
// on a class made for the purpose.
struct GenericSlots {
  destructor dealloc = nullptr;
  traverseproc traverse = nullptr;
};
const GenericSlots* generic_slots() noexcept {
  static GenericSlots found;
  if (!found.dealloc) {
    Ref probe(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(){}",
                                    "_dealloc_probe"));
    if (!probe) return nullptr;
    auto* t = reinterpret_cast<PyTypeObject*>(probe.get());
    found.traverse = t->tp_traverse;
    found.dealloc = t->tp_dealloc;
  }
  return &found;
}

// Whether the slots of the classes from `type` down to NativeMessage are exactly the pointers
// between NativeMessage's end and the instance's end, as a class statement lays out __slots__:
// then freeing empties that range without reading member tables.
bool slots_fill_tail(PyTypeObject* type, PyTypeObject* native) noexcept {
  const Py_ssize_t first = native->tp_basicsize, end = type->tp_basicsize;
  Py_ssize_t count = 0;
  for (PyTypeObject* t = type; t != native; t = t->tp_base) {
    for (PyMemberDef* mp = t->tp_members; mp && mp->name; ++mp) {
      if (mp->type != Py_T_OBJECT_EX || (mp->flags & Py_READONLY) || mp->offset < first ||
          mp->offset + static_cast<Py_ssize_t>(sizeof(PyObject*)) > end) {
        return false;
      }
      ++count;
    }
  }
  return count * static_cast<Py_ssize_t>(sizeof(PyObject*)) == end - first;
}

// Everything message_dealloc does after untracking.
inline void free_message(PyObject* self) noexcept {
  PyTypeObject* tp = Py_TYPE(self);
  if (tp->tp_finalize) [[unlikely]] {
    // A __del__ added to the class after it was made; it may resurrect the instance.
    PyObject_GC_Track(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;
    PyObject_GC_UnTrack(self);
  }
  // The class that got this deallocator: `tp` itself, or a base when the generic deallocator
  // of a Python subclass, having emptied the subclass's own slots, handed over to it.
  PyTypeObject* owner = tp;
  while (owner->tp_dealloc != message_dealloc) owner = owner->tp_base;
  auto** slot =
      reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + sizeof(NativeMessageObject));
  auto** end = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + owner->tp_basicsize);
  for (; slot < end; ++slot) Py_CLEAR(*slot);
  clear_native(self);
  // A subclass's instance may be laid out otherwise: only the owner's own go to the pool.
  if (owner != tp || !keep_block(self)) tp->tp_free(self);
  Py_DECREF(tp);
}

#ifndef Py_GIL_DISABLED
// Message deallocators on the C stack now, over all threads (the interpreter lock serialises
// them, and a thread's own frames never exceed the total). The first kShallowFrees levels skip
// the trashcan's bookkeeping; deeper ones go through it, so long chains still free one level at
// a time instead of recursing.
int g_free_depth = 0;
constexpr int kShallowFrees = 16;
#endif

void message_dealloc(PyObject* self) noexcept {
  gc_untrack(self);
#ifndef Py_GIL_DISABLED
  if (g_free_depth < kShallowFrees) {
    ++g_free_depth;
    free_message(self);
    --g_free_depth;
    return;
  }
#endif
  Py_TRASHCAN_BEGIN(self, message_dealloc) free_message(self);
  Py_TRASHCAN_END
}

// The collector's view of an instance of a class that got message_dealloc: the same references
// the generic traversal reports (the slots, then NativeMessage's), read as one contiguous range
// instead of through each class's member table. A young collection traverses every message a
// parse or copy just made, twice.
int message_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  PyTypeObject* owner = Py_TYPE(self);
  while (owner->tp_traverse != message_traverse) owner = owner->tp_base;
  auto** slot =
      reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + sizeof(NativeMessageObject));
  auto** end = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + owner->tp_basicsize);
  for (; slot < end; ++slot) Py_VISIT(*slot);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_native(self)->unknown);
  return 0;
}

}  // namespace

bool use_message_dealloc(PyObject* cls) noexcept {
  if (!PyType_Check(cls)) return true;
  const GenericSlots* generic = generic_slots();
  if (!generic) return false;
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  PyTypeObject* native = native_message_type();
  // Every class from `cls` down to NativeMessage made by a class statement, none with a dict
  // or a legacy finalizer: then freeing means emptying slots plus NativeMessage's own work.
  // Instances come from the generic allocator with nothing but the collector's header before
  // them and go back through the collector's free, so that the memory of any two such classes
  // of one size is interchangeable (the block pool relies on it).
  if (type->tp_alloc != PyType_GenericAlloc || type->tp_free != PyObject_GC_Del ||
      PyType_HasFeature(type, Py_TPFLAGS_PREHEADER)) {
    return true;
  }
  PyTypeObject* t = type;
  for (; t && t != native; t = t->tp_base) {
    if ((t->tp_dealloc != generic->dealloc && t->tp_dealloc != message_dealloc) ||
        (t->tp_traverse != generic->traverse && t->tp_traverse != message_traverse) ||
        !PyType_HasFeature(t, Py_TPFLAGS_HEAPTYPE) || t->tp_dictoffset != 0 ||
        PyType_HasFeature(t, Py_TPFLAGS_MANAGED_DICT) || t->tp_del ||
        t->tp_weaklistoffset != native->tp_weaklistoffset || t->tp_itemsize != 0) {
      return true;
    }
  }
  if (t == native && slots_fill_tail(type, native)) {
    type->tp_dealloc = message_dealloc;
    type->tp_traverse = message_traverse;
  }
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
