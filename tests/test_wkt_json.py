"""JSON forms of the well-known types: recognition, edge cases, errors, and Google's json_format
as a differential peer."""

from __future__ import annotations

import decimal
import gc
import json
import math
import os
import sys
import weakref

import numpy
import pytest
from google.protobuf import any_pb2, duration_pb2, empty_pb2, field_mask_pb2, json_format
from google.protobuf import source_context_pb2, struct_pb2, timestamp_pb2
from hypothesis import given
from hypothesis import strategies as st

import torvex
from torvex import Oneof, Registry, wkt
from torvex import ScalarType as T

R = Registry(wkt)
TS_MIN, TS_MAX = -62135596800, 253402300799
DUR_MAX = 315576000000

# An ordinary message of Google's default pool: an Any payload both sides can resolve.
SourceContext = wkt.SourceContext
RSC = R


def both_forms(msg, registry=R):
    text = msg.to_json(registry=registry)
    assert json.loads(text) == msg._to_json_value(registry=registry)
    return json.loads(text)


def read_both(cls, text, registry=R):
    a = cls.from_json(text, registry=registry)
    b = cls._from_json_value(json.loads(text), registry=registry)
    assert a == b
    return a


# ---- recognition at intake ------------------------------------------------------------------


def _declare(full_name, file_name, fields, oneof=False):
    package, _, name = full_name.rpartition(".")
    file = torvex.File(file_name, package=package)
    ns = {"__module__": __name__, "__qualname__": name}
    if oneof:
        ns["kind"] = torvex.oneof(**fields)
    else:
        ns.update(fields)
    return type(torvex.Message)(name, (torvex.Message,), ns, file=file)


@pytest.mark.parametrize(
    ("full_name", "file_name", "fields", "oneof", "value", "expected"),
    [
        # Another file: ordinary.
        (
            "google.protobuf.Timestamp",
            "mine/timestamp.proto",
            {"seconds": torvex.field(1, T.INT64), "nanos": torvex.field(2, T.INT32)},
            False,
            {"seconds": 1},
            {"seconds": "1"},
        ),
        # Wrong field shape: ordinary.
        (
            "google.protobuf.Timestamp",
            "google/protobuf/t2.proto",
            {"seconds": torvex.field(1, T.INT64), "nanos": torvex.field(2, T.INT64)},
            False,
            {"seconds": 1},
            {"seconds": "1"},
        ),
        (
            "google.protobuf.Struct",
            "google/protobuf/s2.proto",
            {"fields": torvex.map_field(1, T.STRING, T.INT32)},
            False,
            {"fields": {"a": 1}},
            {"fields": {"a": 1}},
        ),
        # Any other name of the family with one scalar `value`: a wrapper.
        (
            "google.protobuf.MyInt32",
            "google/protobuf/w2.proto",
            {"value": torvex.field(1, T.INT32)},
            False,
            {"value": 7},
            7,
        ),
        (
            "google.protobuf.Holder",
            "google/protobuf/w3.proto",
            {"value": torvex.field(1, wkt.Int32Value)},
            False,
            {"value": wkt.Int32Value(value=7)},
            {"value": 7},
        ),
        # Value members outside a oneof: ordinary.
        (
            "google.protobuf.Value",
            "google/protobuf/v2.proto",
            {
                "null_value": torvex.field(1, wkt.NullValue),
                "number_value": torvex.field(2, T.DOUBLE),
            },
            False,
            {"number_value": 1.5},
            {"numberValue": 1.5},
        ),
    ],
)
def test_recognition(full_name, file_name, fields, oneof, value, expected):
    cls = _declare(full_name, file_name, fields, oneof)
    assert both_forms(cls(**value)) == expected


def test_empty_and_wrappers_forms():
    assert both_forms(wkt.Empty()) == {}
    assert both_forms(wkt.Int64Value(value=-5)) == "-5"
    assert both_forms(wkt.BytesValue(value=b"\xff")) == "/w=="
    assert both_forms(wkt.DoubleValue(value=math.inf)) == "Infinity"
    assert read_both(wkt.StringValue, "null") == wkt.StringValue()
    assert read_both(wkt.UInt32Value, '"12"').value == 12
    with pytest.raises(OverflowError, match="value -1 out of range for uint32"):
        wkt.UInt32Value.from_json("-1")


# ---- Timestamp and Duration -------------------------------------------------------------------


