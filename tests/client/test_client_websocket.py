"""The WebSocket client against the websockets package's server (and ours over TLS)."""

from __future__ import annotations

import asyncio

import pytest
import websockets

from velmora.client import AsyncClient
from tests.client.test_client_proxy import Proxy, tls_pair  # noqa: F401 - a fixture
from velmora.client.websocket import WebSocketClosed, WebSocketHandshakeError


async def _echo(ws):
    async for message in ws:
        if message == "close-4003":
            await ws.close(4003, "asked")
            return
        await ws.send(message)


def _select(ws, request):
    if request.path == "/deny":
        return ws.respond(403, "no\n")
    return None


async def _serving(compression):
    return await websockets.serve(_echo, "127.0.0.1", 0, compression=compression,
                                  subprotocols=["chat", "other"],
                                  process_request=_select)


@pytest.mark.parametrize("server_compression,client_compression,negotiated", [
    ("deflate", "deflate", True),
    ("deflate", None, False),
    (None, "deflate", False),
])
def test_echo_against_websockets_server(server_compression, client_compression, negotiated):
    messages = ["hi", "é" * 3000, b"\x00" * 70000, "z" * 200000]

    async def run():
        srv = await _serving(server_compression)
        port = srv.sockets[0].getsockname()[1]
        async with AsyncClient() as client:
            async with client.websocket(f"ws://127.0.0.1:{port}/x",
                                        subprotocols=["chat"],
                                        compression=client_compression) as ws:
                assert ws.subprotocol == "chat"
                got_ext = any(k == b"sec-websocket-extensions" for k, _ in ws.response_headers)
                assert got_ext == negotiated
                out = []
                for m in messages:
                    await ws.send(m)
                    out.append(await ws.receive())
                await ws.ping(b"p")
                await ws.send("close-4003")
                with pytest.raises(WebSocketClosed) as closed:
                    await ws.receive()
        srv.close()
        await srv.wait_closed()
        return out, closed.value

    out, closed = asyncio.run(run())
    assert out == messages
    assert (closed.code, closed.reason) == (4003, "asked")


def test_async_iteration_ends_on_normal_close():
    async def run():
        srv = await _serving(None)
        port = srv.sockets[0].getsockname()[1]
        async with AsyncClient() as client:
            async with client.websocket(f"ws://127.0.0.1:{port}/", subprotocols=["chat"]) as ws:
                await ws.send("a")
                await ws.send("b")
                got = []
                async for m in ws:
                    got.append(m)
                    if len(got) == 2:
                        await ws.close()
        srv.close()
        return got

    assert asyncio.run(run()) == ["a", "b"]


def test_refused_handshake_raises():
    async def run():
        srv = await _serving(None)
        port = srv.sockets[0].getsockname()[1]
        async with AsyncClient() as client:
            with pytest.raises(WebSocketHandshakeError) as err:
                async with client.websocket(f"ws://127.0.0.1:{port}/deny", subprotocols=["chat"]):
                    pass
        srv.close()
        return err.value.status

    assert asyncio.run(run()) == 403


@pytest.mark.parametrize("scheme,proxied", [("wss", False), ("wss", True), ("ws", True)])
def test_tls_and_proxy_tunnel(tls_pair, scheme, proxied):
    server_ctx, cafile = tls_pair

    async def run():
        srv = await websockets.serve(_echo, "127.0.0.1", 0,
                                     ssl=server_ctx if scheme == "wss" else None)
        port = srv.sockets[0].getsockname()[1]
        async with Proxy() as proxy:
            kwargs = {"proxy": proxy.url} if proxied else {}
            async with AsyncClient(verify=cafile, **kwargs) as client:
                async with client.websocket(f"{scheme}://localhost:{port}/") as ws:
                    await ws.send("through")
                    got = await ws.receive()
            heads = list(proxy.heads)
        srv.close()
        return got, heads

    got, heads = asyncio.run(run())
    assert got == "through"
    assert [h.split(b" ")[0] for h in heads] == ([b"CONNECT"] if proxied else [])


def test_ws_command_against_our_server():
    import os
    import subprocess
    import sys
    import threading

    from tests.server.test_server_websocket import WSApp
    from tests.support.server_util import Running

    with Running(WSApp()) as srv:
        proc = subprocess.Popen([sys.executable, "-m", "velmora", "ws",
                                 f"ws://127.0.0.1:{srv.port}/echo"], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, text=True, env=os.environ)
        watchdog = threading.Timer(30, proc.kill)  # (a hung session ends the reads)
        watchdog.start()
        try:
            proc.stdin.write("one\ntwo\n")
            proc.stdin.flush()
            # both echoes come back before the end of input closes the session
            echoed = [proc.stdout.readline(), proc.stdout.readline()]
            proc.stdin.close()
            rest = proc.stdout.read()
            assert proc.wait(30) == 0
        finally:
            watchdog.cancel()
            proc.kill()
    assert (echoed, rest) == (["one\n", "two\n"], "")
