"""A velmora server running in a background thread for tests, and raw-socket helpers."""

from __future__ import annotations

import asyncio
import os
import socket
import threading
import time
from typing import Any

from velmora.server import Config, Server

TIMEOUT = 10.0


class Running:
    """Serve ``app`` on 127.0.0.1 (a free port) in a thread with its own event loop."""

    def __init__(self, app: Any, *, loop: str = "asyncio", **config: Any) -> None:
        config.setdefault("access_log", False)
        config.setdefault("port", 0)
        config.setdefault("lifespan", "off")
        self.config = Config(app, loop=loop, **config)
        self.server = Server(self.config)
        self.loop: asyncio.AbstractEventLoop | None = None
        self.error: BaseException | None = None
        self._thread = threading.Thread(target=self._main, daemon=True)
        self._ready = threading.Event()

    def _main(self) -> None:
        if self.config.loop == "uvloop":
            import uvloop

            self.loop = uvloop.new_event_loop()
        else:
            self.loop = asyncio.new_event_loop()
        asyncio.set_event_loop(self.loop)
        try:
            self.loop.run_until_complete(self._serve())
        except BaseException as exc:  # noqa: BLE001
            self.error = exc
        finally:
            self._ready.set()
            self.loop.close()

    async def _serve(self) -> None:
        task = asyncio.get_running_loop().create_task(self.server.serve())
        await self.server.wait_started()
        self._ready.set()
        await task

    def __enter__(self) -> Running:
        self._thread.start()
        assert self._ready.wait(TIMEOUT), "server did not start"
        if self.error:
            raise self.error
        assert self.server.started
        self.port = self.server.port
        self.baseline_tasks = self.call(lambda: len(asyncio.all_tasks(self.loop)))
        return self

    def __exit__(self, *exc: Any) -> None:
        self.stop()

    def stop(self, timeout: float = TIMEOUT) -> None:
        self.server.should_exit = True
        self._thread.join(timeout)
        assert not self._thread.is_alive(), "server did not stop"
        if self.error:
            raise self.error

    def call(self, fn: Any, timeout: float = TIMEOUT) -> Any:
        """Run ``fn()`` on the server's loop and return its result."""
        assert self.loop is not None
        done = threading.Event()
        box: list[Any] = []

        def run() -> None:
            try:
                box.append(fn())
            finally:
                done.set()

        self.loop.call_soon_threadsafe(run)
        assert done.wait(timeout)
        return box[0]

    def tasks(self) -> int:
        """Tasks on the server loop beyond those it had when it started serving."""
        return self.call(lambda: len(asyncio.all_tasks(self.loop))) - self.baseline_tasks

    def connections(self) -> int:
        return self.call(lambda: len(self.server.service.connections))

    def wait_for(self, predicate: Any, timeout: float = TIMEOUT) -> None:
        deadline = time.monotonic() + timeout
        while not predicate():
            assert time.monotonic() < deadline, "condition not reached in time"
            time.sleep(0.02)

    def wait_idle(self, timeout: float = TIMEOUT) -> None:
        """Wait until no connection and no request task is left on the server."""
        self.wait_for(lambda: self.connections() == 0 and self.tasks() == 0, timeout)

    def url(self, path: str = "/") -> str:
        return f"http://127.0.0.1:{self.port}{path}"


def open_fds() -> int:
    return len(os.listdir("/proc/self/fd"))


def connect(port: int, timeout: float = TIMEOUT) -> socket.socket:
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    s.settimeout(timeout)
    return s


def read_until_close(s: socket.socket, limit: int = 1 << 24) -> bytes:
    out = bytearray()
    while len(out) < limit:
        try:
            chunk = s.recv(65536)
        except ConnectionResetError:
            break
        if not chunk:
            break
        out += chunk
    return bytes(out)


def parse_responses(data: bytes, methods: list[str]) -> list[tuple[int, dict, bytes]]:
    """Split ``data`` into responses to requests of ``methods``, with h11 as the parser."""
    import h11

    out = []
    conn = h11.Connection(h11.CLIENT)
    conn.receive_data(data)
    for i, method in enumerate(methods):
        if i:
            conn.start_next_cycle()
        conn.send(h11.Request(method=method, target="/", headers=[("host", "x")]))
        conn.send(h11.EndOfMessage())
        status, headers, body = None, {}, bytearray()
        while True:
            ev = conn.next_event()
            if ev is h11.NEED_DATA:
                conn.receive_data(b"")
                continue
            if isinstance(ev, h11.Response):
                status = ev.status_code
                headers = {k.decode(): v.decode() for k, v in ev.headers}
            elif isinstance(ev, h11.Data):
                body += ev.data
            elif isinstance(ev, h11.EndOfMessage):
                break
            elif isinstance(ev, h11.ConnectionClosed):
                break
        out.append((status, headers, bytes(body)))
    return out


def exchange(port: int, raw: bytes, methods: list[str]) -> list[tuple[int, dict, bytes]]:
    """Send ``raw`` on a new connection, read until the server closes, parse the responses."""
    with connect(port) as s:
        s.sendall(raw)
        data = read_until_close(s)
    return parse_responses(data, methods)
