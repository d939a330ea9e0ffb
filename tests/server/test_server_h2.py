"""HTTP/2 against the server: curl (h2c with prior knowledge), httpx over TLS (ALPN h2),
h2load, and the `h2` package over a raw socket for resets, flow control, concurrency,
vanishing clients and graceful shutdown."""

from __future__ import annotations

import asyncio
import hashlib
import os
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import textwrap
import time

import h2.config
import h2.connection
import h2.events
import h2.settings
import httpx
import hyperframe.frame
import pytest

from server_util import Running, connect
from test_server_clients import make_certificate

TIMEOUT = 10.0


class App:
    """The path selects the behaviour; what the app saw is recorded for the test."""

    def __init__(self) -> None:
        self.scopes: list[dict] = []
        self.events: list[tuple[str, object]] = []
        self.running = 0
        self.peak = 0
        self.gate: asyncio.Event | None = None

    async def __call__(self, scope, receive, send):
        if scope["type"] != "http":
            return
        self.scopes.append(scope)
        name = scope["path"].strip("/").split("/")[0] or "hello"
        self.running += 1
        self.peak = max(self.peak, self.running)
        try:
            await getattr(self, "h_" + name)(scope, receive, send)
        finally:
            self.running -= 1

    @staticmethod
    async def read_body(receive):
        body = bytearray()
        while True:
            msg = await receive()
            if msg["type"] == "http.disconnect":
                return None
            body += msg["body"]
            if not msg.get("more_body"):
                return bytes(body)

    async def h_hello(self, scope, receive, send):
        await send({"type": "http.response.start", "status": 200,
                    "headers": [(b"content-type", b"text/plain")]})
        await send({"type": "http.response.body", "body": b"Hello, world!"})

    async def h_scope(self, scope, receive, send):
        text = repr((scope["http_version"], scope["method"], scope["path"],
                     scope["query_string"], scope["scheme"], dict(scope["headers"]).get(b"host")))
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": text.encode()})

    async def h_echo(self, scope, receive, send):
        body = await self.read_body(receive)
        self.events.append(("echo", None if body is None else len(body)))
        if body is None:
            return
        await send({"type": "http.response.start", "status": 200,
                    "headers": [(b"x-md5", hashlib.md5(body).hexdigest().encode())]})
        await send({"type": "http.response.body", "body": body})

    async def h_big(self, scope, receive, send):
        n = int(scope["query_string"] or b"1048576")
        await send({"type": "http.response.start", "status": 200, "headers": []})
        chunk = bytes(range(256)) * 256  # 64 KiB
        left = n
        while left > 0:
            part = chunk[:min(left, len(chunk))]
            left -= len(part)
            await send({"type": "http.response.body", "body": part, "more_body": left > 0})

    async def h_trailers(self, scope, receive, send):
        await send({"type": "http.response.start", "status": 200, "trailers": True,
                    "headers": [(b"trailer", b"x-sum")]})
        await send({"type": "http.response.body", "body": b"abc", "more_body": True})
        await send({"type": "http.response.body", "body": b"def"})
        await send({"type": "http.response.trailers", "headers": [(b"x-sum", b"42")]})

    async def h_wait(self, scope, receive, send):
        """Hold the response until every concurrent request has arrived."""
        n = int(scope["query_string"])
        if self.gate is None:
            self.gate = asyncio.Event()
        if self.running >= n:
            self.gate.set()
        await asyncio.wait_for(self.gate.wait(), TIMEOUT)
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body",
                    "body": str(id(asyncio.current_task())).encode()})

    async def h_stream(self, scope, receive, send):
        """Stream forever until the client goes away; record how it ended."""
        await send({"type": "http.response.start", "status": 200, "headers": []})
        try:
            while True:
                await send({"type": "http.response.body", "body": b"x" * 1024,
                            "more_body": True})
                await asyncio.sleep(0.005)
        except OSError as exc:
            self.events.append(("stream", type(exc).__name__))
            raise

    async def h_upload(self, scope, receive, send):
        """Read the body slowly until the client resets; record what receive returned."""
        while True:
            msg = await receive()
            if msg["type"] == "http.disconnect":
                self.events.append(("upload", "disconnect"))
                return
            if not msg.get("more_body"):
                self.events.append(("upload", "complete"))
                break
        await send({"type": "http.response.start", "status": 204, "headers": []})
        await send({"type": "http.response.body", "body": b""})

    async def h_hop(self, scope, receive, send):
        """HTTP/1.1 habits: connection-specific fields and a body answering HEAD."""
        await send({"type": "http.response.start", "status": 200,
                    "headers": [(b"connection", b"keep-alive"), (b"keep-alive", b"timeout=5"),
                                (b"content-length", b"4"), (b"x-kept", b"yes")]})
        await send({"type": "http.response.body", "body": b"body"})

    async def h_fail(self, scope, receive, send):
        raise RuntimeError("boom")


