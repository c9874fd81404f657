"""gRPC for torvex messages: the run-time side of generated ``*_grpc.py`` modules, service
descriptors, and rich error details (``google.rpc.Status`` in the trailing metadata).

Generate service modules with ``--torvex_opt=grpc``; they need ``grpcio`` (``pip install
torvex[grpc]``), the message modules never do.
"""

from ._service import (
    Method,
    MethodKind,
    Service,
    add_servicer,
    aio_stream_stream,
    aio_stream_unary,
    aio_unary_stream,
    aio_unary_unary,
    method_handlers,
    stream_stream,
    stream_unary,
    unary_stream,
    unary_unary,
)
from ._status import (
    DETAILS_KEY,
    FailedCall,
    RpcStatus,
    abort,
    abort_async,
    from_call,
    status_metadata,
    to_grpc_status,
)

__all__ = [
    "DETAILS_KEY",
    "FailedCall",
    "Method",
    "MethodKind",
    "RpcStatus",
    "Service",
    "abort",
    "abort_async",
    "add_servicer",
    "aio_stream_stream",
    "aio_stream_unary",
    "aio_unary_stream",
    "aio_unary_unary",
    "from_call",
    "method_handlers",
    "status_metadata",
    "stream_stream",
    "stream_unary",
    "to_grpc_status",
    "unary_stream",
    "unary_unary",
]
