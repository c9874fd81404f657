// Binary decoding into message instances with merge semantics: scalars take the last value,
// sub-messages merge in place, lists append, maps insert, oneofs replace. Values the schema
// cannot hold go to the instance's unknown-field store as raw wire records.
#include "binary/parser.h"

#include <cstring>

#include "binary/float_bits.h"
#include "core/error_path.h"
#include "core/errors.h"
#include "core/portable.h"
#include "core/python_private.h"
#include "core/ref.h"
#include "message/field_access.h"
#include "message/instance.h"
#include "message/unknown_fields.h"

namespace torvex {

namespace {

// How a message value finds the object it decodes into.
enum class Mode : uint8_t {
  Singular,   // merge into the field's current message, if it holds one
  New,        // always a fresh instance (list elements, first map value)
  MergeInto,  // a given object (a map value seen earlier in the same entry)
};

// ---- failure paths (out of line: the loops only test and forward) -----------------------

TORVEX_COLD bool wire_fail(const WireError& err) noexcept {
  raise_wire_error(err);
  return false;
}

TORVEX_COLD PyObject* wire_fail_obj(const WireError& err) noexcept { return raise_wire_error(err); }

// Records the field a failure unwinds through (see error_path.h). A field the schema does not
// take (a record cut short) has no name to show.
TORVEX_COLD bool fail_in_field(const MessageMarshaler* m, uint32_t tag) noexcept {
  const FieldSpec* f = m->index.find(tag_number(tag));
  return f ? decoding_failed_in(f->proto_name.get()) : false;
}

// Forward varint encoding into `out` (room for 10 bytes); returns the byte count.
inline size_t encode_varint(uint8_t* out, uint64_t v) noexcept {
  size_t n = 0;
  while (v >= 0x80) {
    out[n++] = static_cast<uint8_t>(v) | 0x80;
    v >>= 7;
  }
  out[n++] = static_cast<uint8_t>(v);
  return n;
}

// Record for an enum number a closed enum does not list: the tag, then the varint as read (all
// 64 bits of it, not the 32 the enum looked at), so that writing the message back loses nothing.
TORVEX_COLD bool store_enum_record(PyObject* msg, uint32_t number, uint32_t tag,
                                   uint64_t raw) noexcept {
  uint8_t buf[15];
  size_t k = encode_varint(buf, tag);
  k += encode_varint(buf + k, raw);
  return append_unknown_record(msg, number, buf, k);
}

// A map entry the map cannot take: the field's tag, the entry length and the entry bytes.
TORVEX_COLD bool store_map_record(PyObject* msg, uint32_t number, uint32_t tag,
                                  const InputView& entry) noexcept {
  RVec<uint8_t> rec(entry.remaining + 15);
  size_t k = encode_varint(rec.data(), tag);
  k += encode_varint(rec.data() + k, entry.remaining);
  if (entry.remaining) std::memcpy(rec.data() + k, entry.cur, entry.remaining);
  return append_unknown_record(msg, number, rec.data(), k + entry.remaining);
}

// ---- scalars ------------------------------------------------------------------------------

inline uint64_t load8(const uint8_t* p) noexcept {
  uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

inline bool is_ascii(const uint8_t* p, size_t n) noexcept {
  uint64_t acc = 0;
  if (n >= 8) {
    // The last word may overlap the one before it: no byte loop for the tail.
    for (size_t i = 0; i + 8 < n; i += 8) acc |= load8(p + i);
    acc |= load8(p + n - 8);
  } else {
    for (size_t i = 0; i < n; ++i) acc |= p[i];
  }
  return (acc & 0x8080808080808080ull) == 0;
}

// Copies n bytes, the short counts most fields hold in overlapping loads and stores: a library
// call measured slower than the whole copy for them (2x on 11-byte list elements).
inline void copy_short(uint8_t* out, const uint8_t* p, size_t n) noexcept {
  if (n - 8 <= 8) {  // 8 to 16
    const uint64_t head = load8(p), tail = load8(p + n - 8);
    std::memcpy(out, &head, 8);
    std::memcpy(out + n - 8, &tail, 8);
  } else if (n - 17 <= 15) {  // 17 to 32
    uint8_t head[16], tail[16];
    std::memcpy(head, p, 16);
    std::memcpy(tail, p + n - 16, 16);
    std::memcpy(out, head, 16);
    std::memcpy(out + n - 16, tail, 16);
  } else if (n > 32) {
    std::memcpy(out, p, n);
  } else if (n >= 4) {
    uint32_t head, tail;
    std::memcpy(&head, p, 4);
    std::memcpy(&tail, p + n - 4, 4);
    std::memcpy(out, &head, 4);
    std::memcpy(out + n - 4, &tail, 4);
  } else if (n) {
    out[0] = p[0];
    out[n / 2] = p[n / 2];
    out[n - 1] = p[n - 1];
  }
}

// Most string fields are short ASCII (names, identifiers); building the object directly skips
// the decoder's error-handler and kind bookkeeping. Anything else goes to the strict decoder.
inline PyObject* make_str(const uint8_t* p, size_t n) noexcept {
  if (n <= 256 && is_ascii(p, n)) {
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
    if (s) copy_short(PyUnicode_1BYTE_DATA(s), p, n);
    return s;
  }
  return PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(p), static_cast<Py_ssize_t>(n),
                              "strict");
}

// A string or bytes object, out of line: its registers would otherwise be saved on every
// scalar's way through the type dispatch.
template <bool kString>
TORVEX_NOINLINE PyObject* make_len_prefixed(const uint8_t* p, size_t n) noexcept {
  if constexpr (kString) {
    return make_str(p, n);
  } else {
    const auto* c = reinterpret_cast<const char*>(p);
    // Empty and one-byte values come from the interpreter's shared objects, as before.
    if (n <= 1 || n > 32) return PyBytes_FromStringAndSize(c, static_cast<Py_ssize_t>(n));
    PyObject* b = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n));
    if (b) copy_short(reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(b)), p, n);
    return b;
  }
}

