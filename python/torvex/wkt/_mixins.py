"""Helper methods of the well-known types, mixed into the classes of ``torvex.wkt``.

Mixins hold methods only: the fields, their storage and the codecs come from the message
classes themselves. Related classes (the Value inside a Struct, ...) are reached through the
field descriptors, so this module imports none of the schema modules.
"""

from __future__ import annotations

import math
import time
from collections.abc import (
    ItemsView,
    Iterable,
    Iterator,
    KeysView,
    Mapping,
    MutableMapping,
    MutableSequence,
    ValuesView,
)
from datetime import datetime, timedelta, timezone, tzinfo
from typing import (
    TYPE_CHECKING,
    Any,
    ClassVar,
    Protocol,
    Self,
    SupportsIndex,
    TypeVar,
    cast,
    overload,
)

from .._descriptors import (
    DescField,
    DescFieldValueList,
    DescFieldValueMap,
    DescFieldValueMessage,
    DescMessage,
    DescFieldValueEnum,
)
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
_T = TypeVar("_T")


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

    @classmethod
    def from_microseconds(cls, microseconds: int) -> Self:
        return cls.from_nanoseconds(_int(microseconds) * 1000)

    @classmethod
    def from_milliseconds(cls, milliseconds: int) -> Self:
        return cls.from_nanoseconds(_int(milliseconds) * 1_000_000)

    @classmethod
    def from_seconds(cls, seconds: int) -> Self:
        return cls.from_nanoseconds(_int(seconds) * _NANOS)

    # Instants before the epoch round down (toward the past), as the nanos field does.
    def to_microseconds(self) -> int:
        return self.to_nanoseconds() // 1000

    def to_milliseconds(self) -> int:
        return self.to_nanoseconds() // 1_000_000

    def to_seconds(self) -> int:
        return self.to_nanoseconds() // _NANOS

    def to_json_string(self) -> str:
        """The RFC 3339 form of the JSON mapping, e.g. ``"2024-02-29T12:30:00.500Z"``."""
        return cast(str, cast("Message", self)._to_json_value())

    @classmethod
    def from_json_string(cls, text: str) -> Self:
        """Parse an RFC 3339 timestamp (``Z`` or an offset; 0 to 9 fraction digits)."""
        return _from_json_string(cls, text)

    # An instant plus or minus a span is an instant; two instants differ by a Duration.
    def __add__(self, other: object) -> Self:
        span = _span_nanos(other)
        if span is None:
            return NotImplemented
        return self.from_nanoseconds(self.to_nanoseconds() + span)

    __radd__ = __add__

    @overload
    def __sub__(self, other: TimestampMixin) -> DurationMixin: ...
    @overload
    def __sub__(self, other: DurationMixin | timedelta) -> Self: ...

    def __sub__(self, other: object) -> Any:
        if isinstance(other, TimestampMixin):
            duration_cls = _duration_class()
            return duration_cls.from_nanoseconds(self.to_nanoseconds() - other.to_nanoseconds())
        span = _span_nanos(other)
        if span is None:
            return NotImplemented
        return self.from_nanoseconds(self.to_nanoseconds() - span)


def _int(value: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"expected int, got {type(value).__name__}")
    return value


def _from_json_string(cls: type[_T], text: str) -> _T:
    if not isinstance(text, str):
        raise TypeError(f"expected str, got {type(text).__name__}")
    return cast(_T, cast(Any, cls)._from_json_value(text))


def _span_nanos(other: object) -> int | None:
    """Nanoseconds of a Duration or timedelta; None for anything else."""
    if isinstance(other, DurationMixin):
        return other.to_nanoseconds()
    if isinstance(other, timedelta):
        return ((other.days * 86400 + other.seconds) * 1_000_000 + other.microseconds) * 1000
    return None


