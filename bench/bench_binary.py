"""Binary codec benchmark: torvex against the reference protobuf runtime on the same schemas and
the same data, in one process, alternating samples. Prints the median time per operation of
each and their ratio (below 1 means torvex is faster).

Usage: python bench/bench_binary.py [--quick]
"""

from __future__ import annotations

import gc
import os
import random
import statistics
import sys
import time
from collections.abc import Callable

# The peer schemas are derived from the torvex ones by the test helper.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import google.protobuf  # noqa: E402
import torvex  # noqa: E402
from peer import from_peer, peer_class, peer_name, snapshot, to_peer  # noqa: E402
from torvex import ScalarType as T  # noqa: E402
from torvex._descriptors import (  # noqa: E402
    DescFieldValueList,
    DescFieldValueMap,
    DescFieldValueMessage,
    DescMessage,
)

FILE = torvex.File("bench/binary.proto", package="bench")


class Flat(torvex.Message, file=FILE):
    i32: int = torvex.field(1, T.INT32)
    i64: int = torvex.field(2, T.INT64)
    u32: int = torvex.field(3, T.UINT32)
    u64: int = torvex.field(4, T.UINT64)
    s32: int = torvex.field(5, T.SINT32)
    s64: int = torvex.field(6, T.SINT64)
    f32: int = torvex.field(7, T.FIXED32)
    f64: int = torvex.field(8, T.FIXED64)
    sf32: int = torvex.field(9, T.SFIXED32)
    sf64: int = torvex.field(10, T.SFIXED64)
    flag: bool = torvex.field(11, T.BOOL)
    real: float = torvex.field(12, T.DOUBLE)
    single: float = torvex.field(13, T.FLOAT)
    text: str = torvex.field(14, T.STRING)
    blob: bytes = torvex.field(15, T.BYTES)


class Kind(torvex.Enum, file=FILE):
    KIND_UNSPECIFIED = 0
    KIND_TEXT = 1
    KIND_CODE = 2
    KIND_QUOTE = 3


class Paragraph(torvex.Message, file=FILE):
    text: str = torvex.field(1, T.STRING)
    kind: Kind = torvex.field(2, Kind)
    line: int = torvex.field(3, T.UINT32)
    score: float = torvex.field(4, T.DOUBLE)


class Section(torvex.Message, file=FILE):
    title: str = torvex.field(1, T.STRING)
    paragraphs: list[Paragraph] = torvex.repeated(2, Paragraph)
    tags: list[str] = torvex.repeated(3, T.STRING)


class Chapter(torvex.Message, file=FILE):
    title: str = torvex.field(1, T.STRING)
    number: int = torvex.field(2, T.INT32)
    sections: list[Section] = torvex.repeated(3, Section)


class Document(torvex.Message, file=FILE):
    id: int = torvex.field(1, T.UINT64)
    title: str = torvex.field(2, T.STRING)
    chapters: list[Chapter] = torvex.repeated(3, Chapter)
    glossary: dict[str, Paragraph] = torvex.map_field(4, T.STRING, Paragraph)
    author: str = torvex.field(5, T.STRING)


class Ints(torvex.Message, file=FILE):
    values: list[int] = torvex.repeated(1, T.INT32, packed=True)


class Doubles(torvex.Message, file=FILE):
    values: list[float] = torvex.repeated(1, T.DOUBLE, packed=True)


class Blob(torvex.Message, file=FILE):
    data: bytes = torvex.field(1, T.BYTES)


class Nest(torvex.Message, file=FILE):
    child: "Nest | None" = torvex.field(1, "Nest")
    group: "Nest | None" = torvex.field(2, "Nest", delimited=True)
    words: list[str] = torvex.repeated(3, T.STRING)


