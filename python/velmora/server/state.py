"""What every connection of one listening server shares: the app, the settings it needs on the
hot path, the live connections and request cycles, and the deadline sweep."""

from __future__ import annotations

import asyncio
import logging
from typing import Any, Callable, Protocol, TypedDict

from velmora.server.asgi import ASGIApp, scope_base, target_splitter
from velmora.server.config import Config
from velmora.server.logs import access_log

# A protocol factory for connections that start with the HTTP/2 preface or negotiate "h2"
# through ALPN: called with (service, transport, bytes already read); it attaches its protocol
# to the transport (``transport.set_protocol``), feeds it the bytes and returns it.
H2Factory = Callable[["Service", asyncio.Transport, bytes], "Connection"]


class CodecOptions(TypedDict):
    """The keyword arguments of every connection's ``H1Codec``."""

    max_headers: int
    max_buf_size: int
    date_header: bool


class Connection(Protocol):
    """What the server asks of a live connection of either protocol."""

    deadline: float  # when the head or keep-alive time runs out (loop time); 0: none

    @property
    def idle(self) -> bool: ...  # kept alive between requests: closing it loses nothing
    def deadline_expired(self) -> None: ...
    def shutdown(self) -> None: ...
    def abort(self) -> None: ...


class Cycle(Protocol):
    """A request whose application runs (``task``: ``None`` once it ended or never began)."""

    task: asyncio.Task[None] | None


class Service:
    """Shared state of one server. Connections read these attributes directly."""

    def __init__(self, config: Config, app: ASGIApp, loop: asyncio.AbstractEventLoop,
                 *, h2_factory: H2Factory | None = None) -> None:
        self.config = config
        self.app = app
        self.loop = loop
        self.connections: set[Connection] = set()
        self.cycles: set[Cycle] = set()
        self.codec_kwargs: CodecOptions = {
            "max_headers": config.limit_request_headers,
            "max_buf_size": config.limit_request_head_size,
            "date_header": config.date_header,
        }
        self.keep_alive = config.keep_alive
        self.timeout_keep_alive = config.timeout_keep_alive
        self.timeout_head = config.timeout_request_head
        self.body_buffer = config.limit_request_body_buffer
        self.write_high = config.write_buffer_high
        self.limit_concurrency = config.limit_concurrency
        self.max_connections = config.limit_max_connections
        self.split = target_splitter(config.root_path)
        self.scheme = "https" if config.is_ssl else "http"
        self.root_path = config.root_path
        self.extensions: dict[str, Any] = {"http.response.trailers": {}}
        self.lifespan_state: dict[str, Any] = {}
        self.trusted = config.trusted_peers()
        self.scope_base = scope_base(self)
        self.access = config.access_log and access_log.isEnabledFor(logging.INFO)
        self.server_header = config.server_header
        self.is_ssl = config.is_ssl
        self.h2_factory = h2_factory
        self.shutting_down = False
        self.ws = config.ws != "none"
        self.ws_hinted = False  # (the hint that WebSockets are off was logged)
        self.ws_max_size = config.ws_max_size
        self.ws_max_queue = config.ws_max_queue
        self.ws_ping_interval = config.ws_ping_interval or 0.0
        self.ws_ping_timeout = config.ws_ping_timeout or 0.0
        self.ws_deflate = config.ws_per_message_deflate
        self.ws_read_buffer: memoryview | None = None  # (made by the first WebSocket session)
        self._sweeper: asyncio.TimerHandle | None = None
        timeouts = [t for t in (self.timeout_keep_alive, self.timeout_head) if t > 0]
        self.sweep_interval = min(1.0, max(0.05, min(timeouts, default=1.0) / 4))
        # Deadlines are computed from ``now``, refreshed by each sweep: a stale ``now`` is at
        # most one interval old, so one interval is added to never expire early.
        self.now = loop.time()
        self.keep_alive_span = (self.timeout_keep_alive + self.sweep_interval
                                if self.timeout_keep_alive > 0 else 0.0)
        self.head_span = self.timeout_head + self.sweep_interval if self.timeout_head > 0 else 0.0

    def make_room(self) -> bool:
        """At the connection limit: the connection idle the longest (the earliest keep-alive
        deadline) is closed as if its time had run out. False when none is idle."""
        oldest: Connection | None = None
        for conn in self.connections:
            if conn.idle and (oldest is None or conn.deadline < oldest.deadline):
                oldest = conn
        if oldest is None:
            return False
        oldest.deadline_expired()
        return True

    # ---- deadlines --------------------------------------------------------------------------

    def start_sweeper(self) -> None:
        self._sweeper = self.loop.call_later(self.sweep_interval, self._sweep)

    def stop_sweeper(self) -> None:
        if self._sweeper is not None:
            self._sweeper.cancel()
            self._sweeper = None

    def _sweep(self) -> None:
        self.now = now = self.loop.time()
        expired = [c for c in self.connections if 0 < c.deadline <= now]
        for conn in expired:
            conn.deadline_expired()
        self._sweeper = self.loop.call_later(self.sweep_interval, self._sweep)
