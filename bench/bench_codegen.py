"""Code generation benchmark: time to generate the test corpus, import time of the bundled
descriptor.proto module against the peer's descriptor_pb2 (fresh interpreters), and
construction and binary round trip of a generated class against the same class declared by
hand (they must match: generated code is the declarative API).

Usage: python bench/bench_codegen.py [--quick]
"""

from __future__ import annotations

import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from torvex.protoc_gen import generate_files

ROOT = Path(__file__).resolve().parent.parent
QUICK = "--quick" in sys.argv

FLAT_PROTO = """
syntax = "proto3";
package benchcg;
message Flat {
  int32 i32 = 1; int64 i64 = 2; uint32 u32 = 3; uint64 u64 = 4; sint32 s32 = 5;
  sint64 s64 = 6; fixed32 f32 = 7; fixed64 f64 = 8; sfixed32 sf32 = 9; sfixed64 sf64 = 10;
  bool flag = 11; double real = 12; float single = 13; string text = 14; bytes blob = 15;
}
"""

# The hand-declared twin of the generated class: the binary benchmark's own.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_binary import Flat  # noqa: E402


VALUES = dict(
    i32=-5, i64=2**40, u32=7, u64=2**63, s32=-300, s64=-(2**50), f32=9, f64=10, sf32=-11,
    sf64=-12, flag=True, real=1.5, single=0.25, text="hello wörld", blob=b"\x00\x01\x02",
)  # fmt: skip


def env() -> dict[str, str]:
    out = dict(os.environ)
    out["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return out


def protoc(*args: str) -> None:
    subprocess.run([sys.executable, "-m", "grpc_tools.protoc", *args], check=True, env=env())


def median_of(fn, repeat: int) -> float:
    return statistics.median(fn() for _ in range(repeat))


def generation(tmp: Path) -> None:
    corpus = sorted(
        str(p.relative_to(ROOT / "tests/proto"))
        for p in (ROOT / "tests/proto").rglob("*.proto")
        if "golden" not in p.parts
    )
    pb = tmp / "corpus.pb"
    protoc(f"-I{ROOT / 'tests/proto'}", "--include_imports", "--include_source_info",
           f"--descriptor_set_out={pb}", *corpus)  # fmt: skip
    from torvex.wkt.descriptor import FileDescriptorSet

    files = list(FileDescriptorSet.from_binary(pb.read_bytes()).file)

    def in_process() -> float:
        start = time.perf_counter()
        generate_files(files, corpus)
        return time.perf_counter() - start

    def whole() -> float:
        start = time.perf_counter()
        subprocess.run(
            [sys.executable, "-m", "torvex.compile", f"-I{ROOT / 'tests/proto'}",
             f"--torvex_out={tmp}", *corpus], check=True, env=env())  # fmt: skip
        return time.perf_counter() - start

    lines = sum(len(text.splitlines()) for _, text in generate_files(files, corpus))
    print(f"generation of the corpus ({len(corpus)} files, {lines} lines of output):")
    print(f"  in process (model + render): {median_of(in_process, 5 if QUICK else 15) * 1e3:8.1f} ms")
    print(f"  torvex.compile (protoc run): {median_of(whole, 2 if QUICK else 5) * 1e3:8.1f} ms")


def import_time(statement: str, repeat: int) -> float:
    code = (
        "import time; t = time.perf_counter(); " + statement + "; "
        "print(time.perf_counter() - t)"
    )
    runs = []
    for _ in range(repeat):
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                              check=True, env=env())  # fmt: skip
        runs.append(float(done.stdout))
    return statistics.median(runs)


def imports() -> None:
    repeat = 5 if QUICK else 15
    print("import in a fresh interpreter (median):")
    rows = [
        ("torvex.wkt.descriptor", "import torvex.wkt.descriptor",
         "google descriptor_pb2", "from google.protobuf import descriptor_pb2"),
        ("  module alone (runtime loaded first)",
         "import torvex; t = time.perf_counter(); import torvex.wkt.descriptor",
         "  module alone (runtime loaded first)",
         "import google.protobuf.message; t = time.perf_counter(); "
         "from google.protobuf import descriptor_pb2"),
    ]  # fmt: skip
    for ours_name, ours, theirs_name, theirs in rows:
        a = import_time(ours, repeat)
        b = import_time(theirs, repeat)
        print(f"  {ours_name:<40} {a * 1e3:7.1f} ms | {theirs_name:<40} {b * 1e3:7.1f} ms"
              f" | ratio {a / b:.2f}x")  # fmt: skip


def per_op(fn, number: int) -> float:
    def sample() -> float:
        start = time.perf_counter()
        for _ in range(number):
            fn()
        return (time.perf_counter() - start) / number

    return median_of(sample, 5 if QUICK else 11)


def runtime(tmp: Path) -> None:
    (tmp / "benchcg.proto").write_text(FLAT_PROTO)
    subprocess.run([sys.executable, "-m", "torvex.compile", f"-I{tmp}", f"--torvex_out={tmp}",
                    "benchcg.proto"], check=True, env=env())  # fmt: skip
    sys.path.insert(0, str(tmp))
    import benchcg

    number = 2_000 if QUICK else 20_000
    print("generated class vs the same class declared by hand (median per operation):")
    for name, make in (("generated", benchcg.Flat), ("declared", Flat)):
        msg = make(**VALUES)
        data = msg.to_binary()
        build = per_op(lambda: make(**VALUES), number)
        trip = per_op(lambda: make.from_binary(msg.to_binary()), number)
        parse = per_op(lambda: make.from_binary(data), number)
        print(f"  {name:<10} construct {build * 1e9:7.0f} ns | round trip {trip * 1e9:7.0f} ns"
              f" | parse {parse * 1e9:7.0f} ns")  # fmt: skip
    assert benchcg.Flat(**VALUES).to_binary() == Flat(**VALUES).to_binary()


def main() -> None:
    with tempfile.TemporaryDirectory() as tmp:
        generation(Path(tmp))
        imports()
        runtime(Path(tmp))


if __name__ == "__main__":
    main()
