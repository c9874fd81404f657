// The JSON serializer: message instances to proto3 JSON, as text (to_json) or as a tree of
// plain Python values (_to_json_value). One walk, written once against the sink operations of
// json_sink.h; the sink type is a template parameter.
//
// The walk functions are defined in json_writer.cpp and instantiated there for JsonTextSink and
// JsonTreeSink (the `extern template` lines below), so another module calls them for either
// sink without seeing their definitions. A module with writers of its own (the well-known
// types) defines them as templates over the sink in its source and instantiates them for both
// sinks the same way.
#pragma once

#include <Python.h>

#include <cstdint>

#include "core/error_path.h"
#include "json/json_sink.h"
#include "schema/descriptor.h"

namespace torvex {

// Options of one call, unchanged through the whole walk.
struct JsonWriteOptions {
  PyObject* registry = nullptr;  // borrowed; null for registry=None (no extensions, no Any)
  bool always_emit_implicit = false;
  bool print_enums_as_ints = false;
  bool use_proto_field_name = false;
  bool sort_keys = false;  // map entries in ascending key order
  int indent = -1;         // to_json: spaces per level for an indented document; -1 compact
  // Collects the field path of a failure while it unwinds (each level that fails adds its
  // step); null when the caller wants no note.
  ErrorPath* path = nullptr;
};

// to_json: the compact document as a new str, or nullptr with an error.
PyObject* message_to_json_text(const MessageMarshaler* m, PyObject* msg,
                               const JsonWriteOptions& opts) noexcept;
// _to_json_value: the document's root value (a dict for ordinary messages).
PyObject* message_to_json_value(const MessageMarshaler* m, PyObject* msg,
                                const JsonWriteOptions& opts) noexcept;

// A whole message value (the object, or a well-known type's special form) at nesting `depth`.
// `msg` must be an instance laid out as `m`'s class.
template <class Sink>
bool write_message(Sink& sink, const JsonWriteOptions& opts, const MessageMarshaler* m,
                   PyObject* msg, uint32_t depth) noexcept;

// The members of `msg` (its fields, then registry extensions) into an object already open.
template <class Sink>
bool write_fields(Sink& sink, const JsonWriteOptions& opts, const MessageMarshaler* m,
                  PyObject* msg, uint32_t depth) noexcept;

// One singular scalar value of type `t`, with the type checks and range errors.
template <class Sink>
bool write_scalar(Sink& sink, ScalarType t, PyObject* v) noexcept;

// A double (or, with `single`, a float field's) value: NaN and the infinities as strings.
template <class Sink>
bool write_float(Sink& sink, PyObject* v, bool single) noexcept;

// An enum value by name, by number or as null (google.protobuf.NullValue).
template <class Sink>
bool write_enum(Sink& sink, const JsonWriteOptions& opts, const EnumTable& t, PyObject* v) noexcept;

// A sub-message value: an instance of the class `h` resolves to (or of a subclass), at nesting
// `depth` (its parent's depth plus one).
template <class Sink>
bool write_nested_message(Sink& sink, const JsonWriteOptions& opts, MarshalerHandle* h, PyObject* v,
                          uint32_t depth) noexcept;

#define TORVEX_JSON_WRITER_DECLARE(Sink)                                                           \
  extern template bool write_message<Sink>(Sink&, const JsonWriteOptions&,                         \
                                           const MessageMarshaler*, PyObject*, uint32_t);          \
  extern template bool write_fields<Sink>(Sink&, const JsonWriteOptions&, const MessageMarshaler*, \
                                          PyObject*, uint32_t);                                    \
  extern template bool write_scalar<Sink>(Sink&, ScalarType, PyObject*);                           \
  extern template bool write_float<Sink>(Sink&, PyObject*, bool);                                  \
  extern template bool write_enum<Sink>(Sink&, const JsonWriteOptions&, const EnumTable&,          \
                                        PyObject*);                                                \
  extern template bool write_nested_message<Sink>(Sink&, const JsonWriteOptions&,                  \
                                                  MarshalerHandle*, PyObject*, uint32_t);
TORVEX_JSON_WRITER_DECLARE(JsonTextSink)
TORVEX_JSON_WRITER_DECLARE(JsonPrettySink)
TORVEX_JSON_WRITER_DECLARE(JsonTreeSink)
#undef TORVEX_JSON_WRITER_DECLARE

}  // namespace torvex
