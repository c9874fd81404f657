"""Well-known-type helpers against the peer's: field-mask algebra and merges over generated
schemas, Struct/ListValue as containers, Timestamp/Duration conversions and arithmetic."""

from __future__ import annotations

import copy
from datetime import datetime, timedelta, timezone

import pytest
from google.protobuf import duration_pb2, field_mask_pb2, json_format, struct_pb2, timestamp_pb2
from hypothesis import assume, given
from hypothesis import strategies as st

from peer import from_peer, peer_class, peer_name, snapshot, to_peer
from test_reflection import Part, peer_path
from test_roundtrip_property import SETTINGS, Schema, has_nan, message_values, schema_and_values
import torvex
from torvex import ScalarType as T
from torvex import wkt
from torvex._descriptors import DescFieldValueMessage

# ---- field masks ---------------------------------------------------------------------------

names = st.sampled_from(["a", "b", "c", "a_b"])
# Empty names after the first ("a..b", "a."), and the empty path. A leading empty name is left
# out: the peer then renders ".a" as "a" beside a real "a" and returns duplicates.
path = st.tuples(names, st.lists(names | st.just(""), max_size=2)).map(
    lambda t: ".".join([t[0], *t[1]])
)
paths = st.lists(path | st.just(""), max_size=6)


def google_mask(p: list[str]) -> field_mask_pb2.FieldMask:
    return field_mask_pb2.FieldMask(paths=p)


@SETTINGS
@given(paths, paths)
def test_mask_algebra_is_the_peers(p1, p2):
    ours1, ours2 = wkt.FieldMask(paths=p1), wkt.FieldMask(paths=p2)
    canonical, union, inter = (field_mask_pb2.FieldMask() for _ in range(3))
    canonical.CanonicalFormFromMask(google_mask(p1))
    union.Union(google_mask(p1), google_mask(p2))
    inter.Intersect(google_mask(p1), google_mask(p2))
    assert ours1.to_canonical().paths == list(canonical.paths)
    assert ours1.union(ours2).paths == list(union.paths)
    assert ours1.intersect(ours2).paths == list(inter.paths)
    assert ours1.paths == p1  # the operations build new masks


def _steps_into(f) -> bool:
    kind = f.value
    return isinstance(kind, DescFieldValueMessage) and not kind.delimited_encoding


@st.composite
def schema_paths(draw, cls, *, valid: bool) -> list[str]:
    """Paths over cls's fields, most of them through singular message fields; with
    valid=False some steps name no field or go on after a list or a scalar."""
    out = []
    for _ in range(draw(st.integers(0, 4))):
        desc, steps = cls._desc, []
        while desc.fields:
            if not valid and draw(st.integers(0, 5)) == 0:
                steps.append("nope")
                break
            inner = [f for f in desc.fields if _steps_into(f)]
            if inner and draw(st.integers(0, 3)):
                f = draw(st.sampled_from(inner))
                steps.append(f.name)
                if draw(st.integers(0, 2)):
                    desc = f.value.message
                    continue
                break
            steps.append(draw(st.sampled_from(desc.fields)).name)
            if not valid and draw(st.booleans()):
                continue  # a step after a list or scalar
            break
        if steps:
            out.append(".".join(steps))
    return out


def peer_mask(cls, p: list[str]) -> field_mask_pb2.FieldMask:
    return google_mask([peer_path(cls, x) for x in p])


# A fixed schema of several nested levels: generated schemas rarely nest singular messages.
NEST = torvex.File("helpers/nest.proto", package="nest")


class Leaf(torvex.Message, file=NEST):
    n: int = torvex.field(1, T.INT32, optional=True)
    s: str = torvex.field(2, T.STRING)
    tags: list[str] = torvex.repeated(3, T.STRING)


class Mid(torvex.Message, file=NEST):
    leaf: Leaf | None = torvex.field(1, Leaf)
    leaves: list[Leaf] = torvex.repeated(2, Leaf)
    by_name: dict[str, Leaf] = torvex.map_field(3, T.STRING, Leaf)
    x: int = torvex.field(4, T.INT64, optional=True)
    pick: torvex.Oneof | None = torvex.oneof(one=torvex.field(5, Leaf), text=torvex.field(6, T.STRING))


class Top(torvex.Message, file=NEST):
    mid: Mid | None = torvex.field(1, Mid)
    other: Mid | None = torvex.field(2, Mid)
    name: str = torvex.field(3, T.STRING)
    nums: list[int] = torvex.repeated(4, T.INT32)


NESTED = st.tuples(
    st.just(Schema(Top, [Leaf, Mid, Top], False, [])),
    st.lists(message_values(Top, 0, 2), min_size=2, max_size=2),
)


