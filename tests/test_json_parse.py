"""from_json / _merge_from_json / _from_json_value: conversions, null and merge rules, enums,
maps, error texts, the text reader's syntax errors, nesting limits, and the reference peer's
JSON read back into equal messages."""

from __future__ import annotations

import base64
import json
import math
import types

import pytest
from google.protobuf import json_format
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import torvex
from peer import to_peer
from test_roundtrip_property import has_nan, schema_and_values
from torvex import Oneof, wkt
from torvex import ScalarType as T
from torvex._descriptors import (
    DescFieldValueEnum,
    DescFieldValueList,
    DescFieldValueMap,
    DescFieldValueMessage,
    DescFieldValueScalar,
)

F = torvex.File("jsonparse/p.proto", package="jp")


class Color(torvex.Enum, file=F):
    COLOR_UNSPECIFIED = 0
    COLOR_RED = 1
    COLOR_BLUE = 2


class Sub(torvex.Message, file=F):
    a: int = torvex.field(1, T.INT32)
    tags: list[str] = torvex.repeated(2, T.STRING)


class M(torvex.Message, file=F):
    f_double: float = torvex.field(1, T.DOUBLE)
    f_float: float = torvex.field(2, T.FLOAT)
    f_int64: int = torvex.field(3, T.INT64)
    f_uint64: int = torvex.field(4, T.UINT64)
    f_int32: int = torvex.field(5, T.INT32)
    f_uint32: int = torvex.field(13, T.UINT32)
    f_sint32: int = torvex.field(17, T.SINT32)
    f_bool: bool = torvex.field(8, T.BOOL)
    f_string: str = torvex.field(9, T.STRING)
    f_bytes: bytes = torvex.field(12, T.BYTES)
    opt: int = torvex.field(20, T.INT32, optional=True)
    color: Color = torvex.field(21, Color)
    colors: list[Color] = torvex.repeated(22, Color)
    nums: list[int] = torvex.repeated(23, T.INT32)
    sub: Sub | None = torvex.field(24, Sub)
    subs: list[Sub] = torvex.repeated(25, Sub)
    by_name: dict[str, Sub] = torvex.map_field(26, T.STRING, Sub)
    by_int: dict[int, str] = torvex.map_field(27, T.SINT64, T.STRING)
    by_bool: dict[bool, int] = torvex.map_field(28, T.BOOL, T.INT32)
    choice: Oneof | None = torvex.oneof(o_int=torvex.field(30, T.INT32), o_sub=torvex.field(31, Sub))
    child: M | None = torvex.field(40, "M")


@pytest.fixture(params=["text", "tree"])
def parse(request):
    """Reads a document (a Python value) through one of the two sources."""
    if request.param == "text":
        return lambda cls, doc, **kw: cls.from_json(json.dumps(doc), **kw)
    return lambda cls, doc, **kw: cls._from_json_value(doc, **kw)


SUFFIX = " for field jp.M."


# ---- scalar conversions ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "key, value, expected",
    [
        ("fInt32", 42, 42),
        ("fInt32", "42", 42),
        ("fInt32", "-7", -7),
        ("fInt32", 5.0, 5),
        ("fInt32", "1e3", 1000),
        ("fInt32", "1_000", 1000),
        ("fInt64", "1e3", 1000),
        ("fInt64", -(2**63), -(2**63)),
        ("fInt64", str(2**63 - 1), 2**63 - 1),
        ("fInt64", str(-(2**63)), -(2**63)),
        ("fUint64", str(2**64 - 1), 2**64 - 1),
        ("fUint64", 2**64 - 1, 2**64 - 1),
        ("fUint64", "0018446744073709551615", 2**64 - 1),
        ("fUint32", 1e2, 100),
        ("fDouble", "NaN", math.nan),
        ("fDouble", "Infinity", math.inf),
        ("fDouble", "-Infinity", -math.inf),
        ("fDouble", "1.5e300", 1.5e300),
        ("fDouble", 7, 7.0),
        ("fDouble", 2**80, float(2**80)),
        ("fFloat", 3.4028234663852886e38, 3.4028234663852886e38),
        ("fDouble", 5e-324, 5e-324),
        ("fBool", True, True),
        ("fString", "h\u00e9\U0001f600\x00", "h\u00e9\U0001f600\x00"),
        ("fBytes", "+/+/", b"\xfb\xff\xbf"),
        ("fBytes", "-_-_", b"\xfb\xff\xbf"),
        ("fBytes", "aGk=", b"hi"),
        ("fBytes", "aGk", b"hi"),
        ("f_int32", 3, 3),  # proto names match too
    ],
)
def test_scalar_accepts(parse, key, value, expected):
    msg = parse(M, {key: value})
    got = getattr(msg, _attr(key))
    assert type(got) is type(expected)
    assert got == expected or (math.isnan(expected) and math.isnan(got))


