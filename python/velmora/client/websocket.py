"""WebSocket client sessions over HTTP/1.1 (``ws://``, ``wss://``, through proxies with
``CONNECT``): ``async with client.websocket(url) as ws:``.

The opening handshake goes out on a connection of its own (a WebSocket is never pooled), routed
by the client's proxy settings; every frame is the core's ``WSConnection`` work in the client
role (masking, UTF-8, the close handshake, automatic pongs, permessage-deflate). Received
messages wait in a bounded queue: while it is full the socket is not read.
"""

from __future__ import annotations

import asyncio
import base64
import collections
import hashlib
import os
import ssl
from typing import Any, AsyncIterator

from velmora import _velmora as _v

from .errors import ConnectError, ProxyError
from .proxy import DIRECT, TUNNEL, open_tunnel
from .timeouts import Timeout

__all__ = ["WebSocketSession", "WebSocketClosed", "WebSocketHandshakeError", "check_answer",
           "upgrade_request"]

WS_TEXT = _v.WS_TEXT
WS_BINARY = _v.WS_BINARY
WS_CLOSE = _v.WS_CLOSE
WS_PONG = _v.WS_PONG
WS_CLOSED = _v.WS_CLOSED
_GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"
_MAX_HEAD = 65536
CLOSE_TIMEOUT = 5.0


class WebSocketHandshakeError(ConnectError):
    """The server did not accept the WebSocket (``status`` is its answer, 0 when there was
    none)."""

    def __init__(self, message: str, status: int = 0) -> None:
        super().__init__(message)
        self.status = status


class WebSocketClosed(Exception):
    """The WebSocket is closed: ``code`` and ``reason`` of the Close received (1006 when the
    connection dropped without one)."""

    def __init__(self, code: int, reason: str = "") -> None:
        super().__init__(f"WebSocket closed: {code} {reason}".rstrip())
        self.code = code
        self.reason = reason


class _Protocol(asyncio.Protocol):
    """The transport's callbacks: the response head, then frames for the session."""

    def __init__(self, session: WebSocketSession) -> None:
        self.session = session
        self.codec: Any = _v.H1Codec(max_buf_size=_MAX_HEAD)  # (the response head only)
        self.head: bytes = b""  # bytes past the head, held until the session is open
        self.head_done: asyncio.Future[Any] = asyncio.get_running_loop().create_future()

    def data_received(self, data: bytes) -> None:
        codec = self.codec
        if codec is not None:
            if self.head_done.done():  # (a failed head: nothing more is read)
                return
            try:
                head = codec.receive_head(data)
            except _v.H1ParseError as exc:
                self.head_done.set_exception(WebSocketHandshakeError(f"bad response: {exc}"))
                return
            if head is None:
                return
            self.codec = None
            self.head = codec.take_body()
            self.head_done.set_result(head)
            return
        if self.session._core is None:
            # the handshake's answer is not checked yet: hold the frames until it is
            self.head += data
            return
        self.session._data(data)

    def eof_received(self) -> bool:
        return False

    def connection_lost(self, exc: BaseException | None) -> None:
        if not self.head_done.done():
            self.head_done.set_exception(WebSocketHandshakeError("the connection closed "
                                                                 "during the handshake"))
        self.session._lost()

    def pause_writing(self) -> None:
        self.session._write_paused = True

    def resume_writing(self) -> None:
        self.session._resume_writing()


