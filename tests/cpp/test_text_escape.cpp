#include <gtest/gtest.h>

#include <random>
#include <string>

#include "text/text_escape.h"

namespace torvex {
namespace {

std::string escape(const std::string& s, bool bytes) {
  RString out;
  escape_text(s.data(), s.size(), bytes, out);
  return std::string(out.data(), out.size());
}

// The unescaped bytes, or "<bad escape at N>".
std::string unescape(const std::string& body) {
  RString out("kept:");  // appends, never overwrites what was there
  size_t where = 0;
  if (unescape_text(body, out, &where) != UnescapeStatus::Ok) {
    return "<bad escape at " + std::to_string(where) + ">";
  }
  return std::string(out.data(), out.size());
}

TEST(TextEscape, NamedOctalAndPlainBytes) {
  EXPECT_EQ(escape("a\n\r\t\"'\\b", false), "a\\n\\r\\t\\\"\\'\\\\b");
  EXPECT_EQ(escape(std::string("\0\x01\x1f\x7f", 4), false), "\\000\\001\\037\\177");
  EXPECT_EQ(escape("h\xc3\xa9", false), "h\xc3\xa9");  // a string's UTF-8 stays
  EXPECT_EQ(escape("h\xc3\xa9", true), "h\\303\\251");
  EXPECT_EQ(escape("", true), "");
}

TEST(TextEscape, Unescapes) {
  EXPECT_EQ(unescape("a\\n\\t\\\\\\'\\\"\\a\\b\\f\\v\\r"), "kept:a\n\t\\'\"\a\b\f\v\r");
  EXPECT_EQ(unescape("\\101\\0\\x41\\x4g\\1234"), std::string("kept:A\0A\x04g\x53"
                                                              "4",
                                                              12));
  EXPECT_EQ(unescape("\\u00e9\\U0001F600"), "kept:\xc3\xa9\xf0\x9f\x98\x80");
  EXPECT_EQ(unescape("\\z\\?"), "kept:\\z\\?");  // unknown escapes keep their backslash
  EXPECT_EQ(unescape("ab\\x"), "<bad escape at 2>");
  EXPECT_EQ(unescape("\\u12"), "<bad escape at 0>");
  EXPECT_EQ(unescape("\\ud800"), "<bad escape at 0>");
  EXPECT_EQ(unescape("x\\U00110000"), "<bad escape at 1>");
}

TEST(TextEscape, RandomBytesRoundTrip) {
  std::mt19937 rng(11);
  for (int round = 0; round < 2000; ++round) {
    std::string s(rng() % 40, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    for (bool bytes : {false, true}) {
      EXPECT_EQ(unescape(escape(s, bytes)), "kept:" + s);
    }
    const std::string e = escape(s, true);
    for (char c : e) EXPECT_TRUE(c >= 0x20 && c < 0x7f);  // bytes come out as printable ASCII
  }
}

}  // namespace
}  // namespace torvex
