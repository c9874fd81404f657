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

// Decoding reads both alphabets in one pass: "+" and "-" both stand for 62, "/" and "_" for 63.
// Which alphabet's own characters were met is gathered on the way; a text holding both kinds is
// refused at the end, as mixing the alphabets is.
constexpr unsigned kSawStd = 1, kSawUrl = 2, kSawBad = 4;

constexpr int value_of(unsigned c) {  // -1 outside both alphabets
  if (c >= 'A' && c <= 'Z') return static_cast<int>(c - 'A');
  if (c >= 'a' && c <= 'z') return static_cast<int>(c - 'a' + 26);
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0' + 52);
  if (c == '+' || c == '-') return 62;
  if (c == '/' || c == '_') return 63;
  return -1;
}

constexpr unsigned alphabet_of(unsigned c) {
  if (value_of(c) < 0) return kSawBad;
  return c == '+' || c == '/' ? kSawStd : c == '-' || c == '_' ? kSawUrl : 0;
}

// Whether gathered alphabet bits still describe a valid text.
constexpr bool alphabet_ok(unsigned seen) {
  return !(seen & kSawBad) && (seen & (kSawStd | kSawUrl)) != (kSawStd | kSawUrl);
}

// Scalar: each character's value already shifted to its place among a block's 24 bits, so a
// block is four loads and three ORs; the alphabet bits ride above them, from bit 24.
struct ScalarTable {
  std::array<std::array<uint32_t, 256>, 4> at{};
  constexpr ScalarTable() {
    for (unsigned c = 0; c < 256; ++c) {
      const int v = value_of(c);
      for (int k = 0; k < 4; ++k)
        at[k][c] = (alphabet_of(c) << 24) | (v < 0 ? 0 : static_cast<uint32_t>(v) << (18 - 6 * k));
    }
  }
};
constexpr ScalarTable kDecode;

#ifdef TORVEX_X86_DISPATCH
// Vector validity by nibbles: a byte is in an alphabet exactly when
// kNibbles.lo[c & 15] & kNibbles.hi[c >> 4] is 0. Each bit stands for one rectangle of invalid
// bytes (some high nibbles times some low nibbles); together they cover every invalid byte.
struct NibbleClasses {
  alignas(16) std::array<uint8_t, 16> lo{};
  alignas(16) std::array<uint8_t, 16> hi{};
  constexpr NibbleClasses() {
    struct Rect {
      unsigned hi, lo;  // bitsets of nibbles
    };
    constexpr Rect rects[] = {
        {0xFF03, 0xFFFF},             // controls and bytes from 0x80
        {1u << 2, 0x57FF},            // space to '*', ',' and '.'
        {1u << 3, 0xFC00},            // ':' to '?'
        {1u << 4 | 1u << 6, 0x0001},  // '@' and '`'
        {1u << 5 | 1u << 7, 0x7800},  // '[' to '^' and '{' to '~'
        {1u << 7, 0x8000},            // DEL
    };
    for (unsigned bit = 0; bit < std::size(rects); ++bit) {
      for (unsigned n = 0; n < 16; ++n) {
        if (rects[bit].hi >> n & 1) hi[n] |= static_cast<uint8_t>(1u << bit);
        if (rects[bit].lo >> n & 1) lo[n] |= static_cast<uint8_t>(1u << bit);
      }
    }
  }
};
constexpr NibbleClasses kNibbles;

