"""Encoding values a careless or hostile caller can put into a message: wrong types on every
path a value takes (singular, repeated, map key and value, oneof member), odd subclasses, and
conversion callbacks that mutate the message being encoded. Only the documented exceptions may
come out, the interpreter must survive, and whatever encodes must parse back."""

from __future__ import annotations

import gc
import os
import re
import sys

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "fuzz"))

from schema import Closed, Every, Lean, Needs  # noqa: E402

from torvex import Oneof  # noqa: E402
from torvex import ScalarType as T  # noqa: E402
from torvex._descriptors import (  # noqa: E402
    DescEnum,
    DescFieldValueEnum,
    DescFieldValueList,
    DescFieldValueMap,
    DescFieldValueScalar,
)

# Every place a string or bytes value can sit, as (expected kind, builder of the message).
PLACES = {
    "string": {
        "singular": lambda v: Every(s=v),
        "repeated": lambda v: Every(words=[v]),
        "map key": lambda v: Every(labels={v: "x"}),
        "map value": lambda v: Every(labels={"k": v}),
        "oneof": lambda v: Every(choice=Oneof("o_s", v)),
    },
    "bytes": {
        "singular": lambda v: Every(by=v),
        "repeated": lambda v: Every(blobs=[v]),
        "map value": lambda v: Every(flags={True: v}),
    },
}
VALUES = [2.5, 7, b"x", "x", bytearray(b"x"), 1 << 70, ("x",)]


@pytest.mark.parametrize("kind, place", [(k, p) for k in PLACES for p in PLACES[k]])
@pytest.mark.parametrize("value", VALUES)
def test_wrong_type_in_string_and_bytes_places(kind, place, value):
    # A float's header read as a str's was the fault: the type test must come first.
    if place == "map key" and value.__hash__ is None:
        value = tuple(value)
    msg = PLACES[kind][place](value)
    if isinstance(value, str if kind == "string" else bytes):
        assert Every.from_binary(msg.to_binary()) == msg
        return
    with pytest.raises(TypeError, match=re.escape(f"expected {kind}, got {type(value)!r}")):
        msg.to_binary()


# ---- where an encoding failed ----------------------------------------------------------------

NOTE_CASES = [
    (lambda: Every(kids=[Every(), Every(grp=Every(p_i32=[1, "x"]))]), TypeError,
     "expected int, got <class 'str'>", "fz.Every.kids[1].grp.p_i32[1]"),
    (lambda: Every(by_name={"a": Every(), 'b"': Every(s=3)}), TypeError,
     "expected string, got <class 'int'>", "fz.Every.by_name['b\"'].s"),
    (lambda: Every(by_id={-4: 9}), ValueError, "invalid enum value 9 for enum 'fz.Closed'",
     "fz.Every.by_id[-4]"),
    (lambda: Every(needs=Needs()), ValueError,
     "cannot encode key to binary: required field not set", "fz.Every.needs.key"),
    (lambda: Every(choice=Oneof("o_m", Every(child=Every(closed=7)))), ValueError,
     "invalid enum value 7 for enum 'fz.Closed'", "fz.Every.o_m.child.closed"),
    (lambda: Every(u_u64=[1, 2, -1]), OverflowError, "value -1 out of range for uint64",
     "fz.Every.u_u64[2]"),
    (lambda: Every(words=["ok", "\ud800"]), UnicodeEncodeError, "surrogates not allowed",
     "fz.Every.words[1]"),
    (lambda: Every(s=1.5), TypeError, "expected string, got <class 'float'>", "fz.Every.s"),
]  # fmt: skip


@pytest.mark.parametrize("build, exc, text, path", NOTE_CASES)
def test_failure_note_names_the_field_path(build, exc, text, path):
    msg = build()
    with pytest.raises(exc) as info:
        msg.to_binary()
    assert text in str(info.value) and type(info.value) is exc  # class and text untouched
    assert info.value.__notes__ == [f"while encoding {path}"]
    with pytest.raises(exc) as again:  # nothing carried over from the failed call
        msg.to_binary()
    assert again.value.__notes__ == info.value.__notes__


