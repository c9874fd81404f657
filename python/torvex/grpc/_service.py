"""Service descriptors and the glue between generated service modules and grpcio.

Generated ``*_grpc.py`` modules declare each service as a ``Service`` and build their stubs and
server handlers through the functions here. Everything is decided when a stub is created or a
servicer is added: a call goes straight from grpcio to the message classes' ``to_binary`` and
``from_binary``, with no layer of ours in between.
"""

from __future__ import annotations

import enum
from collections.abc import Callable, Iterable
from typing import TYPE_CHECKING, Any, TypeVar, cast

import grpc
import grpc.aio

from .._descriptors import DescFile
from .._options import options_of

if TYPE_CHECKING:
    from ..wkt.descriptor import MethodOptions, ServiceOptions

__all__ = [
    "MethodKind",
    "Method",
    "Service",
    "add_servicer",
    "method_handlers",
    "unary_unary",
    "unary_stream",
    "stream_unary",
    "stream_stream",
    "aio_unary_unary",
    "aio_unary_stream",
    "aio_stream_unary",
    "aio_stream_stream",
]

Req = TypeVar("Req")
Resp = TypeVar("Resp")


class MethodKind(enum.Enum):
    """Whether requests and responses of an RPC method are single messages or streams."""

    UNARY_UNARY = (False, False)
    UNARY_STREAM = (False, True)
    STREAM_UNARY = (True, False)
    STREAM_STREAM = (True, True)

    @property
    def client_streaming(self) -> bool:
        return self.value[0]

    @property
    def server_streaming(self) -> bool:
        return self.value[1]


class Method:
    """One RPC method of a service: ``name`` as in the .proto file, ``path`` the name gRPC
    sends on the wire (``/package.Service/Method``), ``kind``, and the ``input`` and ``output``
    message classes. ``attr`` is the attribute name on stubs and servicers (``name`` unless
    that is a Python keyword)."""

    __slots__ = ("service", "name", "attr", "kind", "input", "output")

    def __init__(
        self, name: str, kind: MethodKind, input: type, output: type, *, attr: str | None = None
    ) -> None:
        self.name = name
        self.attr = attr or name
        self.kind = kind
        self.input = input
        self.output = output
        # Set by the Service the method is given to.
        self.service: Service | None = None

    @property
    def full_name(self) -> str:
        """``package.Service.Method``, the method's name among all descriptors."""
        assert self.service is not None
        return f"{self.service.full_name}.{self.name}"

    @property
    def path(self) -> str:
        assert self.service is not None
        return f"/{self.service.full_name}/{self.name}"

    @property
    def options(self) -> MethodOptions | None:
        """The method's ``MethodOptions`` as the .proto file gave them, or None."""
        assert self.service is not None
        found = options_of(self.service.file, (self.service.name, self.name))
        return cast("MethodOptions | None", found)

    def __repr__(self) -> str:
        return f"<Method {self.path} {self.kind.name.lower()}>"


class Service:
    """An RPC service: its ``name``, ``full_name`` (``package.Service``), the ``file`` it is
    declared in, and its ``methods`` in declaration order (also ``methods_by_name``)."""

    __slots__ = ("file", "name", "full_name", "methods", "methods_by_name")

    def __init__(self, file: DescFile, name: str, methods: Iterable[Method]) -> None:
        self.file = file
        self.name = name
        self.full_name = f"{file.package}.{name}" if file.package else name
        self.methods = list(methods)
        self.methods_by_name = {m.name: m for m in self.methods}
        for method in self.methods:
            if method.service is not None:
                raise ValueError(f"method {method.name} already belongs to a service")
            method.service = self

    @property
    def options(self) -> ServiceOptions | None:
        """The service's ``ServiceOptions`` as the .proto file gave them, or None."""
        return cast("ServiceOptions | None", options_of(self.file, (self.name,)))

    def __repr__(self) -> str:
        return f"<Service {self.full_name}>"


# ---- clients -------------------------------------------------------------------------------
# grpcio's channels take a serializer and a deserializer per method; ours are the message
# classes' own native methods. A registered method lets grpcio skip per-call method lookups.


