"""Helper methods of the well-known types, mixed into the classes of ``torvex.wkt``.

Mixins hold methods only: the fields, their storage and the codecs come from the message
classes themselves. Related classes (the Value inside a Struct, ...) are reached through the
field descriptors, so this module imports none of the schema modules.
"""

from __future__ import annotations

import math
import time
from collections.abc import Iterable, Mapping
from datetime import datetime, timedelta, timezone, tzinfo
from typing import TYPE_CHECKING, Any, ClassVar, Protocol, Self, TypeVar, cast, overload

from .._descriptors import DescFieldValueEnum, DescMessage
from .._oneof import Oneof

if TYPE_CHECKING:
    from .._message import Message

    class _Base:
        """What the mixins use of the message classes they are mixed into."""

        __slots__ = ()
        _desc: ClassVar[DescMessage]

        # Each message class's own constructor takes its fields as keywords.
        def __init__(self, **fields: Any) -> None: ...

else:
    _Base = object

_NANOS = 1_000_000_000
_EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)
DEFAULT_TYPE_URL_PREFIX = "type.googleapis.com/"

_Msg = TypeVar("_Msg", bound="Message")


class _Registry(Protocol):
    def message(self, full_name: str) -> DescMessage | None: ...


def _field_class(cls: type[_Base], field_name: str) -> type:
    """The message class of a message-typed field, list element or map value of ``cls``."""
    kind = cls._desc._fields_by_name[field_name].value
    for attr in ("message", "element", "value"):
        desc = getattr(kind, attr, None)
        if desc is not None and hasattr(desc, "type"):
            return cast(type, desc.type)
    raise TypeError(f"{field_name} of {cls.__name__} is not message-typed")


# The ranges the JSON form allows: years 1 to 9999, and durations within 10000 years.
_TIMESTAMP_SECONDS = range(-62135596800, 253402300799 + 1)
_DURATION_SECONDS = range(-315576000000, 315576000000 + 1)


def _checked_timestamp(seconds: int, nanos: int) -> int:
    """Nanoseconds since the epoch; a value the JSON writer would refuse raises the same
    ValueError."""
    if seconds not in _TIMESTAMP_SECONDS:
        raise ValueError("timestamp seconds out of range")
    if not 0 <= nanos < _NANOS:
        raise ValueError("timestamp nanos out of range")
    return seconds * _NANOS + nanos


def _checked_duration(seconds: int, nanos: int) -> int:
    """Signed nanoseconds, refused as the JSON writer refuses them."""
    if seconds not in _DURATION_SECONDS:
        raise ValueError("duration seconds out of range")
    if not -_NANOS < nanos < _NANOS:
        raise ValueError("duration nanos out of range")
    if (seconds > 0 and nanos < 0) or (seconds < 0 and nanos > 0):
        raise ValueError("duration seconds and nanos have different signs")
    return seconds * _NANOS + nanos


def _split_nanos(total: int) -> tuple[int, int]:
    """Seconds and nanos of a signed nanosecond count, both with its sign (Duration's rule)."""
    seconds, nanos = divmod(abs(total), _NANOS)
    return (-seconds, -nanos) if total < 0 else (seconds, nanos)


class TimestampMixin(_Base):
    __slots__ = ()
    seconds: int
    nanos: int

    @classmethod
    def from_datetime(cls, dt: datetime) -> Self:
        """The instant of an aware ``datetime``. Naive datetimes are refused: their zone would
        have to be guessed."""
        if not isinstance(dt, datetime):
            raise TypeError(f"expected datetime, got {type(dt).__name__}")
        if dt.utcoffset() is None:
            raise ValueError(
                "naive datetime: attach a time zone (for example tzinfo=timezone.utc) so the "
                "instant is unambiguous"
            )
        delta = dt - _EPOCH
        seconds = delta.days * 86400 + delta.seconds
        return cls(seconds=seconds, nanos=delta.microseconds * 1000)

    def to_datetime(self, tz: tzinfo = timezone.utc) -> datetime:
        """An aware ``datetime`` in ``tz``; nanoseconds below a microsecond are truncated.
        Values outside the standard's range raise ``ValueError``, as ``to_json`` does."""
        micros = _checked_timestamp(self.seconds, self.nanos) // 1000
        return (_EPOCH + timedelta(microseconds=micros)).astimezone(tz)

    @classmethod
    def now(cls) -> Self:
        return cls.from_nanoseconds(time.time_ns())

    @classmethod
    def from_nanoseconds(cls, nanoseconds: int) -> Self:
        """Nanoseconds since the Unix epoch; nanos stay within 0..999999999, also before it."""
        seconds, nanos = divmod(int(nanoseconds), _NANOS)
        return cls(seconds=seconds, nanos=nanos)

    def to_nanoseconds(self) -> int:
        return _checked_timestamp(self.seconds, self.nanos)


