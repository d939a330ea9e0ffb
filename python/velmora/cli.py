"""The ``velmora`` command: ``velmora serve APP``, ``velmora get URL`` and ``velmora ws URL``."""

from __future__ import annotations

import sys
from typing import Sequence

USAGE = """usage: velmora <command> [options]

commands:
  serve APP   serve an ASGI application ("module:attribute") over HTTP/1.1 and HTTP/2
  get URL     fetch a URL and print the response
  ws URL      send lines from stdin over a WebSocket, print the messages received

Run "velmora <command> --help" for the options of a command."""


def main(argv: Sequence[str] | None = None) -> int:
    args = list(sys.argv[1:] if argv is None else argv)
    if not args or args[0] in ("-h", "--help"):
        print(USAGE)
        return 0 if args else 2
    command, rest = args[0], args[1:]
    if command == "serve":
        from velmora.server.cli import main as serve_main

        return serve_main(rest)
    if command == "get":
        from velmora.client.cli import main as get_main

        return int(get_main(rest) or 0)
    if command == "ws":
        from velmora.client.ws_cli import main as ws_main

        return ws_main(rest)
    if command in ("-V", "--version"):
        from velmora import __version__

        print(f"velmora {__version__}")
        return 0
    print(f"velmora: unknown command {command!r}\n\n{USAGE}", file=sys.stderr)
    return 2


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
