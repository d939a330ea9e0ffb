"""WebSockets served over HTTP/1.1: real clients (websockets, wsproto) and raw sockets for what
polite clients never send."""

from __future__ import annotations

import asyncio
import base64
import os
import socket
import struct

import pytest
import websockets
import wsproto
import wsproto.events as we

from tests.support.server_util import Running, connect, read_until_close

KEY = b"dGhlIHNhbXBsZSBub25jZQ=="  # RFC 6455 section 1.3
ACCEPT = b"s3pPLMBiTxaQ9kYGzzhZRbK+xOo="


class WSApp:
    """The path picks the behaviour; ``closed`` records each session's disconnect message."""

    def __init__(self) -> None:
        self.closed: list[dict] = []
        self.scopes: list[dict] = []
        self.go = False
        self.sent = 0

    async def __call__(self, scope, receive, send):
        if scope["type"] == "http":
            await send({"type": "http.response.start", "status": 200, "headers": []})
            await send({"type": "http.response.body", "body": b"plain " + scope["method"].encode()})
            return
        self.scopes.append(scope)
        path = scope["path"].strip("/")
        assert (await receive())["type"] == "websocket.connect"
        if path == "deny":
            await send({"type": "websocket.http.response.start", "status": 401,
                        "headers": [(b"x-why", b"token")]})
            await send({"type": "websocket.http.response.body", "body": b"no entry"})
            return
        if path == "refuse":
            await send({"type": "websocket.close"})
            return
        if path == "fail-early":
            raise RuntimeError("before accept")
        subprotocol = scope["subprotocols"][-1] if scope["subprotocols"] else None
        await send({"type": "websocket.accept", "subprotocol": subprotocol,
                    "headers": [(b"x-session", b"1")]})
        if path == "fail-late":
            raise RuntimeError("after accept")
        if path == "close":
            await send({"type": "websocket.close", "code": 4001, "reason": "bye"})
        if path == "late-reader":  # receives only once told to
            while not self.go:
                await asyncio.sleep(0.01)
        if path == "flood":  # sends whatever the client reads
            for i in range(2000):
                await send({"type": "websocket.send", "bytes": bytes(65536)})
                self.sent = i + 1
        while True:
            msg = await receive()
            if msg["type"] == "websocket.disconnect":
                self.closed.append(msg)
                return
            await send({k: v for k, v in msg.items() if k != "type"} | {"type": "websocket.send"})


@pytest.fixture(scope="module")
def server():
    app = WSApp()
    with Running(app, ws_ping_interval=None, ws_max_size=4096) as srv:
        srv.app = app
        yield srv


def handshake(port: int, path: str = "/", extra: bytes = b"") -> socket.socket:
    s = connect(port)
    s.sendall(b"GET %s HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
              b"Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n%s\r\n"
              % (path.encode(), KEY, extra))
    head = b""
    while b"\r\n\r\n" not in head:
        head += s.recv(1)
    assert head.startswith(b"HTTP/1.1 101 "), head
    assert b"sec-websocket-accept: " + ACCEPT in head.lower().replace(ACCEPT.lower(), ACCEPT)
    return s


def frame(opcode: int, payload: bytes, *, fin: bool = True, mask: bool = True) -> bytes:
    head = bytes([(0x80 if fin else 0) | opcode])
    n = len(payload)
    bit = 0x80 if mask else 0
    if n < 126:
        head += bytes([bit | n])
    else:
        head += bytes([bit | 126]) + struct.pack("!H", n)
    if not mask:
        return head + payload
    key = os.urandom(4)
    return head + key + bytes(b ^ key[i % 4] for i, b in enumerate(payload))


def read_frames(s: socket.socket) -> list[tuple[int, bytes]]:
    """The server's frames (never masked) until it closes the connection."""
    data = read_until_close(s)
    out = []
    while data:
        n = data[1] & 0x7F
        p = 2
        if n == 126:
            n, p = struct.unpack("!H", data[2:4])[0], 4
        out.append((data[0] & 0x0F, data[p:p + n]))
        data = data[p + n:]
    return out


@pytest.mark.parametrize("client", ["websockets", "websockets-deflate", "wsproto",
                                    "wsproto-deflate"])
