"""Length-delimited message streams: each message preceded by its size as a base-128 varint,
the framing of Java's ``writeDelimitedTo``/``parseDelimitedFrom`` and of most other runtimes."""

from __future__ import annotations

import itertools
from collections.abc import Iterator
from typing import IO, TYPE_CHECKING, TypeVar

if TYPE_CHECKING:
    from ._message import Message

_M = TypeVar("_M", bound="Message")

DEFAULT_MAX_SIZE = 64 << 20
# Large enough that a read call is rare per message, small enough to stay in cache.
_CHUNK = 1 << 16
_BATCH = 128  # the native batch's size limit; a mismatch costs speed, never correctness


def _varint(n: int) -> bytes:
    out = bytearray()
    while n >= 0x80:
        out.append(n & 0x7F | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def write_delimited(stream: IO[bytes], message: Message) -> int:
    """Write ``message`` to the binary ``stream`` preceded by its size; returns the bytes
    written. One ``write`` call, so a message is never half-written by this function."""
    data = message.to_binary()
    framed = _varint(len(data)) + data
    stream.write(framed)
    return len(framed)


class _Reader:
    """Buffered reads from a stream; ``buf[pos:]`` is read but not yet consumed."""

    __slots__ = ("stream", "buf", "pos", "offset")

    def __init__(self, stream: IO[bytes]) -> None:
        self.stream = stream
        self.buf = b""
        self.pos = 0
        self.offset = 0  # stream offset of buf[0], for error messages

    def fill(self, need: int) -> bool:
        """Make ``need`` bytes available from ``pos``; False at the end of the stream."""
        have = len(self.buf) - self.pos
        parts = [self.buf[self.pos :]] if have else []
        while have < need:
            chunk = self.stream.read(max(_CHUNK, need - have))
            if not chunk:
                break
            if not isinstance(chunk, (bytes, bytearray)):
                raise TypeError(f"stream.read() returned {type(chunk).__name__}, not bytes")
            parts.append(bytes(chunk))
            have += len(chunk)
        self.offset += self.pos
        self.buf = b"".join(parts)
        self.pos = 0
        return have >= need


def _read_size(r: _Reader, max_size: int) -> int | None:
    """The next size prefix, or None at a clean end of the stream."""
    start = r.offset + r.pos
    size = shift = 0
    while True:
        if r.pos >= len(r.buf) and not r.fill(1):
            if shift == 0:
                return None
            raise ValueError(f"truncated stream: size prefix at offset {start} is incomplete")
        byte = r.buf[r.pos]
        r.pos += 1
        size |= (byte & 0x7F) << shift
        if byte < 0x80:
            break
        shift += 7
        if shift >= 64:
            raise ValueError(f"malformed size prefix at offset {start}: more than 10 bytes")
    if size > max_size:
        raise ValueError(
            f"message at offset {start} has {size} bytes, more than max_size {max_size}"
        )
    return size


def read_delimited(
    stream: IO[bytes],
    cls: type[_M],
    *,
    max_size: int = DEFAULT_MAX_SIZE,
    ignore_unknown_fields: bool = False,
) -> Iterator[_M]:
    """Iterate over the messages of class ``cls`` in the binary ``stream``, each preceded by
    its size (``write_delimited``'s framing). The stream is read in chunks as the iterator
    advances, never as a whole.

    Raises ``ValueError`` for a size over ``max_size`` (default 64 MiB), a size prefix longer
    than 10 bytes, or a stream that ends inside a prefix or a message; every message before
    the fault has been yielded by then. Decoding errors are those of ``cls.from_binary``.
    """
    # The messages of a batch are handed out by the chain's C loop, not by resuming a
    # generator for each one.
    return itertools.chain.from_iterable(_batches(stream, cls, max_size, ignore_unknown_fields))


def _batches(
    stream: IO[bytes], cls: type[_M], max_size: int, ignore_unknown_fields: bool
) -> Iterator[list[_M]]:
    """``read_delimited``'s messages in lists, as the native decoder returns them."""
    if type(max_size) is not int or max_size < 0:
        raise TypeError("max_size must be a non-negative int")
    from_binary = cls.from_binary
    decode_batch = cls._decode_delimited
    r = _Reader(stream)
    while True:
        # Every message whole in the buffer, decoded natively in batches of a bounded size.
        while r.pos < len(r.buf):
            batch, r.pos = decode_batch(r.buf, r.pos, max_size, ignore_unknown_fields)
            yield batch
            if len(batch) < _BATCH:
                break
        # What is left: a message cut by the end of the buffer, the end of the stream, or a
        # fault, which the reader below reports with its offset.
        start = r.offset + r.pos
        read = _read_size(r, max_size)
        if read is None:
            return
        if not r.fill(read):
            raise ValueError(
                f"truncated stream: message at offset {start} needs {read} bytes, "
                f"{len(r.buf) - r.pos} left"
            )
        end = r.pos + read
        data = r.buf[r.pos : end]
        r.pos = end
        yield [from_binary(data, ignore_unknown_fields=ignore_unknown_fields)]
