// Class methods bound once per message class. `Cls.from_binary(...)` would otherwise make and
// free a bound method object on every call, which is a good part of decoding a small message.
#pragma once

#include <Python.h>

namespace torvex {

// Puts into `cls`'s dict, for each class method of `base` that attribute lookup on `cls` finds
// on `base`, an entry that hands out one method bound to `cls`. Lookups through any other class
// or with other arguments get what `base`'s own class method gives. -1 with an error set.
int bind_class_methods(PyObject* cls, PyTypeObject* base) noexcept;

}  // namespace torvex
