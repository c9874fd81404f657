#include "core/base64.h"

#include <array>
#include <bit>
#include <cstring>

#include "core/portable.h"

#ifdef TORVEX_X86_DISPATCH
#include <immintrin.h>
#endif

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

// The vector kernels handle a prefix of whole blocks and report how much they took; the
// scalar loops finish the rest (and find the error, when a block was not valid).
struct Kernels {
  // Input bytes encoded (a multiple of 3), with their characters written to `out`.
  size_t (*encode)(const uint8_t* in, size_t n, char* out) noexcept;
  // Characters decoded (a multiple of 4, no padding among them), their bytes written to `out`.
  size_t (*decode)(const unsigned char* in, size_t n, bool url, uint8_t* out) noexcept;
};

size_t encode_none(const uint8_t*, size_t, char*) noexcept { return 0; }
size_t decode_none(const unsigned char*, size_t, bool, uint8_t*) noexcept { return 0; }

#ifdef TORVEX_X86_DISPATCH

// Each 32-bit lane gets one 3-byte group as bytes [b, a, c, b]; two multiplies then move the
// four 6-bit fields into the lane's four bytes, in output order.
TORVEX_TARGET("sse4.1") inline __m128i split_sse(__m128i in) noexcept {
  in = _mm_shuffle_epi8(in, _mm_set_epi8(10, 11, 9, 10, 7, 8, 6, 7, 4, 5, 3, 4, 1, 2, 0, 1));
  __m128i hi =
      _mm_mulhi_epu16(_mm_and_si128(in, _mm_set1_epi32(0x0fc0fc00)), _mm_set1_epi32(0x04000040));
  __m128i lo =
      _mm_mullo_epi16(_mm_and_si128(in, _mm_set1_epi32(0x003f03f0)), _mm_set1_epi32(0x01000010));
  return _mm_or_si128(hi, lo);
}

// 6-bit values to characters: a class number per byte (0: a-z, 1-10: digits, 11: '+',
// 12: '/', 13: A-Z) picks the offset to add.
TORVEX_TARGET("sse4.1") inline __m128i to_chars_sse(__m128i idx) noexcept {
  __m128i cls = _mm_subs_epu8(idx, _mm_set1_epi8(51));
  cls = _mm_or_si128(cls, _mm_and_si128(_mm_cmpgt_epi8(_mm_set1_epi8(26), idx), _mm_set1_epi8(13)));
  const __m128i offsets =
      _mm_setr_epi8(71, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -19, -16, 65, 0, 0);
  return _mm_add_epi8(_mm_shuffle_epi8(offsets, cls), idx);
}

// 0xFF in the bytes of `c` within [lo, hi] (signed compares: bytes from 0x80 on are outside).
TORVEX_TARGET("sse4.1") inline __m128i in_range_sse(__m128i c, char lo, char hi) noexcept {
  return _mm_and_si128(_mm_cmpgt_epi8(c, _mm_set1_epi8(static_cast<char>(lo - 1))),
                       _mm_cmpgt_epi8(_mm_set1_epi8(static_cast<char>(hi + 1)), c));
}

// Characters to 6-bit values; false when one of them is outside the alphabet.
TORVEX_TARGET("sse4.1") inline bool from_chars_sse(__m128i c, bool url, __m128i* out) noexcept {
  const char c62 = url ? '-' : '+', c63 = url ? '_' : '/';
  __m128i upper = in_range_sse(c, 'A', 'Z'), lower = in_range_sse(c, 'a', 'z');
  __m128i digit = in_range_sse(c, '0', '9');
  __m128i m62 = _mm_cmpeq_epi8(c, _mm_set1_epi8(c62));
  __m128i m63 = _mm_cmpeq_epi8(c, _mm_set1_epi8(c63));
  __m128i valid =
      _mm_or_si128(_mm_or_si128(upper, lower), _mm_or_si128(digit, _mm_or_si128(m62, m63)));
  if (_mm_movemask_epi8(valid) != 0xFFFF) return false;
  __m128i off = _mm_or_si128(
      _mm_or_si128(_mm_and_si128(upper, _mm_set1_epi8(-'A')),
                   _mm_and_si128(lower, _mm_set1_epi8(static_cast<char>(26 - 'a')))),
      _mm_or_si128(_mm_and_si128(digit, _mm_set1_epi8(52 - '0')),
                   _mm_or_si128(_mm_and_si128(m62, _mm_set1_epi8(static_cast<char>(62 - c62))),
                                _mm_and_si128(m63, _mm_set1_epi8(static_cast<char>(63 - c63))))));
  *out = _mm_add_epi8(c, off);
  return true;
}

