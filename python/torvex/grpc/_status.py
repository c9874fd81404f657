"""Rich error details: a ``google.rpc.Status`` message carried in the trailing metadata.

A server that fails a call with details puts the serialized ``Status`` (code, message and
``Any`` details) under ``grpc-status-details-bin`` next to the plain status code and message;
a client reads it back from the error. torvex does not bundle googleapis: the caller passes
its own generated ``Status`` class (from ``google/rpc/status.proto``).
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, NoReturn, Protocol, Self, TypeVar, cast

import grpc
import grpc.aio

if TYPE_CHECKING:
    from .._descriptors import DescMessage

__all__ = [
    "DETAILS_KEY",
    "FailedCall",
    "RpcStatus",
    "abort",
    "abort_async",
    "status_metadata",
    "to_grpc_status",
    "from_call",
]

DETAILS_KEY = "grpc-status-details-bin"


class RpcStatus(Protocol):
    """What is used of a generated ``google.rpc.Status`` class."""

    _desc: DescMessage
    code: int
    message: str

    def to_binary(self, *, write_unknown_fields: bool = True) -> bytes: ...

    @classmethod
    def from_binary(cls, data: bytes, *, ignore_unknown_fields: bool = False) -> Self: ...


S = TypeVar("S", bound=RpcStatus)


class FailedCall(Protocol):
    """A finished call: ``grpc.Call``, ``grpc.aio.AioRpcError``, or the ``grpc.RpcError`` a
    sync call raises (which is its call too)."""

    def code(self) -> grpc.StatusCode: ...
    def details(self) -> str | None: ...
    def trailing_metadata(self) -> Any: ...


def _status_code(code: int) -> grpc.StatusCode:
    for member in grpc.StatusCode:
        if member.value[0] == code:
            return member
    raise ValueError(f"invalid status code {code}")


def _check(status: RpcStatus) -> grpc.StatusCode:
    if status._desc.type_name != "google.rpc.Status":
        raise TypeError(f"expected a google.rpc.Status message, got {status._desc.type_name}")
    if status.code == 0:
        raise ValueError("a status with code OK carries no error")
    return _status_code(status.code)


def status_metadata(status: RpcStatus) -> tuple[tuple[str, bytes]]:
    """The trailing metadata that carries ``status``."""
    _check(status)
    return ((DETAILS_KEY, status.to_binary()),)


class _GrpcStatus(grpc.Status):
    # grpc.Status names three attributes and has no constructor.
    def __init__(self, code: grpc.StatusCode, details: str, metadata: Any) -> None:
        self.code = code
        self.details = details
        self.trailing_metadata = metadata


def to_grpc_status(status: RpcStatus) -> grpc.Status:
    """``status`` as a ``grpc.Status`` for ``context.abort_with_status``: its code, its
    message as the details, and itself in the trailing metadata."""
    return _GrpcStatus(_check(status), status.message, status_metadata(status))


def abort(context: grpc.ServicerContext, status: RpcStatus) -> NoReturn:
    """End the call being served with ``status`` (a ``grpc.server`` handler)."""
    context.abort_with_status(to_grpc_status(status))
    raise AssertionError("abort_with_status returned")  # grpcio raises; keeps checkers sure


async def abort_async(context: grpc.aio.ServicerContext[Any, Any], status: RpcStatus) -> NoReturn:
    """End the call being served with ``status`` (a ``grpc.aio.server`` handler)."""
    code = _check(status)
    await context.abort(code, status.message, trailing_metadata=status_metadata(status))


def from_call(call: FailedCall | grpc.RpcError, status_class: type[S]) -> S | None:
    """The ``Status`` a failed call carries in its trailing metadata, or None when it has
    none. ``ValueError`` when it contradicts the call's own code or message, as a status
    from another call would. A ``grpc.RpcError`` raised by a sync call is also its call."""
    if not callable(getattr(call, "trailing_metadata", None)):
        raise TypeError(f"expected a finished call or its RpcError, got {type(call).__name__}")
    done = cast(FailedCall, call)
    metadata: Sequence[tuple[str, str | bytes]] | None = done.trailing_metadata()
    if metadata is None:
        return None
    for key, value in metadata:
        if key != DETAILS_KEY:
            continue
        if not isinstance(value, bytes):
            raise ValueError(f"{DETAILS_KEY} holds text, not bytes")
        status = status_class.from_binary(value)
        code = done.code()
        if code.value[0] != status.code:
            raise ValueError(
                f"status code {status.code} in {DETAILS_KEY} differs from the call's "
                f"{code.value[0]} ({code.name})"
            )
        if (done.details() or "") != status.message:
            raise ValueError(f"status message in {DETAILS_KEY} differs from the call's details")
        return status
    return None
