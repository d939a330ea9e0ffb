"""What a caller asks the serializers to send is sent as declared, or refused: credentials in a
URL stay out of the request target and :authority, bytes beyond a declared length are refused
rather than cut off, and a Transfer-Encoding the framing would not apply is refused rather than
dropped. Each refusal leaves the codec as it was."""

import h11
import hpack
import pytest

from velmora import _velmora as v

HM = v.HeaderMap


def start_line(head):
    return head.split(b"\r\n", 1)[0]


# ---- userinfo (RFC 9110 section 4.2.4, RFC 9112 section 3.2, RFC 9113 section 8.3.1) ---------

USERINFO_URLS = [
    ("http://user:pw@h:8080/x?q", b"GET http://h:8080/x?q HTTP/1.1"),
    ("http://user@h", b"GET http://h/ HTTP/1.1"),
    ("https://user:p%40ss@[::1]:8443/p", b"GET https://[::1]:8443/p HTTP/1.1"),
    ("http://a:b@c@h/", b"GET http://h/ HTTP/1.1"),
    ("http://:pw@h/", b"GET http://h/ HTTP/1.1"),
]


@pytest.mark.parametrize("url,line", USERINFO_URLS)
def test_absolute_form_target_drops_userinfo(url, line):
    head = v.H1Codec().serialize_request("GET", url, HM([("host", "h")]))
    assert start_line(head) == line
    assert b"@" not in head and b"pw" not in head and b"user" not in head
    # A proxy (h11 standing in) reads a target without credentials.
    proxy = h11.Connection(h11.SERVER)
    proxy.receive_data(head)
    req = proxy.next_event()
    assert isinstance(req, h11.Request) and b"@" not in req.target


def test_authority_form_target_drops_userinfo():
    head = v.H1Codec().serialize_request("CONNECT", "user:pw@h:443", HM([("host", "h:443")]))
    assert start_line(head) == b"CONNECT h:443 HTTP/1.1"


def test_origin_form_unchanged():
    # An "@" in a path is not userinfo.
    head = v.H1Codec().serialize_request("GET", "/a@b", HM([("host", "h")]))
    assert start_line(head) == b"GET /a@b HTTP/1.1"


@pytest.mark.parametrize(
    "target,kwargs,authority",
    [
        ("http://user:pw@h:8080/x", {}, "h:8080"),
        ("https://u@h/", {}, "h"),
        ("/x", {"authority": "user:pw@h"}, "h"),
        ("https://u:p@ignored/", {"authority": "u:p@h"}, "h"),
    ],
)
def test_h2_authority_drops_userinfo(target, kwargs, authority):
    data = v.H2Codec().serialize_request_headers(1, "GET", target, **kwargs)
    fields = dict(hpack.Decoder().decode(data[9:]))
    assert fields[":authority"] == authority


def test_h2_connect_authority_drops_userinfo():
    data = v.H2Codec().serialize_request_headers(1, "CONNECT", "user:pw@h:443")
    assert hpack.Decoder().decode(data[9:]) == [(":method", "CONNECT"), (":authority", "h:443")]


@pytest.mark.parametrize(
    "raw",
    [
        b"GET http://user:pw@h/ HTTP/1.1\r\nhost: h\r\n\r\n",
        b"GET http://u@h/x HTTP/1.1\r\nhost: h\r\n\r\n",
        b"CONNECT user:pw@h:443 HTTP/1.1\r\nhost: h:443\r\n\r\n",
    ],
)
def test_received_target_with_userinfo_is_refused(raw):
    # As a Host value with userinfo is: it serves to disguise the authority.
    c = v.H1Codec()
    with pytest.raises(v.H1ParseError) as e:
        c.receive_request_head(raw)
    assert e.value.args[0] == "uri" and c.parse_error_status == 400
    assert c.buffered() == len(raw)
    s = v.H1ServerState(v.H1Codec(), object())
    with pytest.raises(v.H1ParseError) as e:
        s.accept_head(raw)
    assert e.value.args[0] == "uri" and s.codec.parse_error_status == 400


# ---- bytes beyond a declared length -----------------------------------------------------------


def aborted(e):
    kind, message = e.value.args
    assert kind == "body_write_aborted"
    return message


def test_serialize_data_refuses_bytes_beyond_the_length_and_keeps_the_encoder():
    c = v.H1Codec()
    c.serialize_request("POST", "/", HM([("host", "h")]), content_length=5)
    first = b"abc"
    assert c.serialize_data(first) is first
    with pytest.raises(v.H1UserError) as e:
        c.serialize_data(b"def")
    assert aborted(e) == "user body write aborted: too long, expected at most 2 more bytes, got 3"
    # Nothing changed: the two missing bytes are still owed, and taken.
    assert not c.body_is_eof()
    assert c.serialize_data(b"de") == b"de"
    assert c.body_is_eof()
    with pytest.raises(v.H1UserError):
        c.serialize_data(b"x")
    assert c.serialize_end() == b""


