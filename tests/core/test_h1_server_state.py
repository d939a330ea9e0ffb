"""H1ServerState: whole connections driven the way the server driver drives them, with plain
Python objects standing in for the transport, the events and the task handles."""

import pytest

from velmora import _velmora as v


class Transport:
    """Stands in for a socket transport; the state only stores and hands it back."""

    def __init__(self, name="t"):
        self.name = name

    def __repr__(self):
        return f"Transport({self.name})"


class Event:
    pass


def new_state(**kw):
    t = Transport()
    codec_kw = {"date_header": False}
    s = v.H1ServerState(v.H1Codec(**codec_kw), t, **kw)
    return s, t


def request(s, data):
    """Feed `data` through accept_head; returns (head, seq, decoder)."""
    r = s.accept_head(data)
    assert r is not None
    return r


def read_body(s, seq, dec):
    """A body reader: owns the transport read, decodes everything buffered."""
    if dec.is_complete:
        return b""
    assert s.begin_body_read(seq)
    out = b""
    while True:
        piece = dec.decode()
        if piece is None:
            break
        out += piece
    s.end_body_read(seq, dec.is_complete)
    return out


GET = b"GET / HTTP/1.1\r\nhost: a\r\n\r\n"


def post(body, extra=b""):
    return b"POST /p HTTP/1.1\r\nhost: a\r\ncontent-length: %d\r\n%s\r\n" % (len(body), extra) + body


# ---- construction, properties, repr ---------------------------------------------------------


def test_fresh_state_properties_and_repr():
    codec = v.H1Codec()
    t = Transport()
    s = v.H1ServerState(codec, t)
    assert s.codec is codec
    assert s.transport_ref() is t
    assert s.current_decoder() is None
    assert (s.closed, s.reusable, s.upgraded, s.half_close, s.keep_alive_enabled) == (
        False, True, False, False, True)
    assert (s.shutdown_requested, s.has_watcher, s.watcher_parked, s.current_seq) == (
        False, False, False, 0)
    assert repr(s) == ("H1ServerState(seq=0, closed=false, reusable=true, responded=false, "
                       "response_done=true, watcher=false)")


def test_constructor_arguments():
    s = v.H1ServerState(v.H1Codec(), None, keep_alive=False, half_close=True)
    assert s.keep_alive_enabled is False and s.half_close is True
    with pytest.raises(TypeError):
        v.H1ServerState(object(), None)
    with pytest.raises(TypeError):
        v.H1ServerState(v.H1Codec(), None, keep_alive=1)
    with pytest.raises(TypeError):
        v.H1ServerState(v.H1Codec(), None, False)  # keep_alive is keyword-only


@pytest.mark.parametrize("call", [
    lambda s: s.try_send_continue(-1),
    lambda s: s.try_send_continue(2**64),
    lambda s: s.respond_head(1, 70000, None, None),
    lambda s: s.respond_head(1, 200, {}, None),
    lambda s: s.respond_head(1, 200, None, None, chunked=1),
    lambda s: s.accept_head("GET / HTTP/1.1\r\n\r\n"),
    lambda s: s.watcher_completed(data="x"),
    lambda s: s.end_body_read(1, None),
    lambda s: s.drain_done(0),
])
def test_argument_errors_change_nothing(call):
    s, t = new_state()
    request(s, GET)
    before = repr(s)
    with pytest.raises((TypeError, OverflowError)):
        call(s)
    assert repr(s) == before


def test_subclass_instance():
    class Conn(v.H1ServerState):
        def __init__(self, codec, transport, **kw):
            self.extra = 1

    c = Conn(v.H1Codec(), Transport(), keep_alive=False)
    assert c.extra == 1 and c.keep_alive_enabled is False
    assert repr(c).startswith("H1ServerState(seq=0")


# ---- keep-alive reuse and pipelining --------------------------------------------------------


def test_fresh_connection_reads_the_transport():
    s, t = new_state()
    assert s.begin_read() == (v.H1_READ_TRANSPORT, t)
    assert s.unpark_idle_read() is False


def test_fresh_connection_with_buffered_bytes_parses_first():
    codec = v.H1Codec()
    codec.feed(b"GE")
    s = v.H1ServerState(codec, Transport())
    assert s.begin_read() == (v.H1_READ_PARSE, None)


def test_no_transport_is_eof():
    s = v.H1ServerState(v.H1Codec(), None)
    assert s.begin_read() == (v.H1_READ_EOF, None)


def serve_simple(s, t, data, status=200, body=b"ok"):
    head, seq, dec = request(s, data)
    code, wire, armed = s.respond_head(seq, status, None, Event(), content_length=len(body))
    assert code == v.H1_REQ_OK and wire[9:12] == b"%d" % status and not armed
    return seq, dec, s.finish_response(seq)


