"""Attacks from the wire against H2Streams: each sends the real pattern and expects the
documented refusal, with the connection's memory bounded."""

import resource
import struct

import hpack
import pytest

from h2drive import Ours, Peer, frames_of, pump, v
from h2util import frame, headers_frame

pytestmark = pytest.mark.skipif(not hasattr(v, "H2Streams"), reason="H2Streams is not built yet")

DATA, HEADERS, RST, SETTINGS, PING, GOAWAY, WINDOW_UPDATE, CONTINUATION = 0, 1, 3, 4, 6, 7, 8, 9


def request_block(enc=None, extra=()):
    enc = enc or hpack.Encoder()
    return enc.encode([(b":method", b"POST"), (b":scheme", b"https"), (b":authority", b"a"),
                       (b":path", b"/"), *extra])


def rst(sid, code=8):
    return frame(RST, 0, sid, struct.pack(">I", code))


def data(sid, payload=b"", end=False):
    return frame(DATA, 1 if end else 0, sid, payload)


def wu(sid, inc):
    return frame(WINDOW_UPDATE, 0, sid, struct.pack(">I", inc))


def ping(payload=b"12345678"):
    return frame(PING, 0, 0, payload)


def server(**kw):
    """Our server after the handshake with an h2 client; the returned feeder sends raw frames."""
    ours = Ours("server", **kw)
    peer = Peer(client_side=True)
    ours.conn.begin()
    pump(peer, ours)
    return ours, peer


def client(**kw):
    ours = Ours("client", **kw)
    peer = Peer(client_side=False)
    ours.conn.begin()
    pump(ours, peer)
    return ours, peer


def store_size(conn):
    r = repr(conn)
    return int(r.split("streams=")[1].split(",")[0])


def maxrss_kib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def test_rapid_reset_past_the_pending_accept_cap():
    ours, _ = server(auto_accept=False, max_pending_accept_reset_streams=20)
    enc = hpack.Encoder()
    sid = 1
    for i in range(20):
        ours.feed(headers_frame(sid, request_block(enc)) + rst(sid))
        assert ours.error is None, i
        sid += 2
    assert ours.conn.num_streams == 0
    ours.feed(headers_frame(sid, request_block(enc)) + rst(sid))
    assert isinstance(ours.error, v.H2ProtocolError)
    assert ours.error.args == (11, "too_many_resets")
    # Our answer is a GOAWAY carrying ENHANCE_YOUR_CALM.
    goaways = [f for f in frames_of(ours.take()) if f[0] == GOAWAY]
    assert [struct.unpack(">II", f[3][:8]) for f in goaways] == [(sid, 11)]


def test_rapid_reset_of_accepted_streams_keeps_the_store_empty():
    ours, _ = server(auto_accept=True, max_reset_burst=None)
    enc = hpack.Encoder()
    before = maxrss_kib()
    for i in range(3000):
        sid = 2 * i + 1
        ours.feed(headers_frame(sid, request_block(enc)) + rst(sid))
        if i % 100 == 0:
            ours.take()
    assert ours.error is None
    assert ours.conn.num_streams == 0 and store_size(ours.conn) == 0
    assert maxrss_kib() - before < 32 * 1024


def _cancelled_request(enc, sid):
    return headers_frame(sid, request_block(enc), end_stream=True) + rst(sid)


def _request_past_its_length(enc, sid):
    # declares one byte and sends two: the stream error makes us reset it (MadeYouReset)
    return headers_frame(sid, request_block(enc, [(b"content-length", b"1")])) + data(sid, b"ab")


@pytest.mark.parametrize("make", [_cancelled_request, _request_past_its_length])
def test_resets_past_the_burst_end_the_connection(make):
    # The requests are pulled (auto_accept) so the pending-accept cap never applies: the
    # reset budget holds whatever the driver does, and ends the connection with
    # GOAWAY(ENHANCE_YOUR_CALM) carrying the last stream opened.
    ours, _ = server(auto_accept=True, max_reset_burst=30)
    assert ours.conn.max_reset_burst == 30
    enc = hpack.Encoder()
    ours.take()
    sid = 1
    while ours.error is None and sid < 200:
        ours.feed(make(enc, sid))
        sid += 2
    assert ours.error.args == (11, "stream resets above the allowed rate")
    assert 30 * 2 < sid < 40 * 2  # the burst, and the little refilled meanwhile
    goaways = [f for f in frames_of(ours.take()) if f[0] == GOAWAY]
    assert [struct.unpack(">II", f[3][:8]) for f in goaways] == [(sid - 2, 11)]


