"""Message types: the declarative field API, the metaclass and the ``Message`` base class."""

from __future__ import annotations

import reprlib

from _torvex_ext import NativeMessage, Oneof, generic_setattr, initialize_message_type

from . import _scope
from ._descriptors import (
    DescEnum,
    DescField,
    DescFieldValueEnum,
    DescFieldValueList,
    DescFieldValueMap,
    DescFieldValueMessage,
    DescFieldValueScalar,
    DescFile,
    DescMessage,
    DescOneof,
    Presence,
    ScalarType,
)
from ._enum import EnumMeta
from ._names import display_qualname, json_name, local_name, proto_name_for

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, ClassVar, dataclass_transform, overload
else:
    # typing is left unimported at run time (importing the runtime should stay cheap); this
    # marks the metaclass exactly as typing.dataclass_transform would.
    def dataclass_transform(*, kw_only_default: bool = False):
        marks = {
            "eq_default": True,
            "order_default": False,
            "kw_only_default": kw_only_default,
            "frozen_default": False,
            "field_specifiers": (),
            "kwargs": {},
        }

        def mark(cls):
            cls.__dataclass_transform__ = marks
            return cls

        return mark


_MAX_FIELD_NUMBER = 2**29 - 1
_RESERVED_NUMBERS = range(19000, 20000)
_MAP_KEY_TYPES = frozenset(ScalarType) - {
    ScalarType.DOUBLE,
    ScalarType.FLOAT,
    ScalarType.BYTES,
}

_SINGULAR, _REPEATED, _MAP = "singular", "repeated", "map"


class _NoDefault:
    __slots__ = ()

    def __repr__(self) -> str:
        return "<no default>"


_NO_DEFAULT: Any = _NoDefault()

# A field's type as declared: a scalar type, a message or enum class, or a name to resolve.
TypeRef = ScalarType | type | str


class _FieldDecl:
    """What ``field``/``repeated``/``map_field`` return; consumed by the metaclass."""

    __slots__ = (
        "kind",
        "number",
        "type",
        "key",
        "optional",
        "required",
        "packed",
        "delimited",
        "default",
        "name",
        "json_name",
    )

    def __init__(self, kind: str, number: int, type: TypeRef, **options: Any) -> None:
        self.kind = kind
        self.number = _check_number(number)
        self.type = _check_type(type, "field type")
        if isinstance(self.type, str):
            _scope.load_lazy(self.type)
        self.key: ScalarType | None = options.get("key")
        self.optional: bool = options.get("optional", False)
        self.required: bool = options.get("required", False)
        self.packed: bool | None = options.get("packed")
        self.delimited: bool = options.get("delimited", False)
        self.default: Any = options.get("default", _NO_DEFAULT)
        self.name: str | None = _check_name(options.get("name"), "name")
        self.json_name: str | None = _check_name(options.get("json_name"), "json_name")
        for flag in ("optional", "required", "delimited"):
            if not isinstance(getattr(self, flag), bool):
                raise TypeError(f"{flag} must be a bool")
        if self.packed is not None and not isinstance(self.packed, bool):
            raise TypeError("packed must be a bool or None")
        if self.optional and self.required:
            raise TypeError("a field cannot be both optional and required")

    def __repr__(self) -> str:
        return f"<{self.kind} field {self.number}>"


class _OneofDecl:
    __slots__ = ("name", "members")

    def __init__(self, name: str | None, members: dict[str, _FieldDecl]) -> None:
        self.name = _check_name(name, "oneof name")
        if not members:
            raise TypeError("a oneof needs at least one member field")
        for attr, member in members.items():
            if not isinstance(member, _FieldDecl) or member.kind != _SINGULAR:
                raise TypeError(f"oneof member {attr!r} must be declared with torvex.field()")
            if member.optional or member.required or member.default is not _NO_DEFAULT:
                raise TypeError(
                    f"oneof member {attr!r}: optional, required and default do not apply to "
                    "oneof members"
                )
        self.members = members

    def __repr__(self) -> str:
        return f"<oneof of {', '.join(self.members)}>"


