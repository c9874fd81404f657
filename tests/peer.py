"""The reference implementation as a black box: for any torvex message class, the equivalent
message class of Google's ``protobuf`` package, built at run time from the torvex descriptors,
plus conversions between the two and a comparable snapshot of a message's content.

The peer schema is written in editions syntax because editions can express every setting a
torvex field carries (presence, open or closed enums, packed or expanded lists, delimited
messages) one field at a time, whatever the syntax of the torvex file was.

Peer names are mangled (``M0``, ``E1``, field ``f<number>``): only numbers and types matter on
the wire, and mangling keeps nested types, map entries and enum value scopes from colliding.
"""

from __future__ import annotations

import itertools
import math
import struct
import weakref
from typing import Any

from google.protobuf import descriptor_pb2 as pb
from google.protobuf import descriptor_pool, message_factory

from torvex import Oneof, Presence, ScalarType
from torvex._descriptors import (
    DescEnum,
    DescFieldValueEnum,
    DescFieldValueList,
    DescFieldValueMap,
    DescFieldValueMessage,
    DescFieldValueScalar,
    DescMessage,
)

__all__ = ["peer_class", "to_peer", "from_peer", "snapshot", "peer_name"]

_FDP = pb.FieldDescriptorProto
_FS = pb.FeatureSet

_counter = itertools.count()
_classes: weakref.WeakKeyDictionary[type, type] = weakref.WeakKeyDictionary()
_named_classes: weakref.WeakKeyDictionary[type, type] = weakref.WeakKeyDictionary()


def peer_name(number: int) -> str:
    """The peer's attribute name of the field with this number."""
    return f"f{number}"


def _oneof_of(field):
    return getattr(field.value, "oneof", None)


class _Builder:
    """Collects every message and enum reachable from one root and writes one file for them."""

    def __init__(self, named: bool = False) -> None:
        # Real field, JSON and enum value names instead of mangled ones, for reading JSON.
        self.named = named
        self.package = f"peer{next(_counter)}"
        self.fdp = pb.FileDescriptorProto(
            name=f"peer/{self.package}.proto",
            package=self.package,
            syntax="editions",
            edition=pb.EDITION_2023,
        )
        self.messages: dict[int, str] = {}  # id(DescMessage) -> full peer name
        self.enums: dict[int, str] = {}
        self.keep: list[Any] = []  # keeps the ids above valid while building

    def enum(self, desc: DescEnum) -> str:
        name = self.enums.get(id(desc))
        if name is not None:
            return name
        short = f"E{len(self.enums)}"
        name = f".{self.package}.{short}"
        self.enums[id(desc)] = name
        self.keep.append(desc)
        proto = self.fdp.enum_type.add(name=short)
        # Aliases share a number; the peer needs each number once, and an open enum's first
        # value must be 0.
        numbers = list(dict.fromkeys(v.number for v in desc.values))
        if 0 in numbers:
            numbers.remove(0)
            numbers.insert(0, 0)
        elif desc.open:
            raise ValueError(f"open enum {desc.type_name} has no value 0; the peer needs one")
        names = {v.number: v.name for v in reversed(desc.values)}  # an alias's first name
        for i, number in enumerate(numbers):
            proto.value.add(name=names[number] if self.named else f"{short}_V{i}", number=number)
        if not desc.open:
            proto.options.features.enum_type = _FS.CLOSED
        return name

    def message(self, desc: DescMessage) -> str:
        name = self.messages.get(id(desc))
        if name is not None:
            return name
        short = f"M{len(self.messages)}"
        name = f".{self.package}.{short}"
        self.messages[id(desc)] = name
        self.keep.append(desc)
        proto = self.fdp.message_type.add(name=short)
        oneofs: dict[str, int] = {}
        for f in desc.fields:
            self.field(proto, name, f, oneofs)
        return name

    def element(self, fp, element) -> None:
        """Types ``fp`` as a list element or map value kind."""
        if isinstance(element, ScalarType):
            fp.type = int(element)  # ScalarType numbers are descriptor.proto's type numbers
        elif isinstance(element, DescEnum):
            fp.type = _FDP.TYPE_ENUM
            fp.type_name = self.enum(element)
        elif isinstance(element, DescMessage):
            fp.type = _FDP.TYPE_MESSAGE
            fp.type_name = self.message(element)
        else:
            raise TypeError(f"unsupported element {element!r}")

    def field(self, proto, parent_name: str, f, oneofs: dict[str, int]) -> None:
        kind = f.value
        fp = proto.field.add(name=f.name if self.named else peer_name(f.number), number=f.number)
        if self.named:
            fp.json_name = f.json_name
        features = fp.options.features
        if isinstance(kind, DescFieldValueList):
            fp.label = _FDP.LABEL_REPEATED
            self.element(fp, kind.element)
            packable = isinstance(kind.element, DescEnum) or (
                isinstance(kind.element, ScalarType) and kind.element.packable
            )
            if packable and not kind.packed:
                features.repeated_field_encoding = _FS.EXPANDED
            if isinstance(kind.element, DescMessage) and kind.delimited_encoding:
                features.message_encoding = _FS.DELIMITED
            return
        if isinstance(kind, DescFieldValueMap):
            entry = proto.nested_type.add(name=f"F{f.number}Entry")
            entry.options.map_entry = True
            key = entry.field.add(name="key", number=1, label=_FDP.LABEL_OPTIONAL)
            key.type = int(kind.key)
            value = entry.field.add(name="value", number=2, label=_FDP.LABEL_OPTIONAL)
            self.element(value, kind.value)
            fp.label = _FDP.LABEL_REPEATED
            fp.type = _FDP.TYPE_MESSAGE
            fp.type_name = f"{parent_name}.F{f.number}Entry"
            return
        fp.label = _FDP.LABEL_OPTIONAL
        group = _oneof_of(f)
        if isinstance(kind, DescFieldValueScalar):
            fp.type = int(kind.scalar)
        elif isinstance(kind, DescFieldValueEnum):
            fp.type = _FDP.TYPE_ENUM
            fp.type_name = self.enum(kind.enum)
        elif isinstance(kind, DescFieldValueMessage):
            fp.type = _FDP.TYPE_MESSAGE
            fp.type_name = self.message(kind.message)
            if kind.delimited_encoding:
                features.message_encoding = _FS.DELIMITED
        else:
            raise TypeError(f"unsupported field kind {kind!r}")
        if group is not None:
            index = oneofs.get(group.local_name)
            if index is None:
                index = oneofs[group.local_name] = len(proto.oneof_decl)
                proto.oneof_decl.add(name=f"o{index}")
            fp.oneof_index = index
        elif f.presence == Presence.IMPLICIT:
            if isinstance(kind, DescFieldValueMessage):
                raise ValueError(f"message field {f.name} cannot have implicit presence")
            features.field_presence = _FS.IMPLICIT
        elif f.presence == Presence.LEGACY_REQUIRED:
            features.field_presence = _FS.LEGACY_REQUIRED


