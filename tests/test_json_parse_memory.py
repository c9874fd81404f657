"""Reading JSON many times must not leak memory or references, on success and on failure."""

from __future__ import annotations

import gc
import json
import os
import sys

import pytest

from test_codec_memory import Closed, Item, Kind, Record, rss_bytes

DOC = {
    "id": str(-(2**40)),
    "title": "record \u2713 \\ \"q\"",
    "items": [{"name": f"item {i}", "score": i * 0.5, "kind": i % 3, "payload": "AAAA"}
              for i in range(12)],  # fmt: skip
    "counts": list(range(-20, 20)),
    "attrs": {"a": {"name": "x"}, "b": {"kind": "KIND_B"}},
    "ratios": {"1": 0.5, "4294967295": "-Infinity"},
    "closed": "TWO",
    "group": {"name": "g"},
    "item": {"payload": "cA"},
    "unknown": [{"deep": [1, 2.5, None, True]}],
}
TEXT = json.dumps(DOC).encode()
BAD = [TEXT[:-40], TEXT.replace(b'"TWO"', b'"SIX"'), TEXT.replace(b"0.5", b'"x"')]


def cycle(i: int) -> None:
    try:
        if i & 1:
            Record.from_json(TEXT, ignore_unknown_fields=True)
        elif i & 2:
            Record._from_json_value(DOC, ignore_unknown_fields=True)
        elif i & 4:
            Record()._merge_from_json(TEXT.decode(), ignore_unknown_fields=True)
        else:
            Record.from_json(BAD[i % 3])
    except (ValueError, TypeError):
        if i & 7:
            raise


@pytest.mark.skipif(bool(os.environ.get("TORVEX_SANITIZED")), reason="sanitizer build")
def test_repeated_json_reads_do_not_grow_memory():
    assert Record.from_json(TEXT, ignore_unknown_fields=True).closed == Closed.TWO
    watched = [TEXT, DOC, Record, Item, Kind.KIND_B, Closed.TWO]
    for i in range(5_000):
        cycle(i)
    gc.collect()
    refs = [sys.getrefcount(obj) for obj in watched]
    before = rss_bytes()
    for i in range(100_000):
        cycle(i)
    gc.collect()
    grown = rss_bytes() - before
    assert grown < 4 * 2**20, f"resident memory grew by {grown} bytes"
    assert [sys.getrefcount(obj) for obj in watched] == refs
