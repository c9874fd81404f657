// The binary encoder's output buffer.
#pragma once

#include <Python.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "binary/reverse_buffer.h"
#include "core/memory.h"
#include "core/portable.h"

namespace torvex::encoder {

// The encoder's output: bytes written back to front into blocks, the front-most block being the
// one written now. A full block is closed as a segment and writing goes on in a new, larger one;
// a long str or bytes payload becomes a segment of its own that points into the (immutable)
// Python object instead of being copied. The final bytes object is assembled with one copy of
// every byte (see take_bytes), where a single growing buffer would copy its content again on
// every growth. Small writes cost a bounds check against the current block, nothing more.
// Lengths of nested items come from len(), which counts all of it.
class Out {
 public:
  static constexpr bool kCounting = false;
  Out() noexcept = default;
  Out(const Out&) = delete;
  Out& operator=(const Out&) = delete;
  ~Out() {
    for (Segment& s : segments_) Py_XDECREF(s.owner);
    for (uint8_t* b : heap_blocks_) raw_free(b);
  }

  size_t len() const noexcept { return closed_ + (cap_ - pos_); }

  // For bulk writers: the room in front of the written bytes of the current block, and
  // committing `n` bytes written just before front().
  size_t room() const noexcept { return pos_; }
  uint8_t* front() noexcept { return block_ + pos_; }
  void commit(size_t n) noexcept { pos_ -= n; }
  // Guarantees room for `n` bytes in the current block.
  void ensure(size_t n) noexcept {
    if (pos_ < n) next_block(n);
  }
  // For loops that keep the write position in a register (a byte store through a member would
  // make the compiler reload it after every write): the start of the current block, and the
  // position handed back before any other write.
  uint8_t* block_begin() noexcept { return block_; }
  void set_front(uint8_t* p) noexcept { pos_ = static_cast<size_t>(p - block_); }

  TORVEX_ALWAYS_INLINE void put_byte(uint8_t b) noexcept {
    if (pos_ == 0) next_block(1);
    block_[--pos_] = b;
  }
  TORVEX_ALWAYS_INLINE void put_varint(uint64_t v) noexcept {
    if (v < 0x80) return put_byte(static_cast<uint8_t>(v));
    if (pos_ < 10) next_block(10);
    pos_ -= varint_size(v);
    uint8_t* p = block_ + pos_;
    while (v >= 0x80) {
      *p++ = static_cast<uint8_t>(v) | 0x80;
      v >>= 7;
    }
    *p = static_cast<uint8_t>(v);
  }
  TORVEX_ALWAYS_INLINE void put_fixed32(uint32_t v) noexcept {
    if constexpr (std::endian::native == std::endian::big) v = byte_swap32(v);
    if (pos_ < 4) next_block(4);
    pos_ -= 4;
    std::memcpy(block_ + pos_, &v, 4);
  }
  TORVEX_ALWAYS_INLINE void put_fixed64(uint64_t v) noexcept {
    if constexpr (std::endian::native == std::endian::big) v = byte_swap64(v);
    if (pos_ < 8) next_block(8);
    pos_ -= 8;
    std::memcpy(block_ + pos_, &v, 8);
  }
  // `owner`, when given, is an immutable object that keeps p[0 .. n) valid: long payloads are
  // then referenced rather than copied.
  TORVEX_ALWAYS_INLINE void put_bytes(const void* p, size_t n, PyObject* owner) noexcept {
    if (n > pos_ || (owner && n >= kReferenceAt)) return put_long(p, n, owner);
    pos_ -= n;
    copy(block_ + pos_, static_cast<const uint8_t*>(p), n);
  }

  // Short strings are the common payload: fixed-size moves from both ends, which may overlap
  // each other, avoid a library call without touching anything outside [src, src + n).
  // (src is a Python object's data, dst our block: the two never overlap.)
  TORVEX_ALWAYS_INLINE static void copy(uint8_t* dst, const uint8_t* src, size_t n) noexcept {
    if (n > 16 && n <= 64) {
      std::memcpy(dst, src, 16);
      std::memcpy(dst + n - 16, src + n - 16, 16);
      if (n > 32) {
        std::memcpy(dst + 16, src + 16, 16);
        std::memcpy(dst + n - 32, src + n - 32, 16);
      }
    } else if (n >= 8 && n <= 16) {
      std::memcpy(dst, src, 8);
      std::memcpy(dst + n - 8, src + n - 8, 8);
    } else if (n >= 4 && n < 8) {
      std::memcpy(dst, src, 4);
      std::memcpy(dst + n - 4, src + n - 4, 4);
    } else if (n < 4) {
      for (size_t i = 0; i < n; ++i) dst[i] = src[i];
    } else {
      std::memcpy(dst, src, n);
    }
  }

