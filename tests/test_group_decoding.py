"""Known groups are decoded in one pass up to their end tag. A malformed group still reports the
structural fault, even where decoding its content failed earlier for another reason."""

from __future__ import annotations

import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "fuzz"))

from schema import Every  # noqa: E402
from wirebytes import group, ld, tag, vi  # noqa: E402

BAD_UTF8 = ld(9, b"\xff")


@pytest.mark.parametrize("data, exc, text", [
    # content fault first, structure fault later: the structure wins
    (tag(22, 3) + BAD_UTF8, ValueError, "unterminated group"),
    (tag(22, 3) + BAD_UTF8 + tag(23, 4), ValueError,
     "mismatched group end tag: expected 22, got 23"),
    (tag(22, 3) + vi(0, 1) + b"\x0f" + tag(22, 4), ValueError, "invalid wire type: 7"),
    (tag(22, 3) + ld(21, BAD_UTF8) + tag(1, 1) + b"\x00", ValueError,
     "unexpected end of buffer: needed 8 bytes but only 1 available"),
    # an unknown group left open inside a known one: the known group is the one unterminated
    (tag(22, 3) + tag(99, 3) + vi(1, 1), ValueError, "unterminated group"),
    # nested known groups: only the outermost one decides
    (tag(42, 3) + group(22, BAD_UTF8) + tag(42, 3), ValueError, "unterminated group"),
    (tag(22, 3) * 5000, ValueError, "unterminated group"),  # nested starts, deeper than the limit
    # a well-formed group: the content's own error
    (group(22, BAD_UTF8), UnicodeDecodeError, "invalid start byte"),
    (group(22, vi(0, 1)), ValueError, "invalid field number: 0"),
    (group(22, tag(0, 4)), ValueError, "mismatched group end tag: expected 22, got 0"),
    (tag(22, 3) * 101 + tag(22, 4) * 101, RecursionError,
     "exceeded maximum recursion depth 100 while parsing message"),
    # inside a length-delimited message, the group is outermost again
    (ld(21, tag(22, 3) + BAD_UTF8), ValueError, "unterminated group"),
    (ld(41, tag(22, 3) + BAD_UTF8) + tag(22, 4), ValueError, "unterminated group"),
])  # fmt: skip
def test_errors_keep_structure_first_precedence(data, exc, text):
    with pytest.raises(exc) as info:
        Every.from_binary(data)
    assert text in str(info.value)


def test_group_runs_and_nesting_decode_like_sub_messages():
    inner = Every(i32=7, words=["a", "b"], grp=Every(s="deep"))
    as_group = group(22, inner.to_binary()) + group(42, b"") + group(42, vi(5, 1))
    m = Every.from_binary(as_group + vi(13, 9))
    assert m.grp == inner and [g.i32 for g in m.groups] == [0, 1] and m.u32 == 9
    # 100 levels of groups are allowed, like 100 levels of sub-messages
    data = b""
    for _ in range(100):
        data = group(22, data)
    depth, m = 0, Every.from_binary(data)
    while m.grp is not None:
        depth, m = depth + 1, m.grp
    assert depth == 100
