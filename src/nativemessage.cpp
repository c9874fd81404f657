// Module entry of _torvex_ext and the NativeMessage base class. Methods convert their
// arguments, find the schema and hand over to the codecs.
#include <Python.h>

#include <new>

#include "binary/delimited.h"
#include "binary/parser.h"
#include "binary/serializer.h"
#include "core/args.h"
#include "core/compare.h"
#include "core/error_path.h"
#include "core/errors.h"
#include "core/ref.h"
#include "json/json_parse.h"
#include "json/json_writer.h"
#include "message/class_methods.h"
#include "message/field_access.h"
#include "message/instance.h"
#include "message/merge_copy.h"
#include "message/oneof.h"
#include "schema/descriptor.h"
#include "text/text_parse.h"
#include "text/text_writer.h"

namespace torvex {

namespace {

// ---- argument specs ---------------------------------------------------------------------

const char* const kFromBinaryParams[] = {"data", "ignore_unknown_fields"};
const ArgSpec kFromBinary = {"NativeMessage.from_binary", kFromBinaryParams, 1, 1, 2};
const char* const kDecodeDelimitedParams[] = {"data", "pos", "max_size", "ignore_unknown_fields"};
const ArgSpec kDecodeDelimited = {"NativeMessage._decode_delimited", kDecodeDelimitedParams, 4, 4,
                                  4};
const char* const kToBinaryParams[] = {"write_unknown_fields", "deterministic"};
const ArgSpec kToBinary = {"NativeMessage.to_binary", kToBinaryParams, 0, 0, 2};
const ArgSpec kByteSize = {"NativeMessage.byte_size", nullptr, 0, 0, 0};
const char* const kToJsonParams[] = {
    "registry", "always_emit_implicit", "print_enums_as_ints", "use_proto_field_name", "sort_keys",
    "indent"};
const ArgSpec kToJson = {"NativeMessage.to_json", kToJsonParams, 0, 0, 6};
const ArgSpec kToJsonValue = {"NativeMessage._to_json_value", kToJsonParams, 0, 0, 5};
const char* const kFromJsonParams[] = {"json", "ignore_unknown_fields", "registry"};
const ArgSpec kFromJson = {"NativeMessage.from_json", kFromJsonParams, 1, 1, 3};
const ArgSpec kMergeFromJson = {"NativeMessage._merge_from_json", kFromJsonParams, 1, 1, 3};
const char* const kFromJsonValueParams[] = {"data", "ignore_unknown_fields", "registry"};
const ArgSpec kFromJsonValue = {"NativeMessage._from_json_value", kFromJsonValueParams, 1, 1, 3};
const char* const kToTextParams[] = {"as_one_line", "print_unknown_fields", "registry"};
const ArgSpec kToText = {"NativeMessage.to_text", kToTextParams, 0, 0, 3};
const char* const kFromTextParams[] = {"text", "registry", "allow_unknown_fields"};
const ArgSpec kFromText = {"NativeMessage.from_text", kFromTextParams, 1, 1, 3};
const ArgSpec kMergeFromText = {"NativeMessage._merge_from_text", kFromTextParams, 1, 1, 3};
const ArgSpec kCopy = {"NativeMessage.__copy__", nullptr, 0, 0, 0};
const char* const kMergeFromBinaryParams[] = {"data", "ignore_unknown_fields"};
const ArgSpec kMergeFromBinary = {"NativeMessage._merge_from_binary", kMergeFromBinaryParams, 2, 2,
                                  2};
const char* const kDeepcopyParams[] = {"_memo"};
const ArgSpec kDeepcopy = {"NativeMessage.__deepcopy__", kDeepcopyParams, 1, 1, 1};
const char* const kMergeFromParams[] = {"source", "ignore_unknown_fields"};
const ArgSpec kMergeFrom = {"NativeMessage._merge_from", kMergeFromParams, 2, 2, 2};
const char* const kFieldNumberParams[] = {"field_number"};
const ArgSpec kGetPresent = {"NativeMessage._get_field_number_present", kFieldNumberParams, 1, 1,
                             1};
const ArgSpec kSetPresent = {"NativeMessage._set_field_number_present", kFieldNumberParams, 1, 1,
                             1};
const ArgSpec kClearPresent = {"NativeMessage._clear_field_number_present", kFieldNumberParams, 1,
                               1, 1};
const ArgSpec kFieldIsSet = {"NativeMessage._field_is_set", kFieldNumberParams, 1, 1, 1};
const ArgSpec kGetOrInitUnknown = {"NativeMessage._get_or_init_unknown_fields", nullptr, 0, 0, 0};
const char* const kInitParams[] = {"message_type"};
const ArgSpec kInitialize = {"initialize_message_type", kInitParams, 1, 1, 1};
const char* const kSetattrParams[] = {"obj", "name", "value"};
const ArgSpec kGenericSetattr = {"generic_setattr", kSetattrParams, 3, 3, 3};

// Deeper indentation than this is a mistake, not a layout.
constexpr int kMaxIndent = 64;

// Optional flag argument: absent means `dflt`.
bool flag(PyObject* arg, const char* name, bool dflt, bool* out) noexcept {
  if (!arg) {
    *out = dflt;
    return true;
  }
  return convert_bool(arg, name, out);
}

// ---- NativeMessage: construction and lifetime -------------------------------------------

PyTypeObject* g_native_type = nullptr;

PyObject* nm_new(PyTypeObject* cls, PyObject*, PyObject*) noexcept {
  const DescriptorVocabulary* v = vocabulary();
  if (!v) return nullptr;
  MessageMarshaler* m = nullptr;  // borrowed from `attr`; the instance takes its own count
  if (PyObject* own = own_class_marshaler(reinterpret_cast<PyObject*>(cls), v)) {
    Ref hold = Ref::borrow(own);  // allocation can collect garbage, and so run Python code
    return alloc_instance(cls, reinterpret_cast<MarshalerObject*>(own)->rec);
  }
  if (PyErr_Occurred()) return nullptr;
  Ref attr(PyObject_GetAttr(reinterpret_cast<PyObject*>(cls), v->ext_marshaler));
  if (attr) {
    m = marshaler_from_object(attr.get());
    if (!m) return nullptr;
  } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
  } else {
    return nullptr;
  }
  return alloc_instance(cls, m);
}

int nm_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_native(self)->unknown);
  return 0;
}

