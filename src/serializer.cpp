// Binary encoding of message instances. The output is written back to front (see Out), so
// fields are visited last to first, every value is written before its tag, and length-delimited
// content before its length, which is then known without measuring anything in advance. The
// output still reads front to back in declaration order.
//
// Python code can run in the middle of an encode (__index__, __float__, __eq__, __bool__,
// attribute getters, __instancecheck__). Values whose conversion cannot run Python code (exact
// int, float, str, bytes, bool, None) are used borrowed; every other object is held by a strong
// reference of its own while it is converted, and containers are re-checked afterwards.
#include "serializer.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>
#include <string_view>

#include "errors.h"
#include "instance.h"
#include "oneof.h"
#include "unknown_fields.h"
#include "wire.h"

namespace torvex {

namespace {

// ---- error paths (out of line: the hot loop only branches to them) -----------------------

[[gnu::cold, gnu::noinline]] bool expected(const char* what, PyObject* v) noexcept {
  raise_fmt(PyExc_TypeError, "expected %s, got %S", what, reinterpret_cast<PyObject*>(Py_TYPE(v)));
  return false;
}

[[gnu::cold, gnu::noinline]] bool wrong_type(PyObject* v, const char* target) noexcept {
  raise_wrong_type(v, target);
  return false;
}

// Replaces the conversion's own OverflowError (or reports a 32-bit range miss) with the text
// that names the field type. Other exceptions are left as they are.
[[gnu::cold, gnu::noinline]] bool out_of_range(PyObject* v, const char* type_name) noexcept {
  if (PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
    PyErr_Clear();
  }
  raise_fmt(PyExc_OverflowError, "value %S out of range for %s", v, type_name);
  return false;
}

[[gnu::cold, gnu::noinline]] bool integral_range() noexcept {
  raise_integral_range();
  return false;
}

// The double is shown in plain decimal with its shortest round-trip digits, so 1e39 reads as a 1
// followed by 39 zeros. (Fixed-format to_chars would print every digit of the exact binary
// value instead: 999999999999999939709166371603178586112.) Only finite doubles beyond the
// float32 range get here, so the value is an integer with at most 17 significant digits.
[[gnu::cold, gnu::noinline]] bool float32_range(double d) noexcept {
  char sci[32];
  auto res = std::to_chars(sci, sci + sizeof(sci), d, std::chars_format::scientific);
  if (res.ec != std::errc()) {
    raise_internal("cannot format a double");
    return false;
  }
  // "[-]D[.DDD]e+XX": the significant digits, then zeros up to the exponent.
  std::string_view text(sci, static_cast<size_t>(res.ptr - sci));
  size_t e_pos = text.find("e+");
  int exp = 0;
  if (e_pos == std::string_view::npos ||
      std::from_chars(text.data() + e_pos + 2, text.data() + text.size(), exp).ec != std::errc() ||
      exp > 400) {
    raise_internal("unexpected float32 overflow value");
    return false;
  }
  char plain[420];
  size_t len = 0;
  for (char c : text.substr(0, e_pos)) {
    if (c != '.') plain[len++] = c;
  }
  size_t integer_digits = static_cast<size_t>(exp) + 1 + (text[0] == '-');
  while (len < integer_digits) plain[len++] = '0';
  plain[len] = '\0';
  raise_fmt(PyExc_OverflowError, "value %s out of range for float32", plain);
  return false;
}

[[gnu::cold, gnu::noinline]] bool invalid_enum(const EnumTable& t, long n) noexcept {
  raise_fmt(PyExc_ValueError, "invalid enum value %ld for enum '%S'", n, t.type_name.get());
  return false;
}

[[gnu::cold, gnu::noinline]] int required_not_set(const FieldSpec& f) noexcept {
  raise_fmt(PyExc_ValueError, "cannot encode %s to binary: required field not set",
            f.local_name.c_str());
  return -1;
}

[[gnu::cold, gnu::noinline]] bool changed_size(const char* what) noexcept {
  raise_fmt(PyExc_RuntimeError, "%s changed size during encoding", what);
  return false;
}

[[gnu::cold, gnu::noinline]] bool too_deep() noexcept {
  raise_fmt(PyExc_RecursionError, "exceeded maximum recursion depth %u while serializing message",
            MAX_RECURSION_DEPTH);
  return false;
}

// ---- numeric conversions ------------------------------------------------------------------

// Ints below 2^30 in magnitude (one digit) are read inline; `v` must be an int or subclass.
inline bool compact_value(PyObject* v, Py_ssize_t* out) noexcept {
  auto* l = reinterpret_cast<PyLongObject*>(v);
  if (!PyUnstable_Long_IsCompact(l)) return false;
  *out = PyUnstable_Long_CompactValue(l);
  return true;
}

// The platform's conversion to C long (the signed 64-bit one on the platforms we build for).
[[gnu::noinline]] bool long_value(PyObject* v, int64_t* out) noexcept {
  if constexpr (sizeof(long) == sizeof(int64_t)) {
    long r = PyLong_AsLong(v);
    if (r == -1 && PyErr_Occurred()) return false;
    *out = r;
  } else {
    long long r = PyLong_AsLongLong(v);
    if (r == -1 && PyErr_Occurred()) return false;
    *out = r;
  }
  return true;
}

[[gnu::noinline]] bool ulonglong_value(PyObject* v, uint64_t* out) noexcept {
  unsigned long long r = PyLong_AsUnsignedLongLong(v);
  if (r == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *out = r;
  return true;
}

inline bool is_int(PyObject* v) noexcept { return PyLong_Check(v) && !PyBool_Check(v); }

inline bool to_i64(PyObject* v, int64_t* out) noexcept {
  Py_ssize_t c;
  if (compact_value(v, &c)) {
    *out = c;
    return true;
  }
  return long_value(v, out);
}

inline bool to_u64(PyObject* v, uint64_t* out) noexcept {
  Py_ssize_t c;
  if (compact_value(v, &c) && c >= 0) {
    *out = static_cast<uint64_t>(c);
    return true;
  }
  return ulonglong_value(v, out);
}

// 32-bit targets go through the signed 64-bit conversion, then a range check.
inline bool to_i32(PyObject* v, int32_t* out) noexcept {
  int64_t n = 0;
  if (!to_i64(v, &n)) return false;
  if (n < INT32_MIN || n > INT32_MAX) return integral_range();
  *out = static_cast<int32_t>(n);
  return true;
}

inline bool to_u32(PyObject* v, uint32_t* out) noexcept {
  int64_t n = 0;
  if (!to_i64(v, &n)) return false;
  if (n < 0 || n > UINT32_MAX) return integral_range();
  *out = static_cast<uint32_t>(n);
  return true;
}

// What float() takes without parsing text: floats, __float__ and __index__ implementers.
[[gnu::noinline]] bool to_double_slow(PyObject* v, double* out) noexcept {
  if (!PyFloat_Check(v)) {
    PyNumberMethods* nb = Py_TYPE(v)->tp_as_number;
    if (!nb || (!nb->nb_float && !nb->nb_index)) return expected("float", v);
  }
  double d = PyFloat_AsDouble(v);
  if (d == -1.0 && PyErr_Occurred()) return false;
  *out = d;
  return true;
}

inline bool to_double(PyObject* v, double* out) noexcept {
  if (PyFloat_CheckExact(v)) {
    *out = PyFloat_AS_DOUBLE(v);
    return true;
  }
  return to_double_slow(v, out);
}

// ---- output -------------------------------------------------------------------------------

// The encoder's output: bytes written back to front into blocks, the front-most block being the
// one written now. A full block is closed as a segment and writing goes on in a new, larger one;
// a long str or bytes payload becomes a segment of its own that points into the (immutable)
// Python object instead of being copied. The final bytes object is assembled with one copy of
// every byte (see take_bytes), where a single growing buffer would copy its content again on
// every growth. Small writes cost a bounds check against the current block, nothing more.
// Lengths of nested items come from len(), which counts all of it.
class Out {
 public:
  Out() noexcept = default;
  Out(const Out&) = delete;
  Out& operator=(const Out&) = delete;
  ~Out() {
    for (Segment& s : segments_) Py_XDECREF(s.owner);
    for (uint8_t* b : heap_blocks_) raw_free(b);
  }

  size_t len() const noexcept { return closed_ + (cap_ - pos_); }

  // For bulk writers: the room in front of the written bytes of the current block, and
  // committing `n` bytes written just before front().
  size_t room() const noexcept { return pos_; }
  uint8_t* front() noexcept { return block_ + pos_; }
  void commit(size_t n) noexcept { pos_ -= n; }
  // Guarantees room for `n` bytes in the current block.
  void ensure(size_t n) noexcept {
    if (pos_ < n) next_block(n);
  }

  [[gnu::always_inline]] void put_byte(uint8_t b) noexcept {
    if (pos_ == 0) next_block(1);
    block_[--pos_] = b;
  }
  [[gnu::always_inline]] void put_varint(uint64_t v) noexcept {
    if (v < 0x80) return put_byte(static_cast<uint8_t>(v));
    if (pos_ < 10) next_block(10);
    pos_ -= varint_size(v);
    uint8_t* p = block_ + pos_;
    while (v >= 0x80) {
      *p++ = static_cast<uint8_t>(v) | 0x80;
      v >>= 7;
    }
    *p = static_cast<uint8_t>(v);
  }
  [[gnu::always_inline]] void put_fixed32(uint32_t v) noexcept {
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
    if (pos_ < 4) next_block(4);
    pos_ -= 4;
    std::memcpy(block_ + pos_, &v, 4);
  }
  [[gnu::always_inline]] void put_fixed64(uint64_t v) noexcept {
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    if (pos_ < 8) next_block(8);
    pos_ -= 8;
    std::memcpy(block_ + pos_, &v, 8);
  }
  // `owner`, when given, is an immutable object that keeps p[0 .. n) valid: long payloads are
  // then referenced rather than copied.
  [[gnu::always_inline]] void put_bytes(const void* p, size_t n, PyObject* owner) noexcept {
    if (n > pos_ || (owner && n >= kReferenceAt)) return put_long(p, n, owner);
    pos_ -= n;
    copy(block_ + pos_, static_cast<const uint8_t*>(p), n);
  }

  // The whole output as a new bytes object (nullptr with an error on failure).
  PyObject* take_bytes() noexcept {
    if (segments_.empty()) {
      return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(block_ + pos_),
                                       static_cast<Py_ssize_t>(cap_ - pos_));
    }
    PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(len()));
    if (!out) return nullptr;
    auto* dst = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(out));
    std::memcpy(dst, block_ + pos_, cap_ - pos_);
    dst += cap_ - pos_;
    for (size_t i = segments_.size(); i-- > 0;) {  // the newest segment comes first
      std::memcpy(dst, segments_[i].data, segments_[i].len);
      dst += segments_[i].len;
    }
    return out;
  }