def test_echo_with_real_clients(server, client):
    messages = ["hello", "é" * 1000, b"\x00\x01" * 1500, "x" * 4096]
    url = f"ws://127.0.0.1:{server.port}/echo"
    if client.startswith("websockets"):
        compression = "deflate" if client.endswith("deflate") else None

        async def run():
            async with websockets.connect(url, compression=compression,
                                          subprotocols=["a", "chat"]) as ws:
                assert ws.subprotocol == "chat"
                assert ws.response.headers["x-session"] == "1"
                offered = "sec-websocket-extensions" in ws.response.headers
                assert offered == (compression is not None)
                got = []
                for m in messages:
                    await ws.send(m)
                    got.append(await ws.recv())
                return got

        assert asyncio.run(run()) == messages
        return
    extensions = []
    if client.endswith("deflate"):
        from wsproto.extensions import PerMessageDeflate

        extensions = [PerMessageDeflate()]
    conn = wsproto.WSConnection(wsproto.ConnectionType.CLIENT)
    with connect(server.port) as s:
        s.sendall(conn.send(we.Request(host="x", target="/echo", extensions=extensions)))
        got: list = []
        accepted = None
        while len(got) < len(messages):
            conn.receive_data(s.recv(65536))
            for ev in conn.events():
                if isinstance(ev, we.AcceptConnection):
                    accepted = ev
                    for m in messages:
                        s.sendall(conn.send(we.Message(data=m)))
                elif isinstance(ev, we.Message):
                    got.append(ev.data)
        assert bool(accepted.extensions) == bool(extensions)
        s.sendall(conn.send(we.CloseConnection(code=1000)))
    assert got == messages


# A violation is answered with a Close carrying its code, then the TCP close.
VIOLATIONS = [
    ("unmasked", frame(1, b"hi", mask=False), 1002),
    ("bad utf-8 across fragments", frame(1, b"ok \xe2\x82", fin=False) + frame(0, b"\x28"), 1007),
    ("too big", frame(2, b"x" * 5000), 1009),
    ("bad close code", frame(8, struct.pack("!H", 999)), 1002),
    ("reserved opcode", frame(3, b""), 1002),
]


@pytest.mark.parametrize("split", ["whole", "bytes"])
@pytest.mark.parametrize("name,wire,code", VIOLATIONS, ids=[v[0] for v in VIOLATIONS])
def test_protocol_errors_answered_with_close(server, name, wire, code, split):
    with handshake(server.port, "/echo") as s:
        if split == "whole":
            s.sendall(wire)
        else:
            for i in range(len(wire)):
                s.sendall(wire[i:i + 1])
        frames = read_frames(s)
    assert frames[-1][0] == 8
    assert struct.unpack("!H", frames[-1][1][:2])[0] == code


@pytest.mark.parametrize("send,code", [
    (frame(8, struct.pack("!H", 1000) + b"done"), 1000),
    (frame(8, b""), 1005),
    (b"", 1006),  # the connection drops without a Close
], ids=["close-1000", "close-empty", "dropped"])
def test_disconnect_carries_peer_code(server, send, code):
    before = len(server.app.closed)
    with handshake(server.port, "/echo") as s:
        s.sendall(frame(1, b"ping"))
        assert s.recv(6) == b"\x81\x04ping"
        if send:
            s.sendall(send)
            echo = b"" if code == 1005 else struct.pack("!H", code)
            assert read_frames(s) == [(8, echo)]  # the echo of the Close
    server.wait_for(lambda: len(server.app.closed) > before)
    assert server.app.closed[before]["code"] == code


@pytest.mark.parametrize("path,status,fields", [
    ("/refuse", 403, {}),
    ("/fail-early", 500, {}),
    ("/deny", 401, {b"x-why": b"token"}),
])
def test_answers_before_accept(server, path, status, fields):
    with connect(server.port) as s:
        s.sendall(b"GET %s HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                  b"Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n\r\n"
                  % (path.encode(), KEY))
        data = read_until_close(s)
    head, _, body = data.partition(b"\r\n\r\n")
    assert head.split(b" ")[1] == str(status).encode()
    lines = dict(line.lower().split(b": ", 1) for line in head.split(b"\r\n")[1:])
    assert all(lines[k] == v for k, v in fields.items())
    if path == "/deny":
        assert body == b"no entry"