def test_keep_alive_reuse_over_several_requests():
    s, t = new_state()
    for i in range(1, 4):
        assert s.begin_read() == (v.H1_READ_TRANSPORT, t)
        assert s.unpark_idle_read() is False
        seq, dec, fin = serve_simple(s, t, GET)
        assert seq == i == s.current_seq
        assert fin == (False, False, None, None)
    assert s.reusable and not s.closed and s.transport_ref() is t


@pytest.mark.parametrize("split", ["whole", "bytewise"])
def test_pipelined_requests_with_bytes_read_past_the_body(split):
    data = post(b"hello") + GET + post(b"xy")
    s, t = new_state()
    assert s.begin_read()[0] == v.H1_READ_TRANSPORT
    if split == "whole":
        head, seq, dec = request(s, data)
    else:
        r = None
        for i in range(len(data)):
            r = s.accept_head(data[i:i + 1])
            if r is not None:
                break
        head, seq, dec = r
        s.codec.feed(data[i + 1:])
        # the rest arrived after the head: the body reader's decoder gets it from the codec
        s.codec.take_body_into(dec)
    assert head.method == "POST"
    assert read_body(s, seq, dec) == b"hello"
    assert dec.buffered == len(GET) + len(post(b"xy"))
    assert s.respond_head(seq, 200, None, None)[0] == v.H1_REQ_OK
    assert s.finish_response(seq) == (False, False, None, None)
    # the bytes the decoder read past its body are parsed before reading the transport
    assert s.begin_read() == (v.H1_READ_PARSE, None)
    head2, seq2, dec2 = request(s, b"")
    assert (head2.method, seq2, dec2.is_complete) == ("GET", seq + 1, True)
    s.respond_head(seq2, 204, None, None)
    s.finish_response(seq2)
    assert s.begin_read() == (v.H1_READ_PARSE, None)
    head3, seq3, dec3 = request(s, b"")
    assert read_body(s, seq3, dec3) == b"xy"
    s.respond_head(seq3, 200, None, None)
    s.finish_response(seq3)
    assert s.begin_read() == (v.H1_READ_TRANSPORT, t)


def test_incomplete_head_returns_none_and_keeps_bytes():
    s, _ = new_state()
    assert s.accept_head(GET[:10]) is None
    assert s.current_seq == 0 and s.codec.buffered() == 10
    head, seq, dec = request(s, GET[10:])
    assert seq == 1 and head.target == "/"


def test_parse_error_raises_and_changes_nothing():
    s, t = new_state()
    with pytest.raises(v.H1ParseError):
        s.accept_head(b"G@T / HTTP/1.1\r\n\r\n")
    assert s.codec.parse_error_status == 400
    assert s.current_seq == 0 and not s.closed
    assert s.fail_read() is t
    assert s.closed and not s.reusable and s.transport_ref() is None
    assert s.fail_read() is None


def test_begin_read_before_the_response_raises_code():
    s, _ = new_state()
    head, seq, dec = request(s, GET)
    before = repr(s)
    assert s.begin_read() == (v.H1_NEXT_RAISE, None)
    assert repr(s) == before


def test_connection_close_request_closes_after_response():
    s, t = new_state()
    seq, dec, fin = serve_simple(s, t, b"GET / HTTP/1.1\r\nconnection: close\r\n\r\n")
    assert fin == (False, True, t, None)
    assert s.closed and not s.reusable
    assert s.begin_read() == (v.H1_NEXT_NONE, None)


def test_http10_request_closes_and_keep_alive_disabled_closes():
    s, t = new_state()
    assert serve_simple(s, t, b"GET / HTTP/1.0\r\n\r\n")[2] == (False, True, t, None)
    s, t = new_state(keep_alive=False)
    seq, dec, fin = serve_simple(s, t, GET)
    assert fin == (False, True, t, None)


def test_close_delimited_response_closes():
    s, t = new_state()
    head, seq, dec = request(s, b"GET / HTTP/1.0\r\nconnection: keep-alive\r\n\r\n")
    code, wire, _ = s.respond_head(seq, 200, None, None, chunked=True)
    assert code == v.H1_REQ_OK and b"transfer-encoding" not in wire
    assert s.finish_response(seq) == (False, True, t, None)


# ---- unread bodies --------------------------------------------------------------------------


def test_unread_body_is_drained_then_next_request():
    s, t = new_state()
    head, seq, dec = request(s, post(b"abc"))
    s.respond_head(seq, 200, None, None)
    assert s.finish_response(seq) == (False, False, None, None)
    assert s.begin_read() == (v.H1_NEXT_DRAIN, None)
    # a second begin_read while the drain owns the read closes
    s2, t2 = new_state()
    h2, q2, d2 = request(s2, post(b"abc"))
    s2.respond_head(q2, 200, None, None)
    s2.finish_response(q2)
    assert s2.begin_read() == (v.H1_NEXT_DRAIN, None)
    assert s2.begin_read() == (v.H1_NEXT_CLOSE, t2)
    # the driver drains: decodes the body to its end, the next request stays buffered
    dec.feed(GET)
    while dec.decode() is not None:
        pass
    assert dec.is_complete
    assert s.drain_done(True) == (v.H1_READ_PARSE, None)
    assert request(s, b"")[1] == 2


