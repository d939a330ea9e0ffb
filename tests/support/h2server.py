"""A small scriptable HTTP/2 server (h2c) on the `h2` package, for the client's HTTP/2 tests:
each test gives a handler that decides, per finished request, what the server does (answer,
echo, reset, GOAWAY, stall, cut the connection)."""

from __future__ import annotations

import asyncio
import contextlib
from collections.abc import AsyncIterator, Awaitable, Callable
from typing import Any

import h2.config
import h2.connection
import h2.events
import h2.exceptions
import h2.settings


class Request:
    def __init__(self, sid: int, headers: list[tuple[bytes, bytes]]) -> None:
        self.sid = sid
        self.headers = dict(headers)
        self.body = bytearray()
        self.trailers: dict[bytes, bytes] | None = None

    @property
    def path(self) -> bytes:
        return self.headers[b":path"]


class Conn:
    """One server connection; handlers call its methods."""

    def __init__(self, server: H2Server, reader: asyncio.StreamReader,
                 writer: asyncio.StreamWriter) -> None:
        self.server = server
        self.reader = reader
        self.writer = writer
        cfg = h2.config.H2Configuration(client_side=False, header_encoding=None)
        self.h2 = h2.connection.H2Connection(cfg)
        self.requests: dict[int, Request] = {}
        self.window_open = asyncio.Event()
        self.closed = False
        self.terminated: tuple[int, int | None] | None = None  # the client's GOAWAY
        self.resets: dict[int, int] = {}  # stream id -> error code of the client's RST_STREAM

    def flush(self) -> None:
        data = self.h2.data_to_send()
        if data and not self.closed:
            self.writer.write(data)

    async def respond(self, sid: int, status: int = 200, body: bytes = b"",
                      headers: list[tuple[bytes, bytes]] | None = None,
                      trailers: list[tuple[bytes, bytes]] | None = None) -> None:
        hs = [(b":status", str(status).encode())] + (headers or [])
        end = not body and trailers is None
        self.h2.send_headers(sid, hs, end_stream=end)
        self.flush()
        if not end:
            await self.send_body(sid, body, end=trailers is None)
            if trailers is not None:
                self.h2.send_headers(sid, trailers, end_stream=True)
                self.flush()

    async def send_body(self, sid: int, body: bytes, end: bool = True) -> None:
        off = 0
        while off < len(body) or (end and off == 0 and not body):
            n = min(len(body) - off, self.h2.local_flow_control_window(sid),
                    self.h2.max_outbound_frame_size)
            if n <= 0:
                self.window_open.clear()
                await asyncio.wait_for(self.window_open.wait(), 10)
                continue
            last = end and off + n == len(body)
            self.h2.send_data(sid, body[off:off + n], end_stream=last)
            off += n
            self.flush()
            await self.writer.drain()
            if not body:
                break

    def reset(self, sid: int, code: int) -> None:
        self.h2.reset_stream(sid, code)
        self.flush()

    def goaway(self, last_stream_id: int, code: int = 0) -> None:
        """Write a GOAWAY frame by hand: `h2` would refuse to send anything after its own, and
        the streams up to ``last_stream_id`` still get their responses."""
        self.flush()
        payload = last_stream_id.to_bytes(4, "big") + code.to_bytes(4, "big")
        self.writer.write(len(payload).to_bytes(3, "big") + b"\x07\x00" + bytes(4) + payload)

    def abort(self) -> None:
        self.closed = True
        self.writer.transport.abort()


Handler = Callable[[Conn, Request], Awaitable[None]]


class H2Server:
    def __init__(self, handler: Handler, settings: dict[int, int] | None = None,
                 on_headers: Callable[[Conn, Request], None] | None = None,
                 preface: bytes = b"", ack_delay: float = 0.0) -> None:
        self.handler = handler
        self.preface = preface  # raw bytes written before the server's SETTINGS
        self.ack_delay = ack_delay  # seconds before received DATA is given back as window
        self.settings = settings or {}
        self.on_headers = on_headers
        self.connections = 0
        self.conns: list[Conn] = []
        self.tasks: set[asyncio.Task[Any]] = set()

    async def serve(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        self.connections += 1
        c = Conn(self, reader, writer)
        self.conns.append(c)
        if self.settings:
            c.h2.local_settings = h2.settings.Settings(client=False,
                                                       initial_values=self.settings)
        if self.preface:
            writer.write(self.preface)
        c.h2.initiate_connection()
        c.flush()
        try:
            while not c.closed:
                data = await reader.read(65536)
                if not data:
                    break
                try:
                    events = c.h2.receive_data(data)
                except h2.exceptions.ProtocolError:
                    c.flush()
                    break
                for ev in events:
                    self._event(c, ev)
                c.flush()
        except (ConnectionError, asyncio.CancelledError):
            pass
        finally:
            c.closed = True
            writer.close()

    def _event(self, c: Conn, ev: Any) -> None:
        if isinstance(ev, h2.events.RequestReceived):
            req = c.requests[ev.stream_id] = Request(ev.stream_id, ev.headers)
            if self.on_headers is not None:
                self.on_headers(c, req)
            if ev.stream_ended is not None:
                self._start(c, req)
        elif isinstance(ev, h2.events.DataReceived):
            req = c.requests.get(ev.stream_id)
            if req is not None:
                req.body += ev.data
            if ev.flow_controlled_length:
                if self.ack_delay:
                    asyncio.get_running_loop().call_later(
                        self.ack_delay, self._ack, c, ev.flow_controlled_length, ev.stream_id)
                else:
                    self._ack(c, ev.flow_controlled_length, ev.stream_id, flush=False)
            if ev.stream_ended is not None and req is not None:
                self._start(c, req)
        elif isinstance(ev, h2.events.TrailersReceived):
            req = c.requests.get(ev.stream_id)
            if req is not None:
                req.trailers = dict(ev.headers)
                self._start(c, req)
        elif isinstance(ev, h2.events.StreamReset):
            c.resets[ev.stream_id] = int(ev.error_code)
        elif isinstance(ev, h2.events.ConnectionTerminated):
            c.terminated = (int(ev.error_code), ev.last_stream_id)
        elif isinstance(ev, h2.events.WindowUpdated | h2.events.RemoteSettingsChanged):
            c.window_open.set()

    @staticmethod
    def _ack(c: Conn, n: int, sid: int, flush: bool = True) -> None:
        with contextlib.suppress(h2.exceptions.StreamClosedError):
            c.h2.acknowledge_received_data(n, sid)
        if flush:
            c.flush()

    def _start(self, c: Conn, req: Request) -> None:
        t = asyncio.get_running_loop().create_task(self._run(c, req))
        self.tasks.add(t)
        t.add_done_callback(self.tasks.discard)

    async def _run(self, c: Conn, req: Request) -> None:
        try:
            await self.handler(c, req)
        except (h2.exceptions.StreamClosedError, h2.exceptions.ProtocolError,
                ConnectionError, asyncio.TimeoutError):
            pass


@contextlib.asynccontextmanager
async def h2_server(handler: Handler, **kw: Any) -> AsyncIterator[tuple[H2Server, int]]:
    srv = H2Server(handler, **kw)
    server = await asyncio.start_server(srv.serve, "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    try:
        yield srv, port
    finally:
        server.close()
        for c in srv.conns:
            c.abort()
        for t in list(srv.tasks):
            t.cancel()
        await asyncio.sleep(0)
