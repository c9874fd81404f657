// The JSON serializer. Field selection (presence, defaults, oneofs, required fields) is the
// binary serializer's; this module decides keys and JSON forms and drives the sink.
//
// Python code can run during the walk (__float__, __eq__, __str__ of map keys, registry calls,
// __instancecheck__), so every container element and dict entry is held by a reference of its
// own while it is written, and the containers' sizes are re-checked after each element.
#include "json/json_writer.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <type_traits>

#include "core/error_path.h"
#include "core/errors.h"
#include "core/limits.h"
#include "core/portable.h"
#include "core/python_private.h"
#include "json/wkt_json.h"
#include "message/field_access.h"
#include "message/instance.h"
#include "message/map_order.h"
#include "message/oneof.h"

namespace torvex {

namespace {

// ---- error paths (out of line) ------------------------------------------------------------

TORVEX_COLD bool changed(const char* what) noexcept {
  raise_fmt(PyExc_RuntimeError, "%s changed size during iteration", what);
  return false;
}

TORVEX_COLD bool invalid_enum_number(const EnumTable& t, long long n) noexcept {
  raise_fmt(PyExc_ValueError, "invalid enum value %lld for enum %S", n, t.type_name.get());
  return false;
}

TORVEX_COLD bool invalid_enum_object(const EnumTable& t, PyObject* v) noexcept {
  raise_fmt(PyExc_ValueError, "invalid enum value %S for enum %S", v, t.type_name.get());
  return false;
}

// Failure forwarders that record the step they unwind through (see error_path.h).
TORVEX_COLD bool at_field(const JsonWriteOptions& opts, const FieldSpec& f) noexcept {
  if (opts.path) opts.path->field(f.proto_name.get());
  return false;
}
TORVEX_COLD bool at_index(const JsonWriteOptions& opts, Py_ssize_t i) noexcept {
  if (opts.path) opts.path->index(i);
  return false;
}
TORVEX_COLD bool at_key(const JsonWriteOptions& opts, PyObject* key) noexcept {
  if (opts.path) opts.path->key(key);
  return false;
}

// ---- integers -----------------------------------------------------------------------------

template <class Sink>
inline bool quoted_int64(Sink& sink, int64_t n) noexcept {
  char digits[kNumberScratch];
  return sink.ascii_string(digits, format_int64(n, digits));
}

// One scalar of type kT with its checks; the per-type body of write_scalar, also inlined into
// the loops over scalar lists.
template <ScalarType kT, class Sink>
TORVEX_ALWAYS_INLINE inline bool scalar_of(Sink& sink, PyObject* v) noexcept {
  using enum ScalarType;
  if constexpr (kT == Double || kT == Float) {
    return write_float(sink, v, kT == Float);
  } else if constexpr (kT == Bool) {
    if (!PyBool_Check(v)) return fail_expected("bool", v);
    return sink.boolean(v == Py_True);
  } else if constexpr (kT == String) {
    if (!PyUnicode_Check(v)) return fail_expected("str", v);
    return sink.string(v);
  } else if constexpr (kT == Bytes) {
    if (PyBytes_Check(v)) {
      return sink.base64_string(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(v)),
                                static_cast<size_t>(PyBytes_GET_SIZE(v)));
    }
    if (PyByteArray_Check(v)) {
      return sink.base64_string(reinterpret_cast<const uint8_t*>(PyByteArray_AS_STRING(v)),
                                static_cast<size_t>(PyByteArray_GET_SIZE(v)));
    }
    return fail_expected("bytes", v);
  } else {
    if (!is_int(v)) return fail_expected("int", v);
    int64_t n = 0;
    if constexpr (kT == Int32 || kT == Sint32 || kT == Sfixed32) {
      if (!to_i64(v, &n) || n < INT32_MIN || n > INT32_MAX) return fail_out_of_range(v, "int32");
      return sink.integer(v, n);
    } else if constexpr (kT == Uint32 || kT == Fixed32) {
      if (!to_i64(v, &n) || n < 0 || n > UINT32_MAX) return fail_out_of_range(v, "uint32");
      return sink.integer(v, n);
    } else if constexpr (kT == Int64 || kT == Sint64 || kT == Sfixed64) {
      if (!to_i64(v, &n)) return fail_out_of_range(v, "int64");
      return quoted_int64(sink, n);
    } else {
      static_assert(kT == Uint64 || kT == Fixed64);
      uint64_t u;
      if (!to_u64(v, &u)) return fail_out_of_range(v, "uint64");
      char digits[kNumberScratch];
      return sink.ascii_string(digits, format_uint64(u, digits));
    }
  }
}

// ---- number lists in compact text ---------------------------------------------------------
// Most elements of a number list need no check beyond their exact type and range, and run no
// Python code: they are written straight into the buffer, a block at a time, with room claimed
// once per block and no separator state per element. Any other element ends the run and takes
// scalar_of.

template <ScalarType kT>
constexpr bool kNumberRun =
    kT == ScalarType::Double || kT == ScalarType::Float || kT == ScalarType::Int32 ||
    kT == ScalarType::Sint32 || kT == ScalarType::Sfixed32 || kT == ScalarType::Uint32 ||
    kT == ScalarType::Fixed32;

// The value of `item` when a run may write it: a finite exact float (in float32 range for
// float fields), or an exact int in the field's range.
template <ScalarType kT>
TORVEX_ALWAYS_INLINE inline bool run_value(PyObject* item, double* d) noexcept {
  if (!PyFloat_CheckExact(item)) return false;
  *d = PyFloat_AS_DOUBLE(item);
  return std::isfinite(*d) && (kT != ScalarType::Float || fits_float32(*d));
}
template <ScalarType kT>
TORVEX_ALWAYS_INLINE inline bool run_value(PyObject* item, int64_t* n) noexcept {
  if (!PyLong_CheckExact(item) || !two_digit_value(item, n)) return false;
  if constexpr (kT == ScalarType::Uint32 || kT == ScalarType::Fixed32) {
    return *n >= 0 && *n <= UINT32_MAX;
  }
  return *n >= INT32_MIN && *n <= INT32_MAX;
}

// Writes the run of elements that starts at index i; returns the index of the first element
// it left (the list's size when none).
template <ScalarType kT>
Py_ssize_t number_run(JsonTextSink& sink, PyObject* list, Py_ssize_t i) noexcept {
  constexpr bool kFloating = kT == ScalarType::Double || kT == ScalarType::Float;
  using Value = std::conditional_t<kFloating, double, int64_t>;
  // The longest text of one element with its comma: "-2.2250738585072014e-308," and
  // "-2147483648,". A list's room is claimed at once (one growth of the buffer, not a chain
  // of doublings); blocks only bound the room claimed beyond what the text takes.
  constexpr size_t kEach = kFloating ? 25 : 12;
  constexpr Py_ssize_t kBlock = 1 << 16;
  PyObject* const* items = reinterpret_cast<PyListObject*>(list)->ob_item;
  const Py_ssize_t n = PyList_GET_SIZE(list);
  Value v;
  while (i < n && run_value<kT>(items[i], &v)) {
    const Py_ssize_t stop = std::min(n, i + kBlock);
    char* p = sink.claim(static_cast<size_t>(stop - i) * kEach + kNumberScratch);
    do {
      if constexpr (kFloating) {
        p += format_double(v, p);
      } else {
        p = JsonTextSink::put_integer(v, p);
      }
      *p++ = ',';
    } while (++i < stop && run_value<kT>(items[i], &v));
    sink.commit(p);
  }
  return i;
}

// A list of scalars, the type decided once for the whole list.
template <ScalarType kT, class Sink>
bool scalar_list(Sink& sink, const JsonWriteOptions& opts, PyObject* list) noexcept {
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    if constexpr (kNumberRun<kT> && std::is_same_v<Sink, JsonTextSink>) {
      i = number_run<kT>(sink, list, i);
      if (i >= PyList_GET_SIZE(list)) break;
    }
    PyObject* item = PyList_GET_ITEM(list, i);
    if (plain_scalar<kT>(item)) {
      if (!scalar_of<kT>(sink, item)) return at_index(opts, i);
    } else {
      Ref hold = Ref::borrow(item);
      if (!scalar_of<kT>(sink, item)) return at_index(opts, i);
    }
  }
  return true;
}

