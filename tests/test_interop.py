"""What a program moving between runtimes relies on: the default registry, pickling and copying
of every value (oneofs, classes loaded at run time), and helpers that refuse what the JSON
writer refuses."""

from __future__ import annotations

import copy
import json
import math
import pickle
import struct
import subprocess
import sys
from datetime import timedelta

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import torvex
from codegen_support import PROTO_ROOT, grpc_include, protoc
from torvex import Oneof, Registry, wkt
from torvex._scope import DEFAULT_REGISTRY

SCHEMA = """syntax = "proto2";
package interop;
import "google/protobuf/any.proto";
message Order {
  optional int64 id = 1;
  repeated Item items = 2;
  optional google.protobuf.Any extra = 3;
  oneof pick { string sku = 4; Item item = 5; }
  map<string, Item> by_name = 6;
  extensions 100 to 199;
}
message Item { optional float price = 1; }
extend Order { optional string tag = 100; }
"""


@pytest.fixture(scope="module")
def schema_set(tmp_path_factory) -> bytes:
    root = tmp_path_factory.mktemp("interop")
    (root / "interop.proto").write_text(SCHEMA)
    out = root / "set.pb"
    protoc(f"-I{root}", f"-I{grpc_include()}", "--include_imports", f"--descriptor_set_out={out}", "interop.proto")
    return out.read_bytes()


def sample(schema) -> torvex.Message:
    order, item = schema.messages["interop.Order"], schema.messages["interop.Item"]
    msg = order(id=7, items=[item(price=1.5)], pick=Oneof("item", item(price=2.0)))
    msg[schema.extensions["interop.tag"]] = "rush"
    return msg


# ---- the default registry ------------------------------------------------------------------


def test_latest_definition_of_a_full_name_wins(schema_set):
    first = torvex.load_descriptor_set(schema_set)
    second = torvex.load_descriptor_set(schema_set)  # the same schema again: no clash
    for name in ("interop.Order", "interop.Item"):
        assert DEFAULT_REGISTRY.message(name) is second.messages[name]._desc
    assert DEFAULT_REGISTRY.extension("interop.tag") is second.extensions["interop.tag"]
    # Within one pool the earlier definition keeps the name; the refused one is forgotten.
    dup = torvex.File("interop/dup.proto", package="interop")

    class Item(torvex.Message, file=dup):
        price: float = torvex.field(1, torvex.ScalarType.DOUBLE)

    class Item2(torvex.Message, file=dup, name="Item"):
        price: float = torvex.field(1, torvex.ScalarType.DOUBLE)

    with pytest.raises(TypeError, match="interop.Item is defined twice"):
        dup.complete()
    assert DEFAULT_REGISTRY.message("interop.Item") is Item._desc
    assert first.messages["interop.Order"] is not second.messages["interop.Order"]


def test_json_methods_use_the_default_registry(schema_set):
    schema = torvex.load_descriptor_set(schema_set)
    msg = sample(schema)
    msg.extra = wkt.Any.pack(msg.items[0])
    text = msg.to_json()
    assert '"[interop.tag]":"rush"' in text and '"@type":"type.googleapis.com/interop.Item"' in text
    order = schema.messages["interop.Order"]
    for back in (order.from_json(text), order.from_dict(msg.to_dict())):
        assert back == msg
        assert type(back.extra.unpack(DEFAULT_REGISTRY)) is schema.messages["interop.Item"]
    # A registry passed is used as given, even an empty one.
    assert "interop.tag" not in msg.to_json(registry=Registry(order, schema.messages["interop.Item"]))
    with pytest.raises(ValueError, match="interop.Item is not in the type registry"):
        order.from_json(text, registry=Registry(wkt))


def test_lazily_loaded_standard_types_are_found_by_name():
    code = "from torvex._scope import DEFAULT_REGISTRY as r; print(r.message('google.protobuf.Type').type_name)"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.stdout.strip() == "google.protobuf.Type", done.stderr


# ---- pickling and copying ------------------------------------------------------------------

