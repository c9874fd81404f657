#include "binary/reverse_buffer.h"

#include "core/memory.h"

namespace torvex {

ReverseBuffer::~ReverseBuffer() {
  if (capacity_) raw_free(data_);
}

void ReverseBuffer::grow(size_t extra) {
  size_t used = len();
  size_t needed = used + extra;
  // bit_ceil is undefined beyond the top bit; such a size could never be allocated anyway.
  if (needed < used || needed > (SIZE_MAX >> 1) + 1) fatal_out_of_memory(needed);
  size_t cap = std::bit_ceil(needed < 128 ? size_t{128} : needed);
  auto* block = static_cast<uint8_t*>(raw_malloc(cap));
  // Content stays flush with the end of the block so that `len` and the recorded lengths of
  // open length-delimited items are unaffected by the move.
  if (used) std::memcpy(block + cap - used, data_ + start_, used);
  if (capacity_) raw_free(data_);
  data_ = block;
  capacity_ = cap;
  start_ = cap - used;
}

PyObject* ReverseBuffer::into_bytes() noexcept {
  PyObject* out = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(begin()),
                                            static_cast<Py_ssize_t>(len()));
  if (capacity_) raw_free(data_);
  data_ = nullptr;
  capacity_ = 0;
  start_ = 0;
  return out;
}

}  // namespace torvex
