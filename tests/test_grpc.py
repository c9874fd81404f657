"""Generated gRPC modules on real grpcio servers (127.0.0.1, ephemeral ports, every call with a
deadline): every method kind, sync and asyncio, against Google's generated code both ways;
deadlines, cancellation, aborts, rich error details, long streams, concurrent calls."""

from __future__ import annotations

import asyncio
import contextlib
import importlib.util
import os
import subprocess
import sys
import threading
from concurrent import futures
from pathlib import Path
from types import SimpleNamespace

import grpc
import grpc.aio
import pytest

import torvex
import torvex.grpc
from codegen_support import grpc_include, protoc, torvex_protoc

T = 10.0  # seconds: the deadline of every call that should succeed
ECHO = "svc/echo.proto"


@pytest.fixture(scope="module")
def g(tmp_path_factory):
    root = tmp_path_factory.mktemp("grpc")
    for sub in ("tv", "gg"):
        (root / sub).mkdir()
    done = torvex_protoc(root / "tv", [ECHO], "--torvex_opt=grpc")
    assert done.returncode == 0, done.stderr
    protoc(f"--python_out={root / 'gg'}", f"--grpc_python_out={root / 'gg'}", ECHO)
    sys.path[:0] = [str(root / "tv"), str(root / "gg")]
    try:
        from svc import echo, echo_grpc, echo_pb2, echo_pb2_grpc

        yield SimpleNamespace(tv=echo, tv_grpc=echo_grpc, pb=echo_pb2, pb_grpc=echo_pb2_grpc)
    finally:
        del sys.path[:2]


# ---- servers ---------------------------------------------------------------------------------


class Marks:
    """Named events that handlers set and the test waits for, from any thread."""

    def __init__(self):
        self._lock = threading.Lock()
        self._events: dict[str, threading.Event] = {}

    def __getitem__(self, name: str) -> threading.Event:
        with self._lock:
            return self._events.setdefault(name, threading.Event())


class Behaviour:
    """The service's logic over either runtime's message classes."""

    def __init__(self, pong):
        self.pong = pong
        self.marks = Marks()  # "start TEXT" and "end TEXT" of each Hold call

    def Say(self, request, context):
        if request.text == "abort":
            context.abort(grpc.StatusCode.INVALID_ARGUMENT, "no abort, please")
        return self.pong(text=request.text.upper(), index=request.n)

    def Spray(self, request, context):
        for i in range(request.n):
            yield self.pong(text=request.text, index=i)

    def Gather(self, request_iterator, context):
        texts = [p.text for p in request_iterator]
        return self.pong(text="".join(texts), index=len(texts))

    def Chat(self, request_iterator, context):
        for p in request_iterator:
            yield self.pong(text=p.text, index=p.n)

    def Hold(self, request, context):
        over = threading.Event()
        context.add_callback(over.set)
        self.marks[f"start {request.text}"].set()
        over.wait(T)
        self.marks[f"end {request.text}"].set()
        return self.pong()


class AsyncBehaviour:
    def __init__(self, pong):
        self.pong = pong
        self.marks = Marks()  # "start TEXT" and "end TEXT" of each Hold call

    async def Say(self, request, context):
        if request.text == "abort":
            await context.abort(grpc.StatusCode.INVALID_ARGUMENT, "no abort, please")
        return self.pong(text=request.text.upper(), index=request.n)

    async def Spray(self, request, context):
        for i in range(request.n):
            yield self.pong(text=request.text, index=i)

    async def Gather(self, request_iterator, context):
        texts = [p.text async for p in request_iterator]
        return self.pong(text="".join(texts), index=len(texts))

    async def Chat(self, request_iterator, context):
        async for p in request_iterator:
            yield self.pong(text=p.text, index=p.n)

    async def Hold(self, request, context):
        self.marks[f"start {request.text}"].set()
        try:
            await asyncio.wait_for(asyncio.Event().wait(), T)
        finally:  # cancelled when the call ends
            self.marks[f"end {request.text}"].set()
        return self.pong()


