"""Source text of a generated module, rendered from a ``FileModel``.

Nothing from the .proto file reaches the output unescaped: names are identifiers checked by
protoc (and renamed by the model), and every other text (defaults, comments, proto names) is
written as a Python string literal.
"""

from __future__ import annotations

import math
import re
import unicodedata
from typing import Any

from .._descriptors import ScalarType
from .._model import (
    EnumModel,
    ExtensionModel,
    FieldModel,
    FileModel,
    MessageModel,
    OneofModel,
    TypeRef,
    enum_keywords,
    extension_call,
    field_call,
)

GENERATOR = "protoc-gen-torvex"
INDENT = "    "
LINE_LENGTH = 99

_PY_TYPES = {
    ScalarType.DOUBLE: "float",
    ScalarType.FLOAT: "float",
    ScalarType.BOOL: "bool",
    ScalarType.STRING: "str",
    ScalarType.BYTES: "bytes",
}


def str_literal(text: str) -> str:
    """A double-quoted literal of ``text``; printable non-ASCII stays readable."""
    out = ['"']
    for ch in text:
        if ch == "\\":
            out.append("\\\\")
        elif ch == '"':
            out.append('\\"')
        elif ch == "\n":
            out.append("\\n")
        elif ch == "\t":
            out.append("\\t")
        elif _needs_escape(ch):
            code = ord(ch)
            if code < 0x100:
                out.append(f"\\x{code:02x}")
            elif code < 0x10000:
                out.append(f"\\u{code:04x}")
            else:
                out.append(f"\\U{code:08x}")
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


def _needs_escape(ch: str) -> bool:
    if " " <= ch <= "~":
        return False
    # Control, format, separator-of-lines and unassigned/surrogate characters could end a line
    # or hide text; everything else (letters, marks, symbols) is kept.
    return unicodedata.category(ch) in ("Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp") or ch.isspace()


def doc_literal(text: str, indent: str) -> list[str]:
    """A docstring: triple-quoted, each line escaped like ``str_literal``."""
    lines = [str_literal(line)[1:-1] for line in text.split("\n")]
    if len(lines) == 1:
        return [f'{indent}"""{lines[0]}"""']
    out = [f'{indent}"""{lines[0]}']
    out.extend(f"{indent}{line}" if line else "" for line in lines[1:])
    out.append(f'{indent}"""')
    return out


def py_literal(value: Any) -> str:
    if isinstance(value, bool):
        return "True" if value else "False"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        if math.isnan(value):
            return 'float("nan")'
        if math.isinf(value):
            return 'float("inf")' if value > 0 else '-float("inf")'
        return repr(value)
    if isinstance(value, str):
        return str_literal(value)
    if isinstance(value, bytes):
        return _bytes_literal(value)
    raise TypeError(f"no literal for {value!r}")


def _bytes_literal(value: bytes) -> str:
    out = ['b"']
    for byte in value:
        ch = chr(byte)
        if ch == "\\":
            out.append("\\\\")
        elif ch == '"':
            out.append('\\"')
        elif " " <= ch <= "~":
            out.append(ch)
        else:
            out.append(f"\\x{byte:02x}")
    out.append('"')
    return "".join(out)


def bytes_lines(value: bytes, width: int) -> list[str]:
    """``value`` as adjacent bytes literals of at most about ``width`` characters each."""
    lines = []
    start = 0
    while start < len(value):
        end = start + 1
        while end < len(value) and len(_bytes_literal(value[start : end + 1])) <= width:
            end += 1
        lines.append(_bytes_literal(value[start:end]))
        start = end
    return lines or ['b""']


def _arg_literal(value: Any) -> str:
    if isinstance(value, ScalarType):
        return f"_T.{value.name}"
    if isinstance(value, dict):
        pairs = ", ".join(f"{_arg_literal(k)}: {_arg_literal(v)}" for k, v in value.items())
        return f"{{{pairs}}}"
    return py_literal(value)


def blank_lines(lines: list[str], count: int) -> None:
    """End ``lines`` with exactly ``count`` blank lines."""
    while lines and lines[-1] == "":
        lines.pop()
    lines.extend([""] * count)


def import_line(own: str, module: str, alias: str, *, relative: bool) -> str:
    """The statement a module ``own`` imports generated ``module`` with, bound to ``alias``;
    relatively within the same package tree when ``relative`` (never ``torvex`` itself)."""
    if relative and not module.startswith("torvex."):
        own_parts = own.split(".")[:-1]
        parts = module.split(".")
        common = 0
        while common < min(len(own_parts), len(parts) - 1) and own_parts[common] == parts[common]:
            common += 1
        dots = "." * (len(own_parts) - common + 1)
        package = ".".join(parts[common:-1])
        return f"from {dots}{package} import {parts[-1]} as {alias}"
    package, _, last = module.rpartition(".")
    if package:
        return f"from {package} import {last} as {alias}"
    return f"import {module} as {alias}"


_USES_SCALAR_TYPE = re.compile(r"(?<![\w.])_T\.")


