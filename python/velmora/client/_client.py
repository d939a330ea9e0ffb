"""``AsyncClient``: requests over pooled HTTP/1.1 and HTTP/2 connections.

Both protocols hand a request's response over as one :class:`~velmora.client.exchange.Exchange`
(head, body, trailers, abandon), which :class:`~velmora.client.response.Response` reads."""

from __future__ import annotations

import logging
import ssl
import time
from collections.abc import AsyncIterator, Mapping
from contextlib import asynccontextmanager
from typing import Any
from urllib.parse import urlencode

from velmora._velmora import HeaderMap, __version__

from .auth import Auth, auth_from
from .bodies import encode_body
from .cookies import Cookies
from .decoding import ACCEPT_ENCODING
from .errors import ClientClosed
from .exchange import Disconnected
from .h2 import StreamRefused
from .headers import Headers, header_items
from .models import URL, Request
from .pipeline import DEFAULT_MAX_REDIRECTS, Discard, send_flow
from .pool import ConnectionPool, Limits
from .proxy import FORWARD, Router
from .response import Response
from .timeouts import DEFAULT_TIMEOUT, Timeout
from .tls import create_ssl_context

__all__ = ["AsyncClient", "USER_AGENT"]

USER_AGENT = f"velmora/{__version__}"

#: Methods that may be repeated without changing the outcome (RFC 9110, 9.2.2).
IDEMPOTENT = frozenset(("GET", "HEAD", "OPTIONS", "TRACE", "PUT", "DELETE"))
#: How many times a request an HTTP/2 server did not process is sent again. Each time another
#: connection served some requests (a server ending connections after N requests sends GOAWAY
#: to everything above its last stream), so this only bounds a server that refuses everything.
REFUSED_RETRIES = 20
_URL_CACHE_LIMIT = 512
_UNSET: Any = object()
log = logging.getLogger("velmora.client")


_URL = URL  # the name the httpx transport and older callers use
_header_items = header_items


