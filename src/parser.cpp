// Placeholder until the parser lands.
#include "parser.h"

#include "errors.h"

namespace torvex {

bool parse_into(const MessageMarshaler*, PyObject*, const uint8_t*, size_t, bool) noexcept {
  raise_fmt(PyExc_NotImplementedError, "from_binary is not available in this build yet");
  return false;
}

}  // namespace torvex
