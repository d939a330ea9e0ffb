"""Listening, serving and graceful shutdown of one server process (``velmora.server.run``
chooses between it and the supervisor of several)."""

from __future__ import annotations

import asyncio
import os
import signal
import socket
import ssl
import sys
import threading
from typing import Any, Callable, Coroutine

from velmora.server import h2
from velmora.server.config import Config, TLSConfigError
from velmora.server.interfaces import wrap_app
from velmora.server.h1 import ServerConnection
from velmora.server.lifespan import Lifespan
from velmora.server.logs import error_log as _log
from velmora.server.sockets import bind_socket, describe
from velmora.server.state import H2Factory, Service

HANDLED_SIGNALS = (signal.SIGINT, signal.SIGTERM)


def _h2_factory() -> H2Factory | None:
    """The protocol factory of connections that speak HTTP/2 (``None``: HTTP/1 only)."""
    return h2.create_protocol


class Server:
    """An embeddable server: ``await Server(config).serve()`` runs until ``should_exit``.

    After startup ``started`` is true, ``sockets`` holds the listening sockets and ``port``
    the bound port (useful with ``port=0``). ``on_started`` is called from the event loop as
    soon as the server listens, before it serves a request."""

    def __init__(self, config: Config, *, on_started: Callable[[], None] | None = None) -> None:
        self.config = config
        self.started = False
        self._on_started = on_started
        self.service: Service | None = None
        self.servers: list[asyncio.AbstractServer] = []
        self.force_exit = False
        self._should_exit = False
        self._exit_event: asyncio.Event | None = None
        self._loop: asyncio.AbstractEventLoop | None = None
        self._started_event: asyncio.Event | None = None
        self.startup_failed = False
        self._ssl: ssl.SSLContext | None = None
        self._uds: str | None = None  # the unix socket this server made (removed at the end)

    # ---- control ----------------------------------------------------------------------------

    @property
    def should_exit(self) -> bool:
        return self._should_exit

    @should_exit.setter
    def should_exit(self, value: bool) -> None:
        self._should_exit = value
        if value and self._exit_event is not None and self._loop is not None:
            try:
                self._loop.call_soon_threadsafe(self._exit_event.set)
            except RuntimeError:  # the loop is closed
                pass

    def shutdown_soon(self) -> None:
        """Ask the server to stop accepting and finish (thread-safe)."""
        self.should_exit = True

    @property
    def sockets(self) -> list[socket.socket]:
        return [s for srv in self.servers
                for s in (getattr(srv, "sockets", None) or ())]

    @property
    def port(self) -> int | None:
        for s in self.sockets:
            if s.family != socket.AF_UNIX:
                return int(s.getsockname()[1])
        return None

    async def wait_started(self) -> None:
        """Wait until the server listens (or failed to start)."""
        while self._started_event is None:
            await asyncio.sleep(0.005)
        await self._started_event.wait()

    # ---- running ----------------------------------------------------------------------------

    def run(self, sockets: list[socket.socket] | None = None) -> None:
        """Run in a new event loop (uvloop when installed and not disabled) until stopped."""
        run_loop(self.serve(sockets), self.config.loop)

    async def serve(self, sockets: list[socket.socket] | None = None) -> None:
        self._loop = loop = asyncio.get_running_loop()
        self._exit_event = asyncio.Event()
        self._started_event = asyncio.Event()
        if self._should_exit:
            self._exit_event.set()
        config = self.config
        _log.info("Started server process [%d]", os.getpid())
        try:
            app = wrap_app(config.load(), config, self)
            self._ssl = config.ssl_context(["h2", "http/1.1"])
        except Exception as exc:
            self._started_event.set()
            self.startup_failed = True
            if isinstance(exc, TLSConfigError):
                _log.error("%s", exc)
                return
            raise
        self.service = svc = Service(config, app, loop, h2_factory=_h2_factory())
        lifespan = Lifespan(app, config.lifespan, svc.lifespan_state)
        if config.lifespan != "off":
            _log.info("Waiting for application startup.")
        if not await lifespan.startup():
            self.startup_failed = True
            self._started_event.set()
            return
        if config.lifespan != "off" and not lifespan.unsupported:
            _log.info("Application startup complete.")
        restore = self._install_signal_handlers(loop)
        try:
            try:
                await self._listen(svc, sockets)
            except OSError as exc:
                _log.error("%s", exc)
                self.startup_failed = True
                self._started_event.set()
                await lifespan.shutdown()
                return
            self.started = True
            if self._on_started is not None:
                self._on_started()
            self._started_event.set()
            svc.start_sweeper()
            await self._exit_event.wait()
            _log.info("Shutting down")
            await self._shutdown(svc)
            if config.lifespan != "off" and not lifespan.unsupported:
                _log.info("Waiting for application shutdown.")
            await lifespan.shutdown()
            if config.lifespan != "off" and not lifespan.unsupported:
                _log.info("Application shutdown complete.")
        finally:
            restore()
            svc.stop_sweeper()
            self._unlink_uds()
            _log.info("Finished server process [%d]", os.getpid())

    async def _listen(self, svc: Service, sockets: list[socket.socket] | None) -> None:
        config = self.config
        loop = svc.loop
        ssl_ctx = self._ssl

        def factory() -> asyncio.Protocol:
            return ServerConnection(svc)

        if not sockets and (config.uds is not None or config.fd is not None):
            sockets = [bind_socket(config)]
            if config.uds is not None:
                self._uds = config.uds
        if sockets:
            for sock in sockets:
                if sock.family == socket.AF_UNIX:
                    self.servers.append(await loop.create_unix_server(
                        factory, sock=sock, ssl=ssl_ctx, backlog=config.backlog))
                else:
                    self.servers.append(await loop.create_server(
                        factory, sock=sock, ssl=ssl_ctx, backlog=config.backlog))
        else:
            self.servers.append(await loop.create_server(
                factory, host=config.host, port=config.port, ssl=ssl_ctx,
                backlog=config.backlog, reuse_port=config.reuse_port or None))
        scheme = "https" if config.is_ssl else "http"
        for sock in self.sockets:
            _log.info("velmora running on %s (HTTP/1.1 and HTTP/2; Press CTRL+C to quit)",
                      describe(sock, scheme))

    def _unlink_uds(self) -> None:
        if self._uds is not None:
            try:
                os.unlink(self._uds)
            except OSError:
                pass
            self._uds = None

    def stop_serving(self) -> None:
        """From the event loop: stop accepting now, and have every connection end after the
        request it is serving (whose response says ``connection: close``; HTTP/2 sends
        GOAWAY). The rest of the shutdown follows, as after :meth:`shutdown_soon`."""
        svc = self.service
        if svc is not None and not svc.shutting_down:
            svc.shutting_down = True
            for srv in self.servers:
                srv.close()
            for conn in list(svc.connections):
                conn.shutdown()
        self.should_exit = True

    async def _shutdown(self, svc: Service) -> None:
        """Stop accepting, let in-flight requests finish within the grace period."""
        self.stop_serving()
        grace = self.config.timeout_graceful_shutdown
        loop = svc.loop
        deadline = None if grace is None else loop.time() + grace
        while (svc.connections or svc.cycles) and not self.force_exit:
            if deadline is not None and loop.time() >= deadline:
                break
            await asyncio.sleep(0.05)
        for cycle in list(svc.cycles):
            task = cycle.task
            if task is not None and not task.done():
                task.cancel()
        for conn in list(svc.connections):
            conn.abort()
        pending = [c.task for c in svc.cycles if c.task is not None and not c.task.done()]
        if pending:
            await asyncio.wait(pending, timeout=5)
        for srv in self.servers:
            try:
                await asyncio.wait_for(srv.wait_closed(), 1)
            except (asyncio.TimeoutError, RuntimeError):
                pass

    def _install_signal_handlers(self, loop: asyncio.AbstractEventLoop) -> Callable[[], None]:
        if threading.current_thread() is not threading.main_thread():
            return lambda: None
        installed = []
        for sig in HANDLED_SIGNALS:
            try:
                loop.add_signal_handler(sig, self._handle_signal, sig)
                installed.append(sig)
            except (NotImplementedError, RuntimeError, ValueError):  # pragma: no cover
                pass

        def restore() -> None:
            for sig in installed:
                try:
                    loop.remove_signal_handler(sig)
                except Exception:  # pragma: no cover
                    pass

        return restore

    def _handle_signal(self, sig: int) -> None:
        if self.should_exit and sig == signal.SIGINT:
            self.force_exit = True  # a second Ctrl-C: stop waiting for requests
        self.should_exit = True


def run_loop(main: Coroutine[Any, Any, None], loop_kind: str = "auto") -> None:
    if loop_kind in ("auto", "uvloop"):
        try:
            import uvloop
        except ImportError:
            if loop_kind == "uvloop":
                raise
        else:
            if sys.version_info >= (3, 11):
                with asyncio.Runner(loop_factory=uvloop.new_event_loop) as runner:
                    runner.run(main)
                return
            uvloop.install()  # pragma: no cover
    asyncio.run(main)


def __getattr__(name: str) -> Any:
    # `serve` lived here before it moved to velmora.server.run (which imports this module);
    # resolved on first use so that old imports keep working without an import cycle.
    if name == "serve":
        from velmora.server.run import serve

        return serve
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
