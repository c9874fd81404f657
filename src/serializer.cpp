// Placeholder until the serializer lands.
#include "serializer.h"

#include "errors.h"

namespace torvex {

PyObject* serialize_message(const MessageMarshaler*, PyObject*, bool) noexcept {
  return raise_fmt(PyExc_NotImplementedError, "to_binary is not available in this build yet");
}

}  // namespace torvex
