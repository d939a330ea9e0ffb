"""``AsyncTransport``: httpx's transport interface on velmora's connections.

    import httpx, velmora.client
    async with httpx.AsyncClient(transport=velmora.client.AsyncTransport()) as client:
        r = await client.get("https://example.org/", follow_redirects=True)

httpx keeps everything above the wire (redirects, auth, cookies, content decoding, events);
the requests travel over velmora's pool, HTTP/1.1 connections, proxies and TLS. Errors are raised
as httpx's own exception types. This module imports httpx; nothing else in the package does.
"""

from __future__ import annotations

import ssl
from collections.abc import AsyncIterator, Iterator
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any

import httpx

from velmora._velmora import HeaderMap

from . import errors as E
from ._client import AsyncClient, ClientSettings
from .pool import Limits
from .proxy import FORWARD
from .timeouts import Timeout

if TYPE_CHECKING:
    from .sync import Client

__all__ = ["AsyncTransport", "Transport"]

_ERRORS: tuple[tuple[type[Exception], type[httpx.TransportError]], ...] = (
    (E.ConnectTimeout, httpx.ConnectTimeout),
    (E.ReadTimeout, httpx.ReadTimeout),
    (E.WriteTimeout, httpx.WriteTimeout),
    (E.PoolTimeout, httpx.PoolTimeout),
    (E.ProxyError, httpx.ProxyError),
    (E.UnsupportedProtocol, httpx.UnsupportedProtocol),
    (E.ConnectError, httpx.ConnectError),
    (E.ReadError, httpx.ReadError),
    (E.WriteError, httpx.WriteError),
    (E.CloseError, httpx.CloseError),
    (E.LocalProtocolError, httpx.LocalProtocolError),
    (E.RemoteProtocolError, httpx.RemoteProtocolError),
    (E.TimeoutException, httpx.TimeoutException),
    (E.NetworkError, httpx.NetworkError),
    (E.ProtocolError, httpx.ProtocolError),
    (E.TransportError, httpx.TransportError),
    (E.ClientClosed, httpx.TransportError),
)


@contextmanager
def _mapped(request: httpx.Request) -> Any:
    try:
        yield
    except E.HTTPError as exc:
        for ours, theirs in _ERRORS:
            if isinstance(exc, ours):
                raise theirs(str(exc), request=request) from exc
        raise httpx.TransportError(str(exc), request=request) from exc


def _prepare(client: Any, request: httpx.Request) -> tuple[Any, HeaderMap, Any, Any]:
    """What velmora sends for an httpx request: its URL, head, body and route (the proxy's
    credentials added for a forward proxy)."""
    u = client._url(str(request.url))
    headers = HeaderMap(request.headers.raw)
    stream = request.stream
    if isinstance(stream, httpx.ByteStream):
        data = b"".join(stream)  # type: ignore[arg-type]
        content: Any = data if data or "content-length" in headers else None
    else:
        content = stream
    route = client._router.route(u.scheme, u.host, u.port, u.authority, u.url)
    if route.mode == FORWARD and route.proxy_auth is not None \
            and "proxy-authorization" not in headers:
        headers["proxy-authorization"] = route.proxy_auth
    return u, headers, content, route


def _httpx_response(response: Any, stream: Any) -> httpx.Response:
    return httpx.Response(
        response.status,
        headers=response.header_map.raw_items(),
        stream=stream,
        extensions={"http_version": response.http_version.encode(),
                    "reason_phrase": response.reason_phrase.encode()},
    )


class _Timeouts:
    """The :class:`Timeout` of each httpx request's ``timeout`` extension, remembered."""

    __slots__ = ("_default", "_known")

    def __init__(self, default: Timeout) -> None:
        self._default = default
        self._known: dict[tuple[Any, ...], Timeout] = {}

    def of(self, request: httpx.Request) -> Timeout:
        t = request.extensions.get("timeout")
        if not t:
            return self._default
        key = (t.get("connect"), t.get("read"), t.get("write"), t.get("pool"))
        timeout = self._known.get(key)
        if timeout is None:
            timeout = Timeout(None, connect=key[0], read=key[1], write=key[2], pool=key[3])
            if len(self._known) > 64:
                self._known.clear()
            self._known[key] = timeout
        return timeout


