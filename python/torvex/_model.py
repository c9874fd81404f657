"""The schema model of a .proto file: every type, field and name decided once, so that the
generator's source renderer and the run-time loader build exactly the same classes.

Input objects are ``FileDescriptorProto`` messages. Only attribute reads and ``has_field`` are
used on them (plus ``HasField`` as a fallback, which lets the very first generation of the
bundled ``descriptor.proto`` module run on another runtime's classes).
"""

from __future__ import annotations

import contextlib
import keyword
import math
import struct
import sys
from dataclasses import dataclass, field
from collections.abc import Iterator
from typing import Any

from ._descriptors import ScalarType
from ._names import json_name as derived_json_name

# FieldDescriptorProto.Type numbers that are not scalar types.
TYPE_GROUP, TYPE_MESSAGE, TYPE_ENUM = 10, 11, 14
LABEL_REQUIRED, LABEL_REPEATED = 2, 3

# Edition numbers as descriptor.proto's Edition enum has them.
EDITION_PROTO2, EDITION_PROTO3, EDITION_2023 = 998, 999, 1000
SUPPORTED_EDITIONS = (EDITION_PROTO2, EDITION_2023)

# FeatureSet enum values.
EXPLICIT, IMPLICIT, LEGACY_REQUIRED = 1, 2, 3
OPEN, CLOSED = 1, 2
PACKED, EXPANDED = 1, 2
VERIFY, UTF8_NONE = 2, 3
LENGTH_PREFIXED, DELIMITED = 1, 2
ALLOW, LEGACY_BEST_EFFORT = 1, 2

_FEATURE_NAMES = (
    "field_presence",
    "enum_type",
    "repeated_field_encoding",
    "utf8_validation",
    "message_encoding",
    "json_format",
)

# Feature defaults by edition, as descriptor.proto's edition_defaults give them.
_EDITION_DEFAULTS: dict[int, dict[str, int]] = {
    EDITION_PROTO2: dict(
        field_presence=EXPLICIT,
        enum_type=CLOSED,
        repeated_field_encoding=EXPANDED,
        utf8_validation=UTF8_NONE,
        message_encoding=LENGTH_PREFIXED,
        json_format=LEGACY_BEST_EFFORT,
    ),
    EDITION_PROTO3: dict(
        field_presence=IMPLICIT,
        enum_type=OPEN,
        repeated_field_encoding=PACKED,
        utf8_validation=VERIFY,
        message_encoding=LENGTH_PREFIXED,
        json_format=ALLOW,
    ),
    EDITION_2023: dict(
        field_presence=EXPLICIT,
        enum_type=OPEN,
        repeated_field_encoding=PACKED,
        utf8_validation=VERIFY,
        message_encoding=LENGTH_PREFIXED,
        json_format=ALLOW,
    ),
}

# Standard files whose classes carry helper methods from ``torvex.wkt._mixins``.
MIXIN_TYPES = frozenset(
    {"Any", "Timestamp", "Duration", "FieldMask", "Struct", "Value", "ListValue"}
)
WKT_PACKAGE = "google.protobuf"
# The standard files torvex ships as ``torvex.wkt`` modules; any other file of the standard's
# directory (a test schema, a newer standard file) is generated like an ordinary file.
BUNDLED_FILES = frozenset(
    f"google/protobuf/{name}.proto"
    for name in (
        "any", "api", "compiler/plugin", "cpp_features", "descriptor", "duration", "empty",
        "field_mask", "go_features", "java_features", "source_context", "struct", "timestamp",
        "type", "wrappers",
    )
)  # fmt: skip

# Attribute names of message instances and classes that a field, oneof or nested type must not
# take. A fixed list (not the runtime's dir()) keeps generated code the same across versions;
# the runtime's own names are added in case it has grown.
MESSAGE_RESERVED = frozenset(
    {
        "to_binary", "from_binary", "to_json", "from_json", "to_dict", "from_dict",
        "merge_from", "clear", "has_field", "clear_field", "copy", "which_oneof",
        "to_text", "from_text", "merge_from_text", "_merge_from_text",
        "_merge_from_binary", "_to_json_value", "_merge_from_json", "_from_json_value",
        "_merge_from", "_get_field_number_present", "_set_field_number_present",
        "_clear_field_number_present", "_get_or_init_unknown_fields", "_present",
        "_unknown_fields", "_desc", "_ext_marshaler", "_ext_value_type", "mro",
    }
)  # fmt: skip
# Names annotations and class bodies of generated code use: a field of that name would hide
# them from the checker (annotations) or from later lines of the class body (``torvex``).
ANNOTATION_NAMES = frozenset(
    {"int", "float", "str", "bytes", "bool", "list", "dict", "torvex", "typing", "_T"}
)
# Module-level names of a generated module besides its types.
MODULE_NAMES = frozenset({"annotations", "FILE", "_mixins"})
ENUM_RESERVED = frozenset({"mro"})


