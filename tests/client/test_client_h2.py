"""The client over HTTP/2: against nginx (h2c with prior knowledge, h2 by ALPN over TLS), and
against small `h2` servers written here that echo bodies with trailers, reset streams, send
GOAWAY mid-flight, stall, and cut bodies short."""

from __future__ import annotations

import asyncio
import hashlib
import os
import shutil
import ssl
import subprocess
import sys

import pytest

from client_servers import free_port, hypercorn_app, nginx, nginx_binary
from h2server import h2_server
from velmora.client.h2 import H2Settings
from velmora.client import (
    AsyncClient,
    Limits,
    PoolTimeout,
    ReadError,
    ReadTimeout,
    RemoteProtocolError,
    Timeout,
    WriteTimeout,
)

BIG = os.urandom(3 << 20)  # three times the stream window, beyond the connection's too
FILES = {"small.txt": b"hello over h2\n", "big.bin": BIG, "empty.txt": b""}
NGINX_EXTRA = """
    location = /conn { default_type text/plain; return 200 "$connection"; }
"""


def run(coro, timeout: float = 60.0):
    return asyncio.run(asyncio.wait_for(coro, timeout))


needs_nginx = pytest.mark.skipif(nginx_binary() is None, reason="nginx not installed")


@pytest.fixture(scope="module")
def h2c_port():
    if nginx_binary() is None:
        pytest.skip("nginx not installed")
    with nginx(FILES, listen="http2", extra=NGINX_EXTRA,
               http_extra="http2_max_concurrent_streams 64;") as port:
        yield port


@pytest.fixture(scope="module")
def tls_files(tmp_path_factory):
    if shutil.which("openssl") is None:
        pytest.skip("openssl not installed")
    d = tmp_path_factory.mktemp("tls")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                    str(d / "key.pem"), "-out", str(d / "cert.pem"), "-days", "2", "-subj",
                    "/CN=localhost", "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"],
                   check=True, capture_output=True, timeout=60)
    return str(d / "cert.pem"), str(d / "key.pem")


@pytest.fixture(scope="module")
def tls_port(tls_files):
    if nginx_binary() is None:
        pytest.skip("nginx not installed")
    cert, key = tls_files
    extra = NGINX_EXTRA + f"ssl_certificate {cert};\nssl_certificate_key {key};\n"
    with nginx(FILES, listen="ssl http2", extra=extra) as port:
        yield port


# ---- nginx ----------------------------------------------------------------------------------


def test_many_concurrent_requests_share_one_connection(h2c_port):
    # 400 requests against a server that allows 64 streams at a time: they wait for slots
    # instead of opening more connections, and nginx names one connection for all of them.
    async def main():
        base = f"http://127.0.0.1:{h2c_port}"
        async with AsyncClient(http2_prior_knowledge=True) as c:
            rs = await asyncio.gather(*[c.get(base + ("/conn" if i % 2 else "/small.txt"))
                                        for i in range(400)])
            conns = {r.content for r in rs if r.url.endswith("/conn")}
            smalls = {(r.status, r.content, r.http_version) for r in rs
                      if r.url.endswith("/small.txt")}
            p = c.pool
            return len(conns), smalls, p.connections
    assert run(main()) == (1, {(200, FILES["small.txt"], "HTTP/2")}, 1)


def test_a_server_ending_connections_after_n_requests_loses_none():
    # nginx sends GOAWAY after 50 requests of a connection; the streams above its last id
    # were not processed and go out again on the next connection, whatever their number.
    if nginx_binary() is None:
        pytest.skip("nginx not installed")

    async def main(port):
        async with AsyncClient(http2_prior_knowledge=True) as c:
            rs = await asyncio.gather(*[c.get(f"http://127.0.0.1:{port}/conn")
                                        for _ in range(300)])
            return {r.status for r in rs}, len({r.content for r in rs})
    with nginx(FILES, listen="http2", keepalive_requests=50, extra=NGINX_EXTRA) as port:
        statuses, conns = run(main(port))
    assert statuses == {200} and conns >= 6  # 50 requests per connection at most