def _check_number(number: object) -> int:
    if type(number) is not int:
        raise TypeError(f"field number must be an int, got {type(number).__name__}")
    if not 1 <= number <= _MAX_FIELD_NUMBER:
        raise ValueError(f"field number {number} is outside 1..{_MAX_FIELD_NUMBER}")
    if number in _RESERVED_NUMBERS:
        raise ValueError(f"field number {number} is in the reserved range 19000..19999")
    return number


def _check_name(name: object, what: str) -> str | None:
    if name is not None and (not isinstance(name, str) or not name):
        raise TypeError(f"{what} must be a non-empty str")
    return name


def _check_type(ref: object, what: str) -> TypeRef:
    if isinstance(ref, ScalarType):
        return ref
    if type(ref) is int:
        try:
            return ScalarType(ref)
        except ValueError:
            raise ValueError(f"invalid scalar type: {ref}") from None
    if isinstance(ref, str) and ref:
        return ref
    if isinstance(ref, (MessageMeta, EnumMeta)) and "_desc" in ref.__dict__:
        return ref
    raise TypeError(
        f"{what} must be a ScalarType, a torvex message or enum class, or a type name; "
        f"got {ref!r}"
    )


def field(
    number: int,
    type: TypeRef,
    *,
    optional: bool = False,
    required: bool = False,
    delimited: bool = False,
    default: Any = _NO_DEFAULT,
    name: str | None = None,
    json_name: str | None = None,
) -> Any:
    """A singular field of a message class.

    ``type`` is a ``ScalarType``, an enum or message class, or a type name (resolved against
    the enclosing types and the file, for types defined later or the class itself).
    ``optional=True`` gives a scalar or enum field explicit presence (the default in proto2
    files); ``required=True`` makes it legacy-required. ``delimited=True`` encodes a message
    field as a group. ``default`` replaces the zero value of an explicit-presence scalar or
    enum. ``name``/``json_name`` override the proto name (default: the attribute name, with the
    trailing underscore of an escaped name such as ``class_`` removed) and the JSON name
    (default: derived from the proto name).
    """
    return _FieldDecl(
        _SINGULAR,
        number,
        type,
        optional=optional,
        required=required,
        delimited=delimited,
        default=default,
        name=name,
        json_name=json_name,
    )


def repeated(
    number: int,
    type: TypeRef,
    *,
    packed: bool | None = None,
    delimited: bool = False,
    name: str | None = None,
    json_name: str | None = None,
) -> Any:
    """A repeated field; its attribute holds a ``list``.

    ``packed`` defaults to True for numeric, bool and enum elements in proto3 files and to
    False in proto2 files. ``delimited=True`` encodes message elements as groups.
    """
    return _FieldDecl(
        _REPEATED,
        number,
        type,
        packed=packed,
        delimited=delimited,
        name=name,
        json_name=json_name,
    )


def map_field(
    number: int,
    key: ScalarType,
    value: TypeRef,
    *,
    name: str | None = None,
    json_name: str | None = None,
) -> Any:
    """A map field; its attribute holds a ``dict``. Keys are integral, bool or string."""
    key_type = _check_type(key, "map key type")
    if key_type not in _MAP_KEY_TYPES:
        raise TypeError(f"map keys must be an integral, bool or string type, got {key!r}")
    return _FieldDecl(_MAP, number, value, key=key_type, name=name, json_name=json_name)


def oneof(name: str | None = None, /, **members: Any) -> Any:
    """A oneof group: one attribute holding ``None`` or ``Oneof(member_name, value)``.

    Members are keyword arguments declared with ``field()``; the optional positional ``name``
    overrides the proto name of the oneof.
    """
    return _OneofDecl(name, members)


class _NotReady:
    """Stands in for ``_ext_marshaler`` until the class is complete, so that any use of the
    class (construction, parsing, nested use by another type) says why it is not ready."""

    __slots__ = ("builder",)

    def __init__(self, builder: _MessageBuilder) -> None:
        self.builder = builder

    def __get__(self, obj: object, owner: type | None = None) -> Any:
        # First use: types of other files may finish this one (files that never call
        # ``complete`` resolve such references here).
        builder = self.builder
        if not builder.across_files and builder.error is None:
            builder.across_files = True
            _scope.settle()
            cls = builder.cls
            if cls is not None and not isinstance(cls.__dict__.get("_ext_marshaler"), _NotReady):
                return cls._ext_marshaler
        raise AttributeError(builder.reason())


