"""The checks every fuzz input goes through, shared by the coverage-guided harnesses (run under
atheris by `make fuzz`) and the fuzz smoke test of the suite. A failed check raises
AssertionError; anything the codec raises outside its documented exceptions escapes as is.

The oracle for a decoder: the input either fails with a documented exception, or decodes into a
message that survives the binary round trip unchanged: from_binary(to_binary(m)) equals m
(compared by content, floats by bit pattern, unknown fields included) and encodes to the very
same bytes again (after two rounds, as map order flips in each). An input torvex accepts must also
be accepted by a second runtime, Google's upb (as wrapped by its Python package), built from the
same schema: two systems must not disagree about one message. The few deliberate differences are
listed below."""

from __future__ import annotations

import os
import json
import random
import sys
from collections.abc import Callable, Iterable
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests"))

from google.protobuf import json_format  # noqa: E402
from google.protobuf.message import DecodeError  # noqa: E402
from google.protobuf.unknown_fields import UnknownFieldSet  # noqa: E402
from peer import from_peer, peer_class, snapshot  # noqa: E402
from schema import Every  # noqa: E402

# What a decoder may raise on bad input (UnicodeDecodeError and JSONDecodeError are ValueErrors;
# the JSON reader also raises TypeError and OverflowError for values of the wrong kind or range).
DECODE_ERRORS = (ValueError, RecursionError)
JSON_ERRORS = (ValueError, TypeError, OverflowError, RecursionError)
REQUIRED_NOT_SET = "required field not set"


def check_round_trip(m) -> None:
    try:
        encoded = m.to_binary()
    except ValueError as exc:
        # Decoding does not check legacy-required fields; encoding does.
        if REQUIRED_NOT_SET in str(exc):
            return
        raise
    again = type(m).from_binary(encoded)
    assert snapshot(again, unknown=True) == snapshot(m, unknown=True), "round trip changed m"
    # Map entries come out in reverse dict order, so the bytes repeat every second round.
    twice = type(m).from_binary(again.to_binary())
    assert twice.to_binary() == encoded, "re-encoding differs"


def check_binary(data: bytes) -> None:
    """One input for from_binary; the first byte also picks ignore_unknown_fields."""
    ignore = bool(data[:1]) and data[0] & 1 == 1
    try:
        m = Every.from_binary(data, ignore_unknown_fields=ignore)
    except DECODE_ERRORS:
        return
    check_peer_binary(data, m)
    check_round_trip(m)


# Deliberate differences from upb. The oracle asks only that what torvex accepts, upb accepts
# too, so those where torvex is the stricter side need no exemption:
#   - a varint's 10th byte above 1 (bits beyond 64) is refused;
#   - proto2 strings that are not UTF-8 are refused (a Python str cannot hold them);
#   - the JSON reader's nesting guard (512 open containers) refuses documents upb's reader
#     would still try.
#   - a map entry whose key or value has an unexpected wire type is kept by torvex as an
#     unknown record once its bytes are well-formed wire data; a message value inside it is not
#     decoded, so a malformed one is kept as it is, while upb decodes it and refuses the input.
#     The bytes come back unchanged, so nothing is lost; exempted below.
# Message depth agrees (100 levels, groups and unknown groups included). One difference is in
# values, not acceptance, and is exempted below: a map entry holding a field other than key and
# value is inserted by torvex with that field skipped, while upb keeps the whole entry as an
# unknown record.


def check_peer_binary(data: bytes, m) -> None:
    """upb accepts what torvex accepted, and reads the same field values from it."""
    try:
        theirs = peer_class(Every).FromString(data)
    except DecodeError as exc:
        if _odd_entry_kept(m):
            return
        raise AssertionError(f"torvex accepted what upb refuses ({exc}): {data.hex()}") from None
    if not _entry_kept_whole(theirs):
        assert snapshot(from_peer(theirs, Every)) == snapshot(m), f"upb reads other values: {data.hex()}"


def _odd_entry_kept(m) -> bool:
    """Whether torvex kept a map entry as an unknown record somewhere in the tree."""
    import torvex
    from torvex._descriptors import DescFieldValueMap

    unknown = torvex.unknown_fields(m)
    for f, value in m.list_fields():
        if isinstance(f.value, DescFieldValueMap):
            values = list(value.values())
        else:
            values = value if isinstance(value, list) else [value]
        if any(_odd_entry_kept(v) for v in values if isinstance(v, torvex.Message)):
            return True
    maps = {f.number for f in torvex.descriptor(m).fields if isinstance(f.value, DescFieldValueMap)}
    return any(n in maps for n in unknown)