// Four 6-bit values per lane into three bytes, at the lane's bytes 0-2, 4-6, ...: then packed
// to the 12 bytes the 16 characters stand for.
TORVEX_TARGET("sse4.1") inline __m128i pack_sse(__m128i v) noexcept {
  __m128i pairs = _mm_maddubs_epi16(v, _mm_set1_epi32(0x01400140));
  __m128i words = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00011000));
  return _mm_shuffle_epi8(words,
                          _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1));
}

TORVEX_TARGET("sse4.1") inline void store12(uint8_t* o, __m128i bytes) noexcept {
  _mm_storel_epi64(reinterpret_cast<__m128i*>(o), bytes);
  uint32_t tail = static_cast<uint32_t>(_mm_extract_epi32(bytes, 2));
  std::memcpy(o + 8, &tail, 4);
}

TORVEX_TARGET("sse4.1") size_t encode_sse(const uint8_t* in, size_t n, char* out) noexcept {
  size_t i = 0;
  for (; i + 16 <= n; i += 12) {  // 16 bytes read, 12 used
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), to_chars_sse(split_sse(v)));
    out += 16;
  }
  return i;
}

TORVEX_TARGET("sse4.1")
size_t decode_sse(const unsigned char* in, size_t n, bool url, uint8_t* out) noexcept {
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    __m128i v;
    if (!from_chars_sse(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i)), url, &v)) break;
    store12(out, pack_sse(v));
    out += 12;
  }
  return i;
}

TORVEX_TARGET("avx2") size_t encode_avx2(const uint8_t* in, size_t n, char* out) noexcept {
  const __m256i shuffle = _mm256_set_epi8(10, 11, 9, 10, 7, 8, 6, 7, 4, 5, 3, 4, 1, 2, 0, 1, 10, 11,
                                          9, 10, 7, 8, 6, 7, 4, 5, 3, 4, 1, 2, 0, 1);
  const __m256i offsets =
      _mm256_setr_epi8(71, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -19, -16, 65, 0, 0, 71, -4, -4,
                       -4, -4, -4, -4, -4, -4, -4, -4, -19, -16, 65, 0, 0);
  size_t i = 0;
  for (; i + 28 <= n; i += 24) {  // two 12-byte groups, one per lane
    __m256i v = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i + 12)), 1);
    v = _mm256_shuffle_epi8(v, shuffle);
    __m256i hi = _mm256_mulhi_epu16(_mm256_and_si256(v, _mm256_set1_epi32(0x0fc0fc00)),
                                    _mm256_set1_epi32(0x04000040));
    __m256i lo = _mm256_mullo_epi16(_mm256_and_si256(v, _mm256_set1_epi32(0x003f03f0)),
                                    _mm256_set1_epi32(0x01000010));
    __m256i idx = _mm256_or_si256(hi, lo);
    __m256i cls = _mm256_subs_epu8(idx, _mm256_set1_epi8(51));
    cls = _mm256_or_si256(
        cls, _mm256_and_si256(_mm256_cmpgt_epi8(_mm256_set1_epi8(26), idx), _mm256_set1_epi8(13)));
    __m256i chars = _mm256_add_epi8(_mm256_shuffle_epi8(offsets, cls), idx);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), chars);
    out += 32;
  }
  return i + encode_sse(in + i, n - i, out);
}

TORVEX_TARGET("avx2") inline __m256i in_range_avx2(__m256i c, char lo, char hi) noexcept {
  return _mm256_and_si256(_mm256_cmpgt_epi8(c, _mm256_set1_epi8(static_cast<char>(lo - 1))),
                          _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(hi + 1)), c));
}

