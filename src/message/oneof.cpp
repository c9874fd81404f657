#include "message/oneof.h"

#include "core/args.h"
#include "core/compare.h"
#include "core/errors.h"
#include "core/python_private.h"
#include "core/ref.h"

namespace torvex {

namespace {

const char* const kOneofParams[] = {"field", "value"};
const ArgSpec kOneofSpec = {"Oneof.__new__", kOneofParams, 2, 2, 2};

PyObject* oneof_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
  PyObject* out[2];
  if (!parse_args_tuple(kOneofSpec, args, kwargs, out)) return nullptr;
  return make_oneof(out[0], out[1]);
}

int oneof_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  auto* o = reinterpret_cast<OneofObject*>(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(o->field);
  Py_VISIT(o->value);
  return 0;
}

int oneof_clear(PyObject* self) noexcept {
  auto* o = reinterpret_cast<OneofObject*>(self);
  Py_CLEAR(o->field);
  Py_CLEAR(o->value);
  return 0;
}

#ifndef Py_GIL_DISABLED
// Freed Oneofs kept for the next one, as the interpreter keeps freed floats: a document of
// Values makes and drops one per member. The Oneof class is never freed, so keeping its
// instances' memory is safe. Bounded; the interpreter lock serialises use, so builds without it
// keep none.
struct OneofPool {
  static constexpr uint32_t kMax = 256;
  OneofObject* head = nullptr;  // linked through `field`
  uint32_t count = 0;
};
OneofPool g_oneof_pool;
#endif

void oneof_dealloc(PyObject* self) noexcept {
  PyTypeObject* tp = Py_TYPE(self);
  gc_untrack(self);
  oneof_clear(self);
#ifndef Py_GIL_DISABLED
  if (g_oneof_pool.count < OneofPool::kMax) {
    auto* o = reinterpret_cast<OneofObject*>(self);
    o->field = reinterpret_cast<PyObject*>(g_oneof_pool.head);
    g_oneof_pool.head = o;
    ++g_oneof_pool.count;
    Py_DECREF(tp);
    return;
  }
#endif
  tp->tp_free(self);
  Py_DECREF(tp);
}

// A new untracked Oneof with one reference and no contents.
OneofObject* new_oneof(PyTypeObject* tp) noexcept {
#ifndef Py_GIL_DISABLED
  if (OneofObject* o = g_oneof_pool.head) {
    g_oneof_pool.head = reinterpret_cast<OneofObject*>(o->field);
    --g_oneof_pool.count;
    // The class reference, the count and the allocation tracer, as a new object gets them.
    PyObject_Init(reinterpret_cast<PyObject*>(o), tp);
    return o;
  }
#endif
  return PyObject_GC_New(OneofObject, tp);
}

PyObject* oneof_repr(PyObject* self) noexcept {
  auto* o = reinterpret_cast<OneofObject*>(self);
  return PyUnicode_FromFormat("Oneof(field=%R, value=%R)", o->field, o->value);
}

PyObject* oneof_richcompare(PyObject* self, PyObject* other, int op) noexcept {
  if (op == Py_NE) return not_equal_via_eq(self, other);
  if (op != Py_EQ) Py_RETURN_NOTIMPLEMENTED;
  if (!is_oneof(other)) Py_RETURN_FALSE;
  auto* a = reinterpret_cast<OneofObject*>(self);
  auto* b = reinterpret_cast<OneofObject*>(other);
  int t = equal_truth(a->field, b->field);
  if (t <= 0) return t < 0 ? nullptr : Py_NewRef(Py_False);
  t = equal_truth(a->value, b->value);
  if (t < 0) return nullptr;
  return PyBool_FromLong(t);
}

PyMemberDef oneof_members[] = {
    {"field", Py_T_OBJECT_EX, offsetof(OneofObject, field), Py_READONLY, nullptr},
    {"value", Py_T_OBJECT_EX, offsetof(OneofObject, value), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyMethodDef oneof_methods[] = {
    {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS, "See PEP 585"},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot oneof_slots[] = {{Py_tp_new, reinterpret_cast<void*>(oneof_new)},
                             {Py_tp_dealloc, reinterpret_cast<void*>(oneof_dealloc)},
                             {Py_tp_traverse, reinterpret_cast<void*>(oneof_traverse)},
                             {Py_tp_clear, reinterpret_cast<void*>(oneof_clear)},
                             {Py_tp_repr, reinterpret_cast<void*>(oneof_repr)},
                             {Py_tp_richcompare, reinterpret_cast<void*>(oneof_richcompare)},
                             {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
                             {Py_tp_members, oneof_members},
                             {Py_tp_methods, oneof_methods},
                             {Py_tp_doc, const_cast<char*>("Oneof(field, value)\n--\n\n")},
                             {0, nullptr}};

PyType_Spec oneof_spec = {"torvex._oneof.Oneof", sizeof(OneofObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, oneof_slots};

PyTypeObject* create_oneof_type() noexcept {
  Ref t(PyType_FromSpec(&oneof_spec));
  if (!t) return nullptr;
  Ref match_args(Py_BuildValue("(ss)", "field", "value"));
  if (!match_args) return nullptr;
  auto* tp = reinterpret_cast<PyTypeObject*>(t.get());
  if (PyDict_SetItemString(tp->tp_dict, "__match_args__", match_args.get()) < 0) return nullptr;
  PyType_Modified(tp);
  return reinterpret_cast<PyTypeObject*>(t.release());
}

}  // namespace

PyTypeObject* g_oneof_type = nullptr;

PyTypeObject* oneof_type_slow() noexcept {
  if (!g_oneof_type) {
    PyTypeObject* t = create_oneof_type();
    if (!t) return nullptr;
    if (g_oneof_type) {
      Py_DECREF(t);
    } else {
      g_oneof_type = t;
    }
  }
  return g_oneof_type;
}

namespace {

// Values that refer to no other object.
inline bool is_atomic(PyObject* v) noexcept {
  return PyLong_CheckExact(v) || PyUnicode_CheckExact(v) || PyFloat_CheckExact(v) ||
         PyBytes_CheckExact(v) || PyBool_Check(v) || v == Py_None;
}

}  // namespace

PyObject* make_oneof(PyObject* field, PyObject* value) noexcept {
  PyTypeObject* tp = oneof_type();
  if (!tp) return nullptr;
  OneofObject* o = new_oneof(tp);
  if (!o) return nullptr;
  o->field = Py_NewRef(field);
  o->value = Py_NewRef(value);
  // A name and a plain value can be in no reference cycle: the collector need not see the pair.
  if (!PyUnicode_CheckExact(field) || !is_atomic(value)) PyObject_GC_Track(o);
  return reinterpret_cast<PyObject*>(o);
}

int oneof_member(PyObject* attr, const FieldSpec& f, PyObject** value) noexcept {
  if (attr == Py_None || !is_oneof(attr)) return 0;
  auto* o = reinterpret_cast<OneofObject*>(attr);
  if (o->field == f.local_name_obj.get()) {
    *value = o->value;
    return 1;
  }
  // Two interned names are equal only as the same object (intake interns the schema's).
  if (PyUnicode_CheckExact(o->field) && PyUnicode_CHECK_INTERNED(o->field) &&
      PyUnicode_CHECK_INTERNED(f.local_name_obj.get())) {
    return 0;
  }
  std::string_view name;
  if (!str_utf8(o->field, &name)) return -1;
  if (name != std::string_view(f.local_name.data(), f.local_name.size())) return 0;
  *value = o->value;
  return 1;
}

bool set_oneof_member(PyObject* msg, const FieldSpec& f, PyObject* value) noexcept {
  Ref o(make_oneof(f.local_name_obj.get(), value));
  return o && f.oneof_accessor.set(msg, o.get()) == 0;
}

namespace {

// Whether the Oneof `value` names a member field of the oneof behind `acc` (*found).
bool is_member_of(const MessageMarshaler* m, const AttributeAccessor& acc, PyObject* value,
                  int* found) noexcept {
  *found = 0;
  for (const FieldSpec& f : m->fields) {
    if (!f.in_oneof) continue;
    int same = PyUnicode_Compare(f.oneof_name.get(), acc.name.get());
    if (same == -1 && PyErr_Occurred()) return false;
    if (same != 0) continue;
    PyObject* member;
    int r = oneof_member(value, f, &member);
    if (r < 0) return false;
    if (r) {
      *found = 1;
      return true;
    }
  }
  return true;
}

// The usual case, decided without comparing text: `field` is the schema's own name object of a
// member of oneof `k`. Null leaves the answer to the full check.
const FieldSpec* member_by_identity(const MessageMarshaler* m, uint32_t k,
                                    PyObject* field) noexcept {
  for (const FieldSpec& f : m->fields) {
    if (f.in_oneof && f.local_name_obj.get() == field && f.oneof_index == k) return &f;
  }
  return nullptr;
}

// The member of oneof `k` that the (checked) Oneof `value` names, found by text; null when no
// indexed member matches.
bool member_by_name(const MessageMarshaler* m, uint32_t k, PyObject* value,
                    const FieldSpec** out) noexcept {
  *out = nullptr;
  for (const FieldSpec& f : m->fields) {
    if (!f.in_oneof || f.oneof_index != k) continue;
    PyObject* member;
    int r = oneof_member(value, f, &member);
    if (r < 0) return false;
    if (r) {
      *out = &f;
      return true;
    }
  }
  return true;
}

}  // namespace

bool check_oneofs(const MessageMarshaler* m, PyObject* msg, OneofChoices* out) noexcept {
  const uint32_t n = static_cast<uint32_t>(m->oneofs.size());
  if (out) out->ready = n <= OneofChoices::kMax;
  for (uint32_t k = 0; k < n; ++k) {
    const AttributeAccessor& acc = m->oneofs[k];
    Ref v(acc.get(msg));
    if (!v) return false;
    if (v.get() == Py_None) continue;
    if (!is_oneof(v.get())) {
      raise_fmt(PyExc_TypeError, "expected Oneof, got '%S'",
                reinterpret_cast<PyObject*>(Py_TYPE(v.get())));
      return false;
    }
    Ref field = Ref::borrow(reinterpret_cast<OneofObject*>(v.get())->field);
    const FieldSpec* chosen = member_by_identity(m, k, field.get());
    if (!chosen) {
      int r = PySequence_Contains(m->fields_by_name.get(), field.get());
      if (r < 0) return false;
      // A field of the message that is no member of this oneof would be silently dropped by
      // the encoders, so it is refused like an unknown name.
      if (r && !is_member_of(m, acc, v.get(), &r)) return false;
      if (!r) {
        raise_fmt(PyExc_ValueError, "unknown oneof field '%S'", field.get());
        return false;
      }
      if (out && out->ready && !member_by_name(m, k, v.get(), &chosen)) return false;
      // Not found by index: the encoder reads the members one by one instead.
      if (!chosen && out) out->ready = false;
    }
    if (out && out->ready) {
      out->member[k] = chosen;
      out->holder[k] = std::move(v);
    }
  }
  return true;
}

}  // namespace torvex
