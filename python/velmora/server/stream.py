"""One request and its response, whichever protocol carries them: the ASGI ``receive`` and
``send`` of one ``http`` scope.

A protocol driver turns what its core tells it into a few events on a `Stream`: it creates
the stream for a request head (and starts the application with `run`), calls `body_arrived`
when body bytes are ready, `body_ended` when the body is complete, `client_gone` when the
client can no longer be answered and `writable` when a send that waited for room may go on.
The stream owns the ASGI message sequence (one `State`) and the answers the server gives
itself (a rejection, an internal error); it reaches the wire only through the `Sink` it was
given and, for the transport's write buffer, a `FlowControl`.
"""

from __future__ import annotations

import asyncio
import enum
import time
from typing import Any, Awaitable, Coroutine, Generic, Protocol, TypeVar

from velmora._velmora import HeaderMap
from velmora.flow import FlowControl, Signal
from velmora.server.asgi import (
    REASONS,
    SERVER_NAME,
    TEXT_PLAIN,
    ASGIApp,
    ASGIProtocolError,
    ClientDisconnected,
    Message,
    Scope,
    log_access,
    log_exception,
)
from velmora.server.logs import error_log

B = TypeVar("B")


class State(enum.Enum):
    """Where the response of a stream stands."""

    REQUEST = 0  # no ``http.response.start`` yet
    RESPONSE = 1  # started; the head is not on the wire
    BODY = 2  # the head is on the wire; body pieces follow
    TRAILERS = 3  # the body ended; the declared trailers are owed
    CLOSED = 4  # complete, or ended without completing


_REQUEST = State.REQUEST
_RESPONSE = State.RESPONSE
_BODY = State.BODY
_TRAILERS = State.TRAILERS
_CLOSED = State.CLOSED


class Refused(Exception):
    """The core refused a response part after the response had begun (a body that disagrees
    with its declared length, malformed trailers): the response fails, and the application's
    ``send`` raises ASGIProtocolError with this message."""


class Sink(Protocol[B]):
    """What a protocol driver does for its streams; ``B`` is its request-body source (the
    body decoder of HTTP/1, the buffered DATA pieces of HTTP/2)."""

    @property
    def closing(self) -> bool:
        """The connection serves no more."""

    @property
    def gone_reason(self) -> str:
        """The message of ClientDisconnected once the client is gone."""

    @property
    def access(self) -> bool:
        """Responses are written to the access log."""

    @property
    def peer(self) -> str:
        """The client as the access log writes it."""

    _client: tuple[str, int] | None  # the connection's peer (a scope's client unless amended)

    def read_body(self, stream: Stream[B]) -> Awaitable[Message | None]:
        """The next ``http.request`` message (``http.disconnect`` once the client is gone);
        ``None`` when the body is malformed."""

    def watch(self, stream: Stream[B]) -> bool:
        """The body was delivered: arrange to learn of the client's departure (then
        ``client_gone``); False when the stream is to report ``http.disconnect`` at once."""

    def write(self, stream: Stream[B], body: bytes,
              more: bool) -> Coroutine[Any, Any, None] | None:
        """Frames one body piece, with the head when ``stream.state`` is RESPONSE and the end
        when neither ``more`` nor trailers follow. Returns what to await when the piece could
        not all be taken yet; raises ClientDisconnected, Refused or ASGIProtocolError."""

    def write_trailers(self, stream: Stream[B], fields: HeaderMap) -> None:
        """Frames the trailer section, which ends the response."""

    def reject_fields(self, stream: Stream[B]) -> list[tuple[bytes, bytes]]:
        """The header fields of a response the server writes itself."""

    def end(self, stream: Stream[B]) -> None:
        """The response is complete."""

    def fail(self, stream: Stream[B]) -> None:
        """The response ends without completing: the client must not take it as whole."""

    def app_done(self, stream: Stream[B]) -> None:
        """The application of ``stream`` returned or failed."""


def response_fields(headers: list[tuple[bytes, bytes]] | None, server_header: bool) -> HeaderMap:
    """A response's header fields, with the Server field unless the application set one (or
    the server is configured without it)."""
    hm = HeaderMap(headers) if headers else HeaderMap()
    if server_header:
        hm.setdefault("server", SERVER_NAME)
    return hm


