"""Faults: clients that vanish, half-open connections, slow readers and writers, handlers that
never answer; after each, no task, file descriptor or memory is left behind."""

from __future__ import annotations

import gc
import resource
import socket
import time

import httpx
import pytest

from asgi_apps import Recorder
from server_util import Running, connect, open_fds, read_until_close


def rss_kib() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize() // 1024


@pytest.fixture
def app():
    return Recorder()


def test_client_vanishes_mid_request_body(app):
    with Running(app) as srv:
        fds = open_fds()
        with connect(srv.port) as s:
            s.sendall(b"POST /echo HTTP/1.1\r\nhost: x\r\ncontent-length: 100000\r\n\r\n")
            s.sendall(b"a" * 5000)
            srv.wait_for(lambda: srv.tasks() == 1)
        srv.wait_for(lambda: "http.disconnect" in app.events)
        srv.wait_idle()
        assert open_fds() == fds


def test_client_vanishes_mid_response(app):
    with Running(app) as srv:
        fds = open_fds()
        with connect(srv.port) as s:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            s.sendall(b"GET /big?64 HTTP/1.1\r\nhost: x\r\n\r\n")
            s.recv(1000)
            # reset: the server's next writes fail
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        srv.wait_for(lambda: len(app.send_errors) == 1)
        assert isinstance(app.send_errors[0], OSError)
        srv.wait_idle()
        assert open_fds() == fds


def test_client_half_closes_during_a_streamed_response_is_gone(app):
    with Running(app) as srv:
        with connect(srv.port) as s:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            s.sendall(b"GET /big?64 HTTP/1.1\r\nhost: x\r\n\r\n")
            s.recv(1000)
            s.shutdown(socket.SHUT_WR)  # the watcher reads the end of the stream
            srv.wait_for(lambda: len(app.send_errors) == 1)
        srv.wait_idle()


def test_slow_reader_stalls_the_app_instead_of_buffering(app):
    with Running(app, write_buffer_high=65536) as srv:
        with connect(srv.port) as s:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            s.sendall(b"GET /big?64 HTTP/1.1\r\nhost: x\r\n\r\n")
            s.recv(100)
            time.sleep(0.5)
            buffered = srv.call(lambda: [c._t.get_write_buffer_size()
                                         for c in srv.server.service.connections])
            # 64 MiB were offered; the server holds at most the high-water mark plus a chunk
            assert buffered and max(buffered) <= 65536 + 65536 + 64
            assert srv.tasks() == 1  # the app is parked in send()
            time.sleep(0.3)
            again = srv.call(lambda: [c._t.get_write_buffer_size()
                                      for c in srv.server.service.connections])
            assert max(again) <= 65536 + 65536 + 64  # still bounded, nothing piles up
        # the reader goes away: the parked send fails, the app ends
        srv.wait_for(lambda: len(app.send_errors) == 1)
        srv.wait_idle()


def test_app_not_reading_pauses_the_request_body(app):
    with Running(app, limit_request_body_buffer=65536) as srv:
        with connect(srv.port) as s:
            s.sendall(b"POST /sleep?1 HTTP/1.1\r\nhost: x\r\ncontent-length: 50000000\r\n\r\n")
            s.setblocking(False)
            sent = 0
            deadline = time.monotonic() + 0.6
            while time.monotonic() < deadline:
                try:
                    sent += s.send(b"b" * 65536)
                except BlockingIOError:
                    time.sleep(0.01)
            s.setblocking(True)
            held = srv.call(lambda: [c._dec.buffered for c in srv.server.service.connections])
            assert held and max(held) < 65536 + 262144 + 1
            assert sent < 50_000_000
            data = read_until_close(s)  # the unread body closes the connection after the answer
            assert data.startswith(b"HTTP/1.1 200 OK")
        srv.wait_idle()


