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
from typing import TYPE_CHECKING, Any, Protocol, TypeVar

from .._oneof import Oneof

if TYPE_CHECKING:
    from .. import Message

_NANOS = 1_000_000_000
_EPOCH = datetime(1970, 1, 1, tzinfo=timezone.utc)
DEFAULT_TYPE_URL_PREFIX = "type.googleapis.com/"

_M = TypeVar("_M")


class _Registry(Protocol):
    def message(self, full_name: str) -> Any: ...


def _field_class(cls: type, field_name: str) -> type:
    """The message class of a message-typed field, list element or map value of ``cls``."""
    kind = cls._desc._fields_by_name[field_name].value  # type: ignore[attr-defined]
    for attr in ("message", "element", "value"):
        desc = getattr(kind, attr, None)
        if desc is not None and hasattr(desc, "type"):
            return desc.type
    raise TypeError(f"{field_name} of {cls.__name__} is not message-typed")


def _split_nanos(total: int) -> tuple[int, int]:
    """Seconds and nanos of a signed nanosecond count, both with its sign (Duration's rule)."""
    seconds, nanos = divmod(abs(total), _NANOS)
    return (-seconds, -nanos) if total < 0 else (seconds, nanos)


class TimestampMixin:
    __slots__ = ()
    seconds: int
    nanos: int

    @classmethod
    def from_datetime(cls: type[_M], dt: datetime) -> _M:
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
        return cls(seconds=seconds, nanos=delta.microseconds * 1000)  # type: ignore[call-arg]

    def to_datetime(self, tz: tzinfo = timezone.utc) -> datetime:
        """An aware ``datetime`` in ``tz``; nanoseconds below a microsecond are truncated."""
        micros = self.nanos // 1000
        return (_EPOCH + timedelta(seconds=self.seconds, microseconds=micros)).astimezone(tz)

    @classmethod
    def now(cls: type[_M]) -> _M:
        return cls.from_nanoseconds(time.time_ns())  # type: ignore[attr-defined,no-any-return]

    @classmethod
    def from_nanoseconds(cls: type[_M], nanoseconds: int) -> _M:
        """Nanoseconds since the Unix epoch; nanos stay within 0..999999999, also before it."""
        seconds, nanos = divmod(int(nanoseconds), _NANOS)
        return cls(seconds=seconds, nanos=nanos)  # type: ignore[call-arg]

    def to_nanoseconds(self) -> int:
        return self.seconds * _NANOS + self.nanos


class DurationMixin:
    __slots__ = ()
    seconds: int
    nanos: int

    @classmethod
    def from_timedelta(cls: type[_M], td: timedelta) -> _M:
        if not isinstance(td, timedelta):
            raise TypeError(f"expected timedelta, got {type(td).__name__}")
        micros = (td.days * 86400 + td.seconds) * 1_000_000 + td.microseconds
        return cls.from_nanoseconds(micros * 1000)  # type: ignore[attr-defined,no-any-return]

    def to_timedelta(self) -> timedelta:
        """The duration as a ``timedelta``; nanoseconds are truncated toward zero to micros."""
        total = self.to_nanoseconds()
        micros = abs(total) // 1000
        return timedelta(microseconds=-micros if total < 0 else micros)

    @classmethod
    def from_nanoseconds(cls: type[_M], nanoseconds: int) -> _M:
        seconds, nanos = _split_nanos(int(nanoseconds))
        return cls(seconds=seconds, nanos=nanos)  # type: ignore[call-arg]

    def to_nanoseconds(self) -> int:
        return self.seconds * _NANOS + self.nanos


class AnyMixin:
    __slots__ = ()
    type_url: str
    value: bytes

    @classmethod
    def pack(cls: type[_M], msg: Message, type_url_prefix: str = DEFAULT_TYPE_URL_PREFIX) -> _M:
        """An Any holding ``msg`` in binary form, typed by ``type_url_prefix`` + its full name."""
        desc = getattr(type(msg), "_desc", None)
        if desc is None or not hasattr(msg, "to_binary"):
            raise TypeError(f"expected a torvex message, got {type(msg).__name__}")
        if not isinstance(type_url_prefix, str):
            raise TypeError("type_url_prefix must be a str")
        if type_url_prefix and not type_url_prefix.endswith("/"):
            type_url_prefix += "/"
        return cls(  # type: ignore[call-arg]
            type_url=type_url_prefix + desc.type_name, value=msg.to_binary()
        )

    @property
    def type_name(self) -> str:
        """The full name of the packed type: the type URL after its last "/"."""
        return self.type_url.rpartition("/")[2]

    def is_type(self, cls: type) -> bool:
        """Whether the payload is of message class ``cls`` (compared by full name)."""
        return self.type_name == cls._desc.type_name  # type: ignore[attr-defined,no-any-return]

    def unpack(self, registry_or_class: _Registry | type) -> Any:
        """The payload as a message: of the given class (which must match the type URL), or of
        the class the registry knows for the type URL."""
        name = self.type_name
        target = registry_or_class
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
            cls = desc.type
        return cls.from_binary(self.value)


