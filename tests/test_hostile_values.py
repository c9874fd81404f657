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

from schema import Closed, Every  # noqa: E402

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
