// The native schema of message types (built once per class by initialize_message_type) and the
// intake that reads it from torvex._descriptors objects.
#pragma once

#include <Python.h>

#include <array>
#include <atomic>
#include <utility>

#include "core/field_index.h"
#include "core/memory.h"
#include "core/name_index.h"
#include "core/once.h"
#include "core/ref.h"
#include "schema/container_slot.h"
#include "schema/schema_types.h"
#include "schema/vocabulary.h"

namespace torvex {

struct MessageMarshaler;
struct EnumTable;
struct MarshalerHandle;

PyObject* raise_uninitialized_slot() noexcept;
// Creates the class from `spec` on first call and keeps it in `slot` for the rest of the process.
PyTypeObject* lazy_class(PyTypeObject*& slot, PyType_Spec* spec) noexcept;

// Where one attribute of a message instance lives.
struct AttributeAccessor {
  Py_ssize_t offset = -1;  // >= 0: the object slot at this byte offset of the instance
  Ref name;                // the attribute name; used for ByName access and kept for slots too
  // A list or map slot that holds a placeholder until first read (see container_slot.h).
  bool lazy = false;

  bool is_slot() const noexcept { return offset >= 0; }
  // Whether both reach the same attribute (names are str).
  bool same_as(const AttributeAccessor& o) const noexcept {
    if (is_slot() || o.is_slot()) return offset == o.offset;
    return name.get() == o.name.get() || PyUnicode_Compare(name.get(), o.name.get()) == 0;
  }

  // New reference, or nullptr with AttributeError ("uninitialized slot" for an empty slot).
  PyObject* get(PyObject* obj) const noexcept {
    if (offset >= 0) {
      PyObject* v = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
      if (!v) return raise_uninitialized_slot();
      if (is_unmade(v)) [[unlikely]]
        return make_container(obj, offset);
      return Py_NewRef(v);
    }
    return PyObject_GetAttr(obj, name.get());
  }
  // The slot's content as stored (borrowed; lazy slots only).
  PyObject* stored(PyObject* obj) const noexcept {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
  }
  // Whether the slot still holds the placeholder of an empty container.
  bool holds_unmade(PyObject* obj) const noexcept { return lazy && is_unmade(stored(obj)); }
  // get(), except that a placeholder is returned as it is: for deep copies, whose containers
  // may stay unmade too.
  PyObject* get_keeping_unmade(PyObject* obj) const noexcept {
    return holds_unmade(obj) ? Py_NewRef(stored(obj)) : get(obj);
  }
  // Stores a new reference to `value` (never via __setattr__ overrides).
  int set(PyObject* obj, PyObject* value) const noexcept {
    if (offset >= 0) {
      PyObject** p = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
      PyObject* old = *p;
      *p = Py_NewRef(value);
      Py_XDECREF(old);
      return 0;
    }
    return PyObject_GenericSetAttr(obj, name.get(), value);
  }
};

// Enum lookups by number: a dense array for the usual small non-negative numbering, a hash map
// otherwise. Values are borrowed from the owning EnumTable's `members` list.
class EnumNumberMap {
 public:
  void insert(int32_t n, PyObject* value);  // a later insert for the same number wins
  PyObject* find(int32_t n) const noexcept {
    if (n >= 0 && static_cast<uint32_t>(n) < dense_.size()) return dense_[n];
    if (sparse_.empty()) return nullptr;
    return find_sparse(n);
  }

