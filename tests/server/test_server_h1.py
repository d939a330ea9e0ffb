"""The HTTP/1.1 server over raw sockets: keep-alive, pipelining, framing both ways,
100-continue, HEAD, malformed heads and request smuggling."""

from __future__ import annotations

import json
import socket
import time

import pytest

from asgi_apps import Recorder
from server_util import Running, connect, exchange, parse_responses, read_until_close

H = b"host: x\r\n"


@pytest.fixture(scope="module", params=["asyncio", "uvloop"])
def srv(request):
    if request.param == "uvloop":
        pytest.importorskip("uvloop")
    app = Recorder()
    with Running(app, loop=request.param) as running:
        running.app = app
        yield running


def req(path: str, extra: bytes = b"", method: bytes = b"GET") -> bytes:
    return method + b" " + path.encode() + b" HTTP/1.1\r\n" + H + extra + b"\r\n"


def test_keep_alive_serves_many_requests_on_one_connection(srv):
    with connect(srv.port) as s:
        for _ in range(3):
            s.sendall(req("/"))
            data = b""
            while not data.endswith(b"Hello, world!"):
                data += s.recv(4096)
            status, headers, body = parse_responses(data, ["GET"])[0]
            assert status == 200 and body == b"Hello, world!"
            assert headers["content-length"] == "13" and "date" in headers
            assert headers["server"] == "velmora"


@pytest.mark.parametrize("split", ["whole", "bytewise"])
def test_pipelined_requests_answered_in_order(srv, split):
    raw = (req("/echo", b"content-length: 5\r\n", b"POST") + b"hello"
           + req("/scope?a=1")
           + req("/echo", b"transfer-encoding: chunked\r\n", b"POST") + b"3\r\nabc\r\n0\r\n\r\n"
           + req("/", b"connection: close\r\n"))
    with connect(srv.port) as s:
        if split == "whole":
            s.sendall(raw)
        else:
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            for i in range(len(raw)):
                s.send(raw[i:i + 1])
        data = read_until_close(s)
    r = parse_responses(data, ["POST", "GET", "POST", "GET"])
    assert [x[0] for x in r] == [200, 200, 200, 200]
    assert r[0][2] == b"hello"
    assert json.loads(r[1][2])["query_string"] == "a=1"
    assert r[2][2] == b"abc"
    assert r[3][2] == b"Hello, world!" and r[3][1]["connection"] == "close"


def test_pipelined_requests_then_half_close_are_all_answered(srv):
    raw = req("/stream?2") + req("/echo", b"content-length: 2\r\n", b"POST") + b"hi" + req("/")
    with connect(srv.port) as s:
        s.sendall(raw)
        s.shutdown(socket.SHUT_WR)  # like `printf ... | nc`: the client sends, then ends
        data = read_until_close(s)
    r = parse_responses(data, ["GET", "POST", "GET"])
    assert [x[2] for x in r] == [b"part0;part1;", b"hi", b"Hello, world!"]


def test_many_pipelined_requests_beyond_the_read_ahead_bound(srv):
    # more pipelined bytes than the server reads ahead: reading pauses and resumes, and a head
    # split by the pause still completes
    n = 3000
    raw = req("/echo", b"content-length: 3\r\n", b"POST") + b"abc"
    with connect(srv.port) as s:
        s.sendall(raw * n + req("/", b"connection: close\r\n"))
        data = read_until_close(s)
    r = parse_responses(data, ["POST"] * n + ["GET"])
    assert all(x[2] == b"abc" for x in r[:n]) and r[n][2] == b"Hello, world!"


