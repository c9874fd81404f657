#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "core/field_index.h"

namespace torvex {
namespace {

struct Entry {
  uint32_t number;
  int tag;
};

using Index = FieldNumberIndex<Entry>;

struct Built {
  std::vector<Entry> entries;
  Index index;
};

// One entry per number, in order; entry i carries tag i so duplicates are distinguishable.
Built build(const std::vector<uint32_t>& numbers) {
  Built b;
  b.entries.reserve(numbers.size());
  for (size_t i = 0; i < numbers.size(); ++i)
    b.entries.push_back({numbers[i], static_cast<int>(i)});
  std::vector<Index::Pair> pairs;
  for (const Entry& e : b.entries) pairs.emplace_back(e.number, &e);
  b.index = Index(pairs);
  return b;
}

std::vector<uint32_t> range(uint32_t lo, uint32_t hi, uint32_t skip = 0) {
  std::vector<uint32_t> v;
  for (uint32_t n = lo; n <= hi; ++n) {
    if (n != skip) v.push_back(n);
  }
  return v;
}

struct ChoiceCase {
  const char* name;
  std::vector<uint32_t> numbers;
  bool dense;
  size_t length;
};

class Choice : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(Choice, PicksTheRepresentationAndFindsEveryField) {
  const ChoiceCase& c = GetParam();
  Built b = build(c.numbers);
  EXPECT_EQ(b.index.dense(), c.dense);
  EXPECT_EQ(b.index.dense_length(), c.length);
  if (!c.dense) {
    EXPECT_GE(b.index.hashed_capacity(), 2 * c.numbers.size());
  }
  for (const Entry& e : b.entries) EXPECT_EQ(b.index.find(e.number), &e);
  uint32_t max = 0;
  for (uint32_t n : c.numbers) max = n > max ? n : max;
  for (uint32_t absent : {0u, max + 1, max + 64, 0xffffffffu}) {
    EXPECT_EQ(b.index.find(absent), nullptr) << absent;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Choice,
    ::testing::Values(ChoiceCase{"Empty", {}, true, 1},
                      ChoiceCase{"OneTwoHundred", {1, 2, 100}, false, 0},
                      ChoiceCase{"UpTo16WithGap", range(1, 16, 7), true, 17},
                      ChoiceCase{"Only16", {16}, true, 17},
                      ChoiceCase{"SeventeenTo21", range(17, 21), false, 0},
                      ChoiceCase{"OneTo20", range(1, 20), true, 21},
                      ChoiceCase{"Sparse", {5, 1u << 29, 77777, 123, 0xfffffffeu}, false, 0},
                      ChoiceCase{"ManyHashed", range(1000, 1600), false, 0}),
    [](const auto& info) { return info.param.name; });

TEST(FieldNumberIndex, ThresholdIsEightyPercentWithoutOverflow) {
  EXPECT_TRUE(choose_dense(0, 0xffffffffu));
  EXPECT_TRUE(choose_dense(1, 16));
  EXPECT_TRUE(choose_dense(80, 99));
  EXPECT_FALSE(choose_dense(79, 99));
  // 4 * (max + 1) wraps to 0 in 32 bits.
  EXPECT_FALSE(choose_dense(3, 0xffffffffu));
  EXPECT_FALSE(choose_dense(1, 0x3fffffffu));
}

TEST(FieldNumberIndex, LaterDuplicateWins) {
  for (const std::vector<uint32_t>& numbers :
       {std::vector<uint32_t>{3, 1, 3}, std::vector<uint32_t>{40, 500, 40, 9000}}) {
    Built b = build(numbers);
    const Entry* e = b.index.find(numbers[0]);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->tag, 2);
  }
}

TEST(FieldNumberIndex, MovedFromFindsNothing) {
  Built b = build({1, 2, 100});
  Index moved = std::move(b.index);
  EXPECT_EQ(moved.find(100), &b.entries[2]);
  EXPECT_EQ(b.index.find(100), nullptr);
  EXPECT_EQ(b.index.find(1), nullptr);
}

}  // namespace
}  // namespace torvex