def servicer(g, kind):
    if kind == "torvex":
        return type("Impl", (Behaviour, g.tv_grpc.EchoServicer), {})(g.tv.Pong)
    if kind == "torvex_aio":
        return type("Impl", (AsyncBehaviour, g.tv_grpc.EchoAsyncServicer), {})(g.tv.Pong)
    return type("Impl", (Behaviour, g.pb_grpc.EchoServicer), {})(g.pb.Pong)


@contextlib.contextmanager
def serving(g, kind, impl=None):
    """(port, servicer) of a server of ``kind`` on 127.0.0.1 for the with block."""
    impl = impl if impl is not None else servicer(g, kind)
    add = g.pb_grpc.add_EchoServicer_to_server if kind == "google" else g.tv_grpc.add_EchoServicer_to_server
    if not kind.endswith("aio"):
        server = grpc.server(futures.ThreadPoolExecutor(max_workers=8))
        add(impl, server)
        port = server.add_insecure_port("127.0.0.1:0")
        server.start()
        try:
            yield port, impl
        finally:
            server.stop(None).wait(T)
        return
    loop = asyncio.new_event_loop()
    thread = threading.Thread(target=loop.run_forever, daemon=True)
    thread.start()

    async def start():
        server = grpc.aio.server()
        add(impl, server)
        port = server.add_insecure_port("127.0.0.1:0")
        await server.start()
        return server, port

    server, port = asyncio.run_coroutine_threadsafe(start(), loop).result(T)
    try:
        yield port, impl
    finally:
        asyncio.run_coroutine_threadsafe(server.stop(None), loop).result(T)
        loop.call_soon_threadsafe(loop.stop)
        thread.join(T)
        loop.close()


# ---- clients ---------------------------------------------------------------------------------

EXPECTED = (("HI", 7), [("s", 0), ("s", 1), ("s", 2)], ("abc", 3), [("x", 0), ("y", 1), ("z", 2)])


def _pairs(pongs):
    return [(p.text, p.index) for p in pongs]


def exercise_sync(stub, ping):
    say = stub.Say(ping(text="hi", n=7), timeout=T)
    spray = _pairs(stub.Spray(ping(text="s", n=3), timeout=T))
    gather = stub.Gather(iter([ping(text=c) for c in "abc"]), timeout=T)
    chat = _pairs(stub.Chat(iter([ping(text=c, n=i) for i, c in enumerate("xyz")]), timeout=T))
    return (say.text, say.index), spray, (gather.text, gather.index), chat


async def exercise_aio(stub, ping):
    async def pings(texts):
        for i, c in enumerate(texts):
            yield ping(text=c, n=i)

    say = await stub.Say(ping(text="hi", n=7), timeout=T)
    spray = _pairs([p async for p in stub.Spray(ping(text="s", n=3), timeout=T)])
    gather = await stub.Gather(pings("abc"), timeout=T)
    chat = _pairs([p async for p in stub.Chat(pings("xyz"), timeout=T)])
    return (say.text, say.index), spray, (gather.text, gather.index), chat


def run_client(g, kind, port, body):
    """``body(stub, ping)`` with a client of ``kind`` connected to ``port``."""
    target = f"127.0.0.1:{port}"
    if kind == "torvex_aio":

        async def main():
            async with grpc.aio.insecure_channel(target) as channel:
                return await body(g.tv_grpc.EchoAsyncStub(channel), g.tv.Ping)

        return asyncio.run(asyncio.wait_for(main(), 2 * T))
    with grpc.insecure_channel(target) as channel:
        if kind == "google":
            return body(g.pb_grpc.EchoStub(channel), g.pb.Ping)
        return body(g.tv_grpc.EchoStub(channel), g.tv.Ping)


