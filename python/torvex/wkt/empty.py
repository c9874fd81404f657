"""google/protobuf/empty.proto"""

from __future__ import annotations

import torvex

FILE = torvex.File("google/protobuf/empty.proto", package="google.protobuf")


class Empty(torvex.Message, file=FILE):
    pass
