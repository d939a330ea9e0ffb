"""The WebSocket client over HTTP/2 (RFC 8441) against velmora's own server, h2c and TLS: the
session shares the pooled connection with plain requests."""

from __future__ import annotations

import asyncio

import pytest
import websockets

from tests.client.test_client_proxy import tls_pair  # noqa: F401 - a fixture
from tests.server.test_server_clients import make_certificate
from tests.server.test_server_websocket import WSApp
from tests.support.server_util import Running
from velmora.client import AsyncClient
from velmora.client.websocket import WebSocketClosed, WebSocketHandshakeError


@pytest.fixture(scope="module", params=["h2c", "tls"])
def served(request, tmp_path_factory):
    """(server, scheme, client options) for each way of reaching the server over HTTP/2."""
    app = WSApp()
    if request.param == "h2c":
        with Running(app, ws_ping_interval=None) as srv:
            srv.app = app
            yield srv, "ws", {"http2_prior_knowledge": True}
        return
    certfile, keyfile = make_certificate(tmp_path_factory.mktemp("cert"))
    with Running(app, ws_ping_interval=None, ssl_certfile=certfile, ssl_keyfile=keyfile) as srv:
        srv.app = app
        yield srv, "wss", {"http2": True, "verify": certfile}


def _run(served, session):
    srv, scheme, options = served

    async def main():
        async with AsyncClient(**options) as client:
            base = f"{scheme}://localhost:{srv.port}"
            before = (await client.get(base.replace("ws", "http", 1) + "/")).text
            result = await session(client, base)
            after = await client.get(base.replace("ws", "http", 1) + "/")
            assert (before, after.text, after.http_version) == ("plain GET", "plain GET",
                                                                "HTTP/2")
            assert client.pool.connections == 1  # one connection carried everything
            return result

    return asyncio.run(main())


@pytest.mark.parametrize("compression", ["deflate", None])
def test_echo_and_close_over_h2(served, compression):
    messages = ["over h2", "é" * 3000, b"\x00" * 70000, "z" * 300000]

    async def session(client, base):
        async with client.websocket(base + "/echo", subprotocols=["a", "chat"],
                                    compression=compression) as ws:
            assert ws.subprotocol == "chat"
            got_ext = any(k == b"sec-websocket-extensions" for k, _ in ws.response_headers)
            out = []
            for m in messages:
                await ws.send(m)
                out.append(await ws.receive())
            await ws.ping(b"p")
        return out, got_ext

    out, got_ext = _run(served, session)
    assert out == messages
    assert got_ext == (compression == "deflate")
    srv = served[0]
    srv.wait_for(lambda: srv.app.closed and srv.app.closed[-1]["code"] == 1000)
    assert srv.app.scopes[-1]["http_version"] == "2"


def test_server_close_code_and_denial(served):
    async def session(client, base):
        async with client.websocket(base + "/close") as ws:
            with pytest.raises(WebSocketClosed) as closed:
                await ws.receive()
        with pytest.raises(WebSocketHandshakeError) as denied:
            async with client.websocket(base + "/deny"):
                pass
        return closed.value, denied.value.status

    closed, status = _run(served, session)
    assert (closed.code, closed.reason, status) == (4001, "bye", 401)


def test_a_client_that_does_not_read_stops_the_server(served):
    """A session that does not receive stops the server's sends (the stream's window stays
    closed) while a plain request on the same connection goes through."""
    srv = served[0]

    async def session(client, base):
        srv.app.sent = 0
        async with client.websocket(base + "/flood", compression=None) as ws:
            await asyncio.to_thread(srv.wait_for, lambda: srv.app.sent >= 40)
            plain = await client.get(base.replace("ws", "http", 1) + "/")
            sent = srv.app.sent
            first = await ws.receive()
        return plain.text, sent, first

    text, sent, first = _run(served, session)
    # at most the queue of 32 messages and the stream window of 1 MiB (16 messages) are out
    assert (text, first) == ("plain GET", bytes(65536))
    assert sent < 64


def test_http1_when_alpn_does_not_choose_h2(tls_pair):  # noqa: F811
    server_ctx, cafile = tls_pair

    async def echo(ws):
        async for message in ws:
            await ws.send(message)

    async def main():
        srv = await websockets.serve(echo, "127.0.0.1", 0, ssl=server_ctx)
        port = srv.sockets[0].getsockname()[1]
        async with AsyncClient(http2=True, verify=cafile) as client:
            async with client.websocket(f"wss://localhost:{port}/") as ws:
                await ws.send("over http/1.1")
                got = await ws.receive()
        srv.close()
        await srv.wait_closed()
        return got

    assert asyncio.run(main()) == "over http/1.1"


def test_sends_wait_for_a_server_that_does_not_read(served):
    """Messages beyond the stream's window wait (the session's send blocks) while a plain
    request on the same connection goes through; once the application reads, all arrive."""
    srv = served[0]
    messages = [bytes([i]) * 65536 for i in range(64)]  # 4 MiB: beyond every window

    async def session(client, base):
        srv.app.go = False
        async with client.websocket(base + "/late-reader", compression=None) as ws:
            sender = asyncio.ensure_future(_send_all(ws, messages))
            await asyncio.wait_for(_until(lambda: ws._write_paused), 10)
            plain = await client.get(base.replace("ws", "http", 1) + "/")
            blocked = not sender.done()
            srv.app.go = True
            got = [await ws.receive() for _ in messages]
            await sender
        srv.app.go = False
        return plain.text, blocked, got

    text, blocked, got = _run(served, session)
    assert (text, blocked, got == messages) == ("plain GET", True, True)


async def _send_all(ws, messages):
    for m in messages:
        await ws.send(m)


async def _until(predicate):
    while not predicate():
        await asyncio.sleep(0.01)
