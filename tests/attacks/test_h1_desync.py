"""Message boundaries that must hold whatever the peer or the caller sends: the end of a chunked
body, the framing a written head declares, the request heads RFC 9112 refuses, and an HTTP/2
preface that arrives in pieces."""

import h11
import pytest

from h1util import request_error
from velmora import _velmora as v

HM = v.HeaderMap
NEXT = b"GET /next HTTP/1.1\r\nHost: h\r\n\r\n"


def drain(d):
    out = []
    while (piece := d.decode()) is not None:
        out.append(piece)
    return out


def feed(d, data, how):
    """Feeds `data` whole or byte by byte, decoding as it goes; returns the body."""
    if how == "whole":
        d.feed(data)
        return b"".join(drain(d))
    out = []
    for i in range(len(data)):
        d.feed(data[i : i + 1])
        out += drain(d)
    return b"".join(out)


# ---- the end of a chunked body ----------------------------------------------------------


@pytest.mark.parametrize("how", ["whole", "bytewise"])
@pytest.mark.parametrize(
    "section",
    [
        b"\n",  # the blank line that ends the section, as a bare LF
        b"X: 1\r\n\n",
        b"X: 1\n\r\n",  # a trailer line ended by a bare LF
        b"X: 1\nY: 2\r\n\r\n",
        b"\n\r\n",
    ],
)
def test_bare_lf_in_trailer_section_fails_the_body(section, how):
    # Were a bare LF taken as the end of a line here, the section would run on into the next
    # request and swallow it.
    d = v.H1BodyDecoder("chunked")
    with pytest.raises(v.H1BodyError) as e:
        feed(d, b"1\r\na\r\n0\r\n" + section + NEXT, how)
    assert e.value.args[0] == "invalid_input"
    assert not d.is_complete and d.buffered == 0


@pytest.mark.parametrize("how", ["whole", "bytewise"])
@pytest.mark.parametrize("section", [b"\r\n", b"X: 1\r\n\r\n", b"X: 1\r\nY:\r\n\r\n"])
def test_bytes_past_the_body_stay_for_the_next_message(section, how):
    d = v.H1BodyDecoder("chunked")
    assert feed(d, b"1\r\na\r\n0\r\n" + section + NEXT, how) == b"a"
    assert d.is_complete and d.buffered == len(NEXT)


def test_server_never_loses_the_request_after_a_chunked_body():
    # Two pipelined requests; the first one's trailer section ends in a bare LF. The second
    # must either be served or the connection closed: never silently dropped.
    body = b"1\r\na\r\n0\r\nX: 1\r\n\n"
    data = b"POST /a HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n" + body + NEXT
    t = object()
    s = v.H1ServerState(v.H1Codec(date_header=False), t)
    assert s.begin_read() == (v.H1_READ_TRANSPORT, t)
    head, seq, dec = s.accept_head(data)
    assert s.begin_body_read(seq)
    with pytest.raises(v.H1BodyError):
        drain(dec)
    s.end_body_read(seq, dec.is_complete)
    assert s.respond_head(seq, 400, None, None)[0] == v.H1_REQ_OK
    # The unread body cannot be drained: the connection closes, with the response or after it.
    closed_with_response = s.finish_response(seq)[2] is t
    code, obj = s.begin_read()
    if code == v.H1_NEXT_DRAIN:
        code, obj = s.drain_done(False)
    assert s.closed and (closed_with_response or (code, obj) == (v.H1_NEXT_CLOSE, t))


def test_server_parses_the_request_after_a_trailer_section():
    body = b"1\r\na\r\n0\r\nX: 1\r\n\r\n"
    data = b"POST /a HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n" + body + NEXT
    s = v.H1ServerState(v.H1Codec(date_header=False), object())
    head, seq, dec = s.accept_head(data)
    assert s.begin_body_read(seq)
    assert drain(dec) == [b"a"] and dec.take_trailers().items() == [("x", b"1")]
    s.end_body_read(seq, dec.is_complete)
    s.respond_head(seq, 204, None, None)
    s.finish_response(seq)
    assert s.begin_read() == (v.H1_READ_PARSE, None)
    head2, seq2, _ = s.accept_head(b"")
    assert (head2.target, seq2) == ("/next", 2)


# ---- a written head declares the framing it gets -----------------------------------------


def framing(codec):
    """The framing of the encoder in flight, probed through serialize_data."""
    if codec.body_is_eof():
        return ("length", 0)
    chunk = b"z" * 200
    try:
        out = codec.serialize_data(chunk)
    except v.H1UserError as e:  # more than the declared length: the message says how much
        assert e.args[0] == "body_write_aborted"
        return ("length", int(e.args[1].split("at most ")[1].split()[0]))
    if out is chunk:
        return ("close", None)
    if out.startswith(b"C8\r\n"):
        return ("chunked", None)
    return ("length", len(out))


def parsed_framing(head):
    if head.body_kind == "empty":
        return ("length", 0)
    if head.body_kind == "length":
        return ("length", head.content_length)
    return (head.body_kind, None)


