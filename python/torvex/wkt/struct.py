"""google/protobuf/struct.proto"""

from __future__ import annotations

import torvex
from torvex import ScalarType as T

from . import _mixins

FILE = torvex.File("google/protobuf/struct.proto", package="google.protobuf")


class Struct(_mixins.StructMixin, torvex.Message, file=FILE):
    fields: dict[str, Value] = torvex.map_field(1, T.STRING, "Value")


class Value(_mixins.ValueMixin, torvex.Message, file=FILE):
    kind: torvex.Oneof | None = torvex.oneof(
        null_value=torvex.field(1, "NullValue"),
        number_value=torvex.field(2, T.DOUBLE),
        string_value=torvex.field(3, T.STRING),
        bool_value=torvex.field(4, T.BOOL),
        struct_value=torvex.field(5, "Struct"),
        list_value=torvex.field(6, "ListValue"),
    )


class NullValue(torvex.Enum, file=FILE):
    NULL_VALUE = 0


class ListValue(_mixins.ListValueMixin, torvex.Message, file=FILE):
    values: list[Value] = torvex.repeated(1, "Value")
