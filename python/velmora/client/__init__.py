"""The HTTP client: ``AsyncClient`` (asyncio, HTTP/1.1 and HTTP/2) and ``Client`` (blocking,
thread-safe, HTTP/1.1) share one request pipeline (auth, cookies, redirects, content decoding);
``AsyncTransport`` and ``Transport`` run ``httpx.AsyncClient`` / ``httpx.Client`` on their
connections.

    async with velmora.client.AsyncClient() as client:
        response = await client.get("https://example.org/")
        print(response.status, response.headers.get("content-type"), len(response.content))

    with velmora.client.Client() as client:
        print(client.get("https://example.org/").text)

httpx is optional: it is imported only when a transport is used.
"""

from __future__ import annotations

from typing import Any

from ._client import USER_AGENT, AsyncClient
from . import errors
from .auth import Auth, BasicAuth, DigestAuth, FunctionAuth
from .cookies import Cookies
from .headers import Headers
from .models import Request
from .sync import Client, SyncResponse
from .errors import (
    ClientClosed,
    CloseError,
    ConnectError,
    DecodingError,
    ConnectTimeout,
    HTTPError,
    LocalProtocolError,
    NetworkError,
    PoolTimeout,
    ProtocolError,
    ProxyError,
    ReadError,
    ReadTimeout,
    RemoteProtocolError,
    RequestError,
    ResponseNotRead,
    StreamClosed,
    StreamConsumed,
    TimeoutException,
    TooManyRedirects,
    TransportError,
    UnsupportedProtocol,
    WriteError,
    WriteTimeout,
)
from .pool import ConnectionPool, Limits
from .response import HTTPStatusError, Response
from .timeouts import Timeout
from .tls import create_ssl_context

__all__ = [
    "AsyncClient",
    "AsyncTransport",
    "Client",
    "SyncResponse",
    "Transport",
    "Response",
    "Request",
    "Headers",
    "Cookies",
    "Auth",
    "BasicAuth",
    "DigestAuth",
    "FunctionAuth",
    "Timeout",
    "Limits",
    "ConnectionPool",
    "create_ssl_context",
    "USER_AGENT",
    "HTTPStatusError",
    *errors.__all__,
]


def __getattr__(name: str) -> Any:
    if name in ("AsyncTransport", "Transport"):  # imports httpx
        from . import transport

        return getattr(transport, name)
    raise AttributeError(f"module 'velmora.client' has no attribute {name!r}")
