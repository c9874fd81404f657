// Native conversions of the JSON parser that do not depend on the source: integers from text,
// range checks, floats from text, bytes from base64, and the error texts with the field suffix.
#include "json/json_scalars.h"

#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstring>

#include "core/base64.h"
#include "core/float_parse.h"
#include "core/memory.h"
#include "core/portable.h"

namespace torvex {

// Raises `exc` with the formatted text followed by the field (or extension) suffix.
TORVEX_COLD bool raise_conv(PyObject* exc, const FieldContext& ctx, const char* fmt, ...) noexcept {
  va_list va;
  va_start(va, fmt);
  Ref msg(PyUnicode_FromFormatV(fmt, va));
  va_end(va);
  if (!msg) return false;
  Ref full;
  if (ctx.field) {
    full = Ref(PyUnicode_FromFormat("%U for field %s.%U", msg.get(), ctx.message->full_name.c_str(),
                                    ctx.field->proto_name.get()));
  } else if (ctx.extension) {
    full = Ref(PyUnicode_FromFormat("%U for extension %S", msg.get(), ctx.extension));
  } else {
    full = std::move(msg);
  }
  if (full) PyErr_SetObject(exc, full.get());
  return false;
}

// ---- integers -------------------------------------------------------------------------------

// Moves a Python int into `out`, native when it fits.
bool int_from_object(Ref v, IntVal* out) noexcept {
  if (!v) return false;
  int overflow = 0;
  long long i = PyLong_AsLongLongAndOverflow(v.get(), &overflow);
  if (i == -1 && PyErr_Occurred()) return false;
  out->small = !overflow;
  out->i = i;
  if (overflow) out->big = std::move(v);
  return true;
}

bool int_from_double(double d, IntVal* out) noexcept {
  if (d > -9.2e18 && d < 9.2e18) {
    out->small = true;
    out->i = static_cast<int64_t>(d);
    return true;
  }
  return int_from_object(Ref(PyLong_FromDouble(d)), out);
}

namespace {

inline bool ascii_space(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// A decimal floating-point text as Python's float() reads it, without underscores: sign, digits,
// fraction, exponent, or inf/infinity/nan in any case. Non-ASCII text never parses.
bool parse_float_text(std::string_view s, double* out) noexcept {
  if (s.empty() || ascii_space(s.front()) || ascii_space(s.back())) return false;
  if (fast_decimal_to_double(s.data(), s.size(), out)) return true;
  char small[64];
  RVec<char> large;
  char* buf = small;
  if (s.size() >= sizeof small) {
    large.resize(s.size() + 1);
    buf = large.data();
  }
  std::memcpy(buf, s.data(), s.size());
  buf[s.size()] = '\0';
  char* end = nullptr;
  double d = PyOS_string_to_double(buf, &end, nullptr);
  if (d == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  if (end != buf + s.size()) return false;
  *out = d;
  return true;
}

}  // namespace

// The string form of an integer: int(text, 10), else a float with no fractional part.
bool int_from_text_slow(std::string_view s, const FieldContext& ctx, IntVal* out) noexcept {
  Ref text(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict"));
  if (!text) return false;
  Py_ssize_t len = PyUnicode_GET_LENGTH(text.get());
  if (len == 0 || Py_UNICODE_ISSPACE(PyUnicode_READ_CHAR(text.get(), 0)) ||
      Py_UNICODE_ISSPACE(PyUnicode_READ_CHAR(text.get(), len - 1))) {
    return raise_conv(PyExc_ValueError, ctx, "invalid integer value: %U", text.get());
  }
  Ref v(PyLong_FromUnicodeObject(text.get(), 10));
  if (v) return int_from_object(std::move(v), out);
  if (!PyErr_ExceptionMatches(PyExc_ValueError)) return false;
  PyErr_Clear();
  double d;
  if (parse_float_text(s, &d) && std::isfinite(d) && d == std::floor(d)) {
    return int_from_double(d, out);
  }
  return raise_conv(PyExc_ValueError, ctx, "invalid integer value: '%U'", text.get());
}

namespace {

// Range of the integer scalar types, by the name the error texts use.
struct IntRange {
  int64_t lo;
  uint64_t hi;
  const char* name;
};

IntRange range_of(ScalarType t) noexcept {
  switch (t) {
    case ScalarType::Int32:
    case ScalarType::Sint32:
    case ScalarType::Sfixed32:
      return {INT32_MIN, INT32_MAX, "int32"};
    case ScalarType::Uint32:
    case ScalarType::Fixed32:
      return {0, UINT32_MAX, "uint32"};
    case ScalarType::Uint64:
    case ScalarType::Fixed64:
      return {0, UINT64_MAX, "uint64"};
    default:
      return {INT64_MIN, INT64_MAX, "int64"};
  }
}

}  // namespace

bool check_range_slow(IntVal& v, ScalarType t, const FieldContext& ctx) noexcept {
  IntRange r = range_of(t);
  if (v.small) {
    if (v.i >= r.lo && (v.i < 0 || static_cast<uint64_t>(v.i) <= r.hi)) return true;
    return raise_conv(PyExc_OverflowError, ctx, "value %lld out of range for %s",
                      static_cast<long long>(v.i), r.name);
  }
  if (r.hi == UINT64_MAX) {
    PyLong_AsUnsignedLongLong(v.big.get());
    if (!PyErr_Occurred()) return true;
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
    PyErr_Clear();
  }
  return raise_conv(PyExc_OverflowError, ctx, "value %S out of range for %s", v.big.get(), r.name);
}

// ---- floats ---------------------------------------------------------------------------------

TORVEX_COLD bool raise_float_range(double d, const FieldContext& ctx) noexcept {
  // The shortest round-trip digits written out in positional form; values this large are
  // integers, so the digits are followed by zeros only.
  char sci[64];
  auto r = std::to_chars(sci, sci + sizeof sci - 1, d, std::chars_format::scientific);
  *r.ptr = '\0';
  char* e = std::strchr(sci, 'e');
  int exp = e ? std::atoi(e + 1) : 0;
  char out[400];
  size_t n = 0, digits = 0;
  for (const char* p = sci; p < (e ? e : r.ptr); ++p) {
    if (*p == '-' || (*p >= '0' && *p <= '9')) {
      out[n++] = *p;
      digits += *p != '-';
    }
  }
  for (int i = static_cast<int>(digits); i <= exp && n < sizeof out - 1; ++i) out[n++] = '0';
  out[n] = '\0';
  return raise_conv(PyExc_OverflowError, ctx, "float value out of range: %s", out);
}

TORVEX_COLD bool raise_not_finite(const FieldContext& ctx) noexcept {
  return raise_conv(PyExc_ValueError, ctx, "unexpected infinite/NaN number");
}

bool float_from_text(std::string_view s, const FieldContext& ctx, double* out) noexcept {
  if (s == "NaN") {
    *out = std::nan("");
    return true;
  }
  if (s == "Infinity" || s == "-Infinity") {
    *out = s[0] == '-' ? -HUGE_VAL : HUGE_VAL;
    return true;
  }
  if (!parse_float_text(s, out)) {
    Ref text(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
    if (!text) return false;
    return raise_conv(PyExc_ValueError, ctx, "invalid float/double value: %U", text.get());
  }
  return std::isfinite(*out) || raise_not_finite(ctx);
}

// ---- bytes ----------------------------------------------------------------------------------

int try_bytes_from_base64(std::string_view s, PyObject** out) noexcept {
  const size_t n = base64_decoded_length(s.data(), s.size());
  Ref bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n)));
  if (!bytes) return -1;
  size_t written;
  if (!base64_decode(s.data(), s.size(), reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes.get())),
                     &written))
    return 0;
  *out = bytes.release();
  return 1;
}

PyObject* bytes_from_base64(std::string_view s, const FieldContext& ctx) noexcept {
  PyObject* out;
  int r = try_bytes_from_base64(s, &out);
  if (r > 0) return out;
  if (r == 0) raise_conv(PyExc_ValueError, ctx, "invalid base64 data");
  return nullptr;
}

}  // namespace torvex