@pytest.fixture(scope="module", params=["asyncio", "uvloop"])
def srv(request):
    if request.param == "uvloop":
        pytest.importorskip("uvloop")
    app = App()
    with Running(app, loop=request.param, timeout_keep_alive=30) as running:
        running.app = app
        yield running


# ---- a raw h2 client -----------------------------------------------------------------------


class Client:
    """The `h2` package over a blocking socket; every wait is bounded."""

    def __init__(self, port: int, **settings: int) -> None:
        self.sock = connect(port)
        config = h2.config.H2Configuration(client_side=True, header_encoding=None)
        self.h2 = h2.connection.H2Connection(config)
        codes = {"initial_window_size": h2.settings.SettingCodes.INITIAL_WINDOW_SIZE,
                 "max_frame_size": h2.settings.SettingCodes.MAX_FRAME_SIZE}
        self.h2.local_settings = h2.settings.Settings(
            client=True, initial_values={codes[k]: v for k, v in settings.items()} or None)
        self.h2.initiate_connection()
        self.flush()
        self.responses: dict[int, dict] = {}
        self.events: list = []
        self.closed = False

    def flush(self) -> None:
        data = self.h2.data_to_send()
        if data:
            self.sock.sendall(data)

    def request(self, path: str, body: bytes | None = None, method: str = "GET",
                end: bool = True, authority: bytes = b"localhost") -> int:
        sid = self.h2.get_next_available_stream_id()
        headers = [(":method", method), (":path", path), (":scheme", "http"),
                   (":authority", authority)]
        self.h2.send_headers(sid, headers, end_stream=body is None and end)
        self.responses[sid] = {"headers": None, "body": bytearray(), "ended": False,
                               "reset": None, "trailers": None}
        if body:
            self.send_body(sid, body, end)
        self.flush()
        return sid

    def send_body(self, sid: int, body: bytes, end: bool = True) -> None:
        """Send within the windows the server grants, pumping events while it waits."""
        view = memoryview(body)
        while view:
            room = min(self.h2.local_flow_control_window(sid), self.h2.max_outbound_frame_size)
            if room <= 0:
                self.pump(lambda: self.h2.local_flow_control_window(sid) > 0)
                continue
            self.h2.send_data(sid, bytes(view[:room]))
            view = view[room:]
            self.flush()
        if end:
            self.h2.end_stream(sid)
            self.flush()

    def pump(self, until, timeout: float = TIMEOUT, consume: bool = True) -> None:
        deadline = time.monotonic() + timeout
        while not until():
            if self.closed:
                raise AssertionError("connection closed before the condition held")
            left = deadline - time.monotonic()
            assert left > 0, "condition not reached in time"
            self.sock.settimeout(left)
            data = self.sock.recv(65536)
            if not data:
                self.closed = True
                continue
            for ev in self.h2.receive_data(data):
                self.events.append(ev)
                r = self.responses.get(getattr(ev, "stream_id", None) or 0)
                if isinstance(ev, h2.events.ResponseReceived):
                    r["headers"] = dict(ev.headers)
                elif isinstance(ev, h2.events.DataReceived):
                    r["body"] += ev.data
                    if consume:
                        self.h2.acknowledge_received_data(ev.flow_controlled_length,
                                                          ev.stream_id)
                elif isinstance(ev, h2.events.TrailersReceived):
                    r["trailers"] = dict(ev.headers)
                elif isinstance(ev, h2.events.StreamEnded):
                    r["ended"] = True
                elif isinstance(ev, h2.events.StreamReset):
                    if r is not None:
                        r["reset"] = ev.error_code
            self.flush()

    def get(self, path: str, body: bytes | None = None, method: str = "GET",
            authority: bytes = b"localhost") -> dict:
        sid = self.request(path, body, method, authority=authority)
        self.pump(lambda: self.responses[sid]["ended"] or self.responses[sid]["reset"] is not None)
        return self.responses[sid]

    def close(self) -> None:
        self.sock.close()

    def __enter__(self) -> Client:
        return self

    def __exit__(self, *exc) -> None:
        self.close()


