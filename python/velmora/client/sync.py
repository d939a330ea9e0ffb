"""The blocking client: ``Client``, its thread-safe ``SyncPool`` and ``SyncResponse``.

Requests run on the calling thread over blocking sockets (no event loop anywhere), through the
same request pipeline as :class:`~velmora.client.AsyncClient` (auth, cookies, redirects, content
decoding) and the same core connection state (:mod:`velmora.client.sync_h1` on
``H1ClientState``, :mod:`velmora.client.sync_h2` on ``H2Streams``). Any number of threads may
share one ``Client``: the pool hands each request an HTTP/1.1 connection of its own, or a stream
of the route's shared HTTP/2 connection.

    with velmora.client.Client() as client:
        r = client.get("https://example.org/")
        print(r.status_code, r.headers["content-type"], r.text)
"""

from __future__ import annotations

import codecs
import socket
import ssl
import threading
import time
from collections import deque
from collections.abc import Hashable, Iterator
from contextlib import contextmanager
from typing import Any

from velmora._velmora import HeaderMap

from ._client import _UNSET, IDEMPOTENT, REFUSED_RETRIES, ClientSettings
from .errors import (
    ClientClosed,
    ConnectError,
    ConnectTimeout,
    PoolTimeout,
    ProxyError,
    StreamClosed,
    StreamConsumed,
    UnsupportedProtocol,
)
from .dial import speaks_h2
from .exchange import Disconnected
from .h2 import StreamRefused
from .models import URL, Request
from .pipeline import Discard
from .pool import Limits, PoolCounts
from .proxy import DIRECT, FORWARD, TUNNEL, Route
from .response import BaseResponse, _Rechunk
from .sync_h1 import SyncConnection
from .timeouts import Timeout

__all__ = ["Client", "SyncPool", "SyncResponse"]


class SyncResponse(BaseResponse):
    """A response of :class:`Client`: ``read()``, ``iter_bytes()`` (decoded), ``iter_raw()``,
    ``iter_text()``, ``iter_lines()``; a context manager when streamed."""

    __slots__ = ()

    def read(self) -> bytes:
        if self._content is None:
            if self._consumed:
                raise StreamConsumed()
            dec = self._decoder() if "content-encoding" in self.header_map else None
            if dec is None:
                self._content = b"".join(self.iter_bytes())
            else:
                self._content = dec.decode_all(b"".join(self._raw()))
        return self._content

    def iter_bytes(self, chunk_size: int | None = None) -> Iterator[bytes]:
        if self._content is not None:
            yield from self._pieces(self._content, chunk_size)
            return
        dec = self._decoder() if "content-encoding" in self.header_map else None
        cut = _Rechunk(chunk_size) if chunk_size else None
        for chunk in self._raw():
            if dec is not None:
                chunk = dec.decode(chunk)
            if cut is not None:
                yield from cut.feed(chunk)
            elif chunk:
                yield chunk
        tail = dec.flush() if dec is not None else b""
        if cut is not None:
            yield from cut.feed(tail) + cut.rest()
        elif tail:
            yield tail

    def iter_raw(self, chunk_size: int | None = None) -> Iterator[bytes]:
        if self._content is not None:
            if self._decode and self._decoder() is not None:
                raise StreamConsumed()
            yield from self._pieces(self._content, chunk_size)
            return
        cut = _Rechunk(chunk_size) if chunk_size else None
        for chunk in self._raw():
            if cut is None:
                yield chunk
            else:
                yield from cut.feed(chunk)
        if cut is not None:
            yield from cut.rest()

    def iter_text(self, chunk_size: int | None = None) -> Iterator[str]:
        dec = codecs.getincrementaldecoder(self.encoding)(errors="replace")
        for chunk in self.iter_bytes(chunk_size):
            text = dec.decode(chunk)
            if text:
                yield text
        text = dec.decode(b"", True)
        if text:
            yield text

    def iter_lines(self) -> Iterator[str]:
        rest = ""
        for text in self.iter_text():
            lines = (rest + text).splitlines(keepends=True)
            rest = lines.pop() if lines and not lines[-1].endswith(("\n", "\r")) else ""
            for line in lines:
                yield line.rstrip("\r\n")
        if rest:
            yield rest

    def _raw(self) -> Iterator[bytes]:
        if self._consumed:
            raise StreamConsumed()
        self._consumed = True
        if self._raw_body is not None:
            body, self._raw_body = self._raw_body, None
            yield body
            return
        stream = self._stream
        if stream is None:
            raise StreamClosed()
        timeout = self._read_timeout
        complete = False
        try:
            while True:
                chunk = stream.read_chunk(timeout)
                if chunk is None:
                    complete = True
                    self._trailers = stream.trailers
                    return
                self.num_bytes_downloaded += len(chunk)
                yield chunk
        finally:
            self._finish(complete)

    def close(self) -> None:
        if self._stream is not None:
            self._consumed = True
            self._finish(False)

    def __enter__(self) -> SyncResponse:
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __del__(self) -> None:
        stream = self._stream
        if stream is not None and self._latch is not None and self._latch.try_acquire():
            self._stream = None
            stream.collected()