class _ResponseStream(httpx.AsyncByteStream):
    __slots__ = ("_response", "_request")

    def __init__(self, response: Any, request: httpx.Request) -> None:
        self._response = response
        self._request = request

    async def __aiter__(self) -> AsyncIterator[bytes]:
        with _mapped(self._request):
            async for chunk in self._response.aiter_raw():
                yield chunk

    async def aclose(self) -> None:
        await self._response.aclose()


class _Options:
    """The options both transports take, and the velmora client they make with them:
    ``verify``, ``cert``, ``trust_env``, ``proxy``, ``limits`` (velmora's or httpx's
    ``Limits``), ``http1``, ``http2`` (HTTP/2 by ALPN over TLS), ``http2_prior_knowledge``
    (HTTP/2 over plain TCP too), ``retries``, ``local_address``. Timeouts come from httpx with
    each request."""

    _client: Any

    def __init__(
        self,
        *,
        verify: bool | str | ssl.SSLContext = True,
        cert: Any = None,
        trust_env: bool = True,
        proxy: Any = None,
        limits: Any = None,
        http1: bool = True,
        http2: bool = False,
        http2_prior_knowledge: bool = False,
        retries: int = 1,
        local_address: str | None = None,
    ) -> None:
        if isinstance(limits, httpx.Limits):
            limits = Limits(max_connections=limits.max_connections,
                            max_keepalive_connections=limits.max_keepalive_connections,
                            keepalive_expiry=limits.keepalive_expiry)
        if proxy is not None and not isinstance(proxy, str):
            proxy = str(proxy.url if isinstance(proxy, httpx.Proxy) else proxy)
        self._client = self._client_class()(
            verify=verify, cert=cert, trust_env=trust_env, proxy=proxy, limits=limits,
            http1=http1, http2=http2, http2_prior_knowledge=http2_prior_knowledge,
            retries=retries, local_address=local_address, timeout=None)
        self._client._headers = HeaderMap()  # httpx sends its own default headers
        self._timeouts = _Timeouts(self._client._timeout)

    @staticmethod
    def _client_class() -> type[ClientSettings]:
        raise NotImplementedError

    @property
    def pool(self) -> Any:
        return self._client.pool


class AsyncTransport(_Options, httpx.AsyncBaseTransport):
    """An ``httpx.AsyncBaseTransport`` on velmora's connection pool
    (:class:`velmora.client.AsyncClient`): ``httpx.AsyncClient(transport=
    velmora.client.AsyncTransport())``. Takes the pool, protocol, proxy and TLS options of the
    client (see :class:`_Options`)."""

    _client: AsyncClient

    @staticmethod
    def _client_class() -> type[AsyncClient]:
        return AsyncClient

    async def handle_async_request(self, request: httpx.Request) -> httpx.Response:
        client = self._client
        with _mapped(request):
            u, headers, content, route = _prepare(client, request)
            response = await client.send_raw(request.method, u, headers, content,
                                             self._timeouts.of(request), True, route=route,
                                             raw_headers=True)
        return _httpx_response(response, _ResponseStream(response, request))

    async def aclose(self) -> None:
        await self._client.aclose()


class _SyncResponseStream(httpx.SyncByteStream):
    __slots__ = ("_response", "_request")

    def __init__(self, response: Any, request: httpx.Request) -> None:
        self._response = response
        self._request = request

    def __iter__(self) -> Iterator[bytes]:
        with _mapped(self._request):
            yield from self._response.iter_raw()

    def close(self) -> None:
        self._response.close()


class Transport(_Options, httpx.BaseTransport):
    """An ``httpx.BaseTransport`` on the blocking client's pool (:class:`velmora.client.Client`):
    ``httpx.Client(transport=velmora.client.Transport())``. Takes the options of
    :class:`AsyncTransport`."""

    _client: Client

    @staticmethod
    def _client_class() -> type[Client]:
        from .sync import Client

        return Client

    def handle_request(self, request: httpx.Request) -> httpx.Response:
        client = self._client
        with _mapped(request):
            u, headers, content, route = _prepare(client, request)
            response = client.send_raw(request.method, u, headers, content,
                                       self._timeouts.of(request), route=route,
                                       raw_headers=True)
        return _httpx_response(response, _SyncResponseStream(response, request))

    def close(self) -> None:
        self._client.close()
