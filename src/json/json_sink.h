// The two JSON output sinks. The serializer (json_writer) and the well-known-type writers drive
// a sink through the same small event set; JsonTextSink appends compact JSON text to one
// growing byte buffer, JsonTreeSink builds plain Python values (dict, list, str, int, float,
// bool, None). The sinks are plain classes with identical member functions, used as template
// parameters (static dispatch: the per-value calls inline into the walk); see json_writer.h for
// how another module instantiates its writers over both.
//
// Every operation returns false with a Python exception set on failure. The text sink only
// fails on text conversions (a str that has no UTF-8 form, a repr that raises).
#pragma once

#include <Python.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/json_quote.h"
#include "core/memory.h"
#include "core/number_text.h"
#include "core/portable.h"
#include "core/ref.h"

namespace torvex {

// The eight decimal digits of v < 10^8 as byte values 0-9, the most significant digit in the
// lowest byte: both halves of four digits split into pairs, then into digits, all lanes in one
// multiplication per step (the quotients by 100 and 10 are exact for these ranges).
inline uint64_t decimal_lanes(uint32_t v) noexcept {
  uint64_t x = (v / 10000) | (static_cast<uint64_t>(v % 10000) << 32);
  uint64_t q = ((x * 10486) >> 20) & 0x0000007F0000007Full;
  x = q | ((x - q * 100) << 16);
  q = ((x * 103) >> 10) & 0x000F000F000F000Full;
  return q | ((x - q * 10) << 8);
}

// Decimal digits of v; writes up to 11 bytes at `out` (little-endian hosts), returns the count.
inline size_t format_u32(uint32_t v, char* out) noexcept {
  constexpr uint64_t kZeros = 0x3030303030303030ull;
  size_t n = 0;
  if (v >= 100000000) {
    uint32_t top = v / 100000000;  // 1 to 42
    v -= top * 100000000;
    if (top >= 10) out[n++] = static_cast<char>('0' + top / 10);
    out[n++] = static_cast<char>('0' + top % 10);
    uint64_t all = decimal_lanes(v) + kZeros;
    std::memcpy(out + n, &all, 8);
    return n + 8;
  }
  uint64_t d = decimal_lanes(v);
  // Leading zero digits are the low zero bytes; 0 itself keeps one digit.
  unsigned skip = d ? static_cast<unsigned>(std::countr_zero(d)) / 8 : 7;
  uint64_t text = (d + kZeros) >> (8 * skip);
  std::memcpy(out, &text, 8);
  return 8 - skip;
}

// The open containers of a sink: inline up to the nesting that documents reach in practice
// (so a call allocates nothing for it), then on the heap.
template <class T>
class FrameStack {
 public:
  bool empty() const noexcept { return size_ == 0; }
  size_t size() const noexcept { return size_; }
  T& top() noexcept { return size_ <= kInline ? inline_[size_ - 1] : heap_[size_ - kInline - 1]; }
  void push(T v) noexcept {
    if (size_ < kInline) {
      inline_[size_] = v;
    } else {
      heap_.push_back(v);
    }
    ++size_;
  }
  // Removes and returns the top frame; nothing (a default frame) when empty.
  T pop() noexcept {
    if (size_ == 0) return T{};
    --size_;
    if (size_ < kInline) return inline_[size_];
    T v = heap_.back();
    heap_.pop_back();
    return v;
  }

 private:
  static constexpr size_t kInline = 48;
  size_t size_ = 0;
  T inline_[kInline];
  RVec<T> heap_;
};

// ---- text sink --------------------------------------------------------------------------

// A str standing at an offset of a text sink's buffer; see JsonTextSink::pieces_.
struct TextPiece {
  size_t at;      // buffer offset the text belongs at
  PyObject* str;  // owned
};

// Compact text. Every value and every closed container is followed by a comma, and a closing
// bracket takes the place of the comma before it: separators cost one store and no state, so
// the sink keeps no frames at all. The comma after the root value is not part of the text.
class JsonTextSink {
 public:
  JsonTextSink() noexcept = default;
  ~JsonTextSink() {
    for (const TextPiece& p : pieces_) Py_DECREF(p.str);
    if (str_) {
      Py_DECREF(str_);
    } else if (buf_ != inline_) {
      raw_free(buf_);
    }
  }
  JsonTextSink(const JsonTextSink&) = delete;
  JsonTextSink& operator=(const JsonTextSink&) = delete;

  bool begin_object() noexcept {
    put('{');
    return true;
  }
  bool end_object() noexcept {
    close('}');
    return true;
  }
  bool begin_array() noexcept {
    put('[');
    return true;
  }
  bool end_array() noexcept {
    close(']');
    return true;
  }