  // Prepends the whole output to `buf`.
  void move_to(ReverseBuffer& buf) noexcept {
    buf.reserve(len());
    for (const Segment& s : segments_) buf.put_bytes(s.data, s.len);
    buf.put_bytes(block_ + pos_, cap_ - pos_);
  }

 private:
  struct Segment {
    const uint8_t* data;
    size_t len;
    PyObject* owner;  // strong reference for a referenced payload, else null
  };

  // Closes what the current block holds as a segment.
  void close_current() noexcept {
    if (pos_ == cap_) return;
    segments_.push_back(Segment{block_ + pos_, cap_ - pos_, nullptr});
    closed_ += cap_ - pos_;
    cap_ = pos_;  // the room left in front stays usable: it precedes the closed bytes
  }

  [[gnu::noinline]] void next_block(size_t need) noexcept {
    close_current();
    next_size_ = std::min(next_size_ * 2, kMaxBlock);
    size_t size = std::max(next_size_, need);
    block_ = static_cast<uint8_t*>(raw_malloc(size));
    heap_blocks_.push_back(block_);
    cap_ = pos_ = size;
  }

  [[gnu::noinline]] void put_long(const void* p, size_t n, PyObject* owner) noexcept {
    if (owner && n >= kReferenceAt) {
      close_current();
      segments_.push_back(Segment{static_cast<const uint8_t*>(p), n, Py_NewRef(owner)});
      closed_ += n;
      return;
    }
    next_block(n);
    pos_ -= n;
    std::memcpy(block_ + pos_, p, n);
  }

