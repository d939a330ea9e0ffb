"""Head serialization and body framing: framing fields, encoders and their verdicts."""

import re

import pytest

from velmora import _velmora as v

HM = v.HeaderMap


def fields(head):
    lines = head.split(b"\r\n")
    assert lines[-2:] == [b"", b""]
    return [tuple(l.split(b": ", 1)) for l in lines[1:-2]]


def start_line(head):
    return head.split(b"\r\n", 1)[0]


def codec(**kw):
    return v.H1Codec(date_header=False, **kw)


# ---- requests -------------------------------------------------------------------------------


def test_request_content_length():
    c = codec()
    head = c.serialize_request("PUT", "/x", HM([("host", "h"), ("x", "1")]), content_length=5)
    assert head == b"PUT /x HTTP/1.1\r\nhost: h\r\nx: 1\r\ncontent-length: 5\r\n\r\n"
    assert not c.body_is_eof()


@pytest.mark.parametrize("http10", [False, True])
def test_request_caller_content_length_frames_the_body(http10):
    # No body was requested, but the caller's own Content-Length announces 7 bytes: the encoder
    # must take exactly those, or the server would read the next request as this body.
    c = codec()
    head = c.serialize_request("POST", "/x", HM([("host", "h"), ("content-length", "7")]),
                               http10=http10)
    assert (b"content-length", b"7") in fields(head)
    assert not c.body_is_eof()
    assert c.serialize_data(b"1234567") == b"1234567"
    assert c.body_is_eof()


def test_request_chunked_get_and_post():
    c = codec()
    head = c.serialize_request("GET", "/", HM([("host", "h")]), chunked=True)
    assert b"transfer-encoding" not in head and c.body_is_eof()
    head = c.serialize_request("POST", "/", HM([("host", "h")]), chunked=True)
    assert fields(head)[-1] == (b"transfer-encoding", b"chunked") and not c.body_is_eof()


def test_request_te_gets_chunked_appended():
    c = codec()
    head = c.serialize_request("POST", "/", HM([("transfer-encoding", "gzip"), ("content-length", "3")]), content_length=3)
    assert fields(head) == [(b"transfer-encoding", b"gzip, chunked")]


@pytest.mark.parametrize("cl", ["3", "3, 4", "abc"])
def test_request_te_never_sent_with_content_length(cl):
    head = codec().serialize_request("POST", "/", HM([("content-length", cl), ("transfer-encoding", "chunked")]), content_length=3)
    assert fields(head) == [(b"transfer-encoding", b"chunked")]


def test_request_http10_chunked():
    c = codec()
    head = c.serialize_request("POST", "/", HM([("host", "h")]), http10=True, chunked=True)
    assert start_line(head) == b"POST / HTTP/1.0"
    assert fields(head) == [(b"host", b"h"), (b"connection", b"keep-alive")]
    assert c.body_is_eof()


def test_request_connection_close_lines():
    c = codec()
    head = c.serialize_request("GET", "/", HM([("connection", "keep-alive"), ("x", "y"), ("connection", "close")]))
    assert fields(head) == [(b"connection", b"close"), (b"x", b"y")]
    assert c.request_connection_close


def test_request_line_forms():
    c = codec()
    assert start_line(c.serialize_request("GET", "http://Example.com", None)) == b"GET http://Example.com/ HTTP/1.1"
    assert start_line(c.serialize_request("GET", "https://h:8443/a?b#frag", None)) == b"GET https://h:8443/a?b HTTP/1.1"
    assert start_line(c.serialize_request("CONNECT", "h:443", None)) == b"CONNECT h:443 HTTP/1.1"
    assert start_line(c.serialize_request("OPTIONS", "*", None)) == b"OPTIONS * HTTP/1.1"
    assert start_line(c.serialize_request("M-SEARCH", "/", None)) == b"M-SEARCH / HTTP/1.1"


@pytest.mark.parametrize(
    "method,url,message",
    [
        ("GE T", "/", "invalid method: invalid HTTP method"),
        ("", "/", "invalid method: invalid HTTP method"),
        ("GET", "", "invalid url: empty string"),
        ("GET", "http://a b/", "invalid url: invalid uri character"),
    ],
)
def test_request_value_errors(method, url, message):
    with pytest.raises(ValueError) as e:
        codec().serialize_request(method, url)
    assert str(e.value) == message


def test_request_argument_types():
    c = codec()
    with pytest.raises(TypeError):
        c.serialize_request(b"GET", "/")
    with pytest.raises(TypeError):
        c.serialize_request("GET", "/", {"host": "h"})
    with pytest.raises(OverflowError):
        c.serialize_request("GET", "/", content_length=-1)
    with pytest.raises(TypeError):
        c.serialize_request("GET", "/", None, False)


def test_request_does_not_modify_caller_map():
    h = HM([("connection", "close"), ("transfer-encoding", "gzip")])
    codec().serialize_request("POST", "/", h, chunked=True)
    assert h.items() == [("connection", b"close"), ("transfer-encoding", b"gzip")]