def test_drain_failure_closes():
    s, t = new_state()
    head, seq, dec = request(s, post(b"abc"))
    s.respond_head(seq, 200, None, None)
    s.finish_response(seq)
    assert s.begin_read() == (v.H1_NEXT_DRAIN, None)
    assert s.drain_done(False) == (v.H1_NEXT_CLOSE, t)
    assert s.closed and s.transport_ref() is None


@pytest.mark.parametrize("parked", [False, True])
def test_response_before_the_whole_body_arrived_closes(parked):
    # The client may wait for the answer before it sends the body (RFC 9112 section 9.6).
    s, t = new_state()
    head, seq, dec = request(s, post(b"abc")[:-2])
    if parked:
        assert s.begin_body_read(seq)
        assert not s.begin_body_read(seq)  # one reader
    code, wire, _ = s.respond_head(seq, 200, None, None)
    assert code == v.H1_REQ_OK and b"connection: close\r\n" in wire
    assert s.finish_response(seq) == (False, True, t, None)


def test_body_reported_complete_but_unfinished_never_reaches_the_head_parser():
    s, t = new_state()
    head, seq, dec = request(s, post(b"abcdef")[:-3])
    s.end_body_read(seq, True)  # a reader that lies about the end of the body
    s.respond_head(seq, 200, None, None)
    s.finish_response(seq)
    assert s.begin_read() == (v.H1_NEXT_CLOSE, t)
    assert s.closed


# ---- Expect: 100-continue -------------------------------------------------------------------

EXPECT = b"POST /u HTTP/1.1\r\ncontent-length: 3\r\nexpect: 100-continue\r\n\r\n"


def test_continue_claimed_once_and_response_waits_for_it():
    s, _ = new_state()
    head, seq, dec = request(s, EXPECT)
    assert head.expect_continue
    assert s.try_send_continue(seq) is True
    assert s.try_send_continue(seq) is False
    assert s.respond_head(seq, 413, None, None) == (v.H1_REQ_CONTINUE, None, False)
    code, wire, _ = s.respond_head(seq, 413, None, None)
    assert code == v.H1_REQ_OK and wire.startswith(b"HTTP/1.1 413")
    assert s.respond_head(seq, 413, None, None) == (v.H1_REQ_ALREADY, None, False)


def test_early_response_forbids_continue():
    s, _ = new_state()
    head, seq, dec = request(s, EXPECT)
    assert s.respond_head(seq, 417, None, None)[0] == v.H1_REQ_OK
    assert s.try_send_continue(seq) is False


@pytest.mark.parametrize("data", [GET, EXPECT.replace(b"HTTP/1.1", b"HTTP/1.0")])
def test_no_continue_without_expect_or_for_http10(data):
    s, _ = new_state()
    head, seq, dec = request(s, data)
    assert s.try_send_continue(seq) is False


def test_seq_zero_and_stale_seq_are_never_current():
    s, t = new_state()
    assert s.respond_head(0, 200, None, None) == (v.H1_REQ_STALE, None, False)
    assert s.try_send_continue(0) is False
    assert s.peer_closed_now(0) is False
    head, seq, dec = request(s, EXPECT)
    for stale in (0, seq + 1):
        assert s.respond_head(stale, 200, None, None) == (v.H1_REQ_STALE, None, False)
        assert s.try_send_continue(stale) is False
        assert s.begin_body_read(stale) is False
        assert s.peer_closed_now(stale) is False and s.peer_closed_flag(stale) is False
        assert s.close_window(stale) is False
        assert s.arm_watcher(stale, Event()) is False
        assert s.finish_response(stale) == (False, False, None, None)
        assert s.detach(stale) == (v.H1_REQ_STALE, None, None)
    assert s.fail_response(seq + 1) is t  # closes in any case


def test_encoder_error_leaves_the_claim_standing():
    s, t = new_state()
    head, seq, dec = request(s, GET)
    with pytest.raises(v.H1UserError):
        s.respond_head(seq, 103, None, None)
    assert s.respond_head(seq, 200, None, None)[0] == v.H1_REQ_ALREADY
    assert s.fail_response(seq) is t


def test_respond_head_encodes_with_the_request_framing():
    s, _ = new_state()
    head, seq, dec = request(s, b"HEAD / HTTP/1.1\r\n\r\n")
    code, wire, _ = s.respond_head(seq, 200, v.HeaderMap([("x-a", "1")]), None,
                                   content_length=5, chunked=True)
    assert code == v.H1_REQ_OK
    assert wire == b"HTTP/1.1 200 OK\r\nx-a: 1\r\n\r\n"


