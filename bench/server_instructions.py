"""User-space instructions per request of `velmora serve` against uvicorn (httptools parser)
and, when installed, granian: a cost that does not depend on what else the
machine is doing, unlike requests per second.

    python bench/server_instructions.py [--requests 10000] [--loop uvloop] [--protocol h1|h2c]
                                        [--only velmora ...] [--velmora-arg=--no-proxy-headers]

Every server runs examples/hello.py without access log under valgrind's callgrind (Debian
package `valgrind`), with the children of a server that forks its workers traced as well.
h2load (`--h1` for HTTP/1.1, prior knowledge for h2c; 50 connections, or 10 connections with
10 streams each for h2c) warms each server up, then the counters are zeroed, the measured
requests run, and the counters are dumped: the instructions executed in the server's
processes during those requests, divided by their number. Kernel work (the system calls) is
not counted; it is about the same for every contender.
"""

from __future__ import annotations

import argparse
import glob
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from server_wrk import PORT, ROOT, _has, ensure_port_free  # noqa: E402


def contenders(loop: str, protocol: str) -> dict[str, list[str]]:
    py = sys.executable
    out = {
        "velmora": [py, "-m", "velmora", "serve", "examples.hello:app", "--port", str(PORT),
                    "--no-access-log", "--loop", loop, "--log-level", "warning",
                    "--timeout-keep-alive", "300"],
    }
    if protocol == "h1":
        out["uvicorn"] = [py, "-m", "uvicorn", "examples.hello:app", "--port", str(PORT),
                          "--no-access-log", "--loop", loop, "--http", "httptools",
                          "--log-level", "warning", "--timeout-keep-alive", "300"]
    if _has("granian"):
        out["granian"] = [py, "-m", "granian", "--interface", "asgi", "--port", str(PORT),
                          "--loop", loop, "--log-level", "warning", "examples.hello:app"]
    return out


def h2load(protocol: str, n: int) -> str:
    args = ["h2load", "-n", str(n)]
    args += ["--h1", "-c", "50"] if protocol == "h1" else ["-c", "10", "-m", "10"]
    out = subprocess.run(args + [f"http://127.0.0.1:{PORT}/"], capture_output=True, text=True,
                         timeout=600).stdout
    line = next((x for x in out.splitlines() if x.startswith("requests:")), "")
    if f"{n} succeeded" not in line:
        raise RuntimeError(f"h2load: {line or out[-500:]}")
    return line


def wait_listening(proc: subprocess.Popen, deadline: float) -> None:
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", PORT), timeout=1).close()
            return
        except OSError:
            if proc.poll() is not None:
                raise RuntimeError("the server exited under valgrind")
            time.sleep(0.5)
    raise RuntimeError("the server did not start under valgrind")


def callgrind_count(cmd: list[str], warm: Callable[[], object],
                    measured: Callable[[], object]) -> int:
    """Runs ``cmd`` under callgrind (its children traced too): ``warm()`` once it listens, then
    the counters are zeroed, ``measured()`` runs, and the instructions executed since then in
    the server's processes are returned."""
    ensure_port_free()
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.%p")
        proc = subprocess.Popen(["valgrind", "--tool=callgrind", "--trace-children=yes",
                                 f"--callgrind-out-file={out}", *cmd], cwd=ROOT,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                start_new_session=True)
        try:
            wait_listening(proc, time.monotonic() + 180)
            warm()
            subprocess.run(["callgrind_control", "-z"], capture_output=True, timeout=60)
            measured()
            subprocess.run(["callgrind_control", "-d"], capture_output=True, timeout=60)
        finally:
            os.killpg(proc.pid, signal.SIGINT)
            try:
                proc.wait(30)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
        total = 0
        for path in glob.glob(os.path.join(tmp, "cg.*.*")):  # the dumps after zeroing
            with open(path) as f:
                for line in f:
                    if line.startswith("summary:"):
                        total += int(line.split()[1])
                        break
        return total


def measure(cmd: list[str], protocol: str, requests: int) -> float:
    return callgrind_count(cmd, lambda: h2load(protocol, max(1000, requests // 4)),
                           lambda: h2load(protocol, requests)) / requests


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--requests", type=int, default=10000)
    ap.add_argument("--loop", default="uvloop", choices=["uvloop", "asyncio"])
    ap.add_argument("--protocol", default="h1", choices=["h1", "h2c"])
    ap.add_argument("--only", nargs="+", metavar="NAME", help="measure only these servers")
    ap.add_argument("--velmora-arg", action="append", default=[], metavar="ARG",
                    help="an extra `velmora serve` argument (repeatable), e.g. "
                         "--velmora-arg=--no-proxy-headers")
    args = ap.parse_args()
    for tool in ("valgrind", "callgrind_control", "h2load"):
        if shutil.which(tool) is None:
            sys.exit(f"{tool} is not installed (apt-get install valgrind nghttp2-client)")
    results = {}
    for name, cmd in contenders(args.loop, args.protocol).items():
        if args.only and name not in args.only:
            continue
        if name == "velmora":
            cmd = cmd + args.velmora_arg
        results[name] = measure(cmd, args.protocol, args.requests)
        print(f"{name:10s} {results[name]:10.0f} instructions/request", flush=True)
    base = "uvicorn" if "uvicorn" in results else next(iter(results))
    print(f"\n{args.protocol}, loop {args.loop}, {args.requests} requests, user-space "
          f"instructions per request (lower is better):")
    for name, value in results.items():
        print(f"  {name:10s} {value:10.0f}  ({results[base] / value:4.2f}x fewer than {base})")


if __name__ == "__main__":
    main()
