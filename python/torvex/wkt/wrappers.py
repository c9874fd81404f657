"""google/protobuf/wrappers.proto"""

from __future__ import annotations

import torvex
from torvex import ScalarType as T

FILE = torvex.File("google/protobuf/wrappers.proto", package="google.protobuf")


class DoubleValue(torvex.Message, file=FILE):
    value: float = torvex.field(1, T.DOUBLE)


class FloatValue(torvex.Message, file=FILE):
    value: float = torvex.field(1, T.FLOAT)


class Int64Value(torvex.Message, file=FILE):
    value: int = torvex.field(1, T.INT64)


class UInt64Value(torvex.Message, file=FILE):
    value: int = torvex.field(1, T.UINT64)


class Int32Value(torvex.Message, file=FILE):
    value: int = torvex.field(1, T.INT32)


class UInt32Value(torvex.Message, file=FILE):
    value: int = torvex.field(1, T.UINT32)


class BoolValue(torvex.Message, file=FILE):
    value: bool = torvex.field(1, T.BOOL)


class StringValue(torvex.Message, file=FILE):
    value: str = torvex.field(1, T.STRING)


class BytesValue(torvex.Message, file=FILE):
    value: bytes = torvex.field(1, T.BYTES)
