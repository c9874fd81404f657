"""The standard well-known types (package ``google.protobuf``), one module per standard file.

Their binary encoding is the standard's, and the JSON codec gives them their special JSON forms.
Helpers (``Timestamp.from_datetime``, ``Any.pack``, ``Struct.from_dict``, ...) come from
``torvex.wkt._mixins``.
"""

from .any import Any
from .duration import Duration
from .empty import Empty
from .field_mask import FieldMask
from .struct import ListValue, NullValue, Struct, Value
from .timestamp import Timestamp
from .wrappers import (
    BoolValue,
    BytesValue,
    DoubleValue,
    FloatValue,
    Int32Value,
    Int64Value,
    StringValue,
    UInt32Value,
    UInt64Value,
)

__all__ = [
    "Any",
    "BoolValue",
    "BytesValue",
    "DoubleValue",
    "Duration",
    "Empty",
    "FieldMask",
    "FloatValue",
    "Int32Value",
    "Int64Value",
    "ListValue",
    "NullValue",
    "StringValue",
    "Struct",
    "Timestamp",
    "UInt32Value",
    "UInt64Value",
    "Value",
]
