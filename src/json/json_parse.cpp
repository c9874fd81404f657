// The proto3 JSON parser over either source. Members are matched against the schema's name
// index as bytes; values are converted natively and stored through the field accessors.
#include "json/json_parse.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "core/args.h"
#include "core/error_path.h"
#include "core/errors.h"
#include "core/limits.h"
#include "core/portable.h"
#include "json/json_scalars.h"
#include "json/wkt_json.h"
#include "message/field_access.h"
#include "message/instance.h"

namespace torvex {

namespace {

// The message readers, with `fresh`: the instance was created by this parse, so its list
// and map attributes still hold the new empty containers its defaults gave it and need no reset.
// `strict` (an Any's payload read ahead of the general reader): the object's first member is
// "@type" and is passed over; any other member that names no field, and any null, make the
// read fail without an error, for the caller to hand the object to the general reader.
template <class Src>
bool read_message_impl(Src& src, const MessageMarshaler* m, PyObject* msg, uint32_t depth,
                       const JsonReadOptions& opts, bool fresh, bool strict = false) noexcept;
template <class Src>
bool read_fields_impl(Src& src, const MessageMarshaler* m, PyObject* msg, uint32_t depth,
                      const JsonReadOptions& opts, bool fresh, bool strict = false) noexcept;

// ---- errors (out of line: the loops only test and forward) --------------------------------

// TypeError "<prefix><str(type(value))>" with the suffix, `value` being the next JSON value.
template <class Src>
TORVEX_COLD bool raise_json_type(Src& src, const char* prefix, const FieldContext& ctx) noexcept {
  Ref v(src.read_any());
  if (!v) return false;
  return raise_conv(PyExc_TypeError, ctx, "%s%S", prefix,
                    reinterpret_cast<PyObject*>(Py_TYPE(v.get())));
}

template <class Src>
TORVEX_COLD bool raise_cannot_decode(Src& src, const MessageMarshaler* m) noexcept {
  Ref v(src.read_any());
  if (!v) return false;
  Ref qual(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(m->cls.get())));
  if (!qual) return false;
  raise_fmt(PyExc_TypeError, "cannot decode %U from JSON: %S", qual.get(), v.get());
  return false;
}

template <class Src>
bool read_int_value(Src& src, JsonKind k, const FieldContext& ctx, IntVal* out) noexcept {
  if (k == JsonKind::Number) {
    JsonNumber n;
    if (!src.read_number_value(&n)) return false;
    if (n.kind == JsonNumber::Small) {
      out->small = true;
      out->i = n.i;
      out->exact = std::move(n.exact);
      return true;
    }
    if (n.kind == JsonNumber::Big) return int_from_object(std::move(n.big), out);
    if (std::isfinite(n.d) && n.d == std::floor(n.d)) return int_from_double(n.d, out);
    Ref f(PyFloat_FromDouble(n.d));
    if (!f) return false;
    return raise_conv(PyExc_ValueError, ctx, "expected integer, got non-integer float: %S",
                      f.get());
  }
  if (k == JsonKind::String) {
    std::string_view s;
    return src.read_str(&s) && int_from_text(s, ctx, out);
  }
  return raise_json_type(src, "unexpected json type: ", ctx);
}

// ---- fields ---------------------------------------------------------------------------------

// Whether `m` is google.protobuf.Value, whose JSON form includes null.
bool is_value_type(const MessageMarshaler* m) noexcept { return m->wkt == WellKnownKind::Value; }

// Field numbers already reset in the current JSON object. Few fields per object need it
// (containers and message fields), so a short inline array covers almost every case.
class ResetSet {
 public:
  // True when `n` was not in the set (and adds it).
  bool add(uint32_t n) {
    for (uint32_t i = 0; i < count_ && i < kInline; ++i) {
      if (inline_[i] == n) return false;
    }
    for (uint32_t x : more_) {
      if (x == n) return false;
    }
    if (count_ < kInline) {
      inline_[count_] = n;
    } else {
      more_.push_back(n);
    }
    ++count_;
    return true;
  }

