"""The HTTP/2 frame layer (RFC 9113 sections 4 and 6): decoding against frames serialized by
`hyperframe`, our serializers parsed by `hyperframe`, and the connection and stream errors."""
import struct

import hpack
import pytest
from hyperframe import frame as hf

from h2util import MODES, feed, frame, headers_frame, v

PROTO = v.H2ProtocolError


def parse_all(data):
    """Parses a byte string of frames with hyperframe."""
    out = []
    while data:
        f, length = hf.Frame.parse_frame_header(memoryview(data[:9]))
        f.parse_body(memoryview(data[9 : 9 + length]))
        out.append(f)
        data = data[9 + length :]
    return out


def load_error(name, reason=1):
    return (reason, "failed to load frame: " + name)


# ---- hyperframe serializes, we decode ------------------------------------------------------


def hf_frames():
    d = hf.DataFrame(1, data=b"hello", flags=["END_STREAM"])
    dp = hf.DataFrame(3, data=b"abc", flags=["PADDED"])
    dp.pad_length = 7
    s = hf.SettingsFrame(0, settings={1: 100, 2: 0, 3: 10, 4: 1000, 5: 32768, 6: 9999, 99: 5})
    sa = hf.SettingsFrame(0, flags=["ACK"])
    p = hf.PingFrame(0, opaque_data=b"abcdefgh")
    pa = hf.PingFrame(0, opaque_data=b"12345678", flags=["ACK"])
    g = hf.GoAwayFrame(0, last_stream_id=7, error_code=2, additional_data=b"debug")
    g0 = hf.GoAwayFrame(0, last_stream_id=0, error_code=0)
    w = hf.WindowUpdateFrame(5, window_increment=2**31 - 1)
    r = hf.RstStreamFrame(9, error_code=8)
    pr = hf.PriorityFrame(11, depends_on=1, stream_weight=16)
    return [d, dp, s, sa, p, pa, g, g0, w, r, pr]


def check_same(ours, theirs):
    if isinstance(theirs, hf.DataFrame):
        assert isinstance(ours, v.H2FrameData)
        assert (ours.stream_id, ours.data, ours.end_stream) == (
            theirs.stream_id, theirs.data, "END_STREAM" in theirs.flags)
        assert ours.flow_controlled_len == theirs.flow_controlled_length
        assert ours.padding == ours.flow_controlled_len - len(ours.data)
    elif isinstance(theirs, hf.SettingsFrame):
        assert isinstance(ours, v.H2FrameSettings)
        assert ours.ack == ("ACK" in theirs.flags)
        st = theirs.settings
        assert ours.header_table_size == st.get(1)
        assert ours.enable_push == (None if 2 not in st else bool(st[2]))
        assert ours.max_concurrent_streams == st.get(3)
        assert ours.initial_window_size == st.get(4)
        assert ours.max_frame_size == st.get(5)
        assert ours.max_header_list_size == st.get(6)
    elif isinstance(theirs, hf.PingFrame):
        assert isinstance(ours, v.H2FramePing)
        assert (ours.ack, ours.data) == ("ACK" in theirs.flags, theirs.opaque_data)
    elif isinstance(theirs, hf.GoAwayFrame):
        assert isinstance(ours, v.H2FrameGoAway)
        assert (ours.last_stream_id, ours.error_code, ours.debug_data) == (
            theirs.last_stream_id, theirs.error_code, theirs.additional_data)
    elif isinstance(theirs, hf.WindowUpdateFrame):
        assert isinstance(ours, v.H2FrameWindowUpdate)
        assert (ours.stream_id, ours.increment) == (theirs.stream_id, theirs.window_increment)
    elif isinstance(theirs, hf.RstStreamFrame):
        assert isinstance(ours, v.H2FrameRstStream)
        assert (ours.stream_id, ours.error_code) == (theirs.stream_id, theirs.error_code)
    elif isinstance(theirs, hf.PriorityFrame):
        assert isinstance(ours, v.H2FramePriority)
        assert ours.stream_id == theirs.stream_id
    else:
        raise AssertionError(theirs)


@pytest.mark.parametrize("mode", MODES)
def test_hyperframe_frames_decode_to_same_fields(mode):
    theirs = hf_frames()
    codec = v.H2Codec()
    ours = feed(codec, b"".join(f.serialize() for f in theirs), mode)
    assert len(ours) == len(theirs)
    for a, b in zip(ours, theirs):
        check_same(a, b)


