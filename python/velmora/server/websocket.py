"""WebSockets in the server: one session of an ASGI ``websocket`` scope.

A protocol driver recognises an opening handshake (the core's ``ws_check_request``), builds
the scope with `websocket_scope` and starts a `WebSocket` with a `Stream` of its own for the
answers given before the handshake completes (a refusal, the denial response, a 403 or a 500),
and an ``opener``: the callable that completes the handshake when the application accepts (the
HTTP/1.1 connection answers ``101`` and hands its transport over; an HTTP/2 stream answers
``200`` and carries the frames in its DATA) and gives the transport the session then serves.

From then on `WebSocket` is the asyncio protocol of that transport: every byte goes through the
core's ``WSConnection`` (frames, masking, UTF-8, the close handshake, automatic pongs,
permessage-deflate); this module adds the ASGI messages, a bounded queue of received messages
(reading pauses while it is full: an application that does not receive stops the socket), the
transport's flow control (``send`` waits while the transport is paused), the keep-alive pings
and the deadlines of the close handshake, both on the server's sweep.
"""

from __future__ import annotations

import asyncio
import base64
import collections
import enum
import hashlib
import os
import time
from collections.abc import Iterable
from typing import Any, Callable, Protocol

from velmora import _velmora as _v
from velmora.flow import FlowControl
from velmora.server.asgi import (
    ASGIApp,
    ASGIProtocolError,
    ClientDisconnected,
    Message,
    Scope,
    ScopeSettings,
    log_access,
    log_exception,
)
from velmora.server.logs import error_log
from velmora.server.stream import Stream

WSConnection = _v.WSConnection
WS_TEXT = _v.WS_TEXT
WS_BINARY = _v.WS_BINARY
WS_CLOSE = _v.WS_CLOSE
WS_PING = _v.WS_PING
WS_PONG = _v.WS_PONG
WS_CLOSED = _v.WS_CLOSED

# RFC 6455 section 1.3: the GUID the Sec-WebSocket-Accept digest appends to the key.
_GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"
# Close codes (RFC 6455 section 7.4.1).
NORMAL = 1000
GOING_AWAY = 1001
NO_STATUS = 1005
ABNORMAL = 1006
INTERNAL_ERROR = 1011
SERVICE_RESTART = 1012

# How long a closing side waits for the peer's Close (or, after a protocol error, for the
# peer to end its stream) before the transport closes anyway.
CLOSE_TIMEOUT = 5.0
FAIL_LINGER = 1.0
# The buffer every session of a server reads into (one per server: each read is consumed
# before the next one starts, and the core copies what it keeps).
READ_BUFFER_SIZE = 256 * 1024


def accept_key(key: bytes) -> bytes:
    """Sec-WebSocket-Accept for a Sec-WebSocket-Key (RFC 6455 section 4.2.2)."""
    return base64.b64encode(hashlib.sha1(key + _GUID).digest())


_WS_SCHEMES = {"http": "ws", "https": "wss"}


def websocket_scope(svc: ScopeSettings, http_version: str, target: str,
                    headers: list[tuple[bytes, bytes]], client: tuple[str, int] | None,
                    server: tuple[str, int] | None, subprotocols: list[str],
                    amend: Callable[[dict[str, Any]], None] | None) -> dict[str, Any]:
    """The ``websocket`` scope of one opening handshake (ASGI 2.4). ``amend`` is the
    connection's ``scope_amender``: the client and scheme a trusted proxy names, the ``tls``
    extension."""
    path, raw_path, query = svc.split(target)
    scheme = "wss" if svc.scheme == "https" else "ws"
    scope: dict[str, Any] = {
        "type": "websocket",
        "asgi": {"version": "3.0", "spec_version": "2.4"},
        "http_version": http_version,
        "scheme": scheme,
        "path": path,
        "raw_path": raw_path,
        "query_string": query,
        "root_path": svc.root_path,
        "headers": headers,
        "client": client,
        "server": server,
        "subprotocols": subprotocols,
        "state": svc.lifespan_state.copy(),
        "extensions": {"websocket.http.response": {}},
    }
    if amend is not None:
        amend(scope)
        extensions = scope["extensions"]
        if "websocket.http.response" not in extensions:
            scope["extensions"] = {**extensions, "websocket.http.response": {}}
        # (a proxy's X-Forwarded-Proto: https names the wss scheme of a WebSocket)
        scope["scheme"] = _WS_SCHEMES.get(scope["scheme"], scope["scheme"])
    return scope


