#include "binary/serializer_values.h"

#include <charconv>
#include <string_view>

#include "core/portable.h"

namespace torvex::encoder {

// ---- error paths (out of line: the hot loop only branches to them) -----------------------

// The double is shown in plain decimal with its shortest round-trip digits, so 1e39 reads as a 1
// followed by 39 zeros. (Fixed-format to_chars would print every digit of the exact binary
// value instead: 999999999999999939709166371603178586112.) Only finite doubles beyond the
// float32 range get here, so the value is an integer with at most 17 significant digits.
TORVEX_COLD bool float32_range(double d) noexcept {
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

TORVEX_COLD bool invalid_enum(const EnumTable& t, long n) noexcept {
  raise_fmt(PyExc_ValueError, "invalid enum value %ld for enum '%S'", n, t.type_name.get());
  return false;
}

TORVEX_COLD bool changed_size(const char* what) noexcept {
  raise_fmt(PyExc_RuntimeError, "%s changed size during encoding", what);
  return false;
}

// What float() takes without parsing text: floats, __float__ and __index__ implementers.
TORVEX_NOINLINE bool to_double_slow(PyObject* v, double* out) noexcept {
  if (!PyFloat_Check(v)) {
    PyNumberMethods* nb = Py_TYPE(v)->tp_as_number;
    if (!nb || (!nb->nb_float && !nb->nb_index)) return fail_expected("float", v);
  }
  double d = PyFloat_AsDouble(v);
  if (d == -1.0 && PyErr_Occurred()) return false;
  *out = d;
  return true;
}

TORVEX_COLD bool bad_scalar_type() noexcept {
  raise_internal("invalid scalar type in schema");
  return false;
}

template <class O>
bool encode_scalar(ScalarType t, PyObject* v, O& out) noexcept {
  switch (t) {
#define TORVEX_CASE(T) \
  case ScalarType::T:  \
    return put_scalar<ScalarType::T>(v, out);
    TORVEX_SCALAR_TYPES(TORVEX_CASE)
#undef TORVEX_CASE
  }
  return bad_scalar_type();
}

template <class O>
bool enum_list(const FieldSpec& f, PyObject* list, Py_ssize_t n, O& out, Py_ssize_t& at) noexcept {
  const EnumTable& t = *f.elem.enum_table.get();
  for (Py_ssize_t i = n; i-- > 0;) {
    PyObject* item = PyList_GET_ITEM(list, i);
    at = i;
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

template bool encode_scalar<Out>(ScalarType, PyObject*, Out&) noexcept;
template bool encode_scalar<CountOut>(ScalarType, PyObject*, CountOut&) noexcept;
template bool enum_list<Out>(const FieldSpec&, PyObject*, Py_ssize_t, Out&, Py_ssize_t&) noexcept;
template bool enum_list<CountOut>(const FieldSpec&, PyObject*, Py_ssize_t, CountOut&,
                                  Py_ssize_t&) noexcept;

}  // namespace torvex::encoder
