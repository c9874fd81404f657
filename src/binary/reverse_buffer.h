// The encoder's output buffer. It fills from the back, so a length-delimited item is written
// content first and its length prefix afterwards, in one pass and without moving content.
#pragma once

#include <Python.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/portable.h"

namespace torvex {

// Number of bytes of the varint encoding of v (1 to 10).
constexpr size_t varint_size(uint64_t v) noexcept {
  return (static_cast<size_t>(std::bit_width(v | 1)) * 9 + 64) / 64;
}

// sint32/sint64 mapping: small magnitudes of either sign get short varints.
constexpr uint32_t zigzag32(int32_t n) noexcept {
  return (static_cast<uint32_t>(n) << 1) ^ static_cast<uint32_t>(n >> 31);
}
constexpr uint64_t zigzag64(int64_t n) noexcept {
  return (static_cast<uint64_t>(n) << 1) ^ static_cast<uint64_t>(n >> 63);
}
constexpr int32_t unzigzag32(uint32_t u) noexcept {
  return static_cast<int32_t>((u >> 1) ^ (0u - (u & 1u)));
}
constexpr int64_t unzigzag64(uint64_t u) noexcept {
  return static_cast<int64_t>((u >> 1) ^ (uint64_t{0} - (u & 1u)));
}

// Written bytes are data_[start_ .. capacity_); every write prepends by moving start_ down.
class ReverseBuffer {
 public:
  ReverseBuffer() noexcept = default;
  ReverseBuffer(const ReverseBuffer&) = delete;
  ReverseBuffer& operator=(const ReverseBuffer&) = delete;
  ~ReverseBuffer();

  size_t len() const noexcept { return capacity_ - start_; }
  size_t capacity() const noexcept { return capacity_; }
  // First written byte (the lowest address of the content).
  const uint8_t* begin() const noexcept { return data_ + start_; }

  // Guarantees that `extra` more bytes can be prepended without growing.
  void reserve(size_t extra) {
    if (start_ < extra) grow(extra);
  }

  void put_byte(uint8_t b) {
    if (start_ == 0) grow(1);
    data_[--start_] = b;
  }

  void put_varint(uint64_t v) {
    if (v < 0x80) {
      put_byte(static_cast<uint8_t>(v));
      return;
    }
    // Assemble forwards, then copy in one piece: the buffer grows at most once per varint.
    uint8_t tmp[10];
    size_t n = 0;
    while (v >= 0x80) {
      tmp[n++] = static_cast<uint8_t>(v) | 0x80;
      v >>= 7;
    }
    tmp[n++] = static_cast<uint8_t>(v);
    put_bytes(tmp, n);
  }

  void put_fixed32(uint32_t v) {
    if constexpr (std::endian::native == std::endian::big) v = byte_swap32(v);
    put_bytes(&v, 4);
  }
  void put_fixed64(uint64_t v) {
    if constexpr (std::endian::native == std::endian::big) v = byte_swap64(v);
    put_bytes(&v, 8);
  }

  void put_bytes(const void* p, size_t n) {
    if (start_ < n) grow(n);
    start_ -= n;
    if (n) std::memcpy(data_ + start_, p, n);
  }

  // New `bytes` holding the content (one copy). The block is freed and the buffer is empty
  // afterwards, also on failure (nullptr with the Python error set).
  PyObject* into_bytes() noexcept;

 private:
  // Out of line: growth happens a handful of times per encode, writes happen per field.
  TORVEX_COLD void grow(size_t extra);

  uint8_t* data_ = nullptr;  // null until the first growth; the block is capacity_ bytes
  size_t capacity_ = 0;      // also the end of the content, which always ends the block
  size_t start_ = 0;         // write position; start_ bytes of room are left in front
};

}  // namespace torvex