class Raw:
    """A client speaking frames directly (hpack + hyperframe): for what the h2 package will
    not send or not accept (streams beyond the peer's limit; frames after a GOAWAY)."""

    def __init__(self, port: int) -> None:
        import hpack

        self.sock = connect(port)
        self.enc = hpack.Encoder()
        self.dec = hpack.Decoder()
        self.buf = b""
        self.frames: list = []
        self.closed = False
        self.sock.sendall(b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"
                          + hyperframe.frame.SettingsFrame(0).serialize())

    def request(self, sid: int, path: str) -> None:
        f = hyperframe.frame.HeadersFrame(sid)
        f.flags.add("END_HEADERS")
        f.flags.add("END_STREAM")
        f.data = self.enc.encode([(":method", "GET"), (":path", path), (":scheme", "http"),
                                  (":authority", "localhost")])
        self.sock.sendall(f.serialize())

    def pump(self, until, timeout: float = TIMEOUT) -> None:
        deadline = time.monotonic() + timeout
        while not until():
            assert not self.closed, "connection closed before the condition held"
            left = deadline - time.monotonic()
            assert left > 0, "condition not reached in time"
            self.sock.settimeout(left)
            data = self.sock.recv(65536)
            if not data:
                self.closed = True
                continue
            self.buf += data
            while len(self.buf) >= 9:
                f, length = hyperframe.frame.Frame.parse_frame_header(memoryview(self.buf[:9]))
                if len(self.buf) < 9 + length:
                    break
                f.parse_body(memoryview(self.buf[9:9 + length]))
                self.buf = self.buf[9 + length:]
                if isinstance(f, hyperframe.frame.HeadersFrame):
                    f.headers = self.dec.decode(f.data)
                self.frames.append(f)
                if isinstance(f, hyperframe.frame.SettingsFrame) and "ACK" not in f.flags:
                    ack = hyperframe.frame.SettingsFrame(0)
                    ack.flags.add("ACK")
                    self.sock.sendall(ack.serialize())
                elif isinstance(f, hyperframe.frame.PingFrame) and "ACK" not in f.flags:
                    ack = hyperframe.frame.PingFrame(0, f.opaque_data)
                    ack.flags.add("ACK")
                    self.sock.sendall(ack.serialize())

    def of(self, kind: type, sid: int | None = None) -> list:
        return [f for f in self.frames
                if isinstance(f, kind) and (sid is None or f.stream_id == sid)]

    def body(self, sid: int) -> bytes:
        return b"".join(f.data for f in self.of(hyperframe.frame.DataFrame, sid))

    def ended(self, sid: int) -> bool:
        return any("END_STREAM" in f.flags for f in self.frames
                   if f.stream_id == sid and hasattr(f, "flags"))

    def close(self) -> None:
        self.sock.close()

    def __enter__(self) -> Raw:
        return self

    def __exit__(self, *exc) -> None:
        self.close()