def test_many_half_open_connections_are_timed_out(app):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    count = max(10, min(1000, (soft - open_fds() - 100) // 2))
    with Running(app, timeout_request_head=4.0, timeout_keep_alive=1.0,
                 limit_max_connections=count + 50) as srv:
        fds = open_fds()
        socks = []
        try:
            t0 = time.monotonic()
            for i in range(count):
                s = socket.create_connection(("127.0.0.1", srv.port), timeout=10)
                if i % 2:
                    s.sendall(b"GET / HTTP/1.1\r\nhost: x\r\n")  # a head that never ends
                socks.append(s)
            if time.monotonic() - t0 < 3:  # (a loaded machine may be slower than the deadline)
                srv.wait_for(lambda: srv.connections() == count, timeout=3)
            # the server still answers others at once
            with httpx.Client(timeout=5) as c:
                assert c.get(srv.url("/")).text == "Hello, world!"
            # the head deadline closes every one of them
            srv.wait_for(lambda: srv.connections() == 0, timeout=20)
            for s in socks[:20]:
                s.settimeout(5)
                assert read_until_close(s) == b""
        finally:
            for s in socks:
                s.close()
        srv.wait_idle()
        assert open_fds() == fds


@pytest.mark.parametrize("held_idle", [False, True])
def test_connections_beyond_the_limit(app, held_idle):
    # Held connections waiting for their first head are kept and the newcomer is answered 503
    # (a reset would reach it before any answer); held keep-alive connections between requests
    # make room, the one idle the longest first, and the newcomer is served.
    get = b"GET / HTTP/1.1\r\nhost: x\r\n\r\n"
    with Running(app, limit_max_connections=3, timeout_keep_alive=5,
                 timeout_request_head=0.4 if held_idle else 10) as srv:
        socks = [connect(srv.port) for _ in range(3)]
        for s in socks:
            if held_idle:
                s.sendall(get)
                assert s.recv(4096).endswith(b"Hello, world!")
                time.sleep(0.15)  # (two sweeps: the deadlines differ)
        srv.wait_for(lambda: srv.connections() == 3)
        with connect(srv.port) as extra:
            extra.sendall(get)
            if held_idle:
                assert extra.recv(4096).endswith(b"Hello, world!")
                assert read_until_close(socks[0]) == b""
                socks[1].sendall(get)
                assert socks[1].recv(4096).endswith(b"Hello, world!")
            else:
                reply = read_until_close(extra)
                assert reply.startswith(b"HTTP/1.1 503 Service Unavailable\r\n")
                assert b"connection: close\r\n" in reply.lower()
                with connect(srv.port) as h2c:  # no head to answer: closed, not served
                    h2c.sendall(b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n")
                    assert read_until_close(h2c) == b""
        for s in socks:
            s.close()
        srv.wait_idle()


def test_handler_that_never_responds_does_not_stop_the_timeouts(app):
    with Running(app, timeout_request_head=0.5, timeout_keep_alive=0.5) as srv:
        hung = connect(srv.port)
        hung.sendall(b"GET /hang HTTP/1.1\r\nhost: x\r\n\r\n")
        srv.wait_for(lambda: srv.tasks() == 1)
        idle = connect(srv.port)
        idle.sendall(b"GET / HTTP/1.1\r\nhost: x\r\n\r\n")
        assert idle.recv(4096).endswith(b"Hello, world!")
        slow = connect(srv.port)
        slow.sendall(b"GET / HTTP/1.1\r\n")
        t0 = time.monotonic()
        assert read_until_close(idle) == b""  # keep-alive timeout
        assert read_until_close(slow) == b""  # head timeout
        assert time.monotonic() - t0 < 3
        assert srv.connections() == 1 and srv.tasks() == 1  # the hung request still runs
        hung.close()
        srv.wait_for(lambda: "http.disconnect" in app.events)
        srv.wait_idle()
        idle.close()
        slow.close()


def test_limit_concurrency_answers_503(app):
    with Running(app, limit_concurrency=1) as srv:
        hung = connect(srv.port)
        hung.sendall(b"GET /hang HTTP/1.1\r\nhost: x\r\n\r\n")
        srv.wait_for(lambda: srv.tasks() == 1)
        with httpx.Client(timeout=5) as c:
            assert c.get(srv.url("/")).status_code == 503
        hung.close()
        srv.wait_idle()


def test_no_growth_over_many_requests(app):
    with Running(app) as srv:
        def batch(n):
            with httpx.Client(timeout=5) as c:
                for i in range(n):
                    c.post(srv.url("/echo"), content=b"q" * 1000)
                    c.get(srv.url("/stream?3"))
        batch(300)
        gc.collect()
        fds, before = open_fds(), rss_kib()
        batch(1500)
        gc.collect()
        srv.wait_idle()
        assert open_fds() <= fds
        assert rss_kib() - before < 4096, "memory grows with the number of requests"
