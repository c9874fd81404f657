"""Properties of the JSON writer over generated schemas and values: the text form parses to the
tree form under every option set, and both agree with the reference runtime's json_format."""

from __future__ import annotations

import gc
import json
import os
import struct
import sys

import pytest
from google.protobuf import json_format
from hypothesis import given
from hypothesis import strategies as st

from peer import peer_name, to_peer
from test_codec_memory import UNKNOWN, Record, rss_bytes, sample
from test_roundtrip_property import SETTINGS, has_nan, schema_and_values
from torvex import ScalarType as T
from torvex._descriptors import (
    DescFieldValueList,
    DescFieldValueMap,
    DescFieldValueMessage,
    DescFieldValueScalar,
    DescMessage,
)

OPTIONS = st.fixed_dictionaries(
    {
        "always_emit_implicit": st.booleans(),
        "print_enums_as_ints": st.booleans(),
        "use_proto_field_name": st.booleans(),
    }
)


@SETTINGS
@given(schema_and_values(), OPTIONS)
def test_text_parses_to_the_tree(case, opts):
    _, (msg,) = case
    text = msg.to_json(**opts)
    tree = msg._to_json_value(**opts)
    assert json.loads(text) == tree
    # The standard library writes the same characters for the same tree: same escapes, same
    # number text, no whitespace.
    assert text == json.dumps(tree, separators=(",", ":"), ensure_ascii=False)
    # And the parser reads both forms back to the same message.
    if not has_nan(msg):
        assert type(msg).from_json(text) == msg
        assert type(msg)._from_json_value(tree) == msg


def _f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0] if isinstance(x, float) else x


def by_number(node, desc: DescMessage, key):
    """A tree keyed by field numbers instead of names (`key` gives a field's name in `node`).
    Float fields are rounded to 32 bits: the peer prints a float field's 32-bit value with its
    own shortest digits, while we write the double the field holds."""
    out = {f.number: _value(node[key(f)], f.value, key) for f in desc.fields if key(f) in node}
    assert len(out) == len(node)
    return out


def _value(value, kind, key):
    if isinstance(kind, DescFieldValueList):
        return [_element(v, kind.element, key) for v in value]
    if isinstance(kind, DescFieldValueMap):
        return {k: _element(v, kind.value, key) for k, v in value.items()}
    if isinstance(kind, DescFieldValueScalar):
        return _element(value, kind.scalar, key)
    if isinstance(kind, DescFieldValueMessage):
        return _element(value, kind.message, key)
    return value


def _element(value, element, key):
    if isinstance(element, DescMessage):
        return by_number(value, element, key)
    if element is T.FLOAT:
        return _f32(value)
    return value


@SETTINGS
@given(schema_and_values(), st.booleans())
def test_same_tree_as_reference(case, emit_implicit):
    schema, (msg,) = case
    ours = msg._to_json_value(
        use_proto_field_name=True, print_enums_as_ints=True, always_emit_implicit=emit_implicit
    )
    theirs = json_format.MessageToDict(
        to_peer(msg),
        preserving_proto_field_name=True,
        use_integers_for_enums=True,
        always_print_fields_with_no_presence=emit_implicit,
    )
    desc = schema.root._desc
    assert by_number(ours, desc, lambda f: f.name) == by_number(
        theirs, desc, lambda f: peer_name(f.number)
    )


# ---- memory ------------------------------------------------------------------------------------


def cycle(msg, i: int) -> None:
    if i & 1:
        msg.to_json(always_emit_implicit=bool(i & 2), print_enums_as_ints=bool(i & 4))
    else:
        msg._to_json_value(use_proto_field_name=bool(i & 2))


@pytest.mark.skipif(bool(os.environ.get("TORVEX_SANITIZED")), reason="sanitizer build")
def test_repeated_json_writes_do_not_grow_memory():
    msg = Record.from_binary(sample().to_binary() + UNKNOWN)
    watched = [msg, Record, *Record._desc.fields]
    for i in range(5_000):
        cycle(msg, i)
    gc.collect()
    refs = [sys.getrefcount(obj) for obj in watched]
    before = rss_bytes()
    for i in range(100_000):
        cycle(msg, i)
    gc.collect()
    grown = rss_bytes() - before
    assert grown < 4 * 2**20, f"resident memory grew by {grown} bytes"
    assert [sys.getrefcount(obj) for obj in watched] == refs
