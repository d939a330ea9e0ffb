"""Cookies: a ``Cookies`` mapping over an ``http.cookiejar.CookieJar`` (RFC 6265 domain and path
rules as the standard library applies them), and the two adapters the jar needs to read a request
and a response."""

from __future__ import annotations

import urllib.request
from collections.abc import Iterator, MutableMapping
from http.cookiejar import Cookie, CookieJar
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .models import Request

__all__ = ["Cookies"]


class _JarRequest(urllib.request.Request):
    """A request as ``CookieJar`` reads it: the URL, its Host, and where the Cookie goes."""

    def __init__(self, request: Request) -> None:
        super().__init__(request.url, method=request.method)
        self.velmora_request = request
        self.add_unredirected_header("Host", request.u.host_header)

    def add_unredirected_header(self, key: str, header: str) -> None:
        super().add_unredirected_header(key, header)
        if key.lower() == "cookie":
            self.velmora_request.set_header("cookie", header)


class _JarResponse:
    """A response as ``CookieJar.extract_cookies`` reads it (``info().get_all``)."""

    __slots__ = ("_map",)

    def __init__(self, header_map: Any) -> None:
        self._map = header_map

    def info(self) -> _JarResponse:
        return self

    def get_all(self, name: str, default: Any = None) -> Any:
        values = self._map.get_all(name)
        return [v.decode("latin-1") for v in values] if values else default


class Cookies(MutableMapping[str, str]):
    """Cookies by name over a ``CookieJar`` (``.jar``): ``cookies["name"]``, :meth:`set` with a
    domain and path, :meth:`get` and :meth:`delete` narrowed by them."""

    def __init__(self, cookies: Any = None) -> None:
        if isinstance(cookies, CookieJar):
            self.jar = cookies
            return
        self.jar = CookieJar()
        if isinstance(cookies, Cookies):
            for c in cookies.jar:
                self.jar.set_cookie(c)
        elif cookies:
            items = cookies.items() if hasattr(cookies, "items") else cookies
            for name, value in items:
                self.set(name, value)

    def set(self, name: str, value: str, domain: str = "", path: str = "/") -> None:
        self.jar.set_cookie(Cookie(
            version=0, name=name, value=value, port=None, port_specified=False, domain=domain,
            domain_specified=bool(domain), domain_initial_dot=domain.startswith("."),
            path=path, path_specified=bool(path), secure=False, expires=None, discard=True,
            comment=None, comment_url=None, rest={"HttpOnly": ""}, rfc2109=False))

    def get(self, name: str, default: Any = None, domain: str | None = None,  # type: ignore
            path: str | None = None) -> Any:
        found = None
        for c in self.jar:
            if c.name == name and (domain is None or c.domain == domain) and \
                    (path is None or c.path == path):
                if found is not None and found != c.value:
                    raise KeyError(f"several cookies named {name!r}: give a domain or path")
                found = c.value
        return default if found is None else found

    def delete(self, name: str, domain: str | None = None, path: str | None = None) -> None:
        for c in [c for c in self.jar if c.name == name and
                  (domain is None or c.domain == domain) and (path is None or c.path == path)]:
            self.jar.clear(c.domain, c.path, c.name)

    def clear(self, domain: str | None = None, path: str | None = None) -> None:
        if domain is None:
            self.jar.clear()
        else:
            self.jar.clear(domain, path)

    def __getitem__(self, name: str) -> str:
        value = self.get(name)
        if value is None:
            raise KeyError(name)
        return value

    def __setitem__(self, name: str, value: str) -> None:
        self.set(name, value)

    def __delitem__(self, name: str) -> None:
        if self.get(name) is None:
            raise KeyError(name)
        self.delete(name)

    def __iter__(self) -> Iterator[str]:
        return (c.name for c in self.jar)

    def __len__(self) -> int:
        return len(self.jar)

    def __bool__(self) -> bool:
        # CookieJar's len() walks every cookie; its domain table is empty exactly when it is
        jar_table = getattr(self.jar, "_cookies", None)
        return bool(jar_table) if isinstance(jar_table, dict) else len(self.jar) > 0

    def __repr__(self) -> str:
        return "<Cookies[" + ", ".join(f"{c.name}={c.value} for {c.domain}"
                                       for c in self.jar) + "]>"

    # ---- what the pipeline asks -----------------------------------------------------------------

    def add_to(self, request: Request) -> None:
        """Set the request's Cookie header from the jar (nothing when no cookie applies)."""
        if self:
            self.jar.add_cookie_header(_JarRequest(request))

    def extract(self, header_map: Any, request: Request) -> None:
        """Store the ``Set-Cookie`` fields of a response to ``request``."""
        if "set-cookie" in header_map:
            self.jar.extract_cookies(_JarResponse(header_map),  # type: ignore[arg-type]
                                     _JarRequest(request))
