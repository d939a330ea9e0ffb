"""The HTTP/2 server connection: an asyncio protocol driving the core's ``H2Streams``.

The core holds every protocol decision (frames, HPACK, stream states, flow control, resets,
flood caps, the two-phase GOAWAY); this module adds the asynchronous machinery:

* the read side (``data_received``) decodes with ``receive`` and applies each frame with the
  matching ``recv_*`` method, then turns the verdict into events of the request's `Stream`:
  a new request starts one application task, body bytes go to the stream's buffer (bounded
  by the stream's receive window, whose credit goes back with ``release_capacity`` as the
  application reads), resets and failures tell the stream the client is gone;
* the write side (``_flush``) takes the whole pending-send buffer, writes it and credits it;
  it runs once per loop pass at most and stops while the transport asks writers to pause;
* as the streams' `Sink`, ``write`` frames as much as ``send_data`` takes and waits for the
  stream's window (``writable``) for the rest (backpressure).
"""

from __future__ import annotations

import asyncio
import enum
from typing import Any, Callable, Coroutine

from velmora import _velmora as _v
from velmora.flow import FlowControl
from velmora.server.asgi import (
    TASK_NAME,
    TEXT_PLAIN,
    ASGIProtocolError,
    ClientDisconnected,
    Message,
    http_scope,
    PeerName,
    scope_amender,
    transport_addresses,
)
from velmora.server.logs import error_log
from velmora.server.state import Service
from velmora.server.stream import Refused, State, Stream, response_fields
from velmora.server.websocket import WebSocket, websocket_scope
from velmora.server.ws_h2 import H2Channel, WSStream

H2Streams = _v.H2Streams
ws_check_request = _v.ws_check_request
WS_VERSION_FIELDS = [(b"sec-websocket-version", b"13")]
_Task = asyncio.Task
HeaderMap = _v.HeaderMap
VelmoraError = _v.VelmoraError
H2StreamError = _v.H2StreamError
H2ProtocolError = _v.H2ProtocolError
H2FlowControlError = _v.H2FlowControlError
H2SendVerdict = _v.H2SendVerdict
FrameHeaders = _v.H2FrameHeaders
FrameData = _v.H2FrameData
FrameSettings = _v.H2FrameSettings
FramePing = _v.H2FramePing
FrameWindowUpdate = _v.H2FrameWindowUpdate
FrameRstStream = _v.H2FrameRstStream
FrameGoAway = _v.H2FrameGoAway
FrameStreamError = _v.H2FrameStreamError

WAKE = _v.H2_FLAG_WAKE
CONN_DONE = _v.H2_FLAG_CONN_DONE
STOP_ACCEPTING = _v.H2_FLAG_STOP_ACCEPTING
OPENED = _v.H2_HEADERS_OPENED
TRAILERS = _v.H2_HEADERS_TRAILERS

NO_ERROR = _v.H2_REASON_NO_ERROR
PROTOCOL_ERROR = _v.H2_REASON_PROTOCOL_ERROR
INTERNAL_ERROR = _v.H2_REASON_INTERNAL_ERROR
FLOW_CONTROL_ERROR = _v.H2_REASON_FLOW_CONTROL_ERROR
CANCEL = _v.H2_REASON_CANCEL

# A stream's request body as it arrived: DATA payloads, each with whether it counts against
# the connection's DATA-frame budget.
Pieces = list[tuple[bytes, bool]]
H2Stream = Stream[Pieces]


class Conn(enum.Enum):
    OPEN = 0
    CLOSING = 1  # this side closes the transport
    CLOSED = 2  # the transport is gone (or aborted)


_OPEN = Conn.OPEN
_CLOSING = Conn.CLOSING
_CLOSED = Conn.CLOSED
_RESPONSE = State.RESPONSE


def create_protocol(service: Service, transport: asyncio.Transport,
                    bytes_read: bytes) -> H2Connection:
    """Serve HTTP/2 on ``transport``; ``bytes_read`` are bytes already read from it (they start
    with the client's connection preface when it was sniffed)."""
    conn = H2Connection(service, transport)
    transport.set_protocol(conn)
    conn.connection_made(transport)
    if bytes_read:
        conn.data_received(bytes_read)
    return conn


