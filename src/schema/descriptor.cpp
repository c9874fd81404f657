// Schema records, their Python wrapper classes, and handle resolution.
#include "schema/descriptor.h"

#include <algorithm>
#include <cstring>

#include "core/args.h"
#include "core/errors.h"
#include "core/python_private.h"

namespace torvex {

PyObject* raise_uninitialized_slot() noexcept {
  PyErr_SetString(PyExc_AttributeError, "uninitialized slot");
  return nullptr;
}

void EnumNumberMap::insert(int32_t n, PyObject* value) {
  if (n >= 0 && n < kDenseLimit) {
    if (static_cast<size_t>(n) >= dense_.size()) dense_.resize(n + 1, nullptr);
    dense_[n] = value;
  } else {
    sparse_[n] = value;
  }
}

PyObject* EnumNumberMap::find_sparse(int32_t n) const noexcept {
  auto it = sparse_.find(n);
  return it == sparse_.end() ? nullptr : it->second;
}

MarshalerHandle::~MarshalerHandle() { rc_decref(resolved.load(std::memory_order_acquire)); }

FieldSpec::FieldSpec(FieldSpec&& o) noexcept
    : accessor(std::move(o.accessor)),
      oneof_accessor(std::move(o.oneof_accessor)),
      in_oneof(o.in_oneof),
      oneof_index(o.oneof_index),
      local_name(std::move(o.local_name)),
      local_name_obj(std::move(o.local_name_obj)),
      proto_name(std::move(o.proto_name)),
      json_name(std::move(o.json_name)),
      oneof_name(std::move(o.oneof_name)),
      text_name(std::move(o.text_name)),
      number(o.number),
      tag(o.tag),
      presence(o.presence),
      tag_wire_type(o.tag_wire_type),
      kind(o.kind),
      cardinality(o.cardinality),
      has_presence(o.has_presence),
      packed(o.packed),
      packable(o.packable),
      elem(std::move(o.elem)),
      map(std::exchange(o.map, nullptr)),
      json_keys{std::move(o.json_keys[0]), std::move(o.json_keys[1])},
      json_keys_ascii(o.json_keys_ascii) {}

FieldSpec::~FieldSpec() { raw_delete(map); }

// ---- Python wrapper classes -------------------------------------------------------------

namespace {

template <class Obj>
void record_dealloc(PyObject* self) noexcept {
  PyTypeObject* tp = Py_TYPE(self);
  rc_decref(reinterpret_cast<Obj*>(self)->rec);
  tp->tp_free(self);
  Py_DECREF(tp);
}

void member_dealloc(PyObject* self) noexcept {
  PyTypeObject* tp = Py_TYPE(self);
  reinterpret_cast<MemberObject*>(self)->accessor.~AttributeAccessor();
  tp->tp_free(self);
  Py_DECREF(tp);
}

constexpr unsigned long kRecordFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;

PyType_Slot marshaler_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(record_dealloc<MarshalerObject>)},
    {Py_tp_doc, const_cast<char*>("Entrypoint to native marshaling code.")},
    {0, nullptr}};
PyType_Spec marshaler_spec = {"builtins.MessageMarshaler", sizeof(MarshalerObject), 0, kRecordFlags,
                              marshaler_slots};

PyType_Slot handle_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(record_dealloc<HandleObject>)},
    {Py_tp_doc,
     const_cast<char*>("Handle to the marshaler for a message type to reduce Python access on the "
                       "hot path.\nResolved lazily since recursive message types prevent "
                       "marshalers from being ready before\nthe entire message graph has been "
                       "initialized.")},
    {0, nullptr}};
PyType_Spec handle_spec = {"builtins.DescMessage", sizeof(HandleObject), 0, kRecordFlags,
                           handle_slots};

PyType_Slot enum_slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(record_dealloc<EnumObject>)},
                            {0, nullptr}};
PyType_Spec enum_spec = {"builtins.DescEnum", sizeof(EnumObject), 0, kRecordFlags, enum_slots};

PyType_Slot member_slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(member_dealloc)},
                              {0, nullptr}};
PyType_Spec member_spec = {"builtins.Member", sizeof(MemberObject), 0, kRecordFlags, member_slots};

PyTypeObject* g_marshaler_type = nullptr;
PyTypeObject* g_handle_type = nullptr;
PyTypeObject* g_enum_type = nullptr;
PyTypeObject* g_member_type = nullptr;

}  // namespace

// Class objects live for the rest of the process once made. The interpreter lock serialises
// creation; a failed creation is retried on the next call.
PyTypeObject* lazy_class(PyTypeObject*& slot, PyType_Spec* spec) noexcept {
  if (!slot) {
    // Named "builtins.X": these classes report the module of the interpreter's own classes.
    auto* t = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec));
    if (!t) return nullptr;
    if (slot) {
      Py_DECREF(t);  // another thread won while the interpreter lock was released
    } else {
      slot = t;
    }
  }
  return slot;
}

PyTypeObject* marshaler_type() noexcept { return lazy_class(g_marshaler_type, &marshaler_spec); }
PyTypeObject* handle_type() noexcept { return lazy_class(g_handle_type, &handle_spec); }
PyTypeObject* enum_type() noexcept { return lazy_class(g_enum_type, &enum_spec); }
PyTypeObject* member_type() noexcept { return lazy_class(g_member_type, &member_spec); }