def _duration_class() -> type[DurationMixin]:
    # By name: the duration module imports this one.
    from importlib import import_module

    return cast("type[DurationMixin]", import_module("torvex.wkt.duration").Duration)


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

    @classmethod
    def from_microseconds(cls, microseconds: int) -> Self:
        return cls.from_nanoseconds(_int(microseconds) * 1000)

    @classmethod
    def from_milliseconds(cls, milliseconds: int) -> Self:
        return cls.from_nanoseconds(_int(milliseconds) * 1_000_000)

    @classmethod
    def from_seconds(cls, seconds: int) -> Self:
        return cls.from_nanoseconds(_int(seconds) * _NANOS)

    # A span truncates toward zero, so that -d converts to minus what d converts to.
    def to_microseconds(self) -> int:
        return _toward_zero(self.to_nanoseconds(), 1000)

    def to_milliseconds(self) -> int:
        return _toward_zero(self.to_nanoseconds(), 1_000_000)

    def to_seconds(self) -> int:
        return _toward_zero(self.to_nanoseconds(), _NANOS)

    def to_json_string(self) -> str:
        """The JSON mapping's form: seconds with 0, 3, 6 or 9 fraction digits, e.g. ``"1.5s"``."""
        return cast(str, cast("Message", self)._to_json_value())

    @classmethod
    def from_json_string(cls, text: str) -> Self:
        return _from_json_string(cls, text)

    def __add__(self, other: object) -> Self:
        span = _span_nanos(other)
        if span is None:
            return NotImplemented
        return self.from_nanoseconds(self.to_nanoseconds() + span)

    __radd__ = __add__

    def __sub__(self, other: object) -> Self:
        span = _span_nanos(other)
        if span is None:
            return NotImplemented
        return self.from_nanoseconds(self.to_nanoseconds() - span)

    def __rsub__(self, other: object) -> Self:
        span = _span_nanos(other)
        if span is None:
            return NotImplemented
        return self.from_nanoseconds(span - self.to_nanoseconds())

    def __neg__(self) -> Self:
        return self.from_nanoseconds(-self.to_nanoseconds())


def _toward_zero(total: int, unit: int) -> int:
    quotient = abs(total) // unit
    return -quotient if total < 0 else quotient


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

    @classmethod
    def all_fields(cls, message_type: type[Message]) -> Self:
        """A mask of every top-level field of ``message_type`` (proto names)."""
        return cls(paths=[f.name for f in _desc_of(message_type).fields])

    @classmethod
    def from_diff(cls, a: Message, b: Message) -> Self:
        """The paths where messages ``a`` and ``b`` (of one type) differ, in canonical form:
        sub-messages set on both sides are compared field by field, anything else (lists,
        maps, values, a sub-message on one side only) as a whole. Applying it with
        ``merge_message(b, a, replace_message_field=True, replace_repeated_field=True)`` makes
        ``a`` equal to ``b``."""
        _same_type(a, b)
        paths: list[str] = []
        _diff(a, b, "", paths, set(), 0)
        return cls(paths=paths).to_canonical()

    def to_canonical(self) -> Self:
        """The same mask in canonical form: sorted, without duplicates, without paths inside
        others (``a.b`` goes when ``a`` is there) and without empty paths."""
        return type(self)(paths=_tree_paths(_tree(self.paths)))

    def union(self, *others: FieldMaskMixin) -> Self:
        """The canonical mask of every field that this mask or one of ``others`` covers."""
        paths = list(self.paths)
        for other in others:
            paths.extend(_mask_paths(other))
        return type(self)(paths=_tree_paths(_tree(paths)))

    def intersect(self, other: FieldMaskMixin) -> Self:
        """The canonical mask of what both this mask and ``other`` cover."""
        mine = _tree(self.paths)
        both: list[str] = []
        for path in _mask_paths(other):
            node = mine
            for name in path.split("."):
                child = node.get(name)
                if child is None:
                    break  # not covered here
                if not child:
                    both.append(path)  # covered by a shorter path of this mask
                    break
                node = child
            else:
                both.extend(_tree_paths(node, path))  # what this mask covers below it
        return type(self)(paths=_tree_paths(_tree(both)))

    def is_valid_for(self, message_type: type[Message]) -> bool:
        """Whether every path names a field of ``message_type``, each step before the last
        through a singular message field (proto names)."""
        desc = _desc_of(message_type)
        return all(_resolve_path(desc, path) is not None for path in self.paths)

    def merge_message(
        self,
        source: Message,
        destination: Message,
        replace_message_field: bool = False,
        replace_repeated_field: bool = False,
    ) -> None:
        """Copy the fields the mask names from ``source`` into ``destination`` (same type).

        A field unset in ``source`` is cleared in ``destination``, except a message field,
        which is merged (or, with ``replace_message_field``, replaced); lists and maps are
        appended to (replaced with ``replace_repeated_field``). A path through a sub-message
        that ``source`` does not have is skipped. Raises ``ValueError`` for a path that names
        no field or steps through a field that is not a singular message.
        """
        _same_type(source, destination)
        options = (replace_message_field, replace_repeated_field)
        _merge(_tree(self.paths), source, destination, options)


