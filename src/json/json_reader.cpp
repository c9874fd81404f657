#include "json/json_reader.h"

#include <bit>
#include <charconv>
#include <cmath>

#include "core/digit_word.h"
#include "core/errors.h"
#include "core/float_parse.h"
#include "core/portable.h"

#if defined(TORVEX_SSE2)
#include <emmintrin.h>
#endif

namespace torvex {

namespace {

// json.JSONDecodeError, imported on the first syntax error and kept for the process.
PyObject* g_decode_error = nullptr;

PyObject* decode_error_type() noexcept {
  if (g_decode_error) return g_decode_error;
  Ref mod(PyImport_ImportModule("json"));
  if (!mod) return nullptr;
  PyObject* cls = PyObject_GetAttrString(mod.get(), "JSONDecodeError");
  if (!cls) return nullptr;
  if (g_decode_error) {
    Py_DECREF(cls);
  } else {
    g_decode_error = cls;
  }
  return g_decode_error;
}

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighs = 0x8080808080808080ull;

inline uint64_t has_byte(uint64_t w, uint8_t c) noexcept {
  uint64_t x = w ^ (kOnes * c);
  return (x - kOnes) & ~x & kHighs;
}

// Bytes that end the plain part of a string: quote, backslash, control characters, non-ASCII.
inline bool plain_word(uint64_t w) noexcept {
  uint64_t special = has_byte(w, '"') | has_byte(w, '\\') | ((w - kOnes * 0x20) & ~w & kHighs);
  return ((special | w) & kHighs) == 0;
}

// The first byte at or after `p` that is not plain string content (see plain_word), or a
// position less than 16 (8) bytes before `end` from where the caller goes byte by byte.
inline const char* skip_plain(const char* p, const char* end) noexcept {
#if defined(TORVEX_SSE2)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i space = _mm_set1_epi8(0x20);
  auto special16 = [&](const char* q) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
    // Signed compare: control characters and every byte >= 0x80 are below 0x20.
    return _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                        _mm_cmplt_epi8(v, space));
  };
  while (end - p >= 16) {
    int mask = _mm_movemask_epi8(special16(p));
    if (mask) return p + std::countr_zero(static_cast<unsigned>(mask));
    p += 16;
    // Past the first 16 bytes a string is likely long (the base64 of a bytes field): it is
    // skipped 64 bytes per test, and the 16-byte steps find the exact position.
    while (end - p >= 64) {
      __m128i any = _mm_or_si128(_mm_or_si128(special16(p), special16(p + 16)),
                                 _mm_or_si128(special16(p + 32), special16(p + 48)));
      if (_mm_movemask_epi8(any)) break;
      p += 64;
    }
  }
#endif
  while (end - p >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    if (!plain_word(w)) break;
    p += 8;
  }
  return p;
}

// Length of the valid UTF-8 sequence at `p` (first byte >= 0x80), 0 when invalid. The bytes are
// tested in order, so the terminator stops a sequence cut off at the end.
inline size_t utf8_sequence(const uint8_t* p) noexcept {
  auto cont = [](uint8_t b) { return (b & 0xC0) == 0x80; };
  uint8_t c = p[0];
  if (c < 0xC2) return 0;
  if (c < 0xE0) return cont(p[1]) ? 2 : 0;
  if (c < 0xF0) {
    if (!cont(p[1]) || (c == 0xE0 && p[1] < 0xA0) || (c == 0xED && p[1] > 0x9F)) return 0;
    return cont(p[2]) ? 3 : 0;
  }
  if (c < 0xF5) {
    if (!cont(p[1]) || (c == 0xF0 && p[1] < 0x90) || (c == 0xF4 && p[1] > 0x8F)) return 0;
    return cont(p[2]) && cont(p[3]) ? 4 : 0;
  }
  return 0;
}

inline int hex_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(RVec<char>& out, uint32_t cp) {
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

// Decimal text to double, correctly rounded. Out-of-range values become infinities or zeros
// (the callers decide what a non-finite number means).
double text_to_double(const char* s, size_t n, RVec<char>& scratch) noexcept {
  double d = 0;
  if (fast_decimal_to_double(s, n, &d)) return d;
  auto r = std::from_chars(s, s + n, d);
  if (r.ec == std::errc()) return d;
  scratch.assign(s, s + n);
  scratch.push_back('\0');
  d = PyOS_string_to_double(scratch.data(), nullptr, nullptr);
  if (d == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return std::nan("");
  }
  return d;
}

}  // namespace