def test_scope_keys(srv):
    raw = req("/scope/a%20b%2Fc?x=%20y", b"X-Custom: Value\r\nconnection: close\r\n")
    (status, headers, body), = exchange(srv.port, raw, ["GET"])
    scope = json.loads(body)
    assert scope["type"] == "http"
    assert scope["asgi"] == {"version": "3.0", "spec_version": "2.4"}
    assert scope["http_version"] == "1.1" and scope["method"] == "GET"
    assert scope["scheme"] == "http"
    assert scope["path"] == "/scope/a b/c"
    assert scope["raw_path"] == "/scope/a%20b%2Fc"
    assert scope["query_string"] == "x=%20y"
    assert scope["root_path"] == ""
    assert ["x-custom", "Value"] in scope["headers"] and ["host", "x"] in scope["headers"]
    assert scope["client"][0] == "127.0.0.1" and scope["server"] == ["127.0.0.1", srv.port]
    assert scope["extensions"] == ["http.response.trailers"]


def test_absolute_form_target_and_http10(srv):
    raw = b"GET http://x/scope/q?z=1 HTTP/1.0\r\n\r\n"
    (status, headers, body), = exchange(srv.port, raw, ["GET"])
    scope = json.loads(body)
    assert (scope["path"], scope["query_string"], scope["http_version"]) == (
        "/scope/q", "z=1", "1.0")


def test_http10_closes_and_keep_alive_header_keeps(srv):
    with connect(srv.port) as s:
        s.sendall(b"GET / HTTP/1.0\r\nconnection: keep-alive\r\n\r\n")
        data = b""
        while not data.endswith(b"Hello, world!"):
            data += s.recv(4096)
        assert data.startswith(b"HTTP/1.0 200 OK\r\n") and b"connection: keep-alive" in data
        s.sendall(b"GET / HTTP/1.0\r\n\r\n")
        data = read_until_close(s)
        assert data.startswith(b"HTTP/1.0 200 OK\r\n") and data.endswith(b"Hello, world!")


def test_head_response_has_length_but_no_body(srv):
    raw = req("/", method=b"HEAD") + req("/", b"connection: close\r\n")
    with connect(srv.port) as s:
        s.sendall(raw)
        data = read_until_close(s)
    assert data.count(b"Hello, world!") == 1
    r = parse_responses(data, ["HEAD", "GET"])
    assert r[0][0] == 200 and r[0][1]["content-length"] == "13" and r[0][2] == b""
    assert r[1][2] == b"Hello, world!"


def test_streamed_response_is_chunked(srv):
    (status, headers, body), = exchange(srv.port, req("/stream?4", b"connection: close\r\n"),
                                        ["GET"])
    assert headers["transfer-encoding"] == "chunked"
    assert body == b"part0;part1;part2;part3;"


def test_streamed_response_to_http10_is_close_delimited(srv):
    with connect(srv.port) as s:
        s.sendall(b"GET /stream?2 HTTP/1.0\r\n\r\n")
        data = read_until_close(s)
    assert b"transfer-encoding" not in data.lower()
    assert data.endswith(b"\r\n\r\npart0;part1;")


def test_response_trailers_when_the_client_accepts_them(srv):
    raw = req("/trailers", b"te: trailers\r\nconnection: close\r\n")
    with connect(srv.port) as s:
        s.sendall(raw)
        data = read_until_close(s)
    assert data.endswith(b"3\r\nabc\r\n3\r\ndef\r\n0\r\nx-checksum: 42\r\n\r\n")
    # without TE: trailers the body ends with the bare terminator
    with connect(srv.port) as s:
        s.sendall(req("/trailers", b"connection: close\r\n"))
        data = read_until_close(s)
    assert data.split(b"\r\n\r\n", 1)[1] == b"3\r\nabc\r\n3\r\ndef\r\n0\r\n\r\n"


def test_chunked_request_with_trailers_and_extensions(srv):
    raw = (req("/echo", b"transfer-encoding: chunked\r\nconnection: close\r\n", b"POST")
           + b"4;ext=1\r\nWiki\r\n5\r\npedia\r\n0\r\nx-sum: 9\r\n\r\n")
    (status, headers, body), = exchange(srv.port, raw, ["POST"])
    assert status == 200 and body == b"Wikipedia"