# ---- protocol switch ------------------------------------------------------------------------

UPGRADE = b"GET /ws HTTP/1.1\r\nconnection: upgrade\r\nupgrade: websocket\r\n\r\n"


def test_switching_protocols_hands_off_with_leftover():
    s, t = new_state()
    head, seq, dec = request(s, UPGRADE + b"\x81\x05hello")
    code, wire, armed = s.respond_head(seq, 101, v.HeaderMap([("upgrade", "websocket")]),
                                       Event(), want=True)
    assert code == v.H1_REQ_OK and not armed
    assert s.finish_response(seq) == (True, False, t, b"\x81\x05hello")
    assert s.upgraded and s.closed
    done, was_closed = s.mark_closed()[1:]
    assert s.mark_closed() == (None, None, True)


def test_upgrade_answered_with_200_is_not_a_switch():
    s, t = new_state()
    head, seq, dec = request(s, UPGRADE)
    s.respond_head(seq, 200, None, None, content_length=0)
    assert s.finish_response(seq) == (False, False, None, None)
    assert not s.upgraded


@pytest.mark.parametrize("status,switch", [(200, True), (204, True), (299, True), (404, False)])
def test_connect(status, switch):
    s, t = new_state()
    head, seq, dec = request(s, b"CONNECT a.example:443 HTTP/1.1\r\nhost: a.example:443\r\n\r\n"
                             b"\x16\x03\x01")
    assert s.respond_head(seq, status, None, None)[0] == v.H1_REQ_OK
    fin = s.finish_response(seq)
    if switch:
        assert fin == (True, False, t, b"\x16\x03\x01")
    else:
        assert fin[0] is False


def test_200_to_get_is_not_a_switch():
    s, t = new_state()
    assert serve_simple(s, t, GET)[2][0] is False


def test_switch_leftover_includes_codec_and_decoder_bytes_in_order():
    s, t = new_state()
    head, seq, dec = request(s, UPGRADE + b"AB")
    assert dec.is_complete and dec.buffered == 2
    s.codec.feed(b"CD")  # later bytes the driver buffered in the codec
    s.respond_head(seq, 101, None, None)
    assert s.finish_response(seq)[3] == b"CDAB"


# ---- the mid-message watcher ----------------------------------------------------------------


def streamed_response(s, data=GET):
    head, seq, dec = request(s, data)
    done = Event()
    code, wire, armed = s.respond_head(seq, 200, None, done, chunked=True, want=True)
    assert code == v.H1_REQ_OK
    return seq, done, armed


def test_client_goes_away_mid_response():
    s, t = new_state()
    seq, done, armed = streamed_response(s)
    assert armed and s.has_watcher and s.watcher_parked
    assert s.watcher_done() is done
    handle = object()
    assert s.store_watcher_handle(handle) is None
    other = object()
    assert s.store_watcher_handle(other) is other
    assert s.peer_closed_now(seq) is None
    assert s.watcher_completed(b"") is True
    assert s.peer_closed_flag(seq) and not s.reusable and not s.watcher_parked
    assert s.watcher_completed(b"") is False
    assert s.close_window(seq) is True
    assert s.close_window(seq) is False
    assert s.peer_closed_now(seq) is True
    assert s.take_watcher_handle() is handle and s.take_watcher_handle() is None
    assert s.take_watcher_result() == (b"", None)
    assert not s.has_watcher
    assert s.finish_response(seq) == (False, True, t, None)


def test_read_error_counts_as_client_gone():
    s, t = new_state()
    seq, done, armed = streamed_response(s)
    err = OSError("reset")
    assert s.watcher_completed(None, err) is True
    assert s.take_watcher_result() == (None, err)


def test_early_bytes_from_the_watcher_feed_the_next_request():
    s, t = new_state()
    seq, done, armed = streamed_response(s)
    assert s.watcher_completed(GET) is False
    assert s.peer_closed_flag(seq) is False and s.reusable
    assert s.finish_response(seq) == (False, False, None, None)
    # the completed slot survives into the next request: its read is the connection's read
    assert s.begin_read() == (v.H1_READ_WATCHER, done)
    assert s.unpark_idle_read() is False
    data, err = s.take_watcher_result()
    assert (data, err) == (GET, None) and not s.has_watcher
    assert request(s, data)[1] == seq + 1


def test_peer_closed_after_respond_head_gives_peer_closed_on_the_continued_head():
    s, t = new_state()
    head, seq, dec = request(s, b"POST / HTTP/1.1\r\nexpect: 100-continue\r\n\r\n")
    assert s.arm_watcher(seq, Event()) is True  # empty body: read to its end
    assert s.try_send_continue(seq)
    assert s.respond_head(seq, 200, None, None)[0] == v.H1_REQ_CONTINUE
    assert s.watcher_completed(b"") is True
    assert s.respond_head(seq, 200, None, None) == (v.H1_REQ_PEER_CLOSED, None, False)