@pytest.mark.parametrize(
    ("seconds", "nanos", "text"),
    [
        (0, 0, "1970-01-01T00:00:00Z"),
        (0, 120000000, "1970-01-01T00:00:00.120Z"),
        (0, 1000, "1970-01-01T00:00:00.000001Z"),
        (TS_MIN, 1, "0001-01-01T00:00:00.000000001Z"),
        (TS_MAX, 999999999, "9999-12-31T23:59:59.999999999Z"),
    ],
)
def test_timestamp_text(seconds, nanos, text):
    ts = wkt.Timestamp(seconds=seconds, nanos=nanos)
    assert both_forms(ts) == text
    assert read_both(wkt.Timestamp, json.dumps(text)) == ts


@pytest.mark.parametrize(
    ("text", "reason"),
    [
        ("1970-01-01T00:00:00z", "invalid RFC 3339 string"),
        ("1970-01-01 00:00:00Z", "invalid RFC 3339 string"),
        ("0000-12-31T23:59:59Z", "invalid RFC 3339 string"),
        ("1970-01-01T00:00:60Z", "invalid RFC 3339 string"),
        ("1970-01-01T00:00:00.0000000001Z", "invalid RFC 3339 string"),
        (
            "9999-12-31T23:59:59-01:00",
            "must be from 0001-01-01T00:00:00Z to 9999-12-31T23:59:59Z inclusive",
        ),
    ],
)
def test_timestamp_bad_text(text, reason):
    with pytest.raises(ValueError) as info:
        read_both(wkt.Timestamp, json.dumps(text))
    assert str(info.value) == f"cannot decode google.protobuf.Timestamp from JSON: {reason}"


@pytest.mark.parametrize(
    ("seconds", "nanos", "text"),
    [
        (1, 500000000, "1.500s"),
        (0, -1, "-0.000000001s"),
        (-DUR_MAX, 0, "-315576000000s"),
        (0, 0, "0s"),
    ],
)
def test_duration_text(seconds, nanos, text):
    d = wkt.Duration(seconds=seconds, nanos=nanos)
    assert both_forms(d) == text
    assert read_both(wkt.Duration, json.dumps(text)) == d


@pytest.mark.parametrize(
    ("text", "seconds", "nanos"), [("1.s", 1, 0), ("-0.5s", 0, -500000000), ("10s", 10, 0)]
)
def test_duration_lenient_reads(text, seconds, nanos):
    assert read_both(wkt.Duration, json.dumps(text)) == wkt.Duration(seconds=seconds, nanos=nanos)


@pytest.mark.parametrize("text", ["+1s", ".5s", "1", "1.0000000001s", "315576000001s", ""])
def test_duration_bad_text(text):
    with pytest.raises(ValueError) as info:
        read_both(wkt.Duration, json.dumps(text))
    assert str(info.value) == f"cannot decode google.protobuf.Duration from JSON: {text}"


@pytest.mark.parametrize(
    ("cls", "seconds", "nanos", "exc", "text"),
    [
        (wkt.Timestamp, TS_MAX + 1, 0, ValueError, "timestamp seconds out of range"),
        (wkt.Timestamp, 0, -1, ValueError, "timestamp nanos out of range"),
        (wkt.Timestamp, True, 0, TypeError, "expected int, got <class 'bool'>"),
        (wkt.Timestamp, 2**63, 0, OverflowError, f"value {2**63} out of range for int64"),
        (wkt.Duration, 0, 2**31, OverflowError, f"value {2**31} out of range for int32"),
        (wkt.Duration, DUR_MAX + 1, 0, ValueError, "duration seconds out of range"),
        (wkt.Duration, 0, 10**9, ValueError, "duration nanos out of range"),
        (wkt.Duration, -1, 1, ValueError, "duration seconds and nanos have different signs"),
    ],
)
def test_time_write_errors(cls, seconds, nanos, exc, text):
    msg = cls(seconds=seconds, nanos=nanos)
    for write in (msg.to_json, msg._to_json_value):
        with pytest.raises(exc) as info:
            write()
        assert str(info.value) == text


@pytest.mark.parametrize("cls", [wkt.Timestamp, wkt.Duration, wkt.FieldMask])
@given(
    text=st.text(max_size=40) | st.from_regex(r"-?[0-9]{1,13}(\.[0-9]{0,10})?s?", fullmatch=True)
)
def test_string_readers_never_misbehave(cls, text):
    """Any string: a value that writes back and reads again to itself, or the ValueError."""
    try:
        msg = cls.from_json(json.dumps(text))
    except ValueError as exc:
        assert str(exc).startswith(f"cannot decode {cls._desc.type_name} from JSON: ")
        return
    try:
        again = msg.to_json()
    except ValueError as exc:  # FieldMask reads paths it cannot write back ("a.", "1")
        assert cls is wkt.FieldMask and "irreversible" in str(exc)
        return
    assert cls.from_json(again) == msg