const char* json_kind_name(JsonKind k) noexcept {
  switch (k) {
    case JsonKind::Null:
      return "null";
    case JsonKind::Bool:
      return "bool";
    case JsonKind::Number:
      return "number";
    case JsonKind::String:
      return "string";
    case JsonKind::Array:
      return "array";
    case JsonKind::Object:
      return "object";
    case JsonKind::Error:
      break;
  }
  return "error";
}

bool JsonTextSource::fail_at(const char* desc, const char* at) noexcept {
  PyObject* cls = decode_error_type();
  if (!cls) return false;
  Ref doc(PyUnicode_DecodeUTF8(begin_, end_ - begin_, "replace"));
  if (!doc) return false;
  Ref pos(PyLong_FromSsize_t(at - begin_));
  if (!pos) return false;
  Ref msg(PyUnicode_FromString(desc));
  if (!msg) return false;
  Ref exc(PyObject_CallFunctionObjArgs(cls, msg.get(), doc.get(), pos.get(), nullptr));
  if (!exc) return false;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  return false;
}

bool JsonTextSource::expect_fail(JsonKind wanted) noexcept {
  JsonKind found = peek();
  if (found == JsonKind::Error) return false;
  char buf[64];
  PyOS_snprintf(buf, sizeof buf, "expected %s but found %s", json_kind_name(wanted),
                json_kind_name(found));
  return fail(buf);
}

JsonKind JsonTextSource::peek_fail() noexcept {
  fail(at_end() ? "EOF while parsing a value" : "expected value");
  return JsonKind::Error;
}

int JsonTextSource::key_fail(bool after_comma) noexcept {
  if (at_end()) return fail_int("EOF while parsing an object");
  if (after_comma && *p_ == '}') return fail_int("trailing comma");
  return fail_int("key must be a string");
}

int JsonTextSource::sep_fail(char close) noexcept {
  if (at_end())
    return fail_int(close == '}' ? "EOF while parsing an object" : "EOF while parsing a list");
  return fail_int(close == '}' ? "expected `,` or `}`" : "expected `,` or `]`");
}

int JsonTextSource::colon_fail() noexcept {
  return fail_int(at_end() ? "EOF while parsing an object" : "expected `:`");
}

bool JsonTextSource::finish() noexcept {
  skip_ws();
  return at_end() || fail("trailing characters");
}

// ---- literals -------------------------------------------------------------------------------

namespace {

// 1 matched, 0 mismatch at *bad, -1 input ended inside the word.
int match_word(const char* p, const char* end, const char* word, size_t n, const char** bad) {
  for (size_t i = 0; i < n; ++i) {
    if (p + i >= end) {
      *bad = p + i;
      return -1;
    }
    if (p[i] != word[i]) {
      *bad = p + i;
      return 0;
    }
  }
  return 1;
}

}  // namespace

bool JsonTextSource::read_null() noexcept {
  if (peek() != JsonKind::Null) return expect_fail(JsonKind::Null);
  const char* bad;
  int r = match_word(p_, end_, "null", 4, &bad);
  if (r == 1) {
    p_ += 4;
    return true;
  }
  return fail_at(r < 0 ? "EOF while parsing a value" : "expected ident", bad);
}

bool JsonTextSource::read_bool(bool* out) noexcept {
  if (peek() != JsonKind::Bool) return expect_fail(JsonKind::Bool);
  const bool t = *p_ == 't';
  const char* word = t ? "true" : "false";
  size_t n = t ? 4 : 5;
  const char* bad;
  int r = match_word(p_, end_, word, n, &bad);
  if (r == 1) {
    p_ += n;
    *out = t;
    return true;
  }
  return fail_at(r < 0 ? "EOF while parsing a value" : "expected ident", bad);
}

// ---- numbers --------------------------------------------------------------------------------

bool JsonTextSource::scan_number(const char** start, size_t* len, bool* integral,
                                 size_t* int_digits) noexcept {
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  const char* s = p_;
  const char* p = p_;
  if (*p == '-') ++p;
  const char* d0 = p;
  if (*p == '0') {
    ++p;
    if (digit(*p)) return fail_at("invalid number", p);
  } else if (digit(*p)) {
    while (digit(*p)) ++p;
  } else {
    return fail_at(p >= end_ ? "EOF while parsing a value" : "invalid number", p);
  }
  *int_digits = static_cast<size_t>(p - d0);
  *integral = true;
  if (*p == '.') {
    ++p;
    *integral = false;
    if (!digit(*p)) return fail_at(p >= end_ ? "EOF while parsing a value" : "invalid number", p);
    while (digit(*p)) ++p;
  }
  if (*p == 'e' || *p == 'E') {
    ++p;
    *integral = false;
    if (*p == '+' || *p == '-') ++p;
    if (!digit(*p)) return fail_at(p >= end_ ? "EOF while parsing a value" : "invalid number", p);
    while (digit(*p)) ++p;
  }
  *start = s;
  *len = static_cast<size_t>(p - s);
  p_ = p;
  return true;
}

