"""HTTP/2 on the wire against a `velmora serve` process: the process itself (h2c or TLS), and a
raw client that writes frames byte for byte and reads back exactly what the server sent."""

from __future__ import annotations

import contextlib
import os
import socket
import ssl
import struct
import subprocess
import sys
import textwrap
import time
from collections.abc import Iterator
from typing import Any

import hpack

PREFACE = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"
DATA, HEADERS, PRIORITY, RST_STREAM, SETTINGS, PUSH_PROMISE, PING, GOAWAY, WINDOW_UPDATE = range(9)
TIMEOUT = 5.0

# The application behind the server: /slow answers after 0.5 s, /echo answers with the request
# body (no other path reads its body), /seen lists the paths every request so far had (one line each), anything else says ok.
APP = textwrap.dedent("""
    import asyncio
    seen = []

    async def app(scope, receive, send):
        if scope["type"] != "http":
            return
        seen.append(scope["path"])
        body = b""
        while scope["path"] == "/echo":
            msg = await receive()
            if msg["type"] == "http.disconnect":
                return
            body += msg.get("body", b"")
            if not msg.get("more_body"):
                break
        if scope["path"] == "/slow":
            await asyncio.sleep(0.5)
        path = scope["path"]
        out = body if path == "/echo" else "\\n".join(seen).encode() if path == "/seen" else b"ok"
        await send({"type": "http.response.start", "status": 200,
                    "headers": [(b"content-length", str(len(out)).encode())]})
        await send({"type": "http.response.body", "body": out})
""")


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Served:
    """A `velmora serve` process on 127.0.0.1; ``tls`` is (certfile, keyfile) or None."""

    def __init__(self, directory: str, port: int, proc: subprocess.Popen[bytes],
                 tls: tuple[str, str] | None) -> None:
        self.directory = directory
        self.port = port
        self.proc = proc
        self.tls = tls

    def connect(self) -> socket.socket:
        sock = socket.create_connection(("127.0.0.1", self.port), timeout=TIMEOUT)
        if self.tls is None:
            return sock
        ctx = ssl.create_default_context(cafile=self.tls[0])
        ctx.set_alpn_protocols(["h2"])
        tls = ctx.wrap_socket(sock, server_hostname="localhost")
        assert tls.selected_alpn_protocol() == "h2"
        return tls

    def rss_kib(self) -> int:
        with open(f"/proc/{self.proc.pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        raise AssertionError("no VmRSS")


@contextlib.contextmanager
def serve(directory: str, *args: str, app: str = APP,
          tls: tuple[str, str] | None = None) -> Iterator[Served]:
    """Runs ``velmora serve wireapp:app`` with ``args`` from ``directory`` until the block ends."""
    with open(os.path.join(directory, "wireapp.py"), "w") as f:
        f.write(app)
    port = free_port()
    cmd = [sys.executable, "-m", "velmora", "serve", "wireapp:app", "--port", str(port),
           "--lifespan", "off", "--no-access-log", *args]
    if tls:
        cmd += ["--ssl-certfile", tls[0], "--ssl-keyfile", tls[1]]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [directory] + [p for p in sys.path if p and os.path.isdir(p)]))
    proc = subprocess.Popen(cmd, cwd=directory, env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 20
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                assert proc.poll() is None, "the server exited"
                assert time.monotonic() < deadline, "the server did not start"
                time.sleep(0.05)
        yield Served(directory, port, proc, tls)
    finally:
        proc.terminate()
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def frame(ftype: int, flags: int, sid: int, payload: bytes) -> bytes:
    return (struct.pack(">I", len(payload))[1:] + bytes([ftype, flags]) + struct.pack(">I", sid)
            + payload)


class Wire:
    """A raw HTTP/2 client: frames go out as given; frames that come back are kept as
    (type, flags, stream id, payload), HEADERS decoded into a field list."""

    def __init__(self, sock: socket.socket, ack: bool = True) -> None:
        self.sock = sock
        self.ack = ack  # the server's SETTINGS and PINGs are acknowledged
        self.enc = hpack.Encoder()
        self.dec = hpack.Decoder()
        self.frames: list[tuple[int, int, int, Any]] = []
        self.buf = b""
        self.closed = False

    def handshake(self) -> None:
        """Preface and an empty SETTINGS; the server's SETTINGS is acknowledged."""
        self.sock.sendall(PREFACE + frame(SETTINGS, 0, 0, b""))
        self.until(lambda: any(f[0] == SETTINGS and not f[1] & 1 for f in self.frames))

    def send(self, data: bytes) -> None:
        self.sock.sendall(data)

    def headers(self, sid: int, path: str, extra: list[tuple[str, str]] | tuple = (),
                end_stream: bool = True, method: str = "GET") -> bytes:
        block = self.enc.encode([(":method", method), (":scheme", "http"), (":authority", "t"),
                                 (":path", path), *extra])
        return frame(HEADERS, 4 | (1 if end_stream else 0), sid, block)

    def fields(self, sid: int, fields: list[tuple[str, str]], end_stream: bool = True) -> bytes:
        return frame(HEADERS, 4 | (1 if end_stream else 0), sid, self.enc.encode(fields))

    def until(self, done: Any, timeout: float = TIMEOUT) -> None:
        deadline = time.monotonic() + timeout
        while not done():
            assert not self.closed, f"connection closed; frames: {self.summary()}"
            left = deadline - time.monotonic()
            assert left > 0, f"condition not reached in time; frames: {self.summary()}"
            self.sock.settimeout(left)
            try:
                data = self.sock.recv(65536)
            except (ConnectionResetError, ssl.SSLError):
                data = b""
            if not data:
                self.closed = True
                continue
            self.buf += data
            while len(self.buf) >= 9 and len(self.buf) >= 9 + int.from_bytes(self.buf[:3], "big"):
                n = int.from_bytes(self.buf[:3], "big")
                ftype, flags = self.buf[3], self.buf[4]
                sid = int.from_bytes(self.buf[5:9], "big") & 0x7FFFFFFF
                payload: Any = self.buf[9:9 + n]
                self.buf = self.buf[9 + n:]
                if ftype == HEADERS:
                    payload = self.dec.decode(payload, raw=True)
                elif ftype in (SETTINGS, PING) and not flags & 1 and self.ack:
                    with contextlib.suppress(OSError):
                        self.sock.sendall(frame(ftype, 1, 0, payload if ftype == PING else b""))
                self.frames.append((ftype, flags, sid, payload))

    def until_closed(self, timeout: float = TIMEOUT) -> None:
        with contextlib.suppress(AssertionError):
            self.until(lambda: False, timeout)
        assert self.closed, "the server kept the connection open"

    def goaway(self) -> tuple[int, int] | None:
        """(last stream id, error code) of the server's GOAWAY, if one came."""
        for ftype, _flags, _sid, payload in self.frames:
            if ftype == GOAWAY:
                return struct.unpack(">II", payload[:8])
        return None

    def resets(self) -> list[tuple[int, int]]:
        return [(sid, struct.unpack(">I", p)[0])
                for t, _f, sid, p in self.frames if t == RST_STREAM]

    def response(self, sid: int) -> tuple[int, bytes] | None:
        """(status, body) once the response on ``sid`` ended, else None."""
        status, body, ended = None, b"", False
        for ftype, flags, fsid, payload in self.frames:
            if fsid != sid:
                continue
            if ftype == HEADERS and status is None:
                status = int(dict(payload)[b":status"])
            elif ftype == DATA:
                body += payload
            ended = ended or (ftype in (HEADERS, DATA) and bool(flags & 1))
        return (status, body) if ended and status is not None else None

    def get(self, sid: int, path: str = "/", timeout: float = TIMEOUT) -> tuple[int, bytes]:
        self.send(self.headers(sid, path))
        self.until(lambda: self.response(sid) is not None, timeout)
        result = self.response(sid)
        assert result is not None
        return result

    def summary(self) -> list[tuple[int, int, int]]:
        return [(t, f, s) for t, f, s, _ in self.frames]

    def close(self) -> None:
        self.sock.close()


__all__ = ["APP", "Served", "Wire", "frame", "serve", "free_port", "PREFACE", "DATA", "HEADERS",
           "PRIORITY", "RST_STREAM", "SETTINGS", "PUSH_PROMISE", "PING", "GOAWAY",
           "WINDOW_UPDATE"]