@pytest.mark.parametrize("case", ["no_want", "half_close", "closed", "no_transport", "slot",
                                  "body", "window_over", "switch_not_negotiated",
                                  "switch_decided", "codec_bytes", "decoder_bytes"])
def test_arm_decision_refusals(case):
    kw = {"half_close": True} if case == "half_close" else {}
    codec = v.H1Codec()
    s = v.H1ServerState(codec, None if case == "no_transport" else Transport(), **kw)
    data = GET
    if case == "body":
        data = post(b"abc")
    elif case in ("switch_not_negotiated", "switch_decided"):
        data = UPGRADE
    elif case == "decoder_bytes":
        data = GET + b"GET /next"
    head, seq, dec = request(s, data)
    if case == "closed":
        s.stop_serving()
    elif case == "slot":
        assert s.arm_watcher(seq, Event())
    elif case == "window_over":
        s.close_window(seq)
    elif case == "switch_decided":
        s.respond_head(seq, 101, None, None)
    elif case == "codec_bytes":
        codec.feed(b"G")
    want = case != "no_want"
    assert s.arm_watcher(seq, Event(), want=want) is False
    if case == "decoder_bytes":
        # the bytes past the body moved to the codec, in order, and wait for the next head
        assert dec.buffered == 0 and codec.buffered() == len(b"GET /next")
    if case == "switch_not_negotiated":
        s.respond_head(seq, 200, None, None)
        assert s.arm_watcher(seq, Event()) is True


def test_want_is_remembered_until_the_body_is_read():
    s, t = new_state()
    head, seq, dec = request(s, post(b"abc"))
    assert s.arm_watcher(seq, Event()) is False  # body not read yet
    read_body(s, seq, dec)
    assert s.arm_watcher(seq, Event(), want=False) is True  # want stays from the first call


def test_watcher_aborted_completes_the_slot():
    s, t = new_state()
    seq, done, armed = streamed_response(s)
    s.watcher_aborted()
    assert s.has_watcher and not s.watcher_parked
    assert s.take_watcher_result() == (None, None)
    assert not s.has_watcher


def test_take_watcher_result_keeps_a_slot_with_a_handle():
    s, t = new_state()
    seq, done, armed = streamed_response(s)
    s.store_watcher_handle("h")
    s.watcher_completed(b"x")
    assert s.take_watcher_result() == (b"x", None)
    assert s.has_watcher
    assert s.take_watcher_handle() == "h"
    assert s.take_watcher_result() == (None, None)
    assert not s.has_watcher


def test_parked_slot_is_not_freed_by_take_watcher_result():
    s, t = new_state()
    seq, done, armed = streamed_response(s)
    assert s.take_watcher_result() == (None, None)
    assert s.watcher_parked  # the read is still out: the transport keeps its one reader
    assert s.arm_watcher(seq, Event()) is False


def test_watcher_completed_without_slot():
    s, t = new_state()
    assert s.watcher_completed(b"") is False
    assert s.take_watcher_result() == (None, None)
    assert s.watcher_done() is None and s.take_watcher_handle() is None


def test_half_close_never_arms():
    s, t = new_state(half_close=True)
    head, seq, dec = request(s, GET)
    code, wire, armed = s.respond_head(seq, 200, None, Event(), chunked=True, want=True)
    assert armed is False
    assert s.arm_watcher(seq, Event(), want=True, head_negotiated=True) is False


# ---- detach ---------------------------------------------------------------------------------


def test_detach_with_parked_then_completed_watcher():
    s, t = new_state()
    head, seq, dec = request(s, GET)
    assert s.arm_watcher(seq, Event())
    assert s.detach(seq) == (v.H1_REQ_PARKED, None, None)
    assert s.watcher_completed(b"abc") is False
    code, transport, leftover = s.detach(seq)
    assert (code, transport, leftover) == (v.H1_REQ_OK, t, b"abc")
    assert s.upgraded and s.closed
    assert s.detach(seq) == (v.H1_REQ_ALREADY, None, None)
    assert s.mark_closed()[0] is None


def test_detach_leftover_order():
    s, t = new_state()
    head, seq, dec = request(s, GET + b"12")
    assert s.arm_watcher(seq, Event()) is False  # bytes past the body: no watcher needed
    s.codec.feed(b"34")
    code, transport, leftover = s.detach(seq)
    assert leftover == b"1234"


def test_detach_after_response_is_refused():
    s, t = new_state()
    head, seq, dec = request(s, GET)
    s.respond_head(seq, 200, None, None)
    assert s.detach(seq) == (v.H1_REQ_ALREADY, None, None)


# ---- closing and graceful shutdown ----------------------------------------------------------


def test_stop_serving_then_mark_closed():
    s, t = new_state()
    s.begin_read()
    s.stop_serving()
    assert s.closed and s.transport_ref() is t
    assert s.mark_closed() == (t, None, True)
    assert s.mark_closed() == (None, None, True)


