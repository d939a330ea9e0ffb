"""A small ASGI app for the client tests (run under uvicorn by the tests).

- ``/echo``: answers the request body and what it saw (method, headers) in headers.
- ``/stream?n=N&size=S``: a chunked body of N pieces of S bytes.
- ``/cookie/set`` and ``/cookie/get``: sets a cookie / echoes the Cookie header.
- ``/redirect/N``: N redirects, then ``/echo``.
- ``/trailers``: a chunked body (no trailers over ASGI; kept for symmetry).
- ``/slow-body``: sends the head, then waits 5 s before the body.
- ``/redirect-to?status=S&url=U``: a redirect with status S to U.
- ``/cookie/put?name=N&value=V&path=P``: sets one cookie, with a Path when given.
- ``/digest``: Digest authentication (RFC 7616, MD5 or ``?algorithm=SHA-256``) for user
  ``Mufasa``, password ``Circle of Life``; answers the verdict.
- ``/encoded?coding=C``: a JSON document with ``Content-Encoding: C`` (gzip, deflate, br, zstd
  or a list of them); ``/bomb``: 256 MiB of zeros as a few hundred bytes of brotli.
- ``/form``: a Starlette endpoint that parses a form or multipart body (``request.form()``) and
  answers each field as JSON (files as name, content type, size and SHA-256).
- ``/echo-trailers``: like ``/echo``, with the body's length and SHA-256 in trailers (when the
  server supports the ASGI trailers extension, as hypercorn does over HTTP/2).
"""

import asyncio
import gzip
import hashlib
import json
import zlib
from urllib.parse import parse_qs

from starlette.applications import Starlette
from starlette.datastructures import UploadFile
from starlette.requests import Request
from starlette.responses import JSONResponse
from starlette.routing import Route


async def _form(request: Request) -> JSONResponse:
    out = []
    async with request.form() as form:
        for name, value in form.multi_items():
            if isinstance(value, UploadFile):
                data = await value.read()
                out.append([name, value.filename, value.content_type, len(data),
                            hashlib.sha256(data).hexdigest()])
            else:
                out.append([name, value])
    return JSONResponse(out)


def _zstd(data: bytes) -> bytes:
    import zstandard
    return zstandard.ZstdCompressor().compress(data)


def _br(data: bytes) -> bytes:
    import brotli
    return brotli.compress(data)


_ENCODERS = {"gzip": lambda d: gzip.compress(d, mtime=0), "deflate": zlib.compress, "br": _br,
             "zstd": _zstd, "identity": bytes}
form_app = Starlette(routes=[Route("/form", _form, methods=["POST", "PUT"])])
DIGEST_USER, DIGEST_PASSWORD, DIGEST_REALM = "Mufasa", "Circle of Life", "http-auth@example.org"


def _digest_ok(method: str, header: str, algorithm: str) -> bool:
    if not header.startswith("Digest "):
        return False
    params = {}
    for part in header[7:].split(","):
        k, _, v = part.strip().partition("=")
        params[k.lower()] = v.strip('"')
    h = {"MD5": hashlib.md5, "SHA-256": hashlib.sha256}[algorithm]

    def d(text: str) -> str:
        return h(text.encode()).hexdigest()
    ha1 = d(f"{DIGEST_USER}:{DIGEST_REALM}:{DIGEST_PASSWORD}")
    ha2 = d(f"{method}:{params.get('uri')}")
    want = d(f"{ha1}:{params.get('nonce')}:{params.get('nc')}:{params.get('cnonce')}:auth:{ha2}")
    return params.get("username") == DIGEST_USER and params.get("response") == want


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
               (b"x-host", headers.get(b"host", b"")),
               (b"x-authorization", headers.get(b"authorization", b"-"))]
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
    elif path == "/redirect-to":
        loc = query.get("url", ["/echo"])[0].encode()
        await send({"type": "http.response.start", "status": int(query["status"][0]),
                    "headers": [(b"location", loc), (b"content-length", b"0")]})
        await send({"type": "http.response.body", "body": b""})
    elif path == "/cookie/put":
        cookie = f"{query['name'][0]}={query['value'][0]}"
        if "path" in query:
            cookie += f"; Path={query['path'][0]}"
        await send({"type": "http.response.start", "status": 200,
                    "headers": [(b"set-cookie", cookie.encode())]})
        await send({"type": "http.response.body", "body": b""})
    elif path.startswith("/cookie/") and path.endswith("/get"):
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": headers.get(b"cookie", b"")})
    elif path == "/digest":
        algorithm = query.get("algorithm", ["MD5"])[0]
        if _digest_ok(scope["method"], headers.get(b"authorization", b"").decode(), algorithm):
            await send({"type": "http.response.start", "status": 200, "headers": []})
            await send({"type": "http.response.body", "body": b"welcome"})
            return
        challenge = (f'Digest realm="{DIGEST_REALM}", qop="auth, auth-int", '
                     f'algorithm={algorithm}, '
                     'nonce="7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v", '
                     'opaque="FQhe/qaU925kfnzjCev0ciny7QMkPqMAFRtzCUYo5tdS"')
        await send({"type": "http.response.start", "status": 401,
                    "headers": [(b"www-authenticate", challenge.encode())]})
        await send({"type": "http.response.body", "body": b"who are you"})
    elif path == "/encoded":
        coding = query["coding"][0]
        body = json.dumps({"items": [{"id": i, "name": f"item {i}"} for i in range(2000)]})
        data = body.encode()
        for c in [c.strip() for c in coding.split(",")]:
            data = _ENCODERS[c](data)
        await send({"type": "http.response.start", "status": 200,
                    "headers": [(b"content-type", b"application/json"),
                                (b"content-encoding", coding.encode())]})
        await send({"type": "http.response.body", "body": data})
    elif path == "/bomb":
        import brotli
        data = brotli.compress(b"\0" * (256 << 20), quality=1)
        await send({"type": "http.response.start", "status": 200,
                    "headers": [(b"content-encoding", b"br")]})
        await send({"type": "http.response.body", "body": data})
    elif path == "/form":
        await form_app(scope, receive, send)
    elif path == "/json-latin1":
        body = json.dumps({"name": "caf\u00e9"}, ensure_ascii=False).encode("latin-1")
        await send({"type": "http.response.start", "status": 200,
                    "headers": [(b"content-type", b"application/json; charset=iso-8859-1")]})
        await send({"type": "http.response.body", "body": body})
    elif path == "/slow-body":
        await send({"type": "http.response.start", "status": 200,
                    "headers": [(b"content-length", b"4")]})
        await asyncio.sleep(5)
        await send({"type": "http.response.body", "body": b"late"})
    else:
        await send({"type": "http.response.start", "status": 404, "headers": []})
        await send({"type": "http.response.body", "body": b"not found"})