class H2Connection(PeerName, asyncio.Protocol):
    """One HTTP/2 connection of the server: the transport callbacks around the core's
    ``H2Streams``, and the sink of its streams."""

    gone_reason = "the client closed the stream"

    __slots__ = ("_core", "_svc", "_t", "_flow", "_state", "_flush_soon", "_streams", "deadline",
                 "_client", "_server", "_peer", "_amend", "access")

    def __init__(self, service: Service, transport: asyncio.Transport) -> None:
        config = service.config
        self._core = H2Streams(
            "server",
            initial_window_size=service.body_buffer,
            connection_window=max(service.body_buffer, 1 << 20),
            max_frame_size=16384,
            max_header_list_size=config.limit_request_head_size,
            max_send_buf_size=service.write_high,
            max_concurrent_streams=config.h2_max_concurrent_streams,
            auto_date_header=config.date_header,
            drop_connection_fields=True,  # an application's HTTP/1.1-only fields (RFC 9113 8.2.2)
            enable_connect_protocol=service.ws,  # WebSockets (RFC 8441)
        )
        self._svc = service
        self._t = transport
        self._flow = FlowControl(transport, service.loop)
        self._state = _OPEN
        self._flush_soon = False
        self._streams: dict[int, H2Stream] = {}
        self.deadline = 0.0
        self._client: tuple[str, int] | None = None
        self._server: tuple[str, int] | None = None
        self._peer: str | None = None  # made on first use (the logs)
        self._amend: Callable[[dict[str, Any]], None] | None = None  # scope_amender's
        self.access = service.access

    def __repr__(self) -> str:
        return f"<H2Connection {self.peer} {self._core!r}>"

    # ---- transport callbacks ----------------------------------------------------------------

    def connection_made(self, transport: asyncio.Transport) -> None:  # type: ignore[override]
        svc = self._svc
        svc.connections.add(self)
        self._client, self._server = transport_addresses(transport)
        self._amend = scope_amender(svc, transport, self._client)
        transport.set_write_buffer_limits(high=svc.write_high)
        self._idle()
        self._core.begin()
        self._flush()

    def data_received(self, data: bytes) -> None:
        if self._state is not _OPEN:
            return  # (after a GOAWAY this side sent, nothing the peer sends matters)
        core = self._core
        try:
            frames = core.receive(data if type(data) is bytes else bytes(data))
        except VelmoraError as exc:
            self._conn_error(exc)
            return
        for frame in frames:
            try:
                self._apply(frame)
            except H2StreamError as exc:
                if not self._stream_error(exc.args[0], exc.args[1]):
                    return
            except VelmoraError as exc:
                self._conn_error(exc)
                return
        if self._state is _CLOSED:
            return
        flags = core.maybe_goaway_reply()
        self._flush()
        if flags & CONN_DONE:
            self._close()

    def eof_received(self) -> bool:
        self._lost(None)
        return False

    def connection_lost(self, exc: BaseException | None) -> None:
        self._lost(exc)

    def pause_writing(self) -> None:
        # the peer does not read: stop reading too, so that nothing it sends (PINGs,
        # SETTINGS, requests) can make this side queue more for it
        flow = self._flow
        flow.pause_writing()
        flow.pause_reading()

    def resume_writing(self) -> None:
        flow = self._flow
        flow.resume_writing()
        flow.resume_reading()
        self._flush()

    # ---- frames -----------------------------------------------------------------------------

    def _apply(self, frame: Any) -> None:  # (one of the frame classes: dispatched on its type)
        kind = type(frame)
        core = self._core
        if kind is FrameHeaders:
            stream: H2Stream = (Stream if frame.protocol is None else WSStream)(
                self, None, frame.stream_id, [], frame.method or "", frame.path or "", "2")
            vd = core.recv_headers(frame, stream)
            if vd.kind == OPENED:
                stream.no_content = vd.no_body
                self._open(stream, frame, vd.eof)
            elif vd.kind == TRAILERS:
                handle = vd.handle
                if handle is not None:
                    handle.body_ended()
        elif kind is FrameData:
            dv = core.recv_data(frame)
            handle = dv.handle
            if handle is not None:
                payload = dv.payload
                if payload is not None or dv.budgeted:
                    handle.body.append((payload or b"", dv.budgeted))
                if dv.eof:
                    handle.body_ended()
                else:
                    handle.body_arrived()
        elif kind is FrameWindowUpdate:
            for handle in core.recv_window_update(frame):
                handle.writable()
        elif kind is FrameSettings:
            _initial, wake, _flags = core.recv_settings(frame)
            for handle in wake:
                handle.writable()
        elif kind is FramePing:
            if core.recv_ping(frame) & STOP_ACCEPTING:
                self._stop_accepting()
        elif kind is FrameRstStream:
            r = core.recv_reset(frame)
            if r is not None:
                r[0].client_gone()
        elif kind is FrameGoAway:
            pairs, _flags = core.recv_go_away(frame)
            for handle, _stop in pairs:
                handle.client_gone()
        elif kind is FrameStreamError:
            self._stream_error(frame.stream_id, frame.error_code)
        # PRIORITY frames and unknown frame types need nothing

    def _open(self, stream: H2Stream, frame: FrameHeaders, eof: bool) -> None:
        svc = self._svc
        sid = stream.key
        self._core.accepted(sid)
        self._streams[sid] = stream
        self.deadline = 0.0
        if eof:
            stream.body_ended()
        limit = svc.limit_concurrency
        if limit is not None and (len(svc.connections) > limit or len(svc.cycles) >= limit):
            stream.reject(503)
            self._stream_done(stream)
            return
        if type(stream) is WSStream:
            self._websocket(stream, frame)  # type: ignore[arg-type]
            return
        svc.cycles.add(stream)
        stream.scope = scope = http_scope(svc, "2", stream.method, stream.target,
                                          frame.request_items(), self._client, self._server)
        if self._amend is not None:
            self._amend(scope)
        stream.task = _Task(stream.run(svc.app, scope), loop=svc.loop, name=TASK_NAME)

    def _websocket(self, stream: WSStream, frame: FrameHeaders) -> None:
        """An extended CONNECT (RFC 8441): a WebSocket session on this stream."""
        svc = self._svc
        request = None
        if svc.ws and (frame.protocol or "").lower() == "websocket":
            request = ws_check_request(b"CONNECT", True, frame.headers)
        if request is None or request.status:
            status = request.status if request is not None else 400
            stream.reject(status, WS_VERSION_FIELDS if status == 426 else None)
            self._stream_done(stream)
            return
        stream.scope = scope = websocket_scope(svc, "2", stream.target, frame.request_items(),
                                               self._client, self._server,
                                               request.subprotocols, self._amend)
        ws = WebSocket(svc, stream, request, scope, self._ws_open, self.peer)
        svc.cycles.add(ws)
        ws.task = _Task(ws.run(svc.app), loop=svc.loop, name=TASK_NAME)

    def _ws_open(self, ws: WebSocket, stream: H2Stream,
                 fields: list[tuple[bytes, bytes]]) -> tuple[H2Channel, bytes] | None:
        """The application accepted: answer 200 and carry the session in the stream's DATA."""
        if stream.gone or self._state is not _OPEN:
            return None
        stream.status = 200
        stream.headers = fields
        try:
            self._send_head(stream, False)
        except ClientDisconnected:
            return None
        assert isinstance(stream, WSStream)
        stream.channel = channel = H2Channel(self, stream, ws)
        self._svc.loop.call_soon(channel.pump)  # (DATA that came before the answer)
        return channel, b""

    def _stream_error(self, sid: int, reason: int) -> bool:
        """Reset ``sid`` after the peer's stream-level violation; False when the reset cap was
        reached and the connection failed."""
        try:
            r = self._core.reset_on_error(sid, reason)
        except VelmoraError as exc:
            self._conn_error(exc)
            return False
        if r.handle is not None:
            r.handle.client_gone()
        return True

    def _conn_error(self, exc: BaseException) -> None:
        """A connection error detected on this side: GOAWAY with its code, fail every stream."""
        if isinstance(exc, H2FlowControlError):
            code = FLOW_CONTROL_ERROR
        elif isinstance(exc, H2ProtocolError) and exc.args and isinstance(exc.args[0], int):
            code = exc.args[0]
        else:
            code = PROTOCOL_ERROR
        error_log.debug("%s: HTTP/2 connection error: %r", self.peer, exc)
        self._core.send_goaway(code)
        self._fail(exc)
        self._flush()
        self._close()

    def _fail(self, exc: BaseException | None) -> None:
        core = self._core
        for handle, _stop in core.fail(exc) if exc is not None else core.fail():
            handle.client_gone()

    # ---- writing ----------------------------------------------------------------------------

    def _wake(self) -> None:
        """Something was queued for the peer: write it on this loop pass."""
        if not self._flush_soon and self._state is not _CLOSED:
            self._flush_soon = True
            self._svc.loop.call_soon(self._flush)

    def _flush(self) -> None:
        self._flush_soon = False
        if self._flow.write_paused or self._state is _CLOSED:
            return
        core = self._core
        mv, _stopping = core.take_pending()
        if mv.nbytes:
            self._t.write(mv)
        for handle in core.credit_written():
            handle.writable()

    # ---- the sink of the streams ------------------------------------------------------------

    @property
    def closing(self) -> bool:
        """The connection serves no more (failed, going away or closed)."""
        return self._state is not _OPEN

    def take_body(self, stream: H2Stream) -> bytes:
        """The body bytes buffered for ``stream``, their credit given back to the client."""
        core = self._core
        sid = stream.key
        chunks = stream.body
        if len(chunks) == 1:
            body, budgeted = chunks[0]
            if budgeted:
                core.release_data_frame(sid, len(body))
        else:
            for piece, budgeted in chunks:
                if budgeted:
                    core.release_data_frame(sid, len(piece))
            body = b"".join(piece for piece, _ in chunks)
        chunks.clear()
        if body:
            core.release_capacity(sid, len(body))
            if core.has_pending():
                self._wake()
        return body

    async def read_body(self, stream: H2Stream) -> Message | None:
        chunks = stream.body
        while True:
            if chunks:
                body = self.take_body(stream)
                more = not stream.ended
                if not body and more:
                    continue
                return {"type": "http.request", "body": body, "more_body": more}
            if stream.ended:
                return {"type": "http.request", "body": b"", "more_body": False}
            if stream.gone:
                return {"type": "http.disconnect"}
            await stream.wait()

    def watch(self, stream: H2Stream) -> bool:
        return True  # a reset or the connection's end tells the stream

    def write(self, stream: H2Stream, body: bytes,
              more: bool) -> Coroutine[Any, Any, None] | None:
        if stream.no_content:
            body = b""  # e.g. a response to HEAD (RFC 9110 9.3.2)
        end = not more and not stream.trailers
        if stream.state is _RESPONSE:
            self._send_head(stream, end and not body)
            if end and not body:
                return None
        if not (body or end):
            return None
        offset = self._send_data(stream, body, 0, end)
        if offset < 0:
            return None
        return self._send_rest(stream, body, offset, end)

    def _send_head(self, stream: H2Stream, end: bool) -> None:
        hm = response_fields(stream.headers, self._svc.server_header)
        try:
            vd = self._core.send_response_head(stream.key, stream.status, hm, end)
        except VelmoraError as exc:
            raise ASGIProtocolError(str(exc)) from None
        if vd.stopped is not None:
            raise ClientDisconnected(self.gone_reason)
        self._sent(vd)

    def _send_data(self, stream: H2Stream, body: bytes, offset: int, end: bool) -> int:
        """Frames ``body[offset:]`` while the windows take it: -1 once all went, else the
        offset reached."""
        core = self._core
        sid = stream.key
        while True:
            vd = core.send_data(sid, body, offset, end)
            if vd.stopped is not None:
                raise ClientDisconnected(self.gone_reason)
            offset += vd.sent
            if vd.flags:
                self._sent(vd)
            if vd.done:
                return -1
            if vd.sent == 0:  # no window, or this stream's share of the buffer is full
                return offset

    def send_stream_data(self, stream: H2Stream, body: bytes, end: bool) -> int:
        """Frames ``body`` (and END_STREAM with ``end``) while the stream's window takes it: -1
        once all went, else how much did (the stream's ``writable`` tells when more may)."""
        return self._send_data(stream, body, 0, end)

    def loop_soon(self, callback: Any) -> None:
        self._svc.loop.call_soon(callback)

    async def _send_rest(self, stream: H2Stream, body: bytes, offset: int, end: bool) -> None:
        while offset >= 0:
            await stream.wait_writable()
            if stream.gone and self._state is _CLOSED:
                raise ClientDisconnected("the client closed the connection")
            offset = self._send_data(stream, body, offset, end)

    def _sent(self, vd: H2SendVerdict) -> None:
        if vd.flags & WAKE:
            self._wake()
        handle = vd.handle
        if handle is not None:  # the response ended before the request body: it was reset
            handle.body.clear()
            handle.body_ended()

    def write_trailers(self, stream: H2Stream, fields: HeaderMap) -> None:
        try:
            vd = self._core.send_trailers(stream.key, fields)
        except VelmoraError as exc:
            raise Refused(str(exc)) from None
        self._sent(vd)
        if vd.stopped is not None:
            raise ClientDisconnected(self.gone_reason)

    def reject_fields(self, stream: H2Stream) -> list[tuple[bytes, bytes]]:
        return TEXT_PLAIN

    def end(self, stream: H2Stream) -> None:
        pass  # the stream is done once its application is (``app_done``)

    def fail(self, stream: H2Stream) -> None:
        """The client sees the stream reset."""
        if self._state is _OPEN:
            r = self._core.reset_stream(stream.key, INTERNAL_ERROR)
            if r.flags & WAKE:
                self._wake()

    def app_done(self, stream: H2Stream) -> None:
        self._svc.cycles.discard(stream)
        self._stream_done(stream)

    def _stream_done(self, stream: H2Stream) -> None:
        """A stream's application ended and its response is complete or abandoned."""
        self._streams.pop(stream.key, None)
        if self._state is not _OPEN:
            return
        core = self._core
        if stream.body or not stream.ended:
            # the body was not read to its end: its unread credit comes back (or, while it is
            # still arriving, the stream is cancelled)
            stream.body.clear()
            r = core.aclose_body(stream.key)
            if r.flags & WAKE:
                self._wake()
        if core.num_streams == 0:
            if core.shutdown_final or core.is_closed():
                self._flush()
                self._close()
            else:
                self._idle()

    # ---- lifecycle --------------------------------------------------------------------------

    def _idle(self) -> None:
        svc = self._svc
        span = svc.keep_alive_span
        self.deadline = svc.now + span if span else 0.0

    def _stop_accepting(self) -> None:
        if self._core.num_streams == 0:
            self._flush()
            self._close()

    @property
    def idle(self) -> bool:
        """No stream for a while: closing it (``deadline_expired``) loses no request."""
        return self._state is _OPEN and self.deadline > 0 and self._core.num_streams == 0

    def deadline_expired(self) -> None:
        """No stream for the keep-alive time: say goodbye and close."""
        self.deadline = 0.0
        if self._state is _OPEN and self._core.num_streams == 0:
            self._core.send_goaway(NO_ERROR)
            self._fail(None)
            self._flush()
            self._close()

    def shutdown(self) -> None:
        """Graceful shutdown: GOAWAY, finish the streams in flight, then close."""
        if self._state is not _OPEN:
            return
        core = self._core
        if core.num_streams == 0 and not self._streams:
            core.send_goaway(NO_ERROR)
            self._fail(None)
            self._flush()
            self._close()
            return
        if core.begin_graceful_shutdown() & WAKE:
            self._flush()

    def abort(self) -> None:
        self._state = _CLOSED
        self._flow.transport_lost()
        self._fail(None)
        self._t.abort()

    def _close(self) -> None:
        if self._state is _OPEN:
            self._state = _CLOSING
            self.deadline = 0.0
            self._t.close()

    def _lost(self, exc: BaseException | None) -> None:
        if self._state is _CLOSED:
            return
        self._state = _CLOSED
        self._flow.transport_lost()
        self.deadline = 0.0
        self._svc.connections.discard(self)
        self._fail(None)
        for stream in list(self._streams.values()):
            stream.client_gone()
        core = self._core
        core.stop_pump()
        core.credit_written()
