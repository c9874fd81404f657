#include "message/merge_copy.h"

#include <utility>

#include "core/errors.h"
#include "core/limits.h"
#include "core/portable.h"
#include "core/ref.h"
#include "message/field_access.h"
#include "message/instance.h"
#include "message/oneof.h"
#include "message/unknown_fields.h"

namespace torvex {

namespace {

// Copies and merges recurse once per level of message nesting, and stop at the codecs'
// nesting limit: the receiver is at depth 0, a message at depth 101 fails. A message graph
// with a cycle (m.child = m, or through a list) is refused as soon as the cycle closes: a
// cycle reached twice per level (m.items = [m, m]) would otherwise take 2^100 steps to reach
// the limit, and a list merged into itself would double at every level.
TORVEX_COLD bool cycle(const char* doing) noexcept {
  raise_fmt(PyExc_RecursionError, "message graph has a reference cycle while %s message", doing);
  return false;
}

// The messages on the current path of a recursion, by depth (borrowed: each is held by the
// frame that entered it). Checking a message against its ancestors finds a cycle.
struct Path {
  PyObject* msg[MAX_RECURSION_DEPTH + 1];
  PyObject* src[MAX_RECURSION_DEPTH + 1];  // merge only: the source merged into msg[i]
  uint32_t first = 0;  // a copy made for an overriding __deepcopy__ starts at its depth

  // A copy looks for cycles from this many levels below its start on. A cycle that closes
  // higher up is found as the walk goes round it and reaches that level, and the first failure
  // ends the walk, so the shallow levels, where nearly all messages are, skip the search.
  static constexpr uint32_t kUncheckedLevels = 8;

  // Enters `m` at `depth` for a copy, where no source pairs with it; raises on a cycle or
  // beyond the limit.
  bool enter(uint32_t depth, PyObject* m, const char* doing) noexcept {
    if (depth > MAX_RECURSION_DEPTH) [[unlikely]] {
      return fail_too_deep(doing);
    }
    if (depth - first >= kUncheckedLevels) [[unlikely]] {
      for (uint32_t i = first; i < depth; ++i) {
        if (msg[i] == m) [[unlikely]] {
          return cycle(doing);
        }
      }
    }
    msg[depth] = m;
    return true;
  }

  // Enters `msg` (and `src`) at `depth`; raises on a cycle or beyond the limit.
  bool enter(uint32_t depth, PyObject* m, PyObject* s, const char* doing) noexcept {
    if (depth > MAX_RECURSION_DEPTH) [[unlikely]] {
      return fail_too_deep(doing);
    }
    for (uint32_t i = 0; i < depth; ++i) {
      if (msg[i] == m && src[i] == s) [[unlikely]] {
        return cycle(doing);
      }
    }
    msg[depth] = m;
    src[depth] = s;
    return true;
  }
};

// How a value met inside a message is copied.
enum class Kind : uint8_t { Shared, Message, Override };

// One copy or merge in progress: the path, and the classes met so far. A batch holds many
// messages of few classes, so telling a sub-message from other values (and finding whether its
// class overrides __deepcopy__) is one pointer comparison after the first of each class,
// instead of a walk of the class's bases.
struct Walk {
  Path path;
  // NativeMessage's own __new__: a class using it (with an ordinary metaclass) is allocated
  // directly, as new_message would, without a call per copied message.
  newfunc native_new = native_message_type()->tp_new;
  YoungTracker young;  // tracks the messages this walk makes
  // Deep copy only: the memo handed to overriding __deepcopy__ methods (borrowed from the
  // caller, or a dict of our own made on first need). Merge copies natively throughout.
  bool overrides = false;
  PyObject* memo = nullptr;
  Ref own_memo;
  // Classes seen, held so that an address cannot be reused by another class mid-walk.
  static constexpr uint32_t kSeen = 8;
  Ref seen[kSeen];
  Kind seen_kind[kSeen];
  uint32_t n_seen = 0;

