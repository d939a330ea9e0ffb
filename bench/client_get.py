"""Client benchmark: sequential GETs over one keep-alive connection against nginx.

Contenders, interleaved round by round on one event loop, each making REQUESTS sequential GETs of
a small static file over one kept-alive connection (each reads the whole body):

- velmora: ``velmora.client.AsyncClient``
- httpx: ``httpx.AsyncClient`` with its default transport
- aiohttp: ``aiohttp.ClientSession``
- httpx+velmora: ``httpx.AsyncClient(transport=velmora.client.AsyncTransport())``

The best round of each is reported (requests per second), with velmora's ratios to the others.
Then the memory one idle pooled connection costs: N connections are opened to nginx at once and
left idle in the pool; glibc's in-use byte count (the script re-runs itself with
PYTHONMALLOC=malloc, so Python objects are counted too) before and after, divided by N.

usage: python bench/client_get.py [--requests 2000] [--rounds 5] [--uvloop] [--idle 500]
needs: nginx (Debian package), pip install '.[bench]'
"""

from __future__ import annotations

import argparse
import asyncio
import ctypes
import gc
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from nginx_static import BODY, best_rounds, start_nginx  # noqa: E402


# ---- contenders ---------------------------------------------------------------------------------

async def run_velmora(url: str, n: int) -> tuple[float, float]:
    import velmora.client

    async with velmora.client.AsyncClient() as c:
        await c.get(url)  # connect outside the timing
        t, cpu = time.perf_counter(), time.process_time()
        for _ in range(n):
            r = await c.get(url)
            assert r.content == BODY
        el, cpu = time.perf_counter() - t, time.process_time() - cpu
        assert c.pool.connections == 1
    return el, cpu


async def run_httpx(url: str, n: int, transport=None) -> tuple[float, float]:
    import httpx

    async with httpx.AsyncClient(transport=transport) as c:
        await c.get(url)
        t, cpu = time.perf_counter(), time.process_time()
        for _ in range(n):
            r = await c.get(url)
            assert r.content == BODY
        return time.perf_counter() - t, time.process_time() - cpu


async def run_httpx_velmora(url: str, n: int) -> tuple[float, float]:
    import velmora.client

    return await run_httpx(url, n, velmora.client.AsyncTransport())


async def run_aiohttp(url: str, n: int) -> tuple[float, float]:
    import aiohttp

    async with aiohttp.ClientSession(connector=aiohttp.TCPConnector(limit=1)) as s:
        async with s.get(url) as r:
            await r.read()
        t, cpu = time.perf_counter(), time.process_time()
        for _ in range(n):
            async with s.get(url) as r:
                assert await r.read() == BODY
        return time.perf_counter() - t, time.process_time() - cpu


CONTENDERS = [("velmora", run_velmora), ("httpx", run_httpx), ("aiohttp", run_aiohttp),
              ("httpx+velmora", run_httpx_velmora)]


async def throughput(url: str, n: int, rounds: int) -> None:
    best, cpu = await best_rounds(CONTENDERS, rounds, n, url, n)
    print(f"\n{n} sequential GETs of {len(BODY)} bytes over one keep-alive connection "
          f"(best of {rounds} rounds; client CPU is this process's CPU time):")
    for name, el in best.items():
        print(f"  {name:15s} {n / el:9,.0f} req/s  {el / n * 1e6:8.1f} us/req wall  "
              f"{cpu[name] / n * 1e6:8.1f} us/req client CPU")
    for label, a, b, target in (
            ("velmora / httpx default transport", "velmora", "httpx", 3),
            ("velmora / aiohttp", "velmora", "aiohttp", 1.5),
            ("httpx+velmora / httpx default transport", "httpx+velmora", "httpx", 2)):
        if a in best and b in best:
            print(f"  {label:40s} {best[b] / best[a]:6.2f}x wall  {cpu[b] / cpu[a]:6.2f}x CPU"
                  f"  (target >= {target})")


# ---- memory of idle pooled connections --------------------------------------------------------

class MallInfo2(ctypes.Structure):
    _fields_ = [(n, ctypes.c_size_t) for n in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def in_use() -> int:
    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = MallInfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


async def idle_memory(url: str, n: int) -> None:
    import velmora.client

    limits = velmora.client.Limits(max_connections=n + 1, max_keepalive_connections=n + 1,
                                   keepalive_expiry=None)
    async with velmora.client.AsyncClient(limits=limits) as warm:
        await asyncio.gather(*(warm.get(url) for _ in range(20)))
    async with velmora.client.AsyncClient(limits=limits) as c:
        await c.get(url)
        gc.collect()
        before = in_use()
        # n concurrent requests open n connections; then they all sit idle in the pool
        await asyncio.gather(*(c.get(url) for _ in range(n)))
        await asyncio.sleep(0.2)
        gc.collect()
        after = in_use()
        idle = c.pool.idle_connections
    per = (after - before) / max(idle - 1, 1)
    print(f"\nidle pooled connections: {idle} (PYTHONMALLOC={os.environ.get('PYTHONMALLOC')})")
    print(f"  per idle connection (connection state, codec, asyncio transport and socket "
          f"objects, allocator overhead): {per:,.0f} bytes")


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--requests", type=int, default=2000)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--idle", type=int, default=500)
    ap.add_argument("--uvloop", action="store_true")
    ap.add_argument("--memory-only", action="store_true")
    args = ap.parse_args()
    run = asyncio.run
    if args.uvloop:
        import uvloop

        run = uvloop.run
    with tempfile.TemporaryDirectory(prefix="velmora-bench-") as tmp:
        os.chmod(tmp, 0o755)
        proc, port = start_nginx(tmp, http="keepalive_requests 1000000;")
        url = f"http://127.0.0.1:{port}/index.html"
        try:
            if os.environ.get("PYTHONMALLOC") == "malloc":
                run(idle_memory(url, args.idle))
                return
            print(f"loop: {'uvloop' if args.uvloop else 'asyncio'}; nginx on {url}")
            if not args.memory_only:
                run(throughput(url, args.requests, args.rounds))
        finally:
            proc.terminate()
            proc.wait(5)
    sys.stdout.flush()
    subprocess.run([sys.executable, *sys.argv, "--memory-only"],
                   env=dict(os.environ, PYTHONMALLOC="malloc"), check=True)


if __name__ == "__main__":
    main()