bool JsonTextSource::read_number_value(JsonNumber* out) noexcept {
  if (peek() != JsonKind::Number) return expect_fail(JsonKind::Number);
  // Fast path: an integer of at most 18 digits, converted while it is scanned.
  {
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    const char* p = p_;
    const bool neg = *p == '-';
    p += neg;
    const char* d0 = p;
    uint64_t v = 0;
    if (*p >= '1' && *p <= '9') {
      // Up to eight digits per step while eight bytes remain, then one at a time.
      if constexpr (kDigitWords) {
        unsigned k = 8;
        while (k == 8 && end_ - p >= 8 && p - d0 <= 10) {
          k = append_digit_word(p, &v);
          p += k;
        }
      }
      while (digit(*p) && p - d0 < 18) v = v * 10 + static_cast<unsigned>(*p++ - '0');
    } else if (*p == '0') {
      ++p;
    }
    if (p != d0 && !digit(*p) && *p != '.' && *p != 'e' && *p != 'E') {
      p_ = p;
      out->kind = JsonNumber::Small;
      const auto iv = static_cast<int64_t>(v);  // at most 18 digits: no overflow
      out->i = neg ? -iv : iv;
      return true;
    }
  }
  const char* s;
  size_t n, digits;
  bool integral;
  if (!scan_number(&s, &n, &integral, &digits)) return false;
  if (integral && digits <= 18) {
    const char* d = s + (*s == '-');
    int64_t v = 0;
    for (const char* q = d; q < s + n; ++q) v = v * 10 + (*q - '0');
    out->kind = JsonNumber::Small;
    out->i = *s == '-' ? -v : v;
    return true;
  }
  if (integral) {
    scratch_.assign(s, s + n);
    scratch_.push_back('\0');
    out->big = Ref(PyLong_FromString(scratch_.data(), nullptr, 10));
    if (!out->big) return false;
    out->kind = JsonNumber::Big;
    return true;
  }
  out->kind = JsonNumber::Double;
  out->d = text_to_double(s, n, scratch_);
  return true;
}

bool JsonTextSource::read_number_as_float(double* out) noexcept {
  if (peek() != JsonKind::Number) return expect_fail(JsonKind::Number);
  // Scanned and converted in one pass; anything unusual goes the checked way below.
  if (const char* e = fast_json_number_to_double(p_, end_, out)) {
    if (*out == 0 && std::signbit(*out)) [[unlikely]]
      note_negative_zero(e);
    p_ = e;
    return true;
  }
  const char* s;
  size_t n, digits;
  bool integral;
  if (!scan_number(&s, &n, &integral, &digits)) return false;
  *out = text_to_double(s, n, scratch_);
  if (*out == 0 && std::signbit(*out) && integral) [[unlikely]]
    ++int_neg_zeros_;
  return true;
}

PyObject* JsonTextSource::read_number() noexcept {
  JsonNumber num;
  if (!read_number_value(&num)) return nullptr;
  switch (num.kind) {
    case JsonNumber::Small:
      return PyLong_FromLongLong(num.i);
    case JsonNumber::Big:
      return num.big.release();
    case JsonNumber::Double:
      break;
  }
  return PyFloat_FromDouble(num.d);
}

// ---- strings --------------------------------------------------------------------------------

bool JsonTextSource::scan_string(std::string_view* out) noexcept {
  const char* start = ++p_;
  const char* p = p_;
  bool ascii = true;
  for (;;) {
    p = skip_plain(p, end_);
    unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"') {
      *out = std::string_view(start, static_cast<size_t>(p - start));
      p_ = p + 1;
      last_ascii_ = ascii;
      return true;
    }
    if (c == '\\') {
      p_ = p;
      return scan_string_slow(start, out);
    }
    if (c < 0x20) {
      if (p >= end_) return fail_at("EOF while parsing a string", p);
      return fail_at("control character (\\u0000-\\u001F) found while parsing a string", p);
    }
    if (c >= 0x80) {
      ascii = false;
      if (utf8_valid_) {
        ++p;
        while (static_cast<unsigned char>(*p) >= 0x80) ++p;
        continue;
      }
      size_t k = utf8_sequence(reinterpret_cast<const uint8_t*>(p));
      if (!k) return fail_at("invalid unicode code point", p);
      p += k;
      continue;
    }
    ++p;
  }
}