def test_large_bodies_beyond_the_windows_and_a_slow_reader(h2c_port):
    async def main():
        base = f"http://127.0.0.1:{h2c_port}"
        async with AsyncClient(http2_prior_knowledge=True) as c:
            rs = await asyncio.gather(*[c.get(base + "/big.bin") for _ in range(6)])
            ok = [r.content == BIG for r in rs]
            # A reader that stops: the server can send only what the stream's window allows
            # (1 MiB), and the rest arrives as the reader takes it.
            async with c.stream("GET", base + "/big.bin") as r:
                await asyncio.sleep(0.3)
                s = r._stream
                buffered = sum(len(d) for d, _ in s._chunks)
                held = (buffered <= H2Settings().stream_window,
                        s.conn.stream_recv_unreleased(s.sid) == buffered, buffered > 0)
                got = bytearray()
                async for chunk in r.aiter_bytes():
                    got += chunk
                    if len(got) < (2 << 20):
                        await asyncio.sleep(0.002)
            small = await c.get(base + "/small.txt")
            return ok, held, bytes(got) == BIG, small.content, c.pool.connections
    assert run(main()) == ([True] * 6, (True, True, True), True, FILES["small.txt"], 1)


def test_head_204_empty_missing_and_abandoned_bodies(h2c_port):
    async def main():
        base = f"http://127.0.0.1:{h2c_port}"
        async with AsyncClient(http2_prior_knowledge=True) as c:
            head = await c.head(base + "/big.bin")
            r204 = await c.get(base + "/status/204")
            empty = await c.get(base + "/empty.txt")
            missing = await c.get(base + "/nope")
            # Close a response after its first piece: the stream is reset, the connection
            # carries on.
            for _ in range(5):
                async with c.stream("GET", base + "/big.bin") as r:
                    async for _chunk in r.aiter_bytes():
                        break
            after = await c.get(base + "/small.txt")
            return (head.status, head.headers["content-length"], head.content, r204.status,
                    r204.content, empty.content, missing.status, after.content,
                    c.pool.connections)
    assert run(main()) == (200, str(len(BIG)), b"", 204, b"", b"", 404,
                           FILES["small.txt"], 1)


def test_tls_alpn_selects_h2_and_http1_stays_available(tls_port, tls_files):
    cafile = tls_files[0]

    async def main():
        url = f"https://127.0.0.1:{tls_port}/big.bin"
        async with AsyncClient(http2=True, verify=cafile) as c:
            rs = await asyncio.gather(*[c.get(url) for _ in range(4)])
            r2 = [(r.http_version, r.content == BIG) for r in rs]
            conns = {(await c.get(f"https://127.0.0.1:{tls_port}/conn")).content
                     for _ in range(3)}
            n2 = c.pool.connections
        async with AsyncClient(verify=cafile) as c:
            r1 = await c.get(url)
        return r2, len(conns), n2, r1.http_version, r1.content == BIG
    assert run(main()) == ([("HTTP/2", True)] * 4, 1, 1, "HTTP/1.1", True)


def test_http2_offered_to_an_http1_server_and_to_nobody(tls_files):
    if nginx_binary() is None:
        pytest.skip("nginx not installed")
    cert, key = tls_files

    async def main(port):
        async with AsyncClient(http2=True, verify=cert) as c:
            rs = await asyncio.gather(*[c.get(f"https://127.0.0.1:{port}/small.txt")
                                        for _ in range(10)])
            ok = {(r.http_version, r.content) for r in rs}
        dead = free_port()
        async with AsyncClient(http2_prior_knowledge=True) as c:
            errs = await asyncio.gather(*[c.get(f"http://127.0.0.1:{dead}/") for _ in range(20)],
                                        return_exceptions=True)
        return ok, {type(e).__name__ for e in errs}
    extra = f"ssl_certificate {cert};\nssl_certificate_key {key};\n"
    with nginx(FILES, listen="ssl", extra=extra) as port:  # no http2: ALPN picks http/1.1
        assert run(main(port)) == ({("HTTP/1.1", FILES["small.txt"])}, {"ConnectError"})


def test_httpx_with_http2_through_the_transport(h2c_port, tls_port, tls_files):
    httpx = pytest.importorskip("httpx")
    import velmora.client

    async def main():
        t = velmora.client.AsyncTransport(http2_prior_knowledge=True)
        async with httpx.AsyncClient(transport=t) as c:
            rs = await asyncio.gather(*[c.get(f"http://127.0.0.1:{h2c_port}/small.txt")
                                        for _ in range(50)])
            big = await c.get(f"http://127.0.0.1:{h2c_port}/big.bin")
            a = ({(r.status_code, r.http_version, r.content) for r in rs},
                 big.content == BIG, t.pool.connections)
        ctx = ssl.create_default_context(cafile=tls_files[0])
        t = velmora.client.AsyncTransport(http2=True, verify=ctx)
        async with httpx.AsyncClient(transport=t) as c:
            r = await c.get(f"https://127.0.0.1:{tls_port}/small.txt")
            b = (r.http_version, r.content)
        return a, b
    assert run(main()) == (({(200, "HTTP/2", FILES["small.txt"])}, True, 1),
                           ("HTTP/2", FILES["small.txt"]))


