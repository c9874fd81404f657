"""Deterministic bytes, sorted and indented JSON, and byte_size, over generated schemas: the
order of map entries on the wire at every level, agreement with the peer, and errors that are
exactly the plain encoders'."""

from __future__ import annotations

import gc
import json
import random
import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st

import torvex
from peer import peer_class, snapshot, to_peer
from test_reflection import walk
from test_roundtrip_property import SETTINGS, schema_and_values
from torvex import ScalarType as T
from torvex import wkt
from torvex._descriptors import DescFieldValueList, DescFieldValueMap, DescFieldValueScalar

SIGNED = {T.INT32, T.INT64, T.SINT32, T.SINT64, T.SFIXED32, T.SFIXED64}


def order_key(key_type: T, key):
    if key_type is T.STRING:
        return key.encode()
    return key  # ints by value (signed types keep their sign), False < True


def shuffled(msg, rnd: random.Random):
    """An equal message whose dicts, at every level, were filled in another order."""
    for node in walk(msg):
        for f in type(node)._desc.fields:
            if isinstance(f.value, DescFieldValueMap):
                items = list(getattr(node, f.local_name).items())
                rnd.shuffle(items)
                setattr(node, f.local_name, dict(items))
    return msg


def map_orders(msg):
    """(key type, keys in dict order) of every map at every level."""
    return [
        (f.value.key, list(getattr(node, f.local_name)))
        for node in walk(msg)
        for f in type(node)._desc.fields
        if isinstance(f.value, DescFieldValueMap)
    ]


@SETTINGS
@given(schema_and_values(map_size=6), st.randoms(use_true_random=False))
def test_deterministic_bytes_sort_every_map_and_ignore_fill_order(case, rnd):
    schema, (msg,) = case
    cls = schema.root
    data = msg.to_binary(deterministic=True)
    # The parser keeps entries in wire order, so the decoded dicts show the order written.
    for key_type, keys in map_orders(cls.from_binary(data)):
        assert keys == sorted(keys, key=lambda k: order_key(key_type, k))
    assert shuffled(cls.from_binary(msg.to_binary()), rnd).to_binary(deterministic=True) == data
    assert len(data) == len(msg.to_binary()) == msg.byte_size()
    peer = peer_class(cls).FromString(data)
    assert snapshot(cls.from_binary(peer.SerializeToString())) == snapshot(msg)
    assert peer.ByteSize() == msg.byte_size()


class SubInt(int):
    """Ints, floats and strs of these types leave the encoder's fast paths for the general ones."""


class SubFloat(float):
    pass


class SubStr(str):
    pass


def subclassed(value):
    for base, sub in ((bool, None), (int, SubInt), (float, SubFloat), (str, SubStr)):
        if isinstance(value, base):
            return sub(value) if sub else value
    return value


def with_subclassed_values(msg, rnd: random.Random):
    """The message with about half its plain scalars (singular or in lists) replaced by equal
    values of subclasses, at every level."""
    for node in walk(msg):
        for f in type(node)._desc.fields:
            value = f.value
            if isinstance(value, DescFieldValueScalar) and value.oneof is None:
                if rnd.random() < 0.5:
                    setattr(node, f.local_name, subclassed(getattr(node, f.local_name)))
            elif isinstance(value, DescFieldValueList) and isinstance(value.element, T):
                items = getattr(node, f.local_name)
                items[:] = [subclassed(v) if rnd.random() < 0.5 else v for v in items]
    return msg


def varint(n: int) -> bytes:
    out = bytearray()
    while n >= 0x80:
        out.append(n & 0x7F | 0x80)
        n >>= 7
    return bytes(out) + bytes([n])


def unknown_records(cls, kinds: list[int]) -> bytes:
    """One record per wire type in `kinds` (0 varint, 1 fixed64, 2 LEN, 5 fixed32), under a
    field number the class does not declare."""
    taken = {f.number for f in cls._desc.fields}
    number = next(n for n in range(1, 100) if n not in taken)
    payload = {0: b"\x2a", 1: bytes(range(8)), 2: b"\x03abc", 5: b"\x01\x02\x03\x04"}
    return b"".join(varint(number << 3 | k) + payload[k] for k in kinds)


