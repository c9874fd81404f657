"""Extensions: fields declared outside the message they extend.

An extended message keeps extension values where the binary parser puts every field its schema
does not know: its unknown-field store, as raw wire records. ``msg[ext]`` decodes the records of
the extension's number, ``msg[ext] = v`` replaces them with the encoding of ``v``, so binary
round trips stay byte-exact whether or not the reader knows the extension. The encoding and
decoding reuse the native codec through a one-field carrier message per extension, numbered
like the extension.
"""

from __future__ import annotations

import threading
from typing import TYPE_CHECKING, Any, cast

from . import _scope
from ._descriptors import DescFile, DescMessage, ScalarType
from ._message import (
    _NO_DEFAULT,
    ExtensionKey,
    Message,
    MessageMeta,
    _check_number,
    _check_type,
    field,
    repeated,
)

__all__ = ["Extension"]

# Extension has a property named `type`, which hides the builtin in annotations of its body.
_Class = type

if TYPE_CHECKING:
    from ._descriptors import DescFieldValue

    class _Carrier(Message):
        """The one-field message an extension's values are encoded and decoded through."""

        # Optional in the constructor, as every field is.
        value: Any = None

    _CarrierClass = type[_Carrier]


class _NamedType:
    """Stands in for the extendee's descriptor while no class of that name is defined."""

    __slots__ = ("type_name",)

    def __init__(self, type_name: str) -> None:
        self.type_name = type_name


