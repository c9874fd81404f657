"""Inputs two runtimes could read differently, and values a round trip must not change: repeated
names in one JSON object, malformed map entries, JSON map keys out of range, closed-enum numbers
beyond 32 bits, and float32 NaN payloads. Each case is a reproduction the differential fuzzing
against Google's runtime found."""

from __future__ import annotations

import os
import struct
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "fuzz"))

import torvex  # noqa: E402
from schema import Closed, Every  # noqa: E402
from wirebytes import ld, tag, varint, vi  # noqa: E402

# ---- a field or oneof named twice in one JSON object --------------------------------------

# (document, what the error names); each is refused from text, and from the value tree too
# where a dict can hold it (two names of one field, or two oneof members).
TWICE = [
    ('{"i32":-1,"i32":0}', "i32"),
    ('{"uF":[1,2],"uF":[3]}', "u_f"),
    ('{"child":{"i32":1},"child":{"u32":2}}', "child"),
    ('{"pI32":[1],"p_i32":[2]}', "p_i32"),
    ('{"byId":{"1":"C_ONE"},"by_id":{"2":"C_ONE"}}', "by_id"),
    ('{"oI":1,"oS":"test"}', "choice"),
    ('{"oM":{},"o_e":"C_ONE"}', "choice"),
    ('{"child":{"child":{"s":"a","s":"b"}}}', "s"),
    ('{"kids":[{"b":true,"b":false}]}', "b"),
]


def _tree_or_none(doc: str):
    import json

    pairs: list = []
    tree = json.loads(doc, object_pairs_hook=lambda p: pairs.append(len(p) == len(dict(p))) or dict(p))
    return tree if all(pairs) else None


@pytest.mark.parametrize("doc, name", TWICE)
def test_a_name_twice_in_one_object_is_refused(doc, name):
    with pytest.raises(ValueError, match=rf"\b{name}\b"):
        Every.from_json(doc)
    tree = _tree_or_none(doc)
    if tree is not None:
        with pytest.raises(ValueError, match=rf"\b{name}\b"):
            Every.from_dict(tree)


@pytest.mark.parametrize("doc, expected", [
    # A null member sets nothing, so it does not count.
    ('{"i32":null,"i32":5}', Every(i32=5)),
    ('{"oS":null,"oI":1}', Every(choice=torvex.Oneof("o_i", 1))),
    ('{"child":null,"child":{"i32":1}}', Every(child=Every(i32=1))),
    # The same name in different objects is no repeat.
    ('{"i32":1,"child":{"i32":2},"kids":[{"i32":3},{"i32":4}]}',
     Every(i32=1, child=Every(i32=2), kids=[Every(i32=3), Every(i32=4)])),
])  # fmt: skip
def test_null_members_and_other_objects_are_no_repeat(doc, expected):
    assert Every.from_json(doc) == expected
    tree = _tree_or_none(doc)
    if tree is not None:
        assert Every.from_dict(tree) == expected


def test_merging_into_another_oneof_member_is_no_repeat():
    msg = Every(choice=torvex.Oneof("o_s", "x"))
    msg._merge_from_json('{"oI":1}')
    assert msg.choice == torvex.Oneof("o_i", 1)


# ---- map entries ------------------------------------------------------------------------

@pytest.mark.parametrize("hex_input", ["a203051009ffffff", "a20304100977ff", "b20304100177ff",
                                       "9a030412007f07"])  # fmt: skip
def test_malformed_wire_data_in_an_odd_map_entry_is_refused(hex_input):
    with pytest.raises(ValueError):
        Every.from_binary(bytes.fromhex(hex_input))


