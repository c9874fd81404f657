"""google/protobuf/field_mask.proto"""

from __future__ import annotations

import torvex
from torvex import ScalarType as T

from . import _mixins

FILE = torvex.File("google/protobuf/field_mask.proto", package="google.protobuf")


class FieldMask(_mixins.FieldMaskMixin, torvex.Message, file=FILE):
    paths: list[str] = torvex.repeated(1, T.STRING)
