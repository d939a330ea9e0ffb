"""H2Codec's Python surface (arguments, setters, serializer checks) and H2Reason."""
import hpack
import pytest

from h2util import v


def test_roles():
    assert v.H2Codec().role_client is True
    assert v.H2Codec(role="server").role_client is False
    with pytest.raises(ValueError, match="role must be 'client' or 'server', got peer"):
        v.H2Codec(role="peer")


def test_final_classes_and_no_direct_construction():
    with pytest.raises(TypeError):
        type("X", (v.H2Codec,), {})
    for cls in (v.H2FrameData, v.H2FrameHeaders, v.H2FrameSettings, v.H2FrameStreamError):
        with pytest.raises(TypeError):
            cls()


@pytest.mark.parametrize("value, ok", [(16383, False), (16384, True), (16777215, True), (16777216, False)])
def test_set_max_recv_frame_size(value, ok):
    c = v.H2Codec()
    if ok:
        c.set_max_recv_frame_size(value)
    else:
        with pytest.raises(ValueError, match=r"max_frame_size must be in \[16384, 16777215\], got %d" % value):
            c.set_max_recv_frame_size(value)


def test_serialize_settings_checks():
    c = v.H2Codec()
    assert c.serialize_settings() == b"\x00\x00\x00\x04\x00\x00\x00\x00\x00"
    with pytest.raises(ValueError, match=r"initial_window_size must be <= 2147483647, got 2147483648"):
        c.serialize_settings(initial_window_size=2**31)
    with pytest.raises(ValueError, match="max_frame_size"):
        c.serialize_settings(max_frame_size=100)
    with pytest.raises(TypeError):
        c.serialize_settings(4096)
    with pytest.raises(OverflowError):
        c.serialize_settings(header_table_size=-1)


def test_ping_payload_size():
    with pytest.raises(ValueError, match="ping payload must be exactly 8 bytes"):
        v.H2Codec().serialize_ping(b"1234567")
    with pytest.raises(ValueError, match="ping payload must be exactly 8 bytes"):
        v.H2Codec().serialize_ping_ack(b"123456789")


def test_data_payload_too_big():
    c = v.H2Codec()
    with pytest.raises(v.H2UserError) as e:
        c.serialize_data(1, b"x" * 16385)
    assert e.value.args == ("payload_too_big", "DATA payload 16385 exceeds SETTINGS_MAX_FRAME_SIZE 16384")
    c.set_send_max_frame_size(16385)
    assert len(c.serialize_data(1, b"x" * 16385)) == 16394


def test_stream_id_above_31_bits_is_refused():
    c = v.H2Codec()
    for call in (lambda: c.serialize_data(2**31, b""), lambda: c.serialize_rst_stream(2**31, 0),
                 lambda: c.serialize_window_update(2**31, 1),
                 lambda: c.serialize_response_headers(2**31, 200)):
        with pytest.raises(ValueError):
            call()


def test_stream_id_and_flag_arguments_follow_the_boundary_rules():
    c = v.H2Codec()
    # Past 31 bits: ValueError naming the argument; past 32 bits: the interpreter's OverflowError.
    with pytest.raises(ValueError, match=r"^stream_id must be <= 2147483647, got 2147483648$"):
        c.serialize_rst_stream(2**31, 0)
    with pytest.raises(ValueError, match=r"^last_stream_id must be <= 2147483647, got 4294967295$"):
        c.serialize_go_away(2**32 - 1, 0)
    with pytest.raises(OverflowError):
        c.serialize_data(2**32, b"")
    with pytest.raises(OverflowError):
        c.serialize_data(-1, b"")
    # A bool argument takes a bool only: None is a wrong type, as everywhere else.
    for call in (lambda: c.serialize_data(1, b"", None),
                 lambda: c.serialize_response_headers(1, 200, None, None),
                 lambda: c.serialize_response_headers(1, 200, auto_date=None),
                 lambda: c.serialize_request_headers(1, "GET", "https://a/", None, None)):
        with pytest.raises(TypeError):
            call()
    assert c.serialize_data(1, b"x") == b"\x00\x00\x01\x00\x00\x00\x00\x00\x01x"
    assert c.serialize_data(1, b"x", True) == b"\x00\x00\x01\x00\x01\x00\x00\x00\x01x"