class _MessageBuilder:
    """Turns the declarations of one message class into its descriptor and initialises it in
    the extension once every type it needs is known."""

    __slots__ = (
        "cls",
        "qualname",
        "decls",
        "resolved",
        "blocker",
        "error",
        "across_files",
        "waiting",
    )

    def __init__(self, qualname: str, decls: list[tuple[str, _FieldDecl | _OneofDecl]]) -> None:
        self.cls: MessageMeta | None = None
        self.qualname = qualname
        self.decls = decls
        # Type references resolved so far, by declaration (a reference resolves once).
        self.resolved: dict[int, type | ScalarType] = {}
        self.blocker = "it is still being defined"
        self.error: BaseException | None = None
        # Whether string references may resolve to types of other files: from the file's
        # completion or the type's first use on, so that a type defined later in the same file
        # wins over a same-named one elsewhere.
        self.across_files = False
        # (name, placement count) of the type the last attempt missed: retrying is pointless
        # until a type of that name is placed (a file of many forward references would
        # otherwise cost a full attempt per pending type per class statement).
        self.waiting: tuple[str, int] | None = None

    def reason(self) -> str:
        if self.error is not None:
            return f"message type {self.qualname} is unusable: {self.error}"
        return f"message type {self.qualname} is not ready: {self.blocker}"

    def try_complete(self) -> bool:
        waiting = self.waiting
        if waiting is not None and not self.across_files and not _scope.placed_since(*waiting):
            return False
        self.waiting = None
        try:
            if not self._resolve():
                return False
            self._finish()
        except Exception as exc:
            self.error = exc
        return True

    def _field_decls(self) -> list[tuple[str, _FieldDecl]]:
        out: list[tuple[str, _FieldDecl]] = []
        for attr, decl in self.decls:
            if isinstance(decl, _OneofDecl):
                out.extend(decl.members.items())
            else:
                out.append((attr, decl))
        return out

    def _resolve(self) -> bool:
        cls = self.cls
        assert cls is not None
        desc: DescMessage = cls.__dict__["_desc"]
        if desc.type_name is None:
            self.blocker = "the class it is nested in is not finished"
            return False
        for attr, decl in self._field_decls():
            ref: Any = self.resolved.get(id(decl))
            if ref is None:
                ref = decl.type
                if isinstance(ref, str):
                    name = ref
                    ref = _scope.lookup(name, desc, cls.__module__, self.across_files)
                    if ref is None:
                        self.blocker = f"field {attr!r} refers to {name!r}, which is not defined"
                        self.waiting = (name.rpartition(".")[2], _scope.generation())
                        return False
                self.resolved[id(decl)] = ref
            # Intake reads an enum's full name and values; a message only needs its class.
            if isinstance(ref, EnumMeta) and not _scope.is_placed(ref):
                self.blocker = f"enum {display_qualname(ref)} is not finished"
                self.waiting = (ref._desc.name, _scope.generation())
                return False
        return True

    def _finish(self) -> None:
        cls = self.cls
        assert cls is not None
        desc: DescMessage = cls.__dict__["_desc"]
        assert desc.file is not None
        syntax = desc.file.syntax
        fields: list[DescField] = []
        oneofs: list[DescOneof] = []
        defaults: list[tuple[str, Any]] = []
        for attr, decl in self.decls:
            if isinstance(decl, _OneofDecl):
                group = DescOneof(decl.name or proto_name_for(attr, _reserved()), attr)
                for member_attr, member in decl.members.items():
                    built, _ = self._field(desc, syntax, member_attr, member, group)
                    group.fields.append(built)
                    fields.append(built)
                oneofs.append(group)
                defaults.append((attr, None))
            else:
                built, default = self._field(desc, syntax, attr, decl, None)
                fields.append(built)
                defaults.append((attr, default))
        _check_unique(self.qualname, fields)
        desc.fields = fields
        desc.oneofs = oneofs
        desc._fields_by_name = {f.local_name: f for f in fields}
        desc._oneofs_by_local_name = {o.local_name: o for o in oneofs}
        desc._defaults = defaults
        guard = cls.__dict__["_ext_marshaler"]
        del cls._ext_marshaler
        try:
            initialize_message_type(cls)
        except BaseException:
            type.__setattr__(cls, "_ext_marshaler", guard)
            raise
        assert desc.type_name is not None
        _scope.DEFAULT_REGISTRY.add_message(cls, desc.type_name)

    def _field(
        self,
        desc: DescMessage,
        syntax: str,
        attr: str,
        decl: _FieldDecl,
        group: DescOneof | None,
    ) -> tuple[DescField, Any]:
        ref: Any = self.resolved[id(decl)]
        where = f"{self.qualname}.{attr}"
        proto = decl.name or proto_name_for(attr, _reserved())
        is_message = isinstance(ref, MessageMeta)
        is_enum = isinstance(ref, EnumMeta)
        if decl.delimited and not is_message:
            raise TypeError(f"{where}: delimited encoding applies to message types only")
        requires_presence = False
        value: Any
        if decl.kind == _SINGULAR:
            if is_message:
                if decl.default is not _NO_DEFAULT:
                    raise TypeError(f"{where}: message fields cannot have a default")
                presence = Presence.LEGACY_REQUIRED if decl.required else Presence.EXPLICIT
                value = DescFieldValueMessage(ref._desc, decl.delimited, group)
                default = None
            else:
                if group is not None:
                    presence = Presence.EXPLICIT
                elif decl.required:
                    presence = Presence.LEGACY_REQUIRED
                elif decl.optional or syntax == "proto2":
                    presence = Presence.EXPLICIT
                else:
                    presence = Presence.IMPLICIT
                requires_presence = group is None and presence != Presence.IMPLICIT
                if is_enum:
                    value = DescFieldValueEnum(ref._desc, group)
                    default = _enum_default(ref, decl.default, where)
                else:
                    value = DescFieldValueScalar(ref, group)
                    default = _scalar_default(ref, decl.default, where)
                if decl.default is not _NO_DEFAULT and presence == Presence.IMPLICIT:
                    raise TypeError(f"{where}: a default needs explicit presence (optional=True)")
        else:
            element = ref if isinstance(ref, ScalarType) else ref._desc
            presence = Presence.IMPLICIT
            if decl.kind == _REPEATED:
                packable = is_enum or (isinstance(ref, ScalarType) and ref.packable)
                packed = decl.packed
                if packed is None:
                    packed = packable and syntax != "proto2"
                elif packed and not packable:
                    raise TypeError(f"{where}: only numeric, bool and enum elements can be packed")
                value = DescFieldValueList(element, packed, decl.delimited)
                default = []
            else:
                assert decl.key is not None
                value = DescFieldValueMap(decl.key, element)
                default = {}
        built = DescField(
            decl.number,
            proto,
            attr,
            decl.json_name or json_name(proto),
            int(presence),
            value,
            requires_presence=requires_presence,
            parent=desc,
        )
        return built, default


