"""The HTTP/2 server connection: an asyncio protocol over the core's ``H2Streams``.

The core holds every protocol decision (frames, HPACK, stream states, flow control, resets,
flood caps, the two-phase GOAWAY); this module adds the asynchronous machinery:

* the read side (``data_received``) decodes with ``receive`` and applies each frame with the
  matching ``recv_*`` method, then acts on the verdict: a new request starts one application
  task, body bytes go to the stream's buffer (bounded by the stream's receive window, whose
  credit goes back with ``release_capacity`` as the application reads), resets and failures
  end the stream's application with ``http.disconnect``;
* the write side (``_flush``) takes the whole pending-send buffer, writes it and credits it;
  it runs once per loop pass at most and stops while the transport asks writers to pause;
* each stream's ``send`` frames as much as ``send_data`` takes and waits for the stream's
  window event for the rest (backpressure).
"""

from __future__ import annotations

import asyncio
import logging
from typing import Any

from velmora import _velmora as _v
from velmora.server.asgi import (
    TASK_NAME,
    TEXT_PLAIN,
    ASGIProtocolError,
    ClientDisconnected,
    RequestCycle,
    http_scope,
    log_access,
    transport_addresses,
)

H2Streams = _v.H2Streams
_Task = asyncio.Task
HeaderMap = _v.HeaderMap
VelmoraError = _v.VelmoraError
H2StreamError = _v.H2StreamError
H2ProtocolError = _v.H2ProtocolError
H2FlowControlError = _v.H2FlowControlError
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

NO_ERROR = 0
PROTOCOL_ERROR = 1
INTERNAL_ERROR = 2
FLOW_CONTROL_ERROR = 3
CANCEL = 8

_log = logging.getLogger("velmora.error")

_OPEN, _CLOSING, _CLOSED = range(3)

# Connection-specific fields (RFC 9113 8.2.2) an application may set for HTTP/1.1: they have
# no meaning in HTTP/2 and are dropped from its responses.
_HOP_BY_HOP = frozenset((b"connection", b"keep-alive", b"proxy-connection", b"transfer-encoding",
                         b"upgrade"))


def create_protocol(service: Any, transport: Any, bytes_read: bytes) -> H2Connection:
    """Serve HTTP/2 on ``transport``; ``bytes_read`` are bytes already read from it (they start
    with the client's connection preface when it was sniffed)."""
    conn = H2Connection(service, transport)
    transport.set_protocol(conn)
    conn.connection_made(transport)
    if bytes_read:
        conn.data_received(bytes_read)
    return conn


