// Field name -> field number, for the JSON parser: keys are matched as bytes straight from the
// input, so no Python string is made per key. Open addressing with linear probing over a table
// at most half full; each slot keeps its full hash so that most mismatches cost no byte compare.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <utility>

#include "core/memory.h"

namespace torvex {

class NameIndex {
 public:
  using Entry = std::pair<std::string_view, uint32_t>;

  NameIndex() noexcept = default;
  // Entries in insertion order; a later entry with the same name replaces the earlier one. The
  // names' bytes must outlive the index (intake points them at the schema's own str objects).
  explicit NameIndex(std::span<const Entry> entries);

  bool find(std::string_view key, uint32_t* number) const noexcept {
    if (slots_.empty()) return false;
    const uint64_t h = hash(key.data(), key.size());
    for (size_t i = h & mask_;; i = (i + 1) & mask_) {
      const Slot& s = slots_[i];
      if (!s.name) return false;
      // Names are short: up to 8 bytes the hash's equality leaves a fixed-size compare.
      if (s.hash == h && s.len == key.size() &&
          (key.size() <= 8 ? head(key.data(), key.size()) == head(s.name, s.len)
                           : std::memcmp(s.name, key.data(), key.size()) == 0)) {
        *number = s.number;
        return true;
      }
    }
  }

  // The first n <= 8 bytes, zero-padded.
  static uint64_t head(const char* p, size_t n) noexcept {
    uint64_t w = 0;
    for (size_t i = 0; i < n; ++i)
      w |= static_cast<uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
    return w;
  }

  static uint64_t hash(const char* p, size_t n) noexcept {
    uint64_t h = 0x9E3779B97F4A7C15ull ^ (n * 0xC2B2AE3D27D4EB4Full);
    for (; n >= 8; p += 8, n -= 8) {
      uint64_t w;
      std::memcpy(&w, p, 8);
      h = (h ^ w) * 0xFF51AFD7ED558CCDull;
      h ^= h >> 29;
    }
    if (n) {
      uint64_t w = 0;
      std::memcpy(&w, p, n);
      h = (h ^ w) * 0xFF51AFD7ED558CCDull;
      h ^= h >> 29;
    }
    return h ^ (h >> 32);
  }

 private:
  struct Slot {
    const char* name = nullptr;  // null: empty slot
    uint32_t len = 0;
    uint32_t number = 0;
    uint64_t hash = 0;
  };
  RVec<Slot> slots_;
  size_t mask_ = 0;
};

}  // namespace torvex