class GenerateError(ValueError):
    """A schema the generator (and ``load_descriptor_set``) cannot express or refuses: the
    message names the file and element. A ``ValueError``, as for any malformed input."""


def has(msg: Any, name: str) -> bool:
    probe = getattr(msg, "has_field", None)
    if probe is not None:
        return bool(probe(name))
    return bool(msg.HasField(name))


def sub(msg: Any, name: str) -> Any:
    """A message field's value or None when unset (also on runtimes that return defaults)."""
    if not has(msg, name):
        return None
    return getattr(msg, name)


def python_name(proto_name: str, taken: frozenset[str] | set[str]) -> str:
    """The renaming rule, one for every generated name: a name starting with two underscores
    (which Python would mangle inside a class) gets an ``x`` in front; then ``_`` is appended
    while the name is a keyword or is taken (reserved by the runtime or used by another name
    in the same scope). The proto name stays in the descriptor."""
    name = proto_name
    if name.startswith("__"):
        name = "x" + name
    if _is_sunder(name):
        name += "_"
    while keyword.iskeyword(name) or name in taken:
        name += "_"
    return name


def name_needed(proto_name: str, attr: str) -> bool:
    """Whether a declaration must spell out the proto name: the attribute differs from it, or
    ends in ``_``, which the declarative API would read as an escape (``to_binary_`` would
    name the proto field ``to_binary``)."""
    return attr != proto_name or attr.endswith("_")


def checked_name(name: str, where: str) -> str:
    """``name`` when it is a proto identifier (what protoc accepts); else a GenerateError, as
    such a name could not become an attribute or class name."""
    if not (name.isascii() and name.isidentifier()):
        raise GenerateError(f"{where}: invalid name {name!r}")
    return name


def _is_sunder(name: str) -> bool:
    return len(name) > 2 and name[0] == name[-1] == "_" and name[1] != "_" and name[-2] != "_"


def module_path(proto_file: str) -> str:
    """Dotted module of a .proto file: ``a/b/c.proto`` -> ``a.b.c``; a bundled standard file
    ``google/protobuf/x.proto`` -> ``torvex.wkt.x``. Parts that are not identifiers are made so, keywords get ``_``, and a
    top-level module named like a standard-library module gets ``_`` (it would hide it)."""
    stem = proto_file[:-6] if proto_file.endswith(".proto") else proto_file
    parts = stem.split("/")
    if proto_file in BUNDLED_FILES:
        parts = ["torvex", "wkt", *parts[2:]]
    out = []
    for part in parts:
        ident = "".join(c if c.isalnum() or c == "_" else "_" for c in part) or "_"
        if ident[0].isdigit():
            ident = "_" + ident
        while keyword.iskeyword(ident):
            ident += "_"
        out.append(ident)
    if len(out) == 1 and (out[0] in sys.stdlib_module_names or out[0] == "torvex"):
        out[0] += "_"
    return ".".join(out)


# ---- resolved model ------------------------------------------------------------------------


@dataclass
class TypeRef:
    """A message or enum type as a field refers to it."""

    full_name: str  # without the leading dot
    is_enum: bool
    module: str  # dotted module of its file
    py_path: str  # dotted path of the class inside its module
    open: bool = True  # enums only


@dataclass
class FieldModel:
    proto_name: str
    attr: str
    number: int
    kind: str  # "singular", "repeated" or "map"
    scalar: ScalarType | None  # singular/repeated scalar, or the map value when scalar
    ref: TypeRef | None  # message or enum type (map: the value type)
    key: ScalarType | None = None
    optional: bool = False  # explicit presence of a singular scalar or enum
    required: bool = False
    packed: bool | None = None  # only when it differs from the file syntax's default
    packed_resolved: bool = False
    delimited: bool = False
    default: Any = None  # a Python value, or None when there is none
    has_default: bool = False
    json_name: str | None = None  # only when it differs from the derived one
    name_given: bool = False  # the attribute differs from the proto name
    oneof: str | None = None  # attribute of the containing oneof
    doc: str | None = None


@dataclass
class OneofModel:
    proto_name: str
    attr: str
    fields: list[FieldModel] = field(default_factory=list)
    doc: str | None = None


@dataclass
class EnumValueModel:
    proto_name: str
    attr: str
    number: int
    doc: str | None = None


@dataclass
class EnumModel:
    proto_name: str
    py_name: str
    full_name: str
    open: bool
    values: list[EnumValueModel]
    doc: str | None = None


@dataclass
class ExtensionModel:
    proto_name: str
    py_name: str
    full_name: str
    number: int
    field: FieldModel
    extendee: str  # full name


