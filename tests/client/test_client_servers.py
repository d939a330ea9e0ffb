"""The client against independent servers: nginx (static files, keep-alive limits, idle close)
and an ASGI app under uvicorn (request bodies in every form, chunked responses, 100-continue)."""

from __future__ import annotations

import asyncio
import hashlib

import pytest

from client_servers import nginx, nginx_binary, uvicorn_app
from velmora import HeaderMap
from velmora.client import AsyncClient, Limits, ReadTimeout, Timeout

pytestmark = pytest.mark.skipif(nginx_binary() is None, reason="nginx not installed")

BIG = bytes(range(256)) * 4096  # 1 MiB
FILES = {"small.txt": b"hello from nginx\n", "big.bin": BIG, "empty.txt": b""}


def run(coro, timeout: float = 30.0):
    return asyncio.run(asyncio.wait_for(coro, timeout))


@pytest.fixture(scope="module")
def nginx_port():
    with nginx(FILES) as port:
        yield port


@pytest.fixture(scope="module")
def app_port():
    with uvicorn_app() as port:
        yield port


def test_get_reuses_one_connection(nginx_port):
    async def main():
        async with AsyncClient() as c:
            bodies = []
            for _ in range(20):
                r = await c.get(f"http://127.0.0.1:{nginx_port}/small.txt")
                bodies.append((r.status, r.content, r.http_version))
            assert c.pool.connections == 1 and c.pool.idle_connections == 1
            return bodies
    assert run(main()) == [(200, b"hello from nginx\n", "HTTP/1.1")] * 20


def test_status_head_empty_and_missing(nginx_port):
    async def main():
        base = f"http://127.0.0.1:{nginx_port}"
        async with AsyncClient() as c:
            r204 = await c.get(base + "/status/204")
            head = await c.head(base + "/big.bin")
            empty = await c.get(base + "/empty.txt")
            missing = await c.get(base + "/nope")
            after = await c.get(base + "/small.txt")
            return (r204.status, r204.content, head.status, head.headers["content-length"],
                    head.content, empty.content, missing.status, after.content,
                    c.pool.connections)
    assert run(main()) == (204, b"", 200, "1048576", b"", b"", 404, b"hello from nginx\n", 1)


def test_large_body_read_and_streamed(nginx_port):
    async def main():
        url = f"http://127.0.0.1:{nginx_port}/big.bin"
        async with AsyncClient() as c:
            whole = (await c.get(url)).content
            h = hashlib.sha256()
            sizes = []
            async with c.stream("GET", url) as r:
                async for chunk in r.aiter_bytes(chunk_size=100_000):
                    sizes.append(len(chunk))
                    h.update(chunk)
            return whole, h.hexdigest(), sizes, c.pool.connections
    whole, digest, sizes, conns = run(main())
    assert whole == BIG and digest == hashlib.sha256(BIG).hexdigest()
    assert sizes[:-1] == [100_000] * 10 and sizes[-1] == len(BIG) - 1_000_000
    assert conns == 1


def test_stream_closed_early_does_not_poison_the_pool(nginx_port):
    async def main():
        url = f"http://127.0.0.1:{nginx_port}/big.bin"
        async with AsyncClient() as c:
            async with c.stream("GET", url) as r:
                async for _ in r.aiter_bytes():
                    break
            r2 = await c.get(f"http://127.0.0.1:{nginx_port}/small.txt")
            return r2.content
    assert run(main()) == b"hello from nginx\n"


def test_keepalive_requests_limit_and_idle_close_lose_nothing():
    """nginx closes after 3 requests per connection and after 1 s idle: no request fails."""
    with nginx(FILES, keepalive_timeout="1s", keepalive_requests=3) as port:
        async def main():
            url = f"http://127.0.0.1:{port}/small.txt"
            async with AsyncClient(limits=Limits(keepalive_expiry=None)) as c:
                statuses = [(await c.get(url)).status for _ in range(10)]
                await asyncio.sleep(1.6)  # nginx closes the idle connection
                assert c.pool.idle_connections == 0  # the watcher saw the close
                statuses += [(await c.get(url)).status for _ in range(3)]
                return statuses
        assert run(main()) == [200] * 13


