// Writers of single scalar and enum values, and of lists of them, for the binary encoder: the
// type checks, the exact conversions with their error texts, and the fast paths for plain
// builtins. Every fast path tests the object's exact type before it reads the object's
// internals (a float's header is not a str's). Templates per scalar type live here so that the
// message walk can inline them.
#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cmath>
#include <cstring>

#include "binary/float_bits.h"
#include "binary/serializer_out.h"
#include "binary/wire.h"
#include "core/errors.h"
#include "core/portable.h"
#include "core/python_private.h"
#include "core/ref.h"
#include "message/field_access.h"
#include "schema/descriptor.h"

namespace torvex::encoder {

// ---- error paths (out of line, in serializer_values.cpp: the hot loops only branch to them) --

// OverflowError "value {d} out of range for float32", d in plain decimal.
TORVEX_COLD bool float32_range(double d) noexcept;

TORVEX_COLD bool invalid_enum(const EnumTable& t, long n) noexcept;

TORVEX_COLD bool changed_size(const char* what) noexcept;

// ---- numeric conversions ------------------------------------------------------------------

// What float() takes without parsing text: floats, __float__ and __index__ implementers.
TORVEX_NOINLINE bool to_double_slow(PyObject* v, double* out) noexcept;

inline bool to_double(PyObject* v, double* out) noexcept {
  if (PyFloat_CheckExact(v)) {
    *out = PyFloat_AS_DOUBLE(v);
    return true;
  }
  return to_double_slow(v, out);
}

// ---- values -------------------------------------------------------------------------------

// Rounding to nearest makes exactly the values fits_float32 refuses infinite: one range rule
// for float fields in every codec, at the cost of one test here.
template <class O>
inline bool put_float(double d, O& out) noexcept {
  uint32_t bits;
  if (!float_bits_from_double(d, &bits)) return float32_range(d);
  out.put_fixed32(bits);
  return true;
}

template <class O>
TORVEX_ALWAYS_INLINE inline void put_len_bytes(const char* s, Py_ssize_t n, PyObject* owner,
                                               O& out) noexcept {
  out.put_bytes(s, static_cast<size_t>(n), owner);
  out.put_varint(static_cast<uint64_t>(n));
}

// One scalar of type kT without its tag.
template <ScalarType kT, class O>
TORVEX_ALWAYS_INLINE inline bool put_scalar(PyObject* v, O& out) noexcept {
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
      return fail_expected("bool", v);
    }
    return true;
  } else if constexpr (kT == String) {
    // The type check comes first: the ASCII flag is only meaningful in a str's header.
    if (!PyUnicode_Check(v)) return fail_expected("string", v);
    if (PyUnicode_CheckExact(v) && PyUnicode_IS_COMPACT_ASCII(v)) {
      put_len_bytes(static_cast<const char*>(PyUnicode_DATA(v)), PyUnicode_GET_LENGTH(v), v, out);
      return true;
    }
    Py_ssize_t n;
    const char* s = PyUnicode_AsUTF8AndSize(v, &n);
    if (!s) return false;
    put_len_bytes(s, n, v, out);
    return true;
  } else if constexpr (kT == Bytes) {
    if (!PyBytes_Check(v)) return fail_expected("bytes", v);
    put_len_bytes(PyBytes_AS_STRING(v), PyBytes_GET_SIZE(v), v, out);
    return true;
  } else {
    if (!is_int(v)) return fail_expected("int", v);
    if constexpr (kT == Int64) {
      int64_t n = 0;
      if (!to_i64(v, &n)) return fail_out_of_range(v, "int64");
      out.put_varint(static_cast<uint64_t>(n));
    } else if constexpr (kT == Uint64) {
      uint64_t n = 0;
      if (!to_u64(v, &n)) return fail_out_of_range(v, "uint64");
      out.put_varint(n);
    } else if constexpr (kT == Int32) {
      int64_t n = 0;
      if (!to_i64(v, &n) || n < INT32_MIN || n > INT32_MAX) return fail_out_of_range(v, "int32");
      out.put_varint(static_cast<uint64_t>(n));  // negative values take all 10 bytes
    } else if constexpr (kT == Uint32) {
      int64_t n = 0;
      if (!to_i64(v, &n) || n < 0 || n > UINT32_MAX) return fail_out_of_range(v, "uint32");
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

// The value of an exact int of at most two digits (three for uint64 and fixed64) when it lies in
// the range of integer type kT; false sends it to the general conversion, which words the error.
template <ScalarType kT>
TORVEX_ALWAYS_INLINE inline bool int_in_range(PyObject* v, int64_t* c) noexcept {
  using enum ScalarType;
  if constexpr (kT == Uint64 || kT == Fixed64) {
    uint64_t u;
    if (!u64_digits(v, &u)) return false;
    *c = static_cast<int64_t>(u);  // int_bits gives the bits back
    return true;
  }
  if (!two_digit_value(v, c)) return false;
  if constexpr (kT == Int32 || kT == Sint32 || kT == Sfixed32) {
    return *c >= INT32_MIN && *c <= INT32_MAX;
  } else if constexpr (kT == Uint32 || kT == Fixed32) {
    return *c >= 0 && *c <= UINT32_MAX;
  } else {
    return true;
  }
}

// The wire integer of an in-range value: the bits of a fixed-width value, the varint value
// otherwise (sign-extended for int32 and int64).
template <ScalarType kT>
constexpr uint64_t int_bits(int64_t c) noexcept {
  using enum ScalarType;
  if constexpr (kT == Sint32) return zigzag32(static_cast<int32_t>(c));
  if constexpr (kT == Sint64) return zigzag64(c);
  if constexpr (kT == Fixed32 || kT == Sfixed32) return static_cast<uint32_t>(c);
  return static_cast<uint64_t>(c);
}

// Writes a value that passed plain_scalar<kT>, without the general type checks.
template <ScalarType kT, class O>
TORVEX_ALWAYS_INLINE inline bool put_plain(PyObject* v, O& out) noexcept {
  using enum ScalarType;
  if constexpr (kT == Double) {
    out.put_fixed64(std::bit_cast<uint64_t>(PyFloat_AS_DOUBLE(v)));
  } else if constexpr (kT == Float) {
    return put_float(PyFloat_AS_DOUBLE(v), out);
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
    // Other exact ints take the full conversion, which runs no Python code for them either.
    int64_t c;
    if (!int_in_range<kT>(v, &c)) return put_scalar<kT>(v, out);
    if constexpr (kT == Fixed64 || kT == Sfixed64) {
      out.put_fixed64(int_bits<kT>(c));
    } else if constexpr (kT == Fixed32 || kT == Sfixed32) {
      out.put_fixed32(static_cast<uint32_t>(int_bits<kT>(c)));
    } else {
      out.put_varint(int_bits<kT>(c));
    }
  }
  return true;
}

TORVEX_COLD bool bad_scalar_type() noexcept;

// Instantiated in serializer_values.cpp for both outputs (Out and CountOut).
template <class O>
bool encode_scalar(ScalarType t, PyObject* v, O& out) noexcept;

// Enum numbers of ints and int subclasses (enum members) are read without running Python
// code; anything else goes through the platform conversion, __index__ included.
template <class O>
inline bool put_enum(const EnumTable& t, PyObject* v, O& out) noexcept {
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

// Prepends the varint of v in front of p.
TORVEX_ALWAYS_INLINE inline uint8_t* varint_before(uint8_t* p, uint64_t v) noexcept {
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

// The shape of a varint of 2 to 8 bytes by the bit width of its value: its length, the
// continuation bits of all but its last byte, and how far its word is shifted up so that the
// varint ends the 8-byte word stored in front of the write position.
struct VarintShape {
  uint64_t more;
  uint32_t len;
  uint32_t shift;
};
inline constexpr auto kVarintShapes = [] {
  std::array<VarintShape, 65> t{};
  for (uint32_t bits = 1; bits <= 64; ++bits) {
    auto n = static_cast<uint32_t>(varint_size(uint64_t{1} << (bits - 1)));
    uint32_t held = std::min<uint32_t>(n, 8);
    t[bits] = {0x0080808080808080u >> ((8 - held) * 8), n, (8 - held) * 8};
  }
  return t;
}();

// The 7-bit groups of the low 56 bits of v, one per byte.
TORVEX_ALWAYS_INLINE constexpr uint64_t spread7(uint64_t v) noexcept {
  uint64_t x = (v & 0x000000000FFFFFFFu) | ((v & 0x00FFFFFFF0000000u) << 4);
  x = (x & 0x00003FFF00003FFFu) | ((x & 0x0FFFC0000FFFC000u) << 2);
  return (x & 0x007F007F007F007Fu) | ((x & 0x3F803F803F803F80u) << 1);
}

// Prepends the varint of v in front of p without a loop or a branch on its size, for the
// mixed sizes of packed lists: the groups are spread into bytes, marked from a table by bit
// width, and stored as one 8-byte word whose unused bytes fall into the room in front of p
// (the caller guarantees 8 bytes of it). Single bytes keep their shortcut (lists of small
// numbers predict it well), and values of 57 bits and more (negative int32/int64) take one more
// branch for their top one or two bytes.
template <size_t kMaxLen = 10>
TORVEX_ALWAYS_INLINE inline uint8_t* varint_before_wide(uint8_t* p, uint64_t v) noexcept {
  if constexpr (std::endian::native != std::endian::little) {
    return varint_before(p, v);
  } else {
    if (v < 0x80) {
      *--p = static_cast<uint8_t>(v);
      return p;
    }
    const VarintShape& s = kVarintShapes[std::bit_width(v | 1)];
    if (kMaxLen > 8 && s.len > 8) [[unlikely]] {
      uint64_t top = v >> 56;
      if (top >= 0x80) *--p = static_cast<uint8_t>(top >> 7);
      *--p = static_cast<uint8_t>(top) | (top >= 0x80 ? 0x80 : 0);
      uint64_t x = spread7(v) | 0x8080808080808080u;
      std::memcpy(p - 8, &x, 8);
      return p - 8;
    }
    uint64_t x = (spread7(v) | s.more) << s.shift;
    std::memcpy(p - 8, &x, 8);
    return p - s.len;
  }
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
TORVEX_ALWAYS_INLINE inline bool plain_bits(PyObject* v, uint64_t* bits) noexcept {
  using enum ScalarType;
  if constexpr (kT == Double || kT == Float) {
    if (!PyFloat_CheckExact(v)) return false;
    double d = PyFloat_AS_DOUBLE(v);
    if constexpr (kT == Double) {
      *bits = std::bit_cast<uint64_t>(d);
    } else {
      uint32_t x;
      if (!float_bits_from_double(d, &x)) return false;
      *bits = x;
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
    int64_t c;
    if (!PyLong_CheckExact(v) || !int_in_range<kT>(v, &c)) return false;
    *bits = int_bits<kT>(c);
    return true;
  }
}

// Four one-byte varints at once: items[0 .. 4) when all four are one-digit ints whose wire
// values are below 0x80, stored as one word in front of p. Lists of small numbers, the common
// case, then cost one test per four elements instead of one per element. The types are tested
// before any int's digits are read.
template <ScalarType kT>
TORVEX_ALWAYS_INLINE inline bool small_quad(PyObject* const* items, uint8_t*& p) noexcept {
  if constexpr (std::endian::native != std::endian::little) {
    return false;
  } else {
    auto* a = reinterpret_cast<PyLongObject*>(items[0]);
    auto* b = reinterpret_cast<PyLongObject*>(items[1]);
    auto* c = reinterpret_cast<PyLongObject*>(items[2]);
    auto* d = reinterpret_cast<PyLongObject*>(items[3]);
    PyTypeObject* t = &PyLong_Type;
    if (!(Py_IS_TYPE(a, t) & Py_IS_TYPE(b, t) & Py_IS_TYPE(c, t) & Py_IS_TYPE(d, t))) return false;
    if (!(PyUnstable_Long_IsCompact(a) & PyUnstable_Long_IsCompact(b) &
          PyUnstable_Long_IsCompact(c) & PyUnstable_Long_IsCompact(d))) {
      return false;
    }
    uint64_t va = int_bits<kT>(PyUnstable_Long_CompactValue(a));
    uint64_t vb = int_bits<kT>(PyUnstable_Long_CompactValue(b));
    uint64_t vc = int_bits<kT>(PyUnstable_Long_CompactValue(c));
    uint64_t vd = int_bits<kT>(PyUnstable_Long_CompactValue(d));
    if ((va | vb | vc | vd) >= 0x80) return false;  // negative values and unsigned types too
    auto w = static_cast<uint32_t>(va | (vb << 8) | (vc << 16) | (vd << 24));
    p -= 4;
    std::memcpy(p, &w, 4);
    return true;
  }
}

// Writes the plain elements of a packed varint list back to front from items[i - 1] down to
// items[stop]; returns the index after the last element written (stop when all were).
template <ScalarType kT>
TORVEX_ALWAYS_INLINE inline Py_ssize_t packed_varint_run(PyObject* const* items, Py_ssize_t i,
                                                         Py_ssize_t stop, uint8_t*& p) noexcept {
  uint64_t bits;
  while (i - stop >= 4) {
    if (small_quad<kT>(items + i - 4, p)) {
      i -= 4;
      continue;
    }
    // Longer values: the next sixteen one at a time, then four at once again, so that rows of
    // wide values pay for a failed test once per sixteen elements.
    for (Py_ssize_t until = std::max(stop, i - 16); i > until; --i) {
      if (!plain_bits<kT>(items[i - 1], &bits)) return i;
      p = varint_before_wide<max_width<kT>()>(p, bits);
    }
  }
  while (i > stop && plain_bits<kT>(items[i - 1], &bits)) {
    p = varint_before_wide<max_width<kT>()>(p, bits);
    --i;
  }
  return i;
}

// number_list for byte_size: the same checks, with sizes summed instead of bytes written.
template <ScalarType kT, class O>
bool count_number_list(const FieldSpec& f, PyObject* list, Py_ssize_t n, O& out,
                       Py_ssize_t& at) noexcept {
  constexpr bool kFixed = max_width<kT>() == 4 || max_width<kT>() == 8;
  const size_t tag_size = f.packed ? 0 : varint_size(f.tag);
  size_t total = 0;
  for (Py_ssize_t i = n; i-- > 0;) {
    PyObject* item = PyList_GET_ITEM(list, i);
    uint64_t bits;
    if (plain_bits<kT>(item, &bits)) {
      total += kFixed ? max_width<kT>() : varint_size(bits);
    } else {
      Ref hold = Ref::borrow(item);
      at = i;
      if (!put_scalar<kT>(hold.get(), out)) return false;
      if (PyList_GET_SIZE(list) != n) return changed_size("list");
    }
    total += tag_size;
  }
  out.commit(total);
  return true;
}

// Elements are fetched by index at every step. Plain builtins are converted while borrowed;
// any other element is held while it is converted, and the list is checked for size changes
// afterwards (the next index must still exist).
//
// Runs of plain numbers are written straight into the staging block, as many per round as
// it surely has room for, so the write position stays in a register.
template <ScalarType kT>
bool write_number_list(const FieldSpec& f, PyObject* list, Py_ssize_t n, Out& out,
                       Py_ssize_t& at) noexcept {
  constexpr size_t kWidth = max_width<kT>();
  constexpr bool kFixed = kT == ScalarType::Double || kT == ScalarType::Float ||
                          kT == ScalarType::Fixed64 || kT == ScalarType::Fixed32 ||
                          kT == ScalarType::Sfixed64 || kT == ScalarType::Sfixed32;
  const bool tagged = !f.packed;
  const uint32_t tag = f.tag;
  // Varints are stored as whole 8-byte words (varint_before_wide), which need that much room.
  const size_t per = (kFixed ? kWidth : std::max<size_t>(kWidth, 8)) + (tagged ? 5 : 0);
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
    if constexpr (!kFixed && kT != ScalarType::Bool) {
      if (!tagged) i = packed_varint_run<kT>(items, i, stop, p);
    }
    // Instantiated with and without tags, so that a packed run tests nothing but its elements.
    auto run = [&]<bool kTagged>() {
      while (i > stop && plain_bits<kT>(items[i - 1], &bits)) {
        if constexpr (kFixed) {
          p -= kWidth;
          if constexpr (kWidth == 8) {
            if constexpr (std::endian::native == std::endian::big) bits = byte_swap64(bits);
            std::memcpy(p, &bits, 8);
          } else {
            auto b32 = static_cast<uint32_t>(bits);
            if constexpr (std::endian::native == std::endian::big) b32 = byte_swap32(b32);
            std::memcpy(p, &b32, 4);
          }
        } else if constexpr (kT == ScalarType::Bool) {
          *--p = static_cast<uint8_t>(bits);
        } else {
          p = varint_before_wide(p, bits);
        }
        if constexpr (kTagged) p = varint_before(p, tag);
        --i;
      }
    };
    if (tagged) {
      run.template operator()<true>();
    } else {
      run.template operator()<false>();
    }
    out.commit(static_cast<size_t>(start - p));
    if (i > stop) {
      Ref hold = Ref::borrow(items[--i]);
      at = i;
      if (!put_scalar<kT>(hold.get(), out)) return false;
      if (tagged) out.put_varint(tag);
      if (PyList_GET_SIZE(list) != n) return changed_size("list");
    }
  }
  return true;
}

template <ScalarType kT, class O>
bool number_list(const FieldSpec& f, PyObject* list, Py_ssize_t n, O& out,
                 Py_ssize_t& at) noexcept {
  if constexpr (O::kCounting) {
    return count_number_list<kT>(f, list, n, out, at);
  } else {
    return write_number_list<kT>(f, list, n, out, at);
  }
}

// Strings and bytes.
template <ScalarType kT, class O>
bool scalar_list(const FieldSpec& f, PyObject* list, Py_ssize_t n, O& out,
                 Py_ssize_t& at) noexcept {
  if constexpr (kT != ScalarType::String && kT != ScalarType::Bytes) {
    return number_list<kT>(f, list, n, out, at);
  } else {
    for (Py_ssize_t i = n; i-- > 0;) {
      PyObject* item = PyList_GET_ITEM(list, i);
      if (plain_scalar<kT>(item)) {
        if (!put_plain<kT>(item, out)) {
          at = i;
          return false;
        }
      } else {
        Ref hold = Ref::borrow(item);
        at = i;
        if (!put_scalar<kT>(item, out)) return false;
        if (PyList_GET_SIZE(list) != n) return changed_size("list");
      }
      if (!f.packed) out.put_varint(f.tag);
    }
    return true;
  }
}

template <class O>
bool enum_list(const FieldSpec& f, PyObject* list, Py_ssize_t n, O& out, Py_ssize_t& at) noexcept;

// encode_message_value unrolled into the loop, with the handle resolved at the first element

}  // namespace torvex::encoder
