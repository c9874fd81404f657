// The JSON forms of the well-known types, reached through the markers intake recognised.
#include "json/wkt_json.h"

#include <climits>
#include <cmath>
#include <cstring>
#include <string_view>

#include "binary/parser.h"
#include "binary/serializer.h"
#include "core/args.h"
#include "core/error_path.h"
#include "core/errors.h"
#include "core/limits.h"
#include "core/portable.h"
#include "core/python_private.h"
#include "json/wkt_text.h"
#include "message/field_access.h"
#include "message/instance.h"
#include "message/map_order.h"
#include "message/oneof.h"

namespace torvex {

// ---- JSON output ------------------------------------------------------------------------

namespace {

using wkt_text::TextResult;

TORVEX_COLD bool fail_value(const char* text) noexcept {
  PyErr_SetString(PyExc_ValueError, text);
  return false;
}

// An int field's value (not bool) within [lo, hi]; the scalar writer's errors otherwise.
bool read_int(const AttributeAccessor& acc, PyObject* msg, int64_t lo, int64_t hi,
              const char* range_name, int64_t* out) noexcept {
  Ref v(acc.get(msg));
  if (!v) return false;
  if (!PyLong_Check(v.get()) || PyBool_Check(v.get())) return fail_expected("int", v.get());
  int64_t n;
  if (!to_i64(v.get(), &n) || n < lo || n > hi) return fail_out_of_range(v.get(), range_name);
  *out = n;
  return true;
}

bool read_seconds_nanos(const WellKnownMarker& w, PyObject* msg, int64_t* s, int32_t* n) noexcept {
  int64_t nanos = 0;
  if (!read_int(w.first, msg, INT64_MIN, INT64_MAX, "int64", s) ||
      !read_int(w.second, msg, INT32_MIN, INT32_MAX, "int32", &nanos)) {
    return false;
  }
  *n = static_cast<int32_t>(nanos);
  return true;
}

// The class of an Any payload, as the registry gives it, with its schema.
struct AnyPayload {
  Ref cls;
  Ref marshaler_obj;  // keeps `marshaler` alive
  const MessageMarshaler* marshaler = nullptr;
};

// registry.message(type_name): 1 with the payload class, 0 when the registry returns None, -1
// on error. The result's `type` must be a class with a MessageMarshaler.
int find_payload(const DescriptorVocabulary* v, PyObject* registry, PyObject* type_name,
                 AnyPayload* out) noexcept {
  Ref desc(PyObject_CallMethodOneArg(registry, v->message, type_name));
  if (!desc) return -1;
  if (desc.get() == Py_None) return 0;
  out->cls = Ref(PyObject_GetAttr(desc.get(), v->type));
  if (!out->cls) return -1;
  if (!PyType_Check(out->cls.get())) {
    raise_wrong_type(out->cls.get(), "type");
    return -1;
  }
  out->marshaler_obj = Ref(PyObject_GetAttr(out->cls.get(), v->ext_marshaler));
  if (!out->marshaler_obj) return -1;
  out->marshaler = marshaler_from_object(out->marshaler_obj.get());
  return out->marshaler ? 1 : -1;
}

// The type name of a type URL: the text after its last "/" (all of it without one).
Ref type_name_of(PyObject* url) noexcept {
  Py_ssize_t n = PyUnicode_GET_LENGTH(url);
  Py_ssize_t slash = PyUnicode_FindChar(url, '/', 0, n, -1);
  if (slash == -2) return Ref();
  return Ref(PyUnicode_Substring(url, slash + 1, n));
}

template <class Sink>
bool write_timestamp(Sink& sink, const WellKnownMarker& w, PyObject* msg) noexcept {
  int64_t s;
  int32_t n;
  if (!read_seconds_nanos(w, msg, &s, &n)) return false;
  if (s < wkt_text::kTimestampMinSeconds || s > wkt_text::kTimestampMaxSeconds) {
    return fail_value("timestamp seconds out of range");
  }
  if (n < 0 || n > wkt_text::kMaxNanos) return fail_value("timestamp nanos out of range");
  RString text;
  wkt_text::format_timestamp(s, n, &text);
  return sink.ascii_string(text.data(), text.size());
}

template <class Sink>
bool write_duration(Sink& sink, const WellKnownMarker& w, PyObject* msg) noexcept {
  int64_t s;
  int32_t n;
  if (!read_seconds_nanos(w, msg, &s, &n)) return false;
  if (s < -wkt_text::kDurationMaxSeconds || s > wkt_text::kDurationMaxSeconds) {
    return fail_value("duration seconds out of range");
  }
  if (n < -wkt_text::kMaxNanos || n > wkt_text::kMaxNanos) {
    return fail_value("duration nanos out of range");
  }
  if ((s > 0 && n < 0) || (s < 0 && n > 0)) {
    return fail_value("duration seconds and nanos have different signs");
  }
  RString text;
  wkt_text::format_duration(s, n, &text);
  return sink.ascii_string(text.data(), text.size());
}

template <class Sink>
bool write_field_mask(Sink& sink, const WellKnownMarker& w, PyObject* msg) noexcept {
  Ref paths(w.first.get(msg));
  if (!paths) return false;
  if (!PyList_Check(paths.get())) return fail_wrong_type(paths.get(), "list");
  RString text;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(paths.get()); ++i) {
    PyObject* path = PyList_GET_ITEM(paths.get(), i);
    std::string_view path_text;
    if (!str_utf8(path, &path_text)) return false;
    if (i > 0) text.push_back(',');
    if (!wkt_text::field_mask_path_to_json(path_text, &text)) {
      raise_fmt(PyExc_ValueError, "invalid FieldMask path: lowerCamelCase of %S is irreversible",
                path);
      return false;
    }
  }
  // Valid paths are ASCII letters, digits, "." and "*".
  return sink.ascii_string(text.data(), text.size());
}

// sort_keys: a Struct's members ordered as a string-keyed map's.
template <class Sink>
TORVEX_NOINLINE bool write_sorted_struct(Sink& sink, const JsonWriteOptions& opts,
                                         const WellKnownMarker& w, PyObject* dict,
                                         uint32_t depth) noexcept {
  SortedEntries entries;
  int r = entries.init(dict, ScalarType::String);
  if (r <= 0) return r == 0 && fail_wrong_type(entries.unorderable_key(), "str");
  if (!sink.begin_object()) return false;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (!sink.key(entries.key(i)) ||
        !write_nested_message(sink, opts, w.handle.get(), entries.value(i), depth + 1)) {
      return false;
    }
  }
  return sink.end_object();
}

