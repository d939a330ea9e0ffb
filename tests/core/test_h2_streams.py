"""H2Streams: construction, handshake, settings, PING, slots, task handles, the send and
receive paths, shutdown and resets, the verdict classes and write batches."""

import struct

import hpack
import pytest

from h2drive import DEFAULTS, Handle, Ours, frames_of, hdrs, ours_pair, pump, v
from h2util import frame, headers_frame

pytestmark = pytest.mark.skipif(not hasattr(v, "H2Streams"), reason="H2Streams is not built yet")

SETTINGS, PING, GOAWAY, WINDOW_UPDATE, RST = 4, 6, 7, 8, 3


def new(role="client", **kw):
    args = dict(DEFAULTS)
    args.update(kw)
    return v.H2Streams(role, **args)


def taken(c):
    mv, stopping = c.take_pending()
    data = bytes(mv)
    mv.release()
    c.credit_written()
    return data


def settings_frame(c, **kw):
    return c.receive(v.H2Codec().serialize_settings(**kw))[0]


# ---- construction --------------------------------------------------------------------------


def test_constructor_validation_messages():
    with pytest.raises(ValueError) as ei:
        new("proxy")
    assert str(ei.value) == "role must be 'client' or 'server', got \"proxy\""
    for bad in (16383, 16777216):
        with pytest.raises(ValueError) as ei:
            new(max_frame_size=bad)
        assert str(ei.value) == f"max_frame_size must be in [16384, 16777215], got {bad}"
    for ok in (16384, 16777215):
        new(max_frame_size=ok)
    for kw in ({"initial_window_size": 2**31}, {"connection_window": 2**31}):
        with pytest.raises(ValueError) as ei:
            new(**kw)
        assert str(ei.value) == "window sizes must be <= 2147483647 (RFC 9113 6.9.1)"
    with pytest.raises(TypeError):
        new(role=1)
    with pytest.raises(TypeError):
        v.H2Streams("client")  # the keyword-only arguments are required
    with pytest.raises(TypeError):
        v.H2Streams("client", 1, 2, 3, 4, 5)
    with pytest.raises(OverflowError):
        new(max_send_buf_size=-1)
    with pytest.raises(OverflowError):
        new(initial_window_size=2**32)


def test_defaults_and_repr():
    c = new()
    assert repr(c) == "H2Streams(role=client, streams=0, active=0, failed=false, goaway=false)"
    assert repr(new("server")).startswith("H2Streams(role=server,")
    assert not c.is_server and new("server").is_server
    assert c.max_pending_accept_reset_streams == 20
    assert c.max_local_error_reset_streams == 1024
    assert c.stream_limit is None and c.peer_max_concurrent_streams is None
    assert c.peer_initial_window_size == 65535 and c.peer_max_frame_size == 16384
    assert c.conn_send_window == 65535 and c.conn_recv_available == 65535
    assert c.data_frame_budget_available == 32767
    assert c.data_frame_budget_empty_frames == 0
    assert c.num_streams == c.num_open_streams == c.local_error_resets == 0
    assert c.last_processed_id == 0 and c.max_stream_id == 2147483647
    assert not (c.graceful or c.shutdown_final or c.goaway_replied)
    assert new(data_frame_budget=0).data_frame_budget_available == 0
    assert new(max_local_error_reset_streams=None).max_local_error_reset_streams is None


def test_frozen_and_subclassable():
    c = new()
    with pytest.raises(AttributeError):
        c.is_server = True
    with pytest.raises(AttributeError):
        c.anything = 1
    with pytest.raises(TypeError):
        v.H2Streams.begin = None

    class Driver(v.H2Streams):
        pass

    d = Driver("server", **DEFAULTS)
    d.extra = 1  # a subclass may add attributes
    assert isinstance(d, v.H2Streams) and d.is_server


# ---- handshake ----------------------------------------------------------------------------


def test_begin_client_queues_preface_and_settings():
    c = new()
    c.begin()
    out = taken(c)
    assert out.startswith(v.H2_PREFACE)
    fs = frames_of(out)
    assert [f[0] for f in fs] == [SETTINGS]
    # enable_push not given: not announced; initial window, max frame size, header list: always.
    ids = [struct.unpack(">HI", fs[0][3][i : i + 6]) for i in range(0, len(fs[0][3]), 6)]
    assert ids == [(4, 65535), (5, 16384), (6, 65536)]


def test_begin_with_a_large_connection_window_sends_window_update():
    c = new(connection_window=1048576)
    c.begin()
    fs = frames_of(taken(c))
    assert [f[0] for f in fs] == [SETTINGS, WINDOW_UPDATE]
    assert fs[1][2] == 0 and struct.unpack(">I", fs[1][3])[0] == 983041