@dataclass
class MessageModel:
    proto_name: str
    py_name: str
    full_name: str
    mixin: str | None
    # Fields and oneofs in declaration order (a oneof where its first member is).
    members: list[FieldModel | OneofModel] = field(default_factory=list)
    messages: list[MessageModel] = field(default_factory=list)
    enums: list[EnumModel] = field(default_factory=list)
    extensions: list[ExtensionModel] = field(default_factory=list)
    doc: str | None = None


@dataclass
class FileModel:
    name: str
    package: str
    syntax: str  # what the runtime's File is told: "proto2" or "proto3"
    module: str
    imports: list[str]  # dotted modules of the dependencies
    aliases: dict[str, str] = field(default_factory=dict)  # module -> name bound by its import
    messages: list[MessageModel] = field(default_factory=list)
    enums: list[EnumModel] = field(default_factory=list)
    extensions: list[ExtensionModel] = field(default_factory=list)
    has_services: bool = False
    doc: str | None = None


def field_call(f: FieldModel) -> tuple[str, list[Any], dict[str, Any]]:
    """The declarative call for a field: function name (``field``, ``repeated``, ``map_field``),
    positional and keyword arguments. Message and enum types are given by full name (with a
    leading dot), so nothing in a class body depends on the names of other classes."""
    args: list[Any] = [f.number]
    if f.kind == "map":
        args.append(f.key)
    args.append("." + f.ref.full_name if f.ref is not None else f.scalar)
    kwargs: dict[str, Any] = {}
    if f.optional:
        kwargs["optional"] = True
    if f.required:
        kwargs["required"] = True
    if f.packed is not None:
        kwargs["packed"] = f.packed
    if f.delimited:
        kwargs["delimited"] = True
    if f.has_default:
        kwargs["default"] = f.default
    if f.name_given:
        kwargs["name"] = f.proto_name
    if f.json_name is not None:
        kwargs["json_name"] = f.json_name
    call = {"singular": "field", "repeated": "repeated", "map": "map_field"}[f.kind]
    return call, args, kwargs


def extension_call(ext: ExtensionModel) -> tuple[list[Any], dict[str, Any]]:
    """Arguments of ``torvex.Extension`` for an extension (types by full name)."""
    f = ext.field
    args: list[Any] = [ext.full_name, ext.number, "." + f.ref.full_name if f.ref else f.scalar]
    kwargs: dict[str, Any] = {"extendee": ext.extendee}
    if f.kind == "repeated":
        kwargs["repeated"] = True
        # Extensions are unpacked unless declared packed, whatever their file's syntax.
        if f.packed_resolved:
            kwargs["packed"] = True
    if f.delimited:
        kwargs["delimited"] = True
    if f.has_default:
        kwargs["default"] = f.default
    return args, kwargs


def enum_keywords(enum: EnumModel, syntax: str) -> dict[str, Any]:
    """Class keywords of an enum besides ``file`` and ``name``."""
    out: dict[str, Any] = {}
    if enum.open != (syntax != "proto2"):
        out["open"] = enum.open
    renamed = {v.attr: v.proto_name for v in enum.values if name_needed(v.proto_name, v.attr)}
    if renamed:
        out["value_names"] = renamed
    return out


# ---- building the model --------------------------------------------------------------------


class TypeIndex:
    """Every message and enum of a set of files, by full name, with where its class lives."""

    def __init__(self) -> None:
        self.types: dict[str, TypeRef] = {}
        # Map entry messages: full name -> (key field, value field) descriptors.
        self.map_entries: dict[str, tuple[Any, Any]] = {}
        self.files: dict[str, Any] = {}
        self._file = ""  # the file being added, for errors

    def add_file(self, fdp: Any) -> None:
        if fdp.name in self.files:
            return
        self.files[fdp.name] = fdp
        self._file = fdp.name
        module = module_path(fdp.name)
        features = file_features(fdp)
        prefix = f"{fdp.package}." if fdp.package else ""
        top = _taken_top_names(fdp)
        for enum in fdp.enum_type:
            self._enum(enum, prefix, module, "", features, top)
        for msg in fdp.message_type:
            self._message(msg, prefix, module, "", features, top)

    def _enum(
        self,
        enum: Any,
        prefix: str,
        module: str,
        py_prefix: str,
        parent_features: dict[str, int],
        taken: tuple[frozenset[str], frozenset[str]],
    ) -> None:
        features = merge_features(parent_features, _options_features(enum))
        checked_name(enum.name, f"{self._file}: {prefix}{enum.name}")
        py = py_prefix + top_or_nested_name(enum.name, taken)
        self.types[prefix + enum.name] = TypeRef(
            prefix + enum.name, True, module, py, features["enum_type"] == OPEN
        )

    def _message(
        self,
        msg: Any,
        prefix: str,
        module: str,
        py_prefix: str,
        parent_features: dict[str, int],
        taken: tuple[frozenset[str], frozenset[str]],
    ) -> None:
        full = prefix + msg.name
        checked_name(msg.name, f"{self._file}: {full}")
        options = sub(msg, "options")
        if options is not None and options.map_entry:
            self.map_entries[full] = _map_entry_fields(msg, f"{self._file}: {full}")
            return
        features = merge_features(parent_features, _options_features(msg))
        py = py_prefix + top_or_nested_name(msg.name, taken)
        self.types[full] = TypeRef(full, False, module, py)
        inner = _taken_nested_names(msg)
        for enum in msg.enum_type:
            self._enum(enum, full + ".", module, py + ".", features, inner)
        for nested in msg.nested_type:
            self._message(nested, full + ".", module, py + ".", features, inner)

    def get(self, type_name: str, where: str) -> TypeRef:
        ref = self.types.get(type_name.lstrip("."))
        if ref is None:
            raise GenerateError(f"{where}: type {type_name.lstrip('.')} is not defined")
        return ref