ONEOF_VALUES = [0, "x", b"\x00", 1.5, [1, [2]], wkt.Timestamp(seconds=3)]


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("value", ONEOF_VALUES, ids=repr)
def test_oneof_pickles_and_copies(protocol, value):
    chosen = Oneof("member", value)
    for back in (pickle.loads(pickle.dumps(chosen, protocol)), copy.deepcopy(chosen)):
        assert type(back) is Oneof and back == chosen and back.field == "member"
        if isinstance(value, (list, torvex.Message)):
            assert back.value is not value
    assert copy.copy(chosen).value is value


def test_loaded_messages_pickle_by_full_name(schema_set):
    schema = torvex.load_descriptor_set(schema_set)
    msg = sample(schema)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        data = pickle.dumps(msg, protocol)
        back = pickle.loads(data)
        assert back == msg and back[schema.extensions["interop.tag"]] == "rush"
        assert copy.deepcopy(msg) == msg
    # Another process: equal once it has loaded the schema, a clear error before.
    script = (
        "import pickle, sys, torvex\n"
        "data = sys.stdin.buffer.read()\n"
        "try:\n"
        "    pickle.loads(data)\n"
        "except pickle.UnpicklingError as exc:\n"
        "    print('refused:', exc)\n"
        f"schema = torvex.load_descriptor_set({schema_set!r})\n"
        "print(pickle.loads(data).to_json())\n"
    )
    done = subprocess.run([sys.executable, "-c", script], input=pickle.dumps(msg), capture_output=True)
    lines = done.stdout.decode().splitlines()
    assert lines[0].startswith("refused: cannot unpickle a interop.Order message"), done.stderr
    assert "load_descriptor_set" in lines[0]
    assert schema.messages["interop.Order"].from_json(lines[1]) == msg


# ---- well-known-type helpers refuse what the JSON writer refuses --------------------------

NANOS = st.one_of(st.integers(-(2**31), 2**31 - 1), st.sampled_from([-1, 0, 999_999_999, 10**9]))
TS_SECONDS = st.one_of(st.integers(-(2**63), 2**63 - 1), st.sampled_from([-62135596801, -62135596800, 253402300799, 253402300800]))
DUR_SECONDS = st.one_of(st.integers(-(2**63), 2**63 - 1), st.sampled_from([-315576000001, -315576000000, -1, 0, 1, 315576000000, 315576000001]))


def _outcome(call):
    try:
        return ("ok", call())
    except ValueError as exc:
        return ("refused", str(exc))


@settings(max_examples=300, deadline=None)
@given(st.one_of(st.tuples(st.just(wkt.Timestamp), TS_SECONDS, NANOS), st.tuples(st.just(wkt.Duration), DUR_SECONDS, NANOS)))
def test_time_helpers_agree_with_the_json_writer(case):
    cls, seconds, nanos = case
    msg = cls(seconds=seconds, nanos=nanos)
    written = _outcome(msg.to_json)
    convert = msg.to_datetime if cls is wkt.Timestamp else msg.to_timedelta
    for helper in (convert, msg.to_nanoseconds):
        got = _outcome(helper)
        assert got[0] == written[0], (msg, got, written)
        if got[0] == "refused":
            assert got[1] == written[1]
    if written[0] == "ok":
        # The conversions stay exact to the microsecond.
        back = cls.from_json(written[1])
        total = back.to_nanoseconds()
        assert total == seconds * 10**9 + nanos
        if cls is wkt.Duration:
            micros = abs(total) // 1000
            assert msg.to_timedelta() == timedelta(microseconds=micros if total >= 0 else -micros)
        else:
            assert wkt.Timestamp.from_datetime(msg.to_datetime()).to_nanoseconds() == total - total % 1000


def test_regressions_from_the_report():
    with pytest.raises(ValueError, match="timestamp nanos out of range"):
        wkt.Timestamp(nanos=2_000_000_000).to_datetime()
    with pytest.raises(ValueError, match="different signs"):
        wkt.Duration(seconds=1, nanos=-5).to_timedelta()


# ---- float32 limits: one rule for every codec, both ways -----------------------------------

FLT_MAX = 3.4028234663852886e38
LIMIT = 2.0**128 * (1 - 2.0**-25)  # from here on a value rounds to infinity


