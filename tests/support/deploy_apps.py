"""Applications of the deployment tests, served by ``velmora serve`` and gunicorn in
subprocesses (``--app-dir`` this directory)."""

import json
import os
import time


async def echo(scope, receive, send):
    """The request as the application sees it, as JSON: client, scheme, tls, an env value."""
    if scope["type"] != "http":
        return
    if scope["path"] == "/block":
        time.sleep(30)  # blocks the event loop: the worker stops answering health checks
    tls = scope["extensions"].get("tls")
    body = json.dumps({"client": scope["client"], "scheme": scope["scheme"], "pid": os.getpid(),
                       "tls": tls and {k: tls[k] for k in ("client_cert_name", "tls_version")},
                       "env": os.environ.get("VELMORA_TEST_VALUE")}).encode()
    await send({"type": "http.response.start", "status": 200,
                "headers": [(b"content-type", b"application/json")]})
    await send({"type": "http.response.body", "body": body})


def streamed(environ, start_response):
    """A WSGI application that answers each piece of the body as it reads it."""
    start_response("200 OK", [("Content-Type", "text/plain")])
    body = environ["wsgi.input"]
    while True:
        line = body.readline()
        if not line:
            break
        yield b"got " + line


class Legacy:
    """An ASGI 2 application."""

    def __init__(self, scope):
        self.scope = scope

    async def __call__(self, receive, send):
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b"asgi2"})


try:
    from flask import Flask, request
except ImportError:  # pragma: no cover
    flask_app = None
else:
    flask_app = Flask(__name__)

    @flask_app.route("/")
    def index():
        return f"flask {request.remote_addr} {request.scheme} {os.getpid()}"