bool JsonTextSource::scan_string_slow(const char* start, std::string_view* out) noexcept {
  scratch_.assign(start, p_);
  bool ascii = true;
  for (const char* q = start; q < p_; ++q) ascii &= static_cast<unsigned char>(*q) < 0x80;
  const char* p = p_;
  for (;;) {
    // Plain runs are copied whole.
    const char* run = skip_plain(p, end_);
    if (run != p) {
      scratch_.insert(scratch_.end(), p, run);
      p = run;
    }
    unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"') {
      p_ = p + 1;
      last_ascii_ = ascii;
      *out = std::string_view(scratch_.data(), scratch_.size());
      return true;
    }
    if (c < 0x20) {
      if (p >= end_) return fail_at("EOF while parsing a string", p);
      return fail_at("control character (\\u0000-\\u001F) found while parsing a string", p);
    }
    if (c >= 0x80) {
      ascii = false;
      size_t k = 1;
      if (utf8_valid_) {
        while (static_cast<unsigned char>(p[k]) >= 0x80 && (p[k] & 0xC0) == 0x80) ++k;
      } else if (!(k = utf8_sequence(reinterpret_cast<const uint8_t*>(p)))) {
        return fail_at("invalid unicode code point", p);
      }
      scratch_.insert(scratch_.end(), p, p + k);
      p += k;
      continue;
    }
    if (c != '\\') {
      scratch_.push_back(static_cast<char>(c));
      ++p;
      continue;
    }
    if (!unescape(p, &ascii)) return false;
  }
}

bool JsonTextSource::unescape(const char*& p, bool* ascii) noexcept {
  const char* esc = p++;
  char e = *p;
  switch (e) {
    case '"':
    case '\\':
    case '/':
      break;
    case 'b':
      e = '\b';
      break;
    case 'f':
      e = '\f';
      break;
    case 'n':
      e = '\n';
      break;
    case 'r':
      e = '\r';
      break;
    case 't':
      e = '\t';
      break;
    case 'u':
      return unescape_unicode(esc, p, ascii);
    default:
      if (p >= end_) return fail_at("EOF while parsing a string", p);
      return fail_at("invalid escape", esc);
  }
  scratch_.push_back(e);
  ++p;
  return true;
}

bool JsonTextSource::hex4(const char* q, uint32_t* v) noexcept {
  *v = 0;
  for (int i = 0; i < 4; ++i) {
    if (q + i >= end_) return fail_at("EOF while parsing a string", q + i);
    int h = hex_value(q[i]);
    if (h < 0) return fail_at("invalid escape", q + i);
    *v = (*v << 4) | static_cast<uint32_t>(h);
  }
  return true;
}

// \uXXXX at `esc`, possibly a surrogate pair; `p` is at the "u".
bool JsonTextSource::unescape_unicode(const char* esc, const char*& p, bool* ascii) noexcept {
  uint32_t cp;
  if (!hex4(p + 1, &cp)) return false;
  p += 5;
  if (cp >= 0xDC00 && cp <= 0xDFFF) return fail_at("invalid unicode code point", esc);
  if (cp >= 0xD800 && cp <= 0xDBFF) {
    if (p >= end_ || (p + 1 >= end_ && *p == '\\')) {
      return fail_at("EOF while parsing a string", end_);
    }
    if (p[0] != '\\' || p[1] != 'u') {
      return fail_at("lone leading surrogate in hex escape", p);
    }
    uint32_t lo;
    if (end_ - (p + 2) < 4) return fail_at("unexpected end of hex escape", end_);
    if (!hex4(p + 2, &lo)) return false;
    if (lo < 0xDC00 || lo > 0xDFFF) return fail_at("invalid unicode code point", p);
    cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
    p += 6;
  }
  if (cp >= 0x80) *ascii = false;
  append_utf8(scratch_, cp);
  return true;
}

