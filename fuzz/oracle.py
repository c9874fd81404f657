"""The checks every fuzz input goes through, shared by the coverage-guided harnesses (run under
atheris by `make fuzz`) and the fuzz smoke test of the suite. A failed check raises
AssertionError; anything the codec raises outside its documented exceptions escapes as is.

The oracle for a decoder: the input either fails with a documented exception, or decodes into a
message that survives the binary round trip unchanged: from_binary(to_binary(m)) equals m
(compared by content, floats by bit pattern, unknown fields included) and encodes to the very
same bytes again (after two rounds, as map order flips in each)."""

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

from peer import snapshot  # noqa: E402
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
    check_round_trip(m)


def check_json_round_trip(m) -> None:
    """JSON text and value tree agree, and both read back to m. Binary round trips too, once the
    values are in binary form: JSON keeps a float field's double unrounded, does not range-check
    integer map keys and lets lone surrogates through."""
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
    except (OverflowError, UnicodeEncodeError):
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
    check_json_round_trip(m)


_repeats: list[str] = []  # why the tree just read differs from its text, if it does


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


def smoke(check: Callable[[bytes], None], seeds: Iterable[bytes], mutations: int, seed: int) -> int:
    """Replays the seeds, then `mutations` seeded random mutations of them; returns the count."""
    pool = list(seeds)
    for data in pool:
        check(data)
    rng = random.Random(seed)
    for _ in range(mutations):
        check(mutate(rng.choice(pool), rng, pool))
    return len(pool) + mutations


def run_atheris(check: Callable[[bytes], None]) -> None:
    """Entry point of a harness script under atheris (see the Makefile's fuzz target)."""
    import atheris

    def one_input(data: bytes) -> None:
        check(data)

    sys.setrecursionlimit(max(sys.getrecursionlimit(), 5000))
    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()