@pytest.mark.parametrize("entry", [
    ld(2, b"") + vi(1, 3),  # enum value as bytes, then a key
    tag(1, 5) + b"\x01\x00\x00\x00" + vi(2, 1),  # sint32 key as fixed32
    vi(2, 9) + vi(1, 1),  # an unlisted closed-enum value
])  # fmt: skip
def test_a_well_formed_odd_map_entry_is_kept_whole(entry):
    data = vi(5, 1) + ld(51, entry)  # unknown records are written after the known fields
    msg = Every.from_binary(data)
    assert msg.by_id == {} and msg.i32 == 1
    assert torvex.unknown_fields(msg) == {51: [ld(51, entry)]}
    assert msg.to_binary() == data


# ---- JSON map keys ---------------------------------------------------------------------

@pytest.mark.parametrize("doc", [
    {"byId": {"-21047483647": "C_ONE"}},
    {"byId": {"2147483648": "C_ONE"}},
    {"sizes": {"184467440737095551614": 1}},
    {"sizes": {"18446744073709551616": 1}},
    {"sizes": {"-1": 1}},
    {"child": {"lean": {"tags": {"a": "1"}}, "byId": {"-2147483649": "C_ONE"}}},
])  # fmt: skip
def test_integer_map_keys_are_range_checked(doc):
    import json

    for read, arg in ((Every.from_json, json.dumps(doc)), (Every.from_dict, doc)):
        with pytest.raises(OverflowError, match=r"out of range for u?int(32|64) for field fz\.Every\.(by_id|sizes)"):
            read(arg)


def test_integer_map_keys_at_their_limits_are_read():
    doc = {"byId": {"-2147483648": "C_ONE", "2147483647": "C_NEG"},
           "sizes": {"0": 1, "18446744073709551615": 2}}  # fmt: skip
    msg = Every.from_dict(doc)
    assert msg.by_id == {-(2**31): Closed.C_ONE, 2**31 - 1: Closed.C_NEG}
    assert Every.from_binary(msg.to_binary()) == msg == Every.from_json(msg.to_json())


# ---- values kept through a binary round trip -------------------------------------------

# An enum reads the low 32 bits (2**32 is C_ZERO); numbers whose low bits are unlisted are kept
# with all their bits.
@pytest.mark.parametrize("value", [2**36 - 1, 2**32 + 5, 2**63 + 9, 2**64 - 1, 2**31])
@pytest.mark.parametrize("number", [19, 64])  # singular, oneof member
def test_unlisted_closed_enum_numbers_keep_their_value(number, value):
    data = vi(number, value)
    msg = Every.from_binary(data)
    assert msg.to_binary() == data
    assert torvex.unknown_fields(msg) == {number: [data]}


def test_unlisted_packed_closed_enum_numbers_keep_their_value():
    msg = Every.from_binary(ld(35, varint(1) + varint(2**36 - 1) + varint(2**40 + 7) + varint(2**32)))
    assert msg.p_closed == [Closed.C_ONE, Closed.C_ZERO]
    assert torvex.unknown_fields(msg) == {35: [vi(35, 2**36 - 1), vi(35, 2**40 + 7)]}


FLOAT32_NANS = [0x7F800001, 0x7F800008, 0xFFBFFFFF, 0x7FC00000, 0x7FC00001, 0xFFFFFFFF]


@pytest.mark.parametrize("bits", FLOAT32_NANS, ids=hex)
def test_float32_nan_bits_survive_decode_and_encode(bits):
    raw = struct.pack("<I", bits)
    for data in (tag(2, 5) + raw, tag(37, 5) + raw + tag(37, 5) + raw):
        msg = Every.from_binary(data)
        assert msg.to_binary() == data
        # The value stays a NaN to Python; copying it keeps the bits too.
        assert msg.f != msg.f if msg.u_f == [] else all(x != x for x in msg.u_f)
        assert Every.from_binary(msg.to_binary()).to_binary() == data


@pytest.mark.parametrize("bits", [0x7FF0000000000001, 0xFFF4000000000000, 0x7FF8000000000001])
def test_float64_nan_bits_survive(bits):
    data = tag(1, 1) + struct.pack("<Q", bits) + ld(32, struct.pack("<Q", bits))
    assert Every.from_binary(data).to_binary() == data