  // Keys and string values: UTF-8 text or a Python str.
  bool key(const char* s, size_t n) noexcept {
    put_key(s, n);
    put(':');
    return true;
  }
  bool key(PyObject* str) noexcept {
    if (!quoted(str, false)) return false;
    put(':');
    return true;
  }
  // A key made in advance by json_member_prefix (quotes and colon included), or the n bytes of
  // one at `text`, after its comma.
  void member_prefix(const RString& text, bool ascii) noexcept {
    member_text(text.data() + 1, text.size() - kMemberPrefixPad - 1, ascii);
  }
  TORVEX_ALWAYS_INLINE void member_prefix(const char* text, size_t n, bool ascii) noexcept {
    member_text(text, n, ascii);
  }
  bool string(const char* s, size_t n) noexcept {
    put_string(s, n);
    return comma();
  }
  bool string(PyObject* str) noexcept { return quoted(str, true) && comma(); }
  // A string value known to be printable ASCII without quote or backslash (digits, base64,
  // "NaN"): copied without the escape scan.
  bool ascii_string(const char* s, size_t n) noexcept {
    put_ascii_string(s, n);
    return comma();
  }
  // A string value holding the standard padded base64 of data[0 .. n), encoded in place.
  bool base64_string(const uint8_t* data, size_t n) noexcept {
    put_base64(data, n);
    return comma();
  }
  bool integer(int64_t v) noexcept {
    put_int(v);
    return comma();
  }
  // The digits of v at p (kNumberScratch bytes writable); returns the end of the text.
  static char* put_integer(int64_t v, char* p) noexcept {
    const uint64_t mag = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    // Below 10^4 the general formatter's pair loop is shorter than the lane arithmetic.
    if (std::endian::native != std::endian::little || mag > UINT32_MAX || mag < 10000) {
      return p + format_int64(v, p);
    }
    *p = '-';
    p += v < 0;
    return p + format_u32(static_cast<uint32_t>(mag), p);
  }
  // The integer n held by the Python int v (the tree sink reuses v when it is a plain int).
  bool integer(PyObject* /*v*/, int64_t n) noexcept { return integer(n); }
  bool boolean(bool b) noexcept {
    put_boolean(b);
    return comma();
  }
  bool null() noexcept {
    raw("null", 4);
    return comma();
  }
  // A Python float (repr text) or int (decimal digits); anything else is written as its repr.
  bool number(PyObject* v) noexcept { return put_number(v) && comma(); }

  // Array elements written straight into the buffer, for loops over number lists: claim(n)
  // makes room for n bytes and returns where to write, commit(end) takes what was written up
  // to `end`, each element followed by its comma.
  char* claim(size_t n) noexcept {
    reserve(n);
    return buf_ + len_;
  }
  void commit(char* end) noexcept { len_ = static_cast<size_t>(end - buf_); }

  // The document as one new str (nullptr with an error on failure).
  PyObject* take_str() noexcept;
  // The text so far, without the comma after the last value.
  const char* data() const noexcept { return buf_; }
  size_t size() const noexcept { return len_ - (len_ && buf_[len_ - 1] == ','); }

 protected:
  TORVEX_ALWAYS_INLINE bool comma() noexcept {
    put(',');
    return true;
  }
  // A closing bracket over the comma after the last member or element, then its own comma.
  TORVEX_ALWAYS_INLINE void close(char bracket) noexcept {
    reserve(2);
    len_ -= buf_[len_ - 1] == ',';
    buf_[len_] = bracket;
    buf_[len_ + 1] = ',';
    len_ += 2;
  }
  // The value writers without their comma (JsonPrettySink lays out its own separators).
  void put_key(const char* s, size_t n) noexcept {
    quoted(s, n);
    note_utf8(s, n);
  }
  void put_string(const char* s, size_t n) noexcept { put_key(s, n); }
  void put_ascii_string(const char* s, size_t n) noexcept {
    reserve(n + 2);
    char* p = buf_ + len_;
    p[0] = '"';
    std::memcpy(p + 1, s, n);
    p[n + 1] = '"';
    len_ += n + 2;
  }
  void put_base64(const uint8_t* data, size_t n) noexcept;
  TORVEX_ALWAYS_INLINE void put_int(int64_t v) noexcept {
    reserve(kNumberScratch);
    len_ = static_cast<size_t>(put_integer(v, buf_ + len_) - buf_);
  }
  void put_boolean(bool b) noexcept {
    if (b) {
      raw("true", 4);
    } else {
      raw("false", 5);
    }
  }
  bool put_number(PyObject* v) noexcept {
    if (PyFloat_CheckExact(v)) {
      reserve(kNumberScratch);
      len_ += format_double(PyFloat_AS_DOUBLE(v), buf_ + len_);
      return true;
    }
    return number_slow(v);
  }

