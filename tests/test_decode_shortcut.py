"""Plain scalar fields with one-byte tags take a shortcut in the decoder when their class holds
them in slots. The same schema with attributes in an instance dict takes the general path: both
must end in the same state, or fail the same way, on any record sequence."""

import math
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
