// The text format writer. Field selection (presence, oneofs, implicit zeros) is the binary
// serializer's; this module decides names, order and value forms.
//
// Fields come in number order, extensions known to the registry interleaved by number, then
// unknown fields. Python code can run during the walk (__float__, registry calls), so values
// are held by references of their own while they are written.
#include "text/text_writer.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <string_view>

#include "binary/parser.h"
#include "binary/serializer.h"
#include "binary/wire.h"
#include "core/args.h"
#include "core/errors.h"
#include "core/limits.h"
#include "core/number_text.h"
#include "core/portable.h"
#include "message/field_access.h"
#include "message/instance.h"
#include "message/oneof.h"
#include "text/text_escape.h"

namespace torvex {

size_t format_float32(float f, char* out) noexcept {
  // Fewer than six digits are never tried: text_format starts at six, which is what makes
  // 1e-45f print as 1.4013e-45.
  char digits[40];
  double r = f;
  for (int precision = 6; precision <= 9; ++precision) {
    char* end = std::to_chars(digits, digits + sizeof(digits), static_cast<double>(f),
                              std::chars_format::scientific, precision - 1)
                    .ptr;
    std::from_chars(digits, end, r);
    if (static_cast<float>(r) == f) break;
  }
  return format_double(r, out);
}

namespace {

// The output text with its layout: one field per line indented by two spaces per level, or all
// on one line separated by spaces (the trailing space is dropped at the end).
class TextOut {
 public:
  explicit TextOut(bool one_line) noexcept : one_line_(one_line) {}

  void name(std::string_view n) {
    if (!one_line_) buf_.append(2 * level_, ' ');
    buf_.append(n);
  }
  void bracketed(std::string_view n) {
    if (!one_line_) buf_.append(2 * level_, ' ');
    buf_.push_back('[');
    buf_.append(n);
    buf_.push_back(']');
  }
  void colon() { buf_.append(": ", 2); }
  void end_field() { buf_.push_back(one_line_ ? ' ' : '\n'); }
  void open() {
    buf_.append(" {", 2);
    end_field();
    ++level_;
  }
  void close() {
    --level_;
    if (!one_line_) buf_.append(2 * level_, ' ');
    buf_.push_back('}');
    end_field();
  }
  void raw(std::string_view s) { buf_.append(s); }
  void raw(const char* s, size_t n) { buf_.append(s, n); }
  RString& buf() noexcept { return buf_; }

  PyObject* take_str() noexcept {
    if (one_line_ && !buf_.empty() && buf_.back() == ' ') buf_.pop_back();
    return PyUnicode_DecodeUTF8(buf_.data(), static_cast<Py_ssize_t>(buf_.size()), nullptr);
  }