 private:
  PyObject* find_sparse(int32_t n) const noexcept;
  RVec<PyObject*> dense_;            // numbers 0..kDenseLimit-1
  RMap<int32_t, PyObject*> sparse_;  // everything else
  static constexpr int32_t kDenseLimit = 256;
};

struct EnumTable : Counted {
  Ref cls;                     // the Python enum class; called for unlisted numbers of open enums
  Ref type_name;               // full enum name, for "invalid enum value" texts
  bool open = false;           // unlisted numbers are values (open) or unknown fields (closed)
  bool is_null_value = false;  // google.protobuf.NullValue maps to JSON null
  Ref default_member;          // first listed value: implicit-presence zero and map-entry zero
  RVec<Ref> members;           // keeps the members and JSON strings the maps point at alive
  EnumNumberMap by_number;     // number -> member (later alias wins)
  RStrMap<int32_t> by_proto_name;  // later wins
  RStrMap<int32_t> by_json_name;   // first wins
  EnumNumberMap json_out;          // number -> JSON output string (str)
  // Every string in json_out is ASCII with nothing to escape: the text writer copies it as is.
  bool json_out_plain = true;
  EnumNumberMap text_out;  // number -> proto name (str) for the text format; first wins
};

// Reference from a field to a message type; resolved on first use so that recursive and
// not-yet-initialised types need no ordering.
struct MarshalerHandle : Counted {
  Ref cls;
  const DescriptorVocabulary* vocab = nullptr;
  std::atomic<MessageMarshaler*> resolved{nullptr};  // holds a counted reference once set
  OnceMutex once;                                    // serialises the first resolution
  ~MarshalerHandle();
};

// Resolves the handle (borrowed result, valid while the handle lives) or raises.
MessageMarshaler* resolve_handle_slow(MarshalerHandle* h) noexcept;
inline MessageMarshaler* resolve_handle(MarshalerHandle* h) noexcept {
  MessageMarshaler* m = h->resolved.load(std::memory_order_acquire);
  return m ? m : resolve_handle_slow(h);
}

// A list element, map value, or the value of a singular scalar/enum/message field.
struct ElementKind {
  ElemKind kind = ElemKind::Scalar;
  ScalarType scalar = ScalarType::Int32;  // kind Scalar
  bool delimited = false;                 // kind Message: group encoding
  WireType wire_type = WireType::Varint;  // as written for one unpacked element
  uint32_t end_group_tag = 0;             // kind Message with delimited: the EGroup tag
  Rc<EnumTable> enum_table;               // kind Enum
  Rc<MarshalerHandle> handle;             // kind Message
};

struct MapEntrySpec {
  ScalarType key_type;
  uint32_t key_tag;  // make_tag(1, key wire type)
  ElementKind value;
  uint32_t value_tag;  // make_tag(2, value wire type)
  Ref key_zero;        // created once at intake, shared by every defaulted entry
  Ref value_zero;      // None for message values: the parser makes a fresh instance instead
  // Declared in a proto3 file: the entry's key and value have implicit presence, so the text
  // format leaves out a zero key or scalar value.
  bool implicit_entries = false;
};

// One field, in declaration order. This record is both the encoders' field spec and the
// parser's decode entry: the number index points into the owning marshaler's field list.
struct FieldSpec {
  AttributeAccessor accessor;        // the field's own attribute (unused for oneof members)
  AttributeAccessor oneof_accessor;  // the containing oneof's attribute, when in_oneof
  bool in_oneof = false;
  // When in_oneof: the oneof's position in the marshaler's `oneofs` (kNoOneofIndex: not there).
  uint32_t oneof_index = kNoOneofIndex;
  static constexpr uint32_t kNoOneofIndex = UINT32_MAX;
  RString local_name;  // UTF-8 copy, compared against Oneof.field
  Ref local_name_obj;  // the `str` stored as Oneof.field by the parsers
  Ref proto_name;
  Ref json_name;
  Ref oneof_name;
  // The name in the text format: the group's type name for a group-like field (delimited, named
  // as its nested type in lower case), else the proto name.
  Ref text_name;
  uint32_t number = 0;
  uint32_t tag = 0;  // make_tag(number, tag_wire_type)
  Presence presence = Presence::Implicit;
  WireType tag_wire_type = WireType::Varint;
  ValueKind kind = ValueKind::Scalar;
  Cardinality cardinality = Cardinality::Singular;
  bool has_presence = false;    // singular, not in a oneof, presence not implicit
  bool packed = false;          // List: written packed
  bool packable = false;        // List: element may arrive packed
  ElementKind elem;             // Scalar/Enum/Message value, or List element
  MapEntrySpec* map = nullptr;  // Map: owned
  // What the JSON text writer emits before the value, made once: the quoted and escaped JSON
  // name [0] or proto name [1] followed by ":", and whether both are plain ASCII.
  RString json_keys[2];
  bool json_keys_ascii = true;
  FieldSpec() = default;
  FieldSpec(const FieldSpec&) = delete;
  FieldSpec(FieldSpec&& o) noexcept;
  FieldSpec& operator=(const FieldSpec&) = delete;
  ~FieldSpec();
};

// One entry of the attribute table, as a native list for equality, construction and merge.
struct AttrEntry {
  AttributeAccessor accessor;
  bool has_presence;
  uint32_t number;
  // The field when it is a singular scalar or enum with implicit presence outside a oneof:
  // merge skips its zero value, which the encoder treats as unset. Points into `fields`.
  const FieldSpec* implicit = nullptr;
};

struct DefaultsTable {
  RVec<std::pair<AttributeAccessor, Ref>> plain;  // shared default objects
  RVec<AttributeAccessor> lists;                  // a new list per instance
  RVec<AttributeAccessor> dicts;                  // a new dict per instance
  // The same as slot offsets, for instances whose slots are all still empty: no old value to
  // release and no accessor dispatch. Valid only when `by_offset`, i.e. every default goes to
  // its own distinct slot (a repeated slot would need the old value released).
  bool by_offset = false;
  RVec<std::pair<Py_ssize_t, PyObject*>> immortal;  // stored without a count (borrowed)
  RVec<std::pair<Py_ssize_t, PyObject*>> counted;   // borrowed from `plain`, counted per store
  RVec<Py_ssize_t> list_offsets;
  RVec<Py_ssize_t> dict_offsets;
  // When the offsets form one run (the usual case: the class's own slots): the plain defaults
  // laid out as that run, null for eager lists and dicts, copied in one go starting at
  // `image_offset` (-1: no run); `counted` then only adds the counts.
  Py_ssize_t image_offset = -1;
  RVec<PyObject*> image;
};

// Which well-known type a message is, for the JSON codec; ordinary messages carry None. The
// marker with the accessors and handles of the type's fields is in wkt_registry.h.
enum class WellKnownKind : uint8_t {
  None,
  Timestamp,
  Duration,
  Any,
  FieldMask,
  Struct,
  ListValue,
  Value,
  Wrapper,
};
struct WellKnownMarker;
void destroy_marker(WellKnownMarker* p) noexcept;

// Sole owner of a marker; a separate pointer keeps the record layout free of its definition.
class MarkerOwner {
 public:
  MarkerOwner() noexcept = default;
  MarkerOwner(const MarkerOwner&) = delete;
  MarkerOwner& operator=(const MarkerOwner&) = delete;
  ~MarkerOwner() { destroy_marker(p_); }
  void reset(WellKnownMarker* p) noexcept { destroy_marker(std::exchange(p_, p)); }
  const WellKnownMarker* get() const noexcept { return p_; }

