"""Real servers for the client tests: nginx and an ASGI app under uvicorn, each on a free
loopback port, started by the test and stopped after it."""

from __future__ import annotations

import contextlib
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import textwrap
import time
from collections.abc import Iterator
from pathlib import Path

HERE = Path(__file__).resolve().parent


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_port(port: int, proc: subprocess.Popen, deadline: float = 15.0) -> None:
    end = time.monotonic() + deadline
    while time.monotonic() < end:
        if proc.poll() is not None:
            raise RuntimeError(f"server exited with {proc.returncode}")
        with socket.socket() as s:
            s.settimeout(0.2)
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return
        time.sleep(0.05)
    raise RuntimeError(f"server did not listen on {port} in {deadline}s")


@contextlib.contextmanager
def serving(proc: subprocess.Popen, port: int) -> Iterator[None]:
    """Waits for ``proc`` to listen on ``port``; stops it when the block ends."""
    try:
        wait_port(port, proc)
        yield
    finally:
        proc.terminate()
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(5)


def nginx_binary() -> str | None:
    return shutil.which("nginx") or next(
        (p for p in ("/usr/sbin/nginx", "/usr/local/sbin/nginx") if os.path.exists(p)), None)


@contextlib.contextmanager
def nginx(files: dict[str, bytes], *, keepalive_timeout: str = "75s",
          keepalive_requests: int = 1000, extra: str = "", listen: str = "",
          http_extra: str = "") -> Iterator[int]:
    """nginx serving ``files`` (name -> bytes) from a temporary root; yields the port.
    ``listen`` adds parameters to the listen directive (``http2``, ``ssl http2``), ``extra``
    directives to the server block and ``http_extra`` to the http block."""
    binary = nginx_binary()
    if binary is None:
        raise RuntimeError("nginx is not installed (apt-get install nginx-light)")
    with tempfile.TemporaryDirectory(prefix="velmora-nginx-") as tmp:
        root = Path(tmp) / "www"
        root.mkdir()
        for name, data in files.items():
            (root / name).write_bytes(data)
        os.chmod(tmp, 0o755)
        port = free_port()
        conf = Path(tmp) / "nginx.conf"
        conf.write_text(textwrap.dedent(f"""
            daemon off;
            master_process off;
            worker_processes 1;
            pid {tmp}/nginx.pid;
            error_log stderr error;
            {"user root;" if os.geteuid() == 0 else ""}
            events {{ worker_connections 256; }}
            http {{
                access_log off;
                client_body_temp_path {tmp}/body;
                proxy_temp_path {tmp}/proxy;
                fastcgi_temp_path {tmp}/fastcgi;
                uwsgi_temp_path {tmp}/uwsgi;
                scgi_temp_path {tmp}/scgi;
                keepalive_timeout {keepalive_timeout};
                keepalive_requests {keepalive_requests};
                default_type application/octet-stream;
                {http_extra}
                server {{
                    listen 127.0.0.1:{port} {listen};
                    root {root};
                    location = /status/204 {{ return 204; }}
                    location = /redirect {{ return 302 /small.txt; }}
                    {extra}
                }}
            }}
        """))
        proc = subprocess.Popen([binary, "-c", str(conf), "-p", tmp],
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        with serving(proc, port):
            yield port


@contextlib.contextmanager
def uvicorn_app(app: str = "client_asgi_app:app") -> Iterator[int]:
    """The ASGI app of ``tests/client_asgi_app.py`` under uvicorn (h11); yields the port."""
    port = free_port()
    proc = subprocess.Popen(
        [sys.executable, "-m", "uvicorn", "--app-dir", str(HERE), "--host", "127.0.0.1",
         "--port", str(port), "--http", "h11", "--log-level", "warning", app],
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    with serving(proc, port):
        yield port


@contextlib.contextmanager
def hypercorn_app(app: str = "client_asgi_app:app") -> Iterator[int]:
    """The ASGI app of ``tests/client_asgi_app.py`` under hypercorn, which speaks HTTP/2 with
    prior knowledge on plain TCP (h2c) as well as HTTP/1.1; yields the port."""
    port = free_port()
    env = dict(os.environ, PYTHONPATH=str(HERE) + os.pathsep + os.environ.get("PYTHONPATH", ""))
    proc = subprocess.Popen(
        [sys.executable, "-m", "hypercorn", "--bind", f"127.0.0.1:{port}", "--log-level",
         "warning", app], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
    with serving(proc, port):
        yield port


@contextlib.contextmanager
def velmora_app(app: str = "client_asgi_app:app") -> Iterator[int]:
    """The ASGI app of ``tests/client_asgi_app.py`` under ``velmora serve``; yields the port."""
    port = free_port()
    proc = subprocess.Popen(
        [sys.executable, "-m", "velmora", "serve", "--app-dir", str(HERE), "--port", str(port),
         "--no-access-log", "--log-level", "warning", app],
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    with serving(proc, port):
        yield port