def loose_peer_path(cls, path: str) -> str:
    """peer_path for any path: names that match no field stay as they are."""
    desc, out = cls._desc, []
    for name in path.split("."):
        f = next((f for f in desc.fields if f.name == name), None) if desc else None
        out.append(peer_name(f.number) if f else name)
        desc = f.value.message if f and isinstance(f.value, DescFieldValueMessage) else None
    return ".".join(out)


@SETTINGS
@given(st.data())
def test_is_valid_for_is_the_peers(data):
    schema, _ = data.draw(schema_and_values(count=0))
    cls = schema.root
    p = data.draw(schema_paths(cls, valid=data.draw(st.booleans())))
    peer = google_mask([loose_peer_path(cls, x) for x in p])
    assert wkt.FieldMask(paths=p).is_valid_for(cls) == peer.IsValidForDescriptor(
        peer_class(cls).DESCRIPTOR
    )


@SETTINGS
@given(st.data(), st.booleans(), st.booleans())
def test_merge_message_is_the_peers(data, replace_message, replace_repeated):
    schema, (src, dst) = data.draw(NESTED | schema_and_values(count=2))
    cls = schema.root
    p = data.draw(schema_paths(cls, valid=True))
    ours = copy.deepcopy(dst)
    wkt.FieldMask(paths=p).merge_message(src, ours, replace_message, replace_repeated)
    theirs = to_peer(dst)
    peer_mask(cls, p).MergeMessage(to_peer(src), theirs, replace_message, replace_repeated)
    assert snapshot(ours) == snapshot(from_peer(theirs, cls))


@pytest.mark.parametrize("path", ["mid.x", "mid.text", "mid.leaves", "mid.by_name", "mid.leaf",
                                  "mid.one", "mid.leaf.n", "mid.leaf.tags"])  # fmt: skip
@pytest.mark.parametrize("replace", [(False, False), (True, False), (False, True)])
def test_which_paths_create_the_sub_message_they_go_through(path, replace):
    src, dst = Top(mid=Mid()), Top()
    wkt.FieldMask(paths=[path]).merge_message(src, dst, *replace)
    theirs = to_peer(Top())
    peer_mask(Top, [path]).MergeMessage(to_peer(src), theirs, *replace)
    assert snapshot(dst) == snapshot(from_peer(theirs, Top))


@SETTINGS
@given(NESTED | schema_and_values(count=2))
def test_a_diff_mask_turns_one_message_into_the_other(case):
    schema, (a, b) = case
    assume(not has_nan(a) and not has_nan(b))
    mask = wkt.FieldMask.from_diff(a, b)
    assert mask.is_valid_for(schema.root)
    assert mask == mask.to_canonical()
    patched = copy.deepcopy(a)
    mask.merge_message(b, patched, replace_message_field=True, replace_repeated_field=True)
    assert patched == b
    assert wkt.FieldMask.from_diff(a, copy.deepcopy(a)).paths == []


# ---- Struct and ListValue ------------------------------------------------------------------

json_values = st.recursive(
    st.none()
    | st.booleans()
    | st.floats(allow_nan=False, allow_infinity=False)
    | st.integers(-(2**53), 2**53)
    | st.text(max_size=4),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=2), inner, max_size=3),
    max_leaves=6,
)
keys = st.sampled_from(["a", "b", "c", "é"])
ops = st.lists(
    st.one_of(
        st.tuples(st.just("set"), keys, json_values),
        st.tuples(st.just("del"), keys),
        st.tuples(st.just("update"), st.dictionaries(keys, json_values, max_size=2)),
        st.tuples(st.just("nested"), keys, keys, json_values),
        st.tuples(st.just("append"), keys, json_values),
        st.tuples(st.just("listset"), keys, st.integers(-3, 3), json_values),
    ),
    max_size=10,
)


def plain(x):
    """A Struct/ListValue item (ours or the peer's) as plain Python values."""
    if isinstance(x, (wkt.Struct, struct_pb2.Struct)):
        return {k: plain(x[k]) for k in x.keys()}
    if isinstance(x, (wkt.ListValue, struct_pb2.ListValue)):
        return [plain(v) for v in x]
    return x


