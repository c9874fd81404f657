"""The everyday API against its own baselines and the peer, in one process, alternating
samples: deterministic encoding, byte_size, and reading a length-delimited stream.

Usage: python bench/bench_everyday.py [--quick]
"""

from __future__ import annotations

import io
import os
import random
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import torvex  # noqa: E402
from bench_binary import Paragraph, compare, fmt_ns, make_data  # noqa: E402
from peer import to_peer  # noqa: E402


def row(label: str, what: str, med: dict[str, float], base: str, target: str) -> None:
    ours = med[what]
    print(f"{label:<44} {fmt_ns(ours):>10} {fmt_ns(med[base]):>10} {ours / med[base]:>7.2f}"
          f"   (target {target})")  # fmt: skip


def main() -> int:
    quick = "--quick" in sys.argv[1:]
    samples, target_ns = (5, 5_000_000) if quick else (15, 25_000_000)
    print(f"median of {samples} samples of ~{target_ns // 1_000_000} ms each, alternating\n")
    header = f"{'row':<44} {'torvex':>10} {'baseline':>10} {'ratio':>7}"
    print(header)
    print("-" * len(header))
    started = time.perf_counter()
    rng = random.Random(20240607)
    document = dict(make_data(rng))["document, 3 levels + map"]

    for entries in (5, 50):
        doc = document.__deepcopy__(None)
        keys = [f"term{i}" for i in range(entries)]
        rng.shuffle(keys)  # inserted out of order, so that sorting has work to do
        doc.glossary = {k: Paragraph(text=f"entry {k}", line=i) for i, k in enumerate(keys)}
        peer = to_peer(doc)
        assert doc.to_binary(deterministic=True) == doc.to_binary(deterministic=True)
        med = compare(
            {
                "det": lambda: doc.to_binary(deterministic=True),
                "plain": doc.to_binary,
                "peer": lambda: peer.SerializeToString(deterministic=True),
            },
            samples,
            target_ns,
        )
        row(f"document, map of {entries}: deterministic / plain", "det", med, "plain", "<= 1.3")
        row(f"document, map of {entries}: deterministic / peer's", "det", med, "peer", "<= 1.0")

    med = compare({"size": document.byte_size, "encode": document.to_binary}, samples, target_ns)
    assert document.byte_size() == len(document.to_binary())
    row("document: byte_size / to_binary", "size", med, "encode", "<= 0.5")

    small = [Paragraph(text=f"line {i}", kind=i % 4, line=i, score=i / 7) for i in range(100_000)]
    buffers = [m.to_binary() for m in small]
    stream = io.BytesIO()
    for m in small:
        torvex.write_delimited(stream, m)
    data = stream.getvalue()

    def read_stream() -> None:
        for _ in torvex.read_delimited(io.BytesIO(data), Paragraph):
            pass

    def read_split() -> None:
        from_binary = Paragraph.from_binary
        for b in buffers:
            from_binary(b)

    med = compare({"stream": read_stream, "split": read_split}, samples, target_ns)
    row("100,000 small: read_delimited / from_binary loop", "stream", med, "split", "<= 1.2")
    print(f"\ntotal {time.perf_counter() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