def test_cli_http2_prior_knowledge_and_alpn(h2c_port, tls_port, tls_files):
    cmd = [sys.executable, "-c", "import sys; from velmora.client.cli import main; "
           "sys.exit(main(sys.argv[1:]))"]
    p = subprocess.run(cmd + ["get", "-i", "--http2-prior-knowledge",
                              f"http://127.0.0.1:{h2c_port}/small.txt"],
                       capture_output=True, timeout=30)
    assert p.returncode == 0, p.stderr
    head, _, body = p.stdout.partition(b"\r\n\r\n")
    assert head.split(b"\r\n")[0] == b"HTTP/2 200 OK" and body == FILES["small.txt"]
    env = dict(os.environ, SSL_CERT_FILE=tls_files[0])
    p = subprocess.run(cmd + ["get", "-i", "--http2", f"https://127.0.0.1:{tls_port}/small.txt"],
                       capture_output=True, timeout=30, env=env)
    assert p.returncode == 0, p.stderr
    assert p.stdout.startswith(b"HTTP/2 200 OK\r\n") and p.stdout.endswith(FILES["small.txt"])


# ---- scripted h2 servers ----------------------------------------------------------------------


async def echo(conn, req):
    body = bytes(req.body)
    await conn.respond(req.sid, 200, body,
                       headers=[(b"x-path", req.path),
                                (b"x-req-trailer", (req.trailers or {}).get(b"x-t", b"-"))],
                       trailers=[(b"x-sha", hashlib.sha256(body).hexdigest().encode())])


def test_request_bodies_in_every_form_with_response_trailers():
    big = os.urandom(1_500_000)  # beyond the server's 65,535-byte stream and connection windows

    async def gen():
        for i in range(0, len(big), 100_000):
            yield big[i:i + 100_000]
            await asyncio.sleep(0)

    async def main():
        async with h2_server(echo) as (srv, port):
            base = f"http://127.0.0.1:{port}"
            async with AsyncClient(http2_prior_knowledge=True) as c:
                rs = await asyncio.gather(
                    c.post(base + "/bytes", content=big),
                    c.put(base + "/iter", content=[big[:10], big[10:]]),
                    c.post(base + "/agen", content=gen()),
                    c.post(base + "/json", json={"a": 1}),
                    c.post(base + "/empty", content=b""),
                )
                out = []
                for r in rs:
                    out.append((r.status, r.headers["x-path"], len(r.content),
                                r.trailers["x-sha"] == hashlib.sha256(r.content).hexdigest()
                                .encode()))
                return out, rs[0].content == big, rs[3].content, srv.connections
    out, same, js, nconn = run(main())
    assert out == [(200, "/bytes", len(big), True), (200, "/iter", len(big), True),
                   (200, "/agen", len(big), True), (200, "/json", 7, True),
                   (200, "/empty", 0, True)]
    assert same and js == b'{"a":1}' and nconn == 1


def test_a_stream_reset_by_the_server_fails_only_that_request():
    async def handler(conn, req):
        if req.path == b"/reset":
            conn.reset(req.sid, 2)  # INTERNAL_ERROR
        elif req.path == b"/reset-mid-body":
            conn.h2.send_headers(req.sid, [(b":status", b"200")])
            conn.h2.send_data(req.sid, b"partial")
            conn.flush()
            await asyncio.sleep(0.05)
            conn.reset(req.sid, 8)
        else:
            await echo(conn, req)

    async def main():
        async with h2_server(handler) as (srv, port):
            base = f"http://127.0.0.1:{port}"
            async with AsyncClient(http2_prior_knowledge=True) as c:
                rs = await asyncio.gather(c.get(base + "/reset"), c.get(base + "/ok"),
                                          c.get(base + "/reset-mid-body"),
                                          return_exceptions=True)
                after = await c.get(base + "/after")
                return rs, after.status, srv.connections
    (reset, ok, mid), status, nconn = run(main())
    assert isinstance(reset, RemoteProtocolError)
    assert "reset stream 1 (INTERNAL_ERROR)" in str(reset)
    assert ok.status == 200 and ok.headers["x-path"] == "/ok"
    assert isinstance(mid, RemoteProtocolError) and "(CANCEL)" in str(mid)
    assert (status, nconn) == (200, 1)