namespace {

// Decodes valid UTF-8 into the str's storage of kind T (one, two or four bytes per character).
template <class T>
void decode_utf8_into(const uint8_t* p, const uint8_t* end, T* out) noexcept {
  while (p < end) {
    uint32_t c = *p;
    if (c < 0x80) {
      // Text is mostly ASCII even when it is not all ASCII: runs go eight bytes at a time.
      while (end - p >= 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        if (w & 0x8080808080808080ull) break;
        for (int k = 0; k < 8; ++k) out[k] = static_cast<T>(p[k]);
        out += 8;
        p += 8;
      }
      if (p == end) break;
      if (*p < 0x80) {
        *out++ = static_cast<T>(*p++);
        continue;
      }
      c = *p;
    }
    if (c < 0xE0) {
      c = ((c & 0x1F) << 6) | (p[1] & 0x3F);
      p += 2;
    } else if (c < 0xF0) {
      c = ((c & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F);
      p += 3;
    } else {
      c = ((c & 0x07) << 18) | ((p[1] & 0x3F) << 12) | ((p[2] & 0x3F) << 6) | (p[3] & 0x3F);
      p += 4;
    }
    *out++ = static_cast<T>(c);
  }
}

}  // namespace

PyObject* JsonTextSource::make_str(const char* s, size_t n, bool ascii) noexcept {
  if (ascii) {
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
    if (str && n) std::memcpy(PyUnicode_1BYTE_DATA(str), s, n);
    return str;
  }
  // The bytes were validated while scanning: count the characters and find the widest one,
  // then decode straight into a str of that width.
  const uint8_t* p = reinterpret_cast<const uint8_t*>(s);
  size_t chars = 0, i = 0;
  // Continuation bytes (below C0) never exceed a lead byte, so the largest byte is the widest
  // lead (the text has at least one: it is not ASCII).
  uint8_t lead = 0;
#if defined(TORVEX_SSE2)
  const __m128i top2 = _mm_set1_epi8(static_cast<char>(0xC0));
  const __m128i cont = _mm_set1_epi8(static_cast<char>(0x80));
  __m128i widest = _mm_setzero_si128();
  size_t conts = 0;
  for (; n - i >= 16; i += 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    unsigned m =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(v, top2), cont)));
    conts += static_cast<size_t>(std::popcount(m));
    widest = _mm_max_epu8(widest, v);
  }
  alignas(16) uint8_t lanes[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), widest);
  for (uint8_t b : lanes) lead = b > lead ? b : lead;
  chars = i - conts;
#endif
  for (; i < n; ++i) {
    chars += (p[i] & 0xC0) != 0x80;
    lead = p[i] > lead ? p[i] : lead;
  }
  // Lead bytes C2/C3 encode U+0080..U+00FF; below F0 everything fits in 16 bits.
  Py_UCS4 maxchar = lead >= 0xF0 ? 0x10FFFF : lead >= 0xC4 ? 0xFFFF : 0xFF;
  PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(chars), maxchar);
  if (!str) return nullptr;
  switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND:
      decode_utf8_into(p, p + n, PyUnicode_1BYTE_DATA(str));
      break;
    case PyUnicode_2BYTE_KIND:
      decode_utf8_into(p, p + n, PyUnicode_2BYTE_DATA(str));
      break;
    default:
      decode_utf8_into(p, p + n, PyUnicode_4BYTE_DATA(str));
      break;
  }
  return str;
}

namespace {

// Object keys repeat: across documents of one schema, and in every element of an array of
// objects. The str made for a short ASCII key is kept here and handed out again, which spares
// the allocation and, because a str caches its hash, the hashing when it goes into a dict.
// Entries are strong references, one per slot, replaced on collision: the table stays bounded.
// The table is shared by all threads, so only builds with the interpreter lock use it.
class KeyCache {
 public:
  static constexpr size_t kMaxLen = 32;

  // New reference to the cached str equal to the `n` ASCII bytes at `s`, made on a miss.
  PyObject* get(const char* s, size_t n) noexcept {
    PyObject*& slot = slots_[hash(s, n) & (kSlots - 1)];
    if (slot && static_cast<size_t>(PyUnicode_GET_LENGTH(slot)) == n &&
        std::memcmp(PyUnicode_1BYTE_DATA(slot), s, n) == 0) {
      return Py_NewRef(slot);
    }
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
    if (!str) return nullptr;
    std::memcpy(PyUnicode_1BYTE_DATA(str), s, n);
    Py_XSETREF(slot, Py_NewRef(str));
    return str;
  }

 private:
  static constexpr size_t kSlots = 1024;