PAIRS = [
    (server, client)
    for server in ("torvex", "torvex_aio", "google")
    for client in ("torvex", "torvex_aio", "google")
    if "torvex" in (server, client)
]


@pytest.mark.parametrize(("server", "client"), PAIRS)
def test_every_method_kind(g, server, client):
    body = exercise_aio if client == "torvex_aio" else exercise_sync
    with serving(g, server) as (port, _):
        assert run_client(g, client, port, body) == EXPECTED


@pytest.mark.parametrize("side", ["torvex", "torvex_aio"])
def test_long_streams_and_concurrent_calls(g, side):
    count = 10_000

    def sync(stub, ping):
        echoed = _pairs(stub.Chat((ping(text="p", n=i) for i in range(count)), timeout=T))
        sprayed = sum(1 for _ in stub.Spray(ping(text="s", n=count), timeout=T))
        calls = [stub.Say.future(ping(text=f"c{i}", n=i), timeout=T) for i in range(100)]
        return echoed, sprayed, [(f.result().text, f.result().index) for f in calls]

    async def aio(stub, ping):
        async def pings():
            for i in range(count):
                yield ping(text="p", n=i)

        echoed = _pairs([p async for p in stub.Chat(pings(), timeout=T)])
        sprayed = len([p async for p in stub.Spray(ping(text="s", n=count), timeout=T)])
        said = await asyncio.gather(*(stub.Say(ping(text=f"c{i}", n=i), timeout=T) for i in range(100)))
        return echoed, sprayed, [(p.text, p.index) for p in said]

    with serving(g, side) as (port, _):
        echoed, sprayed, said = run_client(g, side, port, aio if side == "torvex_aio" else sync)
    assert echoed == [("p", i) for i in range(count)]
    assert sprayed == count
    assert said == [(f"C{i}", i) for i in range(100)]


@pytest.mark.parametrize("side", ["torvex", "torvex_aio"])
def test_deadline_cancellation_and_abort(g, side):
    def sync(stub, ping):
        codes = []
        for call in (
            lambda: stub.Hold(ping(text="deadline"), timeout=0.05),
            lambda: stub.Say(ping(text="abort"), timeout=T),
        ):
            with pytest.raises(grpc.RpcError) as info:
                call()
            codes.append((info.value.code(), info.value.details()))
        pending = stub.Hold.future(ping(text="cancel"), timeout=T)
        assert impl.marks["start cancel"].wait(T)
        assert pending.cancel() and pending.cancelled()
        return codes

    async def aio(stub, ping):
        codes = []
        for call in (stub.Hold(ping(text="deadline"), timeout=0.05), stub.Say(ping(text="abort"), timeout=T)):
            with pytest.raises(grpc.aio.AioRpcError) as info:
                await call
            codes.append((info.value.code(), info.value.details()))
        pending = stub.Hold(ping(text="cancel"), timeout=T)
        assert await asyncio.to_thread(impl.marks["start cancel"].wait, T)
        assert pending.cancel()
        with pytest.raises(asyncio.CancelledError):
            await pending
        return codes

    with serving(g, side) as (port, impl):
        codes = run_client(g, side, port, aio if side == "torvex_aio" else sync)
        # The handler saw the held calls end long before it would have stopped waiting by
        # itself (the one with the short deadline may have ended before it started).
        assert impl.marks["end cancel"].wait(T / 2)
        if impl.marks["start deadline"].is_set():
            assert impl.marks["end deadline"].wait(T / 2)
    assert codes[0][0] is grpc.StatusCode.DEADLINE_EXCEEDED
    assert codes[1] == (grpc.StatusCode.INVALID_ARGUMENT, "no abort, please")