def _entry_kept_whole(peer_msg) -> bool:
    """Whether upb kept a map entry as an unknown record somewhere in the tree. It does so for
    an entry holding a field other than key and value; torvex skips such a field and inserts
    the entry (see the deliberate differences above)."""
    maps = {f.number for f in peer_msg.DESCRIPTOR.fields if f.message_type is not None
            and f.message_type.GetOptions().map_entry}  # fmt: skip
    if any(u.field_number in maps for u in UnknownFieldSet(peer_msg)):
        return True
    for f, value in peer_msg.ListFields():
        if f.message_type is None or f.number in maps:
            continue
        values = value if f.is_repeated else [value]
        if any(_entry_kept_whole(v) for v in values):
            return True
    return False


def check_peer_json(data: bytes) -> None:
    """Google's JSON reader accepts the text torvex accepted."""
    try:
        json_format.Parse(data, peer_class(Every, named=True)())
    except json_format.ParseError as exc:
        raise AssertionError(f"torvex accepted what the peer refuses ({exc}): {data!r}") from None


def check_json_round_trip(m) -> None:
    """JSON text and value tree agree, and both read back to m. Binary round trips too, once the
    values are in binary form: JSON keeps a float field's double unrounded and lets a lone
    trailing surrogate through."""
    try:
        text = m.to_json()
    except ValueError as exc:
        if REQUIRED_NOT_SET in str(exc):  # the JSON writer checks them too
            return
        raise
    again = type(m).from_json(text)
    assert snapshot(again) == snapshot(m), "JSON round trip changed m"
    from_tree = type(m)._from_json_value(m._to_json_value())
    assert snapshot(from_tree) == snapshot(again), "tree and text differ"
    try:
        binary = type(m).from_binary(m.to_binary())
    except UnicodeEncodeError:
        return
    except ValueError as exc:
        if REQUIRED_NOT_SET in str(exc):
            return
        raise
    check_round_trip(binary)


def check_json(data: bytes) -> None:
    """One input for from_json (the bytes as given)."""
    try:
        m = Every.from_json(data)
    except JSON_ERRORS:
        return
    check_peer_json(data)
    check_json_round_trip(m)


def check_json_value(data: bytes) -> None:
    """One input for _from_json_value: the tree the standard library reads from the same text,
    which must decode exactly as the text does (or fail with the same class)."""
    _repeats.clear()
    try:
        # UTF-8 only, and no NaN or Infinity literals: what JSON text may hold.
        tree = json.loads(data.decode(), object_pairs_hook=_pairs, parse_constant=_no_constant,
                          parse_int=_int)
    except (ValueError, RecursionError):
        return
    # With a key repeated in an object the text reader sees every occurrence, the tree only the
    # last; and -0 is a negative zero double to the text reader, a plain 0 in the tree. Such
    # trees are decoded, but not compared with the text.
    comparable = not _repeats
    # A lone surrogate escape: refused by the text reader, kept in a str by the standard library.
    # A tree holding one decodes, but its message cannot be written as text or binary.
    if _has_lone_surrogate(tree):
        try:
            Every._from_json_value(tree)
        except JSON_ERRORS:
            pass
        return
    try:
        m = Every._from_json_value(tree)
    except JSON_ERRORS as exc:
        if not comparable:
            return
        try:
            Every.from_json(data)
        except JSON_ERRORS as text_exc:
            assert type(text_exc) is type(exc) or isinstance(text_exc, json.JSONDecodeError), (
                f"tree raised {exc!r}, text raised {text_exc!r}")
        return
    if comparable:
        assert snapshot(Every.from_json(data)) == snapshot(m), "tree and text decode differently"
        check_peer_json(data)
    check_json_round_trip(m)


_repeats: list[str] = []  # why the tree just read differs from its text, if it does


def _has_lone_surrogate(tree: object) -> bool:
    if isinstance(tree, str):
        return not tree.isascii() and any("\ud800" <= c <= "\udfff" for c in tree)
    if isinstance(tree, dict):
        return any(_has_lone_surrogate(k) or _has_lone_surrogate(v) for k, v in tree.items())
    if isinstance(tree, list):
        return any(_has_lone_surrogate(v) for v in tree)
    return False


def _int(text: str) -> int:
    if text == "-0":
        _repeats.append("-0")
    return int(text)


def _no_constant(name: str) -> float:
    raise ValueError(f"{name} is not JSON")