  // Shared for anything that is not a message (-1 with an error set on failure).
  int kind_of(PyObject* v, Kind* out) noexcept {
    PyTypeObject* t = Py_TYPE(v);
    for (uint32_t i = 0; i < n_seen; ++i) {
      if (seen[i].get() == reinterpret_cast<PyObject*>(t)) {
        *out = seen_kind[i];
        return 0;
      }
    }
    return classify(v, out);
  }
  int classify(PyObject* v, Kind* out) noexcept;
};

// Values that can never need copying, answered from the type flags without walking a type's
// bases. Subclasses of int (enum members, bool), str and bytes qualify: their layout cannot
// also be a message's, list's or dict's, and Oneof cannot be subclassed.
inline bool plain_value(PyObject* v) noexcept {
  PyTypeObject* t = Py_TYPE(v);
  return PyType_FastSubclass(t, Py_TPFLAGS_LONG_SUBCLASS | Py_TPFLAGS_UNICODE_SUBCLASS |
                                    Py_TPFLAGS_BYTES_SUBCLASS) ||
         t == &PyFloat_Type || v == Py_None;
}

// Classifies a class on its first meeting. A message class whose __deepcopy__ is not
// NativeMessage's own has an author who decided what its copy is.
TORVEX_NOINLINE int Walk::classify(PyObject* v, Kind* out) noexcept {
  PyTypeObject* t = Py_TYPE(v);
  *out = Kind::Shared;
  if (!is_native_message(v)) return 0;
  *out = Kind::Message;
  if (overrides) {
    const DescriptorVocabulary* voc = vocabulary();
    if (!voc) return -1;
    Ref ours(PyObject_GetAttr(reinterpret_cast<PyObject*>(native_message_type()), voc->deepcopy));
    if (!ours) return -1;
    Ref theirs(PyObject_GetAttr(reinterpret_cast<PyObject*>(t), voc->deepcopy));
    if (!theirs) return -1;
    if (theirs.get() != ours.get()) *out = Kind::Override;
  }
  if (n_seen < kSeen) {
    seen[n_seen] = Ref::borrow(reinterpret_cast<PyObject*>(t));
    seen_kind[n_seen++] = *out;
  }
  return 0;
}

PyObject* copy_message(const MessageMarshaler* m, PyObject* self, bool deep, uint32_t depth,
                       Walk& w) noexcept;
bool copy_attrs(const MessageMarshaler* m, PyObject* self, PyObject* out, bool deep, uint32_t depth,
                Walk& w) noexcept;

// The nesting depth at which this thread's innermost overriding __deepcopy__ was called: the
// native copy it asks for continues at that depth, so that copies interleaved with overrides
// keep one nesting limit (and a bounded stack) between them.
thread_local uint32_t t_override_depth = 0;

// The class's own __deepcopy__(memo) for message `v` at `depth`, as copy.deepcopy calls it.
TORVEX_NOINLINE PyObject* call_override(PyObject* v, uint32_t depth, Walk& w) noexcept {
  if (depth > MAX_RECURSION_DEPTH) [[unlikely]] {
    fail_too_deep("copying");
    return nullptr;
  }
  if (!w.memo) {
    w.own_memo = Ref(PyDict_New());
    if (!w.own_memo) return nullptr;
    w.memo = w.own_memo.get();
  }
  const DescriptorVocabulary* voc = vocabulary();
  if (!voc) return nullptr;
  PyObject* args[] = {nullptr, v, w.memo};  // args[0]: room for the callee (OFFSET)
  uint32_t saved = std::exchange(t_override_depth, depth);
  PyObject* out = PyObject_VectorcallMethod(voc->deepcopy, args + 1,
                                            2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
  t_override_depth = saved;
  return out;
}

// The deep copy of message `v` at nesting `depth` (new reference).
PyObject* deep_message(PyObject* v, Kind kind, uint32_t depth, Walk& w) noexcept {
  if (kind == Kind::Override) [[unlikely]] {
    return call_override(v, depth, w);
  }
  if (MessageMarshaler* bound = as_native(v)->marshaler) [[likely]] {
    return copy_message(bound, v, true, depth, w);
  }
  MarshalerRef m = lookup_marshaler(v);
  if (!m) return nullptr;
  return copy_message(m.get(), v, true, depth, w);
}

// The value copy rule for an element of a list or a value of a dict: messages are deep-copied,
// everything else is shared. `depth` is that of the message holding the container.
inline PyObject* copy_element(PyObject* v, uint32_t depth, Walk& w) noexcept {
  Kind k;
  if (plain_value(v)) return Py_NewRef(v);
  if (w.kind_of(v, &k) < 0) return nullptr;
  if (k == Kind::Shared) return Py_NewRef(v);
  return deep_message(v, k, depth + 1, w);
}

// Index of the first message in items[0:n], or n (-1 with an error set).
inline Py_ssize_t first_message(PyObject* const* items, Py_ssize_t n, Walk& w) noexcept {
  for (Py_ssize_t i = 0; i < n; ++i) {
    Kind k;
    if (plain_value(items[i])) continue;
    if (w.kind_of(items[i], &k) < 0) return -1;
    if (k != Kind::Shared) return i;
  }
  return n;
}

// A new exact list with the copies of the elements: one block copy of the whole list, then
// the messages replaced by their copies. Filled from that private snapshot, so Python code run
// by a copied element's __new__ cannot change what is being walked.
PyObject* deep_list(PyObject* v, uint32_t depth, Walk& w) noexcept {
  Ref out(PyList_GetSlice(v, 0, PyList_GET_SIZE(v)));
  if (!out) return nullptr;
  PyObject** items = reinterpret_cast<PyListObject*>(out.get())->ob_item;
  Py_ssize_t n = PyList_GET_SIZE(out.get());
  Py_ssize_t i = first_message(items, n, w);
  if (i < 0) return nullptr;
  for (; i < n; ++i) {
    PyObject* item = PyList_GET_ITEM(out.get(), i);
    Kind k;
    if (plain_value(item)) continue;
    if (w.kind_of(item, &k) < 0) return nullptr;
    if (k == Kind::Shared) continue;
    PyObject* copy = deep_message(item, k, depth + 1, w);
    if (!copy) return nullptr;
    PyList_SET_ITEM(out.get(), i, copy);
    Py_DECREF(item);
  }
  return out.release();
}

// A new exact dict with the same keys in the same order and the copies of the values.
PyObject* deep_dict(PyObject* v, uint32_t depth, Walk& w) noexcept {
  Ref out;
  if (PyDict_CheckExact(v)) {
    out = Ref(PyDict_Copy(v));
    if (!out) return nullptr;
  } else {
    // A subclass may override iteration; read its storage as the exact type would.
    out = Ref(PyDict_New());
    if (!out) return nullptr;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(v, &pos, &key, &value)) {
      Ref k = Ref::borrow(key), val = Ref::borrow(value);
      if (PyDict_SetItem(out.get(), k.get(), val.get()) < 0) return nullptr;
    }
  }
  // Replacing the values of existing keys leaves the private dict's layout, and with it the
  // iteration, intact.
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(out.get(), &pos, &key, &value)) {
    Kind kind;
    if (plain_value(value)) continue;
    if (w.kind_of(value, &kind) < 0) return nullptr;
    if (kind == Kind::Shared) continue;
    Ref k = Ref::borrow(key);
    Ref copy(deep_message(value, kind, depth + 1, w));
    if (!copy || PyDict_SetItem(out.get(), k.get(), copy.get()) < 0) return nullptr;
  }
  return out.release();
}

// An Oneof holding a message gets a new Oneof around the message's deep copy; others are
// immutable and shared.
PyObject* deep_oneof(PyObject* v, uint32_t depth, Walk& w) noexcept {
  auto* o = reinterpret_cast<OneofObject*>(v);
  Kind k = Kind::Shared;
  if (plain_value(o->value)) return Py_NewRef(v);
  if (w.kind_of(o->value, &k) < 0) return nullptr;
  if (k == Kind::Shared) return Py_NewRef(v);
  Ref copy(deep_message(o->value, k, depth + 1, w));
  if (!copy) return nullptr;
  return make_oneof(o->field, copy.get());
}

// The deep copy of one attribute value of a message at `depth`, `v` not plain. Exact
// containers first (the common case), then messages, then subclasses of list and dict.
PyObject* deep_value(PyObject* v, uint32_t depth, Walk& w) noexcept {
  if (PyList_CheckExact(v)) return deep_list(v, depth, w);
  if (PyDict_CheckExact(v)) return deep_dict(v, depth, w);
  if (Py_IS_TYPE(v, oneof_type())) return deep_oneof(v, depth, w);
  Kind k;
  if (w.kind_of(v, &k) < 0) return nullptr;
  if (k != Kind::Shared) return deep_message(v, k, depth + 1, w);
  if (PyList_Check(v)) return deep_list(v, depth, w);
  if (PyDict_Check(v)) return deep_dict(v, depth, w);
  return Py_NewRef(v);
}

bool union_presence(PyObject* dst, PyObject* src) noexcept {
  BitsetStatus st = as_native(dst)->presence.union_from(as_native(src)->presence);
  return st == BitsetStatus::Ok || raise_bitset_status(st);
}

// The deep copies of the attributes of `self` stored into `out`, a fresh instance whose slots
// are all empty, for a schema whose attributes are all slots.
bool copy_slots(const MessageMarshaler* m, PyObject* self, PyObject* out, uint32_t depth,
                Walk& w) noexcept {
  char* src = reinterpret_cast<char*>(self);
  char* dst = reinterpret_cast<char*>(out);
  for (Py_ssize_t offset : m->attr_offsets) {
    PyObject* v = *reinterpret_cast<PyObject**>(src + offset);
    if (!v) [[unlikely]] {
      raise_uninitialized_slot();
      return false;
    }
    if (plain_value(v) || is_unmade(v)) {
      Py_INCREF(v);
    } else {
      // Held while copying: Python code a copy runs may replace the source's value.
      Ref held = Ref::borrow(v);
      if (!(v = deep_value(v, depth, w))) return false;
    }
    *reinterpret_cast<PyObject**>(dst + offset) = v;
  }
  return true;
}

PyObject* copy_message(const MessageMarshaler* m, PyObject* self, bool deep, uint32_t depth,
                       Walk& w) noexcept {
  if (!w.path.enter(depth, self, "copying")) return nullptr;
  PyTypeObject* cls = Py_TYPE(self);
  bool fresh = cls->tp_new == w.native_new && Py_TYPE(cls)->tp_getattro == PyType_Type.tp_getattro;
  Ref out(fresh ? alloc_instance(cls, const_cast<MessageMarshaler*>(m), &w.young)
                : new_message(m, reinterpret_cast<PyObject*>(cls)));
  if (!out) return nullptr;
  if (deep && fresh && m->attrs_in_slots) [[likely]] {
    if (!copy_slots(m, self, out.get(), depth, w)) return nullptr;
  } else {
    if (!copy_attrs(m, self, out.get(), deep, depth, w)) return nullptr;
  }
  BitsetStatus st = as_native(out.get())->presence.union_into_unshared(as_native(self)->presence);
  if (st != BitsetStatus::Ok && !raise_bitset_status(st)) return nullptr;
  if (as_native(self)->unknown && !copy_unknown_fields(out.get(), self)) return nullptr;
  return out.release();
}

// The copies (deep or shallow) of the attributes of `self` stored into `out`, through the
// accessors.
bool copy_attrs(const MessageMarshaler* m, PyObject* self, PyObject* out, bool deep, uint32_t depth,
                Walk& w) noexcept {
  for (const AttrEntry& a : m->attrs) {
    Ref v(deep ? a.accessor.get_keeping_unmade(self) : a.accessor.get(self));
    if (!v) return false;
    if (deep && !plain_value(v.get())) {
      v = Ref(deep_value(v.get(), depth, w));
      if (!v) return false;
    }
    if (a.accessor.is_slot()) [[likely]] {
      // Hand our reference over: saves a count update per attribute.
      PyObject** slot =
          reinterpret_cast<PyObject**>(reinterpret_cast<char*>(out) + a.accessor.offset);
      Py_XDECREF(std::exchange(*slot, v.release()));
    } else if (a.accessor.set(out, v.get()) < 0) {
      return false;
    }
  }
  return true;
}

// ---- merge ------------------------------------------------------------------------------

bool merge_at(PyObject* dst, PyObject* src, bool ignore, uint32_t depth, Walk& w) noexcept;

// Merges message `v` (at depth + 1) into the message `d` a destination attribute holds.
bool merge_into_message(const AttrEntry& a, PyObject* dst, PyObject* v, bool ignore, uint32_t depth,
                        Walk& w) noexcept {
  Ref d(a.accessor.get(dst));
  if (!d) return false;
  if (d.get() == Py_None) {
    // A new sub-message of the source value's type, with its defaults, merged into.
    MarshalerRef sm = lookup_marshaler(v);
    if (!sm) return false;
    d = Ref(create_empty_message(sm.get(), reinterpret_cast<PyObject*>(Py_TYPE(v))));
    if (!d || a.accessor.set(dst, d.get()) < 0) return false;
  } else if (!is_native_message(d.get()))
    return fail_wrong_type(d.get(), "NativeMessage");
  return merge_at(d.get(), v, ignore, depth + 1, w);
}

// Appends the copies of v's elements to the destination's list. Elements are taken by index
// while below both v's length at the start and its current length, so Python code run by a
// copy that shrinks v cannot make us read past its end, and a list merged into itself only
// duplicates what it held at the start.
bool merge_list(const AttrEntry& a, PyObject* dst, PyObject* v, uint32_t depth, Walk& w) noexcept {
  Ref d(a.accessor.get(dst));
  if (!d) return false;
  if (!PyList_Check(d.get())) return fail_wrong_type(d.get(), "list");
  Py_ssize_t n = PyList_GET_SIZE(v);
  if (n == 0) return true;
  PyObject** items = reinterpret_cast<PyListObject*>(v)->ob_item;
  Py_ssize_t first = first_message(items, n, w);
  if (first < 0) return false;
  if (first == n) {
    // Nothing to copy: one slice append (a snapshot first, in case d is v).
    Ref slice(PyList_GetSlice(v, 0, n));
    if (!slice) return false;
    Py_ssize_t end = PyList_GET_SIZE(d.get());
    return PyList_SetSlice(d.get(), end, end, slice.get()) == 0;
  }
  for (Py_ssize_t i = 0; i < n && i < PyList_GET_SIZE(v); ++i) {
    Ref item = Ref::borrow(PyList_GET_ITEM(v, i));
    Ref copy(copy_element(item.get(), depth, w));
    if (!copy || PyList_Append(d.get(), copy.get()) < 0) return false;
  }
  return true;
}

// Sets the destination's entry for each key of v to the copy of v's value.
bool merge_dict(const AttrEntry& a, PyObject* dst, PyObject* v, uint32_t depth, Walk& w) noexcept {
  Ref d(a.accessor.get(dst));
  if (!d) return false;
  if (!PyDict_Check(d.get())) return fail_wrong_type(d.get(), "dict");
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  bool messages = false;
  while (PyDict_Next(v, &pos, &key, &value)) {
    if (!plain_value(value) && is_native_message(value)) {
      messages = true;
      break;
    }
  }
  // Only the exact type: a subclass's own iteration must not decide what is merged.
  if (!messages && PyDict_CheckExact(v)) return PyDict_Update(d.get(), v) == 0;
  pos = 0;
  while (PyDict_Next(v, &pos, &key, &value)) {
    Ref k = Ref::borrow(key), val = Ref::borrow(value);
    Ref copy(copy_element(val.get(), depth, w));
    if (!copy || PyDict_SetItem(d.get(), k.get(), copy.get()) < 0) return false;
  }
  return true;
}

// Whether two Oneof field names are the same member (str content; anything else differs).
inline bool same_member(PyObject* a, PyObject* b) noexcept {
  if (a == b) return true;
  return PyUnicode_Check(a) && PyUnicode_Check(b) && PyUnicode_Compare(a, b) == 0;
}

// A source Oneof replaces the destination's, except that the same message member set on both
// sides is merged in place, as the binary parser does for a repeated occurrence.
bool merge_oneof(const AttrEntry& a, PyObject* dst, PyObject* v, bool ignore, uint32_t depth,
                 Walk& w) noexcept {
  auto* so = reinterpret_cast<OneofObject*>(v);
  if (!plain_value(so->value) && is_native_message(so->value)) {
    Ref d(a.accessor.get(dst));
    if (!d) return false;
    if (is_oneof(d.get())) {
      auto* dof = reinterpret_cast<OneofObject*>(d.get());
      if (Py_TYPE(dof->value) == Py_TYPE(so->value) && is_native_message(dof->value) &&
          same_member(dof->field, so->field)) {
        // `d` holds the Oneof, and the Oneof its value, for the whole merge.
        return merge_at(dof->value, so->value, ignore, depth + 1, w);
      }
    }
  }
  Ref copy(deep_oneof(v, depth, w));
  return copy && a.accessor.set(dst, copy.get()) == 0;
}

bool merge_attrs(const MessageMarshaler* m, PyObject* dst, PyObject* src, bool ignore,
                 uint32_t depth, Walk& w) noexcept {
  for (const AttrEntry& a : m->attrs) {
    if (a.has_presence && !presence_test(src, a.number)) continue;
    Ref v;
    if (a.implicit) {
      // An implicit-presence scalar or enum at its zero value is unset, as on the wire: it
      // must not overwrite the destination.
      int r = select_field_value(src, *a.implicit, false, &v);
      if (r <= 0) {
        if (r < 0) return false;
        continue;
      }
    } else {
      v = Ref(a.accessor.get(src));
      if (!v) return false;
    }
    PyObject* value = v.get();
    bool ok;
    if (plain_value(value)) {
      if (value == Py_None) continue;
      ok = a.accessor.set(dst, value) == 0;
    } else if (is_native_message(value)) {
      ok = merge_into_message(a, dst, value, ignore, depth, w);
    } else if (PyList_Check(value)) {
      ok = merge_list(a, dst, value, depth, w);
    } else if (PyDict_Check(value)) {
      ok = merge_dict(a, dst, value, depth, w);
    } else if (is_oneof(value)) {
      ok = merge_oneof(a, dst, value, ignore, depth, w);
    } else {
      ok = a.accessor.set(dst, value) == 0;
    }
    if (!ok) return false;
  }
  return true;
}

TORVEX_COLD bool raise_source_type(const MessageMarshaler* m, PyObject* src) noexcept {
  Ref expected(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(m->cls.get())));
  if (!expected) return false;
  Ref got(PyType_GetQualName(Py_TYPE(src)));
  if (!got) return false;
  raise_fmt(PyExc_TypeError, "invalid source message type, expected %U, got %U", expected.get(),
            got.get());
  return false;
}

