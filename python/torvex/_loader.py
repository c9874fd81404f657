"""Message and enum classes built at run time from a serialized ``FileDescriptorSet``.

The classes come from the same model the code generator renders as source text, declared
through the same API, so a loaded class and a generated one behave the same. Each call loads
into a pool of its own (names resolve within the set first, then among the types already
defined in the process), so loading a schema twice, or one that is also imported as
generated code, does not clash. Files of the ``google.protobuf`` package are not rebuilt:
their ``torvex.wkt`` modules are imported.
"""

from __future__ import annotations

import importlib
import types
from collections.abc import Callable, Iterator, Mapping
from typing import Any

from . import _message, _scope
from ._descriptors import DescFile
from ._enum import Enum, EnumMeta
from ._extension import Extension
from ._message import Message, MessageMeta
from ._model import (
    EnumModel,
    ExtensionModel,
    FileModel,
    MessageModel,
    OneofModel,
    build_files,
    enum_keywords,
    extension_call,
    field_call,
)

__all__ = ["LoadedSchema", "load_descriptor_set"]

_CALLS: dict[str, Callable[..., Any]] = {
    "field": _message.field,
    "repeated": _message.repeated,
    "map_field": _message.map_field,
}


class LoadedSchema(Mapping[str, Any]):
    """The classes and extensions of a loaded descriptor set by full name, also split by kind
    with types a checker can use: ``schema.messages["shop.Order"].from_binary(data)``."""

    __slots__ = ("messages", "enums", "extensions")

    def __init__(self) -> None:
        self.messages: dict[str, type[Message]] = {}
        self.enums: dict[str, type[Enum]] = {}
        self.extensions: dict[str, Extension] = {}

    def __getitem__(self, full_name: str) -> Any:
        for kind in (self.messages, self.enums, self.extensions):
            found = kind.get(full_name)
            if found is not None:
                return found
        raise KeyError(full_name)

    def __iter__(self) -> Iterator[str]:
        yield from self.messages
        yield from self.enums
        yield from self.extensions

    def __len__(self) -> int:
        return len(self.messages) + len(self.enums) + len(self.extensions)

    def __repr__(self) -> str:
        return (
            f"<LoadedSchema of {len(self.messages)} messages, {len(self.enums)} enums, "
            f"{len(self.extensions)} extensions>"
        )


def load_descriptor_set(data: Any) -> LoadedSchema:
    """The classes of every message and enum in ``data`` (a serialized ``FileDescriptorSet``,
    e.g. from ``protoc --descriptor_set_out=... --include_imports``, or such a message), and
    its ``Extension`` objects, by full name. Files must come after the files they import, as
    protoc writes them."""
    from .wkt.descriptor import FileDescriptorSet

    if isinstance(data, (bytes, bytearray, memoryview)):
        data = FileDescriptorSet.from_binary(data)
    files = list(data.file)
    models = build_files(files, [f.name for f in files])
    pool = _scope.Pool(fallback=_scope.DEFAULT_POOL)
    loaded = LoadedSchema()
    for model, fdp in zip(models, files):
        if model.module.startswith("torvex.wkt."):
            module = importlib.import_module(model.module)
            _collect(module, model, loaded, pool)
            continue
        _Builder(model, pool, loaded, fdp).build()
    return loaded


def _collect(module: Any, model: FileModel, out: LoadedSchema, pool: _scope.Pool) -> None:
    """The classes of a bundled module, also claimed in the load's pool: the set's references
    to them must not resolve to another class of the same name defined in the process."""

    def walk(owner: Any, messages: list[MessageModel], enums: list[EnumModel]) -> None:
        for enum in enums:
            out.enums[enum.full_name] = getattr(owner, enum.py_name)
            _scope.claim(pool, enum.full_name, out.enums[enum.full_name])
        for msg in messages:
            cls = getattr(owner, msg.py_name)
            out.messages[msg.full_name] = cls
            _scope.claim(pool, msg.full_name, cls)
            walk(cls, msg.messages, msg.enums)
            for ext in msg.extensions:
                out.extensions[ext.full_name] = getattr(cls, ext.py_name)

    walk(module, model.messages, model.enums)
    for ext in model.extensions:
        out.extensions[ext.full_name] = getattr(module, ext.py_name)


class _Builder:
    def __init__(
        self, model: FileModel, pool: _scope.Pool, out: LoadedSchema, fdp: Any
    ) -> None:
        self.model = model
        self.out = out
        self.file = DescFile(model.name, package=model.package, syntax=model.syntax)
        self.file._pool = pool
        # The whole descriptor: options of every element are read from it on demand.
        self.file._descriptor = fdp
        # Not importable: string references must not fall back to a module's globals.
        self.module = _message._LOADED_PREFIX + model.module
        self.nested_extensions: list[ExtensionModel] = []

    def build(self) -> None:
        for enum in self.model.enums:
            self._enum(enum, "", top=True)
        for msg in self.model.messages:
            self._message(msg, "", top=True)
        self.file.complete()
        for ext in [*self.model.extensions, *self.nested_extensions]:
            self._extension(ext)

    def _extension(self, ext: ExtensionModel) -> None:
        args, kwargs = extension_call(ext)
        # Classes rather than names: names resolve in the process-wide pool, and this load
        # has a pool of its own.
        if isinstance(args[2], str):
            args[2] = self.out[args[2][1:]]
        kwargs["extendee"] = self.out.messages.get(ext.extendee) or _scope.find(ext.extendee)
        self.out.extensions[ext.full_name] = Extension(*args, **kwargs)

    def _keywords(self, top: bool, proto_name: str, py_name: str) -> dict[str, Any]:
        kwds: dict[str, Any] = {"file": self.file} if top else {}
        if proto_name != py_name:
            kwds["name"] = proto_name
        return kwds

    def _enum(self, enum: EnumModel, prefix: str, *, top: bool) -> type:
        kwds = self._keywords(top, enum.proto_name, enum.py_name)
        kwds.update(enum_keywords(enum, self.model.syntax))

        def body(ns: Any) -> None:
            ns["__module__"] = self.module
            ns["__qualname__"] = prefix + enum.py_name
            for value in enum.values:
                ns[value.attr] = value.number

        cls = types.new_class(enum.py_name, (Enum,), kwds, body)
        assert isinstance(cls, EnumMeta) and issubclass(cls, Enum)
        self.out.enums[enum.full_name] = cls
        return cls

    def _message(self, msg: MessageModel, prefix: str, *, top: bool) -> type:
        qualname = prefix + msg.py_name
        ns: dict[str, Any] = {"__module__": self.module, "__qualname__": qualname}
        for enum in msg.enums:
            ns[enum.py_name] = self._enum(enum, qualname + ".", top=False)
        for nested in msg.messages:
            ns[nested.py_name] = self._message(nested, qualname + ".", top=False)
        self.nested_extensions.extend(msg.extensions)
        for member in msg.members:
            if isinstance(member, OneofModel):
                members = {f.attr: self._decl(f) for f in member.fields}
                if member.attr != member.proto_name:
                    ns[member.attr] = _message.oneof(member.proto_name, **members)
                else:
                    ns[member.attr] = _message.oneof(**members)
            else:
                ns[member.attr] = self._decl(member)
        kwds = self._keywords(top, msg.proto_name, msg.py_name)
        cls = MessageMeta(msg.py_name, (Message,), ns, **kwds)
        assert issubclass(cls, Message)
        self.out.messages[msg.full_name] = cls
        return cls

    @staticmethod
    def _decl(f: Any) -> Any:
        call, args, kwargs = field_call(f)
        return _CALLS[call](*args, **kwargs)