@pytest.mark.parametrize("value", [FLT_MAX, 3.4028235e38, math.nextafter(LIMIT, 0), LIMIT, 3.502823e38, 1e39])
@pytest.mark.parametrize("sign", [1, -1])
def test_float32_range_is_one_rule(schema_set, value, sign):
    value *= sign
    item = torvex.load_descriptor_set(schema_set).messages["interop.Item"]
    fits = abs(value) < LIMIT
    writers = [lambda: item(price=value).to_binary(), lambda: item(price=value).to_json(),
               lambda: item(price=value).to_dict(), lambda: wkt.FloatValue(value=value).to_json()]
    readers = [lambda: item.from_json(f'{{"price": {value!r}}}'), lambda: item.from_dict({"price": value}),
               lambda: item.from_json(f'{{"price": "{value!r}"}}'), lambda: wkt.FloatValue.from_json(repr(value))]
    for operation in writers + readers:
        if fits:
            operation()
        else:
            with pytest.raises(OverflowError, match="out of range"):
                operation()
    if fits:
        # What is kept is the float32 the value rounds to.
        data = item.from_json(f'{{"price": {value!r}}}').to_binary()
        assert data == b"\x0d" + struct.pack("<f", value)


# ---- the empty Any -------------------------------------------------------------------------


def test_empty_any_survives_json(schema_set):
    order = torvex.load_descriptor_set(schema_set).messages["interop.Order"]
    for read in (wkt.Any.from_json, lambda t: wkt.Any.from_dict(json.loads(t))):
        assert read(wkt.Any().to_json()) == wkt.Any()
    msg = order(extra=wkt.Any())
    assert order.from_json(msg.to_json()) == msg and msg.to_json() == '{"extra":{}}'
    # Merging {} changes nothing; a member without "@type" is still refused.
    held = wkt.Any.pack(wkt.Duration(seconds=1))
    held._merge_from_json("{}")
    assert held == wkt.Any.pack(wkt.Duration(seconds=1))
    with pytest.raises(ValueError, match="@type is invalid: None"):
        wkt.Any.from_json('{"value": "1s"}')


# ---- decoding errors say where ---------------------------------------------------------------

ITEM_OK = b"\x12\x05\x0d\x00\x00\x80\x3f"  # items: Item(price=1.0)
CUT_PRICE = b"\x0d\x00\x00"  # price: fixed32 with two bytes of four


@pytest.mark.parametrize(
    "form, data, where, inner",
    [
        ("binary", ITEM_OK + b"\x12\x03" + CUT_PRICE, "items[1].price", CUT_PRICE),
        ("binary", b"\x32\x08\x0a\x01k\x12\x03" + CUT_PRICE, "by_name['k'].price", CUT_PRICE),
        ("binary", b"\x2a\x03" + CUT_PRICE, "item.price", CUT_PRICE),
        ("binary", b"\x22\x02\xc3\x28", "sku", None),
        ("binary", b"\x00", None, None),  # a fault of the top message itself: no path
        ("json", '{"items": [{}, {"price": "x"}]}', "items[1].price", '{"price": "x"}'),
        ("json", '{"byName": {"k": {"price": []}}}', "by_name['k'].price", '{"price": []}'),
        ("json", '{"item": {"price": 1e39}}', "item.price", '{"price": 1e39}'),
        ("json", '{"extra": {"@type": "x/interop.Item", "price": true}}', "extra.price", '{"price": true}'),
    ],
)  # fmt: skip
def test_decoding_errors_name_the_field(schema_set, form, data, where, inner):
    schema = torvex.load_descriptor_set(schema_set)
    order, item = schema.messages["interop.Order"], schema.messages["interop.Item"]
    reader = "from_binary" if form == "binary" else "from_json"
    with pytest.raises(Exception) as info:
        getattr(order, reader)(data)
    assert getattr(info.value, "__notes__", []) == ([] if where is None else [f"while decoding interop.Order.{where}"])
    if inner is not None:
        # The same fault one level down: same class and text, only the path differs.
        with pytest.raises(type(info.value)) as alone:
            getattr(item, reader)(inner)
        assert str(alone.value) == str(info.value)
        assert alone.value.__notes__ == ["while decoding interop.Item.price"]