  TORVEX_ALWAYS_INLINE void reserve(size_t n) noexcept {
    if (cap_ - len_ < n) [[unlikely]]
      grow(n);
  }
  TORVEX_ALWAYS_INLINE void put(char c) noexcept {
    reserve(1);
    buf_[len_++] = c;
  }
  TORVEX_ALWAYS_INLINE void raw(const char* s, size_t n) noexcept {
    reserve(n);
    std::memcpy(buf_ + len_, s, n);
    len_ += n;
  }

  // A prefix's n bytes of text at s, without its leading comma: 16-byte blocks, the last one
  // reaching into the padding.
  TORVEX_ALWAYS_INLINE void member_text(const char* s, size_t n, bool ascii) noexcept {
    reserve(n + 16);
    char* p = buf_ + len_;
    std::memcpy(p, s, 16);
    // Keys of up to 16 bytes are most keys; the loop is the rest.
    for (size_t i = 16; i < n; i += 16) std::memcpy(p + i, s + i, 16);
    len_ += n;
    if (!ascii) ascii_ = false;
  }

  TORVEX_NOINLINE void grow(size_t n) noexcept;
  // The JSON string of s[0 .. n): quotes, runs copied in blocks, escapes.
  void quoted(const char* s, size_t n) noexcept;
  // With `as_piece`, a non-ASCII str that needs no escapes is not copied: see pieces_.
  bool quoted(PyObject* str, bool as_piece) noexcept;
  // Text that did not come from an ASCII str may hold non-ASCII bytes.
  void note_utf8(const char* s, size_t n) noexcept;
  bool number_slow(PyObject* v) noexcept;

  static constexpr size_t kInline = 1024;          // small documents never allocate
  static constexpr size_t kFirstHeap = 32 * 1024;  // the first heap buffer
  static constexpr size_t kFirstPieces = 128;      // room for pieces, made with the first one
  // From this size on the buffer is the data of a str object in the making, so that a large
  // ASCII document becomes the result without a final copy.
  static constexpr size_t kStrBacked = 64 * 1024;
  PyObject* str_ = nullptr;  // that str (owned), or null while the buffer is native memory
  char* buf_ = inline_;
  size_t len_ = 0;
  size_t cap_ = kInline;
  // Everything in the buffer is ASCII: the final str is then one copy, no UTF-8 decoding.
  bool ascii_ = true;
  // Non-ASCII string values are kept as their str objects, each standing at an offset of the
  // buffer (between its quotes), and copied straight into the final str in their own width:
  // decoding the UTF-8 of a whole document would cost more than the writing.
  RVec<TextPiece> pieces_;
  size_t piece_chars_ = 0;  // characters in all pieces
  int piece_kind_ = 1;      // the widest str kind among them
  PyObject* join_pieces() noexcept;
  char inline_[kInline];
};

// ---- indented text sink -----------------------------------------------------------------

// The text sink laid out as json.dumps(..., indent=N) lays out: each member and element on a
// line of its own, indented N spaces per level, ": " after keys, empty containers as {} and [].
// It keeps frames of its own and writes the values with the base's comma-less writers.
class JsonPrettySink : public JsonTextSink {
 public:
  explicit JsonPrettySink(int indent) noexcept : indent_(static_cast<size_t>(indent)) {}

  bool begin_object() noexcept {
    open('{', kFirst);
    return true;
  }
  bool end_object() noexcept {
    shut('}');
    return true;
  }
  bool begin_array() noexcept {
    open('[', kFirst | kArray);
    return true;
  }
  bool end_array() noexcept {
    shut(']');
    return true;
  }

  bool key(const char* s, size_t n) noexcept {
    member();
    put_key(s, n);
    raw(": ", 2);
    return true;
  }
  bool key(PyObject* str) noexcept {
    member();
    if (!quoted(str, false)) return false;
    raw(": ", 2);
    return true;
  }
  void member_prefix(const RString& text, bool ascii) noexcept {
    member_prefix(text.data() + 1, text.size() - kMemberPrefixPad - 1, ascii);
  }
  void member_prefix(const char* text, size_t n, bool ascii) noexcept {
    member();
    member_text(text, n, ascii);
    put(' ');
  }

