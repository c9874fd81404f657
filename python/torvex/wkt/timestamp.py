"""google/protobuf/timestamp.proto"""

from __future__ import annotations

import torvex
from torvex import ScalarType as T

from . import _mixins

FILE = torvex.File("google/protobuf/timestamp.proto", package="google.protobuf")


class Timestamp(_mixins.TimestampMixin, torvex.Message, file=FILE):
    seconds: int = torvex.field(1, T.INT64)
    nanos: int = torvex.field(2, T.INT32)
