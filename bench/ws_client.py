"""WebSocket clients against one `velmora serve examples.ws_echo:app`: velmora's async client
over HTTP/1.1 and over HTTP/2 (RFC 8441, h2c), its blocking client, and the websockets package's
asyncio and threaded clients, one 64-byte text message in flight (round trips/s, best round).

    python bench/ws_client.py [--duration 3] [--rounds 3]

The server is pinned to CPU 0 (taskset), the clients run in this process.
"""

from __future__ import annotations

import argparse
import asyncio
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from server_wrk import PORT, start, stop  # noqa: E402 - shared with server_wrk

from velmora.client import AsyncClient, Client  # noqa: E402

URL = f"ws://127.0.0.1:{PORT}/echo"
MESSAGE = "x" * 64


async def velmora_async(duration: float, **options: bool) -> float:
    async with AsyncClient(**options) as client, client.websocket(URL, compression=None) as ws:
        n, end = 0, time.perf_counter() + duration
        while time.perf_counter() < end:
            await ws.send(MESSAGE)
            await ws.receive()
            n += 1
    return n / duration


def velmora_blocking(duration: float) -> float:
    with Client() as client, client.websocket(URL, compression=None) as ws:
        n, end = 0, time.perf_counter() + duration
        while time.perf_counter() < end:
            ws.send(MESSAGE)
            ws.receive()
            n += 1
    return n / duration


async def websockets_async(duration: float) -> float:
    import websockets

    async with websockets.connect(URL, compression=None) as ws:
        n, end = 0, time.perf_counter() + duration
        while time.perf_counter() < end:
            await ws.send(MESSAGE)
            await ws.recv()
            n += 1
    return n / duration


def websockets_blocking(duration: float) -> float:
    from websockets.sync.client import connect

    with connect(URL, compression=None) as ws:
        n, end = 0, time.perf_counter() + duration
        while time.perf_counter() < end:
            ws.send(MESSAGE)
            ws.recv()
            n += 1
    return n / duration


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--duration", type=float, default=3.0)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    d = args.duration
    runs = {
        "velmora async HTTP/1.1": lambda: asyncio.run(velmora_async(d)),
        "velmora async HTTP/2": lambda: asyncio.run(velmora_async(
            d, http2_prior_knowledge=True)),
        "velmora blocking": lambda: velmora_blocking(d),
        "websockets asyncio": lambda: asyncio.run(websockets_async(d)),
        "websockets sync": lambda: websockets_blocking(d),
    }
    best = dict.fromkeys(runs, 0.0)
    proc = start([sys.executable, "-m", "velmora", "serve", "examples.ws_echo:app", "--port",
                  str(PORT), "--no-access-log", "--log-level", "warning"])
    try:
        for _ in range(args.rounds):
            for name, run in runs.items():
                best[name] = max(best[name], run())
    finally:
        stop(proc)
    base = best["websockets asyncio"]
    for name, rate in best.items():
        print(f"{name:24s} {rate:10,.0f} round trips/s  {rate / base:5.2f}x websockets asyncio")


if __name__ == "__main__":
    main()