def _pairs(pairs: list[tuple[str, object]]) -> dict:
    out = dict(pairs)
    if len(out) != len(pairs):
        _repeats.append("repeat")
    return out


def check_descriptor_set(data: bytes) -> None:
    """One input for load_descriptor_set: it fails with ValueError (a GenerateError naming one
    of the set's files), or it loads, the generator renders the same files as Python that
    compiles, and every message class it built encodes and decodes its empty message."""
    from torvex import Message, load_descriptor_set
    from torvex.protoc_gen import GenerateError, generate_files
    from torvex.wkt.descriptor import FileDescriptorSet

    try:
        loaded = load_descriptor_set(data)
    except GenerateError as exc:
        names = [f.name for f in FileDescriptorSet.from_binary(data).file]
        nameless = str(exc) == "a file in the set has no name" and not all(names)
        assert nameless or str(exc).startswith(tuple(f"{n}: " for n in names)), f"names no file: {exc}"
        return
    except DECODE_ERRORS:
        return
    files = list(FileDescriptorSet.from_binary(data).file)
    for path, text in generate_files(files, [f.name for f in files]):
        compile(text, path, "exec")
    for cls in loaded.values():
        if isinstance(cls, type) and issubclass(cls, Message):
            check_round_trip(cls())


def check_text(data: bytes) -> None:
    """One input for from_text: it fails with a documented exception, or the message it reads
    prints to text that reads back to the same message, and survives the binary round trip."""
    try:
        m = Every.from_text(data)
    except JSON_ERRORS:
        return
    again = Every.from_text(m.to_text())
    assert snapshot(again) == snapshot(m), "text round trip changed m"
    try:
        check_round_trip(m)
    except (OverflowError, UnicodeEncodeError):
        return  # values text may hold that binary cannot, as with JSON


class _Trickle:
    """A stream that hands out at most a few bytes per read, as a socket may."""

    def __init__(self, data: bytes) -> None:
        self.data, self.pos = data, 0

    def read(self, n: int = -1) -> bytes:
        step = 1 + self.pos % 3
        chunk = self.data[self.pos : self.pos + min(n if n >= 0 else step, step)]
        self.pos += len(chunk)
        return chunk


def check_delimited(data: bytes) -> None:
    """One input for read_delimited: read whole or a few bytes at a time, the same messages
    come out and the same error ends the stream; what was read writes back to a stream that
    reads the same again."""
    import io

    from torvex import read_delimited, write_delimited

    def read_all(stream) -> tuple[list[tuple], str | None]:
        out: list[tuple] = []
        try:
            for m in read_delimited(stream, Every, max_size=1 << 16):
                out.append(snapshot(m, unknown=True))
        except DECODE_ERRORS as exc:
            return out, type(exc).__name__
        return out, None

    whole = read_all(io.BytesIO(data))
    assert read_all(_Trickle(data)) == whole, "chunked reading differs"
    messages = [m for m in _messages(data)]
    buffer = io.BytesIO()
    for m in messages:
        try:
            write_delimited(buffer, m)
        except ValueError as exc:
            if REQUIRED_NOT_SET in str(exc):
                return
            raise
    assert read_all(io.BytesIO(buffer.getvalue())) == (whole[0], None), "rewritten stream differs"


def _messages(data: bytes) -> list:
    import io

    from torvex import read_delimited

    out = []
    try:
        for m in read_delimited(io.BytesIO(data), Every, max_size=1 << 16):
            out.append(m)
    except DECODE_ERRORS:
        pass
    return out


def corpus(name: str) -> list[bytes]:
    """The committed seed inputs of one harness."""
    folder = HERE / "corpus" / name
    return [p.read_bytes() for p in sorted(folder.iterdir()) if p.is_file()]


def mutate(data: bytes, rng: random.Random, pool: list[bytes]) -> bytes:
    """A few byte-level edits in the style of a fuzzer: flips, interesting bytes, insertions,
    deletions, and splices from other inputs."""
    out = bytearray(data)
    for _ in range(rng.randint(1, 4)):
        pos = rng.randint(0, len(out))
        op = rng.randrange(6)
        if op == 0 and pos < len(out):
            out[pos] ^= 1 << rng.randrange(8)
        elif op == 1 and pos < len(out):
            out[pos] = rng.choice((0x00, 0x01, 0x7F, 0x80, 0xFF, 0x0B, 0x0C, 0xB3, 0xB4))
        elif op == 2:
            out[pos:pos] = rng.randbytes(rng.randint(1, 4))
        elif op == 3:
            del out[pos : pos + rng.randint(1, 8)]
        elif op == 4:
            other = rng.choice(pool)
            start = rng.randint(0, len(other))
            out[pos:pos] = other[start : start + rng.randint(1, 32)]
        else:
            out[pos:pos] = out[pos : pos + rng.randint(1, 16)]  # repeat a piece
    return bytes(out)