def _attr(json_key: str) -> str:
    return "".join("_" + c.lower() if c.isupper() else c for c in json_key)


@pytest.mark.parametrize(
    "key, value, exc, text",
    [
        ("fInt32", " 42", ValueError, "invalid integer value:  42"),
        ("fInt32", "", ValueError, "invalid integer value: "),
        ("fInt32", "4x", ValueError, "invalid integer value: '4x'"),
        ("fInt32", 1.5, ValueError, "expected integer, got non-integer float: 1.5"),
        ("fInt64", "1.5", ValueError, "invalid integer value: '1.5'"),
        ("fInt32", 2**31, OverflowError, "value 2147483648 out of range for int32"),
        ("fSint32", -(2**31) - 1, OverflowError, "value -2147483649 out of range for int32"),
        ("fUint32", -1, OverflowError, "value -1 out of range for uint32"),
        ("fUint64", 2**64, OverflowError, "value 18446744073709551616 out of range for uint64"),
        ("fInt64", str(2**63), OverflowError, f"value {2**63} out of range for int64"),
        ("fUint64", str(2**64), OverflowError, f"value {2**64} out of range for uint64"),
        ("fInt64", str(-(2**63) - 1), OverflowError, f"value {-(2**63) - 1} out of range for int64"),
        ("fInt32", True, TypeError, "unexpected json type: <class 'bool'>"),
        ("fInt32", [1], TypeError, "unexpected json type: <class 'list'>"),
        ("fDouble", "1e400", ValueError, "unexpected infinite/NaN number"),
        ("fDouble", "inFinity", ValueError, "unexpected infinite/NaN number"),
        ("fDouble", "nan", ValueError, "unexpected infinite/NaN number"),
        ("fDouble", " 1", ValueError, "invalid float/double value:  1"),
        ("fDouble", "1_0", ValueError, "invalid float/double value: 1_0"),
        ("fDouble", "", ValueError, "invalid float/double value: "),
        ("fDouble", 10**400, ValueError, "unexpected infinite/NaN number"),
        ("fDouble", {}, TypeError, "unexpected json type: <class 'dict'>"),
        ("fFloat", 1e39, OverflowError, "float value out of range: " + "1" + "0" * 39),
        ("fFloat", "-3.5e38", OverflowError, "float value out of range: -35" + "0" * 37),
        ("fBool", "true", TypeError, "unexpected json type: <class 'str'>"),
        ("fString", 1, TypeError, "expected string got: <class 'int'>"),
        ("fBytes", 1, TypeError, "expected base64-encoded string got: <class 'int'>"),
        ("fBytes", "a", ValueError, "invalid base64 data"),
        ("fBytes", "+_", ValueError, "invalid base64 data"),
        ("nums", 1, TypeError, "expected list got <class 'int'>"),
        ("nums", [1, None], ValueError, "unexpected null value for list item"),
        ("byName", [], TypeError, "expected dict got <class 'list'>"),
        ("byName", {"k": None}, ValueError, "unexpected null value for map value"),
        ("byBool", {"True": 1}, ValueError, "unexpected bool map key value True"),
        ("byInt", {"x": "a"}, ValueError, "invalid integer value: 'x'"),
    ],
)
def test_scalar_errors_carry_the_field(parse, key, value, exc, text):
    with pytest.raises(exc) as info:
        parse(M, {key: value})
    assert str(info.value) == text + SUFFIX + _attr(key)
    assert type(info.value) is exc


# ---- nulls, presence, oneofs, merging -------------------------------------------------------