// ---- the walk ---------------------------------------------------------------------------

// A sub-message of exactly its field's class, bound to its marshaler and not a well-known type:
// its members written here, without going back through write_nested_message. 0 for the others.
template <class Sink>
TORVEX_ALWAYS_INLINE inline int plan_object(Sink& sink, const JsonWriteOptions& opts,
                                            const ElementKind& e, PyObject* v,
                                            uint32_t depth) noexcept {
  const MessageMarshaler* sub = e.handle->resolved.load(std::memory_order_acquire);
  if (!sub || !Py_IS_TYPE(v, reinterpret_cast<PyTypeObject*>(sub->cls.get())) ||
      as_native(v)->marshaler != sub || sub->wkt != WellKnownKind::None ||
      depth > MAX_RECURSION_DEPTH) {
    return 0;
  }
  return sink.begin_object() && write_fields(sink, opts, sub, v, depth) && sink.end_object() ? 1
                                                                                             : -1;
}

// A sub-message value at `depth`, by plan_object when it can.
template <class Sink>
TORVEX_ALWAYS_INLINE inline bool plan_message(Sink& sink, const JsonWriteOptions& opts,
                                              const ElementKind& e, PyObject* v,
                                              uint32_t depth) noexcept {
  int r = plan_object(sink, opts, e, v, depth);
  if (r != 0) return r > 0;
  return write_nested_message(sink, opts, e.handle.get(), v, depth);
}