@SETTINGS
@given(ops)
def test_struct_and_list_value_behave_as_the_peers(operations):
    ours, theirs = wkt.Struct(), struct_pb2.Struct()
    for op, key, *rest in operations:
        for s in (ours, theirs):
            if op == "set":
                s[key] = rest[0]
            elif op == "del" and key in s:
                del s[key]
            elif op == "update":
                s.update(key)
            elif op == "nested" and key in s and isinstance(s[key], (wkt.Struct, struct_pb2.Struct)):
                s[key][rest[0]] = rest[1]
            elif op == "append" and key in s and isinstance(s[key], (wkt.ListValue, struct_pb2.ListValue)):
                s[key].append(rest[0])
            elif op == "listset" and key in s and isinstance(s[key], (wkt.ListValue, struct_pb2.ListValue)):
                if -len(s[key]) <= rest[0] < len(s[key]):
                    s[key][rest[0]] = rest[1]
        assert plain(ours) == plain(theirs)
    assert len(ours) == len(theirs)
    assert sorted(ours) == sorted(theirs.keys())
    assert ours.to_dict() == json_format.MessageToDict(theirs)
    assert wkt.Struct.from_binary(ours.to_binary()) == ours


@given(st.lists(json_values, max_size=5), st.lists(st.tuples(st.integers(-6, 6), json_values), max_size=5))
@SETTINGS
def test_list_value_is_a_mutable_sequence(items, inserts):
    lv, model = wkt.ListValue.from_list(items), [plain_number(x) for x in items]
    for at, x in inserts:
        lv.insert(at, x)
        model.insert(at, plain_number(x))
    assert [plain(v) for v in lv] == model
    assert [plain(v) for v in lv[1:3]] == model[1:3]
    if model:
        assert plain(lv.pop()) == model.pop()
        del lv[::2]
        del model[::2]
    assert lv.to_list() == model


def plain_number(x):
    """What a Value holds for x: ints become floats, at every level."""
    if isinstance(x, bool) or x is None or isinstance(x, str):
        return x
    if isinstance(x, (int, float)):
        return float(x)
    if isinstance(x, dict):
        return {k: plain_number(v) for k, v in x.items()}
    return [plain_number(v) for v in x]


def test_stored_containers_are_copies_so_no_cycle_forms():
    s = wkt.Struct.from_dict({"a": 1})
    s["self"] = s
    s["deep"] = {"x": s}
    assert s["self"] == wkt.Struct.from_dict({"a": 1})
    assert wkt.Struct.from_binary(s.to_binary()) == s
    lv = wkt.ListValue()
    lv.append(lv)
    lv.extend([lv, {"k": lv}])
    assert lv.to_list() == [[], [[]], {"k": [[], [[]]]}]


@pytest.mark.parametrize(
    "action, error",
    [
        (lambda s, lv: s.__setitem__(1, 2), TypeError),
        (lambda s, lv: s.__setitem__("k", object()), TypeError),
        (lambda s, lv: s.__setitem__("k", float("nan")), ValueError),
        (lambda s, lv: s["missing"], KeyError),
        (lambda s, lv: s.update({"k": {1: 2}}), TypeError),
        (lambda s, lv: lv.append({1, 2}), TypeError),
        (lambda s, lv: lv[9], IndexError),
        (lambda s, lv: lv.__setitem__(0, object()), TypeError),
        (lambda s, lv: lv.insert(0, [float("inf")]), ValueError),
    ],
)
def test_bad_items_raise_and_change_nothing(action, error):
    s, lv = wkt.Struct.from_dict({"a": [1]}), wkt.ListValue.from_list(["x"])
    before = (copy.deepcopy(s), copy.deepcopy(lv))
    with pytest.raises(error):
        action(s, lv)
    assert (s, lv) == before


@pytest.mark.parametrize(
    "action, error",
    [
        (lambda: wkt.FieldMask(paths=["nope"]).merge_message(wkt.Duration(), wkt.Duration()), ValueError),
        (lambda: wkt.FieldMask(paths=["seconds.x"]).merge_message(wkt.Duration(), wkt.Duration()), ValueError),
        (lambda: wkt.FieldMask(paths=["seconds"]).merge_message(wkt.Duration(), wkt.Timestamp()), TypeError),
        (lambda: wkt.FieldMask(paths=[3]).to_canonical(), TypeError),
        (lambda: wkt.FieldMask().union(["a"]), TypeError),
        (lambda: wkt.FieldMask().is_valid_for(int), TypeError),
        (lambda: wkt.FieldMask.from_diff(wkt.Duration(), wkt.Timestamp()), TypeError),
        (lambda: wkt.Timestamp.from_microseconds(1.5), TypeError),
        (lambda: wkt.Duration.from_milliseconds(True), TypeError),
        (lambda: wkt.Timestamp() + 5, TypeError),
        (lambda: wkt.Timestamp() + wkt.Timestamp(), TypeError),
        (lambda: wkt.Duration() - wkt.Timestamp(), TypeError),
        (lambda: wkt.Timestamp.from_json_string(b"1970-01-01T00:00:00Z"), TypeError),
        (lambda: wkt.Timestamp.from_json_string("yesterday"), ValueError),
        (lambda: wkt.Duration.from_json_string("1.5"), ValueError),
    ],
)
def test_helpers_refuse_bad_input(action, error):
    with pytest.raises(error):
        action()


