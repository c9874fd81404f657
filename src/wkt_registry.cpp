// Recognition of the well-known types at intake.
#include "wkt_registry.h"

#include <string_view>

#include "errors.h"

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

bool is_scalar(const FieldSpec* f, ScalarType t) noexcept {
  return f && f->kind == ValueKind::Scalar && f->elem.scalar == t;
}

bool is_message(const FieldSpec* f) noexcept { return f && f->kind == ValueKind::Message; }

// Members of Value other than null_value must sit in null_value's oneof: the JSON reader
// stores each of them as Oneof(member, value) into that one attribute.
bool same_oneof(const FieldSpec* a, const FieldSpec* b) noexcept {
  if (!a->in_oneof || !b->in_oneof) return false;
  int r = PyObject_RichCompareBool(a->oneof_name.get(), b->oneof_name.get(), Py_EQ);
  if (r < 0) PyErr_Clear();  // both are str
  return r == 1;
}

WellKnownMarker* pair_marker(WellKnownKind kind, const FieldSpec* a, const FieldSpec* b) {
  auto* w = raw_new<WellKnownMarker>();
  w->kind = kind;
  w->first = a->accessor;
  w->second = b->accessor;
  return w;
}

WellKnownMarker* match(std::string_view name, const MessageMarshaler* m) {
  FieldsByProtoName by(m);
  if (name == "Any") {
    const FieldSpec* url = by.find("type_url");
    const FieldSpec* value = by.find("value");
    if (is_scalar(url, ScalarType::String) && is_scalar(value, ScalarType::Bytes)) {
      return pair_marker(WellKnownKind::Any, url, value);
    }
    return nullptr;
  }
  if (name == "Timestamp" || name == "Duration") {
    const FieldSpec* seconds = by.find("seconds");
    const FieldSpec* nanos = by.find("nanos");
    if (is_scalar(seconds, ScalarType::Int64) && is_scalar(nanos, ScalarType::Int32)) {
      return pair_marker(name == "Timestamp" ? WellKnownKind::Timestamp : WellKnownKind::Duration,
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
    auto* w = raw_new<WellKnownMarker>();
    w->kind = WellKnownKind::FieldMask;
    w->first = paths->accessor;
    return w;
  }
  if (name == "Struct") {
    const FieldSpec* fields = by.find("fields");
    if (!fields || fields->kind != ValueKind::Map || fields->map->key_type != ScalarType::String ||
        fields->map->value.kind != ElemKind::Message) {
      return nullptr;
    }
    auto* w = raw_new<WellKnownMarker>();
    w->kind = WellKnownKind::Struct;
    w->first = fields->accessor;
    w->handle = fields->map->value.handle;
    return w;
  }
  if (name == "ListValue") {
    const FieldSpec* values = by.find("values");
    if (!values || values->kind != ValueKind::List || values->elem.kind != ElemKind::Message) {
      return nullptr;
    }
    auto* w = raw_new<WellKnownMarker>();
    w->kind = WellKnownKind::ListValue;
    w->first = values->accessor;
    w->handle = values->elem.handle;
    return w;
  }
  if (name == "Value") {
    const FieldSpec* members[6] = {by.find("null_value"),   by.find("number_value"),
                                   by.find("string_value"), by.find("bool_value"),
                                   by.find("struct_value"), by.find("list_value")};
    const FieldSpec* null_value = members[kNullValue];
    if (!null_value || null_value->kind != ValueKind::Enum || !null_value->in_oneof ||
        !is_scalar(members[kNumberValue], ScalarType::Double) ||
        !is_scalar(members[kStringValue], ScalarType::String) ||
        !is_scalar(members[kBoolValue], ScalarType::Bool) || !is_message(members[kStructValue]) ||
        !is_message(members[kListValue])) {
      return nullptr;
    }
    for (const FieldSpec* f : members) {
      if (!same_oneof(null_value, f)) return nullptr;
    }
    auto* w = raw_new<WellKnownMarker>();
    w->kind = WellKnownKind::Value;
    w->first = null_value->oneof_accessor;
    for (int i = 0; i < 6; ++i) w->member_names[i] = members[i]->local_name_obj;
    w->null_member = null_value->elem.enum_table->default_member;
    w->handle = members[kStructValue]->elem.handle;
    w->list_handle = members[kListValue]->elem.handle;
    return w;
  }
  // Every other type of the family is a wrapper when it is nothing but a scalar `value`.
  if (m->fields.size() != 1) return nullptr;
  const FieldSpec& only = m->fields[0];
  if (only.kind != ValueKind::Scalar || &only != by.find("value")) return nullptr;
  auto* w = raw_new<WellKnownMarker>();
  w->kind = WellKnownKind::Wrapper;
  w->first = only.accessor;
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
  if (!file_name) return -1;
  if (!PyUnicode_Check(file_name.get())) {
    raise_wrong_type(file_name.get(), "str");
    return -1;
  }
  Py_ssize_t n;
  const char* s = PyUnicode_AsUTF8AndSize(file_name.get(), &n);
  if (!s) return -1;
  if (!std::string_view(s, static_cast<size_t>(n)).starts_with(kFilePrefix)) return 0;
  WellKnownMarker* w = match(full.substr(kPackage.size()), m);
  if (w) {
    m->wkt = w->kind;
    m->wkt_marker.reset(w);
  }
  return 0;
}

}  // namespace torvex