class ClientSettings:
    """What the async and the sync client share: the constructor (each kind makes its own pool
    in :meth:`_make_pool`), the default headers, the URL and head caches, proxy routes,
    cookies, auth and redirect settings, and how a call becomes a
    :class:`~velmora.client.models.Request`. Sans I/O."""

    _router: Router
    _urls: dict[str, URL]
    _head_cache: dict[tuple[str, str | None, str | None], HeaderMap]
    _tls_args: tuple[Any, Any]
    _ws_ssl: ssl.SSLContext | None

    def _ws_ssl_context(self) -> ssl.SSLContext:
        """The TLS context of HTTP/1.1 WebSocket sessions (ALPN http/1.1 only)."""
        if self._ws_ssl is None:
            verify, cert = self._tls_args
            if isinstance(verify, ssl.SSLContext):
                return verify
            self._ws_ssl = create_ssl_context(verify, cert)
        return self._ws_ssl

    def __init__(
        self,
        *,
        base_url: str | None = None,
        headers: Any = None,
        cookies: Any = None,
        auth: Any = None,
        timeout: Any = DEFAULT_TIMEOUT,
        follow_redirects: bool = False,
        max_redirects: int = DEFAULT_MAX_REDIRECTS,
        allow_insecure_redirects: bool = False,
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
        self._headers = _with_defaults(headers)
        self._cookies = Cookies(cookies)
        self._auth: Auth | None = auth_from(auth)
        self.follow_redirects = follow_redirects
        self.max_redirects = max_redirects
        self.allow_insecure_redirects = allow_insecure_redirects
        h2 = http2 or http2_prior_knowledge
        proxy_ssl = None
        if h2 and not isinstance(verify, ssl.SSLContext):
            proxy_ssl = create_ssl_context(verify, cert)  # ALPN http/1.1 only
        self._pool = self._make_pool(
            ssl_context=create_ssl_context(verify, cert, http2=h2), limits=limits or Limits(),
            local_address=local_address, http1=http1, http2=http2,
            http2_prior_knowledge=http2_prior_knowledge, proxy_ssl_context=proxy_ssl)
        self._router = Router(proxy, trust_env=trust_env)
        self._tls_args = (verify, cert)
        self._ws_ssl = None
        self._retries = retries
        self._urls = {}
        self._head_cache = {}
        self._closed = False

    def _make_pool(self, **options: Any) -> Any:
        """The connection pool of this kind of client, made with the constructor's options."""
        raise NotImplementedError

    @property
    def is_closed(self) -> bool:
        return self._closed

    @property
    def headers(self) -> Headers:
        """The headers sent with every request (changes apply to the next request)."""
        self._head_cache.clear()  # whoever holds the view may change it
        return Headers(self._headers)

    @headers.setter
    def headers(self, value: Any) -> None:
        """Replaces the client's headers (the defaults stay unless ``value`` names them)."""
        self._head_cache.clear()
        self._headers = _with_defaults(value)

    @property
    def cookies(self) -> Cookies:
        return self._cookies

    @cookies.setter
    def cookies(self, value: Any) -> None:
        self._cookies = Cookies(value)

    @property
    def auth(self) -> Auth | None:
        return self._auth

    @auth.setter
    def auth(self, value: Any) -> None:
        self._auth = auth_from(value)

    @property
    def timeout(self) -> Timeout:
        return self._timeout

    @timeout.setter
    def timeout(self, value: Any) -> None:
        self._timeout = Timeout.coerce(value)

    def _url(self, url: Any) -> URL:
        u = self._urls.get(url)
        if u is None:
            if not isinstance(url, str):
                url = str(url)
            if self._base_url is not None and "://" not in url:
                url = self._base_url + (url if url.startswith("/") else "/" + url)
            u = URL(url)
            if len(self._urls) >= _URL_CACHE_LIMIT:
                self._urls.clear()
            self._urls[url] = u
        return u

    def _request_headers(self, u: URL, proxy_auth: str | None, headers: Any) -> HeaderMap:
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
            return base  # shared: a Request copies it before changing it
        h = HeaderMap(base)
        for name, value in header_items(headers):
            h[name] = value
        return h

    def build_request(self, method: str, url: Any, *, params: Any = None, headers: Any = None,
                      content: Any = None, data: Any = None, files: Any = None,
                      json: Any = None, cookies: Any = None,
                      extensions: dict[str, Any] | None = None) -> Request:
        """The :class:`Request` a call sends first (before auth, cookies and redirects)."""
        if params:
            url = str(url)
            query = urlencode(list(params.items()) if isinstance(params, Mapping) else params,
                              doseq=True)
            url = url.partition("#")[0]
            url += ("&" if "?" in url else "?") + query
        u = self._url(url)
        if content is None and data is None and files is None and json is None:
            body = None
        else:
            body, extra = encode_body(content, data, files, json)
            if extra:
                headers = _merged(headers, extra)
        request = self._make_request(method.upper(), u, headers, body, extensions)
        if cookies:
            extensions = request.extensions
            extensions["cookies"] = Cookies(cookies)
        return request

    def _make_request(self, method: str, u: URL, headers: Any, body: Any,
                      extensions: dict[str, Any] | None = None) -> Request:
        route = self._router.route(u.scheme, u.host, u.port, u.authority, u.url)
        proxy_auth = route.proxy_auth if route.mode == FORWARD else None
        hmap = self._request_headers(u, proxy_auth, headers)
        return Request(method, u, route, hmap, body, shared=headers is None,
                       extensions=extensions)

    def _rebuild(self, method: str, url: str, headers: list[tuple[bytes, bytes]],
                 body: Any) -> Request:
        """The request a redirect leads to, with the fields the old one carried over."""
        u = self._url(url)
        request = self._make_request(method, u, headers, body)
        if u.auth is None and "authorization" in request.header_map and \
                not any(n == b"authorization" for n, _ in headers):
            request.remove_header("authorization")  # the client's own, dropped across origins
        return request

    def _flow(self, request: Request, auth: Any, follow_redirects: Any) -> Any:
        """The pipeline of a call, or ``None`` when there is nothing for it to do (no auth, no
        cookies to send, no redirect to follow): the request is then sent as it is."""
        auth = self._auth if auth is _UNSET else auth_from(auth)
        follow = self.follow_redirects if follow_redirects is _UNSET else follow_redirects
        extra = request.extensions.get("cookies") if request.extensions else None
        if auth is None and not follow and not self._cookies and extra is None:
            return None
        return send_flow(request, auth=auth, cookies=self._cookies, extra_cookies=extra,
                         follow_redirects=follow, max_redirects=self.max_redirects,
                         rebuild=self._rebuild,
                         allow_downgrade=self.allow_insecure_redirects)


class AsyncClient(ClientSettings):
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

    _pool: ConnectionPool

    def _make_pool(self, **options: Any) -> ConnectionPool:
        return ConnectionPool(**options)

    # ---- public API ---------------------------------------------------------------------------

    @property
    def pool(self) -> ConnectionPool:
        return self._pool

    async def request(self, method: str, url: Any, *, params: Any = None, headers: Any = None,
                      content: Any = None, data: Any = None, files: Any = None,
                      json: Any = None, cookies: Any = None, auth: Any = _UNSET,
                      follow_redirects: Any = _UNSET, timeout: Any = _UNSET,
                      extensions: dict[str, Any] | None = None) -> Response:
        """Send a request and read the whole response."""
        request = self.build_request(method, url, params=params, headers=headers,
                                     content=content, data=data, files=files, json=json,
                                     cookies=cookies, extensions=extensions)
        response = await self.send(request, auth=auth, follow_redirects=follow_redirects,
                                   timeout=timeout, stream=True)
        if response._content is None:
            try:
                await response.read()
            finally:
                await response.aclose()
        return response

    @asynccontextmanager
    async def stream(self, method: str, url: Any, *, params: Any = None, headers: Any = None,
                     content: Any = None, data: Any = None, files: Any = None,
                     json: Any = None, cookies: Any = None, auth: Any = _UNSET,
                     follow_redirects: Any = _UNSET, timeout: Any = _UNSET,
                     extensions: dict[str, Any] | None = None) -> AsyncIterator[Response]:
        """``async with client.stream("GET", url) as response:`` with the body unread."""
        request = self.build_request(method, url, params=params, headers=headers,
                                     content=content, data=data, files=files, json=json,
                                     cookies=cookies, extensions=extensions)
        response = await self.send(request, auth=auth, follow_redirects=follow_redirects,
                                   timeout=timeout, stream=True)
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
        """A WebSocket session (``ws://`` or ``wss://``): ``async with client.websocket(url) as
        ws:``. On a stream of the pooled HTTP/2 connection when its server announces extended
        CONNECT (RFC 8441), else over HTTP/1.1 on a connection of its own (through the proxy that
        routes the URL). ``compression``: ``"deflate"`` offers permessage-deflate, ``None`` does
        not."""
        from .websocket import connect

        return connect(self, url, subprotocols=subprotocols, headers=headers,
                       compression=compression, max_size=max_size, timeout=timeout)

    async def aclose(self) -> None:
        if not self._closed:
            self._closed = True
            await self._pool.aclose()

    async def __aenter__(self) -> AsyncClient:
        return self

    async def __aexit__(self, *exc: Any) -> None:
        await self.aclose()

    # ---- the request path ---------------------------------------------------------------------

    async def send(self, request: Request, *, stream: bool = False, auth: Any = _UNSET,
                   follow_redirects: Any = _UNSET, timeout: Any = _UNSET) -> Response:
        """Send a built request (:meth:`build_request`) through auth, cookies and redirects;
        the body is read unless ``stream``."""
        if self._closed:
            raise ClientClosed("the client has been closed")
        t = self._timeout if timeout is _UNSET else Timeout.coerce(timeout)
        flow = self._flow(request, auth, follow_redirects)
        if flow is None:
            response = await self._send_request(request, t)
            response.request = request
            if "set-cookie" in response.header_map:
                self._cookies.extract(response.header_map, request)
        else:
            step = next(flow)
            while True:
                if isinstance(step, Discard):
                    r = step.response
                    try:
                        if r._content is None and not r._consumed:
                            await r.read()
                    except Exception:  # the body of a response left behind: not our business
                        pass
                    finally:
                        await r.aclose()
                    result: Any = None
                else:
                    result = await self._send_request(step, t)
                try:
                    step = flow.send(result)
                except StopIteration as done:
                    response = done.value
                    break
        if not stream and response._content is None:
            try:
                await response.read()
            finally:
                await response.aclose()
        return response

    async def send_raw(self, method: str, u: URL, headers: Any, content: Any, timeout: Timeout,
                       stream: bool, *, route: Any = None, raw_headers: bool = False
                       ) -> Response:
        """Send one request as it is (no auth, cookies, redirects or decoding). ``headers``
        are merged with the client's (``raw_headers``: sent exactly as given, a complete
        ``HeaderMap`` with Host)."""
        if route is None:
            route = self._router.route(u.scheme, u.host, u.port, u.authority, u.url)
        if raw_headers:
            request = Request(method, u, route, headers, content)
        else:
            request = self._make_request(method, u, headers, content)
        return await self._send_request(request, timeout, decode=False)

    async def _send_request(self, request: Request, timeout: Timeout, *,
                            decode: bool = True) -> Response:
        """One exchange on a pooled connection: the response with its head (and its body when it
        came with the head)."""
        started = time.perf_counter()
        route = request.route
        u = request.u
        method = request.method
        hmap = request.header_map
        content = request.content
        target = u.absolute if route.mode == FORWARD else u.target
        expect = False
        if content is not None and "expect" in hmap:
            expect = hmap["expect"].lower() == b"100-continue"
        replayable = content is None or type(content) is bytes or request.replayable
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
                                url=u.url, content=body, decode=decode, started=started)
            response._trailers = exchange.trailers
            return response
        return Response(head.status, head.headers, conn.http_version, method=method, url=u.url,
                        stream=exchange, read_timeout=timeout.read, decode=decode,
                        started=started)


def _with_defaults(headers: Any) -> HeaderMap:
    base = HeaderMap([("user-agent", USER_AGENT), ("accept", "*/*"),
                      ("accept-encoding", ACCEPT_ENCODING)])
    for name, value in header_items(headers):
        base[name] = value
    return base


def _merged(headers: Any, extra: list[tuple[str, str]]) -> Any:
    """``headers`` with the body's fields added where the caller did not give them."""
    items = list(header_items(headers))
    given = {(n.decode() if isinstance(n, bytes) else n).lower() for n, _ in items}
    items.extend((n, v) for n, v in extra if n not in given)
    return items