// The view itself goes to no call, so that a caller's copy can stay in registers.
template <bool kString>
inline PyObject* read_len_prefixed_scalar(InputView& v, WireError& err) noexcept {
  InputView s;
  if (!v.read_len_prefixed(s, err)) return wire_fail_obj(err);
  return make_len_prefixed<kString>(s.cur, s.remaining);
}

// Exact ints without the general conversions' digit loops: the one-digit range (small ints from
// the interpreter's cache among them) through the public call, wider ones digit by digit.
inline PyObject* int_from_u64(uint64_t u) noexcept {
  if (u <= PyLong_MASK) return PyLong_FromLong(static_cast<long>(u));
  return long_from_wide(u, false);
}
inline PyObject* int_from_i64(int64_t v) noexcept {
  const uint64_t mag = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  if (mag <= PyLong_MASK) return PyLong_FromLong(static_cast<long>(v));
  return long_from_wide(mag, v < 0);
}

// Not a scalar type: intake never builds one, so reaching it is a broken invariant.
constexpr ScalarType kNoScalar = static_cast<ScalarType>(0);

// One scalar of type T from `v`: a new reference, or nullptr with the error raised. `err` is
// scratch, the caller's so that a loop sets it up once.
template <ScalarType T>
inline PyObject* read_scalar(InputView& v, WireError& err) noexcept {
  if constexpr (T == kNoScalar) {
    return raise_internal("scalar type outside the schema's set");
  } else if constexpr (T == ScalarType::Double || T == ScalarType::Fixed64 ||
                       T == ScalarType::Sfixed64) {
    uint64_t u;
    if (!v.read_fixed64(u, err)) return wire_fail_obj(err);
    if constexpr (T == ScalarType::Double) {
      double d;
      std::memcpy(&d, &u, 8);
      return PyFloat_FromDouble(d);
    } else if constexpr (T == ScalarType::Fixed64) {
      return int_from_u64(u);
    } else {
      return int_from_i64(static_cast<int64_t>(u));
    }
  } else if constexpr (T == ScalarType::Float || T == ScalarType::Fixed32 ||
                       T == ScalarType::Sfixed32) {
    uint32_t u;
    if (!v.read_fixed32(u, err)) return wire_fail_obj(err);
    if constexpr (T == ScalarType::Float) {
      return PyFloat_FromDouble(double_from_float_bits(u));
    } else if constexpr (T == ScalarType::Fixed32) {
      return int_from_u64(u);
    } else {
      return int_from_i64(static_cast<int32_t>(u));
    }
  } else if constexpr (T == ScalarType::String || T == ScalarType::Bytes) {
    return read_len_prefixed_scalar<T == ScalarType::String>(v, err);
  } else {
    uint64_t u;
    if (!v.read_varint_value(u, err)) return wire_fail_obj(err);
    if constexpr (T == ScalarType::Int64) {
      return int_from_i64(static_cast<int64_t>(u));
    } else if constexpr (T == ScalarType::Uint64) {
      return int_from_u64(u);
    } else if constexpr (T == ScalarType::Int32) {
      return int_from_i64(static_cast<int32_t>(static_cast<uint32_t>(u)));
    } else if constexpr (T == ScalarType::Uint32) {
      return int_from_u64(static_cast<uint32_t>(u));
    } else if constexpr (T == ScalarType::Sint32) {
      return int_from_i64(unzigzag32(static_cast<uint32_t>(u)));
    } else if constexpr (T == ScalarType::Sint64) {
      return int_from_i64(unzigzag64(u));
    } else {
      static_assert(T == ScalarType::Bool);
      return Py_NewRef(u ? Py_True : Py_False);
    }
  }
}