def test_null_rules(parse):
    msg = M(opt=5, f_int32=3, color=Color.COLOR_RED, sub=Sub(a=1), nums=[1], choice=Oneof("o_int", 4))
    doc = {"opt": None, "fInt32": None, "color": None, "sub": None, "nums": None, "oInt": None}
    msg._merge_from_json(json.dumps(doc))
    assert (msg.opt, msg.f_int32, msg.color, msg.sub, msg.nums) == (0, 0, Color.COLOR_UNSPECIFIED, None, [])
    assert not msg.has_field("opt") and msg.choice == Oneof("o_int", 4)
    # An enum or message null resets a oneof only when it holds that member.
    msg = parse(M, {"oSub": {"a": 1}, "oInt": None})
    assert msg.choice == Oneof("o_sub", Sub(a=1))


def test_presence_and_oneof_stores(parse):
    msg = parse(M, {"opt": 0, "oSub": {"a": 2}})
    assert msg.has_field("opt") and msg.choice == Oneof("o_sub", Sub(a=2))
    with pytest.raises(ValueError, match="oneof choice given two members"):
        parse(M, {"opt": 0, "oInt": 0, "oSub": {"a": 2}})
    assert not parse(M, {"fInt32": 0}).has_field("opt")


def test_merge_replaces_containers_per_object():
    msg = M(nums=[9], sub=Sub(a=1, tags=["x"]), by_name={"old": Sub()})
    msg._merge_from_json('{"nums": [1], "sub": {"tags": ["y"]}, "byName": {"k": {}}}')
    assert (msg.nums, msg.sub, list(msg.by_name)) == ([1], Sub(tags=["y"]), ["k"])
    # Each document replaces them again; naming one twice in an object is refused.
    msg._merge_from_json('{"nums": [1, 2], "sub": {"a": 4}}')
    assert msg.nums == [1, 2] and msg.sub == Sub(a=4)
    with pytest.raises(ValueError, match="given twice"):
        msg._merge_from_json('{"nums": [3], "nums": [4]}')
    # A oneof message member merges into the one it holds.
    msg.choice = Oneof("o_sub", Sub(a=1))
    msg._merge_from_json('{"oSub": {"tags": ["t"]}}')
    assert msg.choice == Oneof("o_sub", Sub(a=1, tags=["t"]))


def test_failure_keeps_earlier_stores():
    msg = M()
    with pytest.raises(ValueError):
        msg._merge_from_json('{"fInt32": 1, "nums": [1, 2, "x"]}')
    assert (msg.f_int32, msg.nums) == (1, [1, 2])


# ---- enums, maps, unknown keys ------------------------------------------------------------


@pytest.mark.parametrize(
    "doc, ignore, expected",
    [
        ({"color": "COLOR_BLUE"}, False, Color.COLOR_BLUE),
        ({"color": 1}, False, Color.COLOR_RED),
        ({"color": "NOPE"}, True, Color.COLOR_UNSPECIFIED),
        ({"color": 77}, True, Color.COLOR_UNSPECIFIED),
        ({"colors": ["COLOR_RED", "NOPE", 2]}, True, [Color.COLOR_RED, Color.COLOR_BLUE]),
        ({"zz": {"a": [1, {"b": None}]}, "fInt32": 1}, True, None),
    ],
)
def test_enums_and_ignore_unknown(parse, doc, ignore, expected):
    msg = parse(M, doc, ignore_unknown_fields=ignore)
    if "colors" in doc:
        assert msg.colors == expected
    elif "color" in doc:
        assert msg.color == expected
    else:
        assert msg.f_int32 == 1


@pytest.mark.parametrize(
    "doc, exc, text, note",
    [
        ({"color": "NOPE"}, ValueError, "cannot decode jp.Color from JSON: NOPE", "jp.M.color"),
        ({"color": 1.5}, ValueError, "cannot decode jp.Color from JSON: 1.5", "jp.M.color"),
        ({"color": [1]}, ValueError, "cannot decode jp.Color from JSON: [1]", "jp.M.color"),
        ({"zz": 1}, ValueError, "cannot decode jp.M from JSON: key: 'zz' is unknown", None),
        ({"sub": 1}, TypeError, "cannot decode Sub from JSON: 1", "jp.M.sub"),
    ],
)
def test_enum_and_message_errors(parse, doc, exc, text, note):
    with pytest.raises(exc) as info:
        parse(M, doc)
    assert str(info.value) == text
    # Where it failed comes as a note; a fault of the top message itself has no path to show.
    assert getattr(info.value, "__notes__", None) == (None if note is None else [f"while decoding {note}"])


def test_unlisted_enum_number_goes_to_the_enum_class(parse):
    assert parse(M, {"color": 77}).color == Color(77)