 private:
  RString buf_;
  size_t level_ = 0;
  bool one_line_;
};

// The UTF-8 view of a name str (cached on the str; ASCII names are read in place).
inline bool name_of(PyObject* s, std::string_view* out) noexcept { return str_utf8(s, out); }

TORVEX_COLD bool invalid_enum(const EnumTable& t, PyObject* v) noexcept {
  raise_fmt(PyExc_ValueError, "invalid enum value %S for enum %S", v, t.type_name.get());
  return false;
}

// ---- scalars --------------------------------------------------------------------------------

// The value of an int (not a bool) as 64 bits: signed when `is_signed`, else unsigned; false
// with OverflowError "value out of range for <type>" when it does not fit [lo, hi].
bool int_in_range(PyObject* v, bool is_signed, int64_t lo, uint64_t hi, const char* type,
                  int64_t* s, uint64_t* u) noexcept {
  if (!is_int(v)) return fail_expected("int", v);
  Py_ssize_t c;
  if (compact_value(v, &c)) {
    *s = c;
    if (c < lo || (c >= 0 && static_cast<uint64_t>(c) > hi)) return fail_out_of_range(v, type);
    *u = static_cast<uint64_t>(c);
    return true;
  }
  int overflow = 0;
  long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
  if (n == -1 && PyErr_Occurred()) return false;
  if (!overflow) {
    *s = n;
    *u = static_cast<uint64_t>(n);
    if (n < lo || (n >= 0 && static_cast<uint64_t>(n) > hi)) return fail_out_of_range(v, type);
    return true;
  }
  if (is_signed || overflow < 0) return fail_out_of_range(v, type);
  unsigned long long w = PyLong_AsUnsignedLongLong(v);
  if (w == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    return fail_out_of_range(v, type);
  }
  *u = w;
  *s = -1;  // callers print unsigned types from *u
  return true;
}

bool write_integer(TextOut& out, ScalarType t, PyObject* v) noexcept {
  using enum ScalarType;
  int64_t s;
  uint64_t u;
  char digits[kNumberScratch];
  switch (t) {
    case Int32:
    case Sint32:
    case Sfixed32:
      if (!int_in_range(v, true, INT32_MIN, INT32_MAX, "int32", &s, &u)) return false;
      out.raw(digits, format_int64(s, digits));
      return true;
    case Uint32:
    case Fixed32:
      if (!int_in_range(v, false, 0, UINT32_MAX, "uint32", &s, &u)) return false;
      out.raw(digits, format_uint64(u, digits));
      return true;
    case Int64:
    case Sint64:
    case Sfixed64:
      if (!int_in_range(v, true, INT64_MIN, INT64_MAX, "int64", &s, &u)) return false;
      out.raw(digits, format_int64(s, digits));
      return true;
    default:
      if (!int_in_range(v, false, 0, UINT64_MAX, "uint64", &s, &u)) return false;
      out.raw(digits, format_uint64(u, digits));
      return true;
  }
}

bool write_float(TextOut& out, PyObject* v, bool single) noexcept {
  double d = 0;
  if (!text_float_value(v, single, &d)) return false;
  if (std::isnan(d)) {
    out.raw("nan", 3);
    return true;
  }
  if (std::isinf(d)) {
    out.raw(d > 0 ? std::string_view("inf") : std::string_view("-inf"));
    return true;
  }
  char text[kNumberScratch];
  if (!single) {
    out.raw(text, format_double(d, text));
    return true;
  }
  out.raw(text, format_float32(static_cast<float>(d), text));
  return true;
}

void write_quoted(TextOut& out, const char* s, size_t n, bool bytes) {
  out.raw("\"", 1);
  escape_text(s, n, bytes, out.buf());
  out.raw("\"", 1);
}

bool write_scalar(TextOut& out, ScalarType t, PyObject* v) noexcept {
  switch (t) {
    case ScalarType::Double:
      return write_float(out, v, false);
    case ScalarType::Float:
      return write_float(out, v, true);
    case ScalarType::Bool:
      if (!PyBool_Check(v)) return fail_expected("bool", v);
      out.raw(v == Py_True ? std::string_view("true") : std::string_view("false"));
      return true;
    case ScalarType::String: {
      if (!PyUnicode_Check(v)) return fail_expected("str", v);
      Py_ssize_t n;
      const char* s = PyUnicode_AsUTF8AndSize(v, &n);
      if (!s) return false;
      write_quoted(out, s, static_cast<size_t>(n), false);
      return true;
    }
    case ScalarType::Bytes:
      if (PyBytes_Check(v)) {
        write_quoted(out, PyBytes_AS_STRING(v), static_cast<size_t>(PyBytes_GET_SIZE(v)), true);
      } else if (PyByteArray_Check(v)) {
        write_quoted(out, PyByteArray_AS_STRING(v), static_cast<size_t>(PyByteArray_GET_SIZE(v)),
                     true);
      } else {
        return fail_expected("bytes", v);
      }
      return true;
    default:
      return write_integer(out, t, v);
  }
}

bool write_enum(TextOut& out, const EnumTable& t, PyObject* v) noexcept {
  if (!is_int(v)) {
    raise_fmt(PyExc_TypeError, "expected int for enum %S, got %S", t.type_name.get(),
              reinterpret_cast<PyObject*>(Py_TYPE(v)));
    return false;
  }
  int overflow = 0;
  long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
  if (n == -1 && PyErr_Occurred()) return false;
  if (overflow || n < INT32_MIN || n > INT32_MAX) return invalid_enum(t, v);
  if (PyObject* name = t.text_out.find(static_cast<int32_t>(n))) {
    std::string_view s;
    if (!name_of(name, &s)) return false;
    out.raw(s);
    return true;
  }
  char digits[kNumberScratch];
  out.raw(digits, format_int64(n, digits));
  return true;
}

// ---- messages -----------------------------------------------------------------------------

bool write_fields(TextOut& out, const TextWriteOptions& opts, const MessageMarshaler* m,
                  PyObject* msg, uint32_t depth) noexcept;

// The braces and content of a sub-message value of type `h` (None: an empty message, as a
// oneof member or list element holding None encodes).
bool write_nested(TextOut& out, const TextWriteOptions& opts, MarshalerHandle* h, PyObject* v,
                  uint32_t depth) noexcept {
  out.open();
  if (v != Py_None) {
    MessageMarshaler* m = resolve_handle(h);
    if (!m) return false;
    if (!Py_IS_TYPE(v, reinterpret_cast<PyTypeObject*>(m->cls.get())) ||
        as_native(v)->marshaler != m) {
      int r = PyObject_IsInstance(v, m->cls.get());
      if (r < 0) return false;
      if (r == 0) {
        raise_fmt(PyExc_TypeError, "expected '%s', got %S", m->full_name.c_str(),
                  reinterpret_cast<PyObject*>(Py_TYPE(v)));
        return false;
      }
      if (!is_native_message(v)) return fail_wrong_type(v, "NativeMessage");
      MarshalerRef own = lookup_marshaler(v);
      if (!own || !write_fields(out, opts, own.get(), v, depth)) return false;
      out.close();
      return true;
    }
    if (!write_fields(out, opts, m, v, depth)) return false;
  }
  out.close();
  return true;
}

// One element (a field's singular value, list item or map value) after its name.
bool write_element(TextOut& out, const TextWriteOptions& opts, const ElementKind& e, PyObject* v,
                   uint32_t depth) noexcept {
  switch (e.kind) {
    case ElemKind::Scalar:
      out.colon();
      if (!write_scalar(out, e.scalar, v)) return false;
      break;
    case ElemKind::Enum:
      out.colon();
      if (!write_enum(out, *e.enum_table.get(), v)) return false;
      break;
    case ElemKind::Message:
      return write_nested(out, opts, e.handle.get(), v, depth + 1);
  }
  out.end_field();
  return true;
}

// A map key for sorting, as text_format orders entries: numbers by value, false before true,
// strings by code point (the order of their UTF-8 bytes).
struct MapItem {
  int64_t s = 0;
  uint64_t u = 0;
  std::string_view text;
  PyObject* key;
  PyObject* value;
};

bool map_key_of(ScalarType t, PyObject* k, MapItem* item) noexcept {
  if (t == ScalarType::String) {
    if (!PyUnicode_Check(k)) return fail_wrong_type(k, "str");
    return str_utf8(k, &item->text);
  }
  if (t == ScalarType::Bool) {
    if (!PyBool_Check(k)) return fail_expected("bool", k);
    item->s = k == Py_True;
    return true;
  }
  switch (t) {
    case ScalarType::Uint32:
    case ScalarType::Fixed32:
      return int_in_range(k, false, 0, UINT32_MAX, "uint32", &item->s, &item->u);
    case ScalarType::Uint64:
    case ScalarType::Fixed64:
      return int_in_range(k, false, 0, UINT64_MAX, "uint64", &item->s, &item->u);
    case ScalarType::Int32:
    case ScalarType::Sint32:
    case ScalarType::Sfixed32:
      return int_in_range(k, true, INT32_MIN, INT32_MAX, "int32", &item->s, &item->u);
    default:
      return int_in_range(k, true, INT64_MIN, INT64_MAX, "int64", &item->s, &item->u);
  }
}

// Whether a map key or scalar/enum map value is its type's zero, which an entry with implicit
// presence (proto3) leaves out. Values of the wrong type are not zero: writing them reports it.
bool entry_zero(const ElementKind& e, PyObject* v) noexcept {
  if (e.kind == ElemKind::Message) return false;
  if (e.kind == ElemKind::Enum ||
      (e.scalar != ScalarType::Double && e.scalar != ScalarType::Float &&
       e.scalar != ScalarType::String && e.scalar != ScalarType::Bytes &&
       e.scalar != ScalarType::Bool)) {
    Py_ssize_t c;
    return is_int(v) && compact_value(v, &c) && c == 0;
  }
  switch (e.scalar) {
    case ScalarType::Bool:
      return v == Py_False;
    case ScalarType::String:
      return PyUnicode_Check(v) && PyUnicode_GET_LENGTH(v) == 0;
    case ScalarType::Bytes:
      return (PyBytes_Check(v) && PyBytes_GET_SIZE(v) == 0) ||
             (PyByteArray_Check(v) && PyByteArray_GET_SIZE(v) == 0);
    default:
      return PyFloat_CheckExact(v) && std::bit_cast<uint64_t>(PyFloat_AS_DOUBLE(v)) == 0;
  }
}

// `implicit`: the entry's key and value have implicit presence, so zeros are left out (as
// text_format prints proto3 entries); a message value is always shown.
bool write_map(TextOut& out, const TextWriteOptions& opts, std::string_view name,
               const MapEntrySpec& e, bool implicit, PyObject* dict, uint32_t depth) noexcept {
  if (!PyDict_Check(dict)) return fail_wrong_type(dict, "dict");
  // A snapshot of the items keeps every key and value alive while Python code runs.
  Ref items(PyDict_Items(dict));
  if (!items) return false;
  const Py_ssize_t n = PyList_GET_SIZE(items.get());
  RVec<MapItem> sorted(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* pair = PyList_GET_ITEM(items.get(), i);
    MapItem& item = sorted[static_cast<size_t>(i)];
    item.key = PyTuple_GET_ITEM(pair, 0);
    item.value = PyTuple_GET_ITEM(pair, 1);
    if (!map_key_of(e.key_type, item.key, &item)) return false;
  }
  const bool by_unsigned = e.key_type == ScalarType::Uint32 || e.key_type == ScalarType::Fixed32 ||
                           e.key_type == ScalarType::Uint64 || e.key_type == ScalarType::Fixed64;
  std::sort(sorted.begin(), sorted.end(), [&](const MapItem& a, const MapItem& b) {
    if (e.key_type == ScalarType::String) return a.text < b.text;
    return by_unsigned ? a.u < b.u : a.s < b.s;
  });
  for (const MapItem& item : sorted) {
    out.name(name);
    out.open();
    ElementKind key_kind;
    key_kind.scalar = e.key_type;
    if (!implicit || !entry_zero(key_kind, item.key)) {
      out.name("key");
      out.colon();
      if (!write_scalar(out, e.key_type, item.key)) return false;
      out.end_field();
    }
    if (!implicit || !entry_zero(e.value, item.value)) {
      out.name("value");
      if (!write_element(out, opts, e.value, item.value, depth)) return false;
    }
    out.close();
  }
  return true;
}

// Field (or extension) `f` holding `v`, named `name`; `depth` is that of the message holding it.
bool write_field(TextOut& out, const TextWriteOptions& opts, std::string_view name, bool bracketed,
                 const FieldSpec& f, PyObject* v, uint32_t depth) noexcept {
  auto write_name = [&] { bracketed ? out.bracketed(name) : out.name(name); };
  if (f.kind == ValueKind::Map) {
    return write_map(out, opts, name, *f.map, f.map->implicit_entries, v, depth);
  }
  if (f.kind != ValueKind::List) {
    write_name();
    return write_element(out, opts, f.elem, v, depth);
  }
  if (!PyList_Check(v)) return fail_wrong_type(v, "list");
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i) {
    Ref item = Ref::borrow(PyList_GET_ITEM(v, i));
    write_name();
    if (!write_element(out, opts, f.elem, item.get(), depth)) return false;
  }
  return true;
}

// Which fields text_format prints: the encoder's choice, except that an unset required field
// is left out instead of being an error.
int select(PyObject* msg, const FieldSpec& f, Ref* out) noexcept {
  if (f.presence == Presence::Required && !f.in_oneof) {
    if (f.kind == ValueKind::Message) {
      *out = Ref(f.accessor.get(msg));
      if (!*out) return -1;
      return out->get() != Py_None;
    }
    if (!presence_test(msg, f.number)) return 0;
  }
  return select_field_value(msg, f, false, out);
}

// ---- extensions and unknown fields ------------------------------------------------------

struct ExtensionValue {
  uint32_t number = 0;
  Ref name;  // the extension's full name
  Ref value;
  FieldSpec spec;
};

// The extensions of `msg` the registry knows, from the unknown-field store's numbers, sorted.
TORVEX_NOINLINE bool collect_extensions(const TextWriteOptions& opts, const MessageMarshaler* m,
                                        PyObject* msg, PyObject* store,
                                        RVec<ExtensionValue*>* out) noexcept {
  const DescriptorVocabulary* vocab = m->vocab;
  Ref keys(PyDict_Keys(store));
  if (!keys) return false;
  Ref desc(PyObject_GetAttr(msg, vocab->desc));
  if (!desc) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
    PyObject* key = PyList_GET_ITEM(keys.get(), i);
    Ref ext(
        PyObject_CallMethodObjArgs(opts.registry, vocab->extension_for, desc.get(), key, nullptr));
    if (!ext) return false;
    if (ext.get() == Py_None) continue;
    auto* x = raw_new<ExtensionValue>();
    out->push_back(x);
    x->number = static_cast<uint32_t>(PyLong_AsUnsignedLong(key));
    if (PyErr_Occurred()) return false;
    Ref type(PyObject_GetAttr(ext.get(), vocab->type));
    Ref value_desc(type ? PyObject_GetAttr(ext.get(), vocab->value) : nullptr);
    x->name = Ref(value_desc ? PyObject_GetAttr(ext.get(), vocab->type_name) : nullptr);
    if (!x->name) return false;
    if (!PyUnicode_Check(x->name.get())) return fail_wrong_type(x->name.get(), "str");
    x->value = Ref(PyObject_GetItem(msg, type.get()));
    if (!x->value) return false;
    if (!read_value(vocab, reinterpret_cast<PyObject*>(Py_TYPE(msg)), value_desc.get(), &x->spec)) {
      return false;
    }
    if (x->spec.kind == ValueKind::Map) {
      PyErr_SetString(PyExc_ValueError, "map extensions are not supported");
      return false;
    }
  }
  std::sort(out->begin(), out->end(),
            [](const ExtensionValue* a, const ExtensionValue* b) { return a->number < b->number; });
  return true;
}

