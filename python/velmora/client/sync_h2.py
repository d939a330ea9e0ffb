"""The HTTP/2 client connection on a blocking socket, shared by threads: the core's ``H2Streams``
holds the protocol (framing, HPACK, flow control, stream lifecycles, slots, GOAWAY) as in the
asyncio driver; this module adds the socket and the threads.

A thread that needs something from the server (its response head, body bytes, window to send)
reads the socket itself when no other thread is reading, applies every frame it gets to whichever
stream it belongs to and wakes the others; otherwise it waits for the reader to wake it. Each
wait is bounded by the waiting request's own timeout. Frames go out under one write lock
(``take_pending`` -> ``sendall`` -> ``credit_written``).
"""

from __future__ import annotations

import select
import socket
import ssl
import threading
import time
from collections import deque
from collections.abc import Hashable, Iterable
from typing import Any

from velmora._velmora import (
    H2_KIND_MISSING_URI_SCHEME_AND_AUTHORITY,
    H2_REASON_CANCEL,
    H2_REASON_NO_ERROR,
    ConnectionClosedError,
    H2FrameHeaders,
    H2ProtocolError,
    H2Streams,
    H2UserError,
    HeaderMap,
)

from .errors import (
    ConnectError,
    ConnectTimeout,
    LocalProtocolError,
    ReadError,
    ReadTimeout,
    RemoteProtocolError,
    WriteError,
)
from .exchange import Disconnected, content_bytes
from .h2 import (
    DEFAULT_SETTINGS,
    H2ClientFrames,
    StreamRefused,
    _as_disconnected,
    _head_timeout,
    _write_timeout,
    goaway_reason,
    stop_error,
)

__all__ = ["SyncH2Connection"]

RECV_SIZE = 256 * 1024


class _Stream:
    """One request stream: the response head, its body buffer, and the sender's window flag.
    It is the request's exchange (its own ``head``)."""

    __slots__ = ("conn", "sid", "status", "headers", "content_length", "chunks", "eof", "error",
                 "trailers", "finished", "received", "window")

    def __init__(self, conn: SyncH2Connection) -> None:
        self.conn = conn
        self.sid = 0
        self.status = 0
        self.headers: HeaderMap = None  # type: ignore[assignment]  # set with the head
        self.content_length: int | None = None
        self.chunks: deque[tuple[bytes, bool]] = deque()
        self.eof = False
        self.error: BaseException | None = None
        self.trailers: HeaderMap | None = None
        self.finished = False
        self.received = False
        self.window = False

    @property
    def head(self) -> _Stream:
        return self

    # ---- events from the reader (under the connection's condition) -------------------------

    def on_head(self, frame: H2FrameHeaders, eof: bool) -> None:
        self.received = True
        self.status = frame.status or 0
        self.headers = frame.headers
        self.content_length = frame.content_length
        self.eof = self.eof or eof

    def on_data(self, payload: bytes | None, budgeted: bool, eof: bool) -> None:
        self.received = True
        if payload is not None:
            self.chunks.append((payload, budgeted))
        self.eof = self.eof or eof

    def on_trailers(self, frame: H2FrameHeaders) -> None:
        self.trailers = frame.headers
        self.eof = True

    def on_error(self, exc: BaseException) -> None:
        if self.error is None:
            self.error = exc

    def wake_window(self) -> None:
        self.window = True

    def stop_writer(self) -> None:
        self.window = True

    # ---- the response body ----------------------------------------------------------------

    def take_complete_body(self) -> bytes | None:
        if not self.eof:
            return None
        parts = []
        while self.chunks:
            data, budgeted = self.chunks.popleft()
            self.conn._consumed(self.sid, len(data), budgeted)
            parts.append(data)
        self._finish()
        return parts[0] if len(parts) == 1 else b"".join(parts)

    def read_chunk(self, timeout: float | None) -> bytes | None:
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            if self.chunks:
                data, budgeted = self.chunks.popleft()
                self.conn._consumed(self.sid, len(data), budgeted)
                return data
            if self.eof:
                self._finish()
                return None
            if self.error is not None:
                self._finish()
                raise self.error
            try:
                self.conn._progress(deadline, _body_timeout)
            except ReadTimeout:
                self.abandon()
                raise

    def _finish(self) -> None:
        if not self.finished:
            self.finished = True
            self.conn._stream_done(self)

    def abandon(self) -> None:
        if self.finished:
            return
        self.chunks.clear()
        self.conn._abandon(self)
        self._finish()

    def collected(self) -> None:
        """Garbage-collected unread: reset the stream without taking the pool's lock."""
        if not self.finished:
            self.finished = True
            self.chunks.clear()
            self.conn.aclose_body(self.sid)  # its frames go out with the next write


