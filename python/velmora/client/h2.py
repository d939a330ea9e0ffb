"""The HTTP/2 client connection: an ``asyncio.Protocol`` on the core's ``H2Streams``.

The core holds the whole protocol: framing, HPACK, settings, flow control in both directions,
stream lifecycles, concurrency slots, resets and GOAWAY. This module adds the transport, a write
pump (``take_pending`` -> ``transport.write`` -> ``credit_written``) that runs once per event-loop
iteration while frames are queued and stops while the transport is paused, the read pump
(``data_received`` decodes with ``receive`` and applies every frame with its ``recv_*`` method),
one small handle per request stream (the request's :class:`~velmora.client.exchange.Exchange`: a
``Signal`` for the head, a body buffer bounded by the stream's receive window, a ``Signal`` for a
waiting reader and one for a blocked sender), the transport's ``FlowControl`` and timers.

Received body bytes go back to the server as flow-control credit (``release_capacity``) only as
the application reads them, so a slow reader slows the server instead of filling memory.
"""

from __future__ import annotations

import asyncio
import logging
from collections import deque
from collections.abc import AsyncIterable, Hashable, Iterable
from typing import Any

from velmora._velmora import (
    H2_FLAG_CONN_DONE,
    H2_FLAG_WAKE,
    H2_HEADERS_HEAD,
    H2_HEADERS_TRAILERS,
    H2_KIND_MISSING_URI_SCHEME_AND_AUTHORITY,
    H2_REASON_CANCEL,
    H2_REASON_FLOW_CONTROL_ERROR,
    H2_REASON_NO_ERROR,
    H2_REASON_PROTOCOL_ERROR,
    H2_REASON_REFUSED_STREAM,
    ConnectionClosedError,
    H2Error,
    H2FlowControlError,
    H2FrameData,
    H2FrameGoAway,
    H2FrameHeaders,
    H2FramePing,
    H2FrameRstStream,
    H2FrameSettings,
    H2FrameStreamError,
    H2FrameWindowUpdate,
    H2ProtocolError,
    H2Reason,
    H2StreamError,
    H2Streams,
    H2UserError,
    HeaderMap,
)
from velmora.flow import FlowControl, Signal

from .errors import (
    ConnectError,
    LocalProtocolError,
    ReadError,
    ReadTimeout,
    RemoteProtocolError,
    WriteError,
    WriteTimeout,
)
from .exchange import Disconnected, PoolCallbacks, content_bytes

log = logging.getLogger("velmora.client")

__all__ = ["H2Connection", "StreamRefused", "H2Settings"]



class StreamRefused(ReadError):
    """The server did not process the request: it refused the stream (REFUSED_STREAM) or it
    announced with GOAWAY that it will not process streams above an id this one exceeds. Any
    request may be sent again on another connection (RFC 9113, 8.7)."""


class H2Settings:
    """Receive-side sizes of an HTTP/2 client connection.

    - ``stream_window``: bytes a server may send on one stream before the application reads
      them (the bound of a response's body buffer);
    - ``connection_window``: the same for all streams of the connection together;
    - ``max_send_buffer``: request body bytes of one stream queued for the socket at most.
    """

    __slots__ = ("stream_window", "connection_window", "max_send_buffer", "max_header_list_size")

    def __init__(self, *, stream_window: int = 1 << 20, connection_window: int = 16 << 20,
                 max_send_buffer: int = 256 << 10, max_header_list_size: int = 256 << 10
                 ) -> None:
        self.stream_window = stream_window
        self.connection_window = connection_window
        self.max_send_buffer = max_send_buffer
        self.max_header_list_size = max_header_list_size


DEFAULT_SETTINGS = H2Settings()


def _reason_name(code: int | None) -> str:
    if code is None:
        return "no reason"
    try:
        return H2Reason(code).name
    except ValueError:  # a code RFC 9113 does not define
        return f"error code {code}"