template <class Sink>
bool write_struct(Sink& sink, const JsonWriteOptions& opts, const WellKnownMarker& w, PyObject* msg,
                  uint32_t depth) noexcept {
  Ref fields(w.first.get(msg));
  if (!fields) return false;
  PyObject* dict = fields.get();
  if (!PyDict_Check(dict)) return fail_wrong_type(dict, "dict");
  if (opts.sort_keys) return write_sorted_struct(sink, opts, w, dict, depth);
  if (!sink.begin_object()) return false;
  const Py_ssize_t size = PyDict_GET_SIZE(dict);
  Py_ssize_t pos = 0;
  PyObject *k, *v;
  while (PyDict_Next(dict, &pos, &k, &v)) {
    Ref key = Ref::borrow(k), value = Ref::borrow(v);
    if (!PyUnicode_Check(k)) return fail_wrong_type(k, "str");
    if (!sink.key(key.get()) ||
        !write_nested_message(sink, opts, w.handle.get(), value.get(), depth + 1)) {
      return false;
    }
    if (PyDict_GET_SIZE(dict) != size) {
      PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
      return false;
    }
  }
  return sink.end_object();
}

template <class Sink>
bool write_list_value(Sink& sink, const JsonWriteOptions& opts, const WellKnownMarker& w,
                      PyObject* msg, uint32_t depth) noexcept {
  Ref values(w.first.get(msg));
  if (!values) return false;
  if (!PyList_Check(values.get())) return fail_wrong_type(values.get(), "list");
  if (!sink.begin_array()) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i) {
    Ref item = Ref::borrow(PyList_GET_ITEM(values.get(), i));
    if (!write_nested_message(sink, opts, w.handle.get(), item.get(), depth + 1)) return false;
  }
  return sink.end_array();
}

// Which member of Value an Oneof names, or -1.
int value_member(const WellKnownMarker& w, PyObject* field) noexcept {
  for (int i = 0; i < 6; ++i) {
    if (w.member_names[i].get() == field) return i;
  }
  if (!PyUnicode_Check(field)) return -1;
  for (int i = 0; i < 6; ++i) {
    if (PyUnicode_Compare(w.member_names[i].get(), field) == 0) return i;
  }
  PyErr_Clear();  // comparing two str objects does not fail otherwise
  return -1;
}

