"""``velmora get``: in process through ``main(argv)`` and as a subprocess, against nginx and the
ASGI app."""

from __future__ import annotations

import os
import pty
import subprocess
import sys

import pytest

from client_servers import free_port, nginx, nginx_binary, uvicorn_app, velmora_app
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


@pytest.fixture(scope="module")
def app_url():
    with velmora_app() as port:
        yield f"http://127.0.0.1:{port}"


@pytest.mark.parametrize("argv,status,out,err", [
    (["-L", "-X", "PUT", "-d", "a=1", "{u}/redirect-to?status=307&url=/echo"], 0, b"a=1", b""),
    (["--json", '{"a": 1}', "-i", "{u}/echo"], 0, b"x-method: POST", b""),
    (["-I", "{u}/echo"], 0, b"HTTP/1.1 200 OK\r\n", b""),
    (["{u}/redirect-to?status=302&url=/echo"], 0, b"", b"302 redirect to /echo (-L follows it)"),
    (["--fail", "{u}/nope"], 22, b"not found", b"404 Not Found"),
    (["{u}/nope"], 0, b"not found", b""),
    (["{u}/encoded?coding=gzip"], 0, b'{"items": [{"id": 0,', b""),
    (["--no-compressed", "-i", "{u}/echo"], 0, b"x-method: GET", b""),
    (["-v", "-L", "{u}/redirect-to?status=301&url=/echo"], 0, b"",
     b"< HTTP/1.1 301 Moved Permanently\r\n"),
])
def test_curl_habits(app_url, capfdbinary, argv, status, out, err):
    assert main(["get"] + [a.replace("{u}", app_url) for a in argv]) == status
    got_out, got_err = capfdbinary.readouterr()
    assert out in got_out and err in got_err
    if "-v" in argv:  # both request heads, then the final response head
        assert b"> GET /redirect-to?status=301&url=/echo HTTP/1.1\r\n" in got_err
        assert b"> GET /echo HTTP/1.1\r\n" in got_err and b"< HTTP/1.1 200 OK\r\n" in got_err
    if "-I" in argv:
        assert got_out.endswith(b"\r\n\r\n")
