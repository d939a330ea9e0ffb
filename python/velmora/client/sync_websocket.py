"""Blocking WebSocket sessions over HTTP/1.1: ``with client.websocket(url) as ws:`` on
:class:`~velmora.client.Client`.

The opening handshake goes out on a socket of its own, dialled as the blocking client dials
(``ws://``, ``wss://``, through the proxy that routes the URL with a CONNECT tunnel); every frame
is the core's ``WSConnection`` work in the client role. Threads share a session: one may ``send``
while another ``receive``s. The thread that needs frames (a ``receive``, a ``ping`` waiting for
its Pong, a ``close`` waiting for the answer) reads the socket for all, the others wait on a
condition; received messages wait in a bounded queue and nobody reads while it is full. Frames
go out whole under a send lock (the session's own answers, Pong and Close, included).
"""

from __future__ import annotations

import select
import socket
import ssl
import threading
import time
from collections import deque
from collections.abc import Callable, Iterator
from typing import Any

from velmora import _velmora as _v

from .errors import ConnectError, ReadTimeout
from .timeouts import Timeout
from .websocket import (
    CLOSE_TIMEOUT,
    WebSocketClosed,
    WebSocketHandshakeError,
    check_answer,
    upgrade_request,
)

__all__ = ["SyncWebSocketSession"]

_MAX_HEAD = 65536
_RECV_SIZE = 256 * 1024


class SyncWebSocketSession:
    """One blocking client WebSocket: ``send``, ``receive(timeout=None)``, ``for message in
    ws``, ``ping``, ``close``; ``subprotocol`` is the one the server chose."""

    def __init__(self, sock: socket.socket, core: Any, subprotocol: str | None,
                 response_headers: list[tuple[bytes, bytes]], max_queue: int = 32) -> None:
        self.subprotocol = subprotocol
        self.response_headers = response_headers
        self._sock = sock
        self._core = core
        self._max_queue = max_queue
        self._queue: deque[str | bytes] = deque()
        self._cond = threading.Condition()
        self._send_lock = threading.Lock()
        self._reading = False
        self._closed: WebSocketClosed | None = None  # the Close received, or 1006
        self._eof = False  # nothing more can be read
        self._pongs = 0  # Pongs received so far

    # ---- reading for everyone ---------------------------------------------------------------

    def _wait(self, ready: Callable[[], bool], timeout: float | None) -> None:
        """Returns once ``ready()`` (checked under the condition) or nothing more can come;
        reads the socket while no other thread does. ReadTimeout after ``timeout``."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            with self._cond:
                while True:
                    if ready() or self._eof:
                        return
                    left = None if deadline is None else deadline - time.monotonic()
                    if left is not None and left <= 0:
                        raise ReadTimeout("timed out waiting for the WebSocket server")
                    if not self._reading and len(self._queue) < self._max_queue:
                        self._reading = True
                        break
                    self._cond.wait(left)
            data: bytes | None = b""
            try:
                data = self._recv(left)
            finally:
                with self._cond:
                    self._reading = False
                    out = self._apply(data) if data is not None else b""
                    self._cond.notify_all()
            if out:
                self._write(out)

    def _recv(self, timeout: float | None) -> bytes | None:
        """Bytes from the socket (b"" at its end), or None when ``timeout`` passed first."""
        sock = self._sock
        pending = sock.pending() if isinstance(sock, ssl.SSLSocket) else 0
        if not pending and timeout is not None:
            ready, _, _ = select.select([sock], [], [], max(timeout, 0))
            if not ready:
                return None
        try:
            return sock.recv(_RECV_SIZE)
        except (ssl.SSLWantReadError, BlockingIOError):  # pragma: no cover - a partial record
            return None
        except OSError:
            return b""

    def _apply(self, data: bytes) -> bytes:
        """Received bytes through the core (under the condition): the frames to send back."""
        if not data:
            self._eof = True
            if self._closed is None:
                self._closed = WebSocketClosed(1006, "")
            return b""
        core = self._core
        queue = self._queue
        for kind, payload in core.receive(data):
            if kind == _v.WS_TEXT or kind == _v.WS_BINARY:
                queue.append(payload)
            elif kind == _v.WS_CLOSE:
                self._closed = WebSocketClosed(payload[0], payload[1])
            elif kind == _v.WS_PONG:
                self._pongs += 1
        out: bytes = core.outgoing()
        if core.failed or core.state == _v.WS_CLOSED:
            self._eof = True  # (the Close is answered: the server ends the connection)
        return out

    def _write(self, data: bytes) -> None:
        with self._send_lock:
            try:
                self._sock.sendall(data)
            except OSError:
                with self._cond:
                    self._eof = True
                    if self._closed is None:
                        self._closed = WebSocketClosed(1006, "")
                    self._cond.notify_all()

    # ---- the API ----------------------------------------------------------------------------

    def receive(self, timeout: float | None = None) -> str | bytes:
        """The next message (str for text, bytes for binary); raises WebSocketClosed once the
        session is closed and every message before the Close was received, ReadTimeout when
        none came within ``timeout`` seconds."""
        queue = self._queue
        self._wait(lambda: bool(queue), timeout)
        with self._cond:
            if queue:
                message = queue.popleft()
                self._cond.notify_all()  # (room in the queue: a waiting reader may read)
                return message
            raise self._closed or WebSocketClosed(1006)

    def send(self, message: str | bytes) -> None:
        """Sends a text (str) or binary message; blocks while the server does not read."""
        with self._send_lock:
            if self._closed is not None:
                raise self._closed
            try:
                frame = self._core.send(message)
            except RuntimeError:
                raise self._closed or WebSocketClosed(1006) from None
            try:
                self._sock.sendall(frame)
            except OSError:
                raise WebSocketClosed(1006) from None

    def ping(self, payload: bytes = b"", timeout: float | None = None) -> None:
        """Sends a Ping; returns when a Pong arrives (messages received meanwhile are kept)."""
        with self._cond:
            if self._closed is not None:
                raise self._closed
            seen = self._pongs
        with self._send_lock:
            self._sock.sendall(self._core.ping(payload))
        self._wait(lambda: self._pongs > seen, timeout)
        if self._pongs == seen:
            raise self._closed or WebSocketClosed(1006)

    def close(self, code: int = 1000, reason: str = "") -> None:
        """The close handshake: our Close, the server's answer, the end of the connection."""
        with self._cond:
            done = self._eof
        if not done:
            with self._send_lock:
                frame = self._core.close(code, reason)
                if frame:
                    try:
                        self._sock.sendall(frame)
                    except OSError:
                        pass
            try:
                # messages still queued are dropped: the reader must not stop on a full queue
                with self._cond:
                    self._queue.clear()
                    self._max_queue = 1 << 30
                self._wait(lambda: False, CLOSE_TIMEOUT)
            except ReadTimeout:
                pass
        try:
            self._sock.close()
        except OSError:  # pragma: no cover
            pass

    def __iter__(self) -> Iterator[str | bytes]:
        while True:
            try:
                yield self.receive()
            except WebSocketClosed as exc:
                if exc.code in (1000, 1001):
                    return
                raise

    def __enter__(self) -> SyncWebSocketSession:
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()


