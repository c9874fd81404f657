#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "core/bitset.h"

namespace torvex {
namespace {

std::vector<uint32_t> listed(PresenceBitset& s) {
  RVec<uint32_t> out{99};  // stale content must be replaced
  EXPECT_EQ(s.list(out), BitsetStatus::Ok);
  return std::vector<uint32_t>(out.begin(), out.end());
}

void mark_all(PresenceBitset& s, std::initializer_list<uint32_t> ns) {
  for (uint32_t n : ns) ASSERT_EQ(s.mark(n, true), BitsetStatus::Ok);
}

class BothReprs : public ::testing::TestWithParam<bool> {};

TEST_P(BothReprs, MarkTestClearAcrossWordBoundaries) {
  PresenceBitset s(GetParam());
  EXPECT_TRUE(listed(s).empty());
  EXPECT_FALSE(s.test(0));
  EXPECT_EQ(s.mark(7, false), BitsetStatus::Ok);  // clearing what was never set
  mark_all(s, {5, 3, 3, 0, 63, 64, 127, 128, 255, 256, 319});
  EXPECT_EQ(listed(s), (std::vector<uint32_t>{0, 3, 5, 63, 64, 127, 128, 255, 256, 319}));
  for (uint32_t n : {63u, 64u, 319u}) EXPECT_TRUE(s.test(n));
  for (uint32_t n : {1u, 62u, 65u, 318u, 400u}) EXPECT_FALSE(s.test(n));
  for (uint32_t n : {64u, 0u, 319u}) EXPECT_EQ(s.mark(n, false), BitsetStatus::Ok);
  EXPECT_EQ(listed(s), (std::vector<uint32_t>{3, 5, 63, 127, 128, 255, 256}));
}

INSTANTIATE_TEST_SUITE_P(Reprs, BothReprs, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Inline" : "Hashed"; });

TEST(PresenceBitset, InlineRejectsNumbersFrom320AndStaysUsable) {
  PresenceBitset s(true);
  EXPECT_TRUE(s.is_inline());
  mark_all(s, {4});
  EXPECT_EQ(s.mark(320, true), BitsetStatus::OutOfRange);
  EXPECT_EQ(s.mark(0xffffffffu, false), BitsetStatus::OutOfRange);
  EXPECT_FALSE(s.test(320));
  EXPECT_EQ(s.mark(9, true), BitsetStatus::Ok);
  EXPECT_EQ(listed(s), (std::vector<uint32_t>{4, 9}));
  // Small enough to sit in every message instance.
  EXPECT_LE(sizeof(PresenceBitset), 16u);
}

TEST(PresenceBitset, HashedHoldsAnyNumber) {
  PresenceBitset s(false);
  EXPECT_FALSE(s.is_inline());
  mark_all(s, {0xffffffffu, 320, 1u << 29});
  EXPECT_TRUE(s.test(0xffffffffu));
  EXPECT_EQ(listed(s), (std::vector<uint32_t>{320, 1u << 29, 0xffffffffu}));
}

struct UnionCase {
  const char* name;
  bool dst_inline, src_inline;
  std::vector<uint32_t> dst, src, want;
  BitsetStatus status;
};

class Union : public ::testing::TestWithParam<UnionCase> {};

TEST_P(Union, AddsSourceNumbers) {
  const UnionCase& c = GetParam();
  PresenceBitset dst(c.dst_inline), src(c.src_inline);
  for (uint32_t n : c.dst) dst.mark(n, true);
  for (uint32_t n : c.src) src.mark(n, true);
  EXPECT_EQ(dst.union_from(src), c.status);
  EXPECT_EQ(listed(dst), c.want);
  EXPECT_EQ(listed(src), c.src);
  // A copy being built gets the same result with only the source locked.
  PresenceBitset fresh(c.dst_inline);
  for (uint32_t n : c.dst) fresh.mark(n, true);
  EXPECT_EQ(fresh.union_into_unshared(src), c.status);
  EXPECT_EQ(listed(fresh), c.want);
  // Either way the destination keeps working.
  EXPECT_EQ(dst.mark(2, true), BitsetStatus::Ok);
  EXPECT_TRUE(dst.test(2));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Union,
    ::testing::Values(
        UnionCase{"InlineInline", true, true, {1, 64}, {64, 319}, {1, 64, 319}, BitsetStatus::Ok},
        UnionCase{"HashedHashed",
                  false,
                  false,
                  {7, 1000},
                  {1000, 5000},
                  {7, 1000, 5000},
                  BitsetStatus::Ok},
        UnionCase{"IntoEmptyHashed", false, false, {}, {3, 70000}, {3, 70000}, BitsetStatus::Ok},
        UnionCase{"EmptySource", true, false, {5}, {}, {5}, BitsetStatus::Ok},
        UnionCase{
            "InlineIntoHashed", false, true, {900}, {0, 319}, {0, 319, 900}, BitsetStatus::Ok},
        UnionCase{"HashedIntoInline",
                  true,
                  false,
                  {1},
                  {3, 319, 320, 4000},
                  {1, 3, 319},
                  BitsetStatus::Incompatible}),
    [](const auto& info) { return info.param.name; });

// One word in place until a number from 64 up is marked; the spilled form keeps what it had.
TEST(PresenceBitset, InlineSpillsOnlyForNumbersFrom64) {
  PresenceBitset s(true);
  mark_all(s, {0, 63});
  EXPECT_EQ(s.mark(200, false), BitsetStatus::Ok);
  EXPECT_FALSE(s.spilled());
  mark_all(s, {64});
  EXPECT_TRUE(s.spilled());
  EXPECT_EQ(listed(s), (std::vector<uint32_t>{0, 63, 64}));
  // Spilled, then emptied above 63: unions in both directions with an unspilled set.
  EXPECT_EQ(s.mark(64, false), BitsetStatus::Ok);
  PresenceBitset small(true);
  mark_all(small, {5});
  EXPECT_EQ(small.union_from(s), BitsetStatus::Ok);
  EXPECT_EQ(s.union_from(small), BitsetStatus::Ok);
  EXPECT_FALSE(small.spilled());
  EXPECT_EQ(listed(small), (std::vector<uint32_t>{0, 5, 63}));
  EXPECT_EQ(listed(s), (std::vector<uint32_t>{0, 5, 63}));
  PresenceBitset copy(true);
  EXPECT_EQ(copy.union_into_unshared(s), BitsetStatus::Ok);
  EXPECT_EQ(listed(copy), (std::vector<uint32_t>{0, 5, 63}));
}

TEST(PresenceBitset, UnionWithItselfReturnsWithoutChange) {
  for (bool repr : {true, false}) {
    PresenceBitset s(repr);
    mark_all(s, {1, 200});
    EXPECT_EQ(s.union_from(s), BitsetStatus::Ok);
    EXPECT_EQ(listed(s), (std::vector<uint32_t>{1, 200}));
  }
}

}  // namespace
}  // namespace torvex
