"""The ASGI ``lifespan`` scope: startup before the first connection, shutdown after the last."""

from __future__ import annotations

import asyncio
from typing import Any

from velmora.server.asgi import ASGI_VERSION
from velmora.server.logs import error_log as _log

LIFESPAN_ASGI = {"version": ASGI_VERSION["version"], "spec_version": "2.0"}


class Lifespan:
    """Runs the application's lifespan task. ``mode``: "on" (a failure stops the server),
    "auto" (an application that does not speak lifespan is served anyway) or "off"."""

    def __init__(self, app: Any, mode: str, state: dict[str, Any]) -> None:
        self.app = app
        self.mode = mode
        self.state = state
        self._queue: asyncio.Queue[dict[str, Any]] = asyncio.Queue(maxsize=2)
        self._startup = asyncio.Event()
        self._shutdown = asyncio.Event()
        self._task: asyncio.Task[None] | None = None
        self.unsupported = False
        self.startup_failed = False
        self.shutdown_failed = False
        self.error: str | None = None

    async def startup(self) -> bool:
        """True when the server may start serving."""
        if self.mode == "off":
            return True
        self._task = asyncio.get_running_loop().create_task(self._main())
        await self._queue.put({"type": "lifespan.startup"})
        await self._startup.wait()
        if self.startup_failed or (self.unsupported and self.mode == "on"):
            _log.error("Application startup failed%s", f": {self.error}" if self.error else "")
            return False
        return True

    async def shutdown(self) -> None:
        if self.mode == "off" or self.unsupported or self._task is None or self._task.done():
            return
        await self._queue.put({"type": "lifespan.shutdown"})
        await self._shutdown.wait()
        if self.shutdown_failed:
            _log.error("Application shutdown failed%s", f": {self.error}" if self.error else "")

    async def _main(self) -> None:
        scope = {"type": "lifespan", "asgi": LIFESPAN_ASGI, "state": self.state}
        try:
            await self.app(scope, self._receive, self._send)
        except BaseException as exc:  # noqa: BLE001
            if self._startup.is_set() and not self._shutdown.is_set():
                self.shutdown_failed = True
                _log.error("Exception in 'lifespan' protocol", exc_info=exc)
            elif not self._startup.is_set():
                self.unsupported = True
                if self.mode == "auto":
                    _log.info("ASGI 'lifespan' protocol appears unsupported.")
                else:
                    _log.error("Exception in 'lifespan' protocol", exc_info=exc)
            if isinstance(exc, (KeyboardInterrupt, SystemExit)):
                raise
        finally:
            self._startup.set()
            self._shutdown.set()

    async def _receive(self) -> dict[str, Any]:
        return await self._queue.get()

    async def _send(self, message: dict[str, Any]) -> None:
        kind = message["type"]
        if kind == "lifespan.startup.complete":
            self._startup.set()
        elif kind == "lifespan.startup.failed":
            self.startup_failed = True
            self.error = message.get("message") or None
            self._startup.set()
        elif kind == "lifespan.shutdown.complete":
            self._shutdown.set()
        elif kind == "lifespan.shutdown.failed":
            self.shutdown_failed = True
            self.error = message.get("message") or None
            self._shutdown.set()
        else:
            raise RuntimeError(f"unexpected lifespan message {kind!r}")