@pytest.mark.parametrize("mode", MODES)
def test_hyperframe_headers_with_padding_priority_and_continuation(mode):
    enc = hpack.Encoder()
    fields = [(b":status", b"200"), (b"content-length", b"12"), (b"x-y", b"z" * 100)]
    block = enc.encode(fields)
    h = hf.HeadersFrame(3, data=block[:10], flags=["PADDED", "PRIORITY", "END_STREAM"])
    h.pad_length = 5
    h.depends_on, h.stream_weight = 1, 200
    c1 = hf.ContinuationFrame(3, data=block[10:20])
    c2 = hf.ContinuationFrame(3, data=block[20:], flags=["END_HEADERS"])
    codec = v.H2Codec()
    (f,) = feed(codec, h.serialize() + c1.serialize() + c2.serialize(), mode)
    assert isinstance(f, v.H2FrameHeaders)
    assert (f.stream_id, f.end_stream, f.end_headers, f.status) == (3, True, True, 200)
    assert f.content_length == 12 and not f.content_length_invalid and not f.is_informational
    assert f.headers.items() == [("content-length", b"12"), ("x-y", b"z" * 100)]


def test_unknown_frame_type_between_frames_is_dropped():
    codec = v.H2Codec()
    data = hf.PingFrame(0, opaque_data=b"a" * 8).serialize() + frame(0xEE, 0xFF, 3, b"junk") + \
        hf.RstStreamFrame(1, error_code=3).serialize()
    a, b = codec.receive(data)
    assert isinstance(a, v.H2FramePing) and isinstance(b, v.H2FrameRstStream)


# ---- we serialize, hyperframe parses -------------------------------------------------------


def test_our_serializers_parse_with_hyperframe():
    c = v.H2Codec()
    data = [
        c.serialize_settings(header_table_size=1, enable_push=False, max_concurrent_streams=3,
                             initial_window_size=2**31 - 1, max_frame_size=16777215,
                             max_header_list_size=6),
        c.serialize_settings(),
        c.serialize_settings_ack(),
        c.serialize_data(1, b"payload", end_stream=True),
        c.serialize_data(3, b""),
        c.serialize_window_update(0, 1),
        c.serialize_ping(b"ABCDEFGH"),
        c.serialize_ping_ack(b"ABCDEFGH"),
        c.serialize_go_away(9, 11, b"calm down"),
        c.serialize_go_away(2**31 - 1, 0),
        c.serialize_rst_stream(5, 7),
    ]
    f = [parse_all(d)[0] for d in data]
    assert f[0].settings == {1: 1, 2: 0, 3: 3, 4: 2**31 - 1, 5: 16777215, 6: 6}
    assert list(f[0].settings) == [1, 2, 3, 4, 5, 6]
    assert f[1].settings == {} and f[1].flags == set() and len(data[1]) == 9
    assert f[2].flags == {"ACK"} and data[2] == b"\x00\x00\x00\x04\x01\x00\x00\x00\x00"
    assert (f[3].stream_id, f[3].data, f[3].flags) == (1, b"payload", {"END_STREAM"})
    assert (f[4].stream_id, f[4].data, f[4].flags) == (3, b"", set())
    assert (f[5].stream_id, f[5].window_increment) == (0, 1)
    assert (f[6].opaque_data, f[6].flags) == (b"ABCDEFGH", set())
    assert (f[7].opaque_data, f[7].flags) == (b"ABCDEFGH", {"ACK"})
    assert (f[8].last_stream_id, f[8].error_code, f[8].additional_data) == (9, 11, b"calm down")
    assert (f[9].last_stream_id, f[9].additional_data) == (2**31 - 1, b"")
    assert (f[10].stream_id, f[10].error_code) == (5, 7)


