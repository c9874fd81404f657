#include "message/class_methods.h"

#include "core/ref.h"

namespace torvex {

namespace {

struct ClassEntryObject {
  PyObject_HEAD
      // The method bound to `owner`, made once.
      PyObject* bound;
  // The class whose dict holds the entry; only lookups through it get `bound`.
  PyObject* owner;
  // The base's class method of the same name, which binds for everything else.
  PyObject* fallback;
};

ClassEntryObject* as_entry(PyObject* o) noexcept { return reinterpret_cast<ClassEntryObject*>(o); }

PyObject* entry_get(PyObject* self, PyObject* obj, PyObject* type) noexcept {
  ClassEntryObject* e = as_entry(self);
  PyObject* through = type ? type : obj ? reinterpret_cast<PyObject*>(Py_TYPE(obj)) : nullptr;
  if (through == e->owner) return Py_NewRef(e->bound);
  return Py_TYPE(e->fallback)->tp_descr_get(e->fallback, obj, type);
}

int entry_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  ClassEntryObject* e = as_entry(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(e->bound);
  Py_VISIT(e->owner);
  Py_VISIT(e->fallback);
  return 0;
}

int entry_clear(PyObject* self) noexcept {
  ClassEntryObject* e = as_entry(self);
  Py_CLEAR(e->bound);
  Py_CLEAR(e->owner);
  Py_CLEAR(e->fallback);
  return 0;
}

void entry_dealloc(PyObject* self) noexcept {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  entry_clear(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyObject* entry_repr(PyObject* self) noexcept { return PyObject_Repr(as_entry(self)->fallback); }

PyType_Slot entry_slots[] = {{Py_tp_descr_get, reinterpret_cast<void*>(entry_get)},
                             {Py_tp_dealloc, reinterpret_cast<void*>(entry_dealloc)},
                             {Py_tp_traverse, reinterpret_cast<void*>(entry_traverse)},
                             {Py_tp_clear, reinterpret_cast<void*>(entry_clear)},
                             {Py_tp_repr, reinterpret_cast<void*>(entry_repr)},
                             {0, nullptr}};

PyType_Spec entry_spec = {"torvex_ext._ClassMethodEntry", sizeof(ClassEntryObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, entry_slots};

PyTypeObject* g_entry_type = nullptr;

PyTypeObject* entry_type() noexcept {
  if (!g_entry_type) {
    auto* t = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&entry_spec));
    if (!t) return nullptr;
    if (g_entry_type) {
      Py_DECREF(t);
    } else {
      g_entry_type = t;
    }
  }
  return g_entry_type;
}

// What attribute lookup on the class `cls` finds for `name` along its MRO (borrowed), or
// nullptr (with an error set only on failure).
PyObject* mro_lookup(PyTypeObject* cls, PyObject* name) noexcept {
  PyObject* mro = cls->tp_mro;
  if (!mro || !PyTuple_Check(mro)) return nullptr;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    auto* t = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
    if (!t->tp_dict) continue;
    PyObject* found = PyDict_GetItemWithError(t->tp_dict, name);
    if (found || PyErr_Occurred()) return found;
  }
  return nullptr;
}

}  // namespace

int bind_class_methods(PyObject* cls, PyTypeObject* base) noexcept {
  if (!PyType_Check(cls) || !base->tp_methods || !base->tp_dict) return 0;
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  // A metaclass may answer attribute lookups itself; then the dict is not what callers see.
  // An immutable class keeps the per-call binding.
  if (Py_TYPE(cls)->tp_getattro != PyType_Type.tp_getattro ||
      PyType_HasFeature(type, Py_TPFLAGS_IMMUTABLETYPE)) {
    return 0;
  }
  PyTypeObject* et = entry_type();
  if (!et) return -1;
  for (PyMethodDef* def = base->tp_methods; def->ml_name; ++def) {
    if (!(def->ml_flags & METH_CLASS)) continue;
    Ref name(PyUnicode_InternFromString(def->ml_name));
    if (!name) return -1;
    PyObject* fallback = PyDict_GetItemWithError(base->tp_dict, name.get());
    if (!fallback) {
      if (PyErr_Occurred()) return -1;
      continue;
    }
    // A class (or base between) that defines the name itself keeps its own.
    PyObject* found = mro_lookup(type, name.get());
    if (found != fallback) {
      if (PyErr_Occurred()) return -1;
      continue;
    }
    Ref bound(Py_TYPE(fallback)->tp_descr_get(fallback, nullptr, cls));
    if (!bound) return -1;
    auto* e = PyObject_GC_New(ClassEntryObject, et);
    if (!e) return -1;
    e->bound = bound.release();
    e->owner = Py_NewRef(cls);
    e->fallback = Py_NewRef(fallback);
    PyObject_GC_Track(e);
    Ref entry(reinterpret_cast<PyObject*>(e));
    if (PyType_Type.tp_setattro(cls, name.get(), entry.get()) < 0) return -1;
  }
  return 0;
}

}  // namespace torvex