template <class Sink>
bool write_value_message(Sink& sink, const JsonWriteOptions& opts, const WellKnownMarker& w,
                         PyObject* msg, uint32_t depth) noexcept {
  Ref kind(w.first.get(msg));
  if (!kind) return false;
  if (!is_oneof(kind.get())) return fail_value("value must have exactly one field set");
  auto* o = reinterpret_cast<OneofObject*>(kind.get());
  PyObject* v = o->value;
  switch (value_member(w, o->field)) {
    case kNullValue:
      return sink.null();
    case kNumberValue: {
      double d = PyFloat_Check(v) ? PyFloat_AS_DOUBLE(v) : PyFloat_AsDouble(v);
      if (d == -1.0 && PyErr_Occurred()) return false;
      if (!std::isfinite(d)) return fail_value("value cannot be NaN or Infinity");
      if ((PyFloat_Check(v) || PyLong_Check(v)) && !PyBool_Check(v)) return sink.number(v);
      // Other numbers (bool, numpy.float32, Decimal) go as their float value: the sink would
      // write their repr, which is not JSON.
      Ref as_float(PyFloat_FromDouble(d));
      return as_float && sink.number(as_float.get());
    }
    case kStringValue:
      if (!PyUnicode_Check(v)) return fail_wrong_type(v, "str");
      return sink.string(v);
    case kBoolValue: {
      bool b;
      if (!convert_bool(v, "bool_value", &b)) return false;
      return sink.boolean(b);
    }
    case kStructValue:
      return write_nested_message(sink, opts, w.handle.get(), v, depth + 1);
    case kListValue:
      return write_nested_message(sink, opts, w.list_handle.get(), v, depth + 1);
    default:
      return fail_value("value must have exactly one field set");
  }
}

template <class Sink>
bool write_any(Sink& sink, const JsonWriteOptions& opts, const DescriptorVocabulary* vocab,
               const WellKnownMarker& w, PyObject* msg, uint32_t depth) noexcept {
  Ref url(w.first.get(msg));
  if (!url) return false;
  if (!PyUnicode_Check(url.get())) return fail_wrong_type(url.get(), "str");
  if (PyUnicode_GET_LENGTH(url.get()) == 0) return sink.begin_object() && sink.end_object();
  Ref type_name = type_name_of(url.get());
  if (!type_name) return false;
  if (PyUnicode_GET_LENGTH(type_name.get()) == 0) {
    raise_fmt(PyExc_ValueError, "invalid type url: %S", url.get());
    return false;
  }
  AnyPayload payload;
  int found = opts.registry ? find_payload(vocab, opts.registry, type_name.get(), &payload) : 0;
  if (found < 0) return false;
  if (found == 0) {
    raise_fmt(PyExc_ValueError, "any: \"%S\" is not in the type registry", url.get());
    return false;
  }
  Ref value(w.second.get(msg));
  if (!value) return false;
  const char* data;
  Py_ssize_t size;
  if (PyByteArray_Check(value.get())) {
    // Copied: the parse runs Python code, which could resize the bytearray under it.
    value = Ref(PyBytes_FromStringAndSize(PyByteArray_AS_STRING(value.get()),
                                          PyByteArray_GET_SIZE(value.get())));
    if (!value) return false;
  }
  if (PyBytes_Check(value.get())) {
    data = PyBytes_AS_STRING(value.get());
    size = PyBytes_GET_SIZE(value.get());
  } else {
    return fail_wrong_type(value.get(), "bytes");
  }
  const MessageMarshaler* pm = payload.marshaler;
  Ref inner(create_empty_message(pm, payload.cls.get()));
  if (!inner || !parse_into(pm, inner.get(), reinterpret_cast<const uint8_t*>(data),
                            static_cast<size_t>(size), false)) {
    return false;
  }
  if (!sink.begin_object() || !sink.key("@type", 5) || !sink.string(url.get())) return false;
  if (pm->wkt != WellKnownKind::None) {
    if (!sink.key("value", 5) || !write_message(sink, opts, pm, inner.get(), depth + 1)) {
      return false;
    }
  } else {
    if (depth + 1 > MAX_RECURSION_DEPTH) return fail_too_deep("serializing");
    if (!write_fields(sink, opts, pm, inner.get(), depth + 1)) return false;
  }
  return sink.end_object();
}

}  // namespace

template <class Sink>
bool write_well_known(Sink& sink, const JsonWriteOptions& opts, const MessageMarshaler* m,
                      PyObject* msg, uint32_t depth) noexcept {
  const WellKnownMarker& w = *m->wkt_marker.get();
  switch (w.kind) {
    case WellKnownKind::Timestamp:
      return write_timestamp(sink, w, msg);
    case WellKnownKind::Duration:
      return write_duration(sink, w, msg);
    case WellKnownKind::FieldMask:
      return write_field_mask(sink, w, msg);
    case WellKnownKind::Struct:
      return write_struct(sink, opts, w, msg, depth);
    case WellKnownKind::ListValue:
      return write_list_value(sink, opts, w, msg, depth);
    case WellKnownKind::Value:
      return write_value_message(sink, opts, w, msg, depth);
    case WellKnownKind::Any:
      return write_any(sink, opts, m->vocab, w, msg, depth);
    case WellKnownKind::Wrapper: {
      Ref v(w.first.get(msg));
      return v && write_scalar(sink, w.scalar, v.get());
    }
    case WellKnownKind::None:
      break;
  }
  raise_internal("well-known type without a marker");
  return false;
}

template bool write_well_known<JsonTextSink>(JsonTextSink&, const JsonWriteOptions&,
                                             const MessageMarshaler*, PyObject*, uint32_t);
