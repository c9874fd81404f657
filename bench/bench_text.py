"""Text format benchmark: torvex's to_text and from_text against the reference runtime's
text_format on the schemas and data of bench_binary.py, in one process, alternating samples.
Prints medians and ratios (below 1 means torvex is faster).

Usage: python bench/bench_text.py [--quick]
"""

from __future__ import annotations

import os
import random
import sys
import time

from google.protobuf import text_format

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from bench_binary import (  # noqa: E402
    _peer_backend,
    compare,
    fmt_ns,
    make_data,
    peer_class,
    snapshot,
    to_peer,
)

import google.protobuf  # noqa: E402

# CPU time of the process rather than wall time: the machine may be shared.
CLOCK = time.process_time_ns


def main() -> int:
    quick = "--quick" in sys.argv[1:]
    samples, target_ns = (5, 5_000_000) if quick else (11, 20_000_000)
    print(f"torvex text format vs protobuf {google.protobuf.__version__} text_format "
          f"({_peer_backend()}), Python {sys.version.split()[0]}")  # fmt: skip
    print(f"median of {samples} samples of ~{target_ns // 1_000_000} ms of CPU time each, "
          "alternating\n")  # fmt: skip
    header = f"{'schema':<26} {'operation':<10} {'chars':>9} {'torvex':>10} {'peer':>10} {'ratio':>7}"
    print(header)
    print("-" * len(header))
    started = time.perf_counter()
    for label, msg in make_data(random.Random(20240607)):
        cls = type(msg)
        pmsg = to_peer(msg)
        peer_cls = peer_class(cls)
        text = msg.to_text()
        ptext = text_format.MessageToString(pmsg)
        # Each reads its own text back to the same content (the peer's field names differ).
        assert snapshot(cls.from_text(text)) == snapshot(msg), label
        assert text_format.Parse(ptext, peer_cls()) == pmsg, label
        rows = {
            "to_text": (msg.to_text, lambda pmsg=pmsg: text_format.MessageToString(pmsg)),
            "from_text": (
                lambda text=text, cls=cls: cls.from_text(text),
                lambda ptext=ptext, peer_cls=peer_cls: text_format.Parse(ptext, peer_cls()),
            ),
        }
        for op, (ours, theirs) in rows.items():
            medians = compare({"torvex": ours, "peer": theirs}, samples, target_ns, CLOCK)
            t, p = medians["torvex"], medians["peer"]
            print(f"{label:<26} {op:<10} {len(text):>9} {fmt_ns(t):>10} {fmt_ns(p):>10} "
                  f"{t / p:>7.3f}")  # fmt: skip
    print(f"\n({time.perf_counter() - started:.0f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
