"""Walks over message instances for the reflection methods of ``Message``: required fields and
unknown fields of a whole message tree. Imported on first use."""

from __future__ import annotations

import weakref

from _torvex_ext import NativeMessage, Oneof

from ._descriptors import (
    DescField,
    DescFieldValueList,
    DescFieldValueMap,
    DescFieldValueMessage,
    DescMessage,
    Presence,
)

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterator
    from typing import Any, ClassVar, Protocol

    # What the walks use of a message; naming torvex._message here would close an import
    # cycle (it imports this module for its methods).
    class Message(Protocol):
        _desc: ClassVar[DescMessage]

        def _get_field_number_present(self, field_number: int, /) -> bool: ...
        @property
        def _unknown_fields(self) -> dict[int, list[bytes]] | None: ...

MAX_DEPTH = 100


def _message_desc(f: DescField) -> DescMessage | None:
    """The message type held by a field (singular, element or map value), if any."""
    kind = f.value
    if isinstance(kind, DescFieldValueMessage):
        return kind.message
    if isinstance(kind, DescFieldValueList):
        element = kind.element
    elif isinstance(kind, DescFieldValueMap):
        element = kind.value
    else:
        return None
    return element if isinstance(element, DescMessage) else None


def sub_messages(msg: Message) -> Iterator[tuple[DescField, str, Message | None]]:
    """Each sub-message held by ``msg`` with its field and its path suffix (``[i]`` for list
    elements, ``[key]`` for map values), fields in number order. None is yielded where it
    encodes as an empty message: a list element, a map value, a chosen oneof member."""
    desc = type(msg)._desc
    for f in sorted(desc.fields, key=_number):
        if _message_desc(f) is None:
            continue
        group = f.oneof
        if group is not None:
            chosen = getattr(msg, group.local_name)
            if isinstance(chosen, Oneof) and chosen.field == f.local_name:
                yield f, "", _message_or_none(chosen.value)
            continue
        value = getattr(msg, f.local_name)
        kind = f.value
        if isinstance(kind, DescFieldValueList):
            for i, item in enumerate(list(value)):
                yield f, f"[{i}]", _message_or_none(item)
        elif isinstance(kind, DescFieldValueMap):
            for key, item in list(value.items()):
                yield f, f"[{_key_text(key)}]", _message_or_none(item)
        elif isinstance(value, NativeMessage):
            yield f, "", value  # type: ignore[misc]


def _message_or_none(value: object) -> Message | None:
    # Anything else is left to the encoder, which reports the wrong type.
    return value if isinstance(value, NativeMessage) else None  # type: ignore[return-value]


def _key_text(key: object) -> str:
    """A map key in a path: strings quoted (with their quotes and backslashes escaped),
    bools as true/false, integers in decimal."""
    if isinstance(key, str):
        escaped = key.replace("\\", "\\\\").replace('"', '\\"')
        return f'"{escaped}"'
    if isinstance(key, bool):
        return "true" if key else "false"
    return str(key)


def _number(f: DescField) -> int:
    return f.number


# Whether a message type can hold a required field anywhere below it, by class: lets the
# initialization checks skip trees that cannot fail.
_needs_check: weakref.WeakKeyDictionary[type, bool] = weakref.WeakKeyDictionary()


def needs_check(desc: DescMessage) -> bool:
    known = _needs_check.get(desc.type)
    if known is not None:
        return known
    # Every type reachable from desc; each of them answers as the whole reachable set does
    # only for desc itself, so only desc is cached.
    seen: dict[int, DescMessage] = {id(desc): desc}
    todo = [desc]
    found = False
    while todo and not found:
        for f in todo.pop().fields:
            if f.presence == Presence.LEGACY_REQUIRED:
                found = True
                break
            sub = _message_desc(f)
            if sub is not None and id(sub) not in seen:
                seen[id(sub)] = sub
                todo.append(sub)
    _needs_check[desc.type] = found
    return found


def _walk_guard(msg: Message, on_path: set[int], depth: int, doing: str) -> None:
    if depth > MAX_DEPTH:
        raise RecursionError(f"exceeded maximum recursion depth {MAX_DEPTH} while {doing}")
    if id(msg) in on_path:
        raise RecursionError(f"message graph has a reference cycle while {doing}")


def initialization_errors(msg: Message, *, first_only: bool = False) -> list[str]:
    errors: list[str] = []
    _collect(msg, "", errors, set(), 0, first_only)
    return errors


def _collect(
    msg: Message, prefix: str, errors: list[str], on_path: set[int], depth: int, first: bool
) -> None:
    desc = type(msg)._desc
    if not needs_check(desc):
        return
    _walk_guard(msg, on_path, depth, "checking required fields")
    for f in desc.fields:
        if f.presence == Presence.LEGACY_REQUIRED and not _required_set(msg, f):
            errors.append(prefix + f.name)
            if first:
                return
    on_path.add(id(msg))
    for f, suffix, sub in sub_messages(msg):
        if sub is None:
            sub_desc = _message_desc(f)
            assert sub_desc is not None
            sub = sub_desc.type()  # what None encodes as
        _collect(sub, f"{prefix}{f.name}{suffix}.", errors, on_path, depth + 1, first)
        if first and errors:
            break
    on_path.discard(id(msg))


def _required_set(msg: Message, f: DescField) -> bool:
    if isinstance(f.value, DescFieldValueMessage):
        return getattr(msg, f.local_name) is not None
    return msg._get_field_number_present(f.number)


def discard_unknown(msg: Message, registry: Any) -> None:
    """Clear the unknown-field stores of ``msg`` and every message below it, keeping records
    of extensions ``registry`` knows. Each message is visited once, so shared sub-messages and
    reference cycles are harmless."""
    seen = {id(msg)}
    todo = [msg]
    while todo:
        current = todo.pop()
        store = current._unknown_fields
        if store:
            if registry is None:
                store.clear()
            else:
                desc = type(current)._desc
                for number in list(store):
                    if registry.extension_for(desc, number) is None:
                        del store[number]
        for _, _, sub in sub_messages(current):
            if sub is not None and id(sub) not in seen:
                seen.add(id(sub))
                todo.append(sub)