template bool write_well_known<JsonPrettySink>(JsonPrettySink&, const JsonWriteOptions&,
                                               const MessageMarshaler*, PyObject*, uint32_t);
template bool write_well_known<JsonTreeSink>(JsonTreeSink&, const JsonWriteOptions&,
                                             const MessageMarshaler*, PyObject*, uint32_t);

// ---- JSON input -------------------------------------------------------------------------

namespace {

constexpr const char kTypeUrlPrefix[] = "type.googleapis.com/";

// The stored type URL: the document's own str when it is already the canonical one (the usual
// case), which spares formatting a new one.
Ref canonical_url(PyObject* url, const RString& full_name) noexcept {
  constexpr size_t kPrefix = sizeof(kTypeUrlPrefix) - 1;
  if (PyUnicode_CheckExact(url) && PyUnicode_IS_ASCII(url) &&
      static_cast<size_t>(PyUnicode_GET_LENGTH(url)) == kPrefix + full_name.size()) {
    const char* text = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(url));
    if (std::memcmp(text, kTypeUrlPrefix, kPrefix) == 0 &&
        std::memcmp(text + kPrefix, full_name.data(), full_name.size()) == 0) {
      return Ref::borrow(url);
    }
  }
  return Ref(PyUnicode_FromFormat("%s%s", kTypeUrlPrefix, full_name.c_str()));
}

// ValueError/TypeError "cannot decode <full name> from JSON: <detail>".
TORVEX_COLD bool cannot_decode(PyObject* exc, const MessageMarshaler* m,
                               PyObject* detail) noexcept {
  raise_fmt(exc, "cannot decode %s from JSON: %S", m->full_name.c_str(), detail);
  return false;
}

TORVEX_COLD bool cannot_decode(PyObject* exc, const MessageMarshaler* m,
                               const char* reason) noexcept {
  raise_fmt(exc, "cannot decode %s from JSON: %s", m->full_name.c_str(), reason);
  return false;
}

// The TypeError for a value of the wrong JSON kind: the value itself is shown.
template <class Src>
TORVEX_COLD bool wrong_kind(Src& src, const MessageMarshaler* m) noexcept {
  Ref v(src.read_any());
  return v && cannot_decode(PyExc_TypeError, m, v.get());
}

// The next value must be a string: its UTF-8 text, valid until the next read.
template <class Src>
bool read_text(Src& src, const MessageMarshaler* m, std::string_view* out) noexcept {
  JsonKind k = src.peek();
  if (k == JsonKind::Error) return false;
  if (k != JsonKind::String) return wrong_kind(src, m);
  return src.read_str(out);
}

bool store_seconds_nanos(const WellKnownMarker& w, PyObject* msg, int64_t s, int32_t n) noexcept {
  Ref seconds(PyLong_FromLongLong(s)), nanos(PyLong_FromLong(n));
  return seconds && nanos && store_singular(*w.first_spec, msg, seconds.get()) &&
         store_singular(*w.second_spec, msg, nanos.get());
}

template <class Src>
bool read_timestamp(Src& src, const MessageMarshaler* m, const WellKnownMarker& w,
                    PyObject* msg) noexcept {
  std::string_view text;
  if (!read_text(src, m, &text)) return false;
  int64_t s;
  int32_t n;
  switch (wkt_text::parse_timestamp(text, &s, &n)) {
    case TextResult::Ok:
      return store_seconds_nanos(w, msg, s, n);
    case TextResult::Invalid:
      return cannot_decode(PyExc_ValueError, m, "invalid RFC 3339 string");
    case TextResult::OutOfRange:
      break;
  }
  return cannot_decode(PyExc_ValueError, m,
                       "must be from 0001-01-01T00:00:00Z to 9999-12-31T23:59:59Z inclusive");
}