  bool string(const char* s, size_t n) noexcept {
    element();
    put_string(s, n);
    return true;
  }
  bool string(PyObject* str) noexcept { return element(), quoted(str, true); }
  bool ascii_string(const char* s, size_t n) noexcept {
    element();
    put_ascii_string(s, n);
    return true;
  }
  bool base64_string(const uint8_t* data, size_t n) noexcept {
    element();
    put_base64(data, n);
    return true;
  }
  bool integer(int64_t v) noexcept {
    element();
    put_int(v);
    return true;
  }
  bool integer(PyObject* /*v*/, int64_t n) noexcept { return integer(n); }
  bool boolean(bool b) noexcept {
    element();
    put_boolean(b);
    return true;
  }
  bool null() noexcept {
    element();
    raw("null", 4);
    return true;
  }
  bool number(PyObject* v) noexcept { return element(), put_number(v); }

 private:
  static constexpr uint8_t kArray = 1;  // frame bit: the container is an array
  static constexpr uint8_t kFirst = 2;  // frame bit: no member written yet

  // A new line at the indentation of `depth` open containers.
  void line(size_t depth) noexcept {
    size_t n = 1 + depth * indent_;
    reserve(n);
    char* p = buf_ + len_;
    p[0] = '\n';
    std::memset(p + 1, ' ', n - 1);
    len_ += n;
  }
  // Before a key: the comma after the previous member, then the member's line.
  void member() noexcept {
    uint8_t& top = frames_.top();
    if (!(top & kFirst)) put(',');
    top &= static_cast<uint8_t>(~kFirst);
    line(frames_.size());
  }
  // Before a value: in an array the same as member(); after a key nothing.
  void element() noexcept {
    if (!frames_.empty() && (frames_.top() & kArray)) member();
  }
  void open(char bracket, uint8_t frame) noexcept {
    element();
    put(bracket);
    frames_.push(frame);
  }
  void shut(char bracket) noexcept {
    uint8_t frame = frames_.pop();
    if (!(frame & kFirst)) line(frames_.size());
    put(bracket);
  }

  size_t indent_;
  FrameStack<uint8_t> frames_;
};

// ---- tree sink --------------------------------------------------------------------------

class JsonTreeSink {
 public:
  JsonTreeSink() noexcept = default;
  ~JsonTreeSink();
  JsonTreeSink(const JsonTreeSink&) = delete;
  JsonTreeSink& operator=(const JsonTreeSink&) = delete;

  bool begin_object() noexcept;
  bool end_object() noexcept {
    pop();
    return true;
  }
  bool begin_array() noexcept;
  bool end_array() noexcept {
    pop();
    return true;
  }

  bool key(const char* s, size_t n) noexcept;
  bool key(PyObject* str) noexcept;
  bool string(const char* s, size_t n) noexcept;
  bool string(PyObject* str) noexcept { return emit(Ref::borrow(str)); }
  bool ascii_string(const char* s, size_t n) noexcept;
  bool base64_string(const uint8_t* data, size_t n) noexcept;
  bool integer(int64_t v) noexcept { return emit(Ref(PyLong_FromLongLong(v))); }
  bool integer(PyObject* v, int64_t n) noexcept {
    return PyLong_CheckExact(v) ? emit(Ref::borrow(v)) : integer(n);
  }
  bool boolean(bool b) noexcept { return emit(Ref::borrow(b ? Py_True : Py_False)); }
  bool null() noexcept { return emit(Ref::borrow(Py_None)); }
  bool number(PyObject* v) noexcept { return emit(Ref::borrow(v)); }
  // An array whose elements are the list's own items, each one what number() or integer()
  // would place for it.
  bool same_items(PyObject* list) noexcept {
    return emit(Ref(PyList_GetSlice(list, 0, PyList_GET_SIZE(list))));
  }

  // The finished top-level value (new reference), or nullptr (no error set) when none was made.
  PyObject* take_root() noexcept { return root_.release(); }

 private:
  struct Frame {
    PyObject* object;  // the dict being filled (owned), or null for an array frame
    PyObject* slot;    // object frame: the pending key (owned) or null; array frame: the list
  };

  // Places `v` by the top frame; a null `v` is a failed creation whose error is set.
  bool emit(Ref v) noexcept {
    if (!v) return false;
    if (!stack_.empty()) {
      Frame& top = stack_.top();
      if (!top.object) return PyList_Append(top.slot, v.get()) == 0;
      return set_member(top, v.get());
    }
    root_ = std::move(v);
    return true;
  }
  bool set_member(Frame& top, PyObject* v) noexcept;
  void pop() noexcept;

  FrameStack<Frame> stack_;
  Ref root_;
};

}  // namespace torvex