@pytest.mark.parametrize("frame_size", [16384, 20000])
def test_large_header_block_splits_into_continuations(frame_size):
    c = v.H2Codec(role="server")
    c.set_send_max_frame_size(frame_size)
    hm = v.HeaderMap([("x-big-%d" % i, "v%d" % i * 2000) for i in range(30)])
    data = c.serialize_response_headers(1, 200, hm, end_stream=True)
    frames = parse_all(data)
    assert len(frames) > 1
    assert isinstance(frames[0], hf.HeadersFrame) and frames[0].flags == {"END_STREAM"}
    assert all(isinstance(f, hf.ContinuationFrame) for f in frames[1:])
    assert [("END_HEADERS" in f.flags) for f in frames] == [False] * (len(frames) - 1) + [True]
    assert all(len(f.data) <= frame_size for f in frames)
    block = b"".join(f.data for f in frames)
    got = hpack.Decoder(max_header_list_size=2**24).decode(block, raw=True)
    assert got == [(b":status", b"200")] + [(k.encode(), val) for k, val in hm.items()]
    # ...and our own decoder reads it back.
    dec = v.H2Codec()
    dec.set_max_recv_frame_size(frame_size)
    (f,) = dec.receive(data)
    assert f.headers == hm and f.end_stream


def test_response_and_trailer_blocks_parse_with_hpack():
    c = v.H2Codec(role="server")
    dec = hpack.Decoder()
    data = c.serialize_response_headers(1, 404, v.HeaderMap({"server": "x"}), auto_date=True)
    (h,) = parse_all(data)
    got = dec.decode(h.data, raw=True)
    assert got[:2] == [(b":status", b"404"), (b"server", b"x")]
    assert got[2][0] == b"date" and got[2][1].endswith(b" GMT") and len(got[2][1]) == 29
    data = c.serialize_trailers(1, v.HeaderMap({"grpc-status": "0"}))
    (t,) = parse_all(data)
    assert t.flags == {"END_STREAM", "END_HEADERS"}
    assert dec.decode(t.data, raw=True) == [(b"grpc-status", b"0")]


# ---- connection and stream errors ----------------------------------------------------------

SETTINGS = 4


@pytest.mark.parametrize(
    "data, args",
    [
        (frame(0, 0, 0, b"x"), load_error("InvalidStreamId")),
        (frame(0, 8, 1, b""), load_error("TooMuchPadding", 6)),
        (frame(0, 8, 1, b"\x01"), load_error("TooMuchPadding")),
        (frame(1, 4, 0, b"\x82"), load_error("InvalidStreamId")),
        (frame(1, 0x0C, 1, b""), load_error("MalformedMessage", 6)),
        (frame(1, 0x24, 1, b"\x00\x00\x00"), load_error("MalformedMessage", 6)),
        (frame(1, 0x0C, 1, b"\x05\x82"), load_error("TooMuchPadding")),
        (frame(2, 0, 0, b"\x00" * 5), (1, "PRIORITY frame with stream ID 0")),
        (frame(3, 0, 1, b"\x00" * 5), load_error("InvalidPayloadLength", 6)),
        (frame(SETTINGS, 0, 1, b""), load_error("InvalidStreamId")),
        (frame(SETTINGS, 1, 0, b"\x00" * 6), load_error("InvalidPayloadLength", 6)),
        (frame(SETTINGS, 0, 0, b"\x00" * 7), load_error("InvalidPayloadAckSettings", 6)),
        (frame(SETTINGS, 0, 0, b"\x00\x02\x00\x00\x00\x02"), load_error("InvalidSettingValue")),
        (frame(SETTINGS, 0, 0, b"\x00\x04\x80\x00\x00\x00"), load_error("InvalidSettingValue", 3)),
        (frame(SETTINGS, 0, 0, b"\x00\x05\x00\x00\x3f\xff"), load_error("InvalidSettingValue")),
        (frame(SETTINGS, 0, 0, b"\x00\x05\x01\x00\x00\x00"), load_error("InvalidSettingValue")),
        (frame(SETTINGS, 0, 0, b"\x00\x08\x00\x00\x00\x02"), load_error("InvalidSettingValue")),
        (frame(5, 4, 1, b"\x00\x00\x00\x02"), (1, "PUSH_PROMISE received but server push is disabled")),
        (frame(6, 0, 1, b"\x00" * 8), load_error("InvalidStreamId")),
        (frame(6, 0, 0, b"\x00" * 7), load_error("BadFrameSize", 6)),
        (frame(7, 0, 0, b"\x00" * 7), load_error("BadFrameSize", 6)),
        (frame(8, 0, 0, b"\x00" * 3), load_error("BadFrameSize", 6)),
        (frame(8, 0, 3, b"\x80\x00\x00\x00"), load_error("InvalidWindowUpdateValue")),
        (frame(9, 4, 1, b""), (1, "received unexpected CONTINUATION frame")),
        (frame(9, 4, 0, b""), (1, "received unexpected CONTINUATION frame")),
        (frame(1, 0, 1, b"\x82") + frame(9, 4, 0, b""),
         (1, "CONTINUATION frame stream ID does not match previous frame stream ID")),
        (frame(2, 0, 0, b"\x00" * 4), (1, "PRIORITY frame with stream ID 0")),
        (frame(1, 0, 1, b"\x82") + frame(0, 0, 1, b""), (1, "expected CONTINUATION frame")),
        (frame(1, 0, 1, b"\x82") + frame(9, 4, 3, b""),
         (1, "CONTINUATION frame stream ID does not match previous frame stream ID")),
    ],
)
def test_connection_errors(data, args):
    for mode in ("whole", "bytewise"):
        with pytest.raises(PROTO) as e:
            feed(v.H2Codec(role="server"), data, mode)
        assert e.value.args == args


