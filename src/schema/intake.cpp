// initialize_message_type: reads the descriptors of one message class and builds its schema.
// Nothing is stored on the message class unless the whole build succeeds; handles and enum
// tables made on the way stay on their classes (they are valid on their own).
#include <algorithm>
#include <span>

#include "core/args.h"
#include "core/errors.h"
#include "core/json_quote.h"
#include "schema/descriptor.h"
#include "schema/wkt_registry.h"

namespace torvex {

namespace {

Ref get(PyObject* obj, PyObject* name) noexcept { return Ref(PyObject_GetAttr(obj, name)); }

bool get_str(PyObject* obj, PyObject* name, Ref* out) noexcept {
  *out = get(obj, name);
  if (!*out) return false;
  if (!PyUnicode_Check(out->get())) {
    raise_wrong_type(out->get(), "str");
    return false;
  }
  return true;
}

bool get_bool(PyObject* obj, PyObject* name, bool* out) noexcept {
  Ref v = get(obj, name);
  if (!v) return false;
  if (!PyBool_Check(v.get())) {
    raise_wrong_type(v.get(), "bool");
    return false;
  }
  *out = v.get() == Py_True;
  return true;
}

bool get_u32(PyObject* obj, PyObject* name, uint32_t* out) noexcept {
  Ref v = get(obj, name);
  return v && to_uint32(v.get(), out);
}

// -1 on error, else 0/1.
int is_instance(PyObject* obj, PyObject* cls) noexcept { return PyObject_IsInstance(obj, cls); }

// Slot(offset) only for a plain object slot of a class in `cls`'s hierarchy; anything else,
// including errors during the lookup (discarded), falls back to access by name. Restricting to
// object slots keeps a member of another C type from being written as an object pointer.
AttributeAccessor resolve_accessor(PyObject* cls, PyObject* name) noexcept {
  AttributeAccessor acc;
  acc.name = Ref::borrow(name);
  Ref d(PyObject_GetAttr(cls, name));
  if (!d) {
    PyErr_Clear();
    return acc;
  }
  if (!Py_IS_TYPE(d.get(), &PyMemberDescr_Type)) return acc;
  auto* md = reinterpret_cast<PyMemberDescrObject*>(d.get());
  const PyMemberDef* def = md->d_member;
  if (def && def->offset >= 0 && def->type == Py_T_OBJECT_EX && !(def->flags & Py_READONLY) &&
      PyType_Check(cls) &&
      PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls), PyDescr_TYPE(md))) {
    acc.offset = def->offset;
  }
  return acc;
}

bool read_scalar_type(PyObject* obj, ScalarType* out) noexcept {
  uint32_t n;
  if (!to_uint32(obj, &n)) return false;
  if (!is_scalar_type(n)) {
    raise_fmt(PyExc_ValueError, "invalid scalar type: %u", n);
    return false;
  }
  *out = static_cast<ScalarType>(n);
  return true;
}

}  // namespace

Ref scalar_zero(ScalarType t) noexcept {
  switch (t) {
    case ScalarType::Double:
    case ScalarType::Float:
      return Ref(PyFloat_FromDouble(0.0));
    case ScalarType::Bool:
      return Ref::borrow(Py_False);
    case ScalarType::String:
      return Ref(PyUnicode_FromStringAndSize("", 0));
    case ScalarType::Bytes:
      return Ref(PyBytes_FromStringAndSize("", 0));
    default:
      return Ref(PyLong_FromLong(0));
  }
}

namespace {

bool utf8_of(PyObject* str, RString* out) noexcept {
  Py_ssize_t n;
  const char* s = PyUnicode_AsUTF8AndSize(str, &n);
  if (!s) return false;
  out->assign(s, static_cast<size_t>(n));
  return true;
}

// Whether the JSON string of `s` is its characters between quotes (exact ASCII str, nothing to
// escape), so that the text writer may copy them without a scan.
bool plain_json_text(PyObject* s) noexcept {
  if (!PyUnicode_CheckExact(s) || !PyUnicode_IS_COMPACT_ASCII(s)) return false;
  const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(s));
  return json_escape_scan(static_cast<const char*>(PyUnicode_DATA(s)), n) == n;
}

// ---- enum tables and message handles (shared across message types) -----------------------