_MAP_KEYS = frozenset(t for t in ScalarType if t not in (
    ScalarType.DOUBLE, ScalarType.FLOAT, ScalarType.BYTES))  # fmt: skip


def _map_entry_fields(msg: Any, where: str) -> tuple[Any, Any]:
    """The key and value fields of a map entry message, which must be exactly those two."""
    fields = sorted(msg.field, key=lambda f: int(f.number))
    if [int(f.number) for f in fields] != [1, 2] or int(fields[0].label) == LABEL_REPEATED:
        raise GenerateError(f"{where}: a map entry needs exactly the fields key = 1 and value = 2")
    if int(fields[0].type) not in _MAP_KEYS:
        raise GenerateError(f"{where}: type {int(fields[0].type)} cannot be a map key")
    return fields[0], fields[1]


def top_or_nested_name(proto_name: str, scope: tuple[frozenset[str], frozenset[str]]) -> str:
    reserved, proto_names = scope
    return python_name(proto_name, reserved | (proto_names - {proto_name}))


def _taken_top_names(fdp: Any) -> tuple[frozenset[str], frozenset[str]]:
    """Names a top-level type must not take: the module's own names, and every other proto
    name at that level (so that a renamed type cannot land on another's name)."""
    names = {m.name for m in fdp.message_type} | {e.name for e in fdp.enum_type}
    names |= {e.name for e in fdp.extension}
    return MODULE_NAMES | ANNOTATION_NAMES, frozenset(names)


def _taken_nested_names(msg: Any) -> tuple[frozenset[str], frozenset[str]]:
    names = {m.name for m in msg.nested_type} | {e.name for e in msg.enum_type}
    names |= {f.name for f in msg.field} | {o.name for o in msg.oneof_decl}
    names |= {e.name for e in msg.extension}
    return MESSAGE_RESERVED | ANNOTATION_NAMES, frozenset(names)


def file_edition(fdp: Any) -> int:
    syntax = fdp.syntax or "proto2"
    if syntax == "proto2":
        return EDITION_PROTO2
    if syntax == "proto3":
        return EDITION_PROTO3
    if syntax == "editions":
        return int(fdp.edition)
    raise GenerateError(f"{fdp.name}: unsupported syntax {syntax!r}")


def file_features(fdp: Any) -> dict[str, int]:
    edition = file_edition(fdp)
    defaults = _EDITION_DEFAULTS.get(edition)
    if defaults is None:
        raise GenerateError(
            f"{fdp.name}: edition {_edition_text(edition)} is not supported (supported: proto2, "
            "proto3, 2023)"
        )
    return merge_features(defaults, _options_features(fdp))


_EDITION_NAMES = {1000: "2023", 1001: "2024", 1002: "2026", 9999: "UNSTABLE"}


def _edition_text(edition: int) -> str:
    return _EDITION_NAMES.get(edition, f"#{edition}")


def _options_features(element: Any) -> Any:
    options = sub(element, "options")
    return None if options is None else sub(options, "features")


def merge_features(parent: dict[str, int], features: Any) -> dict[str, int]:
    if features is None:
        return parent
    out = dict(parent)
    for name in _FEATURE_NAMES:
        if has(features, name):
            value = int(getattr(features, name))
            if value:
                out[name] = value
    return out