def test_resets_of_answered_streams_are_not_counted():
    ours, _ = server(auto_accept=True, max_reset_burst=5)
    enc = hpack.Encoder()
    for i in range(20):
        sid = 2 * i + 1
        ours.feed(headers_frame(sid, request_block(enc), end_stream=True))
        ours.conn.send_response_head(sid, 200, None, False)  # a response began: a real cancel
        ours.feed(rst(sid))
        ours.take()
    assert ours.error is None and ours.conn.num_streams == 0


def test_made_you_reset_past_the_local_error_cap():
    # Each request declares content-length 1 and sends two bytes: a stream error we must answer
    # with RST_STREAM. The peer makes us reset; past the cap it is a connection error.
    ours, _ = server(max_local_error_reset_streams=50)
    enc = hpack.Encoder()
    for i in range(50):
        sid = 2 * i + 1
        ours.feed(headers_frame(sid, request_block(enc, [(b"content-length", b"1")]))
                  + data(sid, b"ab"))
        assert ours.error is None, i
        assert ours.stream_errors[-1] == (sid, 1, "library")
    assert ours.conn.local_error_resets == 50
    resets = [f for f in frames_of(ours.take()) if f[0] == RST]
    assert [(f[2], f[3]) for f in resets] == [(2 * i + 1, struct.pack(">I", 1)) for i in range(50)]
    ours.feed(headers_frame(101, request_block(enc, [(b"content-length", b"1")])) + data(101, b"ab"))
    assert isinstance(ours.error, v.H2ProtocolError)
    assert ours.error.args == (11, "too many stream resets")


def test_made_you_reset_through_malformed_headers_counts_too():
    ours, _ = server(max_local_error_reset_streams=3)
    for i in range(4):
        # An uppercase field name is malformed in HTTP/2: a stream error event from the decoder.
        blk = request_block(hpack.Encoder(), [(b"X-Upper", b"1")])
        ours.feed(headers_frame(2 * i + 1, blk, end_stream=True))
    assert isinstance(ours.error, v.H2ProtocolError)
    assert ours.error.args[0] == 11
    assert ours.conn.num_streams == 0


def test_local_error_cap_can_be_disabled():
    ours, _ = server(max_local_error_reset_streams=None, max_reset_burst=None)
    assert ours.conn.max_local_error_reset_streams is None
    for i in range(1100):
        ours.conn.reset_on_error(2 * i + 1, 1)
        if i % 500 == 0:
            ours.take()
    assert ours.conn.local_error_resets == 1100


def test_resets_queued_and_never_written_are_a_flood():
    ours, _ = server(max_local_error_reset_streams=None, max_reset_burst=None)
    ours.take()
    for i in range(1000):
        ours.conn.reset_on_error(2 * i + 1, 1)
    with pytest.raises(v.H2ProtocolError) as ei:
        ours.conn.reset_on_error(2001, 1)
    assert ei.value.args[0] == 11 and "flood" in ei.value.args[1]


def test_continuation_flood():
    ours, _ = server()
    # After our SETTINGS were acknowledged the limit follows from 65536 / 16384: 5 frames.
    ours.feed(frame(HEADERS, 0, 1, request_block()[:3]))
    sent = 0
    while ours.error is None and sent < 2000:
        ours.feed(frame(CONTINUATION, 0, 1, b""))
        sent += 1
    assert isinstance(ours.error, v.H2ProtocolError)
    assert ours.error.args == (11, "too_many_continuations")
    assert sent == 6


