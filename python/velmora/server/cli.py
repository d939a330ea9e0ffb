"""``velmora serve APP``: the command line of the ASGI server."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Sequence

from velmora.server.config import INTERFACES, LOG_LEVELS, WS_CHOICES, AppLoadError, Config


def build_parser(prog: str = "velmora serve") -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog=prog,
                                description="Serve an ASGI (or WSGI) application over HTTP/1.1 and HTTP/2.")
    p.add_argument("app", metavar="APP", help='the application, as "module:attribute"')
    p.add_argument("--host", default="127.0.0.1", help="bind to this address (default 127.0.0.1)")
    p.add_argument("--port", type=int, default=8000, help="bind to this port (default 8000)")
    p.add_argument("--app-dir", default=".",
                   help='look for APP in this directory, added to sys.path (default ".")')
    p.add_argument("--factory", action="store_true",
                   help="APP is a factory: call it without arguments to get the application")
    p.add_argument("--workers", type=int, default=None,
                   help="number of worker processes sharing the listening socket (default: "
                        "$WEB_CONCURRENCY or 1)")
    p.add_argument("--ssl-certfile", help="TLS certificate file (PEM)")
    p.add_argument("--ssl-keyfile", help="TLS private key file (PEM)")
    p.add_argument("--ssl-keyfile-password", help="password of the private key")
    p.add_argument("--ssl-ca-certs", help="CA certificates file (to verify client certificates)")
    p.add_argument("--log-level", choices=list(LOG_LEVELS), default=None,
                   help="log level (default info)")
    p.add_argument("--access-log", dest="access_log", action="store_true", default=True,
                   help="log one line per request (default)")
    p.add_argument("--no-access-log", dest="access_log", action="store_false",
                   help="do not log requests")
    p.add_argument("--no-server-header", dest="server_header", action="store_false",
                   default=True, help='do not add "server: velmora" to responses')
    p.add_argument("--no-date-header", dest="date_header", action="store_false", default=True,
                   help="do not add a Date field to responses")
    p.add_argument("--root-path", default="", help="the ASGI root_path (mount point)")
    p.add_argument("--lifespan", choices=["auto", "on", "off"], default="auto",
                   help="run the ASGI lifespan protocol (default auto)")
    p.add_argument("--loop", choices=["auto", "asyncio", "uvloop"], default="auto",
                   help="event loop (default: uvloop when installed)")
    p.add_argument("--backlog", type=int, default=2048, help="listen backlog (default 2048)")
    p.add_argument("--timeout-keep-alive", type=float, default=5.0,
                   help="close idle keep-alive connections after this many seconds (default 5;"
                        " 0 disables keep-alive)")
    p.add_argument("--timeout-request-head", type=float, default=10.0,
                   help="close connections that do not send a complete request head within "
                        "this many seconds (default 10)")
    p.add_argument("--timeout-graceful-shutdown", type=float, default=30.0,
                   help="on SIGINT/SIGTERM, wait this long for in-flight requests (default 30)")
    p.add_argument("--limit-concurrency", type=int, default=None,
                   help="answer 503 beyond this many concurrent connections or requests")
    p.add_argument("--limit-max-connections", type=int, default=4096,
                   help="refuse connections beyond this many open ones (default 4096)")
    p.add_argument("--limit-request-head-size", type=int, default=65536,
                   help="maximum size of a request head in bytes (default 65536)")
    p.add_argument("--limit-request-headers", type=int, default=100,
                   help="maximum number of request header lines (default 100)")
    p.add_argument("--limit-request-body-buffer", type=int, default=65536,
                   help="request-body bytes buffered before reading pauses (default 65536; "
                        "for HTTP/2 the receive window of each stream)")
    p.add_argument("--h2-max-concurrent-streams", type=int, default=100,
                   help="HTTP/2 streams one client may have open at once (default 100)")
    p.add_argument("--ws", choices=list(WS_CHOICES), default="auto",
                   help="WebSocket support: none serves upgrade requests as plain HTTP; any "
                        "other choice uses velmora's own (default auto)")
    p.add_argument("--ws-max-size", type=int, default=16 * 1024 * 1024,
                   help="largest WebSocket message accepted, in bytes (default 16777216)")
    p.add_argument("--ws-max-queue", type=int, default=32,
                   help="received WebSocket messages held for the application before reading "
                        "pauses (default 32)")
    p.add_argument("--ws-ping-interval", type=float, default=20.0,
                   help="seconds between WebSocket keep-alive pings (default 20; 0: none)")
    p.add_argument("--ws-ping-timeout", type=float, default=20.0,
                   help="close a WebSocket whose pong does not come within this many seconds "
                        "(default 20; 0: wait forever)")
    p.add_argument("--ws-per-message-deflate", type=_flag, default=True, metavar="BOOL",
                   help="accept permessage-deflate compression (default true)")
    add_deployment_options(p)
    return p


def add_deployment_options(p: argparse.ArgumentParser) -> None:
    """Sockets, proxies, TLS clients, logging, interfaces, workers and reload."""
    d = p.add_argument_group("deployment")
    d.add_argument("--uds", help="listen on this unix domain socket instead of host:port")
    d.add_argument("--fd", type=int, help="listen on this inherited file descriptor (a socket "
                                         "passed by systemd or another parent)")
    d.add_argument("--reuse-port", action="store_true",
                   help="set SO_REUSEPORT, so that other processes may bind the same port")
    d.add_argument("--proxy-headers", dest="proxy_headers", action="store_true", default=True,
                   help="take the client and scheme from X-Forwarded-For, X-Forwarded-Proto "
                        "and Forwarded sent by trusted peers (default)")
    d.add_argument("--no-proxy-headers", dest="proxy_headers", action="store_false",
                   help="ignore proxy headers")
    d.add_argument("--forwarded-allow-ips",
                   help='comma-separated peers whose proxy headers are trusted: IP addresses, '
                        'networks (10.0.0.0/8), "unix:" (unix socket peers) or "*" (default: '
                        '$FORWARDED_ALLOW_IPS or "127.0.0.1,unix:")')
    d.add_argument("--ssl-cert-reqs", type=int, default=0, choices=[0, 1, 2],
                   help="client certificates: 0 none, 1 optional, 2 required (default 0)")
    d.add_argument("--ssl-ciphers", help="OpenSSL cipher list (default: the ssl module's)")
    d.add_argument("--header", dest="headers", action="append", default=[],
                   metavar="NAME:VALUE", help="a default response header (repeatable)")
    d.add_argument("--env-file", help="load environment variables from this file "
                                      "(needs python-dotenv)")
    d.add_argument("--log-config", help="logging configuration: a .json or .yaml file for "
                                        "logging.config.dictConfig, else an .ini file")
    d.add_argument("--access-log-format",
                   help='access log line: "json" for JSON lines, or a format with {client} '
                        '{method} {path} {http_version} {status} {bytes} {duration_ms}')
    d.add_argument("--interface", choices=list(INTERFACES), default="auto",
                   help="application interface (default auto: detected)")
    d.add_argument("--wsgi-threads", type=int, default=10,
                   help="threads running a WSGI application (default 10)")
    d.add_argument("--limit-max-requests", type=int, default=None,
                   help="restart a worker gracefully after this many requests (plus jitter)")
    d.add_argument("--limit-max-requests-jitter", type=int, default=None,
                   help="up to this many more requests, at random (default a tenth)")
    d.add_argument("--timeout-worker-healthcheck", type=float, default=5.0,
                   help="restart a worker that does not answer the supervisor's health "
                        "check within this many seconds (default 5)")
    d.add_argument("--reload", action="store_true",
                   help="restart the server when a watched file changes (development)")
    d.add_argument("--reload-dir", dest="reload_dirs", action="append", default=[],
                   help="watch this directory (repeatable; default the current one)")
    d.add_argument("--reload-include", dest="reload_includes", action="append", default=[],
                   help='glob of files to watch (repeatable; default "*.py")')
    d.add_argument("--reload-exclude", dest="reload_excludes", action="append", default=[],
                   help="glob of files or directories not to watch (repeatable)")
    d.add_argument("--reload-delay", type=float, default=0.25,
                   help="seconds between checks for changes (default 0.25)")


def parse_header(text: str) -> tuple[str, str]:
    name, sep, value = text.partition(":")
    if not sep or not name.strip():
        raise ValueError(f"--header {text!r} is not NAME:VALUE")
    return name.strip(), value.strip()


def _flag(value: str) -> bool:
    low = value.lower()
    if low in ("1", "true", "yes", "on"):
        return True
    if low in ("0", "false", "no", "off"):
        return False
    raise argparse.ArgumentTypeError(f"not a boolean: {value!r}")


def config_from_args(args: argparse.Namespace) -> Config:
    return Config(
        app=args.app, host=args.host, port=args.port, app_dir=args.app_dir,
        factory=args.factory, workers=workers_default(args.workers), ssl_certfile=args.ssl_certfile,
        ssl_keyfile=args.ssl_keyfile, ssl_keyfile_password=args.ssl_keyfile_password,
        ssl_ca_certs=args.ssl_ca_certs, log_level=args.log_level, access_log=args.access_log,
        server_header=args.server_header, date_header=args.date_header,
        root_path=args.root_path, lifespan=args.lifespan, loop=args.loop, backlog=args.backlog,
        timeout_keep_alive=args.timeout_keep_alive,
        timeout_request_head=args.timeout_request_head,
        timeout_graceful_shutdown=args.timeout_graceful_shutdown,
        limit_concurrency=args.limit_concurrency,
        limit_max_connections=args.limit_max_connections,
        limit_request_head_size=args.limit_request_head_size,
        limit_request_headers=args.limit_request_headers,
        limit_request_body_buffer=args.limit_request_body_buffer,
        h2_max_concurrent_streams=args.h2_max_concurrent_streams,
        uds=args.uds, fd=args.fd, reuse_port=args.reuse_port, proxy_headers=args.proxy_headers,
        forwarded_allow_ips=args.forwarded_allow_ips, ssl_cert_reqs=args.ssl_cert_reqs,
        ssl_ciphers=args.ssl_ciphers, headers=[parse_header(h) for h in args.headers],
        log_config=args.log_config, access_log_format=args.access_log_format,
        interface=args.interface, wsgi_threads=args.wsgi_threads,
        limit_max_requests=args.limit_max_requests,
        limit_max_requests_jitter=args.limit_max_requests_jitter,
        timeout_worker_healthcheck=args.timeout_worker_healthcheck,
        ws=args.ws, ws_max_size=args.ws_max_size, ws_max_queue=args.ws_max_queue,
        ws_ping_interval=args.ws_ping_interval, ws_ping_timeout=args.ws_ping_timeout,
        ws_per_message_deflate=args.ws_per_message_deflate,
    )


def workers_default(workers: int | None) -> int:
    if workers is not None:
        return workers
    text = os.environ.get("WEB_CONCURRENCY", "1")
    try:
        return int(text)
    except ValueError:
        raise ValueError(f"WEB_CONCURRENCY={text!r} is not a number") from None


def load_env_file(path: str) -> None:
    try:
        from dotenv import load_dotenv
    except ImportError:
        raise ValueError("--env-file needs python-dotenv: pip install 'velmora[dotenv]'") \
            from None
    if not os.path.isfile(path):
        raise ValueError(f"--env-file {path!r} not found")
    load_dotenv(path, override=False)


def main(argv: Sequence[str] | None = None, prog: str = "velmora serve") -> int:
    parser = build_parser(prog)
    args = parser.parse_args(argv)
    try:
        if args.env_file:
            load_env_file(args.env_file)
        config = config_from_args(args)
    except ValueError as exc:
        parser.error(str(exc))
    from velmora.server.logs import configure_logging

    try:
        configure_logging(config.log_level_number(), access_log=config.access_log,
                          log_config=config.log_config, access_format=config.access_log_format)
    except (ValueError, OSError, ImportError) as exc:
        parser.error(f"--log-config: {exc}")
    if args.reload:
        from velmora.server.reload import Reloader

        return Reloader(reload_argv(sys.argv[1:] if argv is None else list(argv)),
                        dirs=args.reload_dirs or [os.getcwd()],
                        includes=args.reload_includes or ["*.py"],
                        excludes=args.reload_excludes, delay=args.reload_delay).run()
    if config.workers > 1 or (config.limit_max_requests is not None
                              and isinstance(config.app, str)):
        from velmora.server.supervisor import Supervisor

        try:
            return Supervisor(config).run()
        except ValueError as exc:
            parser.error(str(exc))
    from velmora.server.server import Server

    server = Server(config)
    try:
        server.run()
    except AppLoadError as exc:
        print(f"Error loading ASGI app: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:  # pragma: no cover - a signal before the handlers were set
        return 0
    return 3 if server.startup_failed else 0


def reload_argv(argv: list[str]) -> list[str]:
    """The command that the reloader runs: this one without its reload options."""
    out: list[str] = []
    skip = False
    for arg in argv:
        if skip:
            skip = False
            continue
        name = arg.split("=", 1)[0]
        if name == "--reload":
            continue
        if name in ("--reload-dir", "--reload-include", "--reload-exclude", "--reload-delay"):
            skip = "=" not in arg
            continue
        out.append(arg)
    return [sys.executable, "-m", "velmora", "serve", *out]


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
