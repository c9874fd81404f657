"""What decoded messages hold: lists and maps are made on first read and unknown records stay
packed until the unknown-field store is read. Neither may be visible: every API answers as it
would for containers and records made eagerly, and the memory stays low."""

from __future__ import annotations

import copy
import gc
import pickle
import tracemalloc
from typing import Any

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import torvex
from torvex import ScalarType as T

F = torvex.File("footprint/lazy.proto", package="footprint")


class Leaf(torvex.Message, file=F):
    n: int = torvex.field(1, T.INT32)
    tags: list[str] = torvex.repeated(2, T.STRING)


class Box(torvex.Message, file=F):
    leaves: list[Leaf] = torvex.repeated(1, Leaf)
    ints: list[int] = torvex.repeated(2, T.SINT64)
    names: dict[str, int] = torvex.map_field(3, T.STRING, T.INT32)
    by_id: dict[int, Leaf] = torvex.map_field(4, T.INT64, Leaf)
    title: str = torvex.field(5, T.STRING)
    child: Box | None = torvex.field(6, "Box")
    kids: list[Box] = torvex.repeated(7, "Box")


class Bare(torvex.Message, file=F):
    pass


CONTAINERS = ("leaves", "ints", "names", "by_id", "kids")

leaves = st.builds(Leaf, n=st.integers(-5, 5), tags=st.lists(st.sampled_from(["", "a"]), max_size=2))
boxes = st.recursive(
    st.builds(
        Box,
        leaves=st.lists(leaves, max_size=2),
        ints=st.lists(st.integers(-(2**63), 2**63 - 1), max_size=3),
        names=st.dictionaries(st.text(max_size=2), st.integers(-3, 3), max_size=2),
        by_id=st.dictionaries(st.integers(0, 9), leaves, max_size=2),
        title=st.text(max_size=3),
    ),
    lambda inner: st.builds(Box, child=inner, ints=st.lists(st.integers(0, 3), max_size=2)),
    max_leaves=4,
)


def read_everything(m: Any) -> Any:
    """Makes every container of `m` and below it by reading it."""
    for f in torvex.descriptor(type(m)).fields:
        v = getattr(m, f.local_name)
        for item in v.values() if isinstance(v, dict) else v if isinstance(v, list) else [v]:
            if isinstance(item, torvex.Message):
                read_everything(item)
    return m


def views(m: Any) -> tuple[Any, ...]:
    return (
        repr(m),
        m.to_binary(),
        m.to_json(always_emit_implicit=True),
        m.to_json(),
        m.to_text(),
        [(f.number, v) for f, v in m.list_fields()],
        [m.has_field(name) for name in CONTAINERS],
        pickle.loads(pickle.dumps(m)).to_binary(),
    )


@settings(max_examples=60, deadline=None)
@given(boxes)
def test_untouched_containers_answer_as_made_ones(box: Box) -> None:
    data = box.to_binary()
    lazy, made = Box.from_binary(data), read_everything(Box.from_binary(data))
    assert lazy == made and made == lazy and lazy == box
    assert views(lazy) == views(made)
    assert copy.deepcopy(lazy) == made and copy.copy(lazy) == made
    merged = Box()
    merged.merge_from(lazy)
    assert merged == made and merged.to_binary() == made.to_binary()
    # Comparing and encoding never replaced what was there.
    assert views(lazy) == views(made)


def test_container_attribute_keeps_member_behaviour() -> None:
    m = Box.from_binary(b"")
    member = Box.__dict__["ints"]
    assert repr(Box.ints) == repr(member) == "<member 'ints' of 'Box' objects>"
    assert member.__name__ == "ints" and member.__objclass__ is Box
    assert m.names is m.names and m.ints is member.__get__(m) is m.ints
    m.ints.append(-1)
    m.names["k"] = 2
    assert m.to_binary() == Box(ints=[-1], names={"k": 2}).to_binary()
    shallow = copy.copy(Box.from_binary(b""))
    assert copy.copy(shallow).leaves is shallow.leaves  # a shallow copy shares its containers
    member.__set__(m, [7])
    assert m.ints == [7]
    with pytest.raises(TypeError, match="doesn't apply to a 'Leaf' object"):
        member.__get__(Leaf())
    bare = Box.__new__(Box)  # no defaults: the attribute is missing, not empty
    with pytest.raises(AttributeError):
        bare.ints
    member.__delete__(m)
    with pytest.raises(AttributeError):
        m.ints
    m.clear()
    assert m.ints == [] and m == Box()


def held_bytes(make: Any) -> tuple[int, Any]:
    gc.collect()
    tracemalloc.start()
    try:
        kept = make()
        gc.collect()
        return tracemalloc.get_traced_memory()[0], kept
    finally:
        tracemalloc.stop()