def goaway_reason(exc: BaseException) -> int:
    """The GOAWAY error code for a connection error the core raised."""
    if isinstance(exc, H2FlowControlError):
        return H2_REASON_FLOW_CONTROL_ERROR
    reason = exc.args[0] if isinstance(exc, H2ProtocolError) and exc.args else None
    return reason if isinstance(reason, int) else H2_REASON_PROTOCOL_ERROR


class H2ClientFrames(H2Streams):
    """What an HTTP/2 client connection does with the frames it receives, whatever carries
    them: the async and the blocking connection feed :meth:`_receive_frames` and supply the
    hooks (flush, retire, the connection error, and what SETTINGS, GOAWAY and the end of the
    connection mean to them). Stream handles take ``on_head``, ``on_data``, ``on_trailers``,
    ``on_error``, ``stop_writer`` and ``wake_window``."""

    key: Hashable

    def _flush(self) -> None:
        raise NotImplementedError

    def _retire(self) -> None:
        raise NotImplementedError

    def _conn_error(self, exc: BaseException) -> None:
        raise NotImplementedError

    def _stop_error(self, h: Any, stop: Any) -> BaseException:
        raise NotImplementedError

    def _on_settings(self) -> None:
        """The server's first SETTINGS arrived."""

    def _on_goaway(self) -> None:
        """A GOAWAY arrived (the connection is retired)."""

    def _conn_done(self) -> None:
        """The GOAWAY exchange is over: the connection ends."""
        raise NotImplementedError

    def _receive_frames(self, data: bytes) -> bool:
        """Feeds bytes from the server; False when the connection failed or ended."""
        try:
            frames = self.receive(data)
        except H2Error as exc:
            self._conn_error(exc)
            return False
        for f in frames:
            try:
                self._apply(f)
            except H2StreamError as exc:
                if not self._stream_error(exc):
                    return False
            except H2Error as exc:
                self._conn_error(exc)
                return False
        if self.maybe_goaway_reply() & H2_FLAG_CONN_DONE:
            self._conn_done()
            return False
        return True

    def _apply(self, f: Any) -> None:
        t = type(f)
        if t is H2FrameData:
            vd = self.recv_data(f)
            h = vd.handle
            if h is not None:
                h.on_data(vd.payload, vd.budgeted, vd.eof)
        elif t is H2FrameHeaders:
            hv = self.recv_headers(f, None)
            kind = hv.kind
            if kind == H2_HEADERS_HEAD:
                hv.handle.on_head(f, hv.eof)
            elif kind == H2_HEADERS_TRAILERS:
                hv.handle.on_trailers(f)
        elif t is H2FrameWindowUpdate:
            for h in self.recv_window_update(f):
                h.wake_window()
        elif t is H2FrameSettings:
            initial, wake, _flags = self.recv_settings(f)
            for h in wake:
                h.wake_window()
            if initial:
                self._on_settings()
        elif t is H2FramePing:
            self.recv_ping(f)
        elif t is H2FrameRstStream:
            r = self.recv_reset(f)
            if r is not None:
                h, stop, notify, _flags = r
                if notify:
                    h.on_error(self._stop_error(h, stop))
                else:  # the response is complete: only the request body stops
                    h.stop_writer()
        elif t is H2FrameGoAway:
            pairs, _flags = self.recv_go_away(f)
            log.debug("GOAWAY from %s: last stream %d, %s", self.key, f.last_stream_id,
                      _reason_name(f.error_code))
            for h, stop in pairs:
                h.on_error(StreamRefused(
                    f"the server will not process stream {h.sid} (GOAWAY, last stream "
                    f"{f.last_stream_id}, {_reason_name(stop.reason)})"))
            self._retire()
            self._on_goaway()
        elif t is H2FrameStreamError:
            rv = self.reset_on_error(f.stream_id, f.error_code)
            if rv.handle is not None:
                rv.handle.on_error(RemoteProtocolError(
                    f"malformed response on stream {f.stream_id} "
                    f"({_reason_name(f.error_code)}); the stream was reset"))
        # PRIORITY frames carry nothing a client acts on.

    def _stream_error(self, exc: H2StreamError) -> bool:
        """Resets the stream the error names; False when that failed the connection."""
        sid, reason = exc.args[0], exc.args[1]
        try:
            vd = self.reset_on_error(sid, reason)
        except H2Error as e:
            self._conn_error(e)
            return False
        if vd.handle is not None:
            err = RemoteProtocolError(f"the server broke HTTP/2 on stream {sid} "
                                      f"({_reason_name(reason)}); the stream was reset")
            err.__cause__ = exc
            vd.handle.on_error(err)
        return True