# ---- FieldMask, Struct, Value, ListValue -------------------------------------------------------


def test_field_mask():
    fm = wkt.FieldMask(paths=["foo_bar", "baz"])
    assert both_forms(fm) == "fooBar,baz"
    assert read_both(wkt.FieldMask, '"fooBar,baz"') == fm
    assert both_forms(wkt.FieldMask()) == ""
    assert read_both(wkt.FieldMask, '""') == wkt.FieldMask()
    with pytest.raises(ValueError, match="path names must be lowerCamelCase"):
        wkt.FieldMask.from_json('"ok,foo_bar"')
    for bad in ("foo__bar", "foo_1", "fooBar", "a..b"):
        with pytest.raises(ValueError) as info:
            wkt.FieldMask(paths=[bad]).to_json()
        assert str(info.value) == f"invalid FieldMask path: lowerCamelCase of {bad} is irreversible"
    with pytest.raises(TypeError, match="'int' object is not an instance of 'str'"):
        wkt.FieldMask(paths=[1]).to_json()


def test_value_kinds_and_errors():
    assert read_both(wkt.Value, "3").kind == Oneof("number_value", 3.0)
    assert type(wkt.Value.from_json("3").kind.value) is float
    assert read_both(wkt.Value, "null").kind == Oneof("null_value", wkt.NullValue.NULL_VALUE)
    for bad in (math.nan, math.inf, -math.inf):
        with pytest.raises(ValueError, match="value cannot be NaN or Infinity"):
            wkt.Value(kind=Oneof("number_value", bad)).to_json()
    with pytest.raises(ValueError, match="value must have exactly one field set"):
        wkt.Value().to_json()
    # An int stored in number_value is written as an integer; other numbers by their float
    # value, never by their repr.
    assert wkt.Value(kind=Oneof("number_value", 2**70)).to_json() == str(2**70)
    for number in (True, numpy.float32(1.5), decimal.Decimal("2.5")):
        assert both_forms(wkt.Value(kind=Oneof("number_value", number))) == float(number)
    any_bytearray = wkt.Any(type_url="a/google.protobuf.Duration", value=bytearray(b"\x08\x01"))
    assert both_forms(any_bytearray)["value"] == "1s"
    with pytest.raises(TypeError, match="'int' object is not an instance of 'str'"):
        wkt.Value(kind=Oneof("string_value", 1)).to_json()
    with pytest.raises(TypeError, match="expected 'google.protobuf.Value', got <class 'int'>"):
        wkt.Struct(fields={"a": 1}).to_json()
    with pytest.raises(TypeError, match="'int' object is not an instance of 'str'"):
        wkt.Struct(fields={1: wkt.Value.from_python(1)}).to_json()
    # Null inside lists and as a message field of type Value stays a Value.
    holder = read_both(wkt.ListValue, "[null, [], {}]")
    assert holder.to_list() == [None, [], {}]


def test_struct_merges_into_existing_fields():
    s = wkt.Struct.from_dict({"a": 1, "b": 2})
    s._merge_from_json('{"b": "x", "c": null}')
    assert s.to_dict() == {"a": 1.0, "b": "x", "c": None}


def test_nesting_limit_through_struct_and_list():
    deep = "1"
    for i in range(45):
        deep = f'{{"k": {deep}}}' if i % 2 else f"[{deep}]"
    wkt.Value.from_json(deep)  # Value, Struct/ListValue, Value... each one level deeper
    with pytest.raises(RecursionError, match="while parsing message"):
        wkt.Value.from_json("[" * 60 + "]" * 60)
    v = wkt.Value.from_python(1)
    for _ in range(60):
        v = wkt.Value.from_python([v])
    with pytest.raises(RecursionError, match="while serializing message"):
        v.to_json()


json_leaf = st.none() | st.booleans() | st.floats(allow_nan=False, allow_infinity=False)
json_leaf |= st.text(max_size=6)
json_tree = st.recursive(
    json_leaf,
    lambda inner: st.lists(inner, max_size=4)
    | st.dictionaries(st.text(max_size=4), inner, max_size=4),
    max_leaves=15,
)


