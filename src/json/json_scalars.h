// Native conversions of the JSON parser that do not depend on the source (see json_parse.h):
// integers from text and their ranges, floats from text, bytes from base64, and raising the
// conversion errors with their " for field ..." suffix.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>

#include "core/portable.h"
#include "core/ref.h"
#include "schema/descriptor.h"

namespace torvex {

// Where a value is being read, for the " for field <message>.<name>" suffix of conversion errors.
struct FieldContext {
  const MessageMarshaler* message = nullptr;
  const FieldSpec* field = nullptr;  // or:
  PyObject* extension = nullptr;     // the extension's full name (" for extension <name>")
};

// Raises `exc` with the formatted text (PyUnicode_FromFormat codes) followed by the suffix of
// `ctx`. Returns false.
TORVEX_COLD bool raise_conv(PyObject* exc, const FieldContext& ctx, const char* fmt, ...) noexcept;

// An integer being converted: native while it fits in int64, else an exact Python int.
struct IntVal {
  bool small = true;
  int64_t i = 0;
  Ref big;
  Ref exact;  // the source's own int object for a small value, reused as the result
};

// Moves a Python int into `out`, native when it fits (false with an error, also for null).
bool int_from_object(Ref v, IntVal* out) noexcept;
// A finite double without fractional part.
bool int_from_double(double d, IntVal* out) noexcept;

inline PyObject* int_object(IntVal& v) noexcept {
  if (!v.small) return v.big.release();
  return v.exact ? v.exact.release() : PyLong_FromLongLong(v.i);
}

// The string form of an integer through Python's int(), then as a float without fraction.
bool int_from_text_slow(std::string_view s, const FieldContext& ctx, IntVal* out) noexcept;

// Plain decimal digits (at most 20, optional "-") convert natively; anything else goes through
// Python's int().
inline bool int_from_text(std::string_view s, const FieldContext& ctx, IntVal* out) noexcept {
  const bool neg = !s.empty() && s[0] == '-';
  const size_t nd = s.size() - neg;
  if (nd >= 1 && nd <= 20) {
    uint64_t v = 0;
    for (size_t i = neg; i < s.size(); ++i) {
      unsigned d = static_cast<unsigned char>(s[i]) - '0';
      if (d > 9 || !mul_add_fits(v, 10, d, &v)) return int_from_text_slow(s, ctx, out);
    }
    if (neg ? v <= (uint64_t{1} << 63) : v <= static_cast<uint64_t>(INT64_MAX)) {
      out->small = true;
      out->i = neg ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
      return true;
    }
    if (!neg) return int_from_object(Ref(PyLong_FromUnsignedLongLong(v)), out);
  }
  return int_from_text_slow(s, ctx, out);
}

// The range check of an integer scalar type: OverflowError "value {} out of range for {}".
bool check_range_slow(IntVal& v, ScalarType t, const FieldContext& ctx) noexcept;
inline bool check_range(IntVal& v, ScalarType t, const FieldContext& ctx) noexcept {
  // Native values that fit, the usual case, are settled here without a call.
  if (v.small) {
    switch (t) {
      case ScalarType::Int32:
      case ScalarType::Sint32:
      case ScalarType::Sfixed32:
        if (v.i >= INT32_MIN && v.i <= INT32_MAX) return true;
        break;
      case ScalarType::Uint32:
      case ScalarType::Fixed32:
        if (v.i >= 0 && v.i <= UINT32_MAX) return true;
        break;
      case ScalarType::Uint64:
      case ScalarType::Fixed64:
        if (v.i >= 0) return true;
        break;
      default:
        return true;
    }
  }
  return check_range_slow(v, t, ctx);
}

// OverflowError "float value out of range: {}" with the value in plain digits.
TORVEX_COLD bool raise_float_range(double d, const FieldContext& ctx) noexcept;
// ValueError "unexpected infinite/NaN number".
TORVEX_COLD bool raise_not_finite(const FieldContext& ctx) noexcept;

// A float or double field's string: NaN/Infinity/-Infinity or decimal text; non-finite fails.
bool float_from_text(std::string_view s, const FieldContext& ctx, double* out) noexcept;

// A bytes field's string, in either base64 alphabet (new reference).
PyObject* bytes_from_base64(std::string_view s, const FieldContext& ctx) noexcept;
// The same without raising for text that does not decode: 1 with a new bytes object in *out,
// 0 when `s` is not base64, -1 with an exception set when memory ran out.
int try_bytes_from_base64(std::string_view s, PyObject** out) noexcept;

}  // namespace torvex