def test_empty_sub_messages_hold_no_containers() -> None:
    # Made eagerly, five empty containers cost about 300 more bytes per child.
    n = 5000
    held, box = held_bytes(lambda: Box.from_binary(b"\x3a\x00" * n))
    assert len(box.kids) == n and box.kids[-1].names == {}
    assert held / n < 250
    # Deep copies and comparisons leave the containers unmade too.
    held, twin = held_bytes(lambda: copy.deepcopy(box))
    assert held / n < 250
    held, same = held_bytes(lambda: box == twin == Box(kids=[Box() for _ in range(n)]))
    assert same and held / n < 250


def varint(v: int) -> bytes:
    out = bytearray()
    while v >= 0x80:
        out.append(v & 0x7F | 0x80)
        v >>= 7
    return bytes(out) + bytes([v])


def record(number: int, kind: int, payload: int) -> bytes:
    """One wire record of field `number`: varint, length-delimited, fixed32, fixed64 or group."""
    if kind == 0:
        return varint(number << 3) + varint(payload)
    if kind == 1:
        return varint(number << 3 | 2) + varint(payload % 300) + bytes(payload % 300)
    if kind == 2:
        return varint(number << 3 | 5) + payload.to_bytes(8, "little")[:4]
    if kind == 3:
        return varint(number << 3 | 1) + payload.to_bytes(8, "little")
    return varint(number << 3 | 3) + b"\x08\x05" + varint(number << 3 | 4)


def number_of(rec: bytes) -> int:
    value, shift = 0, 0
    for b in rec:
        value |= (b & 0x7F) << shift
        shift += 7
        if b < 0x80:
            return value >> 3
    raise AssertionError(rec)


records = st.lists(
    st.builds(record, st.integers(1, 2**29 - 1) | st.integers(1, 4), st.integers(0, 4),
              st.integers(0, 2**64 - 1)),
    max_size=12,
)  # fmt: skip


def grouped(recs: list[bytes]) -> dict[int, list[bytes]]:
    out: dict[int, list[bytes]] = {}
    for r in recs:
        out.setdefault(number_of(r), []).append(r)
    return out


@settings(max_examples=80, deadline=None)
@given(records, records)
def test_packed_unknown_records_answer_as_the_store(a: list[bytes], b: list[bytes]) -> None:
    data_a, data_b = b"".join(a), b"".join(b)
    want = grouped(a)
    m = Bare.from_binary(data_a)
    assert m.to_binary() == b"".join(r for rs in want.values() for r in rs)
    assert torvex.unknown_fields(m) == want
    assert torvex.unknown_fields(copy.deepcopy(Bare.from_binary(data_a))) == want
    both = grouped(a + b)
    # Merging packed into packed, into an unfolded store, and an unfolded one into packed.
    for unfold_target, unfold_source in ((False, False), (True, False), (False, True)):
        target, source = Bare.from_binary(data_a), Bare.from_binary(data_b)
        if unfold_target:
            torvex.unknown_fields(target)
        if unfold_source:
            torvex.unknown_fields(source)
        target.merge_from(source)
        assert torvex.unknown_fields(target) == {
            k: grouped(a).get(k, []) + grouped(b).get(k, []) for k in grouped(a) | grouped(b)
        }
        assert target.to_binary() == Bare.from_binary(data_a + data_b).to_binary()
    assert torvex.unknown_fields(Bare.from_binary(data_a + data_b)) == both
    store = Bare.from_binary(data_a)._get_or_init_unknown_fields()
    assert store == want


def test_unknown_store_edits_reach_the_encoder() -> None:
    m = Bare.from_binary(b"\x08\x01\x10\x02\x08\x03")
    store = m._get_or_init_unknown_fields()
    assert store is m._unknown_fields
    store[2].append(b"\x10\x04")
    del store[1]
    assert m.to_binary() == b"\x10\x02\x10\x04"
    m.merge_from_binary(b"\x18\x05")  # decoding into an unfolded store extends it
    assert torvex.unknown_fields(m) == {2: [b"\x10\x02", b"\x10\x04"], 3: [b"\x18\x05"]}
    m.clear()
    assert m.to_binary() == b""


def test_unknown_records_cost_about_their_size() -> None:
    # A bytes object and a list entry per record cost about 10 bytes per input byte.
    recs = [record(1 + i % 15, i % 2, i % 8) for i in range(100_000)]
    data = b"".join(recs)
    held, m = held_bytes(lambda: Bare.from_binary(bytes(bytearray(data))))
    assert held / len(data) < 3
    assert m.to_binary() == b"".join(r for rs in grouped(recs).values() for r in rs)
