#include <gtest/gtest.h>

#include <random>
#include <string>

#include "json/wkt_text.h"

namespace torvex::wkt_text {
namespace {

std::string ts(int64_t s, int32_t n) {
  RString out;
  format_timestamp(s, n, &out);
  return std::string(out);
}

std::string dur(int64_t s, int32_t n) {
  RString out;
  format_duration(s, n, &out);
  return std::string(out);
}

TEST(WktText, TimestampFormat) {
  EXPECT_EQ(ts(0, 0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(ts(0, 120000000), "1970-01-01T00:00:00.120Z");
  EXPECT_EQ(ts(0, 1000), "1970-01-01T00:00:00.000001Z");
  EXPECT_EQ(ts(kTimestampMinSeconds, 1), "0001-01-01T00:00:00.000000001Z");
  EXPECT_EQ(ts(kTimestampMaxSeconds, 999999999), "9999-12-31T23:59:59.999999999Z");
  EXPECT_EQ(ts(1709209805, 120000000), "2024-02-29T12:30:05.120Z");
  EXPECT_EQ(ts(-1, 0), "1969-12-31T23:59:59Z");
}

struct TsCase {
  const char* text;
  TextResult result;
  int64_t seconds;
  int32_t nanos;
};

class TimestampParse : public testing::TestWithParam<TsCase> {};

TEST_P(TimestampParse, Case) {
  const TsCase& c = GetParam();
  int64_t s = 0;
  int32_t n = 0;
  ASSERT_EQ(parse_timestamp(c.text, &s, &n), c.result) << c.text;
  if (c.result == TextResult::Ok) {
    EXPECT_EQ(s, c.seconds) << c.text;
    EXPECT_EQ(n, c.nanos) << c.text;
  }
}

constexpr auto Ok = TextResult::Ok;
constexpr auto Bad = TextResult::Invalid;
constexpr auto Range = TextResult::OutOfRange;

INSTANTIATE_TEST_SUITE_P(
    Cases, TimestampParse,
    testing::Values(
        TsCase{"1970-01-01T01:00:00+01:00", Ok, 0, 0},
        TsCase{"1970-01-01T00:00:00-00:30", Ok, 1800, 0},
        TsCase{"1970-01-01T00:00:00.5Z", Ok, 0, 500000000},
        TsCase{"1970-01-01T00:00:00.123456789Z", Ok, 0, 123456789},
        TsCase{"2000-02-29T00:00:00Z", Ok, 951782400, 0},
        TsCase{"0001-01-01T00:00:00Z", Ok, kTimestampMinSeconds, 0},
        TsCase{"9999-12-31T23:59:59Z", Ok, kTimestampMaxSeconds, 0},
        TsCase{"1970-01-01T00:00:00.1234567890Z", Bad, 0, 0},
        TsCase{"1970-01-01T00:00:00.Z", Bad, 0, 0}, TsCase{"1970-01-01T00:00:00z", Bad, 0, 0},
        TsCase{"1970-01-01 00:00:00Z", Bad, 0, 0}, TsCase{"1970-01-01t00:00:00Z", Bad, 0, 0},
        TsCase{"1970-01-01T00:00:00", Bad, 0, 0}, TsCase{"1970-01-01T00:00:60Z", Bad, 0, 0},
        TsCase{"1970-01-01T24:00:00Z", Bad, 0, 0}, TsCase{"1970-01-01T00:00:00+24:00", Bad, 0, 0},
        TsCase{"1970-01-01T00:00:00+01:60", Bad, 0, 0}, TsCase{"1900-02-29T00:00:00Z", Bad, 0, 0},
        TsCase{"1970-13-01T00:00:00Z", Bad, 0, 0}, TsCase{"1970-1-01T00:00:00Z", Bad, 0, 0},
        TsCase{"0000-12-31T23:59:59Z", Bad, 0, 0},
        TsCase{"1970-01-01T00:00:00\xc3\xa9Z", Bad, 0, 0}, TsCase{"", Bad, 0, 0},
        TsCase{"Z", Bad, 0, 0}, TsCase{"9999-12-31T23:59:59-01:00", Range, 0, 0},
        TsCase{"0001-01-01T00:00:00+00:01", Range, 0, 0}));

TEST(WktText, TimestampRoundTripSamples) {
  std::mt19937_64 rng(7);
  std::uniform_int_distribution<int64_t> secs(kTimestampMinSeconds, kTimestampMaxSeconds);
  std::uniform_int_distribution<int32_t> nanos(0, kMaxNanos);
  for (int i = 0; i < 20000; ++i) {
    int64_t s = secs(rng), s2 = 0;
    int32_t n = i % 4 == 0 ? 0 : nanos(rng) / (i % 3 == 0 ? 1000 : 1) * (i % 3 == 0 ? 1000 : 1);
    int32_t n2 = -1;
    std::string text = ts(s, n);
    ASSERT_EQ(parse_timestamp(text, &s2, &n2), Ok) << text;
    ASSERT_EQ(s, s2) << text;
    ASSERT_EQ(n, n2) << text;
  }
}

TEST(WktText, DurationFormat) {
  EXPECT_EQ(dur(0, 0), "0s");
  EXPECT_EQ(dur(1, 500000000), "1.500s");
  EXPECT_EQ(dur(0, -1000), "-0.000001s");
  EXPECT_EQ(dur(0, -1), "-0.000000001s");
  EXPECT_EQ(dur(-kDurationMaxSeconds, 0), "-315576000000s");
}

TEST(WktText, DurationParse) {
  struct Case {
    const char* text;
    bool ok;
    int64_t seconds;
    int32_t nanos;
  };
  const Case cases[] = {
      {"1.s", true, 1, 0},
      {"-0.5s", true, 0, -500000000},
      {"10s", true, 10, 0},
      {"-315576000000.999999999s", true, -315576000000, -999999999},
      {"+1s", false, 0, 0},
      {".5s", false, 0, 0},
      {"1", false, 0, 0},
      {"1.0000000001s", false, 0, 0},
      {"--1s", false, 0, 0},
      {"315576000001s", false, 0, 0},
      {"99999999999999999999999s", false, 0, 0},
      {"1 s", false, 0, 0},
      {"s", false, 0, 0},
      {"-s", false, 0, 0},
      {"1.5e3s", false, 0, 0},
  };
  for (const Case& c : cases) {
    int64_t s = 0;
    int32_t n = 0;
    TextResult r = parse_duration(c.text, &s, &n);
    EXPECT_EQ(r == Ok, c.ok) << c.text;
    if (c.ok && r == Ok) {
      EXPECT_EQ(s, c.seconds) << c.text;
      EXPECT_EQ(n, c.nanos) << c.text;
    }
  }
}

TEST(WktText, FieldMaskPaths) {
  struct Case {
    const char* path;
    const char* json;  // nullptr: irreversible
  };
  const Case cases[] = {
      {"foo_bar.baz_qux", "fooBar.bazQux"},
      {"*", "*"},
      {"a1.b", "a1.b"},
      {"_x", "X"},
      {"foo__bar", nullptr},
      {"foo_1", nullptr},
      {"foo_", nullptr},
      {"fooBar", nullptr},
      {"a..b", nullptr},
      {"a.", nullptr},
      {"", nullptr},
      {"1a", nullptr},
      {"a-b", nullptr},
  };
  for (const Case& c : cases) {
    RString out = "keep";
    bool ok = field_mask_path_to_json(c.path, &out);
    EXPECT_EQ(ok, c.json != nullptr) << c.path;
    EXPECT_EQ(std::string(out), std::string("keep") + (ok ? c.json : "")) << c.path;
  }
  RString back;
  field_mask_path_from_json("fooBar.bazQux", &back);
  EXPECT_EQ(std::string(back), "foo_bar.baz_qux");
}

}  // namespace
}  // namespace torvex::wkt_text
