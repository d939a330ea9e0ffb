"""The HTTP/1 client connection driven without sockets: responses cut at arbitrary points (and
byte by byte) give the same heads, bodies and reuse decisions; what the connection writes is
checked against h11 as an independent server-side parser."""

from __future__ import annotations

import asyncio

import h11
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from velmora import HeaderMap
from velmora.client.h1 import Connection
from velmora.client.timeouts import Timeout

RESPONSES = [
    # (wire, body, reusable)
    (b"HTTP/1.1 200 OK\r\ncontent-length: 5\r\n\r\nhello", b"hello", True),
    (b"HTTP/1.1 200 OK\r\ntransfer-encoding: chunked\r\n\r\n3\r\nabc\r\n2;x=y\r\nde\r\n0\r\n"
     b"x-t: 1\r\n\r\n", b"abcde", True),
    (b"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 204 No Content\r\n\r\n", b"", True),
    (b"HTTP/1.1 200 OK\r\nconnection: close\r\ncontent-length: 2\r\n\r\nhi", b"hi", False),
    (b"HTTP/1.0 200 OK\r\ncontent-length: 3\r\n\r\nold", b"old", False),
    (b"HTTP/1.1 200 OK\r\n\r\nuntil close", b"until close", False),
]


class FakeTransport(asyncio.Transport):
    def __init__(self):
        super().__init__()
        self.written = bytearray()
        self.closed = False
        self.paused = False
        self.protocol = None

    def write(self, data):
        self.written += data

    def close(self):
        self.closed = True

    def is_closing(self):
        return self.closed

    def pause_reading(self):
        self.paused = True

    def resume_reading(self):
        self.paused = False

    def set_protocol(self, protocol):
        self.protocol = protocol

    def get_extra_info(self, name, default=None):
        return default


class FakePool:
    def __init__(self):
        self.reused = []

    def released(self, conn, reusable):
        self.reused.append(reusable)
        if reusable:
            conn.idle()

    def lost(self, conn):
        pass


def cut(wire: bytes, points: list[int]) -> list[bytes]:
    points = sorted({p % (len(wire) + 1) for p in points} | {0, len(wire)})
    return [wire[a:b] for a, b in zip(points, points[1:]) if b > a]


async def exchange(conn, pieces, wire):
    loop = asyncio.get_running_loop()
    assert conn.try_begin_exchange()
    task = loop.create_task(conn.send("GET", "/", HeaderMap([("host", "h")]), None,
                                      Timeout(2.0)))
    await asyncio.sleep(0)
    close_delimited = b"\r\n\r\nuntil" in wire
    for piece in pieces:
        conn.data_received(piece)
        await asyncio.sleep(0)
    if close_delimited:
        conn.eof_received()
    head = (await task).head
    body = conn.take_complete_body()
    if body is None:
        parts = []
        while (chunk := await conn.read_chunk(2.0)) is not None:
            parts.append(chunk)
        body = b"".join(parts)
    return head, body


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(which=st.integers(0, len(RESPONSES) - 1),
       points=st.lists(st.integers(0, 200), max_size=8))
def test_any_cut_gives_the_same_response(which, points):
    wire, want, reusable = RESPONSES[which]

    async def main():
        t = FakeTransport()
        pool = FakePool()
        conn = Connection(t, pool)
        head, body = await exchange(conn, cut(wire, points), wire)
        return head.status, body, pool.reused, t.closed
    status, body, released, closed = asyncio.run(main())
    assert body == want
    assert released == [reusable] and closed == (not reusable)


def test_byte_by_byte_then_reuse():
    async def main():
        t = FakeTransport()
        pool = FakePool()
        conn = Connection(t, pool)
        out = []
        for wire, want, reusable in RESPONSES[:3]:
            head, body = await exchange(conn, [wire[i:i + 1] for i in range(len(wire))], wire)
            out.append(body)
        return out, pool.reused, bytes(t.written)
    bodies, released, written = asyncio.run(main())
    assert bodies == [b"hello", b"abcde", b""] and released == [True] * 3
    # h11, as the server, reads exactly three GET requests from what was written
    server = h11.Connection(h11.SERVER)
    server.receive_data(written)
    targets = []
    while True:
        ev = server.next_event()
        if ev is h11.NEED_DATA:
            break
        if isinstance(ev, h11.Request):
            targets.append((ev.method, ev.target, dict(ev.headers)[b"host"]))
        elif isinstance(ev, h11.EndOfMessage):
            server.send(h11.Response(status_code=200, headers=[("content-length", "0")]))
            server.send(h11.EndOfMessage())
            server.start_next_cycle()
    assert targets == [(b"GET", b"/", b"h")] * 3


@pytest.mark.parametrize("extra", [b"X", b"HTTP/1.1 200 OK\r\n\r\n"])
def test_bytes_past_a_complete_response_close_the_connection(extra):
    async def main():
        t = FakeTransport()
        pool = FakePool()
        conn = Connection(t, pool)
        wire = RESPONSES[0][0] + extra
        head, body = await exchange(conn, [wire], wire)
        return body, pool.reused, t.closed
    assert asyncio.run(main()) == (b"hello", [False], True)


def test_idle_eof_and_idle_bytes_verdicts():
    async def main():
        out = []
        for event in ("eof", "bytes"):
            t = FakeTransport()
            pool = FakePool()
            conn = Connection(t, pool)
            await exchange(conn, [RESPONSES[0][0]], RESPONSES[0][0])
            assert conn.has_watcher  # parked while idle
            if event == "eof":
                conn.eof_received()
            else:
                conn.data_received(b"HTTP/1.1 408 x\r\n\r\n")
            out.append((t.closed, conn.is_dead(), repr(conn.error)))
        return out
    assert asyncio.run(main()) == [
        (True, True, "None"),
        (True, True, "H1UnexpectedMessageError('received unexpected message from connection')"),
    ]