bool write_extension(TextOut& out, const TextWriteOptions& opts, const ExtensionValue& x,
                     uint32_t depth) noexcept {
  std::string_view name;
  return name_of(x.name.get(), &name) &&
         write_field(out, opts, name, true, x.spec, x.value.get(), depth);
}

// Unknown fields are shown as text_format shows them: numbers as unsigned decimals, a
// length-delimited value as a message when its bytes parse as one, else as quoted bytes. Its
// parse is lenient in the ways mirrored here: tags may exceed 32 bits and name field 0, and an
// end-group tag of any number may close the bytes of a length-delimited value.
//
// One walk both checks (`out` null) and writes. `group` is the number of the group whose
// content is walked, or kNoGroup for a length-delimited value or a store record.
constexpr uint64_t kNoGroup = ~uint64_t{0};

bool walk_unknown(InputView& v, TextOut* out, uint32_t depth, uint64_t group) noexcept {
  WireError err;
  char digits[kNumberScratch];
  while (!v.empty()) {
    uint64_t tag;
    if (!v.read_varint64(tag, err)) return false;
    const uint64_t number = tag >> 3;
    const unsigned wt = static_cast<unsigned>(tag & 7);
    if (wt == 4) {
      if (group != kNoGroup) return number == group;
      return v.empty();
    }
    if (out) out->name(std::string_view(digits, format_uint64(number, digits)));
    uint64_t u = 0;
    switch (wt) {
      case 0:
        if (!v.read_varint64(u, err)) return false;
        break;
      case 1:
        if (!v.read_fixed64(u, err)) return false;
        break;
      case 5: {
        uint32_t w;
        if (!v.read_fixed32(w, err)) return false;
        u = w;
        break;
      }
      case 2: {
        InputView sub;
        if (!v.read_len_prefixed(sub, err)) return false;
        if (!out) continue;
        InputView probe = sub;
        if (depth < MAX_RECURSION_DEPTH && walk_unknown(probe, nullptr, depth + 1, kNoGroup)) {
          out->open();
          walk_unknown(sub, out, depth + 1, kNoGroup);
          out->close();
        } else {
          out->colon();
          write_quoted(*out, reinterpret_cast<const char*>(sub.cur), sub.remaining, true);
          out->end_field();
        }
        continue;
      }
      case 3:
        if (depth >= MAX_RECURSION_DEPTH) return false;
        if (out) out->open();
        if (!walk_unknown(v, out, depth + 1, number)) return false;
        if (out) out->close();
        continue;
      default:
        return false;
    }
    if (out) {
      out->colon();
      out->raw(digits, format_uint64(u, digits));
      out->end_field();
    }
  }
  return group == kNoGroup;
}

