"""Request and response head parsing: framing decisions, limits, error kinds and statuses."""

import h11
import pytest

from velmora import _velmora as v
from h1util import feed_ways, parse_request, parse_response, request_error, response_error

BROWSER_GET = (
    b"GET /search?q=velmora&lang=en HTTP/1.1\r\n"
    b"Host: www.example.com\r\n"
    b"User-Agent: Mozilla/5.0 (X11; Linux x86_64; rv:120.0) Gecko/20100101 Firefox/120.0\r\n"
    b"Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8\r\n"
    b"Accept-Language: en-US,en;q=0.5\r\n"
    b"Accept-Encoding: gzip, deflate, br\r\n"
    b"Connection: keep-alive\r\n"
    b"Upgrade-Insecure-Requests: 1\r\n"
    b"Sec-Fetch-Dest: document\r\n"
    b"Sec-Fetch-Mode: navigate\r\n"
    b"Sec-Fetch-Site: none\r\n"
    b"Cookie: session=abc123; theme=dark\r\n"
    b"X-Custom-Trace: \xe2\x9c\x93 ok\r\n"
    b"\r\n"
)


def req(codec, chunk):
    return codec.receive_request_head(chunk)


def test_browser_get_all_feeding_ways():
    for head, left in feed_ways(req, BROWSER_GET):
        assert head.method == "GET"
        assert head.target == "/search?q=velmora&lang=en"
        assert head.headers["user-agent"].startswith(b"Mozilla/5.0")
        assert head.headers["x-custom-trace"] == "\u2713 ok".encode()
        assert len(head.headers) == 12
        assert head.body_kind == "empty" and head.content_length == 0
        assert head.keep_alive and not head.http10 and not head.expect_continue
        assert head.is_upgrade is False  # Upgrade-Insecure-Requests is not Upgrade
        assert left == 0


def test_standard_method_strings_are_shared():
    a, _ = parse_request(b"GET / HTTP/1.1\r\n\r\n")
    b, _ = parse_request(b"GET /x HTTP/1.1\r\n\r\n")
    assert a.method is b.method
    c, _ = parse_request(b"FROB / HTTP/1.1\r\n\r\n")
    assert c.method == "FROB"


def test_repr():
    head, _ = parse_request(b"GET / HTTP/1.1\r\n\r\n")
    assert repr(head) == "H1RequestHead(method='GET', target='/', body_kind=empty)"
    resp, _ = parse_response(b"HTTP/1.1 200 OK\r\ncontent-length: 0\r\n\r\n")
    assert repr(resp) == "H1ResponseHead(status=200, body_kind=empty, keep_alive=true)"


def test_heads_cannot_be_constructed():
    for cls in (v.H1RequestHead, v.H1ResponseHead):
        with pytest.raises(TypeError):
            cls()


@pytest.mark.parametrize(
    "target,expected",
    [
        (b"/", "/"),
        (b"/a/b?c=d", "/a/b?c=d"),
        (b"*", "*"),
        (b"http://example.com/x?y", "http://example.com/x?y"),
        (b"/caf%C3%A9", "/caf%C3%A9"),
    ],
)
def test_targets(target, expected):
    head, _ = parse_request(b"OPTIONS " + target + b" HTTP/1.1\r\n\r\n")
    assert head.target == expected


# RFC 3986 characters (unreserved, sub-delims, gen-delims, "%"): what a path may hold; a query
# also takes the visible ASCII ones beyond them.
PATH_CHARS = set(
    b"-._~!$&'()*+,;=:@/%[]0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
)