@pytest.mark.parametrize("side", ["torvex", "torvex_aio"])
def test_unoverridden_methods_answer_unimplemented(g, side):
    bare = g.tv_grpc.EchoAsyncServicer() if side == "torvex_aio" else g.tv_grpc.EchoServicer()

    def sync(stub, ping):
        out = []
        for call in (
            lambda: stub.Say(ping(), timeout=T),
            lambda: list(stub.Spray(ping(), timeout=T)),
            lambda: stub.Gather(iter([ping()]), timeout=T),
            lambda: list(stub.Chat(iter([ping()]), timeout=T)),
        ):
            with pytest.raises(grpc.RpcError) as info:
                call()
            out.append((info.value.code(), info.value.details()))
        return out

    async def aio(stub, ping):
        # A request stream that never writes: a server that answers before the client has sent
        # its messages races them in grpc.aio, which then may report INTERNAL instead.
        async def one():
            await asyncio.Event().wait()
            yield ping()

        async def drain(call):
            return [p async for p in call]

        out = []
        for call in (
            stub.Say(ping(), timeout=T),
            drain(stub.Spray(ping(), timeout=T)),
            stub.Gather(one(), timeout=T),
            drain(stub.Chat(one(), timeout=T)),
        ):
            with pytest.raises(grpc.aio.AioRpcError) as info:
                await call
            out.append((info.value.code(), info.value.details()))
        return out

    with serving(g, side, bare) as (port, _):
        got = run_client(g, side, port, aio if side == "torvex_aio" else sync)
    assert got == [
        (grpc.StatusCode.UNIMPLEMENTED, f"/svc.echo.Echo/{name} is not implemented")
        for name in ("Say", "Spray", "Gather", "Chat")
    ]


# ---- rich errors -----------------------------------------------------------------------------


def googleapis_root() -> str:
    spec = importlib.util.find_spec("google.rpc.status_pb2")
    assert spec is not None and spec.origin is not None
    return str(Path(spec.origin).parents[2])


@pytest.fixture(scope="module")
def status_class(tmp_path_factory):
    """The user's google.rpc.Status: loaded from googleapis' status.proto."""
    out = tmp_path_factory.mktemp("status") / "status.pb"
    subprocess.run(
        [sys.executable, "-m", "grpc_tools.protoc", f"-I{googleapis_root()}", f"-I{grpc_include()}",
         "--include_imports", f"--descriptor_set_out={out}", "google/rpc/status.proto"],
        check=True, capture_output=True,
    )  # fmt: skip
    return torvex.load_descriptor_set(out.read_bytes())["google.rpc.Status"]


@pytest.mark.parametrize("side", ["torvex", "torvex_aio"])
def test_rich_error_details_round_trip(g, status_class, side):
    from google.rpc import status_pb2

    from torvex import wkt

    status = status_class(
        code=grpc.StatusCode.FAILED_PRECONDITION.value[0],
        message="shelf is full",
        details=[wkt.Any.pack(g.tv.Ping(text="detail", n=3))],
    )

    class Failing(g.tv_grpc.EchoServicer):
        def Say(self, request, context):
            torvex.grpc.abort(context, status)

    class AsyncFailing(g.tv_grpc.EchoAsyncServicer):
        async def Say(self, request, context):
            await torvex.grpc.abort_async(context, status)

    def sync(stub, ping):
        with pytest.raises(grpc.RpcError) as info:
            stub.Say(ping(), timeout=T)
        return info.value

    async def aio(stub, ping):
        with pytest.raises(grpc.aio.AioRpcError) as info:
            await stub.Say(ping(), timeout=T)
        return info.value

    impl = AsyncFailing() if side == "torvex_aio" else Failing()
    with serving(g, side, impl) as (port, _):
        error = run_client(g, side, port, aio if side == "torvex_aio" else sync)
    assert error.code() is grpc.StatusCode.FAILED_PRECONDITION and error.details() == "shelf is full"
    got = torvex.grpc.from_call(error, status_class)
    assert got == status
    assert got.details[0].unpack(g.tv.Ping) == g.tv.Ping(text="detail", n=3)
    # What a client on Google's runtime reads from the same metadata.
    raw = dict(error.trailing_metadata())[torvex.grpc.DETAILS_KEY]
    peer = status_pb2.Status.FromString(raw)
    assert (peer.code, peer.message, peer.details[0].type_url) == (
        9, "shelf is full", "type.googleapis.com/svc.echo.Ping"
    )


