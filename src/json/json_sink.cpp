#include "json/json_sink.h"

#include <utility>

#include "core/base64.h"
#include "core/errors.h"
#include "core/portable.h"

#if defined(TORVEX_SSE2)
#include <emmintrin.h>
#endif

namespace torvex {

// ---- escaping ---------------------------------------------------------------------------

namespace {

// Bytes whose high bit is set somewhere in s[0 .. n).
bool has_non_ascii(const char* s, size_t n) noexcept {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, s + i, 8);
    if (w & 0x8080808080808080ull) return true;
  }
  for (; i < n; ++i) {
    if (static_cast<unsigned char>(s[i]) & 0x80) return true;
  }
  return false;
}

}  // namespace

// ---- text sink --------------------------------------------------------------------------

void JsonTextSink::grow(size_t n) noexcept {
  // Leaving the inline buffer, the text is a document of some size: room for one at once
  // instead of a chain of doublings that copies it over and over.
  size_t cap = buf_ == inline_ ? kFirstHeap : cap_ * 2;
  // A large item (a long bytes field) gets room for itself and what usually follows it, so
  // that the closing brackets do not double a buffer of megabytes.
  if (cap - len_ < n) cap = len_ + n + 256;
  if (cap >= kStrBacked) {
    // A compact ASCII str of length cap: cap + 1 bytes of data after the header. Its content
    // is only looked at once take_str has cut it to the written length.
    if (str_) {
      if (PyUnicode_Resize(&str_, static_cast<Py_ssize_t>(cap)) < 0) fatal_out_of_memory(cap);
    } else {
      str_ = PyUnicode_New(static_cast<Py_ssize_t>(cap), 127);
      if (!str_) fatal_out_of_memory(cap);
      std::memcpy(PyUnicode_1BYTE_DATA(str_), buf_, len_);
      if (buf_ != inline_) raw_free(buf_);
    }
    buf_ = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(str_));
    cap_ = cap;
    return;
  }
  if (buf_ == inline_) {
    char* p = static_cast<char*>(raw_malloc(cap));
    std::memcpy(p, buf_, len_);
    buf_ = p;
  } else {
    buf_ = static_cast<char*>(raw_realloc(buf_, cap));
  }
  cap_ = cap;
}