class WebSocketSession:
    """One client WebSocket: ``send``, ``receive``, ``async for message in ws``, ``ping``,
    ``close``; ``subprotocol`` is the one the server chose."""

    def __init__(self, *, max_size: int = 16 * 1024 * 1024, max_queue: int = 32) -> None:
        self.subprotocol: str | None = None
        self.response_headers: list[tuple[bytes, bytes]] = []
        self._max_size = max_size
        self._max_queue = max_queue
        self._core: Any = None
        self._t: asyncio.Transport | None = None
        self._queue: collections.deque[str | bytes] = collections.deque()
        self._arrival: asyncio.Future[None] | None = None
        self._closed: WebSocketClosed | None = None
        self._gone: asyncio.Future[None] = asyncio.get_running_loop().create_future()
        self._write_paused = False
        self._drain: asyncio.Future[None] | None = None
        self._pongs: list[asyncio.Future[None]] = []
        self._paused = False

    # ---- opening ----------------------------------------------------------------------------

    async def _open(self, client: Any, url: str, subprotocols: list[str] | None, headers: Any,
                    compression: str | None, timeout: float | None) -> None:
        scheme, _, rest = url.partition("://")
        if scheme not in ("ws", "wss"):
            raise ValueError(f"not a WebSocket URL: {url!r}")
        if compression not in ("deflate", None):
            raise ValueError("compression must be 'deflate' or None")
        http_url = ("https" if scheme == "wss" else "http") + "://" + rest
        u = client._url(http_url)
        route = client._router.route(u.scheme, u.host, u.port, u.authority, u.url)
        if client._pool._dialer.may_speak_h2(route) and await self._open_h2(
                client, u, route, subprotocols, headers, compression, timeout):
            return
        loop = asyncio.get_running_loop()
        proto = _Protocol(self)
        transport = await asyncio.wait_for(self._dial(loop, client, route, proto), timeout)
        self._t = transport
        request, key = upgrade_request(client._request_headers(u, None, headers), u.target,
                                       subprotocols, compression)
        transport.write(request)
        try:
            head = await asyncio.wait_for(proto.head_done, timeout)
        except BaseException:
            transport.abort()
            raise
        deflate = self._check(head.status, head.headers, key, subprotocols, compression)
        self._core = _v.WSConnection(True, max_message_size=self._max_size, deflate=deflate)
        if proto.head:  # (frames that came with the head were held until now)
            data, proto.head = proto.head, b""
            self._data(data)

    async def _open_h2(self, client: Any, u: Any, route: Any, subprotocols: list[str] | None,
                       headers: Any, compression: str | None, timeout: float | None) -> bool:
        """The session on a stream of the pooled HTTP/2 connection to the origin, when it is
        one and its server announced extended CONNECT (RFC 8441 section 3); False otherwise
        (the claim on the pooled connection given back)."""
        from .h2 import H2Connection
        from .ws_h2 import Tunnel

        pool = client._pool
        t = Timeout.coerce(timeout)
        conn = await pool.acquire(route, t)
        if not isinstance(conn, H2Connection) or not conn.peer_connect_protocol:
            conn.end_exchange()
            pool.released(conn, True)
            return False
        hm = _v.HeaderMap(client._request_headers(u, None, headers))
        hm["sec-websocket-version"] = "13"
        _offer(hm, subprotocols, compression)
        tunnel = Tunnel(conn)
        h = await conn.send("CONNECT", u.target, hm, None, t, tunnel=tunnel,
                            protocol="websocket")
        self._t = tunnel  # type: ignore[assignment]
        # RFC 8441 section 5: any 2xx accepts the session
        deflate = self._check(h.status, h.headers, None, subprotocols, compression)
        self._core = _v.WSConnection(True, max_message_size=self._max_size, deflate=deflate)
        tunnel.attach(self)
        return True

    async def _dial(self, loop: asyncio.AbstractEventLoop, client: Any, route: Any,
                    proto: _Protocol) -> asyncio.Transport:
        ctx = client._ws_ssl_context()
        if route.mode == DIRECT:
            transport, _ = await loop.create_connection(
                lambda: proto, route.dial_host, route.dial_port, ssl=ctx if route.tls else None,
                server_hostname=route.host if route.tls else None)
            return transport  # type: ignore[return-value]
        if route.mode != TUNNEL and route.tls:  # pragma: no cover - https is always tunnelled
            raise ProxyError("a wss:// session through a proxy needs a CONNECT tunnel")
        transport, _ = await loop.create_connection(
            asyncio.Protocol, route.dial_host, route.dial_port,
            ssl=ctx if route.proxy_tls else None,
            server_hostname=route.proxy_host if route.proxy_tls else None)
        if route.mode == TUNNEL or not route.tls:
            # (a plain ws:// through a forward proxy is tunnelled too: the upgrade needs it)
            transport, leftover = await open_tunnel(transport, route,  # type: ignore[arg-type]
                                                    Timeout.coerce(None))
            if leftover:
                transport.close()
                raise ProxyError("the proxy sent bytes before the WebSocket handshake")
        transport.set_protocol(proto)
        if route.tls:
            tls = await loop.start_tls(transport, proto, ctx, server_hostname=route.host)
            if tls is None:  # pragma: no cover
                raise ConnectError("the tunnel closed during the TLS handshake")
            transport = tls
        return transport  # type: ignore[return-value]

    def _check(self, status: int, headers: Any, key: bytes | None,
               subprotocols: list[str] | None, compression: str | None) -> Any:
        """The server's answer checked (the transport aborted when it is refused): the
        negotiated deflate."""
        try:
            self.subprotocol, self.response_headers, deflate = check_answer(
                status, headers, key, subprotocols, compression)
        except WebSocketHandshakeError:
            self._t.abort()  # type: ignore[union-attr]
            raise
        return deflate

    # ---- the transport ----------------------------------------------------------------------

    def _data(self, data: bytes) -> None:
        core = self._core
        if core is None:
            return
        queue = self._queue
        for kind, payload in core.receive(data):
            if kind == WS_TEXT or kind == WS_BINARY:
                queue.append(payload)
            elif kind == WS_CLOSE:
                self._closed = WebSocketClosed(payload[0], payload[1])
            elif kind == WS_PONG:
                pongs, self._pongs = self._pongs, []
                for fut in pongs:
                    if not fut.done():
                        fut.set_result(None)
        out = core.outgoing()
        t = self._t
        if out and t is not None:
            t.write(out)
        if self._closed is not None and core.failed and t:
            t.close()
        if len(queue) >= self._max_queue and not self._paused and t is not None:
            self._paused = True
            t.pause_reading()
        self._wake()

    def _lost(self) -> None:
        if self._closed is None:
            self._closed = WebSocketClosed(1006, "")
        if not self._gone.done():
            self._gone.set_result(None)
        for fut in self._pongs:
            if not fut.done():
                fut.set_exception(self._closed)
        self._pongs = []
        drain = self._drain
        if drain is not None and not drain.done():
            drain.set_result(None)
        self._wake()

    def _resume_writing(self) -> None:
        self._write_paused = False
        waiter = self._drain
        if waiter is not None and not waiter.done():
            waiter.set_result(None)

    def _wake(self) -> None:
        fut = self._arrival
        if fut is not None:
            self._arrival = None
            if not fut.done():
                fut.set_result(None)

    # ---- the API ----------------------------------------------------------------------------

    async def receive(self) -> str | bytes:
        """The next message (str for text, bytes for binary); raises WebSocketClosed once the
        session is closed and every message before the Close was received."""
        queue = self._queue
        while True:
            if queue:
                message = queue.popleft()
                if self._paused and len(queue) < self._max_queue and self._t is not None:
                    self._paused = False
                    self._t.resume_reading()
                return message
            if self._closed is not None:
                raise self._closed
            fut = self._arrival = asyncio.get_running_loop().create_future()
            await fut

    async def send(self, message: str | bytes) -> None:
        """Sends a text (str) or binary message; waits while the server does not read."""
        if self._closed is not None or self._t is None:
            raise self._closed or WebSocketClosed(1006)
        try:
            frame = self._core.send(message)
        except RuntimeError:
            raise self._closed or WebSocketClosed(1006) from None
        self._t.write(frame)
        while self._write_paused and not self._gone.done():
            self._drain = asyncio.get_running_loop().create_future()
            await self._drain

    async def ping(self, payload: bytes = b"") -> None:
        """Sends a Ping; returns when a Pong arrives."""
        if self._closed is not None or self._t is None:
            raise self._closed or WebSocketClosed(1006)
        fut: asyncio.Future[None] = asyncio.get_running_loop().create_future()
        self._pongs.append(fut)
        self._t.write(self._core.ping(payload))
        await fut

    async def close(self, code: int = 1000, reason: str = "") -> None:
        """The close handshake: our Close, the server's answer, the end of the connection."""
        t = self._t
        if t is None:
            return
        if self._core is not None and not self._gone.done():
            frame = self._core.close(code, reason)
            if frame:
                t.write(frame)
            try:
                await asyncio.wait_for(asyncio.shield(self._gone), CLOSE_TIMEOUT)
            except asyncio.TimeoutError:
                pass
        if not self._gone.done():
            t.abort()
        else:
            t.close()

    def __aiter__(self) -> AsyncIterator[str | bytes]:
        return self._iterate()

    async def _iterate(self) -> AsyncIterator[str | bytes]:
        while True:
            try:
                yield await self.receive()
            except WebSocketClosed as exc:
                if exc.code in (1000, 1001):
                    return
                raise


