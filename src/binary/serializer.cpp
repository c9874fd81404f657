// Binary encoding of message instances. The output is written back to front (see Out), so
// fields are visited last to first, every value is written before its tag, and length-delimited
// content before its length, which is then known without measuring anything in advance. The
// output still reads front to back in declaration order.
//
// Python code can run in the middle of an encode (__index__, __float__, __eq__, __bool__,
// attribute getters, __instancecheck__). Values whose conversion cannot run Python code (exact
// int, float, str, bytes, bool, None) are used borrowed; every other object is held by a strong
// reference of its own while it is converted, and containers are re-checked afterwards.
#include "binary/serializer.h"

#include <bit>
#include <cstring>

#include "binary/reverse_buffer.h"
#include "binary/serializer_values.h"
#include "binary/wire.h"
#include "core/error_path.h"
#include "core/errors.h"
#include "core/portable.h"
#include "message/instance.h"
#include "message/map_order.h"
#include "message/oneof.h"
#include "message/unknown_fields.h"

namespace torvex {

namespace {

using namespace encoder;

template <class O>
struct Encoder;

// Failure forwarders that record the step they unwind through (see error_path.h).
template <class O>
TORVEX_COLD bool fail_at_index(Encoder<O>& enc, Py_ssize_t i) noexcept;
template <class O>
TORVEX_COLD bool fail_at_key(Encoder<O>& enc, PyObject* key) noexcept;
template <class O>
TORVEX_COLD bool fail_in_field(Encoder<O>& enc, const FieldSpec& f) noexcept;

// State of one encode call.
template <class O>
struct Encoder {
  Encoder(bool write_unknown, bool deterministic) noexcept
      : write_unknown(write_unknown), deterministic(deterministic) {}

  // Shared by all nesting levels: a sub-message is written in place, in front of what follows.
  O out;
  // Both apply to the message and every nested one.
  bool write_unknown;
  bool deterministic;  // map entries in ascending key order
  // Filled only while a failure unwinds: where in the tree it happened.
  ErrorPath path;
  // NativeMessage, looked up once per call rather than once per sub-message.
  PyTypeObject* native = nullptr;
  // Classes already seen to derive from NativeMessage, by a hash of their address: a document
  // nests a handful of message classes, so a comparison replaces the subclass walk. Held so
  // that an address cannot be reused by another class during the call.
  Ref known_native[8];

  // The oneof member last found for a member name object, by a hash of its address: a hint
  // that read_choices verifies before use, so that lists of one message type find the chosen
  // member without scanning the fields.
  // Names are allocated a few dozen bytes apart: a multiplicative hash spreads them, where the
  // low address bits put a oneof's seven member names into a few slots that they then share.
  const FieldSpec* member_hint[64] = {};

  const FieldSpec*& hint_slot(PyObject* name) noexcept {
    return member_hint[(reinterpret_cast<uintptr_t>(name) * 0x9E3779B97F4A7C15u) >> 58];
  }

  Ref& known_slot(PyTypeObject* t) noexcept {
    return known_native[(reinterpret_cast<uintptr_t>(t) >> 6) & 7];
  }
  bool known(PyObject* v) noexcept {
    PyTypeObject* t = Py_TYPE(v);
    return known_slot(t).get() == reinterpret_cast<PyObject*>(t);
  }
};

template <class O>
bool fail_at_index(Encoder<O>& enc, Py_ssize_t i) noexcept {
  if (i >= 0) enc.path.index(i);
  return false;
}

template <class O>
bool fail_at_key(Encoder<O>& enc, PyObject* key) noexcept {
  enc.path.key(key);
  return false;
}

template <class O>
bool fail_in_field(Encoder<O>& enc, const FieldSpec& f) noexcept {
  enc.path.field(f.proto_name.get());
  return false;
}

template <class O>
bool encode_fields(const MessageMarshaler* m, PyObject* msg, Encoder<O>& enc,
                   uint32_t depth) noexcept;

template <class O>
TORVEX_NOINLINE bool check_native(PyObject* v, Encoder<O>& enc) noexcept {
  if (!enc.native && !(enc.native = native_message_type())) return false;
  if (!PyObject_TypeCheck(v, enc.native)) return fail_wrong_type(v, "NativeMessage");
  enc.known_slot(Py_TYPE(v)) = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(v)));
  return true;
}