  // The first and last (up to) 8 bytes and the length: keys of one schema rarely share all three.
  static size_t hash(const char* s, size_t n) noexcept {
    uint64_t head = 0, tail = 0;
    std::memcpy(&head, s, n < 8 ? n : 8);
    if (n > 8) std::memcpy(&tail, s + n - 8, 8);
    uint64_t h = (head * 0x9E3779B97F4A7C15ull) ^ (tail * 0xC2B2AE3D27D4EB4Full) ^ n;
    return static_cast<size_t>(h ^ (h >> 29) ^ (h >> 47));
  }
  PyObject* slots_[kSlots] = {};
};

#ifndef Py_GIL_DISABLED
KeyCache g_key_cache;
// Short string values repeat as well (names of states, units, flags spelled as text), though
// less reliably than keys: they get a table of their own, so that one-off values never push
// keys out. A miss costs a hash and a compare over making the str anyway.
KeyCache g_value_cache;
constexpr size_t kShortValue = 16;
#endif

}  // namespace

PyObject* JsonTextSource::make_key(const char* s, size_t n, bool ascii) noexcept {
#ifndef Py_GIL_DISABLED
  if (ascii && n <= KeyCache::kMaxLen) return g_key_cache.get(s, n);
#endif
  return make_str(s, n, ascii);
}

PyObject* JsonTextSource::read_string() noexcept {
  std::string_view v;
  if (!read_str(&v)) return nullptr;
#ifndef Py_GIL_DISABLED
  if (last_ascii_ && v.size() <= kShortValue) return g_value_cache.get(v.data(), v.size());
#endif
  return make_str(v.data(), v.size(), last_ascii_);
}

// ---- whole values ---------------------------------------------------------------------------

Ref JsonTextSource::walk_leaf(JsonKind k, bool build) noexcept {
  switch (k) {
    case JsonKind::Null:
      return read_null() ? Ref::borrow(Py_None) : Ref();
    case JsonKind::Bool: {
      bool b;
      if (!read_bool(&b)) return Ref();
      return Ref::borrow(b ? Py_True : Py_False);
    }
    case JsonKind::Number: {
      if (build) return Ref(read_number());
      double d;
      return read_number_as_float(&d) ? Ref::borrow(Py_None) : Ref();
    }
    case JsonKind::String: {
      if (build) return Ref(read_string());
      std::string_view v;
      return read_str(&v) ? Ref::borrow(Py_None) : Ref();
    }
    default:
      raise_internal("container kind in walk_leaf");
      return Ref();
  }
}

int JsonTextSource::walk_next(WalkFrame& top, bool build) noexcept {
  int r;
  if (top.object) {
    ObjIter it{top.first};
    std::string_view key;
    r = next_key(it, &key);
    top.first = false;
    if (r > 0 && build) {
      top.key = Ref(make_key(key.data(), key.size(), last_ascii_));
      if (!top.key) return -1;
    }
  } else {
    ArrIter it{top.first};
    r = next_element(it);
    top.first = false;
  }
  return r;
}

PyObject* JsonTextSource::walk(bool build) noexcept {
  RVec<WalkFrame> stack;
  for (;;) {
    // One value, at the current position.
    Ref value;
    JsonKind k = peek();
    if (k == JsonKind::Error) return nullptr;
    if (k == JsonKind::Array || k == JsonKind::Object) {
      if (!open_container()) return nullptr;
      Ref c;
      if (build) {
        c = Ref(k == JsonKind::Object ? PyDict_New() : PyList_New(0));
        if (!c) return nullptr;
      }
      stack.push_back(WalkFrame{std::move(c), Ref(), k == JsonKind::Object, true});
    } else if (!(value = walk_leaf(k, build))) {
      return nullptr;
    }
    // Attach the value to its container, then advance to the next value, closing containers.
    for (;;) {
      if (value) {
        if (stack.empty()) return build ? value.release() : Py_NewRef(Py_None);
        WalkFrame& top = stack.back();
        if (build) {
          int r = top.object ? PyDict_SetItem(top.container.get(), top.key.get(), value.get())
                             : PyList_Append(top.container.get(), value.get());
          if (r < 0) return nullptr;
        }
        value.reset();
      }
      int r = walk_next(stack.back(), build);
      if (r < 0) return nullptr;
      if (r > 0) break;  // read the member or element
      value = build ? std::move(stack.back().container) : Ref::borrow(Py_None);
      stack.pop_back();
    }
  }
}

}  // namespace torvex