def test_frame_size_is_checked_on_the_header_alone():
    codec = v.H2Codec()
    with pytest.raises(PROTO) as e:
        codec.receive(b"\x00\x40\x01\x00\x00\x00\x00\x00\x01")
    assert e.value.args == (6, "frame length exceeds SETTINGS_MAX_FRAME_SIZE")
    codec = v.H2Codec()
    codec.set_max_recv_frame_size(16385)
    assert codec.receive(b"\x00\x40\x01\x00\x00\x00\x00\x00\x01") == []
    assert codec.buffered() == 9


@pytest.mark.parametrize("value, ok", [(16383, False), (16384, True), (16777215, True), (16777216, False)])
def test_settings_max_frame_size_bounds(value, ok):
    data = frame(SETTINGS, 0, 0, struct.pack(">HI", 5, value))
    if ok:
        (f,) = v.H2Codec().receive(data)
        assert f.max_frame_size == value
    else:
        with pytest.raises(PROTO):
            v.H2Codec().receive(data)


def test_later_setting_replaces_earlier_and_extended_connect_is_not_reported():
    data = frame(SETTINGS, 0, 0, struct.pack(">HIHIHI", 3, 10, 3, 20, 8, 1))
    (f,) = v.H2Codec().receive(data)
    assert f.max_concurrent_streams == 20 and f.header_table_size is None


def test_padded_data_edge():
    (f,) = v.H2Codec().receive(frame(0, 8, 1, b"\x00"))
    assert (f.data, f.flow_controlled_len, f.padding) == (b"", 1, 1)


def test_split_frame_is_returned_by_the_completing_call():
    codec = v.H2Codec()
    data = frame(0, 1, 1, b"0123456789")
    assert codec.receive(data[:5]) == [] and codec.buffered() == 5
    assert codec.receive(data[5:12]) == [] and codec.buffered() == 12
    (f,) = codec.receive(data[12:] + data[:3])
    assert f.data == b"0123456789" and f.end_stream and codec.buffered() == 3


def test_self_dependency_is_a_stream_error_and_decoding_goes_on():
    enc = hpack.Encoder()
    block = enc.encode([(b":status", b"200"), (b"x-a", b"1")])
    prio = struct.pack(">IB", 1, 10)
    data = frame(1, 0x24, 1, prio + block) + frame(2, 0, 3, struct.pack(">IB", 3, 1)) + \
        headers_frame(5, enc.encode([(b":status", b"204"), (b"x-a", b"1")]))
    a, b, c = v.H2Codec().receive(data)
    assert isinstance(a, v.H2FrameStreamError) and (a.stream_id, a.error_code) == (1, 1)
    assert isinstance(b, v.H2FrameStreamError) and (b.stream_id, b.error_code) == (3, 1)
    # The refused block went through HPACK, so the next one (which references it) decodes.
    assert c.status == 204 and c.headers["x-a"] == b"1"


@pytest.mark.parametrize("payload, code", [
    (struct.pack(">IB", 3, 1), 1),  # depends on itself
    (b"\x00" * 4, 6),  # RFC 9113 section 6.3: a wrong length is FRAME_SIZE_ERROR on the stream
    (b"\x00" * 6, 6),
])
def test_priority_faults_are_stream_errors(payload, code):
    enc = hpack.Encoder()
    data = frame(2, 0, 3, payload) + headers_frame(5, enc.encode([(b":status", b"204")]))
    for mode in MODES:
        a, b = feed(v.H2Codec(), data, mode)
        assert isinstance(a, v.H2FrameStreamError) and (a.stream_id, a.error_code) == (3, code)
        assert b.status == 204


