"""The request as the client's pipeline passes it along: ``URL`` (a request URL split once) and
``Request``."""

from __future__ import annotations

from typing import Any

from velmora._velmora import HeaderMap, request_url_parts

from .errors import LocalProtocolError, UnsupportedProtocol
from .headers import Headers

__all__ = ["URL", "Request", "DEFAULT_PORTS"]

DEFAULT_PORTS = {"http": 80, "https": 443}


class URL:
    """A request URL split once: where to dial and what to write."""

    __slots__ = ("url", "scheme", "host", "port", "authority", "host_header", "target",
                 "absolute", "auth")

    def __init__(self, url: str) -> None:
        try:
            scheme, host, port, authority, host_header, target, auth = request_url_parts(url)
        except ValueError as exc:
            raise LocalProtocolError(str(exc), request=None) from None
        if scheme not in DEFAULT_PORTS:
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

    @property
    def origin(self) -> tuple[str, str, int]:
        return (self.scheme, self.host.lower(), self.port)

    def __str__(self) -> str:
        return self.url


class Request:
    """A request ready to send: ``method``, ``url`` (``str``), ``headers`` (:class:`Headers`),
    its ``content`` (``None``, bytes or an iterable of bytes) and ``extensions``.

    The header map may be shared with the client's cache of common heads: it is copied the first
    time anything changes it (:meth:`set_header`, or ``headers`` handed out to the caller).
    """

    __slots__ = ("method", "u", "route", "header_map", "_shared", "content", "extensions")

    def __init__(self, method: str, u: URL, route: Any, headers: HeaderMap, content: Any,
                 *, shared: bool = False, extensions: dict[str, Any] | None = None) -> None:
        self.method = method
        self.u = u
        self.route = route
        #: The ``HeaderMap`` to write (changed only through :meth:`set_header` and ``headers``).
        self.header_map = headers
        self._shared = shared
        self.content = content
        self.extensions = extensions if extensions is not None else {}

    @property
    def url(self) -> str:
        return self.u.url

    def _own(self) -> HeaderMap:
        if self._shared:
            self.header_map = HeaderMap(self.header_map)
            self._shared = False
        return self.header_map

    @property
    def headers(self) -> Headers:
        return Headers(self._own())

    def set_header(self, name: str, value: str | bytes) -> None:
        self._own()[name] = value

    def remove_header(self, name: str) -> None:
        if name in self.header_map:
            del self._own()[name]

    @property
    def replayable(self) -> bool:
        """Whether the body can be sent again (none, bytes, or a re-iterable multipart)."""
        c = self.content
        return c is None or type(c) is bytes or getattr(c, "replayable", False)

    def __repr__(self) -> str:
        return f"<Request({self.method!r}, {self.url!r})>"
