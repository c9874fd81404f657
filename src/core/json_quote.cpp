#include "core/json_quote.h"

#include <bit>
#include <cstdint>
#include <cstring>

#include "core/portable.h"

#if defined(TORVEX_SSE2)
#include <emmintrin.h>
#endif

namespace torvex {

size_t json_escape_scan(const char* s, size_t n) noexcept {
  size_t i = 0;
#if defined(TORVEX_SSE2)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i control = _mm_set1_epi8(0x1F);
  for (; i + 16 <= n; i += 16) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
    // max(x, 0x1F) == 0x1F exactly for the unsigned bytes up to 0x1F.
    __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, quote), _mm_cmpeq_epi8(x, backslash)),
                               _mm_cmpeq_epi8(_mm_max_epu8(x, control), control));
    int mask = _mm_movemask_epi8(hit);
    if (mask) return i + static_cast<size_t>(std::countr_zero(static_cast<unsigned>(mask)));
  }
#else
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
#endif
  for (; i < n; ++i) {
    if (kJsonEscape.c[static_cast<unsigned char>(s[i])]) return i;
  }
  return n;
}

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
  out->clear();
  json_quote(s, static_cast<size_t>(n), out);
  out->push_back(':');
  if (!PyUnicode_IS_ASCII(name)) *ascii = false;
  return true;
}

}  // namespace torvex
