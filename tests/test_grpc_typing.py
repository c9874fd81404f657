"""Static typing of generated gRPC modules: mypy --strict and pyright strict accept correct
clients and servers without casts, and flag each wrong use on the line marked ``# !``."""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys

import pytest

from codegen_support import torvex_protoc
from test_codegen_typing import PYRIGHT, _package_path

GOOD = '''\
from __future__ import annotations

from collections.abc import AsyncIterator, Iterator

import grpc
import grpc.aio

from svc import echo, echo_grpc


class Sync(echo_grpc.EchoServicer):
    def Say(self, request: echo.Ping, context: grpc.ServicerContext) -> echo.Pong:
        return echo.Pong(text=request.text)

    def Spray(self, request: echo.Ping, context: grpc.ServicerContext) -> Iterator[echo.Pong]:
        for i in range(request.n):
            yield echo.Pong(index=i)

    def Gather(
        self, request_iterator: Iterator[echo.Ping], context: grpc.ServicerContext
    ) -> echo.Pong:
        return echo.Pong(index=sum(1 for _ in request_iterator))


Context = grpc.aio.ServicerContext[echo.Ping, echo.Pong]


class Async(echo_grpc.EchoAsyncServicer):
    async def Say(self, request: echo.Ping, context: Context) -> echo.Pong:
        return echo.Pong(text=request.text)

    async def Chat(
        self, request_iterator: AsyncIterator[echo.Ping], context: Context
    ) -> AsyncIterator[echo.Pong]:
        async for ping in request_iterator:
            yield echo.Pong(text=ping.text)


def call(channel: grpc.Channel) -> str:
    stub = echo_grpc.EchoStub(channel)
    pong: echo.Pong = stub.Say(echo.Ping(text="x"), timeout=1.0, metadata=(("k", "v"),))
    many: list[echo.Pong] = list(stub.Spray(echo.Ping(n=2), wait_for_ready=True))
    one, state = stub.Gather.with_call(iter([echo.Ping()]), compression=grpc.Compression.Gzip)
    later: echo.Pong = stub.Say.future(echo.Ping()).result()
    return pong.text + many[0].text + one.text + later.text + str(state.code())


async def call_async(channel: grpc.aio.Channel) -> str:
    stub = echo_grpc.EchoAsyncStub(channel)
    pong: echo.Pong = await stub.Say(echo.Ping(text="x"), timeout=1.0)
    texts = [p.text async for p in stub.Spray(echo.Ping(n=2))]
    return pong.text + "".join(texts) + echo_grpc.Echo.methods[0].path


def serve(server: grpc.Server, aio_server: grpc.aio.Server) -> None:
    echo_grpc.add_EchoServicer_to_server(Sync(), server)
    echo_grpc.add_EchoServicer_to_server(Async(), aio_server)
'''

BAD = '''\
from collections.abc import Iterator

import grpc
import grpc.aio

from svc import echo, echo_grpc


def client(channel: grpc.Channel, aio_channel: grpc.aio.Channel) -> None:
    echo_grpc.EchoStub(channel).Say(echo.Pong())  # !
    wrong: echo.Ping = echo_grpc.EchoStub(channel).Say(echo.Ping())  # !
    echo_grpc.EchoStub(channel).Gather(iter([echo.Pong()]))  # !
    echo_grpc.EchoAsyncStub(aio_channel).Say(echo.Ping(), timeot=1)  # !
    print(wrong)


async def no_await(channel: grpc.aio.Channel) -> None:
    pong: echo.Pong = echo_grpc.EchoAsyncStub(channel).Say(echo.Ping())  # !
    print(pong)


class WrongReturnType(echo_grpc.EchoServicer):
    def Say(self, request: echo.Ping, context: grpc.ServicerContext) -> echo.Ping:  # !
        return echo.Ping()


class WrongValue(echo_grpc.EchoServicer):
    def Say(self, request: echo.Ping, context: grpc.ServicerContext) -> echo.Pong:
        return echo.Ping()  # !


class WrongStream(echo_grpc.EchoServicer):
    def Spray(self, request: echo.Ping, context: grpc.ServicerContext) -> Iterator[echo.Pong]:
        yield echo.Ping()  # !


class NotAsync(echo_grpc.EchoAsyncServicer):
    def Say(self, request: echo.Ping, context: grpc.aio.ServicerContext[echo.Ping, echo.Pong]) -> echo.Pong:  # !
        return echo.Pong()


def serve(server: grpc.Server) -> None:
    echo_grpc.add_EchoServicer_to_server(object(), server)  # !
'''


def _marked(text: str) -> set[int]:
    return {n for n, line in enumerate(text.splitlines(), 1) if line.endswith("# !")}


@pytest.fixture(scope="module")
def workspace(tmp_path_factory):
    root = tmp_path_factory.mktemp("grpc_typing")
    done = torvex_protoc(root, ["svc/echo.proto"], "--torvex_opt=grpc")
    assert done.returncode == 0, done.stderr
    (root / "good.py").write_text(GOOD)
    (root / "bad.py").write_text(BAD)
    return root


def test_mypy_strict(workspace):
    env = dict(os.environ, MYPYPATH=os.pathsep.join([str(workspace), *_package_path()]))
    args = [sys.executable, "-m", "mypy", "--strict", "--explicit-package-bases", "--follow-imports=silent",
            "--no-error-summary", "--cache-dir", str(workspace / ".mypy")]  # fmt: skip
    clean = subprocess.run([*args, "svc", "good.py"], cwd=workspace, env=env, capture_output=True, text=True)
    assert clean.returncode == 0, clean.stdout + clean.stderr
    flagged = subprocess.run([*args, "bad.py"], cwd=workspace, env=env, capture_output=True, text=True)
    lines = {int(m) for m in re.findall(r"^bad\.py:(\d+): error", flagged.stdout, re.M)}
    assert lines == _marked(BAD), flagged.stdout


@pytest.mark.skipif(PYRIGHT is None, reason="pyright is not installed")
def test_pyright_strict(workspace):
    config = {"extraPaths": _package_path(), "typeCheckingMode": "strict", "pythonVersion": "3.12"}
    (workspace / "pyrightconfig.json").write_text(json.dumps(config))
    done = subprocess.run([str(PYRIGHT), "--pythonpath", sys.executable, "--outputjson", "svc", "good.py", "bad.py"],
                          cwd=workspace, capture_output=True, text=True)  # fmt: skip
    errors = [d for d in json.loads(done.stdout)["generalDiagnostics"] if d["severity"] == "error"]
    assert not [d for d in errors if not d["file"].endswith("bad.py")], errors
    # Every marked line is reported, and no other.
    lines = {d["range"]["start"]["line"] + 1 for d in errors}
    assert lines == _marked(BAD), errors