def connect(client: Any, url: str, *, subprotocols: list[str] | None = None,
            headers: Any = None, compression: str | None = "deflate",
            max_size: int = 16 * 1024 * 1024, timeout: float | None = 30.0
            ) -> SyncWebSocketSession:
    """The opening handshake of ``client.websocket(url)`` on a socket of its own."""
    scheme, _, rest = url.partition("://")
    if scheme not in ("ws", "wss"):
        raise ValueError(f"not a WebSocket URL: {url!r}")
    if compression not in ("deflate", None):
        raise ValueError("compression must be 'deflate' or None")
    u = client._url(("https" if scheme == "wss" else "http") + "://" + rest)
    route = client._router.route(u.scheme, u.host, u.port, u.authority, u.url)
    sock = client._pool.dial(route, Timeout.coerce(timeout), client._ws_ssl_context(),
                             tunnel=True)
    try:
        sock.settimeout(timeout)
        request, key = upgrade_request(client._request_headers(u, None, headers), u.target,
                                       subprotocols, compression)
        sock.sendall(request)
        codec = _v.H1Codec(max_buf_size=_MAX_HEAD)
        head = None
        while head is None:
            data = sock.recv(_RECV_SIZE)
            if not data:
                raise WebSocketHandshakeError("the connection closed during the handshake")
            try:
                head = codec.receive_head(data)
            except _v.H1ParseError as exc:
                raise WebSocketHandshakeError(f"bad response: {exc}") from None
        subprotocol, fields, deflate = check_answer(head.status, head.headers, key,
                                                    subprotocols, compression)
        sock.settimeout(None)
        core = _v.WSConnection(True, max_message_size=max_size, deflate=deflate)
        session = SyncWebSocketSession(sock, core, subprotocol, fields)
        leftover = codec.take_body()  # frames that came with the 101
    except socket.timeout:
        sock.close()
        raise ReadTimeout("timed out waiting for the WebSocket handshake") from None
    except OSError as exc:
        sock.close()
        raise ConnectError(f"the WebSocket handshake failed: {exc}") from exc
    except BaseException:
        sock.close()
        raise
    if leftover:
        out = session._apply(leftover)
        if out:
            session._write(out)
    return session
