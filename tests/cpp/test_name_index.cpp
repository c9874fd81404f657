#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/name_index.h"

namespace torvex {
namespace {

TEST(NameIndex, LaterEntryWinsAndMissesAreMisses) {
  std::vector<NameIndex::Entry> e = {{"foo_bar", 1}, {"fooBar", 1}, {"x", 2}, {"fooBar", 3}};
  NameIndex idx(e);
  uint32_t n = 0;
  EXPECT_TRUE(idx.find("foo_bar", &n));
  EXPECT_EQ(n, 1u);
  EXPECT_TRUE(idx.find("fooBar", &n));
  EXPECT_EQ(n, 3u);
  for (const char* miss : {"", "foo", "foo_ba", "foo_barr", "X", "fooBa"}) {
    EXPECT_FALSE(idx.find(miss, &n)) << miss;
  }
  EXPECT_FALSE(NameIndex().find("x", &n));
}

TEST(NameIndex, ManyNamesOfEveryLength) {
  std::vector<std::string> names;
  for (int i = 0; i < 3000; ++i) names.push_back(std::string(i % 40, 'a') + std::to_string(i));
  std::vector<NameIndex::Entry> e;
  for (size_t i = 0; i < names.size(); ++i) e.emplace_back(names[i], static_cast<uint32_t>(i));
  NameIndex idx(e);
  for (size_t i = 0; i < names.size(); ++i) {
    uint32_t n = 0;
    ASSERT_TRUE(idx.find(names[i], &n));
    EXPECT_EQ(n, i);
    std::string other = names[i] + "!";
    EXPECT_FALSE(idx.find(other, &n));
  }
}

}  // namespace
}  // namespace torvex