def test_mark_closed_in_flight_returns_the_done_event():
    s, t = new_state()
    seq, done, armed = streamed_response(s)
    assert s.mark_closed() == (t, done, False)
    assert s.store_watcher_handle("h") == "h"


def test_graceful_shutdown_with_parked_idle_read():
    s, t = new_state()
    assert s.begin_read() == (v.H1_READ_TRANSPORT, t)
    assert s.request_shutdown() is t
    assert s.closed and s.shutdown_requested and not s.reusable
    assert s.unpark_idle_read() is True
    assert s.request_shutdown() is None


def test_graceful_shutdown_with_a_request_in_flight():
    s, t = new_state()
    s.begin_read()
    s.unpark_idle_read()
    head, seq, dec = request(s, GET)
    assert s.request_shutdown() is None
    code, wire, _ = s.respond_head(seq, 200, None, None)
    assert b"connection: close" in wire
    assert s.finish_response(seq) == (False, True, t, None)
    assert s.begin_read() == (v.H1_NEXT_NONE, None)


def test_shutdown_between_pipelined_requests_reports_shutdown():
    s, t = new_state()
    head, seq, dec = request(s, GET)
    s.respond_head(seq, 200, None, None)
    s.finish_response(seq)
    s.request_shutdown()
    # no longer reusable: no further request is served
    assert s.begin_read() == (v.H1_NEXT_NONE, None)
    s2, t2 = new_state()
    s2.request_shutdown()
    assert s2.drain_done(True) == (v.H1_READ_SHUTDOWN, None)


def test_mark_unusable_closes_after_the_response():
    s, t = new_state()
    head, seq, dec = request(s, GET)
    s.mark_unusable()
    s.respond_head(seq, 200, None, None)
    assert s.finish_response(seq) == (False, True, t, None)


# ---- a keep-alive connection against an independent client ---------------------------------


def test_pipelined_keep_alive_connection_with_h11_client():
    h11 = pytest.importorskip("h11")
    wire = b""
    bodies = [b"", b"x" * 10, b"chunky"]
    for i, body in enumerate(bodies):
        # one h11 client per request: h11 sends the next only after a response; the server
        # sees all of them in one read
        client = h11.Connection(h11.CLIENT)
        headers = [("host", "a")]
        if i == 2:
            headers.append(("transfer-encoding", "chunked"))
        elif body:
            headers.append(("content-length", str(len(body))))
        wire += client.send(h11.Request(method="POST" if body else "GET", target=f"/{i}",
                                        headers=headers))
        if body:
            wire += client.send(h11.Data(data=body))
        wire += client.send(h11.EndOfMessage())
    s, t = new_state()
    responses = b""
    assert s.begin_read() == (v.H1_READ_TRANSPORT, t)
    data = wire
    for i, body in enumerate(bodies):
        head, seq, dec = request(s, data)
        data = b""
        assert head.target == f"/{i}"
        assert read_body(s, seq, dec) == body
        code, out, armed = s.respond_head(seq, 200, v.HeaderMap([("x-seq", str(seq))]), None,
                                          chunked=True)
        responses += s.codec.serialize_head_and_body(out, body.upper() or b"-")
        assert s.finish_response(seq) == (False, False, None, None)
        code, obj = s.begin_read()
        assert code == (v.H1_READ_PARSE if i < len(bodies) - 1 else v.H1_READ_TRANSPORT)
    reader = h11.Connection(h11.CLIENT)
    for i, body in enumerate(bodies):
        reader.send(h11.Request(method="GET", target="/", headers=[("host", "a")]))
        reader.send(h11.EndOfMessage())
        reader.receive_data(responses)
        responses = b""
        ev = reader.next_event()
        assert isinstance(ev, h11.Response) and ev.status_code == 200
        assert dict(ev.headers)[b"x-seq"] == str(i + 1).encode()
        got = b""
        while True:
            ev = reader.next_event()
            if isinstance(ev, h11.Data):
                got += ev.data
            elif isinstance(ev, h11.EndOfMessage):
                break
        assert got == (body.upper() or b"-")
        reader.start_next_cycle()


# ---- respond_whole: a response given whole, in one step ------------------------------------

def whole(s, seq, status=200, headers=None, body=b"", server=None):
    return s.respond_whole(seq, status, headers, body, server)


def test_respond_whole_writes_head_and_body_and_positions_the_next_read():
    s, t = new_state()
    s.begin_read()
    _, seq, _ = request(s, GET)
    code, data, nxt, obj = whole(s, seq, 200, [(b"content-type", b"text/plain")], b"hello",
                                 b"velmora")
    assert code == v.H1_REQ_OK
    assert data == (b"HTTP/1.1 200 OK\r\ncontent-type: text/plain\r\nserver: velmora\r\n"
                    b"content-length: 5\r\n\r\nhello")
    assert (nxt, obj) == (v.H1_READ_TRANSPORT, t)
    assert s.reusable and not s.closed
    # the response is claimed and finished: nothing more for this request
    assert whole(s, seq, 200, None, b"x") == (v.H1_REQ_ALREADY, None, 0, None)