def test_goaway_mid_flight_retries_the_unprocessed_requests_on_a_new_connection():
    held = []

    async def handler(conn, req):
        if conn is conn.server.conns[0]:
            held.append(req)
            if len(held) == 6:
                # Process streams 1..5 (ids 1,3,5), refuse the rest.
                conn.goaway(5)
                for r in held:
                    if r.sid <= 5:
                        await echo(conn, r)
            return
        await echo(conn, req)

    async def main():
        async with h2_server(handler) as (srv, port):
            base = f"http://127.0.0.1:{port}"
            async with AsyncClient(http2_prior_knowledge=True) as c:
                rs = await asyncio.gather(*[c.post(base + f"/{i}", content=b"x%d" % i)
                                            for i in range(6)])
                return [(r.status, r.content) for r in rs], srv.connections
    results, nconn = run(main())
    assert results == [(200, b"x%d" % i) for i in range(6)]
    assert nconn == 2


def test_refused_stream_is_retried_and_max_concurrent_streams_is_honoured():
    seen = {"max": 0, "live": 0, "refused": 0}

    async def handler(conn, req):
        if req.path == b"/refuse" and not seen["refused"]:
            seen["refused"] += 1
            conn.reset(req.sid, 7)
            return
        seen["live"] += 1
        seen["max"] = max(seen["max"], seen["live"])
        await asyncio.sleep(0.01)
        seen["live"] -= 1
        await echo(conn, req)

    async def main():
        async with h2_server(handler, settings={3: 3}) as (srv, port):  # MAX_CONCURRENT_STREAMS
            base = f"http://127.0.0.1:{port}"
            async with AsyncClient(http2_prior_knowledge=True) as c:
                r = await c.post(base + "/refuse", content=b"again")
                rs = await asyncio.gather(*[c.get(base + f"/{i}") for i in range(20)])
                return r.content, {x.status for x in rs}, srv.connections
    assert run(main()) == (b"again", {200}, 1)
    assert seen["max"] <= 3


def test_waiting_for_a_stream_slot_is_bounded_by_the_pool_timeout():
    async def handler(conn, req):
        if req.path == b"/slow":
            await asyncio.sleep(1.0)
        await echo(conn, req)

    async def main():
        async with h2_server(handler, settings={3: 1}) as (srv, port):  # one stream at a time
            base = f"http://127.0.0.1:{port}"
            async with AsyncClient(http2_prior_knowledge=True,
                                   timeout=Timeout(5.0, pool=0.2)) as c:
                await c.get(base + "/warm")
                slow = asyncio.ensure_future(c.get(base + "/slow"))
                await asyncio.sleep(0.05)
                with pytest.raises(PoolTimeout):
                    await c.get(base + "/waits")
                r = await slow
                after = await c.get(base + "/after")
                return r.status, after.headers["x-path"], srv.connections
    assert run(main(), 20) == (200, "/after", 1)


def test_stalls_fire_the_timeouts():
    async def handler(conn, req):
        if req.path == b"/stall-body":
            conn.h2.send_headers(req.sid, [(b":status", b"200")])
            conn.h2.send_data(req.sid, b"first")
            conn.flush()
        await asyncio.sleep(30)

    async def main():
        async with h2_server(handler, settings={4: 10}) as (srv, port):  # INITIAL_WINDOW_SIZE
            base = f"http://127.0.0.1:{port}"
            async with AsyncClient(http2_prior_knowledge=True,
                                   timeout=Timeout(5.0, read=0.3, write=0.3)) as c:
                with pytest.raises(ReadTimeout):
                    await c.get(base + "/stall-head")
                async with c.stream("GET", base + "/stall-body") as r:
                    it = r.aiter_bytes()
                    assert await it.__anext__() == b"first"
                    with pytest.raises(ReadTimeout):
                        await it.__anext__()
                # The server's window of 10 bytes is never reopened: the body cannot go.
                with pytest.raises((WriteTimeout, ReadTimeout)):
                    await c.post(base + "/upload", content=b"y" * 100_000)
                return c.pool.connections
    assert run(main(), 20) == 1