def test_begin_server_queues_no_preface_and_announces_its_limits():
    s = new("server", max_concurrent_streams=7, enable_push=False)
    s.begin()
    out = taken(s)
    assert not out.startswith(v.H2_PREFACE)
    (f,) = frames_of(out)
    ids = [struct.unpack(">HI", f[3][i : i + 6]) for i in range(0, len(f[3]), 6)]
    assert ids == [(2, 0), (3, 7), (4, 65535), (5, 16384), (6, 65536)]


def test_recv_settings_initial_flag_ack_and_unexpected_ack():
    c = new()
    c.begin()
    taken(c)
    f = settings_frame(c, max_concurrent_streams=3)
    initial, wake, flags = c.recv_settings(f)
    assert (initial, wake, flags) == (True, [], v.H2_FLAG_WAKE | v.H2_FLAG_SLOT_FREED)
    assert c.stream_limit == 3 and c.peer_max_concurrent_streams == 3
    assert c.recv_settings(settings_frame(c))[0] is False
    ack = c.receive(v.H2Codec().serialize_settings_ack())[0]
    assert c.recv_settings(ack) == (False, [], 0)
    with pytest.raises(v.H2ProtocolError) as ei:
        c.recv_settings(ack)
    assert ei.value.args == (1, "received unexpected settings ack")
    with pytest.raises(TypeError):
        c.recv_settings(ack.__class__)
    with pytest.raises(TypeError):
        c.recv_settings(c.receive(v.H2Codec().serialize_ping(b"12345678"))[0])


def test_initial_window_increase_wakes_open_streams():
    c, s = ours_pair(server_auto_release=False)
    h = c.request("POST", "/", body=b"x" * 100_000)
    pump(c, s)
    assert c.conn.conn_send_window == 0 and not h.sent_all
    f = settings_frame(c.conn, initial_window_size=131072)
    before = c.conn.stream_send_window(h.sid)
    _initial, wake, _flags = c.conn.recv_settings(f)
    assert wake == [h]
    assert c.conn.stream_send_window(h.sid) == before + 65537
    _i, wake, _f = c.conn.recv_settings(settings_frame(c.conn, initial_window_size=100))
    assert wake == []


def test_settings_window_overflow_is_a_flow_control_error():
    c, s = ours_pair()
    h = Handle()
    assert c.conn.try_claim_slot()
    sid = c.conn.open_stream("POST", "/", None, False, False, h, authority="a")
    (wu,) = c.conn.receive(v.H2Codec().serialize_window_update(sid, 2**31 - 1 - 65535))
    assert c.conn.recv_window_update(wu) == [h]
    assert c.conn.stream_send_window(sid) == 2**31 - 1
    with pytest.raises(v.H2FlowControlError) as ei:
        c.conn.recv_settings(settings_frame(c.conn, initial_window_size=65536))
    assert ei.value.args == (3,)


def test_max_frame_size_from_the_peer_is_checked_again():
    c = new()
    bad = c.receive(frame(SETTINGS, 0, 0, struct.pack(">HI", 5, 16384)))[0]
    c.recv_settings(bad)
    assert c.peer_max_frame_size == 16384


def test_ping_answers_and_graceful_shutdown_phase_two():
    s = new("server")
    s.begin()
    taken(s)
    p = s.receive(v.H2_PREFACE + frame(SETTINGS, 0, 0, b"") + v.H2Codec().serialize_ping(b"abcdefgh"))[1]
    assert s.recv_ping(p) == v.H2_FLAG_WAKE
    fs = frames_of(taken(s))
    assert fs == [(PING, 1, 0, b"abcdefgh")]
    ack = s.receive(v.H2Codec().serialize_ping_ack(b"SHUTDOWN"))[0]
    assert s.recv_ping(ack) == 0  # no shutdown begun
    assert taken(s) == b""
    assert s.begin_graceful_shutdown() == v.H2_FLAG_WAKE
    fs = frames_of(taken(s))
    assert [f[0] for f in fs] == [GOAWAY, PING]
    assert fs[0][3] == struct.pack(">II", 2147483647, 0) and fs[1][3] == b"SHUTDOWN"
    s.set_last_processed_id(9)
    assert s.recv_ping(ack) == v.H2_FLAG_WAKE | v.H2_FLAG_STOP_ACCEPTING
    assert s.shutdown_final and s.max_stream_id == 9
    assert frames_of(taken(s)) == [(GOAWAY, 0, 0, struct.pack(">II", 9, 0))]
    c = new()
    assert c.recv_ping(ack) == 0


