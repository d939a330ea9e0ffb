"""Server configuration: one object holding every setting, with sound defaults for every limit."""

from __future__ import annotations

import importlib
import logging
import os
import ssl
import sys
from dataclasses import dataclass, field
from typing import Any

from velmora._velmora import TrustedPeers

LOG_LEVELS = {
    "critical": logging.CRITICAL,
    "error": logging.ERROR,
    "warning": logging.WARNING,
    "info": logging.INFO,
    "debug": logging.DEBUG,
    "trace": 5,
}


INTERFACES = ("auto", "asgi3", "asgi2", "wsgi")
DEFAULT_FORWARDED_ALLOW_IPS = "127.0.0.1,unix:"
WS_CHOICES = ("auto", "none", "websockets", "websockets-sansio", "wsproto", "velmora")


class AppLoadError(Exception):
    """The application named by an import string could not be loaded."""


class TLSConfigError(ValueError):
    """The TLS certificate, key or CA file could not be used."""


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
    # Deployment: proxies, sockets, TLS, logging, interface, workers.
    proxy_headers: bool = True  # believe the proxy fields of trusted peers
    forwarded_allow_ips: str | None = None  # None: $FORWARDED_ALLOW_IPS or "127.0.0.1,unix:"
    uds: str | None = None  # listen on this unix socket instead of host:port
    fd: int | None = None  # listen on this inherited socket
    ssl_cert_reqs: int = ssl.CERT_NONE  # client certificates: CERT_NONE/OPTIONAL/REQUIRED
    ssl_ciphers: str | None = None  # OpenSSL cipher list (None: the ssl module's default)
    headers: list[tuple[str, str]] = field(default_factory=list)  # default response fields
    log_config: str | dict[str, Any] | None = None
    access_log_format: str | None = None
    interface: str = "auto"  # "auto", "asgi3", "asgi2" or "wsgi"
    wsgi_threads: int = 10  # worker threads of a WSGI application
    limit_max_requests: int | None = None  # restart a worker after about this many requests
    limit_max_requests_jitter: int | None = None  # random extra requests (None: a tenth)
    timeout_worker_healthcheck: float = 5.0
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
        if self.interface not in INTERFACES:
            raise ValueError(f"interface must be one of {', '.join(INTERFACES)}")
        if self.uds is not None and self.fd is not None:
            raise ValueError("uds and fd are exclusive")
        if self.limit_max_requests is not None and self.limit_max_requests < 1:
            raise ValueError("limit_max_requests must be at least 1")
        if self.wsgi_threads < 1:
            raise ValueError("wsgi_threads must be at least 1")
        self.trusted_peers()  # (an entry that is not an address is refused here)
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

    def trusted_peers(self) -> TrustedPeers | None:
        """The peers whose proxy fields are believed (``None``: proxy headers are off)."""
        if not self.proxy_headers:
            return None
        allow = self.forwarded_allow_ips
        if allow is None:
            allow = os.environ.get("FORWARDED_ALLOW_IPS", DEFAULT_FORWARDED_ALLOW_IPS)
        try:
            return TrustedPeers(allow)
        except ValueError as exc:
            raise ValueError(f"forwarded_allow_ips: {exc}") from None

    def ssl_context(self, alpn: list[str]) -> ssl.SSLContext | None:
        """The server's TLS context; ``TLSConfigError`` names the file that failed and says
        what it was."""
        if self.ssl_certfile is None:
            return None
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.minimum_version = ssl.TLSVersion.TLSv1_2
        for path, what in ((self.ssl_certfile, "certificate"), (self.ssl_keyfile, "key"),
                           (self.ssl_ca_certs, "CA certificates")):
            if path is not None and not os.path.isfile(path):
                raise TLSConfigError(f"TLS {what} file {path!r} not found")
        try:
            ctx.load_cert_chain(self.ssl_certfile, self.ssl_keyfile, self.ssl_keyfile_password)
        except (ssl.SSLError, ValueError, OSError) as exc:
            files = repr(self.ssl_certfile) + (f" and key {self.ssl_keyfile!r}"
                                               if self.ssl_keyfile else "")
            raise TLSConfigError(f"cannot load the TLS certificate {files}: the certificate "
                                 f"or its private key is invalid, they do not match, or the "
                                 f"key's password is wrong ({exc})") from None
        if self.ssl_ca_certs:
            try:
                ctx.load_verify_locations(self.ssl_ca_certs)
            except (ssl.SSLError, OSError) as exc:
                raise TLSConfigError(f"cannot load the TLS CA certificates "
                                     f"{self.ssl_ca_certs!r} ({exc})") from None
        ctx.verify_mode = ssl.VerifyMode(self.ssl_cert_reqs)
        if self.ssl_ciphers:
            try:
                ctx.set_ciphers(self.ssl_ciphers)
            except ssl.SSLError:
                raise TLSConfigError(f"no TLS cipher matches {self.ssl_ciphers!r}") from None
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