def test_large_request_body_streams_in_pieces(srv):
    body = bytes(range(256)) * 4096  # 1 MiB
    raw = req("/echo", b"content-length: %d\r\nconnection: close\r\n" % len(body), b"POST")
    with connect(srv.port) as s:
        s.sendall(raw)
        s.sendall(body)
        data = read_until_close(s)
    (status, headers, got), = parse_responses(data, ["POST"])
    assert got == body and int(headers["x-pieces"]) > 1


def test_expect_100_continue_sent_when_the_app_reads(srv):
    with connect(srv.port) as s:
        s.sendall(req("/echo", b"content-length: 4\r\nexpect: 100-continue\r\n", b"POST"))
        assert s.recv(4096) == b"HTTP/1.1 100 Continue\r\n\r\n"
        s.sendall(b"ping")
        data = b""
        while not data.endswith(b"ping"):
            data += s.recv(4096)
        assert data.startswith(b"HTTP/1.1 200 OK\r\n")


@pytest.mark.parametrize("expect", [b"expect: 100-continue\r\n", b""])
def test_response_before_the_body_arrived_says_it_closes(srv, expect):
    with connect(srv.port) as s:
        s.sendall(req("/", b"content-length: 4\r\n" + expect, b"POST"))
        data = read_until_close(s)  # the body never came: the connection closes, and says so
    assert b"100 Continue" not in data and b"connection: close\r\n" in data
    assert data.startswith(b"HTTP/1.1 200 OK\r\n") and data.endswith(b"Hello, world!")


def test_unread_body_already_received_is_drained_for_the_next_request(srv):
    raw = req("/", b"content-length: 3\r\n", b"POST") + b"abc" + req("/", b"connection: close\r\n")
    r = exchange(srv.port, raw, ["POST", "GET"])
    assert [x[0] for x in r] == [200, 200] and "connection" not in r[0][1]


def test_connection_close_request(srv):
    with connect(srv.port) as s:
        s.sendall(req("/", b"connection: close\r\n"))
        data = read_until_close(s)
    assert b"connection: close" in data and data.endswith(b"Hello, world!")


@pytest.mark.parametrize("raw,status", [
    (b"G@T / HTTP/1.1\r\n\r\n", 400),
    (b"GET / HTTP/1.2\r\n\r\n", 400),
    (b"GET / HTTP/1.1\r\nbad header\r\n\r\n", 400),
    (b"GET / HTTP/1.1\r\n folded: x\r\n\r\n", 400),
    (b"GET /" + b"a" * 65535 + b" HTTP/1.1\r\n\r\n", 414),
    (b"GET / HTTP/1.1\r\n" + b"x: y\r\n" * 101 + b"\r\n", 431),
    (b"GET / HTTP/1.1\r\nx: " + b"y" * 70000 + b"\r\n\r\n", 431),
    # smuggling vectors
    (b"POST / HTTP/1.1\r\ncontent-length: 5\r\ncontent-length: 6\r\n\r\nhello", 400),
    (b"POST / HTTP/1.1\r\ncontent-length: +5\r\n\r\nhello", 400),
    (b"POST / HTTP/1.1\r\ntransfer-encoding: gzip\r\n\r\n", 400),
    (b"POST / HTTP/1.1\r\ntransfer-encoding: chunked, gzip\r\n\r\n", 400),
    (b"POST / HTTP/1.0\r\ntransfer-encoding: chunked\r\n\r\n0\r\n\r\n", 400),
    (b"POST / HTTP/1.1\r\ntransfer-encoding : chunked\r\n\r\n0\r\n\r\n", 400),
])
def test_malformed_head_gets_the_core_status_and_a_close(srv, raw, status):
    with connect(srv.port) as s:
        s.sendall(raw)
        data = read_until_close(s)
    (got, headers, body), = parse_responses(data, ["GET"])
    assert got == status and headers["connection"] == "close"


