#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "binary/reverse_buffer.h"

namespace torvex {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes content(const ReverseBuffer& b) { return Bytes(b.begin(), b.begin() + b.len()); }

TEST(ReverseBuffer, GrowsToPowersOfTwoFromAFirstBlockOf128) {
  ReverseBuffer b;
  EXPECT_EQ(b.capacity(), 0u);
  int growths = 0;
  size_t cap = 0;
  for (int i = 0; i < 129; ++i) {
    b.put_byte(static_cast<uint8_t>(i));
    if (b.capacity() != cap) ++growths, cap = b.capacity();
    if (i == 127) {
      EXPECT_EQ(b.capacity(), 128u);
    }
  }
  EXPECT_EQ(b.capacity(), 256u);
  EXPECT_EQ(growths, 2);
  // Earlier writes survive the move and stay behind the later ones.
  Bytes got = content(b);
  for (int i = 0; i < 129; ++i) ASSERT_EQ(got[i], 128 - i);

  ReverseBuffer big;
  Bytes payload(200, 0xab);
  big.put_bytes(payload.data(), payload.size());
  EXPECT_EQ(big.capacity(), 256u);
  EXPECT_EQ(content(big), payload);
}

TEST(ReverseBuffer, ReserveMakesRoomInFront) {
  ReverseBuffer b;
  b.put_byte(1);
  b.reserve(500);
  EXPECT_EQ(b.capacity(), 512u);
  Bytes payload(500, 7);
  b.put_bytes(payload.data(), payload.size());
  EXPECT_EQ(b.capacity(), 512u);
  EXPECT_EQ(b.len(), 501u);
  EXPECT_EQ(content(b).back(), 1);
}

TEST(ReverseBuffer, LengthPrefixWrittenAfterContentAcrossGrowth) {
  ReverseBuffer b;
  b.put_byte(0x99);  // a later field, already written
  size_t mark = b.len();
  Bytes payload(150, 0x55);
  b.put_bytes(payload.data(), payload.size());
  b.put_varint(b.len() - mark);
  b.put_varint((3 << 3) | 2);
  Bytes expect = {0x1a, 0x96, 0x01};
  expect.insert(expect.end(), payload.begin(), payload.end());
  expect.push_back(0x99);
  EXPECT_EQ(content(b), expect);
}

struct VarintCase {
  uint64_t value;
  Bytes bytes;
};

class PutVarint : public ::testing::TestWithParam<VarintCase> {};

TEST_P(PutVarint, EncodesMinimallyAndVarintSizeAgrees) {
  ReverseBuffer b;
  b.put_byte(0xee);
  b.put_varint(GetParam().value);
  Bytes expect = GetParam().bytes;
  expect.push_back(0xee);
  EXPECT_EQ(content(b), expect);
  EXPECT_EQ(varint_size(GetParam().value), GetParam().bytes.size());
}

const uint64_t kMax = std::numeric_limits<uint64_t>::max();
INSTANTIATE_TEST_SUITE_P(
    Values, PutVarint,
    ::testing::Values(VarintCase{0, {0x00}}, VarintCase{127, {0x7f}}, VarintCase{128, {0x80, 0x01}},
                      VarintCase{300, {0xac, 0x02}}, VarintCase{16383, {0xff, 0x7f}},
                      VarintCase{16384, {0x80, 0x80, 0x01}},
                      VarintCase{uint64_t{1} << 63,
                                 {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}},
                      // int32 -1 is sign-extended before encoding.
                      VarintCase{static_cast<uint64_t>(int64_t{int32_t{-1}}),
                                 {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}},
                      VarintCase{uint64_t{zigzag32(2147483647)}, {0xfe, 0xff, 0xff, 0xff, 0x0f}},
                      VarintCase{uint64_t{zigzag32(-1)}, {0x01}}));

TEST(ReverseBuffer, VarintSizeAtEverySevenBitBoundary) {
  for (int k = 1; k < 10; ++k) {
    uint64_t edge = uint64_t{1} << (7 * k);
    EXPECT_EQ(varint_size(edge - 1), static_cast<size_t>(k));
    EXPECT_EQ(varint_size(edge), static_cast<size_t>(k + 1));
  }
  EXPECT_EQ(varint_size(kMax), 10u);
}

TEST(ReverseBuffer, FixedWidthIsLittleEndian) {
  ReverseBuffer b;
  b.put_fixed64(std::bit_cast<uint64_t>(1.0));
  b.put_fixed32(0x01020304);
  EXPECT_EQ(content(b), (Bytes{0x04, 0x03, 0x02, 0x01, 0, 0, 0, 0, 0, 0, 0xf0, 0x3f}));
}

TEST(Zigzag, MapsSignedToUnsignedAndBack) {
  const int32_t i32 = std::numeric_limits<int32_t>::min();
  const int64_t i64 = std::numeric_limits<int64_t>::min();
  for (auto [n, z] : {std::pair<int32_t, uint32_t>{0, 0}, {-1, 1}, {1, 2}, {-2, 3}, {i32, ~0u}}) {
    EXPECT_EQ(zigzag32(n), z);
    EXPECT_EQ(unzigzag32(z), n);
  }
  for (auto [n, z] : {std::pair<int64_t, uint64_t>{-3, 5}, {i64, kMax}, {-(i64 + 1), kMax - 1}}) {
    EXPECT_EQ(zigzag64(n), z);
    EXPECT_EQ(unzigzag64(z), n);
  }
}

}  // namespace
}  // namespace torvex
