"""The application as the server runs it: ASGI 3 as given, ASGI 2 and WSGI applications
adapted (``interface``), with the server's default response fields and its request limit."""

from __future__ import annotations

import asyncio
import inspect
import io
import random
import sys
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Awaitable, Callable, Iterable, Protocol, TypeVar

from velmora.server.asgi import ASGIApp, Message, Receive, Scope, Send
from velmora.server.config import Config
from velmora.server.logs import error_log as _log

T = TypeVar("T")


class Stoppable(Protocol):
    def stop_serving(self) -> None: ...


def detect_interface(app: Any) -> str:
    """``asgi3`` for a coroutine function (or an object whose ``__call__`` is one, or a class
    whose instances are awaitable), ``wsgi`` for another callable of two parameters (environ,
    start_response), ``asgi2`` for the rest (a callable of the scope that returns the coroutine
    function of receive and send)."""
    if inspect.isclass(app):
        return "asgi3" if hasattr(app, "__await__") else "asgi2"
    call = app if inspect.isfunction(app) or inspect.ismethod(app) else getattr(
        app, "__call__", app)
    if inspect.iscoroutinefunction(call):
        return "asgi3"
    try:
        params = [p for p in inspect.signature(call).parameters.values()
                  if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)]
    except (TypeError, ValueError):
        return "asgi3"
    return "wsgi" if len(params) == 2 else "asgi2"


def wrap_app(app: Any, config: Config, server: Stoppable) -> ASGIApp:
    """``app`` as an ASGI 3 application with what ``config`` adds around every request."""
    kind = config.interface if config.interface != "auto" else detect_interface(app)
    if kind == "asgi2":
        app = asgi2_adapter(app)
    elif kind == "wsgi":
        app = WSGIAdapter(app, config.wsgi_threads, multiprocess=config.workers > 1)
    if config.headers:
        app = default_headers(app, config.headers)
    if config.limit_max_requests is not None:
        app = request_limit(app, config.limit_max_requests, config.limit_max_requests_jitter,
                            server)
    return app  # type: ignore[no-any-return]


def asgi2_adapter(app: Callable[[Scope], Any]) -> ASGIApp:
    async def asgi3(scope: Scope, receive: Receive, send: Send) -> None:
        await app(scope)(receive, send)

    return asgi3


def default_headers(app: ASGIApp, headers: list[tuple[str, str]]) -> ASGIApp:
    """Adds ``headers`` to every response that does not set the same field itself."""
    fields = [(k.lower().encode("latin-1"), v.encode("latin-1")) for k, v in headers]

    async def wrapped(scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] == "lifespan":
            await app(scope, receive, send)
            return

        async def send_with(message: Message) -> None:
            if message["type"] in ("http.response.start", "websocket.accept"):
                own = message.get("headers") or []
                names = {k.lower() for k, _ in own}
                message = dict(message)
                message["headers"] = [*own, *(f for f in fields if f[0] not in names)]
            await send(message)

        await app(scope, receive, send_with)

    return wrapped


def request_limit(app: ASGIApp, limit: int, jitter: int | None, server: Stoppable) -> ASGIApp:
    """Stops the server gracefully after ``limit`` plus a random jitter (up to ``jitter``,
    by default a tenth of ``limit``) requests, so that workers started together do not all
    restart together."""
    jitter = limit // 10 if jitter is None else jitter
    total = limit + (random.randint(0, jitter) if jitter > 0 else 0)
    count = 0

    async def wrapped(scope: Scope, receive: Receive, send: Send) -> None:
        nonlocal count
        if scope["type"] != "lifespan":
            count += 1
            if count == total:
                _log.warning("Maximum request limit of %d exceeded. Terminating process.", total)
                server.stop_serving()  # this response already says connection: close
        await app(scope, receive, send)

    return wrapped


# ---- WSGI (PEP 3333) ------------------------------------------------------------------------


def run_threadsafe(aw: Awaitable[T], loop: asyncio.AbstractEventLoop) -> T:
    """Runs ``aw`` on ``loop`` from another thread and waits for its result."""

    async def call() -> T:
        return await aw

    return asyncio.run_coroutine_threadsafe(call(), loop).result()


class WSGIInput(io.RawIOBase):
    """``wsgi.input``: the request body read from the ASGI ``receive`` as the application
    reads it (one message at a time, from the application's thread), never buffered whole."""

    def __init__(self, receive: Receive, loop: asyncio.AbstractEventLoop) -> None:
        super().__init__()
        self._receive = receive
        self._loop = loop
        self._buf = bytearray()
        self._more = True

    def readable(self) -> bool:
        return True

    def _fill(self) -> bool:
        if not self._more:
            return False
        message = run_threadsafe(self._receive(), self._loop)
        if message["type"] != "http.request":
            self._more = False
            return False
        self._buf += message.get("body", b"")
        self._more = bool(message.get("more_body"))
        return True

    def read(self, size: int | None = -1) -> bytes:
        if size is None or size < 0:
            while self._fill():
                pass
            size = len(self._buf)
        while len(self._buf) < size and self._fill():
            pass
        out = bytes(self._buf[:size])
        del self._buf[:size]
        return out

    def readinto(self, b: Any) -> int:
        data = self.read(len(b))
        b[:len(data)] = data
        return len(data)

    def readline(self, size: int | None = -1) -> bytes:
        while b"\n" not in self._buf and (size is None or size < 0 or len(self._buf) < size):
            if not self._fill():
                break
        end = self._buf.find(b"\n") + 1 or len(self._buf)
        if size is not None and size >= 0:
            end = min(end, size)
        out = bytes(self._buf[:end])
        del self._buf[:end]
        return out