template <class Src>
bool read_duration(Src& src, const MessageMarshaler* m, const WellKnownMarker& w,
                   PyObject* msg) noexcept {
  std::string_view text;
  if (!read_text(src, m, &text)) return false;
  int64_t s;
  int32_t n;
  if (wkt_text::parse_duration(text, &s, &n) == TextResult::Ok) {
    return store_seconds_nanos(w, msg, s, n);
  }
  Ref whole(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  return whole && cannot_decode(PyExc_ValueError, m, whole.get());
}

template <class Src>
bool read_field_mask(Src& src, const MessageMarshaler* m, const WellKnownMarker& w,
                     PyObject* msg) noexcept {
  std::string_view text;
  if (!read_text(src, m, &text)) return false;
  Ref paths(w.first.get(msg));
  if (!paths) return false;
  if (!PyList_Check(paths.get())) return fail_wrong_type(paths.get(), "list");
  if (text.empty()) return true;
  // Converted in full first: a refused piece must not leave earlier pieces appended.
  RVec<Ref> converted;
  size_t start = 0;
  while (true) {
    size_t comma = text.find(',', start);
    std::string_view piece =
        text.substr(start, comma == std::string_view::npos ? comma : comma - start);
    if (piece.find('_') != std::string_view::npos) {
      return cannot_decode(PyExc_ValueError, m, "path names must be lowerCamelCase");
    }
    RString snake;
    wkt_text::field_mask_path_from_json(piece, &snake);
    Ref path(PyUnicode_FromStringAndSize(snake.data(), static_cast<Py_ssize_t>(snake.size())));
    if (!path) return false;
    converted.push_back(std::move(path));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  for (const Ref& path : converted) {
    if (PyList_Append(paths.get(), path.get()) < 0) return false;
  }
  return true;
}

template <class Src>
PyObject* read_value_oneof(Src& src, const WellKnownMarker& w, uint32_t depth,
                           const JsonReadOptions& opts) noexcept;

// A new instance of the handle's type read from the source at `depth` (new reference).
template <class Src>
PyObject* read_new(Src& src, MarshalerHandle* h, uint32_t depth,
                   const JsonReadOptions& opts) noexcept {
  MessageMarshaler* sm = resolve_handle(h);
  if (!sm) return nullptr;
  Ref obj(create_empty_message(sm, h->cls.get()));
  if (!obj || !read_message(src, sm, obj.get(), depth, opts)) return nullptr;
  return obj.release();
}

// How a Struct or ListValue makes its members, which are most of the objects in such documents.
// A Value class that allocates natively and whose only default is its oneof slot gets instances
// allocated here with the member's Oneof stored at once: the general path would store the
// default first and dispatch on the type again per member.
struct MemberMaker {
  explicit MemberMaker(MarshalerHandle* h) noexcept : handle(h) {}

  MarshalerHandle* handle;
  bool ready = false;  // set up on the first member, so that an empty container resolves nothing
  // Set when members are made directly: the Value schema, its marker and the class.
  MessageMarshaler* m = nullptr;
  const WellKnownMarker* value = nullptr;
  PyTypeObject* cls = nullptr;

  bool setup() noexcept {
    ready = true;
    MessageMarshaler* sm = resolve_handle(handle);
    if (!sm) return false;
    PyObject* c = handle->cls.get();
    if (sm->wkt != WellKnownKind::Value || !has_native_new(c)) return true;
    const WellKnownMarker& w = *sm->wkt_marker.get();
    const DefaultsTable& d = sm->defaults;
    if (w.first.is_slot() && d.plain.size() == 1 && d.lists.empty() && d.dicts.empty() &&
        d.plain[0].first.offset == w.first.offset) {
      m = sm;
      value = &w;
      cls = reinterpret_cast<PyTypeObject*>(c);
    }
    return true;
  }
};

template <class Src>
PyObject* read_member(Src& src, MemberMaker& mk, uint32_t depth,
                      const JsonReadOptions& opts) noexcept {
  if (!mk.ready && !mk.setup()) return nullptr;
  if (!mk.value) return read_new(src, mk.handle, depth, opts);
  if (depth > MAX_RECURSION_DEPTH) {
    fail_too_deep("parsing");
    return nullptr;
  }
  Ref oneof(read_value_oneof(src, *mk.value, depth, opts));
  if (!oneof) return nullptr;
  PyObject* obj = alloc_instance(mk.cls, mk.m);
  if (!obj) return nullptr;
  // Fresh from the allocator: the slot is empty, nothing to release.
  *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + mk.value->first.offset) =
      oneof.release();
  return obj;
}

// The members of a Struct whose dict is not made yet, as read (owned key, value pairs): the
// dict is then made at its final size, where filling one made at once would re-insert every
// entry each time it grows.
class StructMembers {
 public:
  StructMembers() noexcept = default;
  StructMembers(const StructMembers&) = delete;
  StructMembers& operator=(const StructMembers&) = delete;
  ~StructMembers() {
    PyObject** p = data();
    for (size_t i = 0; i < n_; ++i) Py_DECREF(p[i]);
  }

  // Takes both references.
  TORVEX_ALWAYS_INLINE void add(Ref& key, Ref& value) noexcept {
    if (n_ >= kInline) return add_spilled(key, value);
    inline_[n_] = key.release();
    inline_[n_ + 1] = value.release();
    n_ += 2;
  }

  // Puts the members into the Struct `msg` in reading order (a repeated key keeps its first
  // place and its last value, as with one insertion each).
  bool store(const WellKnownMarker& w, PyObject* msg) noexcept {
    if (n_ == 0) return true;  // the slot may keep its placeholder
    PyObject** p = data();
    if (w.first.holds_unmade(msg)) {
      Ref dict(new_presized_dict(static_cast<Py_ssize_t>(n_ / 2)));
      if (!dict) return false;
      for (size_t i = 0; i < n_; i += 2) {
        if (PyDict_SetItem(dict.get(), p[i], p[i + 1]) < 0) return false;
      }
      // Allocating can collect garbage and so run Python code that makes the dict first: then
      // the members go into that one below.
      if (w.first.holds_unmade(msg)) return w.first.set(msg, dict.get()) == 0;
    }
    Ref fields(w.first.get(msg));
    if (!fields) return false;
    if (!PyDict_Check(fields.get())) return fail_wrong_type(fields.get(), "dict");
    for (size_t i = 0; i < n_; i += 2) {
      if (PyObject_SetItem(fields.get(), p[i], p[i + 1]) < 0) return false;
    }
    return true;
  }

 private:
  static constexpr size_t kInline = 64;  // 32 members without a heap buffer

  PyObject** data() noexcept { return n_ > kInline ? spill_.data() : inline_; }

  TORVEX_NOINLINE void add_spilled(Ref& key, Ref& value) noexcept {
    if (n_ == kInline) spill_.assign(inline_, inline_ + kInline);
    spill_.push_back(key.release());
    spill_.push_back(value.release());
    n_ += 2;
  }

  PyObject* inline_[kInline];
  RVec<PyObject*> spill_;  // all members once there are more than kInline / 2
  size_t n_ = 0;           // references held: two per member
};

// Reads the members of a Struct's object, handing each (key, value) to `put`, which may take
// both references and returns false on failure. False with an error set on any failure.
template <class Src, class Put>
TORVEX_ALWAYS_INLINE inline bool read_struct_members(Src& src, const WellKnownMarker& w,
                                                     uint32_t depth, const JsonReadOptions& opts,
                                                     Put put) noexcept {
  MemberMaker maker(w.handle.get());
  typename Src::ObjIter it;
  if (!src.begin_object(it)) return false;
  std::string_view key_text;
  int r;
  while ((r = src.next_key(it, &key_text)) > 0) {
    Ref key(src.key_object(it, key_text));
    if (!key) return false;
    Ref value(read_member(src, maker, depth + 1, opts));
    if (!value || !put(key, value)) return false;
  }
  return r == 0;
}

template <class Src>
bool read_struct(Src& src, const MessageMarshaler* m, const WellKnownMarker& w, PyObject* msg,
                 uint32_t depth, const JsonReadOptions& opts) noexcept {
  JsonKind k = src.peek();
  if (k == JsonKind::Error) return false;
  if (k != JsonKind::Object) return wrong_kind(src, m);
  if (w.first.is_slot() && w.first.holds_unmade(msg)) {
    StructMembers read;
    if (read_struct_members(src, w, depth, opts, [&read](Ref& key, Ref& value) noexcept {
          read.add(key, value);
          return true;
        })) {
      return read.store(w, msg);
    }
    // The members read before a failure are kept, as when each went in as it was read.
    PyObject* exc = PyErr_GetRaisedException();
    if (!read.store(w, msg)) PyErr_Clear();
    PyErr_SetRaisedException(exc);
    return false;
  }
  Ref fields(w.first.get(msg));
  if (!fields) return false;
  PyObject* dict = fields.get();
  if (!PyDict_Check(dict)) return fail_wrong_type(dict, "dict");
  const bool exact = PyDict_CheckExact(dict);
  return read_struct_members(src, w, depth, opts, [dict, exact](Ref& key, Ref& value) noexcept {
    return (exact ? PyDict_SetItem(dict, key.get(), value.get())
                  : PyObject_SetItem(dict, key.get(), value.get())) == 0;
  });
}

template <class Src>
bool read_list_value(Src& src, const MessageMarshaler* m, const WellKnownMarker& w, PyObject* msg,
                     uint32_t depth, const JsonReadOptions& opts) noexcept {
  JsonKind k = src.peek();
  if (k == JsonKind::Error) return false;
  if (k != JsonKind::Array) return wrong_kind(src, m);
  Ref values(w.first.get(msg));
  if (!values) return false;
  if (!PyList_Check(values.get())) return fail_wrong_type(values.get(), "list");
  MemberMaker maker(w.handle.get());
  typename Src::ArrIter it;
  if (!src.begin_array(it)) return false;
  int r;
  while ((r = src.next_element(it)) > 0) {
    Ref value(read_member(src, maker, depth + 1, opts));
    if (!value || PyList_Append(values.get(), value.get()) < 0) return false;
  }
  return r == 0;
}

#ifndef Py_GIL_DISABLED
// The Oneofs of JSON null, false and true. A Oneof is immutable, so every Value read from one of
// these shares one instead of allocating its own. Kept for the life of the process; an entry is
// used only while it holds the reading marker's own objects (the table is shared by all Value
// classes). Builds without the interpreter lock make a new one each time.
PyObject* g_shared_oneofs[3];
#endif

PyObject* shared_oneof(const WellKnownMarker& w, int member, PyObject* value) noexcept {
  PyObject* field = w.member_names[member].get();
#ifndef Py_GIL_DISABLED
  PyObject*& entry = g_shared_oneofs[member == kNullValue ? 0 : value == Py_True ? 2 : 1];
  auto* o = reinterpret_cast<OneofObject*>(entry);
  if (o && o->field == field && o->value == value) return Py_NewRef(entry);
  PyObject* made = make_oneof(field, value);
  if (made) Py_XSETREF(entry, Py_NewRef(made));
  return made;
#else
  return make_oneof(field, value);
#endif
}

// The Oneof a Value read from the source holds (new reference).
template <class Src>
PyObject* read_value_oneof(Src& src, const WellKnownMarker& w, uint32_t depth,
                           const JsonReadOptions& opts) noexcept {
  Ref value;
  int member;
  switch (src.peek()) {
    case JsonKind::Error:
      return nullptr;
    case JsonKind::Null:
      if (!src.read_null()) return nullptr;
      return shared_oneof(w, kNullValue, w.null_member.get());
    case JsonKind::Bool: {
      bool b;
      if (!src.read_bool(&b)) return nullptr;
      return shared_oneof(w, kBoolValue, b ? Py_True : Py_False);
    }
    case JsonKind::Number: {
      member = kNumberValue;
      if constexpr (!Src::kText) {
        // A float from the tree is immutable: the Value holds it, not a copy.
        if (PyFloat_CheckExact(src.current())) {
          value = src.take_current();
          break;
        }
      }
      double d;
      if (!src.read_number_as_float(&d)) return nullptr;
      value = Ref(PyFloat_FromDouble(d));
      break;
    }
    case JsonKind::String:
      member = kStringValue;
      if constexpr (!Src::kText) {
        if (PyUnicode_CheckExact(src.current())) {
          value = src.take_current();
          break;
        }
      }
      value = Ref(src.read_string());
      break;
    case JsonKind::Array:
      member = kListValue;
      value = Ref(read_new(src, w.list_handle.get(), depth + 1, opts));
      break;
    case JsonKind::Object:
      member = kStructValue;
      value = Ref(read_new(src, w.handle.get(), depth + 1, opts));
      break;
    default:
      raise_internal("unexpected JSON kind");
      return nullptr;
  }
  if (!value) return nullptr;
  return make_oneof(w.member_names[member].get(), value.get());
}

template <class Src>
bool read_value_message(Src& src, const WellKnownMarker& w, PyObject* msg, uint32_t depth,
                        const JsonReadOptions& opts) noexcept {
  Ref oneof(read_value_oneof(src, w, depth, opts));
  return oneof && w.first.set(msg, oneof.get()) == 0;
}

template <class Src>
bool read_wrapper(Src& src, const MessageMarshaler* m, const WellKnownMarker& w,
                  PyObject* msg) noexcept {
  JsonKind k = src.peek();
  if (k == JsonKind::Error) return false;
  Ref value;
  if (k == JsonKind::Null) {
    if (!src.read_null()) return false;
    value = scalar_zero(w.scalar);
  } else {
    value = Ref(read_scalar(src, w.scalar, FieldContext{m, w.first_spec, nullptr}));
  }
  return value && store_singular(*w.first_spec, msg, value.get());
}

// The payload's type URL and serialized message into the Any `msg`.
bool store_any(const WellKnownMarker& w, PyObject* msg, PyObject* url, const MessageMarshaler* pm,
               PyObject* inner) noexcept {
  Ref bytes(serialize_message(pm, inner, true));
  if (!bytes) return false;
  Ref full_url = canonical_url(url, pm->full_name);
  return full_url && store_singular(*w.first_spec, msg, full_url.get()) &&
         store_singular(*w.second_spec, msg, bytes.get());
}

// An Any whose "@type" comes first, as writers put it, read in one pass: the payload goes from
// the text straight into its message instead of through a dict of the whole object. False for
// anything else ("@type" elsewhere, a member the payload does not name, a field named twice,
// any failure): the general reader then reads the same text and raises what it raises.
bool read_any_ahead(JsonTextSource& src, const JsonTextSource::Mark& at, const MessageMarshaler* m,
                    const WellKnownMarker& w, PyObject* msg, uint32_t depth,
                    const JsonReadOptions& opts) noexcept {
  JsonTextSource::ObjIter it;
  std::string_view key;
  if (!opts.registry || depth + 1 > MAX_RECURSION_DEPTH || src.peek() != JsonKind::Object ||
      !src.begin_object(it) || src.next_key(it, &key) <= 0 || key != "@type" ||
      src.peek() != JsonKind::String) {
    return false;
  }
  Ref url(src.read_string());
  Ref type_name = url ? type_name_of(url.get()) : Ref();
  AnyPayload payload;
  if (!type_name || find_payload(m->vocab, opts.registry, type_name.get(), &payload) <= 0) {
    return false;
  }
  const MessageMarshaler* pm = payload.marshaler;
  Ref inner(create_empty_message(pm, payload.cls.get()));
  if (!inner) return false;
  const uint32_t negative_zeros = src.integer_negative_zeros();
  if (pm->wkt == WellKnownKind::None) {
    // The payload's fields are the object's other members: read from its start again.
    src.rewind(at);
    if (!read_any_payload_ahead(src, pm, inner.get(), depth + 1, opts)) return false;
  } else if (src.next_key(it, &key) <= 0 || key != "value" ||
             !read_message(src, pm, inner.get(), depth + 1, opts) || src.next_key(it, &key) != 0) {
    return false;  // a well-known payload is the member "value", alone
  }
  // The general reader takes the object whole as Python values, which read "-0" as 0.
  if (src.integer_negative_zeros() != negative_zeros) return false;
  return store_any(w, msg, url.get(), pm, inner.get());
}

template <class Src>
bool read_any_message(Src& src, const MessageMarshaler* m, const WellKnownMarker& w, PyObject* msg,
                      uint32_t depth, const JsonReadOptions& opts) noexcept {
  if constexpr (Src::kText) {
    const JsonTextSource::Mark at = src.mark();
    const size_t steps = decoding_path().size();
    if (read_any_ahead(src, at, m, w, msg, depth, opts)) return true;
    PyErr_Clear();
    decoding_path().truncate(steps);
    src.rewind(at);
  }
  Ref doc(src.read_any());
  if (!doc) return false;
  if (!PyDict_Check(doc.get())) return cannot_decode(PyExc_TypeError, m, doc.get());
  PyObject* url = PyDict_GetItemWithError(doc.get(), m->vocab->at_type);
  if (!url && PyErr_Occurred()) return false;
  // {} is the empty Any (what the writer makes of one): nothing to store.
  if (!url && PyDict_GET_SIZE(doc.get()) == 0) return true;
  if (!url || !PyUnicode_Check(url)) {
    raise_fmt(PyExc_ValueError, "cannot decode %s from JSON: %S, @type is invalid: %S",
              m->full_name.c_str(), doc.get(), url ? url : Py_None);
    return false;
  }
  Ref url_hold = Ref::borrow(url);
  Ref type_name = type_name_of(url);
  if (!type_name) return false;
  AnyPayload payload;
  int found = opts.registry ? find_payload(m->vocab, opts.registry, type_name.get(), &payload) : 0;
  if (found < 0) return false;
  if (found == 0) {
    raise_fmt(PyExc_ValueError, "cannot decode %s from JSON: %S is not in the type registry",
              m->full_name.c_str(), type_name.get());
    return false;
  }
  const MessageMarshaler* pm = payload.marshaler;
  Ref inner(create_empty_message(pm, payload.cls.get()));
  if (!inner) return false;
  if (pm->wkt != WellKnownKind::None) {
    PyObject* value = PyDict_GetItemWithError(doc.get(), m->vocab->value);
    if (!value && PyErr_Occurred()) return false;
    if (value) {
      Ref value_hold = Ref::borrow(value);
      if (!parse_json_value(pm, inner.get(), value, depth + 1, opts, true)) return false;
    }
  } else {
    Ref fields(PyDict_Copy(doc.get()));
    if (!fields || PyDict_DelItem(fields.get(), m->vocab->at_type) < 0) return false;
    if (!parse_json_value(pm, inner.get(), fields.get(), depth + 1, opts, true)) return false;
  }
  return store_any(w, msg, url, pm, inner.get());
}

}  // namespace

