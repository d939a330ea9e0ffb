"""ASGI 3 glue shared by the protocol drivers: scopes, messages, errors."""

from __future__ import annotations

import asyncio
import logging
import time
from typing import Any, Awaitable, Callable, MutableMapping
from urllib.parse import unquote

from velmora._velmora import HeaderMap

Scope = MutableMapping[str, Any]
Message = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[Message]]
Send = Callable[[Message], Awaitable[None]]
ASGIApp = Callable[[Scope, Receive, Send], Awaitable[None]]

ASGI_VERSION = {"version": "3.0", "spec_version": "2.4"}

# The name of every task that runs an application for one request.
TASK_NAME = "velmora.request"
# The Server field of responses, unless the application sets one.
SERVER_NAME = b"velmora"
# The fields of the plain-text responses the server writes itself.
TEXT_PLAIN = [(b"content-type", b"text/plain; charset=utf-8")]

error_log = logging.getLogger("velmora.error")
access_log = logging.getLogger("velmora.access")

class ClientDisconnected(OSError):
    """``send`` was called after the client went away (ASGI: a subclass of OSError)."""


class ASGIProtocolError(RuntimeError):
    """The application broke the ASGI message sequence."""


class RequestCycle:
    """What the request cycles of both protocols share: running the application for one
    request, and answering for it when the application fails or returns too early.

    A subclass provides ``receive``, ``send``, ``reject(status)``, ``_fail()`` (end the
    response as failed) and ``_internal_error()``; its connection provides ``closing`` and
    ``cycle_done(cycle)``."""

    __slots__ = ("conn", "head", "task", "scope", "status", "headers", "trailers", "trailer_list",
                 "started", "head_sent", "body_done", "finished", "gone", "bad_body", "waiter",
                 "sent", "t0")

    def __init__(self, conn: Any, head: Any) -> None:
        self.conn = conn
        self.head = head
        self.task: asyncio.Task[None] | None = None
        self.scope: Scope | None = None
        self.status = 0
        self.headers: Any = None
        self.trailers = False
        self.trailer_list: list[Any] | None = None
        self.started = False
        self.head_sent = False
        self.body_done = False
        self.finished = False
        self.gone = False
        self.bad_body = False
        self.waiter: asyncio.Future[None] | None = None
        self.sent = 0
        self.t0 = time.perf_counter() if conn._svc.access else 0.0

    async def receive(self) -> Message:
        raise NotImplementedError

    async def send(self, message: Message) -> None:
        raise NotImplementedError

    def reject(self, status: int) -> None:
        raise NotImplementedError

    def _fail(self) -> None:
        raise NotImplementedError

    def _internal_error(self) -> None:
        raise NotImplementedError

    async def run(self, app: ASGIApp, scope: Scope) -> None:
        try:
            await app(scope, self.receive, self.send)
        except BaseException as exc:  # noqa: BLE001 - every failure ends the response
            self.app_failed(exc)
            if not isinstance(exc, Exception) and not isinstance(exc, asyncio.CancelledError):
                raise
        else:
            if not self.finished:
                self.app_incomplete()
        finally:
            self.conn.cycle_done(self)

    async def _wait(self) -> None:
        """Waits until ``wake`` is called."""
        waiter = self.waiter = self.conn._svc.loop.create_future()
        try:
            await waiter
        finally:
            if self.waiter is waiter:
                self.waiter = None

    def response_fields(self) -> HeaderMap:
        """The response's header fields, with the Server field unless the application set
        one (or the server is configured without it)."""
        headers = self.headers
        hm = HeaderMap(headers) if headers else HeaderMap()
        if self.conn._svc.server_header:
            hm.setdefault("server", SERVER_NAME)
        return hm

    def wake(self) -> None:
        """Wakes a ``receive`` waiting for the request body or the client's departure."""
        waiter = self.waiter
        if waiter is not None:
            self.waiter = None
            if not waiter.done():
                waiter.set_result(None)

    def response_start(self, message: Message) -> None:
        """Records an ``http.response.start`` message."""
        if self.started:
            raise ASGIProtocolError("unexpected ASGI message 'http.response.start'")
        self.status = message["status"]
        self.headers = message.get("headers")
        self.trailers = bool(message.get("trailers", False))
        self.started = True

    def add_trailers(self, message: Message) -> bool:
        """Collects an ``http.response.trailers`` message; true once the last one (no
        ``more_trailers``) has arrived."""
        if not self.trailers or not self.body_done or self.finished:
            raise ASGIProtocolError("unexpected ASGI message 'http.response.trailers'")
        if self.trailer_list is None:
            self.trailer_list = []
        self.trailer_list.extend(message.get("headers", ()))
        return not message.get("more_trailers", False)

    def app_failed(self, exc: BaseException) -> None:
        if self.finished:
            if not self.gone:
                log_exception(exc, "Exception in ASGI application after the response")
            return
        if self.gone or self.conn.closing:
            error_log.debug("ASGI application ended after the client went away: %r", exc)
            self._fail()
            return
        if isinstance(exc, asyncio.CancelledError):
            error_log.debug("ASGI application cancelled")
            self._fail()
            return
        log_exception(exc, "Exception in ASGI application")
        self._internal_error()

    def app_incomplete(self) -> None:
        if self.gone or self.conn.closing:
            self._fail()
            return
        if self.bad_body and not self.started:
            self.reject(400)  # the body was malformed
            return
        if not self.started:
            error_log.error("ASGI callable returned without starting response")
        else:
            error_log.error("ASGI callable returned without completing response")
        self._internal_error()