  // Short strings are the common payload: fixed-size moves from both ends, which may overlap
  // each other, avoid a library call without touching anything outside [src, src + n).
  // (src is a Python object's data, dst our block: the two never overlap.)
  [[gnu::always_inline]] static void copy(uint8_t* dst, const uint8_t* src, size_t n) noexcept {
    if (n > 16 && n <= 64) {
      std::memcpy(dst, src, 16);
      std::memcpy(dst + n - 16, src + n - 16, 16);
      if (n > 32) {
        std::memcpy(dst + 16, src + 16, 16);
        std::memcpy(dst + n - 32, src + n - 32, 16);
      }
    } else if (n >= 8 && n <= 16) {
      std::memcpy(dst, src, 8);
      std::memcpy(dst + n - 8, src + n - 8, 8);
    } else if (n >= 4 && n < 8) {
      std::memcpy(dst, src, 4);
      std::memcpy(dst + n - 4, src + n - 4, 4);
    } else if (n < 4) {
      for (size_t i = 0; i < n; ++i) dst[i] = src[i];
    } else {
      std::memcpy(dst, src, n);
    }
  }

  static constexpr size_t kInline = 4096;       // on the stack: small outputs never allocate
  static constexpr size_t kMaxBlock = 1 << 20;  // heap blocks double up to this size
  static constexpr size_t kReferenceAt = 2048;  // payloads from this size on are referenced
  // The block being written; its bytes block_[pos_ .. cap_) are the front of the output.
  uint8_t* block_ = inline_;
  size_t cap_ = kInline;
  size_t pos_ = kInline;        // also the room left, as writing moves towards the block's start
  size_t closed_ = 0;           // bytes in segments_, so that len() needs no walk
  size_t next_size_ = kInline;  // doubling keeps the number of blocks logarithmic
  RVec<Segment> segments_;      // closed pieces, oldest (last in the output) first
  RVec<uint8_t*> heap_blocks_;  // freed at the end; segments may point into any of them
  uint8_t inline_[kInline];
};

// State of one encode call.
struct Encoder {
  explicit Encoder(bool write_unknown) noexcept : write_unknown(write_unknown) {}

  // Shared by all nesting levels: a sub-message is written in place, in front of what follows.
  Out out;
  // Applies to the message and every nested one.
  bool write_unknown;
  // NativeMessage, looked up once per call rather than once per sub-message.
  PyTypeObject* native = nullptr;
  // Classes already seen to derive from NativeMessage, by a hash of their address: a document
  // nests a handful of message classes, so a comparison replaces the subclass walk. Held so
  // that an address cannot be reused by another class during the call.
  Ref known_native[8];

  Ref& known_slot(PyTypeObject* t) noexcept {
    return known_native[(reinterpret_cast<uintptr_t>(t) >> 6) & 7];
  }
  bool known(PyObject* v) noexcept {
    PyTypeObject* t = Py_TYPE(v);
    return known_slot(t).get() == reinterpret_cast<PyObject*>(t);
  }
};

// ---- values -------------------------------------------------------------------------------

inline bool put_float(double d, Out& out) noexcept {
  float f = static_cast<float>(d);
  if (std::isinf(f) && !std::isinf(d)) return float32_range(d);
  out.put_fixed32(std::bit_cast<uint32_t>(f));
  return true;
}

[[gnu::always_inline]] inline void put_len_bytes(const char* s, Py_ssize_t n, PyObject* owner,
                                                 Out& out) noexcept {
  out.put_bytes(s, static_cast<size_t>(n), owner);
  out.put_varint(static_cast<uint64_t>(n));
}

// One scalar of type kT without its tag.
template <ScalarType kT>
[[gnu::always_inline]] inline bool put_scalar(PyObject* v, Out& out) noexcept {
  using enum ScalarType;
  if constexpr (kT == Double || kT == Float) {
    double d = 0;
    if (!to_double(v, &d)) return false;
    if constexpr (kT == Float) {
      return put_float(d, out);
    } else {
      out.put_fixed64(std::bit_cast<uint64_t>(d));
      return true;
    }
  } else if constexpr (kT == Bool) {
    if (v == Py_True) {
      out.put_byte(1);
    } else if (v == Py_False) {
      out.put_byte(0);
    } else {
      return expected("bool", v);
    }
    return true;
  } else if constexpr (kT == String) {
    if (PyUnicode_IS_COMPACT_ASCII(v) && PyUnicode_CheckExact(v)) {
      put_len_bytes(static_cast<const char*>(PyUnicode_DATA(v)), PyUnicode_GET_LENGTH(v), v, out);
      return true;
    }
    if (!PyUnicode_Check(v)) return expected("string", v);
    Py_ssize_t n;
    const char* s = PyUnicode_AsUTF8AndSize(v, &n);
    if (!s) return false;
    put_len_bytes(s, n, v, out);
    return true;
  } else if constexpr (kT == Bytes) {
    if (!PyBytes_Check(v)) return expected("bytes", v);
    put_len_bytes(PyBytes_AS_STRING(v), PyBytes_GET_SIZE(v), v, out);
    return true;
  } else {
    if (!is_int(v)) return expected("int", v);
    if constexpr (kT == Int64) {
      int64_t n = 0;
      if (!to_i64(v, &n)) return out_of_range(v, "int64");
      out.put_varint(static_cast<uint64_t>(n));
    } else if constexpr (kT == Uint64) {
      uint64_t n = 0;
      if (!to_u64(v, &n)) return out_of_range(v, "uint64");
      out.put_varint(n);
    } else if constexpr (kT == Int32) {
      int64_t n = 0;
      if (!to_i64(v, &n) || n < INT32_MIN || n > INT32_MAX) return out_of_range(v, "int32");
      out.put_varint(static_cast<uint64_t>(n));  // negative values take all 10 bytes
    } else if constexpr (kT == Uint32) {
      int64_t n = 0;
      if (!to_i64(v, &n) || n < 0 || n > UINT32_MAX) return out_of_range(v, "uint32");
      out.put_varint(static_cast<uint64_t>(n));
    } else if constexpr (kT == Fixed64) {
      uint64_t n = 0;
      if (!to_u64(v, &n)) return false;
      out.put_fixed64(n);
    } else if constexpr (kT == Fixed32) {
      uint32_t n = 0;
      if (!to_u32(v, &n)) return false;
      out.put_fixed32(n);
    } else if constexpr (kT == Sfixed32) {
      int32_t n = 0;
      if (!to_i32(v, &n)) return false;
      out.put_fixed32(static_cast<uint32_t>(n));
    } else if constexpr (kT == Sfixed64) {
      int64_t n = 0;
      if (!to_i64(v, &n)) return false;
      out.put_fixed64(static_cast<uint64_t>(n));
    } else if constexpr (kT == Sint32) {
      int32_t n = 0;
      if (!to_i32(v, &n)) return false;
      out.put_varint(zigzag32(n));
    } else {
      static_assert(kT == Sint64);
      int64_t n = 0;
      if (!to_i64(v, &n)) return false;
      out.put_varint(zigzag64(n));
    }
    return true;
  }
}