MessageMarshaler* marshaler_from_object(PyObject* obj) noexcept {
  PyTypeObject* t = marshaler_type();
  if (!t) return nullptr;
  if (!PyObject_TypeCheck(obj, t)) {
    raise_wrong_type(obj, "MessageMarshaler");
    return nullptr;
  }
  return reinterpret_cast<MarshalerObject*>(obj)->rec;
}

MessageMarshaler* resolve_handle_slow(MarshalerHandle* h) noexcept {
  if (!h->once.acquire()) return nullptr;
  MessageMarshaler* m = h->resolved.load(std::memory_order_acquire);
  if (!m) {
    Ref attr(PyObject_GetAttr(h->cls.get(), h->vocab->ext_marshaler));
    if (attr) {
      m = marshaler_from_object(attr.get());
      if (m) h->resolved.store(rc_incref(m), std::memory_order_release);
    }
  }
  h->once.release();
  return m;
}

int apply_defaults(const MessageMarshaler* m, PyObject* obj) noexcept {
  for (const auto& [acc, value] : m->defaults.plain) {
    if (acc.set(obj, value.get()) < 0) return -1;
  }
  for (const auto& acc : m->defaults.lists) {
    Ref list(acc.lazy ? Py_NewRef(unmade_list()) : PyList_New(0));
    if (!list || acc.set(obj, list.get()) < 0) return -1;
  }
  for (const auto& acc : m->defaults.dicts) {
    Ref dict(acc.lazy ? Py_NewRef(unmade_dict()) : PyDict_New());
    if (!dict || acc.set(obj, dict.get()) < 0) return -1;
  }
  return 0;
}

void index_defaults(DefaultsTable* d) noexcept {
  RVec<Py_ssize_t> offsets;
  auto add = [&offsets](const AttributeAccessor& acc) {
    offsets.push_back(acc.offset);
    return acc.is_slot();
  };
  for (const auto& [acc, value] : d->plain) {
    if (!add(acc)) return;
  }
  for (const auto& acc : d->lists) {
    if (!add(acc)) return;
  }
  for (const auto& acc : d->dicts) {
    if (!add(acc)) return;
  }
  std::sort(offsets.begin(), offsets.end());
  if (std::adjacent_find(offsets.begin(), offsets.end()) != offsets.end()) return;
  for (const auto& [acc, value] : d->plain) {
#ifndef Py_GIL_DISABLED
    // An immortal object's count is never changed, so taking it without one is exact.
    if (is_immortal(value.get())) {
      d->immortal.emplace_back(acc.offset, value.get());
      continue;
    }
#endif
    d->counted.emplace_back(acc.offset, value.get());
  }
  // Lazy containers start as their immortal placeholder, stored as the shared defaults are.
  auto containers = [d](const RVec<AttributeAccessor>& accs, PyObject* placeholder,
                        RVec<Py_ssize_t>* fresh) {
    for (const auto& acc : accs) {
      if (acc.lazy) {
        d->immortal.emplace_back(acc.offset, placeholder);
      } else {
        fresh->push_back(acc.offset);
      }
    }
  };
  containers(d->lists, unmade_list(), &d->list_offsets);
  containers(d->dicts, unmade_dict(), &d->dict_offsets);
  d->by_offset = true;
  constexpr Py_ssize_t kPtr = sizeof(PyObject*);
  if (offsets.empty() ||
      offsets.back() - offsets.front() != static_cast<Py_ssize_t>(offsets.size() - 1) * kPtr) {
    return;
  }
  d->image_offset = offsets.front();
  d->image.assign(offsets.size(), nullptr);
  auto at = [d](const AttributeAccessor& acc) -> PyObject*& {
    return d->image[static_cast<size_t>((acc.offset - d->image_offset) / kPtr)];
  };
  for (const auto& [acc, value] : d->plain) at(acc) = value.get();
  for (const auto& acc : d->lists) at(acc) = acc.lazy ? unmade_list() : nullptr;
  for (const auto& acc : d->dicts) at(acc) = acc.lazy ? unmade_dict() : nullptr;
}

int apply_fresh_defaults(const MessageMarshaler* m, PyObject* obj) noexcept {
  const DefaultsTable& d = m->defaults;
  if (!d.by_offset) return apply_defaults(m, obj);
  char* base = reinterpret_cast<char*>(obj);
  auto slot = [base](Py_ssize_t offset) { return reinterpret_cast<PyObject**>(base + offset); };
  if (d.image_offset >= 0) {
    std::memcpy(base + d.image_offset, d.image.data(), d.image.size() * sizeof(PyObject*));
    for (const auto& [offset, value] : d.counted) Py_INCREF(value);
  } else {
    for (const auto& [offset, value] : d.immortal) *slot(offset) = value;
    for (const auto& [offset, value] : d.counted) *slot(offset) = Py_NewRef(value);
  }
  for (Py_ssize_t offset : d.list_offsets) {
    PyObject* list = PyList_New(0);
    if (!list) return -1;
    *slot(offset) = list;
  }
  for (Py_ssize_t offset : d.dict_offsets) {
    PyObject* dict = PyDict_New();
    if (!dict) return -1;
    *slot(offset) = dict;
  }
  return 0;
}

}  // namespace torvex
