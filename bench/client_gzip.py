"""Async client benchmark: sequential GETs of a gzip-encoded 100 KiB JSON document from nginx
(``gzip_static``: the file is compressed once, so the server does no per-request work), each
client decoding the body.

Contenders, interleaved round by round on one event loop, one keep-alive connection each:
velmora's ``AsyncClient``, ``aiohttp.ClientSession`` and ``httpx.AsyncClient``. The best round
of each is reported, with velmora's ratios to the others.

usage: python bench/client_gzip.py [--requests 1000] [--rounds 5] [--uvloop]
needs: nginx (Debian package), pip install '.[bench]'
"""

from __future__ import annotations

import argparse
import asyncio
import gzip
import json
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from nginx_static import best_rounds, start_nginx  # noqa: E402

DOC = json.dumps([{"id": i, "name": f"user {i}", "email": f"user{i}@example.org",
                   "active": i % 3 == 0, "score": i * 7 % 101} for i in range(1100)]).encode()


async def run_velmora(url: str, n: int) -> tuple[float, float]:
    import velmora.client

    async with velmora.client.AsyncClient() as c:
        r = await c.get(url)
        assert r.headers["content-encoding"] == "gzip" and r.content == DOC
        t, cpu = time.perf_counter(), time.process_time()
        for _ in range(n):
            r = await c.get(url)
            assert len(r.content) == len(DOC)
        return time.perf_counter() - t, time.process_time() - cpu


async def run_httpx(url: str, n: int) -> tuple[float, float]:
    import httpx

    async with httpx.AsyncClient() as c:
        r = await c.get(url)
        assert r.headers["content-encoding"] == "gzip" and r.content == DOC
        t, cpu = time.perf_counter(), time.process_time()
        for _ in range(n):
            r = await c.get(url)
            assert len(r.content) == len(DOC)
        return time.perf_counter() - t, time.process_time() - cpu


async def run_aiohttp(url: str, n: int) -> tuple[float, float]:
    import aiohttp

    async with aiohttp.ClientSession(connector=aiohttp.TCPConnector(limit=1)) as s:
        async with s.get(url) as r:
            assert r.headers["content-encoding"] == "gzip" and await r.read() == DOC
        t, cpu = time.perf_counter(), time.process_time()
        for _ in range(n):
            async with s.get(url) as r:
                assert len(await r.read()) == len(DOC)
        return time.perf_counter() - t, time.process_time() - cpu


CONTENDERS = [("velmora", run_velmora), ("aiohttp", run_aiohttp), ("httpx", run_httpx)]


async def bench(url: str, n: int, rounds: int) -> None:
    best, cpu = await best_rounds(CONTENDERS, rounds, n, url, n)
    print(f"\n{n} sequential GETs of a {len(DOC) // 1024} KiB JSON document sent gzip-encoded "
          f"(best of {rounds} rounds):")
    for name, el in best.items():
        print(f"  {name:10s} {n / el:9,.0f} req/s  {el / n * 1e6:8.1f} us/req wall  "
              f"{cpu[name] / n * 1e6:8.1f} us/req client CPU")
    for label, a, b, target in (("velmora / aiohttp", "velmora", "aiohttp", 2),
                                ("velmora / httpx", "velmora", "httpx", 3)):
        if a in best and b in best:
            print(f"  {label:20s} {best[b] / best[a]:6.2f}x wall  {cpu[b] / cpu[a]:6.2f}x CPU"
                  f"  (target >= {target})")


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--requests", type=int, default=1000)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--uvloop", action="store_true")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        proc, port = start_nginx(tmp, http="keepalive_requests 1000000; gzip_static on;")
        try:
            www = Path(tmp) / "www"
            (www / "doc.json").write_bytes(DOC)
            (www / "doc.json.gz").write_bytes(gzip.compress(DOC, 6))
            url = f"http://127.0.0.1:{port}/doc.json"
            if args.uvloop:
                import uvloop

                uvloop.run(bench(url, args.requests, args.rounds))
            else:
                asyncio.run(bench(url, args.requests, args.rounds))
        finally:
            proc.terminate()
            proc.wait()


if __name__ == "__main__":
    main()