class Extension(ExtensionKey):
    """An extension field, declared at module level::

        nickname = Extension("example.nickname", 100, ScalarType.STRING, extendee=Person)
        msg[nickname] = "x"; msg[nickname]; del msg[nickname]; nickname in msg

    ``value_type`` is a ``ScalarType``, a message or enum class, or a fully qualified type name
    (resolved on first use). ``extendee`` is the extended message class or its full name.
    Reading an absent extension gives its default: ``default`` or the type's zero value, the
    first enum value, None for a message and a new empty list for a repeated extension.
    Values are decoded on every read, so a message or list read from ``msg[ext]`` is a copy:
    assign it back after changing it.
    """

    __slots__ = (
        "full_name",
        "name",
        "number",
        "value_type",
        "extendee_name",
        "repeated",
        "packed",
        "delimited",
        "default",
        "_carrier",
        "_lock",
    )

    def __init__(
        self,
        full_name: str,
        number: int,
        value_type: ScalarType | _Class | str,
        /,
        *,
        extendee: _Class | str,
        repeated: bool = False,
        packed: bool | None = None,
        delimited: bool = False,
        default: Any = _NO_DEFAULT,
    ) -> None:
        if not isinstance(full_name, str) or not full_name or full_name.startswith("."):
            raise TypeError("extension full name must be a non-empty str without a leading '.'")
        self.full_name = full_name
        self.name = full_name.rpartition(".")[2]
        # Checked now by the same rules as fields, so a bad declaration fails at import.
        if isinstance(value_type, str):
            value_type = value_type.removeprefix(".")
        self.value_type = _check_type(value_type, "extension type")
        self.number = _check_number(number)
        if isinstance(extendee, str) and extendee:
            self.extendee_name = extendee.removeprefix(".")
        elif isinstance(extendee, MessageMeta) and "_desc" in extendee.__dict__:
            name = extendee._desc.type_name
            if name is None:
                raise TypeError(f"extendee {extendee.__qualname__} is not finished")
            self.extendee_name = name
        else:
            raise TypeError(
                f"extendee must be a torvex message class or a full name, got {extendee!r}"
            )
        for flag, flag_value in (("repeated", repeated), ("delimited", delimited)):
            if not isinstance(flag_value, bool):
                raise TypeError(f"{flag} must be a bool")
        if packed is not None and not isinstance(packed, bool):
            raise TypeError("packed must be a bool or None")
        if repeated and default is not _NO_DEFAULT:
            raise TypeError("repeated extensions cannot have a default")
        if not repeated and packed is not None:
            raise TypeError("packed applies to repeated extensions only")
        self.repeated = repeated
        self.packed = packed
        self.delimited = delimited
        self.default = default
        self._carrier: _CarrierClass | None = None
        self._lock = threading.Lock()
        _scope.DEFAULT_REGISTRY.add_extension(self)

    def __repr__(self) -> str:
        return f"<Extension {self.full_name}={self.number} of {self.extendee_name}>"

    # ---- what the JSON codec reads from registry results ----------------------------------

    @property
    def type(self) -> Extension:
        """The key under which messages hold this extension: the extension itself."""
        return self

    @property
    def type_name(self) -> str:
        return self.full_name

    @property
    def extendee(self) -> DescMessage | _NamedType:
        """The extended message's descriptor (only its ``type_name`` when not defined)."""
        cls = _scope.find(self.extendee_name)
        if cls is None or not isinstance(cls, MessageMeta):
            return _NamedType(self.extendee_name)
        return cls._desc

    @property
    def value(self) -> DescFieldValue:
        """The value kind, as a field descriptor's ``value``."""
        return self.carrier()._desc.fields[0].value

    # ---- the carrier message ----------------------------------------------------------------

    def resolved_type(self) -> ScalarType | _Class:
        ref = self.value_type
        if isinstance(ref, str):
            found = _scope.find(ref)
            if found is None:
                raise TypeError(f"extension {self.full_name}: type {ref!r} is not defined")
            return found
        return ref

    def carrier(self) -> _CarrierClass:
        carrier = self._carrier
        if carrier is None:
            with self._lock:
                carrier = self._carrier
                if carrier is None:
                    carrier = self._carrier = self._make_carrier()
        return carrier

    def _make_carrier(self) -> _CarrierClass:
        ref = self.resolved_type()
        is_message = isinstance(ref, MessageMeta)
        if self.repeated:
            decl = repeated(self.number, ref, packed=self.packed, delimited=self.delimited)
        elif is_message:
            if self.default is not _NO_DEFAULT:
                raise TypeError(f"extension {self.full_name}: message extensions have no default")
            decl = field(self.number, ref, delimited=self.delimited)
        else:
            decl = field(
                self.number, ref, optional=True, delimited=self.delimited, default=self.default
            )
        # A private proto2 file: extensions have explicit presence and are unpacked unless
        # declared packed, whatever the extendee's syntax.
        file = DescFile(f"torvex/extension/{self.full_name}.proto", syntax="proto2")
        namespace = {"__module__": __name__, "__qualname__": "Carrier", "value": decl}
        carrier = MessageMeta("Carrier", (Message,), namespace, file=file, name=self.full_name)
        # Private to this extension: its name must not answer full-name lookups of types.
        _scope.forget(carrier)
        return cast("_CarrierClass", carrier)

    def default_value(self) -> Any:
        """What reading the extension gives when a message does not hold it."""
        if self.repeated:
            return []
        carrier = self.carrier()
        return carrier().value

    # ---- item access on messages ------------------------------------------------------------

    def _check_extendee(self, msg: Message) -> None:
        name = type(msg)._desc.type_name
        if name != self.extendee_name:
            raise KeyError(
                f"extension {self.full_name} extends {self.extendee_name}, not {name}"
            )

    def get_from(self, msg: Message) -> Any:
        self._check_extendee(msg)
        store = msg._unknown_fields
        records = store.get(self.number) if store else None
        if not records:
            return self.default_value()
        return self.carrier().from_binary(b"".join(records)).value

    def set_on(self, msg: Message, value: Any) -> None:
        self._check_extendee(msg)
        if self.repeated:
            if not isinstance(value, (list, tuple)):
                raise TypeError(
                    f"extension {self.full_name} is repeated: expected a list, got "
                    f"{type(value).__name__}"
                )
            value = list(value)
        # Encoded before the store changes, so a bad value leaves the message as it was.
        records = _split_records(self.carrier()(value=value).to_binary())
        store = msg._get_or_init_unknown_fields()
        if records:
            store[self.number] = records
        else:
            store.pop(self.number, None)

    def delete_from(self, msg: Message) -> None:
        self._check_extendee(msg)
        store = msg._unknown_fields
        if store:
            store.pop(self.number, None)

    def is_in(self, msg: Message) -> bool:
        self._check_extendee(msg)
        store = msg._unknown_fields
        return bool(store and store.get(self.number))


class _Records(Message, file=DescFile("torvex/extension/records.proto", syntax="proto2")):
    """A message without fields: decoding into it keeps every record as an unknown field, so the
    native parser splits an encoding into its wire records."""


# Private: its name must not answer full-name lookups of types.
_scope.forget(_Records)


def _split_records(data: bytes) -> list[bytes]:
    store = _Records.from_binary(data)._unknown_fields
    return [record for records in store.values() for record in records] if store else []
