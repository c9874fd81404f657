"""JSON writer benchmark: torvex's to_json and _to_json_value against the reference runtime's
json_format and against orjson writing the equivalent dict, on the schemas and data of
bench_binary.py, in one process, alternating samples. Prints medians and ratios (below 1 means
torvex is faster).

Usage: python bench/bench_json_write.py [--quick]
"""

from __future__ import annotations

import base64
import json
import os
import random
import sys
import time

import orjson
from google.protobuf import json_format

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from bench_binary import (  # noqa: E402
    Blob,
    _peer_backend,
    compare,
    fmt_ns,
    make_data,
    to_peer,
)

import google.protobuf  # noqa: E402


# Time is the process's CPU time rather than wall time: the machine may be shared, and CPU time
# does not count the slices other processes take, which wall time would add at random.
CLOCK = time.process_time_ns


def main() -> int:
    quick = "--quick" in sys.argv[1:]
    samples, target_ns = (5, 5_000_000) if quick else (11, 20_000_000)
    print(f"torvex JSON writer vs protobuf {google.protobuf.__version__} json_format "
          f"({_peer_backend()}) and orjson {orjson.__version__}, "
          f"Python {sys.version.split()[0]}")  # fmt: skip
    print(f"median of {samples} samples of ~{target_ns // 1_000_000} ms of CPU time each, "
          "alternating\n")  # fmt: skip
    header = (f"{'schema':<26} {'operation':<15} {'chars':>9} {'torvex':>10} {'peer':>10} "
              f"{'ratio':>6} {'orjson':>10} {'ratio':>6}")  # fmt: skip
    print(header)
    print("-" * len(header))
    started = time.perf_counter()
    for label, msg in make_data(random.Random(20240607)):
        pmsg = to_peer(msg)
        text = msg.to_json()
        tree = msg._to_json_value()
        assert json.loads(text) == tree, label
        # The peer writes the same document under its own (mangled) field names.
        assert len(json.loads(json_format.MessageToJson(pmsg, indent=None))) == len(tree), label
        if type(msg) is Blob:
            # The floor of the work for a bytes field: base64 by the standard library, then
            # orjson for the document.
            raw = msg.data

            def baseline(raw=raw):
                return orjson.dumps({"data": base64.b64encode(raw).decode()})
        else:

            def baseline(tree=tree):
                return orjson.dumps(tree)

        rows = {
            "to_json": (
                msg.to_json,
                lambda pmsg=pmsg: json_format.MessageToJson(pmsg, indent=None),
                baseline,
            ),
            "_to_json_value": (
                msg._to_json_value,
                lambda pmsg=pmsg: json_format.MessageToDict(pmsg),
                None,
            ),
        }
        for op, (ours, theirs, other) in rows.items():
            fns = {"torvex": ours, "peer": theirs}
            if other:
                fns["orjson"] = other
            med = compare(fns, samples, target_ns, CLOCK)
            line = (f"{label:<26} {op:<15} {len(text):>9,} {fmt_ns(med['torvex']):>10} "
                    f"{fmt_ns(med['peer']):>10} {med['torvex'] / med['peer']:>6.3f}")  # fmt: skip
            if other:
                line += f" {fmt_ns(med['orjson']):>10} {med['torvex'] / med['orjson']:>6.2f}"
            print(line)
    print(f"\ntotal {time.perf_counter() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