def test_no_note_for_failures_of_the_message_itself():
    with pytest.raises(TypeError) as info:
        Every(choice=5).to_binary()
    assert not hasattr(info.value, "__notes__")


def test_note_survives_a_key_whose_repr_fails():
    class Key(str):
        def __repr__(self):
            raise RuntimeError("no repr")

    with pytest.raises(TypeError, match="expected string") as info:
        Every(labels={Key("k"): 5}).to_binary()
    assert not hasattr(info.value, "__notes__")  # the original error, without a note


# ---- hostile values, property-tested ---------------------------------------------------------


class Boom(Exception):
    """Raised by the callbacks below: must come out of to_binary unchanged."""


# What to_binary may raise for bad values (RuntimeError: a container changed size under it).
DOCUMENTED = (TypeError, ValueError, OverflowError, RecursionError, AttributeError, RuntimeError,
              Boom)  # fmt: skip


class Chaos:
    """Actions run from inside conversions, against the message tree being encoded."""

    def __init__(self, actions: list[int]):
        self.actions = actions
        self.victims: list = []
        self.busy = False
        self.armed = False  # only while to_binary runs
        self.ran = False

    def __call__(self) -> None:
        if self.busy or not self.armed or not self.actions:
            return
        self.busy = True  # no recursion through our own re-entry
        self.ran = True
        try:
            act = self.actions.pop()
            m = self.victims[act % len(self.victims)]
            match act % 10:
                case 0: m.words.clear(); m.kids.clear(); m.p_i32.clear()
                case 1: m.words.extend(["w"] * 50); m.kids.extend(Every() for _ in range(20))
                case 2: m.labels = {"new": "map"}; m.by_name.clear()
                case 3: m.labels.update((f"k{i}", "v") for i in range(40))
                case 4: m.choice = Oneof("o_s", "other") if act & 16 else None
                case 5: Every.from_binary(Every(kids=[Every(s="re")]).to_binary())
                case 6: gc.collect()
                case 7: m.to_binary()
                case 8: m.s = 1.5; m.child = None
                case _: raise Boom("callback")
        finally:
            self.busy = False


def odd_values(chaos: Chaos) -> dict[str, list]:
    """Values by the kind they pretend to be: plain edge values, and subclasses of the builtins
    whose protocols run the chaos or misbehave."""

    class OddInt(int):
        def __index__(self):
            chaos()
            return 1 << 80

        def __eq__(self, other):
            chaos()
            return False

        __hash__ = int.__hash__

        def __bool__(self):
            chaos()
            return True

    class OddFloat(float):
        def __float__(self):
            chaos()
            return float("nan")

    class Floaty:
        def __float__(self):
            chaos()
            return 2.5

    class Indexy:
        def __index__(self):
            chaos()
            return 1

    class OddStr(str):
        def __hash__(self):
            chaos()
            return 7

        def __eq__(self, other):
            chaos()
            return True

        def __bool__(self):
            chaos()
            return False

    class OddBytes(bytes):
        def __len__(self):
            chaos()
            return 0

    class OddList(list):
        def __bool__(self):
            chaos()
            return True

    class OddDict(dict):
        def __bool__(self):
            chaos()
            return True

        def __iter__(self):
            chaos()
            return iter(())

    return {
        "int": [0, -1, 1 << 31, 1 << 64, -(1 << 63) - 1, 1 << 200, True, 2.5, OddInt(3),
                OddInt(-(1 << 70)), Indexy(), Closed.C_NEG],
        "float": [2.5, float("nan"), float("inf"), -0.0, 1e39, 1, True, "1.5", OddFloat(1.0),
                  Floaty(), Indexy()],
        "bool": [True, False, 1, None],
        "str": ["", "ok", "\ud800", "é", b"x", OddStr("s"), OddStr("\ud800"), OddStr("")],
        "bytes": [b"", b"x", bytearray(b"y"), "s", OddBytes(b"b"), memoryview(b"m")],
        "enum": [Closed.C_NEG, 0, 1, 7, -(1 << 40), True, OddInt(1), Indexy(), 2.0],
        "message": [None, Every(), Every(s=3), Every(p_i32=[OddInt(1)]), Lean(), Needs(), 5],
        "list": [OddList(["x", 1]), OddList([OddInt(2)]), ("t",)],
        "dict": [OddDict({OddStr("k"): OddInt(1)}), OddDict({1: Every()}), {"a": 1}],
    }


