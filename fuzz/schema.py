"""One recursive proto2 schema with every field kind, for the fuzz harnesses and the hostile
value tests: all scalar types singular and repeated (packed and unpacked), open and closed enums,
sub-messages, groups, maps with scalar, enum and message values, a oneof and a legacy-required
field (in its own message, so that most decoded values can still be encoded)."""

from __future__ import annotations

import torvex
from torvex import ScalarType as T

FILE = torvex.File("fuzz/everything.proto", package="fz", syntax="proto2")
OPEN_FILE = torvex.File("fuzz/open.proto", package="fz", syntax="proto3")


class Closed(torvex.Enum, file=FILE):
    C_ZERO = 0
    C_ONE = 1
    C_NEG = -3


class Open(torvex.Enum, file=OPEN_FILE):
    O_ZERO = 0
    O_TWO = 2


class Lean(torvex.Message, file=OPEN_FILE):
    """Implicit presence: the emission tests run bool(), float() and == on the values."""

    n: int = torvex.field(1, T.INT32)
    x: float = torvex.field(2, T.DOUBLE)
    s: str = torvex.field(3, T.STRING)
    e: Open = torvex.field(4, Open)
    ns: list[int] = torvex.repeated(5, T.SINT32)
    tags: dict[str, int] = torvex.map_field(6, T.STRING, T.INT64)


class Needs(torvex.Message, file=FILE):
    key: int = torvex.field(1, T.INT32, required=True)
    note: str = torvex.field(2, T.STRING)


class Every(torvex.Message, file=FILE):
    d: float = torvex.field(1, T.DOUBLE)
    f: float = torvex.field(2, T.FLOAT)
    i64: int = torvex.field(3, T.INT64)
    u64: int = torvex.field(4, T.UINT64)
    i32: int = torvex.field(5, T.INT32)
    fx64: int = torvex.field(6, T.FIXED64)
    fx32: int = torvex.field(7, T.FIXED32)
    b: bool = torvex.field(8, T.BOOL)
    s: str = torvex.field(9, T.STRING)
    by: bytes = torvex.field(12, T.BYTES)
    u32: int = torvex.field(13, T.UINT32)
    sf32: int = torvex.field(15, T.SFIXED32)
    sf64: int = torvex.field(16, T.SFIXED64)
    s32: int = torvex.field(17, T.SINT32)
    s64: int = torvex.field(18, T.SINT64)
    closed: Closed = torvex.field(19, Closed)
    open: Open = torvex.field(20, Open)
    child: "Every | None" = torvex.field(21, "Every")
    grp: "Every | None" = torvex.field(22, "Every", delimited=True)
    needs: Needs | None = torvex.field(23, Needs)
    lean: Lean | None = torvex.field(24, Lean)
    p_i32: list[int] = torvex.repeated(30, T.INT32, packed=True)
    p_s64: list[int] = torvex.repeated(31, T.SINT64, packed=True)
    p_d: list[float] = torvex.repeated(32, T.DOUBLE, packed=True)
    p_fx32: list[int] = torvex.repeated(33, T.FIXED32, packed=True)
    p_b: list[bool] = torvex.repeated(34, T.BOOL, packed=True)
    p_closed: list[Closed] = torvex.repeated(35, Closed, packed=True)
    u_u64: list[int] = torvex.repeated(36, T.UINT64)
    u_f: list[float] = torvex.repeated(37, T.FLOAT)
    u_open: list[Open] = torvex.repeated(38, Open)
    words: list[str] = torvex.repeated(39, T.STRING)
    blobs: list[bytes] = torvex.repeated(40, T.BYTES)
    kids: "list[Every]" = torvex.repeated(41, "Every")
    groups: "list[Every]" = torvex.repeated(42, "Every", delimited=True)
    by_name: "dict[str, Every]" = torvex.map_field(50, T.STRING, "Every")
    by_id: dict[int, Closed] = torvex.map_field(51, T.SINT32, Closed)
    flags: dict[bool, bytes] = torvex.map_field(52, T.BOOL, T.BYTES)
    sizes: dict[int, float] = torvex.map_field(53, T.FIXED64, T.DOUBLE)
    labels: dict[str, str] = torvex.map_field(54, T.STRING, T.STRING)
    choice: torvex.Oneof | None = torvex.oneof(
        o_s=torvex.field(60, T.STRING),
        o_i=torvex.field(61, T.UINT32),
        o_m=torvex.field(62, "Every"),
        o_g=torvex.field(63, "Every", delimited=True),
        o_e=torvex.field(64, Closed),
    )
