"""``velmora serve`` deployed as in production, each peer started by the test: nginx in front
over a unix socket, an inherited socket, a taken port, mutual TLS with curl, gunicorn with
velmora's worker class, WSGI and ASGI 2 applications, reload, workers and their signals,
logging and the environment."""

from __future__ import annotations

import contextlib
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Iterator

import httpx
import pytest

from client_servers import free_port, nginx, nginx_binary

ROOT = Path(__file__).resolve().parents[2]
APPS = ROOT / "tests" / "support"
VELMORA = [sys.executable, "-m", "velmora", "serve", "--app-dir", str(APPS)]


def env(**extra: str) -> dict[str, str]:
    return {**os.environ, "PYTHONUNBUFFERED": "1", **extra}


def ready(port: int | None = None, uds: Path | None = None) -> bool:
    try:
        if uds is not None:
            with socket.socket(socket.AF_UNIX) as s:
                s.connect(str(uds))
        else:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


class Served:
    def __init__(self, proc: subprocess.Popen) -> None:
        self.proc = proc
        self.out = ""

    def read(self) -> str:
        """The output so far (read without waiting)."""
        os.set_blocking(self.proc.stdout.fileno(), False)
        self.out += (self.proc.stdout.read() or b"").decode()
        return self.out

    def stop(self, sig: int = signal.SIGTERM) -> str:
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            self.out += self.proc.communicate(timeout=30)[0].decode()
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.out += self.proc.communicate()[0].decode()
            raise AssertionError("the server did not stop: " + self.out)
        return self.out


@contextlib.contextmanager
def served(argv: list[str], *, port: int | None = None, uds: Path | None = None,
           extra_env: dict[str, str] | None = None) -> Iterator[Served]:
    proc = subprocess.Popen(argv, cwd=ROOT, env=env(**(extra_env or {})), stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, start_new_session=True)
    s = Served(proc)
    deadline = time.monotonic() + 30
    while not ready(port, uds):
        if proc.poll() is not None or time.monotonic() > deadline:
            raise AssertionError("did not start: " + s.stop(signal.SIGKILL))
        time.sleep(0.05)
    try:
        yield s
    finally:
        s.stop()