@pytest.mark.parametrize("doc, text", [
    ('{"byInt": {"1": "a", "2": "b"}, "byInt": {"3": "c"}}', "value given twice"),
    ('{"byInt": {"1": "a", "01": "b"}}', "map key 1 given twice"),
    ('{"byInt": {"9": "a", "9": "b"}}', "map key 9 given twice"),
])  # fmt: skip
def test_map_member_or_key_twice_in_one_object(doc, text):
    msg = M(by_int={9: "old"})
    with pytest.raises(ValueError, match=text):
        msg._merge_from_json(doc)
    msg._merge_from_json('{"byInt": {"9": "new", "1": "a"}}')  # keys of other documents
    assert msg.by_int == {9: "new", 1: "a"}


def test_maps(parse):
    msg = parse(M, {"byInt": {"-5": "a", "1e1": "b"}, "byBool": {"true": 1, "false": 2},
                    "byName": {"k": {"a": 1}}})  # fmt: skip
    assert msg.by_int == {-5: "a", 10: "b"} and msg.by_bool == {True: 1, False: 2}
    assert msg.by_name == {"k": Sub(a=1)}


@pytest.mark.parametrize("doc", [None, [], 5, "x"])
def test_top_level_must_be_an_object(parse, doc):
    with pytest.raises(TypeError, match="^cannot decode M from JSON: "):
        parse(M, doc)


# ---- arguments and sources ------------------------------------------------------------------


def test_inputs_and_tree_types():
    assert M.from_json(b'{"fInt32": 1}').f_int32 == 1
    assert M.from_json(bytearray(b'{"fInt32": 2}')).f_int32 == 2
    with pytest.raises(TypeError, match="^json must be str, bytes, or bytearray, got <class 'int'>$"):
        M.from_json(1)
    with pytest.raises(TypeError, match="^unexpected type in JSON tree: <class 'tuple'>\nwhile decoding jp.M.nums$"):
        M._from_json_value({"nums": (1,)})
    with pytest.raises(TypeError, match="^JSON object keys must be strings$"):
        M._from_json_value({1: 2})
    with pytest.raises(TypeError, match="ignore_unknown_fields"):
        M.from_json("{}", ignore_unknown_fields=1)


# ---- syntax ---------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "text, desc, pos",
    [
        (b'{"fInt32": 1} {}', "trailing characters", 14),
        (b'{"nums": [1,]}', "trailing comma", 12),
        (b'{"nums": [1 2]}', "expected `,` or `]`", 12),
        (b'{"nums": [1', "EOF while parsing a list", 11),
        (b'{"a" 1}', "expected `:`", 5),
        (b'{"fInt32": 1 "b": 1}', "expected `,` or `}`", 13),
        (b'{"fInt32": 1,}', "trailing comma", 13),
        (b"{1: 2}", "key must be a string", 1),
        (b'{"fInt32": 1', "EOF while parsing an object", 12),
        (b'{"fString": "ab', "EOF while parsing a string", 15),
        (b'{"fString": "a\x01"}', "control character (\\u0000-\\u001F) found while parsing a string", 14),
        (b'{"fString": "\\x"}', "invalid escape", 13),
        (b'{"fString": "\\ud800x"}', "lone leading surrogate in hex escape", 19),
        (b'{"fString": "\\udc00"}', "invalid unicode code point", 13),
        (b'{"fString": "\xc3("}', "invalid unicode code point", 13),
        (b'{"fString": "\xed\xa0\x80"}', "invalid unicode code point", 13),
        (b'{"fInt32": 01}', "invalid number", 12),
        (b'{"fInt32": -}', "invalid number", 12),
        (b'{"fInt32": 1.}', "invalid number", 13),
        (b'{"fInt32": tru}', "expected ident", 14),
        (b'{"fInt32": +1}', "expected value", 11),
        (b'{"fInt32": ', "EOF while parsing a value", 11),
        (b"", "EOF while parsing a value", 0),
    ],
)
def test_syntax_errors(text, desc, pos):
    with pytest.raises(json.JSONDecodeError) as info:
        M.from_json(text, ignore_unknown_fields=True)
    assert (info.value.msg, info.value.pos) == (desc, pos)
    assert info.value.doc == text.decode("utf-8", "replace")