_INT_RANGES = {
    ScalarType.INT32: (-(2**31), 2**31 - 1),
    ScalarType.SINT32: (-(2**31), 2**31 - 1),
    ScalarType.SFIXED32: (-(2**31), 2**31 - 1),
    ScalarType.UINT32: (0, 2**32 - 1),
    ScalarType.FIXED32: (0, 2**32 - 1),
    ScalarType.INT64: (-(2**63), 2**63 - 1),
    ScalarType.SINT64: (-(2**63), 2**63 - 1),
    ScalarType.SFIXED64: (-(2**63), 2**63 - 1),
    ScalarType.UINT64: (0, 2**64 - 1),
    ScalarType.FIXED64: (0, 2**64 - 1),
}


def _scalar_default(scalar: ScalarType, default: Any, where: str) -> Any:
    if default is _NO_DEFAULT:
        return scalar.zero
    kind = type(default)
    if scalar in (ScalarType.DOUBLE, ScalarType.FLOAT):
        if kind in (int, float):
            return float(default)
    elif scalar is ScalarType.BOOL:
        if kind is bool:
            return default
    elif scalar is ScalarType.STRING:
        if kind is str:
            return default
    elif scalar is ScalarType.BYTES:
        if kind is bytes:
            return default
    elif kind is int:
        low, high = _INT_RANGES[scalar]
        if not low <= default <= high:
            raise ValueError(f"{where}: default {default} out of range for {scalar.name.lower()}")
        return default
    raise TypeError(f"{where}: default {default!r} does not suit a {scalar.name.lower()} field")


