"""``velmora serve`` and ``python -m velmora serve`` as subprocesses: the README example,
workers, graceful SIGTERM during an upload."""

from __future__ import annotations

import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import sysconfig
import time
from pathlib import Path

import httpx
import pytest

ROOT = Path(__file__).resolve().parents[2]

SLOW_APP = '''
import asyncio

async def app(scope, receive, send):
    if scope["type"] != "http":
        return
    total = 0
    while True:
        msg = await receive()
        if msg["type"] == "http.disconnect":
            return
        total += len(msg["body"])
        if not msg.get("more_body"):
            break
    await send({"type": "http.response.start", "status": 200, "headers": []})
    await send({"type": "http.response.body", "body": b"got %d" % total})

def make():
    return app
'''


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def env() -> dict:
    e = dict(os.environ)
    e["PYTHONUNBUFFERED"] = "1"
    return e


def velmora_exe() -> list[str]:
    exe = Path(sysconfig.get_path("scripts")) / "velmora"
    if exe.exists():
        return [str(exe)]
    found = shutil.which("velmora")
    if found is None:
        pytest.skip("the velmora console script is not installed")
    return [found]


def start(argv: list[str], cwd: Path, port: int) -> subprocess.Popen:
    proc = subprocess.Popen(argv, cwd=cwd, env=env(), stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, start_new_session=True)
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise AssertionError(proc.stdout.read().decode())
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return proc
        except OSError:
            time.sleep(0.05)
    proc.kill()
    raise AssertionError("server did not start")


def stop(proc: subprocess.Popen, sig: int = signal.SIGTERM) -> tuple[int, str]:
    proc.send_signal(sig)
    try:
        out, _ = proc.communicate(timeout=20)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, _ = proc.communicate()
        raise AssertionError("server did not stop: " + out.decode())
    return proc.returncode, out.decode()


@pytest.mark.parametrize("how", ["script", "module"])
def test_serve_the_readme_example(how):
    port = free_port()
    cmd = velmora_exe() if how == "script" else [sys.executable, "-m", "velmora"]
    proc = start(cmd + ["serve", "examples.hello:app", "--port", str(port)], ROOT, port)
    try:
        r = httpx.get(f"http://127.0.0.1:{port}/", timeout=10)
        assert r.status_code == 200 and r.text == "Hello, world!"
        curl = shutil.which("curl")
        if curl:
            out = subprocess.run([curl, "--http1.1", "-s", f"http://127.0.0.1:{port}/"],
                                 capture_output=True, timeout=10).stdout
            assert out == b"Hello, world!"
    finally:
        code, out = stop(proc, signal.SIGINT)
    assert code == 0, out
    assert f"velmora running on http://127.0.0.1:{port}" in out
    assert re.search(r'127\.0\.0\.1:\d+ - "GET / HTTP/1\.1" 200 13 [\d.]+ms', out), out


def test_bad_app_string_and_missing_module(tmp_path):
    r = subprocess.run([sys.executable, "-m", "velmora", "serve", "nocolon"], cwd=tmp_path,
                       capture_output=True, text=True, timeout=30, env=env())
    assert r.returncode == 1 and "module:attribute" in r.stderr
    r = subprocess.run([sys.executable, "-m", "velmora", "serve", "nosuchmod:app"],
                       cwd=tmp_path, capture_output=True, text=True, timeout=30, env=env())
    assert r.returncode == 1 and 'could not import module "nosuchmod"' in r.stderr
    r = subprocess.run([sys.executable, "-m", "velmora", "bogus"], capture_output=True,
                       text=True, timeout=30, env=env())
    assert r.returncode == 2


def test_get_without_the_client_is_a_clear_error():
    try:
        import velmora.client.cli  # noqa: F401  (only whether it imports)
    except ImportError:
        r = subprocess.run([sys.executable, "-m", "velmora", "get", "http://127.0.0.1:1/"],
                           capture_output=True, text=True, timeout=30, env=env())
        assert r.returncode == 2 and "client is not available" in r.stderr
    else:
        pytest.skip("the client is installed")


def test_sigterm_during_a_long_upload_finishes_it_and_exits_0(tmp_path):
    (tmp_path / "slowapp.py").write_text(SLOW_APP)
    port = free_port()
    proc = start([sys.executable, "-m", "velmora", "serve", "slowapp:make", "--factory",
                  "--app-dir", str(tmp_path), "--port", str(port)], ROOT, port)
    try:
        s = socket.create_connection(("127.0.0.1", port), timeout=10)
        s.sendall(b"POST /up HTTP/1.1\r\nhost: x\r\ncontent-length: 30000\r\n\r\n")
        for i in range(10):
            s.sendall(b"u" * 1000)
            time.sleep(0.05)
        proc.send_signal(signal.SIGTERM)
        time.sleep(0.3)
        # a new connection is refused once the listener is closed
        with pytest.raises(OSError):
            socket.create_connection(("127.0.0.1", port), timeout=2).close()
        for i in range(20):
            s.sendall(b"u" * 1000)
            time.sleep(0.02)
        data = b""
        while True:
            chunk = s.recv(4096)
            if not chunk:
                break
            data += chunk
        assert data.startswith(b"HTTP/1.1 200 OK\r\n") and data.endswith(b"got 30000")
        assert b"connection: close" in data
        s.close()
        proc.communicate(timeout=20)
        assert proc.returncode == 0
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()


def test_workers_share_the_port_and_are_restarted():
    port = free_port()
    proc = start([sys.executable, "-m", "velmora", "serve", "examples.hello:app", "--port",
                  str(port), "--workers", "2"], ROOT, port)
    try:
        pids = set()
        deadline = time.monotonic() + 20
        # both workers answer: connections spread over the listening sockets
        while len(pids) < 2 and time.monotonic() < deadline:
            with httpx.Client(timeout=5) as c:
                assert c.get(f"http://127.0.0.1:{port}/").text == "Hello, world!"
            pids = set(worker_pids(proc.pid))
        assert len(pids) == 2
        victim = sorted(pids)[0]
        os.kill(victim, signal.SIGKILL)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            now = set(worker_pids(proc.pid))
            if len(now) == 2 and victim not in now:
                break
            time.sleep(0.1)
        else:
            raise AssertionError("the dead worker was not replaced")
        ok = 0
        for _ in range(10):
            try:
                if httpx.get(f"http://127.0.0.1:{port}/", timeout=5).status_code == 200:
                    ok += 1
            except httpx.TransportError:
                time.sleep(0.2)
        assert ok >= 5
    finally:
        code, out = stop(proc)
    assert code == 0, out
    assert out.count("Started worker process") == 3


def worker_pids(parent: int) -> list[int]:
    out = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                cmd = f.read()
        except OSError:
            continue
        if int(fields[1]) == parent and b"multiprocessing" in cmd and b"resource_tracker" not in cmd:
            out.append(int(entry))
    return out
