"""Reflection on instances against the peer on generated schemas (set fields, required-field
paths), plus the hand-made cases: oneofs, unknown fields, cycles."""

from __future__ import annotations

import copy
import re

import pytest
from hypothesis import assume, given
from hypothesis import strategies as st

import torvex
from peer import peer_name, to_peer
from test_roundtrip_property import SETTINGS, schema_and_values
from torvex import Oneof
from torvex import ScalarType as T
from torvex._descriptors import DescFieldValueMap, Presence
from torvex._reflect import _message_desc, sub_messages


def walk(msg):
    yield msg
    for _, _, sub in sub_messages(msg):
        if sub is not None:
            yield from walk(sub)


def peer_path(cls, path: str) -> str:
    """Our path with each field name replaced by the peer's name of the same field."""
    out, desc, i = [], cls._desc, 0
    while i < len(path):
        name = re.match(r"\w+", path[i:]).group()
        f = next(f for f in desc.fields if f.name == name)
        out.append(peer_name(f.number))
        i += len(name)
        if i < len(path) and path[i] == "[":
            end = path.index("]", path.index('"', i + 2) if path[i + 1] == '"' else i)
            out.append(path[i : end + 1])
            i = end + 1
        if i < len(path):
            out.append(".")
            i += 1
            desc = _message_desc(f)
    return "".join(out)


@SETTINGS
@given(schema_and_values())
def test_list_fields_is_the_peers_in_number_order(case):
    schema, (msg,) = case
    ours = [f.number for f, _ in msg.list_fields()]
    assert ours == [f.number for f, _ in to_peer(msg).ListFields()]
    for f, value in msg.list_fields():
        group = f.oneof
        expected = getattr(msg, f.local_name if group is None else group.local_name)
        assert value is (expected if group is None else expected.value)


@SETTINGS
@given(schema_and_values(), st.randoms(use_true_random=False))
def test_initialization_errors_are_the_peers(case, rnd):
    schema, (msg,) = case
    for node in list(walk(msg)):
        for f in type(node)._desc.fields:
            if f.presence == Presence.LEGACY_REQUIRED and rnd.random() < 0.4:
                node.clear_field(f.local_name)
            elif isinstance(f.value, DescFieldValueMap) and _message_desc(f) is None:
                # The peer crashes (SIGSEGV) on scalar maps in repeated messages here; they
                # hold no required fields either way.
                node.clear_field(f.local_name)
    errors = msg.find_initialization_errors()
    # The peer leaves backslashes in keys as they are, and cuts a key's text at a NUL.
    assume(not any("\\" in e or "\x00" in e for e in errors))
    peer = to_peer(msg)
    assert sorted(peer_path(schema.root, e) for e in errors) == sorted(
        peer.FindInitializationErrors()
    )
    assert msg.is_initialized() == peer.IsInitialized() == (not errors)


P2 = torvex.File("reflect/p2.proto", package="reflect", syntax="proto2")


class Part(torvex.Message, file=P2):
    sku: str = torvex.field(1, T.STRING, required=True)
    qty: int = torvex.field(2, T.INT32)
    child: Part | None = torvex.field(3, "Part")


class Order(torvex.Message, file=P2):
    id: int = torvex.field(1, T.INT64, required=True)
    items: list[Part] = torvex.repeated(2, Part)
    by_code: dict[str, Part] = torvex.map_field(3, T.STRING, Part)
    pick: Oneof | None = torvex.oneof(part=torvex.field(4, Part), note=torvex.field(5, T.STRING))


def test_error_paths_name_indexes_keys_and_none_elements():
    order = Order(
        items=[Part(sku="a"), Part(sku="b"), Part(child=Part())],
        by_code={'q"x': Part(sku="c"), "r": None},
        pick=Oneof("part", None),
    )
    assert order.find_initialization_errors() == [
        "id",
        "items[2].sku",
        "items[2].child.sku",
        'by_code["r"].sku',
        "part.sku",
    ]
    order.id = 0
    order.items[2].sku = order.items[2].child.sku = ""
    order.by_code["r"] = Part(sku="")
    order.pick = Oneof("note", "n")
    assert order.is_initialized()


@pytest.mark.parametrize("how", ["self", "two"])
def test_walks_refuse_cycles_and_visit_shared_messages_once(how):
    a = Part(sku="a")
    b = Part(sku="b", child=a)
    a.child = a if how == "self" else b
    with pytest.raises(RecursionError, match="cycle"):
        a.is_initialized()
    a._get_or_init_unknown_fields()[9] = [b"\x48\x01"]
    a.discard_unknown_fields()
    assert a._unknown_fields == {}


def test_depth_beyond_the_codec_limit_is_refused():
    top = node = Part(sku="x")
    for _ in range(101):
        node.child = Part(sku="x")
        node = node.child
    with pytest.raises(RecursionError, match="depth 100"):
        top.find_initialization_errors()


NARROW = torvex.File("reflect/narrow.proto", package="narrow", syntax="proto2")


class NarrowPart(torvex.Message, file=NARROW, name="Part"):
    child: NarrowPart | None = torvex.field(3, "Part")


class NarrowOrder(torvex.Message, file=NARROW, name="Order"):
    items: list[NarrowPart] = torvex.repeated(2, NarrowPart)
    by_code: dict[str, NarrowPart] = torvex.map_field(3, T.STRING, NarrowPart)
    pick: Oneof | None = torvex.oneof(part=torvex.field(4, NarrowPart))


def test_discard_unknown_fields_reaches_every_level_and_keeps_registered_extensions():
    full = Order(
        id=5,
        items=[Part(sku="a", qty=1, child=Part(sku="b"))],
        by_code={"k": Part(sku="c")},
        pick=Oneof("part", Part(sku="d")),
    )
    narrow = NarrowOrder.from_binary(full.to_binary())
    assert len(narrow.to_binary()) == len(full.to_binary())
    ext = torvex.Extension("narrow.id", 1, T.INT64, extendee=NarrowOrder)
    narrow.discard_unknown_fields(registry=torvex.Registry(ext))
    assert narrow[ext] == 5
    narrow.discard_unknown_fields()
    assert narrow == NarrowOrder(
        items=[NarrowPart(child=NarrowPart())],
        by_code={"k": NarrowPart()},
        pick=Oneof("part", NarrowPart()),
    )
    assert narrow.to_binary() == NarrowOrder.from_binary(narrow.to_binary()).to_binary()
    assert all(m._unknown_fields in (None, {}) for m in walk(narrow))


def test_which_oneof_and_public_merges():
    order = Order(id=1, pick=Oneof("note", "n"))
    assert order.which_oneof("pick") == "note"
    order.clear_field("pick")
    assert order.which_oneof("pick") is None
    with pytest.raises(ValueError, match="no oneof 'note'"):
        order.which_oneof("note")
    a, b = Order(id=1, items=[Part(sku="a")]), Order(id=2, items=[Part(sku="b")])
    merged = copy.deepcopy(a)
    merged.merge_from_binary(b.to_binary())
    assert merged == Order.from_binary(a.to_binary() + b.to_binary())
    again = copy.deepcopy(a)
    again.merge_from_json('{"items": [{"sku": "b"}], "part": {}}')
    assert again == Order(id=1, items=[Part(sku="b")], pick=Oneof("part", Part()))
    with pytest.raises(TypeError):
        merged.merge_from_binary("text")  # type: ignore[arg-type]
    assert merged == Order.from_binary(a.to_binary() + b.to_binary())