// The unknown-field store's records, except the numbers printed as extensions.
bool write_unknown(TextOut& out, PyObject* store, const RVec<ExtensionValue*>& exts,
                   uint32_t depth) noexcept {
  Ref items(PyDict_Items(store));
  if (!items) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* pair = PyList_GET_ITEM(items.get(), i);
    PyObject* key = PyTuple_GET_ITEM(pair, 0);
    PyObject* records = PyTuple_GET_ITEM(pair, 1);
    unsigned long number = PyLong_AsUnsignedLong(key);
    if (number == static_cast<unsigned long>(-1) && PyErr_Occurred()) return false;
    if (std::any_of(exts.begin(), exts.end(),
                    [&](const ExtensionValue* x) { return x->number == number; })) {
      continue;
    }
    if (!PyList_Check(records)) return fail_wrong_type(records, "list");
    for (Py_ssize_t j = 0; j < PyList_GET_SIZE(records); ++j) {
      PyObject* rec = PyList_GET_ITEM(records, j);
      if (!PyBytes_Check(rec)) return fail_wrong_type(rec, "bytes");
      // Records are whole fields as the binary parser kept them; a record edited into
      // something malformed is shown up to the fault.
      InputView view(PyBytes_AS_STRING(rec), static_cast<size_t>(PyBytes_GET_SIZE(rec)));
      walk_unknown(view, &out, depth, kNoGroup);
    }
  }
  return true;
}

