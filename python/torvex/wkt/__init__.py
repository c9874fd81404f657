"""The standard well-known types (package ``google.protobuf``), one module per standard file.

Their binary encoding is the standard's, and the JSON codec gives them their special JSON forms.
Helpers (``Timestamp.from_datetime``, ``Any.pack``, ``Struct.from_dict``, ...) come from
``torvex.wkt._mixins``.
"""

from .. import _scope

TYPE_CHECKING = False
if TYPE_CHECKING:
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

# Each class's module is imported when the class is first asked for, so importing one of
# these modules (descriptor.proto's above all) does not import them all.
_MODULE_OF = {
    "Any": "any",
    "Duration": "duration",
    "Empty": "empty",
    "FieldMask": "field_mask",
    "ListValue": "struct",
    "NullValue": "struct",
    "Struct": "struct",
    "Value": "struct",
    "Timestamp": "timestamp",
    **dict.fromkeys(
        (
            "BoolValue",
            "BytesValue",
            "DoubleValue",
            "FloatValue",
            "Int32Value",
            "Int64Value",
            "StringValue",
            "UInt32Value",
            "UInt64Value",
        ),
        "wrappers",
    ),
}
_scope.lazy_modules.update(
    {f"google.protobuf.{name}": f"{__name__}.{module}" for name, module in _MODULE_OF.items()}
)
_SUBMODULES = frozenset(("_mixins", "any", "descriptor", "duration", "empty", "field_mask"))
_SUBMODULES |= {"struct", "timestamp", "wrappers", "compiler"}


if not TYPE_CHECKING:  # checkers see the imports above instead

    def __getattr__(name: str) -> object:
        from importlib import import_module

        module = _MODULE_OF.get(name)
        if module is not None:
            value = getattr(import_module(f"{__name__}.{module}"), name)
        elif name in _SUBMODULES:
            value = import_module(f"{__name__}.{name}")
        else:
            raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
        globals()[name] = value
        return value

    def __dir__() -> list[str]:
        return sorted(set(globals()) | set(_MODULE_OF) | _SUBMODULES)


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
