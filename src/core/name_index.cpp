#include "core/name_index.h"

namespace torvex {

NameIndex::NameIndex(std::span<const Entry> entries) {
  if (entries.empty()) return;
  size_t cap = 4;
  while (cap < entries.size() * 2) cap *= 2;
  slots_.resize(cap);
  mask_ = cap - 1;
  for (const Entry& e : entries) {
    const uint64_t h = hash(e.first.data(), e.first.size());
    for (size_t i = h & mask_;; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (!s.name) {
        s = Slot{e.first.data(), static_cast<uint32_t>(e.first.size()), e.second, h};
        break;
      }
      if (s.hash == h && s.len == e.first.size() &&
          std::memcmp(s.name, e.first.data(), e.first.size()) == 0) {
        s.number = e.second;
        break;
      }
    }
  }
}

}  // namespace torvex
