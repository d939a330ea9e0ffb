"""Attacks on a running `velmora serve`, scaled down to a few seconds each: during and after
every attack a fresh request is answered within 1 s, the process stays alive and its memory
stays bounded. (bench/attacks.py runs the full-size versions.)"""

from __future__ import annotations

import select
import socket
import struct
import threading
import time

import pytest

from server_util import Running
from h2wire import (
    DATA, GOAWAY, HEADERS, RST_STREAM, SETTINGS, PREFACE, Wire, frame, serve,
)

CONTINUATION = 9
ENHANCE_YOUR_CALM = 11
GET = b"GET / HTTP/1.1\r\nHost: a\r\n\r\n"


def probe(served, timeout=1.0):
    """A fresh connection's request, answered within ``timeout`` seconds."""
    alive = getattr(served, "proc", None)
    t0 = time.monotonic()
    with socket.create_connection(("127.0.0.1", served.port), timeout=timeout) as s:
        s.sendall(GET)
        reply = b""
        while not reply.endswith(b"ok"):
            chunk = s.recv(4096)
            assert chunk, reply
            reply += chunk
    assert reply.startswith(b"HTTP/1.1 200 ") and time.monotonic() - t0 < timeout
    assert alive is None or alive.poll() is None


@pytest.fixture
def served(tmp_path):
    with serve(str(tmp_path), "--timeout-keep-alive", "5") as s:
        probe(s)
        yield s


def runs(served, path):
    """How many times the application ran for ``path`` (asked on a fresh connection)."""
    w = Wire(served.connect())
    try:
        w.handshake()
        status, seen = w.get(1, "/seen", timeout=1.0)
    finally:
        w.close()
    return seen.split(b"\n").count(path.encode())


async def hello(scope, receive, send):
    if scope["type"] == "http":
        await send({"type": "http.response.start", "status": 200,
                    "headers": [(b"content-length", b"2")]})
        await send({"type": "http.response.body", "body": b"ok"})


def test_pipelining_from_a_client_that_never_reads():
    # One connection writes pipelined requests and never reads: once the transport asks the
    # server to pause writing, no further request is parsed and the socket is not read, so
    # what the server holds for this client stays near the transport's high-water mark.
    with Running(hello) as srv:
        s = socket.socket()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.connect(("127.0.0.1", srv.port))
        s.setblocking(False)
        burst, t0 = GET * 2000, time.monotonic()
        try:
            while time.monotonic() - t0 < 3:
                try:
                    s.send(burst)
                except BlockingIOError:
                    time.sleep(0.01)
            probe(srv)
            held = srv.call(lambda: [c._t.get_write_buffer_size()
                                     for c in srv.server.service.connections])
            assert held and max(held) < 1 << 20
        finally:
            s.close()
        probe(srv)


def test_pipelined_requests_held_while_stalled_are_all_answered():
    n = 30000
    with Running(hello) as srv:
        with socket.create_connection(("127.0.0.1", srv.port), timeout=10) as s:
            sender = threading.Thread(target=s.sendall, args=(GET * n,))
            sender.start()
            time.sleep(1.0)  # nothing read: the server stalls, then serves on as we read
            got = b""
            while got.count(b"HTTP/1.1 200 ") < n:
                chunk = s.recv(1 << 20)
                assert chunk
                got += chunk
            sender.join(10)
            assert got.count(b"HTTP/1.1 200 ") == n and got.endswith(b"ok")


def flood(w, make, streams=2000):
    """Sends ``make(sid)`` for ``streams`` streams, 100 at a time, reading what comes back in
    between; stops once the server ends the connection."""
    for first in range(1, 2 * streams, 200):
        try:
            w.send(b"".join(make(sid) for sid in range(first, first + 200, 2)))
            w.until(lambda: w.goaway() is not None, timeout=0.01)
        except (AssertionError, OSError):
            pass
        if w.closed or w.goaway() is not None:
            break
    try:
        w.until(lambda: w.goaway() is not None, timeout=2.0)
    except AssertionError:
        pass  # (a reset may overtake the GOAWAY: the bytes it did not read are dropped)


@pytest.mark.parametrize("path, make", [
    # Rapid Reset: HEADERS then RST_STREAM(CANCEL)
    ("/a", lambda w, sid: w.headers(sid, "/a") + frame(RST_STREAM, 0, sid, struct.pack(">I", 8))),
    # MadeYouReset: one byte declared, two sent; the server must reset the stream
    ("/m", lambda w, sid: w.headers(sid, "/m", [("content-length", "1")], end_stream=False)
     + frame(DATA, 1, sid, b"ab")),
])
def test_reset_floods_end_the_connection(served, path, make):
    w = Wire(served.connect())
    try:
        w.handshake()
        flood(w, lambda sid: make(w, sid))
        assert w.closed or w.goaway() is not None
        if w.goaway() is not None:
            assert w.goaway()[1] == ENHANCE_YOUR_CALM
        probe(served)
    finally:
        w.close()
    probe(served)
    assert runs(served, path) <= 400  # of 2000


def bomb(w, sid):
    """One 16 KiB header block that decodes to ~48 MiB: a 4 KiB field put in the dynamic
    table, then referenced over and over."""
    block = w.enc.encode([(":method", "GET"), (":scheme", "http"), (":authority", "t"),
                          (":path", "/b")])
    block += w.enc.encode([("x-bomb", "a" * 4000)])  # (indexed: it enters the table)
    block += b"\xbe" * (16384 - len(block))  # index 62: the entry just added
    return frame(HEADERS, 4 | 1, sid, block)


@pytest.mark.parametrize("attack, code", [
    # without acknowledging our SETTINGS: our limits hold from the first frame
    (lambda w: bomb(w, 1), ENHANCE_YOUR_CALM),
    (lambda w: frame(HEADERS, 0, 1, w.headers(1, "/c")[9:])
     + frame(CONTINUATION, 0, 1, b"\x00" * 16384) * 40, ENHANCE_YOUR_CALM),
])
def test_header_floods_before_the_settings_ack(served, attack, code):
    base = served.rss_kib()
    conns = []
    for _ in range(20):
        w = Wire(served.connect(), ack=False)  # our SETTINGS are never acknowledged
        w.send(PREFACE + frame(SETTINGS, 0, 0, b""))
        try:
            w.send(attack(w))
        except OSError:
            pass
        conns.append(w)
    probe(served)
    for w in conns:
        w.until(lambda: w.goaway() is not None, timeout=2.0)
        assert w.goaway() == (0, code)
        w.close()
    assert served.rss_kib() - base < 32 * 1024
    probe(served)


def test_held_keep_alive_connections_make_room(tmp_path):
    # Every slot is held by a kept-alive connection; a newcomer is served, the connection idle
    # the longest closed for it (once: the slot it frees stays free).
    args = ("--limit-max-connections", "50", "--timeout-keep-alive", "60")
    with serve(str(tmp_path), *args) as served:
        held = []
        for i in range(50):
            s = socket.create_connection(("127.0.0.1", served.port), timeout=2)
            s.sendall(GET)
            assert s.recv(4096).endswith(b"ok")
            held.append(s)
            if i == 0:
                time.sleep(1.1)  # (a sweep apart: the first was idle the longest)
        for _ in range(5):
            probe(served)
        time.sleep(0.2)
        readable, _, _ = select.select(held, [], [], 0)
        assert [held.index(s) for s in readable] == [0]  # one made room; the others stay
        assert all(s.recv(1) == b"" for s in readable)
        for s in held:
            s.close()