def status(r: dict) -> int:
    return int(r["headers"][b":status"])


# ---- peers --------------------------------------------------------------------------------


def test_authority_stands_in_for_host_as_sent(srv):
    # RFC 9113 8.3.1: without a host field the application reads :authority, byte for byte.
    with Client(srv.port) as c:
        for authority in (b"localhost:8080", "\u4f8b.example".encode()):
            r = c.get("/scope", authority=authority)
            assert bytes(r["body"]) == repr(("2", "GET", "/scope", b"", "http", authority)).encode()


def test_curl_prior_knowledge_and_http1_on_the_same_port(srv):
    curl = shutil.which("curl")
    if curl is None:
        pytest.skip("curl is not installed")
    url = srv.url("/scope?q=1")
    out = subprocess.run([curl, "-sS", "--max-time", "10", "--http2-prior-knowledge", url],
                         capture_output=True, timeout=20)
    assert out.returncode == 0, out.stderr
    assert out.stdout == repr(("2", "GET", "/scope", b"q=1", "http",
                               f"127.0.0.1:{srv.port}".encode())).encode()
    out = subprocess.run([curl, "-sS", "--max-time", "10", "--http2-prior-knowledge",
                          "--data-binary", "@-", srv.url("/echo")],
                         input=b"z" * 200_000, capture_output=True, timeout=20)
    assert out.stdout == b"z" * 200_000
    out = subprocess.run([curl, "-sS", "--max-time", "10", "--http1.1", url],
                         capture_output=True, timeout=20)
    assert out.stdout.startswith(b"('1.1', 'GET'")


def test_httpx_http2_over_tls(tmp_path):
    certfile, keyfile = make_certificate(tmp_path)
    app = App()
    with Running(app, ssl_certfile=certfile, ssl_keyfile=keyfile) as running:
        ctx = ssl.create_default_context(cafile=certfile)
        with httpx.Client(verify=ctx, http2=True, timeout=TIMEOUT) as client:
            base = f"https://localhost:{running.port}"
            r = client.get(base + "/scope")
            assert r.http_version == "HTTP/2"
            assert r.text == repr(("2", "GET", "/scope", b"", "https",
                                   f"localhost:{running.port}".encode()))
            body = os.urandom(300_000)
            r = client.post(base + "/echo", content=body)
            assert r.http_version == "HTTP/2" and r.content == body
            assert r.headers["server"] == "velmora" and "date" in r.headers