def wsgi_environ(scope: Scope, body: WSGIInput, multiprocess: bool) -> dict[str, Any]:
    root = scope.get("root_path", "")
    path = scope["path"]
    if root and path.startswith(root):
        path = path[len(root):]
    server = scope.get("server") or ("localhost", 80)
    environ: dict[str, Any] = {
        "REQUEST_METHOD": scope["method"],
        "SCRIPT_NAME": root.encode("utf-8").decode("latin-1"),
        "PATH_INFO": path.encode("utf-8").decode("latin-1"),
        "QUERY_STRING": scope["query_string"].decode("latin-1"),
        "SERVER_NAME": str(server[0]),
        "SERVER_PORT": str(server[1]),
        "SERVER_PROTOCOL": f"HTTP/{scope['http_version']}",
        "wsgi.version": (1, 0),
        "wsgi.url_scheme": scope.get("scheme", "http"),
        "wsgi.input": body,
        "wsgi.errors": sys.stderr,
        "wsgi.multithread": True,
        "wsgi.multiprocess": multiprocess,
        "wsgi.run_once": False,
    }
    client = scope.get("client")
    if client:
        environ["REMOTE_ADDR"] = client[0]
        environ["REMOTE_PORT"] = str(client[1])
    for name, value in scope["headers"]:
        key = name.decode("latin-1").upper().replace("-", "_")
        if key in ("CONTENT_TYPE", "CONTENT_LENGTH"):
            environ[key] = value.decode("latin-1")
            continue
        key = "HTTP_" + key
        text = value.decode("latin-1")
        environ[key] = f"{environ[key]},{text}" if key in environ else text
    return environ


class WSGIAdapter:
    """Runs a WSGI application on a pool of ``threads`` threads; requests beyond that wait
    for a thread (a bounded wait: the server's connection and concurrency limits bound them).
    The response goes out as the application yields it, each piece waiting for the client."""

    def __init__(self, app: Callable[..., Iterable[bytes]], threads: int, *,
                 multiprocess: bool = False) -> None:
        self.app = app
        self.multiprocess = multiprocess
        self._threads = threads
        self._pool: ThreadPoolExecutor | None = None
        self._slots: asyncio.Semaphore | None = None

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            raise RuntimeError(f"a WSGI application cannot serve a {scope['type']!r} scope")
        if self._pool is None:
            self._pool = ThreadPoolExecutor(self._threads, thread_name_prefix="velmora-wsgi")
            self._slots = asyncio.Semaphore(self._threads)
        assert self._slots is not None
        loop = asyncio.get_running_loop()
        async with self._slots:
            await loop.run_in_executor(self._pool, self._run, scope, receive, send, loop)

    def _run(self, scope: Scope, receive: Receive, send: Send,
             loop: asyncio.AbstractEventLoop) -> None:
        state: dict[str, Any] = {"start": None, "sent": False}

        def put(message: Message) -> None:
            run_threadsafe(send(message), loop)

        def start_head() -> None:
            if not state["sent"]:
                state["sent"] = True
                put(state["start"])

        def write(data: bytes) -> None:
            if state["start"] is None:
                raise AssertionError("write() before start_response()")
            start_head()
            if data:
                put({"type": "http.response.body", "body": data, "more_body": True})

        def start_response(status: str, headers: list[tuple[str, str]],
                           exc_info: Any = None) -> Callable[[bytes], None]:
            if exc_info is not None:
                try:
                    if state["sent"]:
                        raise exc_info[1].with_traceback(exc_info[2])
                finally:
                    exc_info = None
            elif state["start"] is not None:
                raise AssertionError("start_response() called twice without exc_info")
            state["start"] = {
                "type": "http.response.start", "status": int(status.split(" ", 1)[0]),
                "headers": [(k.lower().encode("latin-1"), v.encode("latin-1"))
                            for k, v in headers]}
            return write

        environ = wsgi_environ(scope, WSGIInput(receive, loop), self.multiprocess)
        result = self.app(environ, start_response)
        try:
            for chunk in result:
                if chunk:
                    write(chunk)
        finally:
            close = getattr(result, "close", None)
            if close is not None:
                close()
        if state["start"] is None:
            raise RuntimeError("the WSGI application did not call start_response()")
        start_head()
        put({"type": "http.response.body", "body": b"", "more_body": False})