bool build_enum_table(const DescriptorVocabulary* v, PyObject* e, PyObject* c,
                      Rc<EnumTable>* out) noexcept {
  Rc<EnumTable> t = Rc<EnumTable>::adopt(raw_new<EnumTable>());
  t->cls = Ref::borrow(c);
  if (!get_str(e, v->type_name, &t->type_name)) return false;
  if (PyUnicode_CompareWithASCIIString(t->type_name.get(), "google.protobuf.NullValue") == 0) {
    Ref file = get(e, v->file);
    if (!file) return false;
    Ref fname;
    if (!get_str(file.get(), v->name, &fname)) return false;
    Ref prefix(PyUnicode_FromString("google/protobuf/"));
    if (!prefix) return false;
    Py_ssize_t r = PyUnicode_Tailmatch(fname.get(), prefix.get(), 0, PY_SSIZE_T_MAX, -1);
    if (r < 0) return false;
    t->is_null_value = r == 1;
  }
  if (!get_bool(e, v->open, &t->open)) return false;
  Ref values = get(e, v->values);
  if (!values) return false;
  if (!PyList_Check(values.get())) {
    raise_wrong_type(values.get(), "list");
    return false;
  }
  Py_ssize_t initial = PyList_GET_SIZE(values.get());
  if (initial == 0) {
    PyErr_SetString(PyExc_ValueError, "enum must have at least one value");
    return false;
  }
  RVec<std::pair<RString, int32_t>> json_pairs;
  for (Py_ssize_t i = 0; i < initial && i < PyList_GET_SIZE(values.get()); ++i) {
    Ref item = Ref::borrow(PyList_GET_ITEM(values.get(), i));
    int32_t number;
    Ref num = get(item.get(), v->number);
    if (!num || !to_int32(num.get(), &number)) return false;
    Ref local;
    if (!get_str(item.get(), v->local_name, &local)) return false;
    Ref member = get(c, local.get());
    if (!member) return false;
    if (!t->default_member) t->default_member = member;
    t->by_number.insert(number, member.get());
    t->members.push_back(std::move(member));
    Ref name;
    if (!get_str(item.get(), v->name, &name)) return false;
    RString name_utf8;
    if (!utf8_of(name.get(), &name_utf8)) return false;
    t->by_proto_name[name_utf8] = number;
    Ref json = get(item.get(), v->json_name);
    if (!json) return false;
    if (!t->text_out.find(number)) t->text_out.insert(number, name.get());
    if (json.get() == Py_None) {
      t->json_out.insert(number, name.get());
      t->json_out_plain = t->json_out_plain && plain_json_text(name.get());
      t->members.push_back(std::move(name));
    } else if (PyUnicode_Check(json.get())) {
      RString json_utf8;
      if (!utf8_of(json.get(), &json_utf8)) return false;
      json_pairs.emplace_back(std::move(json_utf8), number);
      t->json_out.insert(number, json.get());
      t->json_out_plain = t->json_out_plain && plain_json_text(json.get());
      t->members.push_back(std::move(json));
    } else {
      raise_wrong_type(json.get(), "str");
      return false;
    }
  }
  for (auto& [json, number] : json_pairs) t->by_json_name.try_emplace(json, number);
  *out = std::move(t);
  return true;
}

