// The JSON forms of the well-known types (Timestamp, Duration, FieldMask, Struct, ListValue,
// Value, Any, the wrappers), over both JSON sinks and both JSON sources.
#pragma once

#include <Python.h>

#include "json/json_parse.h"
#include "json/json_writer.h"
#include "schema/wkt_registry.h"

namespace torvex {

// The JSON form of a message whose marshaler carries a marker (m->wkt is not None), written at
// nesting `depth` (already checked against the limit by write_message).
template <class Sink>
bool write_well_known(Sink& sink, const JsonWriteOptions& opts, const MessageMarshaler* m,
                      PyObject* msg, uint32_t depth) noexcept;

extern template bool write_well_known<JsonTextSink>(JsonTextSink&, const JsonWriteOptions&,
                                                    const MessageMarshaler*, PyObject*, uint32_t);
extern template bool write_well_known<JsonPrettySink>(JsonPrettySink&, const JsonWriteOptions&,
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