def peer_class(cls: type, *, named: bool = False) -> type:
    """The peer message class equivalent to the torvex message class ``cls`` (cached). With
    ``named``, fields and enum values carry their real names, so the peer reads the same JSON;
    a schema whose enum value names collide across enums cannot be built that way."""
    cache = _named_classes if named else _classes
    peer = cache.get(cls)
    if peer is None:
        builder = _Builder(named)
        root = builder.message(cls._desc)
        # A private pool: each build is a file of its own and names never clash.
        pool = descriptor_pool.DescriptorPool()
        pool.Add(builder.fdp)
        peer = message_factory.GetMessageClass(pool.FindMessageTypeByName(root[1:]))
        cache[cls] = peer
    return peer


# ---- torvex -> peer ------------------------------------------------------------------------


def _plain(element, value):
    """A scalar or enum value as the peer takes it."""
    if isinstance(element, DescEnum):
        return int(value)
    return value


def to_peer(msg) -> Any:
    """A new peer message holding the same field values as the torvex message ``msg``."""
    pmsg = peer_class(type(msg))()
    _fill_peer(pmsg, msg)
    return pmsg


def _fill_peer(pmsg, msg) -> None:
    desc: DescMessage = type(msg)._desc
    # Touch the sub-message so that an empty but present message is kept.
    pmsg.SetInParent()
    for f in desc.fields:
        kind = f.value
        name = peer_name(f.number)
        group = _oneof_of(f)
        if group is not None:
            chosen = getattr(msg, group.local_name)
            if not isinstance(chosen, Oneof) or chosen.field != f.local_name:
                continue
            value = chosen.value
        else:
            value = getattr(msg, f.local_name)
            if f._requires_presence and not msg._get_field_number_present(f.number):
                continue
        if isinstance(kind, DescFieldValueMessage):
            if value is not None or group is not None:
                sub = getattr(pmsg, name)
                if value is None:
                    sub.SetInParent()  # a oneof member holding None is an empty message
                else:
                    _fill_peer(sub, value)
        elif isinstance(kind, DescFieldValueScalar):
            setattr(pmsg, name, value)
        elif isinstance(kind, DescFieldValueEnum):
            setattr(pmsg, name, int(value))
        elif isinstance(kind, DescFieldValueList):
            target = getattr(pmsg, name)
            if isinstance(kind.element, DescMessage):
                for item in value:
                    sub = target.add()
                    if item is not None:
                        _fill_peer(sub, item)
            else:
                target.extend(_plain(kind.element, v) for v in value)
        elif isinstance(kind, DescFieldValueMap):
            target = getattr(pmsg, name)
            if isinstance(kind.value, DescMessage):
                for k, v in value.items():
                    sub = target[k]
                    if v is not None:
                        _fill_peer(sub, v)
            else:
                for k, v in value.items():
                    target[k] = _plain(kind.value, v)