@pytest.mark.parametrize("headers,status,field", [
    (b"Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 8\r\n" % KEY, 426,
     b"sec-websocket-version: 13"),
    (b"Sec-WebSocket-Key: c2hvcnQ=\r\nSec-WebSocket-Version: 13\r\n", 400, None),
    (b"Sec-WebSocket-Version: 13\r\n", 400, None),
])
def test_handshake_refusals(server, headers, status, field):
    with connect(server.port) as s:
        s.sendall(b"GET / HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                  + headers + b"\r\n")
        head = read_until_close(s).partition(b"\r\n\r\n")[0]
    assert head.startswith(b"HTTP/1.1 %d " % status)
    if field:
        assert field in head.lower()


@pytest.mark.parametrize("proxy,scheme,client", [
    (b"", "ws", "127.0.0.1"),
    # the test client is 127.0.0.1, a trusted proxy by default
    (b"X-Forwarded-For: 203.0.113.7\r\nX-Forwarded-Proto: https\r\n", "wss", "203.0.113.7"),
])
def test_scope_merges_subprotocol_lines(server, proxy, scheme, client):
    extra = b"Sec-WebSocket-Protocol: one, two\r\nSec-WebSocket-Protocol: three\r\n" + proxy
    with handshake(server.port, "/echo?q=1", extra) as s:
        s.sendall(frame(8, struct.pack("!H", 1000)))
        read_until_close(s)
    scope = server.app.scopes[-1]
    assert scope["subprotocols"] == ["one", "two", "three"]
    assert (scope["type"], scope["scheme"], scope["path"], scope["query_string"]) == \
        ("websocket", scheme, "/echo", b"q=1")
    assert scope["client"][0] == client
    assert scope["asgi"]["spec_version"] == "2.4"
    assert "websocket.http.response" in scope["extensions"]


@pytest.mark.parametrize("path,code,reason", [("/fail-late", 1011, b""),
                                              ("/close", 4001, b"bye")])
def test_close_from_the_server(server, path, code, reason):
    with handshake(server.port, path) as s:
        first = b""
        while len(first) < 2 or len(first) < 2 + first[1]:
            first += s.recv(64)
        assert first[0] == 0x88
        assert first[2:] == struct.pack("!H", code) + reason
        s.sendall(frame(8, first[2:4]))
        assert read_until_close(s) == b""


def test_ws_none_serves_upgrade_as_http(caplog):
    request = (b"GET / HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
               b"Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n\r\n" % KEY)
    with Running(WSApp(), ws="none") as srv:
        for _ in range(2):
            with connect(srv.port) as s:
                s.sendall(request)
                data = s.recv(4096)
            assert data.startswith(b"HTTP/1.1 200 ") and data.endswith(b"plain GET")
    hints = [r for r in caplog.records if "--ws none" in r.getMessage()]
    assert len(hints) == 1  # logged once


def test_session_access_log_line(caplog):
    caplog.set_level("INFO", logger="velmora.access")
    with Running(WSApp(), access_log=True) as srv:
        with handshake(srv.port, "/echo?x=1") as s:
            s.sendall(frame(1, b"abc"))
            assert s.recv(5) == b"\x81\x03abc"
            s.sendall(frame(8, struct.pack("!H", 1000)))
            read_until_close(s)
        srv.wait_for(lambda: any("101" in r.getMessage() for r in caplog.records))
    line = [r.getMessage() for r in caplog.records if r.name == "velmora.access"][-1]
    assert '"GET /echo?x=1 HTTP/1.1" 101 3 ' in line


def test_keepalive_ping_unanswered_closes_1011():
    with Running(WSApp(), ws_ping_interval=0.05, ws_ping_timeout=0.05,
                 timeout_keep_alive=0.2) as srv, handshake(srv.port, "/echo") as s:
        frames = read_frames(s)  # the client never answers the Ping
    assert frames[0][0] == 9 and len(frames[0][1]) == 4
    assert frames[-1] == (8, struct.pack("!H", 1011) + b"keepalive ping timeout")


def test_shutdown_sends_going_away():
    app = WSApp()
    srv = Running(app, ws_ping_interval=None)
    with srv:
        s = handshake(srv.port, "/echo")
        srv.server.should_exit = True
        got = b""
        while len(got) < 4:
            got += s.recv(64)
        assert got[:4] == b"\x88\x02" + struct.pack("!H", 1001)
        s.sendall(frame(8, struct.pack("!H", 1001)))
        s.close()
    assert app.closed[-1]["code"] == 1001


@pytest.mark.parametrize("tls", [False, True], ids=["h2c", "tls"])
def test_rfc8441_over_h2(tmp_path, tls):
    """Extended CONNECT with the h2 package as a raw client: the echo, then the close handshake
    ends the stream with END_STREAM while a plain request on the same connection completes."""
    import ssl

    from tests.server.test_server_clients import make_certificate

    tls_files = make_certificate(tmp_path) if tls else None
    app = WSApp()
    # (the default message size limit: the session echoes a 40 KiB message)
    with Running(app, **({"ssl_certfile": tls_files[0], "ssl_keyfile": tls_files[1]}
                         if tls_files else {})) as srv:
        srv.app = app
        sock = connect(srv.port)
        if tls_files:
            ctx = ssl.create_default_context(cafile=tls_files[0])
            ctx.set_alpn_protocols(["h2"])
            sock = ctx.wrap_socket(sock, server_hostname="localhost")
            assert sock.selected_alpn_protocol() == "h2"
        _rfc8441_session(srv, sock, "https" if tls else "http")


def _rfc8441_session(server, sock, scheme):
    import h2.config
    import h2.connection
    import h2.events as he

    conn = h2.connection.H2Connection(h2.config.H2Configuration(
        client_side=True, validate_outbound_headers=False, normalize_outbound_headers=False,
        validate_inbound_headers=False))
    conn.initiate_connection()
    events: list = []
    with sock as s:

        def pump(until):
            while not until():
                data = s.recv(65536)
                assert data
                events.extend(conn.receive_data(data))
                s.sendall(conn.data_to_send())

        s.sendall(conn.data_to_send())
        pump(lambda: any(isinstance(e, he.RemoteSettingsChanged) for e in events))
        assert conn.remote_settings.get(8) == 1  # SETTINGS_ENABLE_CONNECT_PROTOCOL
        conn.send_headers(1, [(":method", "CONNECT"), (":protocol", "websocket"),
                              (":scheme", scheme), (":path", "/echo"), (":authority", "x"),
                              ("sec-websocket-version", "13")])
        conn.send_headers(3, [(":method", "GET"), (":scheme", scheme), (":path", "/"),
                              (":authority", "x")], end_stream=True)
        conn.send_data(1, frame(1, b"over h2"))
        s.sendall(conn.data_to_send())

        def data_on(sid):
            return b"".join(e.data for e in events if isinstance(e, he.DataReceived)
                            and e.stream_id == sid)

        pump(lambda: data_on(1) == b"\x81\x07over h2" and any(
            isinstance(e, he.StreamEnded) and e.stream_id == 3 for e in events))
        status = [dict(e.headers)[b":status"] for e in events
                  if isinstance(e, he.ResponseReceived)]
        assert sorted(status) == [b"200", b"200"]
        assert data_on(3) == b"plain GET"
        # a large binary message: its echo is written as a header, then the payload as it is
        big = bytes(range(256)) * 160
        wire = frame(2, big)
        for at in range(0, len(wire), 16384):
            conn.send_data(1, wire[at:at + 16384])
        s.sendall(conn.data_to_send())
        echo = frame(2, big, mask=False)
        pump(lambda: data_on(1).endswith(echo))
        conn.send_data(1, frame(8, struct.pack("!H", 1000)))
        s.sendall(conn.data_to_send())
        pump(lambda: any(isinstance(e, he.StreamEnded) and e.stream_id == 1 for e in events))
        assert data_on(1).endswith(b"\x88\x02\x03\xe8")
        conn.end_stream(1)
        s.sendall(conn.data_to_send())
        assert not any(isinstance(e, he.StreamReset) for e in events)
    server.wait_for(lambda: server.app.closed and server.app.closed[-1]["code"] == 1000)
    assert server.app.scopes[-1]["scheme"] == ("wss" if scheme == "https" else "ws")
    assert server.app.scopes[-1]["http_version"] == "2"


def _session(srv):
    from velmora.server.websocket import WebSocket

    return srv.call(lambda: [c for c in srv.server.service.connections
                             if isinstance(c, WebSocket)][0])


def test_an_application_that_does_not_receive_stops_the_reading(server):
    with handshake(server.port, "/late-reader") as s:
        # 200 messages of 2 KiB: more than one read of the server takes at once
        messages = [b"%04d" % i + b"." * 2044 for i in range(200)]
        s.sendall(b"".join(frame(2, m) for m in messages))
        ws = _session(server)
        server.wait_for(lambda: server.call(lambda: ws.read_paused))
        assert 32 <= server.call(lambda: len(ws._queue)) < 200  # --ws-max-queue: 32
        server.app.go = True
        want = b"".join(b"\x82\x7e\x08\x00" + m for m in messages)
        got = b""
        while len(got) < len(want):
            got += s.recv(65536)
        assert got == want
        server.app.go = False


def test_send_waits_for_a_client_that_does_not_read(server):
    with handshake(server.port, "/flood") as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
        server.wait_for(lambda: server.app.sent > 2)
        ws = _session(server)
        server.wait_for(lambda: server.call(lambda: ws.write_paused))
        assert server.app.sent < 2000
        assert server.call(lambda: ws._t.get_write_buffer_size()) < 4 * 65536
        want = 2000 * (65536 + 10)
        got = 0
        while got < want:
            got += len(s.recv(1 << 20))
        assert got == want
    server.wait_for(lambda: server.app.sent == 2000)


def test_wss_over_http1_with_websockets_client(tmp_path):
    import ssl

    from tests.server.test_server_clients import make_certificate

    certfile, keyfile = make_certificate(tmp_path)
    app = WSApp()
    with Running(app, ssl_certfile=certfile, ssl_keyfile=keyfile) as srv:
        ctx = ssl.create_default_context(cafile=certfile)

        async def run():
            async with websockets.connect(f"wss://localhost:{srv.port}/echo", ssl=ctx) as ws:
                await ws.send("secure")
                return await ws.recv()

        assert asyncio.run(run()) == "secure"
    assert app.scopes[-1]["scheme"] == "wss"