bool enum_table_for(const DescriptorVocabulary* v, PyObject* e, Rc<EnumTable>* out) noexcept {
  Ref c = get(e, v->type);
  if (!c) return false;
  PyTypeObject* et = enum_type();
  if (!et) return false;
  Ref existing = get(c.get(), v->ext_value_type);
  if (existing) {
    if (!PyObject_TypeCheck(existing.get(), et)) {
      raise_wrong_type(existing.get(), "DescEnum");
      return false;
    }
    *out = Rc<EnumTable>::share(reinterpret_cast<EnumObject*>(existing.get())->rec);
    return true;
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
  PyErr_Clear();
  Rc<EnumTable> table;
  if (!build_enum_table(v, e, c.get(), &table)) return false;
  Ref obj(PyType_GenericAlloc(et, 0));
  if (!obj) return false;
  reinterpret_cast<EnumObject*>(obj.get())->rec = rc_incref(table.get());
  if (PyObject_SetAttr(c.get(), v->ext_value_type, obj.get()) < 0) return false;
  *out = std::move(table);
  return true;
}

bool handle_for(const DescriptorVocabulary* v, PyObject* m, Rc<MarshalerHandle>* out) noexcept {
  Ref c = get(m, v->type);
  if (!c) return false;
  PyTypeObject* ht = handle_type();
  if (!ht) return false;
  Ref existing = get(c.get(), v->ext_value_type);
  if (existing) {
    if (!PyObject_TypeCheck(existing.get(), ht)) {
      raise_wrong_type(existing.get(), "DescMessage");
      return false;
    }
    *out = Rc<MarshalerHandle>::share(reinterpret_cast<HandleObject*>(existing.get())->rec);
    return true;
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
  PyErr_Clear();
  if (!PyType_Check(c.get())) {
    raise_wrong_type(c.get(), "type");
    return false;
  }
  Rc<MarshalerHandle> h = Rc<MarshalerHandle>::adopt(raw_new<MarshalerHandle>());
  h->cls = c;
  h->vocab = v;
  Ref obj(PyType_GenericAlloc(ht, 0));
  if (!obj) return false;
  reinterpret_cast<HandleObject*>(obj.get())->rec = rc_incref(h.get());
  if (PyObject_SetAttr(c.get(), v->ext_value_type, obj.get()) < 0) return false;
  *out = std::move(h);
  return true;
}

// ---- fields -------------------------------------------------------------------------------

// The kind of a list element or map value: a ScalarType member, a DescEnum or a DescMessage.
// Returns 0 on success, -1 on error, 1 when the object is none of the three.
int read_element(const DescriptorVocabulary* v, PyObject* obj, PyObject* delimited_from,
                 uint32_t number, ElementKind* out) noexcept {
  int r = is_instance(obj, v->ScalarType);
  if (r < 0) return -1;
  if (r) {
    out->kind = ElemKind::Scalar;
    if (!read_scalar_type(obj, &out->scalar)) return -1;
    out->wire_type = scalar_wire_type(out->scalar);
    return 0;
  }
  if ((r = is_instance(obj, v->DescEnum)) < 0) return -1;
  if (r) {
    out->kind = ElemKind::Enum;
    out->wire_type = WireType::Varint;
    return enum_table_for(v, obj, &out->enum_table) ? 0 : -1;
  }
  if ((r = is_instance(obj, v->DescMessage)) < 0) return -1;
  if (r) {
    out->kind = ElemKind::Message;
    if (delimited_from && !get_bool(delimited_from, v->delimited_encoding, &out->delimited)) {
      return -1;
    }
    out->wire_type = out->delimited ? WireType::SGroup : WireType::Len;
    out->end_group_tag = make_tag(number, WireType::EGroup);
    return handle_for(v, obj, &out->handle) ? 0 : -1;
  }
  return 1;
}

bool read_oneof(const DescriptorVocabulary* v, PyObject* cls, PyObject* value,
                FieldSpec* f) noexcept {
  Ref oneof = get(value, v->oneof);
  if (!oneof) return false;
  if (oneof.get() == Py_None) return true;
  Ref local;
  if (!get_str(oneof.get(), v->local_name, &local)) return false;
  f->in_oneof = true;
  f->oneof_accessor = resolve_accessor(cls, local.get());
  f->oneof_name = std::move(local);
  return true;
}

// A DescFieldValueList: the element kind and the packing.
bool read_list_kind(const DescriptorVocabulary* v, PyObject* value, FieldSpec* f) noexcept {
  Ref el = get(value, v->element);
  if (!el) return false;
  int e = read_element(v, el.get(), value, f->number, &f->elem);
  if (e < 0) return false;
  if (e > 0) {
    PyErr_SetString(PyExc_ValueError, "invalid list element type");
    return false;
  }
  if (!get_bool(value, v->packed, &f->packed)) return false;
  f->kind = ValueKind::List;
  f->cardinality = Cardinality::List;
  f->packable = f->elem.kind == ElemKind::Enum ||
                (f->elem.kind == ElemKind::Scalar && scalar_packable(f->elem.scalar));
  f->tag_wire_type = f->packed ? WireType::Len : f->elem.wire_type;
  return true;
}

// A DescFieldValueMap: the entry's key and value kinds, tags and zero values.
bool read_map_kind(const DescriptorVocabulary* v, PyObject* value, FieldSpec* f) noexcept {
  auto* map = raw_new<MapEntrySpec>();
  f->map = map;
  Ref key = get(value, v->key);
  if (!key || !read_scalar_type(key.get(), &map->key_type)) return false;
  Ref val = get(value, v->value);
  if (!val) return false;
  int e = read_element(v, val.get(), nullptr, 2, &map->value);
  if (e < 0) return false;
  if (e > 0) {
    PyErr_SetString(PyExc_ValueError, "invalid map value type");
    return false;
  }
  map->key_tag = make_tag(1, scalar_wire_type(map->key_type));
  map->value_tag = make_tag(2, map->value.wire_type);
  map->key_zero = scalar_zero(map->key_type);
  switch (map->value.kind) {
    case ElemKind::Scalar:
      map->value_zero = scalar_zero(map->value.scalar);
      break;
    case ElemKind::Enum:
      map->value_zero = map->value.enum_table->default_member;
      break;
    case ElemKind::Message:
      map->value_zero = Ref::borrow(Py_None);
      break;
  }
  if (!map->key_zero || !map->value_zero) return false;
  f->kind = ValueKind::Map;
  f->cardinality = Cardinality::Map;
  f->tag_wire_type = WireType::Len;
  return true;
}

}  // namespace

// Fills the value kind of `f` from the descriptor's `value` object.
bool read_value(const DescriptorVocabulary* v, PyObject* cls, PyObject* value,
                FieldSpec* f) noexcept {
  int r;
  if ((r = is_instance(value, v->DescFieldValueScalar)) < 0) return false;
  if (r) {
    if (!read_oneof(v, cls, value, f)) return false;
    Ref s = get(value, v->scalar);
    if (!s || !read_scalar_type(s.get(), &f->elem.scalar)) return false;
    f->kind = ValueKind::Scalar;
    f->elem.kind = ElemKind::Scalar;
    f->elem.wire_type = f->tag_wire_type = scalar_wire_type(f->elem.scalar);
    return true;
  }
  if ((r = is_instance(value, v->DescFieldValueEnum)) < 0) return false;
  if (r) {
    if (!read_oneof(v, cls, value, f)) return false;
    Ref e = get(value, v->enum_);
    if (!e || !enum_table_for(v, e.get(), &f->elem.enum_table)) return false;
    f->kind = ValueKind::Enum;
    f->elem.kind = ElemKind::Enum;
    f->elem.wire_type = f->tag_wire_type = WireType::Varint;
    return true;
  }
  if ((r = is_instance(value, v->DescFieldValueMessage)) < 0) return false;
  if (r) {
    if (!read_oneof(v, cls, value, f)) return false;
    Ref m = get(value, v->message);
    if (!m || !get_bool(value, v->delimited_encoding, &f->elem.delimited)) return false;
    if (!handle_for(v, m.get(), &f->elem.handle)) return false;
    f->kind = ValueKind::Message;
    f->elem.kind = ElemKind::Message;
    f->elem.wire_type = f->tag_wire_type = f->elem.delimited ? WireType::SGroup : WireType::Len;
    f->elem.end_group_tag = make_tag(f->number, WireType::EGroup);
    return true;
  }
  if ((r = is_instance(value, v->DescFieldValueList)) < 0) return false;
  if (r) return read_list_kind(v, value, f);
  if ((r = is_instance(value, v->DescFieldValueMap)) < 0) return false;
  if (r) return read_map_kind(v, value, f);
  PyErr_SetString(PyExc_ValueError, "invalid field value type");
  return false;
}

namespace {

// Per-field facts that only the attribute table needs.
struct FieldExtra {
  bool requires_presence;
};

bool read_field(const DescriptorVocabulary* v, PyObject* cls, PyObject* fd, FieldSpec* f,
                FieldExtra* extra) noexcept {
  int r = is_instance(fd, v->DescField);
  if (r < 0) return false;
  if (!r) {
    PyErr_SetString(PyExc_ValueError, "invalid field descriptor");
    return false;
  }
  if (!get_u32(fd, v->number, &f->number)) return false;
  if (!get_str(fd, v->local_name, &f->local_name_obj)) return false;
  // Interned, so that Oneof names (literals and the parsers' own) match by identity.
  if (PyUnicode_CheckExact(f->local_name_obj.get())) {
    PyObject* name = f->local_name_obj.release();
    PyUnicode_InternInPlace(&name);
    f->local_name_obj = Ref(name);
  }
  if (!get_str(fd, v->name, &f->proto_name)) return false;
  if (!get_str(fd, v->json_name, &f->json_name)) return false;
  // A name without a UTF-8 form gets no prefix: to_json then reports it when it writes the key.
  if (!json_member_prefix(f->json_name.get(), &f->json_keys[0], &f->json_keys_ascii) ||
      !json_member_prefix(f->proto_name.get(), &f->json_keys[1], &f->json_keys_ascii)) {
    PyErr_Clear();
  }
  uint32_t presence;
  if (!get_u32(fd, v->presence, &presence)) return false;
  if (presence < 1 || presence > 3) {
    raise_fmt(PyExc_ValueError, "invalid presence: %u", presence);
    return false;
  }
  f->presence = static_cast<Presence>(presence);
  if (!get_bool(fd, v->requires_presence, &extra->requires_presence)) return false;
  Ref value = get(fd, v->value);
  if (!value) return false;
  if (!utf8_of(f->local_name_obj.get(), &f->local_name)) return false;
  f->accessor = resolve_accessor(cls, f->local_name_obj.get());
  if (!read_value(v, cls, value.get(), f)) return false;
  if (f->kind == ValueKind::List || f->kind == ValueKind::Map) {
    int lazy = install_container_slot(cls, f->local_name_obj.get(), f->accessor.offset);
    if (lazy < 0) return false;
    f->accessor.lazy = lazy > 0;
  }
  f->tag = make_tag(f->number, f->tag_wire_type);
  f->has_presence =
      f->cardinality == Cardinality::Singular && !f->in_oneof && f->presence != Presence::Implicit;
  return true;
}

bool add_member(PyObject* table, PyObject* key, const AttributeAccessor& acc, bool has_presence,
                uint32_t number) noexcept {
  PyTypeObject* mt = member_type();
  if (!mt) return false;
  Ref obj(PyType_GenericAlloc(mt, 0));
  if (!obj) return false;
  auto* mo = reinterpret_cast<MemberObject*>(obj.get());
  new (&mo->accessor) AttributeAccessor(acc);
  mo->has_presence = has_presence;
  mo->number = number;
  return PyDict_SetItem(table, key, obj.get()) == 0;
}

bool read_defaults(const DescriptorVocabulary* v, PyObject* d, MessageMarshaler* m) noexcept {
  Ref defaults = get(d, v->defaults);
  if (!defaults) return false;
  if (!PyList_Check(defaults.get())) {
    raise_wrong_type(defaults.get(), "list");
    return false;
  }
  Ref zero(PyLong_FromLong(0)), one(PyLong_FromLong(1));
  if (!zero || !one) return false;
  Py_ssize_t initial = PyList_GET_SIZE(defaults.get());
  for (Py_ssize_t i = 0; i < initial && i < PyList_GET_SIZE(defaults.get()); ++i) {
    Ref item = Ref::borrow(PyList_GET_ITEM(defaults.get(), i));
    Ref key(PyObject_GetItem(item.get(), zero.get()));
    if (!key) return false;
    Ref value(PyObject_GetItem(item.get(), one.get()));
    if (!value) return false;
    PyObject* member = PyDict_GetItemWithError(m->attr_table.get(), key.get());
    if (!member) {
      if (PyErr_Occurred()) return false;
      Ref text(PyUnicode_FromFormat("default value specified for unknown field %S", key.get()));
      if (text) PyErr_SetObject(PyExc_KeyError, text.get());
      return false;
    }
    const AttributeAccessor& acc = reinterpret_cast<MemberObject*>(member)->accessor;
    if (PyList_Check(value.get())) {
      m->defaults.lists.push_back(acc);
    } else if (PyDict_Check(value.get())) {
      m->defaults.dicts.push_back(acc);
    } else {
      m->defaults.plain.emplace_back(acc, std::move(value));
    }
  }
  return true;
}

// Lets class methods read `_ext_marshaler` from the class's own dict: valid while the metaclass
// looks attributes up as `type` does and none of its bases defines the name (a data descriptor
// there would take precedence). Any later change to the metaclass changes its version tag.
bool note_metaclass(const DescriptorVocabulary* v, MessageMarshaler* m) noexcept {
  PyTypeObject* meta = Py_TYPE(m->cls.get());
  if (meta->tp_getattro != PyType_Type.tp_getattro || !meta->tp_mro) return true;
  PyObject* mro = meta->tp_mro;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    Ref dict(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
    if (!dict) return false;
    int r = PyDict_Contains(dict.get(), v->ext_marshaler);
    if (r < 0) return false;
    if (r) return true;
  }
  if (!PyUnstable_Type_AssignVersionTag(meta)) return true;
  m->meta = Ref::borrow(reinterpret_cast<PyObject*>(meta));
  m->meta_version = meta->tp_version_tag;
  return true;
}

// Whether delimited field `f` of `m` is group-like: its type is nested in `m` and named as the
// field in lower case. The text format then names the field by that type name.
bool group_type_name(const DescriptorVocabulary* v, const MessageMarshaler* m, const FieldSpec& f,
                     Ref* out) noexcept {
  Ref d = get(f.elem.handle->cls.get(), v->desc);
  if (!d) return false;
  Ref name, full;
  if (!get_str(d.get(), v->name, &name) || !get_str(d.get(), v->type_name, &full)) return false;
  std::string_view n, fn, pn;
  if (!str_utf8(name.get(), &n) || !str_utf8(full.get(), &fn) ||
      !str_utf8(f.proto_name.get(), &pn)) {
    return false;
  }
  if (n.size() != pn.size() || fn.size() != m->full_name.size() + 1 + n.size() ||
      fn.substr(0, m->full_name.size()) != m->full_name || fn[m->full_name.size()] != '.' ||
      fn.substr(m->full_name.size() + 1) != n) {
    return true;
  }
  for (size_t i = 0; i < n.size(); ++i) {
    char c = n[i];
    if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c) != pn[i]) return true;
  }
  *out = std::move(name);
  return true;
}