@SETTINGS
@given(schema_and_values(map_size=4), st.lists(st.sampled_from([0, 1, 2, 5]), max_size=4),
       st.randoms(use_true_random=False))  # fmt: skip
def test_byte_size_is_the_length_of_every_encoding(case, kinds, rnd):
    schema, (msg,) = case
    data, records = msg.to_binary(), unknown_records(schema.root, kinds)
    variants = [msg, schema.root.from_binary(data + records)]
    assert variants[1].byte_size() == len(data) + len(records)  # kept, and written last
    variants.append(with_subclassed_values(schema.root.from_binary(data), rnd))
    for m in variants:
        size = m.byte_size()
        assert size == len(m.to_binary()) == len(m.to_binary(deterministic=True))
        assert len(m.to_binary(write_unknown_fields=False)) <= size


def test_int64_keys_come_out_by_signed_value():
    File = torvex.File("det/i.proto", package="det")

    class M(torvex.Message, file=File):
        m: dict[int, int] = torvex.map_field(1, T.INT64, T.INT32)
        u: dict[int, int] = torvex.map_field(2, T.UINT64, T.INT32)
        b: dict[bool, int] = torvex.map_field(3, T.BOOL, T.INT32)

    keys = [-1, -2, -3, 7, 6, 0, 2**63 - 1, -(2**63)]
    msg = M(m=dict.fromkeys(keys, 1), u=dict.fromkeys([2**64 - 1, 0, 2**63, 5], 1),
            b={True: 1, False: 2})  # fmt: skip
    back = M.from_binary(msg.to_binary(deterministic=True))
    assert list(back.m) == sorted(keys)
    assert list(back.u) == [0, 5, 2**63, 2**64 - 1]
    assert list(back.b) == [False, True]


@SETTINGS
@given(schema_and_values(map_size=5), st.sampled_from([0, 1, 2, 4]))
def test_json_sorted_and_indented_are_the_compact_documents(case, indent):
    schema, (msg,) = case
    plain = json.loads(msg.to_json())
    sorted_text = msg.to_json(sort_keys=True)
    assert json.loads(sorted_text) == plain
    assert msg.to_dict(sort_keys=True) == plain
    pairs: list[list[str]] = []
    json.loads(sorted_text, object_pairs_hook=lambda kv: pairs.append([k for k, _ in kv]) or {})
    for key_type, keys in map_orders(msg):
        if keys:
            written = [str(k).lower() if key_type is T.BOOL else str(k) for k in
                       sorted(keys, key=lambda k: order_key(key_type, k))]  # fmt: skip
            assert written in pairs
    for sort_keys in (False, True):
        expected = json.dumps(json.loads(msg.to_json(sort_keys=sort_keys)), indent=indent,
                              ensure_ascii=False)  # fmt: skip
        assert msg.to_json(indent=indent, sort_keys=sort_keys) == expected


def test_struct_members_sort_and_indent_like_json_dumps():
    s = wkt.Struct.from_dict({"b": [1, {"z": None, "a": "é"}], "a": {}, "": []})
    assert s.to_json(sort_keys=True, indent=3) == json.dumps(
        s.to_dict(), sort_keys=True, indent=3, ensure_ascii=False
    )


# ---- errors: exactly the plain encoders' ---------------------------------------------------

FILE = torvex.File("det/e.proto", package="dete")


class Bag(torvex.Message, file=FILE):
    by_id: dict[int, str] = torvex.map_field(1, T.INT32, T.STRING)
    by_name: dict[str, float] = torvex.map_field(2, T.STRING, T.DOUBLE)
    child: Bag | None = torvex.field(3, "Bag")
    n: int = torvex.field(4, T.UINT32)
    ratio: float = torvex.field(5, T.FLOAT)
    names: list[str] = torvex.repeated(6, T.STRING)
    kids: list[Bag] = torvex.repeated(7, "Bag")


class Floaty:
    """A double value whose conversion runs Python code that empties the map being written."""

    def __init__(self, victim: dict) -> None:
        self.victim = victim

    def __float__(self) -> float:
        self.victim.clear()
        gc.collect()
        return 1.5


