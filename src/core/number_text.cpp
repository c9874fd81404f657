#include "core/number_text.h"

#include <bit>
#include <cmath>
#include <cstring>

#include "core/float_format.h"
#include "core/portable.h"

#if defined(TORVEX_SSE2)
#include <emmintrin.h>
#endif

namespace torvex {

namespace {

constexpr auto kDigitPairs = [] {
  struct Table {
    char c[200];
  } t{};
  for (int i = 0; i < 100; ++i) {
    t.c[2 * i] = static_cast<char>('0' + i / 10);
    t.c[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return t;
}();

}  // namespace

// Two digits per division, written from the end once the length is known.
size_t format_uint64(uint64_t v, char* out) noexcept {
  const auto n = static_cast<size_t>(decimal_length(v));
  char* p = out + n;
  while (v >= 100) {
    uint64_t q = v / 100;
    p -= 2;
    std::memcpy(p, kDigitPairs.c + 2 * (v - q * 100), 2);
    v = q;
  }
  if (v >= 10) {
    std::memcpy(p - 2, kDigitPairs.c + 2 * v, 2);
  } else {
    p[-1] = static_cast<char>('0' + v);
  }
  return n;
}

size_t format_int64(int64_t v, char* out) noexcept {
  if (v >= 0) return format_uint64(static_cast<uint64_t>(v), out);
  *out = '-';
  return 1 + format_uint64(0 - static_cast<uint64_t>(v), out + 1);
}

namespace {

// The eight decimal digits of v < 10^8, zero-padded: split into 32-bit halves of four digits,
// 16-bit quarters of two, then bytes of one, every lane at once in one 64-bit word. Unused where
// the SSE2 form below is built.
[[maybe_unused]] inline void write_8_digits(uint32_t v, char* out) noexcept {
  const uint32_t hi4 = v / 10000;
  uint64_t x = hi4 | uint64_t{v - hi4 * 10000} << 32;
  const uint64_t hundreds = ((x * 10486) >> 20) & 0x0000007F0000007Fu;  // lane / 100
  x = hundreds | (x - hundreds * 100) << 16;
  const uint64_t tens = ((x * 103) >> 10) & 0x000F000F000F000Fu;  // lane / 10
  x = tens | (x - tens * 10) << 8;
  x |= 0x3030303030303030u;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(out, &x, 8);
  } else {
    for (int i = 0; i < 8; ++i) out[i] = static_cast<char>(x >> (8 * i));
  }
}

// Sixteen digit characters, the first in byte 0, kept in a register where the machine has one
// that wide: the text is laid out there and stored, never read back from memory (a load that
// straddles the digits' stores cannot be forwarded and waits for them to retire).
#if defined(TORVEX_SSE2)
using Digits16 = __m128i;

// The 16 decimal digits of hi8 * 10^8 + lo8 (both below 10^8), zero-padded.
inline Digits16 digits_16(uint64_t hi8, uint64_t lo8) noexcept {
  // Two halves of eight digits in 64-bit lanes, split by 10^4 into four numbers below 10^4
  // (x * 3518437209 >> 45 is x / 10^4 for every x < 10^8), packed as 16-bit lanes in order.
  // Each of those, in four 16-bit lanes, divides by 1000, 100, 10 and 1: a multiply-high by m
  // (the lanes hold 4x, for precision) and a right shift by s, done as a second multiply-high by
  // 2^(16 - s). The (m, s) pairs are exact for every value below 10^4. Then digit
  // i = q_i - 10 * q_(i-1), q_(i-1) reached by shifting one lane up.
#if defined(__x86_64__) || defined(_M_X64)
  // Straight from the registers; the generic form may go through memory.
  const __m128i halves = _mm_unpacklo_epi64(_mm_cvtsi64_si128(static_cast<int64_t>(hi8)),
                                            _mm_cvtsi64_si128(static_cast<int64_t>(lo8)));
#else
  const __m128i halves = _mm_set_epi64x(static_cast<int64_t>(lo8), static_cast<int64_t>(hi8));
#endif
  const __m128i high = _mm_srli_epi64(_mm_mul_epu32(halves, _mm_set1_epi64x(3518437209)), 45);
  const __m128i low = _mm_sub_epi32(halves, _mm_mul_epu32(high, _mm_set1_epi64x(10000)));
  const __m128i quads = _mm_shuffle_epi32(_mm_or_si128(high, _mm_slli_epi64(low, 16)), 0x08);
  const __m128i x = _mm_slli_epi16(quads, 2);
  const __m128i pairs = _mm_unpacklo_epi16(x, x);
  const __m128i mul = _mm_setr_epi16(8389, 5243, 3277, -32768, 8389, 5243, 3277, -32768);
  const __m128i shift =
      _mm_setr_epi16(1 << 7, 1 << 11, -32768, -32768, 1 << 7, 1 << 11, -32768, -32768);
  const __m128i ten = _mm_set1_epi16(10);
  auto digits = [&](__m128i v) {
    const __m128i q = _mm_mulhi_epu16(_mm_mulhi_epu16(v, mul), shift);
    return _mm_sub_epi16(q, _mm_slli_epi64(_mm_mullo_epi16(q, ten), 16));
  };
  const __m128i bytes = _mm_packus_epi16(digits(_mm_unpacklo_epi32(pairs, pairs)),
                                         digits(_mm_unpackhi_epi32(pairs, pairs)));
  return _mm_add_epi8(bytes, _mm_set1_epi8('0'));
}

inline void store_16(char* out, Digits16 v) noexcept {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
}

// Masks for with_point, read 16 bytes at a time from offsets that depend on j: from 15 - j,
// 0xFF up to byte j and 0 above it; from 48 - j, '.' at byte j and 0xFF elsewhere.
alignas(64) constexpr unsigned char kPointMasks[64] = {
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,  //
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,    //
    255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,  //
    '.', 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255};

// v with '.' put in at byte j (0 <= j < 16): the bytes from j on move up one and the last drops.
inline Digits16 with_point(Digits16 v, int64_t j) noexcept {
  const unsigned char* masks = kPointMasks + 16 - j;
  const __m128i keep = _mm_loadu_si128(reinterpret_cast<const __m128i*>(masks - 1));
  const __m128i point = _mm_loadu_si128(reinterpret_cast<const __m128i*>(masks + 32));
  const __m128i moved =
      _mm_or_si128(_mm_and_si128(v, keep), _mm_andnot_si128(keep, _mm_slli_si128(v, 1)));
  // Byte j still holds a digit, and every digit is above '.': the byte minimum puts the point
  // there and keeps the rest.
  return _mm_min_epu8(moved, point);
}

// The number of bytes up to and including the last that is not '0' (0 when all are).
inline int up_to_last_nonzero(Digits16 v) noexcept {
  // '1' to '9' plus 0x4F have the top bit set and '0' plus 0x4F does not.
  const auto nonzero =
      static_cast<unsigned>(_mm_movemask_epi8(_mm_add_epi8(v, _mm_set1_epi8(0x4F))));
  // The index of the highest set bit, with one set below the mask so that there is one.
  return std::countl_zero(nonzero << 1 | 1) ^ 31;
}
#else
struct Digits16 {
  char c[16];
};

inline Digits16 digits_16(uint64_t hi8, uint64_t lo8) noexcept {
  Digits16 d;
  write_8_digits(static_cast<uint32_t>(hi8), d.c);
  write_8_digits(static_cast<uint32_t>(lo8), d.c + 8);
  return d;
}

inline void store_16(char* out, Digits16 v) noexcept { std::memcpy(out, v.c, 16); }

inline Digits16 with_point(Digits16 v, int64_t j) noexcept {
  Digits16 r;
  std::memcpy(r.c, v.c, static_cast<size_t>(j));
  r.c[j] = '.';
  std::memcpy(r.c + j + 1, v.c + j, static_cast<size_t>(15 - j));
  return r;
}

inline int up_to_last_nonzero(Digits16 v) noexcept {
  int n = 16;
  while (n > 0 && v.c[n - 1] == '0') --n;
  return n;
}
#endif

// Writes "e" and the signed exponent, at least two digits, at p; returns the end.
char* put_exponent(char* p, int exp) noexcept {
  *p++ = 'e';
  *p++ = exp < 0 ? '-' : '+';
  if (exp < 0) exp = -exp;
  if (exp >= 100) {
    *p++ = static_cast<char>('0' + exp / 100);
    exp %= 100;
  }
  std::memcpy(p, kDigitPairs.c + 2 * exp, 2);
  return p + 2;
}

// The text of the nonzero finite x from its digits; p is past the sign.
TORVEX_ALWAYS_INLINE inline size_t lay_out(Digits17 d, char* p, char* out) noexcept {
  const int64_t point = d.point;  // position of the decimal point after the first digit
  // The first digit alone, the other 16 in one register, n counting up to the last non-zero.
  // q8 < 2^30, where x * 1441151881 >> 57 is x / 10^8: one multiply by an immediate.
  const uint64_t q8 = d.digits / 100000000;
  const uint64_t top = (q8 * 1441151881) >> 57;
  const char first = static_cast<char>('0' + top);
  const Digits16 rest = digits_16(q8 - top * 100000000, d.digits - q8 * 100000000);
  const int64_t n = 1 + up_to_last_nonzero(rest);
  // The stores below have fixed sizes and may write past the text's end (kNumberScratch leaves
  // room); digits past n are the padding's '0's, which give an integer's ".0" for free.
  if (static_cast<uint64_t>(point - 1) < 16) [[likely]] {
    *p = first;
    store_16(p + 2, rest);  // only its last byte, the 17th digit, outlives the next store
    store_16(p + 1, with_point(rest, point - 1));
    return static_cast<size_t>(p + (point < n ? n + 1 : point + 2) - out);
  }
  if (point > -4 && point <= 0) {
    std::memcpy(p, "0.000000", 8);
    p += 2 - point;
    *p = first;
    store_16(p + 1, rest);
    return static_cast<size_t>(p + n - out);
  }
  p[0] = first;
  p[1] = '.';
  store_16(p + 2, rest);
  p += n > 1 ? n + 1 : 1;
  return static_cast<size_t>(put_exponent(p, static_cast<int>(point - 1)) - out);
}

// format_double for the values whose digits the fast search leaves to the exact one.
TORVEX_NOINLINE size_t format_double_exact(double x, char* out) noexcept {
  char* p = out + std::signbit(x);
  return lay_out(shortest_digits17_exact(std::fabs(x)), p, out);
}

}  // namespace

// repr() switches to exponent notation when the decimal point would sit more than 16 places
// right of the first digit or more than 4 places left of it (|x| >= 1e16 or |x| < 1e-4), and
// writes the exponent with a sign and at least two digits.
size_t format_double(double x, char* out) noexcept {
  // The sign by a store and an add, not a branch: signs of arbitrary data do not predict.
  const uint64_t bits = std::bit_cast<uint64_t>(x);
  *out = '-';
  char* p = out + (bits >> 63);
  if ((bits << 1) == 0) {
    std::memcpy(p, "0.0", 3);
    return static_cast<size_t>(p + 3 - out);
  }
  Digits17 d;
  if (!shortest_digits17(bits & ~(uint64_t{1} << 63), &d)) [[unlikely]] {
    return format_double_exact(x, out);
  }
  return lay_out(d, p, out);
}

}  // namespace torvex
