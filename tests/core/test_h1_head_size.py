"""The head-size and header-count limits hold for a head however it arrives: whole in one read,
in pieces, or byte by byte, in both roles and through H1ServerState.accept_head."""

import pytest

from velmora import _velmora as v

LIMIT = 8192


def request_of(size):
    """A complete request head of exactly `size` bytes."""
    start = b"GET / HTTP/1.1\r\nx: "
    end = b"\r\n\r\n"
    return start + b"a" * (size - len(start) - len(end)) + end


def response_of(size):
    start = b"HTTP/1.1 200 OK\r\ncontent-length: 0\r\nx: "
    end = b"\r\n\r\n"
    return start + b"a" * (size - len(start) - len(end)) + end


def pieces(data, how):
    if how == "whole":
        return [data]
    if how == "halves":
        return [data[: len(data) // 2], data[len(data) // 2 :]]
    return [data[i : i + 1] for i in range(len(data))]


def feed(receive, data, how):
    """The first head returned (bytes after it are buffered), or the H1ParseError args."""
    got = None
    try:
        for piece in pieces(data, how):
            r = receive(piece)
            got = got or r
        return got
    except v.H1ParseError as e:
        return e.args


TOO_LARGE = ("too_large", "message head is too large")


@pytest.mark.parametrize("how", ["whole", "halves", "bytewise"])
@pytest.mark.parametrize("trailing", [b"", b"GET / HTTP/1.1\r\n"])
def test_request_head_limit_whatever_the_reads(how, trailing):
    c = v.H1Codec(max_buf_size=LIMIT)
    head = feed(c.receive_request_head, request_of(LIMIT) + trailing, how)
    assert isinstance(head, v.H1RequestHead) and c.buffered() == len(trailing)
    c = v.H1Codec(max_buf_size=LIMIT)
    data = request_of(LIMIT + 1) + trailing
    assert feed(c.receive_request_head, data, how) == TOO_LARGE
    assert c.parse_error_status == 431
    if how == "whole":
        assert c.buffered() == len(data)  # nothing consumed


@pytest.mark.parametrize("how", ["whole", "halves", "bytewise"])
def test_response_head_limit_whatever_the_reads(how):
    def client():
        c = v.H1Codec(max_buf_size=LIMIT)
        c.serialize_request("GET", "/", v.HeaderMap([("host", "h")]))
        return c

    c = client()
    assert isinstance(feed(c.receive_head, response_of(LIMIT), how), v.H1ResponseHead)
    c = client()
    assert feed(c.receive_head, response_of(LIMIT + 1), how) == TOO_LARGE
    # An interim response is a head too.
    interim = b"HTTP/1.1 103 Early Hints\r\nlink: " + b"a" * LIMIT + b"\r\n\r\n"
    c = client()
    assert feed(c.receive_head, interim + response_of(100), how) == TOO_LARGE


def test_default_limit_applies_to_a_complete_head():
    c = v.H1Codec()
    size = c.max_buf_size + 1
    with pytest.raises(v.H1ParseError) as e:
        c.receive_request_head(request_of(size))
    assert e.value.args == TOO_LARGE and c.parse_error_status == 431


@pytest.mark.parametrize("how", ["whole", "halves"])
def test_accept_head_limit(how):
    s = v.H1ServerState(v.H1Codec(max_buf_size=LIMIT), object())
    assert feed(s.accept_head, request_of(LIMIT + 1), how) == TOO_LARGE
    assert s.codec.parse_error_status == 431
    s = v.H1ServerState(v.H1Codec(max_buf_size=LIMIT), object())
    head, seq, _ = feed(s.accept_head, request_of(LIMIT), how)
    assert head.method == "GET" and seq == 1


def _many(n):
    return b"".join(b"x-h%d: v\r\n" % i for i in range(n))


@pytest.mark.parametrize("how", ["whole", "halves", "bytewise"])
@pytest.mark.parametrize("max_headers,lines,ok", [(None, 100, True), (None, 101, False),
                                                  (5, 5, True), (5, 6, False)])
def test_header_count_limit_whatever_the_reads(how, max_headers, lines, ok):
    data = b"GET / HTTP/1.1\r\n" + _many(lines) + b"\r\n"
    c = v.H1Codec(max_headers=max_headers)
    got = feed(c.receive_request_head, data, how)
    if ok:
        assert isinstance(got, v.H1RequestHead) and len(got.headers) == lines
    else:
        assert got == TOO_LARGE and c.parse_error_status == 431
    s = v.H1ServerState(v.H1Codec(max_headers=max_headers), object())
    got = feed(s.accept_head, data, how)
    assert (got != TOO_LARGE) == ok