def test_cl_and_te_together_frame_by_chunked_then_close(srv):
    raw = (b"POST /echo HTTP/1.1\r\nhost: x\r\ncontent-length: 4\r\n"
           b"transfer-encoding: chunked\r\n\r\n1\r\nA\r\n0\r\n\r\n" + req("/"))
    with connect(srv.port) as s:
        s.sendall(raw)
        data = read_until_close(s)
    # one response only: the connection closes, the smuggled second request is never served
    assert data.count(b"HTTP/1.1") == 1
    (status, headers, body), = parse_responses(data, ["POST"])
    assert body == b"A" and headers["connection"] == "close"


def test_bad_chunk_framing_disconnects_the_reader(srv):
    raw = req("/echo", b"transfer-encoding: chunked\r\n", b"POST") + b"zz\r\nabc\r\n"
    with connect(srv.port) as s:
        s.sendall(raw)
        data = read_until_close(s)
    # the app saw a disconnect and returned without responding: the client's fault, 400
    assert data.startswith(b"HTTP/1.1 400 ") and b"connection: close\r\n" in data
    assert srv.app.events[-1] == "http.disconnect"


def test_http2_preface_gets_no_http1_answer(srv):
    with connect(srv.port) as s:
        s.sendall(b"PRI * HTTP/2.0\r\n")
        time.sleep(0.1)  # the rest of the preface arrives later
        s.sendall(b"\r\nSM\r\n\r\n")
        head = b""
        while len(head) < 9:
            piece = s.recv(9 - len(head))
            assert piece, "closed before answering"
            head += piece
    # the HTTP/2 connection answers with its SETTINGS frame (type 4, stream 0)
    assert head[3] == 4 and head[5:9] == b"\x00\x00\x00\x00"


def test_empty_lines_before_the_request_line(srv):
    (status, _, body), = exchange(srv.port, b"\r\n\r\n" + req("/", b"connection: close\r\n"),
                                  ["GET"])
    assert status == 200


def test_app_failure_before_start_is_500_with_close(srv):
    (status, headers, body), = exchange(srv.port, req("/fail-before") + req("/"), ["GET"])
    assert status == 500 and headers["connection"] == "close"


def test_app_returning_without_response_is_500(srv):
    (status, headers, body), = exchange(srv.port, req("/nothing"), ["GET"])
    assert status == 500


def test_app_failure_after_start_closes_mid_body(srv):
    with connect(srv.port) as s:
        s.sendall(req("/fail-after"))
        data = read_until_close(s)
    assert data.startswith(b"HTTP/1.1 200 OK\r\n")
    assert data.endswith(b"7\r\npartial\r\n")  # no terminating chunk: the client sees the cut


def test_body_shorter_than_declared_length_closes(srv):
    with connect(srv.port) as s:
        s.sendall(req("/length"))
        data = read_until_close(s)
    assert b"content-length: 10\r\n" in data and data.endswith(b"short")


@pytest.mark.parametrize("query", ["", "?stream"])
def test_body_longer_than_declared_length_is_not_cut_short_silently(srv, query):
    # The bytes past the declared length are neither sent nor dropped quietly: the application
    # is told, and the client sees an incomplete response and a closed connection.
    del srv.app.send_errors[:]
    with connect(srv.port) as s:
        s.sendall(req("/overlong" + query) + req("/"))
        data = read_until_close(s)
    head, _, body = data.partition(b"\r\n\r\n")
    assert b"content-length: 5\r\n" in head
    assert body == (b"abc" if query else b"")
    deadline = time.monotonic() + 5
    while not srv.app.send_errors and time.monotonic() < deadline:
        time.sleep(0.01)
    (err,) = srv.app.send_errors
    assert "body_write_aborted" in str(err) and "too long" in str(err)


@pytest.mark.parametrize("status", [204, 304])
def test_bodyless_statuses(srv, status):
    raw = req(f"/status?{status}") + req("/", b"connection: close\r\n")
    r = exchange(srv.port, raw, ["GET", "GET"])
    assert r[0][0] == status and "content-length" not in r[0][1] and r[1][0] == 200
