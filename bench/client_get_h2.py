"""Client benchmark over HTTP/2: many concurrent GETs multiplexed on one connection to nginx.

Contenders, interleaved round by round on one event loop; each opens one HTTP/2 connection to
nginx (h2c with prior knowledge, or h2 over TLS chosen by ALPN with ``--tls``), then times
CONCURRENCY GETs of a small static file started at once (each reads the whole body):

- velmora: ``velmora.client.AsyncClient(http2_prior_knowledge=True)`` (``http2=True`` with TLS)
- httpx: ``httpx.AsyncClient(http1=False, http2=True)`` with its default transport (one
  connection: ``max_connections=1``)
- httpx+velmora: ``httpx.AsyncClient(transport=velmora.client.AsyncTransport(...))``

Every contender is checked to have used exactly one connection. The best round of each is
reported, with velmora's ratio to httpx (target >= 5x).

usage: python bench/client_get_h2.py [--concurrency 1000] [--rounds 5] [--tls] [--uvloop]
needs: nginx (Debian package), openssl for --tls, pip install '.[bench]' (httpx, h2)
"""

from __future__ import annotations

import argparse
import asyncio
import os
import ssl
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from nginx_static import BODY, best_rounds  # noqa: E402
from nginx_static import start_nginx as start_static  # noqa: E402


def start_nginx(tmp: str, tls: bool, concurrency: int) -> tuple[subprocess.Popen, int, str | None]:
    cafile = None
    tls_conf = ""
    if tls:
        cafile = f"{tmp}/cert.pem"
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                        f"{tmp}/key.pem", "-out", cafile, "-days", "2", "-subj", "/CN=localhost",
                        "-addext", "subjectAltName=IP:127.0.0.1"], check=True,
                       capture_output=True)
        tls_conf = f"ssl_certificate {cafile}; ssl_certificate_key {tmp}/key.pem;"
    proc, port = start_static(tmp, http=f"keepalive_requests 10000000; "
                                        f"http2_max_concurrent_streams {concurrency};",
                              listen="ssl http2" if tls else "http2", server=tls_conf)
    return proc, port, cafile


async def timed(get, n: int) -> tuple[float, float]:
    t, cpu = time.perf_counter(), time.process_time()
    bodies = await asyncio.gather(*[get() for _ in range(n)])
    el, cpu = time.perf_counter() - t, time.process_time() - cpu
    assert all(b == BODY for b in bodies)
    return el, cpu


async def run_velmora(url: str, n: int, cafile: str | None) -> tuple[float, float]:
    import velmora.client

    kw = dict(http2=True, verify=cafile) if cafile else dict(http2_prior_knowledge=True)
    async with velmora.client.AsyncClient(timeout=60.0, **kw) as c:
        await c.get(url)  # connect outside the timing

        async def get():
            return (await c.get(url)).content
        res = await timed(get, n)
        assert c.pool.connections == 1
        return res


async def run_httpx(url: str, n: int, cafile: str | None, transport=None) -> tuple[float, float]:
    import httpx

    kw = {}
    if transport is None:
        kw = dict(http1=False, http2=True, limits=httpx.Limits(max_connections=1),
                  verify=ssl.create_default_context(cafile=cafile) if cafile else True)
    async with httpx.AsyncClient(transport=transport, timeout=60.0, **kw) as c:
        r = await c.get(url)
        assert r.http_version == "HTTP/2"

        async def get():
            return (await c.get(url)).content
        return await timed(get, n)


async def run_httpx_velmora(url: str, n: int, cafile: str | None) -> tuple[float, float]:
    import velmora.client

    kw = dict(http2=True, verify=cafile) if cafile else dict(http2_prior_knowledge=True)
    t = velmora.client.AsyncTransport(**kw)
    res = await run_httpx(url, n, cafile, t)
    return res


CONTENDERS = [("velmora", run_velmora), ("httpx", run_httpx),
              ("httpx+velmora", run_httpx_velmora)]


async def throughput(url: str, n: int, rounds: int, cafile: str | None) -> None:
    best, cpu = await best_rounds(CONTENDERS, rounds, n, url, n, cafile)
    print(f"\n{n} concurrent GETs of {len(BODY)} bytes on one HTTP/2 connection "
          f"(best of {rounds} rounds; client CPU is this process's CPU time):")
    for name, el in best.items():
        print(f"  {name:15s} {n / el:9,.0f} req/s  {el * 1e3:8.1f} ms per batch  "
              f"{cpu[name] / n * 1e6:8.1f} us/req client CPU")
    for label, a, b, target in (
            ("velmora / httpx default transport", "velmora", "httpx", 5),
            ("httpx+velmora / httpx default transport", "httpx+velmora", "httpx", None)):
        if a in best and b in best:
            t = f"  (target >= {target})" if target else ""
            print(f"  {label:40s} {best[b] / best[a]:6.2f}x wall  {cpu[b] / cpu[a]:6.2f}x CPU{t}")


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--concurrency", type=int, default=1000)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--tls", action="store_true")
    ap.add_argument("--uvloop", action="store_true")
    args = ap.parse_args()
    run = asyncio.run
    if args.uvloop:
        import uvloop

        run = uvloop.run
    with tempfile.TemporaryDirectory(prefix="velmora-bench-") as tmp:
        os.chmod(tmp, 0o755)
        proc, port, cafile = start_nginx(tmp, args.tls, args.concurrency)
        url = f"{'https' if args.tls else 'http'}://127.0.0.1:{port}/index.html"
        try:
            print(f"loop: {'uvloop' if args.uvloop else 'asyncio'}; nginx on {url}")
            run(throughput(url, args.concurrency, args.rounds, cafile))
        finally:
            proc.terminate()
            proc.wait(5)


if __name__ == "__main__":
    main()
