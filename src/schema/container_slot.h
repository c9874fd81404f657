// List and map fields made on first read. Most decoded messages leave most of their containers
// empty, and an empty list or dict per field per instance is most of their memory: the slot
// holds a shared placeholder instead until something reads it. Python reads go through the
// class's ContainerSlot descriptor, native reads through AttributeAccessor::get; both put a
// new empty container in the placeholder's place, so no reader ever sees the placeholder.
#pragma once

#include <Python.h>

namespace torvex {

struct UnmadeContainer {
  PyObject_HEAD
};
// [0] stands for an empty list, [1] for an empty dict. Statically allocated and immortal: slots
// hold them without counts.
extern UnmadeContainer g_unmade[2];

inline PyObject* unmade_list() noexcept { return &g_unmade[0].ob_base; }
inline PyObject* unmade_dict() noexcept { return &g_unmade[1].ob_base; }
inline bool is_unmade(PyObject* v) noexcept { return v == unmade_list() || v == unmade_dict(); }

// Puts a new empty container in place of the placeholder in the slot at `offset` of `obj` and
// returns it (new reference); whatever else the slot holds by then is returned instead.
PyObject* make_container(PyObject* obj, Py_ssize_t offset) noexcept;

// Replaces the member descriptor of the list or map slot `name` in `cls`'s own dict with a
// ContainerSlot, so its slot may hold a placeholder. 1 when the slot may (now or already), 0 when
// it is left alone (not a plain object slot of `cls` at `offset`, or no placeholders in this
// build), -1 on error.
int install_container_slot(PyObject* cls, PyObject* name, Py_ssize_t offset) noexcept;

}  // namespace torvex
