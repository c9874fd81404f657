#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/ref.h"
#include "json/json_sink.h"

namespace torvex {
namespace {

// The sinks create Python objects: one embedded interpreter for the whole test binary.
class PythonEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (!Py_IsInitialized()) Py_InitializeEx(0);
  }
};
const auto* const kPython = ::testing::AddGlobalTestEnvironment(new PythonEnvironment);

std::string text(const JsonTextSink& s) { return std::string(s.data(), s.size()); }

std::string escaped(const std::string& in) {
  JsonTextSink s;
  s.string(in.data(), in.size());
  return text(s);
}

std::string py_repr(double x) {
  Ref f(PyFloat_FromDouble(x));
  Ref r(PyObject_Repr(f.get()));
  return PyUnicode_AsUTF8(r.get());
}

std::string formatted(double x) {
  char buf[kNumberScratch];
  return std::string(buf, format_double(x, buf));
}

TEST(JsonTextSink, EscapesExactlyControlsQuoteAndBackslash) {
  EXPECT_EQ(escaped("a\"b\\c"), R"("a\"b\\c")");
  EXPECT_EQ(escaped("\b\t\n\f\r"), R"("\b\t\n\f\r")");
  EXPECT_EQ(escaped(std::string("\x00\x01\x1f", 3)), R"("\u0000\u0001\u001f")");
  EXPECT_EQ(escaped("/\x7f \xc3\xa9\xf0\x9f\x98\x80"), "\"/\x7f \xc3\xa9\xf0\x9f\x98\x80\"");
  // Every byte value at every offset of a block, so the wide scan and the tail both see it.
  for (int c = 0; c < 256; ++c) {
    for (size_t at : {0u, 7u, 8u, 15u, 16u, 31u, 40u}) {
      std::string in(41, 'x');
      in[at] = static_cast<char>(c);
      bool esc = c < 0x20 || c == '"' || c == '\\';
      ASSERT_EQ(json_escape_scan(in.data(), in.size()), esc ? at : in.size()) << c << " " << at;
      std::string out = escaped(in);
      bool short_form = c == '\b' || c == '\t' || c == '\n' || c == '\f' || c == '\r' || c >= 0x20;
      ASSERT_EQ(out.size(), in.size() + 2 + (esc ? (short_form ? 1 : 5) : 0));
      // Intake quotes member keys without a sink; both must write the same text.
      RString quoted;
      json_quote(in.data(), in.size(), &quoted);
      ASSERT_EQ(std::string(quoted.data(), quoted.size()), out) << c << " " << at;
    }
  }
}

TEST(JsonEscapeScan, FindsTheFirstEscapeAtEveryLengthAndOffset) {
  // Short texts and tails are scanned in overlapping pieces: a byte seen twice, or a second
  // escape later on, must not hide the first.
  for (size_t n = 0; n <= 40; ++n) {
    ASSERT_EQ(json_escape_scan(std::string(n, 'x').data(), n), n);
    for (size_t at = 0; at < n; ++at) {
      for (char c : {'\0', '\x1f', '"', '\\'}) {
        std::string in(n, 'x');
        in[at] = c;
        ASSERT_EQ(json_escape_scan(in.data(), n), at) << n << " " << at;
        in[n - 1] = '\n';
        ASSERT_EQ(json_escape_scan(in.data(), n), at) << n << " " << at;
      }
      for (char c : {' ', '\x7f', '\x80', '\xff', '/'}) {
        std::string in(n, 'x');
        in[at] = c;
        ASSERT_EQ(json_escape_scan(in.data(), n), n) << n << " " << at;
      }
    }
  }
}

TEST(JsonMemberPrefix, IsTheSinksKeyText) {
  // Around the 16-byte blocks the prefix is copied in, with and without its comma.
  for (const char* name :
       {"", "plain", "with \"quote\"", "caf\xc3\xa9", "tab\there", "abcdefghijkl", "abcdefghijklm",
        "abcdefghijklmnopqrstuvwxyz0123", "abcdefghijklmnopqrstuvwxyz01234"}) {
    Ref s(PyUnicode_FromString(name));
    ASSERT_TRUE(s);
    JsonTextSink by_key, by_prefix;
    RString prefix;
    bool ascii = true;
    ASSERT_TRUE(json_member_prefix(s.get(), &prefix, &ascii));
    by_key.begin_object();
    by_prefix.begin_object();
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(by_key.key(s.get()) && by_key.null());
      by_prefix.member_prefix(prefix, ascii);
      ASSERT_TRUE(by_prefix.null());
    }
    EXPECT_EQ(text(by_prefix), text(by_key)) << name;
    EXPECT_EQ(ascii, PyUnicode_IS_ASCII(s.get()) != 0) << name;
  }
  Ref lone(PyUnicode_FromOrdinal(0xD800));
  RString prefix;
  bool ascii = true;
  EXPECT_FALSE(json_member_prefix(lone.get(), &prefix, &ascii));
  EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_UnicodeEncodeError));
  PyErr_Clear();
}