@given(st.dictionaries(st.text(max_size=5), json_tree, max_size=5))
def test_struct_json_against_google(tree):
    ours = wkt.Struct.from_dict(tree)
    google = struct_pb2.Struct()
    google.update(tree)
    g_json = json_format.MessageToJson(google)
    assert json.loads(ours.to_json()) == json.loads(g_json) == tree
    assert read_both(wkt.Struct, g_json) == ours
    # And Google reads ours back to the same message.
    assert json_format.Parse(ours.to_json(), struct_pb2.Struct()) == google
    # Struct's plain-dict helpers are the generic value-tree readers and writers, options and all.
    assert ours.to_dict(use_proto_field_name=True, always_emit_implicit=True) == tree
    assert torvex.Message.to_dict(ours, print_enums_as_ints=True) == tree
    assert wkt.Struct.from_dict(tree, ignore_unknown_fields=True, registry=None) == ours
    assert wkt.Struct._from_json_value(tree) == ours


@given(
    st.integers(TS_MIN, TS_MAX),
    st.integers(0, 10**9 - 1),
    st.integers(-DUR_MAX, DUR_MAX),
    st.integers(0, 10**9 - 1),
    st.lists(st.from_regex(r"[a-z]{1,3}(_[a-z]{1,3}){0,2}(\.[a-z]{1,3})?", fullmatch=True)),
)
def test_time_and_mask_json_against_google(ts_s, ts_n, d_s, d_n, paths):
    d_n = -d_n if d_s < 0 else d_n
    pairs = [
        (
            wkt.Timestamp(seconds=ts_s, nanos=ts_n),
            timestamp_pb2.Timestamp(seconds=ts_s, nanos=ts_n),
        ),
        (wkt.Duration(seconds=d_s, nanos=d_n), duration_pb2.Duration(seconds=d_s, nanos=d_n)),
        (wkt.FieldMask(paths=paths), field_mask_pb2.FieldMask(paths=paths)),
    ]
    for ours, google in pairs:
        g_json = json_format.MessageToJson(google)
        assert ours.to_json() == g_json
        assert type(ours).from_json(g_json) == ours
        assert json_format.Parse(ours.to_json(), type(google)()) == google


# Keys of one length that share their first and last 8 characters: they differ only in the
# middle, where the text reader's key table does not look when it picks a slot.
_COLLIDING_KEYS = [f"head_{i:04d}_" + "m" * (i % 15) + "_8x_tail" for i in range(1500)]


@given(
    st.lists(
        st.sampled_from(_COLLIDING_KEYS)
        | st.text(max_size=40)
        | st.from_regex(r"[a-z_]{7,40}", fullmatch=True),
        max_size=30,
    )
)
def test_struct_keys_read_back_exactly(keys):
    tree = {k: i for i, k in enumerate(keys)}
    text = json.dumps(tree)
    escaped = json.dumps(tree, ensure_ascii=True)
    # Read three times: the first read fills the key table, the later ones take keys from it.
    for doc in (text, escaped, text):
        assert wkt.Struct.from_json(doc).to_dict() == tree
    nested = json.dumps([tree, {"o": tree}])
    assert wkt.Value.from_json(nested).to_python() == [tree, {"o": tree}]


# ---- Any --------------------------------------------------------------------------------------


# Google resolves payload types in its default pool: make sure these modules are loaded there.
assert empty_pb2 and source_context_pb2 and duration_pb2


@pytest.mark.parametrize(
    "payload",
    [
        wkt.Duration(seconds=3),
        wkt.Struct.from_dict({"a": [1, {"b": None}]}),
        SourceContext(file_name="x.proto"),
        wkt.Empty(),
    ],
)
def test_any_json_against_google(payload):
    ours = wkt.Any.pack(payload)
    google = any_pb2.Any.FromString(ours.to_binary())
    g_json = json_format.MessageToJson(google)
    assert json.loads(ours.to_json(registry=RSC)) == json.loads(g_json)
    assert read_both(wkt.Any, g_json, RSC) == ours
    assert json_format.Parse(ours.to_json(registry=RSC), any_pb2.Any()) == google


def test_any_forms_and_nesting():
    inner = wkt.Any.pack(wkt.FieldMask(paths=["a_b"]))
    outer = wkt.Any.pack(inner)
    doc = both_forms(outer)
    assert doc == {
        "@type": "type.googleapis.com/google.protobuf.Any",
        "value": {"@type": "type.googleapis.com/google.protobuf.FieldMask", "value": "aB"},
    }
    assert read_both(wkt.Any, json.dumps(doc)) == outer
    # Another prefix is accepted and the standard one is stored.
    other = read_both(wkt.Any, '{"@type": "example.com/x/google.protobuf.Duration", "value": "1s"}')
    assert other.type_url == "type.googleapis.com/google.protobuf.Duration"
    # The document's own str may be stored when canonical, but never a str subclass of it.
    url = type("Url", (str,), {})("type.googleapis.com/google.protobuf.Duration")
    kept = wkt.Any._from_json_value({"@type": url, "value": "1s"}, registry=R)
    assert type(kept.type_url) is str and kept.type_url == url
    # A well-known payload without "value" stays empty; unknown extra keys are not inline fields.
    assert read_both(wkt.Any, '{"@type": "a/google.protobuf.Duration"}').value == b""
    with pytest.raises(ValueError, match="key: 'x' is unknown"):
        wkt.Any.from_json('{"@type": "a/google.protobuf.SourceContext", "x": 1}', registry=RSC)
    assert both_forms(wkt.Any()) == {}