// A sub-message value without its tag: content then length, or for a group the end tag
// before the content (the start tag is the field's own tag, written by the caller).
template <class O>
bool encode_message_value(const ElementKind& e, PyObject* v, Encoder<O>& enc,
                          uint32_t depth) noexcept {
  auto& out = enc.out;
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

template <class O>
inline bool encode_value(const ElementKind& e, PyObject* v, Encoder<O>& enc,
                         uint32_t depth) noexcept {
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

// encode_message_value unrolled into the loop, with the handle resolved at the first element
// that needs it. `at` is set to the element being written, for the error path.
template <class O>
bool message_list(const FieldSpec& f, PyObject* list, Py_ssize_t n, Encoder<O>& enc, uint32_t depth,
                  Py_ssize_t& at) noexcept {
  const ElementKind& e = f.elem;
  auto& out = enc.out;
  MessageMarshaler* sub = nullptr;
  for (Py_ssize_t i = n; i-- > 0;) {
    at = i;
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

// The packed-number loops inlined here run up to a fifth slower at some placements of the code;
// a fixed alignment keeps their speed from moving with unrelated changes elsewhere.
template <class O>
TORVEX_ALIGN_FUNCTION(64)
bool encode_list(const FieldSpec& f, PyObject* list, Encoder<O>& enc, uint32_t depth) noexcept {
  if (!PyList_Check(list)) return fail_wrong_type(list, "list");
  const Py_ssize_t n = PyList_GET_SIZE(list);
  if (n == 0) return true;  // no empty LEN record, packed or not
  auto& out = enc.out;
  size_t before = out.len();
  Py_ssize_t at = -1;  // the element that failed, when one did
  bool ok;
  switch (f.elem.kind) {
    case ElemKind::Scalar:
      switch (f.elem.scalar) {
#define TORVEX_CASE(T)                                    \
  case ScalarType::T:                                     \
    ok = scalar_list<ScalarType::T>(f, list, n, out, at); \
    break;
        TORVEX_SCALAR_TYPES(TORVEX_CASE)
#undef TORVEX_CASE
        default:
          ok = bad_scalar_type();
          break;
      }
      break;
    case ElemKind::Enum:
      ok = enum_list(f, list, n, out, at);
      break;
    default:
      ok = message_list(f, list, n, enc, depth, at);
      break;
  }
  if (!ok) return fail_at_index(enc, at);
  if (f.packed) {
    out.put_varint(out.len() - before);
    out.put_varint(f.tag);
  }
  return true;
}

// Entries are prepended one by one, so they come out in reverse dict order. Key and value are
// always written, zero values included. PyDict_Next re-validates its position on every call,
// and the size check stops the walk once Python code has added or removed entries.
template <class O>
bool encode_entry(const FieldSpec& f, PyObject* key, PyObject* value, Encoder<O>& enc,
                  uint32_t depth) noexcept;

template <class O>
bool encode_map(const FieldSpec& f, PyObject* dict, Encoder<O>& enc, uint32_t depth) noexcept {
  if (!PyDict_Check(dict)) return fail_wrong_type(dict, "dict");
  const Py_ssize_t n = PyDict_GET_SIZE(dict);
  Py_ssize_t pos = 0;
  PyObject *k, *v;
  while (PyDict_Next(dict, &pos, &k, &v)) {
    Ref key = Ref::borrow(k);
    Ref value = Ref::borrow(v);
    if (!encode_entry(f, key.get(), value.get(), enc, depth)) return false;
    if (PyDict_GET_SIZE(dict) != n) return changed_size("dictionary");
  }
  return true;
}

// One map entry (the caller holds key and value), prepended as encode_map writes it.
template <class O>
bool encode_entry(const FieldSpec& f, PyObject* key, PyObject* value, Encoder<O>& enc,
                  uint32_t depth) noexcept {
  const MapEntrySpec& e = *f.map;
  auto& out = enc.out;
  size_t before = out.len();
  if (!encode_value(e.value, value, enc, depth)) return fail_at_key(enc, key);
  out.put_varint(e.value_tag);
  if (!encode_scalar(e.key_type, key, out)) return fail_at_key(enc, key);
  out.put_varint(e.key_tag);
  out.put_varint(out.len() - before);
  out.put_varint(f.tag);
  return true;
}

// Deterministic: the entries of a snapshot, last key first so that they come out ascending.
// The snapshot holds every key and value, so Python code that changes the dict meanwhile
// changes nothing here. A key the order has no place for is left to encode_map, whose checks
// reject it with the usual error.
template <class O>
TORVEX_NOINLINE bool encode_map_sorted(const FieldSpec& f, PyObject* dict, Encoder<O>& enc,
                                       uint32_t depth) noexcept {
  if (!PyDict_Check(dict)) return fail_wrong_type(dict, "dict");
  SortedEntries entries;
  int r = entries.init(dict, f.map->key_type);
  if (r <= 0) {
    if (r < 0) PyErr_Clear();  // a key without UTF-8: encode_map fails on it, with the path
    return encode_map(f, dict, enc, depth);
  }
  for (size_t i = entries.size(); i-- > 0;) {
    if (!encode_entry(f, entries.key(i), entries.value(i), enc, depth)) return false;
  }
  return true;
}

template <class O>
bool encode_field(const FieldSpec& f, PyObject* v, Encoder<O>& enc, uint32_t depth) noexcept {
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
      return enc.deterministic ? encode_map_sorted(f, v, enc, depth) : encode_map(f, v, enc, depth);
  }
  enc.out.put_varint(f.tag);
  return true;
}

// ---- fast path for plain field values ---------------------------------------------------

// A singular scalar whose value is a plain builtin of its own type: the emission test and the
// conversion run no Python code, so the value stays borrowed. 1 handled (written or skipped),
// 0 not a plain value, -1 error.
template <ScalarType kT, class O>
TORVEX_ALWAYS_INLINE inline int plain_scalar_field(PyObject* msg, const FieldSpec& f, PyObject* v,
                                                   O& out) noexcept {
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

template <class O>
inline int plain_enum_field(PyObject* msg, const FieldSpec& f, PyObject* v, O& out) noexcept {
  const EnumTable& t = *f.elem.enum_table.get();
  if (!PyLong_Check(v)) return 0;
  if (f.presence == Presence::Implicit) {
    int d = plain_enum_default(v, t.default_member.get());
    if (d != 0) return d > 0;
  } else if (!presence_test(msg, f.number)) {
    return f.presence == Presence::Required ? required_not_set(f) : 1;
  }
  if (!put_enum(t, v, out)) return -1;
  out.put_varint(f.tag);
  return 1;
}

// The common cases of a field read from a slot, without taking a reference: plain scalars,
// and the skipped empty values of the other kinds. 0 sends the field down the general path.
template <class O>
TORVEX_ALWAYS_INLINE inline int plain_field(PyObject* msg, const FieldSpec& f, PyObject* v,
                                            Encoder<O>& enc) noexcept {
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
      return is_unmade(v) || (PyList_CheckExact(v) && PyList_GET_SIZE(v) == 0);
    case ValueKind::Map:
      return is_unmade(v) || (PyDict_CheckExact(v) && PyDict_GET_SIZE(v) == 0);
    default:
      return 0;
  }
}

// isinstance can be satisfied by __instancecheck__ or a __class__ attribute; the native state
// and the schema's slot offsets need the real layout on top of that.
TORVEX_NOINLINE bool check_instance_slow(const MessageMarshaler* m, PyObject* msg) noexcept {
  PyObject* cls = m->cls.get();
  int r = PyObject_IsInstance(msg, cls);
  if (r < 0) return false;
  if (r == 0) {
    raise_fmt(PyExc_TypeError, "expected %S, got '%S'", cls,
              reinterpret_cast<PyObject*>(Py_TYPE(msg)));
    return false;
  }
  if (!is_native_message(msg)) return fail_wrong_type(msg, "NativeMessage");
  return check_layout(msg, m);
}

// Prepends every record of `store` so that they come out in dict order, then list order.
bool write_unknown_records(PyObject* store, ReverseBuffer& buf) noexcept {
  // Gather first: writing goes back to front, and holding our own references keeps Python
  // code from freeing records under us.
  Ref items(PyList_New(0));
  if (!items) return false;
  Ref snapshot(PyDict_Items(store));
  if (!snapshot) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(snapshot.get()); ++i) {
    PyObject* value = PyTuple_GET_ITEM(PyList_GET_ITEM(snapshot.get(), i), 1);
    if (!PyList_Check(value)) {
      raise_wrong_type(value, "list");
      return false;
    }
    Ref copy(PyList_GetSlice(value, 0, PyList_GET_SIZE(value)));
    if (!copy) return false;
    for (Py_ssize_t j = 0; j < PyList_GET_SIZE(copy.get()); ++j) {
      if (PyList_Append(items.get(), PyList_GET_ITEM(copy.get(), j)) < 0) return false;
    }
  }
  for (Py_ssize_t i = PyList_GET_SIZE(items.get()); i-- > 0;) {
    PyObject* rec = PyList_GET_ITEM(items.get(), i);
    if (!PyBytes_Check(rec)) {
      raise_wrong_type(rec, "bytes");
      return false;
    }
    buf.put_bytes(PyBytes_AS_STRING(rec), static_cast<size_t>(PyBytes_GET_SIZE(rec)));
  }
  return true;
}

// The records go through their own buffer, whose content then becomes one payload.
template <class O>
TORVEX_NOINLINE bool put_unknown(PyObject* store, O& out) noexcept {
  ReverseBuffer records;
  if (!write_unknown_records(store, records)) return false;
  Ref data(records.into_bytes());
  if (!data) return false;
  out.put_bytes(PyBytes_AS_STRING(data.get()), static_cast<size_t>(PyBytes_GET_SIZE(data.get())),
                data.get());
  return true;
}

// Unknown fields are written first so that they end up after every known field.
template <class O>
inline bool write_unknown(PyObject* msg, Encoder<O>& enc) noexcept {
  PyObject* raw;
  if (!unknown_fields_of(msg, &raw)) return false;
  if (!raw || PyDict_GET_SIZE(raw) == 0) return true;
  Ref store = Ref::borrow(raw);
  return put_unknown(store.get(), enc.out);
}

// A oneof's chosen scalar member holding a plain builtin of its type: written as is (a member
// is written whatever its value). 1 written, 0 not a plain value, -1 error.
template <class O>
TORVEX_ALWAYS_INLINE inline int plain_member(const FieldSpec& f, PyObject* v, O& out) noexcept {
  if (f.kind != ValueKind::Scalar) return 0;
  switch (f.elem.scalar) {
#define TORVEX_CASE(T)                                \
  case ScalarType::T:                                 \
    if (!plain_scalar<ScalarType::T>(v)) return 0;    \
    if (!put_plain<ScalarType::T>(v, out)) return -1; \
    out.put_varint(f.tag);                            \
    return 1;
    TORVEX_SCALAR_TYPES(TORVEX_CASE)
#undef TORVEX_CASE
  }
  return 0;
}

// Writes the chosen member `f` holding `value`.
template <class O>
TORVEX_ALWAYS_INLINE inline bool encode_member(const FieldSpec& f, PyObject* value, Encoder<O>& enc,
                                               uint32_t depth) noexcept {
  int r = plain_member(f, value, enc.out);
  if (r > 0) return true;
  if (r < 0 || !encode_field(f, value, enc, depth + 1)) return fail_in_field(enc, f);
  return true;
}

// One field the plan sends down the general path: the chosen member of a oneof in `choices`
// (with kOneofs), the common plain values, else the value select_value reads.
template <bool kOneofs, class O>
TORVEX_ALWAYS_INLINE inline bool encode_general(PyObject* msg, const FieldSpec& f, Encoder<O>& enc,
                                                uint32_t depth,
                                                const OneofChoices* choices) noexcept {
  if constexpr (kOneofs) {
    if (f.in_oneof && f.oneof_index < OneofChoices::kMax) {
      if (choices->member[f.oneof_index] != &f) return true;
      PyObject* value = reinterpret_cast<OneofObject*>(choices->holder[f.oneof_index].get())->value;
      return encode_member(f, value, enc, depth);
    }
  }
  if (f.accessor.is_slot() && !f.in_oneof) {
    PyObject* plain =
        *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(msg) + f.accessor.offset);
    if (plain) {
      int r = plain_field(msg, f, plain, enc);
      if (r > 0) return true;
      if (r < 0) return fail_in_field(enc, f);
    }
  }
  Ref v;
  int r = select_value(msg, f, false, &v);
  if (r == 0) return true;
  if (r < 0 || !encode_field(f, v.get(), enc, depth + 1)) return fail_in_field(enc, f);
  return true;
}

// Room the plan loop keeps in front of its write position before each field: a tag, a value of
// up to 10 bytes, word-store slack.
inline constexpr size_t kPlanRoom = 32;

// The plan loop's output position, kept in locals: the loop and its helpers are written once
// against this interface and instantiated for to_binary (Out) and byte_size (CountOut).
template <class O>
struct Cursor;

// The write position of Out kept in locals by the plan loop (see Out::set_front). Every write
// here has room: the loop tops the block up to kPlanRoom bytes before each field, and longer
// payloads go through Out itself between park() and resume().
template <>
struct Cursor<Out> {
  uint8_t* p;
  uint8_t* lo;  // the current block's start

  explicit Cursor(Out& out) noexcept : p(out.front()), lo(out.block_begin()) {}
  void park(Out& out) const noexcept { out.set_front(p); }
  void resume(Out& out) noexcept {
    p = out.front();
    lo = out.block_begin();
  }
  size_t room() const noexcept { return static_cast<size_t>(p - lo); }
  TORVEX_ALWAYS_INLINE void top_up(Out& out) noexcept {
    if (room() < kPlanRoom) [[unlikely]] {
      park(out);
      out.ensure(kPlanRoom);
      resume(out);
    }
  }
  // The step's tag: its bytes sit at the top of tag_word, so one store puts them in front of p.
  TORVEX_ALWAYS_INLINE void tag(const EncodeStep& s) noexcept {
    std::memcpy(p - 8, &s.tag_word, 8);
    p -= s.tag_len;
  }
  TORVEX_ALWAYS_INLINE void byte(uint8_t b) noexcept { *--p = b; }
  TORVEX_ALWAYS_INLINE void varint(uint64_t v) noexcept { p = varint_before_wide(p, v); }
  TORVEX_ALWAYS_INLINE void fixed32(uint32_t v) noexcept {
    p -= 4;
    std::memcpy(p, &v, 4);
  }
  TORVEX_ALWAYS_INLINE void fixed64(uint64_t v) noexcept {
    p -= 8;
    std::memcpy(p, &v, 8);
  }
  // A payload that `owner` keeps alive: copied here while the block has room to spare, else
  // handed to Out, which may reference a long one instead of copying it.
  TORVEX_ALWAYS_INLINE void payload(const char* data, size_t len, PyObject* owner,
                                    Out& out) noexcept {
    if (len + kPlanRoom <= room()) {
      p -= len;
      Out::copy(p, reinterpret_cast<const uint8_t*>(data), len);
    } else {
      park(out);
      out.put_bytes(data, len, owner);
      out.ensure(kPlanRoom);
      resume(out);
    }
  }
};

// byte_size's position: the running count in a register, every write reduced to its length.
template <>
struct Cursor<CountOut> {
  size_t n;

  explicit Cursor(CountOut& out) noexcept : n(out.len()) {}
  void park(CountOut& out) const noexcept { out.set_len(n); }
  void resume(CountOut& out) noexcept { n = out.len(); }
  void top_up(CountOut&) noexcept {}
  void tag(const EncodeStep& s) noexcept { n += s.tag_len; }
  void byte(uint8_t) noexcept { ++n; }
  void varint(uint64_t v) noexcept { n += varint_size(v); }
  void fixed32(uint32_t) noexcept { n += 4; }
  void fixed64(uint64_t) noexcept { n += 8; }
  void payload(const char*, size_t len, PyObject*, CountOut&) noexcept { n += len; }
};

// A value that passed plain_scalar<kT> and then its tag, through the cursor, when its bytes are
// at hand; 0 (with nothing written) leaves it to the general path, which also words every error.
template <ScalarType kT, class O>
TORVEX_ALWAYS_INLINE inline int plan_write(PyObject* v, const EncodeStep& s, Cursor<O>& c,
                                           O& out) noexcept {
  using enum ScalarType;
  if constexpr (kT == String || kT == Bytes) {
    const char* data;
    Py_ssize_t n;
    if constexpr (kT == Bytes) {
      data = PyBytes_AS_STRING(v);
      n = PyBytes_GET_SIZE(v);
    } else if (PyUnicode_IS_COMPACT_ASCII(v)) {
      data = static_cast<const char*>(PyUnicode_DATA(v));
      n = PyUnicode_GET_LENGTH(v);
    } else if (!PyUnicode_IS_COMPACT(v) || !(data = cached_utf8(v, &n))) {
      return 0;
    }
    auto len = static_cast<size_t>(n);
    c.payload(data, len, v, out);
    c.varint(len);
  } else if constexpr (kT == Double) {
    c.fixed64(std::bit_cast<uint64_t>(PyFloat_AS_DOUBLE(v)));
  } else if constexpr (kT == Float) {
    uint32_t bits;
    if (!float_bits_from_double(PyFloat_AS_DOUBLE(v), &bits)) return 0;
    c.fixed32(bits);
  } else if constexpr (kT == Bool) {
    c.byte(v == Py_True);
  } else {
    int64_t n;
    if (!int_in_range<kT>(v, &n)) return 0;
    if constexpr (kT == Fixed64 || kT == Sfixed64) {
      c.fixed64(int_bits<kT>(n));
    } else if constexpr (kT == Fixed32 || kT == Sfixed32) {
      c.fixed32(static_cast<uint32_t>(int_bits<kT>(n)));
    } else {
      c.varint(int_bits<kT>(n));
    }
  }
  c.tag(s);
  return 1;
}

// A singular scalar of type kT in its slot. kExplicit: presence is the field's bit, else a zero
// value is skipped. 1 handled, 0 left to the general path.
template <ScalarType kT, bool kExplicit, class O>
TORVEX_ALWAYS_INLINE inline int plan_scalar(PyObject* msg, const EncodeStep& s, Cursor<O>& c,
                                            O& out) noexcept {
  PyObject* v = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(msg) + s.offset);
  if (!v || !plain_scalar<kT>(v)) return 0;
  if constexpr (kExplicit) {
    if (!presence_test(msg, s.number)) return 1;
  } else {
    if (plain_zero<kT>(v)) return 1;
  }
  return plan_write<kT>(v, s, c, out);
}

