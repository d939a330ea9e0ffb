"""``AsyncClient``: requests over pooled HTTP/1.1 and HTTP/2 connections.

Both protocols hand a request's response over as one :class:`~velmora.client.exchange.Exchange`
(head, body, trailers, abandon), which :class:`~velmora.client.response.Response` reads."""

from __future__ import annotations

import json as _json
import logging
import ssl
from collections.abc import AsyncIterable, AsyncIterator, Iterable, Mapping
from contextlib import asynccontextmanager
from typing import Any
from urllib.parse import urlencode

from velmora._velmora import HeaderMap, __version__, request_url_parts

from .errors import ClientClosed, LocalProtocolError, UnsupportedProtocol
from .exchange import Disconnected
from .h2 import StreamRefused
from .pool import ConnectionPool, Limits
from .proxy import FORWARD, Router
from .response import Response
from .timeouts import DEFAULT_TIMEOUT, Timeout
from .tls import create_ssl_context

__all__ = ["AsyncClient", "USER_AGENT"]

USER_AGENT = f"velmora/{__version__}"

#: Methods that may be repeated without changing the outcome (RFC 9110, 9.2.2).
IDEMPOTENT = frozenset(("GET", "HEAD", "OPTIONS", "TRACE", "PUT", "DELETE"))
_DEFAULT_PORTS = {"http": 80, "https": 443}
#: How many times a request an HTTP/2 server did not process is sent again. Each time another
#: connection served some requests (a server ending connections after N requests sends GOAWAY
#: to everything above its last stream), so this only bounds a server that refuses everything.
REFUSED_RETRIES = 20
_URL_CACHE_LIMIT = 512
_UNSET: Any = object()
log = logging.getLogger("velmora.client")


class _URL:
    """A request URL split once: where to dial and what to write."""

    __slots__ = ("url", "scheme", "host", "port", "authority", "host_header", "target",
                 "absolute", "auth")

    def __init__(self, url: str) -> None:
        try:
            scheme, host, port, authority, host_header, target, auth = request_url_parts(url)
        except ValueError as exc:
            raise LocalProtocolError(str(exc), request=None) from None
        if scheme not in _DEFAULT_PORTS:
            if scheme is None:
                raise UnsupportedProtocol(f"request URL {url!r} has no scheme: give "
                                          "'http://' or 'https://'")
            raise UnsupportedProtocol(f"unsupported URL scheme {scheme!r} in {url!r}")
        if not host or port is None or authority is None or host_header is None or target is None:
            raise LocalProtocolError(f"request URL {url!r} has no host")
        # Credentials in the URL come back as Basic authentication (RFC 7617); they are never
        # written into the request target.
        self.auth = auth
        self.url = url
        self.scheme = scheme
        self.host = host
        self.port = port
        self.authority = authority
        self.host_header = host_header
        self.target = target
        self.absolute = f"{scheme}://{host_header}{target}"


def _header_items(headers: Any) -> Iterable[tuple[Any, Any]]:
    if headers is None:
        return ()
    if isinstance(headers, HeaderMap):
        return headers.raw_items()
    if isinstance(headers, Mapping):
        return headers.items()
    if hasattr(headers, "multi_items"):
        return headers.multi_items()
    return headers