_NAMES = ("", "a b", "1x", "é", "class", "to_binary", "to_binary_", "__", "_a_", "x_", "int", "mro")


def mutate_descriptor_set(data: bytes, rng: random.Random, pool: list[bytes]) -> bytes:
    """Edits of a descriptor set as a schema author (or a broken tool) would make them: a name,
    number, type, label, type reference, oneof index, JSON name, extendee or syntax changed, a
    map-entry flag flipped, a field dropped or repeated. Byte-level edits otherwise, which
    mostly test the binary reader."""
    from torvex.wkt.descriptor import FileDescriptorSet

    if rng.random() < 0.2:
        return mutate(data, rng, pool)
    fds = FileDescriptorSet.from_binary(data)
    messages = [m for f in fds.file for m in _walk(f.message_type)]
    fields = [(m, x) for m in messages for x in m.field] + [(f, x) for f in fds.file for x in f.extension]
    types = ["." + n for n in _full_names(fds)] + [".nope", ""]
    for _ in range(rng.randint(1, 3)):
        op = rng.randrange(9)
        if op < 6 and fields:
            owner, f = rng.choice(fields)
            other = rng.choice(fields)[1]
            if op == 0:
                f.name = rng.choice((*_NAMES, other.name, other.name + "_"))
            elif op == 1:
                f.number = rng.choice((0, 1, other.number, 2**29, 19000, -1))
            elif op == 2:
                f.type, f.type_name = rng.randint(1, 18), rng.choice(types)
            elif op == 3:
                f.label = rng.randint(1, 3)
                if rng.random() < 0.5:
                    f.clear_field("oneof_index")
                else:
                    f.oneof_index = rng.choice((0, 1, 5))
            elif op == 4:
                f.json_name, f.extendee = other.json_name, rng.choice((f.extendee, *types))
            elif owner.field if hasattr(owner, "field") else False:
                owner.field.append(other) if rng.random() < 0.5 else owner.field.remove(f)
        elif op == 6 and messages:
            m = rng.choice(messages)
            if m.options is None or not m.options.map_entry:
                m.name = rng.choice((*_NAMES, rng.choice(messages).name))
            else:
                m.options.map_entry = False
        elif op == 7:
            enums = [e for f in fds.file for e in f.enum_type] + [e for m in messages for e in m.enum_type]
            if enums:
                e = rng.choice(enums)
                if e.value and rng.random() < 0.7:
                    rng.choice(e.value).name = rng.choice(_NAMES)
                else:
                    e.value = e.value[1:]
        elif fds.file:
            f = rng.choice(fds.file)
            f.syntax = rng.choice(("proto2", "proto3", "editions", "proto4"))
            f.dependency = f.dependency[1:]
    return fds.to_binary()


def _walk(messages):
    for m in messages:
        yield m
        yield from _walk(m.nested_type)


def _full_names(fds) -> list[str]:
    out = []

    def walk(prefix: str, messages, enums) -> None:
        out.extend(prefix + e.name for e in enums)
        for m in messages:
            out.append(prefix + m.name)
            walk(prefix + m.name + ".", m.nested_type, m.enum_type)

    for f in fds.file:
        walk(f"{f.package}." if f.package else "", f.message_type, f.enum_type)
    return out


def smoke(check: Callable[[bytes], None], seeds: Iterable[bytes], mutations: int, seed: int,
          mutator: Callable[[bytes, random.Random, list[bytes]], bytes] = mutate) -> int:
    """Replays the seeds, then `mutations` seeded random mutations of them; returns the count."""
    pool = list(seeds)
    for data in pool:
        check(data)
    rng = random.Random(seed)
    for _ in range(mutations):
        check(mutator(rng.choice(pool), rng, pool))
    return len(pool) + mutations


def run_atheris(check: Callable[[bytes], None]) -> None:
    """Entry point of a harness script under atheris (see the Makefile's fuzz target)."""
    import atheris

    def one_input(data: bytes) -> None:
        check(data)

    sys.setrecursionlimit(max(sys.getrecursionlimit(), 5000))
    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()


