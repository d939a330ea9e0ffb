"""``velmora get URL``: fetch a URL and print the body.

    velmora get [-i] [-H 'Name: value']... [-o FILE] [--timeout S] [-k] [--proxy URL]
                [--http2 | --http2-prior-knowledge] URL

``-i`` prints the status line and the header fields first; ``-o FILE`` writes the body to FILE
(with a progress bar on stderr when stderr is a terminal). Exit status: 0 on success (whatever
the HTTP status), 1 when the request failed, 2 for bad usage.
"""

from __future__ import annotations

import argparse
import asyncio
import os
import sys
import time
from typing import IO, Any

from . import errors
from ._client import AsyncClient
from .timeouts import Timeout

__all__ = ["main"]

#: Downloads smaller than this get no progress bar.
PROGRESS_MIN = 1 << 20


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="velmora get", description="Fetch a URL over HTTP.")
    p.add_argument("url")
    p.add_argument("-i", "--include", action="store_true",
                   help="print the status line and header fields before the body")
    p.add_argument("-H", "--header", action="append", default=[], metavar="'Name: value'",
                   help="add a request header field (repeatable)")
    p.add_argument("-o", "--output", metavar="FILE", help="write the body to FILE")
    p.add_argument("--timeout", type=float, default=30.0, metavar="SECONDS",
                   help="connect and read timeout (default 30)")
    p.add_argument("-k", "--insecure", action="store_true",
                   help="do not verify the server's TLS certificate")
    p.add_argument("--proxy", metavar="URL", help="use this HTTP proxy (else the environment's)")
    p.add_argument("--http2", action="store_true", help="use HTTP/2 when the server offers it")
    p.add_argument("--http2-prior-knowledge", action="store_true",
                   help="speak HTTP/2 from the start")
    return p


class _Progress:
    def __init__(self, stream: IO[str], total: int | None) -> None:
        self.stream = stream
        self.total = total
        self.start = self.last = time.monotonic()
        self.done = 0

    def update(self, n: int) -> None:
        self.done += n
        now = time.monotonic()
        if now - self.last >= 0.1:
            self.last = now
            self.draw(now)

    def draw(self, now: float) -> None:
        rate = self.done / max(now - self.start, 1e-6)
        if self.total:
            frac = min(self.done / self.total, 1.0)
            bar = ("=" * int(frac * 30)).ljust(30)
            text = (f"\r[{bar}] {frac * 100:5.1f}%  {_size(self.done)} / {_size(self.total)}"
                    f"  {_size(rate)}/s ")
        else:
            text = f"\r{_size(self.done)}  {_size(rate)}/s "
        self.stream.write(text)
        self.stream.flush()

    def finish(self) -> None:
        self.draw(time.monotonic())
        self.stream.write("\n")
        self.stream.flush()


def _size(n: float) -> str:
    for unit in ("B", "KiB", "MiB", "GiB"):
        if n < 1024 or unit == "GiB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024
    return f"{n:.1f} GiB"  # pragma: no cover


async def _fetch(args: argparse.Namespace, out: IO[bytes], err: IO[str]) -> int:
    headers = []
    for h in args.header:
        name, sep, value = h.partition(":")
        if not sep or not name.strip():
            err.write(f"velmora get: error: bad header {h!r} (want 'Name: value')\n")
            return 2
        headers.append((name.strip(), value.strip()))
    async with AsyncClient(timeout=Timeout(args.timeout, pool=None),
                           verify=not args.insecure, proxy=args.proxy,
                           http2=args.http2,
                           http2_prior_knowledge=args.http2_prior_knowledge) as client:
        async with client.stream("GET", args.url, headers=headers) as r:
            if args.include:
                out.write(f"{r.http_version} {r.status} {r.reason_phrase}\r\n".encode())
                for name, value in r.headers.multi_items():
                    out.write(name.encode() + b": " + value.encode("latin-1") + b"\r\n")
                out.write(b"\r\n")
            if args.output:
                length = r.headers.get("content-length")
                total = int(length) if length and length.isdigit() else None
                progress = None
                if err.isatty() and (total is None or total >= PROGRESS_MIN):
                    progress = _Progress(err, total)
                with open(args.output, "wb") as f:
                    async for chunk in r.aiter_bytes():
                        f.write(chunk)
                        if progress is not None:
                            progress.update(len(chunk))
                if progress is not None:
                    progress.finish()
            else:
                async for chunk in r.aiter_bytes():
                    out.write(chunk)
            out.flush()
    return 0


def main(argv: list[str] | None = None) -> int:
    """Run ``velmora get``; ``argv`` are the arguments after ``get`` (default ``sys.argv``)."""
    if argv is None:
        argv = sys.argv[1:]
    argv = list(argv)
    if argv and argv[0] == "get":
        argv = argv[1:]
    try:
        args = _parser().parse_args(argv)
    except SystemExit as exc:
        return int(exc.code or 0)
    err = sys.stderr
    out: Any = sys.stdout.buffer if hasattr(sys.stdout, "buffer") else sys.stdout
    runner = asyncio.run
    try:
        import uvloop  # type: ignore[import-not-found]

        if os.environ.get("VELMORA_NO_UVLOOP") is None:
            runner = uvloop.run
    except ImportError:
        pass
    try:
        return runner(_fetch(args, out, err))
    except errors.HTTPError as exc:
        err.write(f"velmora get: error: {exc}\n")
        return 1
    except (OSError, ValueError) as exc:
        err.write(f"velmora get: error: {exc}\n")
        return 1
    except KeyboardInterrupt:
        return 130
