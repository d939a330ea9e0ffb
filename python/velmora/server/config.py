"""Server configuration: one object holding every setting, with sound defaults for every limit."""

from __future__ import annotations

import importlib
import logging
import os
import ssl
import sys
from dataclasses import dataclass, field
from typing import Any

LOG_LEVELS = {
    "critical": logging.CRITICAL,
    "error": logging.ERROR,
    "warning": logging.WARNING,
    "info": logging.INFO,
    "debug": logging.DEBUG,
    "trace": 5,
}


WS_CHOICES = ("auto", "none", "websockets", "websockets-sansio", "wsproto", "velmora")


class AppLoadError(Exception):
    """The application named by an import string could not be loaded."""


@dataclass
class Config:
    """Settings of one server. ``app`` is an ASGI application or a ``"module:attribute"`` string."""

    app: Any
    host: str = "127.0.0.1"
    port: int = 8000
    app_dir: str | None = "."
    factory: bool = False
    workers: int = 1
    lifespan: str = "auto"  # "auto", "on" or "off"
    root_path: str = ""
    log_level: str | int | None = None
    access_log: bool = True
    server_header: bool = True
    date_header: bool = True
    ssl_certfile: str | None = None
    ssl_keyfile: str | None = None
    ssl_keyfile_password: str | None = None
    ssl_ca_certs: str | None = None
    backlog: int = 2048
    reuse_port: bool = False
    loop: str = "auto"  # "auto", "asyncio" or "uvloop"
    # Limits against abuse.
    timeout_keep_alive: float = 5.0  # idle time allowed between requests
    timeout_request_head: float = 10.0  # time allowed to send a complete request head
    timeout_graceful_shutdown: float | None = 30.0  # grace period for in-flight requests
    limit_concurrency: int | None = None  # concurrent connections+requests before 503s
    limit_max_connections: int = 4096  # connections accepted at once; more are refused
    limit_request_head_size: int = 65536  # bytes of a request head (431 beyond)
    limit_request_headers: int = 100  # header lines of one request head (431 beyond)
    limit_request_body_buffer: int = 65536  # request-body bytes buffered before reading pauses
    write_buffer_high: int = 65536  # transport write buffer before the app's send waits
    h2_max_concurrent_streams: int = 100  # HTTP/2 streams one client may have open at once
    # WebSockets: "none" serves an upgrade request as plain HTTP; every other choice ("auto",
    # "velmora", and the names other servers give their implementations) uses the core's.
    ws: str = "auto"
    ws_max_size: int = 16 * 1024 * 1024  # bytes of one received message (1009 beyond)
    ws_max_queue: int = 32  # received messages held for the application before reading pauses
    ws_ping_interval: float | None = 20.0  # seconds between keep-alive pings (None: no pings)
    ws_ping_timeout: float | None = 20.0  # seconds to wait for a pong (None: forever)
    ws_per_message_deflate: bool = True  # accept a client's permessage-deflate offer
    # Filled by load().
    loaded_app: Any = field(default=None, init=False, repr=False)

    def __post_init__(self) -> None:
        for name in ("timeout_keep_alive", "timeout_request_head"):
            if getattr(self, name) < 0:
                raise ValueError(f"{name} must not be negative")
        if self.limit_request_head_size < 8192:
            raise ValueError("limit_request_head_size must be at least 8192")
        if self.limit_request_headers < 1:
            raise ValueError("limit_request_headers must be at least 1")
        if self.limit_request_body_buffer < 1024:
            raise ValueError("limit_request_body_buffer must be at least 1024")
        if self.limit_max_connections < 1:
            raise ValueError("limit_max_connections must be at least 1")
        if self.limit_concurrency is not None and self.limit_concurrency < 1:
            raise ValueError("limit_concurrency must be at least 1")
        if not 1 <= self.h2_max_concurrent_streams <= 0x7FFFFFFF:
            raise ValueError("h2_max_concurrent_streams must be at least 1")
        if self.ws not in WS_CHOICES:
            raise ValueError(f"ws must be one of {', '.join(WS_CHOICES)}")
        if self.ws_max_size < 1:
            raise ValueError("ws_max_size must be at least 1")
        if self.ws_max_queue < 1:
            raise ValueError("ws_max_queue must be at least 1")
        if self.workers < 1:
            raise ValueError("workers must be at least 1")
        if self.lifespan not in ("auto", "on", "off"):
            raise ValueError("lifespan must be 'auto', 'on' or 'off'")
        if (self.ssl_certfile is None) != (self.ssl_keyfile is None) and self.ssl_keyfile:
            raise ValueError("ssl_keyfile needs ssl_certfile")
        if self.root_path.endswith("/"):
            self.root_path = self.root_path.rstrip("/")

    @property
    def is_ssl(self) -> bool:
        return self.ssl_certfile is not None

    @property
    def keep_alive(self) -> bool:
        return self.timeout_keep_alive > 0

    def load(self) -> Any:
        """Import the application (when given as a string) and return it."""
        if self.loaded_app is None:
            self.loaded_app = load_app(self.app, app_dir=self.app_dir, factory=self.factory)
        return self.loaded_app

    def ssl_context(self, alpn: list[str]) -> ssl.SSLContext | None:
        if self.ssl_certfile is None:
            return None
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.minimum_version = ssl.TLSVersion.TLSv1_2
        ctx.load_cert_chain(self.ssl_certfile, self.ssl_keyfile, self.ssl_keyfile_password)
        if self.ssl_ca_certs:
            ctx.load_verify_locations(self.ssl_ca_certs)
        ctx.set_alpn_protocols(alpn)
        return ctx

    def log_level_number(self) -> int | None:
        if self.log_level is None:
            return None
        if isinstance(self.log_level, int):
            return self.log_level
        try:
            return LOG_LEVELS[self.log_level.lower()]
        except KeyError:
            raise ValueError(f"unknown log level {self.log_level!r}") from None


def load_app(app: Any, *, app_dir: str | None = ".", factory: bool = False) -> Any:
    """Resolve ``"module:attribute"`` (attribute may be dotted), call it with ``factory``."""
    if isinstance(app, str):
        if app_dir is not None:
            path = os.path.abspath(app_dir)
            if path not in sys.path:
                sys.path.insert(0, path)
        module_name, sep, attr = app.partition(":")
        if not sep or not module_name or not attr:
            raise AppLoadError(f'import string "{app}" must be in the format "module:attribute"')
        try:
            module = importlib.import_module(module_name)
        except ModuleNotFoundError as exc:
            if exc.name != module_name and not module_name.startswith(f"{exc.name}."):
                raise
            raise AppLoadError(f'could not import module "{module_name}"') from None
        obj: Any = module
        try:
            for part in attr.split("."):
                obj = getattr(obj, part)
        except AttributeError:
            raise AppLoadError(f'attribute "{attr}" not found in module "{module_name}"') from None
        app = obj
    if factory:
        if not callable(app):
            raise AppLoadError("the application factory is not callable")
        app = app()
    if not callable(app):
        raise AppLoadError("the application is not callable")
    return app

