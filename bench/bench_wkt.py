"""Well-known-type-heavy JSON: a message holding a Timestamp, a Duration, a Struct of 50 mixed
values and an Any with a small message, through torvex's to_json/from_json against the reference
runtime's json_format (MessageToJson / Parse). Prints medians and ratios (below 1 means torvex is
faster).

Usage: python bench/bench_wkt.py [--quick]
"""

from __future__ import annotations

import json
import os
import random
import sys
import time

from google.protobuf import descriptor_pb2, descriptor_pool, json_format, message_factory
from google.protobuf import any_pb2, duration_pb2, struct_pb2, timestamp_pb2  # noqa: F401

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from bench_binary import _peer_backend, compare, fmt_ns  # noqa: E402

import google.protobuf  # noqa: E402
import torvex  # noqa: E402
from torvex import ScalarType as T  # noqa: E402
from torvex import wkt  # noqa: E402

FILE = torvex.File("bench/wkt_event.proto", package="benchwkt")


class Small(torvex.Message, file=FILE):
    name: str = torvex.field(1, T.STRING)
    id: int = torvex.field(2, T.INT32)
    tags: list[str] = torvex.repeated(3, T.STRING)


class Event(torvex.Message, file=FILE):
    at: wkt.Timestamp | None = torvex.field(1, wkt.Timestamp)
    took: wkt.Duration | None = torvex.field(2, wkt.Duration)
    attrs: wkt.Struct | None = torvex.field(3, wkt.Struct)
    payload: wkt.Any | None = torvex.field(4, wkt.Any)


def peer_event_class() -> type:
    """The same schema in the reference runtime's default pool (so Any payloads resolve)."""
    F = descriptor_pb2.FieldDescriptorProto
    fdp = descriptor_pb2.FileDescriptorProto(
        name="bench/wkt_event.proto",
        package="benchwkt",
        syntax="proto3",
        dependency=[
            "google/protobuf/timestamp.proto",
            "google/protobuf/duration.proto",
            "google/protobuf/struct.proto",
            "google/protobuf/any.proto",
        ],
    )
    small = fdp.message_type.add(name="Small")
    small.field.add(name="name", number=1, type=F.TYPE_STRING, label=F.LABEL_OPTIONAL)
    small.field.add(name="id", number=2, type=F.TYPE_INT32, label=F.LABEL_OPTIONAL)
    small.field.add(name="tags", number=3, type=F.TYPE_STRING, label=F.LABEL_REPEATED)
    event = fdp.message_type.add(name="Event")
    for name, number, type_name in [
        ("at", 1, ".google.protobuf.Timestamp"),
        ("took", 2, ".google.protobuf.Duration"),
        ("attrs", 3, ".google.protobuf.Struct"),
        ("payload", 4, ".google.protobuf.Any"),
    ]:
        event.field.add(
            name=name, number=number, type=F.TYPE_MESSAGE, label=F.LABEL_OPTIONAL,
            type_name=type_name,
        )  # fmt: skip
    pool = descriptor_pool.Default()
    pool.Add(fdp)
    return message_factory.GetMessageClass(pool.FindMessageTypeByName("benchwkt.Event"))


def make_event(rng: random.Random) -> Event:
    attrs: dict[str, object] = {}
    for i in range(50):
        kind = i % 6
        if kind == 0:
            value: object = rng.uniform(-1e6, 1e6)
        elif kind == 1:
            value = "".join(rng.choice("abcdefghij ") for _ in range(rng.randint(3, 20)))
        elif kind == 2:
            value = rng.random() < 0.5
        elif kind == 3:
            value = None
        elif kind == 4:
            value = [float(rng.randint(0, 100)), "x", True]
        else:
            value = {"n": float(rng.randint(0, 100)), "s": "inner"}
        attrs[f"key_{i:02d}"] = value
    small = Small(name="small", id=42, tags=["a", "b", "c"])
    return Event(
        at=wkt.Timestamp(seconds=1_700_000_000, nanos=123_456_000),
        took=wkt.Duration(seconds=3, nanos=500_000_000),
        attrs=wkt.Struct.from_dict(attrs),
        payload=wkt.Any.pack(small),
    )


def main() -> int:
    quick = "--quick" in sys.argv[1:]
    samples, target_ns = (5, 5_000_000) if quick else (11, 20_000_000)
    print(f"torvex well-known types in JSON vs protobuf {google.protobuf.__version__} json_format "
          f"({_peer_backend()}), Python {sys.version.split()[0]}")  # fmt: skip
    print(f"median of {samples} samples of ~{target_ns // 1_000_000} ms each, alternating\n")
    registry = torvex.Registry(wkt, Small)
    msg = make_event(random.Random(20240607))
    peer_cls = peer_event_class()
    pmsg = peer_cls.FromString(msg.to_binary())
    text = msg.to_json(registry=registry)
    ptext = json_format.MessageToJson(pmsg, indent=None)
    # Both sides must produce and read the same document, or the comparison means nothing.
    assert json.loads(text) == json.loads(ptext)
    assert Event.from_json(ptext, registry=registry) == msg
    assert json_format.Parse(text, peer_cls()) == pmsg

    header = f"{'operation':<22} {'chars':>7} {'torvex':>10} {'peer':>10} {'ratio':>7}"
    print(header)
    print("-" * len(header))
    rows = [
        (
            "to_json",
            lambda: msg.to_json(registry=registry),
            lambda: json_format.MessageToJson(pmsg, indent=None),
        ),
        (
            "_to_json_value",
            lambda: msg._to_json_value(registry=registry),
            lambda: json_format.MessageToDict(pmsg),
        ),
        (
            "from_json",
            lambda: Event.from_json(text, registry=registry),
            lambda: json_format.Parse(text, peer_cls()),
        ),
        (
            "_from_json_value",
            lambda: Event._from_json_value(json.loads(text), registry=registry),
            lambda: json_format.ParseDict(json.loads(text), peer_cls()),
        ),
    ]
    started = time.perf_counter()
    for name, ours, peer in rows:
        medians = compare({"torvex": ours, "peer": peer}, samples, target_ns)
        ratio = medians["torvex"] / medians["peer"]
        print(f"{name:<22} {len(text):>7} {fmt_ns(medians['torvex']):>10} "
              f"{fmt_ns(medians['peer']):>10} {ratio:>6.3f}x")  # fmt: skip
    print(f"\n(the _from_json_value rows include json.loads on both sides; "
          f"{time.perf_counter() - started:.1f} s)")  # fmt: skip
    return 0


if __name__ == "__main__":
    sys.exit(main())