# ---- slots and handles ---------------------------------------------------------------------


def test_slots():
    c = new()
    c.apply_stream_limit(1)
    assert c.can_open() and c.num_open_streams == 0
    assert c.try_claim_slot() and not c.try_claim_slot()
    assert not c.can_open()
    c.release_slot_count()
    assert c.try_claim_slot()
    c.release_slot_count()
    c.release_slot_count()
    assert c.num_open_streams == 0
    c.apply_stream_limit(None)
    assert all(c.try_claim_slot() for _ in range(100))
    with pytest.raises(OverflowError):
        c.apply_stream_limit(-1)


def test_task_handles_are_handed_out_once():
    c = new()
    r, p = object(), object()
    c.store_task_handles(r, p)
    assert c.take_read_handle() is r and c.take_read_handle() is None
    assert c.take_pump_handle() is p and c.take_pump_handle() is None


def test_test_hooks_return_none_for_an_unknown_stream():
    c = new()
    assert c.has_stream(5) is False
    for hook in ("is_recv_end_stream", "stream_state", "stream_recv_unreleased",
                 "stream_recv_reclaimed", "stream_data_budget_charged", "stream_send_buffered",
                 "stream_send_window"):
        assert getattr(c, hook)(5) is None, hook
    assert c.in_reset_store(5) is False


def test_stream_ids_outside_the_space_are_refused():
    c = new()
    for call in (lambda: c.send_data(2**31, b"x", 0, False),
                 lambda: c.send_trailers(2**31, hdrs(("a", "b"))),
                 lambda: c.reset_stream(2**31, 0),
                 lambda: c.release_capacity(2**31, 1)):
        with pytest.raises(ValueError):
            call()
    with pytest.raises(OverflowError):
        c.send_data(-1, b"x", 0, False)


# ---- send path -----------------------------------------------------------------------------


def test_open_stream_and_num_streams_counts_it():
    c, s = ours_pair()
    assert c.conn.try_claim_slot()
    h = Handle()
    sid = c.conn.open_stream("GET", "/x", hdrs(("accept", "*/*")), True, False, h,
                             authority="example.com")
    assert sid == 1
    assert c.conn.num_streams == 1 and c.conn.num_open_streams == 1
    assert c.conn.stream_state(1).startswith("HalfClosedLocal")
    out = taken(c.conn)
    f = s.conn.receive(out)[0]
    assert (f.method, f.scheme, f.authority, f.path) == ("GET", "https", "example.com", "/x")
    assert f.headers["accept"] == b"*/*" and f.end_stream
    vd = s.conn.recv_headers(f, Handle(1))
    s.conn.send_response_head(1, 204, None, True)
    c.feed(taken(s.conn))
    assert c.conn.num_streams == 0 and c.conn.num_open_streams == 0
    assert c.conn.num_streams < 2**63  # never wraps below zero
    assert vd.kind == v.H2_HEADERS_OPENED


def test_open_stream_errors_give_the_slot_back():
    c = new()
    assert c.try_claim_slot()
    with pytest.raises(v.H2UserError):
        c.open_stream("GET", "/", None, True, False, object())  # bare path, no authority
    assert c.num_open_streams == 0
    assert c.try_claim_slot()
    with pytest.raises(v.H2UserError) as ei:
        c.open_stream("GET", "/", hdrs(("connection", "close")), True, False, object(),
                      authority="a")
    assert ei.value.args[0] == "malformed_headers"
    assert c.num_open_streams == 0
    c.fail()
    assert c.try_claim_slot()
    assert c.open_stream("GET", "https://a/", None, True, False, object()) is None
    assert c.num_open_streams == 0


def test_send_data_frames_at_most_one_frame_per_call():
    c, s = ours_pair(server_initial_window_size=1 << 20, server_connection_window=1 << 20)
    h = Handle()
    assert c.conn.try_claim_slot()
    sid = c.conn.open_stream("POST", "/", None, False, False, h, authority="a")
    body = bytes(range(256)) * 157  # 40192 bytes
    sent = []
    off = 0
    while off < len(body):
        vd = c.conn.send_data(sid, body, off, True)
        sent.append((vd.sent, vd.done))
        off += vd.sent
    assert sent == [(16384, False), (16384, False), (7424, True)]
    fs = [f for f in frames_of(taken(c.conn)) if f[0] == 0]
    assert [len(f[3]) for f in fs] == [16384, 16384, 7424]
    assert [f[1] & 1 for f in fs] == [0, 0, 1]
    assert b"".join(f[3] for f in fs) == body


