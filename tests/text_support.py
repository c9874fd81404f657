"""Random schemas and messages for the text-format tests, loaded both into torvex (through
``load_descriptor_set``) and into the reference implementation's pool from the same
``FileDescriptorProto``, so that names, numbers, groups and extensions agree exactly."""

from __future__ import annotations

import itertools
import math
import random
import struct
from dataclasses import dataclass
from typing import Any

from google.protobuf import any_pb2, descriptor_pool, message_factory, text_format
from google.protobuf import descriptor_pb2 as pb
from google.protobuf.descriptor import FieldDescriptor as FD

import torvex

_F = pb.FieldDescriptorProto
_counter = itertools.count()

SCALARS = [
    _F.TYPE_DOUBLE, _F.TYPE_FLOAT, _F.TYPE_INT64, _F.TYPE_UINT64, _F.TYPE_INT32, _F.TYPE_FIXED64,
    _F.TYPE_FIXED32, _F.TYPE_BOOL, _F.TYPE_STRING, _F.TYPE_BYTES, _F.TYPE_UINT32,
    _F.TYPE_SFIXED32, _F.TYPE_SFIXED64, _F.TYPE_SINT32, _F.TYPE_SINT64,
]  # fmt: skip
MAP_KEYS = [t for t in SCALARS if t not in (_F.TYPE_DOUBLE, _F.TYPE_FLOAT, _F.TYPE_BYTES)]
_INT_RANGES = {
    _F.TYPE_INT32: (-(2**31), 2**31 - 1), _F.TYPE_SINT32: (-(2**31), 2**31 - 1),
    _F.TYPE_SFIXED32: (-(2**31), 2**31 - 1), _F.TYPE_UINT32: (0, 2**32 - 1),
    _F.TYPE_FIXED32: (0, 2**32 - 1), _F.TYPE_INT64: (-(2**63), 2**63 - 1),
    _F.TYPE_SINT64: (-(2**63), 2**63 - 1), _F.TYPE_SFIXED64: (-(2**63), 2**63 - 1),
    _F.TYPE_UINT64: (0, 2**64 - 1), _F.TYPE_FIXED64: (0, 2**64 - 1),
}  # fmt: skip
STRINGS = ["", "a", "héllo", "日本語", "\U0001f600", "\x00\x01\x7f", "quote\"'\\", "tab\t\nnl", "?"]
DOUBLES = [0.0, -0.0, 1.0, 0.1, 1e100, -2.5e-300, 5e-324, 1e16, 1e15, 123456.789, 1e-5,
           1.7976931348623157e308, math.inf, -math.inf]  # fmt: skip


def random_float32(rng: random.Random) -> float:
    """A float32 value from any bit pattern (NaN excluded: it never compares equal)."""
    while True:
        value: float = struct.unpack("<f", rng.getrandbits(32).to_bytes(4, "little"))[0]
        if not math.isnan(value):
            return value


@dataclass
class Schema:
    fdp: pb.FileDescriptorProto
    torvex: dict[str, Any]  # classes and extensions by full name
    registry: Any  # a torvex.Registry of everything in the file
    pool: descriptor_pool.DescriptorPool

    def pair(self, name: str) -> tuple[type, Any]:
        """The torvex class and the reference class of message ``name`` (short name)."""
        full = f"{self.fdp.package}.{name}"
        peer = message_factory.GetMessageClass(self.pool.FindMessageTypeByName(full))
        return self.torvex[full], peer