template <ScalarType T>
inline PyObject* read_scalar(InputView& v) noexcept {
  WireError err;
  return read_scalar<T>(v, err);
}

// Calls fn(ScalarTag<T>{}) with the compile-time form of the run-time type `t`, so each type
// gets its own loop body.
template <ScalarType T>
struct ScalarTag {
  static constexpr ScalarType value = T;
};

template <class Fn>
inline decltype(auto) dispatch_scalar(ScalarType t, Fn&& fn) noexcept {
  using enum ScalarType;
  switch (t) {
    case Double:
      return fn(ScalarTag<Double>{});
    case Float:
      return fn(ScalarTag<Float>{});
    case Int64:
      return fn(ScalarTag<Int64>{});
    case Uint64:
      return fn(ScalarTag<Uint64>{});
    case Int32:
      return fn(ScalarTag<Int32>{});
    case Fixed64:
      return fn(ScalarTag<Fixed64>{});
    case Fixed32:
      return fn(ScalarTag<Fixed32>{});
    case Bool:
      return fn(ScalarTag<Bool>{});
    case String:
      return fn(ScalarTag<String>{});
    case Bytes:
      return fn(ScalarTag<Bytes>{});
    case Uint32:
      return fn(ScalarTag<Uint32>{});
    case Sfixed32:
      return fn(ScalarTag<Sfixed32>{});
    case Sfixed64:
      return fn(ScalarTag<Sfixed64>{});
    case Sint32:
      return fn(ScalarTag<Sint32>{});
    case Sint64:
      return fn(ScalarTag<Sint64>{});
  }
  return fn(ScalarTag<kNoScalar>{});
}

inline PyObject* decode_scalar(ScalarType t, InputView& v) noexcept {
  return dispatch_scalar(t, [&v](auto k) { return read_scalar<decltype(k)::value>(v); });
}

// ---- enums ---------------------------------------------------------------------------------