@pytest.mark.parametrize(
    "fields, ok",
    [
        ([("te", "trailers")], True),
        ([("te", "gzip")], False),
        ([("connection", "close")], False),
        ([("keep-alive", "1")], False),
        ([("proxy-connection", "x")], False),
        ([("transfer-encoding", "chunked")], False),
        ([("upgrade", "h2c")], False),
        ([("x-ok", "1")], True),
    ],
)
def test_check_send_headers(fields, ok):
    hm = v.HeaderMap(fields)
    if ok:
        assert v.H2Codec.check_send_headers(hm) is None
    else:
        with pytest.raises(v.H2UserError) as e:
            v.H2Codec.check_send_headers(hm)
        assert e.value.args == ("malformed_headers", "malformed headers")
        with pytest.raises(v.H2UserError):
            v.H2Codec().serialize_response_headers(1, 200, hm)


def test_static_helpers():
    assert v.H2Codec.method_is_head("HEAD") and not v.H2Codec.method_is_head("head")
    assert not v.H2Codec.method_is_head("GET")
    assert v.H2Codec.is_client_initiated(1) is True
    assert v.H2Codec.is_client_initiated(2) is False and v.H2Codec.is_client_initiated(0) is False


def test_response_status_range():
    c = v.H2Codec(role="server")
    for status in (99, 1000):
        with pytest.raises(ValueError):
            c.serialize_response_headers(1, status)
    assert hpack.Decoder().decode(c.serialize_response_headers(1, 999)[9:]) == [(":status", "999")]


@pytest.mark.parametrize(
    "target, kwargs, expected",
    [
        ("https://a.example:8443/x?y=1", {}, [("https", "a.example:8443", "/x?y=1")]),
        ("http://b.example", {}, [("http", "b.example", "/")]),
        ("/p", {"authority": "c.example"}, [("https", "c.example", "/p")]),
        ("/p", {"authority": "c.example", "scheme": "http"}, [("http", "c.example", "/p")]),
        ("*", {"authority": "c.example"}, [("https", "c.example", "*")]),
    ],
)
def test_request_pseudo_fields(target, kwargs, expected):
    c = v.H2Codec()
    data = c.serialize_request_headers(1, "OPTIONS" if target == "*" else "GET", target, **kwargs)
    got = hpack.Decoder().decode(data[9:])
    (scheme, authority, path), = expected
    assert got[1:] == [(":scheme", scheme), (":authority", authority), (":path", path)]


def test_request_bare_path_without_authority():
    with pytest.raises(v.H2UserError) as e:
        v.H2Codec().serialize_request_headers(1, "GET", "/x")
    assert e.value.args[0] == "missing_uri_scheme_and_authority"
    assert e.value.args[1].startswith("request target is a bare path but the connection has no authority")


@pytest.mark.parametrize("bad", ["\r\nx-injected: 1", "\n", "\r", "\x00"])
@pytest.mark.parametrize(
    "method, target, kwargs, where",
    [
        ("GET", "/", {"authority": "a.example{}"}, "authority"),
        ("GET", "https://a.example/", {"authority": "a.example{}"}, "authority"),
        ("GET", "/", {"authority": "a.example", "scheme": "https{}"}, "scheme"),
        ("GET", "/x{}", {"authority": "a.example"}, "request target"),
        ("GET", "https://a.example/x{}", {}, "request target"),
        ("CONNECT", "proxy.example:443{}", {}, "request target"),
        ("GE{}T", "/", {"authority": "a.example"}, "method"),
    ],
)
def test_request_fields_refuse_cr_lf_nul(bad, method, target, kwargs, where):
    # RFC 9113 section 8.2.1: no field value carries CR, LF or NUL; the HTTP/1 serializer
    # refuses the same text, also with ValueError.
    c = v.H2Codec()
    kwargs = {k: val.format(bad) for k, val in kwargs.items()}
    with pytest.raises(ValueError) as e:
        c.serialize_request_headers(1, method.format(bad), target.format(bad), **kwargs)
    assert where in str(e.value)
    # Nothing reached the encoder: the next block still decodes against a fresh peer table.
    data = c.serialize_request_headers(3, "GET", "/ok", authority="a.example")
    assert hpack.Decoder().decode(data[9:])[1:] == [
        (":scheme", "https"), (":authority", "a.example"), (":path", "/ok")]
    with pytest.raises(ValueError):
        v.H1Codec().serialize_request("GET", "/x" + bad, v.HeaderMap([("host", "h")]))


def test_connect_request_has_only_method_and_authority():
    data = v.H2Codec().serialize_request_headers(1, "CONNECT", "proxy.example:443")
    assert hpack.Decoder().decode(data[9:]) == [(":method", "CONNECT"), (":authority", "proxy.example:443")]


