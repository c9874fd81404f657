"""google/protobuf/duration.proto"""

from __future__ import annotations

import torvex
from torvex import ScalarType as T

from . import _mixins

FILE = torvex.File("google/protobuf/duration.proto", package="google.protobuf")


class Duration(_mixins.DurationMixin, torvex.Message, file=FILE):
    seconds: int = torvex.field(1, T.INT64)
    nanos: int = torvex.field(2, T.INT32)