// Decodes an enum number into `*number` and returns a new reference to its value; nullptr with
// an error set on failure, or without one when the enum is closed and does not list the number.
inline PyObject* decode_enum(const EnumTable* t, InputView& v, uint64_t* raw) noexcept {
  WireError err;
  uint64_t u;
  if (!v.read_varint64(u, err)) return wire_fail_obj(err);
  int32_t n = static_cast<int32_t>(static_cast<uint32_t>(u));
  *raw = u;
  if (PyObject* member = t->by_number.find(n)) return Py_NewRef(member);
  if (!t->open) return nullptr;
  Ref num(PyLong_FromLong(n));
  if (!num) return nullptr;
  return PyObject_CallOneArg(t->cls.get(), num.get());
}

// ---- messages -------------------------------------------------------------------------

bool decode_group(const MessageMarshaler* m, PyObject* msg, InputView& view, uint32_t number,
                  bool ignore, uint32_t depth) noexcept;

// A group is decoded in one pass, so a fault far into it is found only after the content before
// it was decoded. Errors keep the precedence of a structure check made up front: when the
// group's bytes are malformed, that is what the caller hears about, whatever failed first. Only
// the outermost group of a buffer re-checks (it covers every group inside it), and only on the
// error path, so a failure costs one more scan at most.
TORVEX_COLD void prefer_structure_error(const InputView& start, uint32_t number) noexcept {
  InputView again = start;
  InputView content;
  WireError err;
  if (scan_group(again, number, content, err)) return;
  PyErr_Clear();
  raise_wire_error(err);
}

// The message a value of kind `e` decodes into, chosen by `mode`: the current value of `field`
// on `msg`, a fresh instance, or `merge_into`. A new reference, or nullptr with an error.
PyObject* message_target(const ElementKind& e, MessageMarshaler* sm, Mode mode,
                         const FieldSpec* field, PyObject* msg, PyObject* merge_into) noexcept {
  Ref target;
  if (mode == Mode::Singular) {
    target = Ref(current_message(*field, msg));
    if (!target) return nullptr;
  } else if (mode == Mode::MergeInto) {
    target = Ref::borrow(merge_into);
  }
  if (!target || target.get() == Py_None) return create_empty_message(sm, e.handle->cls.get());
  if (!is_native_message(target.get())) return raise_wrong_type(target.get(), "NativeMessage");
  return target.release();
}

// Decodes a length-delimited (wt 2) or group (wt 3) message of element kind `e` into its
// target (see message_target) and returns the target (new reference), merged. `in_group`: the
// field sits in the content of a group of the same buffer.
PyObject* decode_message_value(const ElementKind& e, uint32_t number, uint32_t wt, Mode mode,
                               const FieldSpec* field, PyObject* msg, PyObject* merge_into,
                               InputView& v, bool ignore, uint32_t depth, bool in_group) noexcept {
  WireError err;
  const InputView start = v;  // for a group: where its content starts
  InputView sub;
  if (wt == 2 && !v.read_len_prefixed(sub, err)) return wire_fail_obj(err);
  Ref target;
  MessageMarshaler* sm = resolve_handle(e.handle.get());
  if (sm) target = Ref(message_target(e, sm, mode, field, msg, merge_into));
  if (wt == 2) {
    if (!target || !decode_message(sm, target.get(), sub, ignore, depth + 1)) return nullptr;
  } else if (!target || !decode_group(sm, target.get(), v, number, ignore, depth + 1)) {
    if (!in_group) prefer_structure_error(start, number);
    return nullptr;
  }
  return target.release();
}

// ---- field kinds --------------------------------------------------------------------------

bool decode_singular(const FieldSpec& f, uint32_t tag, PyObject* msg, InputView& v, bool ignore,
                     uint32_t depth, bool in_group) noexcept {
  Ref value;
  switch (f.kind) {
    case ValueKind::Scalar:
      value = Ref(decode_scalar(f.elem.scalar, v));
      break;
    case ValueKind::Enum: {
      uint64_t n = 0;
      value = Ref(decode_enum(f.elem.enum_table.get(), v, &n));
      if (!value && !PyErr_Occurred()) {
        return ignore || store_enum_record(msg, f.number, tag, n);
      }
      break;
    }
    case ValueKind::Message:
      value = Ref(decode_message_value(f.elem, f.number, tag_wire_type(tag), Mode::Singular, &f,
                                       msg, nullptr, v, ignore, depth, in_group));
      break;
    default:
      raise_internal("singular field of a container kind");
      return false;
  }
  return value && store_singular(f, msg, value.get());
}