BAD = [
    Bag(by_id={1: "a", "2": "b"}),
    Bag(by_id={1: "a", 2**31: "b"}),
    Bag(by_id={True: "x"}),
    Bag(by_name={"a": 1.0, b"b": 2.0}),
    Bag(by_name={"\ud800": 1.0, "a": 2.0}),
    Bag(by_name={"a": "x"}),
    Bag(child=Bag(by_id={3: 4})),
    Bag(n=-1),
    Bag(child=Bag(child=Bag(n=2**32))),
    Bag(ratio=1e300),
    Bag(kids=[Bag(), Bag(names=["a", "\udc00"])]),
    Bag(kids=[Bag(n=1), Bag(ratio=-1e39), Bag()]),
    Bag(child=Bag(names=["x", 3])),
    Bag(by_name={"a": SubStr("x")}),
]


def outcome(fn):
    try:
        return ("ok", fn())
    except Exception as exc:  # the comparison is the point
        return (type(exc), str(exc), getattr(exc, "__notes__", None))


@pytest.mark.parametrize("msg", BAD, ids=range(len(BAD)))
def test_every_binary_path_fails_as_to_binary_does(msg):
    plain = outcome(msg.to_binary)
    assert plain[0] != "ok"
    assert outcome(lambda: msg.to_binary(deterministic=True))[:2] == plain[:2]
    size = outcome(msg.byte_size)
    assert size[:2] == plain[:2]
    assert size[2] == [n.replace("encoding", "sizing") for n in plain[2]]


@pytest.mark.parametrize(
    "msg, error",
    [
        (Bag(by_id={1: "a", "2": "b"}), "expected int, got <class 'str'>"),
        (Bag(by_id={1.5: "a"}), "expected int, got <class 'float'>"),
        (Bag(by_id={2**40: "a"}), "out of range for int32"),
    ],
)
def test_sorted_json_needs_keys_of_the_key_type(msg, error):
    msg.to_json()  # the unsorted writer takes any key of an integer map as its str()
    with pytest.raises((TypeError, OverflowError), match=error) as info:
        msg.to_json(sort_keys=True)
    assert any("by_id" in note for note in info.value.__notes__)
    with pytest.raises(type(info.value), match=error):
        msg.to_dict(sort_keys=True)


def test_string_keys_fail_alike_sorted_or_not():
    msg = Bag(child=Bag(by_name={"a": 1.0, 1: 2.0}))
    assert outcome(lambda: msg.to_json(sort_keys=True)) == outcome(msg.to_json)
    assert outcome(msg.to_json)[0] is TypeError


@pytest.mark.parametrize(
    "kwargs, error", [({"indent": "  "}, TypeError), ({"indent": True}, TypeError),
                      ({"indent": -1}, ValueError), ({"indent": 65}, ValueError),
                      ({"sort_keys": 1}, TypeError)],  # fmt: skip
)
def test_json_options_are_checked(kwargs, error):
    with pytest.raises(error):
        Bag().to_json(**kwargs)


def test_python_code_that_empties_the_map_cannot_break_the_snapshot():
    inner: dict = {}
    msg = Bag(by_name=inner)
    inner.update({"b": Floaty(inner), "a": 2.0, "c": 3.0})
    data = msg.to_binary(deterministic=True)
    assert list(Bag.from_binary(data).by_name.items()) == [("a", 2.0), ("b", 1.5), ("c", 3.0)]
    assert inner == {}


def test_no_references_are_kept():
    keys = [f"k{i}" for i in range(50)]
    values = [float(i) + 0.5 for i in range(50)]
    msg = Bag(by_name=dict(zip(keys, values)), by_id={i: keys[i] for i in range(50)})
    before = [sys.getrefcount(x) for x in keys + values]
    for _ in range(200):
        msg.to_binary(deterministic=True)
        msg.to_json(sort_keys=True, indent=2)
        msg.byte_size()
        msg.to_dict(sort_keys=True)
        try:
            Bag(by_id={1: "a", "x": "b"}).to_binary(deterministic=True)
        except TypeError:
            pass
    assert [sys.getrefcount(x) for x in keys + values] == before