def make_data(rng: random.Random) -> list[tuple[str, torvex.Message]]:
    words = ["alpha", "beta", "gamma", "delta", "epsilon", "zeta", "theta", "ñandú", "日本"]

    def sentence(n: int) -> str:
        return " ".join(rng.choice(words) for _ in range(n))

    flat = Flat(
        i32=-123456, i64=-(2**40), u32=4_000_000_000, u64=2**63 + 5, s32=-77, s64=2**50,
        f32=0xDEADBEEF, f64=2**60, sf32=-5, sf64=-(2**62), flag=True, real=3.14159265358979,
        single=0.5, text="hello, flat world", blob=b"\x00\x01\x02\x03binary",
    )  # fmt: skip

    def paragraph(line: int) -> Paragraph:
        return Paragraph(text=sentence(12), kind=Kind(line % 4), line=line, score=rng.random())

    line = 0
    chapters = []
    for c in range(6):
        sections = []
        for s in range(4):
            paragraphs = []
            for _ in range(6):
                line += 1
                paragraphs.append(paragraph(line))
            sections.append(
                Section(title=sentence(3), paragraphs=paragraphs, tags=[sentence(1), sentence(1)])
            )
        chapters.append(Chapter(title=sentence(4), number=c + 1, sections=sections))
    document = Document(
        id=2**64 - 1,
        title=sentence(6),
        chapters=chapters,
        glossary={f"term{i}": paragraph(i) for i in range(20)},
        author="A. Writer",
    )
    ints = Ints(values=[rng.randint(-(2**31), 2**31 - 1) if i % 10 == 0 else rng.randint(0, 2**20)
                        for i in range(10_000)])  # fmt: skip
    doubles = Doubles(values=[rng.uniform(-1e6, 1e6) for _ in range(10_000)])
    blob = Blob(data=rng.randbytes(2**20))
    return [
        ("flat, 15 scalars", flat),
        ("document, 3 levels + map", document),
        ("10,000 packed int32", ints),
        ("10,000 packed double", doubles),
        ("1 MB bytes field", blob),
    ]


# ---- reading every field ---------------------------------------------------------------------

SCALAR, MESSAGE, LIST, LIST_MESSAGE, MAP, MAP_MESSAGE = range(6)


def read_plan(desc: DescMessage, peer: bool, plans: dict) -> list:
    """What to read from a message, by attribute name; the same walk serves both runtimes."""
    plan = plans.get(id(desc))
    if plan is not None:
        return plan
    plan = plans[id(desc)] = []
    for f in desc.fields:
        kind = f.value
        name = peer_name(f.number) if peer else f.local_name
        if isinstance(kind, DescFieldValueMessage):
            plan.append((name, MESSAGE, read_plan(kind.message, peer, plans)))
        elif isinstance(kind, DescFieldValueList):
            if isinstance(kind.element, DescMessage):
                plan.append((name, LIST_MESSAGE, read_plan(kind.element, peer, plans)))
            else:
                plan.append((name, LIST, None))
        elif isinstance(kind, DescFieldValueMap):
            if isinstance(kind.value, DescMessage):
                plan.append((name, MAP_MESSAGE, read_plan(kind.value, peer, plans)))
            else:
                plan.append((name, MAP, None))
        else:
            plan.append((name, SCALAR, None))
    return plan


def walk(msg, plan, peer: bool) -> None:
    for name, kind, sub in plan:
        value = getattr(msg, name)
        if kind == SCALAR:
            continue
        if kind == MESSAGE:
            # The peer hands out a default instance for an unset field; test presence first.
            if (msg.HasField(name) if peer else value is not None):
                walk(value, sub, peer)
        elif kind == LIST:
            for _ in value:
                pass
        elif kind == LIST_MESSAGE:
            for item in value:
                walk(item, sub, peer)
        elif kind == MAP:
            for _ in value.items():
                pass
        else:
            for _, item in value.items():
                walk(item, sub, peer)


# ---- timing --------------------------------------------------------------------------------


Clock = Callable[[], int]


