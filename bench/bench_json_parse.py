"""JSON reading benchmark: torvex's from_json / _from_json_value against the reference runtime's
json_format.Parse / ParseDict and against orjson.loads of the same text (which builds plain
dicts only), on the schemas and data of bench_binary.py. Prints medians, their ratio and the
ratio of the best samples (below 1 means torvex is faster).

The peer reads its own JSON (its schema names fields f<number>); both documents hold the same
values, so they differ only in key spellings.

Usage: python bench/bench_json_parse.py [--quick]
"""

from __future__ import annotations

import base64
import json
import math
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import orjson  # noqa: E402
from bench_binary import _peer_backend, fmt_ns, make_data, timings  # noqa: E402
from google.protobuf import json_format  # noqa: E402
import google.protobuf  # noqa: E402
import random  # noqa: E402

from peer import snapshot, to_peer  # noqa: E402
from torvex import ScalarType as T  # noqa: E402
from torvex._descriptors import (  # noqa: E402
    DescFieldValueEnum,
    DescFieldValueList,
    DescFieldValueMap,
    DescFieldValueMessage,
    DescFieldValueScalar,
)

_AS_STRING = {T.INT64, T.UINT64, T.SINT64, T.FIXED64, T.SFIXED64}


def _value(kind, v):
    """One value in the proto3 JSON mapping; `kind` is a ScalarType, enum or message desc."""
    if isinstance(kind, T):
        if kind in _AS_STRING:
            return str(v)
        if kind is T.BYTES:
            return base64.b64encode(v).decode()
        if isinstance(v, float) and not math.isfinite(v):
            return "NaN" if math.isnan(v) else ("Infinity" if v > 0 else "-Infinity")
        return v
    if hasattr(kind, "fields"):
        return to_tree(v)
    return v.name


def to_tree(msg) -> dict:
    """The JSON value tree of a message without oneofs, default values left out."""
    out = {}
    for f in type(msg)._desc.fields:
        v = getattr(msg, f.local_name)
        kind = f.value
        if isinstance(kind, DescFieldValueList):
            if v:
                out[f.json_name] = [_value(kind.element, x) for x in v]
        elif isinstance(kind, DescFieldValueMap):
            if v:
                out[f.json_name] = {str(k): _value(kind.value, x) for k, x in v.items()}
        elif isinstance(kind, DescFieldValueMessage):
            if v is not None:
                out[f.json_name] = to_tree(v)
        elif isinstance(kind, (DescFieldValueScalar, DescFieldValueEnum)):
            if v:
                inner = kind.scalar if isinstance(kind, DescFieldValueScalar) else kind.enum
                out[f.json_name] = _value(inner, v)
    return out


def compare(fns: dict, samples: int, target_ns: int) -> dict:
    """Median and best time per call of each function, sampled alternately. On a shared machine
    the best sample shows the code's own cost; the median shows what a user would see."""
    times = timings(fns, samples, target_ns, time.perf_counter_ns)
    return {name: (statistics.median(ts), min(ts)) for name, ts in times.items()}


def main() -> int:
    quick = "--quick" in sys.argv[1:]
    samples, target_ns = (5, 5_000_000) if quick else (11, 20_000_000)
    print(f"torvex JSON reading vs protobuf {google.protobuf.__version__} ({_peer_backend()}) "
          f"and orjson {orjson.__version__}, Python {sys.version.split()[0]}")  # fmt: skip
    print(f"median of {samples} samples of ~{target_ns // 1_000_000} ms each, alternating\n")
    header = (f"{'schema':<26} {'operation':<17} {'size':>9} {'torvex':>10} {'other':>10} "
              f"{'ratio':>7} {'best':>6}  other")  # fmt: skip
    print(header)
    print("-" * len(header))
    started = time.perf_counter()
    for label, msg in make_data(random.Random(20240607)):
        cls = type(msg)
        pmsg = to_peer(msg)
        peer_cls = type(pmsg)
        tree = to_tree(msg)
        text = json.dumps(tree, ensure_ascii=False).encode()
        ptext = json_format.MessageToJson(pmsg, indent=None).encode()
        pdict = json_format.MessageToDict(pmsg)
        # Both sides must read the same content, or the comparison means nothing.
        assert snapshot(cls.from_json(text)) == snapshot(msg), label
        assert snapshot(cls._from_json_value(tree)) == snapshot(msg), label
        assert json_format.Parse(ptext, peer_cls()) == pmsg, label
        rows = [
            ("from_json", lambda: cls.from_json(text),
             lambda: json_format.Parse(ptext, peer_cls()), "Parse"),
            ("from_json", lambda: cls.from_json(text), lambda: orjson.loads(text), "orjson.loads"),
            ("_from_json_value", lambda: cls._from_json_value(tree),
             lambda: json_format.ParseDict(pdict, peer_cls()), "ParseDict"),
        ]  # fmt: skip
        if "data" in tree:
            rows.append(("from_json", lambda: cls.from_json(text),
                         lambda: base64.b64decode(orjson.loads(text)["data"]),
                         "orjson+b64decode"))  # fmt: skip
        for op, ours, theirs, other in rows:
            t = compare({"torvex": ours, "other": theirs}, samples, target_ns)
            (ours_med, ours_min), (other_med, other_min) = t["torvex"], t["other"]
            print(f"{label:<26} {op:<17} {len(text):>9,} {fmt_ns(ours_med):>10} "
                  f"{fmt_ns(other_med):>10} {ours_med / other_med:>7.3f} "
                  f"{ours_min / other_min:>6.3f}  {other}")  # fmt: skip
    print(f"\ntotal {time.perf_counter() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
