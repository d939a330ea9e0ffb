"""The HTTP/1.1 client connection on a blocking socket: the same core state as the asyncio driver
(``H1ClientState`` decides who holds the connection and whether it is reused, ``H1Codec`` writes
and parses heads, ``H1BodyDecoder`` frames the body), with blocking ``send``/``recv`` in place
of the transport. One thread uses it at a time (the pool hands it out); each wait is bounded by the
socket timeout of the request in progress."""

from __future__ import annotations

import select
import socket
from collections.abc import Hashable, Iterable
from typing import Any, Protocol

from velmora._velmora import (
    H1BodyDecoder,
    H1BodyError,
    H1ClientState,
    H1Codec,
    H1UserError,
    HeaderMap,
    VelmoraError,
)

from .errors import (
    LocalProtocolError,
    ReadError,
    ReadTimeout,
    RemoteProtocolError,
    WriteError,
    WriteTimeout,
)
from .exchange import Disconnected, content_bytes
from .h1 import COALESCE_LIMIT, H1Exchange, protocol_error, request_head

__all__ = ["SyncConnection", "SyncPoolCallbacks"]

RECV_SIZE = 256 * 1024
_EMPTY = b""


def _send_all(sock: socket.socket, data: bytes) -> None:
    """Writes ``data`` whole. The socket's timeout bounds each wait for it to drain, not the
    whole write as with ``sendall``: a large body that keeps moving is not cut off."""
    n = sock.send(data)
    if n < len(data):
        view = memoryview(data)
        while n < len(view):
            n += sock.send(view[n:])


class SyncPoolCallbacks(Protocol):
    def released(self, conn: SyncConnection, reusable: bool) -> None: ...

    def dropped(self, conn: SyncConnection) -> None:
        """``conn`` was closed by the garbage collector (no lock may be taken there)."""
        ...