template <class Sink>
bool write_value(Sink& sink, const JsonWriteOptions& opts, const ElementKind& e, PyObject* v,
                 uint32_t depth) noexcept;

// The key text of a map entry.
template <class Sink>
bool write_map_key(Sink& sink, ScalarType t, PyObject* k) noexcept {
  if (t == ScalarType::String) {
    if (!PyUnicode_Check(k)) return fail_wrong_type(k, "str");
    return sink.key(k);
  }
  if (t == ScalarType::Bool) {
    int b = PyObject_IsTrue(k);
    if (b < 0) return false;
    return b ? sink.key("true", 4) : sink.key("false", 5);
  }
  if (PyLong_CheckExact(k)) {
    // str() of an exact int is its decimal digits; no need for the str object.
    int64_t n;
    if (int64_if_fits(k, &n)) {
      char digits[kNumberScratch];
      return sink.key(digits, format_int64(n, digits));
    }
    if (PyErr_Occurred()) return false;
  }
  Ref text(PyObject_Str(k));
  return text && sink.key(text.get());
}

// The tree form of a number list whose elements all pass run_value: a copy of the list, since
// the tree holds exact floats and ints as they are.
template <ScalarType kT>
bool all_run_values(PyObject* list) noexcept {
  using Value =
      std::conditional_t<kT == ScalarType::Double || kT == ScalarType::Float, double, int64_t>;
  PyObject* const* items = reinterpret_cast<PyListObject*>(list)->ob_item;
  Value v;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    if (!run_value<kT>(items[i], &v)) return false;
  }
  return true;
}

// 1 when the tree sink took the list whole, 0 for the element walk, -1 error.
template <class Sink>
int whole_number_list(Sink& sink, ScalarType t, PyObject* list) noexcept {
  if constexpr (std::is_same_v<Sink, JsonTreeSink>) {
    bool plain = false;
    switch (t) {
#define TORVEX_CASE(T)                                                                    \
  case ScalarType::T:                                                                     \
    if constexpr (kNumberRun<ScalarType::T>) plain = all_run_values<ScalarType::T>(list); \
    break;
      TORVEX_SCALAR_TYPES(TORVEX_CASE)
#undef TORVEX_CASE
    }
    if (plain) return sink.same_items(list) ? 1 : -1;
  }
  return 0;
}