class _Comments:
    """Leading comments of the file's elements, by path, from ``source_code_info``; with
    ``brief``, only the first paragraph of each."""

    def __init__(self, fdp: Any, *, brief: bool = False) -> None:
        self.by_path: dict[tuple[int, ...], str] = {}
        info = sub(fdp, "source_code_info")
        if info is None:
            return
        for loc in info.location:
            text = loc.leading_comments if has(loc, "leading_comments") else ""
            if not text and has(loc, "trailing_comments"):
                text = loc.trailing_comments
            text = _clean_comment(text)
            if brief:
                text = _first_paragraph(text)
            if text:
                self.by_path.setdefault(tuple(loc.path), text)

    def get(self, path: tuple[int, ...]) -> str | None:
        return self.by_path.get(path)


def _clean_comment(text: str) -> str:
    # Only "\n" ends a comment line in a .proto file; other line breaks are text.
    lines = text.split("\n")
    # A comment line is "// text": drop the single space that follows the slashes.
    lines = [line[1:] if line.startswith(" ") else line for line in lines]
    while lines and not lines[-1].strip():
        lines.pop()
    while lines and not lines[0].strip():
        lines.pop(0)
    return "\n".join(line.rstrip() for line in lines)


def _first_paragraph(text: str) -> str:
    lines = text.split("\n")
    end = next((i for i, line in enumerate(lines) if not line.strip()), len(lines))
    return "\n".join(lines[:end])


