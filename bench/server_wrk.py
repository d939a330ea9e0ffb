"""HTTP/1.1 keep-alive throughput and latency of `velmora serve` against uvicorn (httptools
parser) on the same event loop, and the memory an idle keep-alive connection costs.

    python bench/server_wrk.py [--duration 10] [--rounds 3] [--connections 2000]

Every server runs examples/hello.py (the 13-byte "Hello, world!" app) without access log,
pinned to CPU 0 with taskset; wrk (-t1 -c50) runs pinned to CPU 1. Contenders are interleaved
round by round; the best round of each is reported with the ratios. granian is measured too
when installed. Then each server gets N connections that each send one request and stay open;
the growth of the server's RSS divided by N is the cost of an idle keep-alive connection.
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PORT = 18765


def contenders(loop: str) -> dict[str, list[str]]:
    py = sys.executable
    out = {
        "velmora": [py, "-m", "velmora", "serve", "examples.hello:app", "--port", str(PORT),
                    "--no-access-log", "--loop", loop, "--log-level", "warning",
                    "--timeout-keep-alive", "300", "--limit-max-connections", "100000"],
        "uvicorn": [py, "-m", "uvicorn", "examples.hello:app", "--port", str(PORT),
                    "--no-access-log", "--loop", loop, "--http", "httptools",
                    "--log-level", "warning", "--timeout-keep-alive", "300"],
    }
    if shutil.which("granian") or _has("granian"):
        out["granian"] = [py, "-m", "granian", "--interface", "asgi", "--port", str(PORT),
                          "--loop", loop, "--log-level", "warning", "examples.hello:app"]
    return out


def _has(mod: str) -> bool:
    import importlib.util
    return importlib.util.find_spec(mod) is not None


def ensure_port_free() -> None:
    try:
        socket.create_connection(("127.0.0.1", PORT), timeout=1).close()
    except OSError:
        pass
    else:
        raise RuntimeError(f"port {PORT} is already in use: another server would be measured")


def start(cmd: list[str]) -> subprocess.Popen:
    ensure_port_free()
    proc = subprocess.Popen(["taskset", "-c", "0", *cmd], cwd=ROOT, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE)
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", PORT), timeout=1).close()
            time.sleep(0.3)
            return proc
        except OSError:
            if proc.poll() is not None:
                raise RuntimeError(proc.stderr.read().decode())
            time.sleep(0.05)
    proc.kill()
    raise RuntimeError("server did not start: " + " ".join(cmd))


def stop(proc: subprocess.Popen) -> None:
    proc.send_signal(signal.SIGINT)
    try:
        proc.wait(10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def parse_latency(text: str) -> float:
    m = re.search(r"99%\s+([\d.]+)(us|ms|s)\b", text)
    if not m:
        return float("nan")
    value, unit = float(m.group(1)), m.group(2)
    return value / 1000 if unit == "us" else value * 1000 if unit == "s" else value


def cpu_seconds(pid: int) -> float:
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def tree_cpu(pid: int) -> float:
    """CPU seconds of ``pid`` and of its live descendants (servers that fork workers)."""
    children: dict[int, list[int]] = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    ppid = int(f.read().rsplit(")", 1)[1].split()[1])
            except (OSError, ValueError, IndexError):
                continue
            children.setdefault(ppid, []).append(int(entry))
    total, todo = 0.0, [pid]
    while todo:
        p = todo.pop()
        try:
            total += cpu_seconds(p)
        except OSError:
            pass
        todo.extend(children.get(p, ()))
    return total


def wrk(duration: int, pid: int) -> tuple[float, float, float]:
    """(requests/s, p99 ms, requests per CPU-second of the server)."""
    cpu0 = tree_cpu(pid)
    out = subprocess.run(["taskset", "-c", "1", "wrk", "-t1", "-c50", f"-d{duration}s",
                          "--latency", f"http://127.0.0.1:{PORT}/"], capture_output=True,
                         text=True, timeout=duration + 30).stdout
    cpu = tree_cpu(pid) - cpu0
    rps = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    total = int(re.search(r"(\d+) requests in", out).group(1))
    if "Non-2xx" in out or "Socket errors" in out:
        print(out, file=sys.stderr)
    return rps, parse_latency(out), total / cpu if cpu else float("nan")


def rss_kib(pid: int) -> int:
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def server_pid(proc: subprocess.Popen) -> int:
    return proc.pid  # taskset execs the server in place


def idle_connection_cost(cmd: list[str], count: int) -> float:
    proc = start(cmd)
    try:
        pid = server_pid(proc)
        warm = []
        for _ in range(50):  # warm the code paths once
            s = socket.create_connection(("127.0.0.1", PORT))
            s.sendall(b"GET / HTTP/1.1\r\nhost: x\r\n\r\n")
            s.recv(4096)
            warm.append(s)
        for s in warm:
            s.close()
        time.sleep(0.5)
        before = rss_kib(pid)
        socks = []
        for _ in range(count):
            s = socket.create_connection(("127.0.0.1", PORT))
            s.sendall(b"GET / HTTP/1.1\r\nhost: x\r\n\r\n")
            socks.append(s)
        for s in socks:
            data = b""
            while not data.endswith(b"Hello, world!"):
                data += s.recv(4096)
        time.sleep(1.0)
        after = rss_kib(pid)
        for s in socks:
            s.close()
        return (after - before) * 1024 / count
    finally:
        stop(proc)


def report(args: argparse.Namespace, results: dict[str, list[tuple[float, float, float]]]) -> None:
    print(f"\nwrk -t1 -c50 -d{args.duration}s, server on CPU 0, loop {args.loop}, "
          f"best of {args.rounds} (req/CPU-s: requests per second of server CPU time, the "
          f"figure that stays meaningful on a shared machine):")
    best = {name: max(r, key=lambda x: x[0]) for name, r in results.items()}
    best_cpu = {name: max(x[2] for x in r) for name, r in results.items()}
    base_rps, base_p99, _ = best["uvicorn"]
    for name, (rps, p99, _) in best.items():
        print(f"  {name:8s} {rps:10.0f} req/s ({rps / base_rps:4.2f}x uvicorn)  "
              f"p99 {p99:7.2f} ms ({p99 / base_p99:4.2f}x uvicorn)  "
              f"{best_cpu[name]:8.0f} req/CPU-s ({best_cpu[name] / best_cpu['uvicorn']:4.2f}x)")


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--duration", type=int, default=10)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--connections", type=int, default=2000)
    ap.add_argument("--loop", default="uvloop", choices=["uvloop", "asyncio"])
    ap.add_argument("--memory-only", action="store_true", help="skip the throughput rounds")
    args = ap.parse_args()
    if shutil.which("wrk") is None:
        sys.exit("wrk is not installed (apt-get install wrk)")
    import resource
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, max(soft, args.connections * 2 + 100)),
                                                hard))
    procs = contenders(args.loop)
    results: dict[str, list[tuple[float, float, float]]] = {name: [] for name in procs}
    for rnd in range(0 if args.memory_only else args.rounds):
        for name, cmd in procs.items():
            proc = start(cmd)
            try:
                wrk(2, proc.pid)  # warm-up
                results[name].append(wrk(args.duration, proc.pid))
            finally:
                stop(proc)
            rps, p99, per_cpu = results[name][-1]
            print(f"round {rnd + 1} {name:8s} {rps:10.0f} req/s  p99 {p99:7.2f} ms  "
                  f"{per_cpu:8.0f} req/CPU-s", flush=True)
    if not args.memory_only:
        report(args, results)
    print(f"\nRSS per idle keep-alive connection ({args.connections} connections, one request "
          f"each):")
    cost = {}
    for name in ("velmora", "uvicorn"):
        cost[name] = idle_connection_cost(procs[name], args.connections)
    for name, value in cost.items():
        print(f"  {name:8s} {value:8.0f} bytes ({value / cost['uvicorn']:4.2f}x uvicorn)")


if __name__ == "__main__":
    main()
