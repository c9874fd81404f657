// The process-wide descriptor vocabulary: interned attribute names and the descriptor classes of
// torvex._descriptors. Every name the extension looks up lives in this one list.
#pragma once

#include <Python.h>

namespace torvex {

#define TORVEX_VOCAB_NAMES(X)                      \
  X(at_type, "@type")                              \
  X(defaults, "_defaults")                         \
  X(delimited_encoding, "delimited_encoding")      \
  X(desc, "_desc")                                 \
  X(element, "element")                            \
  X(enum_, "enum")                                 \
  X(extendee, "extendee")                          \
  X(extension, "extension")                        \
  X(extension_for, "extension_for")                \
  X(ext_marshaler, "_ext_marshaler")               \
  X(ext_value_type, "_ext_value_type")             \
  X(fields, "fields")                              \
  X(fields_by_name, "_fields_by_name")             \
  X(file, "file")                                  \
  X(json_name, "json_name")                        \
  X(key, "key")                                    \
  X(local_name, "local_name")                      \
  X(message, "message")                            \
  X(name, "name")                                  \
  X(number, "number")                              \
  X(oneof, "oneof")                                \
  X(oneofs_by_local_name, "_oneofs_by_local_name") \
  X(open, "open")                                  \
  X(packed, "packed")                              \
  X(presence, "presence")                          \
  X(requires_presence, "_requires_presence")       \
  X(scalar, "scalar")                              \
  X(syntax, "syntax")                              \
  X(type_name, "type_name")                        \
  X(type, "type")                                  \
  X(value, "value")                                \
  X(values, "values")                              \
  X(new_, "__new__")                               \
  X(deepcopy, "__deepcopy__")

#define TORVEX_VOCAB_CLASSES(X) \
  X(DescField)                  \
  X(DescFieldValueScalar)       \
  X(DescFieldValueEnum)         \
  X(DescFieldValueMessage)      \
  X(DescFieldValueList)         \
  X(DescFieldValueMap)          \
  X(ScalarType)                 \
  X(DescMessage)                \
  X(DescEnum)

// Strong references, held for the life of the process once loaded.
struct DescriptorVocabulary {
#define TORVEX_DECL_NAME(field, text) PyObject* field;
  TORVEX_VOCAB_NAMES(TORVEX_DECL_NAME)
#undef TORVEX_DECL_NAME
#define TORVEX_DECL_CLASS(cls) PyObject* cls;
  TORVEX_VOCAB_CLASSES(TORVEX_DECL_CLASS)
#undef TORVEX_DECL_CLASS
  // torvex._scope.DEFAULT_REGISTRY: what the JSON methods use when given registry=None.
  PyObject* default_registry;
};

// Loads the vocabulary on first use (importing torvex._descriptors and torvex._scope). A failed
// load raises and is retried on the next call. Returns nullptr with an exception set on failure.
const DescriptorVocabulary* vocabulary() noexcept;

}  // namespace torvex