bool merge_checked(const MessageMarshaler* m, PyObject* dst, PyObject* src, bool ignore,
                   uint32_t depth, Walk& w) noexcept {
  PyObject* cls = m->cls.get();
  if (Py_TYPE(src) != reinterpret_cast<PyTypeObject*>(cls)) {
    int r = PyObject_IsInstance(src, cls);
    if (r <= 0) return r == 0 ? raise_source_type(m, src) : false;
    // isinstance can be answered by Python code (__instancecheck__, __class__); the slot
    // offsets need the real layout.
    if (!check_layout(src, m)) return false;
  }
  if (!w.path.enter(depth, dst, src, "merging") || !union_presence(dst, src) ||
      !merge_attrs(m, dst, src, ignore, depth, w)) {
    return false;
  }
  return ignore || merge_unknown_fields(dst, src);
}

bool merge_at(PyObject* dst, PyObject* src, bool ignore, uint32_t depth, Walk& w) noexcept {
  MarshalerRef m = lookup_marshaler(dst);
  return m && merge_checked(m.get(), dst, src, ignore, depth, w);
}

}  // namespace

PyObject* shallow_copy(const MessageMarshaler* m, PyObject* self) noexcept {
  Walk w;
  return copy_message(m, self, false, 0, w);
}

PyObject* deep_copy(const MessageMarshaler* m, PyObject* self, PyObject* memo) noexcept {
  Walk w;
  w.overrides = true;
  if (memo != Py_None) w.memo = memo;
  w.path.first = t_override_depth;
  return copy_message(m, self, true, w.path.first, w);
}

bool merge_message(const MessageMarshaler* m, PyObject* dst, PyObject* source,
                   bool ignore_unknown_fields) noexcept {
  Walk w;
  return merge_checked(m, dst, source, ignore_unknown_fields, 0, w);
}

}  // namespace torvex