class FileBuilder:
    """Builds the ``FileModel`` of one file against the index of all files it may refer to."""

    def __init__(self, fdp: Any, index: TypeIndex, *, brief_docs: bool = False) -> None:
        self.fdp = fdp
        self.index = index
        self.comments = _Comments(fdp, brief=brief_docs)
        self.edition = file_edition(fdp)
        self.features = file_features(fdp)
        self.package = fdp.package

    def build(self) -> FileModel:
        fdp = self.fdp
        # The runtime's File is told the syntax whose defaults the rendered options start from;
        # editions files start from proto3's and spell out every difference.
        syntax = "proto2" if self.edition == EDITION_PROTO2 else "proto3"
        imports = list(dict.fromkeys(module_path(dep) for dep in fdp.dependency))
        self.module = module_path(fdp.name)
        self.aliases = _aliases(imports, self._top_taken())
        model = FileModel(
            fdp.name,
            fdp.package,
            syntax,
            module_path(fdp.name),
            imports,
            self.aliases,
            has_services=len(fdp.service) > 0,
            doc=self.comments.get((12,)) or self.comments.get((2,)),
        )
        prefix = f"{fdp.package}." if fdp.package else ""
        for i, enum in enumerate(fdp.enum_type):
            model.enums.append(self._enum(enum, prefix, (5, i)))
        for i, msg in enumerate(fdp.message_type):
            built = self._message(msg, prefix, (4, i), self.features)
            if built is not None:
                model.messages.append(built)
        reserved, names = _taken_top_names(fdp)
        taken = reserved | names | {m.py_name for m in model.messages} | {
            e.py_name for e in model.enums
        }
        for i, ext in enumerate(fdp.extension):
            model.extensions.append(self._extension(ext, prefix, (7, i), self.features, taken))
        return model

    def root(self, ref: TypeRef) -> str:
        """The module-level name an annotation of ``ref`` starts with."""
        if ref.module == self.module:
            return ref.py_path.partition(".")[0]
        alias = self.aliases.get(ref.module)
        if alias is None:
            # Reached through a public import of an import: import it directly as well.
            alias = self.aliases[ref.module] = _aliases(
                [ref.module], self._top_taken() | set(self.aliases.values())
            )[ref.module]
        return alias

    def _top_taken(self) -> frozenset[str]:
        reserved, names = _taken_top_names(self.fdp)
        return reserved | names | {self.index.types[n].py_path for n in self._top_full_names()}

    def _top_full_names(self) -> list[str]:
        prefix = f"{self.fdp.package}." if self.fdp.package else ""
        found = [prefix + t.name for t in [*self.fdp.message_type, *self.fdp.enum_type]]
        return [name for name in found if name in self.index.types]

    def _where(self, full_name: str) -> str:
        return f"{self.fdp.name}: {full_name}"

    def _enum(self, enum: Any, prefix: str, path: tuple[int, ...]) -> EnumModel:
        full = prefix + enum.name
        ref = self.index.get(full, self._where(full))
        taken: set[str] = set(ENUM_RESERVED)
        values = []
        for i, value in enumerate(enum.value):
            attr = python_name(checked_name(value.name, self._where(full)), taken)
            taken.add(attr)
            values.append(
                EnumValueModel(
                    value.name, attr, int(value.number), self.comments.get((*path, 2, i))
                )
            )
        if not values:
            raise GenerateError(f"{self._where(full)}: an enum needs at least one value")
        return EnumModel(
            enum.name,
            ref.py_path.rpartition(".")[2],
            full,
            ref.open,
            values,
            self.comments.get(path),
        )

    def _message(
        self, msg: Any, prefix: str, path: tuple[int, ...], parent: dict[str, int]
    ) -> MessageModel | None:
        full = prefix + msg.name
        if full in self.index.map_entries:
            return None
        ref = self.index.get(full, self._where(full))
        features = merge_features(parent, _options_features(msg))
        mixin = None
        if self.package == WKT_PACKAGE and prefix == WKT_PACKAGE + "." and msg.name in MIXIN_TYPES:
            mixin = f"{msg.name}Mixin"
        model = MessageModel(
            msg.name, ref.py_path.rpartition(".")[2], full, mixin, doc=self.comments.get(path)
        )
        inner = prefix + msg.name + "."
        for i, enum in enumerate(msg.enum_type):
            model.enums.append(self._enum(enum, inner, (*path, 4, i)))
        for i, nested in enumerate(msg.nested_type):
            built = self._message(nested, inner, (*path, 3, i), features)
            if built is not None:
                model.messages.append(built)
        # Attribute names: nested types are named already; fields and oneofs take the rest in
        # declaration order.
        taken = set(MESSAGE_RESERVED | ANNOTATION_NAMES)
        taken |= {m.py_name for m in model.messages} | {e.py_name for e in model.enums}
        # A field named like the first part of a type in an annotation of this class would
        # hide that type from the checker.
        for f in msg.field:
            if f.type_name:
                used = self.index.types.get(f.type_name.lstrip("."))
                if used is not None:
                    taken.add(self.root(used))
        proto_names = {f.name for f in msg.field} | {o.name for o in msg.oneof_decl}
        oneofs: dict[int, OneofModel] = {}
        real_oneofs = {
            int(f.oneof_index) for f in msg.field if has(f, "oneof_index") and not f.proto3_optional
        }
        for i, fdp_field in enumerate(msg.field):
            member = self._field(fdp_field, full, features, taken, proto_names, (*path, 2, i))
            taken.add(member.attr)
            if has(fdp_field, "oneof_index") and int(fdp_field.oneof_index) in real_oneofs:
                index = int(fdp_field.oneof_index)
                group = oneofs.get(index)
                if group is None:
                    if index >= len(msg.oneof_decl):
                        raise GenerateError(f"{self._where(full)}.{fdp_field.name}: no oneof {index}")
                    decl = msg.oneof_decl[index]
                    checked_name(decl.name, self._where(full))
                    attr = python_name(decl.name, taken | (proto_names - {decl.name}))
                    taken.add(attr)
                    group = OneofModel(decl.name, attr, doc=self.comments.get((*path, 8, index)))
                    oneofs[index] = group
                    model.members.append(group)
                member.oneof = group.attr
                member.optional = False
                group.fields.append(member)
            else:
                model.members.append(member)
        _check_unique(self._where(full), msg.field)
        ext_taken = frozenset(taken)
        for i, ext in enumerate(msg.extension):
            model.extensions.append(self._extension(ext, inner, (*path, 6, i), features, ext_taken))
        return model

    def _field(
        self,
        f: Any,
        scope: str,
        parent: dict[str, int],
        taken: set[str],
        proto_names: set[str],
        path: tuple[int, ...],
    ) -> FieldModel:
        where = f"{self._where(scope)}.{checked_name(f.name, self._where(scope))}"
        features = merge_features(parent, _options_features(f))
        attr = python_name(f.name, taken | (proto_names - {f.name}))
        model = self._value(f, features, where, attr)
        model.doc = self.comments.get(path)
        return model

    def _value(self, f: Any, features: dict[str, int], where: str, attr: str) -> FieldModel:
        ftype = int(f.type)
        label = int(f.label)
        options = sub(f, "options")
        scalar: ScalarType | None = None
        ref: TypeRef | None = None
        if ftype in (TYPE_MESSAGE, TYPE_GROUP, TYPE_ENUM):
            if f.type_name.lstrip(".") in self.index.map_entries:
                return self._map(f, where, attr)
            ref = self.index.get(f.type_name, where)
        else:
            try:
                scalar = ScalarType(ftype)
            except ValueError:
                raise GenerateError(f"{where}: unsupported field type {ftype}") from None
        model = FieldModel(f.name, attr, int(f.number), "singular", scalar, ref)
        model.name_given = name_needed(f.name, attr)
        if has(f, "json_name") and f.json_name != derived_json_name(f.name):
            model.json_name = f.json_name
        is_message = ref is not None and not ref.is_enum
        model.delimited = is_message and (
            ftype == TYPE_GROUP or features["message_encoding"] == DELIMITED
        )
        if label == LABEL_REPEATED:
            model.kind = "repeated"
            packable = (ref is not None and ref.is_enum) or (scalar is not None and scalar.packable)
            if packable:
                if options is not None and has(options, "packed"):
                    packed = bool(options.packed)
                else:
                    packed = features["repeated_field_encoding"] == PACKED
                default_packed = self.edition != EDITION_PROTO2
                if packed != default_packed:
                    model.packed = packed
                model.packed_resolved = packed
            return model
        presence = features["field_presence"]
        if label == LABEL_REQUIRED:
            presence = LEGACY_REQUIRED
        if f.proto3_optional or has(f, "oneof_index"):
            presence = EXPLICIT
        if presence == LEGACY_REQUIRED:
            model.required = True
        elif presence == EXPLICIT and not is_message and self.edition != EDITION_PROTO2:
            model.optional = True
        elif presence == IMPLICIT and self.edition == EDITION_PROTO2:
            raise GenerateError(f"{where}: implicit presence is not available in proto2")
        if has(f, "default_value"):
            model.default = self._default(f.default_value, scalar, ref, where)
            model.has_default = True
        return model

    def _map(self, f: Any, where: str, attr: str) -> FieldModel:
        key, value = self.index.map_entries[f.type_name.lstrip(".")]
        key_type = ScalarType(int(key.type))
        vtype = int(value.type)
        model = FieldModel(f.name, attr, int(f.number), "map", None, None, key=key_type)
        if vtype in (TYPE_MESSAGE, TYPE_ENUM):
            model.ref = self.index.get(value.type_name, where)
        elif vtype == TYPE_GROUP:
            raise GenerateError(f"{where}: map values cannot be groups")
        else:
            model.scalar = ScalarType(vtype)
        model.name_given = name_needed(f.name, attr)
        if has(f, "json_name") and f.json_name != derived_json_name(f.name):
            model.json_name = f.json_name
        return model

    def _default(
        self, text: str, scalar: ScalarType | None, ref: TypeRef | None, where: str
    ) -> Any:
        try:
            if ref is not None:
                if not ref.is_enum:
                    raise GenerateError(f"{where}: message fields cannot have a default")
                enum = _find_enum(self.index, ref.full_name)
                for value in enum.value:
                    if value.name == text:
                        return int(value.number)
                raise GenerateError(f"{where}: default {text!r} is not a value of the enum")
            assert scalar is not None
            if scalar is ScalarType.STRING:
                return text
            if scalar is ScalarType.BYTES:
                return unescape_bytes(text)
            if scalar is ScalarType.BOOL:
                return text == "true"
            if scalar in (ScalarType.DOUBLE, ScalarType.FLOAT):
                value = _parse_float(text)
                if scalar is ScalarType.FLOAT and math.isfinite(value):
                    # The wire keeps single precision: 9e9 reads back as 8999999488.0.
                    try:
                        value = struct.unpack("<f", struct.pack("<f", value))[0]
                    except OverflowError:
                        value = math.copysign(math.inf, value)
                return value
            return int(text, 0) if text.lower().startswith(("0x", "-0x")) else int(text)
        except (ValueError, struct.error) as exc:
            raise GenerateError(f"{where}: invalid default {text!r}: {exc}") from None

    def _extension(
        self,
        f: Any,
        scope: str,
        path: tuple[int, ...],
        features: dict[str, int],
        taken: frozenset[str],
    ) -> ExtensionModel:
        full = scope + checked_name(f.name, self._where(scope))
        where = self._where(full)
        extendee = self.index.types.get(f.extendee.lstrip("."))
        if extendee is None or extendee.is_enum:
            raise GenerateError(f"{where}: extendee {f.extendee.lstrip('.')!r} is not a message")
        if f.type_name and f.type_name.lstrip(".") in self.index.map_entries:
            raise GenerateError(f"{where}: map extensions are not supported")
        reserved = (MODULE_NAMES | ANNOTATION_NAMES | MESSAGE_RESERVED) & {f.name}
        py_name = python_name(f.name, (taken - {f.name}) | reserved)
        model = self._value(f, merge_features(features, _options_features(f)), where, py_name)
        model.doc = self.comments.get(path)
        return ExtensionModel(
            f.name, py_name, full, int(f.number), model, f.extendee.lstrip(".")
        )


