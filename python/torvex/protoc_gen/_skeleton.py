"""The options a generated module keeps: a ``FileDescriptorProto`` reduced to the names and
options of the elements that have options, or contain one that has.

The bundled ``torvex.wkt`` modules keep none: their files set only other languages' file
options. Map entry messages are left out (they are no classes of ours).
"""

from __future__ import annotations

from typing import Any

from .._model import has, sub


def _copy(element: Any, cls: Any, children: dict[str, list[Any]]) -> Any:
    """``cls(name=..., options=...)`` of ``element``, with the given kept children; None
    when neither it nor any child has options."""
    options = sub(element, "options")
    kept = {key: value for key, value in children.items() if value}
    if options is None and not kept:
        return None
    out = cls(name=element.name, **kept)
    if options is not None:
        out.options = options
    return out


def _kept(items: Any, build: Any) -> list[Any]:
    return [found for found in (build(item) for item in items) if found is not None]


def skeleton(fdp: Any) -> bytes | None:
    """The serialized reduced descriptor of ``fdp``, or None when nothing in it has options
    (or ``fdp`` is not one of torvex's own messages, as in a first bootstrap)."""
    if not hasattr(fdp, "to_binary") or fdp.name.startswith("google/protobuf/"):
        return None
    from ..wkt import descriptor as d

    def enum(e: Any) -> Any:
        values = _kept(e.value, lambda v: _copy(v, d.EnumValueDescriptorProto, {}))
        return _copy(e, d.EnumDescriptorProto, {"value": values})

    def field(f: Any) -> Any:
        return _copy(f, d.FieldDescriptorProto, {})

    def message(m: Any) -> Any:
        options = sub(m, "options")
        if options is not None and has(options, "map_entry") and options.map_entry:
            return None
        return _copy(
            m,
            d.DescriptorProto,
            {
                "field": _kept(m.field, field),
                "nested_type": _kept(m.nested_type, message),
                "enum_type": _kept(m.enum_type, enum),
                "extension": _kept(m.extension, field),
                "oneof_decl": _kept(m.oneof_decl, lambda o: _copy(o, d.OneofDescriptorProto, {})),
            },
        )

    def service(s: Any) -> Any:
        methods = _kept(s.method, lambda m: _copy(m, d.MethodDescriptorProto, {}))
        return _copy(s, d.ServiceDescriptorProto, {"method": methods})

    out = d.FileDescriptorProto(
        message_type=_kept(fdp.message_type, message),
        enum_type=_kept(fdp.enum_type, enum),
        service=_kept(fdp.service, service),
        extension=_kept(fdp.extension, field),
    )
    options = sub(fdp, "options")
    if options is not None:
        out.options = options
    if out == d.FileDescriptorProto():
        return None
    return out.to_binary()