 private:
  static constexpr uint32_t kInline = 8;
  uint32_t inline_[kInline];
  uint32_t count_ = 0;
  RVec<uint32_t> more_;
};

// Fields and oneofs given a value (not null) in the current JSON object. A second one is
// refused: readers that keep the first and readers that keep the last would otherwise see two
// different messages in one document. Fields are marked by their position in the message.
class RepeatGuard {
 public:
  explicit RepeatGuard(const MessageMarshaler* m) noexcept : m_(m) {}

  // False with ValueError set when `f`, or another member of its oneof, has a value already.
  bool add(const FieldSpec& f) noexcept {
    size_t i = static_cast<size_t>(&f - m_->fields.data());
    uint64_t* word = i < 64 * kInline ? &inline_[i / 64] : more(i);
    uint64_t bit = uint64_t{1} << (i % 64);
    if (*word & bit)
      return raise_conv(PyExc_ValueError, {m_, &f, nullptr}, "value given twice in one object");
    *word |= bit;
    return !f.in_oneof || add_member(f);
  }

 private:
  static constexpr size_t kInline = 2;

  TORVEX_NOINLINE uint64_t* more(size_t i) noexcept {
    size_t w = i / 64 - kInline;
    if (more_.size() <= w) more_.resize(w + 1);
    return &more_[w];
  }

  TORVEX_NOINLINE bool add_member(const FieldSpec& f) noexcept {
    for (const FieldSpec* g : members_) {
      if (g->oneof_name.get() == f.oneof_name.get() ||
          PyUnicode_Compare(g->oneof_name.get(), f.oneof_name.get()) == 0) {
        return raise_conv(PyExc_ValueError, {m_, &f, nullptr},
                          "oneof %U given two members (%U and %U)", f.oneof_name.get(),
                          g->proto_name.get(), f.proto_name.get());
      }
    }
    members_.push_back(&f);
    return true;
  }