_CACHE_MAX = 512


def target_splitter(root_path: str) -> Callable[[str], tuple[str, bytes, bytes]]:
    """A function giving ``(path, raw_path, query_string)`` of a request-target (origin,
    absolute, authority or asterisk form): ``path`` percent-decoded, both paths prefixed with
    ``root_path``. Recent targets are remembered (a bounded cache)."""
    cache: dict[str, tuple[str, bytes, bytes]] = {}
    root_raw = root_path.encode()

    def split(target: str) -> tuple[str, bytes, bytes]:
        hit = cache.get(target)
        if hit is not None:
            return hit
        raw = target
        if raw[:1] != "/" and raw != "*":
            scheme_end = raw.find("://")
            if scheme_end >= 0:  # absolute-form: keep the path and query only
                slash = raw.find("/", scheme_end + 3)
                qmark = raw.find("?", scheme_end + 3)
                if slash < 0 or (0 <= qmark < slash):
                    raw = "/" + (raw[qmark:] if qmark >= 0 else "")
                else:
                    raw = raw[slash:]
            else:  # authority-form (CONNECT): no path
                raw = ""
        path, _, query = raw.partition("?")
        raw_path = path.encode()
        if "%" in path:
            path = unquote(path)
        result = (root_path + path, root_raw + raw_path, query.encode())
        if len(cache) >= _CACHE_MAX:
            cache.clear()
        cache[target] = result
        return result

    return split


def transport_addresses(transport: Any) -> tuple[tuple[str, int] | None,
                                                tuple[str, int] | None, str]:
    """``(client, server, peer)`` of a connection: the ASGI addresses and the client as the
    access log writes it."""
    client = address(transport.get_extra_info("peername"))
    server = address(transport.get_extra_info("sockname"))
    return client, server, f"{client[0]}:{client[1]}" if client else "-"


def address(info: Any) -> tuple[str, int] | None:
    """A transport's peername/sockname as ASGI wants it: ``(host, port)`` or ``None``."""
    if isinstance(info, (tuple, list)) and len(info) >= 2:
        return (str(info[0]), int(info[1]))
    return None


def scope_base(svc: Any) -> dict[str, Any]:
    """What every ``http`` scope of a server ``svc`` (a ``Service``) shares; ``http_scope``
    fills a copy of it for each request."""
    return {
        "type": "http",
        "asgi": ASGI_VERSION,
        "http_version": "1.1",
        "scheme": svc.scheme,
        "method": "GET",
        "path": "",
        "raw_path": b"",
        "query_string": b"",
        "root_path": svc.root_path,
        "headers": [],
        "client": None,
        "server": None,
        "state": None,
        "extensions": svc.extensions,
    }


def http_scope(svc: Any, http_version: str, method: str, target: str,
               headers: list[tuple[bytes, bytes]], client: tuple[str, int] | None,
               server: tuple[str, int] | None) -> dict[str, Any]:
    """The ``http`` scope of one request: a copy of the server's ``scope_base`` (copying a
    dict is cheaper than building one) with the request's own values."""
    path, raw_path, query = svc.split(target)
    scope = svc.scope_base.copy()
    scope["http_version"] = http_version
    scope["method"] = method
    scope["path"] = path
    scope["raw_path"] = raw_path
    scope["query_string"] = query
    scope["headers"] = headers
    scope["client"] = client
    scope["server"] = server
    scope["state"] = svc.lifespan_state.copy()
    return scope


def log_access(peer: str, method: str, path: str, query: bytes, http_version: str,
               status: int, sent: int, t0: float) -> None:
    """One access-log line: peer, request line, status, body bytes sent, duration."""
    if query:
        path = f"{path}?{query.decode('latin-1')}"
    access_log.info('%s - "%s %s HTTP/%s" %d %d %.2fms', peer, method, path, http_version,
                    status, sent, (time.perf_counter() - t0) * 1000.0)


def log_exception(exc: BaseException, what: str) -> None:
    error_log.error(what, exc_info=(type(exc), exc, exc.__traceback__))