@pytest.mark.parametrize(
    ("doc", "registry", "exc", "text"),
    [
        ("[]", R, TypeError, "cannot decode google.protobuf.Any from JSON: []"),
        (
            '{"value": 1}',
            R,
            ValueError,
            "cannot decode google.protobuf.Any from JSON: {'value': 1}, @type is invalid: None",
        ),
        (
            '{"@type": 5}',
            R,
            ValueError,
            "cannot decode google.protobuf.Any from JSON: {'@type': 5}, @type is invalid: 5",
        ),
        (
            '{"@type": "a/b.C"}',
            R,
            ValueError,
            "cannot decode google.protobuf.Any from JSON: b.C is not in the type registry",
        ),
        (
            '{"@type": "a/google.protobuf.Duration"}',
            Registry(),
            ValueError,
            "cannot decode google.protobuf.Any from JSON: google.protobuf.Duration is not in "
            "the type registry",
        ),
        (
            '{"@type": "a/google.protobuf.Duration", "value": "1"}',
            R,
            ValueError,
            "cannot decode google.protobuf.Duration from JSON: 1",
        ),
        ('{"@type": "a/b.C"}', lambda: _Raising(), LookupError, "b.C"),
        (
            '{"@type": "a/b.C"}',
            lambda: _WrongType(),
            TypeError,
            "'int' object is not an instance of 'type'",
        ),
    ],
)
def test_any_read_errors(doc, registry, exc, text):
    if callable(registry):
        registry = registry()
    for read in (
        lambda: wkt.Any.from_json(doc, registry=registry),
        lambda: wkt.Any._from_json_value(json.loads(doc), registry=registry),
    ):
        with pytest.raises(exc) as info:
            read()
        assert str(info.value) == text


class _Raising:
    def message(self, name):
        raise LookupError(name)


class _WrongType:
    def message(self, name):
        return type("D", (), {"type": 5})()


class _NoneRegistry:
    def message(self, name):
        return None


@pytest.mark.parametrize(
    ("any_msg", "registry", "exc", "text"),
    [
        (wkt.Any.pack(wkt.Empty()), Registry(), ValueError,
         'any: "type.googleapis.com/google.protobuf.Empty" is not in the type registry'),
        (wkt.Any.pack(wkt.Empty()), _NoneRegistry(), ValueError,
         'any: "type.googleapis.com/google.protobuf.Empty" is not in the type registry'),
        (wkt.Any(type_url="a/"), R, ValueError, "invalid type url: a/"),
        (wkt.Any.pack(wkt.Empty()), _Raising(), LookupError, "google.protobuf.Empty"),
        (wkt.Any.pack(wkt.Empty()), _WrongType(), TypeError,
         "'int' object is not an instance of 'type'"),
        (wkt.Any(type_url="a/google.protobuf.Duration", value=b"\x08"), R, ValueError, None),
        (wkt.Any(type_url=5), R, TypeError, "'int' object is not an instance of 'str'"),
    ],
)  # fmt: skip
def test_any_write_errors(any_msg, registry, exc, text):
    for write in (any_msg.to_json, any_msg._to_json_value):
        with pytest.raises(exc) as info:
            write(registry=registry)
        if text is not None:
            assert str(info.value) == text


def test_any_nesting_limit():
    def chain(n):
        msg = wkt.Empty()
        for _ in range(n):
            msg = wkt.Any.pack(msg)
        return msg

    def text(n):
        head = '{"@type": "a/google.protobuf.Any", "value": ' * n
        return head + '{"@type": "a/google.protobuf.Empty"}' + "}" * n

    ok = chain(100)  # Anys at depths 0..99, the Empty at 100
    assert wkt.Any.from_json(ok.to_json(registry=R), registry=R) == ok
    assert wkt.Any.from_json(text(99), registry=R) == ok
    with pytest.raises(RecursionError, match="depth 100 while serializing"):
        chain(101).to_json(registry=R)
    with pytest.raises(RecursionError, match="depth 100 while parsing"):
        wkt.Any.from_json(text(100), registry=R)