def test_escapes_and_surrogate_pairs():
    text = '{"fString": "\\"\\\\\\/\\b\\f\\n\\r\\t\\u00e9\\ud83d\\ude00"}'
    assert M.from_json(text).f_string == json.loads(text)["fString"]


# ---- nesting --------------------------------------------------------------------------------


def _chain(levels: int) -> str:
    return '{"child": ' * (levels - 1) + "{}" + "}" * (levels - 1)


def test_depth_limit(parse):
    msg = M.from_json(_chain(101))
    assert msg.child is not None
    with pytest.raises(RecursionError, match="^exceeded maximum recursion depth 100 while parsing message\n"):
        M.from_json(_chain(102))
    with pytest.raises(RecursionError):
        parse(M, json.loads(_chain(102)))


@pytest.mark.parametrize("ignore", [True, False])
def test_deep_arrays_fail_cleanly(ignore):
    for text in ["[" * 100_000, '{"x": ' + "[" * 100_000 + "]" * 100_000 + "}",
                 '{"nums": [' + "[" * 100_000 + "]" * 100_000 + "]}"]:  # fmt: skip
        with pytest.raises((json.JSONDecodeError, TypeError, ValueError)) as info:
            M.from_json(text, ignore_unknown_fields=ignore)
        if isinstance(info.value, json.JSONDecodeError):
            assert info.value.msg in ("recursion limit exceeded", "EOF while parsing a list")


# ---- bad input ------------------------------------------------------------------------------

ALLOWED = (json.JSONDecodeError, ValueError, TypeError, OverflowError, RecursionError)
VALID = json.dumps(
    {"fDouble": 1.5, "fInt64": "12", "fBytes": "aGk=", "nums": [1, 2], "color": "COLOR_RED",
     "sub": {"a": 1, "tags": ["x"]}, "byInt": {"3": "c"}, "oSub": {}, "child": {"fBool": True}}
).encode()  # fmt: skip


# Documents of the right shape with values of any JSON type: keys drawn from the schema's names.
KEYS = st.sampled_from(sorted(json.loads(VALID)) + ["a", "tags", "x", "[jp.i]"])
SHAPED = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text(max_size=6)
    | st.sampled_from(["NaN", "1e3", "COLOR_RED", "aGk", "-1", "true"]),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(KEYS, inner, max_size=4),
    max_leaves=12,
).map(lambda v: json.dumps(v).encode())


@settings(max_examples=400, deadline=None)
@given(st.one_of(
    st.binary(max_size=64),
    st.lists(st.tuples(st.integers(0, len(VALID) - 1), st.integers(0, 255)), max_size=4),
    st.integers(0, len(VALID)),
    SHAPED,
))  # fmt: skip
def test_random_and_mutated_documents(data):
    if isinstance(data, list):
        doc = bytearray(VALID)
        for i, b in data:
            doc[i] = b
        data = bytes(doc)
    elif isinstance(data, int):
        data = VALID[:data]
    for ignore in (False, True):
        registry = REGISTRY if ignore else None  # extensions of another message are skipped
        try:
            M.from_json(data, ignore_unknown_fields=ignore, registry=registry)
        except ALLOWED:
            pass
        try:
            tree = json.loads(data)
        except ValueError:
            continue
        try:
            M._from_json_value(tree, ignore_unknown_fields=ignore, registry=registry)
        except ALLOWED:
            pass


# ---- the reference peer's JSON --------------------------------------------------------------


def _rename(node, cls):
    """The peer's JSON (fields named f<number>) with this runtime's JSON names."""
    if not isinstance(node, dict):
        return node
    fields = {f"f{f.number}": f for f in cls._desc.fields}
    out = {}
    for key, value in node.items():
        f = fields[key]
        kind = f.value
        if isinstance(kind, DescFieldValueMessage):
            value = _rename(value, kind.message.type)
        elif isinstance(kind, DescFieldValueList) and hasattr(kind.element, "fields"):
            value = [_rename(v, kind.element.type) for v in value]
        elif isinstance(kind, DescFieldValueMap) and hasattr(kind.value, "fields"):
            value = {k: _rename(v, kind.value.type) for k, v in value.items()}
        out[f.json_name if len(out) % 2 else f.name] = value  # both spellings are accepted
    return out


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(schema_and_values())
def test_reads_the_peers_json(case):
    schema, [msg] = case
    if has_nan(msg):
        return
    peer = to_peer(msg)
    tree = _rename(json_format.MessageToDict(
        peer, always_print_fields_with_no_presence=True, use_integers_for_enums=True
    ), schema.root)
    try:
        got = [schema.root.from_json(json.dumps(tree)), schema.root._from_json_value(tree)]
    except OverflowError as e:
        # The peer prints the largest float32 as 3.4028235e38, above the float limit we check
        # (3.4028234663852886e38) as a double: refused by design.
        assert "value out of range: 340282350000000000000000000000000000000 " in str(e).replace("-", "")
        return
    assert to_peer(got[0]) == peer and to_peer(got[1]) == peer


