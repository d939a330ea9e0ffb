"""The programmatic API: embedding Server, lifespan outcomes, the HTTP/2 hand-off point,
velmora.serve()."""

from __future__ import annotations

import asyncio
import signal
import socket
import subprocess
import sys
import time

import httpx
import pytest

from velmora import H2_PREFACE
from velmora.server import Config, Server
from velmora.server import server as server_module
from server_util import Running, connect, read_until_close


def run(coro, timeout=20):
    return asyncio.run(asyncio.wait_for(coro, timeout))


def test_embedded_server_port_zero_and_should_exit():
    seen = []

    async def app(scope, receive, send):
        if scope["type"] == "lifespan":
            while True:
                msg = await receive()
                seen.append(msg["type"])
                await send({"type": msg["type"] + ".complete"})
                if msg["type"] == "lifespan.shutdown":
                    return
        scope["state"]["n"] = 1  # a request's copy of the state, not the server's
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b"embedded"})

    async def main():
        server = Server(Config(app, port=0, access_log=False))
        task = asyncio.create_task(server.serve())
        await server.wait_started()
        assert server.started and server.port
        async with httpx.AsyncClient() as c:
            r = await c.get(f"http://127.0.0.1:{server.port}/")
        assert r.text == "embedded"
        server.should_exit = True
        await task
        assert server.service.lifespan_state == {}

    run(main())
    assert seen == ["lifespan.startup", "lifespan.shutdown"]


@pytest.mark.parametrize("mode,started", [("on", False), ("auto", True)])
def test_lifespan_failures(mode, started):
    async def failing(scope, receive, send):
        if scope["type"] == "lifespan":
            await receive()
            await send({"type": "lifespan.startup.failed", "message": "no database"})
            return

    async def unsupported(scope, receive, send):
        assert scope["type"] == "http"  # raises for lifespan

    async def main(app):
        server = Server(Config(app, port=0, lifespan=mode, access_log=False))
        task = asyncio.create_task(server.serve())
        await server.wait_started()
        ok = server.started
        server.should_exit = True
        await task
        return ok, server.startup_failed

    assert run(main(failing)) == (False, True)
    assert run(main(unsupported)) == (started, not started)


def test_http2_preface_is_handed_to_the_http2_factory(monkeypatch):
    got = []

    def factory(service, transport, leftover):
        class Proto(asyncio.Protocol):
            def data_received(self, data):
                got.append(data)
                transport.write(b"h2:" + data)
                transport.close()

        proto = Proto()
        transport.set_protocol(proto)
        got.append(leftover)
        transport.write(b"h2:" + leftover)
        return proto

    monkeypatch.setattr(server_module, "_h2_factory", lambda: factory)

    async def app(scope, receive, send):
        pass

    with Running(app) as srv:
        with connect(srv.port) as s:
            s.sendall(H2_PREFACE)
            time.sleep(0.2)
            s.sendall(b"\x00\x00\x00\x04\x00\x00\x00\x00\x00")  # an empty SETTINGS frame
            data = read_until_close(s)
    assert got[0] == H2_PREFACE
    assert data.startswith(b"h2:" + H2_PREFACE)


def test_velmora_serve_blocks_until_sigint(tmp_path):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    code = (
        "import velmora\n"
        "async def app(scope, receive, send):\n"
        "    if scope['type'] == 'http':\n"
        "        await send({'type': 'http.response.start', 'status': 200, 'headers': []})\n"
        "        await send({'type': 'http.response.body', 'body': b'served'})\n"
        f"velmora.serve(app, port={port}, lifespan='off')\n"
    )
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT)
    try:
        deadline = time.monotonic() + 20
        while True:
            try:
                r = httpx.get(f"http://127.0.0.1:{port}/", timeout=5)
                break
            except httpx.TransportError:
                assert time.monotonic() < deadline and proc.poll() is None
                time.sleep(0.05)
        assert r.text == "served"
        proc.send_signal(signal.SIGINT)
        assert proc.wait(20) == 0
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def test_graceful_stop_closes_idle_connections_and_finishes_requests_and_heads():
    from asgi_apps import Recorder

    app = Recorder()
    srv = Running(app, timeout_graceful_shutdown=10)
    srv.__enter__()
    try:
        idle = connect(srv.port)
        idle.sendall(b"GET / HTTP/1.1\r\nhost: x\r\n\r\n")
        assert idle.recv(4096).endswith(b"Hello, world!")
        busy = connect(srv.port)
        busy.sendall(b"GET /sleep?1 HTTP/1.1\r\nhost: x\r\n\r\n")
        srv.wait_for(lambda: srv.tasks() == 1)
        partial = connect(srv.port)
        partial.sendall(b"GET / HTTP/1.1\r\n")
        srv.wait_for(lambda: srv.connections() == 3)
        t0 = time.monotonic()
        srv.server.should_exit = True
        assert read_until_close(idle) == b""
        partial.sendall(b"host: x\r\n\r\n")  # a head begun before the stop is served
        for s in (partial, busy):
            data = read_until_close(s)
            assert data.startswith(b"HTTP/1.1 200 OK") and b"connection: close" in data
            assert data.endswith(b"Hello, world!")
        assert time.monotonic() - t0 < 5
    finally:
        srv.stop()
    for s in (idle, busy, partial):
        s.close()