def kind_of(element) -> str:
    if isinstance(element, T):
        if element in (T.DOUBLE, T.FLOAT):
            return "float"
        return {T.BOOL: "bool", T.STRING: "str", T.BYTES: "bytes"}.get(element, "int")
    return "enum" if isinstance(element, DescEnum) else "message"


def field_values(f, odd: dict[str, list]):
    """A strategy of values for field `f`: mostly of about the right shape, sometimes anything."""
    anything = st.sampled_from([v for vs in odd.values() for v in vs])
    v = f.value
    if isinstance(v, DescFieldValueList):
        one = st.sampled_from(odd[kind_of(v.element)])
        lists = st.lists(one, max_size=4)
        return st.one_of(lists, lists.map(type(odd["list"][0])), anything)
    if isinstance(v, DescFieldValueMap):
        keys = st.sampled_from(odd[kind_of(v.key)])
        vals = st.sampled_from(odd[kind_of(v.value)])
        pairs = st.lists(st.tuples(keys, vals), max_size=3)
        dicts = pairs.map(lambda kv: {k: x for k, x in kv if k.__hash__ is not None})
        return st.one_of(dicts, dicts.map(type(odd["dict"][0])), anything)
    if isinstance(v, DescFieldValueScalar):
        own = v.scalar
    else:
        own = v.enum if isinstance(v, DescFieldValueEnum) else v.message
    return st.one_of(st.sampled_from(odd[kind_of(own)]), anything)


ONEOF_MEMBERS = [f for f in Every._desc.fields if f.oneof is not None]


@settings(max_examples=300, deadline=None, suppress_health_check=list(HealthCheck))
@given(st.data())
def test_hostile_values_only_raise_documented_errors(data):
    chaos = Chaos(data.draw(st.lists(st.integers(0, 1000), max_size=6)))
    odd = odd_values(chaos)
    lean = Lean()
    top = Every(child=Every(), lean=lean, kids=[Every()])
    chaos.victims = [top, top.child, top.kids[0]]
    targets = [(m, f) for m in chaos.victims for f in Every._desc.fields if f.oneof is None]
    targets += [(lean, f) for f in Lean._desc.fields]
    for _ in range(data.draw(st.integers(1, 8))):
        m, f = data.draw(st.sampled_from(targets))
        setattr(m, f.local_name, data.draw(field_values(f, odd)))
    if data.draw(st.booleans()):
        member = data.draw(st.sampled_from(ONEOF_MEMBERS))
        value = data.draw(field_values(member, odd))
        top.choice = data.draw(st.sampled_from([Oneof(member.local_name, value), value, None]))
    chaos.armed = True
    try:
        encoded = top.to_binary()
    except DOCUMENTED as exc:
        event(f"{type(exc).__name__}, chaos run: {chaos.ran}")
        return
    finally:
        chaos.armed = False
    event(f"encoded, chaos run: {chaos.ran}")
    # What encoded is well formed: it parses, and what it parses to is stable. Bytes are
    # compared two rounds apart (map order flips per encoding; NaN defeats ==), and not with
    # `encoded` itself: odd keys that were distinct in the dict can decode equal and merge.
    first = Every.from_binary(encoded).to_binary()
    second = Every.from_binary(first).to_binary()
    assert Every.from_binary(second).to_binary() == first