TEST(JsonTextSink, LongRunsWithManyEscapesGrowTheBuffer) {
  std::string in(5000, '\x01');
  std::string out = escaped(in);
  ASSERT_EQ(out.size(), 5000u * 6 + 2);
  EXPECT_EQ(out.substr(0, 7), "\"\\u0001");
}

TEST(JsonTextSink, LoneSurrogateInStrFails) {
  Ref s(PyUnicode_FromOrdinal(0xD800));
  ASSERT_TRUE(s);
  JsonTextSink sink;
  EXPECT_FALSE(sink.string(s.get()));
  EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_UnicodeEncodeError));
  PyErr_Clear();
}

TEST(JsonTextSink, SeparatorsOnlyBetweenSiblings) {
  JsonTextSink s;
  s.begin_object();
  s.key("a", 1);
  s.begin_array();
  s.begin_object();
  s.end_object();
  s.begin_object();
  s.key("k", 1);
  s.null();
  s.end_object();
  s.integer(-7);
  s.end_array();
  s.key("b", 1);
  s.boolean(false);
  s.end_object();
  EXPECT_EQ(text(s), R"({"a":[{},{"k":null},-7],"b":false})");
  Ref str(s.take_str());
  EXPECT_EQ(PyUnicode_KIND(str.get()), PyUnicode_1BYTE_KIND);
  EXPECT_TRUE(PyUnicode_IS_ASCII(str.get()));
}

TEST(JsonTextSink, NonAsciiOutputDecodes) {
  JsonTextSink s;
  s.string("\xc3\xa9", 2);
  Ref str(s.take_str());
  ASSERT_TRUE(str);
  EXPECT_EQ(PyUnicode_GET_LENGTH(str.get()), 3);
  EXPECT_EQ(PyUnicode_READ_CHAR(str.get(), 1), 0xe9u);
}

TEST(NumberText, Boundaries) {
  EXPECT_EQ(formatted(0.0), "0.0");
  EXPECT_EQ(formatted(-0.0), "-0.0");
  EXPECT_EQ(formatted(1.0), "1.0");
  EXPECT_EQ(formatted(123.25), "123.25");
  EXPECT_EQ(formatted(1e-4), "0.0001");
  EXPECT_EQ(formatted(std::nextafter(1e-4, 0.0)), "9.999999999999999e-05");
  EXPECT_EQ(formatted(1e16), "1e+16");
  EXPECT_EQ(formatted(std::nextafter(1e16, 0.0)), "9999999999999998.0");
  EXPECT_EQ(formatted(1e15), "1000000000000000.0");
  EXPECT_EQ(formatted(-1e-5), "-1e-05");
  EXPECT_EQ(formatted(5e-324), "5e-324");
  EXPECT_EQ(formatted(2.2250738585072014e-308), "2.2250738585072014e-308");
  EXPECT_EQ(formatted(1.7976931348623157e308), "1.7976931348623157e+308");
  EXPECT_EQ(formatted(0.1), "0.1");
}

TEST(NumberText, MatchesReprForRandomDoubles) {
  std::mt19937_64 rng(12345);
  for (int i = 0; i < 2'000'000; ++i) {
    double x = std::bit_cast<double>(rng());
    if (!std::isfinite(x)) continue;
    if (i % 2) x = std::ldexp(std::fmod(x, 1.0), static_cast<int>(rng() % 120) - 60);
    if (i % 4 == 1)
      x = std::ldexp(x, 20) - std::ldexp(1.0, 19);  // 17 digits, a few before the point
    ASSERT_EQ(formatted(x), py_repr(x)) << i;
  }
}