// 10: the text format's names (a group-like field also by its type name) and the fields in
// number order.
bool text_names(const DescriptorVocabulary* v, PyObject* d, MessageMarshaler* m) noexcept {
  bool proto3 = false;
  // A descriptor without a file (hand-made ones) is read as proto2: entries keep their zeros.
  Ref file = get(d, v->file);
  if (!file) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
  } else if (file.get() != Py_None) {
    Ref syntax = get(file.get(), v->syntax);
    if (!syntax) return false;
    proto3 = PyUnicode_Check(syntax.get()) &&
             PyUnicode_CompareWithASCIIString(syntax.get(), "proto3") == 0;
  }
  RVec<NameIndex::Entry> names;
  for (FieldSpec& f : m->fields) {
    if (f.map) f.map->implicit_entries = proto3;
    f.text_name = f.proto_name;
    if (f.elem.kind == ElemKind::Message && f.elem.delimited && f.kind != ValueKind::Map &&
        !group_type_name(v, m, f, &f.text_name)) {
      return false;
    }
    for (PyObject* name : {f.proto_name.get(), f.text_name.get()}) {
      Py_ssize_t n;
      const char* s = PyUnicode_AsUTF8AndSize(name, &n);
      if (!s) return false;
      names.emplace_back(std::string_view(s, static_cast<size_t>(n)), f.number);
    }
    m->by_number.push_back(&f);
  }
  m->text_index = NameIndex(std::span<const NameIndex::Entry>(names.data(), names.size()));
  std::stable_sort(m->by_number.begin(), m->by_number.end(),
                   [](const FieldSpec* a, const FieldSpec* b) { return a->number < b->number; });
  return true;
}

