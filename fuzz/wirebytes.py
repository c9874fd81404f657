"""Hand-made wire records, for seeds and tests that need bytes no encoder writes."""

from __future__ import annotations


def varint(n: int) -> bytes:
    n &= (1 << 64) - 1
    out = bytearray()
    while n >= 0x80:
        out.append(n & 0x7F | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def tag(number: int, wt: int) -> bytes:
    return varint(number << 3 | wt)


def vi(number: int, value: int) -> bytes:
    return tag(number, 0) + varint(value)


def ld(number: int, payload: bytes) -> bytes:
    return tag(number, 2) + varint(len(payload)) + payload


def group(number: int, content: bytes) -> bytes:
    return tag(number, 3) + content + tag(number, 4)