def _enum_default(enum_cls: EnumMeta, default: Any, where: str) -> Any:
    if default is _NO_DEFAULT:
        # The first declared value, as proto defines an enum field's default.
        return getattr(enum_cls, enum_cls._desc.values[0].local_name)
    try:
        return enum_cls(default)
    except ValueError:
        raise ValueError(f"{where}: default {default!r} is not a value of {enum_cls.__name__}")


def _check_unique(qualname: str, fields: list[DescField]) -> None:
    numbers: dict[int, str] = {}
    names: dict[str, str] = {}
    json_names: dict[str, str] = {}
    for f in fields:
        checks: tuple[tuple[dict[Any, str], Any, str], ...] = (
            (numbers, f.number, "number"),
            (names, f.name, "proto name"),
            (json_names, f.json_name, "JSON name"),
        )
        for seen, key, what in checks:
            other = seen.setdefault(key, f.local_name)
            if other != f.local_name:
                raise ValueError(
                    f"{qualname}: fields {other!r} and {f.local_name!r} have the same {what} "
                    f"{key!r}"
                )


_reserved_names: frozenset[str] | None = None


def _reserved() -> frozenset[str]:
    """Attribute names a field must not take: they would hide the class's own attributes."""
    global _reserved_names
    if _reserved_names is None:
        _reserved_names = frozenset(dir(NativeMessage)) | frozenset(dir(Message)) | {
            "_desc",
            "_ext_marshaler",
            "_ext_value_type",
        }
    return _reserved_names


def _collect(namespace: dict[str, Any], qualname: str) -> list[tuple[str, _FieldDecl | _OneofDecl]]:
    """Take the field and oneof declarations out of a class body, in declaration order."""
    decls = [(k, v) for k, v in namespace.items() if isinstance(v, (_FieldDecl, _OneofDecl))]
    reserved = _reserved()
    seen: set[str] = set()
    for attr, decl in decls:
        del namespace[attr]
        names = [attr]
        if isinstance(decl, _OneofDecl):
            names.extend(decl.members)
        for name in names:
            if name.startswith("__") or name in reserved:
                raise TypeError(
                    f"{qualname}: {name!r} cannot be a field name; declare it as "
                    f"{local_name(name, reserved | {name})!r} (the proto name follows, or pass "
                    "name=...)"
                )
            if name in seen:
                raise TypeError(f"{qualname}: {name!r} is declared twice")
            seen.add(name)
    return decls


# For type checkers, message classes are keyword-only dataclasses: every field is an optional
# keyword of the constructor (the declarations are defaults, not field specifiers, since a
# specifier without ``default=`` would make its field a required argument).
@dataclass_transform(kw_only_default=True)
class MessageMeta(type):
    """Builds message classes from their declarations.

    Class keywords: ``file`` (a ``torvex.File``; nested messages take their enclosing type's)
    and ``name`` (proto name, default the class name).
    """

    if TYPE_CHECKING:
        _desc: DescMessage
        _ext_marshaler: Any

    def __new__(
        mcls,
        cls_name: str,
        bases: tuple[type, ...],
        namespace: dict[str, Any],
        /,
        *,
        file: DescFile | None = None,
        name: str | None = None,
        **kwargs: Any,
    ) -> MessageMeta:
        if not any(isinstance(base, MessageMeta) for base in bases):
            return super().__new__(mcls, cls_name, bases, namespace, **kwargs)  # Message itself
        for base in bases:
            if isinstance(base, MessageMeta) and base is not Message:
                raise TypeError(f"message class {base.__qualname__} cannot be subclassed")
        if file is not None and not isinstance(file, DescFile):
            raise TypeError(f"file must be a torvex.File, got {type(file).__name__}")
        _check_name(name, "name")
        if "__slots__" in namespace:
            raise TypeError("message classes get their __slots__ from their fields")
        namespace = dict(namespace)
        qualname = namespace.get("__qualname__", cls_name).rpartition("<locals>.")[2]
        decls = _collect(namespace, qualname)
        # One attribute per field outside oneofs and one per oneof: the extension reaches them
        # through slot offsets.
        namespace["__slots__"] = tuple(attr for attr, _ in decls)
        builder = _MessageBuilder(qualname, decls)
        namespace["_ext_marshaler"] = _NotReady(builder)
        # The native base goes first so that its methods take priority over the Python ones.
        if NativeMessage not in bases:
            bases = (NativeMessage, *bases)
        cls = super().__new__(mcls, cls_name, bases, namespace, **kwargs)
        builder.cls = cls
        type.__setattr__(cls, "_desc", DescMessage(cls, name or cls_name))
        try:
            _scope.introduce(cls, file)
            _scope.add_pending(builder)
            _scope.settle()
        except BaseException:
            _scope.forget(cls)
            raise
        if builder.error is not None:
            _scope.forget(cls)
            raise builder.error
        return cls

    def __set_name__(cls, owner: type, attribute: str) -> None:
        _scope.note_owner(cls, owner, attribute)