CALLER_LENGTHS = [
    [],
    [("content-length", "5")],
    [("content-length", "10")],
    [("content-length", "x")],
    [("content-length", "5"), ("content-length", "6")],
    [("content-length", "5"), ("content-length", "5")],
    [("content-length", "5, 5")],
    [("content-length", "")],
    [("transfer-encoding", "chunked")],
    [("transfer-encoding", "gzip")],
    [("transfer-encoding", "chunked, gzip")],
]


@pytest.mark.parametrize("fields", CALLER_LENGTHS, ids=str)
@pytest.mark.parametrize("method", ["GET", "POST"])
@pytest.mark.parametrize("http10", [False, True])
def test_request_head_declares_the_framing_it_gets(fields, method, http10):
    for content_length in (None, 5, 10):
        for chunked in (False, True):
            c = v.H1Codec()
            try:
                wire = c.serialize_request(method, "/", HM([("host", "h")] + fields), http10=http10,
                                           content_length=content_length, chunked=chunked)
            except v.H1UserError as e:
                assert e.args == ("unexpected_header", "user sent unexpected header")
                continue
            # A caller's length that disagrees with the one asked for is refused, not ignored.
            if content_length is not None and not chunked and b"content-length" in wire:
                assert b"content-length: %d\r\n" % content_length in wire
            assert wire.count(b"content-length") <= 1
            server = v.H1Codec()
            head = server.receive_request_head(wire)
            assert head is not None and server.buffered() == 0
            assert parsed_framing(head) == framing(c), (wire, content_length, chunked)


@pytest.mark.parametrize("fields", CALLER_LENGTHS, ids=str)
@pytest.mark.parametrize("status,method", [(200, "GET"), (200, "HEAD"), (204, "GET"), (304, "GET"),
                                           (404, "POST")])
def test_response_head_declares_the_framing_it_gets(fields, status, method):
    for content_length in (None, 0, 5, 10):
        for chunked in (False, True):
            c = v.H1Codec(date_header=False)
            c.receive_request_head(f"{method} / HTTP/1.1\r\nhost: h\r\n\r\n".encode())
            try:
                wire = c.serialize_response(status, HM(fields), content_length=content_length,
                                            chunked=chunked)
            except v.H1UserError as e:
                assert e.args == ("unexpected_header", "user sent unexpected header")
                continue
            assert wire.count(b"content-length") <= 1
            if status == 204:
                assert b"content-length" not in wire  # RFC 9110 section 8.6
            client = v.H1Codec()
            client.serialize_request(method, "/", HM([("host", "h")]))
            head = client.receive_head(wire)
            assert head is not None and client.buffered() == 0
            assert parsed_framing(head) == framing(c), (wire, content_length, chunked)


@pytest.mark.parametrize(
    "fields,content_length",
    [
        ([("content-length", "5")], 10),
        ([("content-length", "10")], 5),
        ([("content-length", "x")], None),
        ([("content-length", "5"), ("content-length", "6")], None),
    ],
)
def test_conflicting_lengths_are_refused(fields, content_length):
    c = v.H1Codec()
    with pytest.raises(v.H1UserError) as e:
        c.serialize_request("POST", "/", HM([("host", "h")] + fields), content_length=content_length)
    assert e.value.args[0] == "unexpected_header"
    c = v.H1Codec()
    c.receive_request_head(b"GET / HTTP/1.1\r\nhost: h\r\n\r\n")
    with pytest.raises(v.H1UserError) as e:
        c.serialize_response(200, HM(fields), content_length=content_length if content_length else 3)
    assert e.value.args[0] == "unexpected_header"


def test_chunked_named_twice_is_refused():
    c = v.H1Codec()
    with pytest.raises(v.H1UserError):
        c.serialize_request("POST", "/", HM([("host", "h"), ("transfer-encoding", "chunked, gzip")]),
                            chunked=True)
    c.receive_request_head(b"GET / HTTP/1.1\r\nhost: h\r\n\r\n")
    with pytest.raises(v.H1UserError):
        c.serialize_response(200, HM([("transfer-encoding", "chunked"), ("transfer-encoding", "gzip")]))


def test_transfer_encoding_that_is_not_ascii_is_refused():
    # No recipient could find the chunked coding in it: the body would be read some other way.
    c = v.H1Codec()
    with pytest.raises(v.H1UserError):
        c.serialize_request("POST", "/", HM([("host", "h"), ("transfer-encoding", b"\xeb")]), chunked=True)
    c.receive_request_head(b"GET / HTTP/1.1\r\nhost: h\r\n\r\n")
    with pytest.raises(v.H1UserError):
        c.serialize_response(200, HM([("transfer-encoding", b"gzip\xeb")]))


def test_caller_length_list_is_written_once():
    c = v.H1Codec()
    wire = c.serialize_request("PUT", "/", HM([("host", "h"), ("content-length", "5, 5")]))
    assert wire == b"PUT / HTTP/1.1\r\nhost: h\r\ncontent-length: 5\r\n\r\n"
    assert framing(c) == ("length", 5)


