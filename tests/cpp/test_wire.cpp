#include "wire.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

namespace torvex {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes ff(size_t n, Bytes tail = {}) {
  Bytes b(n, 0xff);
  b.insert(b.end(), tail.begin(), tail.end());
  return b;
}

struct VarintRead {
  Bytes input;
  bool ok;
  uint64_t value;
  size_t used;
};

class ReadVarint : public ::testing::TestWithParam<VarintRead> {};

TEST_P(ReadVarint, DecodesOrRejects) {
  const VarintRead& c = GetParam();
  InputView v(c.input.data(), c.input.size());
  uint64_t got = 0;
  WireError err;
  ASSERT_EQ(v.read_varint64(got, err), c.ok);
  if (c.ok) {
    EXPECT_EQ(got, c.value);
    EXPECT_EQ(v.consumed_since(InputView(c.input.data(), c.input.size())), c.used);
  } else {
    EXPECT_EQ(err.status, WireStatus::InvalidVarint);
  }
}

const uint64_t kMax = std::numeric_limits<uint64_t>::max();
// Inputs of up to 10 bytes ending in a continuation byte take the bounds-checked decoder;
// longer ones, or ones whose last byte ends a varint, the unchecked one.
INSTANTIATE_TEST_SUITE_P(
    Cases, ReadVarint,
    ::testing::Values(VarintRead{{0x05, 0x80}, true, 5, 1},
                      VarintRead{{0x80, 0x00}, true, 0, 2},
                      VarintRead{{0xac, 0x02, 0x80}, true, 300, 2},
                      VarintRead{ff(9, {0x01}), true, kMax, 10},
                      VarintRead{ff(9, {0x01, 0x80}), true, kMax, 10},
                      VarintRead{ff(9, {0x01, 0, 0, 0, 0, 0}), true, kMax, 10},
                      VarintRead{{}, false, 0, 0}, VarintRead{{0x80}, false, 0, 0},
                      VarintRead{ff(3), false, 0, 0}, VarintRead{ff(10), false, 0, 0},
                      VarintRead{ff(9, {0x02}), false, 0, 0},
                      VarintRead{ff(10, {0x00}), false, 0, 0},
                      VarintRead{ff(9, {0x02, 0, 0, 0, 0}), false, 0, 0},
                      VarintRead{ff(20), false, 0, 0}));

TEST(Wire, VarintRoundTripsThroughTheReverseBuffer) {
  std::vector<uint64_t> values;
  for (int k = 0; k < 64; ++k) values.push_back(uint64_t{1} << k), values.push_back((uint64_t{1} << k) - 1);
  values.push_back(kMax);
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

TEST(Wire, TagIsAtMostFiveBytesAndBelowTwoToThe32) {
  auto read = [](Bytes in, uint32_t& tag, WireError& err) {
    InputView v(in.data(), in.size());
    return v.read_tag(tag, err);
  };
  uint32_t tag = 0;
  WireError err;
  ASSERT_TRUE(read({0x88, 0x01}, tag, err));
  EXPECT_EQ(tag, 136u);
  ASSERT_TRUE(read({0x88, 0x80, 0x80, 0x80, 0x00}, tag, err));
  EXPECT_EQ(tag, 8u);
  ASSERT_TRUE(read({0xff, 0xff, 0xff, 0xff, 0x0f}, tag, err));
  EXPECT_EQ(tag, 0xffffffffu);
  for (Bytes bad : {Bytes{}, Bytes{0x88}, Bytes{0x88, 0x80, 0x80, 0x80, 0x80, 0x00},
                    Bytes{0x80, 0x80, 0x80, 0x80, 0x10}}) {
    err = {};
    EXPECT_FALSE(read(bad, tag, err));
    EXPECT_EQ(err.status, WireStatus::InvalidVarint);
  }
}

TEST(Wire, FieldTagRejectsNumberZeroAndWireTypesSixAndSeven) {
  struct Case {
    uint8_t byte;
    WireStatus status;
    uint64_t a;
  };
  for (Case c : {Case{0x00, WireStatus::FieldNumberZero, 0},
                 Case{0x0e, WireStatus::InvalidWireType, 6},
                 Case{0x0f, WireStatus::InvalidWireType, 7}}) {
    InputView v(&c.byte, 1);
    uint32_t tag;
    WireError err;
    EXPECT_FALSE(v.read_field_tag(tag, err));
    EXPECT_EQ(err.status, c.status);
    EXPECT_EQ(err.a, c.a);
  }
}

TEST(Wire, FixedAndLengthDelimitedTruncationCounts) {
  Bytes five = {1, 2, 3, 4, 5};
  InputView v(five.data(), five.size());
  uint64_t u64;
  uint32_t u32;
  WireError err;
  EXPECT_FALSE(v.read_fixed64(u64, err));
  EXPECT_EQ(err.status, WireStatus::Truncated);
  EXPECT_EQ(err.a, 8u);
  EXPECT_EQ(err.b, 5u);
  ASSERT_TRUE(v.read_fixed32(u32, err));
  EXPECT_EQ(u32, 0x04030201u);
  EXPECT_FALSE(v.read_fixed32(u32, err));
  EXPECT_EQ(err.a, 4u);
  EXPECT_EQ(err.b, 1u);

  Bytes len = {0x0a, 'a', 'b', 'c'};
  InputView w(len.data(), len.size()), out;
  EXPECT_FALSE(w.read_len_prefixed(out, err));
  EXPECT_EQ(err.status, WireStatus::Truncated);
  EXPECT_EQ(err.a, 10u);
  EXPECT_EQ(err.b, 3u);
}

TEST(Wire, LengthDelimitedViewSharesTheInput) {
  Bytes in = {0x02, 'h', 'i', 0x07};
  InputView v(in.data(), in.size()), out;
  WireError err;
  ASSERT_TRUE(v.read_len_prefixed(out, err));
  EXPECT_EQ(out.cur, in.data() + 1);
  EXPECT_EQ(out.remaining, 2u);
  EXPECT_EQ(v.cur, in.data() + 3);
  EXPECT_EQ(v.remaining, 1u);
}

// A start tag of field n (a one-byte tag for n < 16).
uint8_t sg(uint32_t n) { return static_cast<uint8_t>(make_tag(n, WireType::SGroup)); }
uint8_t eg(uint32_t n) { return static_cast<uint8_t>(make_tag(n, WireType::EGroup)); }

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
  EXPECT_EQ(skip_field(1, c.wire_type, v, 1, err), c.want.status == WireStatus::Ok);
  EXPECT_EQ(err.status, c.want.status);
  EXPECT_EQ(err.a, c.want.a);
  EXPECT_EQ(err.b, c.want.b);
  if (c.want.status == WireStatus::Ok) {
    EXPECT_EQ(v.remaining, c.left);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SkipField,
    ::testing::Values(
        SkipCase{"varint", 0, {0x96, 0x01, 0x08}, {}, 1},
        SkipCase{"i64", 1, {1, 2, 3, 4, 5, 6, 7, 8, 9}, {}, 1},
        SkipCase{"i32", 5, {1, 2, 3, 4}, {}, 0},
        SkipCase{"len", 2, {0x02, 'a', 'b', 'c'}, {}, 1},
        SkipCase{"nested", 3, {0x08, 0x01, sg(2), 0x15, 1, 2, 3, 4, eg(2), eg(1), 0x08}, {}, 1},
        SkipCase{"truncated_i64", 1, {1, 2, 3}, {WireStatus::Truncated, 8, 3}},
        SkipCase{"truncated_len", 2, {0x05, 'a'}, {WireStatus::Truncated, 5, 1}},
        SkipCase{"stray_end", 4, {}, {WireStatus::UnexpectedEndGroup, 1, 0}},
        SkipCase{"mismatch", 3, {sg(2), eg(3)}, {WireStatus::MismatchedGroupEnd, 2, 3}},
        SkipCase{"outer_mismatch", 3, {0x08, 0x00, eg(4)}, {WireStatus::MismatchedGroupEnd, 1, 4}},
        SkipCase{"unterminated", 3, {sg(2), eg(2)}, {WireStatus::UnterminatedUnknownGroup, 0, 0}},
        SkipCase{"bad_wire_type", 3, {0x0e}, {WireStatus::InvalidWireType, 6, 0}},
        SkipCase{"truncated_inside", 3, {0x0d, 1}, {WireStatus::Truncated, 4, 1}}),
    [](const auto& info) { return info.param.name; });

void put_varint(Bytes& b, uint64_t v) {
  for (; v >= 0x80; v >>= 7) b.push_back(static_cast<uint8_t>(v) | 0x80);
  b.push_back(static_cast<uint8_t>(v));
}

// The rest of group 1 after its start tag: groups 2..levels nested inside it, then `closes`
// end tags from the innermost outwards.
Bytes nested_groups(uint32_t levels, uint32_t closes = ~0u) {
  Bytes b;
  for (uint32_t n = 2; n <= levels; ++n) put_varint(b, make_tag(n, WireType::SGroup));
  for (uint32_t n = levels; n >= 1 && closes; --n, --closes) {
    put_varint(b, make_tag(n, WireType::EGroup));
  }
  return b;
}

TEST(SkipField, NestingDepthLimit) {
  // The outermost group's start tag has been read; it sits at depth 1, as below a top message.
  for (uint32_t levels : {100u, 101u}) {
    Bytes in = nested_groups(levels);
    InputView v(in.data(), in.size());
    WireError err;
    bool ok = skip_field(1, 3, v, 1, err);
    if (levels == 100) {
      EXPECT_TRUE(ok);
      EXPECT_TRUE(v.empty());
    } else {
      EXPECT_FALSE(ok);
      EXPECT_EQ(err.status, WireStatus::SkipDepth);
      EXPECT_EQ(err.a, 101u);
    }
  }
  InputView v;
  WireError err;
  EXPECT_FALSE(skip_field(9, 0, v, MAX_RECURSION_DEPTH + 1, err));
  EXPECT_EQ(err.status, WireStatus::SkipDepth);
  EXPECT_EQ(err.a, 9u);
}

TEST(ScanGroup, ContentEndsAtTheMatchingEndTag) {
  // Group 1 holding a varint, a group 1 of its own and a LEN; then a trailing byte.
  Bytes in = {0x10, 0x05, sg(1), 0x08, 0x01, eg(1), 0x1a, 0x01, eg(1), eg(1), 0x42};
  InputView v(in.data(), in.size()), content;
  WireError err;
  ASSERT_TRUE(scan_group(v, 1, content, err));
  EXPECT_EQ(content.cur, in.data());
  EXPECT_EQ(content.remaining, 9u);
  EXPECT_EQ(v.remaining, 1u);

  // An over-long end tag still closes the group at the right place.
  Bytes longer = {0x08, 0x07, 0x8c, 0x00, 0x42};
  v = InputView(longer.data(), longer.size());
  ASSERT_TRUE(scan_group(v, 1, content, err));
  EXPECT_EQ(content.remaining, 2u);
  EXPECT_EQ(v.remaining, 1u);
}

TEST(ScanGroup, DeepNesting) {
  Bytes in = nested_groups(40);
  InputView v(in.data(), in.size()), content;
  WireError err;
  ASSERT_TRUE(scan_group(v, 1, content, err));
  EXPECT_TRUE(v.empty());
  EXPECT_EQ(content.remaining, in.size() - 1);
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
       {Case{{sg(2), eg(1)}, {WireStatus::MismatchedGroupEnd, 2, 1}},
        Case{deep, {WireStatus::MismatchedGroupEnd, 30, 29}},
        Case{nested_groups(40, 39), {WireStatus::UnterminatedGroup, 0, 0}},
        Case{{0x0f}, {WireStatus::InvalidWireType, 7, 0}},
        Case{{0x09, 1, 2}, {WireStatus::Truncated, 8, 2}},
        Case{{0x80}, {WireStatus::InvalidVarint, 0, 0}}}) {
    InputView v(c.in.data(), c.in.size()), content;
    WireError err;
    EXPECT_FALSE(scan_group(v, 1, content, err));
    EXPECT_EQ(err.status, c.want.status);
    EXPECT_EQ(err.a, c.want.a);
    EXPECT_EQ(err.b, c.want.b);
  }
}

}  // namespace
}  // namespace torvex