def test_continuation_flood_with_a_growing_block_is_bounded():
    ours, _ = server()
    big = b"\x00\x7f" + b"\xff" * 4  # a literal whose length prefix promises a huge name
    ours.feed(frame(HEADERS, 0, 1, big))
    before = maxrss_kib()
    sent = 0
    while ours.error is None and sent < 2000:
        ours.feed(frame(CONTINUATION, 0, 1, b"a" * 16384))
        sent += 1
    assert isinstance(ours.error, v.H2ProtocolError)
    assert ours.error.args[0] in (9, 11)
    assert sent <= 6
    assert maxrss_kib() - before < 32 * 1024


def test_hpack_bomb():
    ours, _ = server()
    enc = hpack.Encoder()
    # One 4000-byte value inserted into the dynamic table, then referenced thousands of times
    # by one-byte indexed fields: a few KiB on the wire, tens of MiB decoded.
    first = enc.encode([(b":method", b"GET"), (b":scheme", b"https"), (b":authority", b"a"),
                        (b":path", b"/"), (b"x-bomb", b"b" * 4000)], huffman=False)
    ours.feed(headers_frame(1, first, end_stream=True))
    assert ours.error is None
    before = maxrss_kib()
    idx = bytes([0x80 | 62])  # the newest dynamic-table entry
    block = b"\x82\x87\x84" + b"\x01\x01a" + idx * 15000
    ours.feed(headers_frame(3, block, end_stream=True))
    assert ours.error is not None or ours.stream_errors, "the bomb was accepted"
    if ours.error is not None:
        assert isinstance(ours.error, v.H2ProtocolError) and ours.error.args[0] in (9, 11)
    assert maxrss_kib() - before < 32 * 1024


def test_empty_data_flood():
    ours, _ = server()
    ours.feed(headers_frame(1, request_block()))
    for i in range(100):
        ours.feed(data(1))
        assert ours.error is None, i
    ours.feed(data(1))
    assert isinstance(ours.error, v.H2ProtocolError)
    assert ours.error.args == (11, "too_many_data_frames")


def test_one_byte_data_flood_unconsumed_is_refused():
    ours, _ = server(auto_release=False, connection_window=1 << 20)
    ours.feed(headers_frame(1, request_block()))
    n = 0
    while ours.error is None and n < 10000:
        ours.feed(data(1, b"x"))
        n += 1
    assert isinstance(ours.error, v.H2ProtocolError)
    assert ours.error.args == (11, "too_many_data_frames")
    # Budget 524288 for a 1 MiB connection window, 255 per frame.
    assert n == 524288 // 255 + 1


def test_one_byte_data_consumed_at_once_is_accepted():
    ours, _ = server(auto_release=True)
    ours.feed(headers_frame(1, request_block()))
    for i in range(5000):
        ours.feed(data(1, b"x"))
        if i % 500 == 0:
            ours.take()
    assert ours.error is None
    assert bytes(ours.handles[1].body) == b"x" * 5000
    assert ours.conn.data_frame_budget_available == 32767


@pytest.mark.parametrize("kind", ["ping", "settings"])
def test_control_frame_flood_with_a_peer_that_never_reads(kind):
    ours, _ = server()
    ours.take()
    one = ping() if kind == "ping" else frame(SETTINGS, 0, 0, b"")
    for i in range(1000):
        ours.feed(one)
        assert ours.error is None, i
    pending_before = ours.conn.has_pending()
    ours.feed(one)
    assert pending_before
    assert isinstance(ours.error, v.H2ProtocolError)
    assert ours.error.args[0] == 11
    assert kind in ours.error.args[1].lower() and "flood" in ours.error.args[1].lower()


@pytest.mark.parametrize("kind", ["ping", "settings"])
def test_control_frames_taken_in_time_are_not_a_flood(kind):
    ours, _ = server()
    one = ping() if kind == "ping" else frame(SETTINGS, 0, 0, b"")
    for _ in range(5):
        ours.feed(one * 999)
        out = ours.take()
        assert len(out) >= 999 * 9
    assert ours.error is None


def test_window_update_overflow_on_the_connection():
    ours, _ = server()
    ours.feed(wu(0, 2**31 - 1))
    assert isinstance(ours.error, v.H2FlowControlError)
    assert ours.error.args == (3,)