  const MessageMarshaler* m_;
  uint64_t inline_[kInline] = {};
  RVec<uint64_t> more_;
  RVec<const FieldSpec*> members_;  // one per oneof seen
};

// The reset of a singular field: `value` stored, presence cleared; a oneof is set to None only
// when it holds this member.
bool reset_singular(const FieldSpec& f, PyObject* msg, PyObject* value) noexcept {
  if (f.in_oneof) {
    Ref attr(f.oneof_accessor.get(msg));
    if (!attr) return false;
    PyObject* cur;
    int r = oneof_member(attr.get(), f, &cur);
    if (r <= 0) return r == 0;
    return f.oneof_accessor.set(msg, Py_None) == 0;
  }
  if (f.accessor.set(msg, value) < 0) return false;
  return !f.has_presence || presence_mark(msg, f.number, false);
}

// A member's first occurrence in an object replaces what the instance held.
bool reset_container(const FieldSpec& f, PyObject* msg) noexcept {
  if (f.cardinality == Cardinality::Singular) return reset_singular(f, msg, Py_None);
  Ref fresh(f.cardinality == Cardinality::List ? PyList_New(0) : PyDict_New());
  return fresh && f.accessor.set(msg, fresh.get()) == 0;
}

// A new instance of the element's message type, read from the source at depth + 1.
template <class Src>
PyObject* read_new_message(Src& src, const ElementKind& e, uint32_t depth,
                           const JsonReadOptions& opts) noexcept {
  MessageMarshaler* sm = resolve_handle(e.handle.get());
  if (!sm) return nullptr;
  Ref obj(create_empty_message(sm, e.handle->cls.get()));
  if (!obj || !read_message_impl(src, sm, obj.get(), depth + 1, opts, true)) return nullptr;
  return obj.release();
}

template <class Src>
bool read_singular(Src& src, const MessageMarshaler* m, const FieldSpec& f, PyObject* msg,
                   uint32_t depth, const JsonReadOptions& opts) noexcept {
  JsonKind k = src.peek();
  if (k == JsonKind::Error) return false;
  switch (f.kind) {
    case ValueKind::Scalar: {
      if (k == JsonKind::Null) {
        if (!src.read_null()) return false;
        if (f.in_oneof) return true;
        Ref zero = scalar_zero(f.elem.scalar);
        return zero && reset_singular(f, msg, zero.get());
      }
      Ref v(read_scalar(src, f.elem.scalar, FieldContext{m, &f, nullptr}));
      return v && store_singular(f, msg, v.get());
    }
    case ValueKind::Enum: {
      const EnumTable* t = f.elem.enum_table.get();
      if (k == JsonKind::Null && !t->is_null_value) {
        return src.read_null() && reset_singular(f, msg, t->default_member.get());
      }
      PyObject* v;
      int r = read_enum(src, t, opts.ignore_unknown_fields, &v);
      if (r <= 0) return r == 0;
      Ref hold(v);
      return store_singular(f, msg, v);
    }
    case ValueKind::Message: {
      MessageMarshaler* sm = resolve_handle(f.elem.handle.get());
      if (!sm) return false;
      if (k == JsonKind::Null && !is_value_type(sm)) {
        return src.read_null() && reset_singular(f, msg, Py_None);
      }
      Ref cur(current_message(f, msg));
      if (!cur) return false;
      if (cur.get() != Py_None) {
        if (!is_native_message(cur.get())) return fail_wrong_type(cur.get(), "NativeMessage");
        return read_message(src, sm, cur.get(), depth + 1, opts);
      }
      Ref v(create_empty_message(sm, f.elem.handle->cls.get()));
      if (!v || !read_message_impl(src, sm, v.get(), depth + 1, opts, true)) return false;
      return store_singular(f, msg, v.get());
    }
    default:
      raise_internal("singular field of a container kind");
      return false;
  }
}

// A plain finite number of the text, read without the general scalar dispatch (see
// take_finite_number); false for everything else and for the tree, which holds floats already.
template <class Src>
bool take_plain_float(Src& src, bool float32, double* out) noexcept {
  if constexpr (Src::kText) return src.take_finite_number(out, float32);
  return false;
}

// Appends `item` to `list`, taking the reference (also on failure). Spare room the list
// over-allocated is filled in place, without a call per item (not where other threads may
// read the list without a lock).
inline int append_new_ref(PyObject* list, PyObject* item) noexcept {
#ifndef Py_GIL_DISABLED
  auto* l = reinterpret_cast<PyListObject*>(list);
  const Py_ssize_t n = Py_SIZE(l);
  if (n < l->allocated) {
    l->ob_item[n] = item;
    Py_SET_SIZE(l, n + 1);
    return 0;
  }
#endif
  const int r = PyList_Append(list, item);
  Py_DECREF(item);
  return r;
}

// The items of the array that comes next (its kind already peeked) appended to `list`.
template <class Src>
bool append_items(Src& src, const ElementKind& e, const FieldContext& ctx, PyObject* list,
                  uint32_t depth, const JsonReadOptions& opts) noexcept {
  typename Src::ArrIter it;
  if (!src.begin_array(it)) return false;
  int r;
  if (e.kind == ElemKind::Scalar) {
    // The common numeric and string lists, without the general element dispatch.
    const ScalarType t = e.scalar;
    const bool floats = t == ScalarType::Double || t == ScalarType::Float;
    while ((r = src.next_element(it)) > 0) {
      PyObject* item;
      double d;
      if (floats && take_plain_float(src, t == ScalarType::Float, &d)) {
        item = PyFloat_FromDouble(d);
      } else {
        JsonKind ek = src.peek();
        if (ek == JsonKind::Error) return false;
        if (ek == JsonKind::Null) {
          return raise_conv(PyExc_ValueError, ctx, "unexpected null value for list item");
        }
        item = read_scalar(src, t, ctx);
      }
      if (!item) return decoding_failed_at_end_of(list);
      if (append_new_ref(list, item) < 0) return false;
    }
    return r == 0;
  }
  while ((r = src.next_element(it)) > 0) {
    PyObject* item;
    int got = read_element(src, e, "list item", ctx, depth, opts, &item);
    if (got < 0) return decoding_failed_at_end_of(list);
    if (got == 0) continue;
    int a = PyList_Append(list, item);
    Py_DECREF(item);
    if (a < 0) return false;
  }
  return r == 0;
}

template <class Src>
bool read_list(Src& src, const MessageMarshaler* m, const FieldSpec& f, PyObject* msg,
               uint32_t depth, const JsonReadOptions& opts) noexcept {
  const FieldContext ctx{m, &f, nullptr};
  JsonKind k = src.peek();
  if (k == JsonKind::Null) return src.read_null();
  if (k == JsonKind::Error) return false;
  if (k != JsonKind::Array) return raise_json_type(src, "expected list got ", ctx);
  Ref list(f.accessor.get(msg));
  if (!list) return false;
  if (!PyList_Check(list.get())) return fail_wrong_type(list.get(), "list");
  return append_items(src, f.elem, ctx, list.get(), depth, opts);
}

// A map key from its JSON text, by the map's key type.
PyObject* map_key(std::string_view s, ScalarType t, const FieldContext& ctx) noexcept {
  if (t == ScalarType::Bool) {
    if (s == "true") Py_RETURN_TRUE;
    if (s == "false") Py_RETURN_FALSE;
    Ref text(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
    if (text) raise_conv(PyExc_ValueError, ctx, "unexpected bool map key value %U", text.get());
    return nullptr;
  }
  IntVal v;
  if (!int_from_text(s, ctx, &v) || !check_range(v, t, ctx)) return nullptr;
  return int_object(v);
}

template <class Src>
bool read_map(Src& src, const MessageMarshaler* m, const FieldSpec& f, PyObject* msg,
              uint32_t depth, const JsonReadOptions& opts) noexcept {
  const FieldContext ctx{m, &f, nullptr};
  JsonKind k = src.peek();
  if (k == JsonKind::Null) return src.read_null();
  if (k == JsonKind::Error) return false;
  if (k != JsonKind::Object) return raise_json_type(src, "expected dict got ", ctx);
  Ref dict(f.accessor.get(msg));
  if (!dict) return false;
  if (!PyDict_Check(dict.get())) return fail_wrong_type(dict.get(), "dict");
  const bool exact = PyDict_CheckExact(dict.get());
  const MapEntrySpec& me = *f.map;
  // Keys of this object, to refuse one given twice (as "1" and "01" too). While the dict was
  // empty before the object, the dict itself is that set.
  Ref seen(PyDict_GET_SIZE(dict.get()) ? PySet_New(nullptr) : nullptr);
  if (PyDict_GET_SIZE(dict.get()) && !seen) return false;
  typename Src::ObjIter it;
  if (!src.begin_object(it)) return false;
  std::string_view key_text;
  int r;
  while ((r = src.next_key(it, &key_text)) > 0) {
    // The key is converted before the value is read: the text view does not outlive that.
    Ref key(me.key_type == ScalarType::String ? src.key_object(it, key_text)
                                              : map_key(key_text, me.key_type, ctx));
    if (!key) return false;
    int dup = seen ? PySet_Contains(seen.get(), key.get()) : PyDict_Contains(dict.get(), key.get());
    if (dup) {
      return dup > 0 ? raise_conv(PyExc_ValueError, ctx, "map key %R given twice", key.get())
                     : false;
    }
    if (seen && PySet_Add(seen.get(), key.get()) < 0) return false;
    PyObject* value;
    int e = read_element(src, me.value, "map value", ctx, depth, opts, &value);
    if (e < 0) return decoding_failed_at_key(key.get());
    if (e == 0) continue;
    Ref hold(value);
    int s = exact ? PyDict_SetItem(dict.get(), key.get(), value)
                  : PyObject_SetItem(dict.get(), key.get(), value);
    if (s < 0) return false;
  }
  return r == 0;
}

// A key naming no field: an extension "[full.name]" when a registry knows it, else skipped
// (ignore_unknown_fields) or refused.
template <class Src>
TORVEX_NOINLINE bool read_unknown_key(Src& src, const MessageMarshaler* m, PyObject* msg,
                                      std::string_view key, uint32_t depth,
                                      const JsonReadOptions& opts) noexcept;

template <class Src>
bool read_member(Src& src, const MessageMarshaler* m, const FieldSpec& f, PyObject* msg,
                 uint32_t depth, const JsonReadOptions& opts) noexcept {
  switch (f.cardinality) {
    case Cardinality::Singular:
      return read_singular(src, m, f, msg, depth, opts);
    case Cardinality::List:
      return read_list(src, m, f, msg, depth, opts);
    case Cardinality::Map:
      return read_map(src, m, f, msg, depth, opts);
  }
  return false;
}

inline const FieldSpec* find_field(const MessageMarshaler* m, std::string_view key) noexcept {
  uint32_t number;
  if (!m->name_index.find(key, &number)) return nullptr;
  const FieldSpec* f = m->index.find(number);
  if (!f) raise_fmt(PyExc_ValueError, "field table lookup failed");
  return f;
}

inline bool needs_reset(const FieldSpec& f) noexcept {
  return f.cardinality != Cardinality::Singular || (f.kind == ValueKind::Message && !f.in_oneof);
}

}  // namespace

// ---- the templates of the header --------------------------------------------------------

namespace {

// Whether a fresh instance's container still is the empty one its defaults stored.
bool untouched_container(const FieldSpec& f, PyObject* msg) noexcept {
  if (f.cardinality == Cardinality::Singular || !f.accessor.is_slot()) return false;
  Ref v(f.accessor.get(msg));
  if (!v) {
    PyErr_Clear();
    return false;
  }
  return f.cardinality == Cardinality::List
             ? PyList_CheckExact(v.get()) && PyList_GET_SIZE(v.get()) == 0
             : PyDict_CheckExact(v.get()) && PyDict_GET_SIZE(v.get()) == 0;
}

template <class Src>
bool read_fields_impl(Src& src, const MessageMarshaler* m, PyObject* msg, uint32_t depth,
                      const JsonReadOptions& opts, bool fresh, bool strict) noexcept {
  typename Src::ObjIter it;
  if (!src.begin_object(it)) return false;
  ResetSet reset;
  RepeatGuard given(m);
  std::string_view key;
  int r;
  bool typed = false;  // strict: the leading "@type" was passed over
  while ((r = src.next_key(it, &key)) > 0) {
    const FieldSpec* f = find_field(m, key);
    if (!f) {
      if (strict) [[unlikely]] {
        // Only the leading "@type" is passed over: a repeated one is the general reader's.
        if (PyErr_Occurred() || typed || key != "@type" || !src.skip()) return false;
        typed = true;
        continue;
      }
      if (PyErr_Occurred() || !read_unknown_key(src, m, msg, key, depth, opts)) return false;
      continue;
    }
    // A value the source cannot read fails in read_member, which names the field.
    JsonKind k = src.peek();
    if (k == JsonKind::Error) {
      PyErr_Clear();
    } else if (k == JsonKind::Null) {
      if (strict) [[unlikely]]
        return false;
    } else if (!given.add(*f)) {
      return false;
    }
    if (needs_reset(*f) && reset.add(f->number) && !(fresh && untouched_container(*f, msg)) &&
        !reset_container(*f, msg)) {
      return false;
    }
    if (!read_member(src, m, *f, msg, depth, opts)) return decoding_failed_in(f->proto_name.get());
  }
  return r == 0;
}

template <class Src>
bool read_message_impl(Src& src, const MessageMarshaler* m, PyObject* msg, uint32_t depth,
                       const JsonReadOptions& opts, bool fresh, bool strict) noexcept {
  if (depth > MAX_RECURSION_DEPTH) return fail_too_deep("parsing");
  if (m->wkt != WellKnownKind::None) {
    return check_layout(msg, m) && read_well_known(src, m, msg, depth, opts);
  }
  JsonKind k = src.peek();
  if (k == JsonKind::Error) return false;
  if (k != JsonKind::Object) return raise_cannot_decode(src, m);
  // Slot accessors write at fixed offsets: the instance must have the schema's layout.
  if (!check_layout(msg, m)) return false;
  return read_fields_impl(src, m, msg, depth, opts, fresh, strict);
}

}  // namespace

bool read_any_payload_ahead(JsonTextSource& src, const MessageMarshaler* m, PyObject* msg,
                            uint32_t depth, const JsonReadOptions& opts) noexcept {
  return read_message_impl(src, m, msg, depth, opts, true, true);
}

template <class Src>
bool read_message(Src& src, const MessageMarshaler* m, PyObject* msg, uint32_t depth,
                  const JsonReadOptions& opts) noexcept {
  return read_message_impl(src, m, msg, depth, opts, false);
}

template <class Src>
bool read_float(Src& src, bool is_float, const FieldContext& ctx, double* out) noexcept {
  JsonKind k = src.peek();
  if (k == JsonKind::Number) {
    if (!src.read_number_as_float(out)) return false;
    if (!std::isfinite(*out)) return raise_not_finite(ctx);
  } else if (k == JsonKind::String) {
    std::string_view s;
    if (!src.read_str(&s) || !float_from_text(s, ctx, out)) return false;
  } else if (k == JsonKind::Error) {
    return false;
  } else {
    return raise_json_type(src, "unexpected json type: ", ctx);
  }
  if (is_float && !fits_float32(*out) && std::isfinite(*out)) {
    return raise_float_range(*out, ctx);
  }
  return true;
}

// At a string: the bytes its base64 text stands for. Out of line, so that the scalar reader's
// shape, inlined into the field loops, stays that of the common types.
template <class Src>
TORVEX_NOINLINE PyObject* read_bytes(Src& src, const FieldContext& ctx) noexcept {
  if constexpr (Src::kText) {
    // Base64 characters are all plain string bytes, so a string that decodes as it lies needs
    // no scan of its own.
    std::string_view raw;
    if (src.raw_string_ahead(&raw)) {
      PyObject* out;
      int r = try_bytes_from_base64(raw, &out);
      if (r < 0) return nullptr;
      if (r > 0) {
        src.take_raw_string(raw);
        return out;
      }
    }
  }
  std::string_view s;
  if (!src.read_str(&s)) return nullptr;
  return bytes_from_base64(s, ctx);
}

template <class Src>
PyObject* read_scalar(Src& src, ScalarType t, const FieldContext& ctx) noexcept {
  JsonKind k = src.peek();
  if (k == JsonKind::Error) return nullptr;
  switch (t) {
    case ScalarType::Double:
    case ScalarType::Float: {
      if constexpr (!Src::kText) {
        // A float of the tree that needs no checks is stored as it is.
        if (k == JsonKind::Number) {
          JsonNumber n;
          if (!src.read_number_value(&n)) return nullptr;
          double d = n.kind == JsonNumber::Small ? static_cast<double>(n.i) : n.d;
          if (n.kind == JsonNumber::Big) {
            d = PyLong_AsDouble(n.big.get());
            if (d == -1.0 && PyErr_Occurred()) {
              if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return nullptr;
              PyErr_Clear();
              d = HUGE_VAL;
            }
          }
          if (!std::isfinite(d)) {
            raise_not_finite(ctx);
            return nullptr;
          }
          if (t == ScalarType::Float && !fits_float32(d)) {
            raise_float_range(d, ctx);
            return nullptr;
          }
          if (n.kind == JsonNumber::Double && n.exact) return n.exact.release();
          return PyFloat_FromDouble(d);
        }
      }
      double d;
      if (!read_float(src, t == ScalarType::Float, ctx, &d)) return nullptr;
      return PyFloat_FromDouble(d);
    }
    case ScalarType::Bool: {
      if (k != JsonKind::Bool) {
        raise_json_type(src, "unexpected json type: ", ctx);
        return nullptr;
      }
      bool b;
      if (!src.read_bool(&b)) return nullptr;
      return Py_NewRef(b ? Py_True : Py_False);
    }
    case ScalarType::String:
      if (k != JsonKind::String) {
        raise_json_type(src, "expected string got: ", ctx);
        return nullptr;
      }
      return src.read_string();
    case ScalarType::Bytes: {
      if (k != JsonKind::String) {
        raise_json_type(src, "expected base64-encoded string got: ", ctx);
        return nullptr;
      }
      return read_bytes(src, ctx);
    }
    default: {
      IntVal v;
      if (!read_int_value(src, k, ctx, &v) || !check_range(v, t, ctx)) return nullptr;
      return int_object(v);
    }
  }
}

template <class Src>
int read_enum(Src& src, const EnumTable* t, bool ignore_unknown, PyObject** out) noexcept {
  JsonKind k = src.peek();
  switch (k) {
    case JsonKind::Error:
      return -1;
    case JsonKind::Null:
      if (!src.read_null()) return -1;
      *out = Py_NewRef(t->default_member.get());
      return 1;
    case JsonKind::Number: {
      JsonNumber n;
      if (!src.read_number_value(&n)) return -1;
      Ref num;
      if (n.kind == JsonNumber::Double) {
        Ref f(PyFloat_FromDouble(n.d));
        if (f)
          raise_fmt(PyExc_ValueError, "cannot decode %U from JSON: %S", t->type_name.get(),
                    f.get());
        return -1;
      }
      if (n.kind == JsonNumber::Small && n.i >= INT32_MIN && n.i <= INT32_MAX) {
        if (PyObject* member = t->by_number.find(static_cast<int32_t>(n.i))) {
          *out = Py_NewRef(member);
          return 1;
        }
      }
      if (ignore_unknown) return 0;
      num = n.kind == JsonNumber::Small ? Ref(PyLong_FromLongLong(n.i)) : std::move(n.big);
      if (!num) return -1;
      *out = PyObject_CallOneArg(t->cls.get(), num.get());
      return *out ? 1 : -1;
    }
    case JsonKind::String: {
      std::string_view s;
      if (!src.read_str(&s)) return -1;
      auto it = t->by_proto_name.find(s);
      if (it == t->by_proto_name.end()) {
        it = t->by_json_name.find(s);
        if (it == t->by_json_name.end()) {
          if (ignore_unknown) return 0;
          Ref text(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
          if (text) {
            raise_fmt(PyExc_ValueError, "cannot decode %U from JSON: %U", t->type_name.get(),
                      text.get());
          }
          return -1;
        }
      }
      PyObject* member = t->by_number.find(it->second);
      if (!member) {
        PyErr_SetString(PyExc_ValueError, "enum value table lookup failed");
        return -1;
      }
      *out = Py_NewRef(member);
      return 1;
    }
    default: {
      Ref v(src.read_any());
      if (v)
        raise_fmt(PyExc_ValueError, "cannot decode %U from JSON: %S", t->type_name.get(), v.get());
      return -1;
    }
  }
}

template <class Src>
int read_element(Src& src, const ElementKind& e, const char* context, const FieldContext& ctx,
                 uint32_t depth, const JsonReadOptions& opts, PyObject** out) noexcept {
  JsonKind k = src.peek();
  if (k == JsonKind::Error) return -1;
  if (k == JsonKind::Null) {
    bool accepted = false;
    if (e.kind == ElemKind::Enum) {
      accepted = e.enum_table->is_null_value;
    } else if (e.kind == ElemKind::Message) {
      MessageMarshaler* sm = resolve_handle(e.handle.get());
      if (!sm) return -1;
      accepted = is_value_type(sm);
    }
    if (!accepted) {
      raise_conv(PyExc_ValueError, ctx, "unexpected null value for %s", context);
      return -1;
    }
  }
  switch (e.kind) {
    case ElemKind::Scalar:
      *out = read_scalar(src, e.scalar, ctx);
      return *out ? 1 : -1;
    case ElemKind::Enum:
      return read_enum(src, e.enum_table.get(), opts.ignore_unknown_fields, out);
    case ElemKind::Message:
      *out = read_new_message(src, e, depth, opts);
      return *out ? 1 : -1;
  }
  return -1;
}

namespace {

// The value of extension `ext` (a registry result whose extendee is this message) into `msg`.
template <class Src>
bool read_extension(Src& src, const MessageMarshaler* m, PyObject* msg, PyObject* ext,
                    uint32_t depth, const JsonReadOptions& opts) noexcept {
  const DescriptorVocabulary* v = m->vocab;
  Ref value_desc(PyObject_GetAttr(ext, v->value));
  if (!value_desc) return false;
  FieldSpec f;
  if (!read_value(v, Py_None, value_desc.get(), &f)) return false;
  if (f.cardinality == Cardinality::Map) {
    PyErr_SetString(PyExc_ValueError, "map extensions are not supported");
    return false;
  }
  Ref name(PyObject_GetAttr(ext, v->type_name));
  if (!name) return false;
  const FieldContext ctx{m, nullptr, name.get()};
  Ref value;
  if (f.cardinality == Cardinality::List) {
    JsonKind k = src.peek();
    if (k == JsonKind::Error) return false;
    if (k != JsonKind::Array) return raise_json_type(src, "expected list got ", ctx);
    value = Ref(PyList_New(0));
    if (!value || !append_items(src, f.elem, ctx, value.get(), depth, opts)) return false;
  } else if (f.kind == ValueKind::Scalar) {
    value = Ref(read_scalar(src, f.elem.scalar, ctx));
  } else if (f.kind == ValueKind::Enum) {
    PyObject* out;
    int r = read_enum(src, f.elem.enum_table.get(), opts.ignore_unknown_fields, &out);
    if (r <= 0) return r == 0;
    value = Ref(out);
  } else {
    value = Ref(read_new_message(src, f.elem, depth, opts));
  }
  if (!value) return false;
  Ref key(PyObject_GetAttr(ext, v->type));
  return key && PyObject_SetItem(msg, key.get(), value.get()) == 0;
}

// "[full.name]" with a registry: 1 handled, 0 not an extension the registry knows, -1 error.
template <class Src>
int try_extension(Src& src, const MessageMarshaler* m, PyObject* msg, std::string_view key,
                  uint32_t depth, const JsonReadOptions& opts) noexcept {
  const DescriptorVocabulary* v = m->vocab;
  Ref name(PyUnicode_DecodeUTF8(key.data() + 1, static_cast<Py_ssize_t>(key.size() - 2), "strict"));
  if (!name) return -1;
  Ref ext(PyObject_CallMethodOneArg(opts.registry, v->extension, name.get()));
  if (!ext) return -1;
  if (ext.get() == Py_None) return 0;
  Ref extendee(PyObject_GetAttr(ext.get(), v->extendee));
  if (!extendee) return -1;
  Ref target(PyObject_GetAttr(extendee.get(), v->type_name));
  std::string_view target_name;
  if (!target || !str_utf8(target.get(), &target_name)) return -1;
  if (target_name != std::string_view(m->full_name)) {
    return src.skip() ? 1 : -1;
  }
  return read_extension(src, m, msg, ext.get(), depth, opts) ? 1 : -1;
}

template <class Src>
bool read_unknown_key(Src& src, const MessageMarshaler* m, PyObject* msg, std::string_view key,
                      uint32_t depth, const JsonReadOptions& opts) noexcept {
  if (opts.registry && key.size() >= 2 && key.front() == '[' && key.back() == ']') {
    // Key views stay valid across the registry call: they point into the input (or its unescaped
    // copy) or into a key the tree source holds.
    int r = try_extension(src, m, msg, key, depth, opts);
    if (r != 0) return r > 0;
  }
  if (opts.ignore_unknown_fields) return src.skip();
  Ref text(PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), "replace"));
  if (!text) return false;
  raise_fmt(PyExc_ValueError, "cannot decode %s from JSON: key: '%U' is unknown",
            m->full_name.c_str(), text.get());
  return false;
}

}  // namespace