  // The whole output as a new bytes object (nullptr with an error on failure).
  PyObject* take_bytes() noexcept {
    if (segments_.empty()) {
      return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(block_ + pos_),
                                       static_cast<Py_ssize_t>(cap_ - pos_));
    }
    PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(len()));
    if (!out) return nullptr;
    auto* dst = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(out));
    std::memcpy(dst, block_ + pos_, cap_ - pos_);
    dst += cap_ - pos_;
    for (size_t i = segments_.size(); i-- > 0;) {  // the newest segment comes first
      std::memcpy(dst, segments_[i].data, segments_[i].len);
      dst += segments_[i].len;
    }
    return out;
  }

 private:
  struct Segment {
    const uint8_t* data;
    size_t len;
    PyObject* owner;  // strong reference for a referenced payload, else null
  };

  // Closes what the current block holds as a segment.
  void close_current() noexcept {
    if (pos_ == cap_) return;
    segments_.push_back(Segment{block_ + pos_, cap_ - pos_, nullptr});
    closed_ += cap_ - pos_;
    cap_ = pos_;  // the room left in front stays usable: it precedes the closed bytes
  }

  TORVEX_NOINLINE void next_block(size_t need) noexcept {
    close_current();
    next_size_ = std::min(next_size_ * 2, kMaxBlock);
    size_t size = std::max(next_size_, need);
    block_ = static_cast<uint8_t*>(raw_malloc(size));
    heap_blocks_.push_back(block_);
    cap_ = pos_ = size;
  }

  TORVEX_NOINLINE void put_long(const void* p, size_t n, PyObject* owner) noexcept {
    if (owner && n >= kReferenceAt) {
      close_current();
      segments_.push_back(Segment{static_cast<const uint8_t*>(p), n, Py_NewRef(owner)});
      closed_ += n;
      return;
    }
    next_block(n);
    pos_ -= n;
    std::memcpy(block_ + pos_, p, n);
  }

  static constexpr size_t kInline = 4096;       // on the stack: small outputs never allocate
  static constexpr size_t kMaxBlock = 1 << 20;  // heap blocks double up to this size
  static constexpr size_t kReferenceAt = 2048;  // payloads from this size on are referenced
  // The block being written; its bytes block_[pos_ .. cap_) are the front of the output.
  uint8_t* block_ = inline_;
  size_t cap_ = kInline;
  size_t pos_ = kInline;        // also the room left, as writing moves towards the block's start
  size_t closed_ = 0;           // bytes in segments_, so that len() needs no walk
  size_t next_size_ = kInline;  // doubling keeps the number of blocks logarithmic
  RVec<Segment> segments_;      // closed pieces, oldest (last in the output) first
  RVec<uint8_t*> heap_blocks_;  // freed at the end; segments may point into any of them
  uint8_t inline_[kInline];
};

// The output of byte_size: the encoder's walk with every write reduced to counting its bytes,
// so that the size comes with exactly the checks (and errors) of an encode. The plan loop keeps
// the count in a register and hands it back with set_len.
class CountOut {
 public:
  static constexpr bool kCounting = true;
  CountOut() noexcept = default;
  CountOut(const CountOut&) = delete;
  CountOut& operator=(const CountOut&) = delete;

  size_t len() const noexcept { return n_; }
  void set_len(size_t n) noexcept { n_ = n; }
  void commit(size_t n) noexcept { n_ += n; }
  void ensure(size_t) noexcept {}  // the writers need at most one value's worth per round

  void put_byte(uint8_t) noexcept { ++n_; }
  void put_varint(uint64_t v) noexcept { n_ += varint_size(v); }
  void put_fixed32(uint32_t) noexcept { n_ += 4; }
  void put_fixed64(uint64_t) noexcept { n_ += 8; }
  void put_bytes(const void*, size_t n, PyObject*) noexcept { n_ += n; }

 private:
  size_t n_ = 0;
};

}  // namespace torvex::encoder