// Whether converting `v` for type kT runs no Python code, so that it may stay borrowed.
template <ScalarType kT>
inline bool plain_scalar(PyObject* v) noexcept {
  using enum ScalarType;
  if constexpr (kT == Double || kT == Float) return PyFloat_CheckExact(v);
  if constexpr (kT == Bool) return PyBool_Check(v);
  if constexpr (kT == String) return PyUnicode_CheckExact(v);
  if constexpr (kT == Bytes) return PyBytes_CheckExact(v);
  return PyLong_CheckExact(v);
}

// Writes a value that passed plain_scalar<kT>, without the general type checks.
template <ScalarType kT>
[[gnu::always_inline]] inline bool put_plain(PyObject* v, Out& out) noexcept {
  using enum ScalarType;
  if constexpr (kT == Double) {
    out.put_fixed64(std::bit_cast<uint64_t>(PyFloat_AS_DOUBLE(v)));
  } else if constexpr (kT == Float) {
    double d = PyFloat_AS_DOUBLE(v);
    float x = static_cast<float>(d);
    if (std::isinf(x) && !std::isinf(d)) return float32_range(d);
    out.put_fixed32(std::bit_cast<uint32_t>(x));
  } else if constexpr (kT == Bool) {
    out.put_byte(v == Py_True);
  } else if constexpr (kT == String) {
    if (PyUnicode_IS_COMPACT_ASCII(v)) {
      put_len_bytes(static_cast<const char*>(PyUnicode_DATA(v)), PyUnicode_GET_LENGTH(v), v, out);
    } else {
      Py_ssize_t n;
      const char* s = PyUnicode_AsUTF8AndSize(v, &n);
      if (!s) return false;
      put_len_bytes(s, n, v, out);
    }
  } else if constexpr (kT == Bytes) {
    put_len_bytes(PyBytes_AS_STRING(v), PyBytes_GET_SIZE(v), v, out);
  } else {
    // A one-digit int fits every integer type, except negative values for the unsigned ones.
    // Other exact ints take the full conversion, which runs no Python code for them either.
    Py_ssize_t c;
    if (!compact_value(v, &c)) return put_scalar<kT>(v, out);
    if constexpr (kT == Uint64 || kT == Uint32 || kT == Fixed64 || kT == Fixed32) {
      if (c < 0) return put_scalar<kT>(v, out);
    }
    if constexpr (kT == Fixed64 || kT == Sfixed64) {
      out.put_fixed64(static_cast<uint64_t>(c));
    } else if constexpr (kT == Fixed32 || kT == Sfixed32) {
      out.put_fixed32(static_cast<uint32_t>(c));
    } else if constexpr (kT == Sint32) {
      out.put_varint(zigzag32(static_cast<int32_t>(c)));
    } else if constexpr (kT == Sint64) {
      out.put_varint(zigzag64(c));
    } else {
      out.put_varint(static_cast<uint64_t>(c));  // sign-extended for int32 and int64
    }
  }
  return true;
}

// Expands X(T) for every scalar type, to build switches that call a template per type (a
// switch of direct calls inlines where a generic dispatcher would not).
#define TORVEX_SCALAR_TYPES(X) \
  X(Double)                    \
  X(Float)                     \
  X(Int64)                     \
  X(Uint64)                    \
  X(Int32)                     \
  X(Fixed64)                   \
  X(Fixed32)                   \
  X(Bool)                      \
  X(String)                    \
  X(Bytes)                     \
  X(Uint32)                    \
  X(Sfixed32)                  \
  X(Sfixed64)                  \
  X(Sint32)                    \
  X(Sint64)

[[gnu::cold, gnu::noinline]] bool bad_scalar_type() noexcept {
  raise_internal("invalid scalar type in schema");
  return false;
}

bool encode_scalar(ScalarType t, PyObject* v, Out& out) noexcept {
  switch (t) {
#define TORVEX_CASE(T) \
  case ScalarType::T:  \
    return put_scalar<ScalarType::T>(v, out);
    TORVEX_SCALAR_TYPES(TORVEX_CASE)
#undef TORVEX_CASE
  }
  return bad_scalar_type();
}

// Enum numbers of ints and int subclasses (enum members) are read without running Python
// code; anything else goes through the platform conversion, __index__ included.
inline bool put_enum(const EnumTable& t, PyObject* v, Out& out) noexcept {
  long n;
  Py_ssize_t c;
  if (PyLong_Check(v) && compact_value(v, &c)) {
    n = static_cast<long>(c);
  } else {
    n = PyLong_AsLong(v);
    if (n == -1 && PyErr_Occurred()) return false;
  }
  if (n < INT32_MIN || n > INT32_MAX) return integral_range();
  if (!t.open && !t.by_number.find(static_cast<int32_t>(n))) return invalid_enum(t, n);
  out.put_varint(static_cast<uint64_t>(static_cast<int64_t>(n)));
  return true;
}

