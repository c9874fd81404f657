#include <gtest/gtest.h>

#include <algorithm>
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

// Every kernel this CPU runs against the scalar one: random lengths and start offsets (the
// vector loads are unaligned), both alphabets, padded or not, and one byte spoiled at random
// (outside the alphabet, high bit set or padding in the middle) in a third of the texts.
TEST(Base64, KernelsAgreeWithScalar) {
  std::mt19937 rng(11);
  const std::string spoilers = "=!\n \x80\xff-_+/";
  int checked = 0;
  for (Base64Kernel k : {Base64Kernel::Sse41, Base64Kernel::Avx2}) {
    if (!base64_kernel_available(k)) continue;
    ++checked;
    for (int round = 0; round < 3000; ++round) {
      size_t n = rng() % 4097, off = rng() % 32;
      std::vector<uint8_t> in(n + off);
      for (auto& b : in) b = static_cast<uint8_t>(rng());
      std::string want(base64_encoded_length(n), '\0'), got(want.size() + off, '\0');
      base64_encode_with(Base64Kernel::Scalar, in.data() + off, n, want.data());
      base64_encode_with(k, in.data() + off, n, got.data() + off);
      ASSERT_EQ(got.substr(off), want) << n;
      std::string text = want;
      if (rng() % 2) {
        for (char& c : text) c = c == '+' ? '-' : c == '/' ? '_' : c;
      }
      if (rng() % 2) {
        while (!text.empty() && text.back() == '=') text.pop_back();
      }
      if (rng() % 3 == 0 && !text.empty())
        text[rng() % text.size()] = spoilers[rng() % spoilers.size()];
      std::string shifted = std::string(off, 'A') + text;
      std::vector<uint8_t> a(base64_decoded_length(text.data(), text.size()) + 1),
          b(a.size() + off);
      size_t la = 0, lb = 0;
      bool ra = base64_decode_with(Base64Kernel::Scalar, text.data(), text.size(), a.data(), &la);
      bool rb = base64_decode_with(k, shifted.data() + off, text.size(), b.data() + off, &lb);
      ASSERT_EQ(ra, rb) << text;
      if (ra) {
        ASSERT_EQ(la, lb);
        ASSERT_TRUE(std::equal(a.begin(), a.begin() + static_cast<long>(la),
                               b.begin() + static_cast<long>(off)));
      }
    }
  }
  EXPECT_TRUE(base64_kernel_available(base64_kernel()));
  EXPECT_GT(checked, 0) << "no vector kernel runs here: only the scalar path was tested";
}

// Every kernel on texts of two vector blocks and a tail: each byte outside the alphabets at each
// position is refused ("=" only passes as the last character, as padding), and the "+/" and
// "-_" pairs are refused together wherever each one falls, in a vector block or the tail.
TEST(Base64, BlockBoundaries) {
  std::mt19937 rng(5);
  std::vector<uint8_t> raw(51);
  for (auto& b : raw) b = static_cast<uint8_t>(rng());
  std::string plain(base64_encoded_length(raw.size()), '\0');
  base64_encode(raw.data(), raw.size(), plain.data());  // 68 characters, no padding
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/-_";
  auto run = [](Base64Kernel k, const std::string& text, std::vector<uint8_t>* out) {
    out->assign(base64_decoded_length(text.data(), text.size()), 0);
    size_t n = 0;
    bool ok = base64_decode_with(k, text.data(), text.size(), out->data(), &n);
    return ok && n == out->size();
  };
  std::vector<uint8_t> got, want;
  for (Base64Kernel k : {Base64Kernel::Scalar, Base64Kernel::Sse41, Base64Kernel::Avx2}) {
    if (!base64_kernel_available(k)) continue;
    for (size_t pos = 0; pos < plain.size(); ++pos) {
      for (int b = 0; b < 256; ++b) {
        if (alphabet.find(static_cast<char>(b)) != std::string::npos) continue;
        std::string text = plain;
        text[pos] = static_cast<char>(b);
        const bool padding = b == '=' && pos + 1 == text.size() && text.size() % 4 == 0;
        ASSERT_EQ(run(k, text, &got), padding) << int(k) << " " << pos << " " << b;
      }
    }
    for (size_t p = 0; p < plain.size(); ++p) {
      for (size_t q = 0; q < plain.size(); ++q) {
        if (p == q) continue;
        for (int kind = 0; kind < 4; ++kind) {
          std::string text = plain;
          text[p] = "+/+/"[kind];
          text[q] = "-_/+"[kind];  // the last two kinds stay within one alphabet
          const bool same = kind >= 2;
          ASSERT_EQ(run(k, text, &got), same) << int(k) << " " << p << " " << q << " " << kind;
          if (!same) continue;
          for (char& c : text) c = c == '+' ? '-' : c == '/' ? '_' : c;
          ASSERT_TRUE(run(Base64Kernel::Scalar, text, &want));
          ASSERT_EQ(got, want) << "the alphabets decode alike";
        }
      }
    }
  }
}

}  // namespace
}  // namespace torvex