// ---- Any --------------------------------------------------------------------------------

// An Any whose type the registry knows, expanded as "[url] { payload }": 1 written, 0 to print
// its two fields plainly (empty URL, unknown type, undecodable payload), -1 error.
int write_any(TextOut& out, const TextWriteOptions& opts, const MessageMarshaler* m, PyObject* msg,
              uint32_t depth) noexcept {
  const FieldSpec* url_f = m->index.find(1);
  const FieldSpec* value_f = m->index.find(2);
  if (!url_f || !value_f) return 0;
  Ref url(url_f->accessor.get(msg));
  if (!url) return -1;
  Ref value(value_f->accessor.get(msg));
  if (!value) return -1;
  if (!PyUnicode_Check(url.get()) || !PyBytes_Check(value.get())) return 0;
  Py_ssize_t n = PyUnicode_GET_LENGTH(url.get());
  Py_ssize_t slash = PyUnicode_FindChar(url.get(), '/', 0, n, -1);
  if (slash < 0) return slash == -2 ? -1 : 0;
  Ref type_name(PyUnicode_Substring(url.get(), slash + 1, n));
  if (!type_name) return -1;
  Ref desc(PyObject_CallMethodOneArg(opts.registry, m->vocab->message, type_name.get()));
  if (!desc) return -1;
  if (desc.get() == Py_None) return 0;
  Ref cls(PyObject_GetAttr(desc.get(), m->vocab->type));
  if (!cls) return -1;
  Ref marshaler_obj(PyObject_GetAttr(cls.get(), m->vocab->ext_marshaler));
  if (!marshaler_obj) return -1;
  const MessageMarshaler* pm = marshaler_from_object(marshaler_obj.get());
  if (!pm) return -1;
  Ref payload(create_empty_message(pm, cls.get()));
  if (!payload) return -1;
  if (!parse_into(pm, payload.get(),
                  reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(value.get())),
                  static_cast<size_t>(PyBytes_GET_SIZE(value.get())), false)) {
    PyErr_Clear();
    return 0;
  }
  std::string_view u;
  if (!name_of(url.get(), &u)) return -1;
  out.bracketed(u);
  out.open();
  if (!write_fields(out, opts, pm, payload.get(), depth + 1)) return -1;
  out.close();
  return 1;
}

