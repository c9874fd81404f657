"""Many small messages: a batch of trace records as telemetry exporters send them, and the cost
per item of a oneof, against the reference protobuf runtime in one process, alternating samples.
Prints medians and their ratio (below 1 means torvex is faster).

The batch: 1,000 records, each with 6 attributes and 2 events (each event with 2 attributes),
every attribute value a 7-member oneof. The per-item rows: 10,000 one-field messages in a
repeated field, the int64 in a 7-member oneof, in a 2-member oneof, and as a plain field.

Usage: python bench/bench_trace.py [--quick]
"""

from __future__ import annotations

import copy
import random
import sys
import time

import google.protobuf
import torvex
from bench_binary import _peer_backend, compare, fmt_ns
from peer import peer_class, peer_name, snapshot, to_peer  # on sys.path through bench_binary
from torvex import Oneof
from torvex import ScalarType as T

FILE = torvex.File("bench/trace.proto", package="bench.trace")


class AnyValue(torvex.Message, file=FILE):
    value: Oneof | None = torvex.oneof(
        string_value=torvex.field(1, T.STRING),
        bool_value=torvex.field(2, T.BOOL),
        int_value=torvex.field(3, T.INT64),
        double_value=torvex.field(4, T.DOUBLE),
        array_value=torvex.field(5, "ArrayValue"),
        kvlist_value=torvex.field(6, "KeyValueList"),
        bytes_value=torvex.field(7, T.BYTES),
    )


class ArrayValue(torvex.Message, file=FILE):
    values: list[AnyValue] = torvex.repeated(1, AnyValue)


class KeyValue(torvex.Message, file=FILE):
    key: str = torvex.field(1, T.STRING)
    value: AnyValue | None = torvex.field(2, AnyValue)


class KeyValueList(torvex.Message, file=FILE):
    values: list[KeyValue] = torvex.repeated(1, KeyValue)


class Event(torvex.Message, file=FILE):
    time_unix_nano: int = torvex.field(1, T.FIXED64)
    name: str = torvex.field(2, T.STRING)
    attributes: list[KeyValue] = torvex.repeated(3, KeyValue)


class Span(torvex.Message, file=FILE):
    trace_id: bytes = torvex.field(1, T.BYTES)
    span_id: bytes = torvex.field(2, T.BYTES)
    parent_span_id: bytes = torvex.field(3, T.BYTES)
    name: str = torvex.field(4, T.STRING)
    kind: int = torvex.field(5, T.INT32)
    start_time_unix_nano: int = torvex.field(6, T.FIXED64)
    end_time_unix_nano: int = torvex.field(7, T.FIXED64)
    attributes: list[KeyValue] = torvex.repeated(8, KeyValue)
    events: list[Event] = torvex.repeated(9, Event)


class Batch(torvex.Message, file=FILE):
    spans: list[Span] = torvex.repeated(1, Span)


class Choice7(torvex.Message, file=FILE):
    value: Oneof | None = torvex.oneof(
        a=torvex.field(1, T.INT64), b=torvex.field(2, T.INT64), c=torvex.field(3, T.INT64),
        d=torvex.field(4, T.INT64), e=torvex.field(5, T.INT64), f=torvex.field(6, T.INT64),
        g=torvex.field(7, T.INT64),
    )  # fmt: skip


class Choice2(torvex.Message, file=FILE):
    value: Oneof | None = torvex.oneof(a=torvex.field(1, T.INT64), b=torvex.field(2, T.INT64))


class Plain(torvex.Message, file=FILE):
    a: int = torvex.field(1, T.INT64)


class Items7(torvex.Message, file=FILE):
    items: list[Choice7] = torvex.repeated(1, Choice7)


class Items2(torvex.Message, file=FILE):
    items: list[Choice2] = torvex.repeated(1, Choice2)


class ItemsPlain(torvex.Message, file=FILE):
    items: list[Plain] = torvex.repeated(1, Plain)


ITEMS = 10_000


def attribute(rng: random.Random, i: int) -> KeyValue:
    """One attribute, its value cycling through the scalar members as exporters see them."""
    choice = i % 5
    if choice == 0:
        value = Oneof("string_value", rng.choice(["GET", "POST", "/api/v1/items", "ok"]))
    elif choice == 1:
        value = Oneof("int_value", rng.randint(0, 2**40))
    elif choice == 2:
        value = Oneof("bool_value", rng.random() < 0.5)
    elif choice == 3:
        value = Oneof("double_value", rng.random() * 1000)
    else:
        value = Oneof("bytes_value", rng.randbytes(8))
    return KeyValue(key=f"attr.key.{i}", value=AnyValue(value=value))


