"""WebSocket echo: `velmora serve` against uvicorn (with the websockets package) and granian
on the same event loop, with a plain TCP echo server as the machine's floor.

    python bench/ws_echo.py [--duration 5] [--rounds 3] [--idle 1000] [--loop uvloop]

Every server runs examples/ws_echo.py pinned to CPU 0 (taskset); the load generator runs in
this process on CPU 1: raw sockets on uvloop sending pre-masked frames, one message in flight
per connection (round trips). Measured, contenders interleaved round by round, best round kept:

* 64-byte text messages on 1 connection and on 50 connections (round trips/s);
* 1 MiB binary messages on 1 connection (MB/s of echoed payload);
* the memory an idle WebSocket costs the server: RSS growth over N open sessions, divided by N.

Ratios are printed against uvicorn, granian and (for 1 connection) the plain TCP echo, for the
rate and for the round trips per CPU-second the server used (the figure that stays meaningful
on a shared, loaded machine).
"""

from __future__ import annotations

import argparse
import asyncio
import base64
import os
import shutil
import socket
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from server_wrk import PORT, start, stop, tree_cpu  # noqa: E402 - shared with server_wrk
HANDSHAKE = (b"GET /echo HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
             b"Connection: Upgrade\r\nSec-WebSocket-Key: " + base64.b64encode(b"k" * 16) +
             b"\r\nSec-WebSocket-Version: 13\r\n\r\n")


def contenders(loop: str) -> dict[str, list[str]]:
    py = sys.executable
    out = {
        "velmora": [py, "-m", "velmora", "serve", "examples.ws_echo:app", "--port", str(PORT),
                    "--no-access-log", "--loop", loop, "--log-level", "warning",
                    "--ws-per-message-deflate", "false", "--limit-max-connections", "100000"],
        "uvicorn": [py, "-m", "uvicorn", "examples.ws_echo:app", "--port", str(PORT),
                    "--no-access-log", "--loop", loop, "--ws", "websockets",
                    "--log-level", "warning", "--ws-per-message-deflate", "false"],
        "tcp-echo": [py, str(Path(__file__).resolve()), "--tcp-echo-server", "--loop", loop],
    }
    if _has("granian"):
        out["granian"] = [py, "-m", "granian", "--interface", "asgi", "--port", str(PORT),
                          "--loop", loop, "--log-level", "warning", "examples.ws_echo:app"]
    return out


def _has(mod: str) -> bool:
    import importlib.util
    return importlib.util.find_spec(mod) is not None


# ---- the plain TCP echo server (the floor) ---------------------------------------------------

class _Echo(asyncio.Protocol):
    def connection_made(self, transport):  # type: ignore[no-untyped-def]
        self.t = transport

    def data_received(self, data: bytes) -> None:
        self.t.write(data)


def tcp_echo_server(loop_kind: str) -> None:
    if loop_kind == "uvloop":
        import uvloop
        uvloop.install()

    async def main() -> None:
        server = await asyncio.get_running_loop().create_server(_Echo, "127.0.0.1", PORT)
        await server.serve_forever()

    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        pass


# ---- servers ----------------------------------------------------------------------------------

def rss_kib(pid: int) -> int:
    """RSS of ``pid`` and its descendants (servers that fork a worker)."""
    total = 0
    todo = [pid]
    while todo:
        p = todo.pop()
        try:
            with open(f"/proc/{p}/status") as f:
                for line in f:
                    if line.startswith("VmRSS:"):
                        total += int(line.split()[1])
            with open(f"/proc/{p}/task/{p}/children") as f:
                todo.extend(int(c) for c in f.read().split())
        except OSError:
            pass
    return total


# ---- the load generator -----------------------------------------------------------------------