def test_send_buffer_room_and_credits():
    c, s = ours_pair(client_max_send_buf_size=1000)
    h = Handle()
    assert c.conn.try_claim_slot()
    sid = c.conn.open_stream("POST", "/", None, False, False, h, authority="a")
    vd = c.conn.send_data(sid, b"a" * 3000, 0, False)
    assert (vd.sent, vd.done, vd.stopped, vd.flags) == (1000, False, None, v.H2_FLAG_WAKE)
    assert c.conn.stream_send_buffered(sid) == 1000
    vd = c.conn.send_data(sid, b"a" * 3000, 1000, False)
    assert (vd.sent, vd.done, vd.flags) == (0, False, 0)
    mv, stopping = c.conn.take_pending()
    assert stopping is False and mv.readonly and len(mv) > 1000
    assert c.conn.stream_send_buffered(sid) == 1000
    assert c.conn.credit_written() == [h]
    assert c.conn.credit_written() == []
    assert c.conn.stream_send_buffered(sid) == 0
    assert c.conn.send_data(sid, b"a" * 3000, 1000, False).sent == 1000
    mv.release()


def test_credit_written_lists_each_stream_once_in_order():
    c, s = ours_pair()
    hs = []
    for _ in range(2):
        h = Handle()
        assert c.conn.try_claim_slot()
        h.sid = c.conn.open_stream("POST", "/", None, False, False, h, authority="a")
        hs.append(h)
    for _ in range(3):
        c.conn.send_data(hs[0].sid, b"x" * 10, 0, False)
    c.conn.send_data(hs[1].sid, b"y", 0, False)
    c.conn.take_pending()[0].release()
    assert c.conn.credit_written() == hs


def test_empty_final_data_ignores_windows():
    c, s = ours_pair()
    h = c.request("POST", "/", body=b"z" * 70_000)  # exhausts the connection window
    assert c.conn.conn_send_window == 0
    del c.outgoing[h.sid]
    h2_ = Handle()
    assert c.conn.try_claim_slot()
    sid = c.conn.open_stream("POST", "/", None, False, False, h2_, authority="a")
    vd = c.conn.send_data(sid, b"", 0, True)
    assert (vd.sent, vd.done) == (0, True)
    assert c.conn.stream_state(sid).startswith("HalfClosedLocal")
    assert c.conn.send_data(sid, b"late", 0, False).stopped is not None


def test_take_pending_empty_and_stop_pump():
    c = new()
    mv, stopping = c.take_pending()
    assert len(mv) == 0 and stopping is False and mv.readonly
    assert not c.has_pending()
    c.begin()
    assert c.has_pending()
    c.stop_pump()
    mv2, stopping = c.take_pending()
    assert stopping is True and bytes(mv2).startswith(v.H2_PREFACE)
    assert not c.has_pending()


def test_write_batch_is_readonly_and_recycled():
    c = new()
    c.begin()
    mv, _ = c.take_pending()
    batch = mv.obj
    assert type(batch).__name__ == "H2WriteBatch"
    assert type(batch).__module__ == "velmora._velmora"
    with pytest.raises(TypeError):
        mv[0] = 1
    with pytest.raises(TypeError):
        memoryview(batch).cast("B")[0] = 1
    assert bytes(memoryview(batch)) == bytes(mv)
    with pytest.raises(TypeError):
        type(batch)()
    with pytest.raises(TypeError):
        type("Sub", (type(batch),), {})
    del batch
    mv.release()


def test_send_response_head_twice_is_a_user_error_and_after_reset_a_stop():
    c, s = ours_pair()
    h = c.request("GET", "/")
    pump(c, s)
    sh = s.opened[0]
    vd = s.conn.send_response_head(sh.sid, 200, None, False)
    assert (vd.sent, vd.done, vd.stopped) == (0, True, None)
    with pytest.raises(v.H2UserError) as ei:
        s.conn.send_response_head(sh.sid, 200, None, False)
    assert ei.value.args == ("unexpected_frame_type", "unexpected frame type")
    c.conn.reset_stream(h.sid, 8)
    pump(c, s)
    taken(s.conn)
    vd = s.conn.send_response_head(sh.sid, 200, None, True)
    assert vd.done is False and vd.sent == 0
    assert (vd.stopped.reason, vd.stopped.conn) == (8, False)
    assert not s.conn.has_pending()


def open_request(c, end_stream=False):
    h = Handle()
    assert c.conn.try_claim_slot()
    h.sid = c.conn.open_stream("POST", "/", None, end_stream, False, h, authority="a")
    c.handles[h.sid] = h
    return h


