"""gRPC benchmark: torvex's generated stubs and servicers against Google's generated ones, over
the same grpcio on loopback, in one process. Each side calls its own server (both servers run
in this process, so both pay the same interpreter contention). Times are the process's CPU
time (client, server and grpcio's threads together), which other processes on a busy machine
disturb far less than the wall clock; a call's wait on the loopback costs none. Rows: a unary round trip of a
small message and of the binary benchmark's document, the document sent to a handler that
reads every field (decoding is lazy in Google's runtime, so an echo alone leaves its cost out),
and a server stream of 100,000 small messages. Ratios below 1 mean torvex is faster.

Usage: python bench/bench_grpc.py [--quick]
"""

from __future__ import annotations

import os
import random
import statistics
import subprocess
import sys
import tempfile
import time
from concurrent import futures
from pathlib import Path

import grpc

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_binary import compare, fmt_ns, make_data, read_plan, walk  # noqa: E402

# The binary benchmark's Document, Chapter, Section and Paragraph with the same numbers, so
# that its document converts by bytes.
PROTO = """
syntax = "proto3";
package benchrpc;
message Small { string text = 1; int32 n = 2; }
enum Kind { KIND_UNSPECIFIED = 0; KIND_TEXT = 1; KIND_CODE = 2; KIND_QUOTE = 3; }
message Paragraph { string text = 1; Kind kind = 2; uint32 line = 3; double score = 4; }
message Section { string title = 1; repeated Paragraph paragraphs = 2; repeated string tags = 3; }
message Chapter { string title = 1; int32 number = 2; repeated Section sections = 3; }
message Document {
  uint64 id = 1; string title = 2; repeated Chapter chapters = 3;
  map<string, Paragraph> glossary = 4; string author = 5;
}
service Bench {
  rpc Echo(Small) returns (Small);
  rpc EchoDocument(Document) returns (Document);
  rpc Stream(Small) returns (stream Small);
  rpc ReadDocument(Document) returns (Small);
}
"""


def generate(out: Path) -> None:
    (out / "benchrpc.proto").write_text(PROTO)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    for args in (
        [sys.executable, "-m", "torvex.compile", "--torvex_opt=grpc", f"--torvex_out={out}"],
        [sys.executable, "-m", "grpc_tools.protoc", f"--python_out={out}", f"--grpc_python_out={out}"],
    ):
        subprocess.run([*args, f"-I{out}", "benchrpc.proto"], check=True, env=env)
    sys.path.insert(0, str(out))


def servicer(base: type, small: type, plan: list, peer: bool) -> object:
    class Impl(base):  # type: ignore[misc, valid-type]
        def ReadDocument(self, request, context):
            walk(request, plan, peer)
            return small(n=1)

        def Echo(self, request, context):
            return request

        def EchoDocument(self, request, context):
            return request

        def Stream(self, request, context):
            # One message object sent n times: the serializer runs on every send all the same.
            reply = small(text=request.text, n=1)
            for _ in range(request.n):
                yield reply

    return Impl()


def serve(add, impl) -> tuple[grpc.Server, int]:
    server = grpc.server(futures.ThreadPoolExecutor(max_workers=4))
    add(impl, server)
    port = server.add_insecure_port("127.0.0.1:0")
    server.start()
    return server, port


def main() -> int:
    quick = "--quick" in sys.argv[1:]
    samples, target_ns = (5, 50_000_000) if quick else (21, 100_000_000)
    count = 20_000 if quick else 100_000
    with tempfile.TemporaryDirectory() as tmp:
        generate(Path(tmp))
        import benchrpc
        import benchrpc_grpc
        import benchrpc_pb2
        import benchrpc_pb2_grpc

        document = next(m for label, m in make_data(random.Random(20240607)) if label.startswith("document"))
        data = document.to_binary()
        ours_doc = benchrpc.Document.from_binary(data)
        theirs_doc = benchrpc_pb2.Document.FromString(data)
        # Same field names on both sides: one plan, with the peer's presence test.
        plan = read_plan(benchrpc.Document._desc, False, {})
        ours_server, ours_port = serve(
            benchrpc_grpc.add_BenchServicer_to_server,
            servicer(benchrpc_grpc.BenchServicer, benchrpc.Small, plan, False),
        )
        theirs_server, theirs_port = serve(
            benchrpc_pb2_grpc.add_BenchServicer_to_server,
            servicer(benchrpc_pb2_grpc.BenchServicer, benchrpc_pb2.Small, plan, True),
        )
        try:
            with grpc.insecure_channel(f"127.0.0.1:{ours_port}") as ours_channel, grpc.insecure_channel(
                f"127.0.0.1:{theirs_port}"
            ) as theirs_channel:
                ours = benchrpc_grpc.BenchStub(ours_channel)
                theirs = benchrpc_pb2_grpc.BenchStub(theirs_channel)
                small, psmall = benchrpc.Small(text="hello", n=7), benchrpc_pb2.Small(text="hello", n=7)
                # Both sides must carry the same content, or the comparison means nothing.
                assert ours.EchoDocument(ours_doc, timeout=30) == ours_doc
                assert theirs.EchoDocument(theirs_doc, timeout=30) == theirs_doc
                many, pmany = benchrpc.Small(text="x", n=count), benchrpc_pb2.Small(text="x", n=count)
                rows = {
                    "unary, small message": (
                        lambda: ours.Echo(small, timeout=30),
                        lambda: theirs.Echo(psmall, timeout=30),
                    ),
                    f"unary, document ({len(data):,} B)": (
                        lambda: ours.EchoDocument(ours_doc, timeout=30),
                        lambda: theirs.EchoDocument(theirs_doc, timeout=30),
                    ),
                    "unary, document read by the handler": (
                        lambda: ours.ReadDocument(ours_doc, timeout=30),
                        lambda: theirs.ReadDocument(theirs_doc, timeout=30),
                    ),
                    f"server stream, {count:,} small": (
                        lambda: sum(1 for _ in ours.Stream(many, timeout=300)),
                        lambda: sum(1 for _ in theirs.Stream(pmany, timeout=300)),
                    ),
                }
                print(f"torvex vs Google's generated stubs, grpcio {grpc.__version__}, "
                      f"Python {sys.version.split()[0]}, loopback")  # fmt: skip
                print(f"process CPU time, median of {samples} samples of ~{target_ns // 1_000_000} ms "
                      "each (3 for the stream), alternating\n")  # fmt: skip
                header = f"{'call':<34} {'torvex':>10} {'peer':>10} {'ratio':>7}"
                print(header)
                print("-" * len(header))
                started = time.perf_counter()
                for label, (a, b) in rows.items():
                    # A stream call lasts seconds: fewer samples, one call each.
                    n = min(samples, 3) if label.startswith("server stream") else samples
                    med = compare({"torvex": a, "peer": b}, n, target_ns, time.process_time_ns)
                    print(f"{label:<34} {fmt_ns(med['torvex']):>10} {fmt_ns(med['peer']):>10} "
                          f"{med['torvex'] / med['peer']:>7.2f}")  # fmt: skip
                print(f"\ntotal {time.perf_counter() - started:.1f} s")
        finally:
            ours_server.stop(None).wait(10)
            theirs_server.stop(None).wait(10)
    return 0


if __name__ == "__main__":
    sys.exit(main())
