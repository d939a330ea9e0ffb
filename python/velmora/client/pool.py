"""The connection pool: keep-alive reuse per origin, limits, idle expiry, opening connections.

Idle connections are kept per route key (most recently used first) with the core's idle watcher
parked on them, so a connection the server closed while it sat idle is dropped before anyone asks
for it. A request first takes an idle connection of its route, else opens one when the limits
allow, else waits (``pool`` timeout) for a connection to come back or a slot to free up.

The pool hands out connection objects with a small protocol, so that an HTTP/2 connection class
can be plugged in beside :class:`~velmora.client.h1.Connection`:

- ``key``, ``served``, ``idle_since``, ``http_version``, ``multiplexed`` (class attribute);
- ``try_begin_exchange()`` claims the connection (HTTP/1) or a stream slot (HTTP/2) and says
  whether it succeeded; ``is_dead()``; ``idle()`` (entering an idle period); ``close()``;
- ``send(method, target, headers, content, timeout, expect_continue)`` returns the response head
  and ``take_complete_body()`` / ``read_chunk(timeout)`` / ``abandon()`` read its body;
- it reports back through ``pool._release(conn, reusable)`` and ``pool._lost(conn)``.

A ``multiplexed`` connection is shared: it is kept in ``_shared`` (one per route key) and handed
to every request while ``try_begin_exchange()`` grants a slot, instead of going to the idle list.
"""

from __future__ import annotations

import asyncio
import logging
import os
import ssl
from collections import deque
from typing import Any

from .errors import (
    ConnectError,
    ConnectTimeout,
    PoolTimeout,
    ProxyError,
    UnsupportedProtocol,
)
from .h1 import Connection
from .proxy import DIRECT, TUNNEL, Route, open_tunnel

log = logging.getLogger("velmora.client")

__all__ = ["ConnectionPool", "Limits", "create_ssl_context"]


class Limits:
    """Pool limits.

    - ``max_connections``: connections open at once, all origins together (``None``: no limit).
    - ``max_connections_per_host``: connections open at once to one origin (``None``: only the
      total limit applies).
    - ``max_keepalive_connections``: idle connections kept for reuse (``None``: as many as open).
    - ``keepalive_expiry``: seconds an idle connection is kept (``None``: until the server
      closes it).
    """

    __slots__ = ("max_connections", "max_connections_per_host", "max_keepalive_connections",
                 "keepalive_expiry")

    def __init__(self, *, max_connections: int | None = 100,
                 max_connections_per_host: int | None = None,
                 max_keepalive_connections: int | None = 20,
                 keepalive_expiry: float | None = 5.0) -> None:
        for name, value in (("max_connections", max_connections),
                            ("max_connections_per_host", max_connections_per_host),
                            ("max_keepalive_connections", max_keepalive_connections)):
            if value is not None and (not isinstance(value, int) or value < 0
                                      or (value == 0 and name != "max_keepalive_connections")):
                raise ValueError(f"{name} must be a positive integer or None")
        self.max_connections = max_connections
        self.max_connections_per_host = max_connections_per_host
        self.max_keepalive_connections = max_keepalive_connections
        self.keepalive_expiry = keepalive_expiry

    def __repr__(self) -> str:
        return (f"Limits(max_connections={self.max_connections}, "
                f"max_connections_per_host={self.max_connections_per_host}, "
                f"max_keepalive_connections={self.max_keepalive_connections}, "
                f"keepalive_expiry={self.keepalive_expiry})")