def test_server_response_complete_resets_unfinished_request_body():
    c, s = ours_pair()
    h = open_request(c)
    c.conn.send_data(h.sid, b"q" * 10, 0, False)  # the request body never ends
    pump(c, s)
    sh = s.opened[0]
    vd = s.conn.send_response_head(sh.sid, 200, None, True)
    assert vd.done and vd.handle is sh
    assert vd.reader_stop is not None and vd.reader_stop.reason == 0
    fs = frames_of(taken(s.conn))
    assert (RST, 0, sh.sid, struct.pack(">I", 0)) in fs
    assert s.conn.num_streams == 0
    assert h.sid == sh.sid


# ---- receive path ---------------------------------------------------------------------------


def test_server_headers_rules():
    s = new("server")
    s.begin()
    enc = hpack.Encoder()
    blk = enc.encode([(b":method", b"GET"), (b":scheme", b"https"), (b":authority", b"a"),
                      (b":path", b"/")])
    (_, f) = s.receive(v.H2_PREFACE + frame(SETTINGS, 0, 0, b"") + headers_frame(1, blk))
    with pytest.raises(ValueError) as ei:
        s.recv_headers(f)
    assert str(ei.value) == "recv_headers: the server role needs a spare stream handle"
    spare = object()
    vd = s.recv_headers(f, spare)
    assert (vd.kind, vd.handle, vd.stream_id, vd.eof) == (v.H2_HEADERS_OPENED, spare, 1, False)
    with pytest.raises(v.H2StreamError) as ei:
        s.recv_headers(f, object())
    assert ei.value.args == (1, 1, "library")
    assert s.last_processed_id == 1 and s.num_streams == 1


def test_server_refuses_past_max_concurrent_streams():
    c, s = ours_pair(server_max_concurrent_streams=1)
    c.conn.apply_stream_limit(None)
    c.request("GET", "/")
    c.request("GET", "/")
    pump(c, s)
    assert s.stream_errors == [(3, 7, "library")]
    assert c.handles[3].stop is not None and c.handles[3].stop.reason == 7


def test_content_length_violation_gives_the_window_back():
    c, s = ours_pair()
    h = c.request("POST", "/", hdrs(("content-length", "5")), body=b"123456")
    pump(c, s)
    assert s.stream_errors == [(1, 1, "library")]
    assert s.conn.conn_recv_available == 65535
    assert h.stop is not None and h.stop.reason == 1


def test_padded_data_releases_its_padding_at_once():
    s = new("server", connection_window=65535)
    s.begin()
    enc = hpack.Encoder()
    blk = enc.encode([(b":method", b"POST"), (b":scheme", b"https"), (b":authority", b"a"),
                      (b":path", b"/")])
    fs = s.receive(v.H2_PREFACE + frame(SETTINGS, 0, 0, b"") + headers_frame(1, blk)
                   + frame(0, 0x8, 1, bytes([5]) + b"0123456789" + b"\0" * 5))[1:]
    s.recv_headers(fs[0], object())
    assert fs[1].flow_controlled_len == 16 and fs[1].padding == 6
    vd = s.recv_data(fs[1])
    assert vd.payload == b"0123456789" and vd.budgeted and not vd.eof
    assert s.stream_recv_unreleased(1) == 10
    assert s.conn_recv_available == 65535 - 10


def test_informational_then_final_head():
    c, s = ours_pair()
    h = c.request("GET", "/")
    pump(c, s)
    enc = hpack.Encoder()
    (f1, f2) = c.conn.receive(headers_frame(1, enc.encode([(b":status", b"100")]))
                              + headers_frame(1, enc.encode([(b":status", b"200")]), end_stream=True))
    assert c.conn.recv_headers(f1).kind == v.H2_HEADERS_IGNORED
    vd = c.conn.recv_headers(f2)
    assert (vd.kind, vd.handle, vd.eof) == (v.H2_HEADERS_HEAD, h, True)
    assert vd.flags & v.H2_FLAG_SLOT_FREED


def test_recv_reset_after_end_stream_does_not_notify_the_body():
    c, s = ours_pair(client_auto_release=False)
    h = c.request("GET", "/")
    pump(c, s)
    s.respond(s.opened[0], 200, body=b"abc")
    pump(c, s)
    assert c.conn.is_recv_end_stream(h.sid)
    rs = c.conn.receive(frame(RST, 0, h.sid, struct.pack(">I", 8)))[0]
    r = c.conn.recv_reset(rs)
    assert r is None or r[2] is False


# ---- shutdown, failure, resets -------------------------------------------------------------


