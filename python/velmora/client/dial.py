"""Opening connections: TCP and TLS to an origin or a proxy, the ``CONNECT`` tunnel, and the
protocol the connection speaks (ALPN, or HTTP/2 by prior knowledge)."""

from __future__ import annotations

import asyncio
import logging
import ssl
from typing import Any

from .errors import ConnectError, ConnectTimeout, ProxyError, UnsupportedProtocol
from .exchange import PoolCallbacks, PooledConnection
from .h1 import Connection
from .proxy import DIRECT, TUNNEL, Route, open_tunnel

log = logging.getLogger("velmora.client")

__all__ = ["Dialer", "speaks_h2"]


def speaks_h2(ssl_object: Any, route: Route, *, http1: bool, http2: bool,
              prior_knowledge: bool) -> bool:
    """Whether a new connection speaks HTTP/2: the server's ALPN choice over TLS to the origin
    (``ssl_object``: the connection's ``SSLObject`` or ``SSLSocket``, or None), prior knowledge
    on plain connections. Raises :class:`UnsupportedProtocol` for a choice the client did not
    enable (the caller closes the connection)."""
    if ssl_object is not None and (route.tls or route.mode == TUNNEL):
        if ssl_object.selected_alpn_protocol() == "h2":
            if not http2:
                raise UnsupportedProtocol("the server chose HTTP/2, which was not enabled "
                                          "(http2=True)")
            return True
        if not http1:
            raise UnsupportedProtocol("the server does not speak HTTP/2 (ALPN) and HTTP/1.1 "
                                      "was disabled")
        return False
    return prior_knowledge and route.mode == DIRECT and not route.tls


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


class Dialer:
    """Opens the connection of a :class:`~velmora.client.proxy.Route` and hands it the pool's
    callbacks."""

    def __init__(self, *, ssl_context: ssl.SSLContext,
                 proxy_ssl_context: ssl.SSLContext | None = None,
                 local_address: str | None = None, http1: bool = True, http2: bool = False,
                 http2_prior_knowledge: bool = False,
                 keepalive_expiry: float | None = None) -> None:
        self._ssl = ssl_context
        #: TLS to an HTTPS proxy speaks HTTP/1.1 (CONNECT, absolute-form requests) whatever
        #: the origins speak.
        self._proxy_ssl = proxy_ssl_context or ssl_context
        self._http2 = http2 or http2_prior_knowledge
        self._prior_knowledge = http2_prior_knowledge
        self._http1 = http1
        self._local_address = local_address
        self._keepalive_expiry = keepalive_expiry

    def may_speak_h2(self, route: Route) -> bool:
        """Whether a connection of ``route`` may turn out to be HTTP/2 (shared)."""
        return self._http2 and (route.tls or (self._prior_knowledge and route.mode == DIRECT))

    async def open(self, route: Route, timeout: Any,
                   callbacks: PoolCallbacks) -> PooledConnection:
        """A new connection of ``route``; connection failures raise ``ConnectError`` (or
        ``ConnectTimeout``, ``ProxyError``, ``UnsupportedProtocol``)."""
        try:
            if timeout.connect is None:
                return await self._connect(route, timeout, callbacks)
            return await asyncio.wait_for(self._connect(route, timeout, callbacks),
                                          timeout.connect)
        except asyncio.TimeoutError:
            raise ConnectTimeout(
                f"timed out connecting to {route.dial_host}:{route.dial_port}") from None
        except ssl.SSLError as exc:
            raise ConnectError(f"TLS handshake with {route.host}:{route.port} failed: "
                               f"{exc}") from exc
        except OSError as exc:
            raise ConnectError(f"cannot connect to {route.dial_host}:{route.dial_port}: "
                               f"{exc.strerror or exc}") from exc

    async def _connect(self, route: Route, timeout: Any,
                       callbacks: PoolCallbacks) -> PooledConnection:
        loop = asyncio.get_running_loop()
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
        h2 = self._select_h2(transport, route)
        log.debug("connected to %s:%d%s%s", route.host, route.port,
                  f" through {route.proxy_uri}" if route.proxy_uri else "",
                  " (HTTP/2)" if h2 else "")
        if h2:
            from .h2 import H2Connection

            conn2 = H2Connection(transport, callbacks, route.key,
                                 scheme="https" if route.tls else "http",
                                 keepalive_expiry=self._keepalive_expiry)
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
        conn = Connection(transport, callbacks, route.key,
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

    def _select_h2(self, transport: asyncio.BaseTransport, route: Route) -> bool:
        try:
            return speaks_h2(transport.get_extra_info("ssl_object"), route, http1=self._http1,
                             http2=self._http2, prior_knowledge=self._prior_knowledge)
        except UnsupportedProtocol:
            transport.close()
            raise