template <class Sink>
bool write_list(Sink& sink, const JsonWriteOptions& opts, const ElementKind& e, PyObject* list,
                uint32_t depth) noexcept {
  if (!PyList_Check(list)) return fail_wrong_type(list, "list");
  if (e.kind == ElemKind::Scalar && PyList_CheckExact(list)) {
    const int r = whole_number_list(sink, e.scalar, list);
    if (r != 0) return r > 0;
  }
  if (!sink.begin_array()) return false;
  if (e.kind == ElemKind::Scalar) {
    bool ok = false;
    switch (e.scalar) {
#define TORVEX_CASE(T)                                 \
  case ScalarType::T:                                  \
    ok = scalar_list<ScalarType::T>(sink, opts, list); \
    break;
      TORVEX_SCALAR_TYPES(TORVEX_CASE)
#undef TORVEX_CASE
      default:
        raise_internal("invalid scalar type in schema");
        break;
    }
    return ok && sink.end_array();
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
    if (!write_value(sink, opts, e, item.get(), depth)) return at_index(opts, i);
  }
  return sink.end_array();
}

// sort_keys: the entries of a snapshot in ascending key order. Unlike the unsorted walk, which
// writes any key as its str(), it needs keys of the map's key type.
template <class Sink>
TORVEX_NOINLINE bool write_sorted_map(Sink& sink, const JsonWriteOptions& opts,
                                      const MapEntrySpec& e, PyObject* dict,
                                      uint32_t depth) noexcept {
  SortedEntries entries;
  int r = entries.init(dict, e.key_type);
  if (r < 0) return false;
  if (r == 0) {
    return fail_unorderable_key(e.key_type, entries.unorderable_key()) ||
           at_key(opts, entries.unorderable_key());
  }
  if (!sink.begin_object()) return false;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (!write_map_key(sink, e.key_type, entries.key(i)) ||
        !write_value(sink, opts, e.value, entries.value(i), depth)) {
      return at_key(opts, entries.key(i));
    }
  }
  return sink.end_object();
}

template <class Sink>
bool write_map(Sink& sink, const JsonWriteOptions& opts, const MapEntrySpec& e, PyObject* dict,
               uint32_t depth) noexcept {
  if (!PyDict_Check(dict)) return fail_wrong_type(dict, "dict");
  if (opts.sort_keys) return write_sorted_map(sink, opts, e, dict, depth);
  if (!sink.begin_object()) return false;
  const Py_ssize_t n = PyDict_GET_SIZE(dict);
  Py_ssize_t pos = 0;
  PyObject *k, *v;
  while (PyDict_Next(dict, &pos, &k, &v)) {
    Ref key = Ref::borrow(k);
    Ref value = Ref::borrow(v);
    if (!write_map_key(sink, e.key_type, key.get()) ||
        !write_value(sink, opts, e.value, value.get(), depth)) {
      return at_key(opts, key.get());
    }
    if (PyDict_GET_SIZE(dict) != n) return changed("dictionary");
  }
  return sink.end_object();
}

template <class Sink>
bool write_value(Sink& sink, const JsonWriteOptions& opts, const ElementKind& e, PyObject* v,
                 uint32_t depth) noexcept {
  switch (e.kind) {
    case ElemKind::Scalar:
      return write_scalar(sink, e.scalar, v);
    case ElemKind::Enum:
      return write_enum(sink, opts, *e.enum_table.get(), v);
    case ElemKind::Message:
      return plan_message(sink, opts, e, v, depth + 1);
  }
  raise_internal("invalid element kind in schema");
  return false;
}