class DurationMixin(_Base):
    __slots__ = ()
    seconds: int
    nanos: int

    @classmethod
    def from_timedelta(cls, td: timedelta) -> Self:
        if not isinstance(td, timedelta):
            raise TypeError(f"expected timedelta, got {type(td).__name__}")
        micros = (td.days * 86400 + td.seconds) * 1_000_000 + td.microseconds
        return cls.from_nanoseconds(micros * 1000)

    def to_timedelta(self) -> timedelta:
        """The duration as a ``timedelta``; nanoseconds are truncated toward zero to micros."""
        total = self.to_nanoseconds()
        micros = abs(total) // 1000
        return timedelta(microseconds=-micros if total < 0 else micros)

    @classmethod
    def from_nanoseconds(cls, nanoseconds: int) -> Self:
        seconds, nanos = _split_nanos(int(nanoseconds))
        return cls(seconds=seconds, nanos=nanos)

    def to_nanoseconds(self) -> int:
        return _checked_duration(self.seconds, self.nanos)


class AnyMixin(_Base):
    __slots__ = ()
    type_url: str
    value: bytes

    @classmethod
    def pack(cls, msg: Message, type_url_prefix: str = DEFAULT_TYPE_URL_PREFIX) -> Self:
        """An Any holding ``msg`` in binary form, typed by ``type_url_prefix`` + its full name."""
        desc = getattr(type(msg), "_desc", None)
        if desc is None or not hasattr(msg, "to_binary"):
            raise TypeError(f"expected a torvex message, got {type(msg).__name__}")
        if not isinstance(type_url_prefix, str):
            raise TypeError("type_url_prefix must be a str")
        if type_url_prefix and not type_url_prefix.endswith("/"):
            type_url_prefix += "/"
        return cls(
            type_url=type_url_prefix + desc.type_name, value=msg.to_binary()
        )

    @property
    def type_name(self) -> str:
        """The full name of the packed type: the type URL after its last "/"."""
        return self.type_url.rpartition("/")[2]

    def is_type(self, cls: type[Message]) -> bool:
        """Whether the payload is of message class ``cls`` (compared by full name)."""
        return self.type_name == cls._desc.type_name

    @overload
    def unpack(self, registry_or_class: type[_Msg]) -> _Msg: ...
    @overload
    def unpack(self, registry_or_class: _Registry) -> Message: ...

    def unpack(self, registry_or_class: _Registry | type[Message]) -> Message:
        """The payload as a message: of the given class (which must match the type URL), or of
        the class the registry knows for the type URL."""
        name = self.type_name
        target = registry_or_class
        cls: type[Message]
        if isinstance(target, type):
            expected = getattr(getattr(target, "_desc", None), "type_name", None)
            if expected is None:
                raise TypeError(f"expected a torvex message class, got {target.__name__}")
            if expected != name:
                raise ValueError(f"Any holds {self.type_url!r}, not a {expected}")
            cls = target
        else:
            desc = target.message(name)
            if desc is None:
                raise ValueError(f"Any holds {self.type_url!r}, which is not in the registry")
            cls = cast("type[Message]", desc.type)
        return cls.from_binary(self.value)


class FieldMaskMixin(_Base):
    __slots__ = ()
    paths: list[str]

    @classmethod
    def from_paths(cls, *paths: str | Iterable[str]) -> Self:
        """``FieldMask.from_paths("a", "b.c")`` or ``FieldMask.from_paths(["a", "b.c"])``."""
        items: Iterable[Any] = paths
        if len(paths) == 1 and not isinstance(paths[0], str):
            items = paths[0]
        out = []
        for path in items:
            if not isinstance(path, str):
                raise TypeError(f"field mask paths must be str, got {type(path).__name__}")
            out.append(path)
        return cls(paths=out)