def test_fail_twice_and_conn_error():
    c, s = ours_pair()
    hs = [c.request("GET", "/") for _ in range(2)]
    pump(c, s)
    pairs = c.conn.fail()
    assert sorted(h.sid for h, _ in pairs) == [1, 3]
    assert all((st.reason, st.conn) == (None, True) for _, st in pairs)
    assert c.conn.fail(ValueError("second")) == []
    err = c.conn.conn_error()
    assert type(err) is v.ConnectionClosedError and err.args == ("connection closed",)
    assert c.conn.is_closed() and c.conn.is_failed()
    assert repr(c.conn).endswith("failed=true, goaway=false)")
    exc = RuntimeError("boom")
    d = new()
    d.fail(exc)
    assert d.conn_error() is exc
    d2 = new()
    d2.fail(None, "custom text")
    assert d2.conn_error().args == ("custom text",)
    assert new().conn_error() is None
    assert hs


def test_goaway_may_not_raise_last_stream_id():
    c, s = ours_pair()
    for _ in range(3):
        c.request("GET", "/")
    pump(c, s)
    g = c.conn.receive(v.H2Codec().serialize_go_away(3, 2, b"dbg"))[0]
    pairs, flags = c.conn.recv_go_away(g)
    assert [(h.sid, st.reason, st.conn) for h, st in pairs] == [(5, 2, True)]
    assert flags & v.H2_FLAG_SLOT_FREED
    assert c.conn.goaway_info() == (3, 2, b"dbg")
    g5 = c.conn.receive(v.H2Codec().serialize_go_away(5, 0))[0]
    with pytest.raises(v.H2ProtocolError) as ei:
        c.conn.recv_go_away(g5)
    assert ei.value.args == (1, "GOAWAY may not raise last_stream_id")


def test_reset_stream_initiators_and_reset_store():
    c, s = ours_pair()
    with pytest.raises(ValueError) as ei:
        c.conn.reset_stream(1, 8, "peer")
    assert str(ei.value) == "initiator must be 'user' | 'library' | 'remote', got \"peer\""
    r = c.conn.reset_stream(99, 8)
    assert (r.handle, r.stop, r.flags) == (None, None, 0)
    hs = [c.request("GET", "/") for _ in range(52)]
    for h in hs:
        r = c.conn.reset_stream(h.sid, 8, "user")
        assert r.handle is h and r.flags & v.H2_FLAG_WAKE
    assert sum(c.conn.in_reset_store(h.sid) for h in hs) == 50


def test_local_error_reset_cap():
    c = new(max_local_error_reset_streams=2)
    c.reset_on_error(1, 1)
    c.reset_on_error(3, 1)
    with pytest.raises(v.H2ProtocolError) as ei:
        c.reset_on_error(5, 1)
    assert ei.value.args == (11, "too many stream resets")


def test_release_capacity_aggregates_window_updates():
    c, s = ours_pair(client_auto_release=False)
    h = c.request("GET", "/")
    pump(c, s)
    s.respond(s.opened[0], 200, body=b"d" * 40000)
    pump(c, s)
    assert c.conn.stream_recv_unreleased(h.sid) == 40000
    c.conn.release_capacity(h.sid, 30000)
    fs = frames_of(taken(c.conn))
    # END_STREAM arrived: no stream update; the connection one once half the window is back.
    assert [(f[0], f[2]) for f in fs] == [(WINDOW_UPDATE, 0)]
    assert struct.unpack(">I", fs[0][3])[0] == 30000
    c.conn.release_capacity(h.sid, 10000)
    c.release_all()
    assert not c.conn.has_stream(h.sid)


def test_aclose_body():
    c, s = ours_pair(client_auto_release=False)
    a = c.request("GET", "/a")
    b = c.request("GET", "/b")
    pump(c, s)
    s.respond(s.opened[0], 200, body=b"done")
    s.conn.send_response_head(s.opened[1].sid, 200, None, False)
    s.conn.send_data(s.opened[1].sid, b"partial", 0, False)
    pump(c, s)
    assert bytes(a.body) == b"done" and bytes(b.body) == b"partial"
    before = c.conn.conn_recv_available
    r = c.conn.aclose_body(a.sid)
    assert (r.handle, r.stop) == (None, None)
    assert not c.conn.has_pending()
    assert c.conn.conn_recv_available == before + 4
    r = c.conn.aclose_body(b.sid)
    assert r.handle is b and r.flags & v.H2_FLAG_WAKE
    fs = frames_of(taken(c.conn))
    assert (RST, 0, b.sid, struct.pack(">I", 8)) in fs