class Renderer:
    def __init__(
        self, model: FileModel, *, relative: bool = False, descriptor: bytes | None = None
    ) -> None:
        self.model = model
        self.relative = relative
        self.descriptor = descriptor
        self.lines: list[str] = []

    # ---- module ----------------------------------------------------------------------------

    def render(self) -> str:
        m = self.model
        out = self.lines
        header = f"Generated by {GENERATOR} from {m.name}. Do not edit."
        doc = header if not m.doc else f"{header}\n\n{m.doc}"
        out.extend(doc_literal(doc, ""))
        out.append("")
        out.append("from __future__ import annotations")
        out.append("")
        if self._uses_oneofs(m.messages):
            out.append("import typing")
            out.append("")
        out.append("import torvex")
        scalar_import_at = len(out)
        if any(msg.mixin for msg in m.messages):
            out.append("from torvex.wkt import _mixins")
        imports_at = len(out)
        out.append("")
        syntax = "" if m.syntax == "proto3" else f", syntax={str_literal(m.syntax)}"
        package = f", package={str_literal(m.package)}" if m.package else ""
        if self.descriptor is None:
            out.append(f"FILE = torvex.File({str_literal(m.name)}{package}{syntax})")
        else:
            out.append("FILE = torvex.File(")
            out.append(f"{INDENT}{str_literal(m.name)},")
            out.extend(f"{INDENT}{arg.removeprefix(', ')}," for arg in (package, syntax) if arg)
            out.append(f"{INDENT}# The options of the file and its elements (read by their .options).")
            out.append(f"{INDENT}descriptor=(")
            out.extend(f"{INDENT * 2}{chunk}" for chunk in bytes_lines(self.descriptor, 80))
            out.append(f"{INDENT}),")
            out.append(")")
        for enum in m.enums:
            self._blank(2)
            self._enum(enum, "", top=True)
        for msg in m.messages:
            self._blank(2)
            self._message(msg, "", top=True)
        if m.extensions:
            self._blank(2)
            for ext in m.extensions:
                self._extension(ext, "")
        self._blank(2)
        out.append("FILE.complete()")
        out.append("")
        if m.aliases:
            body = "\n".join(out[imports_at:])
            lines = [""]
            for module, alias in m.aliases.items():
                line = self._import(module, alias)
                if f"{alias}." not in body:
                    # Imported for the types it defines (an extendee, say), not for a name.
                    line += "  # pyright: ignore[reportUnusedImport]"
                lines.append(line)
            out[imports_at:imports_at] = lines
        # Imported only when used: checkers flag an unused import.
        if any(_USES_SCALAR_TYPE.search(line) for line in out[scalar_import_at:]):
            out.insert(scalar_import_at, "from torvex import ScalarType as _T")
        return "\n".join(out)

    def _import(self, module: str, alias: str) -> str:
        return import_line(self.model.module, module, alias, relative=self.relative)

    def _uses_oneofs(self, messages: list[MessageModel]) -> bool:
        return any(
            any(isinstance(member, OneofModel) for member in msg.members)
            or self._uses_oneofs(msg.messages)
            for msg in messages
        )

    def _blank(self, count: int) -> None:
        blank_lines(self.lines, count)

    # ---- types -----------------------------------------------------------------------------

    def _class_keywords(self, top: bool, proto_name: str, py_name: str) -> list[str]:
        keywords = ["file=FILE"] if top else []
        if proto_name != py_name:
            keywords.append(f"name={str_literal(proto_name)}")
        return keywords

    def _class_head(self, indent: str, name: str, args: list[str]) -> None:
        line = f"{indent}class {name}({', '.join(args)}):"
        if len(line) <= LINE_LENGTH:
            self.lines.append(line)
            return
        self.lines.append(f"{indent}class {name}(")
        self.lines.extend(f"{indent}{INDENT}{arg}," for arg in args)
        self.lines.append(f"{indent}):")

    def _enum(self, enum: EnumModel, indent: str, *, top: bool) -> None:
        keywords = self._class_keywords(top, enum.proto_name, enum.py_name)
        for key, value in enum_keywords(enum, self.model.syntax).items():
            keywords.append(f"{key}={_arg_literal(value)}")
        self._class_head(indent, enum.py_name, ["torvex.Enum", *keywords])
        inner = indent + INDENT
        if enum.doc:
            self.lines.extend(doc_literal(enum.doc, inner))
            self.lines.append("")
        for value in enum.values:
            self.lines.append(f"{inner}{value.attr} = {value.number}")
            if value.doc:
                self.lines.extend(doc_literal(value.doc, inner))

    def _message(self, msg: MessageModel, indent: str, *, top: bool) -> None:
        keywords = self._class_keywords(top, msg.proto_name, msg.py_name)
        bases = "torvex.Message"
        if msg.mixin:
            bases = f"_mixins.{msg.mixin}, {bases}"
        self._class_head(indent, msg.py_name, [bases, *keywords])
        inner = indent + INDENT
        body_start = len(self.lines)
        if msg.doc:
            self.lines.extend(doc_literal(msg.doc, inner))
        for enum in msg.enums:
            self._blank(1) if len(self.lines) > body_start else None
            self._enum(enum, inner, top=False)
        for nested in msg.messages:
            self._blank(1) if len(self.lines) > body_start else None
            self._message(nested, inner, top=False)
        if msg.members and len(self.lines) > body_start:
            self._blank(1)
        for member in msg.members:
            if isinstance(member, OneofModel):
                self._oneof(member, inner)
            else:
                self._field(member, inner)
        for ext in msg.extensions:
            self._blank(1) if len(self.lines) > body_start else None
            self._extension(ext, inner)
        if len(self.lines) == body_start:
            self.lines.append(f"{inner}pass")

    # ---- fields ----------------------------------------------------------------------------

    def _annotation_of(self, scalar: ScalarType | None, ref: TypeRef | None) -> str:
        if ref is None:
            assert scalar is not None
            return _PY_TYPES.get(scalar, "int")
        if ref.module == self.model.module:
            return ref.py_path
        return f"{self.model.aliases[ref.module]}.{ref.py_path}"

    def annotation(self, f: FieldModel) -> str:
        value = self._annotation_of(f.scalar, f.ref)
        if f.kind == "repeated":
            return f"list[{value}]"
        if f.kind == "map":
            assert f.key is not None
            return f"dict[{_PY_TYPES.get(f.key, 'int')}, {value}]"
        if f.ref is not None and not f.ref.is_enum:
            return f"{value} | None"
        return value

    def declaration(self, f: FieldModel) -> str:
        call, args, kwargs = field_call(f)
        parts = [_arg_literal(a) for a in args]
        parts += [f"{key}={_arg_literal(value)}" for key, value in kwargs.items()]
        return f"torvex.{call}({', '.join(parts)})"

    def _field(self, f: FieldModel, indent: str) -> None:
        line = f"{indent}{f.attr}: {self.annotation(f)} = {self.declaration(f)}"
        if len(line) > LINE_LENGTH:
            call, _, args = self.declaration(f).partition("(")
            head = f"{indent}{f.attr}: {self.annotation(f)} = {call}("
            line = f"{head}\n{indent}{INDENT}{args[:-1]}\n{indent})"
        self.lines.append(line)
        if f.doc:
            self.lines.extend(doc_literal(f.doc, indent))

    def _oneof(self, group: OneofModel, indent: str) -> None:
        inner = indent + INDENT
        # One Oneof type for the whole group: checkers infer the member name's literal type
        # from such a context, which a union of one Oneof type per member defeats.
        names = ", ".join(str_literal(f.attr) for f in group.fields)
        values = " | ".join(
            dict.fromkeys(self.annotation(f).removesuffix(" | None") for f in group.fields)
        )
        line = (
            f"{indent}{group.attr}: torvex.Oneof[typing.Literal[{names}], {values}] | None"
            " = torvex.oneof("
        )
        if len(line) <= LINE_LENGTH:
            self.lines.append(line)
        else:
            self.lines.append(f"{indent}{group.attr}: torvex.Oneof[")
            literal = f"{inner}typing.Literal[{names}],"
            if len(literal) <= LINE_LENGTH:
                self.lines.append(literal)
            else:
                self.lines.append(f"{inner}typing.Literal[")
                self.lines.extend(f"{inner}{INDENT}{str_literal(f.attr)}," for f in group.fields)
                self.lines.append(f"{inner}],")
            self.lines.append(f"{inner}{values},")
            self.lines.append(f"{indent}] | None = torvex.oneof(")
        if group.attr != group.proto_name:
            self.lines.append(f"{inner}{str_literal(group.proto_name)},")
        for f in group.fields:
            self.lines.append(f"{inner}{f.attr}={self.declaration(f)},")
        self.lines.append(f"{indent})")
        docs = [group.doc] if group.doc else []
        docs += [f"{f.attr}: {f.doc}" for f in group.fields if f.doc]
        if docs:
            self.lines.extend(doc_literal("\n\n".join(docs), indent))

    def _extension(self, ext: ExtensionModel, indent: str) -> None:
        f = ext.field
        positional, kwargs = extension_call(ext)
        args = [_arg_literal(a) for a in positional]
        args += [f"{key}={_arg_literal(value)}" for key, value in kwargs.items()]
        line = f"{indent}{ext.py_name} = torvex.Extension({', '.join(args)})"
        if len(line) <= LINE_LENGTH:
            self.lines.append(line)
        else:
            self.lines.append(f"{indent}{ext.py_name} = torvex.Extension(")
            self.lines.extend(f"{indent}{INDENT}{arg}," for arg in args)
            self.lines.append(f"{indent})")
        if f.doc:
            self.lines.extend(doc_literal(f.doc, indent))


def render(model: FileModel, *, relative: bool = False, descriptor: bytes | None = None) -> str:
    return Renderer(model, relative=relative, descriptor=descriptor).render()