int nm_clear(PyObject* self) noexcept {
  Py_CLEAR(as_native(self)->unknown);
  return 0;
}

void nm_dealloc(PyObject* self) noexcept {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  release_native(self);
  Py_DECREF(tp);
}

int nm_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs > 0) {
    raise_too_many_positional("NativeMessage.__init__", 0, 0, nargs);
    return -1;
  }
  MarshalerRef m = lookup_marshaler(self);
  if (!m) return -1;
  if (apply_defaults(m.get(), self) < 0) return -1;
  if (!kwargs) return 0;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(kwargs, &pos, &key, &value)) {
    if (value == Py_None) continue;
    PyObject* member = PyDict_GetItemWithError(m->attr_table.get(), key);
    if (!member) {
      if (PyErr_Occurred()) return -1;
      Ref qual(PyType_GetQualName(Py_TYPE(self)));
      if (!qual) return -1;
      raise_fmt(PyExc_TypeError, "%U.__init__() got an unexpected keyword argument '%U'",
                qual.get(), key);
      return -1;
    }
    auto* mo = reinterpret_cast<MemberObject*>(member);
    if (mo->accessor.set(self, value) < 0) return -1;
    if (mo->has_presence && !presence_mark(self, mo->number, true)) return -1;
  }
  return 0;
}

int nm_setattro(PyObject* self, PyObject* name, PyObject* value) noexcept {
  if (!value) {
    PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
    return -1;
  }
  if (!convert_str(name, "name")) return -1;
  MarshalerRef m = lookup_marshaler(self);
  if (!m) return -1;
  PyObject* member = PyDict_GetItemWithError(m->attr_table.get(), name);
  if (!member) {
    if (PyErr_Occurred()) return -1;
    return PyObject_GenericSetAttr(self, name, value);
  }
  auto* mo = reinterpret_cast<MemberObject*>(member);
  // Keep the Member alive: the write may run Python code (a by-name attribute's descriptor).
  Ref hold = Ref::borrow(member);
  if (mo->accessor.set(self, value) < 0) return -1;
  if (mo->has_presence && !presence_mark(self, mo->number, true)) return -1;
  return 0;
}