// A singular enum in its slot with implicit presence, as plain_enum_field writes it, when its
// number is at hand; 0 leaves everything else to the general path.
template <class O>
TORVEX_ALWAYS_INLINE inline int plan_enum(PyObject* msg, const EncodeStep& s,
                                          Cursor<O>& c) noexcept {
  PyObject* v = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(msg) + s.offset);
  if (!v || !PyLong_Check(v)) return 0;
  const EnumTable& t = *s.field->elem.enum_table.get();
  int d = plain_enum_default(v, t.default_member.get());
  if (d != 0) return d > 0;
  Py_ssize_t n;
  if (!compact_value(v, &n) || n < INT32_MIN || n > INT32_MAX) return 0;
  if (!t.open && !t.by_number.find(static_cast<int32_t>(n))) return 0;
  c.varint(static_cast<uint64_t>(static_cast<int64_t>(n)));
  c.tag(s);
  return 1;
}

// The chosen scalar member `f` of a oneof holding `v`, written whatever its value; 1 written, 0
// left to encode_member.
template <class O>
inline int plan_member(const MessageMarshaler* m, const FieldSpec& f, PyObject* v, Cursor<O>& c,
                       O& out) noexcept {
  if (f.kind != ValueKind::Scalar) return 0;
  const EncodeStep& s = m->encode_plan[static_cast<size_t>(&f - m->fields.data())];
  c.top_up(out);
  switch (f.elem.scalar) {
#define TORVEX_CASE(T) \
  case ScalarType::T:  \
    return plain_scalar<ScalarType::T>(v) ? plan_write<ScalarType::T>(v, s, c, out) : 0;
    TORVEX_SCALAR_TYPES(TORVEX_CASE)
#undef TORVEX_CASE
  }
  return 0;
}

