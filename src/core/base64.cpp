#include "core/base64.h"

#include <array>
#include <bit>
#include <cstring>

namespace torvex {

namespace {

constexpr char kStd[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Two output characters per 12 input bits: halves the table lookups of the encoder.
struct PairTable {
  std::array<uint16_t, 4096> pairs{};
  constexpr PairTable() {
    for (int i = 0; i < 4096; ++i) {
      // Stored in memory order (first character in the low byte on little endian) by memcpy.
      unsigned char hi = static_cast<unsigned char>(kStd[i >> 6]);
      unsigned char lo = static_cast<unsigned char>(kStd[i & 63]);
      pairs[i] = static_cast<uint16_t>(
          std::endian::native == std::endian::little ? (hi | (lo << 8)) : ((hi << 8) | lo));
    }
  }
};
constexpr PairTable kPairs;

// 0xFF marks a character outside the alphabet.
struct DecodeTable {
  std::array<uint8_t, 256> value{};
  constexpr DecodeTable(bool url) {
    for (auto& v : value) v = 0xFF;
    for (int i = 0; i < 62; ++i)
      value[static_cast<unsigned char>(kStd[i])] = static_cast<uint8_t>(i);
    value[url ? '-' : '+'] = 62;
    value[url ? '_' : '/'] = 63;
  }
};
constexpr DecodeTable kDecodeStd(false);
constexpr DecodeTable kDecodeUrl(true);

}  // namespace

void base64_encode(const uint8_t* in, size_t n, char* out) noexcept {
  size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
    std::memcpy(out, &kPairs.pairs[v >> 12], 2);
    std::memcpy(out + 2, &kPairs.pairs[v & 0xFFF], 2);
    out += 4;
  }
  size_t rest = n - i;
  if (rest == 0) return;
  uint32_t v = uint32_t{in[i]} << 16;
  if (rest == 2) v |= uint32_t{in[i + 1]} << 8;
  out[0] = kStd[v >> 18];
  out[1] = kStd[(v >> 12) & 63];
  out[2] = rest == 2 ? kStd[(v >> 6) & 63] : '=';
  out[3] = '=';
}

bool base64_decode(const char* in, size_t n, uint8_t* out, size_t* out_len) noexcept {
  const auto* s = reinterpret_cast<const unsigned char*>(in);
  bool url = std::memchr(in, '-', n) || std::memchr(in, '_', n);
  const uint8_t* t = url ? kDecodeUrl.value.data() : kDecodeStd.value.data();
  size_t len = n;
  if (len > 0 && s[len - 1] == '=') {
    --len;
    if (len > 0 && s[len - 1] == '=') --len;
    if (n % 4 != 0) return false;  // padding, when present, completes the last block
  }
  if (len % 4 == 1) return false;  // one character cannot hold a whole byte
  uint8_t* o = out;
  size_t i = 0;
  for (; i + 4 <= len; i += 4) {
    uint32_t a = t[s[i]], b = t[s[i + 1]], c = t[s[i + 2]], d = t[s[i + 3]];
    if ((a | b | c | d) & 0x80) return false;
    uint32_t v = (a << 18) | (b << 12) | (c << 6) | d;
    o[0] = static_cast<uint8_t>(v >> 16);
    o[1] = static_cast<uint8_t>(v >> 8);
    o[2] = static_cast<uint8_t>(v);
    o += 3;
  }
  size_t rest = len - i;
  if (rest >= 2) {
    uint32_t a = t[s[i]], b = t[s[i + 1]], c = rest == 3 ? t[s[i + 2]] : 0;
    if ((a | b | c) & 0x80) return false;
    uint32_t v = (a << 18) | (b << 12) | (c << 6);
    *o++ = static_cast<uint8_t>(v >> 16);
    if (rest == 3) *o++ = static_cast<uint8_t>(v >> 8);
  }
  *out_len = static_cast<size_t>(o - out);
  return true;
}

}  // namespace torvex