def _mask_paths(mask: object) -> list[str]:
    if not isinstance(mask, FieldMaskMixin):
        raise TypeError(f"expected a FieldMask, got {type(mask).__name__}")
    return list(mask.paths)


def _desc_of(message_type: object) -> DescMessage:
    desc = getattr(message_type, "_desc", None)
    if not isinstance(message_type, type) or not isinstance(desc, DescMessage):
        raise TypeError(f"expected a torvex message class, got {message_type!r}")
    return desc


def _same_type(a: object, b: object) -> None:
    _desc_of(type(a))
    if type(a) is not type(b):
        raise TypeError(
            f"expected two messages of one type, got {type(a).__qualname__} and "
            f"{type(b).__qualname__}"
        )


# A mask as a tree of field names: a leaf (empty dict) covers the whole field, an inner node
# only the children it lists. The root is never a leaf.
_Tree = dict[str, "_Tree"]


def _tree(paths: Iterable[str]) -> _Tree:
    root: _Tree = {}
    for path in paths:
        if not isinstance(path, str):
            raise TypeError(f"field mask paths must be str, got {type(path).__name__}")
        node = root
        for name in path.split("."):
            child = node.get(name)
            if child is None:
                child = node[name] = {}
                node = child
            elif not child:
                break  # already covered by a shorter path
            else:
                node = child
        else:
            node.clear()  # this path covers everything that was below it
    return root


def _tree_paths(node: _Tree, prefix: str = "") -> list[str]:
    if not node:
        return [prefix] if prefix else []
    out: list[str] = []
    for name in sorted(node):
        out.extend(_tree_paths(node[name], f"{prefix}.{name}" if prefix else name))
    return out


def _field_by_proto_name(desc: DescMessage, name: str) -> DescField | None:
    for f in desc.fields:
        if f.name == name:
            return f
    return None


def _singular_message(f: DescField) -> DescMessage | None:
    """The type of a singular message field a path may step through; groups (delimited
    fields) are left out, as other runtimes' masks do."""
    kind = f.value
    if isinstance(kind, DescFieldValueMessage) and not kind.delimited_encoding:
        return kind.message
    return None


def _resolve_path(desc: DescMessage, path: str) -> DescField | None:
    *steps, last = path.split(".")
    for name in steps:
        f = _field_by_proto_name(desc, name)
        sub = None if f is None else _singular_message(f)
        if sub is None:
            return None
        desc = sub
    return _field_by_proto_name(desc, last)


def _has(msg: Message, f: DescField) -> bool:
    return msg.has_field(f.local_name)


def _value(msg: Message, f: DescField) -> Any:
    group = f.oneof
    if group is None:
        return getattr(msg, f.local_name)
    chosen = getattr(msg, group.local_name)
    return chosen.value if isinstance(chosen, Oneof) and chosen.field == f.local_name else None


def _put(msg: Message, f: DescField, value: Any) -> None:
    group = f.oneof
    if group is None:
        setattr(msg, f.local_name, value)
    else:
        setattr(msg, group.local_name, Oneof(f.local_name, value))


def _copy(value: Any) -> Any:
    return value.__deepcopy__(None) if hasattr(value, "__deepcopy__") else value


def _merge(node: _Tree, src: Message, dst: Message, options: tuple[bool, bool]) -> bool:
    """Apply the mask tree ``node``; True when ``dst`` was touched. A sub-message the paths
    go through is created in ``dst`` only when something below it is touched (set or
    cleared), which is when other runtimes create it too."""
    desc = type(src)._desc
    touched = False
    for name in sorted(node):
        f = _field_by_proto_name(desc, name)
        if f is None:
            raise ValueError(f"{desc.type_name} has no field {name!r}")
        child = node[name]
        if child:
            sub_desc = _singular_message(f)
            if sub_desc is None:
                raise ValueError(
                    f"field {name!r} of {desc.type_name} is not a singular message field and "
                    "cannot have sub-fields"
                )
            if not _has(src, f):
                continue
            existing = _value(dst, f) if _has(dst, f) else None
            target: Message = (
                cast("type[Message]", sub_desc.type)() if existing is None else existing
            )
            if _merge(child, _value(src, f), target, options):
                if existing is None:
                    _put(dst, f, target)
                touched = True
        else:
            touched = _merge_leaf(f, src, dst, options) or touched
    return touched