def test_graceful_shutdown_two_phases_between_our_ends():
    c, s = ours_pair()
    hs = [c.request("GET", "/%d" % i) for i in range(2)]
    pump(c, s)
    assert s.conn.begin_graceful_shutdown() == v.H2_FLAG_WAKE
    assert s.conn.begin_graceful_shutdown() == 0
    pump(c, s)  # GOAWAY(2^31-1), PING; the client's PING ACK; the final GOAWAY(3)
    assert s.conn.shutdown_final and s.conn.max_stream_id == 3
    assert c.goaway.last_stream_id == 3 and c.conn.is_closed()
    assert all(h.stop is None for h in hs)
    # A late request above the final id is ignored by the server.
    for h in s.opened:
        s.respond(h, 200, body=b"bye")
    pump(c, s)
    assert all(bytes(h.body) == b"bye" and h.eof for h in hs)
    assert c.conn.num_streams == 0 and c.conn.goaway_replied
    assert s.conn.num_streams == 0


def test_send_goaway_and_maybe_goaway_reply():
    s = new("server")
    assert s.maybe_goaway_reply() == 0
    s.set_last_processed_id(5)
    assert s.send_goaway(2) == v.H2_FLAG_WAKE
    assert frames_of(taken(s)) == [(GOAWAY, 0, 0, struct.pack(">II", 5, 2))]


# ---- verdict classes -----------------------------------------------------------------------


def test_h2stopped():
    st = v.H2Stopped(8, False)
    assert (st.reason, st.conn) == (8, False)
    assert repr(st) == "H2Stopped(reason=Some(8), conn=false)"
    assert repr(v.H2Stopped(None, True)) == "H2Stopped(reason=None, conn=true)"
    with pytest.raises(AttributeError):
        st.reason = 1
    with pytest.raises(TypeError):
        type("S", (v.H2Stopped,), {})
    with pytest.raises(OverflowError):
        v.H2Stopped(2**32, False)


@pytest.mark.parametrize("name", ["H2SendVerdict", "H2RecvHeadersVerdict", "H2RecvDataVerdict",
                                  "H2ResetVerdict"])
def test_verdicts_are_final_and_read_only(name):
    cls = getattr(v, name)
    with pytest.raises(TypeError):
        type("S", (cls,), {})
    with pytest.raises(TypeError):
        cls()


def test_verdict_getters_are_read_only():
    c, s = ours_pair()
    c.request("GET", "/")
    pump(c, s)
    vd = s.conn.send_response_head(1, 200, None, True)
    for attr in ("sent", "done", "stopped", "handle", "reader_stop", "flags"):
        with pytest.raises(AttributeError):
            setattr(vd, attr, 1)


def test_client_num_streams_never_wraps_whatever_closes_the_stream():
    c, s = ours_pair()
    counts = []
    h = c.request("POST", "/", body=b"")
    counts.append(c.conn.num_streams)
    c.conn.reset_stream(h.sid, 8)
    counts.append(c.conn.num_streams)
    # The peer's reset of the same stream, a GOAWAY and a failure close nothing more.
    (rst,) = c.conn.receive(frame(RST, 0, h.sid, struct.pack(">I", 8)))
    assert c.conn.recv_reset(rst) is None
    counts.append(c.conn.num_streams)
    g = c.conn.receive(v.H2Codec().serialize_go_away(0, 0))[0]
    c.conn.recv_go_away(g)
    counts.append(c.conn.num_streams)
    c.conn.fail()
    counts.append(c.conn.num_streams)
    c.conn.reset_stream(h.sid, 8)
    c.conn.aclose_body(h.sid)
    counts.append(c.conn.num_streams)
    assert counts == [1, 0, 0, 0, 0, 0]
    assert c.conn.num_open_streams == 0


def test_prime_and_receive_arguments():
    s = new("server")
    assert s.prime(v.H2_PREFACE[:10]) is None
    assert s.prime(v.H2_PREFACE[10:] + frame(SETTINGS, 0, 0, b"") + v.H2Codec().serialize_ping(b"pingpong")[:5]) is True
    (_, p) = s.receive(v.H2Codec().serialize_ping(b"pingpong")[5:])
    assert p.data == b"pingpong"
    bad = new("server")
    assert bad.prime(b"GET / HTTP/1.1\r\n") is False
    c = new()
    assert c.prime(v.H2Codec().serialize_settings()) is True
    (f,) = c.receive(b"")
    assert isinstance(f, v.H2FrameSettings)
    for arg in (bytearray(b"x"), memoryview(b"x"), "x"):
        with pytest.raises(TypeError):
            c.receive(arg)
        with pytest.raises(TypeError):
            c.prime(arg)
    with pytest.raises(TypeError):
        c.send_data(1, bytearray(b"x"), 0, False)


