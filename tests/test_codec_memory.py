"""Encoding and decoding many times must not leak: neither memory nor references to the objects
the codec shares between calls (input bytes, classes, enum members, default values)."""

from __future__ import annotations

import gc
import os
import sys
import tracemalloc

import pytest

import torvex
from torvex import Oneof
from torvex import ScalarType as T

F = torvex.File("memory/codec.proto", package="memory")
F2 = torvex.File("memory/codec2.proto", package="memory2", syntax="proto2")


class Kind(torvex.Enum, file=F):
    KIND_UNSPECIFIED = 0
    KIND_A = 1
    KIND_B = 2


class Closed(torvex.Enum, file=F2):
    ONE = 1
    TWO = 2


class Item(torvex.Message, file=F):
    name: str = torvex.field(1, T.STRING)
    score: float = torvex.field(2, T.DOUBLE)
    kind: Kind = torvex.field(3, Kind)
    payload: bytes = torvex.field(4, T.BYTES)


class Record(torvex.Message, file=F2):
    id: int = torvex.field(1, T.INT64)
    title: str = torvex.field(2, T.STRING)
    items: list[Item] = torvex.repeated(3, Item)
    counts: list[int] = torvex.repeated(4, T.SINT32, packed=True)
    attrs: dict[str, Item] = torvex.map_field(5, T.STRING, Item)
    ratios: dict[int, float] = torvex.map_field(6, T.UINT32, T.FLOAT)
    closed: Closed = torvex.field(7, Closed)
    group: Item | None = torvex.field(8, Item, delimited=True)
    choice: Oneof | None = torvex.oneof(text=torvex.field(9, T.STRING), item=torvex.field(10, Item))


def sample() -> Record:
    return Record(
        id=-(2**40),
        title="record ✓",
        items=[Item(name=f"item {i}", score=i * 0.5, kind=Kind(i % 3), payload=b"\x00" * i)
               for i in range(12)],  # fmt: skip
        counts=list(range(-20, 20)),
        attrs={"a": Item(name="x"), "b": Item(kind=Kind.KIND_B)},
        ratios={1: 0.5, 2**32 - 1: -1.0},
        closed=Closed.TWO,
        group=Item(name="g"),
        choice=Oneof("item", Item(payload=b"p")),
    )


# Unknown records of every kind, including a closed-enum number and a nested group, so that the
# unknown-field store is exercised too.
UNKNOWN = b"\xf8\x01\x05" + b"\x82\x02\x03abc" + b"\x38\x09" + b"\x8b\x02\x08\x01\x8c\x02"


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def cycle(data: bytes, i: int) -> None:
    """One decode and one encode; every fourth call uses the other entry points and flags."""
    if i & 3:
        Record.from_binary(data).to_binary()
    elif i & 4:
        msg = Record.from_binary(data, ignore_unknown_fields=True)
        msg.to_binary(write_unknown_fields=False)
    else:
        msg = Record()
        msg._merge_from_binary(memoryview(data), False)
        msg.to_binary()


# A sanitizer build keeps freed memory in quarantine, so resident size says nothing there.
@pytest.mark.skipif(bool(os.environ.get("TORVEX_SANITIZED")), reason="sanitizer build")
def test_repeated_codec_calls_do_not_grow_memory():
    data = sample().to_binary() + UNKNOWN
    assert 300 < len(data) < 2000  # a mid-size message
    assert Record.from_binary(data)._unknown_fields  # the unknown records take part

    # Default members are shared by every new instance; decoded members come from the tables.
    watched = [data, Record, Item, Kind.KIND_UNSPECIFIED, Kind.KIND_B, Closed.ONE, Closed.TWO]
    for i in range(5_000):
        cycle(data, i)
    gc.collect()
    refs = [sys.getrefcount(obj) for obj in watched]
    before = rss_bytes()
    for i in range(100_000):
        cycle(data, i)
    gc.collect()
    grown = rss_bytes() - before
    # A leak of even a few bytes per call would show as megabytes; allocator noise does not.
    assert grown < 4 * 2**20, f"resident memory grew by {grown} bytes"
    assert [sys.getrefcount(obj) for obj in watched] == refs


def traced_growth(step, calls: int) -> int:
    """Bytes still allocated after `calls` calls of step(i), following a warm-up."""
    for i in range(500):
        step(i)
    gc.collect()
    # tracemalloc also sees the raw allocator the extension uses for its buffers.
    tracemalloc.start()
    try:
        start = tracemalloc.take_snapshot()
        for i in range(calls):
            step(i)
        gc.collect()
        end = tracemalloc.take_snapshot()
    finally:
        tracemalloc.stop()
    return sum(stat.size_diff for stat in end.compare_to(start, "filename"))


def test_traced_allocations_are_released():
    data = sample().to_binary() + UNKNOWN
    grown = traced_growth(lambda i: cycle(data, i), 2_000)
    assert grown < 64 * 1024, f"{grown} bytes still allocated after 2000 calls"


def text_cycle(text: str, i: int) -> None:
    """One text write and read; every fourth call fails half-way instead, or merges bytes."""
    if i & 3:
        Record.from_text(text).to_text(print_unknown_fields=True, as_one_line=bool(i & 4))
    elif i & 4:
        with pytest.raises(ValueError):
            Record.from_text(text + " closed: THREE")
    else:
        Record().merge_from_text(text.encode())


def test_text_calls_release_memory_and_references():
    text = Record.from_binary(sample().to_binary() + UNKNOWN).to_text(print_unknown_fields=True)
    # The unknown records print by number; read back as text they are not fields of Record.
    text = text[: text.index("31:")]
    watched = [text, Record, Item, Kind.KIND_B, Closed.TWO]
    traced_growth(lambda i: text_cycle(text, i), 0)
    refs = [sys.getrefcount(obj) for obj in watched]
    grown = traced_growth(lambda i: text_cycle(text, i), 3_000)
    assert grown < 64 * 1024, f"{grown} bytes still allocated after 3000 calls"
    assert [sys.getrefcount(obj) for obj in watched] == refs
