#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "binary/serializer_values.h"

namespace torvex::encoder {
namespace {

std::vector<uint8_t> reference(uint64_t v) {
  std::vector<uint8_t> out;
  while (v >= 0x80) {
    out.push_back(static_cast<uint8_t>(v) | 0x80);
    v >>= 7;
  }
  out.push_back(static_cast<uint8_t>(v));
  return out;
}

// The word writer against the byte loop at every bit width, bounds included: it may scribble
// on the room in front (up to 10 bytes) but never on what follows the write position.
template <size_t kMaxLen>
void check_widths(int max_bits) {
  std::mt19937_64 rng(max_bits);
  for (int bits = 0; bits <= max_bits; ++bits) {
    std::vector<uint64_t> values;
    if (bits > 0) {
      uint64_t top = uint64_t{1} << (bits - 1);
      values = {top, top | (top - 1), top | 1};
      for (int i = 0; i < 50; ++i) values.push_back(top | (rng() & (top - 1)));
    } else {
      values = {0};
    }
    for (uint64_t v : values) {
      uint8_t buf[32];
      std::fill(std::begin(buf), std::end(buf), 0xA5);
      uint8_t* end = buf + 20;
      uint8_t* start = varint_before_wide<kMaxLen>(end, v);
      std::vector<uint8_t> want = reference(v);
      ASSERT_EQ(std::vector<uint8_t>(start, end), want) << v;
      for (uint8_t* q = end; q != std::end(buf); ++q) ASSERT_EQ(*q, 0xA5) << v;
      for (uint8_t* q = buf; q != end - 10; ++q) ASSERT_EQ(*q, 0xA5) << v;
    }
  }
}

TEST(VarintWords, MatchTheByteLoopAtEveryWidth) { check_widths<10>(64); }

TEST(VarintWords, NarrowTypesNeedNoLongPath) { check_widths<5>(35); }

}  // namespace
}  // namespace torvex::encoder
