"""ASGI applications the server tests run; the path selects the behaviour."""

from __future__ import annotations

import asyncio
import json
from typing import Any


class Recorder:
    """An ASGI app that records what it saw (scopes, receive results) for the test."""

    def __init__(self) -> None:
        self.scopes: list[dict[str, Any]] = []
        self.events: list[Any] = []
        self.disconnected: asyncio.Event | None = None
        self.send_errors: list[BaseException] = []

    async def __call__(self, scope: dict, receive: Any, send: Any) -> None:
        if scope["type"] != "http":
            return
        self.scopes.append(scope)
        path = scope["path"]
        handler = getattr(self, "h_" + path.strip("/").split("/")[0].replace("-", "_"), None)
        if handler is None:
            handler = self.h_hello
        await handler(scope, receive, send)

    async def h_hello(self, scope, receive, send):
        await send({"type": "http.response.start", "status": 200,
                    "headers": [(b"content-type", b"text/plain")]})
        await send({"type": "http.response.body", "body": b"Hello, world!"})

    async def h_echo(self, scope, receive, send):
        body = bytearray()
        pieces = 0
        while True:
            msg = await receive()
            self.events.append(msg["type"])
            if msg["type"] == "http.disconnect":
                return
            body += msg["body"]
            pieces += 1
            if not msg.get("more_body"):
                break
        await send({"type": "http.response.start", "status": 200,
                    "headers": [(b"x-pieces", str(pieces).encode())]})
        await send({"type": "http.response.body", "body": bytes(body)})

    async def h_scope(self, scope, receive, send):
        out = {k: v for k, v in scope.items() if k not in ("headers", "state", "extensions")}
        out["headers"] = [[k.decode(), v.decode()] for k, v in scope["headers"]]
        for key in ("raw_path", "query_string"):
            out[key] = out[key].decode("latin-1")
        out["extensions"] = sorted(scope.get("extensions", {}))
        body = json.dumps(out).encode()
        await send({"type": "http.response.start", "status": 200,
                    "headers": [(b"content-type", b"application/json")]})
        await send({"type": "http.response.body", "body": body})

    async def h_stream(self, scope, receive, send):
        n = int(scope["query_string"] or b"3")
        await send({"type": "http.response.start", "status": 200, "headers": []})
        for i in range(n):
            await send({"type": "http.response.body", "body": b"part%d;" % i, "more_body": True})
        await send({"type": "http.response.body", "body": b""})

    async def h_big(self, scope, receive, send):
        """Streams N MiB as fast as send() allows."""
        n = int(scope["query_string"] or b"8")
        chunk = b"x" * 65536
        await send({"type": "http.response.start", "status": 200, "headers": []})
        try:
            for _ in range(n * 16):
                await send({"type": "http.response.body", "body": chunk, "more_body": True})
            await send({"type": "http.response.body", "body": b""})
        except OSError as exc:
            self.send_errors.append(exc)

    async def h_trailers(self, scope, receive, send):
        await send({"type": "http.response.start", "status": 200, "trailers": True,
                    "headers": [(b"trailer", b"x-checksum")]})
        await send({"type": "http.response.body", "body": b"abc", "more_body": True})
        await send({"type": "http.response.body", "body": b"def"})
        await send({"type": "http.response.trailers", "headers": [(b"x-checksum", b"42")]})

    async def h_length(self, scope, receive, send):
        """Declares a length the body does not meet."""
        await send({"type": "http.response.start", "status": 200,
                    "headers": [(b"content-length", b"10")]})
        await send({"type": "http.response.body", "body": b"short", "more_body": True})
        await send({"type": "http.response.body", "body": b""})

    async def h_overlong(self, scope, receive, send):
        """Sends more than the length it declares (?stream: in two messages)."""
        await send({"type": "http.response.start", "status": 200,
                    "headers": [(b"content-length", b"5")]})
        try:
            if scope["query_string"] == b"stream":
                await send({"type": "http.response.body", "body": b"abc", "more_body": True})
                await send({"type": "http.response.body", "body": b"defgh"})
            else:
                await send({"type": "http.response.body", "body": b"abcdefgh"})
        except Exception as exc:
            self.send_errors.append(exc)

    async def h_fail_before(self, scope, receive, send):
        raise RuntimeError("boom before the response")

    async def h_fail_after(self, scope, receive, send):
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b"partial", "more_body": True})
        raise RuntimeError("boom after the response started")

    async def h_nothing(self, scope, receive, send):
        return None

    async def h_hang(self, scope, receive, send):
        """Never responds; records the client's disconnect."""
        while True:
            msg = await receive()
            self.events.append(msg["type"])
            if msg["type"] == "http.disconnect":
                return

    async def h_sleep(self, scope, receive, send):
        await asyncio.sleep(float(scope["query_string"] or b"1"))
        await self.h_hello(scope, receive, send)

    async def h_status(self, scope, receive, send):
        status = int(scope["query_string"])
        await send({"type": "http.response.start", "status": status, "headers": []})
        await send({"type": "http.response.body", "body": b""})
