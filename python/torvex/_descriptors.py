"""Descriptor objects: the schema of message and enum types as plain Python objects.

The native extension reads these once per message class (``initialize_message_type``) and
builds its own tables from them, so attribute names and Python types here are part of its
contract: ``list`` for sequences, ``dict`` for mappings, exact ``bool`` flags, ``str`` names,
plain ``int`` numbers and ``ScalarType`` members for scalar types.
"""

from __future__ import annotations

from enum import IntEnum

# typing is left unimported at run time: importing the runtime should stay cheap.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable
    from typing import Any

__all__ = [
    "ScalarType",
    "Presence",
    "DescFile",
    "DescEnumValue",
    "DescEnum",
    "DescOneof",
    "DescFieldValueScalar",
    "DescFieldValueEnum",
    "DescFieldValueMessage",
    "DescFieldValueList",
    "DescFieldValueMap",
    "DescField",
    "DescMessage",
]


class ScalarType(IntEnum):
    """Scalar field types, numbered as the field types of descriptor.proto."""

    DOUBLE = 1
    FLOAT = 2
    INT64 = 3
    UINT64 = 4
    INT32 = 5
    FIXED64 = 6
    FIXED32 = 7
    BOOL = 8
    STRING = 9
    BYTES = 12
    UINT32 = 13
    SFIXED32 = 15
    SFIXED64 = 16
    SINT32 = 17
    SINT64 = 18

    @property
    def packable(self) -> bool:
        """Whether repeated values of this type may use packed encoding."""
        return self is not ScalarType.STRING and self is not ScalarType.BYTES

    @property
    def zero(self) -> Any:
        """The value a field of this type holds when nothing was assigned."""
        return _ZERO.get(self, 0)


_ZERO: dict[ScalarType, Any] = {
    ScalarType.DOUBLE: 0.0,
    ScalarType.FLOAT: 0.0,
    ScalarType.BOOL: False,
    ScalarType.STRING: "",
    ScalarType.BYTES: b"",
}


class Presence(IntEnum):
    """Field presence, numbered as the editions feature. Descriptors hold the plain ``int``."""

    EXPLICIT = 1
    IMPLICIT = 2
    LEGACY_REQUIRED = 3


def _short_repr(kind: str, name: object) -> str:
    return f"<{kind} {name!r}>"


# What DescFile.complete runs: installed by torvex._scope, which keeps the types of every file
# and builds on this module, so that this module imports nothing else of the package.
_complete_file: Callable[[DescFile], None] | None = None


class DescFile:
    """A .proto file: the scope that message and enum types are declared in.

    ``syntax`` picks the defaults of the types declared in it: ``"proto3"`` (implicit presence
    for plain scalars, open enums, packed repeated scalars) or ``"proto2"`` (explicit presence,
    closed enums, unpacked repeated scalars).
    """

    __slots__ = ("name", "package", "syntax", "_types", "_pool", "_descriptor")

    def __init__(
        self,
        name: str,
        *,
        package: str = "",
        syntax: str = "proto3",
        descriptor: bytes | None = None,
    ) -> None:
        if not isinstance(name, str) or not name:
            raise TypeError("file name must be a non-empty str")
        if not isinstance(package, str):
            raise TypeError("package must be a str")
        if syntax not in ("proto2", "proto3"):
            raise ValueError(f"unsupported syntax {syntax!r}; expected 'proto2' or 'proto3'")
        self.name = name
        self.package = package
        self.syntax = syntax
        # Full type name -> class, for resolving string references between types of this file.
        self._types: dict[str, type] = {}
        # Where full names of other files resolve; None is the process-wide default.
        self._pool: Any = None
        # The options of the file and its elements: a serialized FileDescriptorProto (names
        # and options only), decoded on first use (see torvex._options).
        if descriptor is not None and not isinstance(descriptor, bytes):
            raise TypeError("descriptor must be bytes")
        self._descriptor: Any = descriptor

    @property
    def options(self) -> Any:
        """The file's ``google.protobuf.FileOptions``, or None when it sets none."""
        from ._options import options_of

        return options_of(self, ())

    def complete(self) -> None:
        """Check that every type declared in this file is finished: a type whose field refers
        to a type that was never defined raises ``TypeError`` naming the field and the type.
        Generated modules call it last, so a broken reference fails their import."""
        if _complete_file is None:
            raise RuntimeError("torvex._scope is not loaded")  # it loads with the package
        _complete_file(self)

    def __repr__(self) -> str:
        return _short_repr("DescFile", self.name)


class DescEnumValue:
    __slots__ = ("number", "name", "local_name", "json_name")

    def __init__(self, number: int, name: str, local_name: str, json_name: str | None = None):
        self.number = number
        self.name = name
        self.local_name = local_name
        self.json_name = json_name

    def __repr__(self) -> str:
        return f"<DescEnumValue {self.name}={self.number}>"


class DescEnum:
    __slots__ = ("type", "name", "type_name", "file", "parent", "open", "values")

    def __init__(
        self,
        type: type,
        name: str,
        *,
        open: bool | None,
        values: list[DescEnumValue],
        type_name: str | None = None,
        file: DescFile | None = None,
        parent: DescMessage | None = None,
    ) -> None:
        self.type = type
        self.name = name
        # Unknown (None) until the enclosing type of a nested enum exists.
        self.type_name = type_name
        self.file = file
        self.parent = parent
        # None until the file is known (its syntax decides); a bool from then on.
        self.open = open
        self.values = values

    @property
    def options(self) -> Any:
        """The enum's ``google.protobuf.EnumOptions``, or None when it sets none."""
        from ._options import enum_options

        return enum_options(self.file, self.type_name)

    def __repr__(self) -> str:
        return _short_repr("DescEnum", self.type_name or self.name)