@pytest.mark.skipif(bool(os.environ.get("TORVEX_SANITIZED")), reason="sanitizer build")
def test_repeated_wkt_json_does_not_leak():
    from test_codec_memory import rss_bytes

    payload = wkt.Struct.from_dict({"a": [1, "x", None, {"b": True}], "t": "y"})
    holder = wkt.Any.pack(payload)
    good = holder.to_json(registry=R)
    bad = [
        good.replace('"y"', "[1e999]"),  # fails deep inside the payload
        '{"@type": "a/b.C"}',
        '"1970-01-01T00:00:00z"',
    ]
    watched = [R, wkt.Any, wkt.Struct, wkt.Value, holder]

    def cycle(i):
        try:
            if i % 4 == 0:
                assert wkt.Any.from_json(good, registry=R).unpack(wkt.Struct) == payload
            elif i % 4 == 1:
                holder.to_json(registry=R)
                wkt.Timestamp(seconds=i).to_json()
                wkt.Duration(seconds=-1, nanos=-1).to_json()
            elif i % 8 == 2:
                wkt.Duration(seconds=-1, nanos=1).to_json()
            else:
                target = wkt.Timestamp if "z" in bad[i % 3] else wkt.Any
                target.from_json(bad[i % 3], registry=R)
        except ValueError:
            if i % 4 < 2:
                raise

    for i in range(3_000):
        cycle(i)
    gc.collect()
    refs = [sys.getrefcount(obj) for obj in watched]
    before = rss_bytes()
    for i in range(30_000):
        cycle(i)
    gc.collect()
    grown = rss_bytes() - before
    assert grown < 4 * 2**20, f"resident memory grew by {grown} bytes"
    assert [sys.getrefcount(obj) for obj in watched] == refs


def test_null_value_enum_is_marked_only_in_the_standard_file():
    other_file = torvex.File("mine/null.proto", package="google.protobuf")

    class NullValue(torvex.Enum, file=other_file):
        NULL_VALUE = 0

    ns = {
        "__module__": __name__,
        "std": torvex.field(1, wkt.NullValue),
        "mine": torvex.field(2, NullValue),
        "items": torvex.repeated(3, wkt.NullValue),
    }
    holder = type(torvex.Message)("Holder", (torvex.Message,), ns, file=other_file)
    msg = holder(items=[wkt.NullValue.NULL_VALUE])
    assert msg._to_json_value(always_emit_implicit=True) == {
        "std": None,
        "mine": "NULL_VALUE",
        "items": [None],
    }
    back = holder.from_json('{"std": null, "items": [null]}')
    assert back.items == [wkt.NullValue.NULL_VALUE]


def test_null_for_value_typed_fields_is_a_value():
    file = torvex.File("mine/holder.proto", package="mine")
    ns = {
        "__module__": __name__,
        "v": torvex.field(1, wkt.Value),
        "vs": torvex.repeated(2, wkt.Value),
        "m": torvex.map_field(3, T.STRING, wkt.Value),
        "ts": torvex.field(4, wkt.Timestamp),
    }
    holder = type(torvex.Message)("Holder", (torvex.Message,), ns, file=file)
    null = wkt.Value.from_python(None)
    msg = read_both(holder, '{"v": null, "vs": [null, 1], "m": {"k": null}, "ts": null}')
    one = wkt.Value.from_python(1)
    assert (msg.v, msg.vs, msg.m, msg.ts) == (null, [null, one], {"k": null}, None)
    assert both_forms(msg) == {"v": None, "vs": [None, 1.0], "m": {"k": None}}


# ---- an Any with "@type" first is read in one pass; anything unusual goes the general way ----

_PAYLOAD_FILE = torvex.File("mine/any_payload.proto", package="mine")


class _Payload(torvex.Message, file=_PAYLOAD_FILE):
    n: int = torvex.field(1, T.INT32)
    tags: list[str] = torvex.repeated(2, T.STRING)
    counts: dict[str, int] = torvex.map_field(3, T.STRING, T.INT32)
    ctx: wkt.SourceContext | None = torvex.field(4, wkt.SourceContext)
    attrs: wkt.Struct | None = torvex.field(5, wkt.Struct)
    ratio: float = torvex.field(6, T.DOUBLE)


_REG = Registry(wkt, _Payload)


class _CountingRegistry:
    """Counts lookups: the one-pass reader looks the payload up once, a hand-over twice."""

    def __init__(self) -> None:
        self.inner, self.calls = Registry(wkt, _Payload), 0

    def message(self, name):
        self.calls += 1
        return self.inner.message(name)


