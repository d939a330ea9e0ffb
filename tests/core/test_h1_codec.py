"""H1Codec as an object: construction, the read buffer, reset and memory behaviour."""

import pytest

from velmora import _velmora as v


def test_constructor():
    assert v.H1Codec().max_buf_size == 417792
    assert v.H1Codec(max_buf_size=8192).max_buf_size == 8192
    with pytest.raises(ValueError, match="^the max_buf_size cannot be smaller than 8192$"):
        v.H1Codec(max_buf_size=8191)
    with pytest.raises(TypeError):
        v.H1Codec(100)
    with pytest.raises(TypeError):
        v.H1Codec(date_header=1)
    with pytest.raises(OverflowError):
        v.H1Codec(max_headers=-1)
    with pytest.raises(TypeError):

        class Sub(v.H1Codec):
            pass


def test_body_bytes_after_head():
    c = v.H1Codec()
    head = c.receive_request_head(b"POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\n0123456789")
    assert head.content_length == 10 and c.buffered() == 10
    assert c.take_body() == b"0123456789"
    assert c.buffered() == 0 and c.take_body() == b""


def test_pipelined_requests():
    c = v.H1Codec()
    first = c.receive_request_head(b"GET /1 HTTP/1.1\r\n\r\nGET /2 HTTP/1.1\r\n\r\n")
    assert first.target == "/1"
    c.reset()
    assert c.receive_request_head(b"").target == "/2"
    assert c.receive_request_head(b"") is None


def test_take_body_into():
    c = v.H1Codec()
    c.receive_request_head(b"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n")
    d = v.H1BodyDecoder("chunked")
    c.take_body_into(d)
    assert c.buffered() == 0 and d.decode() == b"abc"
    c.feed(b"0\r\n\r\nNEXT")
    c.take_body_into(d)
    assert d.decode() is None and d.is_complete and d.buffered == 4
    c.feed(b"xx")
    with pytest.raises(TypeError):
        c.take_body_into(object())
    assert c.buffered() == 2


def test_feed_type():
    c = v.H1Codec()
    with pytest.raises(TypeError):
        c.feed("x")
    c.feed(b"GET / HTTP/1.1\r\n")
    assert c.receive_request_head(b"\r\n").method == "GET"


def test_parse_error_status_reset():
    c = v.H1Codec()
    with pytest.raises(v.H1ParseError):
        c.receive_request_head(b"GET / HTTP/9.9\r\n\r\n")
    assert c.parse_error_status == 400
    c.reset()
    assert c.parse_error_status is None


def test_reset_drops_encoder_and_method():
    c = v.H1Codec(date_header=False)
    c.receive_request_head(b"HEAD / HTTP/1.1\r\n\r\n")
    c.reset()
    assert c.serialize_response(200, content_length=2) == b"HTTP/1.1 200 OK\r\ncontent-length: 2\r\n\r\n"
    c.reset()
    with pytest.raises(ValueError):
        c.serialize_data(b"x")


def test_verdicts_survive_reset():
    c = v.H1Codec()
    c.serialize_response(200, keep_alive=False)
    c.reset()
    assert c.response_is_last


def test_large_head_then_idle_buffer_released():
    # The buffer of a 64 KiB head is given back once drained (see bench/ for the figures).
    c = v.H1Codec()
    big = b"GET / HTTP/1.1\r\nx-big: " + b"a" * 65536 + b"\r\n\r\n"
    assert c.receive_request_head(big) is not None
    assert c.buffered() == 0
    assert c.receive_request_head(b"GET / HTTP/1.1\r\n\r\n").target == "/"


@pytest.mark.parametrize("how", ["whole", "bytewise"])
def test_interim_response_shows_as_consumed_bytes(how):
    # receive_head never returns a 1xx head. A client waiting on 100-continue learns that one
    # arrived from buffered() falling below the bytes it fed while the call returns None:
    # nothing else is consumed before a final head, not even empty lines before a status line.
    interim = b"\r\nHTTP/1.1 100 Continue\r\n\r\n"
    final = b"\r\nHTTP/1.1 200 OK\r\ncontent-length: 0\r\n\r\n"
    wire = interim + final
    c = v.H1Codec()
    c.serialize_request("PUT", "/", v.HeaderMap([("host", "h"), ("expect", "100-continue")]),
                        content_length=4)
    step = len(wire) if how == "whole" else 1
    fed, consumed_at, head = 0, None, None
    for i in range(0, len(wire), step):
        piece = wire[i : i + step]
        fed += len(piece)
        head = c.receive_head(piece)
        if head is None and consumed_at is None and c.buffered() < fed:
            consumed_at = fed
    assert head is not None and head.status == 200 and c.buffered() == 0
    if how == "bytewise":
        assert consumed_at == len(interim)