// The value of field `f` (its key is written); `depth` is the depth of the message holding it.
template <class Sink>
bool write_field_value(Sink& sink, const JsonWriteOptions& opts, const FieldSpec& f, PyObject* v,
                       uint32_t depth) noexcept {
  switch (f.kind) {
    case ValueKind::List:
      return write_list(sink, opts, f.elem, v, depth);
    case ValueKind::Map:
      return write_map(sink, opts, *f.map, v, depth);
    default:
      return write_value(sink, opts, f.elem, v, depth);
  }
}

// Extensions known to the registry, keyed "[full.name]", after the fields. The unknown-field
// store's keys are the candidate field numbers.
template <class Sink>
TORVEX_NOINLINE bool write_extensions(Sink& sink, const JsonWriteOptions& opts,
                                      const MessageMarshaler* m, PyObject* msg, PyObject* store,
                                      uint32_t depth) noexcept {
  const DescriptorVocabulary* vocab = m->vocab;
  Ref keys(PyDict_Keys(store));
  if (!keys) return false;
  Ref desc;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
    if (!desc && !(desc = Ref(PyObject_GetAttr(msg, vocab->desc)))) return false;
    Ref ext(PyObject_CallMethodObjArgs(opts.registry, vocab->extension_for, desc.get(),
                                       PyList_GET_ITEM(keys.get(), i), nullptr));
    if (!ext) return false;
    if (ext.get() == Py_None) continue;
    Ref type(PyObject_GetAttr(ext.get(), vocab->type));
    if (!type) return false;
    Ref value_desc(PyObject_GetAttr(ext.get(), vocab->value));
    if (!value_desc) return false;
    Ref type_name(PyObject_GetAttr(ext.get(), vocab->type_name));
    if (!type_name) return false;
    Ref value(PyObject_GetItem(msg, type.get()));
    if (!value) return false;
    FieldSpec f;
    if (!read_value(vocab, reinterpret_cast<PyObject*>(Py_TYPE(msg)), value_desc.get(), &f)) {
      return false;
    }
    if (f.kind == ValueKind::Map) {
      PyErr_SetString(PyExc_ValueError, "map extensions are not supported");
      return false;
    }
    Ref key(PyUnicode_FromFormat("[%S]", type_name.get()));
    if (!key || !sink.key(key.get()) || !write_field_value(sink, opts, f, value.get(), depth)) {
      return false;
    }
  }
  return true;
}

template <class Sink>
TORVEX_ALWAYS_INLINE inline bool field_key(Sink& sink, const JsonWriteOptions& opts,
                                           const FieldSpec& f) noexcept {
  const int i = opts.use_proto_field_name;
  if constexpr (std::is_base_of_v<JsonTextSink, Sink>) {
    if (!f.json_keys[i].empty()) [[likely]] {
      sink.member_prefix(f.json_keys[i], f.json_keys_ascii);
      return true;
    }
  }
  return sink.key(i ? f.proto_name.get() : f.json_name.get());
}

// field_key for a step of the plan, whose key text is at hand.
template <class Sink>
TORVEX_ALWAYS_INLINE inline bool step_key(Sink& sink, const JsonWriteOptions& opts,
                                          const JsonStep& s) noexcept {
  if constexpr (std::is_base_of_v<JsonTextSink, Sink>) {
    const int i = opts.use_proto_field_name;
    sink.member_prefix(s.key[i], s.key_len[i], s.key_ascii);
    return true;
  } else {
    return field_key(sink, opts, *s.field);
  }
}

// A singular scalar field whose value is a plain builtin of its type: decided and written
// with the type and the kind of presence known at compile time.
template <ScalarType kT, bool kExplicit, class Sink>
TORVEX_ALWAYS_INLINE inline int plain_scalar_field(Sink& sink, const JsonWriteOptions& opts,
                                                   PyObject* msg, const JsonStep& s,
                                                   PyObject* v) noexcept {
  if (!plain_scalar<kT>(v)) return 0;
  if constexpr (!kExplicit) {
    if (!opts.always_emit_implicit && plain_zero<kT>(v)) return 1;
  } else if (!presence_test(msg, s.number)) {
    return s.field->presence == Presence::Required ? required_not_set(*s.field) : 1;
  }
  return step_key(sink, opts, s) && scalar_of<kT>(sink, v) ? 1 : -1;
}