class _Stream:
    """One request stream: the response head, its body buffer and the sender's wake-up.

    It is the request's :class:`~velmora.client.exchange.Exchange` (its own ``head``), what
    :class:`~velmora.client.Response` reads the body from."""

    __slots__ = ("conn", "sid", "_loop", "status", "headers", "body_kind", "content_length",
                 "_head", "_chunks", "_eof", "_error", "_waiter", "_window", "trailers",
                 "_writer", "_finished", "_received")

    def __init__(self, conn: H2Connection) -> None:
        self.conn = conn
        self.sid = 0
        self._loop = conn._loop
        self.status = 0
        self.headers: HeaderMap = None  # type: ignore[assignment]  # set with the head
        self.body_kind = "stream"
        self.content_length: int | None = None
        self._head: Signal[None] | None = None
        self._chunks: deque[tuple[bytes, bool]] = deque()
        self._eof = False
        self._error: BaseException | None = None
        self._waiter: Signal[None] | None = None
        self._window: Signal[None] | None = None
        self.trailers: HeaderMap | None = None
        self._writer: asyncio.Task[Any] | None = None
        self._finished = False
        self._received = False

    @property
    def head(self) -> _Stream:
        return self

    @property
    def loop(self) -> asyncio.AbstractEventLoop:
        return self._loop

    # ---- events from the read pump -------------------------------------------------------

    def on_head(self, frame: H2FrameHeaders, eof: bool) -> None:
        self._received = True
        self.status = frame.status or 0
        self.headers = frame.headers
        self.content_length = frame.content_length
        if eof:
            self._eof = True
            self.body_kind = "empty"
        h = self._head
        if h is not None:
            h.set()

    def on_data(self, payload: bytes | None, budgeted: bool, eof: bool) -> None:
        self._received = True
        if payload is not None:
            self._chunks.append((payload, budgeted))
        if eof:
            self._eof = True
        w = self._waiter
        if w is not None:
            w.set()

    def on_trailers(self, frame: H2FrameHeaders) -> None:
        self.trailers = frame.headers
        self._eof = True
        w = self._waiter
        if w is not None:
            w.set()

    def on_error(self, exc: BaseException) -> None:
        """The stream ended abnormally: every waiter of this stream sees ``exc``."""
        if self._error is None:
            self._error = exc
        for f in (self._head, self._waiter, self._window):
            if f is not None:
                f.fail(exc)
        w = self._writer
        if w is not None and not w.done() and w is not _current_task():
            w.cancel()

    def stop_writer(self) -> None:
        w = self._writer
        if w is not None and not w.done() and w is not _current_task():
            w.cancel()

    def wake_window(self) -> None:
        w = self._window
        if w is not None:
            w.set()

    # ---- the response body ---------------------------------------------------------------

    def take_complete_body(self) -> bytes | None:
        """The whole body when all of it is already here (the stream is then finished)."""
        if not self._eof:
            return None
        chunks = self._chunks
        conn = self.conn
        sid = self.sid
        parts = []
        while chunks:
            data, budgeted = chunks.popleft()
            conn._consumed(sid, len(data), budgeted)
            parts.append(data)
        self._finish()
        return parts[0] if len(parts) == 1 else b"".join(parts)

    async def read_chunk(self, timeout: float | None) -> bytes | None:
        """The next piece of the body, or ``None`` once it is complete."""
        chunks = self._chunks
        while True:
            if chunks:
                data, budgeted = chunks.popleft()
                self.conn._consumed(self.sid, len(data), budgeted)
                return data
            if self._eof:  # the whole body arrived: whatever happened after does not matter
                self._finish()
                return None
            if self._error is not None:
                self._finish()
                raise self._error
            w = self._waiter = Signal(self._loop)
            try:
                await w.wait(timeout, self._read_timeout)
            except ReadTimeout:
                self.abandon()
                raise
            finally:
                self._waiter = None

    @staticmethod
    def _read_timeout() -> BaseException:
        return ReadTimeout("timed out waiting for the server to send the response body")

    def _finish(self) -> None:
        if not self._finished:
            self._finished = True
            self.conn._stream_done(self)

    def abandon(self) -> None:
        """The response was closed before its body was read to the end: reset the stream
        (CANCEL) unless the body had arrived whole, and give its unread capacity back."""
        if self._finished:
            return
        self._chunks.clear()
        w = self._writer
        if w is not None and not w.done():
            w.cancel()
        self.conn._abandon(self)
        self._finish()


