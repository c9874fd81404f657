"""Plain scalar fields with one-byte tags take a shortcut in the decoder when their class holds
them in slots. The same schema with attributes in an instance dict takes the general path: both
must end in the same state, or fail the same way, on any record sequence."""

import math
import struct
import tracemalloc

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from schema_helpers import EXPLICIT, IMPLICIT, DescOneof, ScalarType, field, list_value, scalar, simple
from test_parser import tag, varint

T = ScalarType
PICK = DescOneof("pick", "pick")
# Every scalar type below 16, a oneof member, a list and fields past the one-byte tags.
LAYOUT = [
    (1, T.INT32, 0), (2, T.INT64, EXPLICIT), (3, T.STRING, PICK), (4, T.UINT32, 0),
    (6, T.SINT32, EXPLICIT), (7, T.SINT64, 0), (8, T.FIXED32, 0), (9, T.FIXED64, EXPLICIT),
    (10, T.SFIXED32, 0), (11, T.SFIXED64, 0), (12, T.BOOL, EXPLICIT), (13, T.DOUBLE, 0),
    (14, T.FLOAT, 0), (15, T.STRING, EXPLICIT), (16, T.BYTES, 0), (17, T.UINT64, EXPLICIT),
]  # fmt: skip


def fields():
    out = [field(5, "xs", list_value(T.INT32))]
    for number, t, extra in LAYOUT:
        if isinstance(extra, DescOneof):
            out.append(field(number, f"f{number}", scalar(t, extra), EXPLICIT))
        else:
            out.append(field(number, f"f{number}", scalar(t), extra or IMPLICIT))
    return out


SLOTS = simple("ShortcutSlots", fields(), oneofs=[PICK])
DICT = simple("ShortcutDict", fields(), oneofs=[PICK], slots=False)
NAMES = ["xs", "pick"] + [f"f{n}" for n, _, extra in LAYOUT if not isinstance(extra, DescOneof)]
PAYLOADS = {
    0: st.integers(0, 2**64 - 1).map(varint),
    1: st.binary(min_size=8, max_size=8),
    2: st.binary(max_size=12).map(lambda b: varint(len(b)) + b),
    5: st.binary(min_size=4, max_size=4),
}
record = st.tuples(st.integers(1, 18), st.sampled_from(list(PAYLOADS))).flatmap(
    lambda nw: PAYLOADS[nw[1]].map(lambda payload: tag(*nw) + payload)
)


def outcome(cls, data: bytes):
    try:
        m = cls.from_binary(data)
    except Exception as e:  # noqa: BLE001 - both paths must raise alike, whatever it is
        notes = [n.replace(cls.__name__, "Cls") for n in getattr(e, "__notes__", [])]
        return ("error", type(e), str(e).replace(cls.__name__, "Cls"), notes)
    values = []
    for name in NAMES:
        v = getattr(m, name)
        # NaN payloads compare by bits; Oneofs by what they hold.
        if isinstance(v, float) and math.isnan(v):
            v = ("nan", v.hex())
        elif name == "pick" and v is not None:
            v = (v.field, v.value)
        values.append(v)
    return values, m._present, m._unknown_fields, m.to_binary()


@settings(max_examples=400, deadline=None)
@given(records=st.lists(record, max_size=12), tail=st.binary(max_size=3))
def test_shortcut_matches_general_path(records, tail):
    data = b"".join(records) + tail
    assert outcome(SLOTS, data) == outcome(DICT, data)


@pytest.mark.parametrize("number", [1, 15])
def test_replaced_values_are_released(number):
    # Each occurrence replaces the value before it: no reference to the old one may stay.
    t = dict((n, t) for n, t, _ in LAYOUT)[number]
    payload = varint(2**40) if t == T.INT32 else varint(3) + b"abc"
    data = (tag(number, 0 if t == T.INT32 else 2) + payload) * 4
    SLOTS.from_binary(data)
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(2000):
            SLOTS.from_binary(data)
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 20_000  # three leaked objects per call would be about 200 kB


# ---- values against a model of the wire rules --------------------------------------------