class H2Connection(H2Streams, asyncio.Protocol):
    """One HTTP/2 connection of the server: the core's state plus the transport callbacks."""

    def __new__(cls, service: Any, transport: Any) -> H2Connection:
        config = service.config
        return H2Streams.__new__(
            cls, "server",
            initial_window_size=service.body_buffer,
            connection_window=max(service.body_buffer, 1 << 20),
            max_frame_size=16384,
            max_header_list_size=config.limit_request_head_size,
            max_send_buf_size=service.write_high,
            max_concurrent_streams=config.h2_max_concurrent_streams,
            auto_date_header=config.date_header,
        )

    def __init__(self, service: Any, transport: Any) -> None:
        self._svc = service
        self._t = transport
        self._state = _OPEN
        self._wpaused = False
        self._rpaused = False
        self._flush_soon = False
        self._streams: dict[int, Stream] = {}
        self._deadline = 0.0
        self._client: tuple[str, int] | None = None
        self._server: tuple[str, int] | None = None
        self._peer = "-"

    def __repr__(self) -> str:
        return f"<H2Connection {self._peer} {H2Streams.__repr__(self)}>"

    # ---- transport callbacks ----------------------------------------------------------------

    def connection_made(self, transport: Any) -> None:  # type: ignore[override]
        svc = self._svc
        svc.connections.add(self)
        self._client, self._server, self._peer = transport_addresses(transport)
        transport.set_write_buffer_limits(high=svc.write_high)
        self._idle()
        self.begin()
        self._flush()

    def data_received(self, data: bytes) -> None:
        if self._state != _OPEN:
            return  # (after a GOAWAY this side sent, nothing the peer sends matters)
        try:
            frames = self.receive(data if type(data) is bytes else bytes(data))
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
        if self._state == _CLOSED:
            return
        flags = self.maybe_goaway_reply()
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
        self._wpaused = True
        if not self._rpaused and self._state != _CLOSED:
            self._rpaused = True
            self._t.pause_reading()

    def resume_writing(self) -> None:
        self._wpaused = False
        if self._rpaused and self._state != _CLOSED:
            self._rpaused = False
            self._t.resume_reading()
        self._flush()

    # ---- frames -----------------------------------------------------------------------------

    def _apply(self, frame: Any) -> None:
        kind = type(frame)
        if kind is FrameHeaders:
            sid = frame.stream_id
            stream = Stream(self, sid)
            vd = self.recv_headers(frame, stream)
            if vd.kind == OPENED:
                self._open(stream, frame, vd.eof)
            elif vd.kind == TRAILERS:
                handle = vd.handle
                if handle is not None:
                    handle.eof = True
                    handle.wake()
        elif kind is FrameData:
            dv = self.recv_data(frame)
            handle = dv.handle
            if handle is not None:
                payload = dv.payload
                if payload is not None or dv.budgeted:
                    handle.chunks.append((payload or b"", dv.budgeted))
                if dv.eof:
                    handle.eof = True
                handle.wake()
        elif kind is FrameWindowUpdate:
            for handle in self.recv_window_update(frame):
                handle.wake_send()
        elif kind is FrameSettings:
            _initial, wake, _flags = self.recv_settings(frame)
            for handle in wake:
                handle.wake_send()
        elif kind is FramePing:
            if self.recv_ping(frame) & STOP_ACCEPTING:
                self._stop_accepting()
        elif kind is FrameRstStream:
            r = self.recv_reset(frame)
            if r is not None:
                handle, stop, _notify, _flags = r
                handle.stopped(stop)
        elif kind is FrameGoAway:
            pairs, _flags = self.recv_go_away(frame)
            for handle, stop in pairs:
                handle.stopped(stop)
        elif kind is FrameStreamError:
            self._stream_error(frame.stream_id, frame.error_code)
        # PRIORITY frames and unknown frame types need nothing

    def _open(self, stream: Stream, frame: Any, eof: bool) -> None:
        svc = self._svc
        self.accepted(stream.sid)
        self._streams[stream.sid] = stream
        self._deadline = 0.0
        stream.head = frame
        stream.eof = eof
        if frame.method == "HEAD":
            stream.no_body = True
        limit = svc.limit_concurrency
        if limit is not None and (len(svc.connections) > limit or len(svc.cycles) >= limit):
            stream.reject(503)
            return
        svc.cycles.add(stream)
        stream.scope = scope = http_scope(svc, "2", frame.method or "", frame.path or "",
                                          _headers(frame), self._client, self._server)
        stream.task = _Task(stream.run(svc.app, scope), loop=svc.loop, name=TASK_NAME)

    def _stream_error(self, sid: int, reason: int) -> bool:
        """Reset ``sid`` after the peer's stream-level violation; False when the reset cap was
        reached and the connection failed."""
        try:
            r = self.reset_on_error(sid, reason)
        except VelmoraError as exc:
            self._conn_error(exc)
            return False
        if r.handle is not None:
            r.handle.stopped(r.stop)
        return True

    def _conn_error(self, exc: BaseException) -> None:
        """A connection error detected on this side: GOAWAY with its code, fail every stream."""
        if isinstance(exc, H2FlowControlError):
            code = FLOW_CONTROL_ERROR
        elif isinstance(exc, H2ProtocolError) and exc.args and isinstance(exc.args[0], int):
            code = exc.args[0]
        else:
            code = PROTOCOL_ERROR
        _log.debug("%s: HTTP/2 connection error: %r", self._peer, exc)
        self.send_goaway(code)
        self._fail(exc)
        self._flush()
        self._close()

    def _fail(self, exc: BaseException | None) -> None:
        for handle, stop in self.fail(exc) if exc is not None else self.fail():
            handle.stopped(stop)

    # ---- writing ----------------------------------------------------------------------------

    def wake(self) -> None:
        """Something was queued for the peer: write it on this loop pass."""
        if not self._flush_soon and self._state != _CLOSED:
            self._flush_soon = True
            self._svc.loop.call_soon(self._flush)

    def _flush(self) -> None:
        self._flush_soon = False
        if self._wpaused or self._state == _CLOSED:
            return
        mv, _stopping = self.take_pending()
        if mv.nbytes:
            self._t.write(mv)
        for handle in self.credit_written():
            handle.wake_send()

    # ---- lifecycle --------------------------------------------------------------------------

    @property
    def closing(self) -> bool:
        """The connection serves no more (failed, going away or closed)."""
        return self._state != _OPEN

    def cycle_done(self, stream: Stream) -> None:
        """The application of ``stream`` returned or failed."""
        self._svc.cycles.discard(stream)
        stream.task = None
        self.stream_done(stream)

    def stream_done(self, stream: Stream) -> None:
        """A stream's application ended and its response is complete or abandoned."""
        self._streams.pop(stream.sid, None)
        if self._state != _OPEN:
            return
        if stream.chunks or not stream.eof:
            # the body was not read to its end: its unread credit comes back (or, while it is
            # still arriving, the stream is cancelled)
            stream.chunks.clear()
            r = self.aclose_body(stream.sid)
            if r.flags & WAKE:
                self.wake()
        if self.num_streams == 0:
            if self.shutdown_final or self.is_closed():
                self._flush()
                self._close()
            else:
                self._idle()

    def _idle(self) -> None:
        svc = self._svc
        span = svc.keep_alive_span
        self._deadline = svc.now + span if span else 0.0

    def _stop_accepting(self) -> None:
        if self.num_streams == 0:
            self._flush()
            self._close()

    def deadline_expired(self) -> None:
        """No stream for the keep-alive time: say goodbye and close."""
        self._deadline = 0.0
        if self._state == _OPEN and self.num_streams == 0:
            self.send_goaway(NO_ERROR)
            self._fail(None)
            self._flush()
            self._close()

    def shutdown(self) -> None:
        """Graceful shutdown: GOAWAY, finish the streams in flight, then close."""
        if self._state != _OPEN:
            return
        if self.num_streams == 0 and not self._streams:
            self.send_goaway(NO_ERROR)
            self._fail(None)
            self._flush()
            self._close()
            return
        if self.begin_graceful_shutdown() & WAKE:
            self._flush()

    def abort(self) -> None:
        self._state = _CLOSED
        self._fail(None)
        self._t.abort()

    def _close(self) -> None:
        if self._state == _OPEN:
            self._state = _CLOSING
            self._deadline = 0.0
            self._t.close()

    def _lost(self, exc: BaseException | None) -> None:
        if self._state == _CLOSED:
            return
        self._state = _CLOSED
        self._deadline = 0.0
        self._svc.connections.discard(self)
        self._fail(None)
        for stream in list(self._streams.values()):
            stream.stopped(None)
        self.stop_pump()
        self.credit_written()


