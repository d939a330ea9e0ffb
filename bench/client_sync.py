"""Blocking client benchmark: sequential GETs over one keep-alive connection against nginx.

Contenders, interleaved round by round, each making REQUESTS sequential GETs of a small static
file over one kept-alive connection and reading the whole body:

- velmora: ``velmora.client.Client``
- velmora+headers: the same, also reading two header fields as ``str`` (the cost of decoding
  header values to text: it happens only on access)
- requests: ``requests.Session``
- httpx: ``httpx.Client`` with its default transport
- pycurl: one ``pycurl.Curl`` handle reused (the C floor for this work)

The best round of each is reported (requests per second), with velmora's ratios to the others.

usage: python bench/client_sync.py [--requests 2000] [--rounds 5]
needs: nginx (Debian package), pip install '.[bench]' requests pycurl
"""

from __future__ import annotations

import argparse
import io
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from nginx_static import BODY, start_nginx  # noqa: E402


def run_velmora(url: str, n: int, headers: bool = False) -> tuple[float, float]:
    import velmora.client

    with velmora.client.Client() as c:
        c.get(url)  # connect outside the timing
        t, cpu = time.perf_counter(), time.process_time()
        if headers:
            for _ in range(n):
                r = c.get(url)
                assert r.content == BODY
                assert r.headers["content-type"] and r.headers.get("content-length") == "612"
        else:
            for _ in range(n):
                r = c.get(url)
                assert r.content == BODY
        el, cpu = time.perf_counter() - t, time.process_time() - cpu
        assert c.pool.connections == 1
    return el, cpu


def run_velmora_headers(url: str, n: int) -> tuple[float, float]:
    return run_velmora(url, n, True)


def run_requests(url: str, n: int) -> tuple[float, float]:
    import requests

    with requests.Session() as s:
        s.get(url)
        t, cpu = time.perf_counter(), time.process_time()
        for _ in range(n):
            r = s.get(url)
            assert r.content == BODY
        return time.perf_counter() - t, time.process_time() - cpu


def run_httpx(url: str, n: int) -> tuple[float, float]:
    import httpx

    with httpx.Client() as c:
        c.get(url)
        t, cpu = time.perf_counter(), time.process_time()
        for _ in range(n):
            r = c.get(url)
            assert r.content == BODY
        return time.perf_counter() - t, time.process_time() - cpu


def run_pycurl(url: str, n: int) -> tuple[float, float]:
    import pycurl

    c = pycurl.Curl()
    c.setopt(pycurl.URL, url)
    buf = io.BytesIO()
    c.setopt(pycurl.WRITEDATA, buf)
    c.perform()
    t, cpu = time.perf_counter(), time.process_time()
    for _ in range(n):
        buf.seek(0)
        buf.truncate()
        c.perform()
        assert buf.getvalue() == BODY
    el, cpu = time.perf_counter() - t, time.process_time() - cpu
    c.close()
    return el, cpu


CONTENDERS: list[tuple[str, Callable[[str, int], tuple[float, float]]]] = [
    ("velmora", run_velmora), ("velmora+headers", run_velmora_headers),
    ("requests", run_requests), ("httpx", run_httpx), ("pycurl", run_pycurl)]


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--requests", type=int, default=2000)
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()
    n = args.requests
    with tempfile.TemporaryDirectory() as tmp:
        proc, port = start_nginx(tmp, http="keepalive_requests 1000000;")
        try:
            url = f"http://127.0.0.1:{port}/index.html"
            best: dict[str, float] = {}
            cpu: dict[str, float] = {}
            for rnd in range(args.rounds):
                for name, fn in CONTENDERS:
                    try:
                        el, c = fn(url, n)
                    except ImportError as exc:
                        print(f"  {name}: skipped ({exc})")
                        continue
                    best[name] = min(best.get(name, float("inf")), el)
                    cpu[name] = min(cpu.get(name, float("inf")), c)
                print(f"  round {rnd + 1}: " + ", ".join(
                    f"{k} {n / v:,.0f}/s" for k, v in best.items()), flush=True)
        finally:
            proc.terminate()
            proc.wait()
    print(f"\n{n} sequential GETs of {len(BODY)} bytes over one keep-alive connection, blocking "
          f"clients (best of {args.rounds} rounds):")
    for name, el in best.items():
        print(f"  {name:16s} {n / el:9,.0f} req/s  {el / n * 1e6:8.1f} us/req wall  "
              f"{cpu[name] / n * 1e6:8.1f} us/req client CPU")
    for label, a, b, target in (
            ("velmora / requests.Session", "velmora", "requests", ">= 3"),
            ("velmora / httpx.Client", "velmora", "httpx", ">= 1.5"),
            ("velmora / pycurl", "velmora", "pycurl", ">= 0.5"),
            ("velmora / velmora+headers", "velmora+headers", "velmora", "<= 1.03 cost")):
        if a in best and b in best:
            print(f"  {label:28s} {best[b] / best[a]:6.2f}x wall  {cpu[b] / cpu[a]:6.2f}x CPU"
                  f"  (target {target})")


if __name__ == "__main__":
    main()