TORVEX_TARGET("avx2")
size_t decode_avx2(const unsigned char* in, size_t n, bool url, uint8_t* out) noexcept {
  const char c62 = url ? '-' : '+', c63 = url ? '_' : '/';
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
    __m256i upper = in_range_avx2(c, 'A', 'Z'), lower = in_range_avx2(c, 'a', 'z');
    __m256i digit = in_range_avx2(c, '0', '9');
    __m256i m62 = _mm256_cmpeq_epi8(c, _mm256_set1_epi8(c62));
    __m256i m63 = _mm256_cmpeq_epi8(c, _mm256_set1_epi8(c63));
    __m256i valid = _mm256_or_si256(_mm256_or_si256(upper, lower),
                                    _mm256_or_si256(digit, _mm256_or_si256(m62, m63)));
    if (_mm256_movemask_epi8(valid) != -1) break;
    __m256i off = _mm256_or_si256(
        _mm256_or_si256(_mm256_and_si256(upper, _mm256_set1_epi8(-'A')),
                        _mm256_and_si256(lower, _mm256_set1_epi8(static_cast<char>(26 - 'a')))),
        _mm256_or_si256(
            _mm256_and_si256(digit, _mm256_set1_epi8(52 - '0')),
            _mm256_or_si256(_mm256_and_si256(m62, _mm256_set1_epi8(static_cast<char>(62 - c62))),
                            _mm256_and_si256(m63, _mm256_set1_epi8(static_cast<char>(63 - c63))))));
    __m256i v = _mm256_add_epi8(c, off);
    __m256i pairs = _mm256_maddubs_epi16(v, _mm256_set1_epi32(0x01400140));
    __m256i words = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
    __m256i bytes = _mm256_shuffle_epi8(
        words, _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2, 1, 0, 6,
                                5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1));
    // The two lanes' 12 bytes side by side.
    bytes = _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(bytes));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16), _mm256_extracti128_si256(bytes, 1));
    out += 24;
  }
  return i + decode_sse(in + i, n - i, url, out);
}

#endif

constexpr Kernels kKernels[] = {
    {encode_none, decode_none},
#ifdef TORVEX_X86_DISPATCH
    {encode_sse, decode_sse},
    {encode_avx2, decode_avx2},
#endif
};

bool cpu_has(Base64Kernel k) noexcept {
#ifdef TORVEX_X86_DISPATCH
  switch (k) {
    case Base64Kernel::Sse41:
      return cpu_has_sse41();
    case Base64Kernel::Avx2:
      return cpu_has_avx2();
    default:
      return true;
  }
#else
  return k == Base64Kernel::Scalar;
#endif
}

Base64Kernel best_kernel() noexcept {
  if (cpu_has(Base64Kernel::Avx2)) return Base64Kernel::Avx2;
  if (cpu_has(Base64Kernel::Sse41)) return Base64Kernel::Sse41;
  return Base64Kernel::Scalar;
}

// Chosen once, when the extension is loaded.
const Base64Kernel g_kernel = best_kernel();

}  // namespace

Base64Kernel base64_kernel() noexcept { return g_kernel; }

bool base64_kernel_available(Base64Kernel k) noexcept { return cpu_has(k); }

void base64_encode_with(Base64Kernel k, const uint8_t* in, size_t n, char* out) noexcept {
  size_t i = kKernels[static_cast<int>(k)].encode(in, n, out);
  out += i / 3 * 4;
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

void base64_encode(const uint8_t* in, size_t n, char* out) noexcept {
  base64_encode_with(g_kernel, in, n, out);
}

bool base64_decode_with(Base64Kernel k, const char* in, size_t n, uint8_t* out,
                        size_t* out_len) noexcept {
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
  size_t i = kKernels[static_cast<int>(k)].decode(s, len, url, out);
  uint8_t* o = out + i / 4 * 3;
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

bool base64_decode(const char* in, size_t n, uint8_t* out, size_t* out_len) noexcept {
  return base64_decode_with(g_kernel, in, n, out, out_len);
}

}  // namespace torvex
