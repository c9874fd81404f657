"""The type registry: how the JSON codec finds the classes of Any payloads and extensions."""

from __future__ import annotations

from collections.abc import Iterable
from types import ModuleType
from typing import TypeAlias

from ._descriptors import DescMessage
from ._enum import EnumMeta
from ._extension import Extension
from ._message import MessageMeta

__all__ = ["Registry"]

# What a registry is built from; anything else is refused at run time too.
RegistryItem: TypeAlias = "MessageMeta | Extension | ModuleType | Registry"


def _signature(desc: DescMessage) -> tuple[object, ...]:
    """What makes two message definitions the same: file, names, numbers and value kinds."""
    return (
        desc.file.name if desc.file is not None else None,
        tuple((f.number, f.name, f.json_name, f.presence, repr(f.value)) for f in desc.fields),
    )


def _extension_signature(ext: Extension) -> tuple[object, ...]:
    value_type = ext.value_type
    # A class (checked when the extension was made) is compared by its full name.
    type_key: object = value_type
    if isinstance(value_type, (MessageMeta, EnumMeta)):
        type_key = value_type._desc.type_name
    return (
        ext.number,
        ext.extendee_name,
        type_key,
        ext.repeated,
        ext.packed,
        ext.delimited,
        repr(ext.default),
    )


class Registry:
    """Message types and extensions by full name.

    Built from message classes (their nested types come along), ``Extension`` objects, modules
    (every message class and extension they define or import) and other registries::

        registry = torvex.Registry(my_pb, torvex.wkt, Person, nickname)
        msg.to_json(registry=registry)

    Adding the same definition twice is harmless; a second, different definition of a full
    name (or of an extension number of the same message) raises ``ValueError``.
    """

    __slots__ = ("_messages", "_extensions", "_by_extendee")

    def __init__(self, *items: RegistryItem) -> None:
        self._messages: dict[str, MessageMeta] = {}
        self._extensions: dict[str, Extension] = {}
        self._by_extendee: dict[tuple[str | None, int], Extension] = {}
        self.add(*items)

    def add(self, *items: RegistryItem) -> Registry:
        for item in items:
            if isinstance(item, Extension):
                self._add_extension(item)
            elif isinstance(item, MessageMeta) and "_desc" in item.__dict__:
                self._add_message(item)
            elif isinstance(item, ModuleType):
                # Names in __all__ too: a package may provide them only on first access.
                exported = [getattr(item, name, None) for name in getattr(item, "__all__", ())]
                self._add_namespace([*vars(item).values(), *exported])
            elif isinstance(item, Registry):
                for cls in item._messages.values():
                    self._add_message(cls)
                for ext in item._extensions.values():
                    self._add_extension(ext)
            else:
                raise TypeError(
                    "a registry takes torvex message classes, extensions, modules and "
                    f"registries, not {type(item).__name__}"
                )
        return self

    # ---- the protocol the JSON codec calls ---------------------------------------------------

    def message(self, full_name: str) -> DescMessage | None:
        """The descriptor of the message type named ``full_name``, or None."""
        cls = self._messages.get(full_name)
        return None if cls is None else cls._desc

    def extension(self, full_name: str) -> Extension | None:
        return self._extensions.get(full_name)

    def extension_for(self, descriptor: DescMessage, number: int) -> Extension | None:
        """The extension of message ``descriptor`` with field ``number``."""
        return self._by_extendee.get((descriptor.type_name, number))

    # ---- building -----------------------------------------------------------------------------

    def __contains__(self, full_name: object) -> bool:
        return full_name in self._messages or full_name in self._extensions

    def __len__(self) -> int:
        return len(self._messages) + len(self._extensions)

    def __repr__(self) -> str:
        return f"<Registry of {len(self._messages)} messages, {len(self._extensions)} extensions>"

    def _add_namespace(self, values: Iterable[object]) -> None:
        for value in list(values):
            if isinstance(value, Extension):
                self._add_extension(value)
            elif isinstance(value, MessageMeta) and "_desc" in value.__dict__:
                self._add_message(value)

    def _add_message(self, cls: MessageMeta) -> None:
        desc = cls._desc
        name = desc.type_name
        if name is None:
            raise ValueError(f"message class {cls.__qualname__} is not finished")
        known = self._messages.get(name)
        if known is cls:
            return
        if known is not None and _signature(known._desc) != _signature(desc):
            raise ValueError(f"{name} is already registered with a different definition")
        if known is None:
            self._messages[name] = cls
        # Nested types come along: a payload type is often nested in a file's main message.
        self._add_namespace(
            value for key, value in vars(cls).items() if not key.startswith("_")
        )

    def _add_extension(self, ext: Extension) -> None:
        known = self._extensions.get(ext.full_name)
        if known is not None and known is not ext:
            if _extension_signature(known) != _extension_signature(ext):
                raise ValueError(
                    f"{ext.full_name} is already registered with a different definition"
                )
            return
        key = (ext.extendee_name, ext.number)
        other = self._by_extendee.get(key)
        if other is not None and other is not ext and other.full_name != ext.full_name:
            raise ValueError(
                f"{ext.extendee_name} field {ext.number} is already registered as extension "
                f"{other.full_name}"
            )
        self._extensions[ext.full_name] = ext
        self._by_extendee[key] = ext