class _Finished:
    def __init__(self, code, details, metadata):
        self.code, self.details = (lambda: code), (lambda: details)
        self.trailing_metadata = lambda: metadata


def test_rich_error_checks(status_class):
    fine = status_class(code=5, message="gone")
    key = torvex.grpc.DETAILS_KEY
    assert torvex.grpc.from_call(_Finished(grpc.StatusCode.NOT_FOUND, "gone", ()), status_class) is None
    assert torvex.grpc.from_call(_Finished(grpc.StatusCode.NOT_FOUND, "gone", None), status_class) is None
    contradicting = [
        _Finished(grpc.StatusCode.INTERNAL, "gone", ((key, fine.to_binary()),)),
        _Finished(grpc.StatusCode.NOT_FOUND, "other", ((key, fine.to_binary()),)),
        _Finished(grpc.StatusCode.NOT_FOUND, "gone", ((key, "text"),)),
    ]
    for call in contradicting:
        with pytest.raises(ValueError):
            torvex.grpc.from_call(call, status_class)
    with pytest.raises(TypeError):
        torvex.grpc.from_call(object(), status_class)
    for bad in (status_class(code=0), status_class(code=17)):
        with pytest.raises(ValueError):
            torvex.grpc.to_grpc_status(bad)
    with pytest.raises(TypeError):
        torvex.grpc.status_metadata(torvex.wkt.Any())
    converted = torvex.grpc.to_grpc_status(fine)
    assert isinstance(converted, grpc.Status)
    assert (converted.code, converted.details) == (grpc.StatusCode.NOT_FOUND, "gone")
    assert converted.trailing_metadata == ((key, fine.to_binary()),)


# ---- descriptors and generation --------------------------------------------------------------


def test_service_descriptor_matches_googles(g):
    ours = g.tv_grpc.Echo
    theirs = g.pb.DESCRIPTOR.services_by_name["Echo"]
    assert (ours.name, ours.full_name) == (theirs.name, theirs.full_name)
    assert [m.name for m in ours.methods] == [m.name for m in theirs.methods]
    for m in theirs.methods:
        mine = ours.methods_by_name[m.name]
        assert mine.full_name == m.full_name and mine.path == f"/{theirs.full_name}/{m.name}"
        assert (mine.kind.client_streaming, mine.kind.server_streaming) == (m.client_streaming, m.server_streaming)
        assert torvex.descriptor(mine.input).type_name == m.input_type.full_name
        assert torvex.descriptor(mine.output).type_name == m.output_type.full_name
        peer = type(mine.options)().from_binary(m.GetOptions().SerializeToString()) if m.has_options else None
        assert mine.options == peer
    assert ours.options.deprecated and theirs.GetOptions().deprecated
    # A custom option, through the extension API, as the peer reads it.
    say = theirs.methods_by_name["Say"].GetOptions().Extensions[g.pb.route]
    assert ours.methods_by_name["Say"].options[g.tv.route] == say == "/v1/say"
    assert ours.methods_by_name["Hold"].options.idempotency_level == 1


NAMES = """\
syntax = "proto3";
package names;
message M {}
service S { rpc import(M) returns (M); rpc self(stream M) returns (M); }
service SAsync { rpc Get(M) returns (stream M); }
service grpc { rpc Get(M) returns (M); }
"""


