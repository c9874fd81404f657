#include "core/bitset.h"

#include <algorithm>
#include <bit>
#include <thread>

namespace torvex {

void PresenceBitset::wait() noexcept {
  for (;;) {
    uint8_t expected = 0;
    if (lock_.load(std::memory_order_relaxed) == 0 &&
        lock_.compare_exchange_weak(expected, 1, std::memory_order_acquire)) {
      return;
    }
    std::this_thread::yield();
  }
}

void PresenceBitset::spill() noexcept {
  auto* w = static_cast<uint64_t*>(raw_calloc(kWords, sizeof(uint64_t)));
  w[0] = word_;
  words_ = w;
  spilled_ = true;
}

bool PresenceBitset::has_high_bits() const noexcept {
  if (!spilled_) return false;
  for (uint32_t i = 1; i < kWords; ++i) {
    if (words_[i]) return true;
  }
  return false;
}

bool PresenceBitset::test_hashed(uint32_t n) const noexcept { return set_ && set_->count(n) != 0; }

BitsetStatus PresenceBitset::mark_hashed(uint32_t n, bool present) noexcept {
  if (!present) {
    if (set_) set_->erase(n);
    return BitsetStatus::Ok;
  }
  try {
    if (!set_) set_ = raw_new<RSet<uint32_t>>();
    set_->insert(n);
  } catch (...) {
    // Only the container can throw here; whatever it left behind is not trusted any more.
    poisoned_ = true;
    return BitsetStatus::Poisoned;
  }
  return BitsetStatus::Ok;
}

BitsetStatus PresenceBitset::list(RVec<uint32_t>& out) noexcept {
  Guard g(*this);
  out.clear();
  if (poisoned_) return BitsetStatus::Poisoned;
  try {
    if (inline_) {
      const uint64_t* words = bits();
      for (uint32_t w = 0; w < word_count(); ++w) {
        for (uint64_t bits = words[w]; bits; bits &= bits - 1) {
          out.push_back(w * 64 + static_cast<uint32_t>(std::countr_zero(bits)));
        }
      }
    } else if (set_) {
      out.assign(set_->begin(), set_->end());
      // Sorted so that the result does not depend on the hash layout.
      std::sort(out.begin(), out.end());
    }
  } catch (...) {
    out.clear();
    poisoned_ = true;
    return BitsetStatus::Poisoned;
  }
  return BitsetStatus::Ok;
}

BitsetStatus PresenceBitset::insert_all_locked(const PresenceBitset& src) noexcept {
  if (inline_ && src.inline_) {
    if (src.has_high_bits() && !spilled_) spill();
    uint64_t* dst = bits();
    const uint64_t* from = src.bits();
    // Unless both are spilled, only word 0 can hold bits the other lacks room for.
    const uint32_t n = std::min(word_count(), src.word_count());
    for (uint32_t i = 0; i < n; ++i) dst[i] |= from[i];
    return BitsetStatus::Ok;
  }
  if (inline_) {
    // A Hashed source may hold numbers this set cannot: keep the ones that fit and report.
    if (!src.set_) return BitsetStatus::Ok;
    bool all_fit = true;
    for (uint32_t n : *src.set_) {
      if (n >= kInlineBits) {
        all_fit = false;
        continue;
      }
      if (n >= 64 && !spilled_) spill();
      bits()[n >> 6] |= uint64_t{1} << (n & 63);
    }
    return all_fit ? BitsetStatus::Ok : BitsetStatus::Incompatible;
  }
  try {
    if (src.inline_) {
      const uint64_t* from = src.bits();
      for (uint32_t w = 0; w < src.word_count(); ++w) {
        for (uint64_t bits = from[w]; bits; bits &= bits - 1) {
          if (!set_) set_ = raw_new<RSet<uint32_t>>();
          set_->insert(w * 64 + static_cast<uint32_t>(std::countr_zero(bits)));
        }
      }
    } else if (src.set_ && !src.set_->empty()) {
      if (!set_) set_ = raw_new<RSet<uint32_t>>();
      set_->reserve(set_->size() + src.set_->size());
      set_->insert(src.set_->begin(), src.set_->end());
    }
  } catch (...) {
    poisoned_ = true;
    return BitsetStatus::Poisoned;
  }
  return BitsetStatus::Ok;
}

BitsetStatus PresenceBitset::union_from(PresenceBitset& src) noexcept {
  // Taking our own lock twice would never return, and the union could not change anything.
  if (&src == this) {
    Guard g(*this);
    return poisoned_ ? BitsetStatus::Poisoned : BitsetStatus::Ok;
  }
  Guard dst_guard(*this);
  Guard src_guard(src);
  if (poisoned_ || src.poisoned_) return BitsetStatus::Poisoned;
  return insert_all_locked(src);
}

}  // namespace torvex