// A sub-message of the plan loop: content, then its length and the step's tag through the cursor.
// `sub` is the type of `handle`, resolved by the first call that needs it.
template <class O>
TORVEX_ALWAYS_INLINE inline bool plan_message(const EncodeStep& s, MarshalerHandle* handle,
                                              PyObject* v, Encoder<O>& enc, uint32_t depth,
                                              MessageMarshaler*& sub, Cursor<O>& c) noexcept {
  O& out = enc.out;
  if (!enc.known(v) && !check_native(v, enc)) return false;
  if (!sub && !(sub = resolve_handle(handle))) return false;
  c.park(out);
  size_t before = out.len();
  if (!encode_fields(sub, v, enc, depth)) return false;
  out.ensure(kPlanRoom);
  c.resume(out);
  c.varint(out.len() - before);
  c.tag(s);
  return true;
}

// message_list for the plan loop: an exact, non-empty list of sub-messages.
template <class O>
TORVEX_NOINLINE bool plan_message_list(const EncodeStep& s, PyObject* list, Encoder<O>& enc,
                                       uint32_t depth) noexcept {
  const Py_ssize_t n = PyList_GET_SIZE(list);
  O& out = enc.out;
  Cursor<O> c(out);
  MessageMarshaler* sub = nullptr;
  MarshalerHandle* handle = s.field->elem.handle.get();
  for (Py_ssize_t i = n; i-- > 0;) {
    if (PyList_GET_SIZE(list) != n) {
      c.park(out);
      changed_size("list");
      return fail_at_index(enc, i);
    }
    Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
    if (item.get() == Py_None) {
      c.top_up(out);
      c.byte(0);  // an empty sub-message
      c.tag(s);
      continue;
    }
    if (!plan_message(s, handle, item.get(), enc, depth, sub, c)) return fail_at_index(enc, i);
  }
  c.park(out);
  if (PyList_GET_SIZE(list) != n) {
    changed_size("list");
    return fail_at_index(enc, 0);
  }
  return true;
}

