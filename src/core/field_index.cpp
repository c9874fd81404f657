#include "core/field_index.h"

#include <atomic>
#include <bit>
#include <chrono>
#include <random>

namespace torvex {

namespace {

uint64_t splitmix64(uint64_t x) noexcept {
  x += 0x9e3779b97f4a7c15ull;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

// Fresh hash parameters per table: one OS-random process seed, stepped per call.
uint64_t next_seed() noexcept {
  static const uint64_t process_seed = [] {
    uint64_t s = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    try {
      std::random_device rd;
      s ^= (static_cast<uint64_t>(rd()) << 32) ^ rd();
    } catch (...) {
      // No entropy source: the clock alone still varies between processes.
    }
    return s;
  }();
  static std::atomic<uint64_t> counter{0};
  return splitmix64(process_seed +
                    counter.fetch_add(1, std::memory_order_relaxed) * 0x9e3779b97f4a7c15ull);
}

}  // namespace

bool choose_dense(size_t n, uint32_t max) noexcept {
  if (n == 0 || max <= 16) return true;
  uint64_t slots = uint64_t{max} + 1;
  // More entries than slots means duplicate numbers; dense then, and 5 * n cannot overflow below.
  if (n >= slots) return true;
  return 5 * uint64_t{n} >= 4 * slots;
}

RawFieldIndex::RawFieldIndex(std::span<const Pair> pairs) {
  uint32_t max = 0;
  for (const Pair& p : pairs) max = p.first > max ? p.first : max;
  if (choose_dense(pairs.size(), max)) {
    slots_.assign(pairs.empty() ? 1 : size_t{max} + 1, nullptr);
    for (const Pair& p : pairs) slots_[p.first] = p.second;
    return;
  }
  dense_ = false;
  slots_ = RVec<const void*>();
  size_t cap = std::bit_ceil(pairs.size() * 2);
  shift_ = 64 - static_cast<unsigned>(std::countr_zero(cap));
  mul_ = next_seed() | 1;
  add_ = next_seed();
  buckets_.assign(cap, Bucket{0, false, nullptr});
  size_t mask = cap - 1;
  for (const Pair& p : pairs) {
    size_t i = bucket_of(p.first);
    while (buckets_[i].used && buckets_[i].key != p.first) i = (i + 1) & mask;
    buckets_[i] = Bucket{p.first, true, p.second};
  }
}

}  // namespace torvex