@pytest.mark.parametrize(
    "fields, role",
    [
        ([(b":status", b"200"), (b"connection", b"close")], "client"),
        ([(b":status", b"200"), (b"te", b"gzip")], "client"),
        ([(b":status", b"200"), (b"X-Upper", b"1")], "client"),
        ([(b":status", b"200"), (b"x", b" lead")], "client"),
        ([(b"x", b"1"), (b":status", b"200")], "client"),
        ([(b":status", b"200"), (b":status", b"200")], "client"),
        ([(b":method", b"GET"), (b":path", b"/")], "server"),
        ([(b":method", b"GET"), (b":scheme", b"http"), (b":path", b"")], "server"),
        ([(b":method", b"CONNECT"), (b":scheme", b"http"), (b":authority", b"a:1"), (b":path", b"/")], "server"),
        ([(b":method", b"GET"), (b":scheme", b"http"), (b":path", b"/"), (b":protocol", b"ws")], "server"),
        ([(b":status", b"200")], "server"),
        ([(b":method", b"GET"), (b":scheme", b"http"), (b":path", b"/")], "client"),
        # RFC 9113 section 8.3: decoded, but not a valid message; not a compression error
        ([(b":method", b"GET"), (b":scheme", b"http"), (b":path", b"/"), (b":foo", b"1")], "server"),
        ([(b":method", b"GET"), (b":scheme", b"http"), (b":path", b"/\xff")], "server"),
        ([(b":method", b"GET"), (b":scheme", b"http"), (b":path", b"/"), (b":", b"a")], "server"),
        ([(b":status", b"2x0")], "client"),
        ([(b":status", b"ok")], "client"),
        ([(b":status", b"200"), (b":bar", b"1")], "client"),
    ],
)
def test_malformed_blocks_are_stream_errors(fields, role):
    enc = hpack.Encoder()
    codec = v.H2Codec(role=role)
    (f,) = codec.receive(headers_frame(1, enc.encode(fields)))
    assert isinstance(f, v.H2FrameStreamError) and f.error_code == 1
    # The connection goes on, with the table in step.
    ok = [(b":status", b"200")] if role == "client" else [
        (b":method", b"GET"), (b":scheme", b"http"), (b":path", b"/"), (b":authority", b"h")]
    (g,) = codec.receive(headers_frame(3, enc.encode(ok + fields[1:2] * 0)))
    assert isinstance(g, v.H2FrameHeaders)


def test_extended_connect_and_plain_connect_are_accepted():
    enc = hpack.Encoder()
    codec = v.H2Codec(role="server")
    (a,) = codec.receive(headers_frame(1, enc.encode([(b":method", b"CONNECT"), (b":authority", b"h:443")])))
    (b,) = codec.receive(headers_frame(3, enc.encode([
        (b":method", b"CONNECT"), (b":protocol", b"websocket"), (b":scheme", b"https"),
        (b":path", b"/chat"), (b":authority", b"h")])))
    assert (a.method, a.authority, a.path) == ("CONNECT", "h:443", None)
    assert (b.method, b.path) == ("CONNECT", "/chat")


def test_content_length_attributes():
    enc = hpack.Encoder()
    codec = v.H2Codec()
    (a,) = codec.receive(headers_frame(1, enc.encode([(b":status", b"101"), (b"content-length", b"x1")])))
    assert a.content_length is None and a.content_length_invalid and a.is_informational
    (b,) = codec.receive(headers_frame(3, enc.encode([(b":status", b"200"), (b"content-length", b"7"),
                                                      (b"content-length", b"8")])))
    assert b.content_length == 7 and b.content_length_invalid  # two values that disagree
    (c,) = codec.receive(headers_frame(5, enc.encode([(b":status", b"200"), (b"content-length", b"7"),
                                                      (b"content-length", b"7")])))
    assert c.content_length == 7 and not c.content_length_invalid  # RFC 9110 section 8.6


