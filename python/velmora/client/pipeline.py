"""What happens between a call like ``client.get(url)`` and the wire, written once for the async
and the sync client: authentication, cookies and redirects, as a generator both drive.

:func:`send_flow` yields what it needs done and gets the result sent back:

- a :class:`~velmora.client.models.Request`: send it, send back its ``Response`` (head in, body
  unread unless it came with the head);
- ``Discard(response)``: read the rest of that body (or drop it) and close the response.

It returns the final response, with ``history`` and ``request`` set.
"""

from __future__ import annotations

from collections.abc import Callable, Generator
from typing import Any
from urllib.parse import urljoin, urlsplit

from .auth import Auth
from .cookies import Cookies
from .errors import RemoteProtocolError, TooManyRedirects, UnsupportedProtocol
from .models import DEFAULT_PORTS, Request

__all__ = ["send_flow", "redirect_method", "Discard", "REDIRECT_STATUSES", "DEFAULT_MAX_REDIRECTS"]

REDIRECT_STATUSES = frozenset((301, 302, 303, 307, 308))
DEFAULT_MAX_REDIRECTS = 20
#: Fields a redirected request never carries over: rebuilt for the new target.
_REBUILT = ("host", "cookie", "proxy-authorization")
_BODY_FIELDS = ("content-length", "content-type", "transfer-encoding", "content-encoding")


class Discard:
    __slots__ = ("response",)

    def __init__(self, response: Any) -> None:
        self.response = response


def redirect_method(method: str, status: int) -> str:
    """The method of the request that follows a redirect (RFC 9110, 15.4): 303 and 302 turn
    anything but HEAD into GET, 301 turns POST into GET (as browsers, httpx and requests do);
    307 and 308 keep it."""
    if status in (302, 303) and method != "HEAD":
        return "GET"
    if status == 301 and method == "POST":
        return "GET"
    return method


def _same_origin(a: Request, b_url: str, b_scheme: str, b_host: str, b_port: int) -> bool:
    if a.u.origin == (b_scheme, b_host.lower(), b_port):
        return True
    # http -> https on the default ports of the same host keeps the credentials
    return (a.u.scheme == "http" and b_scheme == "https" and a.u.host.lower() == b_host.lower()
            and a.u.port == 80 and b_port == 443)


Rebuild = Callable[[str, str, list[tuple[bytes, bytes]], Any], Request]


def redirect_request(request: Request, response: Any, rebuild: Rebuild,
                     allow_downgrade: bool) -> Request:
    """The request that follows ``response`` (a redirect to ``request``)."""
    location = response.headers.get("location")
    if location is None:
        raise RemoteProtocolError(f"{response.status} redirect without a Location field",
                                  request=(request.method, request.url))
    url = urljoin(request.url, location.strip())
    parts = urlsplit(url)
    if not parts.fragment and "#" in request.url:  # RFC 9110, 10.2.2: the fragment is kept
        url += "#" + request.url.split("#", 1)[1]
    scheme = parts.scheme.lower()
    if scheme not in DEFAULT_PORTS:
        raise UnsupportedProtocol(f"redirect to unsupported URL {url!r}",
                                  request=(request.method, request.url))
    if request.u.scheme == "https" and scheme == "http" and not allow_downgrade:
        raise UnsupportedProtocol(
            f"refused redirect from https to {url!r} (give allow_downgrade=True to follow it)",
            request=(request.method, request.url))
    method = redirect_method(request.method, response.status)
    port = parts.port or DEFAULT_PORTS[scheme]
    headers = [(n, v) for n, v in request.header_map.raw_items()
               if n.decode() not in _REBUILT]
    if not _same_origin(request, url, scheme, parts.hostname or "", port):
        headers = [(n, v) for n, v in headers if n != b"authorization"]
    content = request.content
    if method != request.method:
        content = None
        headers = [(n, v) for n, v in headers if n.decode() not in _BODY_FIELDS]
    elif content is not None and not request.replayable:
        raise RemoteProtocolError(
            f"cannot follow a {response.status} redirect: the streamed request body cannot be "
            "sent again", request=(request.method, request.url))
    return rebuild(method, url, headers, content)


def send_flow(request: Request, *, auth: Auth | None, cookies: Cookies | None,
              follow_redirects: bool, max_redirects: int, rebuild: Rebuild,
              allow_downgrade: bool = False, extra_cookies: Cookies | None = None
              ) -> Generator[Any, Any, Any]:
    """The exchanges of one call: see the module's docstring. Authentication wraps the
    redirects, as in httpx: the credentials go with the first request and follow redirects only
    within its origin."""
    flow = auth.flow(request) if auth is not None else None
    req = next(flow) if flow is not None else request
    while True:
        response = yield from _follow(req, cookies, extra_cookies, follow_redirects,
                                      max_redirects, rebuild, allow_downgrade)
        if flow is None:
            return response
        try:
            req = flow.send(response)
        except StopIteration:
            return response
        yield Discard(response)


def _follow(req: Request, cookies: Cookies | None, extra_cookies: Cookies | None,
            follow_redirects: bool, max_redirects: int, rebuild: Rebuild,
            allow_downgrade: bool) -> Generator[Any, Any, Any]:
    history: list[Any] = []
    while True:
        if cookies is not None:
            req.remove_header("cookie")
            cookies.add_to(req)
            if extra_cookies:  # a call's own cookies, sent with the jar's
                pairs = "; ".join(f"{k}={v}" for k, v in extra_cookies.items())
                have = req.header_map.get("cookie")
                req.set_header("cookie", pairs if have is None else
                               have.decode("latin-1") + "; " + pairs)
        response = yield req
        response.request = req
        response.history = history
        if cookies is not None:
            cookies.extract(response.header_map, req)
        if not follow_redirects or response.status not in REDIRECT_STATUSES \
                or "location" not in response.header_map:
            return response
        if len(history) >= max_redirects:
            yield Discard(response)
            raise TooManyRedirects(f"more than {max_redirects} redirects",
                                   request=(req.method, req.url))
        nxt = redirect_request(req, response, rebuild, allow_downgrade)
        yield Discard(response)
        history = history + [response]
        req = nxt