@pytest.mark.parametrize("part", ["path", "query"])
def test_every_visible_byte_in_targets_at_every_offset(part):
    # Targets are checked 16 bytes at a time: each byte at each offset across two blocks and
    # into the overlapping tail is accepted or refused as the character sets say.
    for c in set(range(0x21, 0x7F)) - set(b"?#"):
        ok = part == "query" or c in PATH_CHARS
        for off in range(0, 40):
            if part == "path":
                target = b"/" + b"p" * off + bytes([c]) + b"x"
            else:
                target = b"/p?" + b"q" * off + bytes([c])
            data = b"GET " + target + b" HTTP/1.1\r\n\r\n"
            if ok:
                assert parse_request(data)[0].target == target.decode()
            else:
                assert request_error(data) == ("uri", 400), (c, off)


@pytest.mark.parametrize("count", [3, 8, 9, 40])
def test_parsed_fields_match_h11_and_change_like_built_maps(count):
    # Repeated names, in other cases, on both sides of the index size; h11 reads the same bytes.
    names = [f"X-Field-{i % (count // 2 + 1)}" for i in range(count)] + ["HOST", "Cookie"]
    lines = [(n, f"v{i}" + "p" * (300 * (i % 3))) for i, n in enumerate(names)]
    data = b"GET / HTTP/1.1\r\n" + b"".join(f"{n}:  {val}\r\n".encode() for n, val in lines)
    data += b"\r\n"
    head, _ = parse_request(data)
    conn = h11.Connection(h11.SERVER)
    conn.receive_data(data)
    pairs = [(n.decode(), val) for n, val in conn.next_event().headers]
    built = v.HeaderMap(pairs)
    assert head.headers == built and head.headers.items() == built.items()
    # The same changes to both (values replaced, names removed and added back, enough bytes
    # dropped for the storage to be compacted) leave them alike.
    for m in (head.headers, built):
        for n in names[1:]:
            m[n] = "short"
        del m[names[1]]
        m.add(names[1], b"back")
    assert head.headers == built and head.headers.items() == built.items()


def test_connect_authority_form():
    head, _ = parse_request(b"CONNECT example.com:443 HTTP/1.1\r\nHost: example.com:443\r\n\r\n")
    assert head.target == "example.com:443"
    assert head.is_upgrade and head.method == "CONNECT"


def test_empty_lines_before_request_line():
    head, _ = parse_request(b"\r\n\r\n\nGET / HTTP/1.1\r\n\r\n")
    assert head.method == "GET"


