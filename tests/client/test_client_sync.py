"""The blocking ``Client``, ``velmora.get`` and the sync httpx ``Transport``: the same results as
``httpx.Client`` for the same requests (decoding, redirects, cookies, uploads), several threads
sharing one client, and each request's own timeout on a reused connection."""

from __future__ import annotations

import asyncio
import gc
import hashlib
import io
import os
import shutil
import socket
import ssl
import subprocess
import threading
import time

import httpx
import pytest

import velmora
from client_servers import hypercorn_app, nginx, velmora_app
from velmora.client import (
    AsyncClient,
    Client,
    Limits,
    ReadTimeout,
    Timeout,
    Transport,
    UnsupportedProtocol,
)

DOC = b'{"k": "' + b"abc" * 20000 + b'"}'
NGINX = """
    gzip on; gzip_types *; gzip_min_length 1;
    location = /moved { return 301 /doc.json; }
"""


@pytest.fixture(scope="module")
def app_port():
    with velmora_app() as port:
        yield port


@pytest.fixture(scope="module")
def nginx_port():
    with nginx({"doc.json": DOC}, extra=NGINX) as port:
        yield port


def calls(c, app, ngx):
    """The same calls through any client with httpx's sync API."""
    r1 = c.get(f"{ngx}/moved", follow_redirects=True)
    c.get(f"{app}/cookie/set")
    r2 = c.get(f"{app}/redirect-to?status=303&url=/cookie/get", follow_redirects=True)
    r3 = c.post(f"{app}/form", data={"a": "1"},
                files={"f": ("x.bin", io.BytesIO(b"\x00" * 70000), "application/x-test")})
    with c.stream("GET", f"{app}/encoded?coding=br") as s:
        streamed = b"".join(s.iter_bytes(chunk_size=1000))
    r4 = c.post(f"{app}/echo", content=iter([b"it", b"er"]))
    return (r1.status_code, r1.content == DOC, r1.headers["content-encoding"],
            [h.status_code for h in r1.history], str(r1.url), r2.text,
            r3.json(), hashlib.sha256(streamed).hexdigest(), r4.content,
            r4.headers["x-chunked"])


def test_client_gives_the_same_results_as_httpx(app_port, nginx_port):
    app, ngx = f"http://127.0.0.1:{app_port}", f"http://127.0.0.1:{nginx_port}"
    with Client() as ours, httpx.Client() as theirs:
        a, b = calls(ours, app, ngx), calls(theirs, app, ngx)
        reused = ours.pool.connections
    assert a == b
    assert a[:4] == (200, True, "gzip", [301]) and a[5] == "flavour=oatmeal"
    assert reused == 2  # one connection per origin, reused throughout


def test_httpx_client_runs_on_the_sync_transport(app_port, nginx_port):
    app, ngx = f"http://127.0.0.1:{app_port}", f"http://127.0.0.1:{nginx_port}"
    with httpx.Client(transport=Transport()) as ours, httpx.Client() as theirs:
        assert calls(ours, app, ngx) == calls(theirs, app, ngx)


def test_threads_share_one_client(app_port):
    url = f"http://127.0.0.1:{app_port}/echo"
    out: dict[int, list[tuple[int, bytes]]] = {}

    def worker(n: int) -> None:
        got = []
        for i in range(30):
            body = b"%d-%d" % (n, i) * (1 + i * 100)
            r = client.post(url, content=body)
            got.append((r.status_code, r.content == body))
        out[n] = got

    with Client(limits=Limits(max_connections=4)) as client:
        threads = [threading.Thread(target=worker, args=(n,)) for n in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        opened = client.pool.connections
    assert out == {n: [(200, True)] * 30 for n in range(8)}
    assert 1 <= opened <= 4


@pytest.mark.parametrize("via", ["client", "httpx"])
def test_each_request_on_a_reused_connection_has_its_own_timeout(app_port, via):
    base = f"http://127.0.0.1:{app_port}"
    c = Client(timeout=30) if via == "client" else httpx.Client(transport=Transport(), timeout=30)
    with c:
        c.get(base + "/echo")
        with pytest.raises((ReadTimeout, httpx.ReadTimeout)):
            c.get(base + "/slow-body", timeout=0.3)
        assert c.get(base + "/echo", timeout=5).status_code == 200


def test_top_level_shortcuts(app_port):
    r = velmora.post(f"http://127.0.0.1:{app_port}/redirect-to?status=307&url=/echo",
                     json={"a": 1}, follow_redirects=True)
    assert (r.status_code, r.content, r.headers["x-method"], r.request.url) == (
        200, b'{"a":1}', "POST", f"http://127.0.0.1:{app_port}/echo")


def test_an_unclosed_streamed_response_gives_its_slot_back(app_port):
    base = f"http://127.0.0.1:{app_port}"
    with Client(limits=Limits(max_connections=1), timeout=Timeout(5, pool=2)) as c:
        for _ in range(3):
            r = c.send(c.build_request("GET", base + "/stream?n=40&size=10000"), stream=True)
            next(r.iter_bytes())
            del r
            gc.collect()
        assert c.get(base + "/echo").status_code == 200


@pytest.fixture(scope="module")
def tls_port(tmp_path_factory, nginx_port):
    if shutil.which("openssl") is None:
        pytest.skip("openssl not installed")
    d = tmp_path_factory.mktemp("tls")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                    str(d / "key.pem"), "-out", str(d / "cert.pem"), "-days", "2", "-subj",
                    "/CN=localhost", "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"],
                   check=True, capture_output=True, timeout=60)
    extra = (f"ssl_certificate {d}/cert.pem;\nssl_certificate_key {d}/key.pem;\n"
             f"location = /down {{ return 302 http://127.0.0.1:{nginx_port}/doc.json; }}\n")
    with nginx({"doc.json": DOC}, listen="ssl http2", extra=extra) as port:
        yield port, str(d / "cert.pem")


