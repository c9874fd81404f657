"""Name rules shared by the declarative API: JSON names and Python-safe local names."""

from __future__ import annotations

import keyword
from collections.abc import Collection


def json_name(proto_name: str) -> str:
    """The JSON name protoc derives from a field name: lowerCamelCase without underscores.

    Each underscore is dropped and the ASCII letter after it upper-cased; nothing else changes
    (so a leading capital stays, and a trailing underscore just disappears).
    """
    # Split on underscores rather than walking characters: every field of every class goes
    # through here while a module is imported.
    if "_" not in proto_name:
        return proto_name
    head, *rest = proto_name.split("_")
    out = [head]
    for part in rest:
        if part and "a" <= part[0] <= "z":
            part = part[0].upper() + part[1:]
        out.append(part)
    return "".join(out)


def local_name(proto_name: str, reserved: Collection[str] = ()) -> str:
    """The attribute name for a proto name: underscores are appended while it is a Python
    keyword or one of ``reserved`` (names the runtime itself uses on the class)."""
    name = proto_name
    while keyword.iskeyword(name) or name in reserved:
        name += "_"
    return name


def proto_name_for(attribute: str, reserved: Collection[str] = ()) -> str:
    """Inverse of ``local_name`` for the declarative API's default: ``class_`` names the proto
    field ``class`` because ``class`` would have been escaped to exactly ``class_``."""
    if attribute.endswith("_"):
        candidate = attribute[:-1]
        if candidate and local_name(candidate, reserved) == attribute:
            return candidate
    return attribute


def display_qualname(cls: type) -> str:
    """``__qualname__`` without the ``f.<locals>.`` prefix of classes defined in functions."""
    qualname = cls.__qualname__
    return qualname.rpartition("<locals>.")[2]
