"""Options of schema elements (``google.protobuf.*Options`` messages), read on demand.

A generated module whose .proto file sets options passes ``torvex.File(...,
descriptor=b"...")``: a serialized ``FileDescriptorProto`` that keeps, of every element that
has options (or contains one that has), only its name and its options. Schemas loaded with
``load_descriptor_set`` keep their whole ``FileDescriptorProto``. Either is decoded on the
first read of an ``options`` attribute; custom options (extensions such as
``google.api.http``) stay in the options' unknown fields and read through ``options[ext]``.
"""

from __future__ import annotations

from typing import Any, Protocol

__all__ = ["file_proto", "options_of"]


class DescFile(Protocol):
    """What is read of a ``torvex._descriptors.DescFile`` (which imports this module)."""

    package: str
    _descriptor: Any


def file_proto(file: DescFile) -> Any:
    """The file's ``FileDescriptorProto`` (possibly only names and options), or None."""
    data = file._descriptor
    if isinstance(data, (bytes, bytearray)):
        from .wkt.descriptor import FileDescriptorProto

        data = file._descriptor = FileDescriptorProto.from_binary(data)
    return data


def _named(elements: Any, name: str) -> Any:
    for element in elements:
        if element.name == name:
            return element
    return None


def _message(file: DescFile, names: list[str]) -> Any:
    proto = file_proto(file)
    if proto is None or not names:
        return None
    found = _named(proto.message_type, names[0])
    for name in names[1:]:
        if found is None:
            return None
        found = _named(found.nested_type, name)
    return found


def _relative(file: DescFile, type_name: str | None) -> list[str]:
    if type_name is None:
        return []
    prefix = f"{file.package}." if file.package else ""
    return type_name.removeprefix(prefix).split(".")


def message_options(file: DescFile | None, type_name: str | None) -> Any:
    if file is None:
        return None
    found = _message(file, _relative(file, type_name))
    return None if found is None else found.options


def field_options(file: DescFile | None, type_name: str | None, field: str) -> Any:
    if file is None:
        return None
    found = _message(file, _relative(file, type_name))
    found = None if found is None else _named(found.field, field)
    return None if found is None else found.options


def enum_options(file: DescFile | None, type_name: str | None) -> Any:
    if file is None:
        return None
    names = _relative(file, type_name)
    if len(names) == 1:
        proto = file_proto(file)
        scope = None if proto is None else proto.enum_type
    else:
        parent = _message(file, names[:-1])
        scope = None if parent is None else parent.enum_type
    found = None if scope is None else _named(scope, names[-1])
    return None if found is None else found.options


def options_of(file: DescFile, path: tuple[str, ...]) -> Any:
    """Options of the file (``()``), a service (``(name,)``) or a method (``(service,
    method)``)."""
    proto = file_proto(file)
    if proto is None:
        return None
    if not path:
        return proto.options
    found = _named(proto.service, path[0])
    if found is not None and len(path) > 1:
        found = _named(found.method, path[1])
    return None if found is None else found.options
