"""Builds message classes straight from descriptor objects, below the declarative API, so tests
can feed the extension exactly the descriptors they need (malformed ones included)."""

from __future__ import annotations

import enum

from _torvex_ext import NativeMessage, initialize_message_type
from torvex._descriptors import (
    DescEnum,
    DescEnumValue,
    DescField,
    DescFieldValueEnum,
    DescFieldValueList,
    DescFieldValueMap,
    DescFieldValueMessage,
    DescFieldValueScalar,
    DescFile,
    DescMessage,
    DescOneof,
    ScalarType,
)

FILE = DescFile("tests/raw.proto", package="test")
EXPLICIT, IMPLICIT, REQUIRED = 1, 2, 3


def camel(name: str) -> str:
    head, *rest = name.split("_")
    return head + "".join(p[:1].upper() + p[1:] for p in rest)


def message_class(name: str, attrs: list[str], *, slots: bool = True) -> type:
    """A bare NativeMessage subclass whose attributes are slots (or instance-dict entries)."""
    return type(name, (NativeMessage,), {"__slots__": tuple(attrs)} if slots else {})


def desc(cls: type, type_name: str | None = None) -> DescMessage:
    d = DescMessage(cls, cls.__name__, type_name=type_name or f"test.{cls.__name__}", file=FILE)
    cls._desc = d
    return d


def enum_type(name: str, members: dict[str, int], *, open: bool = True, json=None) -> type:
    cls = enum.IntEnum(name, members)
    values = [
        DescEnumValue(n, k, k, None if json is None else json.get(k)) for k, n in members.items()
    ]
    cls._desc = DescEnum(cls, name, open=open, values=values, type_name=f"test.{name}", file=FILE)
    return cls


def scalar(t: int, oneof: DescOneof | None = None) -> DescFieldValueScalar:
    return DescFieldValueScalar(ScalarType(t), oneof)


def enum_value(e: type, oneof: DescOneof | None = None) -> DescFieldValueEnum:
    return DescFieldValueEnum(e._desc, oneof)


def message_value(cls: type, *, delimited: bool = False, oneof=None) -> DescFieldValueMessage:
    return DescFieldValueMessage(cls._desc, delimited, oneof)


def list_value(element, *, packed: bool = True, delimited: bool = False) -> DescFieldValueList:
    if isinstance(element, type):
        element = element._desc
    return DescFieldValueList(element, packed, delimited)


def map_value(key: int, value) -> DescFieldValueMap:
    if isinstance(value, type):
        value = value._desc
    return DescFieldValueMap(ScalarType(key), value)


def field(number, name, value, presence=IMPLICIT, *, json_name=None, requires=None) -> DescField:
    if requires is None:
        requires = (
            presence != IMPLICIT
            and isinstance(value, (DescFieldValueScalar, DescFieldValueEnum))
            and value.oneof is None
        )
    return DescField(
        number, name, name, json_name or camel(name), presence, value, requires_presence=requires
    )


def zero_of(value):
    if isinstance(value, DescFieldValueScalar):
        return getattr(value.scalar, "zero", 0)  # malformed types still get a default
    if isinstance(value, DescFieldValueEnum):
        values = value.enum.values
        return value.enum.type(values[0].number) if values else None
    if isinstance(value, DescFieldValueList):
        return []
    if isinstance(value, DescFieldValueMap):
        return {}
    return None


def finish(cls: type, fields: list[DescField], *, oneofs=(), defaults=None, init=True) -> type:
    """Fills the class's descriptor and (by default) initialises the class."""
    d = cls._desc if "_desc" in cls.__dict__ else desc(cls)
    d.fields = list(fields)
    d._fields_by_name = {f.local_name: f for f in fields}
    d._oneofs_by_local_name = {o.local_name: o for o in oneofs}
    if defaults is None:
        defaults = [(o.local_name, None) for o in oneofs]
        defaults += [(f.local_name, zero_of(f.value)) for f in fields if f.oneof is None]
    d._defaults = defaults
    if init:
        initialize_message_type(cls)
    return cls


def simple(name: str, fields: list[DescField], *, oneofs=(), slots=True, **kw) -> type:
    """A class with one attribute per non-oneof field and per oneof, initialised."""
    attrs = [f.local_name for f in fields if f.oneof is None] + [o.local_name for o in oneofs]
    cls = message_class(name, attrs, slots=slots)
    desc(cls)
    return finish(cls, fields, oneofs=oneofs, **kw)