def random_schema(rng: random.Random, syntax: str) -> Schema:
    """A file with three message types that refer to each other, an enum, maps, oneofs and,
    in proto2, groups, required fields and extensions; every scalar type appears."""
    package = f"txt{next(_counter)}"
    fdp = pb.FileDescriptorProto(name=f"{package}.proto", package=package, syntax=syntax)
    fdp.dependency.append("google/protobuf/any.proto")
    enum = fdp.enum_type.add(name="Color")
    for i, n in enumerate([0, 1, 2, -3, 7]):
        enum.value.add(name=f"COLOR_{i}", number=n)
    names = ["A", "B", "C"]
    for name in names:
        msg = fdp.message_type.add(name=name)
        msg.oneof_decl.add(name="choice")  # synthetic oneofs (proto3 optional) come after it
        choice = 0
        number = itertools.count(1)

        def add(fname: str, ftype: int, label: int = _F.LABEL_OPTIONAL, tn: str = "", **kw: Any):
            f = msg.field.add(name=fname, number=next(number), type=ftype, label=label, **kw)
            if tn:
                f.type_name = tn
            if syntax == "proto3" and label == _F.LABEL_OPTIONAL and rng.random() < 0.3:
                if ftype not in (_F.TYPE_MESSAGE, _F.TYPE_GROUP):
                    f.proto3_optional = True
                    msg.oneof_decl.add(name=f"_{fname}")
                    f.oneof_index = len(msg.oneof_decl) - 1
            return f

        for t in rng.sample(SCALARS, len(SCALARS)):
            add(f"s{t}", t)
            if rng.random() < 0.5:
                add(f"r{t}", t, _F.LABEL_REPEATED)
        add("color", _F.TYPE_ENUM, tn=f".{package}.Color")
        add("colors", _F.TYPE_ENUM, _F.LABEL_REPEATED, tn=f".{package}.Color")
        for other in rng.sample(names, 2):
            add(f"m{other.lower()}", _F.TYPE_MESSAGE, tn=f".{package}.{other}")
        add("many", _F.TYPE_MESSAGE, _F.LABEL_REPEATED, tn=f".{package}.{rng.choice(names)}")
        add("payload", _F.TYPE_MESSAGE, tn=".google.protobuf.Any")
        key = rng.choice(MAP_KEYS)
        entry = msg.nested_type.add(name="MapEntry")
        entry.options.map_entry = True
        entry.field.add(name="key", number=1, type=key, label=_F.LABEL_OPTIONAL)
        value = entry.field.add(name="value", number=2, label=_F.LABEL_OPTIONAL)
        value.type = rng.choice([_F.TYPE_STRING, _F.TYPE_INT32, _F.TYPE_ENUM, _F.TYPE_MESSAGE])
        if value.type == _F.TYPE_ENUM:
            value.type_name = f".{package}.Color"
        elif value.type == _F.TYPE_MESSAGE:
            value.type_name = f".{package}.{rng.choice(names)}"
        add("map", _F.TYPE_MESSAGE, _F.LABEL_REPEATED, tn=f".{package}.{name}.MapEntry")
        for t in rng.sample(SCALARS, 3):
            add(f"o{t}", t, oneof_index=choice)
        add("omsg", _F.TYPE_MESSAGE, tn=f".{package}.{rng.choice(names)}", oneof_index=choice)
        if syntax == "proto2":
            group = msg.nested_type.add(name="Grp")
            group.field.add(name="x", number=1, type=_F.TYPE_INT32, label=_F.LABEL_OPTIONAL)
            group.field.add(name="y", number=2, type=_F.TYPE_STRING, label=_F.LABEL_REPEATED)
            add("grp", _F.TYPE_GROUP, tn=f".{package}.{name}.Grp")
            add("grps", _F.TYPE_GROUP, _F.LABEL_REPEATED, tn=f".{package}.{name}.Grp")
            add("req", _F.TYPE_INT32, _F.LABEL_REQUIRED)
            msg.extension_range.add(start=1000, end=2000)
    fdp.message_type.add(name="Nothing")  # reads every field as unknown
    if syntax == "proto2":
        for i, (t, label) in enumerate(
            [(_F.TYPE_INT32, _F.LABEL_OPTIONAL), (_F.TYPE_STRING, _F.LABEL_REPEATED),
             (_F.TYPE_MESSAGE, _F.LABEL_OPTIONAL), (_F.TYPE_ENUM, _F.LABEL_OPTIONAL)]
        ):  # fmt: skip
            ext = fdp.extension.add(name=f"ext{i}", number=1000 + i, type=t, label=label)
            ext.extendee = f".{package}.{rng.choice(names)}"
            if t == _F.TYPE_MESSAGE:
                ext.type_name = f".{package}.C"
            elif t == _F.TYPE_ENUM:
                ext.type_name = f".{package}.Color"
    return load(fdp)