def calibrate(fn: Callable[[], object], target_ns: int, clock: Clock = time.perf_counter_ns) -> int:
    """Loop count that makes one sample last about target_ns."""
    loops = 1
    while True:
        start = clock()
        for _ in range(loops):
            fn()
        elapsed = clock() - start
        if elapsed >= target_ns // 4 or loops >= 1 << 20:
            return max(1, int(loops * target_ns / max(elapsed, 1)))
        loops *= 4


def sample(fn: Callable[[], object], loops: int, clock: Clock = time.perf_counter_ns) -> float:
    """Nanoseconds per call over one sample, the collector paused as timeit does."""
    gc.collect()
    gc.disable()
    try:
        start = clock()
        for _ in range(loops):
            fn()
        return (clock() - start) / loops
    finally:
        gc.enable()


def timings(
    fns: dict[str, Callable[[], object]], samples: int, target_ns: int, clock: Clock
) -> dict[str, list[float]]:
    """Per-call times of each sample of each function, sampled alternately."""
    loops = {name: calibrate(fn, target_ns, clock) for name, fn in fns.items()}
    times: dict[str, list[float]] = {name: [] for name in fns}
    for _ in range(samples):
        for name, fn in fns.items():  # alternate, so drifts of the machine hit both alike
            times[name].append(sample(fn, loops[name], clock))
    return times


def compare(
    fns: dict[str, Callable[[], object]],
    samples: int,
    target_ns: int,
    clock: Clock = time.perf_counter_ns,
) -> dict:
    """Median time per call of each function."""
    times = timings(fns, samples, target_ns, clock)
    return {name: statistics.median(ts) for name, ts in times.items()}


def fmt_ns(ns: float) -> str:
    if ns < 1e3:
        return f"{ns:.0f} ns"
    if ns < 1e6:
        return f"{ns / 1e3:.2f} µs"
    return f"{ns / 1e6:.2f} ms"


def main() -> int:
    quick = "--quick" in sys.argv[1:]
    samples, target_ns = (5, 5_000_000) if quick else (15, 25_000_000)
    print(f"torvex vs protobuf {google.protobuf.__version__} "
          f"({_peer_backend()}), Python {sys.version.split()[0]}")  # fmt: skip
    print(f"median of {samples} samples of ~{target_ns // 1_000_000} ms each, alternating\n")
    header = (f"{'schema':<26} {'operation':<18} {'size':>9} {'torvex':>10} {'peer':>10} "
              f"{'ratio':>7}")  # fmt: skip
    print(header)
    print("-" * len(header))
    started = time.perf_counter()
    blob_rows = []
    copies: list[float] = []
    for label, msg in make_data(random.Random(20240607)):
        cls = type(msg)
        peer_cls = peer_class(cls)
        pmsg = to_peer(msg)
        data = msg.to_binary()
        pdata = pmsg.SerializeToString()
        # Both must see the same content, or the comparison means nothing.
        assert len(data) == len(pdata), (label, len(data), len(pdata))
        assert snapshot(from_peer(peer_cls.FromString(data), cls)) == snapshot(msg), label
        assert snapshot(cls.from_binary(pdata)) == snapshot(msg), label
        plan_t, plan_p = read_plan(cls._desc, False, {}), read_plan(cls._desc, True, {})
        operations = {
            "to_binary": (msg.to_binary, pmsg.SerializeToString),
            "from_binary": (lambda: cls.from_binary(data), lambda: peer_cls.FromString(pdata)),
            "from_binary+read": (
                lambda: walk(cls.from_binary(data), plan_t, False),
                lambda: walk(peer_cls.FromString(pdata), plan_p, True),
            ),
        }
        for op, (ours, theirs) in operations.items():
            fns = {"torvex": ours, "peer": theirs}
            if cls is Blob:
                # The floor for a 1 MB field: one copy into a new bytes object, sampled in the
                # same rounds so that it sees the same machine.
                view = memoryview(msg.data)
                fns["copy"] = lambda: bytes(view)
            med = compare(fns, samples, target_ns)
            print(f"{label:<26} {op:<18} {len(data):>9,} {fmt_ns(med['torvex']):>10} "
                  f"{fmt_ns(med['peer']):>10} {med['torvex'] / med['peer']:>7.2f}")  # fmt: skip
            if cls is Blob:
                blob_rows.append((op, med))
                copies.append(med["copy"])
    varint_rows(samples, target_ns)
    nested_rows(samples, target_ns)
    print()
    copy = statistics.median(copies)
    print(f"one 1 MB bytes copy (bytes(memoryview)): {fmt_ns(copy)}")
    for op, med in blob_rows:
        print(f"  {op:<18} torvex/copy {med['torvex'] / copy:6.2f}   "
              f"peer/copy {med['peer'] / copy:6.2f}")  # fmt: skip
    print(f"\ntotal {time.perf_counter() - started:.1f} s")
    return 0