# ---- extensions and the Python spelling -----------------------------------------------------

STORED: list = []


class Extended(torvex.Message, file=F):
    a: int = torvex.field(1, T.INT32)

    def __setitem__(self, key, value):
        STORED.append((key, value))


class Registry:
    def __init__(self, **exts):
        self.exts = exts

    def extension(self, name):
        return self.exts.get(name)


def _ext(name, value, extendee=Extended):
    return types.SimpleNamespace(extendee=extendee._desc, value=value, type=name, type_name=name)


REGISTRY = Registry(**{
    "jp.i": _ext("jp.i", DescFieldValueScalar(T.INT64, None)),
    "jp.l": _ext("jp.l", DescFieldValueList(T.INT32, True, False)),
    "jp.c": _ext("jp.c", DescFieldValueEnum(Color._desc, None)),
    "jp.s": _ext("jp.s", DescFieldValueMessage(Sub._desc, False, None)),
    "jp.m": _ext("jp.m", DescFieldValueMap(T.STRING, T.INT32)),
    "jp.o": _ext("jp.o", DescFieldValueScalar(T.INT32, None), extendee=Sub),
})  # fmt: skip


def test_extensions(parse):
    STORED.clear()
    doc = {"a": 1, "[jp.i]": "5", "[jp.l]": [1, 2], "[jp.c]": "COLOR_RED", "[jp.s]": {"a": 3},
           "[jp.o]": "ignored: another extendee"}  # fmt: skip
    msg = parse(Extended, doc, registry=REGISTRY)
    assert msg.a == 1
    assert STORED == [("jp.i", 5), ("jp.l", [1, 2]), ("jp.c", Color.COLOR_RED), ("jp.s", Sub(a=3))]
    with pytest.raises(ValueError, match="^invalid integer value: 'x' for extension jp.i$"):
        parse(Extended, {"[jp.i]": "x"}, registry=REGISTRY)
    with pytest.raises(ValueError, match="^map extensions are not supported$"):
        parse(Extended, {"[jp.m]": {}}, registry=REGISTRY)
    for registry in (REGISTRY, None):
        with pytest.raises(ValueError, match=r"key: '\[jp.nope\]' is unknown"):
            parse(Extended, {"[jp.nope]": 1}, registry=registry)
        assert parse(Extended, {"[jp.i]": [{}]}, ignore_unknown_fields=True).a == 0


def test_from_dict_is_the_value_tree_reader():
    assert M.from_dict({"fInt32": 3, "zz": 1}, ignore_unknown_fields=True) == M(f_int32=3)


# ---- round trips through the writer ---------------------------------------------------------

WRITE_OPTIONS = st.fixed_dictionaries(
    {"always_emit_implicit": st.booleans(), "print_enums_as_ints": st.booleans(),
     "use_proto_field_name": st.booleans()}
)  # fmt: skip


@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(schema_and_values(), WRITE_OPTIONS)
def test_round_trip(case, opts):
    schema, [msg] = case
    if has_nan(msg):
        return
    cls = schema.root
    text = msg.to_json(**opts)
    assert cls.from_json(text) == msg
    assert cls.from_json(text.encode()) == msg
    assert cls._from_json_value(msg._to_json_value(**opts)) == msg
    merged = cls()
    merged._merge_from_json(text)
    merged._merge_from_json(text)  # containers are replaced, not appended to
    assert merged == msg


# ---- scalar texts against the reference runtime --------------------------------------------

DIFF_TYPES = [T.DOUBLE, T.FLOAT, T.INT64, T.UINT64, T.INT32, T.UINT32, T.SINT32, T.FIXED64,
              T.BOOL, T.STRING, T.BYTES]  # fmt: skip