// The same tag comes next (as the writer encodes it): repeated fields arrive in runs.
inline bool next_tag_is(InputView& v, const uint8_t* enc, size_t len) noexcept {
  if (v.remaining < len || v.cur[0] != enc[0] || (len > 1 && std::memcmp(v.cur, enc, len) != 0)) {
    return false;
  }
  v.skip(len);
  return true;
}

template <ScalarType T>
bool packed_scalars(PyObject* list, InputView& p) noexcept {
  // The complete elements are counted first and decoded into a private list of that size,
  // which joins the field's list in one step: appending one by one regrows and copies a long
  // list many times over. Varints end at their only byte below 0x80.
  size_t count;
  if constexpr (T == ScalarType::Double || T == ScalarType::Fixed64 || T == ScalarType::Sfixed64) {
    count = p.remaining / 8;
  } else if constexpr (T == ScalarType::Float || T == ScalarType::Fixed32 ||
                       T == ScalarType::Sfixed32) {
    count = p.remaining / 4;
  } else {
    count = 0;
    for (size_t i = 0; i < p.remaining; ++i) count += p.cur[i] < 0x80;
  }
  WireError err;
  if (count > 1) {
    Ref batch(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!batch) return false;
    // Never visible to Python code (a finalizer walking gc.get_objects()) while partly filled.
    PyObject_GC_UnTrack(batch.get());
    Py_ssize_t n = 0;
    bool ok = true;
    while (static_cast<size_t>(n) < count) {
      PyObject* item = read_scalar<T>(p, err);
      if (!item) {
        ok = false;
        break;
      }
      PyList_SET_ITEM(batch.get(), n++, item);
    }
    Py_SET_SIZE(batch.get(), n);
    // The elements before a malformed one are kept, as with one-by-one appends.
    PyObject* exc = ok ? nullptr : PyErr_GetRaisedException();
    Py_ssize_t end = PyList_GET_SIZE(list);
    int r = PyList_SetSlice(list, end, end, batch.get());
    if (exc) {
      PyErr_SetRaisedException(exc);
      return false;
    }
    if (r < 0) return false;
  }
  // What is left: at most one element, or a cut-off one whose decoding raises.
  while (!p.empty()) {
    Ref item(read_scalar<T>(p, err));
    if (!item || PyList_Append(list, item.get()) < 0) return false;
  }
  return true;
}

bool decode_packed(const FieldSpec& f, PyObject* list, PyObject* msg, InputView& v,
                   bool ignore) noexcept {
  WireError err;
  InputView p;
  if (!v.read_len_prefixed(p, err)) return wire_fail(err);
  if (f.elem.kind == ElemKind::Enum) {
    const EnumTable* t = f.elem.enum_table.get();
    while (!p.empty()) {
      uint64_t n = 0;
      Ref item(decode_enum(t, p, &n));
      if (!item) {
        if (PyErr_Occurred()) return false;
        // Each unlisted number becomes an unpacked varint record of its own.
        if (!ignore && !store_enum_record(msg, f.number, make_tag(f.number, WireType::Varint), n))
          return false;
        continue;
      }
      if (PyList_Append(list, item.get()) < 0) return false;
    }
    return true;
  }
  return dispatch_scalar(f.elem.scalar,
                         [&](auto k) { return packed_scalars<decltype(k)::value>(list, p); });
}

