"""Property tests over generated schemas: random message types (field kinds, numbers, presence,
packing, maps, oneofs, groups, nesting, self-reference) with random values. Each value survives
the binary round trip, re-encodes to the same bytes, and agrees with the reference peer."""

from __future__ import annotations

import itertools
import types
from dataclasses import dataclass

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import torvex
from peer import from_peer, peer_class, snapshot, to_peer
from torvex import Oneof
from torvex import ScalarType as T
from torvex._descriptors import (
    DescEnum,
    DescFieldValueEnum,
    DescFieldValueList,
    DescFieldValueMap,
    DescFieldValueMessage,
    DescFieldValueScalar,
    DescMessage,
)

SETTINGS = settings(
    max_examples=60,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

SCALARS = list(T)
MAP_KEYS = [t for t in T if t not in (T.DOUBLE, T.FLOAT, T.BYTES)]
MAX_DEPTH = 3  # message nesting in generated values; self-referential types stop here

_files = itertools.count()

# ---- schemas -------------------------------------------------------------------------------


@dataclass
class Schema:
    root: type
    messages: list[type]
    # Whether fields are declared in ascending number order everywhere, so that our encoding
    # and the peer's (which sorts by number) can be compared byte for byte.
    ordered: bool
    enums: list[type]


def _int32s():
    return st.integers(-(2**31), 2**31 - 1)


@st.composite
def _enum(draw, file: torvex.File, index: int) -> type:
    is_open = draw(st.booleans())
    others = draw(st.lists(_int32s().filter(bool), unique=True, max_size=4))
    # Open enums start at 0, the default a peer needs; closed ones may start anywhere.
    numbers = [0, *others] if is_open or draw(st.booleans()) else others or [5]

    def body(ns):
        for i, n in enumerate(numbers):
            ns[f"E{index}_V{i}"] = n

    return types.new_class(f"E{index}", (torvex.Enum,), {"file": file, "open": is_open}, body)


def _kind(draw, enums, earlier, self_name):
    """A type reference for a field: scalar type, enum class or message class (or own name)."""
    choices = ["scalar"] * 4 + (["enum"] if enums else []) + ["message"]
    what = draw(st.sampled_from(choices))
    if what == "scalar":
        return draw(st.sampled_from(SCALARS))
    if what == "enum":
        return draw(st.sampled_from(enums))
    return draw(st.sampled_from([*earlier, self_name]))


def _is_closed_enum(ref) -> bool:
    return isinstance(ref, type) and issubclass(ref, torvex.Enum) and not ref._desc.open


def _is_message(ref) -> bool:
    return isinstance(ref, str) or (isinstance(ref, type) and issubclass(ref, torvex.Message))


def _packable(ref) -> bool:
    return (isinstance(ref, T) and ref.packable) or (
        isinstance(ref, type) and issubclass(ref, torvex.Enum)
    )


@st.composite
def _message(draw, file, index, enums, earlier, ordered) -> type:
    name = f"M{index}"
    proto3 = file.syntax == "proto3"
    shapes = draw(
        st.lists(
            st.sampled_from(["single"] * 4 + ["list"] * 2 + ["map", "oneof"]),
            min_size=1,
            max_size=7,
        )
    )
    sizes = [draw(st.integers(1, 3)) if s == "oneof" else 1 for s in shapes]
    numbers = draw(
        st.lists(
            st.one_of(st.integers(1, 40), st.integers(1, 2**29 - 1)).filter(
                lambda n: not 19000 <= n < 20000
            ),
            min_size=sum(sizes),
            max_size=sum(sizes),
            unique=True,
        )
    )
    if ordered:
        numbers.sort()
    numbers_iter = iter(numbers)
    ns: dict = {"__module__": __name__, "__qualname__": name}
    for i, shape in enumerate(shapes):
        if shape == "single":
            ref = _kind(draw, enums, earlier, name)
            options = {}
            if _is_message(ref):
                options["delimited"] = draw(st.booleans())
            elif proto3 and _is_closed_enum(ref):
                options["optional"] = True  # a closed enum needs explicit presence
            else:
                flavour = draw(st.sampled_from(["plain", "optional", "required"]))
                if flavour != "plain" and (flavour == "required" or proto3):
                    options[flavour] = True
            ns[f"f{i}"] = torvex.field(next(numbers_iter), ref, **options)
        elif shape == "list":
            ref = _kind(draw, enums, earlier, name)
            options = {}
            if _is_message(ref):
                options["delimited"] = draw(st.booleans())
            elif _packable(ref):
                options["packed"] = draw(st.sampled_from([None, True, False]))
            ns[f"f{i}"] = torvex.repeated(next(numbers_iter), ref, **options)
        elif shape == "map":
            key = draw(st.sampled_from(MAP_KEYS))
            # The peer cannot hold a closed enum without a zero value in a map.
            usable = [e for e in enums if e._desc.open or 0 in e._value2member_map_]
            ns[f"f{i}"] = torvex.map_field(
                next(numbers_iter), key, _kind(draw, usable, earlier, name)
            )
        else:
            members = {}
            for j in range(sizes[i]):
                ref = _kind(draw, enums, earlier, name)
                delimited = _is_message(ref) and draw(st.booleans())
                members[f"o{i}_{j}"] = torvex.field(next(numbers_iter), ref, delimited=delimited)
            ns[f"o{i}"] = torvex.oneof(**members)
    return type(torvex.Message)(name, (torvex.Message,), ns, file=file)


@st.composite
def schemas(draw, *, ordered: bool | None = None) -> Schema:
    n = next(_files)
    syntax = draw(st.sampled_from(["proto2", "proto3"]))
    file = torvex.File(f"prop/s{n}.proto", package=f"prop{n}", syntax=syntax)
    enums = [draw(_enum(file, i)) for i in range(draw(st.integers(0, 2)))]
    if ordered is None:
        ordered = draw(st.booleans())
    messages: list[type] = []
    for i in range(draw(st.integers(1, 3))):
        messages.append(draw(_message(file, i, enums, list(messages), ordered)))
    return Schema(messages[-1], messages, ordered, enums)


# ---- values --------------------------------------------------------------------------------

_INT_RANGES = {
    T.INT32: (-(2**31), 2**31 - 1),
    T.SINT32: (-(2**31), 2**31 - 1),
    T.SFIXED32: (-(2**31), 2**31 - 1),
    T.UINT32: (0, 2**32 - 1),
    T.FIXED32: (0, 2**32 - 1),
    T.INT64: (-(2**63), 2**63 - 1),
    T.SINT64: (-(2**63), 2**63 - 1),
    T.SFIXED64: (-(2**63), 2**63 - 1),
    T.UINT64: (0, 2**64 - 1),
    T.FIXED64: (0, 2**64 - 1),
}


def scalar_values(scalar: T):
    if scalar is T.DOUBLE:
        return st.floats()
    if scalar is T.FLOAT:
        return st.floats(width=32)
    if scalar is T.BOOL:
        return st.booleans()
    if scalar is T.STRING:
        return st.text(st.characters(codec="utf-8"), max_size=12)
    if scalar is T.BYTES:
        return st.binary(max_size=12)
    low, high = _INT_RANGES[scalar]
    # Boundaries are where encodings change; draw them often.
    return st.one_of(st.sampled_from([low, high, 0, -1 if low else 1]), st.integers(low, high))


def enum_values(desc: DescEnum):
    members = st.sampled_from(list(desc.type))
    if desc.open:
        return st.one_of(members, _int32s().map(desc.type))
    return members


def element_values(element, depth: int, map_size: int):
    if isinstance(element, T):
        return scalar_values(element)
    if isinstance(element, DescEnum):
        return enum_values(element)
    return message_values(element.type, depth + 1, map_size)


# Optional parts are set two times out of three: empty messages prove little.
_often = st.integers(0, 2).map(bool)


@st.composite
def message_values(draw, cls: type, depth: int = 0, map_size: int = 3):
    desc: DescMessage = cls._desc
    kwargs = {}
    deep = depth >= MAX_DEPTH
    done_oneofs = set()
    for f in desc.fields:
        kind = f.value
        group = getattr(kind, "oneof", None)
        if group is not None:
            if group.local_name in done_oneofs:
                continue
            done_oneofs.add(group.local_name)
            members = [
                m for m in group.fields
                if not (deep and isinstance(m.value, DescFieldValueMessage))
            ]  # fmt: skip
            if members and draw(_often):
                m = draw(st.sampled_from(members))
                kwargs[group.local_name] = Oneof(
                    m.local_name, draw(_single(m.value, depth, map_size))
                )
            continue
        if isinstance(kind, DescFieldValueMessage):
            if not deep and draw(_often):
                kwargs[f.local_name] = draw(_single(kind, depth, map_size))
        elif isinstance(kind, DescFieldValueList):
            if deep and isinstance(kind.element, DescMessage):
                continue
            kwargs[f.local_name] = draw(
                st.lists(element_values(kind.element, depth, map_size), max_size=4)
            )
        elif isinstance(kind, DescFieldValueMap):
            if deep and isinstance(kind.value, DescMessage):
                continue
            kwargs[f.local_name] = draw(
                st.dictionaries(
                    scalar_values(kind.key),
                    element_values(kind.value, depth, map_size),
                    max_size=map_size,
                )
            )
        elif f.presence == torvex.Presence.LEGACY_REQUIRED or not f._requires_presence:
            kwargs[f.local_name] = draw(_single(kind, depth, map_size))
        elif draw(_often):
            kwargs[f.local_name] = draw(_single(kind, depth, map_size))
    return cls(**kwargs)


def _single(kind, depth: int, map_size: int):
    if isinstance(kind, DescFieldValueScalar):
        return scalar_values(kind.scalar)
    if isinstance(kind, DescFieldValueEnum):
        return enum_values(kind.enum)
    return message_values(kind.message.type, depth + 1, map_size)


def schema_and_values(*, count: int = 1, ordered: bool | None = None, map_size: int = 3):
    return schemas(ordered=ordered).flatmap(
        lambda s: st.tuples(
            st.just(s),
            st.lists(message_values(s.root, 0, map_size), min_size=count, max_size=count),
        )
    )


def has_nan(msg) -> bool:
    def walk(node) -> bool:
        if isinstance(node, tuple):
            return any(walk(x) for x in node)
        if isinstance(node, dict):
            return any(walk(x) for x in node.values()) or any(walk(k) for k in node)
        return node == "nan"

    return walk(snapshot(msg))


# ---- properties ----------------------------------------------------------------------------


@SETTINGS
@given(schema_and_values())
def test_roundtrip(case):
    schema, (msg,) = case
    cls = schema.root
    data = msg.to_binary()
    assert msg.to_binary() == data
    back = cls.from_binary(data)
    assert snapshot(back) == snapshot(msg)
    assert back._unknown_fields is None
    if not has_nan(msg):
        assert back == msg
    again = back.to_binary()
    # Maps come back in wire order, which is the reverse of the dict order they were written
    # from; a second round trip restores the first encoding exactly.
    assert len(again) == len(data)
    assert cls.from_binary(again).to_binary() == data


class _Records(torvex.Message, file=torvex.File("property/records.proto")):
    """No fields: decoding keeps every top-level record as unknown, by field number."""


@SETTINGS
@given(schema_and_values())
def test_has_field_is_what_the_encoder_writes(case):
    _, (msg,) = case
    written = _Records.from_binary(msg.to_binary())._unknown_fields or {}
    for f in type(msg)._desc.fields:
        if f.oneof is None:
            assert msg.has_field(f.local_name) == (f.number in written), f.local_name


@SETTINGS
@given(schema_and_values())
def test_peer_reads_our_bytes_and_we_read_theirs(case):
    schema, (msg,) = case
    cls = schema.root
    parsed = peer_class(cls)()
    parsed.ParseFromString(msg.to_binary())
    assert snapshot(from_peer(parsed, cls)) == snapshot(msg)
    theirs = to_peer(msg).SerializeToString(deterministic=True)
    assert snapshot(cls.from_binary(theirs)) == snapshot(msg)


@SETTINGS
@given(schema_and_values(ordered=True, map_size=1))
def test_same_bytes_as_the_peer_when_orders_agree(case):
    schema, (msg,) = case
    assert msg.to_binary() == to_peer(msg).SerializeToString(deterministic=True)


@SETTINGS
@given(schema_and_values(count=3))
def test_concatenation_merges_like_the_peer(case):
    schema, msgs = case
    cls = schema.root
    data = b"".join(m.to_binary() for m in msgs)
    parsed = peer_class(cls)()
    parsed.ParseFromString(data)
    assert snapshot(cls.from_binary(data)) == snapshot(from_peer(parsed, cls))
    # Merging into an existing message is the same as decoding the concatenation.
    target = cls.from_binary(msgs[0].to_binary())
    target._merge_from_binary(b"".join(m.to_binary() for m in msgs[1:]), False)
    assert snapshot(target) == snapshot(cls.from_binary(data))


def test_generated_schemas_cover_the_field_kinds():
    """The generator reaches every kind of field; otherwise the properties above prove little."""
    seen: set[str] = set()

    @settings(max_examples=150, deadline=None, database=None,
              suppress_health_check=list(HealthCheck))  # fmt: skip
    @given(schemas())
    def collect(schema):
        for cls in schema.messages:
            for f in cls._desc.fields:
                kind = f.value
                seen.add(type(kind).__name__)
                if getattr(kind, "oneof", None) is not None:
                    seen.add("oneof")
                if getattr(kind, "delimited_encoding", False):
                    seen.add("group")
                if isinstance(kind, DescFieldValueList) and kind.packed:
                    seen.add("packed")
                if f.presence == torvex.Presence.LEGACY_REQUIRED:
                    seen.add("required")
                if isinstance(kind, DescFieldValueEnum) and not kind.enum.open:
                    seen.add("closed enum")

    collect()
    assert seen >= {
        "DescFieldValueScalar", "DescFieldValueEnum", "DescFieldValueMessage",
        "DescFieldValueList", "DescFieldValueMap", "oneof", "group", "packed", "required",
        "closed enum",
    }  # fmt: skip