def check_answer(status: int, headers: Any, key: bytes | None, subprotocols: list[str] | None,
                 compression: str | None) -> tuple[str | None, list[tuple[bytes, bytes]], Any]:
    """The server's answer to the opening handshake checked (RFC 6455 section 4.1; ``key``
    None: the answer to an extended CONNECT, RFC 8441 section 5): the chosen subprotocol, the
    response fields and the negotiated deflate (None without one); WebSocketHandshakeError when
    it is refused."""
    fields: dict[bytes, list[bytes]] = {}
    response_headers = headers.raw_items() if headers is not None else []
    for field, value in response_headers:
        fields.setdefault(field, []).append(value)

    def fail(why: str) -> WebSocketHandshakeError:
        return WebSocketHandshakeError(why, status)

    if key is None:
        if not 200 <= status < 300:
            raise fail(f"the server answered {status} instead of 200")
    else:
        if status != 101:
            raise fail(f"the server answered {status} instead of 101")
        if [v.lower() for v in fields.get(b"upgrade", [])] != [b"websocket"]:
            raise fail("the 101 answer does not upgrade to websocket")
        if not any(b"upgrade" in v.lower() for v in fields.get(b"connection", [])):
            raise fail("the 101 answer lacks Connection: upgrade")
        expected = base64.b64encode(hashlib.sha1(key + _GUID).digest())
        if fields.get(b"sec-websocket-accept") != [expected]:
            raise fail("wrong Sec-WebSocket-Accept")
    subprotocol = None
    chosen = fields.get(b"sec-websocket-protocol")
    if chosen:
        name = chosen[0].decode("latin-1")
        if len(chosen) > 1 or name not in (subprotocols or ()):
            raise fail(f"the server chose a subprotocol that was not offered: {name}")
        subprotocol = name
    extensions = fields.get(b"sec-websocket-extensions")
    if not extensions:
        return subprotocol, response_headers, None
    if compression is None:
        raise fail("the server chose an extension that was not offered")
    try:
        deflate = _v.ws_deflate_accept(b", ".join(extensions))
    except ValueError as exc:
        raise fail(f"unacceptable permessage-deflate answer: {exc}") from None
    return subprotocol, response_headers, deflate