// 1 equal, 0 different, -1 error.
int messages_equal(PyObject* self, PyObject* other) noexcept {
  int r = PyObject_IsInstance(other, reinterpret_cast<PyObject*>(Py_TYPE(self)));
  if (r <= 0) return r;
  MarshalerRef m = lookup_marshaler(self);
  if (!m) return -1;
  if (!check_layout(other, m.get())) return -1;
  for (const AttrEntry& a : m->attrs) {
    if (a.has_presence) {
      bool ps = presence_test(self, a.number), po = presence_test(other, a.number);
      if (ps != po) return 0;
      if (!ps) continue;
    }
    if (same_empty_containers(a.accessor, self, other)) continue;
    Ref x(a.accessor.get(self));
    if (!x) return -1;
    Ref y(a.accessor.get(other));
    if (!y) return -1;
    if (x.get() == y.get()) continue;
    int t = equal_truth(x.get(), y.get());
    if (t <= 0) return t;
  }
  return 1;
}

PyObject* nm_richcompare(PyObject* self, PyObject* other, int op) noexcept {
  if (op == Py_NE) return not_equal_via_eq(self, other);
  if (op != Py_EQ || !is_native_message(other)) Py_RETURN_NOTIMPLEMENTED;
  int r = messages_equal(self, other);
  if (r < 0) return nullptr;
  return PyBool_FromLong(r);
}

// ---- NativeMessage: methods -------------------------------------------------------------

PyObject* nm_from_binary(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
  PyObject* a[2] = {nullptr, nullptr};
  if (nargs == 1 && !kwnames) [[likely]] {
    a[0] = args[0];  // the usual call; the general parser words every error
  } else if (!parse_args(kFromBinary, args, nargs, kwnames, a)) {
    return nullptr;
  }
  ByteInput data;
  bool ignore;
  if (!data.init(a[0], "data") || !flag(a[1], "ignore_unknown_fields", false, &ignore)) {
    return nullptr;
  }
  MarshalerRef m = lookup_class_marshaler(cls);
  if (!m) return nullptr;
  Ref msg(create_empty_message(m.get(), cls));
  if (!msg || !parse_into(m.get(), msg.get(), data.data(), data.size(), ignore)) return nullptr;
  return msg.release();
}