_scope.metaclasses += (MessageMeta,)


def _field_number(f: DescField) -> int:
    return f.number


if TYPE_CHECKING:
    # At run time the metaclass puts NativeMessage first in each message class's bases.
    class _MessageBase(NativeMessage):
        __slots__ = ()

else:
    _MessageBase = object


class Message(_MessageBase, metaclass=MessageMeta):
    """Base class of message types.

    Declare fields as annotated class attributes::

        class Person(torvex.Message, file=FILE):
            name: str = torvex.field(1, ScalarType.STRING)
            friends: list[Person] = torvex.repeated(2, "Person")

    Field values are plain attributes. Encoding, decoding, construction, assignment and
    equality come from the native base class.
    """

    __slots__ = ()
    _desc: ClassVar[DescMessage]

    @reprlib.recursive_repr()
    def __repr__(self) -> str:
        desc = type(self)._desc
        parts = []
        shown: set[str] = set()
        for f in desc.fields:
            group = f.oneof
            if group is not None:
                if group.local_name in shown:
                    continue
                shown.add(group.local_name)
                value = getattr(self, group.local_name, None)
                if value is not None:
                    parts.append(f"{group.local_name}={value!r}")
                continue
            try:
                is_set = self._field_is_set(f.number)  # what the encoder would write
            except AttributeError:
                continue  # an instance made without its defaults (e.g. bare __new__)
            if is_set:
                parts.append(f"{f.local_name}={getattr(self, f.local_name)!r}")
        return f"{display_qualname(type(self))}({', '.join(parts)})"

    @classmethod
    def from_dict(
        cls, data: Any, *, ignore_unknown_fields: bool = False, registry: Any = None
    ) -> Any:
        """A new message read from ``data``, a tree of dicts, lists and scalars in the proto3
        JSON mapping (what ``json.loads`` gives for the message's JSON text)."""
        return cls._from_json_value(
            data, ignore_unknown_fields=ignore_unknown_fields, registry=registry
        )

    # Extensions, keyed by their Extension objects (torvex._extension).
    __iter__ = None  # item access is not a sequence protocol

    def __getitem__(self, extension: Any) -> Any:
        return _extension_key(extension).get_from(self)

    def __setitem__(self, extension: Any, value: Any) -> None:
        _extension_key(extension).set_on(self, value)

    def __delitem__(self, extension: Any) -> None:
        _extension_key(extension).delete_from(self)

    def __contains__(self, extension: Any) -> bool:
        return bool(_extension_key(extension).is_in(self))

    def has_field(self, name: str) -> bool:
        """Whether the field (or oneof, or oneof member) with attribute name ``name`` is set."""
        desc = type(self)._desc
        f = desc._fields_by_name.get(name)
        if f is None:
            if name in desc._oneofs_by_local_name:
                return getattr(self, name) is not None
            raise ValueError(f"{display_qualname(type(self))} has no field {name!r}")
        group = f.oneof
        if group is not None:
            value = getattr(self, group.local_name)
            return isinstance(value, Oneof) and value.field == name
        return self._field_is_set(f.number)

    def to_dict(
        self,
        *,
        registry: Any = None,
        always_emit_implicit: bool = False,
        print_enums_as_ints: bool = False,
        use_proto_field_name: bool = False,
        sort_keys: bool = False,
    ) -> Any:
        """The message's proto3 JSON form as plain Python values (a ``dict`` for ordinary
        messages): what ``json.loads(msg.to_json(...))`` gives, without the text."""
        return self._to_json_value(
            registry=registry,
            always_emit_implicit=always_emit_implicit,
            print_enums_as_ints=print_enums_as_ints,
            use_proto_field_name=use_proto_field_name,
            sort_keys=sort_keys,
        )

    def which_oneof(self, name: str) -> str | None:
        """The attribute name of the member set in oneof ``name``, or None."""
        if name not in type(self)._desc._oneofs_by_local_name:
            raise ValueError(f"{display_qualname(type(self))} has no oneof {name!r}")
        value = getattr(self, name)
        return value.field if isinstance(value, Oneof) else None

    def list_fields(self) -> list[tuple[DescField, Any]]:
        """The fields that are set (as ``has_field`` decides; non-empty for lists and maps),
        with their values, in field-number order. A oneof member's value is the member's, not
        the ``Oneof``. Extensions are not listed: they live with the unknown fields."""
        desc = type(self)._desc
        out = []
        for f in sorted(desc.fields, key=_field_number):
            group = f.oneof
            if group is not None:
                chosen = getattr(self, group.local_name)
                if isinstance(chosen, Oneof) and chosen.field == f.local_name:
                    out.append((f, chosen.value))
            elif self._field_is_set(f.number):
                out.append((f, getattr(self, f.local_name)))
        return out

    def merge_from_binary(self, data: Any, *, ignore_unknown_fields: bool = False) -> None:
        """Decode ``data`` (bytes-like) into this message: as decoding the concatenation of
        this message's bytes and ``data`` would. Fields read before an error stay merged."""
        self._merge_from_binary(data, ignore_unknown_fields)

    def merge_from_json(
        self, text: str | bytes | bytearray, *, ignore_unknown_fields: bool = False,
        registry: Any = None,
    ) -> None:
        """Read JSON ``text`` into this message. Each member replaces its field's value (a
        list, map or sub-message as a whole; a oneof's message member is merged into);
        fields the text does not name keep theirs. Fields read before an error stay set."""
        self._merge_from_json(
            text, ignore_unknown_fields=ignore_unknown_fields, registry=registry
        )

    def discard_unknown_fields(self, *, registry: Any = None) -> None:
        """Drop the unknown fields of this message and of every message below it. Extensions
        are kept in the unknown fields: those ``registry`` knows for their message survive."""
        from ._reflect import discard_unknown

        discard_unknown(self, registry)

    def is_initialized(self) -> bool:
        """Whether every required field is set, in this message and every message below it.
        Raises ``RecursionError`` for message graphs deeper than 100 or with a cycle."""
        from ._reflect import initialization_errors

        return not initialization_errors(self, first_only=True)

    def find_initialization_errors(self) -> list[str]:
        """The paths of unset required fields, e.g. ``["id", "items[2].sku"]``: proto field
        names, list indexes and map keys in brackets. Empty when ``is_initialized()``."""
        from ._reflect import initialization_errors

        return initialization_errors(self)

    def merge_from_text(
        self,
        text: str | bytes | bytearray,
        *,
        registry: Any = None,
        allow_unknown_fields: bool = False,
    ) -> None:
        """Merge the text-format document ``text`` into this message, as ``from_text`` reads
        it: singular fields take the text's values, sub-messages merge, lists grow."""
        self._merge_from_text(text, registry=registry, allow_unknown_fields=allow_unknown_fields)

    def clear_field(self, name: str) -> None:
        """Reset the field, oneof or oneof member with attribute name ``name`` to unset."""
        desc = type(self)._desc
        f = desc._fields_by_name.get(name)
        if f is None:
            if name in desc._oneofs_by_local_name:
                generic_setattr(self, name, None)
                return
            raise ValueError(f"{display_qualname(type(self))} has no field {name!r}")
        group = f.oneof
        if group is not None:
            value = getattr(self, group.local_name)
            if isinstance(value, Oneof) and value.field == name:
                generic_setattr(self, group.local_name, None)
            return
        default = dict(desc._defaults)[name]
        if isinstance(default, list):
            default = []
        elif isinstance(default, dict):
            default = {}
        # Stored without NativeMessage.__setattr__, which would mark the field present.
        generic_setattr(self, name, default)
        self._clear_field_number_present(f.number)

    def merge_from(self, other: Message) -> None:
        """Merge ``other``, a message of the same type, into this message.

        Fields set in ``other`` overwrite scalars here, sub-messages merge recursively, lists
        are extended and maps updated (message elements and values are deep-copied); unknown
        fields are appended. Raises ``TypeError`` for a message of another type.
        """
        self._merge_from(other, False)

    def clear(self) -> None:
        """Reset every field to its default and drop presence and unknown fields."""
        for name, default in type(self)._desc._defaults:
            if isinstance(default, list):
                default = []
            elif isinstance(default, dict):
                default = {}
            generic_setattr(self, name, default)
        for number in self._present:
            self._clear_field_number_present(number)
        unknown = self._unknown_fields
        if unknown is not None:
            unknown.clear()

    def __reduce__(self) -> tuple[Any, ...]:
        # Pickled as the class (by qualified name) and the binary form, which keeps presence
        # and unknown fields and is independent of the process that wrote it. A class loaded
        # from a descriptor set has no importable module: it is found again by full name.
        cls = type(self)
        data = self.to_binary(write_unknown_fields=True)
        if cls.__module__.startswith(_LOADED_PREFIX):
            return _unpickle_loaded, (cls._desc.type_name, data)
        return cls.from_binary, (data,)

    # Messages are mutable: equal messages may not stay equal, so they cannot be dict keys.
    __hash__ = None  # type: ignore[assignment]