bool encode_fields(const MessageMarshaler* m, PyObject* msg, Encoder& enc, uint32_t depth) noexcept;

[[gnu::noinline]] bool check_native(PyObject* v, Encoder& enc) noexcept {
  if (!enc.native && !(enc.native = native_message_type())) return false;
  if (!PyObject_TypeCheck(v, enc.native)) return wrong_type(v, "NativeMessage");
  enc.known_slot(Py_TYPE(v)) = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(v)));
  return true;
}

// A sub-message value without its tag: content then length, or for a group the end tag
// before the content (the start tag is the field's own tag, written by the caller).
bool encode_message_value(const ElementKind& e, PyObject* v, Encoder& enc,
                          uint32_t depth) noexcept {
  Out& out = enc.out;
  if (e.delimited) {
    out.put_varint(e.end_group_tag);
    if (v == Py_None) return true;
  } else if (v == Py_None) {
    out.put_byte(0);  // an empty sub-message
    return true;
  }
  if (!enc.known(v) && !check_native(v, enc)) {
    return false;
  }
  MessageMarshaler* sub = resolve_handle(e.handle.get());
  if (!sub) return false;
  if (e.delimited) return encode_fields(sub, v, enc, depth);
  size_t before = out.len();
  if (!encode_fields(sub, v, enc, depth)) return false;
  out.put_varint(out.len() - before);
  return true;
}

inline bool encode_value(const ElementKind& e, PyObject* v, Encoder& enc, uint32_t depth) noexcept {
  switch (e.kind) {
    case ElemKind::Scalar:
      return encode_scalar(e.scalar, v, enc.out);
    case ElemKind::Enum:
      return put_enum(*e.enum_table.get(), v, enc.out);
    case ElemKind::Message:
      return encode_message_value(e, v, enc, depth);
  }
  raise_internal("invalid element kind in schema");
  return false;
}

// ---- containers ---------------------------------------------------------------------------

// Prepends the varint of v in front of p.
[[gnu::always_inline]] inline uint8_t* varint_before(uint8_t* p, uint64_t v) noexcept {
  if (v < 0x80) {
    *--p = static_cast<uint8_t>(v);
    return p;
  }
  p -= varint_size(v);
  uint8_t* q = p;
  while (v >= 0x80) {
    *q++ = static_cast<uint8_t>(v) | 0x80;
    v >>= 7;
  }
  *q = static_cast<uint8_t>(v);
  return p;
}

// Bytes a value of a non-LEN type takes at most.
template <ScalarType kT>
constexpr size_t max_width() noexcept {
  using enum ScalarType;
  if constexpr (kT == Double || kT == Fixed64 || kT == Sfixed64) return 8;
  if constexpr (kT == Float || kT == Fixed32 || kT == Sfixed32) return 4;
  if constexpr (kT == Bool) return 1;
  if constexpr (kT == Uint32 || kT == Sint32) return 5;
  return 10;
}

// The wire integer of a plain element (the bits of a fixed-width value, the varint value
// otherwise), or false when the element needs the general conversion.
template <ScalarType kT>
[[gnu::always_inline]] inline bool plain_bits(PyObject* v, uint64_t* bits) noexcept {
  using enum ScalarType;
  if constexpr (kT == Double || kT == Float) {
    if (!PyFloat_CheckExact(v)) return false;
    double d = PyFloat_AS_DOUBLE(v);
    if constexpr (kT == Double) {
      *bits = std::bit_cast<uint64_t>(d);
    } else {
      float x = static_cast<float>(d);
      if (std::isinf(x) && !std::isinf(d)) return false;
      *bits = std::bit_cast<uint32_t>(x);
    }
    return true;
  } else if constexpr (kT == Bool) {
    if (v == Py_True) {
      *bits = 1;
    } else if (v == Py_False) {
      *bits = 0;
    } else {
      return false;
    }
    return true;
  } else {
    Py_ssize_t c;
    if (!PyLong_CheckExact(v) || !compact_value(v, &c)) return false;
    if constexpr (kT == Uint64 || kT == Uint32 || kT == Fixed64 || kT == Fixed32) {
      if (c < 0) return false;
    }
    if constexpr (kT == Sint32) {
      *bits = zigzag32(static_cast<int32_t>(c));
    } else if constexpr (kT == Sint64) {
      *bits = zigzag64(c);
    } else if constexpr (kT == Fixed32 || kT == Sfixed32) {
      *bits = static_cast<uint32_t>(c);
    } else {
      *bits = static_cast<uint64_t>(c);  // one digit fits; sign-extended for the signed types
    }
    return true;
  }
}

// Elements are fetched by index at every step. Plain builtins are converted while borrowed;
// any other element is held while it is converted, and the list is checked for size changes
// afterwards (the next index must still exist).
//
// Runs of plain numbers are written straight into the staging block, as many per round as
// it surely has room for, so the write position stays in a register.
template <ScalarType kT>
bool number_list(const FieldSpec& f, PyObject* list, Py_ssize_t n, Out& out) noexcept {
  constexpr size_t kWidth = max_width<kT>();
  constexpr bool kFixed = kT == ScalarType::Double || kT == ScalarType::Float ||
                          kT == ScalarType::Fixed64 || kT == ScalarType::Fixed32 ||
                          kT == ScalarType::Sfixed64 || kT == ScalarType::Sfixed32;
  const bool tagged = !f.packed;
  const uint32_t tag = f.tag;
  const size_t per = kWidth + (tagged ? 5 : 0);
  // A long run of fixed-width values gets one block that holds all of it.
  if (kFixed && n > 256) out.ensure(static_cast<size_t>(n) * per);
  Py_ssize_t i = n;  // elements [i, n) are written
  while (i > 0) {
    out.ensure(per);
    Py_ssize_t stop = i - std::min<Py_ssize_t>(i, static_cast<Py_ssize_t>(out.room() / per));
    uint8_t* start = out.front();
    uint8_t* p = start;
    PyObject** items = reinterpret_cast<PyListObject*>(list)->ob_item;
    uint64_t bits;
    while (i > stop && plain_bits<kT>(items[i - 1], &bits)) {
      if constexpr (kFixed) {
        p -= kWidth;
        if constexpr (kWidth == 8) {
          if constexpr (std::endian::native == std::endian::big) bits = __builtin_bswap64(bits);
          std::memcpy(p, &bits, 8);
        } else {
          auto b32 = static_cast<uint32_t>(bits);
          if constexpr (std::endian::native == std::endian::big) b32 = __builtin_bswap32(b32);
          std::memcpy(p, &b32, 4);
        }
      } else {
        p = varint_before(p, bits);
      }
      if (tagged) p = varint_before(p, tag);
      --i;
    }
    out.commit(static_cast<size_t>(start - p));
    if (i > stop) {
      Ref hold = Ref::borrow(items[--i]);
      if (!put_scalar<kT>(hold.get(), out)) return false;
      if (tagged) out.put_varint(tag);
      if (PyList_GET_SIZE(list) != n) return changed_size("list");
    }
  }
  return true;
}