def children(parent: int) -> set[int]:
    out = set()
    for entry in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(OSError), open(f"/proc/{entry}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
            with open(f"/proc/{entry}/cmdline", "rb") as c:
                cmd = c.read()
            if int(fields[1]) == parent and b"resource_tracker" not in cmd:
                out.add(int(entry))
    return out


def until(check, timeout: float = 30.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        got = check()
        if got:
            return got
        time.sleep(0.1)
    raise AssertionError("timed out")


@pytest.mark.skipif(nginx_binary() is None, reason="nginx is not installed")
def test_behind_nginx_over_a_unix_socket(tmp_path):
    uds = tmp_path / "v.sock"
    extra = f"""location /app/ {{ proxy_pass http://unix:{uds}:/;
        proxy_set_header X-Forwarded-For $proxy_add_x_forwarded_for;
        proxy_set_header X-Forwarded-Proto https; }}"""
    with served([*VELMORA, "deploy_apps:echo", "--uds", str(uds), "--forwarded-allow-ips",
                 "unix:"], uds=uds) as s, nginx({}, extra=extra) as port:
        r = httpx.get(f"http://127.0.0.1:{port}/app/", headers={"x-forwarded-for": "192.0.2.9"})
        # nginx appended the address it saw; the one the client wrote is not believed
        assert r.json()["client"] == ["127.0.0.1", 0] and r.json()["scheme"] == "https"
        # HTTP/2 over the socket, from a peer that is trusted
        out = subprocess.run(["curl", "-s", "--http2-prior-knowledge", "--unix-socket", str(uds),
                              "-H", "forwarded: for=\"[2001:db8::7]:4711\";proto=https",
                              "http://x/"], capture_output=True, timeout=20).stdout
        assert json.loads(out)["client"] == ["2001:db8::7", 4711]
        assert oct(uds.stat().st_mode & 0o777) == "0o666"
    assert not uds.exists()


def test_an_inherited_socket_and_a_taken_port():
    sock = socket.socket()
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind(("127.0.0.1", 0))
    sock.listen(16)
    port = sock.getsockname()[1]
    argv = [*VELMORA, "deploy_apps:echo", "--fd", str(sock.fileno())]
    proc = subprocess.Popen(argv, cwd=ROOT, env=env(), pass_fds=[sock.fileno()],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    s = Served(proc)
    try:
        r = httpx.get(f"http://127.0.0.1:{port}/", timeout=20)  # (queued until it accepts)
        assert r.json()["client"][0] == "127.0.0.1"
        for workers in ("1", "2"):  # a second server on the port fails at once
            second = subprocess.run([*VELMORA, "deploy_apps:echo", "--port", str(port),
                                     "--workers", workers], cwd=ROOT, env=env(),
                                    capture_output=True, text=True, timeout=60)
            assert second.returncode != 0 and "address already in use" in second.stderr
    finally:
        sock.close()
        s.stop()


@pytest.mark.skipif(shutil.which("systemd-socket-activate") is None,
                    reason="systemd-socket-activate is not installed (Debian package systemd)")
def test_systemd_socket_activation():
    port = free_port()
    keep = [f"-E{name}" for name in ("PYTHONPATH", "PATH") if name in os.environ]
    argv = ["systemd-socket-activate", *keep, "-l", f"127.0.0.1:{port}", *VELMORA,
            "deploy_apps:echo", "--fd", "3"]
    with served(argv, port=port):  # (velmora starts on the first connection)
        r = httpx.get(f"http://127.0.0.1:{port}/", timeout=30)
        assert r.json()["client"][0] == "127.0.0.1"


def make_certificates(tmp: Path) -> dict[str, Path]:
    """A CA, a server certificate for 127.0.0.1 (key encrypted with "secret"), a client's."""
    import datetime
    import ipaddress

    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID

    now = datetime.datetime.now(datetime.timezone.utc)

    def cert(name, issuer, key, signer, *, ca=False, san=None):
        b = (x509.CertificateBuilder().subject_name(name).issuer_name(issuer)
             .public_key(key.public_key()).serial_number(x509.random_serial_number())
             .not_valid_before(now - datetime.timedelta(days=1))
             .not_valid_after(now + datetime.timedelta(days=1))
             .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True))
        if san:
            b = b.add_extension(x509.SubjectAlternativeName(san), critical=False)
        return b.sign(signer, hashes.SHA256())

    def name(cn):
        return x509.Name([x509.NameAttribute(NameOID.ORGANIZATION_NAME, "Velmora Tests"),
                          x509.NameAttribute(NameOID.COMMON_NAME, cn)])

    ca_key, srv_key, cli_key = (ec.generate_private_key(ec.SECP256R1()) for _ in range(3))
    ca = cert(name("test ca"), name("test ca"), ca_key, ca_key, ca=True)
    files = {
        "ca": ca, "server": cert(name("127.0.0.1"), ca.subject, srv_key, ca_key,
                                 san=[x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]),
        "client": cert(name("client, one"), ca.subject, cli_key, ca_key)}
    out = {}
    for k, c in files.items():
        out[k] = tmp / f"{k}.pem"
        out[k].write_bytes(c.public_bytes(serialization.Encoding.PEM))
    for k, key, enc in (("server_key", srv_key, serialization.BestAvailableEncryption(b"secret")),
                        ("client_key", cli_key, serialization.NoEncryption())):
        out[k] = tmp / f"{k}.pem"
        out[k].write_bytes(key.private_bytes(serialization.Encoding.PEM,
                                             serialization.PrivateFormat.PKCS8, enc))
    return out


@pytest.mark.skipif(shutil.which("curl") is None, reason="curl is not installed")
def test_mutual_tls_with_curl(tmp_path):
    c = make_certificates(tmp_path)
    port = free_port()
    tls = ["--ssl-certfile", str(c["server"]), "--ssl-keyfile", str(c["server_key"]),
           "--ssl-keyfile-password", "secret", "--ssl-ca-certs", str(c["ca"])]
    with served([*VELMORA, "deploy_apps:echo", "--port", str(port), *tls,
                 "--ssl-cert-reqs", "2"], port=port):
        url = f"https://127.0.0.1:{port}/"
        for http in ("--http1.1", "--http2"):
            r = subprocess.run(["curl", "-s", http, "--cacert", str(c["ca"]), "--cert",
                                str(c["client"]), "--key", str(c["client_key"]), url],
                               capture_output=True, timeout=20)
            seen = json.loads(r.stdout)
            assert seen["tls"]["client_cert_name"] == "CN=client\\, one,O=Velmora Tests"
            assert seen["scheme"] == "https" and seen["tls"]["tls_version"] in (0x0303, 0x0304)
        refused = subprocess.run(["curl", "-s", "--cacert", str(c["ca"]), url],
                                 capture_output=True, timeout=20)
        assert refused.returncode != 0
    bad = [(["--ssl-certfile", str(tmp_path / "none.pem")], "TLS certificate file"),
           (["--ssl-certfile", str(c["server"]), "--ssl-keyfile", str(c["client_key"])],
            "cannot load the TLS certificate"),
           (tls[:4] + ["--ssl-keyfile-password", "wrong"], "key's password"),
           (tls + ["--ssl-ciphers", "NO-SUCH-CIPHER"], "no TLS cipher matches")]
    for args, message in bad:
        r = subprocess.run([*VELMORA, "deploy_apps:echo", "--port", "0", *args], cwd=ROOT,
                           env=env(), capture_output=True, text=True, timeout=60)
        assert r.returncode != 0 and message in r.stderr, r.stderr


def test_wsgi_streams_the_body_both_ways_and_asgi2_is_detected():
    port = free_port()
    with served([*VELMORA, "deploy_apps:streamed", "--port", str(port)], port=port):
        with socket.create_connection(("127.0.0.1", port), timeout=20) as s:
            s.sendall(b"POST / HTTP/1.1\r\nhost: x\r\ncontent-length: 12\r\n\r\none\n")
            head = s.recv(4096)  # the answer to the first line, before the body is complete
            assert head.startswith(b"HTTP/1.1 200 OK\r\n") and b"got one\n" in head
            s.sendall(b"two two\n")
            rest = b""
            while not rest.endswith(b"0\r\n\r\n"):
                rest += s.recv(4096)
            assert b"got two two\n" in rest
    with served([*VELMORA, "deploy_apps:Legacy", "--port", str(port)], port=port):
        assert httpx.get(f"http://127.0.0.1:{port}/").text == "asgi2"


def test_gunicorn_runs_the_worker_class(tmp_path):
    pytest.importorskip("gunicorn")
    pytest.importorskip("flask")
    port = free_port()
    argv = [sys.executable, "-m", "gunicorn", "-k", "velmora.workers.VelmoraWorker", "-w", "2",
            "--max-requests", "4", "-b", f"127.0.0.1:{port}", "--chdir", str(APPS),
            "--no-control-socket", "deploy_apps:flask_app"]
    with served(argv, port=port, extra_env={"HOME": str(tmp_path)}) as s:
        pids = set()
        for _ in range(12):
            r = httpx.get(f"http://127.0.0.1:{port}/", headers={"x-forwarded-for": "192.0.2.1"})
            assert r.text.startswith("flask 192.0.2.1 http ")
            pids.add(r.text.split()[-1])
        if shutil.which("curl"):
            h2 = subprocess.run(["curl", "-s", "--http2-prior-knowledge", "-w", " %{http_version}",
                                 f"http://127.0.0.1:{port}/"], capture_output=True, timeout=20)
            assert h2.stdout.startswith(b"flask 127.0.0.1 http") and h2.stdout.endswith(b" 2")
        assert len(pids) > 2  # workers were replaced after their requests
    assert "Maximum request limit" in s.out


def test_reload_when_a_file_changes(tmp_path):
    app = tmp_path / "reloaded.py"
    app.write_text(ECHO_VERSION % 1)
    port = free_port()
    argv = [*VELMORA, "reloaded:app", "--app-dir", str(tmp_path), "--port", str(port),
            "--reload", "--reload-dir", str(tmp_path), "--reload-delay", "0.1"]
    with served(argv, port=port) as s:
        assert httpx.get(f"http://127.0.0.1:{port}/").text == "1"
        time.sleep(0.5)
        app.write_text(ECHO_VERSION % 2)

        def new() -> bool:
            with contextlib.suppress(httpx.TransportError):
                return httpx.get(f"http://127.0.0.1:{port}/").text == "2"
            return False

        until(new)
    assert "reloading" in s.out


ECHO_VERSION = """
async def app(scope, receive, send):
    await send({"type": "http.response.start", "status": 200, "headers": []})
    await send({"type": "http.response.body", "body": b"%d"})
"""


def test_polling_reloader_sees_a_touched_file(tmp_path, monkeypatch):
    from velmora.server.reload import Reloader

    monkeypatch.setitem(sys.modules, "watchfiles", None)  # (not installed: polling)
    (tmp_path / "a.py").write_text("")
    (tmp_path / "skip.txt").write_text("")
    r = Reloader([], dirs=[str(tmp_path)], includes=["*.py"], excludes=[], delay=0.05)
    timer = threading.Timer(0.3, lambda: os.utime(tmp_path / "a.py", (1, 1)))
    stop = threading.Timer(20, r._stop.set)
    timer.start()
    stop.start()
    try:
        assert next(r.changes()) == [tmp_path / "a.py"]
    finally:
        stop.cancel()


def test_workers_signals_health_and_request_limit(tmp_path):
    port = free_port()
    argv = [*VELMORA, "deploy_apps:echo", "--port", str(port), "--timeout-worker-healthcheck",
            "2", "--limit-max-requests", "50", "--limit-max-requests-jitter", "0"]
    with served(argv, port=port, extra_env={"WEB_CONCURRENCY": "2"}) as s:
        parent = s.proc.pid
        first = until(lambda: len(children(parent)) == 2 and children(parent))
        os.kill(parent, signal.SIGTTIN)
        until(lambda: len(children(parent)) == 3)
        os.kill(parent, signal.SIGTTOU)
        until(lambda: len(children(parent)) == 2)
        failures = []
        done = threading.Event()

        def load() -> None:
            with httpx.Client() as c:
                while not done.is_set():
                    try:
                        c.get(f"http://127.0.0.1:{port}/").raise_for_status()
                    except httpx.HTTPError as exc:
                        failures.append(exc)

        t = threading.Thread(target=load)
        t.start()
        os.kill(parent, signal.SIGHUP)  # one by one: no request fails meanwhile
        until(lambda: len(children(parent)) == 2 and not (children(parent) & first))
        done.set()
        t.join(20)
        assert failures == []
        with contextlib.suppress(httpx.TimeoutException):
            httpx.get(f"http://127.0.0.1:{port}/block", timeout=1)
        until(lambda: "did not answer its health check" in s.read())
    assert "Maximum request limit of 50 exceeded" in s.out
    assert "Reloading the workers one by one" in s.out


def test_the_request_that_reaches_the_limit_is_answered_with_connection_close():
    port = free_port()
    argv = [*VELMORA, "deploy_apps:echo", "--port", str(port), "--limit-max-requests", "3",
            "--limit-max-requests-jitter", "0"]
    with served(argv, port=port), httpx.Client() as c:
        got = [c.get(f"http://127.0.0.1:{port}/").headers.get("connection") for _ in range(4)]
    assert got == [None, None, "close", None]  # the fourth is served by the new worker


def test_logging_options_headers_and_env_file(tmp_path):
    log_file = tmp_path / "server.log"
    (tmp_path / "log.json").write_text(json.dumps({
        "version": 1, "disable_existing_loggers": False,
        "handlers": {"f": {"class": "logging.FileHandler", "filename": str(log_file)}},
        "loggers": {"velmora.error": {"handlers": ["f"], "level": "INFO"}}}))
    (tmp_path / ".env").write_text("VELMORA_TEST_VALUE=from-env-file\n")
    port = free_port()
    argv = [*VELMORA, "deploy_apps:echo", "--port", str(port), "--log-config",
            str(tmp_path / "log.json"), "--header", "x-deployed: yes", "--env-file",
            str(tmp_path / ".env")]
    with served(argv, port=port):
        r = httpx.get(f"http://127.0.0.1:{port}/")
        assert r.headers["x-deployed"] == "yes" and r.json()["env"] == "from-env-file"
    lines = log_file.read_text()
    for line in ("Started server process", f"velmora running on http://127.0.0.1:{port}",
                 "Shutting down", "Finished server process"):
        assert line in lines
    with served([*VELMORA, "deploy_apps:echo", "--port", str(port), "--access-log-format",
                 "json"], port=port) as s:
        httpx.get(f"http://127.0.0.1:{port}/a?b=1")
    record = json.loads(next(x for x in s.out.splitlines() if x.startswith("{")))
    assert (record["method"], record["path"], record["status"]) == ("GET", "/a?b=1", 200)


@pytest.mark.parametrize("app, interface", [
    ("echo", "asgi3"), ("streamed", "wsgi"), ("Legacy", "asgi2"), ("flask_app", "wsgi"),
])
def test_interface_detection(app, interface):
    import deploy_apps

    from velmora.server.interfaces import detect_interface

    if getattr(deploy_apps, app) is None:
        pytest.skip("flask is not installed")
    assert detect_interface(getattr(deploy_apps, app)) == interface


@pytest.mark.parametrize("kwargs, message", [
    ({"forwarded_allow_ips": "10.0.0.0/8, proxy.local"}, "forwarded_allow_ips"),
    ({"interface": "cgi"}, "interface must be"),
    ({"uds": "/tmp/x.sock", "fd": 3}, "exclusive"),
    ({"limit_max_requests": 0}, "limit_max_requests"),
])
def test_deployment_settings_refused(kwargs, message):
    from velmora.server import Config

    with pytest.raises(ValueError, match=message):
        Config("m:app", **kwargs)


@pytest.mark.parametrize("settings, headers, client, scheme", [
    ({}, {"x-forwarded-for": "203.0.113.7", "x-forwarded-proto": "https"},
     ["203.0.113.7", 0], "https"),
    ({"proxy_headers": False}, {"x-forwarded-for": "203.0.113.7"}, "127.0.0.1", "http"),
    ({"forwarded_allow_ips": "10.0.0.0/8"}, {"forwarded": "for=203.0.113.7"}, "127.0.0.1",
     "http"),
    ({"forwarded_allow_ips": "127.0.0.0/8"}, {"forwarded": "for=203.0.113.7;proto=wss"},
     ["203.0.113.7", 0], "https"),
])
def test_proxy_headers_settings(settings, headers, client, scheme):
    import deploy_apps
    from server_util import Running

    with Running(deploy_apps.echo, **settings) as srv:
        seen = httpx.get(f"http://127.0.0.1:{srv.port}/", headers=headers).json()
    assert (seen["client"] if isinstance(client, list) else seen["client"][0]) == client
    assert seen["scheme"] == scheme


def test_every_option_is_in_the_readme():
    from velmora.server.cli import build_parser

    readme = (ROOT / "README.md").read_text()
    options = [o for a in build_parser()._actions for o in a.option_strings if o != "--help"]
    assert [o for o in options if o.startswith("--") and f"`{o}" not in readme] == []


@pytest.mark.parametrize("name, text", [
    ("log.yaml", "version: 1\nhandlers: {h: {class: logging.NullHandler}}\n"
                 "loggers: {velmora.error: {handlers: [h], level: DEBUG}}\n"),
    ("log.ini", "[loggers]\nkeys=root,error\n[handlers]\nkeys=h\n[formatters]\nkeys=\n"
                "[logger_root]\nhandlers=\n[logger_error]\nqualname=velmora.error\n"
                "handlers=h\nlevel=DEBUG\n[handler_h]\nclass=NullHandler\nargs=()\n"),
])
def test_log_config_files(tmp_path, name, text):
    import logging

    from velmora.server.logs import configure_logging

    (tmp_path / name).write_text(text)
    logger = logging.getLogger("velmora.error")
    root = logging.getLogger()
    saved = (logger.handlers[:], logger.level, logger.propagate, root.handlers[:], root.level)
    try:
        configure_logging(None, log_config=str(tmp_path / name))
        assert logger.level == logging.DEBUG
        assert [type(h).__name__ for h in logger.handlers] == ["NullHandler"]
    finally:
        logger.handlers[:], logger.level, logger.propagate = saved[:3]
        root.handlers[:], root.level = saved[3:]


@pytest.mark.parametrize("path, watched", [
    ("app/main.py", True), ("app/static/site.css", False), ("app/templates/a.html", True),
    ("app/migrations/0001.py", False), (".git/hooks/x.py", False), ("app/__pycache__/m.py", False),
])
def test_reload_includes_and_excludes(path, watched):
    from velmora.server.reload import Reloader

    r = Reloader([], dirs=["."], includes=["*.py", "*.html"], excludes=["migrations"],
                 delay=1)
    assert r.watched(Path(path)) is watched


def test_reuse_port_only_when_asked():
    from velmora.server import Config
    from velmora.server.sockets import bind_socket

    first = bind_socket(Config("m:app", port=0, reuse_port=True))
    port = first.getsockname()[1]
    try:
        bind_socket(Config("m:app", port=port, reuse_port=True)).close()
        with pytest.raises(OSError, match="address already in use"):
            bind_socket(Config("m:app", port=port))
    finally:
        first.close()
