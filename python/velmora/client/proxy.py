"""Proxy routing: which proxy a destination goes through, and the ``CONNECT`` tunnel.

The core's ``ProxyMatcher`` decides (``HTTP_PROXY``, ``HTTPS_PROXY``, ``ALL_PROXY``, ``NO_PROXY`` or
explicit strings) and its ``ProxyIntercept`` gives the proxy URI and the ready
``Proxy-Authorization`` value. Plain ``http`` destinations are sent to an HTTP proxy in absolute
form over connections shared by every destination; ``https`` destinations get a ``CONNECT`` tunnel
per origin, with TLS to the origin inside it.
"""

from __future__ import annotations

import asyncio
from typing import Any

from velmora._velmora import HeaderMap, ProxyMatcher, uri_parts

from .errors import ProxyError, UnsupportedProtocol

__all__ = ["Route", "Router"]

DIRECT = 0  # straight to the origin
FORWARD = 1  # to an HTTP proxy, request target in absolute form
TUNNEL = 2  # CONNECT through an HTTP proxy, then the origin's protocol inside the tunnel

#: Routes remembered per origin (the decision depends only on scheme, host and port).
_ROUTE_CACHE_LIMIT = 1024


class Route:
    """How to reach one origin: the pool key of its connections and what to dial."""

    __slots__ = ("key", "mode", "scheme", "host", "port", "authority", "tls", "dial_host",
                 "dial_port", "proxy_tls", "proxy_host", "proxy_auth", "proxy_uri")

    def __init__(self, scheme: str, host: str, port: int, authority: str,
                 proxy: Any = None) -> None:
        self.scheme = scheme
        self.host = host
        self.port = port
        self.authority = authority
        self.tls = scheme == "https"
        self.proxy_auth: str | None = None
        self.proxy_uri: str | None = None
        self.proxy_tls = False
        self.proxy_host: str | None = None
        if proxy is None:
            self.mode = DIRECT
            self.dial_host, self.dial_port = host, port
            self.key: tuple[Any, ...] = (scheme, host, port)
            return
        uri = proxy.uri
        pscheme, phost, pport, _ = uri_parts(uri)
        if pscheme not in ("http", "https") or phost is None or pport is None:
            raise UnsupportedProtocol(
                f"proxy {uri!r}: only HTTP and HTTPS proxies are supported")
        self.proxy_uri = uri
        self.proxy_auth = proxy.basic_auth()
        self.proxy_tls = pscheme == "https"
        self.proxy_host = phost
        self.dial_host, self.dial_port = phost, pport
        if self.tls:
            self.mode = TUNNEL
            self.key = (scheme, host, port, uri, self.proxy_auth)
        else:
            self.mode = FORWARD
            self.key = ("forward", uri, self.proxy_auth)


class Router:
    """Chooses the :class:`Route` of each origin and remembers it."""

    def __init__(self, proxy: str | None = None, *, trust_env: bool = True) -> None:
        if proxy is not None:
            if not isinstance(proxy, str):
                proxy = str(proxy)
            matcher = ProxyMatcher.from_parts(all=proxy)
            if matcher.intercept("http://example.invalid/") is None:
                raise ValueError(f"unusable proxy URL {proxy!r}")
            self._matcher: ProxyMatcher | None = matcher
        elif trust_env:
            self._matcher = ProxyMatcher.from_env()
        else:
            self._matcher = None
        self._routes: dict[tuple[str, str, int], Route] = {}

    def route(self, scheme: str, host: str, port: int, authority: str, url: str) -> Route:
        key = (scheme, host, port)
        r = self._routes.get(key)
        if r is None:
            proxy = self._matcher.intercept(url) if self._matcher is not None else None
            r = Route(scheme, host, port, authority, proxy)
            if len(self._routes) >= _ROUTE_CACHE_LIMIT:
                self._routes.clear()
            self._routes[key] = r
        return r


async def open_tunnel(transport: asyncio.Transport, route: Route, timeout: Any) -> tuple[
        asyncio.Transport, bytes]:
    """Send ``CONNECT`` on ``transport`` (connected to the proxy) and return the tunnel's
    transport with any bytes the proxy sent past its answer."""
    from .h1 import Connection  # the tunnel request is an ordinary HTTP/1.1 exchange

    conn = Connection(transport)
    headers = HeaderMap([("host", route.authority)])
    if route.proxy_auth is not None:
        headers["proxy-authorization"] = route.proxy_auth
    conn.try_begin_exchange()
    try:
        head = (await conn.send("CONNECT", route.authority, headers, None, timeout)).head
    except BaseException:
        conn.close()
        raise
    if 200 <= head.status < 300 and head.is_upgrade:
        tunnel, leftover = conn.take_tunnel()
        if tunnel is None:  # pragma: no cover - the connection closed at that very moment
            raise ProxyError("the proxy closed the tunnel as it opened")
        return tunnel, leftover
    conn.close()
    raise ProxyError(f"the proxy {route.proxy_uri} answered {head.status} to "
                     f"CONNECT {route.authority}")