// Vector translation: an index per byte, its high nibble except for "-" and "_" (flipped to
// 0xD and 0xA by an XOR with 0xF) and "/" (moved to 1), picks the amount to add and the
// alphabet bit. "-" and "_" are found by comparing each byte with the one of them that shares
// its high nibble (kUrlByHigh).
constexpr unsigned vector_index(unsigned c) {
  return ((c >> 4) ^ (c == '-' || c == '_' ? 15 : 0)) - (c == '/' ? 1 : 0);
}
// The alphabet bits sit above the nibble classes' six, so one accumulator gathers both.
constexpr uint8_t kVecStd = kSawStd << 6, kVecUrl = kSawUrl << 6;
alignas(16) constexpr uint8_t kUrlByHigh[16] = {0, 0, '-', 0, 0, '_', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
alignas(16) constexpr int8_t kShift[16] = {0, 16, 19,  4, -65, -65, -71, -71,
                                           0, 0,  -32, 0, 0,   17,  0,   0};
alignas(16) constexpr uint8_t kAlphabet[16] = {0, kVecStd, kVecStd, 0, 0, 0,       0, 0,
                                               0, 0,       kVecUrl, 0, 0, kVecUrl, 0, 0};

constexpr bool vector_tables_agree() {
  for (unsigned c = 0; c < 256; ++c) {
    const bool valid = (kNibbles.lo[c & 15] & kNibbles.hi[c >> 4]) == 0;
    if (valid != (value_of(c) >= 0)) return false;
    if (!valid) continue;
    const unsigned i = vector_index(c);
    if (static_cast<int>(c) + kShift[i] != value_of(c) || kAlphabet[i] >> 6 != alphabet_of(c))
      return false;
    if ((kUrlByHigh[c >> 4] == c) != (c == '-' || c == '_')) return false;
  }
  return true;
}
static_assert(vector_tables_agree());
#endif

// The vector kernels handle a prefix of whole blocks and report how much they took; the
// scalar loops finish the rest.
struct Kernels {
  // Input bytes encoded (a multiple of 3), with their characters written to `out`.
  size_t (*encode)(const uint8_t* in, size_t n, char* out) noexcept;
  // Characters decoded (a multiple of 4, no padding among them), their bytes written to `out`;
  // the alphabet bits of what was read (kSawBad for a character in neither) are ORed into
  // `*seen`.
  size_t (*decode)(const unsigned char* in, size_t n, uint8_t* out, unsigned* seen) noexcept;
};

size_t encode_none(const uint8_t*, size_t, char*) noexcept { return 0; }
size_t decode_none(const unsigned char*, size_t, uint8_t*, unsigned*) noexcept { return 0; }

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

// The vector decoders run through every whole block, invalid or not (the output is sized for
// all of it), and report what they met only at the end: no test and branch per block.
TORVEX_TARGET("sse4.1") inline unsigned seen_in_sse(__m128i acc) noexcept {
  return (_mm_testz_si128(acc, _mm_set1_epi8(0x3F)) ? 0 : kSawBad) |
         (_mm_testz_si128(acc, _mm_set1_epi8(kVecStd)) ? 0 : kSawStd) |
         (_mm_testz_si128(acc, _mm_set1_epi8(static_cast<char>(kVecUrl))) ? 0 : kSawUrl);
}

TORVEX_TARGET("sse4.1")
size_t decode_sse(const unsigned char* in, size_t n, uint8_t* out, unsigned* seen) noexcept {
  const __m128i lo_cls = _mm_load_si128(reinterpret_cast<const __m128i*>(kNibbles.lo.data()));
  const __m128i hi_cls = _mm_load_si128(reinterpret_cast<const __m128i*>(kNibbles.hi.data()));
  const __m128i url_by_high = _mm_load_si128(reinterpret_cast<const __m128i*>(kUrlByHigh));
  const __m128i shift = _mm_load_si128(reinterpret_cast<const __m128i*>(kShift));
  const __m128i alphabet = _mm_load_si128(reinterpret_cast<const __m128i*>(kAlphabet));
  const __m128i nibble = _mm_set1_epi8(0x0F);
  __m128i acc = _mm_setzero_si128();
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    const __m128i hi = _mm_and_si128(_mm_srli_epi32(c, 4), nibble);
    const __m128i cls = _mm_and_si128(_mm_shuffle_epi8(lo_cls, _mm_and_si128(c, nibble)),
                                      _mm_shuffle_epi8(hi_cls, hi));
    const __m128i url = _mm_cmpeq_epi8(c, _mm_shuffle_epi8(url_by_high, hi));
    const __m128i idx = _mm_add_epi8(_mm_xor_si128(hi, _mm_and_si128(url, nibble)),
                                     _mm_cmpeq_epi8(c, _mm_set1_epi8('/')));
    acc = _mm_or_si128(acc, _mm_or_si128(cls, _mm_shuffle_epi8(alphabet, idx)));
    store12(out, pack_sse(_mm_add_epi8(c, _mm_shuffle_epi8(shift, idx))));
    out += 12;
  }
  *seen |= seen_in_sse(acc);
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

TORVEX_TARGET("avx2") inline __m256i broadcast16(const void* p) noexcept {
  return _mm256_broadcastsi128_si256(_mm_load_si128(static_cast<const __m128i*>(p)));
}

// The SSE kernel's steps on 32 characters at a time.
TORVEX_TARGET("avx2")
size_t decode_avx2(const unsigned char* in, size_t n, uint8_t* out, unsigned* seen) noexcept {
  const __m256i lo_cls = broadcast16(kNibbles.lo.data()), hi_cls = broadcast16(kNibbles.hi.data());
  const __m256i url_by_high = broadcast16(kUrlByHigh), shift = broadcast16(kShift);
  const __m256i alphabet = broadcast16(kAlphabet);
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  __m256i acc = _mm256_setzero_si256();
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
    const __m256i hi = _mm256_and_si256(_mm256_srli_epi32(c, 4), nibble);
    const __m256i cls = _mm256_and_si256(_mm256_shuffle_epi8(lo_cls, _mm256_and_si256(c, nibble)),
                                         _mm256_shuffle_epi8(hi_cls, hi));
    const __m256i url = _mm256_cmpeq_epi8(c, _mm256_shuffle_epi8(url_by_high, hi));
    const __m256i idx = _mm256_add_epi8(_mm256_xor_si256(hi, _mm256_and_si256(url, nibble)),
                                        _mm256_cmpeq_epi8(c, _mm256_set1_epi8('/')));
    acc = _mm256_or_si256(acc, _mm256_or_si256(cls, _mm256_shuffle_epi8(alphabet, idx)));
    const __m256i v = _mm256_add_epi8(c, _mm256_shuffle_epi8(shift, idx));
    const __m256i pairs = _mm256_maddubs_epi16(v, _mm256_set1_epi32(0x01400140));
    const __m256i words = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
    __m256i bytes = _mm256_shuffle_epi8(
        words, _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2, 1, 0, 6,
                                5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1));
    // The two lanes' 12 bytes side by side.
    bytes = _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(bytes));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16), _mm256_extracti128_si256(bytes, 1));
    out += 24;
  }
  *seen |= seen_in_sse(_mm_or_si128(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1)));
  return i + decode_sse(in + i, n - i, out, seen);
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
  size_t len = n;
  if (len > 0 && s[len - 1] == '=') {
    --len;
    if (len > 0 && s[len - 1] == '=') --len;
    if (n % 4 != 0) return false;  // padding, when present, completes the last block
  }
  if (len % 4 == 1) return false;  // one character cannot hold a whole byte
  unsigned seen = 0;
  size_t i = kKernels[static_cast<int>(k)].decode(s, len, out, &seen);
  uint8_t* o = out + i / 4 * 3;
  const auto& t = kDecode.at;
  uint32_t bits = 0;  // the alphabet bits of the scalar part, from bit 24
  for (; i + 4 <= len; i += 4) {
    const uint32_t v = t[0][s[i]] | t[1][s[i + 1]] | t[2][s[i + 2]] | t[3][s[i + 3]];
    bits |= v;
    o[0] = static_cast<uint8_t>(v >> 16);
    o[1] = static_cast<uint8_t>(v >> 8);
    o[2] = static_cast<uint8_t>(v);
    o += 3;
  }
  const size_t rest = len - i;
  if (rest >= 2) {  // leftover bits of the last character are dropped with the low bytes
    const uint32_t v = t[0][s[i]] | t[1][s[i + 1]] | (rest == 3 ? t[2][s[i + 2]] : 0);
    bits |= v;
    *o++ = static_cast<uint8_t>(v >> 16);
    if (rest == 3) *o++ = static_cast<uint8_t>(v >> 8);
  }
  if (!alphabet_ok(seen | bits >> 24)) return false;
  *out_len = static_cast<size_t>(o - out);
  return true;
}

bool base64_decode(const char* in, size_t n, uint8_t* out, size_t* out_len) noexcept {
  return base64_decode_with(g_kernel, in, n, out, out_len);
}

}  // namespace torvex
