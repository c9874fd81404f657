// Recognition of the well-known types at intake.
#include "schema/wkt_registry.h"

#include <string_view>

#include "core/args.h"

namespace torvex {

void destroy_marker(WellKnownMarker* p) noexcept { raw_delete(p); }

namespace {

constexpr std::string_view kPackage = "google.protobuf.";
constexpr std::string_view kFilePrefix = "google/protobuf/";

// Declaration-order fields by proto name; the last field wins a duplicated name, as in the name
// index.
class FieldsByProtoName {
 public:
  explicit FieldsByProtoName(const MessageMarshaler* m) noexcept : m_(m) {}
  const FieldSpec* find(std::string_view name) const noexcept {
    const FieldSpec* found = nullptr;
    for (const FieldSpec& f : m_->fields) {
      Py_ssize_t n;
      const char* s = PyUnicode_AsUTF8AndSize(f.proto_name.get(), &n);
      if (!s) {
        PyErr_Clear();  // already converted once by intake; cannot fail here
        continue;
      }
      if (std::string_view(s, static_cast<size_t>(n)) == name) found = &f;
    }
    return found;
  }

 private:
  const MessageMarshaler* m_;
};

// The JSON forms store through the fields' own attributes, which oneof members do not have;
// Value's members are the exception and are checked as a oneof below.
bool is_scalar(const FieldSpec* f, ScalarType t) noexcept {
  return f && f->kind == ValueKind::Scalar && f->elem.scalar == t && !f->in_oneof;
}

bool is_member(const FieldSpec* f, ValueKind kind) noexcept {
  return f && f->kind == kind && f->in_oneof;
}

// Members of Value other than null_value must sit in null_value's oneof: the JSON reader
// stores each of them as Oneof(member, value) into that one attribute.
bool same_oneof(const FieldSpec* a, const FieldSpec* b) noexcept {
  if (!a->in_oneof || !b->in_oneof) return false;
  int r = PyObject_RichCompareBool(a->oneof_name.get(), b->oneof_name.get(), Py_EQ);
  if (r < 0) PyErr_Clear();  // both are str
  return r == 1;
}

WellKnownMarker* new_marker(WellKnownKind kind, const FieldSpec* a, const FieldSpec* b = nullptr) {
  auto* w = raw_new<WellKnownMarker>();
  w->kind = kind;
  w->first = a->accessor;
  w->first_spec = a;
  if (b) {
    w->second = b->accessor;
    w->second_spec = b;
  }
  return w;
}

// Value: its six members in null_value's oneof, of the kinds its JSON forms store.
WellKnownMarker* match_value(const FieldsByProtoName& by) {
  const FieldSpec* members[6] = {by.find("null_value"),   by.find("number_value"),
                                 by.find("string_value"), by.find("bool_value"),
                                 by.find("struct_value"), by.find("list_value")};
  const FieldSpec* null_value = members[kNullValue];
  auto scalar_member = [](const FieldSpec* f, ScalarType t) {
    return is_member(f, ValueKind::Scalar) && f->elem.scalar == t;
  };
  if (!is_member(null_value, ValueKind::Enum) ||
      !scalar_member(members[kNumberValue], ScalarType::Double) ||
      !scalar_member(members[kStringValue], ScalarType::String) ||
      !scalar_member(members[kBoolValue], ScalarType::Bool) ||
      !is_member(members[kStructValue], ValueKind::Message) ||
      !is_member(members[kListValue], ValueKind::Message)) {
    return nullptr;
  }
  for (const FieldSpec* f : members) {
    if (!same_oneof(null_value, f)) return nullptr;
  }
  auto* w = raw_new<WellKnownMarker>();
  w->kind = WellKnownKind::Value;
  w->first = null_value->oneof_accessor;
  w->first_spec = null_value;
  for (int i = 0; i < 6; ++i) w->member_names[i] = members[i]->local_name_obj;
  w->null_member = null_value->elem.enum_table->default_member;
  w->handle = members[kStructValue]->elem.handle;
  w->list_handle = members[kListValue]->elem.handle;
  return w;
}

WellKnownMarker* match(std::string_view name, const MessageMarshaler* m) {
  FieldsByProtoName by(m);
  if (name == "Any") {
    const FieldSpec* url = by.find("type_url");
    const FieldSpec* value = by.find("value");
    if (is_scalar(url, ScalarType::String) && is_scalar(value, ScalarType::Bytes)) {
      return new_marker(WellKnownKind::Any, url, value);
    }
    return nullptr;
  }
  if (name == "Timestamp" || name == "Duration") {
    const FieldSpec* seconds = by.find("seconds");
    const FieldSpec* nanos = by.find("nanos");
    if (is_scalar(seconds, ScalarType::Int64) && is_scalar(nanos, ScalarType::Int32)) {
      return new_marker(name == "Timestamp" ? WellKnownKind::Timestamp : WellKnownKind::Duration,
                        seconds, nanos);
    }
    return nullptr;
  }
  if (name == "FieldMask") {
    const FieldSpec* paths = by.find("paths");
    if (!paths || paths->kind != ValueKind::List || paths->elem.kind != ElemKind::Scalar ||
        paths->elem.scalar != ScalarType::String) {
      return nullptr;
    }
    return new_marker(WellKnownKind::FieldMask, paths);
  }
  if (name == "Struct") {
    const FieldSpec* fields = by.find("fields");
    if (!fields || fields->kind != ValueKind::Map || fields->map->key_type != ScalarType::String ||
        fields->map->value.kind != ElemKind::Message) {
      return nullptr;
    }
    auto* w = new_marker(WellKnownKind::Struct, fields);
    w->handle = fields->map->value.handle;
    return w;
  }
  if (name == "ListValue") {
    const FieldSpec* values = by.find("values");
    if (!values || values->kind != ValueKind::List || values->elem.kind != ElemKind::Message) {
      return nullptr;
    }
    auto* w = new_marker(WellKnownKind::ListValue, values);
    w->handle = values->elem.handle;
    return w;
  }
  if (name == "Value") return match_value(by);
  // Every other type of the family is a wrapper when it is nothing but a scalar `value`.
  if (m->fields.size() != 1) return nullptr;
  const FieldSpec& only = m->fields[0];
  if (only.kind != ValueKind::Scalar || only.in_oneof || &only != by.find("value")) return nullptr;
  auto* w = new_marker(WellKnownKind::Wrapper, &only);
  w->proto_name = only.proto_name;
  w->scalar = only.elem.scalar;
  return w;
}

}  // namespace

int recognise_well_known(const DescriptorVocabulary* v, PyObject* d, MessageMarshaler* m) noexcept {
  std::string_view full(m->full_name.data(), m->full_name.size());
  if (!full.starts_with(kPackage)) return 0;
  // Only the standard's own files: a user type that borrows the name stays ordinary.
  Ref file(PyObject_GetAttr(d, v->file));
  if (!file) return -1;
  Ref file_name(PyObject_GetAttr(file.get(), v->name));
  std::string_view file_text;
  if (!file_name || !str_utf8(file_name.get(), &file_text)) return -1;
  if (!file_text.starts_with(kFilePrefix)) return 0;
  WellKnownMarker* w = match(full.substr(kPackage.size()), m);
  if (w) {
    m->wkt = w->kind;
    m->wkt_marker.reset(w);
  }
  return 0;
}

}  // namespace torvex
