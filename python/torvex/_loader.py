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
from collections.abc import Callable
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

__all__ = ["load_descriptor_set"]

_CALLS: dict[str, Callable[..., Any]] = {
    "field": _message.field,
    "repeated": _message.repeated,
    "map_field": _message.map_field,
}


def load_descriptor_set(data: Any) -> dict[str, Any]:
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
    loaded: dict[str, Any] = {}
    for model in models:
        if model.module.startswith("torvex.wkt."):
            module = importlib.import_module(model.module)
            _collect(module, model, loaded)
            continue
        _Builder(model, pool, loaded).build()
    return loaded


def _collect(module: Any, model: FileModel, out: dict[str, Any]) -> None:
    def walk(owner: Any, messages: list[MessageModel], enums: list[EnumModel]) -> None:
        for enum in enums:
            out[enum.full_name] = getattr(owner, enum.py_name)
        for msg in messages:
            cls = getattr(owner, msg.py_name)
            out[msg.full_name] = cls
            walk(cls, msg.messages, msg.enums)

    walk(module, model.messages, model.enums)


class _Builder:
    def __init__(self, model: FileModel, pool: _scope.Pool, out: dict[str, Any]) -> None:
        self.model = model
        self.out = out
        self.file = DescFile(model.name, package=model.package, syntax=model.syntax)
        self.file._pool = pool
        # Not importable: string references must not fall back to a module's globals.
        self.module = f"torvex._loaded.{model.module}"
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
        kwargs["extendee"] = self.out.get(ext.extendee) or _scope.find(ext.extendee)
        self.out[ext.full_name] = Extension(*args, **kwargs)

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
        assert isinstance(cls, EnumMeta)
        self.out[enum.full_name] = cls
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
        self.out[msg.full_name] = cls
        return cls

    @staticmethod
    def _decl(f: Any) -> Any:
        call, args, kwargs = field_call(f)
        return _CALLS[call](*args, **kwargs)