// Strings and bytes.
template <ScalarType kT>
bool scalar_list(const FieldSpec& f, PyObject* list, Py_ssize_t n, Out& out) noexcept {
  if constexpr (kT != ScalarType::String && kT != ScalarType::Bytes) {
    return number_list<kT>(f, list, n, out);
  } else {
    for (Py_ssize_t i = n; i-- > 0;) {
      PyObject* item = PyList_GET_ITEM(list, i);
      if (plain_scalar<kT>(item)) {
        if (!put_plain<kT>(item, out)) return false;
      } else {
        Ref hold = Ref::borrow(item);
        if (!put_scalar<kT>(item, out)) return false;
        if (PyList_GET_SIZE(list) != n) return changed_size("list");
      }
      if (!f.packed) out.put_varint(f.tag);
    }
    return true;
  }
}

bool enum_list(const FieldSpec& f, PyObject* list, Py_ssize_t n, Out& out) noexcept {
  const EnumTable& t = *f.elem.enum_table.get();
  for (Py_ssize_t i = n; i-- > 0;) {
    PyObject* item = PyList_GET_ITEM(list, i);
    if (PyLong_Check(item)) {
      if (!put_enum(t, item, out)) return false;
    } else {
      Ref hold = Ref::borrow(item);
      if (!put_enum(t, item, out)) return false;
      if (PyList_GET_SIZE(list) != n) return changed_size("list");
    }
    if (!f.packed) out.put_varint(f.tag);
  }
  return true;
}

// encode_message_value unrolled into the loop, with the handle resolved at the first element
// that needs it.
bool message_list(const FieldSpec& f, PyObject* list, Py_ssize_t n, Encoder& enc,
                  uint32_t depth) noexcept {
  const ElementKind& e = f.elem;
  Out& out = enc.out;
  MessageMarshaler* sub = nullptr;
  for (Py_ssize_t i = n; i-- > 0;) {
    if (PyList_GET_SIZE(list) != n) return changed_size("list");
    Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
    PyObject* v = item.get();
    if (e.delimited) out.put_varint(e.end_group_tag);
    if (v == Py_None) {
      if (!e.delimited) out.put_byte(0);
    } else {
      if (!enc.known(v) && !check_native(v, enc)) {
        return false;
      }
      if (!sub && !(sub = resolve_handle(e.handle.get()))) return false;
      size_t before = out.len();
      if (!encode_fields(sub, v, enc, depth)) return false;
      if (!e.delimited) out.put_varint(out.len() - before);
    }
    if (!f.packed) out.put_varint(f.tag);
  }
  if (PyList_GET_SIZE(list) != n) return changed_size("list");
  return true;
}

bool encode_list(const FieldSpec& f, PyObject* list, Encoder& enc, uint32_t depth) noexcept {
  if (!PyList_Check(list)) return wrong_type(list, "list");
  const Py_ssize_t n = PyList_GET_SIZE(list);
  if (n == 0) return true;  // no empty LEN record, packed or not
  Out& out = enc.out;
  size_t before = out.len();
  bool ok;
  switch (f.elem.kind) {
    case ElemKind::Scalar:
      switch (f.elem.scalar) {
#define TORVEX_CASE(T)                                \
  case ScalarType::T:                                 \
    ok = scalar_list<ScalarType::T>(f, list, n, out); \
    break;
        TORVEX_SCALAR_TYPES(TORVEX_CASE)
#undef TORVEX_CASE
        default:
          ok = bad_scalar_type();
          break;
      }
      break;
    case ElemKind::Enum:
      ok = enum_list(f, list, n, out);
      break;
    default:
      ok = message_list(f, list, n, enc, depth);
      break;
  }
  if (!ok) return false;
  if (f.packed) {
    out.put_varint(out.len() - before);
    out.put_varint(f.tag);
  }
  return true;
}

// Entries are prepended one by one, so they come out in reverse dict order. Key and value are
// always written, zero values included. PyDict_Next re-validates its position on every call,
// and the size check stops the walk once Python code has added or removed entries.
bool encode_map(const FieldSpec& f, PyObject* dict, Encoder& enc, uint32_t depth) noexcept {
  if (!PyDict_Check(dict)) return wrong_type(dict, "dict");
  const MapEntrySpec& e = *f.map;
  Out& out = enc.out;
  const Py_ssize_t n = PyDict_GET_SIZE(dict);
  Py_ssize_t pos = 0;
  PyObject *k, *v;
  while (PyDict_Next(dict, &pos, &k, &v)) {
    Ref key = Ref::borrow(k);
    Ref value = Ref::borrow(v);
    size_t before = out.len();
    if (!encode_value(e.value, value.get(), enc, depth)) return false;
    out.put_varint(e.value_tag);
    if (!encode_scalar(e.key_type, key.get(), out)) return false;
    out.put_varint(e.key_tag);
    out.put_varint(out.len() - before);
    out.put_varint(f.tag);
    if (PyDict_GET_SIZE(dict) != n) return changed_size("dictionary");
  }
  return true;
}

