"""``velmora get URL``: fetch a URL and print the body, with curl's habits.

    velmora get [-i | -I] [-v] [-L] [-X METHOD] [-d DATA | --json DATA] [-H 'Name: value']...
                [-o FILE] [--fail] [--timeout S] [-k] [--proxy URL] [--no-compressed]
                [--http2 | --http2-prior-knowledge] URL

``-i`` prints the status line and the header fields first, ``-I`` sends HEAD and prints only
them; ``-v`` prints each request head (``>``) and response head (``<``) on stderr; ``-L``
follows redirects; ``-X`` sets the method, ``-d`` sends form data (``@FILE`` reads it from a
file) and ``--json`` a JSON document, both as POST unless ``-X`` says otherwise; bodies are
decoded (gzip, deflate, br, zstd) unless ``--no-compressed``. ``-o FILE`` writes the body to FILE
(with a progress bar on stderr when stderr is a terminal). Exit status: 0 on success, 22 with
``--fail`` when the HTTP status is 400 or above (as curl), 1 when the request failed, 2 for bad
usage.
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
    p.add_argument("-I", "--head", action="store_true",
                   help="send HEAD and print the status line and header fields")
    p.add_argument("-v", "--verbose", action="store_true",
                   help="print the request and response heads on stderr")
    p.add_argument("-L", "--location", action="store_true", help="follow redirects")
    p.add_argument("-X", "--request", metavar="METHOD", help="the request method")
    body = p.add_mutually_exclusive_group()
    body.add_argument("-d", "--data", metavar="DATA",
                      help="send DATA as a form body (@FILE reads it from FILE)")
    body.add_argument("--json", metavar="DATA", help="send DATA as a JSON body")
    p.add_argument("--fail", action="store_true",
                   help="exit with status 22 when the HTTP status is 400 or above")
    p.add_argument("--compressed", action="store_true", default=True,
                   help="ask for a compressed body and decode it (the default)")
    p.add_argument("--no-compressed", dest="compressed", action="store_false",
                   help="ask for the body as it is (accept-encoding: identity)")
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


def _head_lines(prefix: str, first: str, headers: Any) -> bytes:
    lines = [first] + [f"{n}: {v.decode('latin-1')}" for n, v in headers.items()]
    return "".join(f"{prefix}{line}\r\n" for line in lines).encode() + prefix.rstrip().encode() \
        + b"\r\n"


def _show_exchange(r: Any, err: IO[str]) -> None:
    req = r.request
    if req is not None:
        err.write(_head_lines("> ", f"{req.method} {req.u.target} {r.http_version}",
                              req.header_map).decode("latin-1"))
    err.write(_head_lines("< ", f"{r.http_version} {r.status} {r.reason_phrase}",
                          r.header_map).decode("latin-1"))


def _body_args(args: argparse.Namespace, headers: list[tuple[str, str]]) -> tuple[str, Any]:
    method = "HEAD" if args.head else "GET"
    content = None
    if args.data is not None:
        data = args.data
        if data.startswith("@"):
            with open(data[1:], "rb") as f:
                content = f.read().replace(b"\r", b"").replace(b"\n", b"")  # as curl -d @file
        else:
            content = data.encode()
        method = "POST"
        if not any(n.lower() == "content-type" for n, _ in headers):
            headers.append(("content-type", "application/x-www-form-urlencoded"))
    elif args.json is not None:
        content = args.json.encode()
        method = "POST"
        for name, value in (("content-type", "application/json"),
                            ("accept", "application/json")):
            if not any(n.lower() == name for n, _ in headers):
                headers.append((name, value))
    if not args.compressed and not any(n.lower() == "accept-encoding" for n, _ in headers):
        headers.append(("accept-encoding", "identity"))
    return (args.request.upper() if args.request else method), content


async def _fetch(args: argparse.Namespace, out: IO[bytes], err: IO[str]) -> int:
    headers = []
    for h in args.header:
        name, sep, value = h.partition(":")
        if not sep or not name.strip():
            err.write(f"velmora get: error: bad header {h!r} (want 'Name: value')\n")
            return 2
        headers.append((name.strip(), value.strip()))
    method, content = _body_args(args, headers)
    async with AsyncClient(timeout=Timeout(args.timeout, pool=None),
                           verify=not args.insecure, proxy=args.proxy,
                           http2=args.http2, follow_redirects=args.location,
                           http2_prior_knowledge=args.http2_prior_knowledge) as client:
        async with client.stream(method, args.url, headers=headers, content=content) as r:
            if args.verbose:
                for hop in r.history + [r]:
                    _show_exchange(hop, err)
            if args.include or args.head:
                out.write(f"{r.http_version} {r.status} {r.reason_phrase}\r\n".encode())
                for name, value in r.header_map.items():
                    out.write(name.encode() + b": " + value + b"\r\n")
                out.write(b"\r\n")
            if r.is_redirect and not args.location:
                err.write(f"velmora get: {r.status} redirect to {r.headers['location']} "
                          "(-L follows it)\n")
            if args.head:
                pass
            elif args.output:
                length = r.headers.get("content-length")
                total = int(length) if length and length.isdigit() and \
                    "content-encoding" not in r.header_map else None
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
            if args.fail and r.status >= 400:
                err.write(f"velmora get: the server answered {r.status} {r.reason_phrase}\n")
                return 22
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