class AsyncClient:
    """An asyncio HTTP client with a connection pool.

    ``AsyncClient(base_url=None, headers=None, timeout=5.0, verify=True, cert=None,
    proxy=None, trust_env=True, limits=Limits(), http1=True, http2=False,
    http2_prior_knowledge=False, retries=1)``

    - ``headers`` are sent with every request (a request's own headers replace fields of the
      same name); ``user-agent`` defaults to ``velmora/<version>``.
    - ``timeout``: a :class:`Timeout` or seconds for all four; per request too.
    - ``verify`` / ``cert``: TLS verification (``True``, ``False``, a CA bundle path or an
      ``ssl.SSLContext``) and a client certificate.
    - ``proxy``: a proxy URL for every request; otherwise, with ``trust_env``, ``HTTP_PROXY``,
      ``HTTPS_PROXY``, ``ALL_PROXY`` and ``NO_PROXY`` decide per destination.
    - ``http2``: offer HTTP/2 to ``https`` servers (ALPN ``h2``, ``http/1.1``) and use it when
      the server selects it; ``http2_prior_knowledge``: speak HTTP/2 from the first byte to
      ``http`` servers too (h2c). An HTTP/2 connection carries every concurrent request to its
      origin, as many at once as the server allows.
    - ``retries``: how many times a request that failed because a reused connection had been
      closed by the server is sent again on a fresh one (idempotent methods with a replayable
      body only, and only when nothing of the response arrived). A request an HTTP/2 server
      did not process (REFUSED_STREAM, or above the last stream id of its GOAWAY) is sent again
      whatever its method, when its body is replayable (up to 20 times).

    Use it as ``async with AsyncClient() as client:`` or call :meth:`aclose`.
    """

    def __init__(
        self,
        *,
        base_url: str | None = None,
        headers: Any = None,
        timeout: Any = DEFAULT_TIMEOUT,
        verify: bool | str | ssl.SSLContext = True,
        cert: Any = None,
        proxy: str | None = None,
        trust_env: bool = True,
        limits: Limits | None = None,
        http1: bool = True,
        http2: bool = False,
        http2_prior_knowledge: bool = False,
        retries: int = 1,
        local_address: str | None = None,
    ) -> None:
        if not http1 and not (http2 or http2_prior_knowledge):
            raise ValueError("http1=False leaves no protocol to speak")
        self._timeout = Timeout.coerce(timeout)
        self._base_url = base_url.rstrip("/") if base_url else None
        base = HeaderMap([("user-agent", USER_AGENT), ("accept", "*/*")])
        for name, value in _header_items(headers):
            base[name] = value
        self._headers = base
        h2 = http2 or http2_prior_knowledge
        proxy_ssl = None
        if h2 and not isinstance(verify, ssl.SSLContext):
            proxy_ssl = create_ssl_context(verify, cert)  # ALPN http/1.1 only
        self._pool = ConnectionPool(
            ssl_context=create_ssl_context(verify, cert, http2=h2),
            limits=limits or Limits(), local_address=local_address, http2=http2,
            http2_prior_knowledge=http2_prior_knowledge, http1=http1,
            proxy_ssl_context=proxy_ssl)
        self._router = Router(proxy, trust_env=trust_env)
        self._tls_args = (verify, cert)
        self._ws_ssl: ssl.SSLContext | None = None
        self._retries = retries
        self._urls: dict[str, _URL] = {}
        self._head_cache: dict[tuple[str, str | None, str | None], HeaderMap] = {}
        self._closed = False

    # ---- public API ---------------------------------------------------------------------------

    @property
    def pool(self) -> ConnectionPool:
        return self._pool

    @property
    def headers(self) -> HeaderMap:
        return self._headers

    @property
    def is_closed(self) -> bool:
        return self._closed

    async def request(self, method: str, url: str, *, params: Any = None, headers: Any = None,
                      content: Any = None, data: Any = None, json: Any = _UNSET,
                      timeout: Any = _UNSET) -> Response:
        """Send a request and read the whole response."""
        response = await self._send(method, url, params, headers, content, data, json,
                                    timeout, False)
        if response._content is None:
            try:
                await response.read()
            finally:
                await response.aclose()
        return response

    @asynccontextmanager
    async def stream(self, method: str, url: str, *, params: Any = None, headers: Any = None,
                     content: Any = None, data: Any = None, json: Any = _UNSET,
                     timeout: Any = _UNSET) -> AsyncIterator[Response]:
        """``async with client.stream("GET", url) as response:`` with the body unread."""
        response = await self._send(method, url, params, headers, content, data, json,
                                    timeout, True)
        try:
            yield response
        finally:
            await response.aclose()

    async def get(self, url: str, **kwargs: Any) -> Response:
        return await self.request("GET", url, **kwargs)

    async def head(self, url: str, **kwargs: Any) -> Response:
        return await self.request("HEAD", url, **kwargs)

    async def options(self, url: str, **kwargs: Any) -> Response:
        return await self.request("OPTIONS", url, **kwargs)

    async def delete(self, url: str, **kwargs: Any) -> Response:
        return await self.request("DELETE", url, **kwargs)

    async def post(self, url: str, **kwargs: Any) -> Response:
        return await self.request("POST", url, **kwargs)

    async def put(self, url: str, **kwargs: Any) -> Response:
        return await self.request("PUT", url, **kwargs)

    async def patch(self, url: str, **kwargs: Any) -> Response:
        return await self.request("PATCH", url, **kwargs)

    def websocket(self, url: str, *, subprotocols: list[str] | None = None, headers: Any = None,
                  compression: str | None = "deflate", max_size: int = 16 * 1024 * 1024,
                  timeout: float | None = 30.0) -> Any:
        """A WebSocket session over HTTP/1.1 (``ws://`` or ``wss://``, through the proxy that
        routes the URL): ``async with client.websocket(url) as ws:``. ``compression``:
        ``"deflate"`` offers permessage-deflate, ``None`` does not."""
        from .websocket import connect

        return connect(self, url, subprotocols=subprotocols, headers=headers,
                       compression=compression, max_size=max_size, timeout=timeout)

    def _ws_ssl_context(self) -> ssl.SSLContext:
        """The TLS context of WebSocket sessions (ALPN http/1.1 only)."""
        if self._ws_ssl is None:
            verify, cert = self._tls_args
            if isinstance(verify, ssl.SSLContext):
                return verify
            self._ws_ssl = create_ssl_context(verify, cert)
        return self._ws_ssl

    async def aclose(self) -> None:
        if not self._closed:
            self._closed = True
            await self._pool.aclose()

    async def __aenter__(self) -> AsyncClient:
        return self

    async def __aexit__(self, *exc: Any) -> None:
        await self.aclose()

    # ---- the request path ---------------------------------------------------------------------

    def _url(self, url: Any) -> _URL:
        u = self._urls.get(url)
        if u is None:
            if not isinstance(url, str):
                url = str(url)
            if self._base_url is not None and "://" not in url:
                url = self._base_url + (url if url.startswith("/") else "/" + url)
            u = _URL(url)
            if len(self._urls) >= _URL_CACHE_LIMIT:
                self._urls.clear()
            self._urls[url] = u
        return u

    def _request_headers(self, u: _URL, proxy_auth: str | None, headers: Any) -> HeaderMap:
        key = (u.host_header, proxy_auth, u.auth)
        base = self._head_cache.get(key)
        if base is None:
            base = HeaderMap([("host", u.host_header)])
            for name, value in self._headers.raw_items():
                base.add(name, value)
            if u.auth is not None and "authorization" not in base:
                base["authorization"] = u.auth
            if proxy_auth is not None:
                base["proxy-authorization"] = proxy_auth
            if len(self._head_cache) >= _URL_CACHE_LIMIT:
                self._head_cache.clear()
            self._head_cache[key] = base
        if headers is None:
            return base  # the serializer copies it; never modified here
        h = HeaderMap(base)
        for name, value in _header_items(headers):
            h[name] = value
        return h

    async def _send(self, method: str, url: Any, params: Any, headers: Any, content: Any,
                    data: Any, json: Any, timeout: Any, stream: bool) -> Response:
        if self._closed:
            raise ClientClosed("the client has been closed")
        if params:
            url = str(url)
            query = urlencode(list(params.items()) if isinstance(params, Mapping) else params,
                              doseq=True)
            url = url.partition("#")[0]
            url += ("&" if "?" in url else "?") + query
        u = self._url(url)
        method = method.upper()
        timeout = self._timeout if timeout is _UNSET else Timeout.coerce(timeout)
        if json is not _UNSET:
            content = _json.dumps(json, separators=(",", ":")).encode()
            headers = _merged(headers, "content-type", "application/json")
        elif data is not None:
            if isinstance(data, Mapping):
                content = urlencode(list(data.items()), doseq=True).encode()
                headers = _merged(headers, "content-type", "application/x-www-form-urlencoded")
            else:
                content = data
        if content is not None and type(content) is not bytes:
            if isinstance(content, str):
                content = content.encode()
            elif isinstance(content, (bytearray, memoryview)):
                content = bytes(content)
            elif not isinstance(content, (Iterable, AsyncIterable)):
                raise TypeError(f"unsupported request content {type(content).__name__}")
        return await self.send_raw(method, u, headers, content, timeout, stream)

    async def send_raw(self, method: str, u: _URL, headers: Any, content: Any, timeout: Timeout,
                       stream: bool, *, route: Any = None, raw_headers: bool = False
                       ) -> Response:
        """Send one request. ``headers`` are merged with the client's (``raw_headers``: sent
        exactly as given, a complete ``HeaderMap`` with Host)."""
        if route is None:
            route = self._router.route(u.scheme, u.host, u.port, u.authority, u.url)
        forward = route.mode == FORWARD
        if raw_headers:
            hmap = headers
        else:
            hmap = self._request_headers(u, route.proxy_auth if forward else None, headers)
        target = u.absolute if forward else u.target
        expect = False
        if content is not None and "expect" in hmap:
            expect = hmap["expect"].lower() == b"100-continue"
        replayable = content is None or type(content) is bytes
        pool = self._pool
        attempts = self._retries
        refusals = REFUSED_RETRIES
        while True:
            conn = await pool.acquire(route, timeout)
            reused = conn.served > 0
            try:
                exchange = await conn.send(method, target, hmap, content, timeout, expect)
            except StreamRefused:
                if refusals > 0 and replayable:
                    refusals -= 1
                    log.debug("%s %s: the server did not process the request; sending again",
                              method, u.url)
                    continue
                raise
            except Disconnected:
                if reused and attempts > 0 and replayable and method in IDEMPOTENT:
                    attempts -= 1
                    log.debug("%s %s: the server closed a reused connection; sending again "
                              "on a fresh one", method, u.url)
                    continue
                raise
            break
        head = exchange.head
        body = exchange.take_complete_body()
        if body is not None:
            response = Response(head.status, head.headers, conn.http_version, method=method,
                                url=u.url, content=body)
            response._trailers = exchange.trailers
            return response
        return Response(head.status, head.headers, conn.http_version, method=method, url=u.url,
                        stream=exchange, read_timeout=timeout.read)


def _merged(headers: Any, name: str, value: str) -> Any:
    items = list(_header_items(headers))
    if not any((n.decode() if isinstance(n, bytes) else n).lower() == name for n, _ in items):
        items.append((name, value))
    return items
