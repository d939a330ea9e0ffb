"""What the client benchmarks share: nginx serving one small static file from a temporary
directory, and the interleaved rounds that keep each contender's best time."""

from __future__ import annotations

import os
import shutil
import socket
import subprocess
import textwrap
import time
from pathlib import Path
from typing import Any, Awaitable, Callable

BODY = b"x" * 612  # the size of nginx's default index page


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_nginx(tmp: str, *, http: str = "", listen: str = "",
                server: str = "") -> tuple[subprocess.Popen, int]:
    """nginx serving ``BODY`` as /index.html on a free loopback port, one worker, no access
    log; ``http``, ``listen`` and ``server`` add directives to those blocks."""
    binary = shutil.which("nginx") or "/usr/sbin/nginx"
    root = Path(tmp) / "www"
    root.mkdir()
    (root / "index.html").write_bytes(BODY)
    port = free_port()
    conf = Path(tmp) / "nginx.conf"
    conf.write_text(textwrap.dedent(f"""
        daemon off;
        master_process off;
        worker_processes 1;
        pid {tmp}/nginx.pid;
        error_log stderr error;
        {"user root;" if os.geteuid() == 0 else ""}
        events {{ worker_connections 4096; }}
        http {{
            access_log off;
            client_body_temp_path {tmp}/body;
            proxy_temp_path {tmp}/proxy;
            fastcgi_temp_path {tmp}/fastcgi;
            uwsgi_temp_path {tmp}/uwsgi;
            scgi_temp_path {tmp}/scgi;
            keepalive_timeout 300s;
            open_file_cache max=10;
            {http}
            server {{ listen 127.0.0.1:{port} {listen}; {server} root {root}; }}
        }}
    """))
    proc = subprocess.Popen([binary, "-c", str(conf), "-p", tmp])
    for _ in range(200):
        with socket.socket() as s:
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return proc, port
        time.sleep(0.05)
    proc.kill()
    raise SystemExit("nginx did not start")


async def best_rounds(contenders: list[tuple[str, Callable[..., Awaitable[tuple[float, float]]]]],
                      rounds: int, n: int, *args: Any) -> tuple[dict[str, float],
                                                             dict[str, float]]:
    """Runs every contender ``fn(*args)`` once per round, interleaved; returns the best wall
    time and the best CPU time of each (a contender whose library is missing is skipped)."""
    best: dict[str, float] = {}
    cpu: dict[str, float] = {}
    for rnd in range(rounds):
        for name, fn in contenders:
            try:
                el, c = await fn(*args)
            except ImportError as exc:
                print(f"  {name}: skipped ({exc})")
                continue
            best[name] = min(best.get(name, float("inf")), el)
            cpu[name] = min(cpu.get(name, float("inf")), c)
        print(f"  round {rnd + 1}: " + ", ".join(
            f"{k} {n / v:,.0f}/s" for k, v in best.items()), flush=True)
    return best, cpu