// 3: fields in declaration order, with what the attribute table needs of each in `extras`.
bool read_field_list(const DescriptorVocabulary* v, PyObject* d, MessageMarshaler* m,
                     RVec<FieldExtra>* extras) noexcept {
  Ref fields = get(d, v->fields);
  if (!fields) return false;
  if (!PyList_Check(fields.get())) {
    raise_wrong_type(fields.get(), "list");
    return false;
  }
  Py_ssize_t initial = PyList_GET_SIZE(fields.get());
  m->fields.reserve(static_cast<size_t>(initial));
  for (Py_ssize_t i = 0; i < initial && i < PyList_GET_SIZE(fields.get()); ++i) {
    Ref fd = Ref::borrow(PyList_GET_ITEM(fields.get(), i));
    FieldSpec f;
    FieldExtra extra{};
    if (!read_field(v, m->cls.get(), fd.get(), &f, &extra)) return false;
    m->fields.push_back(std::move(f));
    extras->push_back(extra);
  }
  return true;
}

// 4: the number index (the field list is final from here on; the index points into it).
void index_numbers(MessageMarshaler* m) noexcept {
  RVec<std::pair<uint32_t, const FieldSpec*>> entries;
  for (const FieldSpec& f : m->fields) {
    entries.emplace_back(f.number, &f);
    if (f.number > m->max_number) m->max_number = f.number;
    if (f.accessor.is_slot() || f.oneof_accessor.is_slot()) m->has_slots = true;
  }
  m->index = FieldNumberIndex<FieldSpec>(
      std::span<const std::pair<uint32_t, const FieldSpec*>>(entries.data(), entries.size()));
  for (const FieldSpec& f : m->fields) {
    // Only the field the index finds for its number (a later duplicate wins there too).
    if (m->decode_plan.size() < 127 && f.tag < 128 && f.cardinality == Cardinality::Singular &&
        f.kind == ValueKind::Scalar && !f.in_oneof && f.accessor.is_slot() &&
        m->index.find(f.number) == &f) {
      DecodeStep s;
      s.offset = f.accessor.offset;
      s.number = static_cast<uint8_t>(f.number);
      s.tag = static_cast<uint8_t>(f.tag);
      s.type = f.elem.scalar;
      s.presence = f.has_presence;
      if (!m->decode_plan.empty()) m->decode_plan.back().next_tag = s.tag;
      m->decode_plan.push_back(s);
      m->decode_by_tag[f.tag] = static_cast<uint8_t>(m->decode_plan.size());
    }
  }
}