template <class Src>
bool read_well_known(Src& src, const MessageMarshaler* m, PyObject* msg, uint32_t depth,
                     const JsonReadOptions& opts) noexcept {
  const WellKnownMarker& w = *m->wkt_marker.get();
  switch (w.kind) {
    case WellKnownKind::Timestamp:
      return read_timestamp(src, m, w, msg);
    case WellKnownKind::Duration:
      return read_duration(src, m, w, msg);
    case WellKnownKind::FieldMask:
      return read_field_mask(src, m, w, msg);
    case WellKnownKind::Struct:
      return read_struct(src, m, w, msg, depth, opts);
    case WellKnownKind::ListValue:
      return read_list_value(src, m, w, msg, depth, opts);
    case WellKnownKind::Value:
      return read_value_message(src, w, msg, depth, opts);
    case WellKnownKind::Any:
      return read_any_message(src, m, w, msg, depth, opts);
    case WellKnownKind::Wrapper:
      return read_wrapper(src, m, w, msg);
    case WellKnownKind::None:
      break;
  }
  raise_internal("well-known type without a marker");
  return false;
}

template bool read_well_known<JsonTextSource>(JsonTextSource&, const MessageMarshaler*, PyObject*,
                                              uint32_t, const JsonReadOptions&);
template bool read_well_known<JsonTreeSource>(JsonTreeSource&, const MessageMarshaler*, PyObject*,
                                              uint32_t, const JsonReadOptions&);

}  // namespace torvex
