#include "text/text_escape.h"

#include <array>

namespace torvex {

namespace {

// What each byte becomes inside quotes: 0 plain, 1 octal, or the letter after a backslash.
// Bytes from 0x80 up are plain for strings and octal for bytes, decided by the caller.
constexpr std::array<char, 128> kEscape = [] {
  std::array<char, 128> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = 1;
  t[0x7f] = 1;
  t['\n'] = 'n';
  t['\r'] = 'r';
  t['\t'] = 't';
  t['"'] = '"';
  t['\''] = '\'';
  t['\\'] = '\\';
  return t;
}();

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(uint32_t cp, RString& out) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

void escape_text(const char* s, size_t n, bool bytes, RString& out) {
  size_t run = 0;  // start of the pending run of plain bytes, copied in one go
  for (size_t i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    char e = c < 0x80 ? kEscape[c] : static_cast<char>(bytes);
    if (e == 0) continue;
    out.append(s + run, i - run);
    run = i + 1;
    if (e == 1) {
      const char oct[4] = {'\\', static_cast<char>('0' + (c >> 6)),
                           static_cast<char>('0' + ((c >> 3) & 7)), static_cast<char>('0' + (c & 7))};
      out.append(oct, 4);
    } else {
      out.push_back('\\');
      out.push_back(e);
    }
  }
  out.append(s + run, n - run);
}

UnescapeStatus unescape_text(std::string_view body, RString& out, size_t* where) {
  const size_t n = body.size();
  size_t i = 0;
  while (i < n) {
    size_t start = i;
    while (i < n && body[i] != '\\') ++i;
    out.append(body.data() + start, i - start);
    if (i >= n) break;
    *where = i;
    if (++i >= n) {  // a lone trailing backslash (the lexer never produces one)
      out.push_back('\\');
      break;
    }
    const char c = body[i++];
    switch (c) {
      case 'a': out.push_back('\a'); break;
      case 'b': out.push_back('\b'); break;
      case 'f': out.push_back('\f'); break;
      case 'n': out.push_back('\n'); break;
      case 'r': out.push_back('\r'); break;
      case 't': out.push_back('\t'); break;
      case 'v': out.push_back('\v'); break;
      case '\\': case '\'': case '"': out.push_back(c); break;
      case 'x': case 'X': {
        int v = 0, d, k = 0;
        while (k < 2 && i < n && (d = hex_digit(body[i])) >= 0) v = v * 16 + d, ++i, ++k;
        if (k == 0) return UnescapeStatus::BadHex;
        out.push_back(static_cast<char>(v));
        break;
      }
      case 'u': case 'U': {
        const int want = c == 'u' ? 4 : 8;
        uint32_t cp = 0;
        for (int k = 0; k < want; ++k, ++i) {
          int d = i < n ? hex_digit(body[i]) : -1;
          if (d < 0) return UnescapeStatus::BadCodePoint;
          cp = cp * 16 + static_cast<uint32_t>(d);
        }
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return UnescapeStatus::BadCodePoint;
        append_utf8(cp, out);
        break;
      }
      default:
        if (c >= '0' && c <= '7') {
          int v = c - '0', k = 1;
          while (k < 3 && i < n && body[i] >= '0' && body[i] <= '7') v = v * 8 + (body[i++] - '0'), ++k;
          out.push_back(static_cast<char>(v & 0xFF));
        } else {
          out.push_back('\\');
          out.push_back(c);
        }
        break;
    }
  }
  return UnescapeStatus::Ok;
}

}  // namespace torvex