class DescOneof:
    __slots__ = ("name", "local_name", "fields")

    def __init__(self, name: str, local_name: str, fields: list[DescField] | None = None):
        self.name = name
        self.local_name = local_name
        self.fields = [] if fields is None else fields

    def __repr__(self) -> str:
        return _short_repr("DescOneof", self.name)


class DescFieldValueScalar:
    __slots__ = ("scalar", "oneof")

    def __init__(self, scalar: ScalarType, oneof: DescOneof | None = None) -> None:
        self.scalar = scalar
        self.oneof = oneof

    def __repr__(self) -> str:
        return f"<scalar {self.scalar.name.lower()}>"


class DescFieldValueEnum:
    __slots__ = ("enum", "oneof")

    def __init__(self, enum: DescEnum, oneof: DescOneof | None = None) -> None:
        self.enum = enum
        self.oneof = oneof

    def __repr__(self) -> str:
        return f"<enum {self.enum.type_name}>"


class DescFieldValueMessage:
    __slots__ = ("message", "delimited_encoding", "oneof")

    def __init__(
        self,
        message: DescMessage,
        delimited_encoding: bool = False,
        oneof: DescOneof | None = None,
    ) -> None:
        self.message = message
        self.delimited_encoding = delimited_encoding
        self.oneof = oneof

    def __repr__(self) -> str:
        return f"<message {self.message.type_name}>"


class DescFieldValueList:
    __slots__ = ("element", "packed", "delimited_encoding")

    def __init__(
        self,
        element: ScalarType | DescEnum | DescMessage,
        packed: bool,
        delimited_encoding: bool = False,
    ) -> None:
        self.element = element
        self.packed = packed
        # Only meaningful for message elements (group encoding of each element).
        self.delimited_encoding = delimited_encoding

    def __repr__(self) -> str:
        return f"<list of {_element_text(self.element)}>"


class DescFieldValueMap:
    __slots__ = ("key", "value")

    def __init__(self, key: ScalarType, value: ScalarType | DescEnum | DescMessage) -> None:
        self.key = key
        self.value = value

    def __repr__(self) -> str:
        return f"<map {self.key.name.lower()} to {_element_text(self.value)}>"


def _element_text(element: ScalarType | DescEnum | DescMessage) -> str:
    if isinstance(element, ScalarType):
        return element.name.lower()
    return element.type_name or element.name


DescFieldValue = (
    DescFieldValueScalar
    | DescFieldValueEnum
    | DescFieldValueMessage
    | DescFieldValueList
    | DescFieldValueMap
)


class DescField:
    __slots__ = (
        "number",
        "name",
        "local_name",
        "json_name",
        "presence",
        "_requires_presence",
        "value",
        "parent",
    )

    def __init__(
        self,
        number: int,
        name: str,
        local_name: str,
        json_name: str,
        presence: int,
        value: DescFieldValue,
        *,
        requires_presence: bool = False,
        parent: DescMessage | None = None,
    ) -> None:
        self.number = number
        self.name = name
        self.local_name = local_name
        self.json_name = json_name
        # A plain int (see Presence): the extension converts it as an unsigned integer.
        self.presence = presence
        # Assignments mark the field present: singular scalars and enums with explicit or
        # required presence that are not oneof members.
        self._requires_presence = requires_presence
        self.value = value
        self.parent = parent

    @property
    def oneof(self) -> DescOneof | None:
        """The oneof this field is a member of, if any."""
        return getattr(self.value, "oneof", None)

    @property
    def options(self) -> Any:
        """The field's ``google.protobuf.FieldOptions``, or None when it sets none."""
        from ._options import field_options

        if self.parent is None:
            return None
        return field_options(self.parent.file, self.parent.type_name, self.name)

    def __repr__(self) -> str:
        return f"<DescField {self.name}={self.number}>"


class DescMessage:
    __slots__ = (
        "type",
        "name",
        "type_name",
        "file",
        "parent",
        "fields",
        "oneofs",
        "_fields_by_name",
        "_oneofs_by_local_name",
        "_defaults",
    )

    def __init__(
        self,
        type: type,
        name: str,
        *,
        type_name: str | None = None,
        file: DescFile | None = None,
        parent: DescMessage | None = None,
    ) -> None:
        self.type = type
        self.name = name
        # Unknown (None) until the enclosing type of a nested message exists.
        self.type_name = type_name
        self.file = file
        self.parent = parent
        # Filled in when the message class is complete (all referenced types known).
        self.fields: list[DescField] = []
        self.oneofs: list[DescOneof] = []
        # Keyed by local (attribute) name, oneof members included: the extension tests
        # ``Oneof.field in _fields_by_name`` when serialising.
        self._fields_by_name: dict[str, DescField] = {}
        self._oneofs_by_local_name: dict[str, DescOneof] = {}
        # (attribute name, default) pairs; list and dict defaults stand for fresh containers.
        self._defaults: list[tuple[str, Any]] = []

    @property
    def options(self) -> Any:
        """The message's ``google.protobuf.MessageOptions``, or None when it sets none."""
        from ._options import message_options

        return message_options(self.file, self.type_name)

    def __repr__(self) -> str:
        return _short_repr("DescMessage", self.type_name or self.name)
