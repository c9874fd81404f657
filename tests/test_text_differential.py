"""The text format against the reference implementation over random schemas and messages: the
output is byte for byte the reference's, each side reads the other's text back to the same
message, and the float32 form matches for any bit pattern."""

from __future__ import annotations

import random

import pytest
from google.protobuf import text_format

from text_support import Schema, fill, load, peer_text, random_float32, random_schema

SEEDS = range(24)


@pytest.fixture(scope="module", params=["proto2", "proto3"])
def schema(request) -> Schema:
    return random_schema(random.Random(f"schema-{request.param}"), request.param)


def cases(schema: Schema, seed: int, n: int = 6):
    rng = random.Random(seed)
    for _ in range(n):
        name = rng.choice("ABC")
        cls, peer = schema.pair(name)
        pmsg = fill(rng, peer(), schema=schema)
        yield cls, peer, pmsg, cls.from_binary(pmsg.SerializeToString())


@pytest.mark.parametrize("seed", SEEDS)
@pytest.mark.parametrize("one_line", [False, True])
def test_output_is_the_references(schema, seed, one_line):
    for cls, _, pmsg, msg in cases(schema, seed):
        expected = peer_text(pmsg, as_one_line=one_line)
        assert msg.to_text(as_one_line=one_line, registry=schema.registry) == expected


@pytest.mark.parametrize("seed", SEEDS)
def test_each_side_reads_the_others_text(schema, seed):
    for cls, peer, pmsg, msg in cases(schema, seed):
        ours = msg.to_text(registry=schema.registry)
        theirs = peer_text(pmsg)
        # The reference reads ours back to the same message...
        again = text_format.Merge(ours, peer(), descriptor_pool=schema.pool)
        assert peer_text(again) == theirs
        # ...and we read the reference's to the same message (compared through its encoding).
        back = cls.from_text(theirs, registry=schema.registry)
        assert peer_text(peer.FromString(back.to_binary())) == theirs
        # Merging the same text into a copy of itself doubles lists, which both sides agree on.
        merged = cls.from_binary(msg.to_binary())
        merged.merge_from_text(ours, registry=schema.registry)
        pmerged = peer.FromString(pmsg.SerializeToString())
        text_format.Merge(theirs, pmerged, descriptor_pool=schema.pool)
        assert merged.to_text(registry=schema.registry) == peer_text(pmerged)


@pytest.mark.parametrize("seed", SEEDS[:8])
def test_unknown_fields_are_printed_as_the_reference_does(schema, seed):
    nothing, peer_nothing = schema.pair("Nothing")
    for _, _, pmsg, _ in cases(schema, seed, 3):
        # The reference prints unknown fields in wire order, we by field number then in order
        # of arrival; the two agree on encodings written in field-number order, as these are.
        data = pmsg.SerializeToString()
        ours = nothing.from_binary(data).to_text(print_unknown_fields=True)
        assert ours == peer_text(peer_nothing.FromString(data), print_unknown_fields=True)
        assert nothing.from_binary(data).to_text() == ""


def test_float_forms_for_random_bit_patterns():
    from google.protobuf import descriptor_pb2 as pb

    fdp = pb.FileDescriptorProto(name="floats.proto", package="floats", syntax="proto3")
    msg = fdp.message_type.add(name="A")
    for number, kind in ((1, pb.FieldDescriptorProto.TYPE_FLOAT), (2, pb.FieldDescriptorProto.TYPE_DOUBLE)):
        msg.field.add(name=f"v{number}", number=number, type=kind, label=3)
    cls, peer = load(fdp).pair("A")
    rng = random.Random(7)
    pmsg = peer()
    pmsg.v1.extend(random_float32(rng) for _ in range(3000))
    pmsg.v1.extend([1e-45, 3.4028234663852886e38, 16777217.0, 0.1, -0.0, float("nan")])
    pmsg.v2.extend(rng.uniform(-1, 1) * 10 ** rng.randint(-320, 308) for _ in range(3000))
    msg = cls.from_binary(pmsg.SerializeToString())
    assert msg.to_text() == peer_text(pmsg)
    assert cls.from_text(peer_text(pmsg)).to_binary() == pmsg.SerializeToString()