def test_too_many_continuations():
    codec = v.H2Codec(role="server")
    data = frame(1, 0, 1, b"") + frame(9, 0, 1, b"") * 1280
    assert codec.receive(data) == []
    with pytest.raises(PROTO) as e:
        codec.receive(frame(9, 0, 1, b""))
    assert e.value.args == (11, "too_many_continuations")


def test_continuation_limit_follows_the_limits():
    codec = v.H2Codec(role="server")
    codec.set_max_header_list_size(100)  # m = max(1, 100 // 16384) = 1: limit max(5, 1) = 5
    assert codec.receive(frame(1, 0, 1, b"") + frame(9, 0, 1, b"") * 5) == []
    with pytest.raises(PROTO):
        codec.receive(frame(9, 0, 1, b""))


def test_continuation_over_ignorable_limit():
    codec = v.H2Codec(role="server")
    codec.set_max_header_list_size(200)
    block = hpack.Encoder().encode([(b":method", b"GET"), (b"x", b"y" * 300)], huffman=False)
    assert codec.receive(frame(1, 0, 1, block)) == []
    with pytest.raises(PROTO) as e:
        codec.receive(frame(9, 0, 1, b"\x82" * 10))
    assert e.value.args == (9, "CONTINUATION frame header block size over ignorable limit")


def test_events_of_a_failing_call_are_discarded():
    codec = v.H2Codec()
    with pytest.raises(PROTO):
        codec.receive(frame(6, 0, 0, b"a" * 8) + frame(8, 0, 0, b"\x00" * 4))


# ---- the preface ----------------------------------------------------------------------------


def test_match_preface():
    p = v.H2_PREFACE
    assert v.H2Codec.match_preface(p[:10]) is None
    assert v.H2Codec.match_preface(b"GET / HTTP/1.1\r\n") is False
    assert v.H2Codec.match_preface(p + v.H2Codec().serialize_settings()) is True
    assert v.H2Codec.match_preface(b"") is None


def test_feed_preface_keeps_what_follows():
    codec = v.H2Codec(role="server")
    p = v.H2_PREFACE
    settings = v.H2Codec().serialize_settings(max_concurrent_streams=5)
    assert codec.feed_preface(p[:7]) is None
    assert codec.feed_preface(p[7:] + settings[:4]) is True
    assert codec.buffered() == 4
    (f,) = codec.receive(settings[4:])
    assert f.max_concurrent_streams == 5
    assert v.H2Codec().feed_preface(b"PRI * HTTP/1.1") is False


# ---- the stream-id rule of every frame type (RFC 9113 section 6) ---------------------------

OK_PAYLOAD = {0: b"x", 1: b"\x82\x86\x84\x41\x01a", 2: b"\x00\x00\x00\x00\x10", 3: b"\x00\x00\x00\x08",
              4: b"", 6: b"p" * 8, 7: b"\x00" * 8, 8: b"\x00\x00\x00\x01"}
# Which stream ids each type may carry: "zero" only 0, "stream" only non-zero, "any" both.
STREAM_RULE = {0: "stream", 1: "stream", 2: "stream", 3: "stream", 4: "zero", 6: "zero",
               7: "zero", 8: "any"}


@pytest.mark.parametrize("ftype", sorted(STREAM_RULE))
@pytest.mark.parametrize("stream_id", [0, 1, 2**31 - 1])
def test_stream_id_rules(ftype, stream_id):
    rule = STREAM_RULE[ftype]
    allowed = rule == "any" or (rule == "zero") == (stream_id == 0)
    flags = 4 if ftype == 1 else 0
    data = frame(ftype, flags, stream_id, OK_PAYLOAD[ftype])
    codec = v.H2Codec(role="server")
    if allowed:
        (f,) = codec.receive(data)
        assert not isinstance(f, v.H2FrameStreamError)
    else:
        with pytest.raises(PROTO) as e:
            codec.receive(data)
        assert e.value.args[0] == 1  # PROTOCOL_ERROR


def test_goaway_on_a_stream_and_rst_stream_on_zero():
    for data in (frame(7, 0, 1, b"\x00" * 8), frame(7, 0, 3, b"\x00" * 12),
                 frame(3, 0, 0, b"\x00\x00\x00\x08")):
        for mode in ("whole", "bytewise"):
            with pytest.raises(PROTO) as e:
                feed(v.H2Codec(), data, mode)
            assert e.value.args == load_error("InvalidStreamId")
