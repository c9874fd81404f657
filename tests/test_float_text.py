"""Doubles as JSON and text-format numbers: written exactly as repr() writes them and read back
exactly as float() reads them, over random bit patterns, the notation switch points and long,
halfway and out-of-range digit strings."""

from __future__ import annotations

import json
import math
import struct
import sys

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import torvex
from torvex import ScalarType as T

FILE = torvex.File("ft/floats.proto", package="ft")


class Doubles(torvex.Message, file=FILE):
    values: list[float] = torvex.repeated(1, T.DOUBLE)
    one: float = torvex.field(2, T.DOUBLE)
    floats: list[float] = torvex.repeated(3, T.FLOAT)
    single: float = torvex.field(4, T.FLOAT)


def from_bits(bits: int) -> float:
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def same(a: float, b: float) -> bool:
    return struct.pack("<d", a) == struct.pack("<d", b)


FINITE = st.one_of(
    st.integers(0, 2**64 - 1).map(from_bits).filter(math.isfinite),
    st.floats(allow_nan=False, allow_infinity=False),
)
# Where repr() changes notation or the rounding interval is uneven, with both neighbours.
EDGES = [
    v
    for x in (1e16, 1e-4, 1e15, 1e-5, 2.0**53, 2.0**-1022, 5e-324, 1.7976931348623157e308, 0.1)
    for v in (x, math.nextafter(x, 0), math.nextafter(x, math.inf))
    if math.isfinite(v)
]


@settings(max_examples=300, deadline=None)
@given(st.lists(FINITE, min_size=1, max_size=20))
@example(EDGES)
def test_doubles_are_written_as_repr(values):
    msg = Doubles(values=values)
    assert msg.to_json() == '{"values":[' + ",".join(map(repr, values)) + "]}"
    lines = [line.removeprefix("values: ") for line in msg.to_text().splitlines()]
    assert lines == [repr(v) for v in values]


def spellings(x: float) -> list[str]:
    """Ways to write x or a decimal near it: shortest, 17 to 30 digits, plain, exponent forms."""
    return [repr(x), f"{x:.16e}", f"{x:.29e}", f"{x:.20f}", f"{x:.3e}", f"{x:.0e}".upper()]


@settings(max_examples=300, deadline=None)
@given(FINITE)
@example(2.0**53 + 2)  # the tie 2^53 + 1 between it and 2^53, and its neighbours below
def test_numbers_are_read_as_float_reads_them(x):
    texts = spellings(x)
    if 2.0**53 <= abs(x) < 2.0**60:
        n = int(x)
        texts += [f"{n - 1}.0", f"{n - 1}.5", f"{n - 1}.4999999999999999999999"]
    finite = [text for text in texts if math.isfinite(float(text))]
    # List items take their own, shorter way from text to float.
    got = Doubles.from_json('{"values":[' + ",".join(finite) + "]}").values
    assert [struct.pack("<d", v) for v in got] == [struct.pack("<d", float(t)) for t in finite]
    for text in texts:
        want = float(text)
        assert same(Doubles.from_text(f"one: {text}").one, want), text
        if not math.isfinite(want):
            with pytest.raises(ValueError, match="unexpected infinite/NaN number"):
                Doubles.from_json(f'{{"one":{text}}}')
            continue
        assert same(Doubles.from_json(f'{{"one":{text}}}').one, want), text
        assert same(Doubles.from_json(f'{{"one":"{text}"}}').one, want), text


@pytest.mark.parametrize(
    "text",
    [
        # Halfway between two doubles in exact decimal, and a hair to either side.
        "9007199254740993", "9007199254740993.0000000000000000001", "9007199254740992.9999999999",
        "2.4703282292062327208828439643411068618252990130716238221279284125033775363510437e-324",
        "2.4703282292062327208828439643411068618252990130716238221279284125033775363510438e-324",
        "1.7976931348623158e308", "1.7976931348623159e308", "1e-400", "-1e400", "4.9e-324",
        "0.000000000000000000000000000000000000000000001", "123456789012345678901234567890.5",
        "1" + "0" * 400 + ".5", "0." + "0" * 400 + "17", "1e0000000000000000000000300",
    ],
)  # fmt: skip
def test_hard_texts(text):
    want = float(text)
    if math.isfinite(want):
        assert same(Doubles.from_json(f'{{"one":{text}}}').one, want)
        assert same(Doubles.from_json(f'{{"values":[0.5,{text}]}}').values[1], want)
    assert same(Doubles.from_text(f"one: {text}").one, want)


def outcome(read):
    try:
        return [struct.pack("<d", v) for v in read()]
    except (ValueError, TypeError, OverflowError) as e:
        return type(e), str(e).replace("single", "floats").replace("one", "values")


@pytest.mark.parametrize(
    "item",
    [
        "3.4028235e38", "-3.4028235677973366e38", "3.4028235677973362e38", "3.5e38", "1e39",
        "1e400", "-1e400", "1e-400", "2.5", "-0", "7", '"1.5"', '"NaN"', "true", "[]",
        "01", "1.", "-", "1.5e", "1e+", ".5", "1.5x", "1.5 2", "1.5,", "1" * 25, "4.9e-324",
    ],
)  # fmt: skip
@pytest.mark.parametrize("kind", ["one", "single"])
def test_list_items_read_like_single_values(kind, item):
    """A float or double list item is accepted, converted and refused as the singular field's
    value is (error positions shift by the bracket and the leading item)."""
    many = "values" if kind == "one" else "floats"
    single = outcome(lambda: [getattr(Doubles.from_json(f'{{"{kind}":{item}}}'), kind)])
    listed = outcome(lambda: getattr(Doubles.from_json(f'{{"{many}":[0.5,{item}]}}'), many))
    if isinstance(single, tuple):
        assert isinstance(listed, tuple) and listed[0] is single[0], (single, listed)
        if single[0] is not json.JSONDecodeError:
            assert listed[1] == single[1]
    else:
        assert listed == [struct.pack("<d", 0.5)] + single



@pytest.mark.parametrize("size", [1, 4, 5, 8, 9, 17, 1000])
def test_list_items_are_owned_by_the_list_alone(size):
    """Through the list's spare room and each growth: every item counted once, none lost."""
    values = [i + 0.25 for i in range(size)]
    got = Doubles.from_json(json.dumps({"values": values})).values
    assert got == values
    # The list's reference and the call's argument.
    assert {sys.getrefcount(got[i]) for i in range(size)} == {2}
