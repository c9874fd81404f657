#include "core/json_quote.h"

#include <bit>
#include <cstdint>
#include <cstring>

#include "core/portable.h"

#if defined(TORVEX_SSE2)
#include <emmintrin.h>
#endif

namespace torvex {

#if defined(TORVEX_SSE2)

namespace {

// Bit i set when byte i of x must be escaped.
inline unsigned escape_mask(__m128i x) noexcept {
  const __m128i control = _mm_set1_epi8(0x1F);
  // max(x, 0x1F) == 0x1F exactly for the unsigned bytes up to 0x1F.
  const __m128i hit = _mm_or_si128(
      _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('"')), _mm_cmpeq_epi8(x, _mm_set1_epi8('\\'))),
      _mm_cmpeq_epi8(_mm_max_epu8(x, control), control));
  return static_cast<unsigned>(_mm_movemask_epi8(hit));
}

inline size_t first(unsigned mask) noexcept { return static_cast<size_t>(std::countr_zero(mask)); }

}  // namespace

// Blocks of 16, then the tail without a byte loop: a last block that overlaps bytes already
// found clean, or for short texts two overlapping halves of 8 or 4 bytes in one register.
size_t json_escape_scan(const char* s, size_t n) noexcept {
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const unsigned m = escape_mask(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i)));
    if (m) return i + first(m);
  }
  if (i == n) return n;
  if (n >= 16) {
    const unsigned m = escape_mask(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + n - 16)));
    return m ? n - 16 + first(m) : n;
  }
  if (n >= 8) {
    const unsigned m = escape_mask(
        _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(s)),
                           _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s + n - 8))));
    if (m & 0xFF) return first(m);
    return m ? n - 8 + (first(m) - 8) : n;  // bit 8 + j is byte n - 8 + j
  }
  if (n >= 4) {
    uint32_t a, b;
    std::memcpy(&a, s, 4);
    std::memcpy(&b, s + n - 4, 4);
    const unsigned m = escape_mask(_mm_unpacklo_epi32(_mm_cvtsi32_si128(static_cast<int>(a)),
                                                      _mm_cvtsi32_si128(static_cast<int>(b)))) &
                       0xFF;
    if (m & 0xF) return first(m);
    return m ? n - 4 + (first(m) - 4) : n;  // bit 4 + j is byte n - 4 + j
  }
  for (; i < n; ++i) {
    if (kJsonEscape.c[static_cast<unsigned char>(s[i])]) return i;
  }
  return n;
}

#else

size_t json_escape_scan(const char* s, size_t n) noexcept {
  size_t i = 0;
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  constexpr uint64_t kHigh = 0x8080808080808080ull;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, s + i, 8);
    // Per byte: below 0x20, equal to '"' or '\\' (zero after the XOR). Borrows can flag extra
    // bytes, never miss one, so a hit is confirmed by the byte loop below.
    uint64_t q = w ^ (kOnes * '"');
    uint64_t b = w ^ (kOnes * '\\');
    uint64_t hit = ((w - kOnes * 0x20) | (q - kOnes) | (b - kOnes)) & ~w & kHigh;
    if (hit) break;
  }
  for (; i < n; ++i) {
    if (kJsonEscape.c[static_cast<unsigned char>(s[i])]) return i;
  }
  return n;
}

#endif

void json_quote(const char* s, size_t n, RString* out) noexcept {
  static constexpr char kHex[] = "0123456789abcdef";
  out->push_back('"');
  size_t i = 0;
  for (;;) {
    size_t j = i + json_escape_scan(s + i, n - i);
    out->append(s + i, j - i);
    if (j == n) break;
    unsigned char c = static_cast<unsigned char>(s[j]);
    char e = kJsonEscape.c[c];
    if (e != 'u') {
      out->push_back('\\');
      out->push_back(e);
    } else {
      const char seq[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
      out->append(seq, 6);
    }
    i = j + 1;
  }
  out->push_back('"');
}

bool json_member_prefix(PyObject* name, RString* out, bool* ascii) noexcept {
  Py_ssize_t n;
  const char* s = PyUnicode_AsUTF8AndSize(name, &n);
  if (!s) return false;
  out->assign(1, ',');
  json_quote(s, static_cast<size_t>(n), out);
  out->push_back(':');
  out->append(kMemberPrefixPad, '\0');
  if (!PyUnicode_IS_ASCII(name)) *ascii = false;
  return true;
}

}  // namespace torvex