def test_receive_split_byte_by_byte_and_with_trailing_bytes():
    codec = v.H2Codec()
    wire = (v.H2_PREFACE + codec.serialize_settings(initial_window_size=1000)
            + codec.serialize_ping(b"abcdefgh") + codec.serialize_window_update(0, 5))
    whole = [type(f).__name__ for f in new("server").receive(wire)]
    s = new("server")
    split = []
    for i in range(len(wire)):
        split += [type(f).__name__ for f in s.receive(wire[i : i + 1])]
    assert whole == split == ["H2FrameSettings", "H2FramePing", "H2FrameWindowUpdate"]
    t = new("server")
    assert [type(f).__name__ for f in t.receive(wire + b"\x00\x00\x08\x06")] == whole
    (p,) = t.receive(b"\x00" + b"\x00" * 4 + b"12345678")
    assert p.data == b"12345678"


def _handshaken(client_kw=None, **server_kw):
    c, s = new(**(client_kw or {})), new("server", auto_date_header=False, **server_kw)
    c.begin(), s.begin()
    for f in s.receive(taken(c)):
        if isinstance(f, v.H2FrameSettings):
            s.recv_settings(f)
    for f in c.receive(taken(s)):
        if isinstance(f, v.H2FrameSettings):
            c.recv_settings(f)
    return c, s


@pytest.mark.parametrize(
    "fields, sent",
    [
        ([("host", "u@h:8"), ("connection", "close"), ("keep-alive", "1"),
          ("proxy-connection", "x"), ("transfer-encoding", "chunked"), ("upgrade", "h2c"),
          ("te", "GZIP"), ("x", "1")], ("h:8", [(b"x", b"1")])),
        ([("te", "trailers"), ("Host", "h"), ("host", "other")], ("h", [(b"te", b"trailers")])),
        ([("host", "h"), ("te", "Trailers")], ("h", [])),  # not exactly "trailers": left out
        ([("x", "1")], "missing_uri_scheme_and_authority"),
    ],
)
def test_dropped_connection_fields_of_a_request(fields, sent):
    c, s = _handshaken({"drop_connection_fields": True})
    assert c.try_claim_slot()
    if isinstance(sent, str):
        with pytest.raises(v.H2UserError) as ei:
            c.open_stream("GET", "/", hdrs(*fields), True, False, object())
        assert ei.value.args[0] == sent
        return
    c.open_stream("GET", "/", hdrs(*fields), True, False, object())
    f = [f for f in s.receive(taken(c)) if isinstance(f, v.H2FrameHeaders)][0]
    assert (f.authority, f.headers.raw_items()) == sent


@pytest.mark.parametrize(
    "fields, sent",
    [
        ([("connection", "close"), ("upgrade", "h2c"), ("host", "h"), ("te", "trailers")],
         [(b"host", b"h"), (b"te", b"trailers")]),
        ([("te", "gzip")], "malformed_headers"),
    ],
)
def test_dropped_connection_fields_of_a_response(fields, sent):
    c, s = _handshaken(drop_connection_fields=True)
    assert c.try_claim_slot()
    c.open_stream("HEAD", "/", None, True, False, object(), authority="a")
    vd = [s.recv_headers(f, object()) for f in s.receive(taken(c))
          if isinstance(f, v.H2FrameHeaders)][0]
    assert vd.no_body  # the core says a HEAD request's response has no content
    if isinstance(sent, str):
        with pytest.raises(v.H2UserError) as ei:
            s.send_response_head(1, 200, hdrs(*fields), True)
        assert ei.value.args[0] == sent
        return
    s.send_response_head(1, 200, hdrs(*fields, ("content-length", "5")), False)
    with pytest.raises(v.H2UserError):
        s.send_trailers(1, hdrs(("connection", "close")))  # trailers still refuse them
    s.send_data(1, b"", 0, True)
    f = [f for f in c.receive(taken(s)) if isinstance(f, v.H2FrameHeaders)][0]
    assert f.headers.raw_items() == sent + [(b"content-length", b"5")]
    c.recv_headers(f)
    c.recv_data(c.receive(b"\0\0\0\0\1\0\0\0\1")[0])  # no content for HEAD: fine


@pytest.mark.parametrize(
    "fields, items",
    [
        ([("accept", "*/*")], [(b"host", b"a:1"), (b"accept", b"*/*")]),  # RFC 9113 8.3.1
        ([("x", "1"), ("host", "h")], [(b"x", b"1"), (b"host", b"h")]),
    ],
)
def test_request_items_give_authority_as_host(fields, items):
    c, s = _handshaken()
    assert c.try_claim_slot()
    c.open_stream("GET", "/", hdrs(*fields), True, False, object(), authority="a:1")
    f = [f for f in s.receive(taken(c)) if isinstance(f, v.H2FrameHeaders)][0]
    assert f.request_items() == items