class FieldMaskMixin:
    __slots__ = ()
    paths: list[str]

    @classmethod
    def from_paths(cls: type[_M], *paths: str | Iterable[str]) -> _M:
        """``FieldMask.from_paths("a", "b.c")`` or ``FieldMask.from_paths(["a", "b.c"])``."""
        items: Iterable[Any] = paths
        if len(paths) == 1 and not isinstance(paths[0], str):
            items = paths[0]
        out = []
        for path in items:
            if not isinstance(path, str):
                raise TypeError(f"field mask paths must be str, got {type(path).__name__}")
            out.append(path)
        return cls(paths=out)  # type: ignore[call-arg]


def _value_class(cls: type) -> type:
    """The Value class of a Struct or ListValue class."""
    by_name = cls._desc._fields_by_name  # type: ignore[attr-defined]
    return _field_class(cls, "values" if "values" in by_name else "fields")


class StructMixin:
    __slots__ = ()
    fields: dict[str, Any]

    @classmethod
    def from_dict(cls: type[_M], d: Mapping[str, Any]) -> _M:
        """A Struct of a mapping of JSON-like Python values (see ``Value.from_python``)."""
        if not isinstance(d, Mapping):
            raise TypeError(f"expected a mapping, got {type(d).__name__}")
        value_cls: Any = _value_class(cls)
        fields = {}
        for key, item in d.items():
            if not isinstance(key, str):
                raise TypeError(f"Struct keys must be str, got {type(key).__name__}")
            fields[key] = value_cls.from_python(item)
        return cls(fields=fields)  # type: ignore[call-arg]

    def to_dict(self) -> dict[str, Any]:
        return {key: value.to_python() for key, value in self.fields.items()}


class ListValueMixin:
    __slots__ = ()
    values: list[Any]

    @classmethod
    def from_list(cls: type[_M], items: Iterable[Any]) -> _M:
        value_cls: Any = _value_class(cls)
        return cls(values=[value_cls.from_python(item) for item in items])  # type: ignore[call-arg]

    def to_list(self) -> list[Any]:
        return [value.to_python() for value in self.values]


class ValueMixin:
    __slots__ = ()
    kind: Oneof[Any] | None

    @classmethod
    def from_python(cls: type[_M], x: Any) -> _M:
        """A Value of ``None``, a bool, a finite number, a str, a mapping with str keys or a
        list/tuple of such values (nested Struct/ListValue/Value instances are taken as is)."""
        c: Any = cls
        if x is None:
            null_kind = c._desc._fields_by_name["null_value"].value.enum.type
            return c(kind=Oneof("null_value", null_kind(0)))  # type: ignore[no-any-return]
        if isinstance(x, c):
            return x  # type: ignore[no-any-return]
        if isinstance(x, bool):
            return c(kind=Oneof("bool_value", x))  # type: ignore[no-any-return]
        if isinstance(x, (int, float)):
            number = float(x)
            if not math.isfinite(number):
                raise ValueError("value cannot be NaN or Infinity")
            return c(kind=Oneof("number_value", number))  # type: ignore[no-any-return]
        if isinstance(x, str):
            return c(kind=Oneof("string_value", x))  # type: ignore[no-any-return]
        struct_cls: Any = _field_class(c, "struct_value")
        list_cls: Any = _field_class(c, "list_value")
        if isinstance(x, struct_cls):
            return c(kind=Oneof("struct_value", x))  # type: ignore[no-any-return]
        if isinstance(x, list_cls):
            return c(kind=Oneof("list_value", x))  # type: ignore[no-any-return]
        if isinstance(x, Mapping):
            return c(kind=Oneof("struct_value", struct_cls.from_dict(x)))  # type: ignore
        if isinstance(x, (list, tuple)):
            return c(kind=Oneof("list_value", list_cls.from_list(x)))  # type: ignore[no-any-return]
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