def test_request_trailers_allow_list():
    c = codec()
    c.serialize_request("POST", "/", HM([("trailer", "X-Checksum")]), chunked=True)
    out = c.serialize_trailers(HM([("x-checksum", "abc"), ("content-type", "x")]))
    assert out == b"0\r\nx-checksum: abc\r\n\r\n"


# ---- responses ------------------------------------------------------------------------------


def test_response_204_drops_length():
    c = codec()
    head = c.serialize_response(204, content_length=10)
    assert head == b"HTTP/1.1 204 No Content\r\n\r\n" and c.body_is_eof()


def test_response_to_head_keeps_length():
    c = codec()
    c.receive_request_head(b"HEAD / HTTP/1.1\r\n\r\n")
    head = c.serialize_response(200, content_length=10)
    assert fields(head) == [(b"content-length", b"10")] and c.body_is_eof()


def test_response_http10_chunked_is_close_delimited():
    c = codec()
    head = c.serialize_response(200, chunked=True, http10=True)
    assert start_line(head) == b"HTTP/1.0 200 OK"
    assert fields(head) == [(b"connection", b"keep-alive")]
    assert c.response_close_delimited and not c.body_is_eof()


def test_response_not_keep_alive():
    c = codec()
    head = c.serialize_response(200, keep_alive=False)
    assert fields(head) == [(b"connection", b"close"), (b"content-length", b"0")]
    assert c.response_is_last


def test_response_connection_close_from_caller():
    c = codec()
    c.serialize_response(200, HM([("connection", "upgrade"), ("connection", "close")]))
    assert c.response_is_last


@pytest.mark.parametrize("status", [100, 102, 103, 199])
def test_response_interim_refused(status):
    c = codec()
    with pytest.raises(v.H1UserError) as e:
        c.serialize_response(status)
    assert e.value.args == ("unsupported_status_code", "response has 1xx status code, not supported by server")
    assert c.body_is_eof()


@pytest.mark.parametrize("status", [0, 99, 1000, 65535])
def test_response_status_range(status):
    with pytest.raises(ValueError, match="^invalid status: invalid status code$"):
        codec().serialize_response(status)
    with pytest.raises(OverflowError):
        codec().serialize_response(65536)


def test_response_101():
    c = codec()
    head = c.serialize_response(101, HM([("upgrade", "websocket")]), content_length=5)
    assert head == b"HTTP/1.1 101 Switching Protocols\r\nupgrade: websocket\r\n\r\n"
    assert c.response_is_last and c.body_is_eof()


def test_response_connect_2xx():
    c = codec()
    c.receive_request_head(b"CONNECT h:1 HTTP/1.1\r\n\r\n")
    assert c.serialize_response(200, chunked=True) == b"HTTP/1.1 200 OK\r\n\r\n"
    assert c.response_is_last and c.body_is_eof() and not c.response_close_delimited
    c.receive_request_head(b"CONNECT h:1 HTTP/1.1\r\n\r\n")
    with pytest.raises(v.H1UserError) as e:
        c.serialize_response(200, HM([("content-length", "0")]))
    assert e.value.args == ("unexpected_header", "user sent unexpected header")


def test_response_framing_conflicts():
    with pytest.raises(v.H1UserError):
        codec().serialize_response(200, HM([("transfer-encoding", "chunked"), ("content-length", "1")]), chunked=True)
    with pytest.raises(v.H1UserError):
        codec().serialize_response(200, HM([("content-length", "x")]), chunked=True)
    with pytest.raises(v.H1UserError):
        codec().serialize_response(200, HM([("content-length", "1"), ("content-length", "2")]), chunked=True)


def test_response_caller_content_length_unknown_body():
    c = codec()
    head = c.serialize_response(200, HM([("content-length", "3"), ("content-length", "3")]), chunked=True)
    assert fields(head) == [(b"content-length", b"3")]
    assert c.serialize_data(b"abc") == b"abc" and c.body_is_eof()


def test_response_both_length_and_chunked_is_chunked():
    c = codec()
    head = c.serialize_response(200, content_length=5, chunked=True)
    assert fields(head) == [(b"transfer-encoding", b"chunked")]


def test_response_unknown_reason_and_digits():
    assert start_line(codec().serialize_response(599)) == b"HTTP/1.1 599 <none>"
    assert start_line(codec().serialize_response(404)) == b"HTTP/1.1 404 Not Found"
    assert start_line(codec().serialize_response(200, http10=True)) == b"HTTP/1.0 200 OK"


def test_response_title_case_and_date():
    c = v.H1Codec(title_case_headers=True)
    head = c.serialize_response(200, HM([("x-custom-id", "7")]), content_length=1)
    f = fields(head)
    assert f[0] == (b"X-Custom-Id", b"7") and f[1] == (b"Content-Length", b"1")
    assert f[2][0] == b"Date" and re.fullmatch(rb"\w{3}, \d\d \w{3} \d{4} \d\d:\d\d:\d\d GMT", f[2][1])


