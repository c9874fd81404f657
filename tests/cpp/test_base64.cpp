#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/base64.h"

namespace torvex {
namespace {

std::string encode(const std::string& s) {
  std::string out(base64_encoded_length(s.size()), '\0');
  base64_encode(reinterpret_cast<const uint8_t*>(s.data()), s.size(), out.data());
  return out;
}

// Decoded text, or "<invalid>". A successful decode fills exactly the announced length: the
// byte after it keeps its sentinel.
std::string decode(const std::string& s) {
  const size_t want = base64_decoded_length(s.data(), s.size());
  std::vector<uint8_t> out(want + 1, 0xA5);
  size_t n = 0;
  if (!base64_decode(s.data(), s.size(), out.data(), &n)) return "<invalid>";
  EXPECT_EQ(n, want) << s;
  EXPECT_EQ(out[want], 0xA5) << s;
  return std::string(out.begin(), out.begin() + static_cast<long>(n));
}

TEST(Base64, Rfc4648Vectors) {
  const char* plain[] = {"", "f", "fo", "foo", "foob", "fooba", "foobar"};
  const char* coded[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(encode(plain[i]), coded[i]);
    EXPECT_EQ(decode(coded[i]), plain[i]);
  }
  EXPECT_EQ(encode("\xff"), "/w==");
}

TEST(Base64, AlphabetsAndPadding) {
  EXPECT_EQ(decode("Zg"), "f");
  EXPECT_EQ(decode("Zm8"), "fo");
  EXPECT_EQ(decode("-_8"), "\xfb\xff");
  EXPECT_EQ(decode("+/8="), "\xfb\xff");
  EXPECT_EQ(decode("Zh=="), "f");  // leftover bits are ignored
  for (const char* bad : {"Z", "Zg=", "Zg===", "Z===", "-/88", "Zm9v\n", "Zm=v", "Zm 9v", "===="}) {
    EXPECT_EQ(decode(bad), "<invalid>") << bad;
  }
}

TEST(Base64, RandomRoundTrips) {
  std::mt19937 rng(7);
  for (int len = 0; len < 300; ++len) {
    std::string s(static_cast<size_t>(len), '\0');
    for (auto& c : s) c = static_cast<char>(rng());
    std::string text = encode(s);
    ASSERT_EQ(decode(text), s);
    while (!text.empty() && text.back() == '=') text.pop_back();
    ASSERT_EQ(decode(text), s);
  }
}

}  // namespace
}  // namespace torvex
