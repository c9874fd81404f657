"""The ``torvex`` command: convert messages between the binary, JSON and text formats.

    torvex decode --proto shop.proto -I protos --type shop.Order < order.bin
    torvex encode --descriptor-set shop.desc --type shop.Order --in json < order.json > order.bin
    torvex decode --raw < unknown.bin

``decode`` reads binary and writes text by default, ``encode`` the reverse; ``--in`` and
``--out`` pick any of ``binary``, ``json`` and ``text`` on either side. With ``--delimited`` the
binary side is a stream of messages, each preceded by its length as a varint (the framing of
Java's ``writeDelimitedTo``); the JSON and text sides then hold one message per line.

Exit status: 0 ok, 1 bad input (the message names its byte offset, or line and column), 2 usage
errors (arguments, schema, unknown type).
"""

from __future__ import annotations

import argparse
import importlib
import os
import subprocess
import sys
import tempfile
import time
from collections.abc import Iterator, Sequence
from typing import IO, TYPE_CHECKING, Any

if TYPE_CHECKING:
    from ._message import Message

__all__ = ["main"]

FORMATS = ("binary", "json", "text")


class UsageError(Exception):
    """Arguments or schema that cannot work: exit status 2."""


class InputError(Exception):
    """Malformed input data: exit status 1."""


# ---- schema --------------------------------------------------------------------------------


def _descriptor_set_from_protos(protos: Sequence[str], includes: Sequence[str]) -> bytes:
    from .compile import ProtocNotFound, find_protoc

    try:
        command = find_protoc()
    except ProtocNotFound as exc:
        raise UsageError(str(exc)) from None
    with tempfile.TemporaryDirectory(prefix="torvex-cli-") as tmp:
        out = os.path.join(tmp, "set.pb")
        args = [*command, *(f"-I{path}" for path in includes or ["."])]
        args += ["--include_imports", f"--descriptor_set_out={out}", *protos]
        done = subprocess.run(args, capture_output=True, text=True, check=False)
        if done.returncode != 0:
            raise UsageError(f"protoc failed:\n{done.stderr.strip()}")
        with open(out, "rb") as f:
            return f.read()


def _load_schema(args: argparse.Namespace) -> tuple[type[Message], Any]:
    """The message class named by ``--type`` and a registry of everything loaded with it."""
    from . import Registry, load_descriptor_set, wkt
    from ._extension import Extension
    from ._message import MessageMeta

    registry = Registry(wkt)
    if args.proto or args.descriptor_set:
        if args.descriptor_set:
            try:
                with open(args.descriptor_set, "rb") as f:
                    data = f.read()
            except OSError as exc:
                raise UsageError(f"cannot read descriptor set: {exc}") from None
        else:
            data = _descriptor_set_from_protos(args.proto, args.include)
        try:
            loaded = load_descriptor_set(data)
        except (ValueError, TypeError) as exc:
            raise UsageError(f"invalid descriptor set: {exc}") from None
        for value in loaded.values():
            if isinstance(value, (MessageMeta, Extension)):
                registry.add(value)
    for name in args.module:
        try:
            registry.add(importlib.import_module(name))
        except ImportError as exc:
            raise UsageError(f"cannot import {name}: {exc}") from None
    desc = registry.message(args.type.removeprefix("."))
    if desc is None:
        raise UsageError(f"message type {args.type!r} not found in the schema")
    return desc.type, registry


# ---- framing -------------------------------------------------------------------------------


def _frames(data: bytes) -> Iterator[tuple[str, int, bytes]]:
    """(where, end offset, message bytes) of each length-prefixed message in ``data``. Not
    ``read_delimited``: the command reports the offset of a message that fails to decode, and
    reads JSON or text lines as well."""
    pos = 0
    while pos < len(data):
        start, size, shift = pos, 0, 0
        while True:
            if pos >= len(data) or shift > 63:
                raise InputError(f"byte offset {start}: truncated or invalid length prefix")
            b = data[pos]
            pos += 1
            size |= (b & 0x7F) << shift
            shift += 7
            if b < 0x80:
                break
        if pos + size > len(data):
            raise InputError(
                f"byte offset {start}: message of {size} bytes but {len(data) - pos} remain"
            )
        yield f"byte offset {start}", pos + size, data[pos : pos + size]
        pos += size


def _lines(data: bytes) -> Iterator[tuple[str, int, bytes]]:
    """(where, end offset, line) of each non-blank line in ``data``."""
    pos = 0
    for number, line in enumerate(data.split(b"\n"), 1):
        pos += len(line) + 1
        if line.strip():
            yield f"line {number}", min(pos, len(data)), line


class Progress:
    """A progress bar on ``stream`` while a long stream of messages is converted; silent unless
    the stream is a terminal and the input is large."""

    WIDTH = 30
    MIN_BYTES = 1 << 20

    def __init__(self, total: int, stream: IO[str]) -> None:
        self.total = total
        self.stream = stream
        self.active = total >= self.MIN_BYTES and stream.isatty()
        self.last = 0.0
        self.count = 0

    def update(self, done: int) -> None:
        self.count += 1
        now = time.monotonic()
        if not self.active or now - self.last < 0.1:
            return
        self.last = now
        filled = self.WIDTH * done // self.total
        bar = "#" * filled + "-" * (self.WIDTH - filled)
        pct = 100 * done // self.total
        self.stream.write(f"\r[{bar}] {pct:3d}% {self.count} messages")
        self.stream.flush()

    def finish(self) -> None:
        if self.active:
            self.stream.write("\r" + " " * (self.WIDTH + 30) + "\r")
            self.stream.flush()