// The batch step of torvex.read_delimited (see binary/delimited.h).
PyObject* nm_decode_delimited(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
  PyObject* a[4];
  if (!parse_args(kDecodeDelimited, args, nargs, kwnames, a)) return nullptr;
  ByteInput data;
  bool ignore;
  if (!data.init(a[0], "data") || !convert_bool(a[3], "ignore_unknown_fields", &ignore)) {
    return nullptr;
  }
  Py_ssize_t pos = PyLong_AsSsize_t(a[1]);
  if (pos == -1 && PyErr_Occurred()) return nullptr;
  unsigned long long max_size = PyLong_AsUnsignedLongLong(a[2]);
  if (max_size == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
  if (pos < 0 || static_cast<size_t>(pos) > data.size()) {
    PyErr_SetString(PyExc_ValueError, "pos is outside the data");
    return nullptr;
  }
  MarshalerRef m = lookup_class_marshaler(cls);
  if (!m) return nullptr;
  return decode_delimited(m.get(), cls, data.data(), data.size(), static_cast<size_t>(pos),
                          max_size, ignore);
}

PyObject* nm_merge_from_binary(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept {
  PyObject* a[2];
  if (!parse_args(kMergeFromBinary, args, nargs, kwnames, a)) return nullptr;
  ByteInput data;
  bool ignore;
  if (!data.init(a[0], "data") || !convert_bool(a[1], "ignore_unknown_fields", &ignore)) {
    return nullptr;
  }
  MarshalerRef m = lookup_marshaler(self);
  if (!m || !parse_into(m.get(), self, data.data(), data.size(), ignore)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* nm_to_binary(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  PyObject* a[2];
  bool write_unknown, deterministic;
  if (!parse_args(kToBinary, args, nargs, kwnames, a) ||
      !flag(a[0], "write_unknown_fields", true, &write_unknown) ||
      !flag(a[1], "deterministic", false, &deterministic)) {
    return nullptr;
  }
  MarshalerRef m = lookup_marshaler(self);
  if (!m) return nullptr;
  return serialize_message(m.get(), self, write_unknown, deterministic);
}

PyObject* nm_byte_size(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  if (!parse_args(kByteSize, args, nargs, kwnames, nullptr)) return nullptr;
  MarshalerRef m = lookup_marshaler(self);
  size_t size = 0;
  if (!m || !message_byte_size(m.get(), self, true, &size)) return nullptr;
  return PyLong_FromSize_t(size);
}

// to_json's indent: None for the compact form, else spaces per level.
bool indent_option(PyObject* arg, int* out) noexcept {
  *out = -1;
  if (!arg || arg == Py_None) return true;
  uint32_t n;
  if (!PyLong_Check(arg) || PyBool_Check(arg)) {
    raise_fmt(PyExc_TypeError, "indent must be None or an int, got %s", Py_TYPE(arg)->tp_name);
    return false;
  }
  if (!to_uint32(arg, &n) || n > kMaxIndent) {
    PyErr_Clear();
    raise_fmt(PyExc_ValueError, "indent must be between 0 and %d", kMaxIndent);
    return false;
  }
  *out = static_cast<int>(n);
  return true;
}

// registry=None stands for the default registry (every class and extension of the process),
// found through the schema's vocabulary: no lookup, no Python call.
template <class Options>
const Options& with_default(Options& o, const MessageMarshaler* m) noexcept {
  if (!o.registry) o.registry = m->vocab->default_registry;
  return o;
}

// The JSON writers' options, converted in signature order.
bool json_write_options(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, JsonWriteOptions* o) noexcept {
  PyObject* a[6] = {};
  if (!parse_args(spec, args, nargs, kwnames, a) ||
      !flag(a[1], "always_emit_implicit", false, &o->always_emit_implicit) ||
      !flag(a[2], "print_enums_as_ints", false, &o->print_enums_as_ints) ||
      !flag(a[3], "use_proto_field_name", false, &o->use_proto_field_name) ||
      !flag(a[4], "sort_keys", false, &o->sort_keys) || !indent_option(a[5], &o->indent)) {
    return false;
  }
  o->registry = a[0] == Py_None ? nullptr : a[0];
  return true;
}

PyObject* nm_to_json(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
  JsonWriteOptions o;
  if (!json_write_options(kToJson, args, nargs, kwnames, &o)) return nullptr;
  MarshalerRef m = lookup_marshaler(self);
  return m ? message_to_json_text(m.get(), self, with_default(o, m.get())) : nullptr;
}

PyObject* nm_to_json_value(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
  JsonWriteOptions o;
  if (!json_write_options(kToJsonValue, args, nargs, kwnames, &o)) return nullptr;
  MarshalerRef m = lookup_marshaler(self);
  return m ? message_to_json_value(m.get(), self, with_default(o, m.get())) : nullptr;
}

// JSON text input: str as UTF-8, bytes as is, bytearray copied. The bytes stay valid while
// `owner` (or the argument) lives and are followed by a 0 byte.
struct JsonText {
  Ref owner;
  const char* data = nullptr;
  size_t size = 0;
  bool utf8_valid = false;  // came from a str: no validation needed
};

// `what` names the parameter in the wrong-type error.
bool json_text_input(PyObject* json, JsonText* out, const char* what = "json") noexcept {
  if (PyUnicode_Check(json)) {
    out->utf8_valid = true;
    if (PyUnicode_IS_ASCII(json)) {
      // ASCII text is its own UTF-8: read it in place.
      Py_ssize_t n;
      out->data = PyUnicode_AsUTF8AndSize(json, &n);
      out->size = static_cast<size_t>(n);
      return out->data != nullptr;
    }
    out->owner = Ref(PyUnicode_AsUTF8String(json));
  } else if (PyBytes_Check(json)) {
    out->owner = Ref::borrow(json);
  } else if (PyByteArray_Check(json)) {
    out->owner =
        Ref(PyBytes_FromStringAndSize(PyByteArray_AS_STRING(json), PyByteArray_GET_SIZE(json)));
  } else {
    raise_fmt(PyExc_TypeError, "%s must be str, bytes, or bytearray, got %S", what,
              reinterpret_cast<PyObject*>(Py_TYPE(json)));
    return false;
  }
  if (!out->owner) return false;
  out->data = PyBytes_AS_STRING(out->owner.get());
  out->size = static_cast<size_t>(PyBytes_GET_SIZE(out->owner.get()));
  return true;
}

// The JSON readers' options, converted in signature order.
bool json_read_options(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, PyObject** data, JsonReadOptions* opts) noexcept {
  PyObject* a[3];
  if (!parse_args(spec, args, nargs, kwnames, a) ||
      !flag(a[1], "ignore_unknown_fields", false, &opts->ignore_unknown_fields)) {
    return false;
  }
  *data = a[0];
  opts->registry = a[2] == Py_None ? nullptr : a[2];
  return true;
}

// JSON text (`is_text`) or a value tree into `msg`, from the top; a failure inside the message
// gets the decoding note.
bool read_json_into(const MessageMarshaler* m, PyObject* msg, PyObject* input,
                    JsonReadOptions& opts, bool fresh, bool is_text) noexcept {
  with_default(opts, m);
  JsonText text;
  if (is_text && !json_text_input(input, &text)) return false;
  if (is_text ? parse_json_text(m, msg, text.data, text.size, text.utf8_valid, opts, fresh)
              : parse_json_value(m, msg, input, 0, opts, fresh)) {
    return true;
  }
  attach_decoding_note(m->full_name);
  return false;
}

PyObject* nm_from_json(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  PyObject* json;
  JsonReadOptions opts;
  if (!json_read_options(kFromJson, args, nargs, kwnames, &json, &opts)) return nullptr;
  MarshalerRef m = lookup_class_marshaler(cls);
  if (!m) return nullptr;
  Ref msg(create_empty_message(m.get(), cls));
  if (!msg || !read_json_into(m.get(), msg.get(), json, opts, true, true)) return nullptr;
  return msg.release();
}

PyObject* nm_merge_from_json(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
  PyObject* json;
  JsonReadOptions opts;
  if (!json_read_options(kMergeFromJson, args, nargs, kwnames, &json, &opts)) return nullptr;
  MarshalerRef m = lookup_marshaler(self);
  if (!m || !read_json_into(m.get(), self, json, opts, false, true)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* nm_from_json_value(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
  PyObject* data;
  JsonReadOptions opts;
  if (!json_read_options(kFromJsonValue, args, nargs, kwnames, &data, &opts)) return nullptr;
  MarshalerRef m = lookup_class_marshaler(cls);
  if (!m) return nullptr;
  Ref msg(create_empty_message(m.get(), cls));
  if (!msg || !read_json_into(m.get(), msg.get(), data, opts, true, false)) return nullptr;
  return msg.release();
}

// ---- NativeMessage: text format ---------------------------------------------------------

PyObject* nm_to_text(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
  PyObject* a[3];
  TextWriteOptions o;
  if (!parse_args(kToText, args, nargs, kwnames, a) ||
      !flag(a[0], "as_one_line", false, &o.one_line) ||
      !flag(a[1], "print_unknown_fields", false, &o.print_unknown)) {
    return nullptr;
  }
  o.registry = a[2] == Py_None ? nullptr : a[2];
  MarshalerRef m = lookup_marshaler(self);
  return m ? message_to_text(m.get(), self, with_default(o, m.get())) : nullptr;
}

// The text readers' options, converted in signature order.
bool text_read_options(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, PyObject** text, TextReadOptions* opts) noexcept {
  PyObject* a[3];
  if (!parse_args(spec, args, nargs, kwnames, a) ||
      !flag(a[2], "allow_unknown_fields", false, &opts->allow_unknown_fields)) {
    return false;
  }
  *text = a[0];
  opts->registry = a[1] == Py_None ? nullptr : a[1];
  return true;
}

bool parse_text_format_into(const MessageMarshaler* m, PyObject* msg, PyObject* text,
                            TextReadOptions& opts) noexcept {
  JsonText input;
  return json_text_input(text, &input, "text") &&
         parse_text(m, msg, input.data, input.size, with_default(opts, m));
}

PyObject* nm_from_text(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  PyObject* text;
  TextReadOptions opts;
  if (!text_read_options(kFromText, args, nargs, kwnames, &text, &opts)) return nullptr;
  MarshalerRef m = lookup_class_marshaler(cls);
  if (!m) return nullptr;
  Ref msg(create_empty_message(m.get(), cls));
  if (!msg || !parse_text_format_into(m.get(), msg.get(), text, opts)) return nullptr;
  return msg.release();
}

PyObject* nm_merge_from_text(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
  PyObject* text;
  TextReadOptions opts;
  if (!text_read_options(kMergeFromText, args, nargs, kwnames, &text, &opts)) return nullptr;
  MarshalerRef m = lookup_marshaler(self);
  if (!m || !parse_text_format_into(m.get(), self, text, opts)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* nm_copy(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) noexcept {
  PyObject* a[1];
  if (!parse_args(kCopy, args, nargs, kwnames, a)) return nullptr;
  MarshalerRef m = lookup_marshaler(self);
  return m ? shallow_copy(m.get(), self) : nullptr;
}

PyObject* nm_deepcopy(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  PyObject* a[1];
  if (!parse_args(kDeepcopy, args, nargs, kwnames, a)) return nullptr;
  MarshalerRef m = lookup_marshaler(self);
  return m ? deep_copy(m.get(), self, a[0]) : nullptr;
}

PyObject* nm_merge_from(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  PyObject* a[2];
  bool ignore;
  if (!parse_args(kMergeFrom, args, nargs, kwnames, a) ||
      !convert_instance(a[0], g_native_type, "source") ||
      !convert_bool(a[1], "ignore_unknown_fields", &ignore)) {
    return nullptr;
  }
  MarshalerRef m = lookup_marshaler(self);
  if (!m || !merge_message(m.get(), self, a[0], ignore)) return nullptr;
  Py_RETURN_NONE;
}

bool field_number_arg(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, uint32_t* out) noexcept {
  PyObject* a[1];
  return parse_args(spec, args, nargs, kwnames, a) &&
         convert_field_number(a[0], "field_number", out);
}

PyObject* nm_get_present(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
  uint32_t n;
  if (!field_number_arg(kGetPresent, args, nargs, kwnames, &n)) return nullptr;
  return PyBool_FromLong(presence_test(self, n));
}

PyObject* nm_set_present(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
  uint32_t n;
  if (!field_number_arg(kSetPresent, args, nargs, kwnames, &n) || !presence_mark(self, n, true)) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* nm_clear_present(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
  uint32_t n;
  if (!field_number_arg(kClearPresent, args, nargs, kwnames, &n) ||
      !presence_mark(self, n, false)) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

// What the encoder would write decides has_field and repr, so Python does not restate it.
PyObject* nm_field_is_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
  uint32_t n;
  if (!field_number_arg(kFieldIsSet, args, nargs, kwnames, &n)) return nullptr;
  MarshalerRef m = lookup_marshaler(self);
  if (!m) return nullptr;
  const FieldSpec* f = m->index.find(n);
  if (!f) return raise_fmt(PyExc_ValueError, "%s has no field number %u", m->full_name.c_str(), n);
  int r = field_is_set(self, *f);
  return r < 0 ? nullptr : PyBool_FromLong(r);
}

PyObject* nm_get_or_init_unknown(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) noexcept {
  PyObject* a[1];
  if (!parse_args(kGetOrInitUnknown, args, nargs, kwnames, a)) return nullptr;
  return Py_XNewRef(get_or_init_unknown_fields(self));
}

PyObject* nm_present(PyObject* self, void*) noexcept {
  RVec<uint32_t> numbers;
  BitsetStatus st = as_native(self)->presence.list(numbers);
  if (st != BitsetStatus::Ok) {
    raise_bitset_status(st);
    return nullptr;
  }
  Ref list(PyList_New(static_cast<Py_ssize_t>(numbers.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < numbers.size(); ++i) {
    PyObject* n = PyLong_FromUnsignedLong(numbers[i]);
    if (!n) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), n);
  }
  return list.release();
}

PyObject* nm_unknown_fields(PyObject* self, void*) noexcept {
  PyObject* d = get_unknown_fields(self);
  if (!d && PyErr_Occurred()) return nullptr;
  return Py_NewRef(d ? d : Py_None);
}

#define TORVEX_METHOD(name, fn, flags, sig) \
  { name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), flags, sig "\n--\n\n" }
constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef nm_methods[] = {
    TORVEX_METHOD("from_binary", nm_from_binary, kFast | METH_CLASS,
                  "from_binary($cls, data, *, ignore_unknown_fields=False)"),
    TORVEX_METHOD("to_binary", nm_to_binary, kFast,
                  "to_binary($self, *, write_unknown_fields=True, deterministic=False)"),
    TORVEX_METHOD("byte_size", nm_byte_size, kFast, "byte_size($self)"),
    TORVEX_METHOD("to_json", nm_to_json, kFast,
                  "to_json($self, *, registry=None, always_emit_implicit=False, "
                  "print_enums_as_ints=False, use_proto_field_name=False, sort_keys=False, "
                  "indent=None)"),
    TORVEX_METHOD("from_json", nm_from_json, kFast | METH_CLASS,
                  "from_json($cls, json, *, ignore_unknown_fields=False, registry=None)"),
    TORVEX_METHOD("_merge_from_json", nm_merge_from_json, kFast,
                  "_merge_from_json($self, json, *, ignore_unknown_fields=False, registry=None)"),
    TORVEX_METHOD("_to_json_value", nm_to_json_value, kFast,
                  "_to_json_value($self, *, registry=None, always_emit_implicit=False, "
                  "print_enums_as_ints=False, use_proto_field_name=False, sort_keys=False)"),
    TORVEX_METHOD("_from_json_value", nm_from_json_value, kFast | METH_CLASS,
                  "_from_json_value($cls, data, *, ignore_unknown_fields=False, registry=None)"),
    TORVEX_METHOD("__copy__", nm_copy, kFast, "__copy__($self)"),
    TORVEX_METHOD("_decode_delimited", nm_decode_delimited, kFast | METH_CLASS,
                  "_decode_delimited($cls, data, pos, max_size, ignore_unknown_fields)"),
    TORVEX_METHOD("to_text", nm_to_text, kFast,
                  "to_text($self, *, as_one_line=False, print_unknown_fields=False, "
                  "registry=None)"),
    TORVEX_METHOD("from_text", nm_from_text, kFast | METH_CLASS,
                  "from_text($cls, text, *, registry=None, allow_unknown_fields=False)"),
    TORVEX_METHOD("_merge_from_text", nm_merge_from_text, kFast,
                  "_merge_from_text($self, text, *, registry=None, allow_unknown_fields=False)"),
    TORVEX_METHOD("_merge_from_binary", nm_merge_from_binary, kFast,
                  "_merge_from_binary($self, data, ignore_unknown_fields)"),
    TORVEX_METHOD("__deepcopy__", nm_deepcopy, kFast, "__deepcopy__($self, _memo)"),
    TORVEX_METHOD("_merge_from", nm_merge_from, kFast,
                  "_merge_from($self, source, ignore_unknown_fields)"),
    TORVEX_METHOD("_get_field_number_present", nm_get_present, kFast,
                  "_get_field_number_present($self, field_number)"),
    TORVEX_METHOD("_set_field_number_present", nm_set_present, kFast,
                  "_set_field_number_present($self, field_number)"),
    TORVEX_METHOD("_clear_field_number_present", nm_clear_present, kFast,
                  "_clear_field_number_present($self, field_number)"),
    TORVEX_METHOD("_get_or_init_unknown_fields", nm_get_or_init_unknown, kFast,
                  "_get_or_init_unknown_fields($self)"),
    TORVEX_METHOD("_field_is_set", nm_field_is_set, kFast, "_field_is_set($self, field_number)"),
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef nm_getset[] = {{"_present", nm_present, nullptr, nullptr, nullptr},
                           {"_unknown_fields", nm_unknown_fields, nullptr, nullptr, nullptr},
                           {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMemberDef nm_members[] = {{"__weaklistoffset__", Py_T_PYSSIZET,
                             offsetof(NativeMessageObject, weakreflist), Py_READONLY, nullptr},
                            {nullptr, 0, 0, 0, nullptr}};

PyType_Slot nm_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(nm_new)},
    {Py_tp_init, reinterpret_cast<void*>(nm_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(nm_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(nm_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(nm_clear)},
    {Py_tp_setattro, reinterpret_cast<void*>(nm_setattro)},
    {Py_tp_richcompare, reinterpret_cast<void*>(nm_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_methods, nm_methods},
    {Py_tp_getset, nm_getset},
    {Py_tp_members, nm_members},
    {Py_tp_doc,
     const_cast<char*>(
         "NativeMessage($cls, *_args, **_kwargs)\n--\n\nBase class inserted into Python message "
         "types to provide accelerated functions.\n\nMessages match definitions on the Python "
         "Message class. By having priority\nin method resolution order, the accelerated "
         "definitions are used instead of\npure Python.")},
    {0, nullptr}};

PyType_Spec nm_spec = {"torvex_ext.NativeMessage", sizeof(NativeMessageObject), 0,
                       Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, nm_slots};

// ---- module functions -------------------------------------------------------------------

PyObject* fn_initialize_message_type(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) noexcept {
  PyObject* a[1];
  if (!parse_args(kInitialize, args, nargs, kwnames, a) ||
      !convert_instance(a[0], &PyType_Type, "message_type") || initialize_message_type(a[0]) < 0 ||
      bind_class_methods(a[0], native_message_type()) < 0 || !use_message_dealloc(a[0])) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* fn_generic_setattr(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
  PyObject* a[3];
  if (!parse_args(kGenericSetattr, args, nargs, kwnames, a) || !convert_str(a[1], "name") ||
      PyObject_GenericSetAttr(a[0], a[1], a[2]) < 0) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyMethodDef initialize_def = TORVEX_METHOD("initialize_message_type", fn_initialize_message_type,
                                           kFast, "initialize_message_type(message_type)");
PyMethodDef generic_setattr_def = {
    "generic_setattr",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn_generic_setattr)), kFast,
    "generic_setattr(obj, name, value)\n--\n\n"
    "Assign an attribute with the generic assignment of the base object type.\n\n"
    "NativeMessage implements __setattr__ natively, so message code that overrides\n"
    "__setattr__ in Python cannot use setattr() on itself without recursing; this\n"
    "bypasses any __setattr__ of obj's class."};

int add_type(PyObject* module, PyTypeObject* type, const char* name) noexcept {
  if (!type) return -1;
  return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type));
}

// Called by the collector around each collection (gc.callbacks), with ("start" | "stop", info):
// after a full one it also frees the message memory kept for reuse that stayed unused since the
// previous full one. `names` is ("stop", "generation"). Never raises: the collector would report
// it as unraisable.
PyObject* fn_after_collection(PyObject* names, PyObject* const* args, Py_ssize_t nargs) noexcept {
  if (nargs == 2 && PyUnicode_Check(args[0]) && PyDict_Check(args[1]) &&
      PyUnicode_Compare(args[0], PyTuple_GET_ITEM(names, 0)) == 0) {
    PyObject* generation = PyDict_GetItemWithError(args[1], PyTuple_GET_ITEM(names, 1));
    if (generation && PyLong_CheckExact(generation) && PyLong_AsLong(generation) == 2) {
      release_idle_blocks();
    }
    if (PyErr_Occurred()) PyErr_Clear();  // a failed lookup: nothing to release this time
  }
  Py_RETURN_NONE;
}

PyMethodDef after_collection_def = {
    "_after_collection",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn_after_collection)), METH_FASTCALL,
    nullptr};

int watch_full_collections() noexcept {
  Ref names(Py_BuildValue("(ss)", "stop", "generation"));
  if (!names) return -1;
  Ref fn(PyCFunction_NewEx(&after_collection_def, names.get(), nullptr));
  if (!fn) return -1;
  Ref gc(PyImport_ImportModule("gc"));
  if (!gc) return -1;
  Ref callbacks(PyObject_GetAttrString(gc.get(), "callbacks"));
  if (!callbacks) return -1;
  if (!PyList_Check(callbacks.get())) {
    raise_wrong_type(callbacks.get(), "list");
    return -1;
  }
  return PyList_Append(callbacks.get(), fn.get());
}

int add_function(PyObject* module, PyMethodDef* def) noexcept {
  Ref fn(PyCFunction_NewEx(def, module, nullptr));
  if (!fn) return -1;
  return PyModule_AddObjectRef(module, def->ml_name, fn.get());
}

int module_exec(PyObject* module) noexcept {
  if (!PyModule_Check(module)) {
    raise_wrong_type(module, "module");
    return -1;
  }
  if (add_type(module, marshaler_type(), "MessageMarshaler") < 0) return -1;
  if (add_type(module, native_message_type(), "NativeMessage") < 0) return -1;
  if (add_function(module, &initialize_def) < 0) return -1;
  if (add_type(module, oneof_type(), "Oneof") < 0) return -1;
  if (add_function(module, &generic_setattr_def) < 0) return -1;
  return watch_full_collections();
}

PyModuleDef_Slot module_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(module_exec)},
                                   {0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "_torvex_ext",
                          "Native core of the torvex Protocol Buffers runtime.",
                          0,
                          nullptr,
                          module_slots,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace

PyTypeObject* native_message_type() noexcept {
  if (!g_native_type) {
    auto* t = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&nm_spec));
    if (!t) {
      raise_internal("cannot create the NativeMessage class");
      return nullptr;
    }
    if (g_native_type) {
      Py_DECREF(t);
    } else {
      g_native_type = t;
    }
  }
  return g_native_type;
}

}  // namespace torvex

PyMODINIT_FUNC PyInit__torvex_ext(void) { return PyModuleDef_Init(&torvex::module_def); }
