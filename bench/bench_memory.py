"""Memory benchmark: what decoded messages hold, and what hostile inputs cost, torvex against the
reference protobuf runtime on the same schemas and bytes. Each measurement runs in a fresh
interpreter (so that neither runtime inherits the other's freed memory) and reads the process's
resident set size before and after, with the decoded objects still alive.

Rows:
- 2,000 decoded document messages and 200,000 flat ones: bytes held per message;
- 3 MB of empty sub-messages in a repeated field of a message with many containers: the
  resident growth at its peak and the decode time;
- a message without fields decoding 1 MB of unknown records: bytes held per input byte, the
  input made inside the measurement (a runtime that keeps it alive counts it).

Usage: python bench/bench_memory.py [--quick]
"""

from __future__ import annotations

import gc
import json
import os
import random
import resource
import statistics
import subprocess
import sys
import time

import torvex
from torvex import ScalarType as T

FILE = torvex.File("bench/memory.proto", package="bench.memory")


class Wide(torvex.Message, file=FILE):
    """Many containers per instance, as large configuration and telemetry messages have."""

    children: list[Wide] = torvex.repeated(1, "Wide")
    ints: list[int] = torvex.repeated(2, T.INT32)
    longs: list[int] = torvex.repeated(3, T.INT64)
    reals: list[float] = torvex.repeated(4, T.DOUBLE)
    flags: list[bool] = torvex.repeated(5, T.BOOL)
    names: list[str] = torvex.repeated(6, T.STRING)
    blobs: list[bytes] = torvex.repeated(7, T.BYTES)
    labels: dict[str, str] = torvex.map_field(8, T.STRING, T.STRING)
    counts: dict[str, int] = torvex.map_field(9, T.STRING, T.INT64)
    ids: dict[int, str] = torvex.map_field(10, T.INT64, T.STRING)
    more: list[Wide] = torvex.repeated(11, "Wide")
    title: str = torvex.field(12, T.STRING)


class Empty(torvex.Message, file=FILE):
    pass


def unknown_records(size: int) -> bytes:
    """Unknown varint and length-delimited records of fields 1-15, `size` bytes in all."""
    rng = random.Random(7)
    out = bytearray()
    while len(out) < size:
        number = rng.randint(1, 15)
        if rng.random() < 0.6:
            out += bytes([number << 3, rng.randint(0, 127)])
        else:
            n = rng.randint(0, 12)
            out += bytes([(number << 3) | 2, n]) + rng.randbytes(n)
    return bytes(out)


CASES = ("document", "flat", "hostile", "unknown")
HOSTILE = b"\x0a\x00" * (3 << 19)  # 3 MB: 1.5 million empty sub-messages in field 1
UNKNOWN = unknown_records(1 << 20)


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def child(case: str, runtime: str) -> dict:
    """One measurement in this (fresh) process."""
    from bench_binary import Document, Flat, make_data
    from peer import peer_class

    cls, count, data = {
        "document": (Document, 2_000, None),
        "flat": (Flat, 200_000, None),
        "hostile": (Wide, 1, HOSTILE),
        "unknown": (Empty, 1, UNKNOWN),
    }[case]
    if data is None:
        data = next(m for _, m in make_data(random.Random(20240607)) if type(m) is cls).to_binary()
    decode = cls.from_binary if runtime == "torvex" else peer_class(cls).FromString
    decode(data)  # lazy set-up of either runtime is not the messages' memory
    gc.collect()
    before = rss()
    start = time.perf_counter()
    if case == "unknown":
        # A fresh input inside the window: a runtime that keeps its input alive pays for it.
        kept = [decode(bytes(bytearray(data)))]
    else:
        kept = [decode(data) for _ in range(count)]
    seconds = time.perf_counter() - start
    gc.collect()
    held = rss() - before
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 - before
    assert len(kept) == count
    return {"held": held, "peak": peak, "seconds": seconds, "count": count, "size": len(data)}


def measure(case: str, runtime: str) -> dict:
    here = os.path.dirname(os.path.abspath(__file__))
    out = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--child", case, runtime],
        check=True, capture_output=True, text=True, cwd=here,
    )  # fmt: skip
    return json.loads(out.stdout)


def fmt_bytes(n: float) -> str:
    for unit, scale in (("GB", 1 << 30), ("MB", 1 << 20), ("KB", 1 << 10)):
        if abs(n) >= scale:
            return f"{n / scale:.1f} {unit}"
    return f"{n:.1f} B"


def main() -> int:
    repeat = 1 if "--quick" in sys.argv[1:] else 3
    print(f"resident memory, median of {repeat} fresh interpreters per cell\n")
    header = f"{'row':<44} {'torvex':>10} {'peer':>10} {'ratio':>7}"
    print(header)
    print("-" * len(header))
    for case in CASES:
        runs = {rt: [measure(case, rt) for _ in range(repeat)] for rt in ("torvex", "peer")}

        def med(rt: str, key: str) -> float:
            return statistics.median(r[key] for r in runs[rt])

        one = runs["torvex"][0]
        if case in ("document", "flat"):
            label = f"{one['count']:,} decoded {case} messages, per message"
            t, p = med("torvex", "held") / one["count"], med("peer", "held") / one["count"]
        elif case == "unknown":
            label = "1 MB of unknown records, held per input byte"
            t, p = med("torvex", "held") / one["size"], med("peer", "held") / one["size"]
            ratio = f"{t / p:>7.2f}" if p > 0 else f"{'-':>7}"
            print(f"{label:<44} {t:>10.2f} {p:>10.2f} {ratio}")
            continue
        else:
            label = "3 MB of empty sub-messages, peak growth"
            t, p = med("torvex", "peak"), med("peer", "peak")
            ts, ps = med("torvex", "seconds"), med("peer", "seconds")
            print(f"{label:<44} {fmt_bytes(t):>10} {fmt_bytes(p):>10} {t / p:>7.2f}")
            label = "3 MB of empty sub-messages, decode time"
            print(f"{label:<44} {ts:>9.2f}s {ps:>9.2f}s {ts / ps:>7.2f}")
            continue
        print(f"{label:<44} {fmt_bytes(t):>10} {fmt_bytes(p):>10} {t / p:>7.2f}")
    return 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["--child"]:
        print(json.dumps(child(sys.argv[2], sys.argv[3])))
        sys.exit(0)
    sys.exit(main())