class Settings(Protocol):
    """What a session takes from its server (its ``Service``)."""

    loop: asyncio.AbstractEventLoop
    now: float
    connections: set[Any]
    cycles: set[Any]
    access: bool
    ws_max_size: int
    ws_max_queue: int
    ws_ping_interval: float
    ws_ping_timeout: float
    ws_deflate: bool
    ws_read_buffer: memoryview | None
    shutting_down: bool


class Transport(Protocol):
    """What a session writes to: an asyncio transport, or a stream carrying its bytes."""

    def write(self, data: bytes) -> None: ...
    def writelines(self, parts: Iterable[bytes]) -> None: ...
    def pause_reading(self) -> None: ...
    def resume_reading(self) -> None: ...
    def close(self) -> None: ...
    def abort(self) -> None: ...
    def can_write_eof(self) -> bool: ...
    def write_eof(self) -> None: ...


# Completes the opening handshake with the response fields given (the 101, or the 200 over
# HTTP/2): the transport the session is now the protocol of, and bytes already read from it;
# None when the client went away first.
Opener = Callable[["WebSocket", Stream[Any], list[tuple[bytes, bytes]]],
                  "tuple[Transport, bytes] | None"]


class Phase(enum.Enum):
    CONNECTING = 0  # the handshake is not answered yet
    RESPONSE = 1  # the application answers with the denial response
    OPEN = 2  # accepted: messages flow
    CLOSING = 3  # this side sent its Close
    DONE = 4  # nothing more is sent (closed, denied or the transport is gone)


_CONNECTING = Phase.CONNECTING
_RESPONSE = Phase.RESPONSE
_OPEN = Phase.OPEN
_CLOSING = Phase.CLOSING
_DONE = Phase.DONE


class Due(enum.Enum):
    """What the session's deadline is for."""

    NOTHING = 0
    PING = 1  # the next keep-alive ping
    PONG = 2  # the pong of the ping sent
    CLOSE = 3  # the peer's Close (or its end of stream after a failure)


_NOTHING = Due.NOTHING
_PING = Due.PING
_PONG = Due.PONG
_CLOSE = Due.CLOSE

_GONE = "the client closed the WebSocket"


