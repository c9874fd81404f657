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
from test_json_write import P3, SCALARS, Color, Leaf, Optionals, Scalars, Shapes, attr
from test_roundtrip_property import SETTINGS, has_nan, schema_and_values
import _torvex_ext
import torvex
from torvex import Oneof
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


# ---- the writer's plan against its general path -------------------------------------------------
# Exact builtins in their slots are written by each field's step of the plan; subclasses of the
# same values take the general path. Both must decide and write alike.


class _Int(int):
    pass


class _Float(float):
    pass


class _Str(str):
    pass


class _Bytes(bytes):
    pass


def _subclassed(v):
    for base, sub in ((bool, None), (int, _Int), (float, _Float), (str, _Str), (bytes, _Bytes)):
        if isinstance(v, base):
            return v if sub is None else sub(v)
    return v


_SCALAR_VALUES = {
    T.DOUBLE: st.floats(width=64), T.FLOAT: st.floats(width=32), T.BOOL: st.booleans(),
    T.STRING: st.text(max_size=20), T.BYTES: st.binary(max_size=20),
    T.INT32: st.integers(-(2**31), 2**31 - 1), T.SINT32: st.integers(-(2**31), 2**31 - 1),
    T.SFIXED32: st.integers(-(2**31), 2**31 - 1), T.UINT32: st.integers(0, 2**32 - 1),
    T.FIXED32: st.integers(0, 2**32 - 1), T.INT64: st.integers(-(2**63), 2**63 - 1),
    T.SINT64: st.integers(-(2**63), 2**63 - 1), T.SFIXED64: st.integers(-(2**63), 2**63 - 1),
    T.UINT64: st.integers(0, 2**64 - 1), T.FIXED64: st.integers(0, 2**64 - 1),
}  # fmt: skip


def _zero(t):
    if t in (T.DOUBLE, T.FLOAT):
        return st.sampled_from([0.0, -0.0])
    return st.just({T.BOOL: False, T.STRING: "", T.BYTES: b""}.get(t, 0))


# Zeros (-0.0 among them) often: the plan's skip test must match the general one's.
_SCALAR_KWARGS = st.fixed_dictionaries(
    {}, optional={attr(t): st.one_of(_zero(t), _SCALAR_VALUES[t]) for t in SCALARS}
)


@SETTINGS
@given(st.sampled_from([Scalars, Optionals]), _SCALAR_KWARGS, OPTIONS)
def test_plan_writes_as_the_general_path(cls, kwargs, opts):
    msg = cls(**kwargs)
    general = cls(**kwargs)  # the same presence bits
    for name, v in kwargs.items():
        _torvex_ext.generic_setattr(general, name, _subclassed(v))
    assert msg.to_json(**opts) == general.to_json(**opts)
    assert msg._to_json_value(**opts) == general._to_json_value(**opts)


class Wide(torvex.Enum, file=P3):
    WIDE_ZERO = 0
    ÑANDÚ = 1  # noqa: PLC2401
    日本 = 2  # noqa: PLC2401
    PLAIN = 3


class WithWide(torvex.Message, file=P3):
    one: Wide = torvex.field(1, Wide)
    many: list[Wide] = torvex.repeated(2, Wide)
    by_key: dict[str, Wide] = torvex.map_field(3, T.STRING, Wide)


@pytest.mark.parametrize("member", list(Wide))
def test_enum_names_in_text(member):
    # An enum with a name that is not plain ASCII writes every name through the string writer.
    msg = WithWide(one=member, many=[member, Wide.PLAIN], by_key={"k": member})
    text, tree = msg.to_json(), msg._to_json_value()
    assert text == json.dumps(tree, separators=(",", ":"), ensure_ascii=False)
    assert tree["many"] == [member.name, "PLAIN"] and tree["byKey"] == {"k": member.name}


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


# ---- hostile values ----------------------------------------------------------------------------


_atoms = st.one_of(
    st.none(), st.booleans(), st.integers(), st.integers(-(2**70), 2**70), st.floats(),
    st.text(), st.text(st.characters(codec=None, categories=["Cs"]), max_size=2), st.binary(),
    st.builds(bytearray, st.binary()), st.just(Color.COLOR_RED), st.builds(Leaf),
    st.builds(Scalars), st.tuples(st.integers()),
)  # fmt: skip
_values = st.recursive(
    _atoms,
    lambda inner: st.one_of(
        st.lists(inner, max_size=3),
        st.dictionaries(
            st.one_of(st.integers(), st.text(max_size=3), st.booleans()), inner, max_size=3
        ),
        st.builds(Oneof, st.sampled_from(["text", "sub", "hue", "nope"]), inner),
    ),
    max_leaves=6,
)
ALLOWED = (TypeError, ValueError, OverflowError, UnicodeEncodeError)


@SETTINGS
@given(st.sampled_from([Shapes, Scalars]), st.data())
def test_hostile_values_raise_only_documented_errors(cls, data):
    msg = cls()
    names = [f.local_name for f in cls._desc.fields if f.oneof is None] + list(
        cls._desc._oneofs_by_local_name
    )
    for name in data.draw(st.lists(st.sampled_from(names), max_size=4, unique=True)):
        _torvex_ext.generic_setattr(msg, name, data.draw(_values))
    try:
        tree = msg._to_json_value()
    except ALLOWED:
        tree = None
    try:
        text = msg.to_json()
    except ALLOWED:
        return
    assert tree is not None and json.loads(text) == tree
