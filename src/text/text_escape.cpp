#include "text/text_escape.h"

#include <array>
#include <cstring>

namespace torvex {

namespace {

// What each byte becomes inside quotes, padded to four bytes so that the writing loop copies
// a fixed size and advances by the length, without a branch per byte. kString keeps the bytes
// from 0x80 up (a string's UTF-8) as they are, kBytes writes them in octal.
struct Escaped {
  char text[4];
  uint8_t len;
};

constexpr std::array<Escaped, 256> escape_table(bool bytes) {
  std::array<Escaped, 256> t{};
  for (int c = 0; c < 256; ++c) {
    Escaped& e = t[c];
    if (c < 0x20 || c == 0x7f || (bytes && c >= 0x80)) {
      e = {{'\\', static_cast<char>('0' + (c >> 6)), static_cast<char>('0' + ((c >> 3) & 7)),
            static_cast<char>('0' + (c & 7))},
           4};
    } else {
      e = {{static_cast<char>(c), 0, 0, 0}, 1};
    }
  }
  const char named[][2] = {{'\n', 'n'}, {'\r', 'r'},  {'\t', 't'},
                           {'"', '"'},  {'\'', '\''}, {'\\', '\\'}};
  for (const auto& [c, letter] : named) {
    t[static_cast<unsigned char>(c)] = {{'\\', letter, 0, 0}, 2};
  }
  return t;
}

constexpr std::array<Escaped, 256> kString = escape_table(false);
constexpr std::array<Escaped, 256> kBytes = escape_table(true);

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Writes the UTF-8 form of `cp` at `w`; returns the end.
char* append_utf8(uint32_t cp, char* w) {
  if (cp < 0x80) {
    *w++ = static_cast<char>(cp);
  } else if (cp < 0x800) {
    *w++ = static_cast<char>(0xC0 | (cp >> 6));
    *w++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *w++ = static_cast<char>(0xE0 | (cp >> 12));
    *w++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *w++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *w++ = static_cast<char>(0xF0 | (cp >> 18));
    *w++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *w++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *w++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
  return w;
}

}  // namespace

void escape_text(const char* s, size_t n, bool bytes, RString& out) {
  // Room for the worst case (every byte as four, plus the padding of the last copy), trimmed
  // at the end: the loop writes through a pointer with no capacity checks.
  const Escaped* table = bytes ? kBytes.data() : kString.data();
  const size_t start = out.size();
  out.resize(start + 4 * n + 3);
  char* w = out.data() + start;
  for (size_t i = 0; i < n; ++i) {
    const Escaped& e = table[static_cast<unsigned char>(s[i])];
    std::memcpy(w, e.text, 4);
    w += e.len;
  }
  out.resize(static_cast<size_t>(w - out.data()));
}

UnescapeStatus unescape_text(std::string_view body, RString& out, size_t* where) {
  // No escape is shorter than what it stands for, so the body's size is room enough and the
  // loop writes through a pointer; the string is trimmed to what was written on every return.
  const size_t n = body.size();
  const size_t base = out.size();
  out.resize(base + n);
  char* w = out.data() + base;
  struct Trim {
    RString& out;
    char*& w;
    ~Trim() { out.resize(static_cast<size_t>(w - out.data())); }
  } trim{out, w};
  size_t i = 0;
  while (i < n) {
    // Runs between escapes are short in escaped binary data: a plain loop beats memchr there.
    while (i < n && body[i] != '\\') *w++ = body[i++];
    if (i >= n) break;
    *where = i;
    if (++i >= n) {  // a lone trailing backslash (the lexer never produces one)
      *w++ = '\\';
      break;
    }
    const char c = body[i++];
    switch (c) {
      case 'a':
        *w++ = '\a';
        break;
      case 'b':
        *w++ = '\b';
        break;
      case 'f':
        *w++ = '\f';
        break;
      case 'n':
        *w++ = '\n';
        break;
      case 'r':
        *w++ = '\r';
        break;
      case 't':
        *w++ = '\t';
        break;
      case 'v':
        *w++ = '\v';
        break;
      case '\\':
      case '\'':
      case '"':
        *w++ = c;
        break;
      case 'x':
      case 'X': {
        int v = 0, d, k = 0;
        while (k < 2 && i < n && (d = hex_digit(body[i])) >= 0) v = v * 16 + d, ++i, ++k;
        if (k == 0) return UnescapeStatus::BadHex;
        *w++ = static_cast<char>(v);
        break;
      }
      case 'u':
      case 'U': {
        const int want = c == 'u' ? 4 : 8;
        uint32_t cp = 0;
        for (int k = 0; k < want; ++k, ++i) {
          int d = i < n ? hex_digit(body[i]) : -1;
          if (d < 0) return UnescapeStatus::BadCodePoint;
          cp = cp * 16 + static_cast<uint32_t>(d);
        }
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return UnescapeStatus::BadCodePoint;
        w = append_utf8(cp, w);
        break;
      }
      default:
        if (c >= '0' && c <= '7') {
          int v = c - '0', k = 1;
          while (k < 3 && i < n && body[i] >= '0' && body[i] <= '7')
            v = v * 8 + (body[i++] - '0'), ++k;
          *w++ = static_cast<char>(v & 0xFF);
        } else {
          *w++ = '\\';
          *w++ = c;
        }
        break;
    }
  }
  return UnescapeStatus::Ok;
}

}  // namespace torvex