// scalar_list for the plan loop: an exact, non-empty list of strings or bytes (never packed).
template <ScalarType kT, class O>
TORVEX_NOINLINE bool plan_text_list(const EncodeStep& s, PyObject* list, Encoder<O>& enc) noexcept {
  const Py_ssize_t n = PyList_GET_SIZE(list);
  O& out = enc.out;
  Cursor<O> c(out);
  for (Py_ssize_t i = n; i-- > 0;) {
    PyObject* item = PyList_GET_ITEM(list, i);
    if (plain_scalar<kT>(item)) {
      c.top_up(out);
      if (plan_write<kT>(item, s, c, out) > 0) continue;
      c.park(out);
      if (!put_plain<kT>(item, out)) return fail_at_index(enc, i);
    } else {
      c.park(out);
      Ref hold = Ref::borrow(item);
      if (!put_scalar<kT>(item, out)) return fail_at_index(enc, i);
      if (PyList_GET_SIZE(list) != n) {
        changed_size("list");
        return fail_at_index(enc, i);
      }
    }
    out.put_varint(s.field->tag);
    c.resume(out);
  }
  c.park(out);
  return true;
}

// encode_entry for the plan loop: sub-message values and str keys through the cursor; `key_step`
// and `value_step` carry the entry's two tags, `sub` the value type once resolved.
template <class O>
bool plan_entry(const EncodeStep& s, const EncodeStep& key_step, const EncodeStep& value_step,
                PyObject* key, PyObject* value, Encoder<O>& enc, uint32_t depth,
                MessageMarshaler*& sub) noexcept {
  const MapEntrySpec& e = *s.field->map;
  O& out = enc.out;
  size_t before = out.len();
  Cursor<O> c(out);
  c.top_up(out);
  if (e.value.kind == ElemKind::Message && !e.value.delimited) {
    if (value == Py_None) {
      c.byte(0);  // an empty sub-message
      c.tag(value_step);
    } else if (!plan_message(value_step, e.value.handle.get(), value, enc, depth, sub, c)) {
      return fail_at_key(enc, key);
    }
  } else {
    c.park(out);
    if (!encode_value(e.value, value, enc, depth)) return fail_at_key(enc, key);
    out.ensure(kPlanRoom);
    c.resume(out);
    c.tag(value_step);
  }
  c.top_up(out);
  bool plain_key = e.key_type == ScalarType::String && PyUnicode_CheckExact(key) &&
                   plan_write<ScalarType::String>(key, key_step, c, out) > 0;
  c.park(out);
  if (!plain_key) {
    if (!encode_scalar(e.key_type, key, out)) return fail_at_key(enc, key);
    out.put_varint(e.key_tag);
  }
  size_t len = out.len() - before;
  out.ensure(kPlanRoom);
  c.resume(out);
  c.varint(len);
  c.tag(s);
  c.park(out);
  return true;
}

