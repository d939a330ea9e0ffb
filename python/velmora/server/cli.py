"""``velmora serve APP``: the command line of the ASGI server."""

from __future__ import annotations

import argparse
import sys
from typing import Sequence

from velmora.server.config import LOG_LEVELS, WS_CHOICES, AppLoadError, Config


def build_parser(prog: str = "velmora serve") -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog=prog,
                                description="Serve an ASGI application over HTTP/1.1 and HTTP/2.")
    p.add_argument("app", metavar="APP", help='the application, as "module:attribute"')
    p.add_argument("--host", default="127.0.0.1", help="bind to this address (default 127.0.0.1)")
    p.add_argument("--port", type=int, default=8000, help="bind to this port (default 8000)")
    p.add_argument("--app-dir", default=".",
                   help='look for APP in this directory, added to sys.path (default ".")')
    p.add_argument("--factory", action="store_true",
                   help="APP is a factory: call it without arguments to get the application")
    p.add_argument("--workers", type=int, default=1,
                   help="number of worker processes sharing the port (default 1)")
    p.add_argument("--ssl-certfile", help="TLS certificate file (PEM)")
    p.add_argument("--ssl-keyfile", help="TLS private key file (PEM)")
    p.add_argument("--ssl-keyfile-password", help="password of the private key")
    p.add_argument("--ssl-ca-certs", help="CA certificates file")
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
    return p


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
        factory=args.factory, workers=args.workers, ssl_certfile=args.ssl_certfile,
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
        ws=args.ws, ws_max_size=args.ws_max_size, ws_max_queue=args.ws_max_queue,
        ws_ping_interval=args.ws_ping_interval, ws_ping_timeout=args.ws_ping_timeout,
        ws_per_message_deflate=args.ws_per_message_deflate,
    )


def main(argv: Sequence[str] | None = None, prog: str = "velmora serve") -> int:
    parser = build_parser(prog)
    args = parser.parse_args(argv)
    try:
        config = config_from_args(args)
    except ValueError as exc:
        parser.error(str(exc))
    from velmora.server.logs import configure_logging

    configure_logging(config.log_level_number(), access_log=config.access_log)
    if config.workers > 1:
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


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
