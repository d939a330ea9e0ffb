"""A Starlette application served by velmora: routing, request bodies, streaming, failures,
lifespan state."""

from __future__ import annotations

import asyncio
import contextlib

import httpx
import pytest

starlette = pytest.importorskip("starlette")
from starlette.applications import Starlette  # noqa: E402
from starlette.requests import Request  # noqa: E402
from starlette.responses import JSONResponse, PlainTextResponse, StreamingResponse  # noqa: E402
from starlette.routing import Route  # noqa: E402

from server_util import Running, connect  # noqa: E402

events: list[str] = []


async def home(request: Request):
    return PlainTextResponse(f"home {request.state.greeting}")


async def item(request: Request):
    return JSONResponse({"id": int(request.path_params["id"]), "q": request.query_params.get("q"),
                         "path": request.url.path, "root": request.scope["root_path"]})


async def upload(request: Request):
    body = await request.body()
    form_len = len(body)
    return JSONResponse({"len": form_len, "ct": request.headers.get("content-type")})


async def stream(request: Request):
    async def gen():
        for i in range(int(request.query_params.get("n", "3"))):
            yield f"line {i}\n".encode()
            await asyncio.sleep(0)
    return StreamingResponse(gen(), media_type="text/plain")


async def endless(request: Request):
    async def gen():
        try:
            while True:
                yield b"z" * 16384
                await asyncio.sleep(0.001)
        finally:
            events.append("generator closed")
    return StreamingResponse(gen())


async def broken(request: Request):
    raise ValueError("route failed")


@contextlib.asynccontextmanager
async def lifespan(app):
    events.append("startup")
    yield {"greeting": "hi"}
    events.append("shutdown")


app = Starlette(routes=[
    Route("/", home), Route("/items/{id:int}", item), Route("/upload", upload, methods=["POST"]),
    Route("/stream", stream), Route("/endless", endless), Route("/broken", broken),
], lifespan=lifespan)


@pytest.fixture(scope="module")
def srv():
    events.clear()
    with Running(app, lifespan="on", root_path="/api") as running:
        yield running
    assert events[0] == "startup" and events[-1] == "shutdown"


def test_routing_body_streaming_and_failure(srv):
    with httpx.Client(base_url=srv.url(), timeout=10) as c:
        assert c.get("/").text == "home hi"
        r = c.get("/items/42?q=x")
        assert r.json() == {"id": 42, "q": "x", "path": "/api/items/42", "root": "/api"}
        assert c.get("/items/nope").status_code == 404
        r = c.post("/upload", content=b"a" * 300_000, headers={"content-type": "app/x"})
        assert r.json() == {"len": 300_000, "ct": "app/x"}
        r = c.get("/stream?n=4")
        assert r.text == "line 0\nline 1\nline 2\nline 3\n"
        assert r.headers["transfer-encoding"] == "chunked"
        assert c.get("/broken").status_code == 500
        assert c.get("/").status_code == 200
        assert c.post("/").status_code == 405


def test_streaming_response_stops_when_the_client_goes_away(srv):
    with connect(srv.port) as s:
        s.sendall(b"GET /endless HTTP/1.1\r\nhost: x\r\n\r\n")
        got = 0
        while got < 200_000:
            got += len(s.recv(65536))
    srv.wait_for(lambda: "generator closed" in events)
    srv.wait_idle()