def _check_unique(where: str, fields: Any) -> None:
    """Two fields of one message may share no number, proto name or JSON name: the message
    would not be readable unambiguously (the runtime refuses such a class at import)."""
    seen: dict[tuple[str, Any], tuple[int, str]] = {}
    for i, f in enumerate(fields):
        json = f.json_name if has(f, "json_name") else derived_json_name(f.name)
        for what, key in (("number", int(f.number)), ("proto name", f.name), ("JSON name", json)):
            j, other = seen.setdefault((what, key), (i, f.name))
            if j != i:
                raise GenerateError(
                    f"{where}: fields {other!r} and {f.name!r} have the same {what} {key!r}"
                )


def _aliases(modules: list[str], taken: frozenset[str] | set[str]) -> dict[str, str]:
    """Names generated modules bind their imports to: ``_`` and the module's last part, or
    its whole dotted path when that is ambiguous."""
    out: dict[str, str] = {}
    used = set(taken)
    lasts = [m.rpartition(".")[2] for m in modules]
    for module, last in zip(modules, lasts):
        alias = "_" + (last if lasts.count(last) == 1 else module.replace(".", "_"))
        while alias in used:
            alias += "_"
        used.add(alias)
        out[module] = alias
    return out


def _find_enum(index: TypeIndex, full_name: str) -> Any:
    for fdp in index.files.values():
        prefix = f"{fdp.package}." if fdp.package else ""
        found = _search_enum(fdp.enum_type, fdp.message_type, prefix, full_name)
        if found is not None:
            return found
    raise GenerateError(f"enum {full_name} is not defined")


