"""torvex: a Protocol Buffers runtime whose encoding and decoding run in a native extension.

Schemas are declared as Python classes::

    import torvex
    from torvex import ScalarType as T

    FILE = torvex.File("example/addressbook.proto", package="example")

    class PhoneType(torvex.Enum, file=FILE):
        PHONE_TYPE_UNSPECIFIED = 0
        PHONE_TYPE_MOBILE = 1

    class Person(torvex.Message, file=FILE):
        name: str = torvex.field(1, T.STRING)
        phones: list[Person.PhoneNumber] = torvex.repeated(2, "PhoneNumber")

        class PhoneNumber(torvex.Message):
            number: str = torvex.field(1, T.STRING)
            kind: PhoneType = torvex.field(2, PhoneType)
"""

# The one place the version is written: the build reads it from here.
__version__ = "0.1.0"

from ._descriptors import DescFile as File
from ._descriptors import Presence, ScalarType
from ._enum import Enum
from ._message import Message, descriptor, field, map_field, oneof, repeated, unknown_fields
from ._oneof import Oneof

TYPE_CHECKING = False
if TYPE_CHECKING:
    from ._extension import Extension
    from ._loader import LoadedSchema
    from ._registry import Registry
    from ._stream import read_delimited, write_delimited
else:
    # Loaded on first use: most programs (and every generated module without extensions)
    # never need them, and importing the runtime should stay cheap.
    def __getattr__(name: str) -> object:
        if name == "Extension":
            from ._extension import Extension as value
        elif name == "Registry":
            from ._registry import Registry as value
        elif name == "LoadedSchema":
            from ._loader import LoadedSchema as value
        elif name in ("read_delimited", "write_delimited"):
            from . import _stream

            value = getattr(_stream, name)
        else:
            raise AttributeError(f"module 'torvex' has no attribute {name!r}")
        globals()[name] = value
        return value


def load_descriptor_set(data: object) -> "LoadedSchema":
    """The message and enum classes and the extensions of a serialized ``FileDescriptorSet``,
    by full name, and by kind as ``.messages``, ``.enums`` and ``.extensions`` (see
    ``torvex._loader``; imported on first use, as it brings the code generator's model)."""
    from ._loader import load_descriptor_set as load

    return load(data)


__all__ = [
    "Enum",
    "Extension",
    "File",
    "LoadedSchema",
    "Message",
    "Oneof",
    "Presence",
    "Registry",
    "ScalarType",
    "descriptor",
    "field",
    "load_descriptor_set",
    "map_field",
    "oneof",
    "read_delimited",
    "repeated",
    "unknown_fields",
    "write_delimited",
]
