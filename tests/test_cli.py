"""The torvex command end to end: a subprocess per run, data through stdin and stdout."""

from __future__ import annotations

import io
import subprocess
import sys

import pytest
from google.protobuf import descriptor_pb2 as pb
from google.protobuf import text_format
from google.protobuf.internal.encoder import _VarintBytes

from torvex._cli import Progress
from text_support import load

PROTO = """
syntax = "proto3";
package shop;
import "google/protobuf/any.proto";
message Item {
  string name = 1;
  int64 cents = 2;
  repeated string tags = 3;
  map<string, int32> stock = 4;
  google.protobuf.Any extra = 5;
  Kind kind = 6;
}
enum Kind { KIND_UNSPECIFIED = 0; KIND_BOOK = 1; }
"""
TEXT = (
    'name: "pen" cents: 150 tags: ["a", "b"] stock { key: "x" value: 3 } kind: KIND_BOOK '
    'extra { [type.googleapis.com/shop.Item] { name: "inner" } }'
)


def run(*args: str, data: bytes = b"") -> subprocess.CompletedProcess[bytes]:
    return subprocess.run(
        [sys.executable, "-m", "torvex", *args], input=data, capture_output=True, timeout=120
    )


@pytest.fixture(scope="module")
def schema(tmp_path_factory):
    root = tmp_path_factory.mktemp("cli")
    (root / "shop.proto").write_text(PROTO)
    done = run("encode", "--proto", "shop.proto", "-I", str(root), "--type", "shop.Item",
               data=TEXT.encode())  # fmt: skip
    assert done.returncode == 0, done.stderr
    # The same schema as a descriptor set, for the other schema source and for the reference.
    subprocess.run(
        [sys.executable, "-m", "grpc_tools.protoc", f"-I{root}", "--include_imports",
         f"--descriptor_set_out={root / 'shop.desc'}", "shop.proto"],
        check=True,
    )  # fmt: skip
    return {
        "proto": ["--proto", "shop.proto", "-I", str(root), "--type", "shop.Item"],
        "desc": ["--descriptor-set", str(root / "shop.desc"), "--type", ".shop.Item"],
        "binary": done.stdout,
    }


@pytest.mark.parametrize("source", ["proto", "desc"])
def test_every_conversion_round_trips(schema, source):
    args = schema[source]
    binary = schema["binary"]
    text = run("decode", *args, data=binary)
    assert text.returncode == 0 and text.stdout.decode().startswith('name: "pen"\ncents: 150\n')
    assert "[type.googleapis.com/shop.Item] {" in text.stdout.decode()
    for fmt in ("json", "text", "binary"):
        out = run("decode", *args, "--out", fmt, data=binary)
        assert out.returncode == 0, out.stderr
        back = run("encode", *args, "--in", fmt, data=out.stdout)
        assert back.returncode == 0 and back.stdout == binary, (fmt, back.stderr)
    json = run("encode", *args, "--in", "text", "--out", "json", data=TEXT.encode())
    assert b'"@type":"type.googleapis.com/shop.Item"' in json.stdout


def test_schema_from_a_module():
    out = run("decode", "--module", "torvex.wkt.timestamp", "--type", "google.protobuf.Timestamp",
              "--out", "json", data=b"\x08\x05\x10\x07")  # fmt: skip
    assert (out.returncode, out.stdout) == (0, b'"1970-01-01T00:00:05.000000007Z"\n')


def test_delimited_streams(schema):
    args = schema["proto"]
    lines = b'name: "a"\n\nname: "b" cents: 2\n# no message here\nname: "c"\n'
    lines = lines.replace(b"# no message here\n", b"")
    out = run("encode", *args, "--delimited", data=lines)
    assert out.returncode == 0, out.stderr
    records = [b'\n\x01a', b'\n\x01b\x10\x02', b'\n\x01c']
    assert out.stdout == b"".join(_VarintBytes(len(r)) + r for r in records)
    back = run("decode", *args, "--delimited", data=out.stdout)
    assert back.stdout == b'name: "a"\nname: "b" cents: 2\nname: "c"\n'
    as_json = run("decode", *args, "--delimited", "--out", "json", data=out.stdout)
    assert as_json.stdout.splitlines() == [b'{"name":"a"}', b'{"name":"b","cents":"2"}', b'{"name":"c"}']
    long = b"".join(_VarintBytes(len(r)) + r for r in records * 30_000)
    many = run("decode", *args, "--delimited", "--out", "binary", data=long)
    # Not a terminal: no progress bar, the stream goes through unchanged.
    assert (many.returncode, many.stdout, many.stderr) == (0, long, b"")


def test_raw_decode_matches_the_reference():
    data = bytes.fromhex("0a03616263 10 96 01 1d 01000000 2a 04 08 01 10 02 33 08 07 34")
    out = run("decode", "--raw", data=data)
    empty = pb.FileDescriptorProto(name="e.proto", package="e")
    empty.message_type.add(name="E")
    _, peer = load(empty).pair("E")
    assert out.returncode == 0
    assert out.stdout.decode() == text_format.MessageToString(
        peer.FromString(data), print_unknown_fields=True
    )


@pytest.mark.parametrize(
    ("args", "data", "status", "message"),
    [
        (["decode"], b"\xff", 1, b"byte offset 0"),
        (["encode", "--in", "text"], b"name: 7", 1, b"1:7: expected a string"),
        (["encode", "--in", "json"], b"{", 1, b"bad input"),
        (["decode", "--delimited"], b"\x02\x08\x01\x05\x0a", 1, b"byte offset 3"),
        (["decode", "--delimited"], b"\x02\x08\x01\x80", 1, b"byte offset 3"),
        (["encode", "--delimited"], b'name: "a"\nname: 1\n', 1, b"line 2: 1:7"),
    ],
)
def test_bad_input_exits_1_naming_the_place(schema, args, data, status, message):
    out = run(*args, *schema["proto"], data=data)
    assert out.returncode == status and message in out.stderr, out.stderr


@pytest.mark.parametrize(
    "args",
    [
        [],
        ["decode"],
        ["decode", "--proto", "missing.proto", "--type", "x.Y"],
        ["decode", "--module", "torvex.wkt.timestamp", "--type", "nope.Missing"],
        ["decode", "--module", "no.such.module", "--type", "x.Y"],
        ["decode", "--descriptor-set", "/nonexistent", "--type", "x.Y"],
        ["decode", "--bogus"],
        ["encode", "--raw"],
    ],
)
def test_usage_errors_exit_2(args):
    out = run(*args)
    assert out.returncode == 2 and out.stderr


def test_progress_bar_only_on_a_terminal():
    class Tty(io.StringIO):
        def isatty(self) -> bool:
            return True

    for stream, shown in ((Tty(), True), (io.StringIO(), False)):
        bar = Progress(4 << 20, stream)
        bar.update(1 << 20)
        bar.update(2 << 20)  # within 0.1 s of the first: not redrawn
        bar.finish()
        assert ("[#######-" in stream.getvalue() and " 25% 1 messages" in stream.getvalue()) == shown
    small = Tty()
    Progress(100, small).update(50)
    assert small.getvalue() == ""
