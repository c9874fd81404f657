// JsonTextSource: a pull reader over UTF-8 JSON text (RFC 8259). It creates nothing but the
// values asked for: keys and enum names are handed out as byte views, strings become Python
// objects only when read as strings. Syntax errors raise json.JSONDecodeError with the byte
// offset. Hot paths are inline here so that they compile into the parser's loops.
#pragma once

#include <Python.h>

#include <cmath>
#include <cstring>
#include <string_view>

#include "core/float_parse.h"
#include "core/limits.h"
#include "core/memory.h"
#include "json/json_source.h"

namespace torvex {

class JsonTextSource {
 public:
  static constexpr bool kText = true;
  // Open arrays and objects at any one time. The deepest document the message depth limit lets
  // through nests about two containers per message level (a list or map plus the message), so
  // 512 leaves room for every valid document while keeping error texts of values printable.
  static constexpr uint32_t kMaxNesting = 512;

  struct ObjIter {
    bool first = true;
  };
  struct ArrIter {
    bool first = true;
  };

  // `data[n]` must be readable and 0 (bytes objects and UTF-8 buffers of str are terminated so):
  // the terminator stops every scanning loop without a separate bounds test. `utf8_valid` skips
  // validation for text that came from a str.
  JsonTextSource(const char* data, size_t n, bool utf8_valid) noexcept
      : begin_(data), p_(data), end_(data + n), utf8_valid_(utf8_valid) {}

  JsonKind peek() noexcept {
    skip_ws();
    switch (*p_) {
      case '{':
        return JsonKind::Object;
      case '[':
        return JsonKind::Array;
      case '"':
        return JsonKind::String;
      case 't':
      case 'f':
        return JsonKind::Bool;
      case 'n':
        return JsonKind::Null;
      case '-':
      case '0':
      case '1':
      case '2':
      case '3':
      case '4':
      case '5':
      case '6':
      case '7':
      case '8':
      case '9':
        return JsonKind::Number;
      default:
        return peek_fail();
    }
  }

  bool read_null() noexcept;
  bool read_bool(bool* out) noexcept;
  bool read_number_value(JsonNumber* out) noexcept;
  bool read_number_as_float(double* out) noexcept;
  // At a value: when it is a JSON number the fast conversion decides, finite (and within
  // float32's range for `float32`), its value read into *out and true; otherwise false with
  // nothing consumed (the caller reads it the checked way, which also reports what is wrong).
  bool take_finite_number(double* out, bool float32) noexcept {
    double d;
    const char* e = fast_json_number_to_double(p_, end_, &d);
    if (!e || !std::isfinite(d) || (float32 && !fits_float32(d))) return false;
    if (d == 0 && std::signbit(d)) [[unlikely]]
      note_negative_zero(e);
    p_ = e;
    *out = d;
    return true;
  }
  PyObject* read_number() noexcept;

  bool read_str(std::string_view* out) noexcept {
    if (peek() != JsonKind::String) return expect_fail(JsonKind::String);
    return scan_string(out);
  }
  PyObject* read_string() noexcept;
  // At a string (peek() said so): its bytes up to the next quote, whatever they hold; false when
  // no quote follows. A caller that finds them plain (no backslash, control or non-ASCII byte)
  // takes the string with take_raw_string and saves the scan; otherwise it reads it as usual.
  bool raw_string_ahead(std::string_view* out) const noexcept {
    const char* s = p_ + 1;
    const void* q = std::memchr(s, '"', static_cast<size_t>(end_ - s));
    if (!q) return false;
    *out = std::string_view(s, static_cast<size_t>(static_cast<const char*>(q) - s));
    return true;
  }
  void take_raw_string(std::string_view s) noexcept {
    p_ = s.data() + s.size() + 1;
    last_ascii_ = true;
  }
  PyObject* read_any() noexcept { return walk(true); }
  bool skip() noexcept {
    PyObject* r = walk(false);
    Py_XDECREF(r);
    return r != nullptr;
  }

  bool begin_object(ObjIter& it) noexcept {
    if (peek() != JsonKind::Object) return expect_fail(JsonKind::Object);
    it.first = true;
    return open_container();
  }
  int next_key(ObjIter& it, std::string_view* key) noexcept {
    skip_ws();
    if (it.first) {
      it.first = false;
      if (*p_ == '}') return close_container();
      if (*p_ != '"') return key_fail(false);
    } else if (*p_ == ',') {
      ++p_;
      skip_ws();
      if (*p_ != '"') return key_fail(true);
    } else if (*p_ == '}') {
      return close_container();
    } else {
      return sep_fail('}');
    }
    if (!scan_string(key)) return -1;
    skip_ws();
    if (*p_ != ':') return colon_fail();
    ++p_;
    return 1;
  }
  PyObject* key_object(const ObjIter&, std::string_view key) noexcept {
    return make_key(key.data(), key.size(), last_ascii_);
  }
  bool begin_array(ArrIter& it) noexcept {
    if (peek() != JsonKind::Array) return expect_fail(JsonKind::Array);
    it.first = true;
    return open_container();
  }
  int next_element(ArrIter& it) noexcept {
    skip_ws();
    if (it.first) {
      it.first = false;
      if (*p_ == ']') return close_container();
      return 1;
    }
    if (*p_ == ',') {
      ++p_;
      skip_ws();
      if (*p_ == ']') return fail_int("trailing comma");
      return 1;
    }
    if (*p_ == ']') return close_container();
    return sep_fail(']');
  }

