"""The blocking client's WebSocket sessions against the websockets package's servers: its
threaded server, and its asyncio server (with the test proxy) while the client blocks in a
worker thread."""

from __future__ import annotations

import asyncio
import threading

import pytest
from websockets.sync.server import serve

from tests.client.test_client_proxy import Proxy, tls_pair  # noqa: F401 - a fixture
from tests.client.test_client_websocket import _echo, _serving
from velmora.client import Client
from velmora.client.errors import ReadTimeout
from velmora.client.websocket import WebSocketClosed, WebSocketHandshakeError


def _sync_echo(ws):
    for message in ws:
        if message == "close-4003":
            ws.close(4003, "asked")
            return
        ws.send(message)


@pytest.fixture(scope="module", params=["deflate", None])
def sync_server(request):
    with serve(_sync_echo, "127.0.0.1", 0, compression=request.param,
               subprotocols=["chat", "other"]) as server:
        thread = threading.Thread(target=server.serve_forever, daemon=True)
        thread.start()
        yield server.socket.getsockname()[1], request.param
        server.shutdown()
    thread.join(10)


@pytest.mark.parametrize("client_compression", ["deflate", None])
def test_echo_ping_and_close_code(sync_server, client_compression):
    port, server_compression = sync_server
    messages = ["hi", "é" * 3000, b"\x00" * 70000, "z" * 200000]
    with Client() as client:
        with client.websocket(f"ws://127.0.0.1:{port}/x", subprotocols=["chat"],
                              compression=client_compression) as ws:
            assert ws.subprotocol == "chat"
            negotiated = any(k == b"sec-websocket-extensions" for k, _ in ws.response_headers)
            out = []
            for m in messages:
                ws.send(m)
                out.append(ws.receive())
            ws.ping(b"p")
            with pytest.raises(ReadTimeout):
                ws.receive(timeout=0.2)  # nothing was sent: nothing comes
            ws.send("close-4003")
            with pytest.raises(WebSocketClosed) as closed:
                ws.receive()
    assert out == messages
    assert negotiated == (server_compression == client_compression == "deflate")
    assert (closed.value.code, closed.value.reason) == (4003, "asked")


def test_one_thread_sends_while_another_receives(sync_server):
    port, _ = sync_server
    messages = [f"m{i}" * (i % 50 + 1) for i in range(300)]
    with Client() as client, client.websocket(f"ws://127.0.0.1:{port}/",
                                              subprotocols=["other"]) as ws:
        sender = threading.Thread(target=lambda: [ws.send(m) for m in messages])
        sender.start()
        got = [ws.receive(timeout=10) for _ in messages]
        sender.join(10)
        ws.close()
        got_after_close = list(ws)  # iteration ends: the session closed normally
    assert got == messages and got_after_close == []


@pytest.mark.parametrize("scheme,proxied", [("ws", False), ("wss", False), ("wss", True),
                                            ("ws", True)])
def test_tls_proxy_and_refusal_against_the_asyncio_server(tls_pair, scheme, proxied):
    server_ctx, cafile = tls_pair

    def blocking(port, proxy_url):
        kwargs = {"proxy": proxy_url} if proxied else {}
        with Client(verify=cafile, **kwargs) as client:
            with client.websocket(f"{scheme}://localhost:{port}/", subprotocols=["chat"]) as ws:
                ws.send(b"\x01through")
                got = ws.receive()
            with pytest.raises(WebSocketHandshakeError) as denied:
                client.websocket(f"{scheme}://localhost:{port}/deny", subprotocols=["chat"])
        return got, denied.value.status

    async def main():
        srv = await _serving(None) if scheme == "ws" else await _tls_serving(server_ctx)
        port = srv.sockets[0].getsockname()[1]
        async with Proxy() as proxy:
            result = await asyncio.to_thread(blocking, port, proxy.url)
            heads = list(proxy.heads)
        srv.close()
        return result, heads

    (got, status), heads = asyncio.run(main())
    assert (got, status) == (b"\x01through", 403)
    assert [h.split(b" ")[0] for h in heads] == ([b"CONNECT"] * 2 if proxied else [])


async def _tls_serving(ctx):
    import websockets

    from tests.client.test_client_websocket import _select

    return await websockets.serve(_echo, "127.0.0.1", 0, ssl=ctx, subprotocols=["chat"],
                                  process_request=_select)