// 7: oneof attributes.
bool read_oneof_attributes(const DescriptorVocabulary* v, PyObject* d,
                           MessageMarshaler* m) noexcept {
  Ref oneofs = get(d, v->oneofs_by_local_name);
  if (!oneofs) return false;
  if (!PyDict_Check(oneofs.get())) {
    raise_wrong_type(oneofs.get(), "dict");
    return false;
  }
  Py_ssize_t pos = 0;
  PyObject *key, *val;
  while (PyDict_Next(oneofs.get(), &pos, &key, &val)) {
    if (!PyUnicode_Check(key)) {
      raise_wrong_type(key, "str");
      return false;
    }
    m->oneofs.push_back(resolve_accessor(m->cls.get(), key));
    if (m->oneofs.back().is_slot()) m->has_slots = true;
  }
  m->only_oneof_members = !m->fields.empty();
  for (FieldSpec& f : m->fields) {
    if (f.in_oneof) {
      for (size_t k = 0; k < m->oneofs.size(); ++k) {
        if (f.oneof_accessor.same_as(m->oneofs[k])) f.oneof_index = static_cast<uint32_t>(k);
      }
    }
    if (f.oneof_index == FieldSpec::kNoOneofIndex) m->only_oneof_members = false;
  }
  return true;
}