class SyncPool(PoolCounts):
    """HTTP/1.1 connections kept per route for reuse, shared by threads (one lock; a thread
    waiting for a free slot waits on a condition, bounded by the ``pool`` timeout)."""

    def __init__(self, *, ssl_context: ssl.SSLContext, limits: Limits,
                 local_address: str | None = None,
                 proxy_ssl_context: ssl.SSLContext | None = None, http1: bool = True,
                 http2: bool = False, http2_prior_knowledge: bool = False) -> None:
        self._http1 = http1
        self._http2 = http2 or http2_prior_knowledge
        self._prior_knowledge = http2_prior_knowledge
        #: One HTTP/2 connection per route, shared by every thread's requests.
        self._shared: dict[Hashable, Any] = {}
        #: Routes with a connection being opened that may turn out to be HTTP/2: the other
        #: requests of the route wait for it instead of opening their own.
        self._opening: set[Hashable] = set()
        self._ssl = ssl_context
        self._proxy_ssl = proxy_ssl_context or ssl_context
        self._limits = limits
        self._local = (local_address, 0) if local_address else None
        self._lock = threading.Lock()
        self._freed = threading.Condition(self._lock)
        self._idle: dict[Hashable, list[SyncConnection]] = {}
        self._count: dict[Hashable, int] = {}
        self._all: set[SyncConnection] = set()
        #: Connections the garbage collector closed, accounted for at the next checkout.
        self._dropped: deque[SyncConnection] = deque()
        self._total = 0
        self._idle_total = 0
        self._closed = False

    def acquire(self, route: Route, timeout: Timeout) -> SyncConnection:
        key = route.key
        deadline = None if timeout.pool is None else time.monotonic() + timeout.pool
        expiry = self._limits.keepalive_expiry
        with self._lock:
            while True:
                while self._dropped:
                    self._discard(self._dropped.popleft())
                if self._closed:
                    raise ClientClosed("the client has been closed")
                shared = self._shared.get(key)
                if shared is not None and shared.is_dead():
                    self._discard(shared)
                    shared = None
                if shared is not None or key in self._opening:
                    if shared is not None and shared.try_begin_exchange():
                        return shared  # type: ignore[no-any-return]
                    # every stream the server allows is in use, or the connection is still
                    # being opened: wait for a stream or for the connection
                    remaining = None if deadline is None else deadline - time.monotonic()
                    if remaining is not None and remaining <= 0 or \
                            not self._freed.wait(remaining):
                        raise PoolTimeout("timed out waiting for a free HTTP/2 stream")
                    continue
                lst = self._idle.get(key)
                while lst:
                    conn = lst.pop()
                    self._idle_total -= 1
                    fresh = expiry is None or time.monotonic() - conn.idle_since < expiry
                    if fresh and not conn.is_stale() and conn.try_begin_exchange():
                        return conn
                    self._discard(conn)
                    conn.close()
                if self._reserve(key):
                    break
                remaining = None if deadline is None else deadline - time.monotonic()
                if remaining is not None and remaining <= 0 or \
                        not self._freed.wait(remaining):
                    raise PoolTimeout("timed out waiting for a connection from the pool")
            opening = self._http2 and (route.tls or (self._prior_knowledge
                                                    and route.mode == DIRECT))
            if opening:
                self._opening.add(key)
        try:
            conn = self._open(route, timeout)
        except BaseException:
            with self._lock:
                self._unreserve(key)
                if opening:
                    self._opening.discard(key)
                    self._freed.notify_all()
            raise
        with self._lock:
            self._all.add(conn)
            if conn.multiplexed:
                self._shared[key] = conn
            conn.try_begin_exchange()
            if opening:
                self._opening.discard(key)
                self._freed.notify_all()
        return conn

    def _slot_freed(self) -> None:
        self._freed.notify()

    def retired(self, conn: Any) -> None:
        """An HTTP/2 connection takes no new streams (GOAWAY, failure): it closes once idle."""
        with self._lock:
            self._discard(conn)
            self._freed.notify_all()

    def released(self, conn: Any, reusable: bool) -> None:
        """A connection finished an exchange; ``reusable`` is the core's verdict."""
        if conn.multiplexed:
            with self._lock:
                if not reusable or self._shared.get(conn.key) is not conn:
                    self._discard(conn)
                    if conn.num_streams == 0:
                        conn.close()
                self._freed.notify_all()
            return
        with self._lock:
            lim = self._limits.max_keepalive_connections
            if not reusable or self._closed or conn not in self._all or \
                    (lim is not None and self._idle_total >= lim):
                self._discard(conn)
                if reusable:
                    conn.close()
                return
            conn.idle_since = time.monotonic()
            self._idle.setdefault(conn.key, []).append(conn)
            self._idle_total += 1
            self._freed.notify()

    def dropped(self, conn: SyncConnection) -> None:
        self._dropped.append(conn)  # no lock: this runs from the garbage collector

    def _open(self, route: Route, timeout: Timeout) -> Any:
        sock = self.dial(route, timeout)
        if self._speaks_h2(sock, route):
            from .sync_h2 import SyncH2Connection

            conn = SyncH2Connection(sock, self, route.key,
                                    scheme="https" if route.tls else "http")
            try:
                conn.start(timeout.connect)
            except BaseException:
                conn.close()
                raise
            return conn
        return SyncConnection(sock, self, route.key)

    def dial(self, route: Route, timeout: Timeout, tls: ssl.SSLContext | None = None,
             tunnel: bool = False) -> socket.socket:
        """A socket connected to the origin of ``route`` (through its proxy: TLS to the proxy,
        a CONNECT tunnel, TLS to the origin with ``tls`` or the pool's context); ``tunnel``:
        a plain origin behind a forward proxy is reached through a tunnel as well."""
        host, port = route.dial_host, route.dial_port
        ctx = tls or self._ssl
        try:
            sock = socket.create_connection((host, port), timeout.connect,
                                            source_address=self._local)
        except socket.timeout:
            raise ConnectTimeout(f"timed out connecting to {host}:{port}") from None
        except OSError as exc:
            raise ConnectError(f"cannot connect to {host}:{port}: {exc.strerror or exc}") \
                from exc
        try:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            sock.settimeout(timeout.connect)
            if route.mode == DIRECT:
                if route.tls:
                    sock = ctx.wrap_socket(sock, server_hostname=route.host)
            else:
                if route.proxy_tls:
                    sock = self._proxy_ssl.wrap_socket(sock, server_hostname=route.proxy_host)
                if route.mode == TUNNEL or tunnel:
                    sock = self._tunnel(sock, route, timeout)
                    sock.settimeout(timeout.connect)
                    if route.tls:
                        sock = ctx.wrap_socket(sock, server_hostname=route.host)
        except socket.timeout:
            sock.close()
            raise ConnectTimeout(f"timed out connecting to {host}:{port}") from None
        except ssl.SSLError as exc:
            sock.close()
            raise ConnectError(f"TLS handshake with {route.host}:{route.port} failed: "
                               f"{exc}") from exc
        except OSError as exc:
            sock.close()
            raise ConnectError(f"cannot connect to {host}:{port}: {exc}") from exc
        except BaseException:
            sock.close()
            raise
        return sock

    def _speaks_h2(self, sock: socket.socket, route: Route) -> bool:
        try:
            return speaks_h2(sock if isinstance(sock, ssl.SSLSocket) else None, route,
                             http1=self._http1, http2=self._http2,
                             prior_knowledge=self._prior_knowledge)
        except UnsupportedProtocol:
            sock.close()
            raise

    @staticmethod
    def _tunnel(sock: socket.socket, route: Route, timeout: Timeout) -> socket.socket:
        from velmora._velmora import HeaderMap

        conn = SyncConnection(sock)
        headers = HeaderMap([("host", route.authority)])
        if route.proxy_auth is not None:
            headers["proxy-authorization"] = route.proxy_auth
        conn.try_begin_exchange()
        head = conn.send("CONNECT", route.authority, headers, None, timeout).head
        if 200 <= head.status < 300 and head.is_upgrade:
            tunnel, leftover = conn.take_tunnel()
            if tunnel is None or leftover:
                raise ProxyError("the proxy sent bytes before the tunnel's TLS handshake")
            return tunnel  # type: ignore[no-any-return]
        conn.close()
        raise ProxyError(f"the proxy {route.proxy_uri} answered {head.status} to "
                         f"CONNECT {route.authority}")

    def close(self) -> None:
        with self._lock:
            self._closed = True
            conns = list(self._all)
            self._all.clear()
            self._shared.clear()
            self._idle.clear()
            self._count.clear()
            self._total = self._idle_total = 0
            self._freed.notify_all()
        for conn in conns:
            conn.close()


