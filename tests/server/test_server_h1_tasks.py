"""The applications of one kept-alive HTTP/1.1 connection run one after another on the
connection's task: each request still starts from a fresh context, sees its task as the
current one, may cancel it, and may go on working after its response."""

from __future__ import annotations

import asyncio
import contextvars
import http.client
import time

import pytest

from server_util import TIMEOUT, Running, connect, parse_responses, read_until_close

VAR: contextvars.ContextVar[str] = contextvars.ContextVar("var", default="-")


async def app(scope, receive, send):
    if scope["type"] != "http":
        return
    path = scope["path"]
    note = f"{VAR.get()} {asyncio.current_task() is not None}"
    VAR.set(path)  # never seen by the next request
    task = asyncio.current_task()
    if path == "/cancel-and-wait":
        task.cancel()
        try:
            await asyncio.sleep(0)
        except asyncio.CancelledError:
            note += " cancelled"
    elif path == "/cancel-and-answer":
        task.cancel()  # never delivered: the application does not wait again
    elif path == "/wait":
        await asyncio.sleep(0.01)
    elif path == "/fail":
        raise RuntimeError("the application fails")
    elif path == "/echo":  # the body arrives while the application waits for it
        note = ""
        while True:
            message = await receive()
            note += message["body"].decode()
            if not message["more_body"]:
                break
    await send({"type": "http.response.start", "status": 200, "headers": []})
    await send({"type": "http.response.body", "body": note.encode()})
    if path == "/linger":  # work after the response, while the next request is served
        await asyncio.sleep(0.05)
        LINGERED.append(scope["query_string"])


LINGERED: list[bytes] = []


@pytest.fixture(scope="module", params=["asyncio", "uvloop"])
def srv(request):
    if request.param == "uvloop":
        pytest.importorskip("uvloop")
    with Running(app, loop=request.param) as running:
        yield running


@pytest.mark.parametrize("path,body", [
    ("/", "- True"),
    ("/wait", "- True"),
    ("/cancel-and-wait", "- True cancelled"),
    ("/cancel-and-answer", "- True"),
    ("/wait", "- True"),  # (not cancelled by the previous request)
    ("/linger", "- True"),
    ("/fail", "500 Internal Server Error"),  # (and the connection closes)
    ("/", "- True"),
    ("/", "- True"),
])
def test_each_request_starts_afresh_on_a_kept_alive_connection(srv, path, body):
    conn = srv.__dict__.setdefault("conn", http.client.HTTPConnection("127.0.0.1", srv.port,
                                                                      timeout=TIMEOUT))
    conn.request("GET", path)
    response = conn.getresponse()
    status = 500 if path == "/fail" else 200
    assert (response.status, response.read().decode()) == (status, body)


def test_body_arriving_while_the_application_waits(srv):
    with connect(srv.port) as s:
        for _ in range(2):  # (kept alive twice: its next application runs on its task)
            s.sendall(b"GET / HTTP/1.1\r\nhost: x\r\n\r\n")
            time.sleep(0.05)
        s.sendall(b"POST /echo HTTP/1.1\r\nhost: x\r\ncontent-length: 6\r\n"
                  b"connection: close\r\n\r\nabc")
        time.sleep(0.05)
        s.sendall(b"def")
        data = read_until_close(s)
    assert [r[2] for r in parse_responses(data, ["GET", "GET", "POST"])] == [
        b"- True", b"- True", b"abcdef"]


def test_pipelined_request_served_while_the_previous_application_still_works(srv):
    LINGERED.clear()
    raw = b"".join(b"GET %s HTTP/1.1\r\nhost: x\r\n\r\n" % p for p in (b"/linger?p", b"/wait"))
    with connect(srv.port) as s:
        s.sendall(raw + b"GET / HTTP/1.1\r\nhost: x\r\nconnection: close\r\n\r\n")
        data = read_until_close(s)
    assert [r[2] for r in parse_responses(data, ["GET"] * 3)] == [b"- True"] * 3
    srv.wait_for(lambda: b"p" in LINGERED)
