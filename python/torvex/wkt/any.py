"""google/protobuf/any.proto"""

from __future__ import annotations

import torvex
from torvex import ScalarType as T

from . import _mixins

FILE = torvex.File("google/protobuf/any.proto", package="google.protobuf")


class Any(_mixins.AnyMixin, torvex.Message, file=FILE):
    type_url: str = torvex.field(1, T.STRING)
    value: bytes = torvex.field(2, T.BYTES)