class Client(ClientSettings):
    """A blocking HTTP client with a thread-safe connection pool; the arguments and methods of
    :class:`~velmora.client.AsyncClient` without ``await``. With ``http2`` (ALPN over TLS) or
    ``http2_prior_knowledge`` (h2c), one HTTP/2 connection per origin carries the requests of
    every thread at once."""

    _pool: SyncPool

    def _make_pool(self, **options: Any) -> SyncPool:
        return SyncPool(**options)

    @property
    def pool(self) -> SyncPool:
        return self._pool

    def request(self, method: str, url: Any, *, params: Any = None, headers: Any = None,
                content: Any = None, data: Any = None, files: Any = None, json: Any = None,
                cookies: Any = None, auth: Any = _UNSET, follow_redirects: Any = _UNSET,
                timeout: Any = _UNSET, extensions: dict[str, Any] | None = None
                ) -> SyncResponse:
        request = self.build_request(method, url, params=params, headers=headers,
                                     content=content, data=data, files=files, json=json,
                                     cookies=cookies, extensions=extensions)
        return self.send(request, auth=auth, follow_redirects=follow_redirects, timeout=timeout)

    @contextmanager
    def stream(self, method: str, url: Any, *, params: Any = None, headers: Any = None,
               content: Any = None, data: Any = None, files: Any = None, json: Any = None,
               cookies: Any = None, auth: Any = _UNSET, follow_redirects: Any = _UNSET,
               timeout: Any = _UNSET, extensions: dict[str, Any] | None = None
               ) -> Iterator[SyncResponse]:
        request = self.build_request(method, url, params=params, headers=headers,
                                     content=content, data=data, files=files, json=json,
                                     cookies=cookies, extensions=extensions)
        response = self.send(request, auth=auth, follow_redirects=follow_redirects,
                             timeout=timeout, stream=True)
        try:
            yield response
        finally:
            response.close()

    def get(self, url: Any, **kwargs: Any) -> SyncResponse:
        return self.request("GET", url, **kwargs)

    def head(self, url: Any, **kwargs: Any) -> SyncResponse:
        return self.request("HEAD", url, **kwargs)

    def options(self, url: Any, **kwargs: Any) -> SyncResponse:
        return self.request("OPTIONS", url, **kwargs)

    def delete(self, url: Any, **kwargs: Any) -> SyncResponse:
        return self.request("DELETE", url, **kwargs)

    def post(self, url: Any, **kwargs: Any) -> SyncResponse:
        return self.request("POST", url, **kwargs)

    def put(self, url: Any, **kwargs: Any) -> SyncResponse:
        return self.request("PUT", url, **kwargs)

    def patch(self, url: Any, **kwargs: Any) -> SyncResponse:
        return self.request("PATCH", url, **kwargs)

    def websocket(self, url: str, *, subprotocols: list[str] | None = None, headers: Any = None,
                  compression: str | None = "deflate", max_size: int = 16 * 1024 * 1024,
                  timeout: float | None = 30.0) -> Any:
        """A blocking WebSocket session over HTTP/1.1 (``ws://`` or ``wss://``, through the
        proxy that routes the URL): ``with client.websocket(url) as ws:``. ``compression``:
        ``"deflate"`` offers permessage-deflate, ``None`` does not."""
        from .sync_websocket import connect

        if self._closed:
            raise ClientClosed("the client has been closed")
        return connect(self, url, subprotocols=subprotocols, headers=headers,
                       compression=compression, max_size=max_size, timeout=timeout)

    def close(self) -> None:
        if not self._closed:
            self._closed = True
            self._pool.close()

    def __enter__(self) -> Client:
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    # ---- the request path ---------------------------------------------------------------------

    def send(self, request: Request, *, stream: bool = False, auth: Any = _UNSET,
             follow_redirects: Any = _UNSET, timeout: Any = _UNSET) -> SyncResponse:
        """Send a built request through auth, cookies and redirects; the body is read unless
        ``stream``."""
        if self._closed:
            raise ClientClosed("the client has been closed")
        t = self._timeout if timeout is _UNSET else Timeout.coerce(timeout)
        flow = self._flow(request, auth, follow_redirects)
        if flow is None:
            response = self._send_request(request, t)
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
                            r.read()
                    except Exception:  # the body of a response left behind
                        pass
                    finally:
                        r.close()
                    result: Any = None
                else:
                    result = self._send_request(step, t)
                try:
                    step = flow.send(result)
                except StopIteration as done:
                    response = done.value
                    break
        if not stream and response._content is None:
            try:
                response.read()
            finally:
                response.close()
        return response

    def send_raw(self, method: str, u: URL, headers: Any, content: Any, timeout: Timeout, *,
                 route: Any = None, raw_headers: bool = False) -> SyncResponse:
        """One request as it is (no auth, cookies, redirects or decoding), body unread."""
        if route is None:
            route = self._router.route(u.scheme, u.host, u.port, u.authority, u.url)
        if raw_headers:
            request = Request(method, u, route, headers, content)
        else:
            request = self._make_request(method, u, headers, content)
        return self._send_request(request, timeout, decode=False)

    def _send_request(self, request: Request, timeout: Timeout, *,
                      decode: bool = True) -> SyncResponse:
        started = time.perf_counter()
        route = request.route
        u = request.u
        method = request.method
        target = u.absolute if route.mode == FORWARD else u.target
        replayable = request.replayable
        attempts = self._retries
        refusals = REFUSED_RETRIES
        while True:
            conn = self._pool.acquire(route, timeout)
            reused = conn.served > 0
            try:
                exchange = conn.send(method, target, request.header_map, request.content,
                                     timeout)
            except StreamRefused:
                if refusals > 0 and replayable:
                    refusals -= 1
                    continue
                raise
            except Disconnected:
                if reused and attempts > 0 and replayable and method in IDEMPOTENT:
                    attempts -= 1
                    continue
                raise
            break
        head = exchange.head
        body = exchange.take_complete_body()
        if body is not None:
            response = SyncResponse(head.status, head.headers, conn.http_version, method=method,
                                    url=u.url, content=body, decode=decode, started=started)
            response._trailers = exchange.trailers
            return response
        return SyncResponse(head.status, head.headers, conn.http_version, method=method,
                            url=u.url, stream=exchange, read_timeout=timeout.read,
                            decode=decode, started=started)
