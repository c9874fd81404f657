"""The well-known types of torvex.wkt against Google's classes (binary), and their helpers."""

from __future__ import annotations

import math
from datetime import datetime, timedelta, timezone

import pytest
from google.protobuf import any_pb2, duration_pb2, empty_pb2, field_mask_pb2, struct_pb2
from google.protobuf import timestamp_pb2, wrappers_pb2
from hypothesis import given
from hypothesis import strategies as st

import torvex
from torvex import Oneof, wkt

TS_MIN, TS_MAX = -62135596800, 253402300799
DUR_MAX = 315576000000
NANOS = 10**9

json_leaf = st.none() | st.booleans() | st.floats(allow_nan=False, allow_infinity=False)
json_leaf |= st.text(max_size=8)
json_tree = st.recursive(
    json_leaf,
    lambda inner: st.lists(inner, max_size=4)
    | st.dictionaries(st.text(max_size=5), inner, max_size=4),
    max_leaves=12,
)
json_object = st.dictionaries(st.text(max_size=5), json_tree, max_size=5)


def google_value(x):
    v = struct_pb2.Value()
    if x is None:
        v.null_value = 0
    elif isinstance(x, bool):
        v.bool_value = x
    elif isinstance(x, float):
        v.number_value = x
    elif isinstance(x, str):
        v.string_value = x
    elif isinstance(x, list):
        v.list_value.SetInParent()
        v.list_value.values.extend(google_value(e) for e in x)
    else:
        v.struct_value.SetInParent()
        for k, e in x.items():
            v.struct_value.fields[k].CopyFrom(google_value(e))
    return v


def test_full_names_and_files():
    expected = {
        wkt.Any: "any",
        wkt.Timestamp: "timestamp",
        wkt.Duration: "duration",
        wkt.FieldMask: "field_mask",
        wkt.Struct: "struct",
        wkt.Value: "struct",
        wkt.ListValue: "struct",
        wkt.NullValue: "struct",
        wkt.Empty: "empty",
        wkt.Int32Value: "wrappers",
        wkt.BytesValue: "wrappers",
    }
    for cls, file in expected.items():
        assert cls._desc.type_name == "google.protobuf." + cls.__name__
        assert cls._desc.file.name == f"google/protobuf/{file}.proto"


@given(
    st.integers(TS_MIN, TS_MAX),
    st.integers(0, NANOS - 1),
    st.integers(-DUR_MAX, DUR_MAX),
    st.integers(-(NANOS - 1), NANOS - 1),
)
def test_time_types_encode_like_google(ts_s, ts_n, d_s, d_n):
    assert wkt.Timestamp(seconds=ts_s, nanos=ts_n).to_binary() == (
        timestamp_pb2.Timestamp(seconds=ts_s, nanos=ts_n).SerializeToString()
    )
    data = duration_pb2.Duration(seconds=d_s, nanos=d_n).SerializeToString()
    assert wkt.Duration(seconds=d_s, nanos=d_n).to_binary() == data
    back = wkt.Duration.from_binary(data)
    assert (back.seconds, back.nanos) == (d_s, d_n)


@given(json_object)
def test_struct_encodes_and_decodes_like_google(tree):
    g = struct_pb2.Struct()
    for k, x in tree.items():
        g.fields[k].CopyFrom(google_value(x))
    data = g.SerializeToString(deterministic=True)
    ours = wkt.Struct.from_dict(tree)
    # Map entries are written in an order of each side's own; compare Google's sorted re-encoding.
    again = struct_pb2.Struct.FromString(ours.to_binary())
    assert again.SerializeToString(deterministic=True) == data
    assert wkt.Struct.from_binary(data).to_dict() == tree
    assert ours.to_dict() == tree


@pytest.mark.parametrize(
    ("cls", "gcls", "value"),
    [
        (wkt.DoubleValue, wrappers_pb2.DoubleValue, -1.5),
        (wkt.FloatValue, wrappers_pb2.FloatValue, 0.25),
        (wkt.Int64Value, wrappers_pb2.Int64Value, -(2**63)),
        (wkt.UInt64Value, wrappers_pb2.UInt64Value, 2**64 - 1),
        (wkt.Int32Value, wrappers_pb2.Int32Value, -1),
        (wkt.UInt32Value, wrappers_pb2.UInt32Value, 2**32 - 1),
        (wkt.BoolValue, wrappers_pb2.BoolValue, True),
        (wkt.StringValue, wrappers_pb2.StringValue, "h\u00e9"),
        (wkt.BytesValue, wrappers_pb2.BytesValue, b"\x00\xff"),
    ],
)
def test_wrappers_encode_like_google(cls, gcls, value):
    data = gcls(value=value).SerializeToString()
    assert cls(value=value).to_binary() == data
    assert cls.from_binary(data).value == value


def test_field_mask_empty_and_any_encode_like_google():
    paths = ["a.b_c", "d"]
    assert wkt.FieldMask.from_paths(*paths).to_binary() == (
        field_mask_pb2.FieldMask(paths=paths).SerializeToString()
    )
    assert wkt.FieldMask.from_paths(paths).paths == paths
    assert wkt.Empty().to_binary() == empty_pb2.Empty().SerializeToString() == b""
    g = any_pb2.Any()
    g.Pack(duration_pb2.Duration(seconds=3, nanos=-0))
    ours = wkt.Any.pack(wkt.Duration(seconds=3))
    assert ours.to_binary() == g.SerializeToString()
    assert ours.type_url == "type.googleapis.com/google.protobuf.Duration"
    assert wkt.Any.pack(wkt.Empty(), "example.com/x").type_url == (
        "example.com/x/google.protobuf.Empty"
    )


