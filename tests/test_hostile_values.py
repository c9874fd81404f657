"""Encoding values a careless or hostile caller can put into a message: wrong types on every
path a value takes (singular, repeated, map key and value, oneof member), odd subclasses, and
conversion callbacks that mutate the message being encoded. Only the documented exceptions may
come out, the interpreter must survive, and whatever encodes must parse back."""

from __future__ import annotations

import os
import re
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "fuzz"))

from schema import Closed, Every, Needs  # noqa: E402

from torvex import Oneof  # noqa: E402

# One path per place a string or bytes value can sit; each takes the value and builds a message.
PLACES = {
    "singular": lambda attr, v: Every(**{attr: v}),
    "repeated": lambda attr, v: Every(**{"words" if attr == "s" else "blobs": [v]}),
    "map key": lambda attr, v: Every(labels={v: "x"}) if attr == "s" and v.__hash__ else None,
    "map value": lambda attr, v: Every(**{"labels": {"k": v}} if attr == "s" else {"flags": {True: v}}),
    "oneof": lambda attr, v: Every(choice=Oneof("o_s", v)) if attr == "s" else None,
}


@pytest.mark.parametrize("place", PLACES)
@pytest.mark.parametrize("attr, kind", [("s", "string"), ("by", "bytes")])
@pytest.mark.parametrize("value", [2.5, 7, b"x", "x", bytearray(b"x"), 1 << 70, ("x",)])
def test_wrong_type_in_string_and_bytes_places(place, attr, kind, value):
    # A float's header read as a str's was the fault: the type test must come first.
    msg = PLACES[place](attr, value)
    if msg is None:
        pytest.skip("no such place for this type")
    ok = isinstance(value, str) if kind == "string" else isinstance(value, bytes)
    if ok:
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
