// Length-delimited message streams, decoded a buffer at a time: each message preceded by its
// size as a varint (the framing of Java's writeDelimitedTo).
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "schema/descriptor.h"

namespace torvex {

// At most this many messages per batch: a consumer that drops each message before taking the
// next then gets the next batch's instances from the memory its drops freed, which is still in
// cache, instead of a whole buffer's worth of fresh memory.
inline constexpr Py_ssize_t kDelimitedBatch = 128;

// Decodes the messages framed back to back in data[pos .. n) as instances of `cls` (schema
// `m`), at most kDelimitedBatch of them, stopping before the first one that is not whole in the
// buffer, that is larger than `max_size`, or whose size prefix is malformed. Returns a new (list of
// messages, position after the last one) tuple. A message that fails to decode ends the batch
// before it; when it is the first, its error is raised, so that the caller, restarting there, gets
// the error only after every message before it.
PyObject* decode_delimited(const MessageMarshaler* m, PyObject* cls, const uint8_t* data, size_t n,
                           size_t pos, uint64_t max_size, bool ignore_unknown_fields) noexcept;

}  // namespace torvex