bool write_fields(TextOut& out, const TextWriteOptions& opts, const MessageMarshaler* m,
                  PyObject* msg, uint32_t depth) noexcept {
  if (depth > MAX_RECURSION_DEPTH) return fail_too_deep("serializing");
  if (m->wkt == WellKnownKind::Any && opts.registry) {
    int r = write_any(out, opts, m, msg, depth);
    if (r != 0) return r > 0;
  }
  if (!m->oneofs.empty() && !check_oneofs(m, msg)) return false;
  PyObject* store;
  if (!unknown_fields_of(msg, &store)) return false;
  Ref hold_store = Ref::borrow(store);
  RVec<ExtensionValue*> exts;
  struct Owner {  // ExtensionValue holds Python references: freed with the interpreter lock
    RVec<ExtensionValue*>& v;
    ~Owner() {
      for (ExtensionValue* x : v) raw_delete(x);
    }
  } owner{exts};
  if (opts.registry && store && PyDict_GET_SIZE(store) &&
      !collect_extensions(opts, m, msg, store, &exts)) {
    return false;
  }
  size_t next_ext = 0;
  for (const FieldSpec* f : m->by_number) {
    while (next_ext < exts.size() && exts[next_ext]->number < f->number) {
      if (!write_extension(out, opts, *exts[next_ext++], depth)) return false;
    }
    Ref v;
    int r = select(msg, *f, &v);
    if (r == 0) continue;
    std::string_view name;
    if (r < 0 || !name_of(f->text_name.get(), &name) ||
        !write_field(out, opts, name, false, *f, v.get(), depth)) {
      return false;
    }
  }
  while (next_ext < exts.size()) {
    if (!write_extension(out, opts, *exts[next_ext++], depth)) return false;
  }
  if (opts.print_unknown && store && !write_unknown(out, store, exts, depth)) return false;
  return true;
}

}  // namespace

PyObject* message_to_text(const MessageMarshaler* m, PyObject* msg,
                          const TextWriteOptions& opts) noexcept {
  TextOut out(opts.one_line);
  if (!write_fields(out, opts, m, msg, 0)) return nullptr;
  return out.take_str();
}

}  // namespace torvex
