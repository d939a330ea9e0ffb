"""H2Streams against the `h2` package, in memory, in both roles: every byte sent arrives, in
order, on the right stream, whatever the windows, frame sizes, splits and interruptions."""

import os

import h2.events
import h2.settings
import pytest

from h2drive import Handle, Ours, Peer, hdrs, pump, v
from h2util import headers_frame

pytestmark = pytest.mark.skipif(not hasattr(v, "H2Streams"), reason="H2Streams is not built yet")

SPLITS = [None, 7, 1]


def body_for(i, size):
    seed = os.urandom(16) + i.to_bytes(4, "big")
    return (seed * (size // len(seed) + 1))[:size]


def peer_respond_echo(peer, answered, trailers=False):
    """The h2 server answers every finished request with its body echoed back."""
    for sid, st in list(peer.streams.items()):
        if st["ended"] and sid not in answered and st["reset"] is None:
            answered.add(sid)
            peer.send(sid, [(b":status", b"200"), (b"x-sid", str(sid).encode())],
                      body=bytes(st["body"]),
                      trailers=[(b"x-len", str(len(st["body"])).encode())] if trailers else None)


def run_client_exchange(ours, peer, n, size, *, chunk=None, trailers=False, on_round=None):
    bodies = {}
    handles = []
    for i in range(n):
        body = body_for(i, size)
        h = ours.request("POST", "/upload/%d" % i, hdrs(("x-i", str(i))), body=body,
                         trailers=hdrs(("x-sum", str(len(body)))) if trailers else None)
        bodies[h.sid] = body
        handles.append(h)
    answered = set()
    for rnd in range(1000):
        pump(ours, peer, chunk=chunk)
        if on_round:
            on_round(rnd)
        peer_respond_echo(peer, answered, trailers)
        pump(ours, peer, chunk=chunk)
        if all(h.eof for h in handles):
            break
    return bodies, handles


@pytest.mark.parametrize("chunk", SPLITS)
def test_client_many_streams_bodies_larger_than_windows(chunk):
    n, size = (12, 150_000) if chunk != 1 else (3, 70_000)
    ours = Ours("client")
    peer = Peer(client_side=False)
    ours.conn.begin()
    pump(ours, peer, chunk=chunk)
    bodies, handles = run_client_exchange(ours, peer, n, size, chunk=chunk, trailers=True)
    for h in handles:
        st = peer.streams[h.sid]
        assert bytes(st["body"]) == bodies[h.sid]
        assert dict(st["trailers"])[b"x-sum"] == str(size).encode()
        assert dict(st["headers"])[b"x-i"] == str(handles.index(h)).encode()
        assert h.eof and h.head.status == 200
        assert bytes(h.body) == bodies[h.sid]
        assert h.trailers["x-len"] == str(size).encode()
        assert h.head.headers["x-sid"] == str(h.sid).encode()
    assert [h.sid for h in handles] == list(range(1, 2 * n, 2))
    assert ours.conn.num_streams == 0
    assert ours.conn.num_open_streams == 0
    assert not any(ours.conn.has_stream(h.sid) for h in handles)
    assert ours.error is None and ours.stream_errors == []


@pytest.mark.parametrize("chunk", SPLITS)
def test_server_many_streams_bodies_larger_than_windows(chunk):
    n, size = (12, 150_000) if chunk != 1 else (3, 70_000)
    ours = Ours("server")
    peer = Peer(client_side=True)
    ours.conn.begin()
    pump(peer, ours, chunk=chunk)
    sent = {}
    for i in range(n):
        sid = peer.c.get_next_available_stream_id()
        body = body_for(i, size)
        sent[sid] = body
        peer.send(sid, [(b":method", b"PUT"), (b":scheme", b"https"), (b":authority", b"a.test"),
                        (b":path", b"/%d" % i)], body=body, trailers=[(b"x-t", b"%d" % i)])
    answered = set()
    for _ in range(1000):
        pump(peer, ours, chunk=chunk)
        for h in ours.opened:
            if h.eof and h.sid not in answered:
                answered.add(h.sid)
                ours.respond(h, 201, hdrs(("x-path", h.head.path)), body=bytes(h.body)[::-1],
                             trailers=hdrs(("x-done", "1")))
        pump(peer, ours, chunk=chunk)
        if all(peer.streams.get(sid, {}).get("ended") for sid in sent):
            break
    for sid, body in sent.items():
        h = ours.handles[sid]
        assert bytes(h.body) == body
        assert h.trailers["x-t"] == str((sid - 1) // 2).encode()
        st = peer.streams[sid]
        hd = dict(st["headers"])
        assert hd[b":status"] == b"201" and b"date" in hd
        assert hd[b"x-path"] == h.head.path.encode()
        assert bytes(st["body"]) == body[::-1]
        assert dict(st["trailers"]) == {b"x-done": b"1"}
    assert ours.conn.num_streams == 0
    assert ours.conn.last_processed_id == max(sent)
    assert ours.error is None and ours.stream_errors == []


def test_small_windows_and_frame_sizes_both_ways():
    # Our receive windows are tiny after the ACK; h2's are tiny from the start.
    ours = Ours("client", initial_window_size=1, connection_window=65535,
                max_send_buf_size=3000)
    peer = Peer(client_side=False, settings={
        h2.settings.SettingCodes.INITIAL_WINDOW_SIZE: 777,
        h2.settings.SettingCodes.MAX_FRAME_SIZE: 16384,
    })
    ours.conn.begin()
    pump(ours, peer)
    assert ours.conn.peer_initial_window_size == 777
    bodies, handles = run_client_exchange(ours, peer, 5, 40_000)
    for h in handles:
        assert bytes(peer.streams[h.sid]["body"]) == bodies[h.sid]
        assert bytes(h.body) == bodies[h.sid]
    # Nothing the peer sent overran a window of 1: h2 honoured our settings once acknowledged.
    assert ours.stream_errors == [] and ours.error is None


def pump_rounds(a, b, n):
    for _ in range(n):
        x, y = a.take(), b.take()
        if x:
            b.feed(x)
        if y:
            a.feed(y)


def test_settings_change_mid_flight_wakes_senders():
    ours = Ours("client")
    peer = Peer(client_side=False)
    ours.conn.begin()
    pump(ours, peer)
    codes = h2.settings.SettingCodes
    bodies = {}
    handles = []
    for i in range(6):
        body = body_for(i, 200_000)
        h = ours.request("POST", "/%d" % i, body=body)
        bodies[h.sid] = body
        handles.append(h)
    pump_rounds(ours, peer, 2)
    # Shrink the windows below what is in flight (they go negative), then grow them far beyond.
    peer.c.update_settings({codes.INITIAL_WINDOW_SIZE: 10})
    pump_rounds(ours, peer, 4)
    assert ours.conn.peer_initial_window_size == 10
    assert any(ours.outgoing.values())
    peer.c.update_settings({codes.INITIAL_WINDOW_SIZE: 1 << 20, codes.MAX_FRAME_SIZE: 1 << 16})
    answered = set()
    for _ in range(100):
        pump(ours, peer)
        peer_respond_echo(peer, answered)
        pump(ours, peer)
        if all(h.eof for h in handles):
            break
    for h in handles:
        assert bytes(peer.streams[h.sid]["body"]) == bodies[h.sid]
        assert bytes(h.body) == bodies[h.sid]
    assert ours.conn.peer_initial_window_size == 1 << 20
    assert ours.conn.peer_max_frame_size == 1 << 16


def test_max_concurrent_streams_from_the_peer_limits_slots():
    ours = Ours("client")
    peer = Peer(client_side=False, settings={h2.settings.SettingCodes.MAX_CONCURRENT_STREAMS: 2})
    ours.conn.begin()
    pump(ours, peer)
    assert ours.conn.stream_limit == 2 and ours.conn.peer_max_concurrent_streams == 2
    ours.request()
    ours.request()
    assert not ours.conn.try_claim_slot()
    assert not ours.conn.can_open()
    pump(ours, peer)
    peer.send(1, [(b":status", b"204")])
    pump(ours, peer)
    assert ours.conn.can_open() and ours.conn.num_open_streams == 1


def test_resets_both_ways():
    ours = Ours("client")
    peer = Peer(client_side=False)
    peer.auto_ack = False  # the request bodies stay in flight
    ours.conn.begin()
    pump(ours, peer)
    a = ours.request("POST", "/a", body=b"x" * 200_000)
    b = ours.request("POST", "/b", body=b"y" * 200_000)
    pump(ours, peer)
    # Ours cancels stream a.
    r = ours.conn.reset_stream(a.sid, 8)
    assert r.handle is a and r.flags & v.H2_FLAG_WAKE
    ours.outgoing.pop(a.sid)
    pump(ours, peer)
    assert peer.streams[a.sid]["reset"] == 8
    # The peer cancels stream b; a later send reports the peer's reason.
    peer.c.reset_stream(b.sid, error_code=8)
    pump(ours, peer)
    assert b.stop is not None and b.stop.reason == 8 and b.stop.conn is False
    vd = ours.conn.send_data(b.sid, b"more", 0, False)
    assert vd.sent == 0 and not vd.done
    assert (vd.stopped.reason, vd.stopped.conn) == (8, False)
    assert ours.conn.num_streams == 0 and ours.conn.num_open_streams == 0
    assert ours.error is None
    # The connection is still usable.
    peer.auto_ack = True
    c = ours.request("GET", "/c")
    pump(ours, peer)
    peer.send(c.sid, [(b":status", b"200")], body=b"ok")
    pump(ours, peer)
    assert bytes(c.body) == b"ok" and c.eof


def test_send_after_peer_reset_reports_the_peer_reason_after_the_record_is_gone():
    ours = Ours("client", auto_release=False)
    peer = Peer(client_side=False)
    ours.conn.begin()
    pump(ours, peer)
    h = Handle()
    assert ours.conn.try_claim_slot()
    h.sid = ours.conn.open_stream("POST", "/", None, False, False, h, authority="a")
    ours.handles[h.sid] = h
    pump(ours, peer)
    peer.c.send_headers(h.sid, [(b":status", b"200")])
    peer.c.send_data(h.sid, b"abc")  # unread bytes keep the record
    pump(ours, peer)
    peer.c.reset_stream(h.sid, error_code=8)
    pump(ours, peer)
    assert h.stop == v.H2Stopped(8, False)
    # The reset reclaimed the unread bytes and dropped the record; a late sender still
    # learns the peer's reason.
    assert not ours.conn.has_stream(h.sid)
    vd = ours.conn.send_data(h.sid, b"more", 0, False)
    assert vd.stopped is not None
    assert (vd.stopped.reason, vd.stopped.conn) == (8, False)
    assert repr(vd.stopped) == "H2Stopped(reason=Some(8), conn=false)"
    assert ours.conn.send_trailers(h.sid, hdrs(("a", "b"))).stopped == v.H2Stopped(8, False)


def test_goaway_from_the_peer_aborts_unprocessed_streams():
    ours = Ours("client")
    peer = Peer(client_side=False)
    ours.conn.begin()
    pump(ours, peer)
    hs = [ours.request("GET", "/%d" % i) for i in range(3)]
    pump(ours, peer)
    peer.c.close_connection(error_code=0, last_stream_id=3)
    pump(ours, peer)
    assert ours.goaway.last_stream_id == 3
    assert hs[2].stop is not None and (hs[2].stop.reason, hs[2].stop.conn) == (0, True)
    assert hs[0].stop is None and hs[1].stop is None
    assert ours.conn.is_closed() and not ours.conn.is_failed()
    assert ours.conn.goaway_info() == (3, 0, b"")
    assert ours.conn.try_claim_slot()
    assert ours.conn.open_stream("GET", "/", None, True, False, object(),
                                 authority="x") is None
    assert ours.conn.num_open_streams == 2  # the slot given back, the two live streams remain
    # The two processed streams end; then we answer the final GOAWAY and close.
    assert ours.conn.maybe_goaway_reply() == 0
    for h in hs[:2]:
        ours.conn.reset_stream(h.sid, 8)
    assert ours.conn.num_streams == 0
    assert ours.conn.maybe_goaway_reply() == v.H2_FLAG_WAKE | v.H2_FLAG_CONN_DONE
    assert ours.conn.goaway_replied
    assert ours.conn.maybe_goaway_reply() == 0
    err = ours.conn.conn_error()
    assert isinstance(err, v.ConnectionClosedError)
    assert err.args == ("connection closed: GOAWAY exchanged",)


def test_graceful_shutdown_first_goaway_reaches_an_h2_client():
    ours = Ours("server")
    peer = Peer(client_side=True)
    ours.conn.begin()
    pump(peer, ours)
    sid = peer.c.get_next_available_stream_id()
    peer.send(sid, [(b":method", b"GET"), (b":scheme", b"https"), (b":authority", b"a"),
                    (b":path", b"/")])
    pump(peer, ours)
    assert ours.conn.begin_graceful_shutdown() == v.H2_FLAG_WAKE
    data = ours.take()
    # h2 treats any GOAWAY as the end of the connection, so it gets only the first frame.
    assert data[3] == 7 and data[:3] == b"\x00\x00\x08"
    (ev,) = peer.c.receive_data(data[:17])
    assert isinstance(ev, h2.events.ConnectionTerminated)
    assert (ev.last_stream_id, ev.error_code) == (2147483647, 0)


def test_hpack_failure_ends_the_connection_with_compression_error():
    ours = Ours("server")
    peer = Peer(client_side=True)
    ours.conn.begin()
    pump(peer, ours)
    # An indexed field with index 0 is not a valid HPACK representation.
    ours.feed(headers_frame(1, b"\x80", end_stream=True))
    assert isinstance(ours.error, v.H2ProtocolError)
    assert ours.error.args[0] == 9
    pump(peer, ours)
    assert peer.terminated is not None and peer.terminated.error_code == 9



@pytest.mark.parametrize("settings,announced,second", [
    ({8: 1}, True, None),  # RFC 8441 section 3
    ({}, False, None),
    ({8: 1}, True, 0),  # withdrawn: a connection error
    ({8: 2}, None, None),  # neither 0 nor 1: a connection error (RFC 8441 section 3)
])
def test_extended_connect_needs_the_servers_setting(settings, announced, second):
    ours = Ours("client")
    peer = Peer(client_side=False)
    ours.conn.begin()
    if 8 in settings and settings[8] > 1:
        peer.c._data_to_send += b"\x00\x00\x06\x04\x00\x00\x00\x00\x00\x00\x08\x00\x00\x00\x02"
    elif settings:
        peer.c.update_settings(settings)
    pump(ours, peer)
    if announced is None:
        assert ours.error is not None and ours.error.args[0] == 1  # PROTOCOL_ERROR
        return
    assert ours.conn.peer_connect_protocol is announced
    if second is not None:
        peer.c._data_to_send += b"\x00\x00\x06\x04\x00\x00\x00\x00\x00\x00\x08\x00\x00\x00\x00"
        pump(ours, peer)
        assert ours.error is not None and ours.error.args[0] == 1
        return
    assert ours.conn.try_claim_slot()
    args = ("CONNECT", "/chat?x=1", hdrs(("sec-websocket-version", "13")), False, False, Handle())
    if not announced:
        with pytest.raises(ValueError):
            ours.conn.open_stream(*args, scheme="https", authority="a.example",
                                  protocol="websocket")
        return
    with pytest.raises(ValueError):  # :protocol goes with CONNECT only
        ours.conn.open_stream("GET", *args[1:], scheme="https", authority="a.example",
                              protocol="websocket")
    sid = ours.conn.open_stream(*args, scheme="https", authority="a.example",
                                protocol="websocket")
    pump(ours, peer)
    assert dict(peer.streams[sid]["headers"]) == {
        b":method": b"CONNECT", b":protocol": b"websocket", b":scheme": b"https",
        b":authority": b"a.example", b":path": b"/chat?x=1", b"sec-websocket-version": b"13"}


def test_a_server_ignores_a_clients_connect_protocol_setting():
    ours = Ours("server", enable_connect_protocol=True)
    peer = Peer(client_side=True)
    for value in (b"\x01", b"\x00"):  # announced, then withdrawn
        peer.c._data_to_send += b"\x00\x00\x06\x04\x00\x00\x00\x00\x00\x00\x08\x00\x00\x00" + value
        pump(ours, peer)  # RFC 8441 section 3: no effect on a server
    assert ours.error is None and not ours.conn.peer_connect_protocol