def test_respond_whole_keeps_the_callers_server_and_agreeing_length():
    s, _ = new_state()
    s.begin_read()
    _, seq, _ = request(s, GET)
    code, data, _, _ = whole(s, seq, 200, [(b"Server", b"mine"), (b"content-length", b"2")],
                             b"ok", b"velmora")
    assert code == v.H1_REQ_OK
    assert data == b"HTTP/1.1 200 OK\r\nserver: mine\r\ncontent-length: 2\r\n\r\nok"


def test_respond_whole_to_head_declares_the_length_and_sends_no_body():
    s, _ = new_state()
    s.begin_read()
    _, seq, _ = request(s, b"HEAD / HTTP/1.1\r\nhost: a\r\n\r\n")
    code, data, nxt, _ = whole(s, seq, 200, None, b"hello")
    assert code == v.H1_REQ_OK and nxt == v.H1_READ_TRANSPORT
    assert data == b"HTTP/1.1 200 OK\r\ncontent-length: 5\r\n\r\n"
    # a HEAD answer may declare the length of the body a GET would get, without sending it
    _, seq, _ = request(s, b"HEAD / HTTP/1.1\r\nhost: a\r\n\r\n")
    code, data, _, _ = whole(s, seq, 200, [(b"content-length", b"1000")], b"")
    assert code == v.H1_REQ_OK and data == b"HTTP/1.1 200 OK\r\ncontent-length: 1000\r\n\r\n"


@pytest.mark.parametrize("body, sent", [(b"short", b"short"), (b"far too long", b"")])
def test_respond_whole_body_disagreeing_with_declared_length_is_an_error_value(body, sent):
    s, t = new_state()
    s.begin_read()
    _, seq, _ = request(s, GET + GET)
    code, data, nxt, err = whole(s, seq, 200, [(b"content-length", b"10")], body)
    assert code == v.H1_REQ_OK and nxt == v.H1_NEXT_RAISE
    assert data == b"HTTP/1.1 200 OK\r\ncontent-length: 10\r\n\r\n" + sent
    assert isinstance(err, v.H1Error) and err.args[0] == "body_write_aborted"
    # the response stays unfinished: the caller fails it, and the next request is never served
    assert s.begin_read() == (v.H1_NEXT_RAISE, None)
    assert s.fail_response(seq) is t and s.closed


def test_respond_whole_ends_the_connection_when_it_is_not_reused():
    s, t = new_state()
    s.begin_read()
    _, seq, _ = request(s, b"GET / HTTP/1.1\r\nhost: a\r\nconnection: close\r\n\r\n")
    code, data, nxt, obj = whole(s, seq, 200, None, b"")
    assert code == v.H1_REQ_OK and b"connection: close\r\n" in data
    assert (nxt, obj) == (v.H1_NEXT_CLOSE, t) and s.closed
    # a 101 to an upgrade request is a hand-off, which a whole response ends as well
    s, t = new_state()
    s.begin_read()
    _, seq, _ = request(s, b"GET / HTTP/1.1\r\nhost: a\r\nconnection: upgrade\r\n"
                           b"upgrade: websocket\r\n\r\nleft")
    code, _, nxt, obj = whole(s, seq, 101, [(b"upgrade", b"websocket")], b"")
    assert code == v.H1_REQ_OK and (nxt, obj) == (v.H1_NEXT_CLOSE, t) and s.upgraded


def test_respond_whole_after_pipelined_request_parses_the_buffered_head():
    s, _ = new_state()
    s.begin_read()
    _, seq, _ = request(s, GET + b"GET /2 HTTP/1.1\r\nhost: a\r\n\r\n")
    code, _, nxt, obj = whole(s, seq, 204, None, b"")
    assert code == v.H1_REQ_OK and (nxt, obj) == (v.H1_READ_PARSE, None)
    head, seq2, _ = request(s, b"")
    assert head.target == "/2" and seq2 == seq + 1


def test_respond_whole_codes_continue_peer_closed_and_stale():
    s, _ = new_state()
    s.begin_read()
    _, seq, dec = request(s, post(b"abcd", b"expect: 100-continue\r\n"))
    assert s.try_send_continue(seq)
    assert whole(s, seq, 200, None, b"x") == (v.H1_REQ_CONTINUE, None, 0, None)
    code, data, _, _ = whole(s, seq, 200, None, b"x")
    assert code == v.H1_REQ_OK and data.endswith(b"\r\n\r\nx")
    assert whole(s, 0, 200, None, b"x") == (v.H1_REQ_STALE, None, 0, None)
    assert whole(s, seq + 5, 200, None, b"x") == (v.H1_REQ_STALE, None, 0, None)

    s, _ = new_state()
    s.begin_read()
    _, seq, _ = request(s, GET)
    assert s.arm_watcher(seq, Event())
    assert s.watcher_completed(b"")  # the client went away while the request was current
    assert whole(s, seq, 200, None, b"x") == (v.H1_REQ_PEER_CLOSED, None, 0, None)


