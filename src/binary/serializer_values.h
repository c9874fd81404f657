// Writers of single scalar and enum values, and of lists of them, for the binary encoder: the
// type checks, the exact conversions with their error texts, and the fast paths for plain
// builtins. Every fast path tests the object's exact type before it reads the object's
// internals (a float's header is not a str's). Templates per scalar type live here so that the
// message walk can inline them.
#pragma once

#include <Python.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstring>

#include "binary/float_bits.h"
#include "binary/serializer_out.h"
#include "binary/wire.h"
#include "core/errors.h"
#include "core/portable.h"
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

// Prepends the varint of v in front of p without a loop or a branch on its size, for the
// mixed sizes of packed lists: the 7-bit groups of the low 56 bits are spread into bytes by
// three mask-and-shift steps and stored as one 8-byte word, shifted so that its unused bytes
// fall into the room in front of p (the caller guarantees 8 bytes of it). Single bytes keep
// their shortcut (lists of small numbers predict it well), and values of 57 bits and more
// (negative int32/int64) take one more branch for their top one or two bytes.
TORVEX_ALWAYS_INLINE inline uint8_t* varint_before_wide(uint8_t* p, uint64_t v) noexcept {
  if constexpr (std::endian::native != std::endian::little) {
    return varint_before(p, v);
  } else {
    if (v < 0x80) {
      *--p = static_cast<uint8_t>(v);
      return p;
    }
    size_t n = varint_size(v);
    uint64_t more = 0x0080808080808080u >> ((8 - std::min<size_t>(n, 8)) * 8);
    if (n > 8) [[unlikely]] {
      uint64_t top = v >> 56;
      if (top >= 0x80) *--p = static_cast<uint8_t>(top >> 7);
      *--p = static_cast<uint8_t>(top) | (top >= 0x80 ? 0x80 : 0);
      v &= (uint64_t{1} << 56) - 1;
      more = 0x8080808080808080u;
      n = 8;
    }
    uint64_t x = (v & 0x000000000FFFFFFFu) | ((v & 0x00FFFFFFF0000000u) << 4);
    x = (x & 0x00003FFF00003FFFu) | ((x & 0x0FFFC0000FFFC000u) << 2);
    x = (x & 0x007F007F007F007Fu) | ((x & 0x3F803F803F803F80u) << 1);
    x = (x | more) << ((8 - n) * 8);
    std::memcpy(p - 8, &x, 8);
    return p - n;
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

template <ScalarType kT, class O>
bool number_list(const FieldSpec& f, PyObject* list, Py_ssize_t n, O& out,
                 Py_ssize_t& at) noexcept {
  if constexpr (O::kCounting) return count_number_list<kT>(f, list, n, out, at);
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
      if (tagged) p = varint_before(p, tag);
      --i;
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
