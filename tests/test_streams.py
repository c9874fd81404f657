"""Length-delimited streams: round trips across read boundaries, the peer's varint framing in
both directions, and clean failures that keep every message before the fault."""

from __future__ import annotations

import io
import itertools

import pytest
from google.protobuf.internal.decoder import _DecodeVarint
from google.protobuf.internal.encoder import _VarintBytes

import torvex
from peer import from_peer, peer_class, snapshot, to_peer
from torvex import ScalarType as T

FILE = torvex.File("streams/s.proto", package="streams")


class Rec(torvex.Message, file=FILE):
    id: int = torvex.field(1, T.INT64)
    text: str = torvex.field(2, T.STRING)
    tags: list[str] = torvex.repeated(3, T.STRING)


# Sizes around the varint length boundaries and the reader's 64 KiB chunk.
SIZES = [0, 1, 125, 126, 127, 128, 16_381, 16_384, 65_530, 65_536, 200_000]


def records() -> list[Rec]:
    return [Rec(id=i, text="x" * max(0, n - 8)) for i, n in enumerate(SIZES)]


class Trickle(io.RawIOBase):
    """A raw stream that returns at most `step` bytes per read, as pipes and sockets may."""

    def __init__(self, data: bytes, step: int) -> None:
        self.data, self.pos, self.step, self.reads = data, 0, step, 0

    def readable(self) -> bool:
        return True

    def read(self, n: int = -1) -> bytes:
        self.reads += 1
        n = self.step if n < 0 else min(n, self.step)
        chunk = self.data[self.pos : self.pos + n]
        self.pos += len(chunk)
        return chunk


@pytest.mark.parametrize("step", [1, 7, 4096, 1 << 20])
def test_round_trip_whatever_the_reads_return(step):
    msgs = records()
    out = io.BytesIO()
    written = sum(torvex.write_delimited(out, m) for m in msgs)
    assert written == len(out.getvalue())
    if step == 1:
        msgs = msgs[:6]  # byte-by-byte reads of the large ones only repeat what 7 shows
    stream = Trickle(out.getvalue()[: sum(len(m.to_binary()) + 3 for m in msgs)], step)
    got = list(itertools.islice(torvex.read_delimited(stream, Rec), len(msgs)))
    assert got == msgs


def test_interop_with_the_peer_framing():
    msgs = records()
    peer = peer_class(Rec)
    theirs = b"".join(_VarintBytes(p.ByteSize()) + p.SerializeToString() for p in map(to_peer, msgs))
    assert [snapshot(m) for m in torvex.read_delimited(io.BytesIO(theirs), Rec)] == [
        snapshot(m) for m in msgs
    ]
    out = io.BytesIO()
    for m in msgs:
        torvex.write_delimited(out, m)
    data, pos, back = out.getvalue(), 0, []
    while pos < len(data):
        size, pos = _DecodeVarint(data, pos)
        parsed = peer()
        parsed.ParseFromString(data[pos : pos + size])
        back.append(from_peer(parsed, Rec))
        pos += size
    assert back == msgs


def framed(*msgs: Rec) -> bytes:
    out = io.BytesIO()
    for m in msgs:
        torvex.write_delimited(out, m)
    return out.getvalue()


GOOD = [Rec(id=1), Rec(id=2, text="two")]


@pytest.mark.parametrize(
    "tail, max_size, message",
    [
        (b"\x85", 100, "size prefix at offset 11 is incomplete"),
        (b"\x05abc", 100, "message at offset 11 needs 5 bytes, 3 left"),
        (b"\x80" * 10 + b"\x01", 100, "more than 10 bytes"),
        (b"\xe8\x07" + b"z" * 1000, 999, "has 1000 bytes, more than max_size 999"),
        (b"\x65", 100, "has 101 bytes, more than max_size 100"),
        (b"\xff\xff\xff\xff\x0f", 1 << 33, "needs 4294967295 bytes, 0 left"),
    ],
)
def test_faults_raise_after_every_good_message(tail, max_size, message):
    got = []
    with pytest.raises(ValueError, match=message):
        for m in torvex.read_delimited(io.BytesIO(framed(*GOOD) + tail), Rec, max_size=max_size):
            got.append(m)
    assert got == GOOD


def test_a_bad_message_body_raises_the_decoders_error_after_the_good_ones():
    got = []
    data = framed(*GOOD) + b"\x02\x0a\x05" + framed(*GOOD)
    with pytest.raises(ValueError, match="unexpected end of buffer"):
        for m in torvex.read_delimited(io.BytesIO(data), Rec):
            got.append(m)
    assert got == GOOD


@pytest.mark.parametrize("ignore", [False, True])
def test_unknown_fields_are_kept_or_dropped_in_every_message(ignore):
    unknown = b"\x78\x05"  # field 15, varint 5
    record = Rec(id=3).to_binary() + unknown
    data = (bytes([len(record)]) + record) * 3 + b"\x80\x01" + b"\x08\x01" * 64
    got = list(torvex.read_delimited(io.BytesIO(data), Rec, ignore_unknown_fields=ignore))
    assert [m.id for m in got] == [3, 3, 3, 1]
    assert [torvex.unknown_fields(m) for m in got[:3]] == [{} if ignore else {15: [unknown]}] * 3


@pytest.mark.parametrize(
    "stream, kwargs",
    [
        (io.BytesIO(), {"max_size": -1}),
        (io.BytesIO(), {"max_size": 1.5}),
        (io.StringIO("\x01a"), {}),
    ],
)
def test_wrong_arguments_raise_type_error(stream, kwargs):
    with pytest.raises(TypeError):
        list(torvex.read_delimited(stream, Rec, **kwargs))


def test_reading_stays_bounded_on_an_endless_stream():
    one = framed(Rec(id=7, text="r" * 50))

    class Endless(io.RawIOBase):
        total = 0

        def readable(self) -> bool:
            return True

        def read(self, n: int = -1) -> bytes:
            start = Endless.total % len(one)
            chunk = (one * (n // len(one) + 2))[start : start + n]
            Endless.total += len(chunk)
            return chunk

    first = list(itertools.islice(torvex.read_delimited(Endless(), Rec), 5000))
    assert first == [Rec(id=7, text="r" * 50)] * 5000
    assert Endless.total < 5000 * len(one) + (1 << 17)  # consumed about what was asked


@pytest.mark.parametrize("bad_at", [None, 0, 127, 128, 129, 300])
def test_many_small_messages_across_native_batches(bad_at):
    # More small messages than one native batch holds, with a bad one at and around its edges:
    # every good message comes out in order, and the bad one raises what from_binary raises.
    msgs = [Rec(id=i, text=f"r{i}") for i in range(400)]
    frames = [framed(m) for m in msgs]
    bad = b"\x0a\x05ab"
    if bad_at is not None:
        frames[bad_at] = bytes([len(bad)]) + bad
    got = []
    reader = torvex.read_delimited(io.BytesIO(b"".join(frames)), Rec)
    if bad_at is None:
        got = list(reader)
        assert got == msgs
        return
    with pytest.raises(ValueError) as caught:
        for m in reader:
            got.append(m)
    assert got == msgs[:bad_at]
    with pytest.raises(ValueError) as direct:
        Rec.from_binary(bad)
    assert str(caught.value) == str(direct.value)