def _current_task() -> Any:
    try:
        return asyncio.current_task()
    except RuntimeError:
        return None


class H2Connection(H2ClientFrames, asyncio.Protocol):
    """One HTTP/2 client connection shared by every request to its origin.

    The pool hands it to a request when :meth:`try_begin_exchange` claims a concurrency slot;
    :meth:`send` opens the stream, starts the request body and returns the stream handle (the
    exchange) once the response head is in. It reports to the pool through ``callbacks``.
    """

    #: Shared by concurrent requests: the pool keeps it as its route's shared connection.
    multiplexed = True
    http_version = "HTTP/2"

    def __new__(cls, transport: Any, callbacks: PoolCallbacks | None = None,
                key: Hashable = None, *,
                scheme: str = "https", settings: H2Settings | None = None,
                keepalive_expiry: float | None = None) -> H2Connection:
        s = settings or DEFAULT_SETTINGS
        return H2Streams.__new__(  # type: ignore[no-any-return]
            cls, "client", initial_window_size=s.stream_window,
            connection_window=s.connection_window, max_frame_size=16384,
            max_header_list_size=s.max_header_list_size, max_send_buf_size=s.max_send_buffer,
            enable_push=False, drop_connection_fields=True)

    def __init__(self, transport: asyncio.Transport, callbacks: PoolCallbacks | None = None,
                 key: Hashable = None, *,
                 scheme: str = "https", settings: H2Settings | None = None,
                 keepalive_expiry: float | None = None) -> None:
        self._loop = asyncio.get_running_loop()
        self._transport = transport
        self._callbacks = callbacks
        self.key = key
        self.scheme = scheme
        self.served = 0
        self.idle_since = self._loop.time()
        #: Write pausing; closed once the transport is gone.
        self._flow = FlowControl(transport, self._loop)
        self._retired = False  # no longer handed out (GOAWAY, failure, close)
        self._flush_scheduled = False
        self._ready: Signal[None] = Signal(self._loop)
        self._slot_waiters: deque[asyncio.Future[bool]] = deque()
        self._streams: set[_Stream] = set()
        self._expiry = keepalive_expiry
        self._idle_timer: asyncio.TimerHandle | None = None
        self._closing = False
        transport.set_protocol(self)

    # ---- start ------------------------------------------------------------------------------

    async def start(self, initial: list[bytes]) -> None:
        """Send the preface and SETTINGS, feed bytes already read, and wait for the server's
        SETTINGS (which may limit concurrency before the first request)."""
        self.begin()
        self._flush()
        for data in initial:
            self.data_received(data)
        await self._ready.wait()

    # ---- what the pool asks -------------------------------------------------------------------

    def try_begin_exchange(self) -> bool:
        """Claim a concurrency slot for one request."""
        if self._retired or self._flow.closed:
            return False
        return self.try_claim_slot()

    def end_exchange(self) -> bool:
        """Give back a slot claimed by :meth:`try_begin_exchange` that carried no request."""
        self.release_slot_count()
        self._hand_slots()
        return True

    def is_dead(self) -> bool:
        return self._retired or self._flow.closed or self.is_closed()

    def is_available(self) -> bool:
        return not self.is_dead() and self.can_open()

    def idle(self) -> None:  # shared connections never enter the idle list
        pass

    async def wait_slot(self, timeout: float | None) -> bool:
        """Wait until a slot is handed over (True, claimed) or the connection is done
        (False)."""
        fut: asyncio.Future[bool] = self._loop.create_future()
        self._slot_waiters.append(fut)
        timer = None if timeout is None else self._loop.call_later(timeout, _slot_expired, fut)
        try:
            return await fut
        except BaseException:
            if fut.done() and not fut.cancelled() and fut.exception() is None and fut.result():
                self.end_exchange()
            else:
                fut.cancel()
            raise
        finally:
            if timer is not None:
                timer.cancel()

    def _hand_slots(self) -> None:
        waiters = self._slot_waiters
        if not waiters:
            return
        if self.is_dead():
            while waiters:
                f = waiters.popleft()
                if not f.done():
                    f.set_result(False)
            return
        while waiters:
            f = waiters[0]
            if f.done():
                waiters.popleft()
                continue
            if not self.try_claim_slot():
                return
            waiters.popleft()
            f.set_result(True)

    def close(self) -> None:
        """Close now: GOAWAY(NO_ERROR), requests in flight fail."""
        if self._closing:
            return
        self._closing = True
        self._retire()
        if self._callbacks is not None:  # also when it was retired before, and draining
            self._callbacks.lost(self)
        if not self._flow.closed:
            if self.send_goaway(H2_REASON_NO_ERROR) & H2_FLAG_WAKE:
                self._flush()
        self._fail_all(ConnectionClosedError("connection closed by the client"),
                       ReadError("the connection was closed by the client"), retry=False)
        if self._idle_timer is not None:
            self._idle_timer.cancel()
            self._idle_timer = None
        self._transport.close()

    def _retire(self) -> None:
        """No new requests on this connection; the pool forgets it."""
        if not self._retired:
            self._retired = True
            cb = self._callbacks
            if cb is not None:
                if self._flow.closed or self._closing:
                    cb.lost(self)
                else:
                    cb.retired(self)
        self._hand_slots()

    # ---- the write pump ---------------------------------------------------------------------

    def _schedule_flush(self) -> None:
        flow = self._flow
        if not self._flush_scheduled and not flow.write_paused and not flow.closed:
            self._flush_scheduled = True
            self._loop.call_soon(self._flush)

    def _flush(self) -> None:
        self._flush_scheduled = False
        flow = self._flow
        if flow.write_paused or flow.closed:
            return
        batch, _stopping = self.take_pending()
        if batch:
            self._transport.write(batch)
        del batch
        for h in self.credit_written():
            h.wake_window()

    def pause_writing(self) -> None:
        self._flow.pause_writing()

    def resume_writing(self) -> None:
        self._flow.resume_writing()
        if self.has_pending():
            self._schedule_flush()
        else:
            # Senders blocked on buffer room continue once what was written is credited.
            for h in self.credit_written():
                h.wake_window()

    # ---- the read pump ----------------------------------------------------------------------

    def data_received(self, data: bytes) -> None:
        if self._receive_frames(data):
            if self.has_pending():
                self._schedule_flush()
            self._hand_slots()

    def _on_settings(self) -> None:
        self._ready.set()

    def _on_goaway(self) -> None:
        if not self._ready.is_set:
            self._ready.fail(ConnectError("the server refused the connection "
                                          "(GOAWAY before SETTINGS)"))

    def _conn_done(self) -> None:
        self._flush()
        self._retire()
        self._transport.close()

    def _conn_error(self, exc: BaseException) -> None:
        log.debug("HTTP/2 connection %s failed: %r", self.key, exc)
        self._retire()
        if not self._flow.closed:
            self.send_goaway(goaway_reason(exc))
            self._flush()
        err = RemoteProtocolError(f"the server broke HTTP/2: {exc}")
        err.__cause__ = exc
        self._fail_all(exc, err, retry=False)
        self._transport.close()

    def _fail_all(self, exc: BaseException, err: BaseException, retry: bool = True) -> None:
        """Fail every stream: those that received nothing see ``Disconnected`` (which the
        client may retry) unless ``retry`` is false."""
        for h, _stop in self.fail(exc):
            h.on_error(err if h._received or not retry else _as_disconnected(err))
        self._ready.fail(err)  # nobody may be waiting
        for h in list(self._streams):
            if not h._eof and h._error is None:
                h.on_error(err if h._received or not retry else _as_disconnected(err))
        self._hand_slots()

    def eof_received(self) -> bool:
        return False

    def connection_lost(self, exc: Exception | None) -> None:
        self._flow.transport_lost()
        if self._callbacks is not None:
            self._callbacks.lost(self)
        if self._idle_timer is not None:
            self._idle_timer.cancel()
            self._idle_timer = None
        if not self._closing:
            err = ReadError("the server closed the connection")
            if exc is not None:
                err.__cause__ = exc
            self._fail_all(ConnectionClosedError("connection closed by the server"), err)
        self._retire()
        for h in list(self._streams):
            h.wake_window()

    # ---- stops -------------------------------------------------------------------------------

    def _stop_error(self, h: _Stream, stop: Any) -> BaseException:
        return stop_error(self, h.sid, h._received, stop)

    # ---- one request ------------------------------------------------------------------------

    async def send(self, method: str, target: str, headers: HeaderMap, content: Any,
                   timeout: Any, expect_continue: bool = False, *,
                   tunnel: _Stream | None = None, protocol: str | None = None) -> _Stream:
        """Open a stream (the caller claimed its slot), start the body and return the stream
        once its response head is in. ``tunnel``: the handle of an extended CONNECT (RFC 8441)
        whose ``protocol`` goes in ``:protocol``; its stream stays open for the handle's DATA."""
        h = _Stream(self) if tunnel is None else tunnel
        body = content
        if body is not None and type(body) is bytes and not body:
            body = None
        end = body is None and tunnel is None
        if self._idle_timer is not None:
            self._idle_timer.cancel()
            self._idle_timer = None
        try:
            # The core leaves out the connection-specific fields (RFC 9113 8.2.2), makes the
            # host field :authority and knows a HEAD response has no content.
            if protocol is None:
                sid = self.open_stream(method, target, headers, end, False, h,
                                       scheme=self.scheme)
            else:
                sid = self.open_stream(method, target, headers, end, False, h,
                                       scheme=self.scheme, protocol=protocol)
        except H2ProtocolError as exc:  # the stream ids are used up: a new connection
            self._retire()
            raise StreamRefused(f"this connection cannot open more streams: {exc}") from exc
        except (H2UserError, ValueError, TypeError) as exc:
            self.end_exchange()
            if exc.args[:1] == (H2_KIND_MISSING_URI_SCHEME_AND_AUTHORITY,):
                raise LocalProtocolError("an HTTP/2 request needs a host") from exc
            raise LocalProtocolError(f"invalid HTTP/2 request: {exc}") from exc
        if sid is None:
            err = self.conn_error()
            self._retire()
            if self.goaway_info() is not None:
                raise StreamRefused("the server is closing the connection (GOAWAY)")
            raise Disconnected(f"the connection is closed: {err}")
        h.sid = sid
        self._streams.add(h)
        self._schedule_flush()
        if body is not None:
            if type(body) is bytes:
                try:
                    offset = self._send_bytes(h, body, 0)
                except _BodyNotWanted:
                    offset = -1
                except BaseException:
                    self._finish_failed(h)
                    raise
                if offset >= 0:
                    h._writer = self._loop.create_task(
                        self._write_body(h, (body, offset), timeout.write, True))
            else:
                h._writer = self._loop.create_task(
                    self._write_body(h, body, timeout.write, False))
        if h.status:
            return h
        if h._error is not None:
            self._finish_failed(h)
            raise h._error
        head = h._head = Signal(self._loop)
        try:
            await head.wait(timeout.read, _head_timeout)
        except BaseException:
            self._finish_failed(h)
            raise
        return h

    def _finish_failed(self, h: _Stream) -> None:
        h._chunks.clear()
        w = h._writer
        if w is not None and not w.done():
            w.cancel()
        if not h._finished:
            self._abandon(h)
            h._finish()

    def _send_bytes(self, h: _Stream, data: bytes, offset: int) -> int:
        """Queue as much of ``data[offset:]`` as the windows allow, ending the stream with its
        last byte; returns the offset reached, or -1 once all of it is queued."""
        sid = h.sid
        n = len(data)
        while True:
            vd = self.send_data(sid, data, offset, True)
            if vd.stopped is not None:
                raise self._send_stopped(h, vd.stopped)
            offset += vd.sent
            if vd.flags & H2_FLAG_WAKE:
                self._schedule_flush()
            if vd.done:
                return -1
            if vd.sent == 0 or offset >= n:
                return offset

    def _send_stopped(self, h: _Stream, stop: Any) -> BaseException:
        if h._error is not None:
            return h._error
        if stop.reason == H2_REASON_NO_ERROR and not stop.conn:
            return _BodyNotWanted()
        return self._stop_error(h, stop)

    async def _write_body(self, h: _Stream, content: Any, write_timeout: float | None,
                          whole: bool) -> None:
        sid = h.sid
        try:
            if whole:
                data, offset = content
                while True:
                    # Try first: the window may have opened before this task started.
                    offset = self._send_bytes(h, data, offset)
                    if offset < 0:
                        return
                    await self._wait_window(h, write_timeout)
            if isinstance(content, AsyncIterable):
                async for chunk in content:
                    await self._write_chunk(h, chunk, write_timeout)
            elif isinstance(content, Iterable):
                for chunk in content:
                    await self._write_chunk(h, chunk, write_timeout)
            else:  # pragma: no cover - checked by the client
                raise TypeError(f"unsupported request content {type(content).__name__}")
            vd = self.send_data(sid, b"", 0, True)
            if vd.stopped is not None:
                raise self._send_stopped(h, vd.stopped)
            self._schedule_flush()
        except asyncio.CancelledError:
            raise
        except _BodyNotWanted:
            pass  # the response is complete; the server needs no more of the body
        except (ReadError, RemoteProtocolError) as exc:
            h.on_error(exc)
        except (WriteError, WriteTimeout, LocalProtocolError) as exc:
            self._cancel_stream(h)
            h.on_error(exc)
        except Exception as exc:  # the caller's iterator failed: the request is incomplete
            err = LocalProtocolError(f"the request body failed: {exc!r}")
            err.__cause__ = exc
            self._cancel_stream(h)
            h.on_error(err)
        finally:
            if h._finished and not self._flow.closed:  # the response was done before the body
                self._loop.call_soon(self._maybe_idle)

    async def _write_chunk(self, h: _Stream, chunk: Any, write_timeout: float | None) -> None:
        if not isinstance(chunk, bytes):
            chunk = content_bytes(chunk)
        offset = 0
        n = len(chunk)
        sid = h.sid
        while offset < n:
            vd = self.send_data(sid, chunk, offset, False)
            if vd.stopped is not None:
                raise self._send_stopped(h, vd.stopped)
            offset += vd.sent
            if vd.flags & H2_FLAG_WAKE:
                self._schedule_flush()
            if vd.sent == 0:
                await self._wait_window(h, write_timeout)

    async def _wait_window(self, h: _Stream, timeout: float | None) -> None:
        if self._flow.closed:
            raise WriteError("the connection closed while the request body was being sent")
        w = h._window = Signal(self._loop)
        try:
            await w.wait(timeout, _write_timeout)
        finally:
            h._window = None

    def _cancel_stream(self, h: _Stream) -> None:
        vd = self.reset_stream(h.sid, H2_REASON_CANCEL)
        if vd.flags & H2_FLAG_WAKE:
            self._schedule_flush()

    # ---- the application's side of a stream -----------------------------------------------

    def _consumed(self, sid: int, n: int, budgeted: bool) -> None:
        """The application took ``n`` body bytes: their flow-control credit goes back."""
        if n:
            self.release_capacity(sid, n)
            if budgeted:
                self.release_data_frame(sid, n)
            if not self._flush_scheduled and self.has_pending():
                self._schedule_flush()

    def _abandon(self, h: _Stream) -> None:
        vd = self.aclose_body(h.sid)
        if vd.flags & H2_FLAG_WAKE or self.has_pending():
            self._schedule_flush()

    def _stream_done(self, h: _Stream) -> None:
        self._streams.discard(h)
        if h._error is None:
            self.served += 1
        self._hand_slots()
        cb = self._callbacks
        if cb is not None and not self._retired:
            cb.released(self, True)
        self._maybe_idle()

    def _maybe_idle(self) -> None:
        if not self._streams and self.num_streams == 0:
            self.idle_since = self._loop.time()
            if self._retired:
                if not self._flow.closed and not self._closing:
                    self.close()
            elif self._expiry is not None and self._idle_timer is None:
                self._idle_timer = self._loop.call_later(self._expiry, self._idle_expired)

    def _idle_expired(self) -> None:
        self._idle_timer = None
        if not self._streams and self.num_streams == 0:
            log.debug("idle HTTP/2 connection %s expired", self.key)
            self.close()