bool decode_list(const FieldSpec& f, uint32_t tag, PyObject* msg, InputView& v, bool ignore,
                 uint32_t depth, bool in_group) noexcept {
  // Our own reference: Python code run below may replace the attribute.
  Ref list(f.accessor.get(msg));
  if (!list) return false;
  if (!PyList_Check(list.get())) return fail_wrong_type(list.get(), "list");
  uint32_t wt = tag_wire_type(tag);
  if (wt == 2 && f.packable) {
    return decode_packed(f, list.get(), msg, v, ignore) || decoding_failed_at_end_of(list.get());
  }
  uint8_t enc[5];
  size_t enc_len = encode_varint(enc, tag);
  do {
    Ref item;
    switch (f.elem.kind) {
      case ElemKind::Scalar:
        item = Ref(decode_scalar(f.elem.scalar, v));
        break;
      case ElemKind::Enum: {
        uint64_t n = 0;
        item = Ref(decode_enum(f.elem.enum_table.get(), v, &n));
        if (!item) {
          if (PyErr_Occurred()) return decoding_failed_at_end_of(list.get());
          if (!ignore && !store_enum_record(msg, f.number, tag, n)) return false;
          continue;
        }
        break;
      }
      case ElemKind::Message:
        item = Ref(decode_message_value(f.elem, f.number, wt, Mode::New, nullptr, nullptr, nullptr,
                                        v, ignore, depth, in_group));
        break;
    }
    if (!item || PyList_Append(list.get(), item.get()) < 0)
      return decoding_failed_at_end_of(list.get());
  } while (next_tag_is(v, enc, enc_len));
  return true;
}

// The value field of a map entry into *value (a message merges into the one read before it):
// 1 read, 0 a number the closed enum does not list (*value cleared), -1 error.
inline int decode_map_value(const MapEntrySpec& me, uint32_t wt, InputView& entry, bool ignore,
                            uint32_t depth, Ref* value) noexcept {
  switch (me.value.kind) {
    case ElemKind::Scalar:
      *value = Ref(decode_scalar(me.value.scalar, entry));
      break;
    case ElemKind::Enum: {
      uint64_t n = 0;
      *value = Ref(decode_enum(me.value.enum_table.get(), entry, &n));
      if (!*value) return PyErr_Occurred() ? -1 : 0;
      return 1;
    }
    case ElemKind::Message: {
      Mode mode = *value ? Mode::MergeInto : Mode::New;
      *value = Ref(decode_message_value(me.value, 2, wt, mode, nullptr, nullptr, value->get(),
                                        entry, ignore, depth, false));
      break;
    }
  }
  return *value ? 1 : -1;
}

bool decode_map_entry(const FieldSpec& f, uint32_t tag, PyObject* msg, InputView& v, bool ignore,
                      uint32_t depth) noexcept {
  WireError err;
  InputView entry;
  if (!v.read_len_prefixed(entry, err)) return wire_fail(err);
  const InputView whole = entry;
  const MapEntrySpec& me = *f.map;
  const uint32_t key_wt = tag_wire_type(me.key_tag);
  const uint32_t value_wt = tag_wire_type(me.value_tag);
  Ref key, value;
  bool unrepresentable = false;
  bool unlisted_value = false;  // the last value was a number the closed enum does not list
  while (!entry.empty()) {
    uint32_t t;
    if (!entry.read_tag(t, err)) return wire_fail(err);
    uint32_t number = tag_number(t), wt = tag_wire_type(t);
    if (wt > 5) return wire_fail({WireStatus::InvalidWireType, wt, 0});
    if (number == 0) return wire_fail({WireStatus::FieldNumberZero, 0, 0});
    // An odd entry is kept whole as an unknown record, but only as well-formed wire data: the
    // rest of it is checked as any unknown field is. Other fields of an entry are dropped; only
    // nested groups add a level.
    unrepresentable |= (number == 1 && wt != key_wt) || (number == 2 && wt != value_wt);
    if (unrepresentable || number > 2) {
      if (!skip_field(number, wt, entry, wt == 3 ? depth + 1 : depth, err)) return wire_fail(err);
    } else if (number == 1) {
      key = Ref(decode_scalar(me.key_type, entry));
      if (!key) return false;
    } else {
      int r = decode_map_value(me, wt, entry, ignore, depth, &value);
      if (r < 0) return decoding_failed_at_key(key.get());
      unlisted_value = r == 0;
    }
  }
  if (unrepresentable || unlisted_value) {
    return ignore || store_map_record(msg, f.number, tag, whole);
  }
  if (!key) key = me.key_zero;
  if (!value) {
    if (me.value.kind == ElemKind::Message) {
      value = Ref(PyObject_CallNoArgs(me.value.handle->cls.get()));
      if (!value) return false;
    } else {
      value = me.value_zero;
    }
  }
  Ref dict(f.accessor.get(msg));
  if (!dict) return false;
  if (PyDict_CheckExact(dict.get())) return PyDict_SetItem(dict.get(), key.get(), value.get()) == 0;
  if (!PyDict_Check(dict.get())) return fail_wrong_type(dict.get(), "dict");
  return PyObject_SetItem(dict.get(), key.get(), value.get()) == 0;
}