# ---- conversion ----------------------------------------------------------------------------


def _read(cls: type[Message], fmt: str, data: bytes, registry: Any, where: str) -> Message:
    try:
        if fmt == "binary":
            return cls.from_binary(data)
        if fmt == "json":
            return cls.from_json(data, registry=registry)
        return cls.from_text(data, registry=registry)
    except (ValueError, TypeError, OverflowError, RecursionError) as exc:
        raise InputError(f"{where}: {exc}" if where else str(exc)) from None


def _write(msg: Message, fmt: str, registry: Any, one_line: bool) -> bytes:
    if fmt == "binary":
        return bytes(msg.to_binary())
    if fmt == "json":
        return (msg.to_json(registry=registry) + "\n").encode()
    text = msg.to_text(registry=registry, as_one_line=one_line)
    return (text + "\n" if one_line else text).encode()


def _convert(
    args: argparse.Namespace, cls: type[Message], registry: Any, data: bytes, out: IO[bytes]
) -> int:
    if not args.delimited:
        where = "byte offset 0" if args.input_format == "binary" else ""
        msg = _read(cls, args.input_format, data, registry, where)
        out.write(_write(msg, args.output_format, registry, False))
        return 0
    from ._stream import write_delimited

    progress = Progress(len(data), sys.stderr)
    frames = _frames(data) if args.input_format == "binary" else _lines(data)
    try:
        for where, end, chunk in frames:
            msg = _read(cls, args.input_format, chunk, registry, where)
            if args.output_format == "binary":
                write_delimited(out, msg)
            else:
                out.write(_write(msg, args.output_format, registry, True))
            progress.update(end)
    finally:
        progress.finish()
    return 0


def _raw(data: bytes, out: IO[bytes]) -> int:
    """Any binary message without a schema: every field shown by number."""
    from .wkt import Empty

    try:
        msg = Empty.from_binary(data)
    except ValueError as exc:
        raise InputError(f"byte offset 0: {exc}") from None
    out.write(msg.to_text(print_unknown_fields=True).encode())
    return 0


# ---- arguments -----------------------------------------------------------------------------


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="torvex",
        description="Convert protobuf messages between the binary, JSON and text formats.",
    )
    commands = parser.add_subparsers(dest="command", required=True)
    for name, default_in, default_out in (
        ("decode", "binary", "text"),
        ("encode", "text", "binary"),
    ):
        sub = commands.add_parser(name, help=f"{default_in} to {default_out} (by default)")
        sub.add_argument("--type", help="full name of the message type, e.g. pkg.Msg")
        schema = sub.add_argument_group("schema (one of)")
        schema.add_argument("--proto", action="append", default=[], help=".proto file to compile")
        schema.add_argument(
            "-I", "--proto_path", dest="include", action="append", default=[],
            help="import path for --proto",
        )  # fmt: skip
        schema.add_argument("--descriptor-set", help="a serialized FileDescriptorSet")
        schema.add_argument(
            "--module", action="append", default=[], help="an importable generated module"
        )
        sub.add_argument("--in", dest="input_format", choices=FORMATS, default=default_in)
        sub.add_argument("--out", dest="output_format", choices=FORMATS, default=default_out)
        sub.add_argument(
            "--delimited", action="store_true",
            help="a stream of varint-length-prefixed messages (one per line in JSON and text)",
        )  # fmt: skip
        if name == "decode":
            sub.add_argument(
                "--raw", action="store_true", help="show any binary message without a schema"
            )
        sub.add_argument("input", nargs="?", help="input file (default: stdin)")
        sub.add_argument("-o", "--output", help="output file (default: stdout)")
    return parser


def _run(args: argparse.Namespace) -> int:
    if args.input:
        try:
            with open(args.input, "rb") as f:
                data = f.read()
        except OSError as exc:
            raise UsageError(f"cannot read input: {exc}") from None
    else:
        data = sys.stdin.buffer.read()
    out: IO[bytes]
    out = open(args.output, "wb") if args.output else sys.stdout.buffer  # noqa: SIM115
    try:
        if getattr(args, "raw", False):
            return _raw(data, out)
        if not args.type:
            raise UsageError("--type is required (or --raw to decode without a schema)")
        if not (args.proto or args.descriptor_set or args.module):
            raise UsageError("a schema is required: --proto, --descriptor-set or --module")
        cls, registry = _load_schema(args)
        return _convert(args, cls, registry, data, out)
    finally:
        out.flush()
        if args.output:
            out.close()


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        return _run(args)
    except UsageError as exc:
        print(f"torvex: {exc}", file=sys.stderr)
        return 2
    except InputError as exc:
        print(f"torvex: bad input: {exc}", file=sys.stderr)
        return 1