def masked_frame(opcode: int, payload: bytes) -> bytes:
    n = len(payload)
    if n < 126:
        head = bytes([0x80 | opcode, 0x80 | n])
    elif n < 65536:
        head = bytes([0x80 | opcode, 0x80 | 126]) + n.to_bytes(2, "big")
    else:
        head = bytes([0x80 | opcode, 0x80 | 127]) + n.to_bytes(8, "big")
    key = b"\x12\x34\x56\x78"
    rep = (key * (n // 4 + 1))[:n]
    masked = (int.from_bytes(payload, "big") ^ int.from_bytes(rep, "big")).to_bytes(n, "big")
    return head + key + masked


def reply_size(n: int) -> int:
    return n + (2 if n < 126 else 4 if n < 65536 else 10)


class _Client(asyncio.Protocol):
    """One connection: the handshake, then one message in flight at a time."""

    def __init__(self, frame: bytes, expect: int, handshake: bool) -> None:
        self.frame = frame
        self.expect = expect
        self.got = 0
        self.count = 0
        self.running = True
        self.head = handshake
        self.buf = b""
        self.ready = asyncio.get_running_loop().create_future()

    def connection_made(self, transport):  # type: ignore[no-untyped-def]
        self.t = transport
        if self.head:
            transport.write(HANDSHAKE)
        else:
            self.ready.set_result(None)

    def data_received(self, data: bytes) -> None:
        if self.head:
            self.buf += data
            end = self.buf.find(b"\r\n\r\n")
            if end < 0:
                return
            assert self.buf.startswith(b"HTTP/1.1 101"), self.buf[:80]
            self.head = False
            data = self.buf[end + 4:]
            self.ready.set_result(None)
            if not data:
                return
        self.got += len(data)
        if self.got >= self.expect:
            self.got -= self.expect
            self.count += 1
            if self.running:
                self.t.write(self.frame)

    def go(self) -> None:
        self.t.write(self.frame)


async def load(conns: int, size: int, duration: float, tcp: bool,
               pid: int) -> tuple[float, float]:
    """(round trips/s, round trips per CPU-second of the server ``pid``)."""
    loop = asyncio.get_running_loop()
    opcode = 1 if size <= 64 else 2
    frame = masked_frame(opcode, (b"x" * size))
    expect = len(frame) if tcp else reply_size(size)
    clients = []
    for _ in range(conns):
        _, c = await loop.create_connection(lambda: _Client(frame, expect, not tcp),
                                            "127.0.0.1", PORT)
        clients.append(c)
    await asyncio.gather(*(c.ready for c in clients))
    for c in clients:
        c.go()
    await asyncio.sleep(0.5)  # warm-up
    start_counts = sum(c.count for c in clients)
    cpu0 = tree_cpu(pid)
    t0 = time.perf_counter()
    await asyncio.sleep(duration)
    done = sum(c.count for c in clients) - start_counts
    elapsed = time.perf_counter() - t0
    cpu = tree_cpu(pid) - cpu0
    for c in clients:
        c.running = False
        c.t.close()
    await asyncio.sleep(0.1)
    return done / elapsed, done / cpu if cpu else float("nan")


def idle(count: int) -> list[socket.socket]:
    socks = []
    for _ in range(count):
        s = socket.create_connection(("127.0.0.1", PORT))
        s.sendall(HANDSHAKE)
        socks.append(s)
    for s in socks:
        data = b""
        while b"\r\n\r\n" not in data:
            data += s.recv(4096)
        assert data.startswith(b"HTTP/1.1 101")
    return socks


def idle_cost(cmd: list[str], count: int) -> float:
    proc = start(cmd)
    try:
        warm = idle(50)
        for s in warm:
            s.close()
        time.sleep(0.5)
        before = rss_kib(proc.pid)
        socks = idle(count)
        time.sleep(1.0)
        after = rss_kib(proc.pid)
        for s in socks:
            s.close()
        return (after - before) * 1024 / count
    finally:
        stop(proc)


CASES = [("64 B x 1 conn", 1, 64), ("64 B x 50 conns", 50, 64), ("1 MiB x 1 conn", 1, 1 << 20)]


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--duration", type=float, default=5.0)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--idle", type=int, default=1000, help="idle sessions for the memory figure")
    ap.add_argument("--loop", default="uvloop", choices=["uvloop", "asyncio"])
    ap.add_argument("--tcp-echo-server", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.tcp_echo_server:
        tcp_echo_server(args.loop)
        return
    if shutil.which("taskset") is None:
        sys.exit("taskset is needed (util-linux)")
    import resource
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    os.sched_setaffinity(0, {1})
    import uvloop
    servers = contenders(args.loop)
    results: dict[tuple[str, str], float] = {}
    per_cpu: dict[tuple[str, str], float] = {}
    for rnd in range(args.rounds):
        for name, cmd in servers.items():
            proc = start(cmd)
            try:
                for label, conns, size in CASES:
                    if name == "tcp-echo" and conns != 1:
                        continue
                    rate, eff = uvloop.run(load(conns, size, args.duration, name == "tcp-echo",
                                                proc.pid))
                    key = (name, label)
                    results[key] = max(results.get(key, 0.0), rate)
                    per_cpu[key] = max(per_cpu.get(key, 0.0), eff)
                    print(f"round {rnd + 1} {name:9s} {label:16s} {rate:10.0f}/s", flush=True)
            finally:
                stop(proc)
    print(f"\nbest of {args.rounds} rounds of {args.duration:.0f} s, loop {args.loop}, "
          f"server on CPU 0, load on CPU 1:")
    for label, _, size in CASES:
        line = f"  {label:16s}"
        for name in servers:
            best = results.get((name, label))
            if best is None:
                continue
            shown = f"{best * size / 1e6:8.0f} MB/s" if size > 64 else f"{best:8.0f} rt/s"
            line += f"  {name} {shown}"
        print(line)
        ours = results[("velmora", label)]
        ratios = [f"{ours / results[(n, label)]:.2f}x {n}" for n in servers
                  if n != "velmora" and (n, label) in results]
        print("    velmora: " + ", ".join(ratios))
        ours = per_cpu[("velmora", label)]
        ratios = [f"{ours / per_cpu[(n, label)]:.2f}x {n}" for n in servers
                  if n != "velmora" and (n, label) in per_cpu]
        print(f"    per server CPU-second: velmora {ours:.0f}/CPU-s: " + ", ".join(ratios))
    if args.idle:
        print(f"\nmemory per idle WebSocket ({args.idle} sessions):")
        costs = {n: idle_cost(c, args.idle) for n, c in servers.items() if n != "tcp-echo"}
        for name, cost in costs.items():
            print(f"  {name:9s} {cost / 1024:7.1f} KiB ({cost / costs['uvicorn']:.2f}x uvicorn)")


if __name__ == "__main__":
    main()
