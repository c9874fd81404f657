"""The standard files, one module per file: the well-known types (package ``google.protobuf``),
``descriptor.proto`` and ``compiler/plugin.proto``, the type and API descriptions (``api``,
``type``, ``source_context``) and the editions feature files (``cpp_features``,
``java_features``, ``go_features``, package ``pb``).

Their binary encoding is the standard's, and the JSON codec gives them their special JSON forms.
Helpers (``Timestamp.from_datetime``, ``Any.pack``, ``Struct.from_dict``, ...) come from
``torvex.wkt._mixins``.
"""

from .. import _scope

TYPE_CHECKING = False
if TYPE_CHECKING:
    from .any import Any
    from .api import Api, Method, Mixin
    from .duration import Duration
    from .empty import Empty
    from .field_mask import FieldMask
    from .source_context import SourceContext
    from .struct import ListValue, NullValue, Struct, Value
    from .timestamp import Timestamp
    from .type import Enum, EnumValue, Field, Option, Syntax, Type
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
    **dict.fromkeys(("Api", "Method", "Mixin"), "api"),
    **dict.fromkeys(("Enum", "EnumValue", "Field", "Option", "Syntax", "Type"), "type"),
    "SourceContext": "source_context",
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
_SUBMODULES = frozenset(("_mixins", "any", "api", "descriptor", "duration", "empty", "field_mask"))
_SUBMODULES |= {"source_context", "struct", "timestamp", "type", "wrappers", "compiler"}
# The editions feature files (package ``pb``): extensions of FeatureSet, imported by name only.
_SUBMODULES |= {"cpp_features", "go_features", "java_features"}


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
    "Api",
    "BoolValue",
    "BytesValue",
    "DoubleValue",
    "Duration",
    "Empty",
    "Enum",
    "EnumValue",
    "Field",
    "FieldMask",
    "FloatValue",
    "Int32Value",
    "Int64Value",
    "ListValue",
    "Method",
    "Mixin",
    "NullValue",
    "Option",
    "SourceContext",
    "StringValue",
    "Struct",
    "Syntax",
    "Timestamp",
    "Type",
    "UInt32Value",
    "UInt64Value",
    "Value",
]
