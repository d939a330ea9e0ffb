"""``httpx.AsyncClient`` on velmora's transport, through httpx's own API: redirects, cookies,
streaming, uploads, concurrency, timeouts and error types, against uvicorn and nginx."""

from __future__ import annotations

import asyncio

import httpx
import pytest

import velmora.client
from client_servers import nginx, nginx_binary, uvicorn_app

BIG = bytes(range(256)) * 2048


def run(coro, timeout: float = 30.0):
    return asyncio.run(asyncio.wait_for(coro, timeout))


@pytest.fixture(scope="module")
def app_port():
    with uvicorn_app() as port:
        yield port


def client(**kw):
    return httpx.AsyncClient(transport=velmora.client.AsyncTransport(**kw))


def test_redirects_cookies_and_history(app_port):
    async def main():
        base = f"http://127.0.0.1:{app_port}"
        async with client() as c:
            r = await c.get(base + "/redirect/3", follow_redirects=True)
            not_followed = await c.get(base + "/redirect/1")
            await c.get(base + "/cookie/set")
            cookie = await c.get(base + "/cookie/get")
            return (r.status_code, [h.status_code for h in r.history], str(r.url),
                    r.http_version, not_followed.status_code,
                    not_followed.headers["location"], cookie.text,
                    c._transport.pool.connections)
    assert run(main()) == (200, [302, 302, 302], f"http://127.0.0.1:{app_port}/echo",
                           "HTTP/1.1", 302, "/echo",
                           "flavour=oatmeal", 1)


def test_uploads_and_streamed_downloads(app_port):
    async def upload():
        for part in (b"one,", b"two,", b"three"):
            yield part

    async def main():
        url = f"http://127.0.0.1:{app_port}/echo"
        async with client() as c:
            a = await c.post(url, content=b"plain")
            b = await c.post(url, content=upload())
            j = await c.post(url, json={"k": "v"})
            f = await c.post(url, data={"a": "1", "b": "x y"})
            async with c.stream("GET", f"http://127.0.0.1:{app_port}/stream?n=4&size=5000") as s:
                pieces = [len(p) async for p in s.aiter_bytes()]
            return (a.text, a.headers["x-chunked"], b.text, b.headers["x-chunked"], j.json(),
                    f.text, sum(pieces))
    assert run(main()) == ("plain", "no", "one,two,three", "yes", {"k": "v"}, "a=1&b=x+y",
                           20000)


def test_concurrent_requests_share_the_pool(app_port):
    async def main():
        async with client(limits=httpx.Limits(max_connections=4)) as c:
            rs = await asyncio.gather(*(
                c.post(f"http://127.0.0.1:{app_port}/echo", content=str(i).encode())
                for i in range(40)))
            return sorted(int(r.text) for r in rs), c._transport.pool.connections
    values, conns = run(main())
    assert values == list(range(40)) and 1 <= conns <= 4


def test_timeouts_and_errors_are_httpx_types(app_port):
    async def main():
        async with client() as c:
            with pytest.raises(httpx.ReadTimeout):
                await c.get(f"http://127.0.0.1:{app_port}/slow-body", timeout=0.3)
            srv = await asyncio.start_server(lambda r, w: None, "127.0.0.1", 0)
            port = srv.sockets[0].getsockname()[1]
            srv.close()
            await srv.wait_closed()
            with pytest.raises(httpx.ConnectError):
                await c.get(f"http://127.0.0.1:{port}/")

            async def truncated(reader, writer):
                await reader.readuntil(b"\r\n\r\n")
                writer.write(b"HTTP/1.1 200 OK\r\ncontent-length: 10\r\n\r\nabc")
                writer.close()
            bad = await asyncio.start_server(truncated, "127.0.0.1", 0)
            with pytest.raises(httpx.RemoteProtocolError):
                await c.get(f"http://127.0.0.1:{bad.sockets[0].getsockname()[1]}/")
            bad.close()
    run(main())


@pytest.mark.skipif(nginx_binary() is None, reason="nginx not installed")
def test_nginx_large_file_and_head():
    with nginx({"big.bin": BIG}) as port:
        async def main():
            async with client() as c:
                r = await c.get(f"http://127.0.0.1:{port}/big.bin")
                h = await c.head(f"http://127.0.0.1:{port}/big.bin")
                return r.content == BIG, h.headers["content-length"], h.content
        assert run(main()) == (True, str(len(BIG)), b"")
