"""HTTP/2 (cleartext, prior knowledge) throughput of `velmora serve` against hypercorn and,
when installed, granian, with h2load.

    python bench/server_h2load.py [--duration 10] [--rounds 3] [--loop uvloop]

Every server runs examples/hello.py without access log, pinned to CPU 0 with taskset; h2load
(-c10 -m10: ten connections with ten concurrent streams each) runs pinned to CPU 1 for a fixed
time. Contenders are interleaved round by round; the best round of each is reported with the
ratios to hypercorn, plus requests per CPU-second of the server (steadier on a shared machine).
"""

from __future__ import annotations

import argparse
import re
import shutil
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from server_wrk import PORT, _has, start, stop, tree_cpu  # noqa: E402


def contenders(loop: str) -> dict[str, list[str]]:
    py = sys.executable
    out = {
        "velmora": [py, "-m", "velmora", "serve", "examples.hello:app", "--port", str(PORT),
                    "--no-access-log", "--loop", loop, "--log-level", "warning",
                    "--timeout-keep-alive", "300"],
    }
    if _has("hypercorn"):
        out["hypercorn"] = [py, "-m", "hypercorn", "examples.hello:app",
                            "--bind", f"127.0.0.1:{PORT}", "--log-level", "warning",
                            "--keep-alive", "300",
                            *(["--worker-class", "uvloop"] if loop == "uvloop" else [])]
    if _has("granian"):
        out["granian"] = [py, "-m", "granian", "--interface", "asgi", "--port", str(PORT),
                          "--http", "2", "--loop", loop, "--log-level", "warning",
                          "examples.hello:app"]
    return out


def h2load(duration: int, pid: int) -> tuple[float, float, str]:
    """(requests/s, requests per CPU-second of the server, h2load's status line)."""
    cpu0 = tree_cpu(pid)
    out = subprocess.run(["taskset", "-c", "1", "h2load", "-c10", "-m10", "-D", str(duration),
                          f"http://127.0.0.1:{PORT}/"], capture_output=True, text=True,
                         timeout=duration + 60).stdout
    cpu = tree_cpu(pid) - cpu0
    status = re.search(r"requests: .*", out)
    done = re.search(r"requests: \d+ total, \d+ started, \d+ done, (\d+) succeeded", out)
    rps = re.search(r"finished in [\d.]+m?s, ([\d.]+) req/s", out)
    if not done or not rps:
        print(out, file=sys.stderr)
        return 0.0, 0.0, "failed"
    ok = int(done.group(1))
    return float(rps.group(1)), ok / cpu if cpu else float("nan"), status.group(0)


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--duration", type=int, default=10)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--loop", default="uvloop", choices=["uvloop", "asyncio"])
    args = ap.parse_args()
    if shutil.which("h2load") is None:
        sys.exit("h2load is not installed (apt-get install nghttp2-client)")
    procs = contenders(args.loop)
    results: dict[str, list[tuple[float, float]]] = {name: [] for name in procs}
    for rnd in range(args.rounds):
        for name, cmd in procs.items():
            proc = start(cmd)
            try:
                h2load(2, proc.pid)  # warm-up
                rps, per_cpu, status = h2load(args.duration, proc.pid)
            finally:
                stop(proc)
            results[name].append((rps, per_cpu))
            print(f"round {rnd + 1} {name:9s} {rps:10.0f} req/s  {per_cpu:8.0f} req/CPU-s  "
                  f"[{status}]", flush=True)
    print(f"\nh2load -c10 -m10 -D {args.duration} (h2c), server on CPU 0, loop {args.loop}, "
          f"best of {args.rounds}:")
    best = {name: max(x[0] for x in r) for name, r in results.items()}
    best_cpu = {name: max(x[1] for x in r) for name, r in results.items()}
    base = "hypercorn" if "hypercorn" in best else "velmora"
    for name in best:
        print(f"  {name:9s} {best[name]:10.0f} req/s ({best[name] / best[base]:5.2f}x {base})  "
              f"{best_cpu[name]:8.0f} req/CPU-s ({best_cpu[name] / best_cpu[base]:5.2f}x)")


if __name__ == "__main__":
    main()