// ---- entry points -------------------------------------------------------------------------

bool parse_json_text(const MessageMarshaler* m, PyObject* msg, const char* data, size_t n,
                     bool utf8_valid, const JsonReadOptions& opts, bool fresh) noexcept {
  JsonTextSource src(data, n, utf8_valid);
  return read_message_impl(src, m, msg, 0, opts, fresh) && src.finish();
}

bool parse_json_value(const MessageMarshaler* m, PyObject* msg, PyObject* value, uint32_t depth,
                      const JsonReadOptions& opts, bool fresh) noexcept {
  JsonTreeSource src(value);
  return read_message_impl(src, m, msg, depth, opts, fresh);
}

#define TORVEX_JSON_INSTANTIATE(Src)                                                         \
  template bool read_message<Src>(Src&, const MessageMarshaler*, PyObject*, uint32_t,        \
                                  const JsonReadOptions&) noexcept;                          \
  template PyObject* read_scalar<Src>(Src&, ScalarType, const FieldContext&) noexcept;       \
  template bool read_float<Src>(Src&, bool, const FieldContext&, double*) noexcept;          \
  template int read_enum<Src>(Src&, const EnumTable*, bool, PyObject**) noexcept;            \
  template int read_element<Src>(Src&, const ElementKind&, const char*, const FieldContext&, \
                                 uint32_t, const JsonReadOptions&, PyObject**) noexcept;

TORVEX_JSON_INSTANTIATE(JsonTextSource)
TORVEX_JSON_INSTANTIATE(JsonTreeSource)

#undef TORVEX_JSON_INSTANTIATE

}  // namespace torvex
