"""The gRPC module of a .proto file that defines services (``--torvex_opt=grpc``).

``shop/order.proto`` gets ``shop/order_grpc.py`` next to ``shop/order.py``, so that only code
that serves or calls a service imports grpcio. Per service ``S`` it declares the descriptor
``S``, the clients ``SStub`` and ``SAsyncStub``, the server bases ``SServicer`` and
``SAsyncServicer`` and ``add_SServicer_to_server``.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

from ._model import (
    GenerateError,
    TypeIndex,
    TypeRef,
    _aliases,
    _Comments,
    module_path,
    python_name,
)
from ._render import GENERATOR, INDENT, LINE_LENGTH, doc_literal, import_line, str_literal

# Names the module binds besides its services' names and its imports' aliases.
MODULE_NAMES = frozenset(
    {"annotations", "grpc", "_rpc", "AsyncIterator", "Iterator", "int", "str", "type"}
)
# Suffixes of the names generated for a service; the bare name is its descriptor.
_DERIVED = ("Stub", "AsyncStub", "Servicer", "AsyncServicer")

_KINDS = {
    (False, False): "unary_unary",
    (False, True): "unary_stream",
    (True, False): "stream_unary",
    (True, True): "stream_stream",
}


@dataclass
class MethodModel:
    proto_name: str
    attr: str
    input: TypeRef
    output: TypeRef
    client_streaming: bool
    server_streaming: bool
    doc: str | None = None

    @property
    def kind(self) -> str:
        return _KINDS[self.client_streaming, self.server_streaming]


@dataclass
class ServiceModel:
    proto_name: str
    py_name: str  # the descriptor; the classes append _DERIVED
    full_name: str
    methods: list[MethodModel] = field(default_factory=list)
    doc: str | None = None


@dataclass
class ServiceFileModel:
    name: str
    module: str  # this module: the message module's with "_grpc" appended
    messages: str  # the message module
    aliases: dict[str, str]  # module -> alias, the message module's included
    services: list[ServiceModel] = field(default_factory=list)


def service_module(proto_file: str) -> str:
    return module_path(proto_file) + "_grpc"


def build_service_files(files: list[Any], wanted: list[str]) -> list[ServiceFileModel]:
    """Models of the gRPC modules of the files in ``wanted`` that define services."""
    index = TypeIndex()
    for fdp in files:
        index.add_file(fdp)
    by_name = {fdp.name: fdp for fdp in files}
    out = []
    for name in wanted:
        fdp = by_name.get(name)
        if fdp is None:
            raise GenerateError(f"{name}: file not in the request")
        if len(fdp.service):
            out.append(_build(fdp, index))
    return out


def _build(fdp: Any, index: TypeIndex) -> ServiceFileModel:
    comments = _Comments(fdp)
    prefix = f"{fdp.package}." if fdp.package else ""
    own = module_path(fdp.name)
    refs: list[list[tuple[TypeRef, TypeRef]]] = []
    modules = [own]
    for service in fdp.service:
        pairs = []
        for method in service.method:
            where = f"{fdp.name}: {prefix}{service.name}.{method.name}"
            pair = (index.get(method.input_type, where), index.get(method.output_type, where))
            modules.extend(ref.module for ref in pair)
            pairs.append(pair)
        refs.append(pairs)
    # Service names come first: they are the API; aliases of imports give way to them.
    taken = set(MODULE_NAMES)
    names = []
    for service in fdp.service:
        base = python_name(service.name, taken)
        while not _derived_names(base).isdisjoint(taken):
            base += "_"
        names.append(base)
        taken |= _derived_names(base)
    aliases = _aliases(list(dict.fromkeys(modules)), taken)
    model = ServiceFileModel(fdp.name, service_module(fdp.name), own, aliases)
    for i, (service, base, pairs) in enumerate(zip(fdp.service, names, refs)):
        built = ServiceModel(
            service.name, base, prefix + service.name, doc=comments.get((6, i))
        )
        for j, (method, (request, response)) in enumerate(zip(service.method, pairs)):
            built.methods.append(
                MethodModel(
                    method.name,
                    python_name(method.name, {"self", "context", "request", "request_iterator"}),
                    request,
                    response,
                    bool(method.client_streaming),
                    bool(method.server_streaming),
                    comments.get((6, i, 2, j)),
                )
            )
        model.services.append(built)
    return model


def _derived_names(base: str) -> set[str]:
    return {base, *(base + suffix for suffix in _DERIVED), f"add_{base}Servicer_to_server"}


class ServiceRenderer:
    def __init__(self, model: ServiceFileModel, *, relative: bool = False) -> None:
        self.model = model
        self.relative = relative
        self.lines: list[str] = []

    def render(self) -> str:
        m = self.model
        out = self.lines
        doc = (
            f"Generated by {GENERATOR} from {m.name}. Do not edit.\n\n"
            f"gRPC clients and servers of the services of {m.name}; its messages are in "
            f"{m.messages}."
        )
        out.extend(doc_literal(doc, ""))
        out += ["", "from __future__ import annotations", ""]
        streams = [meth for s in m.services for meth in s.methods if meth.kind != "unary_unary"]
        if streams:
            out += ["from collections.abc import AsyncIterator, Iterator", ""]
        out += ["import grpc", "import grpc.aio", "", "import torvex.grpc as _rpc"]
        for module, alias in m.aliases.items():
            out.append(import_line(m.module, module, alias, relative=self.relative))
        for service in m.services:
            self._blank(2)
            self._descriptor(service)
            self._blank(2)
            self._stub(service, aio=False)
            self._blank(2)
            self._stub(service, aio=True)
            self._blank(2)
            self._servicer(service, aio=False)
            self._blank(2)
            self._servicer(service, aio=True)
            self._blank(2)
            self._add_function(service)
        out.append("")
        return "\n".join(out)

    def _blank(self, count: int) -> None:
        while self.lines and self.lines[-1] == "":
            self.lines.pop()
        self.lines.extend([""] * count)

    def _type(self, ref: TypeRef) -> str:
        return f"{self.model.aliases[ref.module]}.{ref.py_path}"

    def _call(self, indent: str, head: str, args: list[str], tail: str = ")") -> None:
        """``head(args)`` on one line when it fits, else one argument per line."""
        line = f"{indent}{head}{', '.join(args)}{tail}"
        if len(line) <= LINE_LENGTH:
            self.lines.append(line)
            return
        inner = f"{indent}{INDENT}{', '.join(args)}"
        if len(inner) <= LINE_LENGTH:
            self.lines += [f"{indent}{head}", inner, f"{indent}{tail}"]
            return
        self.lines.append(f"{indent}{head}")
        self.lines.extend(f"{indent}{INDENT}{arg}," for arg in args)
        self.lines.append(f"{indent}{tail}")

    def _descriptor(self, s: ServiceModel) -> None:
        own = self.model.aliases[self.model.messages]
        self.lines.append(f"{s.py_name} = _rpc.Service(")
        self.lines.append(f"{INDENT}{own}.FILE,")
        self.lines.append(f"{INDENT}{str_literal(s.proto_name)},")
        self.lines.append(f"{INDENT}[")
        for meth in s.methods:
            args = [
                str_literal(meth.proto_name),
                f"_rpc.MethodKind.{meth.kind.upper()}",
                self._type(meth.input),
                self._type(meth.output),
            ]
            if meth.attr != meth.proto_name:
                args.append(f"attr={str_literal(meth.attr)}")
            self._call(INDENT * 2, "_rpc.Method(", args, "),")
        self.lines.append(f"{INDENT}],")
        self.lines.append(")")
        self.lines.extend(doc_literal(f"The service {s.full_name}.", ""))

    def _stub(self, s: ServiceModel, *, aio: bool) -> None:
        name = f"{s.py_name}{'AsyncStub' if aio else 'Stub'}"
        channel = "grpc.aio.Channel" if aio else "grpc.Channel"
        self.lines.append(f"class {name}:")
        intro = f"Client of {s.full_name} on a ``{channel}``."
        self.lines.extend(doc_literal(intro + (f"\n\n{s.doc}" if s.doc else ""), INDENT))
        self.lines.append("")
        self.lines.append(f"{INDENT}def __init__(self, channel: {channel}) -> None:")
        inner = INDENT * 2
        if not s.methods:
            self.lines.append(f"{inner}pass")
        for meth in s.methods:
            factory = ("aio_" if aio else "") + meth.kind
            args = [
                "channel",
                str_literal(f"/{s.full_name}/{meth.proto_name}"),
                self._type(meth.input),
                self._type(meth.output),
            ]
            self._call(inner, f"self.{meth.attr} = _rpc.{factory}(", args)
            if meth.doc:
                self.lines.extend(doc_literal(meth.doc, inner))

    def _servicer(self, s: ServiceModel, *, aio: bool) -> None:
        name = f"{s.py_name}{'AsyncServicer' if aio else 'Servicer'}"
        server = "grpc.aio.server" if aio else "grpc.server"
        self.lines.append(f"class {name}:")
        intro = (
            f"Server of {s.full_name} for ``{server}()``.\n\nSubclass it and override the "
            "methods; the others answer UNIMPLEMENTED."
        )
        self.lines.extend(doc_literal(intro + (f"\n\n{s.doc}" if s.doc else ""), INDENT))
        for meth in s.methods:
            self.lines.append("")
            self._servicer_method(s, meth, aio)

    def _servicer_method(self, s: ServiceModel, meth: MethodModel, aio: bool) -> None:
        request, response = self._type(meth.input), self._type(meth.output)
        iterator = "AsyncIterator" if aio else "Iterator"
        if meth.client_streaming:
            params = f"request_iterator: {iterator}[{request}]"
        else:
            params = f"request: {request}"
        if aio:
            context = f"grpc.aio.ServicerContext[{request}, {response}]"
        else:
            context = "grpc.ServicerContext"
        returns = f"{iterator}[{response}]" if meth.server_streaming else response
        keyword = "async def" if aio else "def"
        self._call(
            INDENT,
            f"{keyword} {meth.attr}(",
            ["self", params, f"context: {context}"],
            f") -> {returns}:",
        )
        inner = INDENT * 2
        if meth.doc:
            self.lines.extend(doc_literal(meth.doc, inner))
        details = str_literal(f"/{s.full_name}/{meth.proto_name} is not implemented")
        head = "await context.abort(" if aio else "context.abort("
        self._call(inner, head, ["grpc.StatusCode.UNIMPLEMENTED", details])
        if aio and meth.server_streaming:
            # The yield makes this an async generator, which grpc.aio expects of a streaming
            # handler; abort raises before it runs.
            self.lines.append(f"{inner}yield {response}()")

    def _add_function(self, s: ServiceModel) -> None:
        self._call(
            "",
            f"def add_{s.py_name}Servicer_to_server(",
            [
                f"servicer: {s.py_name}Servicer | {s.py_name}AsyncServicer",
                "server: grpc.Server | grpc.aio.Server",
            ],
            ") -> None:",
        )
        doc = (
            f"Serve {s.full_name} on ``server`` through ``servicer``.\n\n``grpc.server()`` "
            "takes a servicer, ``grpc.aio.server()`` an async one."
        )
        self.lines.extend(doc_literal(doc, INDENT))
        self.lines.append(f"{INDENT}_rpc.add_servicer({s.py_name}, servicer, server)")


def render_services(model: ServiceFileModel, *, relative: bool = False) -> str:
    return ServiceRenderer(model, relative=relative).render()
