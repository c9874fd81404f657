"""Presence bits against a Python model: set, clear, merge, copy and decode sequences on messages
whose field numbers sit on both sides of the one-word and the 320-number boundaries."""

import copy

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from schema_helpers import EXPLICIT, field, scalar, simple

LAYOUTS = {
    "1": [1],
    "63": list(range(1, 64)),
    "64": list(range(1, 65)),
    "65": list(range(1, 66)),
    "200": list(range(1, 201)),
    "sparse": [1, 63, 64, 127, 128, 319, 320, 5000],  # numbers from 320 up: hashed
}
CLASSES = {
    key: simple(f"Presence{key.title()}", [field(n, f"f{n}", scalar(5), EXPLICIT) for n in ns])
    for key, ns in LAYOUTS.items()
}


def changes(numbers: list[int]):
    """Field numbers with values; the boundary numbers are drawn far more often than by chance."""
    edges = [n for n in numbers if n in (1, 63, 64, 65, 127, 128, 200, 319, 320, 5000)]
    pick = st.one_of(st.sampled_from(numbers), st.sampled_from(edges))
    return st.dictionaries(pick, st.integers(-(2**31), 2**31 - 1), max_size=8)


def operations(numbers: list[int]):
    n = st.sampled_from(numbers)
    return st.lists(
        st.one_of(
            st.tuples(st.just("set"), changes(numbers)),
            st.tuples(st.just("clear"), n),
            st.tuples(st.just("merge"), changes(numbers)),
            st.tuples(st.just("merge_binary"), changes(numbers)),
            st.just(("copy",)),
            st.just(("decode",)),
        ),
        max_size=25,
    )


def build(cls, values: dict[int, int]):
    msg = cls()
    for n, v in values.items():
        setattr(msg, f"f{n}", v)
    return msg


def check(msg, model: dict[int, int], numbers: list[int]) -> None:
    assert msg._present == sorted(model)
    for n in numbers:
        assert msg._get_field_number_present(n) == (n in model)
        if n in model:
            assert getattr(msg, f"f{n}") == model[n]


@pytest.mark.parametrize("key", LAYOUTS)
@settings(max_examples=60, deadline=None)
@given(data=st.data())
def test_presence_follows_model(key, data):
    cls, numbers = CLASSES[key], LAYOUTS[key]
    msg, model = cls(), {}
    for op in data.draw(operations(numbers)):
        if op[0] == "set":
            for n, v in op[1].items():
                setattr(msg, f"f{n}", v)
            model.update(op[1])
        elif op[0] == "clear":
            msg._clear_field_number_present(op[1])
            setattr(msg, f"f{op[1]}", 0)
            msg._clear_field_number_present(op[1])
            model.pop(op[1], None)
        elif op[0] == "merge":
            msg._merge_from(build(cls, op[1]), False)
            model.update(op[1])
        elif op[0] == "merge_binary":
            msg._merge_from_binary(build(cls, op[1]).to_binary(), False)
            model.update(op[1])
        elif op[0] == "copy":
            msg = copy.deepcopy(msg)
        else:
            msg = cls.from_binary(msg.to_binary())
        check(msg, model, numbers)
    # Every writer sees the same bits: a round trip through bytes keeps exactly the model.
    check(cls.from_binary(msg.to_binary()), model, numbers)


@pytest.mark.parametrize("key", ["1", "63", "200"])
@pytest.mark.parametrize("number", [0x40, 0x7F, 0x13F])
def test_numbers_without_a_field_below_320_are_kept(key, number):
    # The low-level API marks any number an inline set can hold, also past the class's fields.
    msg = CLASSES[key]()
    msg._set_field_number_present(1)
    msg._set_field_number_present(number)
    assert msg._present == sorted({1, number})
    other = copy.deepcopy(msg)
    fresh = CLASSES[key]()
    fresh._merge_from(msg, False)
    assert other._present == fresh._present == msg._present
    msg._clear_field_number_present(number)
    assert msg._present == [1]

