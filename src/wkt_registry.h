// The well-known types: recognised once at intake so that the JSON codec reaches their fields
// through precomputed accessors instead of names.
#pragma once

#include <Python.h>

#include "descriptor.h"
#include "json_parse.h"
#include "json_writer.h"

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

// The JSON form of a message whose marshaler carries a marker (m->wkt is not None), written at
// nesting `depth` (already checked against the limit by write_message).
template <class Sink>
bool write_well_known(Sink& sink, const JsonWriteOptions& opts, const MessageMarshaler* m,
                      PyObject* msg, uint32_t depth) noexcept;

extern template bool write_well_known<JsonTextSink>(JsonTextSink&, const JsonWriteOptions&,
                                                    const MessageMarshaler*, PyObject*, uint32_t);
extern template bool write_well_known<JsonTreeSink>(JsonTreeSink&, const JsonWriteOptions&,
                                                    const MessageMarshaler*, PyObject*, uint32_t);

// Reads the JSON form of a message whose marshaler carries a marker into `msg` at `depth`
// (already checked against the limit by read_message).
template <class Src>
bool read_well_known(Src& src, const MessageMarshaler* m, PyObject* msg, uint32_t depth,
                     const JsonReadOptions& opts) noexcept;

extern template bool read_well_known<JsonTextSource>(JsonTextSource&, const MessageMarshaler*,
                                                     PyObject*, uint32_t, const JsonReadOptions&);
extern template bool read_well_known<JsonTreeSource>(JsonTreeSource&, const MessageMarshaler*,
                                                     PyObject*, uint32_t, const JsonReadOptions&);

}  // namespace torvex