// ---- the plan loop ------------------------------------------------------------------------
// Each step's op settles the common values of its field without taking a reference or calling
// out; 1 handled (written or skipped), 0 for the general path, -1 error.

// A singular enum in its slot, as write_enum writes it.
template <bool kExplicit, class Sink>
TORVEX_ALWAYS_INLINE inline int plan_enum(Sink& sink, const JsonWriteOptions& opts, PyObject* msg,
                                          const JsonStep& s, PyObject* v) noexcept {
  if (!PyLong_Check(v)) return 0;
  const FieldSpec& f = *s.field;
  const EnumTable& t = *f.elem.enum_table.get();
  if constexpr (!kExplicit) {
    if (!opts.always_emit_implicit) {
      int d = plain_enum_default(v, t.default_member.get());
      if (d != 0) return d > 0;
    }
  } else if (!presence_test(msg, s.number)) {
    return f.presence == Presence::Required ? required_not_set(f) : 1;
  }
  return step_key(sink, opts, s) && write_enum(sink, opts, t, v) ? 1 : -1;
}

// The field of step `s` by the general path: the value selected as the binary encoder selects
// it, then written by its kind.
template <class Sink>
TORVEX_NOINLINE bool general_field(Sink& sink, const JsonWriteOptions& opts, PyObject* msg,
                                   const FieldSpec& f, uint32_t depth) noexcept {
  Ref v;
  int r = select_field_value(msg, f, opts.always_emit_implicit, &v);
  if (r == 0) return true;
  if (r < 0) return at_field(opts, f);
  // Implicit emission never turns an unset message field into an object.
  if (f.kind == ValueKind::Message && !f.in_oneof && v.get() == Py_None) return true;
  if (!field_key(sink, opts, f) || !write_field_value(sink, opts, f, v.get(), depth)) {
    return at_field(opts, f);
  }
  return true;
}

// The container ops: an exact list or dict, skipped when empty unless implicit values are
// emitted; anything else is left to the general path.
template <class Sink>
TORVEX_ALWAYS_INLINE inline int plan_container(Sink& sink, const JsonWriteOptions& opts,
                                               const JsonStep& s, PyObject* v,
                                               uint32_t depth) noexcept {
  const FieldSpec& f = *s.field;
  if (s.op == kJsonMap) {
    if (!PyDict_CheckExact(v)) return 0;
    if (PyDict_GET_SIZE(v) == 0 && !opts.always_emit_implicit) return 1;
    Ref hold = Ref::borrow(v);
    return step_key(sink, opts, s) && write_map(sink, opts, *f.map, v, depth) ? 1 : -1;
  }
  if (!PyList_CheckExact(v)) return 0;
  if (PyList_GET_SIZE(v) == 0 && !opts.always_emit_implicit) return 1;
  Ref hold = Ref::borrow(v);
  return step_key(sink, opts, s) && write_list(sink, opts, f.elem, v, depth) ? 1 : -1;
}

}  // namespace

// ---- operations other modules call --------------------------------------------------------

template <class Sink>
bool write_scalar(Sink& sink, ScalarType t, PyObject* v) noexcept {
  switch (t) {
#define TORVEX_CASE(T) \
  case ScalarType::T:  \
    return scalar_of<ScalarType::T>(sink, v);
    TORVEX_SCALAR_TYPES(TORVEX_CASE)
#undef TORVEX_CASE
  }
  raise_internal("invalid scalar type in schema");
  return false;
}

template <class Sink>
bool write_float(Sink& sink, PyObject* v, bool single) noexcept {
  double d = 0;
  if (!text_float_value(v, single, &d)) return false;
  if (std::isfinite(d)) return sink.number(v);
  if (std::isnan(d)) return sink.ascii_string("NaN", 3);
  return d > 0 ? sink.ascii_string("Infinity", 8) : sink.ascii_string("-Infinity", 9);
}