class SyncConnection(H1Exchange):
    """One HTTP/1.1 connection on a blocking socket; it is its own exchange (``head``,
    :meth:`take_complete_body`, :meth:`read_chunk`, ``trailers``, :meth:`abandon`)."""

    __slots__ = ("_sock", "_codec", "_callbacks", "key", "_dec", "_complete_body", "head",
                 "trailers", "served", "idle_since", "_in_body")

    multiplexed = False

    def __new__(cls, sock: socket.socket, *args: Any, **kwargs: Any) -> SyncConnection:
        return H1ClientState.__new__(cls, sock)

    def __init__(self, sock: socket.socket, callbacks: SyncPoolCallbacks | None = None,
                 key: Hashable = None) -> None:
        self._sock = sock
        self._codec = H1Codec()
        self._callbacks = callbacks
        self.key = key
        self._dec: H1BodyDecoder | None = None
        self._complete_body: bytes | None = None
        self.head: Any = None
        self.trailers: HeaderMap | None = None
        self.served = 0
        self.idle_since = 0.0
        self._in_body = False

    @property
    def http_version(self) -> str:
        return "HTTP/1.0" if self.peer_http10 else "HTTP/1.1"

    def is_stale(self) -> bool:
        """Dead, or readable while idle (the server closed it or sent bytes nobody asked
        for): either way it cannot carry a request."""
        if self.is_dead():
            return True
        try:
            readable, _, _ = select.select([self._sock], [], [], 0)
        except (OSError, ValueError):
            return True
        return bool(readable)

    def close(self) -> None:
        transport = self.mark_closed()[0]
        self._close_socket(transport)

    def _close_socket(self, transport: Any) -> None:
        sock = transport if transport is not None else None
        if sock is not None:
            try:
                sock.close()
            except OSError:  # pragma: no cover
                pass

    # ---- one exchange ---------------------------------------------------------------------

    def send(self, method: str, target: str, headers: HeaderMap, content: Any,
             timeout: Any) -> SyncConnection:
        """Write the request and read the response head (the caller claimed the connection)."""
        self.exchange_started()
        self._dec = None
        self._complete_body = None
        self._in_body = False
        codec = self._codec
        sock = self._sock
        http10 = self.peer_http10
        try:
            sock.settimeout(timeout.write)
            head = request_head(codec, method, target, headers, content, http10)
            if content is None:
                _send_all(sock, head)
            elif type(content) is bytes:
                if len(content) <= COALESCE_LIMIT:
                    _send_all(sock, codec.serialize_head_and_body(head, content))
                else:
                    _send_all(sock, head)
                    _send_all(sock, codec.serialize_data(content))
                    _send_all(sock, codec.serialize_end())
            else:
                if not isinstance(content, Iterable):
                    raise LocalProtocolError("the sync client sends bytes or an iterable of "
                                             "bytes, not an async iterable")
                _send_all(sock, head)
                for chunk in content:
                    if not isinstance(chunk, bytes):
                        chunk = content_bytes(chunk)
                    if chunk:
                        _send_all(sock, codec.serialize_data(chunk))
                _send_all(sock, codec.serialize_end())
            self.writer_done()
        except LocalProtocolError:
            self._fail(None)
            raise
        except (ValueError, H1UserError) as exc:
            self._fail(exc)
            raise LocalProtocolError(str(exc)) from exc
        except socket.timeout:
            self._fail(None)
            raise WriteTimeout("timed out writing the request") from None
        except OSError as exc:
            self._fail(exc)
            raise WriteError(f"the connection failed while writing: {exc}") from exc
        except BaseException:
            self._fail(None)
            raise
        try:
            head = self._read_head(timeout.read)
        except BaseException:
            self._fail(None)
            raise
        if head.is_upgrade and method != "CONNECT":
            self._fail(None)
            raise RemoteProtocolError(f"unexpected protocol switch ({head.status})")
        self.head = head
        return self

    def _recv(self, read_timeout: float | None) -> bytes:
        sock = self._sock
        try:
            sock.settimeout(read_timeout)
            return sock.recv(RECV_SIZE)
        except socket.timeout:
            raise ReadTimeout("timed out waiting for the server to send the response") from None
        except OSError as exc:
            raise ReadError(f"the connection failed while reading: {exc}") from exc

    def _read_head(self, read_timeout: float | None) -> Any:
        codec = self._codec
        fed = 0
        while True:
            data = self._recv(read_timeout)
            if not data:
                self.note_peer_closed()
                if fed == 0:
                    raise Disconnected(
                        "the server closed the connection without sending a response")
                raise RemoteProtocolError(
                    "the server closed the connection before the response head was complete")
            fed += len(data)
            try:
                head = codec.receive_head(data)
            except VelmoraError as exc:
                raise protocol_error(exc) from None
            if head is not None:
                break
        kind = head.body_kind
        self.response_head(head.keep_alive, codec.request_connection_close, kind == "close",
                           head.http10)
        self._in_body = True
        if head.is_upgrade:
            return head
        if kind == "length":
            if codec.buffered() == head.content_length:
                self._complete_body = codec.take_body()
            else:
                self._dec = dec = H1BodyDecoder(kind, head.content_length or 0)
                codec.take_body_into(dec)
        elif kind != "empty":
            self._dec = dec = H1BodyDecoder(kind)
            codec.take_body_into(dec)
        return head

    def take_tunnel(self) -> tuple[socket.socket | None, bytes]:
        return self.upgrade(), self._codec.take_body()

    def take_complete_body(self) -> bytes | None:
        if self._dec is not None or not self._in_body:
            return None
        b = self._complete_body
        self._complete_body = None
        self._body_complete()
        return _EMPTY if b is None else b

    def read_chunk(self, timeout: float | None) -> bytes | None:
        """The next piece of the response body, or ``None`` once it is complete."""
        dec = self._dec
        while True:
            if dec is None:
                return None
            try:
                chunk = dec.decode()
            except H1BodyError as exc:
                self._fail(None)
                raise protocol_error(exc) from None
            if chunk:
                return chunk
            if dec.is_complete:
                self._body_complete()
                return None
            try:
                data = self._recv(timeout)
            except BaseException:
                self._fail(None)
                raise
            if data:
                dec.feed(data)
            else:
                self.note_peer_closed()
                dec.mark_eof()

    def _body_complete(self) -> None:
        self._in_body = False
        reuse, transport = self._end_body()
        if reuse:
            if self._callbacks is not None:
                self._callbacks.released(self, True)
            return
        self._let_go(transport)

    def _let_go(self, transport: Any) -> None:
        self.end_exchange()
        self._close_socket(transport)
        if self._callbacks is not None:
            self._callbacks.released(self, False)

    def _fail(self, exc: BaseException | None) -> None:
        self._dec = None
        self.head = None
        self._in_body = False
        self._let_go(self.fail(exc))

    def abandon(self) -> None:
        """The response was closed before its body was read to the end."""
        if self._in_body:
            self._fail(None)

    def collected(self) -> None:
        """An unclosed streamed response was garbage-collected (on any thread, maybe inside
        the pool's own locked section): close without taking the pool's lock."""
        if self._in_body:
            self._in_body = False
            self._dec = None
            self._close_socket(self.fail(None))
            if self._callbacks is not None:
                self._callbacks.dropped(self)
