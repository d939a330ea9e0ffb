"""A small ASGI app for the client tests (run under uvicorn by the tests).

- ``/echo``: answers the request body and what it saw (method, headers) in headers.
- ``/stream?n=N&size=S``: a chunked body of N pieces of S bytes.
- ``/cookie/set`` and ``/cookie/get``: sets a cookie / echoes the Cookie header.
- ``/redirect/N``: N redirects, then ``/echo``.
- ``/trailers``: a chunked body (no trailers over ASGI; kept for symmetry).
- ``/slow-body``: sends the head, then waits 5 s before the body.
- ``/echo-trailers``: like ``/echo``, with the body's length and SHA-256 in trailers (when the
  server supports the ASGI trailers extension, as hypercorn does over HTTP/2).
"""

import asyncio
import hashlib
from urllib.parse import parse_qs


async def app(scope, receive, send):
    if scope["type"] == "lifespan":
        while True:
            msg = await receive()
            if msg["type"] == "lifespan.startup":
                await send({"type": "lifespan.startup.complete"})
            elif msg["type"] == "lifespan.shutdown":
                await send({"type": "lifespan.shutdown.complete"})
                return
    path = scope["path"]
    query = parse_qs(scope["query_string"].decode())
    headers = dict(scope["headers"])
    if path == "/echo":
        body = bytearray()
        while True:
            msg = await receive()
            body += msg.get("body", b"")
            if not msg.get("more_body"):
                break
        out = [(b"content-type", b"application/octet-stream"),
               (b"x-method", scope["method"].encode()),
               (b"x-body-length", str(len(body)).encode()),
               (b"x-chunked", b"yes" if b"chunked" in headers.get(b"transfer-encoding", b"")
                else b"no"),
               (b"x-host", headers.get(b"host", b""))]
        await send({"type": "http.response.start", "status": 200, "headers": out})
        await send({"type": "http.response.body", "body": bytes(body)})
    elif path == "/echo-trailers":
        body = bytearray()
        while True:
            msg = await receive()
            body += msg.get("body", b"")
            if not msg.get("more_body"):
                break
        with_trailers = "http.response.trailers" in scope.get("extensions", {})
        await send({"type": "http.response.start", "status": 200, "trailers": with_trailers,
                    "headers": [(b"x-method", scope["method"].encode()),
                                (b"x-version", scope["http_version"].encode())]})
        await send({"type": "http.response.body", "body": bytes(body)})
        if with_trailers:
            await send({"type": "http.response.trailers", "more_trailers": False,
                        "headers": [(b"x-length", str(len(body)).encode()),
                                    (b"x-sha256", hashlib.sha256(body).hexdigest().encode())]})
    elif path == "/stream":
        n, size = int(query.get("n", ["4"])[0]), int(query.get("size", ["1000"])[0])
        await send({"type": "http.response.start", "status": 200, "headers": []})
        for i in range(n):
            await send({"type": "http.response.body", "body": bytes([65 + i % 26]) * size,
                        "more_body": True})
        await send({"type": "http.response.body", "body": b""})
    elif path == "/cookie/set":
        await send({"type": "http.response.start", "status": 200,
                    "headers": [(b"set-cookie", b"flavour=oatmeal; Path=/")]})
        await send({"type": "http.response.body", "body": b"set"})
    elif path == "/cookie/get":
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": headers.get(b"cookie", b"")})
    elif path.startswith("/redirect/"):
        n = int(path.rsplit("/", 1)[1])
        loc = f"/redirect/{n - 1}" if n > 1 else "/echo"
        await send({"type": "http.response.start", "status": 302,
                    "headers": [(b"location", loc.encode()), (b"content-length", b"0")]})
        await send({"type": "http.response.body", "body": b""})
    elif path == "/slow-body":
        await send({"type": "http.response.start", "status": 200,
                    "headers": [(b"content-length", b"4")]})
        await asyncio.sleep(5)
        await send({"type": "http.response.body", "body": b"late"})
    else:
        await send({"type": "http.response.start", "status": 404, "headers": []})
        await send({"type": "http.response.body", "body": b"not found"})