def test_truncated_bodies_are_errors_never_short_and_complete():
    async def handler(conn, req):
        conn.h2.send_headers(req.sid, [(b":status", b"200"), (b"content-length", b"100")])
        conn.h2.send_data(req.sid, b"z" * 40, end_stream=req.path == b"/short-end")
        conn.flush()
        await conn.writer.drain()
        if req.path == b"/cut":
            await asyncio.sleep(0.05)
            conn.abort()

    async def main():
        async with h2_server(handler) as (srv, port):
            base = f"http://127.0.0.1:{port}"
            async with AsyncClient(http2_prior_knowledge=True) as c:
                with pytest.raises(RemoteProtocolError):
                    await c.get(base + "/short-end")  # END_STREAM before content-length
                with pytest.raises(ReadError):
                    await c.get(base + "/cut")  # the connection closes mid-body
    run(main(), 20)


def test_server_that_is_not_http2_fails_clearly(h2c_port):
    async def main():
        async def serve(reader, writer):
            await reader.read(100)
            writer.write(b"HTTP/1.1 400 Bad Request\r\ncontent-length: 0\r\n\r\n")
            await writer.drain()
            writer.close()
        srv = await asyncio.start_server(serve, "127.0.0.1", 0)
        port = srv.sockets[0].getsockname()[1]
        try:
            async with AsyncClient(http2_prior_knowledge=True, timeout=3.0) as c:
                with pytest.raises((RemoteProtocolError, ReadError)):
                    await c.get(f"http://127.0.0.1:{port}/")
        finally:
            srv.close()
    run(main(), 20)


def test_pool_close_fails_requests_in_flight_and_idle_connections_expire():
    async def handler(conn, req):
        if req.path == b"/slow":
            await asyncio.sleep(30)
        await echo(conn, req)

    async def main():
        async with h2_server(handler) as (srv, port):
            base = f"http://127.0.0.1:{port}"
            c = AsyncClient(http2_prior_knowledge=True,
                            limits=Limits(keepalive_expiry=0.2))
            await c.get(base + "/a")
            assert c.pool.connections == 1
            await asyncio.sleep(0.5)
            expired = c.pool.connections
            await c.get(base + "/b")
            slow = asyncio.ensure_future(c.get(base + "/slow"))
            await asyncio.sleep(0.1)
            await c.aclose()
            with pytest.raises(ReadError):
                await slow
            return expired, srv.connections
    assert run(main(), 20) == (0, 2)


def test_a_response_arriving_in_pieces_of_a_few_bytes():
    body = os.urandom(3000)

    lock = asyncio.Lock()  # one response at a time, or their bytes would interleave

    async def handler(conn, req):
        async with lock:
            conn.h2.send_headers(req.sid, [(b":status", b"201"), (b"x-a", b"1")])
            conn.h2.send_data(req.sid, body)
            conn.h2.send_headers(req.sid, [(b"x-t", b"done")], end_stream=True)
            data = conn.h2.data_to_send()
            for i in range(len(data)):
                conn.writer.write(data[i:i + 1])
                await conn.writer.drain()
                if i % 16 == 0 or i > len(data) - 64:
                    await asyncio.sleep(0.0005)

    async def main():
        async with h2_server(handler) as (srv, port):
            async with AsyncClient(http2_prior_knowledge=True) as c:
                rs = await asyncio.gather(*[c.get(f"http://127.0.0.1:{port}/{i}")
                                            for i in range(3)])
                return [(r.status, r.headers["x-a"], r.content == body, r.trailers["x-t"])
                        for r in rs]
    assert run(main(), 30) == [(201, "1", True, b"done")] * 3


def test_a_server_breaking_http2_fails_the_connection_with_goaway():
    async def handler(conn, req):
        # DATA on stream 0 is a connection error (RFC 9113, 6.1).
        conn.writer.write(b"\x00\x00\x01\x00\x00\x00\x00\x00\x00x")
        await conn.writer.drain()

    async def main():
        async with h2_server(handler) as (srv, port):
            async with AsyncClient(http2_prior_knowledge=True) as c:
                with pytest.raises(RemoteProtocolError, match="broke HTTP/2"):
                    await c.get(f"http://127.0.0.1:{port}/")
                for _ in range(100):
                    if srv.conns[0].terminated is not None:
                        break
                    await asyncio.sleep(0.02)
                return srv.conns[0].terminated, c.pool.connections
    # GOAWAY(PROTOCOL_ERROR, last stream 0), and the pool forgot the connection.
    assert run(main(), 20) == ((1, 0), 0)