def create_ssl_context(verify: bool | str | ssl.SSLContext = True,
                       cert: str | tuple[str, str] | tuple[str, str, str] | None = None,
                       *, http2: bool = False) -> ssl.SSLContext:
    """A client TLS context: ``verify`` is ``True`` (system CAs, or ``SSL_CERT_FILE`` /
    ``SSL_CERT_DIR``), ``False`` (no verification), a CA bundle file or directory, or a ready
    context (used as is, except that its ALPN list is set to the protocols this client
    speaks). ``cert`` is a client certificate file, or ``(cert, key)`` or
    ``(cert, key, password)``."""
    if isinstance(verify, ssl.SSLContext):
        verify.set_alpn_protocols(["h2", "http/1.1"] if http2 else ["http/1.1"])
        return verify
    if verify is False:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
    elif verify is True:
        ctx = ssl.create_default_context()
        cafile, capath = os.environ.get("SSL_CERT_FILE"), os.environ.get("SSL_CERT_DIR")
        if cafile and os.path.isfile(cafile):
            ctx.load_verify_locations(cafile=cafile)
        if capath and os.path.isdir(capath):
            ctx.load_verify_locations(capath=capath)
    elif isinstance(verify, (str, os.PathLike)):
        ctx = ssl.create_default_context()
        if os.path.isdir(verify):
            ctx.load_verify_locations(capath=os.fspath(verify))
        else:
            ctx.load_verify_locations(cafile=os.fspath(verify))
    else:
        raise TypeError("verify must be a bool, a CA bundle path or an ssl.SSLContext")
    ctx.minimum_version = ssl.TLSVersion.TLSv1_2
    if cert is not None:
        if isinstance(cert, str):
            ctx.load_cert_chain(cert)
        else:
            ctx.load_cert_chain(*cert)
    ctx.set_alpn_protocols(["h2", "http/1.1"] if http2 else ["http/1.1"])
    return ctx


class _Bootstrap(asyncio.Protocol):
    """The protocol of a transport until its connection object takes it over."""

    __slots__ = ("data", "closed")

    def __init__(self) -> None:
        self.data: list[bytes] = []
        self.closed = False

    def data_received(self, data: bytes) -> None:
        self.data.append(data)

    def eof_received(self) -> bool:
        self.closed = True
        return False

    def connection_lost(self, exc: Exception | None) -> None:
        self.closed = True