def varint_rows(samples: int, target_ns: int) -> None:
    """10,000 packed int32 of one encoded size each (10 bytes: negative values), to_binary:
    the encoder's speed should not depend on the mix of sizes."""
    rng = random.Random(5)
    peer_cls = peer_class(Ints)
    for size, lo, hi in ((1, 0, 2**7), (2, 2**7, 2**14), (3, 2**14, 2**21), (4, 2**21, 2**28),
                         (5, 2**28, 2**31), (10, -(2**31), -1)):  # fmt: skip
        msg = Ints(values=[rng.randrange(lo, hi) for _ in range(10_000)])
        pmsg = to_peer(msg)
        data = msg.to_binary()
        assert data == pmsg.SerializeToString(), size
        med = compare({"torvex": msg.to_binary, "peer": pmsg.SerializeToString}, samples, target_ns)
        label = f"packed int32, {size} B each"
        print(f"{label:<26} {'to_binary':<18} {len(data):>9,} {fmt_ns(med['torvex']):>10} "
              f"{fmt_ns(med['peer']):>10} {med['torvex'] / med['peer']:>7.2f}")  # fmt: skip


def nested_rows(samples: int, target_ns: int) -> None:
    """The same 100-level nesting as sub-messages and as groups (both should cost about the
    same), and how long a hostile input of nothing but group starts takes to be rejected."""
    content = Nest(words=[f"word {i:06}" for i in range(20_000)])  # 240 kB of short fields
    as_len, as_group = content, content
    for _ in range(100):
        as_len, as_group = Nest(child=as_len), Nest(group=as_group)
    peer_cls = peer_class(Nest)
    for label, msg in (("100 nested messages", as_len), ("100 nested groups", as_group)):
        data = msg.to_binary()
        pdata = to_peer(msg).SerializeToString()
        assert data == pdata, label
        med = compare({"torvex": lambda: Nest.from_binary(data),
                       "peer": lambda: peer_cls.FromString(pdata)}, samples, target_ns)
        print(f"{label:<26} {'from_binary':<18} {len(data):>9,} {fmt_ns(med['torvex']):>10} "
              f"{fmt_ns(med['peer']):>10} {med['torvex'] / med['peer']:>7.2f}")  # fmt: skip
    hostile = b"\x13" * (4 << 20)  # field 2 group starts, never closed

    def reject(parse: Callable[[bytes], object]) -> Callable[[], None]:
        def run() -> None:
            try:
                parse(hostile)
            except Exception:  # noqa: BLE001 - each runtime raises its own error class
                return
            raise AssertionError("hostile input accepted")

        return run

    med = compare({"torvex": reject(Nest.from_binary), "peer": reject(peer_cls.FromString)},
                  samples, target_ns)
    print(f"{'4 MB of group starts':<26} {'reject':<18} {len(hostile):>9,} "
          f"{fmt_ns(med['torvex']):>10} {fmt_ns(med['peer']):>10} "
          f"{med['torvex'] / med['peer']:>7.2f}")  # fmt: skip


def _peer_backend() -> str:
    try:
        from google.protobuf.internal import api_implementation
    except ImportError:  # an older layout of the package
        return "unknown backend"
    return f"{api_implementation.Type()} backend"


if __name__ == "__main__":
    sys.exit(main())