Scalars = type(torvex.Message)(
    "Scalars", (torvex.Message,),
    {"__module__": __name__, "__qualname__": "Scalars",
     **{f"v{i}": torvex.field(i + 1, t) for i, t in enumerate(DIFF_TYPES)}},
    file=F,
)  # fmt: skip
DIFF_VALUES = [
    0, -1, 1.0, 1.5, 1e2, "1e2", "1", "-0", "1.0", "+1", " 1", "1 ", "", "0x10", "1_0", "\u0661",
    "NaN", "Infinity", "-Infinity", "nan", "inf", "infinity", "1e400", 1e300, 3.5e38, "3.5e38",
    2**31, 2**32, 2**63, 2**64, -(2**63), "9223372036854775808", True, "true", None, "aGk",
    "aGk=", "a-_b", "a+/b", "a", [], {},
]  # fmt: skip
# Where the reference runtime accepts what we refuse, and why: float strings must be plain
# decimal text (no surrounding space, underscores or non-ASCII digits); inf/infinity and
# overflowing texts are non-finite; JSON true is no number; float fields are range-checked;
# base64 text must decode.
STRICTER = {
    (T.DOUBLE, v) for v in (" 1", "1 ", "1_0", "\u0661", "inf", "infinity", "1e400", True)
} | {(T.FLOAT, v) for v in (" 1", "1 ", "1_0", "\u0661", "inf", "infinity", "1e400", True, "3.5e38")} | {
    (T.BYTES, "\u0661")
}  # fmt: skip


@pytest.mark.parametrize("index, scalar", list(enumerate(DIFF_TYPES)))
def test_scalar_texts_against_the_reference(index, scalar):
    peer_cls = type(to_peer(Scalars()))
    for value in DIFF_VALUES:
        try:
            ours = Scalars.from_json(json.dumps({f"v{index}": value}))
        except (ValueError, TypeError, OverflowError):
            ours = None
        try:
            theirs = json_format.Parse(json.dumps({f"f{index + 1}": value}), peer_cls())
        except json_format.ParseError:
            theirs = None
        if ours is None:
            assert theirs is None or (scalar, value) in STRICTER, value
        else:
            assert theirs is not None and to_peer(ours) == theirs, value


@pytest.mark.parametrize("special", ['\\"', "\\\\", "\\u00e9", "é", "\U0001f600", "\x7f"])
def test_strings_with_a_special_character_at_every_offset(special):
    for i in range(40):
        text = "a" * i + special + "b" * (39 - i)
        doc = '{"fString": "' + text + '"}'
        assert M.from_json(doc.encode()).f_string == json.loads(doc)["fString"], i
        bad = ('{"fString": "' + "a" * i + "\x01" + "b" * 30 + '"}').encode()
        with pytest.raises(json.JSONDecodeError) as info:
            M.from_json(bad)
        assert info.value.pos == 13 + i


def test_bytes_against_the_base64_module():
    """Random lengths 0-4096 in both directions and both alphabets, padded and not, against
    Python's base64; a character outside the alphabet anywhere is refused."""
    import base64
    import random

    rng = random.Random(64)
    for _ in range(400):
        data = rng.randbytes(rng.randrange(4097))
        std, url = base64.b64encode(data).decode(), base64.urlsafe_b64encode(data).decode()
        assert json.loads(M(f_bytes=data).to_json()) == ({"fBytes": std} if data else {})
        for text in (std, url, url.rstrip("=")):
            assert M.from_json(json.dumps({"fBytes": text})).f_bytes == data
        if std:
            spoiled = list(std)
            spoiled[rng.randrange(len(std.rstrip("=")))] = rng.choice("!*.~\u00e9")
            with pytest.raises(ValueError, match="invalid base64 data"):
                M.from_json(json.dumps({"fBytes": "".join(spoiled)}))


def _base64_reference(text: str) -> bytes | None:
    """What a bytes field reads from `text` by Python's base64: either alphabet but never both,
    padding complete or absent; None where it must be refused."""
    if {"+", "/"} & set(text) and {"-", "_"} & set(text):
        return None
    pad = len(text) - len(text.rstrip("="))
    if pad > 2 or (pad and len(text) % 4):
        return None
    body = text[: len(text) - pad].translate(str.maketrans("-_", "+/"))
    try:
        return base64.b64decode(body + "=" * (-len(body) % 4), validate=True)
    except ValueError:  # outside the alphabet, or not ASCII at all
        return None