template <class Sink>
bool write_enum(Sink& sink, const JsonWriteOptions& opts, const EnumTable& t,
                PyObject* v) noexcept {
  if (!is_int(v)) {
    raise_fmt(PyExc_TypeError, "expected int for enum %S, got %S", t.type_name.get(),
              reinterpret_cast<PyObject*>(Py_TYPE(v)));
    return false;
  }
  int64_t n;
  if (!int64_if_fits(v, &n) || n < INT32_MIN || n > INT32_MAX) {
    if (PyErr_Occurred()) return false;
    if (!t.open) return invalid_enum_object(t, v);
    return sink.number(v);
  }
  int32_t number = static_cast<int32_t>(n);
  if (t.by_number.find(number)) {
    if (t.is_null_value) return sink.null();
    if (opts.print_enums_as_ints) return sink.integer(n);
    PyObject* name = t.json_out.find(number);
    if (!name) {
      raise_internal("enum value table lookup failed");
      return false;
    }
    if constexpr (std::is_base_of_v<JsonTextSink, Sink>) {
      if (t.json_out_plain) {
        return sink.ascii_string(static_cast<const char*>(PyUnicode_DATA(name)),
                                 static_cast<size_t>(PyUnicode_GET_LENGTH(name)));
      }
    }
    return sink.string(name);
  }
  if (!t.open) return invalid_enum_number(t, n);
  return t.is_null_value ? sink.null() : sink.integer(n);
}

template <class Sink>
bool write_fields(Sink& sink, const JsonWriteOptions& opts, const MessageMarshaler* m,
                  PyObject* msg, uint32_t depth) noexcept {
  if (!m->oneofs.empty() && !check_oneofs(m, msg)) return false;
  for (const JsonStep& s : m->json_plan) {
    PyObject* v = nullptr;
    if (s.op != kJsonGeneral) {
      v = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(msg) + s.offset);
    }
    int r = 0;
    if (v) {
      switch (s.op) {
#define TORVEX_CASE(T)                                                   \
  case static_cast<uint8_t>(ScalarType::T):                              \
    r = plain_scalar_field<ScalarType::T, false>(sink, opts, msg, s, v); \
    break;                                                               \
  case static_cast<uint8_t>(ScalarType::T) + kJsonExplicit:              \
    r = plain_scalar_field<ScalarType::T, true>(sink, opts, msg, s, v);  \
    break;
        TORVEX_SCALAR_TYPES(TORVEX_CASE)
#undef TORVEX_CASE
        case kJsonEnum:
          r = plan_enum<false>(sink, opts, msg, s, v);
          break;
        case kJsonEnum + kJsonExplicit:
          r = plan_enum<true>(sink, opts, msg, s, v);
          break;
        case kJsonMessage:
          if (v == Py_None) continue;
          {
            Ref hold = Ref::borrow(v);  // Python code run by the walk may replace the attribute
            if (!step_key(sink, opts, s) ||
                !plan_message(sink, opts, s.field->elem, v, depth + 1)) {
              r = -1;
            } else {
              continue;
            }
          }
          break;
        case kJsonList:
        case kJsonMap:
          r = plan_container(sink, opts, s, v, depth);
          break;
        default:
          break;
      }
      if (r > 0) continue;
      if (r < 0) return at_field(opts, *s.field);
    }
    if (!general_field(sink, opts, msg, *s.field, depth)) return false;
  }
  if (opts.registry) {
    PyObject* store;
    if (!unknown_fields_of(msg, &store)) return false;
    if (store && !write_extensions(sink, opts, m, msg, store, depth)) return false;
  }
  return true;
}