class WebSocket(FlowControl, asyncio.BufferedProtocol):
    """One WebSocket session: the ASGI ``receive``/``send`` of a ``websocket`` scope, and, once
    accepted, the asyncio protocol of the transport that carries it (a `Connection` of the
    server: it has a ``deadline``, and takes part in graceful shutdown)."""

    __slots__ = ("_svc", "_stream", "_req", "scope", "_opener", "peer", "_phase", "_connected",
                 "_core", "_t", "_queue", "_arrival", "_code", "_reason", "task", "deadline",
                 "_due", "_full", "_failed", "sent", "t0", "_logged")

    def __init__(self, svc: Settings, stream: Stream[Any], request: Any, scope: Scope,
                 opener: Opener, peer: str) -> None:
        self._svc = svc
        self._stream = stream
        self._req = request
        self.scope = scope
        self._opener = opener
        self.peer = peer
        self._phase = _CONNECTING
        self._connected = False  # websocket.connect was delivered
        self._core: Any = None
        self._t: Transport | None = None
        self._queue: collections.deque[Message] = collections.deque()
        self._arrival: asyncio.Future[None] | None = None  # the receive waiting for a message
        self._code: int | None = None  # the disconnect code, once the session ended
        self._reason = ""
        self.task: asyncio.Task[None] | None = None
        self.deadline = 0.0
        self._due = _NOTHING
        self._full = False  # reading is paused: the queue is full
        self._failed = False  # the peer violated the protocol (the core's ``failed``)
        self.sent = 0
        self.t0 = time.perf_counter()
        self._logged = False

    def __repr__(self) -> str:
        return f"<WebSocket {self.peer} {self._phase.name}>"

    # ---- the application --------------------------------------------------------------------

    async def run(self, app: ASGIApp) -> None:
        try:
            await app(self.scope, self.receive, self.send)
        except BaseException as exc:  # noqa: BLE001 - every failure ends the session
            self._app_ended(exc)
            if not isinstance(exc, Exception) and not isinstance(exc, asyncio.CancelledError):
                raise
        else:
            self._app_ended(None)
        finally:
            self.task = None
            self._svc.cycles.discard(self)
            if self._t is None:  # never accepted: the request's stream is done
                stream = self._stream
                stream.sink.app_done(stream)

    def _app_ended(self, exc: BaseException | None) -> None:
        phase = self._phase
        stream = self._stream
        if phase is _CONNECTING:
            if exc is None or isinstance(exc, asyncio.CancelledError) or stream.gone:
                if exc is not None:
                    error_log.debug("WebSocket application ended before accepting: %r", exc)
                self._deny(403)
            else:
                log_exception(exc, "Exception in ASGI application")
                self._deny(500)
        elif phase is _RESPONSE:
            stream.app_ended(exc)
            self._phase = _DONE
        elif phase is _OPEN:
            if exc is None or isinstance(exc, asyncio.CancelledError):
                self._close(NORMAL, "")
            else:
                log_exception(exc, "Exception in ASGI application")
                self._close(INTERNAL_ERROR, "")
        elif exc is not None and self._code is None:
            log_exception(exc, "Exception in ASGI application")

    async def receive(self) -> Message:
        if not self._connected:
            self._connected = True
            return {"type": "websocket.connect"}
        queue = self._queue
        while True:
            if queue:
                message = queue.popleft()
                if self._full and len(queue) < self._svc.ws_max_queue:
                    self._full = False
                    if not self.write_paused:
                        self.resume_reading()
                return message
            if self._code is not None:
                return {"type": "websocket.disconnect", "code": self._code,
                        "reason": self._reason}
            if self._phase is _CONNECTING or self._phase is _RESPONSE:
                stream = self._stream
                if stream.gone:
                    self._code = ABNORMAL
                    continue
                await stream.wait()
                continue
            fut = self._arrival = self._svc.loop.create_future()
            await fut

    async def send(self, message: Message) -> None:
        kind = message["type"]
        phase = self._phase
        if kind == "websocket.send":
            if phase is not _OPEN:
                if self._code is not None or phase is _CLOSING:
                    raise ClientDisconnected(_GONE)
                raise ASGIProtocolError(f"unexpected ASGI message {kind!r} before accept")
            data = message.get("text")
            if data is None:
                data = message.get("bytes")
                if data is None:
                    raise ASGIProtocolError("websocket.send needs 'text' or 'bytes'")
            try:
                parts = self._core.send_parts(data)
            except RuntimeError:  # (the peer's Close was answered)
                raise ClientDisconnected(_GONE) from None
            self._t.writelines(parts)  # type: ignore[union-attr]
            self.sent += len(data)
            if self.write_paused:
                await self.drain(stop=self._is_gone)
                if self._code is not None:
                    raise ClientDisconnected(_GONE)
        elif kind == "websocket.accept":
            if phase is not _CONNECTING:
                raise ASGIProtocolError(f"unexpected ASGI message {kind!r}")
            self._accept(message.get("subprotocol"), message.get("headers") or ())
        elif kind == "websocket.close":
            if phase is _CONNECTING:
                self._deny(403)
            elif phase is _OPEN:
                code = message.get("code")
                reason = message.get("reason") or ""
                self._close(NORMAL if code is None else code, reason)
            elif self._code is not None or phase is _CLOSING:
                raise ClientDisconnected(_GONE)
            else:
                raise ASGIProtocolError(f"unexpected ASGI message {kind!r}")
        elif kind == "websocket.http.response.start":
            if phase is not _CONNECTING:
                raise ASGIProtocolError(f"unexpected ASGI message {kind!r}")
            self._phase = _RESPONSE
            await self._stream.send({"type": "http.response.start", "status": message["status"],
                                     "headers": message.get("headers") or []})
        elif kind == "websocket.http.response.body":
            if phase is not _RESPONSE:
                raise ASGIProtocolError(f"unexpected ASGI message {kind!r}")
            more = message.get("more_body", False)
            await self._stream.send({"type": "http.response.body",
                                     "body": message.get("body", b""), "more_body": more})
            if not more:
                self._phase = _DONE
        else:
            raise ASGIProtocolError(f"unexpected ASGI message {kind!r}")

    def _is_gone(self) -> bool:
        return self._code is not None

    # ---- the handshake ----------------------------------------------------------------------

    def _deny(self, status: int) -> None:
        self._phase = _DONE
        if self._code is None:
            self._code = ABNORMAL  # (what a later receive reports: the session never opened)
        stream = self._stream
        if not stream.gone:
            stream.reject(status)

    def _accept(self, subprotocol: str | None, headers: Any) -> None:
        svc = self._svc
        fields: list[tuple[bytes, bytes]] = []
        key = self._req.key
        if key:
            fields.append((b"sec-websocket-accept", accept_key(key)))
        if subprotocol:
            fields.append((b"sec-websocket-protocol", subprotocol.encode("latin-1")))
        deflate = None
        offers = self._req.extensions
        if offers and svc.ws_deflate:
            negotiated = _v.ws_deflate_negotiate(offers)
            if negotiated is not None:
                fields.append((b"sec-websocket-extensions", negotiated[0]))
                deflate = negotiated[1]
        for name, value in headers:
            fields.append((bytes(name).lower(), bytes(value)))
        opened = self._opener(self, self._stream, fields)
        self._opener = None  # type: ignore[assignment]  # (it references its connection)
        if opened is None:
            self._phase = _DONE
            self._code = ABNORMAL
            raise ClientDisconnected(_GONE)
        transport, leftover = opened
        self._core = WSConnection(False, max_message_size=svc.ws_max_size, deflate=deflate)
        if svc.ws_read_buffer is None:
            svc.ws_read_buffer = memoryview(bytearray(READ_BUFFER_SIZE))
        self._t = transport
        FlowControl.__init__(self, transport, svc.loop)
        self._phase = _OPEN
        svc.connections.add(self)
        self._stream.body_arrived()  # (a receive waiting for the handshake goes on)
        self._schedule_ping()
        transport.resume_reading()  # (the HTTP connection may have paused it)
        if leftover:
            self.data_received(leftover)
        if svc.shutting_down:
            self.shutdown()

    # ---- the transport ----------------------------------------------------------------------

    def get_buffer(self, sizehint: int) -> memoryview:
        return self._svc.ws_read_buffer  # type: ignore[return-value]

    def buffer_updated(self, nbytes: int) -> None:
        self.data_received(self._svc.ws_read_buffer[:nbytes])  # type: ignore[index]

    def data_received(self, data: bytes | memoryview) -> None:
        if self._failed:
            # our Close reporting the violation is out and the peer answered (its Close, or
            # more of what it was sending): nothing more is read, the server closes first
            self._end_transport()
            return
        core = self._core
        queue = self._queue
        owed = False  # the core owes the peer a pong or a Close: only after these events
        for kind, payload in core.receive(data):
            if kind == WS_TEXT:
                queue.append({"type": "websocket.receive", "text": payload})
            elif kind == WS_BINARY:
                queue.append({"type": "websocket.receive", "bytes": payload})
            elif kind == WS_PING:
                owed = True
            elif kind == WS_CLOSE:
                owed = True
                self._peer_closed(payload[0], payload[1])
            elif kind == WS_PONG and self._due is _PONG:
                self._schedule_ping()
        if owed:
            out = core.outgoing()
            t = self._t
            if out:
                t.write(out)  # type: ignore[union-attr]
            if self._failed and t is not None and t.can_write_eof():
                # the Close reporting the violation is followed by our FIN: the peer need not
                # answer before the server has ended the connection (the linger still bounds it)
                t.write_eof()
        if queue:
            if len(queue) >= self._svc.ws_max_queue and not self._full:
                self._full = True
                self.pause_reading()
            fut = self._arrival
            if fut is not None:
                self._arrival = None
                if not fut.done():
                    fut.set_result(None)
        if self.write_paused:
            # the peer does not read what it owes (pongs, the echo of its Close): stop reading
            self.pause_reading()

    def _peer_closed(self, code: int, reason: str) -> None:
        core = self._core
        if self._code is None:
            self._code = code
            self._reason = reason
        self._wake_receiver()
        if core.failed:
            self._failed = True
            # our Close carries the violation: let it reach the peer before the stream ends
            self._phase = _DONE
            self._set_due(_CLOSE, FAIL_LINGER)
            error_log.debug("%s: WebSocket protocol error %d: %s", self.peer, code, reason)
        elif core.state == WS_CLOSED:
            # both Close frames are out: the server ends the TCP connection first
            self._phase = _DONE
            self._svc.loop.call_soon(self._end_transport)

    def _end_transport(self) -> None:
        t = self._t
        if t is not None and not self.closed:
            t.close()

    def eof_received(self) -> bool:
        return False  # (the transport closes; connection_lost follows)

    def connection_lost(self, exc: BaseException | None) -> None:
        svc = self._svc
        svc.connections.discard(self)
        self.deadline = 0.0
        self._due = _NOTHING
        if self._code is None:
            self._code = ABNORMAL
        self._phase = _DONE
        self.transport_lost()
        self._wake_receiver()
        self._log()

    def pause_writing(self) -> None:
        self.write_paused = True

    def resume_writing(self) -> None:
        FlowControl.resume_writing(self)
        if not self._full:
            self.resume_reading()

    def _wake_receiver(self) -> None:
        fut = self._arrival
        if fut is not None:
            self._arrival = None
            if not fut.done():
                fut.set_result(None)

    def _log(self) -> None:
        if self._logged or not self._svc.access:
            return
        self._logged = True
        scope = self.scope
        log_access(self.peer, "GET", scope["path"], scope["query_string"], scope["http_version"],
                   101, self.sent, self.t0)

    # ---- closing ----------------------------------------------------------------------------

    def _close(self, code: int, reason: str) -> None:
        """Start the close handshake from this side (the application's close, its end, an
        error or shutdown)."""
        core = self._core
        try:
            frame = core.close(code, reason)
        except ValueError as exc:
            raise ASGIProtocolError(str(exc)) from None
        self._phase = _CLOSING
        if frame:
            self._t.write(frame)  # type: ignore[union-attr]
        if core.state == WS_CLOSED:
            self._phase = _DONE
            self._end_transport()
        else:
            self._set_due(_CLOSE, CLOSE_TIMEOUT)

    # ---- deadlines (on the server's sweep) --------------------------------------------------

    def _set_due(self, due: Due, span: float) -> None:
        self._due = due
        self.deadline = self._svc.now + span if span > 0 else 0.0

    def _schedule_ping(self) -> None:
        interval = self._svc.ws_ping_interval
        if interval > 0:
            self._set_due(_PING, interval)
        else:
            self._set_due(_NOTHING, 0)

    def deadline_expired(self) -> None:
        due = self._due
        self.deadline = 0.0
        self._due = _NOTHING
        if self.closed or self._t is None:
            return
        if due is _PING:
            if self._phase is _OPEN:
                self._t.write(self._core.ping(os.urandom(4)))
                timeout = self._svc.ws_ping_timeout
                if timeout > 0:
                    self._set_due(_PONG, timeout)
                else:
                    self._schedule_ping()
        elif due is _PONG:
            error_log.debug("%s: WebSocket keep-alive ping timed out", self.peer)
            if self._code is None:
                self._code = ABNORMAL
            self._wake_receiver()
            frame = self._core.close(INTERNAL_ERROR, "keepalive ping timeout")
            if frame:
                self._t.write(frame)
            self._phase = _DONE
            self._t.close()
        elif due is _CLOSE:
            self._t.close()

    def shutdown(self, code: int = GOING_AWAY) -> None:
        """Graceful shutdown: Close 1001 (the application hears the peer's answer)."""
        if self._phase is _OPEN:
            self._close(code, "")

    def abort(self) -> None:
        t = self._t
        if t is not None:
            t.abort()
