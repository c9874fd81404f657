#include "binary/delimited.h"

#include "binary/parser.h"
#include "core/ref.h"
#include "message/instance.h"

namespace torvex {

namespace {

// The size prefix at data[pos .. n): false when it is cut off by the end of the buffer or
// longer than ten bytes (the caller's own reader tells the two apart).
bool read_size(const uint8_t* data, size_t n, size_t* pos, uint64_t* size) noexcept {
  uint64_t v = 0;
  for (size_t i = *pos, shift = 0; i < n && shift < 64; ++i, shift += 7) {
    v |= static_cast<uint64_t>(data[i] & 0x7F) << shift;
    if (data[i] < 0x80) {
      *pos = i + 1;
      *size = v;
      return true;
    }
  }
  return false;
}

}  // namespace

PyObject* decode_delimited(const MessageMarshaler* m, PyObject* cls, const uint8_t* data, size_t n,
                           size_t pos, uint64_t max_size, bool ignore_unknown_fields) noexcept {
  Ref out(PyList_New(0));
  if (!out) return nullptr;
  while (pos < n && PyList_GET_SIZE(out.get()) < kDelimitedBatch) {
    size_t start = pos;
    uint64_t size;
    if (!read_size(data, n, &start, &size) || size > max_size || size > n - start) break;
    Ref msg(create_empty_message(m, cls));
    if (!msg || !parse_into(m, msg.get(), data + start, size, ignore_unknown_fields)) {
      // Only ordinary errors wait for the restart; an interrupt goes out at once.
      if (PyList_GET_SIZE(out.get()) == 0 || !PyErr_ExceptionMatches(PyExc_Exception)) {
        return nullptr;
      }
      PyErr_Clear();
      break;
    }
    if (PyList_Append(out.get(), msg.get()) < 0) return nullptr;
    pos = start + size;
  }
  return Py_BuildValue("(On)", out.get(), static_cast<Py_ssize_t>(pos));
}

}  // namespace torvex
