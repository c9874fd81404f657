// The per-instance store of raw wire records the schema did not map: a dict from field number
// to a list of `bytes` records, visible to and editable by Python code.
//
// Decoding keeps the records packed in one bytearray instead (each record after its field number
// and length as varints), which costs about a byte per input byte where a bytes object and a
// list entry per record cost ten or more. The dict is unfolded from it on first read.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace torvex {

// Appends one record under `number`, creating the store (or the list in the dict) as needed.
bool append_unknown_record(PyObject* msg, uint32_t number, const void* data, size_t n) noexcept;

// Appends the source's records after the target's own, per key (records are shared).
bool merge_unknown_fields(PyObject* target, PyObject* source) noexcept;

// Replaces the target's lists with new lists holding the source's records.
bool copy_unknown_fields(PyObject* target, PyObject* source) noexcept;

// Replaces packed records with the dict holding them: the store (borrowed), or nullptr with an
// error set.
PyObject* unfold_unknown_fields(PyObject* msg) noexcept;

}  // namespace torvex