 private:
  WellKnownMarker* p_ = nullptr;
};

// One field as the binary encoder's loop visits it, made at intake so that the loop branches once
// per field and writes the tag with one store. `op` is the field's scalar type (1-18) for a
// singular scalar in a slot with implicit presence, that plus kEncodeExplicit with explicit
// presence, kEncodeMessage for a singular sub-message in a slot (not a group, not required),
// kEncodeList for a list in a slot (kEncodeMessageList when its elements are sub-messages that
// are not groups, kEncodeStringList or kEncodeBytesList for strings or bytes), kEncodeMap for a map
// in a slot, kEncodeEnum for a singular enum in a slot with implicit presence, and kEncodeGeneral
// for everything else.
struct EncodeStep {
  uint64_t tag_word = 0;             // the tag's varint bytes, last byte in the word's top byte
  const FieldSpec* field = nullptr;  // into the owning marshaler's `fields`
  Py_ssize_t offset = -1;            // the slot, for every op but kEncodeGeneral
  uint32_t number = 0;               // the presence bit
  uint8_t tag_len = 0;
  uint8_t op = 0;
};
inline constexpr uint8_t kEncodeGeneral = 0;
inline constexpr uint8_t kEncodeExplicit = 32;
inline constexpr uint8_t kEncodeMessage = 64;
inline constexpr uint8_t kEncodeList = 65;
inline constexpr uint8_t kEncodeMessageList = 66;
inline constexpr uint8_t kEncodeEnum = 67;
inline constexpr uint8_t kEncodeStringList = 68;
inline constexpr uint8_t kEncodeBytesList = 69;
inline constexpr uint8_t kEncodeMap = 70;

// Sets the step's tag_word and tag_len for `tag`.
inline void set_step_tag(EncodeStep& s, uint32_t tag) noexcept {
  s.tag_word = 0;
  s.tag_len = 0;
  for (uint32_t t = tag;; t >>= 7) {
    uint64_t b = (t & 0x7F) | (t >= 0x80 ? 0x80 : 0);
    s.tag_word = (s.tag_word >> 8) | (b << 56);
    ++s.tag_len;
    if (t < 0x80) break;
  }
}

// One field as the JSON writer's loop visits it, made at intake so that the loop branches once
// per field. `op` is the field's scalar type (1-18) for a singular scalar in a slot with implicit
// presence, that plus kJsonExplicit with explicit or required presence, kJsonEnum (plus
// kJsonExplicit) for a singular enum in a slot, kJsonMessage for a singular sub-message in a slot
// that is not required, kJsonList and kJsonMap for a list or map in a slot, and kJsonGeneral for
// everything else (oneof members, fields reached by name, names without a key prefix).
struct JsonStep {
  const FieldSpec* field = nullptr;  // into the owning marshaler's `fields`
  Py_ssize_t offset = -1;            // the slot, for every op but kJsonGeneral
  // The field's json_keys [0] and [1] without their leading comma, the padding after `key_len`
  // bytes (both set for every op but kJsonGeneral).
  const char* key[2] = {};
  uint32_t key_len[2] = {};
  uint32_t number = 0;  // the presence bit
  uint8_t op = 0;
  bool key_ascii = true;
};
inline constexpr uint8_t kJsonGeneral = 0;
inline constexpr uint8_t kJsonExplicit = 32;
inline constexpr uint8_t kJsonEnum = 24;
inline constexpr uint8_t kJsonMessage = 64;
inline constexpr uint8_t kJsonList = 65;
inline constexpr uint8_t kJsonMap = 66;

// One singular scalar field in a slot, outside any oneof, with a one-byte tag (so a number
// below 16), as the decoder's loop reads it. `next_tag` lets the loop go on to the following
// step without the table lookup when the writer kept declaration order, as it does.
struct DecodeStep {
  Py_ssize_t offset = -1;          // the slot
  uint16_t next_tag = kNoNextTag;  // the next step's tag; kNoNextTag (no byte) after the last
  uint8_t tag = 0;
  ScalarType type = ScalarType::Double;
  bool presence = false;  // the field tracks presence: mark `number` when it is read
  uint8_t number = 0;
  static constexpr uint16_t kNoNextTag = 0x100;
};

struct MessageMarshaler : Counted {
  Ref cls;
  RString full_name;
  RVec<FieldSpec> fields;  // declaration order; never resized after the index is built
  RVec<AttributeAccessor> oneofs;
  RVec<EncodeStep> encode_plan;  // one per field, in declaration order
  RVec<JsonStep> json_plan;      // the same for the JSON writer
  Ref fields_by_name;
  FieldNumberIndex<FieldSpec> index;
  NameIndex name_index;  // proto and JSON names -> number
  NameIndex text_index;  // proto names and group type names -> number, for the text parser
  RVec<const FieldSpec*> by_number;  // `fields` sorted by number: the text format's order
  Ref attr_table;                    // dict: attribute name -> Member
  RVec<AttrEntry> attrs;
  // The slot offset of each entry of `attrs`, in order, when every attribute is a slot of its
  // own (else empty, and `attrs_in_slots` false): a deep copy into a fresh instance then reads
  // and stores them without the accessors.
  RVec<Py_ssize_t> attr_offsets;
  bool attrs_in_slots = false;
  DefaultsTable defaults;
  WellKnownKind wkt = WellKnownKind::None;
  MarkerOwner wkt_marker;  // set exactly when wkt is not None
  // The decoder's shortcut past the general dispatch for the fields most messages are made of:
  // by one-byte tag (field numbers below 16), 1 + the index in `decode_plan` of a singular
  // scalar outside any oneof, held in a slot; 0 for every other tag.
  std::array<uint8_t, 128> decode_by_tag{};
  RVec<DecodeStep> decode_plan;  // those fields, in declaration order (the writer's order)
  uint32_t max_number = 0;
  bool has_slots = false;  // some accessor is a Slot: instances must have the class's layout
  // Every field is a member of a listed oneof (value wrappers): the encoder then visits the
  // chosen members alone instead of every field.
  bool only_oneof_members = false;
  const DescriptorVocabulary* vocab = nullptr;
  // The metaclass of `cls` and its version tag when intake found no attribute `_ext_marshaler`
  // on it (0: never checked or no tag). While the tag is unchanged the metaclass was not
  // modified, so the class's own dict entry is what attribute lookup on the class returns.
  Ref meta;
  unsigned int meta_version = 0;
};

// Python wrapper classes of the records.
struct MarshalerObject {
  PyObject_HEAD MessageMarshaler* rec;
};
struct HandleObject {
  PyObject_HEAD MarshalerHandle* rec;
};
struct EnumObject {
  PyObject_HEAD EnumTable* rec;
};
struct MemberObject {
  PyObject_HEAD AttributeAccessor accessor;
  bool has_presence;
  uint32_t number;
};

// The class objects, created once per process on first use (nullptr with an error on failure).
PyTypeObject* marshaler_type() noexcept;
PyTypeObject* handle_type() noexcept;
PyTypeObject* enum_type() noexcept;
PyTypeObject* member_type() noexcept;

// Checks `obj` is a MessageMarshaler (wrong-type TypeError otherwise) and returns its record,
// borrowed: valid while `obj` lives.
MessageMarshaler* marshaler_from_object(PyObject* obj) noexcept;

// initialize_message_type's work, after argument conversion.
int initialize_message_type(PyObject* message_type) noexcept;

// The Python zero value of a scalar type: 0.0, 0, False, empty str or bytes.
Ref scalar_zero(ScalarType t) noexcept;

// Fills the value kind (and cardinality) of `f` from a descriptor's `value` object
// (DescFieldValue*); `cls` is the class on which a oneof's attribute is resolved.
bool read_value(const DescriptorVocabulary* v, PyObject* cls, PyObject* value,
                FieldSpec* f) noexcept;

// Writes the defaults table into an instance.
int apply_defaults(const MessageMarshaler* m, PyObject* obj) noexcept;
// The same for an instance fresh from tp_alloc (every slot still empty).
int apply_fresh_defaults(const MessageMarshaler* m, PyObject* obj) noexcept;
// Builds the offset form of the defaults table once the table is complete.
void index_defaults(DefaultsTable* d) noexcept;

}  // namespace torvex