class _BodyNotWanted(Exception):
    """The server completed its response and stopped the request body with NO_ERROR."""


def stop_error(conn: H2Streams, sid: int, received: bool, stop: Any) -> BaseException:
    """The error a request sees when the core stopped its stream (``stop``: the reason and
    whether the whole connection ended); ``received``: whether any of the response came."""
    reason = stop.reason if stop is not None else None
    if stop is not None and stop.conn:
        if reason is not None:
            return StreamRefused(f"the server will not process stream {sid} (GOAWAY, "
                                 f"{_reason_name(reason)})")
        err = ReadError(f"the connection failed: {conn.conn_error()}")
        return err if received else _as_disconnected(err)
    if reason == H2_REASON_REFUSED_STREAM and not received:
        return StreamRefused(f"the server refused stream {sid} (REFUSED_STREAM)")
    if reason is not None:
        return RemoteProtocolError(f"the server reset stream {sid} ({_reason_name(reason)})")
    return ReadError(f"stream {sid} was cancelled")


def _as_disconnected(err: BaseException) -> BaseException:
    d = Disconnected(str(err))
    d.__cause__ = err.__cause__
    return d


def _head_timeout() -> BaseException:
    return ReadTimeout("timed out waiting for the server to send the response")


def _write_timeout() -> BaseException:
    return WriteTimeout("timed out writing the request body")


def _slot_expired(fut: asyncio.Future[bool]) -> None:
    """A wait for a stream slot timed out (a slot handed over first wins)."""
    if not fut.done():
        from .errors import PoolTimeout

        fut.set_exception(PoolTimeout("timed out waiting for a free HTTP/2 stream"))