// 7b: the binary encoder's plan (after 7: a oneof member is no slot field of its own).
void plan_encoding(MessageMarshaler* m) noexcept {
  m->encode_plan.reserve(m->fields.size());
  for (const FieldSpec& f : m->fields) {
    EncodeStep s;
    s.field = &f;
    s.offset = f.accessor.offset;
    s.number = f.number;
    set_step_tag(s, f.tag);
    bool slot = f.accessor.is_slot() && !f.in_oneof;
    if (!slot) {
      s.op = kEncodeGeneral;
    } else if (f.kind == ValueKind::Scalar && f.presence == Presence::Implicit) {
      s.op = static_cast<uint8_t>(f.elem.scalar);
    } else if (f.kind == ValueKind::Scalar && f.presence == Presence::Explicit) {
      s.op = static_cast<uint8_t>(f.elem.scalar) + kEncodeExplicit;
    } else if (f.kind == ValueKind::Map) {
      s.op = kEncodeMap;
    } else if (f.kind == ValueKind::Enum && f.presence == Presence::Implicit) {
      s.op = kEncodeEnum;
    } else if (f.kind == ValueKind::Message && f.presence != Presence::Required &&
               !f.elem.delimited) {
      s.op = kEncodeMessage;
    } else if (f.kind == ValueKind::List) {
      bool scalars = f.elem.kind == ElemKind::Scalar;
      if (f.elem.kind == ElemKind::Message && !f.elem.delimited) {
        s.op = kEncodeMessageList;
      } else if (scalars && f.elem.scalar == ScalarType::String) {
        s.op = kEncodeStringList;
      } else if (scalars && f.elem.scalar == ScalarType::Bytes) {
        s.op = kEncodeBytesList;
      } else {
        s.op = kEncodeList;
      }
    }
    m->encode_plan.push_back(s);
  }
}

// 7c: the JSON writer's plan (after 7, as the encode plan). Fields whose names have no key
// prefix take the general path, which reports the name. The keys point into the fields' own
// strings, which stay in place as `fields` is never resized.
void plan_json(MessageMarshaler* m) noexcept {
  m->json_plan.reserve(m->fields.size());
  for (const FieldSpec& f : m->fields) {
    JsonStep s;
    s.field = &f;
    s.offset = f.accessor.offset;
    s.number = f.number;
    const bool explicit_presence = f.presence != Presence::Implicit;
    if (!f.accessor.is_slot() || f.in_oneof || f.json_keys[0].empty() || f.json_keys[1].empty()) {
      s.op = kJsonGeneral;
      m->json_plan.push_back(s);
      continue;
    }
    for (int i = 0; i < 2; ++i) {
      s.key[i] = f.json_keys[i].data() + 1;
      s.key_len[i] = static_cast<uint32_t>(f.json_keys[i].size() - kMemberPrefixPad - 1);
    }
    s.key_ascii = f.json_keys_ascii;
    if (f.kind == ValueKind::Scalar) {
      s.op = static_cast<uint8_t>(static_cast<uint8_t>(f.elem.scalar) +
                                  (explicit_presence ? kJsonExplicit : 0));
    } else if (f.kind == ValueKind::Enum) {
      s.op = kJsonEnum + (explicit_presence ? kJsonExplicit : 0);
    } else if (f.kind == ValueKind::Message && f.presence != Presence::Required) {
      s.op = kJsonMessage;
    } else if (f.kind == ValueKind::List) {
      s.op = kJsonList;
    } else if (f.kind == ValueKind::Map) {
      s.op = kJsonMap;
    }
    m->json_plan.push_back(s);
  }
}

// 9: name index, proto name then JSON name; later insertions win.
bool index_names(MessageMarshaler* m) noexcept {
  RVec<NameIndex::Entry> names;
  for (const FieldSpec& f : m->fields) {
    for (PyObject* name : {f.proto_name.get(), f.json_name.get()}) {
      // The UTF-8 form is cached on the str, which the field keeps alive with the index.
      Py_ssize_t n;
      const char* s = PyUnicode_AsUTF8AndSize(name, &n);
      if (!s) return false;
      names.emplace_back(std::string_view(s, static_cast<size_t>(n)), f.number);
    }
  }
  m->name_index = NameIndex(std::span<const NameIndex::Entry>(names.data(), names.size()));
  return true;
}