def test_concurrent_requests_respect_limits(nginx_port):
    async def main():
        url = f"http://127.0.0.1:{nginx_port}/small.txt"
        limits = Limits(max_connections=3, max_connections_per_host=2)
        async with AsyncClient(limits=limits) as c:
            peak = 0

            async def one():
                nonlocal peak
                r = await c.get(url)
                peak = max(peak, c.pool.connections)
                return r.content
            out = await asyncio.gather(*(one() for _ in range(30)))
            return out, peak
    out, peak = run(main())
    assert out == [b"hello from nginx\n"] * 30 and 1 <= peak <= 2


def test_request_bodies_in_every_form(app_port):
    async def gen():
        for part in (b"ab", b"", b"cd", b"e" * 70000):
            yield part
            await asyncio.sleep(0)

    async def main():
        url = f"http://127.0.0.1:{app_port}/echo"
        async with AsyncClient() as c:
            out = {}
            r = await c.post(url, content=b"x" * 100)
            out["bytes"] = (r.content, r.headers["x-chunked"], r.headers["x-body-length"])
            r = await c.post(url, content=b"y" * 300_000)
            out["big"] = (r.content == b"y" * 300_000, r.headers["x-chunked"])
            r = await c.put(url, content=[b"12", b"34"])
            out["iter"] = (r.content, r.headers["x-chunked"], r.headers["x-method"])
            r = await c.post(url, content=gen())
            out["aiter"] = (r.content == b"abcd" + b"e" * 70000, r.headers["x-chunked"])
            r = await c.post(url, content=[b"12345"], headers={"content-length": "5"})
            out["declared"] = (r.content, r.headers["x-chunked"])
            r = await c.post(url, json={"a": [1, 2]})
            out["json"] = r.content
            r = await c.post(url)
            out["empty"] = (r.content, r.headers["x-body-length"])
            r = await c.post(url, content=b"z" * 10, headers={"expect": "100-continue"})
            out["expect"] = r.content
            r = await c.request("GET", url, content=gen())
            out["get-stream"] = (len(r.content), r.headers["x-chunked"])
            r = await c.get(url, params={"q": "a b"}, headers=[("x-extra", "1")])
            out["host"] = r.headers["x-host"]
            return out, c.pool.connections
    out, conns = run(main())
    assert out == {
        "bytes": (b"x" * 100, "no", "100"),
        "big": (True, "no"),
        "iter": (b"1234", "yes", "PUT"),
        "aiter": (True, "yes"),
        "declared": (b"12345", "no"),
        "json": b'{"a":[1,2]}',
        "empty": (b"", "0"),
        "expect": b"z" * 10,
        "get-stream": (70004, "yes"),
        "host": f"127.0.0.1:{app_port}",
    }
    assert conns == 1


def test_chunked_response_streams_in_pieces(app_port):
    async def main():
        async with AsyncClient() as c:
            async with c.stream("GET", f"http://127.0.0.1:{app_port}/stream?n=5&size=3000") as r:
                assert r.headers.get("transfer-encoding") == "chunked"
                pieces = [p async for p in r.aiter_bytes()]
            return b"".join(pieces)
    body = run(main())
    assert body == b"".join(bytes([65 + i]) * 3000 for i in range(5))


def test_read_timeout_on_a_stalled_body(app_port):
    async def main():
        async with AsyncClient(timeout=Timeout(5.0, read=0.3)) as c:
            with pytest.raises(ReadTimeout):
                await c.get(f"http://127.0.0.1:{app_port}/slow-body")
            # the pool is still usable afterwards
            return (await c.get(f"http://127.0.0.1:{app_port}/echo")).status
    assert run(main()) == 200


def test_headers_given_as_headermap_replace_defaults(app_port):
    async def main():
        async with AsyncClient(headers={"user-agent": "tester/1"}) as c:
            r = await c.get(f"http://127.0.0.1:{app_port}/echo",
                            headers=HeaderMap([("host", "example.test")]))
            return r.headers["x-host"]
    assert run(main()) == "example.test"