// A field the schema does not take here: skip it (nested groups count as a level) and keep its
// raw bytes, tag included.
TORVEX_NOINLINE bool decode_unknown(PyObject* msg, uint32_t number, uint32_t wt,
                                    const InputView& snapshot, InputView& v, bool ignore,
                                    uint32_t depth) noexcept {
  WireError err;
  if (!skip_field(number, wt, v, wt == 3 ? depth + 1 : depth, err)) return wire_fail(err);
  if (ignore) return true;
  return append_unknown_record(msg, number, snapshot.cur, v.consumed_since(snapshot));
}

// `value` (a new reference, which moves in: no count taken and dropped again) into the slot at
// `offset`, the old value released, the field marked present when it tracks presence.
inline bool store_slot(PyObject* msg, Py_ssize_t offset, PyObject* value, bool presence,
                       uint32_t number) noexcept {
  auto** slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(msg) + offset);
  PyObject* old = *slot;
  *slot = value;
  Py_XDECREF(old);
  return !presence || presence_mark(msg, number, true);
}

// A singular scalar, the bulk of most messages, without the general dispatch.
inline bool decode_singular_scalar(const FieldSpec& f, PyObject* msg, InputView& v) noexcept {
  if (f.accessor.is_slot() && !f.in_oneof) [[likely]] {
    PyObject* value = decode_scalar(f.elem.scalar, v);
    return value && store_slot(msg, f.accessor.offset, value, f.has_presence, f.number);
  }
  Ref value(decode_scalar(f.elem.scalar, v));
  return value && store_singular(f, msg, value.get());
}

// The value of a decode plan step, its type switch in the loop itself: one indirect branch per
// field and no call before the value's own.
TORVEX_ALWAYS_INLINE inline PyObject* read_step_value(ScalarType t, InputView& v,
                                                      WireError& err) noexcept {
  switch (t) {
#define TORVEX_STEP_CASE(T) \
  case ScalarType::T:       \
    return read_scalar<ScalarType::T>(v, err);
    TORVEX_SCALAR_TYPES(TORVEX_STEP_CASE)
#undef TORVEX_STEP_CASE
  }
  return read_scalar<kNoScalar>(v, err);
}