// 11: attribute table and its native copy.
bool build_attr_table(MessageMarshaler* m, const RVec<FieldExtra>& extras) noexcept {
  m->attr_table = Ref(PyDict_New());
  if (!m->attr_table) return false;
  for (size_t i = 0; i < m->fields.size(); ++i) {
    const FieldSpec& f = m->fields[i];
    bool ok = f.in_oneof ? add_member(m->attr_table.get(), f.oneof_name.get(), f.oneof_accessor,
                                      false, f.number)
                         : add_member(m->attr_table.get(), f.local_name_obj.get(), f.accessor,
                                      extras[i].requires_presence, f.number);
    if (!ok) return false;
  }
  // The field behind each surviving Member (a later field of the same name replaced earlier
  // ones, so later insertions win here too).
  RMap<PyObject*, const FieldSpec*> field_of;
  for (const FieldSpec& f : m->fields) {
    if (f.in_oneof) continue;
    PyObject* member = PyDict_GetItemWithError(m->attr_table.get(), f.local_name_obj.get());
    if (!member) {
      if (PyErr_Occurred()) return false;
      continue;
    }
    field_of[member] = &f;
  }
  Py_ssize_t pos = 0;
  PyObject *key, *val;
  while (PyDict_Next(m->attr_table.get(), &pos, &key, &val)) {
    auto* mo = reinterpret_cast<MemberObject*>(val);
    const FieldSpec* implicit = nullptr;
    if (auto it = field_of.find(val); it != field_of.end()) {
      const FieldSpec* f = it->second;
      if (f->presence == Presence::Implicit && !mo->has_presence &&
          (f->kind == ValueKind::Scalar || f->kind == ValueKind::Enum)) {
        implicit = f;
      }
    }
    m->attrs.push_back(AttrEntry{mo->accessor, mo->has_presence, mo->number, implicit});
  }
  RSet<Py_ssize_t> offsets;
  for (const AttrEntry& a : m->attrs) {
    if (!a.accessor.is_slot() || !offsets.insert(a.accessor.offset).second) {
      m->attr_offsets.clear();
      return true;
    }
    m->attr_offsets.push_back(a.accessor.offset);
  }
  m->attrs_in_slots = true;
  return true;
}

Rc<MessageMarshaler> build_marshaler(const DescriptorVocabulary* v, PyObject* d) noexcept {
  Rc<MessageMarshaler> m = Rc<MessageMarshaler>::adopt(raw_new<MessageMarshaler>());
  m->vocab = v;
  // 1-2: the class and its full name.
  m->cls = get(d, v->type);
  if (!m->cls) return {};
  if (!PyType_Check(m->cls.get())) {
    raise_wrong_type(m->cls.get(), "type");
    return {};
  }
  Ref type_name;
  if (!get_str(d, v->type_name, &type_name) || !utf8_of(type_name.get(), &m->full_name)) {
    return {};
  }
  RVec<FieldExtra> extras;
  if (!read_field_list(v, d, m.get(), &extras)) return {};
  index_numbers(m.get());
  // 5: kept by reference for the oneof check.
  m->fields_by_name = get(d, v->fields_by_name);
  if (!m->fields_by_name || !read_oneof_attributes(v, d, m.get())) return {};
  plan_encoding(m.get());
  plan_json(m.get());
  // 8: the well-known-type marker.
  if (recognise_well_known(v, d, m.get()) < 0) return {};
  if (!index_names(m.get()) || !text_names(v, d, m.get()) || !build_attr_table(m.get(), extras)) {
    return {};
  }
  // 12: defaults.
  if (!read_defaults(v, d, m.get())) return {};
  index_defaults(&m->defaults);
  return note_metaclass(v, m.get()) ? m : Rc<MessageMarshaler>();
}

}  // namespace

int initialize_message_type(PyObject* message_type) noexcept {
  const DescriptorVocabulary* v = vocabulary();
  if (!v) return -1;
  Ref existing(PyObject_GetAttr(message_type, v->ext_marshaler));
  if (existing) return 0;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
  PyErr_Clear();
  Ref d(PyObject_GetAttr(message_type, v->desc));
  if (!d) return -1;
  Rc<MessageMarshaler> m = build_marshaler(v, d.get());
  if (!m) return -1;
  PyTypeObject* mt = marshaler_type();
  if (!mt) return -1;
  Ref obj(PyType_GenericAlloc(mt, 0));
  if (!obj) return -1;
  reinterpret_cast<MarshalerObject*>(obj.get())->rec = m.release();
  return PyObject_SetAttr(message_type, v->ext_marshaler, obj.get());
}

}  // namespace torvex