class SyncH2Connection(H2ClientFrames):
    """One HTTP/2 connection on a blocking socket; every thread's request gets a stream of it
    while the server's concurrency limit allows."""

    multiplexed = True
    http_version = "HTTP/2"

    def __new__(cls, sock: socket.socket, *args: Any, **kwargs: Any) -> SyncH2Connection:
        s = DEFAULT_SETTINGS
        return H2Streams.__new__(  # type: ignore[no-any-return]
            cls, "client", initial_window_size=s.stream_window,
            connection_window=s.connection_window, max_frame_size=16384,
            max_header_list_size=s.max_header_list_size, max_send_buf_size=s.max_send_buffer,
            enable_push=False, drop_connection_fields=True)

    def __init__(self, sock: socket.socket, callbacks: Any = None, key: Hashable = None, *,
                 scheme: str = "https") -> None:
        sock.settimeout(None)  # blocking; reads wait in select with each request's timeout
        self._sock = sock
        #: OpenSSL must not read and write one TLS connection from two threads at once.
        self._tls = isinstance(sock, ssl.SSLSocket)
        self._callbacks = callbacks
        self.key = key
        self.scheme = scheme
        self.served = 0
        self.idle_since = time.monotonic()
        self._cond = threading.Condition()
        self._wlock = threading.Lock()
        self._reading = False
        self._ready = False
        self._dead = False
        self._fatal: BaseException | None = None

    # ---- start and what the pool asks ----------------------------------------------------

    def start(self, timeout: float | None) -> None:
        """Send the preface and SETTINGS and wait for the server's SETTINGS."""
        self.begin()
        self._flush()
        deadline = None if timeout is None else time.monotonic() + timeout
        while not self._ready:
            if self._fatal is not None:
                raise ConnectError(f"the HTTP/2 connection failed as it opened: {self._fatal}")
            try:
                self._progress(deadline, _connect_timeout)
            except ReadError as exc:
                raise ConnectError(str(exc)) from exc

    def try_begin_exchange(self) -> bool:
        if self._dead:
            return False
        return self.try_claim_slot()

    def end_exchange(self) -> bool:
        self.release_slot_count()
        self._notify()
        return True

    def is_dead(self) -> bool:
        return self._dead or self.is_closed()

    def close(self) -> None:
        if self._dead:
            return
        self._dead = True
        try:
            if self.send_goaway(H2_REASON_NO_ERROR):
                self._flush()
        except OSError:
            pass
        self._fail_all(ConnectionClosedError("connection closed by the client"),
                       ReadError("the connection was closed by the client"), retry=False)
        try:
            self._sock.close()
        except OSError:  # pragma: no cover
            pass

    # ---- writing and reading -------------------------------------------------------------

    def _flush(self) -> None:
        with self._wlock:
            batch, _stopping = self.take_pending()
            if batch:
                try:
                    self._sock.sendall(batch)
                except OSError as exc:
                    self._lost(exc)
                    raise WriteError(f"the connection failed while writing: {exc}") from exc
            del batch
            woken = self.credit_written()
        if woken:
            for h in woken:
                h.wake_window()
            self._notify()

    def _notify(self) -> None:
        with self._cond:
            self._cond.notify_all()

    def _progress(self, deadline: float | None, on_timeout: Any) -> None:
        """Let the connection move on: read and apply what the server sent (when no other
        thread is reading), or wait for the thread that reads. Raises ``on_timeout()`` once
        ``deadline`` has passed."""
        if self._fatal is not None and not self._reading:
            raise self._fatal
        remaining = None if deadline is None else deadline - time.monotonic()
        if remaining is not None and remaining <= 0:
            raise on_timeout()
        with self._cond:
            if self._reading:
                self._cond.wait(remaining)
                return
            self._reading = True
        try:
            sock = self._sock
            try:
                if not (self._tls and sock.pending()):  # type: ignore[attr-defined]
                    readable, _, _ = select.select([sock], [], [], remaining)
                    if not readable:
                        raise on_timeout()
                if self._tls:
                    with self._wlock:
                        data = sock.recv(RECV_SIZE)
                else:
                    data = sock.recv(RECV_SIZE)
            except (OSError, ValueError) as exc:
                if isinstance(exc, ssl.SSLWantReadError):
                    return  # a TLS record is not complete yet
                self._lost(exc)
                return
            if not data:
                self._lost(None)
                return
            self._received(data)
        finally:
            with self._cond:
                self._reading = False
                self._cond.notify_all()

    def _received(self, data: bytes) -> None:
        if self._receive_frames(data) and self.has_pending():
            self._flush()

    def _on_settings(self) -> None:
        self._ready = True

    def _on_goaway(self) -> None:
        if not self._ready and self._fatal is None:
            self._fatal = ConnectError("the server refused the connection (GOAWAY before "
                                       "SETTINGS)")

    def _conn_done(self) -> None:
        self._flush()
        self._retire()

    def _stop_error(self, h: _Stream, stop: Any) -> BaseException:
        return stop_error(self, h.sid, h.received, stop)

    def _retire(self) -> None:
        self._dead = True
        cb = self._callbacks
        if cb is not None:
            cb.retired(self)

    def _conn_error(self, exc: BaseException) -> None:
        self.send_goaway(goaway_reason(exc))
        try:
            self._flush()
        except WriteError:
            pass
        err = RemoteProtocolError(f"the server broke HTTP/2: {exc}")
        err.__cause__ = exc
        self._fatal = err
        self._fail_all(exc, err, retry=False)
        self._retire()
        self._sock.close()

    def _lost(self, exc: BaseException | None) -> None:
        err = ReadError("the server closed the connection")
        if exc is not None:
            err.__cause__ = exc
        self._fatal = err
        self._fail_all(ConnectionClosedError("connection closed by the server"), err)
        self._retire()
        self._sock.close()

    def _fail_all(self, exc: BaseException, err: BaseException, retry: bool = True) -> None:
        for h, _stop in self.fail(exc):
            h.on_error(err if h.received or not retry else _as_disconnected(err))
        self._notify()

    # ---- one request ----------------------------------------------------------------------

    def send(self, method: str, target: str, headers: HeaderMap, content: Any,
             timeout: Any) -> _Stream:
        """Open a stream (the caller claimed its slot), send the body and return the stream
        once its response head is in."""
        h = _Stream(self)
        body = content if not (type(content) is bytes and not content) else None
        try:
            sid = self.open_stream(method, target, headers, body is None, False, h,
                                   scheme=self.scheme)
        except H2ProtocolError as exc:
            self._retire()
            raise StreamRefused(f"this connection cannot open more streams: {exc}") from exc
        except (H2UserError, ValueError, TypeError) as exc:
            self.end_exchange()
            if exc.args[:1] == (H2_KIND_MISSING_URI_SCHEME_AND_AUTHORITY,):
                raise LocalProtocolError("an HTTP/2 request needs a host") from exc
            raise LocalProtocolError(f"invalid HTTP/2 request: {exc}") from exc
        if sid is None:
            self._retire()
            if self.goaway_info() is not None:
                raise StreamRefused("the server is closing the connection (GOAWAY)")
            raise Disconnected(f"the connection is closed: {self.conn_error()}")
        h.sid = sid
        try:
            self._flush()
            if body is not None:
                self._send_body(h, body, timeout.write)
            deadline = None if timeout.read is None else time.monotonic() + timeout.read
            while not h.status:
                if h.error is not None:
                    raise h.error
                self._progress(deadline, _head_timeout)
        except BaseException:
            self._abandon(h)
            if not h.finished:
                h.finished = True
                self._stream_done(h)
            raise
        return h

    def _send_body(self, h: _Stream, body: Any, write_timeout: float | None) -> None:
        pieces: Iterable[Any] = (body,) if type(body) is bytes else body
        if not isinstance(pieces, Iterable):
            raise LocalProtocolError("the sync client sends bytes or an iterable of bytes, "
                                     "not an async iterable")
        sid = h.sid
        for chunk in pieces:
            if not isinstance(chunk, bytes):
                chunk = content_bytes(chunk)
            offset = 0
            while offset < len(chunk):
                vd = self.send_data(sid, chunk, offset, False)
                if vd.stopped is not None:
                    if vd.stopped.reason == H2_REASON_NO_ERROR and not vd.stopped.conn:
                        return  # the response is complete; the rest is not wanted
                    raise h.error or self._stop_error(h, vd.stopped)
                offset += vd.sent
                self._flush()
                if vd.sent == 0:  # the write timeout bounds each wait for window
                    h.window = False
                    deadline = None if write_timeout is None else \
                        time.monotonic() + write_timeout
                    while not h.window and h.error is None and not h.eof:
                        self._progress(deadline, _write_timeout)
                    if h.error is not None:
                        raise h.error
        vd = self.send_data(sid, b"", 0, True)
        if vd.stopped is not None and h.error is not None:
            raise h.error
        self._flush()

    def _consumed(self, sid: int, n: int, budgeted: bool) -> None:
        if n:
            self.release_capacity(sid, n)
            if budgeted:
                self.release_data_frame(sid, n)
            if self.has_pending():
                try:
                    self._flush()
                except WriteError:
                    pass

    def _abandon(self, h: _Stream) -> None:
        self.aclose_body(h.sid)
        if self.has_pending():
            try:
                self._flush()
            except WriteError:
                pass

    def _stream_done(self, h: _Stream) -> None:
        if h.error is None:
            self.served += 1
        self.idle_since = time.monotonic()
        self._notify()
        cb = self._callbacks
        if cb is not None:
            cb.released(self, not self._dead)

    def reset(self, h: _Stream) -> None:
        self.reset_stream(h.sid, H2_REASON_CANCEL)


def _body_timeout() -> BaseException:
    return ReadTimeout("timed out waiting for the server to send the response body")


def _connect_timeout() -> BaseException:
    return ConnectTimeout("timed out waiting for the server's HTTP/2 SETTINGS")
