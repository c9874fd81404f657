#include "schema/container_slot.h"

#include "core/python_private.h"
#include "core/ref.h"
#include "schema/descriptor.h"

namespace torvex {

UnmadeContainer g_unmade[2] = {{TORVEX_IMMORTAL_HEAD_INIT(&PyBaseObject_Type)},
                               {TORVEX_IMMORTAL_HEAD_INIT(&PyBaseObject_Type)}};

PyObject* make_container(PyObject* obj, Py_ssize_t offset) noexcept {
  auto** slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
  for (;;) {
    PyObject* placeholder = *slot;
    if (!placeholder) return raise_uninitialized_slot();
    if (!is_unmade(placeholder)) return Py_NewRef(placeholder);
    PyObject* made = placeholder == unmade_dict() ? PyDict_New() : PyList_New(0);
    if (!made) return nullptr;
    // Allocating can collect garbage and so run Python code that fills the slot first: theirs
    // wins, as if they had read it before us.
    if (*slot == placeholder) {
      *slot = made;  // the placeholder is immortal: nothing to release
      return Py_NewRef(made);
    }
    Py_DECREF(made);
  }
}

namespace {

// The class attribute of a lazily made list or map field: the member descriptor's behaviour,
// with the container made on first read.
struct ContainerSlotObject {
  PyObject_HEAD
      // The member descriptor the class had for the slot: its checks and texts stay the ones
      // users know, and class-level reads keep describing the field through it.
      PyObject* member;
  Py_ssize_t offset;
};

ContainerSlotObject* as_slot(PyObject* o) noexcept {
  return reinterpret_cast<ContainerSlotObject*>(o);
}

PyObject* cs_get(PyObject* self, PyObject* obj, PyObject* type) noexcept {
  if (!obj || obj == Py_None) return Py_NewRef(self);
  PyObject* member = as_slot(self)->member;
  PyObject* v = Py_TYPE(member)->tp_descr_get(member, obj, type);
  if (!v || !is_unmade(v)) return v;
  return make_container(obj, as_slot(self)->offset);  // `v` is immortal: no count to drop
}

int cs_set(PyObject* self, PyObject* obj, PyObject* value) noexcept {
  PyObject* member = as_slot(self)->member;
  return Py_TYPE(member)->tp_descr_set(member, obj, value);
}

PyObject* cs_repr(PyObject* self) noexcept { return PyObject_Repr(as_slot(self)->member); }

// __name__, __objclass__, __doc__ and the rest answer as the member descriptor's.
PyObject* cs_getattro(PyObject* self, PyObject* name) noexcept {
  PyObject* v = PyObject_GenericGetAttr(self, name);
  if (v || !PyErr_ExceptionMatches(PyExc_AttributeError)) return v;
  PyErr_Clear();
  return PyObject_GetAttr(as_slot(self)->member, name);
}

int cs_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(as_slot(self)->member);
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int cs_clear(PyObject* self) noexcept {
  Py_CLEAR(as_slot(self)->member);
  return 0;
}

void cs_dealloc(PyObject* self) noexcept {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  cs_clear(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyType_Slot cs_slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(cs_dealloc)},
                          {Py_tp_traverse, reinterpret_cast<void*>(cs_traverse)},
                          {Py_tp_clear, reinterpret_cast<void*>(cs_clear)},
                          {Py_tp_descr_get, reinterpret_cast<void*>(cs_get)},
                          {Py_tp_descr_set, reinterpret_cast<void*>(cs_set)},
                          {Py_tp_repr, reinterpret_cast<void*>(cs_repr)},
                          {Py_tp_getattro, reinterpret_cast<void*>(cs_getattro)},
                          {0, nullptr}};
PyType_Spec cs_spec = {"builtins.container_slot", sizeof(ContainerSlotObject), 0,
                       Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                       cs_slots};

PyTypeObject* g_container_slot_type = nullptr;

}  // namespace

int install_container_slot(PyObject* cls, PyObject* name, Py_ssize_t offset) noexcept {
#ifdef Py_GIL_DISABLED
  // Making the container would race with another thread's read of the same slot.
  (void)cls;
  (void)name;
  (void)offset;
  return 0;
#else
  // Slots hold the placeholders without counts.
  if (offset < 0 || !PyType_Check(cls) || !is_immortal(unmade_list())) return 0;
  PyTypeObject* t = lazy_class(g_container_slot_type, &cs_spec);
  if (!t) return -1;
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  PyObject* current = type->tp_dict ? PyDict_GetItemWithError(type->tp_dict, name) : nullptr;
  if (!current) return PyErr_Occurred() ? -1 : 0;
  if (Py_IS_TYPE(current, t)) return as_slot(current)->offset == offset;  // taken in before
  if (!Py_IS_TYPE(current, &PyMemberDescr_Type)) return 0;
  auto* md = reinterpret_cast<PyMemberDescrObject*>(current);
  if (PyDescr_TYPE(md) != type || !md->d_member || md->d_member->offset != offset) return 0;
  Ref obj(PyType_GenericAlloc(t, 0));
  if (!obj) return -1;
  as_slot(obj.get())->member = Py_NewRef(current);
  as_slot(obj.get())->offset = offset;
  // type.__setattr__ keeps the attribute caches right (the metaclass's own is not involved).
  return PyType_Type.tp_setattro(cls, name, obj.get()) < 0 ? -1 : 1;
#endif
}

}  // namespace torvex