class ConnectionPool:
    """Connections to any number of origins, reused across requests."""

    def __init__(self, *, ssl_context: ssl.SSLContext, limits: Limits,
                 local_address: str | None = None, http2: bool = False,
                 http2_prior_knowledge: bool = False, http1: bool = True,
                 proxy_ssl_context: ssl.SSLContext | None = None) -> None:
        self._ssl = ssl_context
        #: TLS to an HTTPS proxy speaks HTTP/1.1 (CONNECT, absolute-form requests) whatever
        #: the origins speak.
        self._proxy_ssl = proxy_ssl_context or ssl_context
        self._http2 = http2 or http2_prior_knowledge
        self._prior_knowledge = http2_prior_knowledge
        self._http1 = http1
        #: Route key -> future of a connection being opened that may turn out to be HTTP/2:
        #: other requests of the route wait for it instead of opening their own.
        self._opening: dict[Any, asyncio.Future[Any]] = {}
        #: HTTP/2 connections no longer handed out (GOAWAY) that still finish their streams.
        self._draining: set[Any] = set()
        self._limits = limits
        self._local_address = local_address
        self._idle: dict[Any, list[Any]] = {}
        self._shared: dict[Any, Any] = {}
        self._count: dict[Any, int] = {}
        self._total = 0
        self._idle_total = 0
        self._all: set[Any] = set()
        self._waiters: deque[tuple[Any, asyncio.Future[Any]]] = deque()
        self._sweeper: asyncio.TimerHandle | None = None
        self._closed = False
        self._waking = False
        self._loop: asyncio.AbstractEventLoop | None = None

    # ---- introspection --------------------------------------------------------------------

    @property
    def connections(self) -> int:
        """Connections open (busy or idle)."""
        return self._total

    @property
    def idle_connections(self) -> int:
        return self._idle_total

    # ---- checkout -------------------------------------------------------------------------

    def checkout_idle(self, key: Any) -> Any:
        """An idle connection of ``key`` claimed for one exchange, or ``None``."""
        lst = self._idle.get(key)
        while lst:
            conn = lst.pop()
            self._idle_total -= 1
            if not conn._lost and not conn.is_dead() and conn.try_begin_exchange():
                expiry = self._limits.keepalive_expiry
                if expiry is None or self._loop.time() - conn.idle_since < expiry:  # type: ignore
                    return conn
                conn.end_exchange()
            self._discard(conn)
            conn.close()
        return None

    async def acquire(self, route: Route, timeout: Any) -> Any:
        """A connection of ``route`` claimed for one exchange: idle, new, or handed over."""
        if self._closed:
            from .errors import ClientClosed
            raise ClientClosed("the client has been closed")
        key = route.key
        while True:
            conn = self.checkout_idle(key)
            if conn is not None:
                return conn
            shared = self._shared.get(key)
            if shared is not None and not shared.is_dead():
                if shared.try_begin_exchange():
                    return shared
                # Every stream the server allows is in use: wait for one to end.
                if await shared.wait_slot(timeout.pool):
                    return shared
                continue
            opening = self._opening.get(key)
            if opening is None:
                break
            try:
                failed = await asyncio.wait_for(asyncio.shield(opening), timeout.connect)
            except asyncio.TimeoutError:
                raise ConnectTimeout(f"timed out connecting to {route.dial_host}:"
                                     f"{route.dial_port}") from None
            if failed is not None:  # the same route failed just now: the same error
                try:
                    again = type(failed)(*failed.args)
                except Exception:  # pragma: no cover - exotic constructors
                    again = ConnectError(str(failed))
                raise again from failed
        if self._loop is None:
            self._loop = asyncio.get_running_loop()
        if not self._reserve(key):
            fut = self._loop.create_future()
            entry = (key, fut)
            self._waiters.append(entry)
            try:
                if timeout.pool is None:
                    got = await fut
                else:
                    got = await asyncio.wait_for(asyncio.shield(fut), timeout.pool)
            except BaseException as exc:
                try:
                    self._waiters.remove(entry)
                except ValueError:
                    pass
                if fut.done() and not fut.cancelled() and fut.exception() is None:
                    got = fut.result()
                    if got is None:
                        self._unreserve(key)
                    else:
                        got.end_exchange()
                        self._release(got, True)
                else:
                    fut.cancel()
                if isinstance(exc, asyncio.TimeoutError):
                    raise PoolTimeout("timed out waiting for a connection from the pool") \
                        from None
                raise
            if got is not None:
                return got
        opening = None
        if self._http2 and (route.tls or (self._prior_knowledge and route.mode == DIRECT)) \
                and key not in self._opening:
            opening = self._opening[key] = self._loop.create_future()
        try:
            conn = await self._open(route, timeout)
        except BaseException as exc:
            self._unreserve(key)
            if opening is not None:
                del self._opening[key]
                # Requests waiting for this connection fail the same way; when the opener
                # was cancelled they try for themselves.
                opening.set_result(exc if isinstance(exc, Exception) else None)
            raise
        self._all.add(conn)
        if conn.multiplexed:
            self._shared[key] = conn
        conn.try_begin_exchange()
        if opening is not None:
            del self._opening[key]
            opening.set_result(None)
        return conn

    def _reserve(self, key: Any) -> bool:
        lim = self._limits
        if lim.max_connections is not None and self._total >= lim.max_connections:
            if not self._evict_idle(key):
                return False
        per_host = lim.max_connections_per_host
        if per_host is not None and self._count.get(key, 0) >= per_host:
            return False
        self._total += 1
        self._count[key] = self._count.get(key, 0) + 1
        return True

    def _unreserve(self, key: Any) -> None:
        self._total -= 1
        n = self._count.get(key, 0) - 1
        if n > 0:
            self._count[key] = n
        else:
            self._count.pop(key, None)
        self._wake_waiters()

    def _evict_idle(self, key: Any) -> bool:
        """Close the least recently used idle connection of another route to make room."""
        oldest = None
        for k, lst in self._idle.items():
            if k != key and lst and (oldest is None or lst[0].idle_since < oldest.idle_since):
                oldest = lst[0]
        if oldest is None:
            return False
        self._idle[oldest.key].remove(oldest)
        self._idle_total -= 1
        self._discard(oldest)
        oldest.close()
        return self._limits.max_connections is None or \
            self._total < self._limits.max_connections

    # ---- return -------------------------------------------------------------------------------

    def _release(self, conn: Any, reusable: bool) -> None:
        """The connection finished an exchange; ``reusable`` is the core's verdict."""
        if conn.multiplexed:  # stays shared while alive; nothing to queue
            if not reusable:
                self._lost(conn)
            else:
                self._wake_waiters()
            return
        if not reusable or self._closed or conn not in self._all:
            self._discard(conn)
            if reusable:
                conn.close()
            return
        key = conn.key
        for entry in self._waiters:
            if entry[0] == key and not entry[1].done():
                if conn.try_begin_exchange():
                    self._waiters.remove(entry)
                    entry[1].set_result(conn)
                    return
                break
        lim = self._limits.max_keepalive_connections
        if lim is not None and self._idle_total >= lim:
            self._discard(conn)
            conn.close()
            return
        conn.idle_since = self._loop.time()  # type: ignore[union-attr]
        conn.idle()
        lst = self._idle.get(key)
        if lst is None:
            lst = self._idle[key] = []
        lst.append(conn)
        self._idle_total += 1
        if self._sweeper is None and self._limits.keepalive_expiry is not None:
            self._sweeper = self._loop.call_later(  # type: ignore[union-attr]
                self._limits.keepalive_expiry, self._sweep)

    def _lost(self, conn: Any) -> None:
        """The connection closed (by the server, an error or an idle verdict)."""
        lst = self._idle.get(conn.key)
        if lst is not None and conn in lst:
            lst.remove(conn)
            self._idle_total -= 1
        self._discard(conn)

    def _discard(self, conn: Any) -> None:
        key = conn.key
        if self._shared.get(key) is conn:
            del self._shared[key]
        if conn in self._all:
            self._all.discard(conn)
            self._unreserve(key)

    def _wake_waiters(self) -> None:
        if not self._waiters or self._waking:
            return
        self._waking = True
        try:
            self._wake_waiters_once()
        finally:
            self._waking = False

    def _wake_waiters_once(self) -> None:
        for entry in list(self._waiters):
            key, fut = entry
            if fut.done():
                self._waiters.remove(entry)
                continue
            conn = self.checkout_idle(key)
            if conn is None:
                shared = self._shared.get(key)
                if shared is not None and not shared.is_dead() and shared.try_begin_exchange():
                    conn = shared
            if conn is not None:
                self._waiters.remove(entry)
                fut.set_result(conn)
                continue
            if self._reserve(key):
                self._waiters.remove(entry)
                fut.set_result(None)

    def _sweep(self) -> None:
        self._sweeper = None
        expiry = self._limits.keepalive_expiry
        if expiry is None or self._closed:
            return
        now = self._loop.time()  # type: ignore[union-attr]
        remaining = False
        for key, lst in list(self._idle.items()):
            keep = []
            for conn in lst:
                if now - conn.idle_since >= expiry or not conn.is_available():
                    self._idle_total -= 1
                    self._discard(conn)
                    conn.close()
                else:
                    keep.append(conn)
            if keep:
                self._idle[key] = keep
                remaining = True
            else:
                del self._idle[key]
        if remaining:
            self._sweeper = self._loop.call_later(  # type: ignore[union-attr]
                max(expiry / 4, 0.05), self._sweep)

    # ---- opening ------------------------------------------------------------------------------

    async def _open(self, route: Route, timeout: Any) -> Any:
        try:
            if timeout.connect is None:
                return await self._connect(route, timeout)
            return await asyncio.wait_for(self._connect(route, timeout), timeout.connect)
        except asyncio.TimeoutError:
            raise ConnectTimeout(
                f"timed out connecting to {route.dial_host}:{route.dial_port}") from None
        except ssl.SSLError as exc:
            raise ConnectError(f"TLS handshake with {route.host}:{route.port} failed: "
                               f"{exc}") from exc
        except OSError as exc:
            raise ConnectError(f"cannot connect to {route.dial_host}:{route.dial_port}: "
                               f"{exc.strerror or exc}") from exc

    async def _connect(self, route: Route, timeout: Any) -> Any:
        loop = self._loop or asyncio.get_running_loop()
        local = (self._local_address, 0) if self._local_address else None
        if route.mode == DIRECT:
            transport, boot = await loop.create_connection(
                _Bootstrap, route.dial_host, route.dial_port,
                ssl=self._ssl if route.tls else None,
                server_hostname=route.host if route.tls else None, local_addr=local)
        else:
            transport, boot = await loop.create_connection(
                _Bootstrap, route.dial_host, route.dial_port,
                ssl=self._proxy_ssl if route.proxy_tls else None,
                server_hostname=route.proxy_host if route.proxy_tls else None,
                local_addr=local)
            if route.mode == TUNNEL:
                try:
                    transport, leftover = await open_tunnel(transport, route, timeout)
                except ProxyError:
                    raise
                except Exception as exc:
                    transport.close()
                    raise ProxyError(f"CONNECT {route.authority} through {route.proxy_uri} "
                                     f"failed: {exc}") from exc
                if leftover:
                    transport.close()
                    raise ProxyError("the proxy sent bytes before the tunnel's TLS handshake")
                boot = _Bootstrap()
                transport.set_protocol(boot)
                tls = await loop.start_tls(transport, boot, self._ssl,
                                           server_hostname=route.host)
                if tls is None:  # pragma: no cover - the tunnel closed during the handshake
                    raise ConnectError(f"the tunnel to {route.authority} closed during TLS")
                transport = tls
        h2 = False
        if transport.get_extra_info("ssl_object") is not None and (route.tls or
                                                                    route.mode == TUNNEL):
            alpn = transport.get_extra_info("ssl_object").selected_alpn_protocol()
            if alpn == "h2":
                if not self._http2:
                    transport.close()
                    raise UnsupportedProtocol("the server chose HTTP/2, which was not enabled "
                                              "(http2=True)")
                h2 = True
            elif not self._http1:
                transport.close()
                raise UnsupportedProtocol("the server does not speak HTTP/2 (ALPN) and "
                                          "HTTP/1.1 was disabled")
        elif self._prior_knowledge and route.mode == DIRECT and not route.tls:
            h2 = True
        log.debug("connected to %s:%d%s%s", route.host, route.port,
                  f" through {route.proxy_uri}" if route.proxy_uri else "",
                  " (HTTP/2)" if h2 else "")
        if h2:
            from .h2 import H2Connection

            conn2 = H2Connection(transport, self, route.key,
                                 scheme="https" if route.tls else "http",
                                 keepalive_expiry=self._limits.keepalive_expiry)
            if boot.closed and not boot.data:
                conn2.close()
                raise ConnectError(f"{route.dial_host}:{route.dial_port} closed the "
                                   f"connection as it opened")
            try:
                await conn2.start(boot.data)
            except BaseException:
                conn2.close()
                raise
            return conn2
        forward = route.mode != DIRECT and route.mode != TUNNEL
        conn = Connection(transport, self, route.key,
                            proxy_auth=route.proxy_auth if forward else None,
                            forward_proxy=forward)
        if boot.data or boot.closed:
            for data in boot.data:
                conn.data_received(data)
            if boot.closed:
                conn.close()
                raise ConnectError(f"{route.dial_host}:{route.dial_port} closed the "
                                   f"connection as it opened")
        return conn

    # ---- shutdown -----------------------------------------------------------------------------

    async def aclose(self) -> None:
        """Close every connection; requests in flight fail."""
        self._closed = True
        if self._sweeper is not None:
            self._sweeper.cancel()
            self._sweeper = None
        for _, fut in self._waiters:
            if not fut.done():
                from .errors import ClientClosed
                fut.set_exception(ClientClosed("the client has been closed"))
        self._waiters.clear()
        conns = list(self._all) + list(self._draining)
        self._draining.clear()
        self._idle.clear()
        self._shared.clear()
        self._idle_total = 0
        for conn in conns:
            conn.close()
        self._all.clear()
        self._count.clear()
        self._total = 0
        # Let the transports run their close callbacks.
        await asyncio.sleep(0)