def _outcome(read):
    try:
        return "ok", read().to_binary()
    except Exception as e:  # noqa: BLE001 - the exception itself is the outcome compared
        return type(e), str(e), getattr(e, "__notes__", None)


_member_values = {
    "n": st.integers(-(2**31), 2**31 - 1) | st.just("7") | st.just(1.5) | st.none() | st.just([]),
    "tags": st.lists(st.text(max_size=3), max_size=3) | st.none() | st.just([1]) | st.just("x"),
    "counts": st.dictionaries(st.sampled_from("ab"), st.integers(-5, 5), max_size=2) | st.none(),
    "ctx": st.fixed_dictionaries({"fileName": st.text(max_size=3)}) | st.none() | st.just(3),
    "attrs": st.dictionaries(st.text(max_size=3), json_tree, max_size=3) | st.none() | st.just([]),
    "ratio": st.integers(-(2**60), 2**60) | st.floats(allow_nan=False, allow_infinity=False),
    "fileName": st.just("x"),  # not a field of the payload
    "n ": st.just(1),
}
_members = st.lists(
    st.sampled_from(sorted(_member_values)).flatmap(
        lambda k: st.tuples(st.just(k), _member_values[k])
    ),
    max_size=5,
)


@given(_members, st.sampled_from(["mine._Payload", "google.protobuf.Struct", "no.Such"]))
def test_any_type_first_reads_as_type_last(members, type_name):
    """Moving "@type" from first to last changes nothing: message or error, note included."""
    url = json.dumps(f"type.googleapis.com/{type_name}")
    body = [f"{json.dumps(k)}: {json.dumps(v)}" for k, v in members]
    if type_name == "google.protobuf.Struct":
        body = [f'"value": {json.dumps(dict(members))}'] + body[:1]
    first = "{" + ", ".join([f'"@type": {url}'] + body) + "}"
    last = "{" + ", ".join(body + [f'"@type": {url}']) + "}"
    reg = _CountingRegistry()
    got = _outcome(lambda: wkt.Any.from_json(first, registry=reg))
    fast = reg.calls == 1
    assert got == _outcome(lambda: wkt.Any.from_json(last, registry=reg))
    keys = [k for k, _ in members]
    plain = len(set(keys)) == len(keys) and not {"fileName", "n "} & set(keys)
    plain = plain and None not in [v for _, v in members]  # a null hands over too
    if got[0] == "ok" and plain and type_name == "mine._Payload":
        assert fast  # the one-pass reader did the work
    if fast:
        assert got[0] == "ok"  # a failure always hands over


_DUR = "a/google.protobuf.Duration"
JSONErr = json.JSONDecodeError
_UNKNOWN_X = "cannot decode mine._Payload from JSON: key: 'x' is unknown"


@pytest.mark.parametrize(
    ("doc", "want"),
    [
        # Repeated keys: the last one wins, as when the object is read whole first.
        ('"n": 1, "n": 2', _Payload(n=2)),
        ('"tags": ["a"], "tags": null', _Payload()),
        (f'"@type": "{_DUR}", "value": "1s"', wkt.Duration(seconds=1)),
        # A well-known payload is "value" alone; other members are ignored.
        ('"value": "1s", "value": "2s"', wkt.Duration(seconds=2)),
        ('"value": "1s", "extra": 1', wkt.Duration(seconds=1)),
        (
            '"n": "x"',
            (ValueError, "invalid integer value: 'x' for field mine._Payload.n",
             ["while decoding google.protobuf.Any.n"]),
        ),  # fmt: skip
        (
            '"ctx": {"fileName": 1}',
            (TypeError,
             "expected string got: <class 'int'> for field "
             "google.protobuf.SourceContext.file_name",
             ["while decoding google.protobuf.Any.ctx.file_name"]),
        ),  # fmt: skip
        ('"x": 1', (ValueError, _UNKNOWN_X, None)),
        ('"attrs": {"a": NaN}', (JSONErr, "expected value: line 1 column 45 (char 44)", None)),
        ('"n": 1,', (JSONErr, "trailing comma: line 1 column 37 (char 36)", None)),
        # The integer -0 is 0 once the object has been read whole, as the general reader does.
        ('"ratio": -0', _Payload()),
        ('"ratio": -0.0', _Payload(ratio=-0.0)),
        ('"attrs": {"z": [-0, -0.0]}', _Payload(attrs=wkt.Struct.from_dict({"z": [0.0, -0.0]}))),
    ],
)
def test_any_type_first_hands_over_unusual_documents(doc, want):
    type_url = _DUR if "value" in doc and "@type" not in doc else "a/mine._Payload"
    got = _outcome(lambda: wkt.Any.from_json(f'{{"@type": "{type_url}", {doc}}}', registry=_REG))
    if isinstance(want, torvex.Message):
        want = ("ok", wkt.Any.pack(want).to_binary())
    assert got == want


