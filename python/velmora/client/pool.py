"""The connection pool: keep-alive reuse per origin, limits, idle expiry.

Idle connections are kept per route key (most recently used first) with the core's idle watcher
parked on them, so a connection the server closed while it sat idle is dropped before anyone asks
for it. A request first takes an idle connection of its route, else opens one (``dial.Dialer``)
when the limits allow, else waits (``pool`` timeout) for a connection to come back or a slot to
free up.

Connections are :class:`~velmora.client.exchange.PooledConnection` objects (HTTP/1
:class:`~velmora.client.h1.Connection`, HTTP/2 :class:`~velmora.client.h2.H2Connection`); they
report back through the :class:`~velmora.client.exchange.PoolCallbacks` the pool hands them when
it opens them. A ``multiplexed`` connection is shared: it is kept in ``_shared`` (one per route
key) and handed to every request while ``try_begin_exchange()`` grants a slot, instead of going to
the idle list.
"""

from __future__ import annotations

import asyncio
import ssl
from collections import deque
from collections.abc import Hashable
from typing import Any, cast

from .dial import Dialer
from .errors import ClientClosed, ConnectError, ConnectTimeout, PoolTimeout
from .exchange import PooledConnection, SharedConnection
from .proxy import Route
from .timeouts import Timeout
from .tls import create_ssl_context

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


class PoolCounts:
    """The counting both pools share: the connections a pool owns, how many there are in all
    and per route key against its :class:`Limits`, and its idle lists. Callers serialize it
    (the event loop; the blocking pool's lock); :meth:`_slot_freed` says that room was made."""

    _limits: Limits
    _idle: dict[Hashable, list[Any]]
    _shared: dict[Hashable, Any]
    _count: dict[Hashable, int]
    _all: set[Any]
    _total: int
    _idle_total: int

    @property
    def connections(self) -> int:
        """Connections open (busy or idle)."""
        return self._total

    @property
    def idle_connections(self) -> int:
        return self._idle_total

    def _slot_freed(self) -> None:
        raise NotImplementedError

    def _reserve(self, key: Hashable) -> bool:
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

    def _unreserve(self, key: Hashable) -> None:
        self._total -= 1
        n = self._count.get(key, 0) - 1
        if n > 0:
            self._count[key] = n
        else:
            self._count.pop(key, None)
        self._slot_freed()

    def _evict_idle(self, key: Hashable) -> bool:
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

    def _discard(self, conn: Any) -> None:
        key = conn.key
        if self._shared.get(key) is conn:
            del self._shared[key]
        if conn in self._all:
            self._all.discard(conn)
            self._unreserve(key)


class ConnectionPool(PoolCounts):
    """Connections to any number of origins, reused across requests.

    It is the :class:`~velmora.client.exchange.PoolCallbacks` of every connection it opens
    (:meth:`released`, :meth:`lost`, :meth:`retired`)."""

    def __init__(self, *, ssl_context: ssl.SSLContext, limits: Limits,
                 local_address: str | None = None, http2: bool = False,
                 http2_prior_knowledge: bool = False, http1: bool = True,
                 proxy_ssl_context: ssl.SSLContext | None = None) -> None:
        self._dialer = Dialer(ssl_context=ssl_context, proxy_ssl_context=proxy_ssl_context,
                              local_address=local_address, http1=http1, http2=http2,
                              http2_prior_knowledge=http2_prior_knowledge,
                              keepalive_expiry=limits.keepalive_expiry)
        #: Route key -> future of a connection being opened that may turn out to be HTTP/2:
        #: other requests of the route wait for it instead of opening their own (its result is
        #: the error that failed the opening, or None).
        self._opening: dict[Hashable, asyncio.Future[BaseException | None]] = {}
        #: HTTP/2 connections no longer handed out (GOAWAY) that still finish their streams.
        self._draining: set[PooledConnection] = set()
        self._limits = limits
        self._idle: dict[Hashable, list[PooledConnection]] = {}
        self._shared: dict[Hashable, SharedConnection] = {}
        self._count: dict[Hashable, int] = {}
        self._total = 0
        self._idle_total = 0
        self._all: set[PooledConnection] = set()
        #: Requests waiting for a connection of their route key: the future's result is a
        #: connection claimed for them, or None when a slot was reserved to open one.
        self._waiters: deque[tuple[Hashable, asyncio.Future[PooledConnection | None]]] = deque()
        self._sweeper: asyncio.TimerHandle | None = None
        self._closed = False
        self._waking = False
        self._loop: asyncio.AbstractEventLoop | None = None

    # ---- checkout -------------------------------------------------------------------------

    def checkout_idle(self, key: Hashable) -> PooledConnection | None:
        """An idle connection of ``key`` claimed for one exchange, or ``None``."""
        lst = self._idle.get(key)
        while lst:
            conn = lst.pop()
            self._idle_total -= 1
            if not conn.is_dead() and conn.try_begin_exchange():
                expiry = self._limits.keepalive_expiry
                if expiry is None or self._loop.time() - conn.idle_since < expiry:  # type: ignore
                    return conn
                conn.end_exchange()
            self._discard(conn)
            conn.close()
        return None

    async def acquire(self, route: Route, timeout: Timeout) -> PooledConnection:
        """A connection of ``route`` claimed for one exchange: idle, new, or handed over."""
        if self._closed:
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
            fut: asyncio.Future[PooledConnection | None] = self._loop.create_future()
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
                        self.released(got, True)
                else:
                    fut.cancel()
                if isinstance(exc, asyncio.TimeoutError):
                    raise PoolTimeout("timed out waiting for a connection from the pool") \
                        from None
                raise
            if got is not None:
                return got
        opening = None
        if self._dialer.may_speak_h2(route) and key not in self._opening:
            opening = self._opening[key] = self._loop.create_future()
        try:
            conn = await self._dialer.open(route, timeout, self)
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
            self._shared[key] = cast(SharedConnection, conn)
        conn.try_begin_exchange()
        if opening is not None:
            del self._opening[key]
            opening.set_result(None)
        return conn

    # ---- what connections report (PoolCallbacks) -------------------------------------------

    def released(self, conn: PooledConnection, reusable: bool) -> None:
        """The connection finished an exchange; ``reusable`` is the core's verdict."""
        if conn.multiplexed:  # stays shared while alive; nothing to queue
            if not reusable:
                self.lost(conn)
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

    def lost(self, conn: PooledConnection) -> None:
        """The connection closed (by the server, an error or an idle verdict), or will never
        take a request again."""
        lst = self._idle.get(conn.key)
        if lst is not None and conn in lst:
            lst.remove(conn)
            self._idle_total -= 1
        self._discard(conn)
        self._draining.discard(conn)

    def retired(self, conn: PooledConnection) -> None:
        """The connection takes no new requests but finishes those it carries: it is closed
        with the pool unless it reports :meth:`lost` first."""
        self._discard(conn)
        self._draining.add(conn)

    def _slot_freed(self) -> None:
        self._wake_waiters()

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

    # ---- shutdown -----------------------------------------------------------------------------

    async def aclose(self) -> None:
        """Close every connection; requests in flight fail."""
        self._closed = True
        if self._sweeper is not None:
            self._sweeper.cancel()
            self._sweeper = None
        for _, fut in self._waiters:
            if not fut.done():
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