void JsonTextSink::quoted(const char* s, size_t n) noexcept {
  // The worst case without escapes; each escape then makes room for itself.
  reserve(n + 2);
  char* p = buf_ + len_;
  *p++ = '"';
  size_t i = 0;
  for (;;) {
    size_t j = i + json_escape_scan(s + i, n - i);
    std::memcpy(p, s + i, j - i);
    p += j - i;
    if (j == n) break;
    len_ = static_cast<size_t>(p - buf_);
    reserve(n - j + 6);  // this escape (up to 6 bytes), the rest and the closing quote
    p = buf_ + len_;
    unsigned char c = static_cast<unsigned char>(s[j]);
    char e = kJsonEscape.c[c];
    if (e != 'u') {
      const char pair[2] = {'\\', e};
      std::memcpy(p, pair, 2);
      p += 2;
    } else {
      static constexpr char kHex[] = "0123456789abcdef";
      const char seq[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
      std::memcpy(p, seq, 6);
      p += 6;
    }
    i = j + 1;
  }
  *p++ = '"';
  len_ = static_cast<size_t>(p - buf_);
}

bool JsonTextSink::quoted(PyObject* str, bool as_piece) noexcept {
  // Compact ASCII strings carry their text inline; the others have a cached UTF-8 form.
  if (PyUnicode_IS_COMPACT_ASCII(str)) {
    quoted(static_cast<const char*>(PyUnicode_DATA(str)),
           static_cast<size_t>(PyUnicode_GET_LENGTH(str)));
    return true;
  }
  Py_ssize_t n;
  const char* s = PyUnicode_AsUTF8AndSize(str, &n);
  if (!s) return false;
  if (PyUnicode_IS_ASCII(str)) {
    quoted(s, static_cast<size_t>(n));
    return true;
  }
  if (as_piece && json_escape_scan(s, static_cast<size_t>(n)) == static_cast<size_t>(n)) {
    put('"');
    if (pieces_.empty()) pieces_.reserve(kFirstPieces);
    pieces_.push_back(TextPiece{len_, Py_NewRef(str)});
    piece_chars_ += static_cast<size_t>(PyUnicode_GET_LENGTH(str));
    int kind = static_cast<int>(PyUnicode_KIND(str));
    if (kind > piece_kind_) piece_kind_ = kind;
    put('"');
    return true;
  }
  quoted(s, static_cast<size_t>(n));
  ascii_ = false;
  return true;
}

void JsonTextSink::note_utf8(const char* s, size_t n) noexcept {
  if (ascii_ && has_non_ascii(s, n)) ascii_ = false;
}

void JsonTextSink::put_base64(const uint8_t* data, size_t n) noexcept {
  size_t m = base64_encoded_length(n);
  reserve(m + 2);
  char* p = buf_ + len_;
  p[0] = '"';
  base64_encode(data, n, p + 1);
  p[m + 1] = '"';
  len_ += m + 2;
}

bool JsonTextSink::number_slow(PyObject* v) noexcept {
  if (PyFloat_Check(v)) {
    reserve(kNumberScratch);
    len_ += format_double(PyFloat_AS_DOUBLE(v), buf_ + len_);
    return true;
  }
  Ref text;
  if (PyLong_Check(v)) {
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (!overflow) {
      if (n == -1 && PyErr_Occurred()) return false;
      reserve(kNumberScratch);
      len_ += format_int64(n, buf_ + len_);
      return true;
    }
    // Beyond 64 bits: int's own repr is its decimal digits, also for subclasses.
    text = Ref(PyLong_Type.tp_repr(v));
  } else {
    text = Ref(PyObject_Repr(v));
  }
  if (!text) return false;
  Py_ssize_t n;
  const char* s = PyUnicode_AsUTF8AndSize(text.get(), &n);
  if (!s) return false;
  raw(s, static_cast<size_t>(n));
  note_utf8(s, static_cast<size_t>(n));
  return true;
}

// One-byte characters (ASCII or Latin-1) into code units of a wider (or equal) kind. The runs
// between wide pieces are short, so two-byte units go 16 at a time with the last block
// overlapping the one before it instead of a loop over the tail.
template <class Ch>
void widen_ucs1(const Py_UCS1* s, size_t n, Ch* out) noexcept {
  if constexpr (sizeof(Ch) == 1) {
    std::memcpy(out, s, n);
    return;
  }
#if defined(TORVEX_SSE2)
  if constexpr (sizeof(Ch) == 2) {
    if (n >= 16) {
      const __m128i zero = _mm_setzero_si128();
      auto block = [&](size_t i) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_unpacklo_epi8(v, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 8), _mm_unpackhi_epi8(v, zero));
      };
      for (size_t i = 0; i + 16 <= n; i += 16) block(i);
      block(n - 16);
      return;
    }
  }
#endif
  for (size_t i = 0; i < n; ++i) out[i] = s[i];
}

// The characters of a piece (a str of a kind no wider than Ch) at `out`, copied here rather than
// by PyUnicode_CopyCharacters: its checks and its per-character widening cost more than the
// copy of a short piece.
template <class Ch>
void copy_piece(PyObject* str, size_t n, Ch* out) noexcept {
  const void* data = PyUnicode_DATA(str);
  const int kind = PyUnicode_KIND(str);
  if (static_cast<size_t>(kind) == sizeof(Ch)) {
    std::memcpy(out, data, n * sizeof(Ch));
  } else if (kind == PyUnicode_1BYTE_KIND) {
    widen_ucs1(static_cast<const Py_UCS1*>(data), n, out);
  } else {
    const auto* s = static_cast<const Py_UCS2*>(data);  // two-byte piece into four-byte text
    for (size_t i = 0; i < n; ++i) out[i] = s[i];
  }
}

// The ASCII buffer with its pieces in place, as code units of type Ch.
template <class Ch>
void join_into(const char* buf, size_t len, const TextPiece* pieces, size_t count,
               Ch* out) noexcept {
  const auto* ascii = reinterpret_cast<const Py_UCS1*>(buf);
  size_t from = 0;
  for (size_t i = 0; i < count; ++i) {
    const size_t at = pieces[i].at;
    widen_ucs1(ascii + from, at - from, out);
    out += at - from;
    const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(pieces[i].str));
    copy_piece(pieces[i].str, n, out);
    out += n;
    from = at;
  }
  widen_ucs1(ascii + from, len - from, out);
}