def test_a_cyclic_pair_of_messages_cannot_be_diffed():
    a, b = Part(sku="a"), Part(sku="a")
    a.child, b.child = a, b
    with pytest.raises(RecursionError):
        wkt.FieldMask.from_diff(a, b)
    b.child = Part(sku="a", child=Part(sku="b"))  # a cycle on one side ends with the other
    assert wkt.FieldMask.from_diff(a, b).paths == ["child.child.child", "child.child.sku"]


# ---- Timestamp and Duration ----------------------------------------------------------------

MAX_TS = 253402300799 * 10**9 + 999_999_999  # 9999-12-31T23:59:59.999999999Z
MIN_TS = -62135596800 * 10**9  # 0001-01-01T00:00:00Z
MAX_DURATION = 315576000000 * 10**9 + 999_999_999

UNITS = [("nanoseconds", 1), ("microseconds", 1000), ("milliseconds", 10**6), ("seconds", 10**9)]


def google_name(direction: str, unit: str) -> str:
    return f"{direction}{unit.capitalize()}"


@SETTINGS
@given(st.integers(MIN_TS, MAX_TS), st.sampled_from(UNITS))
def test_timestamp_conversions_are_the_peers(nanos, unit):
    name, scale = unit
    n = nanos // scale
    ours = getattr(wkt.Timestamp, f"from_{name}")(n)
    theirs = timestamp_pb2.Timestamp()
    getattr(theirs, google_name("From", name))(n)
    assert (ours.seconds, ours.nanos) == (theirs.seconds, theirs.nanos)
    exact = wkt.Timestamp.from_nanoseconds(nanos)
    theirs.FromNanoseconds(nanos)
    assert getattr(exact, f"to_{name}")() == getattr(theirs, google_name("To", name))()
    assert exact.to_json_string() == theirs.ToJsonString()
    assert wkt.Timestamp.from_json_string(theirs.ToJsonString()) == exact


@SETTINGS
@given(st.integers(-MAX_DURATION, MAX_DURATION), st.sampled_from(UNITS))
def test_duration_conversions_are_the_peers(nanos, unit):
    name, scale = unit
    n = int(nanos / scale) if scale > 1 else nanos
    ours = getattr(wkt.Duration, f"from_{name}")(n)
    theirs = duration_pb2.Duration()
    getattr(theirs, google_name("From", name))(n)
    assert (ours.seconds, ours.nanos) == (theirs.seconds, theirs.nanos)
    exact = wkt.Duration.from_nanoseconds(nanos)
    theirs.FromNanoseconds(nanos)
    assert getattr(exact, f"to_{name}")() == getattr(theirs, google_name("To", name))()
    assert exact.to_json_string() == theirs.ToJsonString()
    assert wkt.Duration.from_json_string(theirs.ToJsonString()) == exact


spans = st.integers(-(10**18), 10**18)


@SETTINGS
@given(st.integers(MIN_TS // 2, MAX_TS // 2), spans, spans)
def test_arithmetic_agrees_with_nanosecond_counts(t, d1, d2):
    ts, a, b = wkt.Timestamp.from_nanoseconds(t), wkt.Duration.from_nanoseconds(d1), wkt.Duration.from_nanoseconds(d2)
    assert (ts + a).to_nanoseconds() == (a + ts).to_nanoseconds() == t + d1
    assert (ts - a).to_nanoseconds() == t - d1
    assert (ts + a) - ts == a
    assert a + b == wkt.Duration.from_nanoseconds(d1 + d2) == b + a
    assert a - b == -(b - a)
    micros = timedelta(microseconds=d2 // 1000)
    assert (ts + micros).to_nanoseconds() == t + d2 // 1000 * 1000
    assert (a + micros) == (micros + a) == wkt.Duration.from_nanoseconds(d1 + d2 // 1000 * 1000)
    assert (micros - a) == -(a - micros)


def test_datetime_and_timestamp_arithmetic_agree():
    dt = datetime(2024, 2, 28, 23, 0, 0, 5, tzinfo=timezone.utc)
    ts = wkt.Timestamp.from_datetime(dt)
    for step in (timedelta(days=1, hours=2), timedelta(microseconds=-7), timedelta(days=-400)):
        assert (ts + step).to_datetime() == dt + step
        assert (ts - step).to_datetime() == dt - step
    assert (ts - wkt.Timestamp.from_datetime(dt - timedelta(seconds=3))).to_timedelta() == timedelta(seconds=3)