def test_request_and_response_bodies_and_trailers_with_hypercorn():
    up = os.urandom(2_500_000)

    async def chunks():
        for i in range(0, len(up), 300_000):
            yield up[i:i + 300_000]

    async def main(port):
        url = f"http://127.0.0.1:{port}/echo-trailers"
        # hypercorn sends trailers to clients that say they accept them (TE: trailers, the
        # one TE value HTTP/2 allows).
        async with AsyncClient(http2_prior_knowledge=True, timeout=30.0,
                               headers={"te": "trailers"}) as c:
            rs = await asyncio.gather(c.post(url, content=up), c.put(url, content=chunks()),
                                      *[c.post(url, content=b"n%d" % i) for i in range(30)])
            out = [(r.status, r.http_version, r.headers["x-version"], r.trailers["x-length"],
                    r.trailers["x-sha256"] == hashlib.sha256(r.content).hexdigest().encode())
                   for r in rs]
            return out, rs[0].content == up, rs[1].content == up, c.pool.connections
    with hypercorn_app() as port:
        out, same0, same1, nconn = run(main(port))
    assert out[:2] == [(200, "HTTP/2", "2", str(len(up)).encode(), True)] * 2
    assert out[2:] == [(200, "HTTP/2", "2", str(len(b"n%d" % i)).encode(), True)
                       for i in range(30)]
    assert same0 and same1 and nconn == 1


def test_a_failing_request_body_and_an_abandoned_response_reset_their_streams():
    from velmora.client import LocalProtocolError

    async def handler(conn, req):
        await echo(conn, req)

    async def broken():
        yield b"part"
        await asyncio.sleep(0.05)
        raise RuntimeError("disk on fire")

    async def main():
        async with h2_server(handler) as (srv, port):
            base = f"http://127.0.0.1:{port}"
            async with AsyncClient(http2_prior_knowledge=True) as c:
                with pytest.raises(LocalProtocolError, match="disk on fire"):
                    await c.post(base + "/up", content=broken())
                # A cancelled request (the caller gave up) resets its stream too.
                task = asyncio.ensure_future(c.post(base + "/never", content=broken()))
                await asyncio.sleep(0.02)
                task.cancel()
                with pytest.raises(asyncio.CancelledError):
                    await task
                ok = await c.get(base + "/ok")
                for _ in range(100):
                    if len(srv.conns[0].resets) == 2:
                        break
                    await asyncio.sleep(0.01)
                return srv.conns[0].resets, ok.status, srv.connections
    assert run(main(), 20) == ({1: 8, 3: 8}, 200, 1)  # RST_STREAM(CANCEL) for both


def test_a_complete_response_then_reset_no_error_is_a_success():
    # The server answers before reading the request body, then stops it with
    # RST_STREAM(NO_ERROR) (RFC 9113, 8.1): the response stands.
    async def handler(conn, req):
        await conn.respond(req.sid, 413, b"too big")
        conn.reset(req.sid, 0)

    async def main():
        async with h2_server(handler, on_headers=lambda conn, req: conn.server._start(
                conn, req)) as (srv, port):
            async with AsyncClient(http2_prior_knowledge=True,
                                   limits=Limits(keepalive_expiry=0.3)) as c:
                r = await c.post(f"http://127.0.0.1:{port}/up", content=b"z" * 5_000_000)
                await asyncio.sleep(0.6)  # the connection is idle again: it expires
                return r.status, r.content, c.pool.connections
    assert run(main(), 20) == (413, b"too big", 0)


def test_an_https_proxy_is_spoken_to_in_http1_even_with_http2_on(tls_files):
    cert, key = tls_files
    seen = []

    async def main():
        ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        ctx.load_cert_chain(cert, key)
        ctx.set_alpn_protocols(["h2", "http/1.1"])  # a proxy that would take h2 if offered

        async def serve(reader, writer):
            seen.append(writer.get_extra_info("ssl_object").selected_alpn_protocol())
            head = await reader.readuntil(b"\r\n\r\n")
            seen.append(head.split(b"\r\n")[0])
            writer.write(b"HTTP/1.1 200 OK\r\ncontent-length: 2\r\n\r\nok")
            await writer.drain()
            writer.close()
        srv = await asyncio.start_server(serve, "127.0.0.1", 0, ssl=ctx)
        port = srv.sockets[0].getsockname()[1]
        try:
            async with AsyncClient(http2=True, verify=cert,
                                   proxy=f"https://127.0.0.1:{port}") as c:
                r = await c.get("http://origin.test/x")
                return r.status, r.content, r.http_version
        finally:
            srv.close()
    assert run(main(), 20) == (200, b"ok", "HTTP/1.1")
    assert seen == ["http/1.1", b"GET http://origin.test/x HTTP/1.1"]