@pytest.mark.parametrize(
    "kwargs",
    [
        {"method": "GET", "chunked": True},  # a GET without framing carries no body
        {"method": "POST", "http10": True, "chunked": True},  # HTTP/1.0 has no chunked coding
        {"method": "POST", "content_length": 0},
        {"method": "POST"},
    ],
)
def test_request_without_room_for_a_body_refuses_one(kwargs):
    c = v.H1Codec()
    c.serialize_request(kwargs.pop("method"), "/", HM([("host", "h")]), **kwargs)
    assert c.body_is_eof()
    with pytest.raises(v.H1UserError) as e:
        c.serialize_data(b"lost")
    assert aborted(e).endswith("expected at most 0 more bytes, got 4")
    head = c.serialize_request("POST", "/", HM([("host", "h")]), content_length=0)
    with pytest.raises(v.H1UserError):
        c.serialize_head_and_body(head, b"lost")


def test_head_and_body_refuses_a_longer_body_and_keeps_the_encoder():
    c = v.H1Codec(date_header=False)
    head = c.serialize_response(200, content_length=4)
    with pytest.raises(v.H1UserError) as e:
        c.serialize_head_and_body(head, b"bodyXX")
    assert aborted(e).endswith("expected at most 4 more bytes, got 6")
    assert not c.body_is_eof()
    assert c.serialize_head_and_body(head, b"body") == head + b"body"


def test_head_and_body_without_an_encoder_refuses_a_body():
    c = v.H1Codec()
    with pytest.raises(ValueError, match="^serialize_head_and_body with no request in flight$"):
        c.serialize_head_and_body(b"HEAD", b"body")
    head = b"HEAD"
    assert c.serialize_head_and_body(head, b"") is head


@pytest.mark.parametrize("method,status", [("HEAD", 200), ("GET", 204), ("GET", 304)])
def test_messages_without_content_still_discard_it(method, status):
    # A response to HEAD, a 204 or a 304 has no content whatever the application offers: the
    # protocol discards it, which is not a length being exceeded.
    c = v.H1Codec(date_header=False)
    c.receive_request_head(f"{method} / HTTP/1.1\r\nhost: h\r\n\r\n".encode())
    head = c.serialize_response(status, content_length=10)
    assert c.serialize_head_and_body(head, b"0123456789") == head
    c.serialize_response(status, chunked=True)
    assert c.serialize_data(b"0123456789") == b""
    assert c.serialize_end() == b""


def test_server_state_response_refuses_bytes_beyond_its_length():
    s = v.H1ServerState(v.H1Codec(date_header=False), object())
    _, seq, _ = s.accept_head(b"GET / HTTP/1.1\r\nhost: h\r\n\r\n")
    code, head, _ = s.respond_head(seq, 200, HM([("content-length", "3")]), None, chunked=True)
    assert code == v.H1_REQ_OK
    with pytest.raises(v.H1UserError):
        s.codec.serialize_data(b"four")
    assert s.codec.serialize_data(b"abc") == b"abc"
    assert s.codec.serialize_end() == b""


# ---- a caller's Transfer-Encoding is applied or refused ----------------------------------------


@pytest.mark.parametrize("te", ["chunked", "gzip", "gzip, chunked"])
@pytest.mark.parametrize(
    "kwargs",
    [
        {},  # no body requested: the field used to be dropped and no body sent
        {"http10": True},
        {"http10": True, "chunked": True},
        {"http10": True, "content_length": 3},
    ],
)
def test_transfer_encoding_the_framing_would_not_apply_is_refused(te, kwargs):
    c = v.H1Codec()
    c.serialize_request("PUT", "/", HM([("host", "h")]), content_length=2)  # in flight before
    caller = HM([("host", "h"), ("transfer-encoding", te)])
    with pytest.raises(v.H1UserError) as e:
        c.serialize_request("POST", "/", caller, **kwargs)
    assert e.value.args == ("unexpected_header", "user sent unexpected header")
    assert caller.items() == [("host", b"h"), ("transfer-encoding", te.encode())]
    # The codec is unchanged: the earlier request's two bytes are still owed.
    assert not c.body_is_eof()
    assert c.serialize_data(b"ab") == b"ab" and c.serialize_end() == b""


@pytest.mark.parametrize("kwargs", [{"chunked": True}, {"content_length": 3}])
def test_transfer_encoding_the_framing_applies_is_kept(kwargs):
    c = v.H1Codec()
    head = c.serialize_request("POST", "/", HM([("host", "h"), ("transfer-encoding", "gzip")]),
                               **kwargs)
    assert b"transfer-encoding: gzip, chunked\r\n" in head
    assert c.serialize_data(b"abc") == b"3\r\nabc\r\n"
    assert c.serialize_end() == b"0\r\n\r\n"