// encode_map for the plan loop: an exact, non-empty dict, in dict order.
template <class O>
TORVEX_NOINLINE bool plan_map(const EncodeStep& s, PyObject* dict, Encoder<O>& enc,
                              uint32_t depth) noexcept {
  EncodeStep key_step, value_step;
  set_step_tag(key_step, s.field->map->key_tag);
  set_step_tag(value_step, s.field->map->value_tag);
  MessageMarshaler* sub = nullptr;
  const Py_ssize_t n = PyDict_GET_SIZE(dict);
  Py_ssize_t pos = 0;
  PyObject *k, *v;
  while (PyDict_Next(dict, &pos, &k, &v)) {
    Ref key = Ref::borrow(k);
    Ref value = Ref::borrow(v);
    if (!plan_entry(s, key_step, value_step, key.get(), value.get(), enc, depth, sub)) {
      return false;
    }
    if (PyDict_GET_SIZE(dict) != n) return changed_size("dictionary");
  }
  return true;
}

// encode_map_sorted for the plan loop: the snapshot's entries, last key first; a key the order
// has no place for is left to plan_map, as encode_map_sorted leaves it to encode_map.
template <class O>
TORVEX_NOINLINE bool plan_map_sorted(const EncodeStep& s, PyObject* dict, Encoder<O>& enc,
                                     uint32_t depth) noexcept {
  SortedEntries entries;
  int r = entries.init(dict, s.field->map->key_type);
  if (r <= 0) {
    if (r < 0) PyErr_Clear();  // a key without UTF-8: plan_map fails on it, with the path
    return plan_map(s, dict, enc, depth);
  }
  EncodeStep key_step, value_step;
  set_step_tag(key_step, s.field->map->key_tag);
  set_step_tag(value_step, s.field->map->value_tag);
  MessageMarshaler* sub = nullptr;
  for (size_t i = entries.size(); i-- > 0;) {
    if (!plan_entry(s, key_step, value_step, entries.key(i), entries.value(i), enc, depth, sub)) {
      return false;
    }
  }
  return true;
}