class Stream(Generic[B]):
    """One request and its response. ``key`` names the request to its sink (the HTTP/1
    request number, the HTTP/2 stream id); ``body`` is where its sink reads the request body
    from; ``flow`` is the transport's flow control when a send must wait for the transport to
    drain (HTTP/1), ``None`` when the sink paces writers itself (HTTP/2)."""

    __slots__ = ("sink", "flow", "key", "body", "method", "target", "http_version", "task",
                 "scope", "state", "status", "headers", "trailers", "trailer_list", "gone",
                 "body_open", "ended", "bad_body", "no_content", "sent", "t0", "_arrival", "_room")

    def __init__(self, sink: Sink[B], flow: FlowControl | None, key: int, body: B,
                 method: str, target: str, http_version: str) -> None:
        self.sink = sink
        self.flow = flow
        self.key = key
        self.body = body
        self.method = method
        self.target = target
        self.http_version = http_version
        self.task: asyncio.Task[None] | None = None
        self.scope: Scope | None = None
        self.state = _REQUEST
        self.status = 0
        self.headers: list[tuple[bytes, bytes]] | None = None
        self.trailers = False
        self.trailer_list: list[tuple[bytes, bytes]] | None = None
        self.gone = False  # the client can no longer be answered
        self.body_open = True  # the request body is not delivered yet
        self.ended = False  # the request body's end has arrived (when the sink says so)
        self.bad_body = False  # the request body was malformed
        self.no_content = False  # the response carries no content (the core says, e.g. HEAD)
        self.sent = 0
        self.t0 = time.perf_counter() if sink.access else 0.0
        self._arrival: Signal[None] | None = None
        self._room: Signal[None] | None = None

    def __repr__(self) -> str:
        return f"<Stream {self.key} {self.state.name}>"

    # ---- events from the driver -------------------------------------------------------------

    def body_arrived(self) -> None:
        """Body bytes (or the body's end) are ready for ``receive``."""
        sig = self._arrival
        if sig is not None:
            sig.set()

    def body_ended(self) -> None:
        self.ended = True
        self.body_arrived()

    def client_gone(self) -> None:
        """The client went away, or reset the stream: nothing more reaches it."""
        self.gone = True
        self.body_arrived()
        self.writable()

    def writable(self) -> None:
        """A ``write`` that could not take everything may go on."""
        sig = self._room
        if sig is not None:
            sig.set()

    # ---- waiting (for the sink): each wait is a fresh one-shot signal ----------------------

    async def wait(self) -> None:
        """Until the next ``body_arrived`` (or the response ends, or the client goes)."""
        sig = self._arrival = Signal(asyncio.get_running_loop())
        await sig.wait()

    async def wait_writable(self) -> None:
        """Until the next ``writable`` (or the client goes)."""
        sig = self._room = Signal(asyncio.get_running_loop())
        await sig.wait()

    # ---- the application --------------------------------------------------------------------

    async def run(self, app: ASGIApp, scope: Scope) -> None:
        try:
            await app(scope, self.receive, self.send)
        except BaseException as exc:  # noqa: BLE001 - every failure ends the response
            self.app_ended(exc)
            if not isinstance(exc, Exception) and not isinstance(exc, asyncio.CancelledError):
                raise
        else:
            if self.state is not _CLOSED:  # (app_ended(None), without a call)
                self._app_incomplete()
        finally:
            self.task = None
            self.sink.app_done(self)

    def app_ended(self, exc: BaseException | None) -> None:
        """The application returned (``exc`` None) or failed: the response ends, as complete
        or failed, or the server answers for it."""
        if exc is not None:
            self._app_failed(exc)
        elif self.state is not _CLOSED:
            self._app_incomplete()

    async def receive(self) -> Message:
        if self.body_open:
            message = await self.sink.read_body(self)
            if message is None:  # malformed: the application sees the client go
                self.bad_body = True
                self.body_open = False
                return {"type": "http.disconnect"}
            if message["type"] == "http.request" and not message["more_body"]:
                self.body_open = False
            return message
        # the body was delivered: wait for the client to go away or the response to end
        if not self.gone and self.state is not _CLOSED and self.sink.watch(self):
            while not self.gone and self.state is not _CLOSED:
                await self.wait()
        return {"type": "http.disconnect"}

    async def send(self, message: Message) -> None:
        kind = message["type"]
        if kind == "http.response.body":
            state = self.state
            if state is not _BODY and state is not _RESPONSE:
                if self.gone:
                    raise ClientDisconnected(self.sink.gone_reason)
                raise ASGIProtocolError(f"unexpected ASGI message {kind!r}")
            body = message.get("body", b"")
            if type(body) is not bytes:
                body = bytes(body)
            more = message.get("more_body", False)
            if self.gone:
                raise ClientDisconnected(self.sink.gone_reason)
            self.sent += len(body)
            try:
                pending = self.sink.write(self, body, more)
                if pending is not None:
                    await pending
            except (ClientDisconnected, Refused) as exc:
                raise self._write_failed(exc) from None
            if more:
                self.state = _BODY  # (the head is on the wire)
            elif self.trailers:
                self.state = _TRAILERS
            else:
                self._end()
                return
            flow = self.flow
            if flow is not None and flow.write_paused:
                await flow.drain(stop=self._is_gone)
                if self.gone:
                    raise ClientDisconnected(self.sink.gone_reason)
        elif kind == "http.response.start":
            if self.state is not _REQUEST:
                raise ASGIProtocolError("unexpected ASGI message 'http.response.start'")
            self.status = message["status"]
            self.headers = message.get("headers")
            if message.get("trailers", False):  # (False until now)
                self.trailers = True
            self.state = _RESPONSE
        elif kind == "http.response.trailers":
            if self.state is not _TRAILERS:
                raise ASGIProtocolError("unexpected ASGI message 'http.response.trailers'")
            if self.trailer_list is None:
                self.trailer_list = []
            self.trailer_list.extend(message.get("headers", ()))
            if message.get("more_trailers", False):
                return
            if self.gone:
                raise ClientDisconnected(self.sink.gone_reason)
            try:
                self.sink.write_trailers(self, HeaderMap(self.trailer_list))
            except (ClientDisconnected, Refused) as exc:
                raise self._write_failed(exc) from None
            self._end()
        else:
            raise ASGIProtocolError(f"unexpected ASGI message {kind!r}")

    def _is_gone(self) -> bool:
        return self.gone

    def _write_failed(self, exc: ClientDisconnected | Refused) -> Exception:
        """What ``send`` raises after its sink failed to write: the client is gone, or the
        response fails."""
        if isinstance(exc, ClientDisconnected):
            self.client_gone()
            return exc
        self._fail()
        return ASGIProtocolError(str(exc))

    # ---- endings ----------------------------------------------------------------------------

    def _end(self) -> None:
        """The response is complete."""
        self.state = _CLOSED
        sink = self.sink
        if sink.access:
            scope = self.scope
            peer = sink.peer
            if scope is not None:
                path, query = scope["path"], scope["query_string"]
                client = scope["client"]
                if client is not sink._client:  # (a trusted proxy named another client)
                    peer = f"{client[0]}:{client[1]}" if client else "-"
            else:
                path, query = self.target, b""
            log_access(peer, self.method, path, query, self.http_version, self.status,
                       self.sent, self.t0)
        if self._arrival is not None:
            self.body_arrived()
        sink.end(self)

    def _fail(self) -> None:
        """The response ends without completing."""
        self.state = _CLOSED
        self.body_arrived()
        self.sink.fail(self)

    def reject(self, status: int, fields: list[tuple[bytes, bytes]] | None = None) -> None:
        """Answer without (or instead of) the application: over the concurrency limit, a
        malformed request body, an application failure, a refused WebSocket handshake (with
        its ``fields``)."""
        body = b"%d %s" % (status, REASONS[status])
        self.state = _RESPONSE
        self.status = status
        self.trailers = False
        self.headers = self.sink.reject_fields(self)
        if fields:
            self.headers = self.headers + fields
        self.sent = len(body)
        try:
            pending = self.sink.write(self, body, False)
        except (ASGIProtocolError, ClientDisconnected, Refused):
            if self.state is not _CLOSED:
                self._fail()
            return
        if pending is not None:  # (the client's window is closed: what went out stands)
            pending.close()
        self._end()

    def _internal_error(self) -> None:
        if self.state is not _REQUEST and self.state is not _RESPONSE:
            self._fail()  # the client sees a truncated response
            return
        self.reject(500)

    def _app_failed(self, exc: BaseException) -> None:
        if self.state is _CLOSED:
            if not self.gone:
                log_exception(exc, "Exception in ASGI application after the response")
            return
        if self.gone or self.sink.closing:
            error_log.debug("ASGI application ended after the client went away: %r", exc)
            self._fail()
            return
        if isinstance(exc, asyncio.CancelledError):
            error_log.debug("ASGI application cancelled")
            self._fail()
            return
        log_exception(exc, "Exception in ASGI application")
        self._internal_error()

    def _app_incomplete(self) -> None:
        if self.gone or self.sink.closing:
            self._fail()
            return
        if self.bad_body and self.state is _REQUEST:
            self.reject(400)  # the body was malformed
            return
        if self.state is _REQUEST:
            error_log.error("ASGI callable returned without starting response")
        else:
            error_log.error("ASGI callable returned without completing response")
        self._internal_error()
