// The proto3 JSON parser: one algorithm over two sources, JSON text (JsonTextSource) and trees of
// Python values (JsonTreeSource). Values are stored straight into the instances as they are read;
// a failure leaves what was stored before it.
//
// The read_* templates are instantiated here for both sources; another module (the well-known
// types) includes json_reader.h / json_tree_source.h and calls them with either source type.
#pragma once

#include <Python.h>

#include "json/json_reader.h"
#include "json/json_scalars.h"
#include "json/json_tree_source.h"
#include "schema/descriptor.h"

namespace torvex {

// Passed unchanged through a whole parse.
struct JsonReadOptions {
  bool ignore_unknown_fields = false;
  PyObject* registry = nullptr;  // borrowed; nullptr for registry=None
};

// Parses the JSON text data[0..n) (data[n] must be 0) into `msg`, a message of schema `m`.
// `utf8_valid`: the text is known to be valid UTF-8 (it came from a str). `fresh`: `msg` was
// just made by empty-instance creation and nothing else refers to its containers yet.
bool parse_json_text(const MessageMarshaler* m, PyObject* msg, const char* data, size_t n,
                     bool utf8_valid, const JsonReadOptions& opts, bool fresh) noexcept;

// Parses the Python value tree `value` into `msg` as a message at nesting `depth`.
bool parse_json_value(const MessageMarshaler* m, PyObject* msg, PyObject* value, uint32_t depth,
                      const JsonReadOptions& opts, bool fresh) noexcept;

// The next value (an object, or a well-known type's form) into `msg` at `depth`.
template <class Src>
bool read_message(Src& src, const MessageMarshaler* m, PyObject* msg, uint32_t depth,
                  const JsonReadOptions& opts) noexcept;

// An Any's JSON object, whose first member is "@type", as the payload `msg` (fresh, of the
// ordinary message type `m`, at `depth`). False, without an error when the object needs the
// general reader: another "@type", a member that names no field, a null, a field given twice.
bool read_any_payload_ahead(JsonTextSource& src, const MessageMarshaler* m, PyObject* msg,
                            uint32_t depth, const JsonReadOptions& opts) noexcept;

// A scalar of type `t` as its Python value (new reference).
template <class Src>
PyObject* read_scalar(Src& src, ScalarType t, const FieldContext& ctx) noexcept;

// A double or float field's value; `is_float` adds the float32 range check.
template <class Src>
bool read_float(Src& src, bool is_float, const FieldContext& ctx, double* out) noexcept;

// An enum value: 1 with a new reference in *out, 0 for "skip" (unknown, ignored), -1 error.
template <class Src>
int read_enum(Src& src, const EnumTable* t, bool ignore_unknown, PyObject** out) noexcept;

// A list item or map value of kind `e`: 1 with *out, 0 for "skip", -1 error. `context` is
// "list item" or "map value".
template <class Src>
int read_element(Src& src, const ElementKind& e, const char* context, const FieldContext& ctx,
                 uint32_t depth, const JsonReadOptions& opts, PyObject** out) noexcept;

}  // namespace torvex
