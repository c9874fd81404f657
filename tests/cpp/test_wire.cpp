#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <ostream>
#include <random>
#include <vector>

#include "binary/wire.h"

namespace torvex {

void PrintTo(const WireError& e, std::ostream* os) {
  *os << "{status " << static_cast<int>(e.status) << ", " << e.a << ", " << e.b << "}";
}

namespace {

using Bytes = std::vector<uint8_t>;
using S = WireStatus;
const uint64_t kMax = std::numeric_limits<uint64_t>::max();

Bytes ff(size_t n, Bytes tail = {}) {
  Bytes b(n, 0xff);
  b.insert(b.end(), tail.begin(), tail.end());
  return b;
}

void put_varint(Bytes& b, uint64_t v) {
  for (; v >= 0x80; v >>= 7) b.push_back(static_cast<uint8_t>(v) | 0x80);
  b.push_back(static_cast<uint8_t>(v));
}

// One-byte group tags, for field numbers below 16.
uint8_t sg(uint32_t n) { return static_cast<uint8_t>(make_tag(n, WireType::SGroup)); }
uint8_t eg(uint32_t n) { return static_cast<uint8_t>(make_tag(n, WireType::EGroup)); }

struct VarintRead {
  Bytes input;
  uint64_t value = 0;
  size_t used = 0;  // 0: invalid varint
};
void PrintTo(const VarintRead& c, std::ostream* os) { *os << ::testing::PrintToString(c.input); }

class ReadVarint : public ::testing::TestWithParam<VarintRead> {};

TEST_P(ReadVarint, DecodesOrRejects) {
  const VarintRead& c = GetParam();
  InputView v(c.input.data(), c.input.size());
  uint64_t got = 0;
  WireError err;
  ASSERT_EQ(v.read_varint64(got, err), c.used != 0) << err.a;
  if (c.used) {
    EXPECT_EQ(got, c.value);
    EXPECT_EQ(c.input.size() - v.remaining, c.used);
  } else {
    EXPECT_EQ(err, (WireError{S::InvalidVarint}));
  }
}

// Inputs of up to 10 bytes ending in a continuation byte take the bounds-checked decoder;
// longer ones, or ones whose last byte ends a varint, the unchecked one.
INSTANTIATE_TEST_SUITE_P(
    Cases, ReadVarint,
    ::testing::Values(VarintRead{{0x05, 0x80}, 5, 1}, VarintRead{{0x80, 0x00}, 0, 2},
                      VarintRead{{0xac, 0x02, 0x80}, 300, 2}, VarintRead{ff(9, {0x01}), kMax, 10},
                      VarintRead{ff(9, {0x01, 0x80}), kMax, 10},
                      VarintRead{ff(9, {0x01, 0, 0, 0, 0, 0}), kMax, 10}, VarintRead{{}},
                      VarintRead{{0x80}}, VarintRead{ff(3)}, VarintRead{ff(10)},
                      VarintRead{ff(9, {0x02})}, VarintRead{ff(10, {0x00})},
                      VarintRead{ff(9, {0x02, 0, 0, 0, 0})}, VarintRead{ff(20)}));

// Byte at a time, as the format defines it: the tenth byte may only contribute bit 63.
bool reference_varint(const Bytes& b, uint64_t& v, size_t& used) {
  v = 0;
  for (size_t i = 0; i < b.size() && i < 10; ++i) {
    if (i == 9 && b[i] > 1) return false;
    v |= static_cast<uint64_t>(b[i] & 0x7f) << (7 * i);
    if (b[i] < 0x80) {
      used = i + 1;
      return true;
    }
  }
  return false;
}

// Every length and terminator, with random groups and random bytes after the varint, so the
// whole-word reads (which look past the varint's end) meet every stop position and tail.
TEST(Wire, VarintReadsMatchTheByteLoop) {
  std::mt19937_64 rng(7);
  for (int round = 0; round < 40000; ++round) {
    const size_t len = 1 + rng() % 11;  // 11: no terminator within ten bytes
    Bytes b;
    for (size_t i = 0; i + 1 < len; ++i) b.push_back(static_cast<uint8_t>(rng() | 0x80));
    uint8_t last = static_cast<uint8_t>(rng());
    if (len < 11) last &= (len == 10 && rng() % 2) ? 0x01 : 0x7f;
    b.push_back(last);
    for (size_t t = rng() % 14; t > 0; --t) b.push_back(static_cast<uint8_t>(rng()));
    uint64_t want = 0, got = 0;
    size_t used = 0;
    const bool ok = reference_varint(b, want, used);
    InputView v(b.data(), b.size());
    WireError err;
    ASSERT_EQ(v.read_varint64(got, err), ok) << ::testing::PrintToString(b);
    if (ok) {
      ASSERT_EQ(got, want) << ::testing::PrintToString(b);
      ASSERT_EQ(b.size() - v.remaining, used);
    } else {
      ASSERT_EQ(err, (WireError{S::InvalidVarint}));
    }
  }
}

TEST(Wire, VarintRoundTripsThroughTheReverseBuffer) {
  std::vector<uint64_t> values = {kMax};
  for (int k = 0; k < 64; ++k)
    values.insert(values.end(), {uint64_t{1} << k, (uint64_t{1} << k) - 1});
  ReverseBuffer b;
  for (auto it = values.rbegin(); it != values.rend(); ++it) b.put_varint(*it);
  InputView v(b.begin(), b.len());
  WireError err;
  for (uint64_t want : values) {
    uint64_t got;
    ASSERT_TRUE(v.read_varint64(got, err));
    ASSERT_EQ(got, want);
  }
  EXPECT_TRUE(v.empty());
}

TEST(Wire, TagIsAtMostFiveBytesBelowTwoToThe32) {
  struct Case {
    Bytes in;
    uint32_t tag;
    WireError err;  // from read_field_tag
  };
  for (const Case& c :
       {Case{{0x88, 0x01}, 136, {}}, Case{{0x88, 0x80, 0x80, 0x80, 0x00}, 8, {}},
        Case{{0xf8, 0xff, 0xff, 0xff, 0x0f}, 0xfffffff8u, {}}, Case{{}, 0, {S::InvalidVarint}},
        Case{{0x88}, 0, {S::InvalidVarint}},
        Case{{0x88, 0x80, 0x80, 0x80, 0x80, 0x00}, 0, {S::InvalidVarint}},
        Case{{0x80, 0x80, 0x80, 0x80, 0x10}, 0, {S::InvalidVarint}},
        Case{{0x00}, 0, {S::FieldNumberZero}}, Case{{0x0e}, 0, {S::InvalidWireType, 6}},
        Case{{0x0f}, 0, {S::InvalidWireType, 7}}}) {
    InputView v(c.in.data(), c.in.size());
    uint32_t tag = 0;
    WireError err;
    EXPECT_EQ(v.read_field_tag(tag, err), c.err.status == S::Ok);
    EXPECT_EQ(err, c.err);
    if (c.err.status == S::Ok) {
      EXPECT_EQ(tag, c.tag);
    }
  }
}

TEST(Wire, FixedAndLengthDelimitedReads) {
  Bytes five = {1, 2, 3, 4, 5};
  InputView v(five.data(), five.size());
  uint64_t u64;
  uint32_t u32;
  WireError err;
  EXPECT_FALSE(v.read_fixed64(u64, err));
  EXPECT_EQ(err, (WireError{S::Truncated, 8, 5}));
  ASSERT_TRUE(v.read_fixed32(u32, err));
  EXPECT_EQ(u32, 0x04030201u);
  EXPECT_FALSE(v.read_fixed32(u32, err));
  EXPECT_EQ(err, (WireError{S::Truncated, 4, 1}));

  Bytes in = {0x02, 'h', 'i', 0x0a, 'a', 'b', 'c'};
  InputView w(in.data(), in.size()), out;
  ASSERT_TRUE(w.read_len_prefixed(out, err));
  EXPECT_EQ(out.cur, in.data() + 1);  // a view into the input, not a copy
  EXPECT_EQ(out.remaining, 2u);
  EXPECT_EQ(w.cur, in.data() + 3);
  EXPECT_FALSE(w.read_len_prefixed(out, err));
  EXPECT_EQ(err, (WireError{S::Truncated, 10, 3}));
}

struct SkipCase {
  const char* name;
  uint32_t wire_type;
  Bytes body;  // what follows the tag of field 1
  WireError want;
  size_t left = 0;  // bytes after the skipped value
};

class SkipField : public ::testing::TestWithParam<SkipCase> {};

TEST_P(SkipField, SkipsExactlyTheValue) {
  const SkipCase& c = GetParam();
  InputView v(c.body.data(), c.body.size());
  WireError err;
  EXPECT_EQ(skip_field(1, c.wire_type, v, 1, err), c.want.status == S::Ok);
  EXPECT_EQ(err, c.want);
  if (c.want.status == S::Ok) {
    EXPECT_EQ(v.remaining, c.left);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SkipField,
    ::testing::Values(
        SkipCase{"varint", 0, {0x96, 0x01, 0x08}, {}, 1},
        SkipCase{"i64", 1, {1, 2, 3, 4, 5, 6, 7, 8, 9}, {}, 1},
        SkipCase{"i32", 5, {1, 2, 3, 4}, {}, 0}, SkipCase{"len", 2, {0x02, 'a', 'b', 'c'}, {}, 1},
        SkipCase{"nested", 3, {0x08, 0x01, sg(2), 0x15, 1, 2, 3, 4, eg(2), eg(1), 0x08}, {}, 1},
        SkipCase{"truncated_i64", 1, {1, 2, 3}, {S::Truncated, 8, 3}},
        SkipCase{"truncated_len", 2, {0x05, 'a'}, {S::Truncated, 5, 1}},
        SkipCase{"stray_end", 4, {}, {S::UnexpectedEndGroup, 1}},
        SkipCase{"mismatch", 3, {sg(2), eg(3)}, {S::MismatchedGroupEnd, 2, 3}},
        SkipCase{"outer_mismatch", 3, {0x08, 0x00, eg(4)}, {S::MismatchedGroupEnd, 1, 4}},
        SkipCase{"unterminated", 3, {sg(2), eg(2)}, {S::UnterminatedUnknownGroup}},
        SkipCase{"bad_wire_type", 3, {0x0e}, {S::InvalidWireType, 6}},
        SkipCase{"truncated_inside", 3, {0x0d, 1}, {S::Truncated, 4, 1}}),
    [](const auto& info) { return info.param.name; });

// The rest of group 1 after its start tag: groups 2..levels nested inside it, the innermost
// holding a varint field, then `closes` end tags from the innermost outwards.
Bytes nested_groups(uint32_t levels, uint32_t closes = ~0u) {
  Bytes b;
  for (uint32_t n = 2; n <= levels; ++n) put_varint(b, make_tag(n, WireType::SGroup));
  b.insert(b.end(), {0x08, 0x01});
  for (uint32_t n = levels; n >= 1 && closes; --n, --closes) {
    put_varint(b, make_tag(n, WireType::EGroup));
  }
  return b;
}

TEST(SkipField, NestingDepthLimit) {
  // Group 1 sits at depth 1, as when met in a top-level message; group k at depth k.
  Bytes in = nested_groups(100);
  InputView v(in.data(), in.size());
  WireError err;
  EXPECT_TRUE(skip_field(1, 3, v, 1, err));
  EXPECT_TRUE(v.empty());
  in = nested_groups(101);
  v = InputView(in.data(), in.size());
  EXPECT_FALSE(skip_field(1, 3, v, 1, err));
  EXPECT_EQ(err, (WireError{S::SkipDepth, 101}));
  EXPECT_FALSE(skip_field(9, 0, v, MAX_RECURSION_DEPTH + 1, err));
  EXPECT_EQ(err, (WireError{S::SkipDepth, 9}));
}

TEST(ScanGroup, ContentEndsAtTheMatchingEndTag) {
  struct Case {
    Bytes in;  // after group 1's start tag; one trailing byte follows the group
    size_t content;
  };
  Bytes deep = nested_groups(40);  // beyond the scanner's on-stack levels
  deep.push_back(0x42);
  for (const Case& c :
       {Case{{0x10, 0x05, sg(1), 0x08, 0x01, eg(1), 0x1a, 0x01, eg(1), eg(1), 0x42}, 9},
        Case{{0x08, 0x07, 0x8c, 0x00, 0x42}, 2},  // over-long end tag
        Case{deep, deep.size() - 2}}) {
    InputView v(c.in.data(), c.in.size()), content;
    WireError err;
    ASSERT_TRUE(scan_group(v, 1, content, err));
    EXPECT_EQ(content.cur, c.in.data());
    EXPECT_EQ(content.remaining, c.content);
    EXPECT_EQ(v.remaining, 1u);
  }
}

TEST(ScanGroup, Errors) {
  struct Case {
    Bytes in;
    WireError want;
  };
  // Groups 2..40 open, 40..31 closed, then an end tag of 29 while 30 is open.
  Bytes deep = nested_groups(40, 10);
  put_varint(deep, make_tag(29, WireType::EGroup));
  for (const Case& c :
       {Case{{sg(2), eg(1)}, {S::MismatchedGroupEnd, 2, 1}},
        Case{deep, {S::MismatchedGroupEnd, 30, 29}},
        Case{nested_groups(40, 39), {S::UnterminatedGroup}}, Case{{0x0f}, {S::InvalidWireType, 7}},
        Case{{0x09, 1, 2}, {S::Truncated, 8, 2}}, Case{{0x80}, {S::InvalidVarint}}}) {
    InputView v(c.in.data(), c.in.size()), content;
    WireError err;
    EXPECT_FALSE(scan_group(v, 1, content, err));
    EXPECT_EQ(err, c.want);
  }
}

}  // namespace
}  // namespace torvex
