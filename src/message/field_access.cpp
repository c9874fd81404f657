#include "message/field_access.h"

#include "core/errors.h"

namespace torvex {

int required_not_set(const FieldSpec& f) noexcept {
  raise_fmt(PyExc_ValueError, "cannot encode %s to binary: required field not set",
            f.local_name.c_str());
  return -1;
}

int select_field_value(PyObject* msg, const FieldSpec& f, bool emit_implicit, Ref* out) noexcept {
  return select_value(msg, f, emit_implicit, out);
}

}  // namespace torvex