def upgrade_request(fields: Any, target: str, subprotocols: list[str] | None,
                    compression: str | None) -> tuple[bytes, bytes]:
    """The HTTP/1.1 opening handshake (RFC 6455 section 4.1) with the request's ``fields``:
    its bytes and its Sec-WebSocket-Key."""
    key = base64.b64encode(os.urandom(16))
    hm = _v.HeaderMap(fields)
    hm["upgrade"] = "websocket"
    hm["connection"] = "Upgrade"
    hm["sec-websocket-key"] = key
    hm["sec-websocket-version"] = "13"
    _offer(hm, subprotocols, compression)
    return _v.H1Codec().serialize_request("GET", target, hm), key


def _offer(hm: Any, subprotocols: list[str] | None, compression: str | None) -> None:
    """The handshake's subprotocol and permessage-deflate offers."""
    if subprotocols:
        hm["sec-websocket-protocol"] = ", ".join(subprotocols)
    if compression == "deflate":
        hm["sec-websocket-extensions"] = _v.ws_deflate_offer(client_max_window_bits=15)


class _Connect:
    """``client.websocket(url)``: an async context manager yielding the open session."""

    def __init__(self, client: Any, url: str, subprotocols: list[str] | None, headers: Any,
                 compression: str | None, max_size: int, timeout: float | None) -> None:
        self._args = (client, url, subprotocols, headers, compression, timeout)
        self._max_size = max_size
        self._session: WebSocketSession | None = None

    async def __aenter__(self) -> WebSocketSession:
        session = WebSocketSession(max_size=self._max_size)
        try:
            await session._open(*self._args)
        except ssl.SSLError as exc:
            raise ConnectError(f"TLS handshake failed: {exc}") from exc
        except OSError as exc:
            raise ConnectError(f"cannot connect: {exc}") from exc
        self._session = session
        return session

    async def __aexit__(self, *exc: Any) -> None:
        if self._session is not None:
            await self._session.close()


def connect(client: Any, url: str, *, subprotocols: list[str] | None = None,
            headers: Any = None, compression: str | None = "deflate",
            max_size: int = 16 * 1024 * 1024, timeout: float | None = 30.0) -> _Connect:
    return _Connect(client, url, subprotocols, headers, compression, max_size, timeout)