def test_respond_whole_refuses_bad_arguments_before_claiming():
    s, _ = new_state()
    s.begin_read()
    _, seq, _ = request(s, GET)
    with pytest.raises(ValueError):
        whole(s, seq, 200, [(b"bad name", b"x")], b"")
    with pytest.raises(TypeError):
        whole(s, seq, 200, None, "text")
    with pytest.raises(ValueError):
        whole(s, seq, 200, None, b"", b"bad\r\nvalue")
    # none of those claimed the response
    code, data, _, _ = whole(s, seq, 200, None, b"")
    assert code == v.H1_REQ_OK and data.startswith(b"HTTP/1.1 200 OK\r\n")
    # a head the codec refuses (an invalid Content-Length) is raised with the claim standing,
    # as respond_head does
    _, seq, _ = request(s, GET)
    with pytest.raises(v.H1UserError) as err:
        whole(s, seq, 200, [(b"content-length", b"x1")], b"x")
    assert err.value.args[0] == "unexpected_header"
    assert whole(s, seq, 200, None, b"x")[0] == v.H1_REQ_ALREADY


def outcome(fields, req, as_map):
    s, _ = new_state()
    s.begin_read()
    _, seq, _ = request(s, req)
    try:
        return whole(s, seq, 200, v.HeaderMap(fields) if as_map else fields, b"hello",
                     b"velmora")[:3]
    except (ValueError, v.H1Error) as exc:
        return type(exc), exc.args


# a short list of byte pairs is read in place, anything else through a HeaderMap: one answer
@pytest.mark.parametrize("fields, req", [
    ([(b"a", b"1"), (b"b", b"2"), (b"a", b"3"), (b"connection", b"x"), (b"Connection", b"close")],
     GET),
    ([(b"connection", b"foo"), (b"x", b"y"), (b"connection", b"bar")],
     b"GET / HTTP/1.0\r\nconnection: keep-alive\r\n\r\n"),
    ([(b"content-length", b"5"), (b"content-length", b"5"), (b"server", b"mine")], GET),
    ([(b"content-length", b"5"), (b"content-length", b"6")], GET),
    ([(b"x-%d" % i, b"v") for i in range(17)], GET),
    ([(b"x", b"bad\nvalue")], GET),
    ([(b"trailer", b"x"), (b"transfer-encoding", b"gzip")], GET),
])
def test_respond_whole_reads_a_list_as_the_map_of_it(fields, req):
    assert outcome(fields, req, False) == outcome(fields, req, True)


SHARED = {"type": "http", "http_version": "1.1", "root_path": "", "client": ("c", 1)}


@pytest.mark.parametrize("raw,root,expect", [
    (b"GET /a%20b?x=1 HTTP/1.1\r\nHost: h\r\nX-A: 1\r\n\r\n", "",
     {"method": "GET", "path": "/a b", "raw_path": b"/a%20b", "query_string": b"x=1",
      "headers": [(b"host", b"h"), (b"x-a", b"1")], "http_version": "1.1"}),
    (b"PATCH http://h/p HTTP/1.0\r\n\r\n", "/app",
     {"method": "PATCH", "path": "/app/p", "raw_path": b"/app/p", "query_string": b"",
      "headers": [], "http_version": "1.0"}),
    (b"GET / HTTP/1.1\r\nConnection: upgrade\r\nUpgrade: websocket\r\n\r\n", "",
     {"method": "GET", "path": "/", "raw_path": b"/", "query_string": b"", "upgrade": True,
      "headers": [(b"connection", b"upgrade"), (b"upgrade", b"websocket")],
      "http_version": "1.1"}),
])
@pytest.mark.parametrize("how", ["whole", "bytewise", "trailing"])
def test_accept_request_makes_the_scope(raw, root, expect, how):
    s, _ = new_state()
    state = {"k": 1}
    feed = [raw + b"GET"] if how == "trailing" else (
        [raw] if how == "whole" else [raw[i:i + 1] for i in range(len(raw))])
    for piece in feed[:-1]:
        assert s.accept_request(piece, SHARED, state, root) is None
    head, seq, dec, scope, target, upgrade = s.accept_request(feed[-1], SHARED, state, root)
    expect = dict(expect)
    assert (seq, target, upgrade) == (1, head.target, expect.pop("upgrade", False))
    assert scope == {**SHARED, **expect, "state": state}
    assert scope["state"] is not state and SHARED["http_version"] == "1.1"