TEST(NumberText, EveryFourDigitGroupInEveryPosition) {
  // The digits are written four at a time in vector lanes: each lane value at each lane, with
  // the point before, inside and after the digits.
  for (uint64_t g = 0; g < 10000; ++g) {
    const uint64_t digits = 10000000000000000u + g * 1000100010001u;
    for (int shift : {-20, -12, -3, 0, 5}) {
      const double x = static_cast<double>(digits) * std::pow(10.0, shift);
      ASSERT_EQ(formatted(x), py_repr(x)) << g << " " << shift;
      ASSERT_EQ(formatted(static_cast<double>(g)), py_repr(static_cast<double>(g))) << g;
    }
  }
}

TEST(NumberText, Integers) {
  char buf[kNumberScratch];
  EXPECT_EQ(std::string(buf, format_int64(INT64_MIN, buf)), "-9223372036854775808");
  EXPECT_EQ(std::string(buf, format_uint64(UINT64_MAX, buf)), "18446744073709551615");
  EXPECT_EQ(std::string(buf, format_int64(0, buf)), "0");
  for (uint64_t p = 1; p != 10000000000000000000ull; p *= 10) {
    for (uint64_t v : {p - 1, p, p + 1, p * 5}) {
      ASSERT_EQ(std::string(buf, format_uint64(v, buf)), std::to_string(v));
      ASSERT_EQ(std::string(buf, format_int64(-static_cast<int64_t>(v), buf)),
                std::to_string(-static_cast<int64_t>(v)));
    }
  }
  JsonTextSink s;
  s.begin_array();
  Ref big(PyLong_FromString("-123456789012345678901234567890", nullptr, 10));
  Ref small(PyLong_FromLong(-42));
  Ref real(PyFloat_FromDouble(2.5e-7));
  s.number(big.get());
  s.number(small.get());
  s.number(real.get());
  s.end_array();
  EXPECT_EQ(text(s), "[-123456789012345678901234567890,-42,2.5e-07]");
}

TEST(JsonTextSink, IntegersMatchToString) {
  // Every digit count and both sides of each power of ten, the 32-bit edges where the sink
  // switches formatters, and a stride plus random values across the whole 64-bit range.
  std::vector<int64_t> values = {0,
                                 INT32_MIN,
                                 INT32_MAX,
                                 UINT32_MAX,
                                 int64_t{UINT32_MAX} + 1,
                                 -int64_t{UINT32_MAX},
                                 -int64_t{UINT32_MAX} - 1,
                                 INT64_MIN,
                                 INT64_MAX};
  for (int64_t p = 1; p <= INT64_MAX / 10; p *= 10) {
    for (int64_t v : {p - 1, p, p + 1, p * 3 + 7, p * 10 - 1}) {
      values.push_back(v);
      values.push_back(-v);
    }
  }
  for (uint64_t u = 0; u <= 0xFFFFFFFFu; u += 104729) values.push_back(static_cast<int64_t>(u));
  std::mt19937_64 rng(20240607);
  for (int i = 0; i < 100000; ++i) {
    int64_t r = static_cast<int64_t>(rng());
    values.push_back(r >> (rng() % 64));
  }
  JsonTextSink s;
  std::string expected = "[";
  s.begin_array();
  for (size_t i = 0; i < values.size(); ++i) {
    s.integer(values[i]);
    expected += (i ? "," : "") + std::to_string(values[i]);
  }
  s.end_array();
  EXPECT_EQ(text(s), expected + "]");
}

TEST(JsonTreeSink, BuildsValuesAndRejectsOutOfOrderEvents) {
  JsonTreeSink t;
  Ref k(PyUnicode_FromString("k"));
  ASSERT_TRUE(t.begin_object());
  ASSERT_TRUE(t.key(k.get()));
  ASSERT_TRUE(t.begin_array());
  ASSERT_TRUE(t.integer(1));
  ASSERT_TRUE(t.ascii_string("x", 1));
  ASSERT_TRUE(t.end_array());
  EXPECT_FALSE(t.null());  // no pending key
  EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_ValueError));
  PyErr_Clear();
  ASSERT_TRUE(t.end_object());
  Ref root(t.take_root());
  Ref r(PyObject_Repr(root.get()));
  EXPECT_STREQ(PyUnicode_AsUTF8(r.get()), "{'k': [1, 'x']}");

  JsonTreeSink u;
  ASSERT_TRUE(u.begin_array());
  EXPECT_FALSE(u.key(k.get()));
  EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_ValueError));
  PyErr_Clear();
}

}  // namespace
}  // namespace torvex