def make_batch(rng: random.Random, records: int = 1_000) -> Batch:
    spans = []
    for r in range(records):
        start = 1_700_000_000_000_000_000 + r * 1_000_000
        events = [
            Event(time_unix_nano=start + e, name=f"event {e}",
                  attributes=[attribute(rng, e * 3 + k) for k in range(2)])
            for e in range(2)
        ]  # fmt: skip
        spans.append(
            Span(
                trace_id=rng.randbytes(16), span_id=rng.randbytes(8),
                parent_span_id=rng.randbytes(8), name=f"HTTP GET /api/v1/items/{r}", kind=2,
                start_time_unix_nano=start, end_time_unix_nano=start + 12_345,
                attributes=[attribute(rng, k) for k in range(6)], events=events,
            )  # fmt: skip
        )
    return Batch(spans=spans)


def read_batch(batch: Batch) -> None:
    """Names, ids and every attribute value, as an exporter's receiver reads them."""
    for span in batch.spans:
        span.name, span.trace_id, span.span_id
        for kv in span.attributes:
            kv.key, kv.value.value.value
        for event in span.events:
            event.name
            for kv in event.attributes:
                kv.key, kv.value.value.value


def read_peer_batch(batch) -> None:
    f = peer_name
    for span in batch.f1:
        getattr(span, f(4)), getattr(span, f(1)), getattr(span, f(2))
        for kv in span.f8:
            kv.f1, getattr(kv.f2, kv.f2.WhichOneof("o0"))
        for event in span.f9:
            event.f2
            for kv in event.f3:
                kv.f1, getattr(kv.f2, kv.f2.WhichOneof("o0"))


def row(label: str, op: str, size: int, med: dict, per: int = 1) -> None:
    t, p = med["torvex"] / per, med["peer"] / per
    print(f"{label:<28} {op:<18} {size:>9,} {fmt_ns(t):>10} {fmt_ns(p):>10} "
          f"{med['torvex'] / med['peer']:>7.2f}")  # fmt: skip


def main() -> int:
    quick = "--quick" in sys.argv[1:]
    samples, target_ns = (5, 5_000_000) if quick else (15, 25_000_000)
    print(f"torvex vs protobuf {google.protobuf.__version__} "
          f"({_peer_backend()}), Python {sys.version.split()[0]}")  # fmt: skip
    print(f"median of {samples} samples of ~{target_ns // 1_000_000} ms each, alternating\n")
    header = (f"{'schema':<28} {'operation':<18} {'size':>9} {'torvex':>10} {'peer':>10} "
              f"{'ratio':>7}")  # fmt: skip
    print(header)
    print("-" * len(header))
    started = time.perf_counter()

    batch = make_batch(random.Random(20261208))
    peer_cls = peer_class(Batch)
    pbatch = to_peer(batch)
    data, pdata = batch.to_binary(), pbatch.SerializeToString()
    # Both must see the same content, or the comparison means nothing.
    assert data == pdata, (len(data), len(pdata))
    assert snapshot(Batch.from_binary(pdata)) == snapshot(batch)

    def peer_copy():
        out = peer_cls()
        out.CopyFrom(pbatch)
        return out

    assert snapshot(copy.deepcopy(batch)) == snapshot(batch)
    assert peer_copy().SerializeToString() == pdata
    label = "1,000 trace records"
    for op, ours, theirs in (
        ("to_binary", batch.to_binary, pbatch.SerializeToString),
        ("from_binary+read", lambda: read_batch(Batch.from_binary(data)),
         lambda: read_peer_batch(peer_cls.FromString(pdata))),
        ("deepcopy/CopyFrom", lambda: copy.deepcopy(batch), peer_copy),
    ):  # fmt: skip
        row(label, op, len(data), compare({"torvex": ours, "peer": theirs}, samples, target_ns))

    print("\nper item of 10,000 in a repeated field:")
    for label, cls, item in (
        ("int64 in a 7-member oneof", Items7, lambda i: Choice7(value=Oneof("d", i * 7919))),
        ("int64 in a 2-member oneof", Items2, lambda i: Choice2(value=Oneof("b", i * 7919))),
        ("int64, plain field", ItemsPlain, lambda i: Plain(a=i * 7919)),
    ):
        msg = cls(items=[item(i) for i in range(ITEMS)])
        pcls = peer_class(cls)
        pmsg = to_peer(msg)
        data = msg.to_binary()
        assert data == pmsg.SerializeToString(), label
        assert snapshot(cls.from_binary(data)) == snapshot(msg), label
        for op, ours, theirs in (
            ("to_binary", msg.to_binary, pmsg.SerializeToString),
            ("from_binary", lambda: cls.from_binary(data), lambda: pcls.FromString(data)),
        ):
            med = compare({"torvex": ours, "peer": theirs}, samples, target_ns)
            row(label, op, len(data), med, ITEMS)
    print(f"\ntotal {time.perf_counter() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