def _merge_leaf(f: DescField, src: Message, dst: Message, options: tuple[bool, bool]) -> bool:
    """Copy one named field; False only when nothing was done to ``dst``."""
    replace_message, replace_repeated = options
    kind = f.value
    if isinstance(kind, (DescFieldValueList, DescFieldValueMap)):
        value = getattr(src, f.local_name)
        if replace_repeated:
            dst.clear_field(f.local_name)
        target = getattr(dst, f.local_name)
        if isinstance(kind, DescFieldValueList):
            target.extend([_copy(item) for item in value])
        else:
            target.update({key: _copy(item) for key, item in value.items()})
        return True
    if isinstance(kind, DescFieldValueMessage):
        if replace_message:
            dst.clear_field(f.local_name)
        if not _has(src, f):
            return replace_message
        value = _value(src, f)
        if _has(dst, f):
            _value(dst, f).merge_from(value)
        else:
            _put(dst, f, _copy(value))
        return True
    if _has(src, f):
        _put(dst, f, _value(src, f))
    else:
        dst.clear_field(f.local_name)
    return True


def _diff(
    a: Message, b: Message, prefix: str, out: list[str], on_path: set[tuple[int, int]], depth: int
) -> None:
    # A pair met again on the way down can only be a reference cycle on both sides.
    pair = (id(a), id(b))
    if depth > 100 or pair in on_path:
        raise RecursionError("message graph too deep or cyclic while comparing messages")
    on_path.add(pair)
    for f in type(a)._desc.fields:
        has_a, has_b = _has(a, f), _has(b, f)
        if not has_a and not has_b:
            continue
        va, vb = _value(a, f), _value(b, f)
        if has_a == has_b and va is vb:
            continue
        if has_a and has_b and _singular_message(f) is not None and type(va) is type(vb):
            _diff(va, vb, f"{prefix}{f.name}.", out, on_path, depth + 1)
        elif has_a != has_b or not va == vb:
            out.append(prefix + f.name)
    on_path.discard(pair)


def _value_class(cls: type[_Base]) -> type[ValueMixin]:
    """The Value class of a Struct or ListValue class."""
    by_name = cls._desc._fields_by_name
    value_cls = _field_class(cls, "values" if "values" in by_name else "fields")
    return cast("type[ValueMixin]", value_cls)


class StructMixin(_Base):
    __slots__ = ()
    fields: dict[str, Any]

    # Registered rather than derived: a message class cannot also take the ABCs' metaclass.
    def __init_subclass__(cls, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        MutableMapping.register(cls)

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
        sort_keys: bool = False,
    ) -> dict[str, Any]:
        items = sorted(self.fields.items()) if sort_keys else self.fields.items()
        return {key: value.to_python() for key, value in items}

    # The MutableMapping protocol over ``fields``: items read as plain values (a nested
    # Struct or ListValue as the live message, so ``s["a"]["b"] = 1`` writes through) and
    # are stored as Values converted by ``Value.from_python``.
    def __getitem__(self, key: str) -> Any:
        return self.fields[key]._item()

    def __setitem__(self, key: str, value: Any) -> None:
        if not isinstance(key, str):
            raise TypeError(f"Struct keys must be str, got {type(key).__name__}")
        self.fields[key] = _value_class(type(self))._stored(value)

    def __delitem__(self, key: str) -> None:
        del self.fields[key]

    def __iter__(self) -> Iterator[str]:
        return iter(self.fields)

    def __len__(self) -> int:
        return len(self.fields)

    def __contains__(self, key: object) -> bool:
        return key in self.fields

    if TYPE_CHECKING:
        def get(self, key: str, default: Any = None) -> Any: ...
        def keys(self) -> KeysView[str]: ...
        def values(self) -> ValuesView[Any]: ...
        def items(self) -> ItemsView[str, Any]: ...
        def pop(self, key: str, default: Any = ...) -> Any: ...
        def popitem(self) -> tuple[str, Any]: ...
        def setdefault(self, key: str, default: Any = None) -> Any: ...
        def update(self, other: Any = (), /, **kwargs: Any) -> None: ...
    else:
        get = MutableMapping.get
        keys = MutableMapping.keys
        values = MutableMapping.values
        items = MutableMapping.items
        pop = MutableMapping.pop
        popitem = MutableMapping.popitem
        setdefault = MutableMapping.setdefault
        update = MutableMapping.update

    def get_or_create_struct(self, key: str) -> StructMixin:
        """The Struct under ``key``, stored first when ``key`` holds no Struct."""
        value = self.fields.get(key)
        if value is None or not value._holds("struct_value"):
            self[key] = {}
        return cast(StructMixin, self[key])

    def get_or_create_list(self, key: str) -> ListValueMixin:
        """The ListValue under ``key``, stored first when ``key`` holds no ListValue."""
        value = self.fields.get(key)
        if value is None or not value._holds("list_value"):
            self[key] = []
        return cast(ListValueMixin, self[key])