@settings(max_examples=300, deadline=None)
@given(
    data=st.binary(max_size=4096),
    url=st.booleans(),
    padded=st.booleans(),
    indent=st.integers(0, 33),
    spoil=st.none()
    | st.tuples(
        st.floats(0, 1, exclude_max=True),
        st.sampled_from("-_+/=\\\"") | st.characters(exclude_categories=("Cs",)),
    ),
)
def test_bytes_read_as_the_base64_module_does(data, url, padded, indent, spoil):
    """Both alphabets, any length, at any alignment in the document (the vector decoder's loads
    and the string's start move together), with one character replaced anywhere: either the
    bytes Python's base64 reads, or the one error, from text and from a dict alike."""
    text = (base64.urlsafe_b64encode if url else base64.b64encode)(data).decode()
    if not padded:
        text = text.rstrip("=")
    if spoil and text:
        at = int(spoil[0] * len(text))
        text = text[:at] + spoil[1] + text[at + 1 :]
    want = _base64_reference(text)
    doc = " " * indent + json.dumps({"fBytes": text})
    for read in (lambda: M.from_json(doc.encode()), lambda: M.from_dict({"fBytes": text})):
        if want is None:
            with pytest.raises(ValueError, match="invalid base64 data"):
                read()
        else:
            assert read().f_bytes == want


# Integers of every length from 1 to 21 digits, so the reader's eight-digit steps meet runs that
# end at each position, numbers that end the document, and values past the native range.
_ANY_LENGTH_INT = st.integers(0, 20).flatmap(
    lambda n: st.integers(-(10 ** (n + 1)) + 1, 10 ** (n + 1) - 1)
)


@given(st.lists(_ANY_LENGTH_INT, max_size=12), st.sampled_from(["", " ", "\n  "]))
def test_integers_of_every_length_read_exactly(values, pad):
    def read(field, v):
        # The number is the last thing in the text, or followed by padding.
        return M.from_json(f'{{"{field}": {v}{pad}}}'.encode())

    for field, attr, lo, hi in [("fInt64", "f_int64", -(2**63), 2**63 - 1),
                                ("fUint32", "f_uint32", 0, 2**32 - 1),
                                ("fSint32", "f_sint32", -(2**31), 2**31 - 1)]:  # fmt: skip
        for v in values:
            if lo <= v <= hi:
                assert getattr(read(field, v), attr) == v
            else:
                with pytest.raises((OverflowError, ValueError)):
                    read(field, v)
    in_range = [v for v in values if -(2**31) <= v < 2**31]
    assert M.from_json(json.dumps({"nums": in_range})).nums == in_range


@given(
    st.integers(0, 200),
    st.integers(0, 199),
    st.sampled_from(['"', "\\", "\n", "é", "\x1f", "日本", "\U0001f600", "ñ\u0100"]),
)
def test_long_strings_stop_at_each_special_character(length, at, special):
    # Plain runs are skipped in blocks of 64 and 16 bytes: a special character at any position
    # of a long string must still be seen where it is.
    s = "".join(chr(0x61 + i % 26) for i in range(length))
    s = s[:at] + special + s[at:]
    fields = {"fString": s, "fBytes": base64.b64encode(s.encode()).decode()}
    # Raw UTF-8 and escapes reach the str builder by different ways.
    doc = json.dumps(fields, ensure_ascii=length % 2 == 0)
    for m in (M.from_json(doc.encode()), M.from_json(doc)):
        assert (m.f_string, m.f_bytes) == (s, s.encode())
    with pytest.raises(json.JSONDecodeError):
        M.from_json(f'{{"fString": "{s}"}}'.encode() if special in '\n\x1f' else b'{"fString": "')


@pytest.mark.parametrize("width", [1, 5, 16, 17])
def test_repeated_short_strings_read_back_exactly(width):
    # Short values come from a table shared by every document, where distinct strings meet in
    # the same entry: read twice, a few thousand of them must still come back as written.
    texts = [format(i, "x").rjust(width, "q")[-width:] for i in range(3000)]
    texts += ["\\u0041" * (width // 6 + 1), "é" * width, ""]
    doc = json.dumps(texts, ensure_ascii=False).replace("\\\\u0041", "\\u0041")
    want = json.loads(doc)
    for _ in range(2):
        assert wkt.ListValue.from_json(doc).to_list() == want
