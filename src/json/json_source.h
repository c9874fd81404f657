// What the JSON parser's two sources (text reader and Python value-tree cursor) have in common.
//
// Each source is a concrete class with the same member functions; the parser is a template over
// the source type (static dispatch, so the text reader's hot paths inline into the parser):
//   JsonKind peek()                       kind of the next value (Error with an exception set)
//   bool read_null() / read_bool(bool*)
//   bool read_number_value(JsonNumber*)   a number, classified natively
//   bool read_number_as_float(double*)    a number as a double (non-finite when too large)
//   PyObject* read_number()               a number as a Python int (any size) or float
//   bool read_str(std::string_view*)      a string's UTF-8 bytes, valid until the next read
//   PyObject* read_string()               a string as a Python str
//   PyObject* read_any()                  the whole next value as dict/list/str/int/float/...
//   bool skip()                           the whole next value
//   bool begin_object(ObjIter&) / int next_key(ObjIter&, std::string_view*)   1 key, 0 end
//   PyObject* key_object(const ObjIter&, std::string_view)   the last key as a Python str
//   bool begin_array(ArrIter&) / int next_element(ArrIter&)                  1 element, 0 end
// After next_key/next_element return 1, exactly one value must be read or skipped.
#pragma once

#include <Python.h>

#include <cstdint>

#include "core/ref.h"

namespace torvex {

enum class JsonKind : uint8_t { Null, Bool, Number, String, Array, Object, Error };

// A JSON number as the readers classify it. Integers that fit in int64 stay native (the common
// case, no object needed for range checks); larger integers are exact Python ints.
struct JsonNumber {
  enum Kind : uint8_t { Small, Big, Double };
  Kind kind = Small;
  int64_t i = 0;  // Small
  double d = 0;   // Double
  Ref big;        // Big: an exact int
  Ref exact;      // tree source: the number itself when it is an exact int or float (reusable)
};

// Lower-case JSON type names, for "expected {} but found {}".
const char* json_kind_name(JsonKind k) noexcept;

}  // namespace torvex