@pytest.mark.parametrize(
    "data,kind,status",
    [
        (b"GET  / HTTP/1.1\r\n\r\n", "uri", 400),
        (b"GET / HTTP/1.2\r\n\r\n", "version", 400),
        (b"GET / HTTP/1.1x\r\n\r\n", "header_token", 400),
        (b"G(T / HTTP/1.1\r\n\r\n", "method", 400),
        (b"GET /\xff HTTP/1.1\r\n\r\n", "uri", 400),
        (b"GET host:80 HTTP/1.1\r\n\r\n", "uri", 400),
        (b"\rGET / HTTP/1.1\r\n\r\n", "header_token", 400),
        (b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", "version_h2", None),
        (b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\x00", "version", 400),
        (b"GET / HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n", "header_transfer_encoding_unexpected", 400),
        (b"POST / HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\n", "header_transfer_encoding_invalid", 400),
    ],
)
def test_request_errors(data, kind, status):
    assert request_error(data) == (kind, status)


def test_error_message_and_nothing_consumed():
    codec = v.H1Codec()
    data = b"GET / HTTP/1.2\r\n\r\n"
    with pytest.raises(v.H1ParseError) as e:
        codec.receive_request_head(data)
    assert e.value.args == ("version", "invalid HTTP version parsed")
    assert codec.buffered() == len(data)
    # The same bytes fail the same way again: nothing moves past a failed head.
    with pytest.raises(v.H1ParseError):
        codec.receive_request_head(b"")
    codec.reset()
    assert codec.parse_error_status is None


def test_target_length_limit():
    ok = b"GET /" + b"a" * 65533 + b" HTTP/1.1\r\n\r\n"
    head, _ = parse_request(ok)
    assert len(head.target) == 65534
    long = b"GET /" + b"a" * 65534 + b" HTTP/1.1\r\n\r\n"
    assert request_error(long) == ("uri_too_long", 414)


def _many(n):
    return b"".join(b"x-h%d: v\r\n" % i for i in range(n))


def test_header_count_limits():
    assert parse_request(b"GET / HTTP/1.1\r\n" + _many(100) + b"\r\n")[0] is not None
    assert request_error(b"GET / HTTP/1.1\r\n" + _many(101) + b"\r\n") == ("too_large", 431)
    head, _ = parse_request(b"GET / HTTP/1.1\r\n" + _many(101) + b"\r\n", max_headers=200)
    assert len(head.headers) == 101
    assert request_error(b"GET / HTTP/1.1\r\n" + _many(3) + b"\r\n", max_headers=2) == ("too_large", 431)
    resp = b"HTTP/1.1 200 OK\r\n" + _many(101) + b"\r\n"
    codec = v.H1Codec(max_headers=200)
    with pytest.raises(v.H1ParseError) as e:
        codec.receive_head(resp)
    assert e.value.args[0] == "too_large"


def test_max_buf_size_boundary():
    partial = b"GET / HTTP/1.1\r\nx: " + b"a" * 9000
    data = partial[:8192]
    codec = v.H1Codec(max_buf_size=8192)
    with pytest.raises(v.H1ParseError) as e:
        codec.receive_request_head(data)
    assert e.value.args[0] == "too_large" and codec.parse_error_status == 431
    codec = v.H1Codec(max_buf_size=8192)
    assert codec.receive_request_head(data[:-1]) is None


def test_preface_over_buffer_limit_is_h2():
    data = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n" + b"\x00" * 9000
    codec = v.H1Codec(max_buf_size=8192)
    with pytest.raises(v.H1ParseError) as e:
        codec.receive_request_head(data)
    assert e.value.args[0] == "version_h2" and codec.parse_error_status is None


@pytest.mark.parametrize(
    "fields,keep_alive",
    [
        (b"", True),
        (b"Connection: foo, close\r\n", False),
        (b"Connection: Close\r\n", False),
        (b"Connection: keep-alive\r\n", True),
        (b"Connection: close\r\nConnection: keep-alive\r\n", False),
    ],
)
def test_keep_alive_http11(fields, keep_alive):
    head, _ = parse_request(b"GET / HTTP/1.1\r\n" + fields + b"\r\n")
    assert head.keep_alive is keep_alive


def test_keep_alive_http10():
    head, _ = parse_request(b"GET / HTTP/1.0\r\n\r\n")
    assert not head.keep_alive and head.http10
    head, _ = parse_request(b"GET / HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n")
    assert head.keep_alive


def test_expect_upgrade_te():
    head, _ = parse_request(
        b"POST / HTTP/1.1\r\nExpect: 100-Continue\r\nUpgrade: websocket\r\nTE: gzip, Trailers\r\nContent-Length: 1\r\n\r\n"
    )
    assert head.expect_continue and head.is_upgrade and head.allow_trailers
    head, _ = parse_request(b"CONNECT h:1 HTTP/1.0\r\nUpgrade: x\r\n\r\n")
    assert not head.is_upgrade
    head, _ = parse_request(b"GET / HTTP/1.1\r\nExpect: 100-continue \r\n\r\n")
    assert head.expect_continue  # trailing whitespace is not part of the value


def test_value_whitespace_trimmed_and_obs_text_kept():
    head, _ = parse_request(b"GET / HTTP/1.1\r\nX-A: \t v a l \t \r\nX-B:\r\nX-C: \x80\xff\r\n\r\n")
    assert head.headers["x-a"] == b"v a l"
    assert head.headers["x-b"] == b""
    assert head.headers["x-c"] == b"\x80\xff"


def test_ignore_invalid_headers():
    data = b"GET / HTTP/1.1\r\nBad Name: x\r\nX-Bin: a\x01b\r\nGood: y\r\n\r\n"
    head, _ = parse_request(data, ignore_invalid_headers=True)
    assert head.headers.items() == [("good", b"y")]
    assert request_error(data) == ("header_token", 400)
    # A NUL byte or a bare CR still fails.
    assert request_error(b"GET / HTTP/1.1\r\nBad Name: \x00\r\n\r\n", ignore_invalid_headers=True)[0] == "header_token"
    assert request_error(b"GET / HTTP/1.1\r\nBad Name: a\rb\r\n\r\n", ignore_invalid_headers=True)[0] == "header_token"
    # Responses never skip.
    codec = v.H1Codec(ignore_invalid_headers=True)
    with pytest.raises(v.H1ParseError):
        codec.receive_head(b"HTTP/1.1 200 OK\r\nBad Name: x\r\n\r\n")


TCHAR = set(b"!#$%&'*+-.^_`|~0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ")


@pytest.mark.parametrize("where", ["name", "value"])
def test_every_byte_in_names_and_values_at_every_offset(where):
    # The scanner classifies the block in wide chunks: each byte value, placed at each offset
    # across several chunk boundaries (and into the last, short chunk), is accepted or refused
    # exactly as RFC 9110 tchar / field-value bytes say.
    for c in range(256):
        if c in b"\r\n:":
            continue
        if where == "name":
            ok = c in TCHAR
        else:
            ok = c == 9 or 0x20 <= c <= 0x7E or c >= 0x80
        for off in range(0, 140, 3 if c % 7 else 1):
            if where == "name":
                name, value = b"n" * off + bytes([c]) + b"x", b"v"
                field = name + b": v"
            else:
                value = (b"w" * off + bytes([c]) + b"z").lstrip(b" \t")  # leading blanks skipped
                field, name = b"v: " + b"w" * off + bytes([c]) + b"z", b"v"
            data = b"GET / HTTP/1.1\r\nA: b\r\n" + field + b"\r\nC: d\r\n\r\n"
            if ok:
                head, codec = parse_request(data)
                want = [("a", b"b"), (name.lower().decode(), value), ("c", b"d")]
                assert head.headers.items() == want
                assert codec.buffered() == 0
                assert v.H1Codec().receive_request_head(data[:-1]) is None
            else:
                assert request_error(data) == ("header_token", 400), (c, off)
                if c != 0:
                    head, _ = parse_request(data, ignore_invalid_headers=True)
                    assert head.headers.items() == [("a", b"b"), ("c", b"d")]


def test_long_field_name():
    name = b"x" * 65536
    codec = v.H1Codec(max_buf_size=1 << 20)
    with pytest.raises(v.H1ParseError) as e:
        codec.receive_request_head(b"GET / HTTP/1.1\r\n" + name + b": v\r\n\r\n")
    assert e.value.args[0] == "too_large"
    codec = v.H1Codec(max_buf_size=1 << 20)
    head = codec.receive_request_head(b"GET / HTTP/1.1\r\n" + name[:-1] + b": v\r\n\r\n")
    assert head.headers[name[:-1]] == b"v"


# ---- responses ----------------------------------------------------------------------------


def resp(codec, chunk):
    return codec.receive_head(chunk)


def test_response_all_feeding_ways():
    data = b"HTTP/1.1 404 Not Found\r\nContent-Length: 7\r\nX: y\r\n\r\n"
    for head, left in feed_ways(resp, data):
        assert head.status == 404 and head.body_kind == "length" and head.content_length == 7
        assert head.headers.items() == [("content-length", b"7"), ("x", b"y")]
        assert left == 0


@pytest.mark.parametrize(
    "data,method,kind,length,keep_alive,upgrade",
    [
        (b"HTTP/1.1 200 OK\r\n\r\n", "GET", "close", None, True, False),
        (b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", "GET", "empty", 0, True, False),
        (b"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n", "HEAD", "empty", 0, True, False),
        (b"HTTP/1.1 204 No Content\r\nContent-Length: 10\r\n\r\n", "GET", "empty", 0, True, False),
        (b"HTTP/1.1 304 Not Modified\r\nTransfer-Encoding: chunked\r\n\r\n", "GET", "empty", 0, True, False),
        (b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: ws\r\n\r\n", "GET", "empty", 0, False, True),
        (b"HTTP/1.1 200 Connection established\r\n\r\n", "CONNECT", "empty", 0, False, True),
        (b"HTTP/1.1 407 Auth\r\nContent-Length: 3\r\n\r\n", "CONNECT", "length", 3, True, False),
        (b"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n\r\n", "GET", "close", None, True, False),
        (b"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\nContent-Length: 3\r\n\r\n", "GET", "chunked", None, True, False),
        (b"HTTP/1.1 200 OK\r\nContent-Length: 5, 5\r\nContent-Length: 5\r\n\r\n", "GET", "length", 5, True, False),
        (b"HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\n", "GET", "length", 5, False, False),
        (b"HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nContent-Length: 5\r\n\r\n", "GET", "length", 5, True, False),
        (b"HTTP/1.0 200 OK\r\nConnection: keep-alive, close\r\nContent-Length: 5\r\n\r\n", "GET", "length", 5, False, False),
        (b"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n", "GET", "close", None, False, False),
        (b"HTTP/1.1 200\r\nContent-Length: 1\r\n\r\n", "GET", "length", 1, True, False),
        (b"HTTP/1.1 200 \r\nContent-Length: 1\r\n\r\n", "GET", "length", 1, True, False),
    ],
)
def test_response_framing(data, method, kind, length, keep_alive, upgrade):
    head, _ = parse_response(data, method)
    assert (head.body_kind, head.content_length, head.keep_alive, head.is_upgrade) == (
        kind,
        length,
        keep_alive,
        upgrade,
    )


def test_interim_responses_skipped():
    codec = v.H1Codec()
    assert codec.receive_head(b"HTTP/1.1 100 Continue\r\n\r\n") is None
    assert codec.buffered() == 0
    head = codec.receive_head(b"HTTP/1.1 103 Early Hints\r\nLink: x\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")
    assert head.status == 200 and codec.take_body() == b"ok"


@pytest.mark.parametrize(
    "data,kind",
    [
        (b"HTTP/1.2 200 OK\r\n\r\n", "version"),
        (b"HTTP/1.1 20 OK\r\n\r\n", "status"),
        (b"HTTP/1.1 099 OK\r\n\r\n", "status"),
        (b"HTTP/1.1 2000 OK\r\n\r\n", "status"),
        (b"HTTP/1.1 200 O\x01K\r\n\r\n", "status"),
        (b"HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", "header_transfer_encoding_unexpected"),
        (b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n", "header_content_length_invalid"),
        (b"HTTP/1.1 200 OK\r\nContent-Length: 5,\r\n\r\n", "header_content_length_invalid"),
        (b"HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551614\r\n\r\n", "too_large"),
    ],
)
def test_response_errors(data, kind):
    assert response_error(data, "GET") == kind


def test_response_101_lines_fail_regardless():
    data = b"HTTP/1.1 200 OK\r\n" + _many(101) + b"\r\n"
    assert response_error(data) == "too_large"


def test_data_must_be_bytes():
    codec = v.H1Codec()
    for bad in ("GET / HTTP/1.1\r\n\r\n", bytearray(b"x"), memoryview(b"x")):
        with pytest.raises(TypeError):
            codec.receive_request_head(bad)
        with pytest.raises(TypeError):
            codec.receive_head(bad)
    assert codec.buffered() == 0
    assert codec.receive_request_head(b"") is None