def test_window_update_overflow_on_a_stream_is_a_stream_error():
    ours, _ = server()
    ours.feed(headers_frame(1, request_block()))
    ours.feed(wu(1, 2**31 - 1))
    assert ours.error is None
    assert ours.stream_errors == [(1, 3, "library")]
    out = ours.take()
    assert frame(RST, 0, 1, struct.pack(">I", 3)) in out
    assert not ours.conn.has_stream(1) or ours.conn.stream_state(1).startswith("Closed")


def test_stream_id_exhaustion():
    ours, _ = client()
    ours.conn.set_next_stream_id(2147483647)
    h = ours.request("GET", "/last")
    assert h.sid == 2147483647
    assert ours.conn.try_claim_slot()
    with pytest.raises(v.H2ProtocolError) as ei:
        ours.conn.open_stream("GET", "/", None, True, False, object(), authority="a")
    assert ei.value.args == (7, "stream ID space exhausted (OverflowedStreamId)")
    assert ours.conn.num_open_streams == 1


def test_frames_on_idle_streams():
    for raw, msg in [(data(5, b"x"), "frame on idle stream 5"),
                     (wu(7, 1), "frame on idle stream 7"),
                     (rst(9), "frame on idle stream 9"),
                     # The frame decoder refuses RST_STREAM on stream 0 (RFC 9113 6.4)
                     # before the connection sees the frame.
                     (rst(0), "failed to load frame: InvalidStreamId"),
                     (headers_frame(2, request_block()), "invalid new stream id 2")]:
        ours, _ = server()
        ours.feed(raw)
        assert isinstance(ours.error, v.H2ProtocolError), msg
        assert ours.error.args == (1, msg)


def closed_stream_one():
    ours, _ = server()
    enc = hpack.Encoder()
    ours.feed(headers_frame(1, request_block(enc), end_stream=True))
    ours.respond(ours.handles[1], 204)
    ours.take()
    assert not ours.conn.has_stream(1)
    return ours, enc


def test_frames_on_closed_streams():
    # HEADERS on a finished stream: not a new id any more.
    ours, enc = closed_stream_one()
    ours.feed(headers_frame(1, request_block(enc)))
    assert isinstance(ours.error, v.H2ProtocolError)
    assert ours.error.args == (1, "invalid new stream id 1")
    # DATA on it: a stream error STREAM_CLOSED; the connection window is kept consistent.
    ours, enc = closed_stream_one()
    before = ours.conn.conn_recv_available
    ours.feed(data(1, b"abc"))
    assert ours.error is None
    assert ours.stream_errors == [(1, 5, "library")]
    assert ours.conn.conn_recv_available == before
    assert frame(RST, 0, 1, struct.pack(">I", 5)) in ours.take()
    # WINDOW_UPDATE and RST_STREAM on it are ignored.
    ours.feed(wu(1, 5) + rst(1))
    assert ours.error is None and len(ours.stream_errors) == 1


def test_frames_on_a_stream_we_reset_are_swallowed():
    ours, _ = server()
    enc = hpack.Encoder()
    ours.feed(headers_frame(1, request_block(enc)))
    r = ours.conn.reset_stream(1, 8)
    assert r.handle is ours.handles[1]
    assert ours.conn.in_reset_store(1)
    before = ours.conn.conn_recv_available
    for _ in range(10):
        ours.feed(data(1, b"y" * 1000))
    ours.feed(headers_frame(1, request_block(enc), end_stream=True))
    ours.feed(wu(1, 10) + rst(1))
    assert ours.error is None and ours.stream_errors == []
    # Swallowed DATA was consumed and given back at once.
    assert ours.conn.conn_recv_available == before


def test_client_receives_push_promise_disabled_and_headers_on_even_idle_stream():
    ours, _ = client()
    ours.feed(headers_frame(2, hpack.Encoder().encode([(b":status", b"200")])))
    assert isinstance(ours.error, v.H2ProtocolError)
    assert ours.error.args == (1, "frame on idle stream 2")
