"""Independent clients against the server: httpx (HTTP/1.1, HTTPS with a self-signed
certificate made here) and curl."""

from __future__ import annotations

import datetime
import shutil
import ssl
import subprocess

import httpx
import pytest

from asgi_apps import Recorder
from server_util import Running


@pytest.fixture(scope="module")
def srv():
    app = Recorder()
    with Running(app) as running:
        running.app = app
        yield running


def make_certificate(tmp_path):
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID

    key = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "localhost")])
    now = datetime.datetime.now(datetime.timezone.utc)
    cert = (x509.CertificateBuilder().subject_name(name).issuer_name(name)
            .public_key(key.public_key()).serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(minutes=5))
            .not_valid_after(now + datetime.timedelta(days=1))
            .add_extension(x509.SubjectAlternativeName([x509.DNSName("localhost")]),
                           critical=False)
            .sign(key, hashes.SHA256()))
    certfile, keyfile = tmp_path / "cert.pem", tmp_path / "key.pem"
    certfile.write_bytes(cert.public_bytes(serialization.Encoding.PEM))
    keyfile.write_bytes(key.private_bytes(serialization.Encoding.PEM,
                                          serialization.PrivateFormat.PKCS8,
                                          serialization.NoEncryption()))
    return str(certfile), str(keyfile)


def test_httpx_keep_alive_requests(srv):
    with httpx.Client(base_url=srv.url(), timeout=10) as client:
        for i in range(5):
            r = client.get("/")
            assert r.status_code == 200 and r.text == "Hello, world!"
            assert r.http_version == "HTTP/1.1"
        r = client.post("/echo", content=b"x" * 100_000)
        assert r.content == b"x" * 100_000
        r = client.post("/echo", content=iter([b"ab", b"cd", b"ef"]))  # chunked upload
        assert r.content == b"abcdef"
        r = client.get("/stream?5")
        assert r.text == "part0;part1;part2;part3;part4;"
        r = client.head("/")
        assert r.headers["content-length"] == "13" and r.content == b""
        assert client.get("/fail-before").status_code == 500
        assert client.get("/").status_code == 200  # a new connection after the close


def test_httpx_streams_a_large_response(srv):
    with httpx.Client(timeout=10) as client:
        with client.stream("GET", srv.url("/big?4")) as r:
            total = sum(len(c) for c in r.iter_raw())
    assert total == 4 << 20


@pytest.mark.parametrize("loop", ["asyncio", "uvloop"])
def test_httpx_https_with_self_signed_certificate(tmp_path, loop):
    if loop == "uvloop":
        pytest.importorskip("uvloop")
    certfile, keyfile = make_certificate(tmp_path)
    app = Recorder()
    with Running(app, loop=loop, ssl_certfile=certfile, ssl_keyfile=keyfile) as running:
        ctx = ssl.create_default_context(cafile=certfile)
        with httpx.Client(verify=ctx, timeout=10) as client:
            url = f"https://localhost:{running.port}"
            r = client.get(url + "/scope")
            assert r.status_code == 200 and r.json()["scheme"] == "https"
            r = client.post(url + "/echo", content=b"secret" * 1000)
            assert r.content == b"secret" * 1000
        # ALPN selects http/1.1 for a client that offers only it, h2 when offered first
        import socket
        for offered, selected in ((["http/1.1"], "http/1.1"), (["h2", "http/1.1"], "h2")):
            raw = socket.create_connection(("127.0.0.1", running.port), timeout=10)
            ctx.set_alpn_protocols(offered)
            with ctx.wrap_socket(raw, server_hostname="localhost") as tls:
                assert tls.selected_alpn_protocol() == selected


def curl(*args: str) -> subprocess.CompletedProcess:
    exe = shutil.which("curl")
    if exe is None:
        pytest.skip("curl is not installed")
    return subprocess.run([exe, "--http1.1", "-sS", "--max-time", "10", *args],
                          capture_output=True, timeout=20)


def test_curl_get_head_post_and_100_continue(srv):
    r = curl("-i", srv.url("/"))
    assert r.returncode == 0
    assert r.stdout.startswith(b"HTTP/1.1 200 OK\r\n") and r.stdout.endswith(b"Hello, world!")
    r = curl("-I", srv.url("/"))
    assert b"content-length: 13" in r.stdout
    # curl sends Expect: 100-continue for bodies above 1 MiB and waits for it
    body = b"y" * (2 << 20)
    r = subprocess.run([shutil.which("curl"), "--http1.1", "-sS", "-v", "--max-time", "10",
                        "--expect100-timeout", "5", "--data-binary", "@-",
                        "-H", "Expect: 100-continue", srv.url("/echo")],
                       input=body, capture_output=True, timeout=20)
    assert r.returncode == 0 and r.stdout == body
    assert b"HTTP/1.1 100 Continue" in r.stderr
    # two URLs on one connection
    r = curl("-v", srv.url("/"), srv.url("/stream?2"))
    assert r.stdout == b"Hello, world!part0;part1;"
    assert b"Re-using existing connection" in r.stderr or b"left intact" in r.stderr


def test_curl_chunked_upload_and_trailers(srv):
    exe = shutil.which("curl")
    if exe is None:
        pytest.skip("curl is not installed")
    r = subprocess.run([exe, "--http1.1", "-sS", "--max-time", "10", "-H",
                        "Transfer-Encoding: chunked", "--data-binary", "@-", srv.url("/echo")],
                       input=b"chunky" * 1000, capture_output=True, timeout=20)
    assert r.stdout == b"chunky" * 1000
    r = curl("-v", "--raw", "-H", "TE: trailers", srv.url("/trailers"))
    assert r.stdout.endswith(b"0\r\nx-checksum: 42\r\n\r\n")