@pytest.mark.parametrize("field,content_length", [("5", 10), ("10", 5), ("x", 5)])
def test_respond_head_and_whole_message_agree_with_the_wire(field, content_length):
    # Whatever respond_head accepts, the head and body it frames read back as exactly one
    # response: an independent client sees no byte left over and none missing.
    s = v.H1ServerState(v.H1Codec(date_header=False), object())
    _, seq, _ = s.accept_head(b"GET / HTTP/1.1\r\nHost: h\r\n\r\n")
    try:
        code, head, _ = s.respond_head(seq, 200, HM([("content-length", field)]), None,
                                       content_length=content_length)
    except v.H1UserError as e:
        assert e.args[0] == "unexpected_header"
        return
    assert code == v.H1_REQ_OK
    wire = s.codec.serialize_head_and_body(head, b"0123456789"[:content_length])
    client = h11.Connection(h11.CLIENT)
    client.send(h11.Request(method="GET", target="/", headers=[("Host", "h")]))
    client.send(h11.EndOfMessage())
    client.receive_data(wire)
    events = []
    while (ev := client.next_event()) not in (h11.NEED_DATA, h11.PAUSED):
        events.append(ev)
    assert isinstance(events[-1], h11.EndOfMessage)
    assert b"".join(e.data for e in events if isinstance(e, h11.Data)) == b"0123456789"[:content_length]
    assert client.trailing_data == (b"", False)


# ---- request heads RFC 9112 refuses -------------------------------------------------------

REQ = b"GET / HTTP/1.1\r\n"


@pytest.mark.parametrize(
    "fields,kind",
    [
        (b"Host: a\r\nHost: a\r\n", "header_token"),  # RFC 9112 section 3.2
        (b"Host: a\r\nHost: b\r\n", "header_token"),
        (b"Host: a b/c\r\n", "header_token"),
        (b"Host: a/b\r\n", "header_token"),
        (b"Host: u@a\r\n", "header_token"),
        (b"Host: a:8x\r\n", "header_token"),
        (b"Host: [::1\r\n", "header_token"),
        (b"Host: a%zz\r\n", "header_token"),
        (b"Host: a\x80\r\n", "header_token"),
        (b"Transfer-Encoding: chunked, chunked\r\n", "header_transfer_encoding_invalid"),  # 6.1
        (b"Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n", "header_transfer_encoding_invalid"),
        (b"Transfer-Encoding: chunked, gzip, chunked\r\n", "header_transfer_encoding_invalid"),
        (b"Transfer-Encoding: chunked\r\nTransfer-Encoding: gzip, chunked\r\n",
         "header_transfer_encoding_invalid"),
    ],
)
def test_refused_request_heads(fields, kind):
    assert request_error(REQ + fields + b"\r\n") == (kind, 400)


@pytest.mark.parametrize(
    "host",
    [b"", b"example.com", b"example.com:8080", b"a:", b"127.0.0.1:80", b"[::1]", b"[::1]:443",
     b"xn--bcher-kva.example", b"a%20b", b"a-b_c~d!$&'()*+,;="],
)
def test_accepted_host_values(host):
    codec = v.H1Codec()
    head = codec.receive_request_head(REQ + b"Host: " + host + b"\r\n\r\n")
    assert head.headers["host"] == host


def test_gzip_then_chunked_is_accepted():
    codec = v.H1Codec()
    head = codec.receive_request_head(
        b"POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n")
    assert head.body_kind == "chunked"


# ---- an HTTP/2 preface in pieces ---------------------------------------------------------

PREFACE = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"


@pytest.mark.parametrize("cut", range(1, len(PREFACE)))
def test_preface_split_anywhere_is_h2(cut):
    data = PREFACE + b"\x00\x00\x00\x04\x00\x00\x00\x00\x00"
    codec = v.H1Codec()
    assert codec.receive_request_head(data[:cut]) is None
    assert codec.parse_error_status is None
    with pytest.raises(v.H1ParseError) as e:
        codec.receive_request_head(data[cut:])
    assert e.value.args[0] == "version_h2" and codec.parse_error_status is None


def test_preface_byte_by_byte_through_the_server_state():
    s = v.H1ServerState(v.H1Codec(), object())
    for i in range(len(PREFACE) - 1):
        assert s.accept_head(PREFACE[i : i + 1]) is None
    with pytest.raises(v.H1ParseError) as e:
        s.accept_head(PREFACE[-1:])
    assert e.value.args[0] == "version_h2" and s.codec.parse_error_status is None


def test_start_of_preface_that_diverges_is_http1_error():
    codec = v.H1Codec()
    assert codec.receive_request_head(b"PRI * HTTP/2.0\r\n") is None
    with pytest.raises(v.H1ParseError) as e:
        codec.receive_request_head(b"\r\nXX\r\n\r\n")
    assert e.value.args[0] == "version" and codec.parse_error_status == 400