// One field occurrence whose tag has been read (`snapshot`: the view before the tag).
TORVEX_ALWAYS_INLINE inline bool decode_field(const MessageMarshaler* m, PyObject* msg,
                                              uint32_t tag, const InputView& snapshot,
                                              InputView& view, bool ignore, uint32_t depth,
                                              bool in_group) noexcept {
  const uint32_t number = tag_number(tag);
  const uint32_t wt = tag_wire_type(tag);
  const FieldSpec* f = m->index.find(number);
  if (f && wt == static_cast<uint32_t>(f->tag_wire_type)) [[likely]] {
    switch (f->cardinality) {
      case Cardinality::Singular:
        return f->kind == ValueKind::Scalar
                   ? decode_singular_scalar(*f, msg, view)
                   : decode_singular(*f, tag, msg, view, ignore, depth, in_group);
      case Cardinality::List:
        return decode_list(*f, tag, msg, view, ignore, depth, in_group);
      default:
        return decode_map_entry(*f, tag, msg, view, ignore, depth);
    }
  }
  if (f && f->cardinality == Cardinality::List &&
      (wt == static_cast<uint32_t>(f->elem.wire_type) || (wt == 2 && f->packable))) {
    // The other one of packed and unpacked: both are accepted for packable lists.
    return decode_list(*f, tag, msg, view, ignore, depth, in_group);
  }
  return decode_unknown(msg, number, wt, snapshot, view, ignore, depth);
}

// The content of a group whose start tag (field `number`) has just been read from `view`, up to
// and including the matching end tag. The tag checks come in the order a structure scan makes
// them: wire type, end tag, then field number 0.
bool decode_group(const MessageMarshaler* m, PyObject* msg, InputView& view, uint32_t number,
                  bool ignore, uint32_t depth) noexcept {
  if (depth > MAX_RECURSION_DEPTH) return fail_too_deep("parsing");
  if (!check_layout(msg, m)) return false;
  WireError err;
  for (;;) {
    if (view.empty()) return wire_fail({WireStatus::UnterminatedGroup, 0, 0});
    const InputView snapshot = view;
    uint32_t tag;
    if (!view.read_tag(tag, err)) return wire_fail(err);
    const uint32_t wt = tag_wire_type(tag);
    if (wt > 5) return wire_fail({WireStatus::InvalidWireType, wt, 0});
    if (wt == 4) {
      if (tag_number(tag) == number) return true;
      return wire_fail({WireStatus::MismatchedGroupEnd, number, tag_number(tag)});
    }
    if (tag_number(tag) == 0) return wire_fail({WireStatus::FieldNumberZero, 0, 0});
    if (!decode_field(m, msg, tag, snapshot, view, ignore, depth, true)) {
      return fail_in_field(m, tag);
    }
  }
}

}  // namespace

bool decode_message(const MessageMarshaler* m, PyObject* msg, InputView& view, bool ignore,
                    uint32_t depth) noexcept {
  if (depth > MAX_RECURSION_DEPTH) return fail_too_deep("parsing");
  // Slot accessors write at fixed offsets: the instance must have the schema's layout.
  if (!check_layout(msg, m)) return false;
  WireError err;
  while (!view.empty()) {
    // A one-byte tag of a plain scalar field: its plan step stands for every check below.
    const uint8_t first = view.cur[0];
    if (first < 0x80) {
      if (const uint8_t k = m->decode_by_tag[first]) {
        // The run's cursor: only `view` is handed to calls, so this copy stays in registers.
        InputView v = view;
        const DecodeStep* s = m->decode_plan.data() + (k - 1);
        for (;;) {
          v.skip(1);
          PyObject* value = read_step_value(s->type, v, err);
          if (!value || !store_slot(msg, s->offset, value, s->presence, s->number)) {
            return fail_in_field(m, s->tag);
          }
          // Fields come in the writer's order: the next step's tag is the likely next byte.
          if (v.empty() || v.cur[0] != s->next_tag) break;
          ++s;
        }
        view = v;
        continue;
      }
    }
    const InputView snapshot = view;
    uint32_t tag;
    if (!view.read_field_tag(tag, err)) return wire_fail(err);
    if (!decode_field(m, msg, tag, snapshot, view, ignore, depth, false)) {
      return fail_in_field(m, tag);
    }
  }
  return true;
}

bool parse_into(const MessageMarshaler* m, PyObject* msg, const uint8_t* data, size_t n,
                bool ignore_unknown_fields) noexcept {
  InputView view(data, n);
  if (decode_message(m, msg, view, ignore_unknown_fields, 0)) return true;
  attach_decoding_note(m->full_name);
  return false;
}

}  // namespace torvex
