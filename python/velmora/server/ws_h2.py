"""WebSockets over HTTP/2 (RFC 8441): an extended CONNECT stream (``:protocol websocket``)
carries one session's frames in its DATA.

`WSStream` is the `Stream` of such a request: until the application accepts it answers as any
stream does (a refusal, the denial response); once accepted, its `H2Channel` is the transport
of the `WebSocket` session: DATA payloads go to the session as they arrive (while it reads:
credit goes back to the client only then, so an application that does not receive stops the
client), the session's bytes go out as DATA within the stream's window (the session waits, as
on a paused transport, while the window is closed), and its close ends the stream with
END_STREAM, never touching the other streams of the connection.
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import TYPE_CHECKING, Any

from velmora.server.asgi import ClientDisconnected
from velmora.server.stream import Stream

if TYPE_CHECKING:
    from velmora.server.h2 import H2Connection
    from velmora.server.websocket import WebSocket


class WSStream(Stream[Any]):
    """The stream of an extended CONNECT: its events go to its channel once it has one."""

    __slots__ = ("channel",)

    def __init__(self, *args: Any) -> None:
        super().__init__(*args)
        self.channel: H2Channel | None = None

    def body_arrived(self) -> None:
        channel = self.channel
        if channel is None:
            super().body_arrived()
        else:
            channel.pump()

    def client_gone(self) -> None:
        super().client_gone()
        channel = self.channel
        if channel is not None:
            channel.finish()

    def writable(self) -> None:
        channel = self.channel
        if channel is None:
            super().writable()
        else:
            channel.flush()


class H2Channel:
    """The transport of one WebSocket session over an HTTP/2 stream."""

    __slots__ = ("_conn", "_stream", "_ws", "_paused", "_pending", "_end", "_ended", "_done")

    def __init__(self, conn: H2Connection, stream: WSStream, ws: WebSocket) -> None:
        self._conn = conn
        self._stream = stream
        self._ws = ws
        self._paused = False
        self._pending: list[bytes] = []  # bytes beyond the stream's window, in order
        self._end = False  # END_STREAM is owed after the pending bytes
        self._ended = False  # END_STREAM went out
        self._done = False

    # ---- reading ----------------------------------------------------------------------------

    def pump(self) -> None:
        """DATA (or the client's END_STREAM) arrived: hand it to the session while it reads."""
        stream = self._stream
        if self._done:
            stream.body.clear()
            return
        ws = self._ws
        while not self._paused and stream.body:
            data = self._conn.take_body(stream)
            if data:
                ws.data_received(data)
            if self._done:
                return
        if stream.ended and not stream.body:
            # the client ended its side: the session is over once this side ends too
            self.close()
            if self._ended:
                self.finish()

    def pause_reading(self) -> None:
        self._paused = True

    def resume_reading(self) -> None:
        if self._paused:
            self._paused = False
            self._conn.loop_soon(self.pump)

    # ---- writing ----------------------------------------------------------------------------

    def write(self, data: bytes) -> None:
        if self._done or self._end:
            return
        if self._pending:
            self._pending.append(data)
            return
        self._send(data)

    def writelines(self, parts: Iterable[bytes]) -> None:
        for data in parts:
            self.write(data)

    def _send(self, data: bytes) -> bool:
        """Frames ``data`` within the window; False when some of it waits for the window."""
        try:
            offset = self._conn.send_stream_data(self._stream, data, False)
        except ClientDisconnected:
            self.finish()
            return True
        if offset < 0:
            return True
        self._pending.insert(0, data[offset:])
        self._ws.pause_writing()
        return False

    def flush(self) -> None:
        """The stream's window opened: send what waited, then the END_STREAM owed."""
        pending = self._pending
        while pending and not self._done:
            if not self._send(pending.pop(0)):
                return
        if self._done:
            return
        self._ws.resume_writing()
        if self._end:
            self._send_end()

    # ---- ending -----------------------------------------------------------------------------

    def close(self) -> None:
        """The session is over on this side: END_STREAM after what is pending (a second close,
        when the client does not end its side in time, resets the stream)."""
        if self._done:
            return
        if self._end:
            if not self._stream.ended:
                self.abort()
            return
        self._end = True
        if not self._pending:
            self._send_end()

    def _send_end(self) -> None:
        if self._ended:
            return
        self._ended = True
        try:
            self._conn.send_stream_data(self._stream, b"", True)
        except ClientDisconnected:
            self.finish()
            return
        if self._stream.ended:
            self.finish()

    def abort(self) -> None:
        if not self._done:
            self._conn.fail(self._stream)
            self.finish()

    def finish(self) -> None:
        """The stream is over (both sides ended, reset, or the connection is gone)."""
        if self._done:
            return
        self._done = True
        self._pending.clear()
        self._ws.connection_lost(None)
        self._conn.app_done(self._stream)

    def can_write_eof(self) -> bool:
        return False

    def write_eof(self) -> None:
        raise NotImplementedError