class ListValueMixin(_Base):
    __slots__ = ()
    values: list[Any]

    def __init_subclass__(cls, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        MutableSequence.register(cls)

    @classmethod
    def from_list(cls, items: Iterable[Any]) -> Self:
        value_cls = _value_class(cls)
        return cls(values=[value_cls.from_python(item) for item in items])

    def to_list(self) -> list[Any]:
        return [value.to_python() for value in self.values]

    # The MutableSequence protocol over ``values``, with Struct's conversions.
    @overload
    def __getitem__(self, index: SupportsIndex) -> Any: ...
    @overload
    def __getitem__(self, index: slice) -> list[Any]: ...

    def __getitem__(self, index: SupportsIndex | slice) -> Any:
        if isinstance(index, slice):
            return [value._item() for value in self.values[index]]
        return self.values[index]._item()

    def __setitem__(self, index: SupportsIndex | slice, value: Any) -> None:
        stored = _value_class(type(self))._stored
        if isinstance(index, slice):
            self.values[index] = [stored(item) for item in value]
        else:
            self.values[index] = stored(value)

    def __delitem__(self, index: SupportsIndex | slice) -> None:
        del self.values[index]

    def __len__(self) -> int:
        return len(self.values)

    def insert(self, index: SupportsIndex, value: Any) -> None:
        self.values.insert(index, _value_class(type(self))._stored(value))

    if TYPE_CHECKING:
        def __iter__(self) -> Iterator[Any]: ...
        def __reversed__(self) -> Iterator[Any]: ...
        def __contains__(self, value: object) -> bool: ...
        def __iadd__(self, values: Iterable[Any]) -> Self: ...
        def append(self, value: Any) -> None: ...
        def extend(self, values: Iterable[Any]) -> None: ...
        def pop(self, index: int = -1) -> Any: ...
        def remove(self, value: Any) -> None: ...
        def reverse(self) -> None: ...
        def index(self, value: Any, start: int = 0, stop: int = ...) -> int: ...
        def count(self, value: Any) -> int: ...
    else:
        __iter__ = MutableSequence.__iter__
        __reversed__ = MutableSequence.__reversed__
        __contains__ = MutableSequence.__contains__
        __iadd__ = MutableSequence.__iadd__
        append = MutableSequence.append
        extend = MutableSequence.extend
        pop = MutableSequence.pop
        remove = MutableSequence.remove
        reverse = MutableSequence.reverse
        index = MutableSequence.index
        count = MutableSequence.count

    def add_struct(self) -> StructMixin:
        """Append an empty Struct and return it (live: changes show in the list)."""
        self.append({})
        return cast(StructMixin, self[-1])

    def add_list(self) -> ListValueMixin:
        """Append an empty ListValue and return it."""
        self.append([])
        return cast(ListValueMixin, self[-1])


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

    @classmethod
    def _stored(cls, x: Any) -> Self:
        """What a Struct or ListValue stores for ``x``: a Value owned by it alone (message
        values are deep-copied, so no container ends up inside itself)."""
        value = cls.from_python(x)
        if not isinstance(x, (str, int, float)) and x is not None:
            value = cast(Any, value).__deepcopy__(None)
        return value

    def _holds(self, member: str) -> bool:
        kind = self.kind
        return isinstance(kind, Oneof) and kind.field == member

    def _item(self) -> Any:
        """A Struct's or ListValue's item: ``to_python``, except that a nested Struct or
        ListValue is the message itself."""
        kind = self.kind
        if isinstance(kind, Oneof) and kind.field in ("struct_value", "list_value"):
            return kind.value
        return self.to_python()

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