  // After the top-level value only whitespace may follow.
  bool finish() noexcept;

  // Raises json.JSONDecodeError(desc, <input decoded with replacement>, byte offset of `at`).
  bool fail_at(const char* desc, const char* at) noexcept;
  // The same for "expected {} but found {}" when the next value is of another kind.
  bool expect_fail(JsonKind wanted) noexcept;

  // How many numbers written as the integer -0 were read as floats: -0.0 here, but 0.0 when the
  // text goes through a tree of Python values first (an int has no negative zero), which is how
  // some readers take an object whole.
  uint32_t integer_negative_zeros() const noexcept { return int_neg_zeros_; }

  // A position to come back to, for a reader that reads ahead and may hand the same text over.
  struct Mark {
    const char* p;
    uint32_t nesting;
  };
  Mark mark() const noexcept { return Mark{p_, nesting_}; }
  void rewind(const Mark& at) noexcept {
    p_ = at.p;
    nesting_ = at.nesting;
  }

  // Position of the next unread byte (for callers that report offsets).
  size_t offset() const noexcept { return static_cast<size_t>(p_ - begin_); }

 private:
  static bool is_ws(char c) noexcept { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }
  void skip_ws() noexcept {
    while (is_ws(*p_)) ++p_;
  }
  bool at_end() const noexcept { return p_ >= end_; }

  bool fail(const char* desc) noexcept { return fail_at(desc, p_); }
  // At a number read as -0.0 that ends at `end`: counts it when it is written "-0".
  void note_negative_zero(const char* end) noexcept {
    if (end - p_ == 2) ++int_neg_zeros_;
  }
  int fail_int(const char* desc) noexcept {
    fail(desc);
    return -1;
  }
  JsonKind peek_fail() noexcept;
  int key_fail(bool after_comma) noexcept;
  int sep_fail(char close) noexcept;
  int colon_fail() noexcept;

  bool open_container() noexcept {
    ++p_;
    if (++nesting_ > kMaxNesting) {
      --p_;
      return fail("recursion limit exceeded");
    }
    return true;
  }
  int close_container() noexcept {
    ++p_;
    --nesting_;
    return 0;
  }

  // At the opening quote: the string's bytes, unescaped into `scratch_` when it has escapes.
  // Sets last_ascii_.
  bool scan_string(std::string_view* out) noexcept;
  bool scan_string_slow(const char* start, std::string_view* out) noexcept;
  // At a backslash: the escape's text appended to scratch_, `p` moved past it. Clears *ascii
  // for a code point beyond ASCII.
  bool unescape(const char*& p, bool* ascii) noexcept;
  bool unescape_unicode(const char* esc, const char*& p, bool* ascii) noexcept;
  // The four hex digits at `q` as a code unit.
  bool hex4(const char* q, uint32_t* v) noexcept;
  // At a number's first byte: its extent and whether it is written as an integer.
  bool scan_number(const char** start, size_t* len, bool* integral, size_t* int_digits) noexcept;
  PyObject* make_str(const char* s, size_t n, bool ascii) noexcept;
  // make_str for object keys: short ASCII keys come from a process-wide cache (see KeyCache).
  PyObject* make_key(const char* s, size_t n, bool ascii) noexcept;
  // read_any (build) and skip (!build) without recursion: an explicit stack of open containers.
  struct WalkFrame {
    Ref container;  // the dict or list being filled (build only)
    Ref key;        // the member key waiting for its value (build, objects)
    bool object;
    bool first;
  };
  PyObject* walk(bool build) noexcept;
  // A value that is not a container (null, bool, number, string of kind `k`); Py_None for each
  // when not building. Null on error.
  Ref walk_leaf(JsonKind k, bool build) noexcept;
  // Advances in the innermost open container: 1 at its next value (a member's key read), 0 when
  // it closed, -1 on error.
  int walk_next(WalkFrame& top, bool build) noexcept;

  const char* begin_;
  const char* p_;
  const char* end_;
  bool utf8_valid_;
  bool last_ascii_ = true;  // the last scanned string had only ASCII bytes
  uint32_t nesting_ = 0;
  uint32_t int_neg_zeros_ = 0;  // see integer_negative_zeros()
  RVec<char> scratch_;          // unescaped strings, number copies
};

}  // namespace torvex