def test_h2load_burst(srv):
    exe = shutil.which("h2load")
    if exe is None:
        pytest.skip("h2load is not installed")
    out = subprocess.run([exe, "-n", "2000", "-c", "10", "-m", "10", srv.url("/")],
                         capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert "2000 succeeded, 0 failed, 0 errored, 0 timeout" in out.stdout, out.stdout


def test_starlette_over_http2():
    from starlette.applications import Starlette
    from starlette.responses import JSONResponse, StreamingResponse
    from starlette.routing import Route

    async def home(request):
        return JSONResponse({"url": str(request.url), "version": request.scope["http_version"]})

    async def numbers(request):
        async def gen():
            for i in range(1000):
                yield f"{i}\n".encode()
        return StreamingResponse(gen())

    async def upload(request):
        return JSONResponse({"n": len(await request.body())})

    app = Starlette(routes=[Route("/", home), Route("/numbers", numbers),
                            Route("/upload", upload, methods=["POST"])])
    with Running(app) as running:
        with Client(running.port) as c:
            r = c.get("/")
            assert status(r) == 200
            assert bytes(r["body"]) == (b'{"url":"http://localhost/","version":"2"}')
            r = c.get("/numbers")
            assert bytes(r["body"]) == "".join(f"{i}\n" for i in range(1000)).encode()
            r = c.get("/upload", b"u" * 100_000, method="POST")
            assert bytes(r["body"]) == b'{"n":100000}'


# ---- the h2 package over a raw socket -----------------------------------------------------


def test_settings_trailers_and_errors(srv):
    with Client(srv.port) as c:
        r = c.get("/trailers")
        assert status(r) == 200 and bytes(r["body"]) == b"abcdef"
        assert r["trailers"] == {b"x-sum": b"42"}
        assert c.h2.remote_settings.max_concurrent_streams == 100
        # an application failing before its response: 500; the connection serves on
        r = c.get("/fail")
        assert status(r) == 500 and bytes(r["body"]) == b"500 Internal Server Error"
        assert status(c.get("/")) == 200


def test_connection_specific_fields_dropped_and_head_has_no_body(srv):
    with Client(srv.port) as c:
        r = c.get("/hop")
        assert status(r) == 200 and bytes(r["body"]) == b"body"
        assert r["headers"][b"x-kept"] == b"yes" and r["headers"][b"content-length"] == b"4"
        assert b"connection" not in r["headers"] and b"keep-alive" not in r["headers"]
        r = c.get("/hop", method="HEAD")
        assert status(r) == 200 and bytes(r["body"]) == b""
        assert r["headers"][b"content-length"] == b"4"


def test_large_bodies_both_ways(srv):
    body = os.urandom(3 * 1024 * 1024 + 17)
    with Client(srv.port) as c:
        r = c.get("/echo", body, method="POST")
        assert r["headers"][b"x-md5"] == hashlib.md5(body).hexdigest().encode()
        assert bytes(r["body"]) == body
        r = c.get("/big?5000000")
        assert len(r["body"]) == 5_000_000
        assert bytes(r["body"][:65536]) == bytes(range(256)) * 256


def test_flow_control_with_small_windows(srv):
    # the client grants 100 bytes per stream and returns credit only when it is told to:
    # the server must stop at the window and resume on each WINDOW_UPDATE
    with Client(srv.port, initial_window_size=100) as c:
        sid = c.request("/big?20000")
        c.pump(lambda: len(c.responses[sid]["body"]) >= 100, consume=False)
        time.sleep(0.2)
        c.pump(lambda: True, consume=False)
        assert len(c.responses[sid]["body"]) == 100  # no byte beyond the window
        got = 100
        c.h2.acknowledge_received_data(got, sid)
        c.flush()
        while not c.responses[sid]["ended"]:
            c.pump(lambda: len(c.responses[sid]["body"]) > got
                   or c.responses[sid]["ended"], consume=False)
            new = len(c.responses[sid]["body"]) - got
            assert 0 < new <= 100 or c.responses[sid]["ended"]
            got += new
            if not c.responses[sid]["ended"]:
                c.h2.increment_flow_control_window(new, sid)
                c.h2.increment_flow_control_window(new)
                c.flush()
        assert bytes(c.responses[sid]["body"]) == (bytes(range(256)) * 80)[:20000]


def test_request_body_credit_follows_the_application(srv):
    # the server's stream window bounds what it buffers: a client cannot send more than the
    # window before the application reads
    with Client(srv.port) as c:
        c.pump(lambda: any(isinstance(e, h2.events.RemoteSettingsChanged) for e in c.events))
        window = c.h2.remote_settings.initial_window_size
        assert window == 65536
        sid = c.request("/echo", b"a" * (window * 4), method="POST")
        c.pump(lambda: c.responses[sid]["ended"])
        assert len(c.responses[sid]["body"]) == window * 4


def test_many_concurrent_streams_each_its_own_task(srv):
    n = 50
    srv.app.gate = None
    with Client(srv.port) as c:
        sids = [c.request(f"/wait?{n}") for _ in range(n)]
        c.pump(lambda: all(c.responses[s]["ended"] for s in sids))
        tasks = {bytes(c.responses[s]["body"]) for s in sids}
    assert len(tasks) == n and srv.app.peak >= n
    srv.wait_idle()


def test_concurrency_limit_refuses_streams():
    app = App()
    with Running(app, h2_max_concurrent_streams=2) as running:
        with Raw(running.port) as c:
            c.pump(lambda: c.of(hyperframe.frame.SettingsFrame))
            assert c.of(hyperframe.frame.SettingsFrame)[0].settings[
                hyperframe.frame.SettingsFrame.MAX_CONCURRENT_STREAMS] == 2
            for sid in (1, 3, 5):
                c.request(sid, "/stream")
            c.pump(lambda: c.of(hyperframe.frame.RstStreamFrame, 5))
            assert c.of(hyperframe.frame.RstStreamFrame, 5)[0].error_code == 7  # REFUSED
            c.pump(lambda: len(c.body(1)) > 2048 and len(c.body(3)) > 2048)
            assert not c.of(hyperframe.frame.RstStreamFrame, 1)
        running.wait_idle()


def test_client_reset_ends_the_upload_with_disconnect(srv):
    with Client(srv.port) as c:
        sid = c.request("/upload", b"p" * 1000, method="POST", end=False)
        time.sleep(0.1)
        c.h2.reset_stream(sid, 8)
        c.flush()
        srv.wait_for(lambda: ("upload", "disconnect") in srv.app.events)
        # the connection is intact after the reset
        assert status(c.get("/")) == 200


def test_client_reset_stops_a_streaming_response(srv):
    with Client(srv.port) as c:
        sid = c.request("/stream")
        c.pump(lambda: len(c.responses[sid]["body"]) > 10_000)
        c.h2.reset_stream(sid, 8)
        c.flush()
        srv.wait_for(lambda: ("stream", "ClientDisconnected") in srv.app.events)
        assert status(c.get("/")) == 200
    srv.wait_idle()


def test_client_vanishing_mid_stream(srv):
    before = srv.app.events.count(("stream", "ClientDisconnected"))
    c = Client(srv.port)
    sid = c.request("/stream")
    upload = c.request("/upload", b"q" * 100, method="POST", end=False)
    c.pump(lambda: len(c.responses[sid]["body"]) > 5000)
    c.sock.close()
    srv.wait_for(lambda: srv.app.events.count(("stream", "ClientDisconnected")) > before)
    srv.wait_for(lambda: srv.app.events.count(("upload", "disconnect")) >= 1)
    srv.wait_idle()
    assert upload


def test_protocol_violation_gets_goaway(srv):
    with connect(srv.port) as s:
        s.sendall(b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n")
        # DATA on stream 0 is a connection error (RFC 9113 6.1)
        s.sendall(b"\x00\x00\x00\x04\x00\x00\x00\x00\x00" + b"\x00\x00\x01\x00\x00\x00\x00\x00\x00x")
        data = b""
        deadline = time.monotonic() + TIMEOUT
        while time.monotonic() < deadline:
            piece = s.recv(65536)
            if not piece:
                break
            data += piece
    # the last frame is GOAWAY (type 7) with PROTOCOL_ERROR
    assert data[-17:-14] == b"\x00\x00\x08" and data[-14] == 7
    assert data[-4:] == b"\x00\x00\x00\x01"


def test_keep_alive_idle_timeout():
    app = App()
    with Running(app, timeout_keep_alive=0.3) as running:
        with Client(running.port) as c:
            assert status(c.get("/")) == 200
            t0 = time.monotonic()
            c.pump(lambda: c.closed or any(isinstance(e, h2.events.ConnectionTerminated)
                                           for e in c.events))
            assert time.monotonic() - t0 < 3
            ended = [e for e in c.events if isinstance(e, h2.events.ConnectionTerminated)]
            assert ended and ended[0].error_code == 0
        running.wait_idle()


def test_graceful_shutdown_with_a_request_in_flight(tmp_path):
    (tmp_path / "slowapp.py").write_text(textwrap.dedent("""
        import asyncio
        async def app(scope, receive, send):
            if scope["type"] != "http":
                return
            await asyncio.sleep(1.0)
            await send({"type": "http.response.start", "status": 200, "headers": []})
            await send({"type": "http.response.body", "body": b"finished"})
    """))
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    proc = subprocess.Popen([sys.executable, "-m", "velmora", "serve", "slowapp:app",
                             "--port", str(port), "--lifespan", "off"],
                            cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    try:
        deadline = time.monotonic() + 20
        while True:
            try:
                c = Raw(port)
                break
            except OSError:
                assert time.monotonic() < deadline and proc.poll() is None
                time.sleep(0.05)
        with c:
            c.request(1, "/")
            time.sleep(0.3)
            proc.send_signal(signal.SIGTERM)
            c.pump(lambda: c.ended(1))
            assert c.body(1) == b"finished"
            goaways = c.of(hyperframe.frame.GoAwayFrame)
            # first GOAWAY announces the shutdown, the second (after the PING round trip)
            # carries the last stream processed
            assert [(g.last_stream_id, g.error_code) for g in goaways][:1] == [(2**31 - 1, 0)]
            c.pump(lambda: c.closed)
            goaways = c.of(hyperframe.frame.GoAwayFrame)
            assert (goaways[-1].last_stream_id, goaways[-1].error_code) == (1, 0)
        assert proc.wait(20) == 0
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def test_malformed_stream_flood_gets_enhance_your_calm(srv):
    # each request carries a connection-specific field (malformed, RFC 9113 8.2.2): a stream
    # error and a reset each; past the core's cap the connection ends with ENHANCE_YOUR_CALM
    seen = len(srv.app.scopes)
    with Raw(srv.port) as c:
        frames = []
        for i in range(1030):
            f = hyperframe.frame.HeadersFrame(2 * i + 1)
            f.flags.add("END_HEADERS")
            f.flags.add("END_STREAM")
            f.data = c.enc.encode([(":method", "GET"), (":path", "/"), (":scheme", "http"),
                                   (":authority", "x"), ("connection", "close")])
            frames.append(f.serialize())
        try:
            c.sock.sendall(b"".join(frames))
        except OSError:
            pass  # the server may close before reading everything
        try:
            c.pump(lambda: c.closed)
        except (AssertionError, ConnectionResetError):
            pass
        resets = c.of(hyperframe.frame.RstStreamFrame)
        assert resets and all(r.error_code == 1 for r in resets)
        goaway = c.of(hyperframe.frame.GoAwayFrame)
        assert goaway and goaway[-1].error_code == 11
    assert len(srv.app.scopes) == seen  # no malformed request reached the application
    srv.wait_idle()


def test_max_concurrent_streams_option():
    from velmora.server.cli import build_parser, config_from_args

    args = build_parser().parse_args(["m:app", "--h2-max-concurrent-streams", "7"])
    assert config_from_args(args).h2_max_concurrent_streams == 7
    with pytest.raises(ValueError):
        from velmora.server import Config

        Config("m:app", h2_max_concurrent_streams=0)


def test_limit_concurrency_answers_503_on_a_stream():
    app = App()
    with Running(app, limit_concurrency=1) as running:
        with Client(running.port) as c:
            # an upload that never ends holds the one request the limit allows
            held = c.request("/upload", b"h" * 100, method="POST", end=False)
            running.wait_for(lambda: running.tasks() == 1)
            r = c.get("/")
            assert status(r) == 503 and bytes(r["body"]) == b"503 Service Unavailable"
            assert r["reset"] is None  # an answer, not a refused stream
            # the connection serves on: once the held request ends, the next one runs
            c.h2.reset_stream(held, 8)
            c.flush()
            running.wait_for(lambda: ("upload", "disconnect") in app.events)
            running.wait_for(lambda: running.tasks() == 0)
            assert status(c.get("/")) == 200
        running.wait_idle()