def test_any_type_first_depth_limit_and_nested_any():
    def chain(n):
        doc = '{"@type": "a/mine._Payload", "n": 1}'
        for _ in range(n):
            doc = f'{{"@type": "a/google.protobuf.Any", "value": {doc}}}'
        return doc

    inner = wkt.Any.from_json(chain(99), registry=_REG)
    for _ in range(99):
        inner = inner.unpack(wkt.Any)
    assert inner.unpack(_Payload) == _Payload(n=1)
    with pytest.raises(RecursionError, match="depth 100 while parsing") as info:
        wkt.Any.from_json(chain(100), registry=_REG)
    assert getattr(info.value, "__notes__", None) is None


def test_struct_members_share_immutables_without_leaking():
    number, text = float("1.25e300"), "".join(["not", " interned"])
    tree = {"n": number, "s": text, "nan": float("nan"), "l": [None, True, False, number]}
    before = sys.getrefcount(number), sys.getrefcount(text)
    msg = wkt.Struct._from_json_value(tree)
    assert msg.fields["n"].kind.value is number and msg.fields["s"].kind.value is text
    assert math.isnan(msg.fields["nan"].kind.value)  # kept as read; writing it fails
    assert msg.fields["l"].kind.value.to_list() == [None, True, False, number]
    del msg
    assert (sys.getrefcount(number), sys.getrefcount(text)) == before
    # Null and bool members share their choice record; each Value still reads as its own.
    a = wkt.ListValue.from_json("[null, true, false, null, true]")
    kinds = ["null_value", "bool_value", "bool_value", "null_value", "bool_value"]
    assert [v.kind.field for v in a.values] == kinds
    assert a.to_list() == [None, True, False, None, True]


_GOOGLE_TREES = {wkt.Value: struct_pb2.Value, wkt.Struct: struct_pb2.Struct}
_GOOGLE_TREES[wkt.ListValue] = struct_pb2.ListValue


@given(json_tree, st.sampled_from(sorted(_GOOGLE_TREES, key=str)), st.booleans())
def test_value_trees_read_as_google_reads_them(tree, cls, packed):
    tree = {"k": tree} if cls is wkt.Struct else [tree] if cls is wkt.ListValue else tree
    google = json_format.Parse(json.dumps(tree), _GOOGLE_TREES[cls]())
    if packed:  # in an Any, whose payload is read from the text as it goes
        url = f"type.googleapis.com/{google.DESCRIPTOR.full_name}"
        ours = read_both(wkt.Any, json.dumps({"@type": url, "value": tree})).unpack(cls)
    else:
        ours = read_both(cls, json.dumps(tree))
    assert json_format.Parse(ours.to_json(), _GOOGLE_TREES[cls]()) == google
    assert ours.to_dict() == tree if cls is not wkt.Value else ours.to_python() == tree


def test_cycles_through_values_made_from_freed_memory_are_collected():
    text = '{"a": 1, "b": [true, "x", {"c": null}]}'
    for _ in range(3):
        freed = [wkt.Struct.from_json(text) for _ in range(100)]
        del freed
        s = wkt.Struct.from_json(text)
        s.fields["self"] = wkt.Value(kind=Oneof("struct_value", s))
        ref = weakref.ref(s)
        del s
        assert gc.collect() >= 4 and ref() is None


@given(st.lists(st.tuples(st.sampled_from("abk") | st.text(max_size=3), json_leaf), max_size=80))
def test_struct_members_keep_document_order_and_last_value(pairs):
    text = "{" + ", ".join(f"{json.dumps(k)}: {json.dumps(v)}" for k, v in pairs) + "}"
    want = json.loads(text)  # a repeated key keeps its first place and its last value
    for got in (wkt.Struct.from_json(text), wkt.Struct._from_json_value(want)):
        assert list(got.fields) == list(want) and got.to_dict() == want


def test_reading_and_dropping_documents_keeps_memory_flat():
    import tracemalloc

    text = wkt.Struct.from_dict({f"k{i}": [i, "s", None, {"x": True}] for i in range(60)}).to_json()

    def run():
        for _ in range(300):
            assert len(wkt.Struct.from_json(text).fields) == 60

    run()
    tracemalloc.start()
    base = tracemalloc.get_traced_memory()[0]
    run()
    grown = tracemalloc.get_traced_memory()[0] - base
    tracemalloc.stop()
    assert grown < 10_000  # one object kept per document would be 19 KB