@pytest.mark.parametrize("allow", [False, True])
@pytest.mark.parametrize("http2", [False, True])
def test_tls_alpn_and_a_redirect_from_https_to_http(tls_port, allow, http2):
    port, cert = tls_port
    with Client(verify=cert, follow_redirects=True, allow_insecure_redirects=allow,
                http2=http2) as c:
        direct = c.get(f"https://127.0.0.1:{port}/doc.json")
        assert (direct.status_code, direct.content == DOC, direct.http_version) == (
            200, True, "HTTP/2" if http2 else "HTTP/1.1")
        if not allow:
            with pytest.raises(UnsupportedProtocol, match="refused redirect from https"):
                c.get(f"https://127.0.0.1:{port}/down")
        else:
            r = c.get(f"https://127.0.0.1:{port}/down")
            assert (r.status_code, r.url.startswith("http://127.0.0.1:"), r.content == DOC,
                    [h.status_code for h in r.history]) == (200, True, True, [302])


@pytest.fixture(scope="module")
def h2c_port():
    with hypercorn_app() as port:
        yield port


def test_http2_connection_shared_by_threads_as_httpx_sees_it(h2c_port):
    base = f"http://127.0.0.1:{h2c_port}"
    bodies = {n: b"%d-" % n * (5000 * n + 1) for n in range(12)}

    def exchange(c, n):
        r = c.post(base + "/echo-trailers", content=bodies[n])
        return r.status_code, r.http_version, r.headers["x-version"], r.content == bodies[n]

    def run_threads(c):
        out = {}

        def worker(n):
            out[n] = exchange(c, n)
        threads = [threading.Thread(target=worker, args=(n,)) for n in bodies]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        return out

    with Client(http2_prior_knowledge=True) as ours:
        got = run_threads(ours)
        with ours.stream("GET", base + "/stream?n=30&size=70000") as s:
            streamed = sum(len(p) for p in s.iter_bytes())
        conns = ours.pool.connections
    with httpx.Client(http1=False, http2=True) as theirs:  # one thread at a time for httpx
        want = {n: exchange(theirs, n) for n in bodies}
    assert got == want == {n: (200, "HTTP/2", "2", True) for n in bodies}
    assert (streamed, conns) == (30 * 70000, 1)


def test_http2_timeouts_and_abandoned_streams_leave_the_connection_usable(h2c_port):
    base = f"http://127.0.0.1:{h2c_port}"
    with Client(http2_prior_knowledge=True, timeout=30) as c:
        c.get(base + "/echo")
        with pytest.raises(ReadTimeout):
            c.get(base + "/slow-body", timeout=0.3)
        r = c.send(c.build_request("GET", base + "/stream?n=40&size=70000"), stream=True)
        next(r.iter_bytes())
        del r  # unread and unclosed: the collector resets its stream
        gc.collect()
        after = c.get(base + "/echo", timeout=5)
        assert (after.status_code, after.http_version, c.pool.connections) == (200, "HTTP/2", 1)


@pytest.mark.parametrize("blocking", [False, True])
def test_http1_disabled_refuses_a_server_that_does_not_choose_h2(tls_port, blocking):
    cert = tls_port[1]
    ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    ctx.load_cert_chain(cert, os.path.join(os.path.dirname(cert), "key.pem"))
    ctx.set_alpn_protocols(["http/1.1"])
    listener = socket.create_server(("127.0.0.1", 0))
    listener.settimeout(10)

    def serve() -> None:  # one TLS handshake choosing http/1.1, then nothing
        conn, _ = listener.accept()
        with ctx.wrap_socket(conn, server_side=True) as tls:
            tls.settimeout(10)
            tls.recv(1)

    t = threading.Thread(target=serve, daemon=True)
    t.start()
    url = f"https://127.0.0.1:{listener.getsockname()[1]}/"
    with pytest.raises(UnsupportedProtocol, match="HTTP/1.1 was disabled"):
        if blocking:
            with Client(verify=cert, http1=False, http2=True) as c:
                c.get(url)
        else:
            async def main() -> None:
                async with AsyncClient(verify=cert, http1=False, http2=True) as c:
                    await c.get(url)

            asyncio.run(main())
    t.join(10)
    listener.close()


def test_write_timeout_bounds_each_wait_not_a_whole_large_body():
    """8 MiB to a server that reads 64 KiB every 10 ms (about 1 s in all) under a write timeout
    of 0.5 s: the upload keeps moving, so it is not cut off."""
    size = 8 << 20
    listener = socket.create_server(("127.0.0.1", 0))
    listener.settimeout(10)

    def serve() -> None:
        conn, _ = listener.accept()
        with conn:
            conn.settimeout(10)
            data = b""
            while b"\r\n\r\n" not in data:
                data += conn.recv(65536)
            got = len(data.partition(b"\r\n\r\n")[2])
            while got < size:
                got += len(conn.recv(65536))
                time.sleep(0.01)
            conn.sendall(b"HTTP/1.1 200 OK\r\ncontent-length: %d\r\n\r\n%d" % (len(str(got)), got))

    t = threading.Thread(target=serve, daemon=True)
    t.start()
    try:
        with Client(timeout=Timeout(10.0, write=0.5)) as c:
            r = c.post(f"http://127.0.0.1:{listener.getsockname()[1]}/", content=b"x" * size)
        assert r.content == b"%d" % size
    finally:
        t.join(20)
        listener.close()