def _search_enum(enums: Any, messages: Any, prefix: str, full_name: str) -> Any:
    for enum in enums:
        if prefix + enum.name == full_name:
            return enum
    for msg in messages:
        if full_name.startswith(prefix + msg.name + "."):
            found = _search_enum(msg.enum_type, msg.nested_type, prefix + msg.name + ".", full_name)
            if found is not None:
                return found
    return None


def _parse_float(text: str) -> float:
    lowered = text.lower()
    if lowered in ("inf", "infinity"):
        return math.inf
    if lowered in ("-inf", "-infinity"):
        return -math.inf
    if lowered == "nan":
        return math.nan
    return float(text)


_SIMPLE_ESCAPES = {
    "n": 10, "r": 13, "t": 9, "a": 7, "b": 8, "f": 12, "v": 11,
    "\\": 92, "'": 39, '"': 34, "?": 63,
}  # fmt: skip


def unescape_bytes(text: str) -> bytes:
    """The value of a C-escaped ``bytes`` default, as descriptors store it."""
    out = bytearray()
    i = 0
    n = len(text)
    while i < n:
        ch = text[i]
        if ch != "\\":
            out += ch.encode("utf-8")
            i += 1
            continue
        i += 1
        if i >= n:
            raise ValueError("dangling backslash")
        ch = text[i]
        if ch in _SIMPLE_ESCAPES:
            out.append(_SIMPLE_ESCAPES[ch])
            i += 1
        elif ch in "01234567":
            j = i
            while j < n and j < i + 3 and text[j] in "01234567":
                j += 1
            out.append(int(text[i:j], 8) & 0xFF)
            i = j
        elif ch in "xX":
            j = i + 1
            while j < n and j < i + 3 and text[j] in "0123456789abcdefABCDEF":
                j += 1
            if j == i + 1:
                raise ValueError("\\x without digits")
            out.append(int(text[i + 1 : j], 16))
            i = j
        else:
            raise ValueError(f"unknown escape \\{ch}")
    return bytes(out)


def requested(files: list[Any], wanted: list[str]) -> tuple[TypeIndex, list[Any]]:
    """The index of ``files`` (the requested files and all their imports) and the descriptors
    of the files named in ``wanted``."""
    index = TypeIndex()
    for fdp in files:
        with _naming_errors(fdp.name):
            index.add_file(fdp)
    by_name = {fdp.name: fdp for fdp in files}
    missing = [name for name in wanted if name not in by_name]
    if missing:
        raise GenerateError(f"{missing[0]}: file not in the request")
    return index, [by_name[name] for name in wanted]


def build_files(
    files: list[Any], wanted: list[str], *, brief_docs: bool = False
) -> list[FileModel]:
    """Models of the files named in ``wanted``; ``files`` holds them and all their imports.
    With ``brief_docs``, each element's documentation is the first paragraph of its comment."""
    index, chosen = requested(files, wanted)
    out = []
    for fdp in chosen:
        if not fdp.name:
            # Every message the error could name lives in a file, and this one has no name.
            raise GenerateError("a file in the set has no name")
        with _naming_errors(fdp.name):
            out.append(FileBuilder(fdp, index, brief_docs=brief_docs).build())
    return out


@contextlib.contextmanager
def _naming_errors(file_name: str) -> Iterator[None]:
    """A malformed descriptor that slipped past the checks above still fails as a GenerateError
    naming its file, not as an IndexError from deep inside the model."""
    try:
        yield
    except GenerateError:
        raise
    except (IndexError, KeyError, TypeError, ValueError, AttributeError) as exc:
        raise GenerateError(f"{file_name}: {type(exc).__name__}: {exc}") from exc