bool encode_field(const FieldSpec& f, PyObject* v, Encoder& enc, uint32_t depth) noexcept {
  switch (f.kind) {
    case ValueKind::Scalar:
      if (!encode_scalar(f.elem.scalar, v, enc.out)) return false;
      break;
    case ValueKind::Enum:
      if (!put_enum(*f.elem.enum_table.get(), v, enc.out)) return false;
      break;
    case ValueKind::Message:
      if (!encode_message_value(f.elem, v, enc, depth)) return false;
      break;
    case ValueKind::List:
      return encode_list(f, v, enc, depth);
    case ValueKind::Map:
      return encode_map(f, v, enc, depth);
  }
  enc.out.put_varint(f.tag);
  return true;
}

// ---- field selection ----------------------------------------------------------------------

// bool(v), with the builtins that hold field values answered inline.
inline int truth(PyObject* v) noexcept {
  if (v == Py_True) return 1;
  if (v == Py_False || v == Py_None) return 0;
  PyTypeObject* t = Py_TYPE(v);
  if (t == &PyLong_Type) {
    Py_ssize_t c;
    return compact_value(v, &c) ? c != 0 : 1;  // zero is always compact
  }
  if (t == &PyUnicode_Type) return PyUnicode_GET_LENGTH(v) != 0;
  if (t == &PyBytes_Type) return PyBytes_GET_SIZE(v) != 0;
  if (t == &PyList_Type) return PyList_GET_SIZE(v) != 0;
  if (t == &PyDict_Type) return PyDict_GET_SIZE(v) != 0;
  return PyObject_IsTrue(v);
}

// Implicit double/float: skipped only for +0.0, so -0.0 and NaN survive a round trip. The
// conversion is the platform's (its TypeError, not ours, for a str).
inline int double_bits_nonzero(PyObject* v) noexcept {
  double d;
  if (PyFloat_CheckExact(v)) {
    d = PyFloat_AS_DOUBLE(v);
  } else {
    d = PyFloat_AsDouble(v);
    if (d == -1.0 && PyErr_Occurred()) return -1;
  }
  return std::bit_cast<uint64_t>(d) != 0;
}

inline int differs_from_default(const EnumTable& t, PyObject* v) noexcept {
  PyObject* dflt = t.default_member.get();
  if (v == dflt) return 0;
  int eq = PyObject_RichCompareBool(v, dflt, Py_EQ);
  return eq < 0 ? -1 : !eq;
}

// The member's value when the oneof attribute holds an Oneof naming field `f`.
int oneof_value(PyObject* msg, const FieldSpec& f, Ref* out) noexcept {
  Ref attr(f.oneof_accessor.get(msg));
  if (!attr) return -1;
  PyObject* a = attr.get();
  if (a == Py_None || !is_oneof(a)) return 0;
  auto* o = reinterpret_cast<OneofObject*>(a);
  PyObject* value;
  if (o->field == f.local_name_obj.get()) {
    value = o->value;  // the parsers store the schema's own name object
  } else {
    int r = oneof_member(a, f, &value);
    if (r <= 0) return r;
  }
  *out = Ref::borrow(value);  // the Oneof is immutable and still held by `attr` here
  return 1;
}

[[gnu::always_inline]] inline int select_value(PyObject* msg, const FieldSpec& f,
                                               bool emit_implicit, Ref* out) noexcept {
  if (f.in_oneof) return oneof_value(msg, f, out);
  Ref v(f.accessor.get(msg));
  if (!v) return -1;
  const bool implicit = f.presence == Presence::Implicit;
  int r;
  switch (f.kind) {
    case ValueKind::List:
    case ValueKind::Map:
      // Containers have no presence of their own, whatever the descriptor says.
      r = emit_implicit ? 1 : truth(v.get());
      if (r < 0) return -1;
      if (r) *out = std::move(v);
      return r;
    case ValueKind::Message:
      r = v.get() != Py_None || (implicit && emit_implicit);
      break;
    case ValueKind::Scalar:
      if (!implicit) {
        r = presence_test(msg, f.number);
      } else if (emit_implicit) {
        r = 1;
      } else if (f.elem.scalar == ScalarType::Double || f.elem.scalar == ScalarType::Float) {
        r = double_bits_nonzero(v.get());
      } else {
        r = truth(v.get());
      }
      break;
    case ValueKind::Enum:
      if (!implicit) {
        r = presence_test(msg, f.number);
      } else if (emit_implicit) {
        r = 1;
      } else {
        r = differs_from_default(*f.elem.enum_table.get(), v.get());
      }
      break;
    default:
      r = 0;
      break;
  }
  if (r < 0) return -1;
  if (r == 0) return f.presence == Presence::Required ? required_not_set(f) : 0;
  *out = std::move(v);
  return 1;
}

// ---- fast path for plain field values ---------------------------------------------------

// Whether a plain value of type kT is the zero that implicit presence skips (bool(v) false,
// or the +0.0 bit pattern for double and float).
template <ScalarType kT>
inline bool plain_zero(PyObject* v) noexcept {
  using enum ScalarType;
  if constexpr (kT == Double || kT == Float) {
    return std::bit_cast<uint64_t>(PyFloat_AS_DOUBLE(v)) == 0;
  } else if constexpr (kT == Bool) {
    return v == Py_False;
  } else if constexpr (kT == String) {
    return PyUnicode_GET_LENGTH(v) == 0;
  } else if constexpr (kT == Bytes) {
    return PyBytes_GET_SIZE(v) == 0;
  } else {
    Py_ssize_t c;
    return compact_value(v, &c) && c == 0;
  }
}

// A singular scalar whose value is a plain builtin of its own type: the emission test and the
// conversion run no Python code, so the value stays borrowed. 1 handled (written or skipped),
// 0 not a plain value, -1 error.
template <ScalarType kT>
[[gnu::always_inline]] inline int plain_scalar_field(PyObject* msg, const FieldSpec& f, PyObject* v,
                                                     Out& out) noexcept {
  if (!plain_scalar<kT>(v)) return 0;
  if (f.presence == Presence::Implicit) {
    if (plain_zero<kT>(v)) return 1;
  } else if (!presence_test(msg, f.number)) {
    return f.presence == Presence::Required ? required_not_set(f) : 1;
  }
  if (!put_plain<kT>(v, out)) return -1;
  out.put_varint(f.tag);
  return 1;
}

