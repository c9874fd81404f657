// Field number -> decode entry, the parser's lookup for every tag it reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "core/memory.h"

namespace torvex {

// Dense (a direct array) unless that would leave more than a fifth of the slots up to the
// largest number empty; tiny types are always dense since the array costs next to nothing.
bool choose_dense(size_t n, uint32_t max) noexcept;

// Untyped storage shared by every FieldNumberIndex instantiation, so the build code exists once.
class RawFieldIndex {
 public:
  using Pair = std::pair<uint32_t, const void*>;

  RawFieldIndex() noexcept = default;
  // Pairs in declaration order; a later pair with the same number replaces the earlier one.
  explicit RawFieldIndex(std::span<const Pair> pairs);
  // A moved-from index is an empty dense one (finds nothing) rather than a broken table.
  RawFieldIndex(RawFieldIndex&& o) noexcept { swap(o); }
  RawFieldIndex& operator=(RawFieldIndex&& o) noexcept {
    RawFieldIndex tmp(std::move(o));
    swap(tmp);
    return *this;
  }
  RawFieldIndex(const RawFieldIndex&) = delete;
  RawFieldIndex& operator=(const RawFieldIndex&) = delete;

  bool dense() const noexcept { return dense_; }
  size_t dense_length() const noexcept { return dense_ ? slots_.size() : 0; }
  // Slots of the hash table (0 for a dense index).
  size_t hashed_capacity() const noexcept { return dense_ ? 0 : buckets_.size(); }

  const void* find(uint32_t number) const noexcept {
    if (dense_) return number < slots_.size() ? slots_[number] : nullptr;
    return find_hashed(number);
  }

 private:
  void swap(RawFieldIndex& o) noexcept {
    std::swap(dense_, o.dense_);
    slots_.swap(o.slots_);
    buckets_.swap(o.buckets_);
    std::swap(mul_, o.mul_);
    std::swap(add_, o.add_);
    std::swap(shift_, o.shift_);
  }

  struct Bucket {
    uint32_t key;
    bool used;  // keys are arbitrary 32-bit numbers, so emptiness needs its own flag
    const void* value;
  };

  size_t bucket_of(uint32_t key) const noexcept {
    return static_cast<size_t>((mul_ * key + add_) >> shift_);
  }
  const void* find_hashed(uint32_t key) const noexcept {
    size_t mask = buckets_.size() - 1;
    for (size_t i = bucket_of(key);; i = (i + 1) & mask) {
      const Bucket& b = buckets_[i];
      if (!b.used) return nullptr;
      if (b.key == key) return b.value;
    }
  }

  bool dense_ = true;
  // Dense: indexed by number; null where no field has that number. Starts as the one empty
  // slot of a type without fields.
  RVec<const void*> slots_ = RVec<const void*>(1, nullptr);
  // Hashed: linear probing over a power-of-two table kept at most half full, so every probe
  // sequence reaches an unused bucket.
  RVec<Bucket> buckets_;
  // Multiply-shift hash with per-table random parameters (mul_ odd); shift_ keeps the top
  // log2(buckets) bits of the 64-bit product.
  uint64_t mul_ = 1;
  uint64_t add_ = 0;
  unsigned shift_ = 63;
};

template <class Entry>
class FieldNumberIndex {
 public:
  using Pair = std::pair<uint32_t, const Entry*>;

  FieldNumberIndex() noexcept = default;
  explicit FieldNumberIndex(std::span<const Pair> pairs) : raw_(erase(pairs)) {}

  const Entry* find(uint32_t number) const noexcept {
    return static_cast<const Entry*>(raw_.find(number));
  }
  bool dense() const noexcept { return raw_.dense(); }
  size_t dense_length() const noexcept { return raw_.dense_length(); }
  size_t hashed_capacity() const noexcept { return raw_.hashed_capacity(); }

 private:
  static RawFieldIndex erase(std::span<const Pair> pairs) {
    RVec<RawFieldIndex::Pair> raw;
    raw.reserve(pairs.size());
    for (const Pair& p : pairs) raw.emplace_back(p.first, p.second);
    return RawFieldIndex(std::span<const RawFieldIndex::Pair>(raw));
  }

  RawFieldIndex raw_;
};

}  // namespace torvex
