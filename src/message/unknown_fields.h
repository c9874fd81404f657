// The per-instance store of raw wire records the schema did not map: a dict from field number
// to a list of `bytes` records, visible to and editable by Python code.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace torvex {

// Appends one record under `number`, creating the store and the list as needed.
bool append_unknown_record(PyObject* msg, uint32_t number, const void* data, size_t n) noexcept;

// Appends the source's records after the target's own, per key (records are shared).
bool merge_unknown_fields(PyObject* target, PyObject* source) noexcept;

// Replaces the target's lists with new lists holding the source's records.
bool copy_unknown_fields(PyObject* target, PyObject* source) noexcept;

}  // namespace torvex