def test_response_caller_date_suppresses_automatic():
    head = v.H1Codec().serialize_response(200, HM([("date", "yesterday")]))
    assert fields(head) == [(b"date", b"yesterday"), (b"content-length", b"0")]


def test_response_te_values_joined():
    c = codec()
    head = c.serialize_response(200, HM([("transfer-encoding", "gzip"), ("trailer", "x-a"), ("trailer", "x-b")]))
    assert fields(head) == [(b"transfer-encoding", b"gzip, chunked"), (b"trailer", b"x-a, x-b")]
    assert c.serialize_data(b"z") == b"1\r\nz\r\n"


def test_continue_and_connection_close():
    assert v.H1Codec.continue_response() == b"HTTP/1.1 100 Continue\r\n\r\n"
    assert v.H1Codec.connection_close(HM([("connection", "keep-alive, CLOSE")]))
    assert not v.H1Codec.connection_close(HM([("connection", "closed")]))
    with pytest.raises(TypeError):
        v.H1Codec.connection_close({"connection": "close"})


# ---- body framing ---------------------------------------------------------------------------


def test_length_framing():
    c = codec()
    c.serialize_request("POST", "/", content_length=5)
    first = b"abc"
    assert c.serialize_data(first) is first
    assert c.serialize_data(b"de") == b"de"
    assert c.serialize_end() == b""


def test_length_early_end():
    c = codec()
    c.serialize_request("POST", "/", content_length=5)
    c.serialize_data(b"abc")
    with pytest.raises(v.H1UserError) as e:
        c.serialize_end()
    assert e.value.args == ("body_write_aborted", "user body write aborted: early end, expected 2 more bytes")
    assert c.serialize_end() == b""


def test_chunked_framing():
    c = codec()
    c.serialize_request("POST", "/", chunked=True)
    assert c.serialize_data(b"a" * 26).startswith(b"1A\r\n")
    assert c.serialize_data(b"a" * 255) == b"FF\r\n" + b"a" * 255 + b"\r\n"
    end = c.serialize_end()
    assert end == b"0\r\n\r\n"
    c.serialize_request("POST", "/", chunked=True)
    assert c.serialize_end() is end


def test_close_framing_returns_same_object():
    c = codec()
    c.serialize_response(200, chunked=True, http10=True)
    chunk = b"xyz"
    assert c.serialize_data(chunk) is chunk


def test_serialize_data_without_encoder():
    c = codec()
    empty = b""
    assert c.serialize_data(empty) is empty
    with pytest.raises(ValueError, match="^serialize_data with no request in flight$"):
        c.serialize_data(b"x")


def test_server_trailers_need_te_trailers():
    c = codec()
    c.receive_request_head(b"GET / HTTP/1.1\r\n\r\n")
    c.serialize_response(200, HM([("trailer", "x-a")]), chunked=True)
    assert c.serialize_trailers(HM([("x-a", "1")])) == b"0\r\n\r\n"
    c.reset()
    c.receive_request_head(b"GET / HTTP/1.1\r\nTE: trailers\r\n\r\n")
    c.serialize_response(200, HM([("trailer", "x-a")]), chunked=True)
    assert c.serialize_trailers(HM([("x-a", "1"), ("x-b", "2")])) == b"0\r\nx-a: 1\r\n\r\n"


def test_trailers_never_allowed():
    c = codec()
    c.serialize_request("POST", "/", HM([("trailer", "content-length, x-a")]), chunked=True)
    assert c.serialize_trailers(HM([("content-length", "1")])) == b"0\r\n\r\n"


def test_trailers_on_length_body():
    c = codec()
    c.serialize_request("POST", "/", content_length=1)
    with pytest.raises(v.H1UserError):
        c.serialize_trailers(HM([("x", "y")]))
    assert c.serialize_trailers(HM()) == b""


def test_head_and_body():
    c = codec()
    head = c.serialize_response(200, content_length=4)
    assert c.serialize_head_and_body(head, b"body") == head + b"body"
    head = c.serialize_response(204)
    assert c.serialize_head_and_body(head, b"ignored") is head
    head = c.serialize_response(200, HM([("trailer", "x-t")]), chunked=True)
    out = c.serialize_head_and_body(head, b"abc", HM([("x-t", "1")]))
    assert out == head + b"3\r\nabc\r\n0\r\nx-t: 1\r\n\r\n"
    head = c.serialize_response(200, content_length=4)
    with pytest.raises(v.H1UserError):
        c.serialize_head_and_body(head, b"ab")
    assert c.serialize_head_and_body(b"H") == b"H"
    with pytest.raises(TypeError):
        c.serialize_head_and_body("head")


def test_body_is_eof():
    c = codec()
    assert c.body_is_eof()
    c.receive_request_head(b"HEAD / HTTP/1.1\r\n\r\n")
    c.serialize_response(200, content_length=3)
    assert c.body_is_eof()
    c.reset()
    c.serialize_response(200, chunked=True)
    assert not c.body_is_eof()
    c.serialize_end()
    assert c.body_is_eof()