def _callable(channel: Any, factory: str, method: str, request: type, response: type) -> Any:
    return getattr(channel, factory)(
        method,
        request_serializer=request.to_binary,  # type: ignore[attr-defined]
        response_deserializer=response.from_binary,  # type: ignore[attr-defined]
        _registered_method=True,
    )


def unary_unary(
    channel: grpc.Channel, method: str, request: type[Req], response: type[Resp]
) -> grpc.UnaryUnaryMultiCallable[Req, Resp]:
    return _callable(channel, "unary_unary", method, request, response)  # type: ignore[no-any-return]


def unary_stream(
    channel: grpc.Channel, method: str, request: type[Req], response: type[Resp]
) -> grpc.UnaryStreamMultiCallable[Req, Resp]:
    return _callable(channel, "unary_stream", method, request, response)  # type: ignore[no-any-return]


def stream_unary(
    channel: grpc.Channel, method: str, request: type[Req], response: type[Resp]
) -> grpc.StreamUnaryMultiCallable[Req, Resp]:
    return _callable(channel, "stream_unary", method, request, response)  # type: ignore[no-any-return]


def stream_stream(
    channel: grpc.Channel, method: str, request: type[Req], response: type[Resp]
) -> grpc.StreamStreamMultiCallable[Req, Resp]:
    return _callable(channel, "stream_stream", method, request, response)  # type: ignore[no-any-return]


def aio_unary_unary(
    channel: grpc.aio.Channel, method: str, request: type[Req], response: type[Resp]
) -> grpc.aio.UnaryUnaryMultiCallable[Req, Resp]:
    return _callable(channel, "unary_unary", method, request, response)  # type: ignore[no-any-return]


def aio_unary_stream(
    channel: grpc.aio.Channel, method: str, request: type[Req], response: type[Resp]
) -> grpc.aio.UnaryStreamMultiCallable[Req, Resp]:
    return _callable(channel, "unary_stream", method, request, response)  # type: ignore[no-any-return]


def aio_stream_unary(
    channel: grpc.aio.Channel, method: str, request: type[Req], response: type[Resp]
) -> grpc.aio.StreamUnaryMultiCallable[Req, Resp]:
    return _callable(channel, "stream_unary", method, request, response)  # type: ignore[no-any-return]


def aio_stream_stream(
    channel: grpc.aio.Channel, method: str, request: type[Req], response: type[Resp]
) -> grpc.aio.StreamStreamMultiCallable[Req, Resp]:
    return _callable(channel, "stream_stream", method, request, response)  # type: ignore[no-any-return]


# ---- servers -------------------------------------------------------------------------------


_HANDLERS: dict[MethodKind, Callable[..., Any]] = {
    MethodKind.UNARY_UNARY: grpc.unary_unary_rpc_method_handler,
    MethodKind.UNARY_STREAM: grpc.unary_stream_rpc_method_handler,
    MethodKind.STREAM_UNARY: grpc.stream_unary_rpc_method_handler,
    MethodKind.STREAM_STREAM: grpc.stream_stream_rpc_method_handler,
}


def method_handlers(service: Service, servicer: object) -> dict[str, Any]:
    """grpcio's method handlers of ``service``, by method name, calling ``servicer``'s
    methods (for ``grpc.server`` and ``grpc.aio.server`` alike)."""
    return {
        m.name: _HANDLERS[m.kind](
            getattr(servicer, m.attr),
            request_deserializer=m.input.from_binary,  # type: ignore[attr-defined]
            response_serializer=m.output.to_binary,  # type: ignore[attr-defined]
        )
        for m in service.methods
    }


def add_servicer(
    service: Service, servicer: object, server: grpc.Server | grpc.aio.Server
) -> None:
    """Serve ``service`` on ``server`` through ``servicer``'s methods."""
    handlers = method_handlers(service, servicer)
    # Registered handlers are the fast path; the generic one also answers the server's
    # lookups by name (interceptors, servers without registered methods).
    server.add_generic_rpc_handlers(
        (grpc.method_handlers_generic_handler(service.full_name, handlers),)
    )
    server.add_registered_method_handlers(service.full_name, handlers)
