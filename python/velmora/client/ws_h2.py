"""A WebSocket session over an HTTP/2 stream (RFC 8441): the extended CONNECT's stream is the
session's transport.

`Tunnel` is the stream handle the pooled :class:`~velmora.client.h2.H2Connection` feeds (its
`_Stream` with DATA going to the session instead of a response body) and the transport the
:class:`~velmora.client.websocket.WebSocketSession` writes to. Received DATA is handed to the
session as it arrives and its flow-control credit goes back only then: while the session's queue
is full (``pause_reading``) the chunks stay here unreleased, so the server's window closes. The
session's frames go out as DATA within the stream's windows and the connection's send buffer;
what does not fit waits in order and the session waits as on a paused transport. ``close`` ends
this side with END_STREAM after what waits; the stream is done once the server ended its side
too, and the other streams of the connection never notice.
"""

from __future__ import annotations

from collections import deque
from typing import TYPE_CHECKING, Any

from velmora._velmora import H2_FLAG_WAKE

from .h2 import H2Connection, _Stream

if TYPE_CHECKING:
    from .websocket import WebSocketSession

__all__ = ["Tunnel"]


class Tunnel(_Stream):
    """One extended CONNECT stream carrying a WebSocket session."""

    __slots__ = ("session", "_pending", "_paused", "_end", "_ended", "_gone")

    def __init__(self, conn: H2Connection) -> None:
        super().__init__(conn)
        self.session: WebSocketSession | None = None
        self._pending: deque[tuple[bytes, int]] = deque()  # (bytes, offset) beyond the windows
        self._paused = False
        self._end = False  # END_STREAM is owed after the pending bytes
        self._ended = False  # END_STREAM is queued
        self._gone = False  # nothing more will come or go (reset, failure, abort)

    def attach(self, session: WebSocketSession) -> None:
        """The handshake was accepted: DATA that came with or after the 200 goes to
        ``session``."""
        self.session = session
        if self._error is not None:
            self._lose()
        else:
            self._pump()

    # ---- events from the connection's read pump -------------------------------------------

    def on_data(self, payload: bytes | None, budgeted: bool, eof: bool) -> None:
        self._received = True
        if payload:
            self._chunks.append((payload, budgeted))
        if eof:
            self._eof = True
        if self.session is not None:
            self._pump()

    def on_trailers(self, frame: Any) -> None:
        self._eof = True
        if self.session is not None:
            self._pump()

    def on_error(self, exc: BaseException) -> None:
        super().on_error(exc)
        if self.session is not None:
            self._lose()

    def stop_writer(self) -> None:
        # the server reset the stream after it ended its side: nothing more goes out
        if self.session is not None:
            self._lose()

    def wake_window(self) -> None:
        if self.session is None or self._gone:
            return
        pending = self._pending
        while pending:
            data, offset = pending.popleft()
            if not self._send(data, offset):
                return
        self.session._resume_writing()
        if self._end:
            self._send_end()

    def _pump(self) -> None:
        chunks = self._chunks
        session = self.session
        conn = self.conn
        while chunks and not self._paused and not self._gone:
            data, budgeted = chunks.popleft()
            conn._consumed(self.sid, len(data), budgeted)
            session._data(data)  # type: ignore[union-attr]
        if self._eof and not chunks and not self._gone:
            # the server ended its side: the session has everything it will get
            self._gone = self._ended
            session._lost()  # type: ignore[union-attr]
            if self._ended:
                self._finish()

    def _lose(self) -> None:
        if not self._gone:
            self._gone = True
            self._pending.clear()
            self._chunks.clear()
            self.session._lost()  # type: ignore[union-attr]
            self._finish()

    # ---- the session's transport ----------------------------------------------------------

    def write(self, data: bytes) -> None:
        if self._gone or self._end:
            return
        if self._pending:
            self._pending.append((data, 0))
        else:
            self._send(data, 0)

    def _send(self, data: bytes, offset: int) -> bool:
        """Frames ``data[offset:]`` within the windows; False when some of it must wait."""
        conn = self.conn
        n = len(data)
        while offset < n:
            vd = conn.send_data(self.sid, data, offset, False)
            if vd.stopped is not None:
                self._lose()
                return True
            offset += vd.sent
            if vd.flags & H2_FLAG_WAKE:
                conn._schedule_flush()
            if vd.sent == 0:
                self._pending.appendleft((data, offset))
                self.session._write_paused = True  # type: ignore[union-attr]
                return False
        return True

    def pause_reading(self) -> None:
        self._paused = True

    def resume_reading(self) -> None:
        if self._paused:
            self._paused = False
            self._loop.call_soon(self._pump)

    def close(self) -> None:
        """This side is done: END_STREAM after the bytes that wait for the window."""
        if self._gone or self._end:
            return
        self._end = True
        if not self._pending:
            self._send_end()

    def _send_end(self) -> None:
        if self._ended:
            return
        self._ended = True
        vd = self.conn.send_data(self.sid, b"", 0, True)
        if vd.flags & H2_FLAG_WAKE or self.conn.has_pending():
            self.conn._schedule_flush()
        if vd.stopped is not None or (self._eof and not self._chunks):
            self._gone = True
            self._finish()

    def abort(self) -> None:
        """A refused answer, or the server did not end its side in time: reset the stream
        (CANCEL)."""
        if self.session is None:
            self.abandon()
        elif not self._gone:
            self.conn._cancel_stream(self)
            self._lose()

    def is_closing(self) -> bool:
        return self._end or self._gone