// Ints and enum members compare through int's own ==, which we can answer from the values.
inline bool int_equality(PyObject* v) noexcept {
  return PyLong_Check(v) && Py_TYPE(v)->tp_richcompare == PyLong_Type.tp_richcompare;
}

inline int plain_enum_field(PyObject* msg, const FieldSpec& f, PyObject* v, Out& out) noexcept {
  const EnumTable& t = *f.elem.enum_table.get();
  if (!PyLong_Check(v)) return 0;
  if (f.presence == Presence::Implicit) {
    PyObject* dflt = t.default_member.get();
    if (v == dflt) return 1;
    Py_ssize_t a, b;
    if (!int_equality(v) || !int_equality(dflt) || !compact_value(v, &a) ||
        !compact_value(dflt, &b)) {
      return 0;
    }
    if (a == b) return 1;
  } else if (!presence_test(msg, f.number)) {
    return f.presence == Presence::Required ? required_not_set(f) : 1;
  }
  if (!put_enum(t, v, out)) return -1;
  out.put_varint(f.tag);
  return 1;
}

// The common cases of a field read from a slot, without taking a reference: plain scalars,
// and the skipped empty values of the other kinds. 0 sends the field down the general path.
[[gnu::always_inline]] inline int plain_field(PyObject* msg, const FieldSpec& f, PyObject* v,
                                              Encoder& enc) noexcept {
  if (f.kind == ValueKind::Scalar) {
    switch (f.elem.scalar) {
#define TORVEX_CASE(T) \
  case ScalarType::T:  \
    return plain_scalar_field<ScalarType::T>(msg, f, v, enc.out);
      TORVEX_SCALAR_TYPES(TORVEX_CASE)
#undef TORVEX_CASE
    }
    return 0;  // the general path reports the bad type
  }
  switch (f.kind) {
    case ValueKind::Enum:
      return plain_enum_field(msg, f, v, enc.out);
    case ValueKind::Message:
      if (v != Py_None) return 0;
      return f.presence == Presence::Required ? required_not_set(f) : 1;
    case ValueKind::List:
      return PyList_CheckExact(v) && PyList_GET_SIZE(v) == 0;
    case ValueKind::Map:
      return PyDict_CheckExact(v) && PyDict_GET_SIZE(v) == 0;
    default:
      return 0;
  }
}

// isinstance can be satisfied by __instancecheck__ or a __class__ attribute; the native state
// and the schema's slot offsets need the real layout on top of that.
[[gnu::noinline]] bool check_instance_slow(const MessageMarshaler* m, PyObject* msg) noexcept {
  PyObject* cls = m->cls.get();
  int r = PyObject_IsInstance(msg, cls);
  if (r < 0) return false;
  if (r == 0) {
    raise_fmt(PyExc_TypeError, "expected %S, got '%S'", cls,
              reinterpret_cast<PyObject*>(Py_TYPE(msg)));
    return false;
  }
  if (!is_native_message(msg)) return wrong_type(msg, "NativeMessage");
  return check_layout(msg, m);
}

// The records go through their own buffer, whose content then becomes one payload.
[[gnu::noinline]] bool put_unknown(PyObject* store, Out& out) noexcept {
  ReverseBuffer records;
  if (!write_unknown_records(store, records)) return false;
  Ref data(records.into_bytes());
  if (!data) return false;
  out.put_bytes(PyBytes_AS_STRING(data.get()), static_cast<size_t>(PyBytes_GET_SIZE(data.get())),
                data.get());
  return true;
}

// `msg` is known to be a NativeMessage.
bool encode_fields(const MessageMarshaler* m, PyObject* msg, Encoder& enc,
                   uint32_t depth) noexcept {
  if (depth > MAX_RECURSION_DEPTH) return too_deep();
  if (!Py_IS_TYPE(msg, reinterpret_cast<PyTypeObject*>(m->cls.get())) &&
      !check_instance_slow(m, msg)) {
    return false;
  }
  if (!m->oneofs.empty() && !check_oneofs(m, msg)) return false;
  if (enc.write_unknown) {
    // Written first so that they end up after every known field.
    Ref store = Ref::borrow(get_unknown_fields(msg));
    if (store && PyDict_GET_SIZE(store.get()) != 0 && !put_unknown(store.get(), enc.out)) {
      return false;
    }
  }
  const FieldSpec* first = m->fields.data();
  for (const FieldSpec* f = first + m->fields.size(); f != first;) {
    --f;
    if (f->accessor.is_slot() && !f->in_oneof) {
      PyObject* plain =
          *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(msg) + f->accessor.offset);
      if (plain) {
        int r = plain_field(msg, *f, plain, enc);
        if (r > 0) continue;
        if (r < 0) return false;
      }
    }
    Ref v;
    int r = select_value(msg, *f, false, &v);
    if (r == 0) continue;
    if (r < 0 || !encode_field(*f, v.get(), enc, depth + 1)) return false;
  }
  return true;
}

}  // namespace

int select_field_value(PyObject* msg, const FieldSpec& f, bool emit_implicit, Ref* out) noexcept {
  return select_value(msg, f, emit_implicit, out);
}

bool encode_message(const MessageMarshaler* m, PyObject* msg, ReverseBuffer& buf, uint32_t depth,
                    bool write_unknown_fields) noexcept {
  if (!is_native_message(msg)) {
    // Only the error remains to be chosen: the class mismatch text, else the wrong-type one.
    return depth > MAX_RECURSION_DEPTH ? too_deep() : check_instance_slow(m, msg);
  }
  Encoder enc(write_unknown_fields);
  if (!encode_fields(m, msg, enc, depth)) return false;
  enc.out.move_to(buf);
  return true;
}

PyObject* serialize_message(const MessageMarshaler* m, PyObject* msg,
                            bool write_unknown_fields) noexcept {
  if (!is_native_message(msg)) {
    check_instance_slow(m, msg);
    return nullptr;
  }
  Encoder enc(write_unknown_fields);
  if (!encode_fields(m, msg, enc, 0)) return nullptr;
  return enc.out.take_bytes();
}

}  // namespace torvex