// The fields after the checks, last first. With kOneofs, members of the oneofs in `choices`
// come from what check_oneofs read, so each oneof attribute is read once, not once per member.
template <bool kOneofs, class O>
bool encode_body(const MessageMarshaler* m, PyObject* msg, Encoder<O>& enc, uint32_t depth,
                 const OneofChoices* choices) noexcept {
  if (enc.write_unknown && !write_unknown(msg, enc)) return false;
  if constexpr (std::endian::native != std::endian::little) {
    const FieldSpec* first = m->fields.data();
    for (const FieldSpec* f = first + m->fields.size(); f != first;) {
      if (!encode_general<kOneofs>(msg, *--f, enc, depth, choices)) return false;
    }
    return true;
  } else {
    O& out = enc.out;
    Cursor<O> c(out);
    const EncodeStep* first = m->encode_plan.data();
    for (const EncodeStep* s = first + m->encode_plan.size(); s != first;) {
      --s;
      c.top_up(out);
      int r = 0;
      switch (s->op) {
#define TORVEX_CASE(T)                                        \
  case static_cast<uint8_t>(ScalarType::T):                   \
    r = plan_scalar<ScalarType::T, false>(msg, *s, c, out);   \
    break;                                                    \
  case static_cast<uint8_t>(ScalarType::T) + kEncodeExplicit: \
    r = plan_scalar<ScalarType::T, true>(msg, *s, c, out);    \
    break;
        TORVEX_SCALAR_TYPES(TORVEX_CASE)
#undef TORVEX_CASE
        case kEncodeEnum:
          r = plan_enum(msg, *s, c);
          break;
        case kEncodeMessage: {
          PyObject* v = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(msg) + s->offset);
          if (v == Py_None) continue;
          if (!v) break;
          Ref hold = Ref::borrow(v);  // Python code run by the encode may replace the attribute
          MessageMarshaler* sub = nullptr;
          if (!plan_message(*s, s->field->elem.handle.get(), v, enc, depth + 1, sub, c)) {
            return fail_in_field(enc, *s->field);
          }
          continue;
        }
        // The container cases are spelled out one by one: folded into one helper, the loop
        // measured 8% slower on nested documents.
        case kEncodeStringList:
        case kEncodeBytesList: {
          PyObject* v = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(msg) + s->offset);
          if (!v || !PyList_CheckExact(v)) break;
          if (PyList_GET_SIZE(v) == 0) continue;
          Ref hold = Ref::borrow(v);
          c.park(out);
          bool ok = s->op == kEncodeStringList ? plan_text_list<ScalarType::String>(*s, v, enc)
                                               : plan_text_list<ScalarType::Bytes>(*s, v, enc);
          if (!ok) return fail_in_field(enc, *s->field);
          c.resume(out);
          continue;
        }
        case kEncodeMap: {
          PyObject* v = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(msg) + s->offset);
          if (!v || !PyDict_CheckExact(v)) break;
          if (PyDict_GET_SIZE(v) == 0) continue;
          Ref hold = Ref::borrow(v);
          c.park(out);
          bool ok = enc.deterministic ? plan_map_sorted(*s, v, enc, depth + 1)
                                      : plan_map(*s, v, enc, depth + 1);
          if (!ok) return fail_in_field(enc, *s->field);
          c.resume(out);
          continue;
        }
        case kEncodeMessageList: {
          PyObject* v = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(msg) + s->offset);
          if (!v || !PyList_CheckExact(v)) break;
          if (PyList_GET_SIZE(v) == 0) continue;
          Ref hold = Ref::borrow(v);
          c.park(out);
          if (!plan_message_list(*s, v, enc, depth + 1)) return fail_in_field(enc, *s->field);
          c.resume(out);
          continue;
        }
        case kEncodeList: {
          PyObject* v = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(msg) + s->offset);
          if (!v || !PyList_CheckExact(v)) break;
          if (PyList_GET_SIZE(v) == 0) continue;
          Ref hold = Ref::borrow(v);
          c.park(out);
          if (!encode_list(*s->field, v, enc, depth + 1)) return fail_in_field(enc, *s->field);
          c.resume(out);
          continue;
        }
        default:
          break;
      }
      if (r > 0) continue;
      c.park(out);
      if (!encode_general<kOneofs>(msg, *s->field, enc, depth, choices)) return false;
      c.resume(out);
    }
    c.park(out);
    return true;
  }
}

// The member of oneof `k` whose name object is `name` (the schema's own), or null.
template <class O>
TORVEX_ALWAYS_INLINE inline const FieldSpec* find_member(const MessageMarshaler* m, uint32_t k,
                                                         PyObject* name, Encoder<O>& enc) noexcept {
  const FieldSpec* first = m->fields.data();
  const FieldSpec* end = first + m->fields.size();
  const FieldSpec*& hint = enc.hint_slot(name);
  const FieldSpec* f = hint;
  auto at = reinterpret_cast<uintptr_t>(f);
  bool valid = at >= reinterpret_cast<uintptr_t>(first) && at < reinterpret_cast<uintptr_t>(end);
  if (valid && f->oneof_index == k && f->local_name_obj.get() == name) return f;
  for (f = first; f != end; ++f) {
    if (f->in_oneof && f->oneof_index == k && f->local_name_obj.get() == name) return hint = f;
  }
  return nullptr;
}

// What check_oneofs would record, for the usual case only: every oneof a slot holding None or
// an exact Oneof whose name is the schema's own name object of one of its members. Such a
// message passes check_oneofs, so nothing is raised here; false (with nothing recorded) leaves
// every other case to check_oneofs.
template <class O>
TORVEX_ALWAYS_INLINE inline bool read_choices(const MessageMarshaler* m, PyObject* msg,
                                              Encoder<O>& enc, OneofChoices& c) noexcept {
  const auto n = static_cast<uint32_t>(m->oneofs.size());
  PyTypeObject* oneof = g_oneof_type;  // null: no Oneof exists yet
  if (n > OneofChoices::kMax) return false;
  PyObject* held[OneofChoices::kMax];
  const FieldSpec* member[OneofChoices::kMax];
  for (uint32_t k = 0; k < n; ++k) {
    const AttributeAccessor& acc = m->oneofs[k];
    if (!acc.is_slot()) return false;
    PyObject* v = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(msg) + acc.offset);
    held[k] = v;
    member[k] = nullptr;
    if (v == Py_None) continue;
    if (!v || !oneof || !Py_IS_TYPE(v, oneof)) return false;
    const FieldSpec* f = find_member(m, k, reinterpret_cast<OneofObject*>(v)->field, enc);
    if (!f) return false;
    member[k] = f;
  }
  for (uint32_t k = 0; k < n; ++k) {
    c.member[k] = member[k];
    if (member[k]) c.holder[k] = Ref::borrow(held[k]);  // Python code may replace the attribute
  }
  c.ready = true;
  return true;
}

