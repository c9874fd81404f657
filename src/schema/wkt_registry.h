// The well-known types: recognised once at intake so that the JSON codec reaches their fields
// through precomputed accessors instead of names (their JSON forms are in json/wkt_json).
#pragma once

#include <Python.h>

#include "schema/descriptor.h"

namespace torvex {

// What the JSON forms of one well-known type need. Only the members named for its kind are set.
struct WellKnownMarker {
  WellKnownKind kind = WellKnownKind::None;
  // Timestamp, Duration: seconds. Any: type_url. FieldMask: paths. Struct: fields.
  // ListValue: values. Value: the oneof attribute. Wrapper: value.
  AttributeAccessor first;
  // Timestamp, Duration: nanos. Any: value.
  AttributeAccessor second;
  // The field records behind `first` and `second` (Value: null_value), for presence marks and
  // error suffixes; they live in the same marshaler as the marker.
  const FieldSpec* first_spec = nullptr;
  const FieldSpec* second_spec = nullptr;
  // Struct: the map's value type. ListValue: the element type. Value: struct_value's type.
  Rc<MarshalerHandle> handle;
  // Value: list_value's type.
  Rc<MarshalerHandle> list_handle;
  // Value: local names of its members, stored as Oneof.field (see ValueMember).
  Ref member_names[6];
  // Value: the null_value enum's default member, stored for JSON null.
  Ref null_member;
  // Wrapper: the proto name and scalar type of its `value` field.
  Ref proto_name;
  ScalarType scalar = ScalarType::Int32;
};

// Index into WellKnownMarker::member_names.
enum ValueMember : int {
  kNullValue,
  kNumberValue,
  kStringValue,
  kBoolValue,
  kStructValue,
  kListValue,
};

// Sets m->wkt and m->wkt_marker when the message described by `d` is a well-known type of the
// expected shape. Needs m's full name and field list. Returns -1 with an error set only when
// reading the descriptor's file name fails; a shape mismatch just leaves the type ordinary.
int recognise_well_known(const DescriptorVocabulary* v, PyObject* d, MessageMarshaler* m) noexcept;

}  // namespace torvex