@given(st.integers(TS_MIN * NANOS, TS_MAX * NANOS + NANOS - 1))
def test_timestamp_nanoseconds_match_google(n):
    g = timestamp_pb2.Timestamp()
    g.FromNanoseconds(n)
    ours = wkt.Timestamp.from_nanoseconds(n)
    assert (ours.seconds, ours.nanos) == (g.seconds, g.nanos)
    assert ours.to_nanoseconds() == n


@given(st.integers(-DUR_MAX * NANOS, DUR_MAX * NANOS))
def test_duration_nanoseconds_match_google(n):
    g = duration_pb2.Duration()
    g.FromNanoseconds(n)
    ours = wkt.Duration.from_nanoseconds(n)
    assert (ours.seconds, ours.nanos) == (g.seconds, g.nanos)
    assert ours.to_nanoseconds() == n


@given(
    st.datetimes(
        min_value=datetime(1, 1, 2),
        max_value=datetime(9999, 12, 30),
        timezones=st.sampled_from([timezone.utc, timezone(timedelta(hours=-7, minutes=-30))]),
    )
)
def test_timestamp_datetime_round_trip(dt):
    ts = wkt.Timestamp.from_datetime(dt)
    assert 0 <= ts.nanos < NANOS and ts.nanos % 1000 == 0
    assert ts.to_datetime() == dt
    assert ts.to_datetime(dt.tzinfo).utcoffset() == dt.utcoffset()
    g = timestamp_pb2.Timestamp()
    g.FromDatetime(dt)
    assert (ts.seconds, ts.nanos) == (g.seconds, g.nanos)


@given(st.timedeltas(min_value=timedelta(days=-10**6), max_value=timedelta(days=10**6)))
def test_duration_timedelta_round_trip(td):
    d = wkt.Duration.from_timedelta(td)
    # One sign for both parts, as the standard requires.
    assert d.seconds * d.nanos >= 0 and abs(d.nanos) < NANOS
    assert d.to_timedelta() == td


def test_time_helper_edges():
    with pytest.raises(ValueError, match="naive datetime"):
        wkt.Timestamp.from_datetime(datetime(2020, 1, 1))
    with pytest.raises(TypeError):
        wkt.Duration.from_timedelta(5)
    # Sub-microsecond parts are truncated toward zero, on both sides of zero.
    assert wkt.Duration(seconds=0, nanos=-1999).to_timedelta() == timedelta(microseconds=-1)
    assert wkt.Timestamp(seconds=-1, nanos=999_999_999).to_datetime() == datetime(
        1969, 12, 31, 23, 59, 59, 999999, tzinfo=timezone.utc
    )
    before = datetime.now(timezone.utc)
    now = wkt.Timestamp.now().to_datetime()
    assert before <= now <= datetime.now(timezone.utc)


@pytest.mark.parametrize(
    ("value", "member", "back"),
    [
        (None, "null_value", None),
        (True, "bool_value", True),
        (3, "number_value", 3.0),
        ("s", "string_value", "s"),
        ({"a": 1}, "struct_value", {"a": 1.0}),
        ((1, "x"), "list_value", [1.0, "x"]),
    ],
)
def test_value_from_python_kinds(value, member, back):
    v = wkt.Value.from_python(value)
    assert v.kind.field == member
    assert v.to_python() == back
    assert type(v.to_python()) is type(back)


@pytest.mark.parametrize("bad", [math.nan, math.inf, -math.inf])
def test_value_refuses_non_finite_numbers(bad):
    with pytest.raises(ValueError, match="NaN or Infinity"):
        wkt.Value.from_python(bad)


def test_value_helper_errors():
    with pytest.raises(TypeError, match="cannot represent"):
        wkt.Value.from_python(object())
    with pytest.raises(TypeError, match="keys must be str"):
        wkt.Struct.from_dict({1: 2})
    with pytest.raises(ValueError, match="exactly one field"):
        wkt.Value().to_python()
    nested = wkt.Struct.from_dict({"l": [[{}]]})
    assert wkt.ListValue.from_list([nested]).to_list() == [{"l": [[{}]]}]
    assert wkt.Value(kind=Oneof("null_value", wkt.NullValue.NULL_VALUE)).to_python() is None


class TestAny:
    def test_unpack_by_class_and_registry(self):
        d = wkt.Duration(seconds=-1, nanos=-5)
        a = wkt.Any.pack(d)
        assert a.type_name == "google.protobuf.Duration"
        assert a.is_type(wkt.Duration) and not a.is_type(wkt.Timestamp)
        assert a.unpack(wkt.Duration) == d
        assert a.unpack(torvex.Registry(wkt)) == d
        # Any prefix is accepted; only the text after the last "/" names the type.
        a.type_url = "example.com/a/b/google.protobuf.Duration"
        assert a.unpack(torvex.Registry(wkt.Duration)) == d

    def test_unpack_errors(self):
        a = wkt.Any.pack(wkt.Duration(seconds=1))
        with pytest.raises(ValueError, match="not a google.protobuf.Timestamp"):
            a.unpack(wkt.Timestamp)
        with pytest.raises(ValueError, match="not in the registry"):
            a.unpack(torvex.Registry(wkt.Timestamp))
        with pytest.raises(TypeError):
            wkt.Any.pack(b"raw")
        a.value = b"\x08"  # truncated varint
        with pytest.raises(ValueError):
            a.unpack(wkt.Duration)

    def test_payload_interop_with_google(self):
        g = any_pb2.Any()
        g.Pack(struct_pb2.Struct(fields={"k": struct_pb2.Value(string_value="v")}))
        ours = wkt.Any.from_binary(g.SerializeToString())
        assert ours.unpack(wkt.Struct).to_dict() == {"k": "v"}
        assert ours.to_binary() == g.SerializeToString()