// A message made of oneofs alone: the chosen members are the only fields to visit, last
// declared first.
template <class O>
bool encode_members(const MessageMarshaler* m, PyObject* msg, Encoder<O>& enc, uint32_t depth,
                    const OneofChoices& c) noexcept {
  if (enc.write_unknown && !write_unknown(msg, enc)) return false;
  const FieldSpec* chosen[OneofChoices::kMax];
  PyObject* values[OneofChoices::kMax];
  size_t n = 0;
  for (size_t k = 0; k < m->oneofs.size(); ++k) {
    if (!c.member[k]) continue;
    // Insertion by declaration order, the latest first.
    size_t at = n++;
    for (; at > 0 && chosen[at - 1] < c.member[k]; --at) {
      chosen[at] = chosen[at - 1];
      values[at] = values[at - 1];
    }
    chosen[at] = c.member[k];
    values[at] = reinterpret_cast<OneofObject*>(c.holder[k].get())->value;
  }
  if constexpr (std::endian::native != std::endian::little) {
    for (size_t i = 0; i < n; ++i) {
      if (!encode_member(*chosen[i], values[i], enc, depth)) return false;
    }
  } else {
    Cursor<O> c(enc.out);
    for (size_t i = 0; i < n; ++i) {
      if (plan_member(m, *chosen[i], values[i], c, enc.out) > 0) continue;
      c.park(enc.out);
      if (!encode_member(*chosen[i], values[i], enc, depth)) return false;
      c.resume(enc.out);
    }
    c.park(enc.out);
  }
  return true;
}

// A message that is one oneof (AnyValue-like): the usual case of read_choices and encode_members
// without their records. 1 written, 0 failed, -1 not the usual case (nothing done), left to
// encode_with_oneofs.
template <class O>
TORVEX_ALWAYS_INLINE inline int encode_single_oneof(const MessageMarshaler* m, PyObject* msg,
                                                    Encoder<O>& enc, uint32_t depth) noexcept {
  if (!m->only_oneof_members || m->oneofs.size() != 1 || !m->oneofs[0].is_slot()) return -1;
  PyObject* v = m->oneofs[0].stored(msg);
  const FieldSpec* f = nullptr;
  if (v != Py_None) {
    PyTypeObject* oneof = g_oneof_type;
    if (!v || !oneof || !Py_IS_TYPE(v, oneof)) return -1;
    if (!(f = find_member(m, 0, reinterpret_cast<OneofObject*>(v)->field, enc))) return -1;
  }
  if (enc.write_unknown && !write_unknown(msg, enc)) return 0;
  if (!f) return 1;
  PyObject* value = reinterpret_cast<OneofObject*>(v)->value;
  Cursor<O> c(enc.out);
  int r = plan_member(m, *f, value, c, enc.out);  // runs no Python code
  c.park(enc.out);
  if (r > 0) return 1;
  Ref holder = Ref::borrow(v);  // Python code may replace the attribute
  return encode_member(*f, value, enc, depth);
}

template <class O>
TORVEX_NOINLINE bool encode_with_oneofs(const MessageMarshaler* m, PyObject* msg, Encoder<O>& enc,
                                        uint32_t depth) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    int r = encode_single_oneof(m, msg, enc, depth);
    if (r >= 0) return r;
  }
  OneofChoices choices;
  if (!read_choices(m, msg, enc, choices)) {
    if (!check_oneofs(m, msg, &choices)) return false;
    // Members the record does not cover are read one by one.
    if (!choices.ready) return encode_body<false>(m, msg, enc, depth, nullptr);
  }
  if (m->only_oneof_members) return encode_members(m, msg, enc, depth, choices);
  return encode_body<true>(m, msg, enc, depth, &choices);
}

// `msg` is known to be a NativeMessage.
template <class O>
bool encode_fields(const MessageMarshaler* m, PyObject* msg, Encoder<O>& enc,
                   uint32_t depth) noexcept {
  if (depth > MAX_RECURSION_DEPTH) return fail_too_deep("serializing");
  if (!Py_IS_TYPE(msg, reinterpret_cast<PyTypeObject*>(m->cls.get())) &&
      !check_instance_slow(m, msg)) {
    return false;
  }
  if (!m->oneofs.empty()) return encode_with_oneofs(m, msg, enc, depth);
  return encode_body<false>(m, msg, enc, depth, nullptr);
}

}  // namespace

PyObject* serialize_message(const MessageMarshaler* m, PyObject* msg, bool write_unknown_fields,
                            bool deterministic) noexcept {
  if (!is_native_message(msg)) {
    check_instance_slow(m, msg);
    return nullptr;
  }
  Encoder<Out> enc(write_unknown_fields, deterministic);
  if (!encode_fields(m, msg, enc, 0)) {
    enc.path.attach_note("while encoding ", m->full_name);
    return nullptr;
  }
  return enc.out.take_bytes();
}

bool message_byte_size(const MessageMarshaler* m, PyObject* msg, bool write_unknown_fields,
                       size_t* size) noexcept {
  if (!is_native_message(msg)) return check_instance_slow(m, msg);
  Encoder<CountOut> enc(write_unknown_fields, false);
  if (!encode_fields(m, msg, enc, 0)) {
    enc.path.attach_note("while sizing ", m->full_name);
    return false;
  }
  *size = enc.out.len();
  return true;
}

}  // namespace torvex