template <class Sink>
bool write_nested_message(Sink& sink, const JsonWriteOptions& opts, MarshalerHandle* h, PyObject* v,
                          uint32_t depth) noexcept {
  MessageMarshaler* m = resolve_handle(h);
  if (!m) return false;
  // The common case: exactly the field's class, bound to its marshaler at creation.
  if (Py_IS_TYPE(v, reinterpret_cast<PyTypeObject*>(m->cls.get())) &&
      as_native(v)->marshaler == m) {
    return write_message(sink, opts, m, v, depth);
  }
  int r = PyObject_IsInstance(v, m->cls.get());
  if (r < 0) return false;
  if (r == 0) {
    raise_fmt(PyExc_TypeError, "expected '%s', got %S", m->full_name.c_str(),
              reinterpret_cast<PyObject*>(Py_TYPE(v)));
    return false;
  }
  if (!is_native_message(v)) return fail_wrong_type(v, "NativeMessage");
  MarshalerRef own = lookup_marshaler(v);
  return own && write_message(sink, opts, own.get(), v, depth);
}

template <class Sink>
bool write_message(Sink& sink, const JsonWriteOptions& opts, const MessageMarshaler* m,
                   PyObject* msg, uint32_t depth) noexcept {
  if (depth > MAX_RECURSION_DEPTH) return fail_too_deep("serializing");
  if (m->wkt != WellKnownKind::None) return write_well_known(sink, opts, m, msg, depth);
  return sink.begin_object() && write_fields(sink, opts, m, msg, depth) && sink.end_object();
}

#define TORVEX_JSON_WRITER_INSTANTIATE(Sink)                                                   \
  template bool write_message<Sink>(Sink&, const JsonWriteOptions&, const MessageMarshaler*,   \
                                    PyObject*, uint32_t);                                      \
  template bool write_fields<Sink>(Sink&, const JsonWriteOptions&, const MessageMarshaler*,    \
                                   PyObject*, uint32_t);                                       \
  template bool write_scalar<Sink>(Sink&, ScalarType, PyObject*);                              \
  template bool write_float<Sink>(Sink&, PyObject*, bool);                                     \
  template bool write_enum<Sink>(Sink&, const JsonWriteOptions&, const EnumTable&, PyObject*); \
  template bool write_nested_message<Sink>(Sink&, const JsonWriteOptions&, MarshalerHandle*,   \
                                           PyObject*, uint32_t);
TORVEX_JSON_WRITER_INSTANTIATE(JsonTextSink)
TORVEX_JSON_WRITER_INSTANTIATE(JsonPrettySink)
TORVEX_JSON_WRITER_INSTANTIATE(JsonTreeSink)
#undef TORVEX_JSON_WRITER_INSTANTIATE

namespace {

// The walk with a path collector; on failure the exception gets a note naming the field path.
template <class Sink>
bool write_root(Sink& sink, const MessageMarshaler* m, PyObject* msg,
                const JsonWriteOptions& opts) noexcept {
  ErrorPath path;
  JsonWriteOptions o = opts;
  o.path = &path;
  if (write_message(sink, o, m, msg, 0)) return true;
  path.attach_note("while encoding ", m->full_name);
  return false;
}

}  // namespace

PyObject* message_to_json_text(const MessageMarshaler* m, PyObject* msg,
                               const JsonWriteOptions& opts) noexcept {
  if (opts.indent >= 0) {
    JsonPrettySink sink(opts.indent);
    if (!write_root(sink, m, msg, opts)) return nullptr;
    return sink.take_str();
  }
  JsonTextSink sink;
  if (!write_root(sink, m, msg, opts)) return nullptr;
  return sink.take_str();
}

PyObject* message_to_json_value(const MessageMarshaler* m, PyObject* msg,
                                const JsonWriteOptions& opts) noexcept {
  JsonTreeSink sink;
  if (!write_root(sink, m, msg, opts)) return nullptr;
  PyObject* root = sink.take_root();
  if (!root) PyErr_SetString(PyExc_ValueError, "no JSON value produced");
  return root;
}

}  // namespace torvex