M64 = (1 << 64) - 1
# Raw 64-bit values at the edges the decoder treats apart: each varint length, the 30- and
# 60-bit digit boundaries of Python ints, 32-bit truncation and the sign bit.
EDGES = [(1 << s) + d for s in (7, 14, 21, 28, 30, 31, 32, 35, 49, 56, 60, 62, 63) for d in (-1, 0, 1)]
raw64 = st.one_of(st.sampled_from(EDGES), st.sampled_from(EDGES).map(lambda e: -e & M64),
                  st.integers(0, M64), st.integers(0, 300))  # fmt: skip


def signed(u, bits):
    u &= (1 << bits) - 1
    return u - (1 << bits) if u >> (bits - 1) else u


def unzigzag(u):
    return (u >> 1) ^ -(u & 1)


VARINT_MODEL = {
    T.INT32: lambda u: signed(u, 32), T.INT64: lambda u: signed(u, 64),
    T.UINT32: lambda u: u & 0xFFFFFFFF, T.UINT64: lambda u: u, T.BOOL: bool,
    T.SINT32: lambda u: unzigzag(u & 0xFFFFFFFF), T.SINT64: unzigzag,
}  # fmt: skip
FIXED_MODEL = {T.FIXED32: "<I", T.SFIXED32: "<i", T.FIXED64: "<Q", T.SFIXED64: "<q",
               T.FLOAT: "<f", T.DOUBLE: "<d"}  # fmt: skip
text = st.text(st.sampled_from("ab~\x7f\x80é€😀"), max_size=40) | st.text(max_size=20)


def encoded(t):
    """(wire type, payload, the value the model decodes from it) for scalar type t."""
    if t in VARINT_MODEL:
        return raw64.map(lambda u: (0, varint(u), VARINT_MODEL[t](u)))
    if t in FIXED_MODEL:
        fmt = FIXED_MODEL[t]
        size = struct.calcsize(fmt)
        raw = raw64.map(lambda u: (u & ((1 << 8 * size) - 1)).to_bytes(size, "little"))
        return raw.map(lambda b: (1 if size == 8 else 5, b, struct.unpack(fmt, b)[0]))
    if t == T.STRING:
        return text.map(lambda s: (2, varint(len(s.encode())) + s.encode(), s))
    return st.binary(max_size=40).map(lambda b: (2, varint(len(b)) + b, b))


SCALARS = [(n, t) for n, t, extra in LAYOUT if not isinstance(extra, DescOneof)]


FRESH = SLOTS()


@st.composite
def in_order(draw):
    """The scalar fields in declaration order, which the decoder expects next, some left out,
    some repeated (the last one wins), some misfits; with the model's values."""
    data = b""
    expected = {f"f{number}": getattr(FRESH, f"f{number}") for number, _ in SCALARS}
    for number, t in SCALARS:
        for _ in range(draw(st.sampled_from([0, 1, 1, 1, 2]))):
            wt, payload, value = draw(encoded(t))
            if draw(st.integers(0, 9)) == 0:
                misfit = 1 if wt == 0 else 0
                data += tag(number, misfit) + (bytes(8) if misfit else varint(7))
            data += tag(number, wt) + payload
            expected[f"f{number}"] = value
    return data, expected


def comparable(v):
    return ("nan", type(v)) if isinstance(v, float) and math.isnan(v) else (v, type(v))


@settings(max_examples=300, deadline=None)
@given(in_order())
def test_values_match_the_wire_model(case):
    data, expected = case
    for cls in (SLOTS, DICT):
        m = cls.from_binary(data)
        got = {name: comparable(getattr(m, name)) for name in expected}
        assert got == {name: comparable(v) for name, v in expected.items()}


@settings(max_examples=60, deadline=None)
@given(in_order())
def test_every_cut_fails_alike_on_both_paths(case):
    data, _ = case
    for end in range(len(data)):
        assert outcome(SLOTS, data[:end]) == outcome(DICT, data[:end])


@pytest.mark.parametrize("n", range(41))
def test_short_values_copied_whole(n):
    # Every length around the copy's word sizes, with a non-ASCII last character too.
    plain = "".join(chr(97 + i % 26) for i in range(n))
    blob = bytes(range(1, n + 1))
    for text in {plain, plain[:-1] + "é"}:
        raw = text.encode()
        m = SLOTS.from_binary(tag(15, 2) + varint(len(raw)) + raw + tag(16, 2) + varint(n) + blob)
        assert (m.f15, m.f16) == (text, blob)