class Stream(RequestCycle):
    """One request stream: the ASGI ``receive`` and ``send`` of one ``http`` scope, and the
    handle the core stores for the stream."""

    __slots__ = ("sid", "chunks", "eof", "delivered", "no_body", "stop", "send_waiter")

    def __init__(self, conn: H2Connection, sid: int) -> None:
        RequestCycle.__init__(self, conn, None)
        self.sid = sid
        self.chunks: list[tuple[bytes, bool]] = []
        self.eof = False
        self.delivered = False
        self.no_body = False
        self.stop: Any = None
        self.send_waiter: asyncio.Future[None] | None = None

    def __repr__(self) -> str:
        return f"<Stream {self.sid}>"

    # ---- core notifications -----------------------------------------------------------------

    def wake_send(self) -> None:
        waiter = self.send_waiter
        if waiter is not None:
            self.send_waiter = None
            if not waiter.done():
                waiter.set_result(None)

    def stopped(self, stop: Any) -> None:
        """The stream was reset, or the connection failed or went away."""
        self.stop = stop
        self.gone = True
        self.wake()
        self.wake_send()

    # ---- receive ----------------------------------------------------------------------------

    async def receive(self) -> dict[str, Any]:
        while not self.delivered:
            chunks = self.chunks
            if chunks:
                conn = self.conn
                sid = self.sid
                if len(chunks) == 1:
                    body, budgeted = chunks[0]
                    if budgeted:
                        conn.release_data_frame(sid, len(body))
                else:
                    for piece, budgeted in chunks:
                        if budgeted:
                            conn.release_data_frame(sid, len(piece))
                    body = b"".join(piece for piece, _ in chunks)
                chunks.clear()
                if body:
                    conn.release_capacity(sid, len(body))
                    if conn.has_pending():
                        conn.wake()
                more = not self.eof
                if not more:
                    self.delivered = True
                if not body and more:
                    continue
                return {"type": "http.request", "body": body, "more_body": more}
            if self.eof:
                self.delivered = True
                return {"type": "http.request", "body": b"", "more_body": False}
            if self.gone:
                return {"type": "http.disconnect"}
            await self._wait()
        # the body was delivered: wait for the stream to end
        while not self.gone and not self.finished:
            await self._wait()
        return {"type": "http.disconnect"}

    async def _wait_send(self) -> None:
        waiter = self.send_waiter = self.conn._svc.loop.create_future()
        try:
            await waiter
        finally:
            if self.send_waiter is waiter:
                self.send_waiter = None

    # ---- send -------------------------------------------------------------------------------

    async def send(self, message: Any) -> None:
        kind = message["type"]
        if kind == "http.response.body":
            if not self.started or self.body_done or self.finished:
                if self.gone:
                    raise ClientDisconnected("the client closed the stream")
                raise ASGIProtocolError(f"unexpected ASGI message {kind!r}")
            body = message.get("body", b"")
            if type(body) is not bytes:
                body = bytes(body)
            more = bool(message.get("more_body", False))
            if self.gone:
                raise ClientDisconnected("the client closed the stream")
            if self.no_body:
                body = b""  # a response to HEAD has no content (RFC 9110 9.3.2)
            end = not more and not self.trailers
            if not self.head_sent:
                self._send_head(end and not body)
                if end and not body:
                    self.body_done = True
                    self._complete()
                    return
            self.sent += len(body)
            if body or end:
                await self._send_data(body, end)
            if not more:
                self.body_done = True
                if end:
                    self._complete()
        elif kind == "http.response.start":
            self.response_start(message)
        elif kind == "http.response.trailers":
            if self.add_trailers(message):
                if self.gone:
                    raise ClientDisconnected("the client closed the stream")
                try:
                    vd = self.conn.send_trailers(self.sid, HeaderMap(self.trailer_list))
                except VelmoraError as exc:
                    self._fail()
                    raise ASGIProtocolError(str(exc)) from None
                self._verdict(vd)
                if vd.stopped is not None:
                    self.stopped(vd.stopped)
                    raise ClientDisconnected("the client closed the stream")
                self._complete()
        else:
            raise ASGIProtocolError(f"unexpected ASGI message {kind!r}")

    def _send_head(self, end: bool) -> None:
        conn = self.conn
        headers = self.headers
        hm = self.response_fields()
        try:
            vd = conn.send_response_head(self.sid, self.status, hm, end)
        except VelmoraError as exc:
            if not headers or exc.args[:1] != ("malformed_headers",):
                raise ASGIProtocolError(str(exc)) from None
            kept = [(k, v) for k, v in headers if bytes(k).lower() not in _HOP_BY_HOP]
            if len(kept) == len(headers):
                raise ASGIProtocolError(str(exc)) from None
            self.headers = kept
            return self._send_head(end)
        if vd.stopped is not None:
            self.stopped(vd.stopped)
            raise ClientDisconnected("the client closed the stream")
        self.head_sent = True
        self._verdict(vd)

    async def _send_data(self, body: bytes, end: bool) -> None:
        conn = self.conn
        sid = self.sid
        offset = 0
        while True:
            vd = conn.send_data(sid, body, offset, end)
            stopped = vd.stopped
            if stopped is not None:
                self.stopped(stopped)
                raise ClientDisconnected("the client closed the stream")
            offset += vd.sent
            if vd.flags:
                self._verdict(vd)
            if vd.done:
                return
            if vd.sent == 0:  # no window, or this stream's share of the buffer is full
                await self._wait_send()
                if self.gone and conn._state == _CLOSED:
                    raise ClientDisconnected("the client closed the connection")

    def _verdict(self, vd: Any) -> None:
        if vd.flags & WAKE:
            self.conn.wake()
        handle = vd.handle
        if handle is not None:  # the response ended before the request body: it was reset
            handle.eof = True
            handle.chunks.clear()
            handle.wake()

    def _complete(self) -> None:
        self.finished = True
        if self.conn._svc.access:
            self._log_access()
        self.wake()

    def _fail(self) -> None:
        """End the stream without a complete response: the client sees a reset."""
        self.finished = True
        self.wake()
        conn = self.conn
        if conn._state == _OPEN:
            r = conn.reset_stream(self.sid, INTERNAL_ERROR)
            if r.flags & WAKE:
                conn.wake()

    def _log_access(self) -> None:
        head = self.head
        scope = self.scope
        if scope is not None:
            path = scope["path"]
            query = scope["query_string"]
        else:
            path, query = head.path or "", b""
        log_access(self.conn._peer, head.method, path, query, "2", self.status, self.sent,
                   self.t0)

    # ---- failures ---------------------------------------------------------------------------

    def reject(self, status: int) -> None:
        """Answer without running the application (over the concurrency limit)."""
        body = b"%d Service Unavailable" % status
        self.started = True
        self.status = status
        self.headers = TEXT_PLAIN
        try:
            self._send_head(False)
            vd = self.conn.send_data(self.sid, body, 0, True)
        except (ClientDisconnected, ASGIProtocolError):
            self.finished = True
        else:
            self.sent = vd.sent
            self._verdict(vd)
            self._complete()
        self.conn.stream_done(self)

    def _internal_error(self) -> None:
        if self.head_sent:
            self._fail()  # the client sees a reset stream
            return
        body = b"500 Internal Server Error"
        self.started = True
        self.trailers = False
        self.status = 500
        self.headers = TEXT_PLAIN
        try:
            self._send_head(False)
            vd = self.conn.send_data(self.sid, body, 0, True)
        except (ClientDisconnected, ASGIProtocolError):
            self._fail()
            return
        self.sent = vd.sent
        self._verdict(vd)
        self._complete()


def _headers(head: Any) -> list[tuple[bytes, bytes]]:
    """The request's header fields for the scope; ``:authority`` stands in for a missing
    ``host`` (RFC 9113 8.3.1), as applications build URLs from it."""
    items = head.headers.raw_items()
    authority = head.authority
    if authority is not None and "host" not in head.headers:
        items.insert(0, (b"host", authority.encode("latin-1")))
    return items