def test_header_table_size_change_is_announced():
    c = v.H2Codec()
    dec = hpack.Decoder()
    hm = v.HeaderMap([("x-a", "1")])
    dec.decode(c.serialize_request_headers(1, "GET", "https://h/", hm)[9:])
    c.set_send_header_table_size(0)
    c.set_send_header_table_size(1024)
    data = c.serialize_request_headers(3, "GET", "https://h/", hm)
    assert data[9] & 0xE0 == 0x20  # a size update opens the block
    assert dec.decode(data[9:]) == [(":method", "GET"), (":scheme", "https"), (":authority", "h"),
                                    (":path", "/"), ("x-a", "1")]
    assert dec.header_table.maxsize == 1024


def test_encoder_table_is_capped_at_64_kib_whatever_the_setting():
    # A peer allowing a 4 GiB table must not make the connection keep 4 GiB of sent fields.
    c = v.H2Codec()
    c.set_send_header_table_size(2**32 - 1)
    dec = hpack.Decoder()
    dec.max_allowed_table_size = 2**32 - 1
    for i in range(10):  # 12 KiB of new fields a block, one HEADERS frame each
        hm = v.HeaderMap([("x-big-%d-%d" % (i, k), "v" * 1000) for k in range(12)])
        data = c.serialize_request_headers(2 * i + 1, "GET", "https://h/", hm)
        assert dec.decode(data[9:])[4:] == [(k, val.decode()) for k, val in hm.items()]
        if i == 0:
            assert data[9:13] == b"\x3f\xe1\xff\x03"  # size update to 65536
    assert dec.header_table.maxsize == 65536
    held = sum(len(n) + len(val) + 32 for n, val in dec.header_table.dynamic_entries)
    assert 60000 < held <= 65536


def test_frame_reprs():
    c = v.H2Codec()
    s = v.H2Codec(role="server")
    (d,) = c.receive(s.serialize_data(3, b"abc", True))
    assert repr(d) == "Data(stream_id=3, end_stream=True, len=3)"
    (st,) = c.receive(s.serialize_settings(initial_window_size=10))
    assert repr(st) == "Settings(ack=False, max_concurrent_streams=None, initial_window_size=10, max_frame_size=None)"
    (h,) = c.receive(s.serialize_response_headers(1, 200, v.HeaderMap({"a": "b"})))
    assert repr(h).startswith("Headers(stream_id=1, status=200, end_stream=False, fields=")


def test_headers_attribute_is_stable():
    c = v.H2Codec()
    (h,) = c.receive(v.H2Codec(role="server").serialize_response_headers(1, 200, v.HeaderMap({"a": "b"})))
    assert h.headers is h.headers and h.headers["a"] == b"b"


# ---- H2Reason -------------------------------------------------------------------------------

NAMES = ["NO_ERROR", "PROTOCOL_ERROR", "INTERNAL_ERROR", "FLOW_CONTROL_ERROR", "SETTINGS_TIMEOUT",
         "STREAM_CLOSED", "FRAME_SIZE_ERROR", "REFUSED_STREAM", "CANCEL", "COMPRESSION_ERROR",
         "CONNECT_ERROR", "ENHANCE_YOUR_CALM", "INADEQUATE_SECURITY", "HTTP_1_1_REQUIRED"]


@pytest.mark.parametrize("code, name", list(enumerate(NAMES)))
def test_reason_codes(code, name):
    r = v.H2Reason(code)
    assert r == getattr(v.H2Reason, name) and repr(r) == "H2Reason." + name
    assert int(r) == code and not (r != getattr(v.H2Reason, name))
    assert r.name == name and getattr(v, "H2_REASON_" + name) == code


def test_reason_rejects_and_compares():
    with pytest.raises(ValueError, match="14 is not a valid H2Reason"):
        v.H2Reason(14)
    assert v.H2Reason(8) == v.H2Reason.CANCEL and v.H2Reason(8) != v.H2Reason(7)
    with pytest.raises(TypeError):
        v.H2Reason(1) < v.H2Reason(2)
    with pytest.raises(TypeError):
        v.H2Reason.CANCEL = v.H2Reason(1)


def test_frames_after_the_preface_in_feed_preface_are_decoded():
    # Several whole frames handed over with the preface decode on the next receive, alone or
    # with more bytes, instead of staying buffered.
    c = v.H2Codec(role="server")
    ping = c.serialize_ping(b"12345678")
    preface = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"
    assert c.feed_preface(preface + ping + ping + ping[:5]) is True
    frames = c.receive(b"")
    assert [type(f).__name__ for f in frames] == ["H2FramePing", "H2FramePing"]
    assert c.buffered() == 5
    assert len(c.receive(ping[5:] + ping)) == 2
    assert c.buffered() == 0
