"""``velmora ws URL``: a WebSocket session on the terminal.

Each line read from stdin is sent as a text message; each message received is printed on its
own line (binary ones as ``<N bytes: hex…>``). End of input closes the session (1000); the exit
status is 0 for a normal close, 1 when the connection failed or closed abnormally.
"""

from __future__ import annotations

import argparse
import asyncio
import sys
from typing import Sequence

from .errors import TransportError
from .websocket import WebSocketClosed

__all__ = ["main"]


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="velmora ws",
                                description="Send stdin lines over a WebSocket, print messages.")
    p.add_argument("url", help="ws:// or wss:// URL")
    p.add_argument("-H", "--header", action="append", default=[], metavar="'Name: value'",
                   help="add a handshake header field (repeatable)")
    p.add_argument("-p", "--subprotocol", action="append", default=[],
                   help="offer a subprotocol (repeatable)")
    p.add_argument("--no-compression", action="store_true",
                   help="do not offer permessage-deflate")
    p.add_argument("-k", "--insecure", action="store_true", help="do not verify TLS")
    return p


def _show(message: str | bytes) -> str:
    if isinstance(message, str):
        return message
    shown = message[:32].hex()
    return f"<{len(message)} bytes: {shown}{'…' if len(message) > 32 else ''}>"


async def _session(args: argparse.Namespace) -> int:
    from ._client import AsyncClient

    headers = []
    for line in args.header:
        name, _, value = line.partition(":")
        headers.append((name.strip(), value.strip()))
    loop = asyncio.get_running_loop()
    async with AsyncClient(verify=not args.insecure) as client:
        async with client.websocket(args.url, subprotocols=args.subprotocol or None,
                                    headers=headers or None,
                                    compression=None if args.no_compression else "deflate"
                                    ) as ws:

            async def printer() -> int:
                try:
                    async for message in ws:
                        print(_show(message), flush=True)
                except WebSocketClosed as exc:
                    print(f"closed: {exc.code} {exc.reason}".rstrip(), file=sys.stderr)
                    return 1
                return 0

            reader = asyncio.ensure_future(printer())
            while not reader.done():
                line = await loop.run_in_executor(None, sys.stdin.readline)
                if not line:
                    break
                try:
                    await ws.send(line.rstrip("\n"))
                except WebSocketClosed:
                    break
            await ws.close()
            return await reader


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        return asyncio.run(_session(args))
    except (TransportError, OSError, ValueError) as exc:
        print(f"velmora ws: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
