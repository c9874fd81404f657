"""Inputs one byte or one character away from valid: every fixed-width and length-delimited read
cut short by exactly one byte (on bytes, and on a slice of a larger buffer whose next byte would
complete it), and base64 whose padding is just wrong."""

from __future__ import annotations

import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "fuzz"))

from schema import Every  # noqa: E402
from wirebytes import ld, tag, vi  # noqa: E402

# Records that end in a fixed-width or length-delimited read: known fields of each kind, packed
# payloads, a map entry, and unknown fields of both fixed widths and length-delimited.
RECORDS = {
    "double": tag(1, 1) + bytes(range(1, 9)),
    "float": tag(2, 5) + b"\x00\x00\xc0\x3f",
    "fixed64": tag(6, 1) + b"\xff" * 8,
    "fixed32": tag(7, 5) + b"\x01\x02\x03\x04",
    "sfixed32": tag(15, 5) + b"\xfe\xff\xff\xff",
    "sfixed64": tag(16, 1) + b"\x05" + b"\x00" * 7,
    "string": ld(9, b"abc"),
    "bytes": ld(12, b"\x00\xff"),
    "message": ld(21, vi(5, 1)),
    "group content": ld(21, tag(7, 5) + b"\x01\x02\x03\x04"),
    "packed varints": ld(30, b"\x01\x02"),
    "packed doubles": ld(32, b"\x00" * 16),
    "packed fixed32": ld(33, b"\x01\x00\x00\x00\x02\x00\x00\x00"),
    "repeated bytes": ld(40, b"blob"),
    "map entry": ld(54, ld(1, b"k") + ld(2, b"v")),
    "unknown fixed64": tag(99, 1) + b"\x01" * 8,
    "unknown fixed32": tag(99, 5) + b"\x02" * 4,
    "unknown bytes": ld(99, b"xy"),
    "unknown in child": ld(21, tag(99, 5) + b"\x02" * 4),
}


def _views(data: bytes, complete: bytes):
    """``data`` as bytes, and as a slice of a buffer that holds ``complete`` (of which ``data``
    is the start) and more: a read past the slice's end would find the missing byte there."""
    yield data
    buffer = b"\xaa" + complete + b"\x08\x01" * 4
    yield memoryview(buffer)[1 : 1 + len(data)]


@pytest.mark.parametrize("record", RECORDS.values(), ids=RECORDS)
def test_one_byte_short_is_refused(record):
    whole = Every.from_binary(record)
    assert whole.to_binary() == record  # the record itself is fine
    for view in _views(record[:-1], record):
        with pytest.raises(ValueError):
            Every.from_binary(view)


@pytest.mark.parametrize("record", RECORDS.values(), ids=RECORDS)
def test_one_byte_short_inside_a_complete_child(record):
    # The child's length is right; its content ends one byte early, and the parent's next
    # record follows, so reading on would succeed with the wrong bytes.
    data = ld(21, record[:-1]) + vi(5, 7)
    for view in _views(data, data):
        with pytest.raises(ValueError):
            Every.from_binary(view)


BAD_BASE64 = ["eQ=", "eQ===", "e", "e===", "=", "==", "====", "eQ=a", "eQ==eQ==", "eHk==", "eH=k",
              "e=Q=", "eQ== ", "-_8=="]  # fmt: skip
GOOD_BASE64 = {"eQ==": b"y", "eQ": b"y", "eHk=": b"xy", "eHk": b"xy", "eHl6": b"xyz", "": b"",
               "eR==": b"y", "-_8": b"\xfb\xff", "-_8=": b"\xfb\xff"}  # fmt: skip


@pytest.mark.parametrize("text", BAD_BASE64)
@pytest.mark.parametrize("read", ["from_json", "from_dict"])
def test_malformed_base64_padding(read, text):
    doc = {"by": text}
    with pytest.raises(ValueError, match="invalid base64 data"):
        getattr(Every, read)(doc if read == "from_dict" else f'{{"by":"{text}"}}')
    with pytest.raises(ValueError, match="invalid base64 data"):
        getattr(Every, read)({"blobs": ["eQ==", text]} if read == "from_dict" else
                             f'{{"blobs":["eQ==","{text}"]}}')  # fmt: skip


@pytest.mark.parametrize("text, value", GOOD_BASE64.items())
def test_base64_padding_optional_and_both_alphabets(text, value):
    assert Every.from_json(f'{{"by":"{text}"}}').by == value
    assert Every.from_dict({"flags": {"true": text}}).flags == {True: value}
