// Map entries in ascending key order, for the encodings whose output must not depend on the
// order a dict was filled in (to_binary(deterministic=True), to_json(sort_keys=True)).
// Integers order by value (signed key types as signed), strings by their UTF-8 bytes, and
// false before true.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>

#include "core/memory.h"
#include "core/portable.h"
#include "schema/schema_types.h"

namespace torvex {

class SortedEntries {
 public:
  SortedEntries() noexcept = default;
  SortedEntries(const SortedEntries&) = delete;
  SortedEntries& operator=(const SortedEntries&) = delete;
  ~SortedEntries();

  // Takes a snapshot of `dict` (each key and value held) and sorts it by `key_type`.
  // 1 sorted; 0 a key has no place in that order (not of the key type, or out of its range),
  // left in unorderable_key() with no error set; -1 an error is set.
  int init(PyObject* dict, ScalarType key_type) noexcept;

  size_t size() const noexcept { return entries_.size(); }
  PyObject* key(size_t i) const noexcept { return entries_[i].key; }
  PyObject* value(size_t i) const noexcept { return entries_[i].value; }
  PyObject* unorderable_key() const noexcept { return unorderable_; }

 private:
  struct Entry {
    // The order: integers as unsigned 64 bits (signed ones with the sign bit flipped, so that
    // unsigned comparison orders them as signed), strings by `text`.
    uint64_t number;
    std::string_view text;  // UTF-8 held by the key str
    PyObject* key;          // owned
    PyObject* value;        // owned
  };
  RVec<Entry> entries_;
  PyObject* unorderable_ = nullptr;  // borrowed from entries_
};

// The TypeError or OverflowError for a key that SortedEntries::init could not order.
TORVEX_COLD bool fail_unorderable_key(ScalarType key_type, PyObject* key) noexcept;

}  // namespace torvex
