"""Enum types: ``torvex.Enum`` is an ``IntEnum`` whose class carries its ``DescEnum``."""

from __future__ import annotations

import enum
from collections.abc import Mapping
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, ClassVar

from . import _scope
from ._descriptors import DescEnum, DescEnumValue, DescFile
from ._names import proto_name_for

_INT32_MIN = -(2**31)
_INT32_MAX = 2**31 - 1

# Member names Python's enum machinery refuses; keywords are escaped as well.
_RESERVED_MEMBER_NAMES = frozenset({"mro"})


class EnumMeta(enum.EnumType):
    """Builds the ``DescEnum`` of each ``torvex.Enum`` subclass.

    Class keywords: ``file`` (a ``torvex.File``; nested enums take their enclosing type's),
    ``name`` (proto name, default the class name), ``open`` (default: True in proto3 files,
    False in proto2 files), ``value_names`` and ``json_names`` (member name -> proto name /
    JSON name, for values whose names differ from the member names).
    """

    if TYPE_CHECKING:
        _desc: DescEnum

    def __new__(
        mcls,
        cls_name: str,
        bases: tuple[type, ...],
        classdict: Any,
        /,
        *,
        file: DescFile | None = None,
        name: str | None = None,
        open: bool | None = None,
        value_names: Mapping[str, str] | None = None,
        json_names: Mapping[str, str] | None = None,
        **kwargs: Any,
    ) -> EnumMeta:
        cls = super().__new__(mcls, cls_name, bases, classdict, **kwargs)
        if not any(isinstance(base, EnumMeta) for base in bases):
            return cls  # torvex.Enum itself
        if file is not None and not isinstance(file, DescFile):
            raise TypeError(f"file must be a torvex.File, got {type(file).__name__}")
        if name is not None and (not isinstance(name, str) or not name):
            raise TypeError("name must be a non-empty str")
        if open is not None and not isinstance(open, bool):
            raise TypeError("open must be a bool")
        members: Mapping[str, Any] = cls.__members__
        if not members:
            raise TypeError(f"enum {cls_name} must have at least one value")
        value_names = dict(value_names or {})
        json_names = dict(json_names or {})
        for option, names in (("value_names", value_names), ("json_names", json_names)):
            for key, value in names.items():
                if key not in members:
                    raise TypeError(f"{option} names {key!r}, which is not a member of {cls_name}")
                if not isinstance(value, str) or not value:
                    raise TypeError(f"{option}[{key!r}] must be a non-empty str")
        values = []
        for local, member in members.items():
            number = member._value_
            if type(number) is not int or not _INT32_MIN <= number <= _INT32_MAX:
                raise ValueError(f"{cls_name}.{local}: enum values must be 32-bit signed ints")
            proto = value_names.get(local) or proto_name_for(local, _RESERVED_MEMBER_NAMES)
            values.append(DescEnumValue(number, proto, local, json_names.get(local)))
        # ``open`` stays None until the file (and its syntax) is known; see _scope._place.
        desc = DescEnum(cls, name or cls_name, open=open, values=values)
        type.__setattr__(cls, "_desc", desc)
        _scope.introduce(cls, file)
        _scope.settle()
        return cls

    def __set_name__(cls, owner: type, attribute: str) -> None:
        _scope.note_owner(cls, owner, attribute)


_scope.metaclasses += (EnumMeta,)


class Enum(enum.IntEnum, metaclass=EnumMeta):
    """Base class of enum types.

    Open enums (proto3) accept numbers they do not list: calling the class with such a number
    returns a pseudo-member, an instance equal to the number whose ``name`` is None. Closed
    enums raise ``ValueError``, like any ``IntEnum``.
    """

    _desc: ClassVar[DescEnum]

    @classmethod
    def _missing_(cls, value: object) -> Enum | None:
        desc = cls.__dict__.get("_desc")
        if desc is None or desc.open is not True:
            return None
        if not isinstance(value, int) or isinstance(value, bool):
            return None
        number = int(value)
        if not _INT32_MIN <= number <= _INT32_MAX:
            return None
        # Not cached in the value map: numbers come from untrusted input, and caching each
        # one would let a peer grow the class without bound.
        member = int.__new__(cls, number)
        member._name_ = None  # type: ignore[assignment]
        member._value_ = number  # type: ignore[assignment]
        return member

    def __repr__(self) -> str:
        if self._name_ is None:
            return f"<{type(self).__name__}: {int(self)}>"
        return super().__repr__()