def load(fdp: pb.FileDescriptorProto) -> Schema:
    any_file = pb.FileDescriptorProto()
    any_pb2.DESCRIPTOR.CopyToProto(any_file)
    data = pb.FileDescriptorSet(file=[any_file, fdp]).SerializeToString()
    loaded = torvex.load_descriptor_set(data)
    registry = torvex.Registry(torvex.wkt)
    for value in loaded.values():
        if isinstance(value, torvex.Extension) or hasattr(value, "_desc") and hasattr(
            value, "to_text"
        ):
            registry.add(value)
    pool = descriptor_pool.DescriptorPool()
    pool.Add(any_file)
    pool.Add(fdp)
    return Schema(fdp, loaded, registry, pool)


def _scalar(rng: random.Random, f: Any) -> Any:
    t = f.type
    if t == FD.TYPE_DOUBLE:
        return rng.choice(DOUBLES) if rng.random() < 0.6 else rng.uniform(-1e6, 1e6)
    if t == FD.TYPE_FLOAT:
        return random_float32(rng)
    if t == FD.TYPE_BOOL:
        return rng.random() < 0.5
    if t == FD.TYPE_STRING:
        return rng.choice(STRINGS)
    if t == FD.TYPE_BYTES:
        return bytes(rng.getrandbits(8) for _ in range(rng.randrange(6)))
    if t == FD.TYPE_ENUM:
        return rng.choice(f.enum_type.values).number
    lo, hi = _INT_RANGES[t]
    return rng.choice([lo, hi, 0, 1, -1 if lo else 2, rng.randint(lo, hi)])


def fill(rng: random.Random, msg: Any, depth: int = 0, schema: Schema | None = None) -> Any:
    """Sets a random selection of ``msg``'s fields (a reference message) and returns it."""
    for f in msg.DESCRIPTOR.fields:
        if f.is_required:
            setattr(msg, f.name, _scalar(rng, f))
            continue
        if rng.random() < 0.45:
            continue
        if f.message_type is not None and f.message_type.GetOptions().map_entry:
            target = getattr(msg, f.name)
            key_f, value_f = f.message_type.fields
            for _ in range(rng.randrange(4)):
                key = _scalar(rng, key_f)
                if value_f.message_type is not None:
                    if depth < 2:
                        fill(rng, target[key], depth + 1, schema)
                else:
                    target[key] = _scalar(rng, value_f)
        elif f.message_type is not None:
            if f.message_type.full_name == "google.protobuf.Any":
                if schema is not None and depth < 2:
                    inner = schema.pair(rng.choice("ABC"))[1]()
                    fill(rng, inner, depth + 1, schema)
                    getattr(msg, f.name).Pack(inner)
                continue
            if depth >= 2:
                continue
            if f.is_repeated:
                for _ in range(rng.randrange(3)):
                    fill(rng, getattr(msg, f.name).add(), depth + 1, schema)
            else:
                sub = getattr(msg, f.name)
                sub.SetInParent()
                fill(rng, sub, depth + 1, schema)
        elif f.is_repeated:
            getattr(msg, f.name).extend(_scalar(rng, f) for _ in range(rng.randrange(4)))
        else:
            setattr(msg, f.name, _scalar(rng, f))
    if schema is not None:
        for ext in schema.pool.FindFileByName(schema.fdp.name).extensions_by_name.values():
            if ext.containing_type is not msg.DESCRIPTOR or rng.random() < 0.5:
                continue
            if ext.message_type is not None:
                if depth < 2:
                    fill(rng, msg.Extensions[ext], depth + 1, schema)
            elif ext.is_repeated:
                msg.Extensions[ext].extend(_scalar(rng, ext) for _ in range(2))
            else:
                msg.Extensions[ext] = _scalar(rng, ext)
    return msg


def peer_text(msg: Any, **kw: Any) -> str:
    """The reference's text, with Any payloads expanded when the message's pool knows them."""
    return text_format.MessageToString(msg, descriptor_pool=msg.DESCRIPTOR.file.pool, **kw)
