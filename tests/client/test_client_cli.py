"""``velmora get``: in process through ``main(argv)`` and as a subprocess, against nginx and the
ASGI app."""

from __future__ import annotations

import os
import pty
import subprocess
import sys

import pytest

from client_servers import free_port, nginx, nginx_binary, uvicorn_app
from velmora.client.cli import main

pytestmark = pytest.mark.skipif(nginx_binary() is None, reason="nginx not installed")

BIG = os.urandom(3 << 20)
CMD = [sys.executable, "-c", "import sys; from velmora.client.cli import main; "
       "sys.exit(main(sys.argv[1:]))"]


@pytest.fixture(scope="module")
def nginx_port():
    with nginx({"hello.txt": b"hello\n", "big.bin": BIG}) as port:
        yield port


def test_body_to_stdout_in_process(nginx_port, capfdbinary):
    assert main(["get", f"http://127.0.0.1:{nginx_port}/hello.txt"]) == 0
    out, err = capfdbinary.readouterr()
    assert (out, err) == (b"hello\n", b"")


def test_include_head_and_request_headers():
    with uvicorn_app() as port:
        p = subprocess.run(CMD + ["get", "-i", "-H", "Host: example.test", "-H", "X-A: 1",
                                  f"http://127.0.0.1:{port}/echo"],
                           capture_output=True, timeout=30)
    assert p.returncode == 0, p.stderr
    head, _, body = p.stdout.partition(b"\r\n\r\n")
    lines = head.split(b"\r\n")
    assert lines[0] == b"HTTP/1.1 200 OK"
    assert b"x-host: example.test" in lines and b"x-method: GET" in lines
    assert body == b""


def test_output_file_with_progress_bar_on_a_terminal(nginx_port, tmp_path):
    target = tmp_path / "big.bin"
    master, slave = pty.openpty()
    try:
        p = subprocess.run(CMD + ["get", "-o", str(target),
                                  f"http://127.0.0.1:{nginx_port}/big.bin"],
                           stdout=subprocess.PIPE, stderr=slave, timeout=30)
        os.close(slave)
        drawn = b""
        while True:
            try:
                chunk = os.read(master, 65536)
            except OSError:
                break
            if not chunk:
                break
            drawn += chunk
    finally:
        os.close(master)
    assert p.returncode == 0 and p.stdout == b""
    assert target.read_bytes() == BIG
    assert b"100.0%" in drawn and b"3.0 MiB / 3.0 MiB" in drawn


def test_output_file_without_terminal_is_quiet(nginx_port, tmp_path):
    target = tmp_path / "hello.txt"
    p = subprocess.run(CMD + ["get", "-o", str(target), f"http://127.0.0.1:{nginx_port}/big.bin"],
                       capture_output=True, timeout=30)
    assert (p.returncode, p.stdout, p.stderr) == (0, b"", b"")
    assert target.read_bytes() == BIG


def test_errors_and_usage(capfd):
    port = free_port()
    assert main(["get", f"http://127.0.0.1:{port}/"]) == 1
    assert f"cannot connect to 127.0.0.1:{port}" in capfd.readouterr().err
    assert main(["get", "-H", "nocolon", "http://127.0.0.1:1/"]) == 2
    assert "bad header" in capfd.readouterr().err
    assert main([]) == 2
    assert main(["get", "ftp://x/"]) == 1
    assert "unsupported URL scheme" in capfd.readouterr().err