def test_clashing_names_are_renamed(tmp_path):
    (tmp_path / "names.proto").write_text(NAMES)
    out = tmp_path / "out"
    out.mkdir()
    done = subprocess.run(
        [sys.executable, "-m", "torvex.compile", f"-I{tmp_path}", f"--torvex_out={out}", "--torvex_opt=grpc", "names.proto"],
        capture_output=True, text=True, env={**os.environ, "PYTHONPATH": ":".join(p for p in sys.path if p)},
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    sys.path.insert(0, str(out))
    try:
        import names_grpc
    finally:
        sys.path.remove(str(out))
    assert [m.attr for m in names_grpc.S.methods] == ["import_", "self_"]
    # The first service keeps its names; SAsync would take S's async stub name.
    assert "S.methods" not in names_grpc.SAsyncStub.__doc__ and "names.S " in names_grpc.SAsyncStub.__doc__
    assert names_grpc.SAsync_.full_name == "names.SAsync" and names_grpc.SAsync_Stub
    assert names_grpc.grpc_.full_name == "names.grpc" and names_grpc.grpc_Stub


def test_googleapis_services_generate_serve_and_answer(tmp_path):
    """Every service of googleapis-common-protos generates and imports; Operations answers."""
    root = googleapis_root()
    files = sorted(str(p.relative_to(root)) for p in Path(root, "google").rglob("*.proto"))
    done = subprocess.run(
        [sys.executable, "-m", "torvex.compile", f"-I{root}", f"-I{grpc_include()}", f"--torvex_out={tmp_path}", "--torvex_opt=grpc", *files],
        capture_output=True, text=True, env={**os.environ, "PYTHONPATH": ":".join(p for p in sys.path if p)},
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    with_services = [f for f in files if "\nservice " in Path(root, f).read_text()]
    assert len(with_services) >= 2
    script = OPERATIONS_SCRIPT.replace("MODULES", repr([f[:-6].replace("/", ".") + "_grpc" for f in with_services]))
    run = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=60,
        env={**os.environ, "PYTHONPATH": ":".join([str(tmp_path), *(p for p in sys.path if p)])},
    )  # fmt: skip
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["ok", "op-7", "True", "UNIMPLEMENTED", "/v1/{name=operations/**}", "longrunning.googleapis.com"]


# In a child process: the generated google.* modules must not meet the peer's in this one.
OPERATIONS_SCRIPT = """
import importlib
from concurrent import futures
import grpc
for name in MODULES:
    importlib.import_module(name)
print("ok")
from google.longrunning import operations_proto as ops, operations_proto_grpc as ops_grpc

class Ops(ops_grpc.OperationsServicer):
    def GetOperation(self, request, context):
        return ops.Operation(name=request.name, done=True)

server = grpc.server(futures.ThreadPoolExecutor(max_workers=2))
ops_grpc.add_OperationsServicer_to_server(Ops(), server)
port = server.add_insecure_port("127.0.0.1:0")
server.start()
with grpc.insecure_channel(f"127.0.0.1:{port}") as channel:
    stub = ops_grpc.OperationsStub(channel)
    op = stub.GetOperation(ops.GetOperationRequest(name="op-7"), timeout=10)
    print(op.name, op.done)
    try:
        stub.DeleteOperation(ops.DeleteOperationRequest(name="x"), timeout=10)
    except grpc.RpcError as exc:
        print(exc.code().name)
server.stop(None).wait(10)

# Custom options of the service and a method, as the peer's descriptors have them.
from google.api import annotations, annotations_pb2, client, client_pb2
from google.longrunning import operations_proto_pb2
peer = operations_proto_pb2.DESCRIPTOR.services_by_name["Operations"]
rule = ops_grpc.Operations.methods_by_name["GetOperation"].options[annotations.http]
peer_rule = peer.methods_by_name["GetOperation"].GetOptions().Extensions[annotations_pb2.http]
host = ops_grpc.Operations.options[client.default_host]
import torvex
assert rule.pattern == torvex.Oneof("get", peer_rule.get)
assert host == peer.GetOptions().Extensions[client_pb2.default_host]
print(peer_rule.get, host)
"""