# Module prefix of classes built by torvex.load_descriptor_set (see torvex._loader).
_LOADED_PREFIX = "torvex._loaded."


def _unpickle_loaded(full_name: str, data: bytes) -> Message:
    """A pickled message of a loaded class, decoded with the class now defined under its full
    name (the latest definition, as for the default registry)."""
    cls = _scope.DEFAULT_REGISTRY.message_class(full_name)
    if cls is None:
        import pickle

        raise pickle.UnpicklingError(
            f"cannot unpickle a {full_name} message: no class of that name is defined in this "
            "process; load its schema first (torvex.load_descriptor_set)"
        )
    msg: Message = cls.from_binary(data)
    return msg


if TYPE_CHECKING:

    @overload
    def descriptor(message_type: MessageMeta | Message) -> DescMessage: ...
    @overload
    def descriptor(message_type: EnumMeta) -> DescEnum: ...
    @overload
    def descriptor(message_type: type) -> DescMessage | DescEnum: ...


def descriptor(message_type: type | Message) -> DescMessage | DescEnum:
    """The descriptor of a message or enum class (or of the class of a message)."""
    cls = message_type if isinstance(message_type, type) else type(message_type)
    desc = cls.__dict__.get("_desc")
    if not isinstance(desc, (DescMessage, DescEnum)):
        raise TypeError(f"{cls.__qualname__} is not a torvex message or enum class")
    return desc


def unknown_fields(message: Message) -> dict[int, list[bytes]]:
    """A copy of the fields the schema did not know, by field number: each a list of raw wire
    records (tag and value), in the order they were read."""
    if not isinstance(message, Message):
        raise TypeError(f"expected a torvex message, got {type(message).__qualname__}")
    store = message._unknown_fields
    return {} if store is None else {number: list(records) for number, records in store.items()}

class ExtensionKey:
    """What indexes a message: the base of torvex.Extension, declared here so that item access
    on messages does not import the extension module (which builds on this one)."""

    __slots__ = ()

    def get_from(self, msg: Message) -> Any:
        raise NotImplementedError

    def set_on(self, msg: Message, value: Any) -> None:
        raise NotImplementedError

    def delete_from(self, msg: Message) -> None:
        raise NotImplementedError

    def is_in(self, msg: Message) -> bool:
        raise NotImplementedError


def _extension_key(key: Any) -> ExtensionKey:
    if not isinstance(key, ExtensionKey):
        raise TypeError(
            f"messages are indexed by torvex.Extension objects, not {type(key).__name__}"
        )
    return key