PyObject* JsonTextSink::join_pieces() noexcept {
  if (!ascii_) {
    // The buffer holds UTF-8 of its own as well (rare): decode it piece by piece and join.
    Ref parts(PyList_New(0));
    if (!parts) return nullptr;
    size_t from = 0;
    for (const TextPiece& p : pieces_) {
      Ref chunk(PyUnicode_DecodeUTF8(buf_ + from, static_cast<Py_ssize_t>(p.at - from), "strict"));
      if (!chunk || PyList_Append(parts.get(), chunk.get()) < 0 ||
          PyList_Append(parts.get(), p.str) < 0) {
        return nullptr;
      }
      from = p.at;
    }
    Ref rest(PyUnicode_DecodeUTF8(buf_ + from, static_cast<Py_ssize_t>(len_ - from), "strict"));
    if (!rest || PyList_Append(parts.get(), rest.get()) < 0) return nullptr;
    Ref empty(PyUnicode_FromStringAndSize("", 0));
    return empty ? PyUnicode_Join(empty.get(), parts.get()) : nullptr;
  }
  // An ASCII buffer and str pieces: the result's width is the widest piece's, and each piece
  // (canonical, so holding a character of its width) makes that width exact.
  Py_UCS4 maxchar = piece_kind_ == 1 ? 0xFF : piece_kind_ == 2 ? 0xFFFF : 0x10FFFF;
  Ref out(PyUnicode_New(static_cast<Py_ssize_t>(len_ + piece_chars_), maxchar));
  if (!out) return nullptr;
  void* data = PyUnicode_DATA(out.get());
  if (piece_kind_ == 1) {
    join_into(buf_, len_, pieces_.data(), pieces_.size(), static_cast<Py_UCS1*>(data));
  } else if (piece_kind_ == 2) {
    join_into(buf_, len_, pieces_.data(), pieces_.size(), static_cast<Py_UCS2*>(data));
  } else {
    join_into(buf_, len_, pieces_.data(), pieces_.size(), static_cast<Py_UCS4*>(data));
  }
  return out.release();
}

PyObject* JsonTextSink::take_str() noexcept {
  len_ = size();
  if (!pieces_.empty()) return join_pieces();
  if (str_ && ascii_) {
    if (PyUnicode_Resize(&str_, static_cast<Py_ssize_t>(len_)) < 0) return nullptr;
    PyObject* s = std::exchange(str_, nullptr);
    buf_ = inline_;
    len_ = cap_ = 0;
    return s;
  }
  if (!ascii_) {
    return PyUnicode_DecodeUTF8(buf_, static_cast<Py_ssize_t>(len_), "strict");
  }
  PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(len_), 127);
  if (s) std::memcpy(PyUnicode_1BYTE_DATA(s), buf_, len_);
  return s;
}

// ---- tree sink --------------------------------------------------------------------------

JsonTreeSink::~JsonTreeSink() {
  while (!stack_.empty()) pop();
}

void JsonTreeSink::pop() noexcept {
  if (stack_.empty()) return;
  Frame f = stack_.pop();
  Py_XDECREF(f.object);
  Py_XDECREF(f.slot);
}

bool JsonTreeSink::set_member(Frame& top, PyObject* v) noexcept {
  if (!top.slot) {
    PyErr_SetString(PyExc_ValueError, "object value without key");
    return false;
  }
  PyObject* key = top.slot;
  top.slot = nullptr;
  int r = PyDict_SetItem(top.object, key, v);
  Py_DECREF(key);
  return r == 0;
}

bool JsonTreeSink::begin_object() noexcept {
  Ref d(PyDict_New());
  if (!d || !emit(d)) return false;
  stack_.push(Frame{d.release(), nullptr});
  return true;
}

bool JsonTreeSink::begin_array() noexcept {
  Ref l(PyList_New(0));
  if (!l || !emit(l)) return false;
  stack_.push(Frame{nullptr, l.release()});
  return true;
}

bool JsonTreeSink::key(PyObject* str) noexcept {
  if (stack_.empty() || !stack_.top().object) {
    PyErr_SetString(PyExc_ValueError, "object key outside of object");
    return false;
  }
  Frame& top = stack_.top();
  Py_XSETREF(top.slot, Py_NewRef(str));
  return true;
}

bool JsonTreeSink::key(const char* s, size_t n) noexcept {
  Ref k(PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(n), "strict"));
  return k && key(k.get());
}

bool JsonTreeSink::string(const char* s, size_t n) noexcept {
  return emit(Ref(PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(n), "strict")));
}

bool JsonTreeSink::ascii_string(const char* s, size_t n) noexcept {
  Ref str(PyUnicode_New(static_cast<Py_ssize_t>(n), 127));
  if (str) std::memcpy(PyUnicode_1BYTE_DATA(str.get()), s, n);
  return emit(std::move(str));
}

bool JsonTreeSink::base64_string(const uint8_t* data, size_t n) noexcept {
  Ref str(PyUnicode_New(static_cast<Py_ssize_t>(base64_encoded_length(n)), 127));
  if (str) base64_encode(data, n, reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(str.get())));
  return emit(std::move(str));
}

}  // namespace torvex