def _value_class(cls: type[_Base]) -> type[ValueMixin]:
    """The Value class of a Struct or ListValue class."""
    by_name = cls._desc._fields_by_name
    value_cls = _field_class(cls, "values" if "values" in by_name else "fields")
    return cast("type[ValueMixin]", value_cls)


class StructMixin(_Base):
    __slots__ = ()
    fields: dict[str, Any]

    # For a Struct the JSON value tree is the plain dict, so these are the Message methods of
    # the same names; their keyword options do not change a Struct's form and are accepted
    # only so a Struct stands wherever a message does.
    @classmethod
    def from_dict(
        cls, data: Any, *, ignore_unknown_fields: bool = False, registry: Any = None
    ) -> Self:
        """A Struct of a mapping of JSON-like Python values (see ``Value.from_python``)."""
        if not isinstance(data, Mapping):
            raise TypeError(f"expected a mapping, got {type(data).__name__}")
        value_cls = _value_class(cls)
        fields = {}
        for key, item in data.items():
            if not isinstance(key, str):
                raise TypeError(f"Struct keys must be str, got {type(key).__name__}")
            fields[key] = value_cls.from_python(item)
        return cls(fields=fields)

    def to_dict(
        self,
        *,
        registry: Any = None,
        always_emit_implicit: bool = False,
        print_enums_as_ints: bool = False,
        use_proto_field_name: bool = False,
    ) -> dict[str, Any]:
        return {key: value.to_python() for key, value in self.fields.items()}


class ListValueMixin(_Base):
    __slots__ = ()
    values: list[Any]

    @classmethod
    def from_list(cls, items: Iterable[Any]) -> Self:
        value_cls = _value_class(cls)
        return cls(values=[value_cls.from_python(item) for item in items])

    def to_list(self) -> list[Any]:
        return [value.to_python() for value in self.values]


class ValueMixin(_Base):
    __slots__ = ()
    kind: Oneof[Any] | None

    @classmethod
    def from_python(cls, x: Any) -> Self:
        """A Value of ``None``, a bool, a finite number, a str, a mapping with str keys or a
        list/tuple of such values (nested Struct/ListValue/Value instances are taken as is)."""
        if x is None:
            null_kind = cls._desc._fields_by_name["null_value"].value
            assert isinstance(null_kind, DescFieldValueEnum)
            return cls(kind=Oneof("null_value", null_kind.enum.type(0)))
        if isinstance(x, cls):
            return x
        if isinstance(x, bool):
            return cls(kind=Oneof("bool_value", x))
        if isinstance(x, (int, float)):
            number = float(x)
            if not math.isfinite(number):
                raise ValueError("value cannot be NaN or Infinity")
            return cls(kind=Oneof("number_value", number))
        if isinstance(x, str):
            return cls(kind=Oneof("string_value", x))
        struct_cls = cast("type[StructMixin]", _field_class(cls, "struct_value"))
        list_cls = cast("type[ListValueMixin]", _field_class(cls, "list_value"))
        if isinstance(x, struct_cls):
            return cls(kind=Oneof("struct_value", x))
        if isinstance(x, list_cls):
            return cls(kind=Oneof("list_value", x))
        if isinstance(x, Mapping):
            return cls(kind=Oneof("struct_value", struct_cls.from_dict(x)))
        if isinstance(x, (list, tuple)):
            return cls(kind=Oneof("list_value", list_cls.from_list(x)))
        raise TypeError(f"cannot represent {type(x).__name__} as a google.protobuf.Value")

    def to_python(self) -> Any:
        """None, bool, float, str, dict or list; the inverse of ``from_python``."""
        kind = self.kind
        if not isinstance(kind, Oneof):
            raise ValueError("value must have exactly one field set")
        name, value = kind.field, kind.value
        if name == "null_value":
            return None
        if name == "struct_value":
            return value.to_dict()
        if name == "list_value":
            return value.to_list()
        return value
