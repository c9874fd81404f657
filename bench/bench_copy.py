"""Copy and merge benchmark: torvex's copy.deepcopy and merge_from against the reference
protobuf runtime's CopyFrom and MergeFrom, on the document schema and data of the binary
benchmark, in one process, alternating samples. Prints medians and their ratio (below 1 means
torvex is faster).

Usage: python bench/bench_copy.py [--quick]
"""

from __future__ import annotations

import copy
import random
import sys
import time

import google.protobuf
from bench_binary import Document, _peer_backend, compare, fmt_ns, make_data
from peer import peer_class, snapshot, to_peer  # on sys.path through bench_binary


def main() -> int:
    quick = "--quick" in sys.argv[1:]
    samples, target_ns = (5, 5_000_000) if quick else (15, 25_000_000)
    print(f"torvex vs protobuf {google.protobuf.__version__} "
          f"({_peer_backend()}), Python {sys.version.split()[0]}")  # fmt: skip
    print(f"median of {samples} samples of ~{target_ns // 1_000_000} ms each, alternating\n")
    doc = next(msg for _, msg in make_data(random.Random(20240607)) if type(msg) is Document)
    peer_cls = peer_class(Document)
    pdoc = to_peer(doc)

    def peer_copy():
        out = peer_cls()
        out.CopyFrom(pdoc)
        return out

    def peer_merge():
        out = peer_cls()
        out.MergeFrom(pdoc)
        return out

    def merge():
        out = Document()
        out.merge_from(doc)
        return out

    # Both sides must produce the same content, or the comparison means nothing.
    for ours, theirs in ((copy.deepcopy(doc), peer_copy()), (merge(), peer_merge())):
        assert snapshot(ours) == snapshot(doc)
        assert theirs.SerializeToString(deterministic=True) == pdoc.SerializeToString(
            deterministic=True
        )
    header = f"{'operation':<34} {'torvex':>10} {'peer':>10} {'ratio':>7}"
    print(f"document: {len(doc.to_binary()):,} bytes encoded\n")
    print(header)
    print("-" * len(header))
    started = time.perf_counter()
    rows = [
        ("copy.deepcopy / CopyFrom", lambda: copy.deepcopy(doc), peer_copy),
        ("merge_from / MergeFrom (into new)", merge, peer_merge),
    ]
    for label, ours, theirs in rows:
        med = compare({"torvex": ours, "peer": theirs}, samples, target_ns)
        print(f"{label:<34} {fmt_ns(med['torvex']):>10} {fmt_ns(med['peer']):>10} "
              f"{med['torvex'] / med['peer']:>7.2f}")  # fmt: skip
    print(f"\ntotal {time.perf_counter() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