# ---- peer -> torvex ------------------------------------------------------------------------


def _from_plain(element, value):
    if isinstance(element, DescEnum):
        return element.type(value)
    return value


def from_peer(pmsg, cls: type):
    """A new torvex message of class ``cls`` holding the peer message's field values."""
    desc: DescMessage = cls._desc
    msg = cls()
    for f in desc.fields:
        kind = f.value
        name = peer_name(f.number)
        group = _oneof_of(f)
        if group is not None:
            if pmsg.WhichOneof(f"o{_oneof_index(desc, group)}") != name:
                continue
        elif isinstance(kind, DescFieldValueMessage) or f._requires_presence:
            if not pmsg.HasField(name):
                continue
        value = getattr(pmsg, name)
        if isinstance(kind, DescFieldValueMessage):
            value = from_peer(value, kind.message.type)
        elif isinstance(kind, DescFieldValueEnum):
            value = kind.enum.type(value)
        elif isinstance(kind, DescFieldValueList):
            element = kind.element
            if isinstance(element, DescMessage):
                value = [from_peer(v, element.type) for v in value]
            else:
                value = [_from_plain(element, v) for v in value]
        elif isinstance(kind, DescFieldValueMap):
            element = kind.value
            if isinstance(element, DescMessage):
                value = {k: from_peer(v, element.type) for k, v in value.items()}
            else:
                value = {k: _from_plain(element, v) for k, v in value.items()}
        if group is not None:
            setattr(msg, group.local_name, Oneof(f.local_name, value))
        else:
            setattr(msg, f.local_name, value)
    return msg


def _oneof_index(desc: DescMessage, group) -> int:
    # Oneofs are numbered in order of their first member, as the builder declares them.
    seen: list[str] = []
    for f in desc.fields:
        g = _oneof_of(f)
        if g is not None and g.local_name not in seen:
            if g.local_name == group.local_name:
                return len(seen)
            seen.append(g.local_name)
    raise KeyError(group.local_name)


# ---- comparable content --------------------------------------------------------------------


def _float_key(value: float):
    # NaN never equals itself and -0.0 equals 0.0; the bit pattern tells both apart. Payloads
    # of NaN are not part of the contract, so all NaNs are one value here.
    value = float(value)
    if math.isnan(value):
        return "nan"
    return struct.pack("<d", value)


def _scalar_key(scalar: ScalarType, value):
    if scalar in (ScalarType.DOUBLE, ScalarType.FLOAT):
        return _float_key(value)
    # The type name keeps True apart from 1 and str apart from bytes.
    return (type(value).__name__, value)


def _element_key(element, value):
    if isinstance(element, ScalarType):
        return _scalar_key(element, value)
    if isinstance(element, DescEnum):
        return ("enum", int(value))
    return None if value is None else snapshot(value)


def snapshot(msg, *, unknown: bool = False) -> tuple:
    """The content of a torvex message as nested tuples, dicts and bytes that compare with
    ``==`` the way the wire sees them: floats by bit pattern, explicit presence as a flag,
    enums by number. ``unknown=True`` adds the unknown-field records."""
    desc: DescMessage = type(msg)._desc
    out: list[Any] = [desc.type_name]
    for f in desc.fields:
        kind = f.value
        group = _oneof_of(f)
        if group is not None:
            chosen = getattr(msg, group.local_name)
            if not isinstance(chosen, Oneof) or chosen.field != f.local_name:
                out.append((f.number, "unset"))
                continue
            value = chosen.value
        else:
            value = getattr(msg, f.local_name)
            if f._requires_presence and not msg._get_field_number_present(f.number):
                out.append((f.number, "unset"))
                continue
        if isinstance(kind, DescFieldValueScalar):
            key = _scalar_key(kind.scalar, value)
        elif isinstance(kind, DescFieldValueEnum):
            key = ("enum", int(value))
        elif isinstance(kind, DescFieldValueMessage):
            key = None if value is None else snapshot(value, unknown=unknown)
        elif isinstance(kind, DescFieldValueList):
            key = tuple(_element_key(kind.element, v) for v in value)
        else:
            key = {_scalar_key(kind.key, k): _element_key(kind.value, v) for k, v in value.items()}
        out.append((f.number, key))
    if unknown:
        records = msg._unknown_fields
        out.append({k: list(v) for k, v in records.items()} if records else {})
    return tuple(out)
