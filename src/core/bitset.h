// The set of field numbers marked present on one message instance.
#pragma once

#include <Python.h>  // Py_GIL_DISABLED

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/memory.h"
#include "core/portable.h"

namespace torvex {

enum class BitsetStatus : uint8_t {
  Ok,
  OutOfRange,    // an Inline set was asked to mark a number of 320 or more; nothing changed
  Incompatible,  // a union met numbers an Inline destination cannot hold; the rest were added
  Poisoned,      // an earlier operation failed while holding the lock; the set is unusable
};

// Inline covers every type whose field numbers stay below 320, with no hashing; Hashed covers
// the rest. The representation is fixed at construction. An Inline set keeps numbers below 64
// in one word inside the instance and moves to a heap block of all 320 bits only when a larger
// number is marked, so that the common small message carries 16 bytes of presence, not 48.
class PresenceBitset {
 public:
  static constexpr uint32_t kInlineBits = 320;
  static constexpr uint32_t kWords = kInlineBits / 64;

  explicit PresenceBitset(bool inline_repr) noexcept : inline_(inline_repr) {
    if (inline_) {
      word_ = 0;
    } else {
      set_ = nullptr;
    }
  }
  PresenceBitset(const PresenceBitset&) = delete;
  PresenceBitset& operator=(const PresenceBitset&) = delete;
  ~PresenceBitset() {
    if (!inline_) {
      raw_delete(set_);
    } else if (spilled_) {
      raw_free(words_);
    }
  }

  bool is_inline() const noexcept { return inline_; }
  bool poisoned() const noexcept { return poisoned_; }
  // Whether an Inline set holds its bits on the heap (a number of 64 or more was marked).
  bool spilled() const noexcept { return spilled_; }

  // Absent (false) for numbers an Inline set cannot hold and for a poisoned set.
  bool test(uint32_t n) noexcept {
    Guard g(*this);
    if (poisoned_) return false;
    if (inline_) {
      if (n < 64) return (bits()[0] >> n) & 1;
      return spilled_ && n < kInlineBits && ((words_[n >> 6] >> (n & 63)) & 1);
    }
    return test_hashed(n);
  }

  BitsetStatus mark(uint32_t n, bool present) noexcept {
    Guard g(*this);
    if (poisoned_) return BitsetStatus::Poisoned;
    if (inline_) {
      if (n >= kInlineBits) return BitsetStatus::OutOfRange;
      if (n >= 64 && !spilled_) {
        if (!present) return BitsetStatus::Ok;  // never marked, nothing to clear
        spill();
      }
      uint64_t bit = uint64_t{1} << (n & 63);
      uint64_t& w = bits()[n >> 6];
      if (present) {
        w |= bit;
      } else {
        w &= ~bit;
      }
      return BitsetStatus::Ok;
    }
    return mark_hashed(n, present);
  }

  // Replaces `out` with the present numbers in ascending order. The caller builds Python
  // objects from it only after the lock is released.
  BitsetStatus list(RVec<uint32_t>& out) noexcept;

  // this |= src. Locks this set, then src; a union with itself changes nothing.
  BitsetStatus union_from(PresenceBitset& src) noexcept;
  // The same for a set no other code can reach yet (a copy being built): only src is locked.
  // Inline here: every copied message takes it, nearly always with two unspilled Inline sets.
  BitsetStatus union_into_unshared(PresenceBitset& src) noexcept {
    Guard src_guard(src);
    if (poisoned_ || src.poisoned_) return BitsetStatus::Poisoned;
    if (inline_ && src.inline_ && !spilled_ && !src.spilled_) {
      word_ |= src.word_;
      return BitsetStatus::Ok;
    }
    return insert_all_locked(src);
  }

 private:
  // Holds the lock for one operation, in free-threaded builds. Elsewhere every caller holds the
  // interpreter lock and nothing here calls into Python or gives that lock up, so there is
  // nothing to exclude, and a locked instruction per copied message is worth saving.
  class Guard {
   public:
#ifdef Py_GIL_DISABLED
    explicit Guard(PresenceBitset& s) noexcept : s_(s) {
      uint8_t expected = 0;
      if (!s_.lock_.compare_exchange_strong(expected, 1, std::memory_order_acquire)) s_.wait();
    }
    ~Guard() { s_.lock_.store(0, std::memory_order_release); }
#else
    explicit Guard(PresenceBitset&) noexcept {}
#endif
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

#ifdef Py_GIL_DISABLED
   private:
    PresenceBitset& s_;
#endif
  };

  // An Inline set's words: one in place, or kWords on the heap once spilled.
  uint64_t* bits() noexcept { return spilled_ ? words_ : &word_; }
  const uint64_t* bits() const noexcept { return spilled_ ? words_ : &word_; }
  uint32_t word_count() const noexcept { return spilled_ ? kWords : 1; }
  // Any bit at 64 or above.
  bool has_high_bits() const noexcept;

  TORVEX_NOINLINE void spill() noexcept;
  TORVEX_NOINLINE void wait() noexcept;
  bool test_hashed(uint32_t n) const noexcept;
  BitsetStatus mark_hashed(uint32_t n, bool present) noexcept;
  // Adds numbers while this set's lock is held; used by union_from.
  BitsetStatus insert_all_locked(const PresenceBitset& src) noexcept;

  union {
    uint64_t word_;        // Inline, not spilled: number n < 64 is bit n
    uint64_t* words_;      // Inline, spilled: number n is bit n % 64 of word n / 64 (kWords)
    RSet<uint32_t>* set_;  // Hashed: null until the first insertion, so empty sets cost nothing
  };
  const bool inline_;             // representation, fixed for the life of the instance
  bool spilled_ = false;          // Inline only: the bits live in words_; never goes back
  std::atomic<uint8_t> lock_{0};  // free-threaded: 1 while an operation runs; not reentrant
  bool poisoned_ = false;         // an operation failed midway; contents are not trusted
};

}  // namespace torvex
