"""H1ClientState: exchanges and the idle watcher, driven the way the client driver drives them."""

import pytest

from velmora import _velmora as v


class Transport:
    pass


class Event:
    pass


def new_state():
    t = Transport()
    return v.H1ClientState(t), t


def test_fresh_state():
    s, t = new_state()
    assert s.transport_ref() is t
    assert (s.closed, s.busy, s.upgraded, s.peer_http10, s.error, s.has_watcher,
            s.writer_finished) == (False, False, False, False, None, False, False)
    assert s.is_dead() is False
    assert repr(s) == ("H1ClientState(closed=false, failed=false, busy=false, "
                       "exchange_active=false, watcher=false)")


def test_subclass():
    class Connection(v.H1ClientState):
        pass

    c = Connection(Transport())
    assert isinstance(c, v.H1ClientState) and not c.busy


def test_argument_errors():
    s, _ = new_state()
    with pytest.raises(TypeError):
        s.set_peer_http10(1)
    with pytest.raises(TypeError):
        s.watcher_completed("x")
    with pytest.raises(TypeError):
        v.H1ClientState()
    assert repr(s).startswith("H1ClientState(closed=false")


def test_exchange_claim():
    s, _ = new_state()
    assert s.try_begin_exchange() is True
    assert s.try_begin_exchange() is False
    assert s.busy
    assert s.end_exchange() is True
    assert s.end_exchange() is False
    assert s.try_begin_exchange() is True


def test_reused_connection_with_idle_watcher_handoff():
    """Two exchanges; between them an idle watcher's read becomes the next exchange's first read."""
    s, t = new_state()
    codec = v.H1Codec()
    # exchange 1
    assert s.try_begin_exchange()
    s.exchange_started()
    scope = object()
    assert s.store_writer(scope) is None
    s.writer_done()
    assert s.writer_finished
    assert s.take_writer() is scope and s.take_writer() is None
    assert s.end_exchange()
    # idle period
    done = Event()
    assert s.arm_watcher(done) is True
    assert s.arm_watcher(Event()) is False  # one watcher per idle period
    handle = object()
    assert s.store_watcher_handle(handle) is None
    assert s.store_watcher_handle(object()) is not None
    # exchange 2 starts while the read is parked; the read completes with the response
    assert s.try_begin_exchange()
    assert s.writer_finished is False
    s.exchange_started()
    codec.serialize_request("GET", "/", v.HeaderMap([("host", "h")]))
    resp = b"HTTP/1.1 200 OK\r\ncontent-length: 2\r\n\r\nok"
    assert s.watcher_completed(resp) == (v.H1_WATCH_HANDOFF, None)
    assert s.take_watcher_result() == (resp, None)
    assert s.has_watcher  # the handle still has to be joined
    assert s.take_watcher_handle() is handle and s.take_watcher_handle() is None
    assert s.take_watcher_result() == (None, None) and not s.has_watcher
    head = codec.receive_head(resp)
    assert head.status == 200 and codec.take_body() == b"ok"
    assert s.end_exchange()


def test_idle_end_of_stream_closes():
    s, t = new_state()
    s.arm_watcher(Event())
    assert s.watcher_completed(b"") == (v.H1_WATCH_IDLE_EOF, t)
    assert s.closed and s.is_dead() and s.transport_ref() is None


@pytest.mark.parametrize("data,error", [(None, None)])
def test_idle_read_with_nothing_is_end_of_stream(data, error):
    s, t = new_state()
    s.arm_watcher(Event())
    assert s.watcher_completed(data, error) == (v.H1_WATCH_IDLE_EOF, t)


def test_idle_unexpected_bytes_do_not_close():
    s, t = new_state()
    s.arm_watcher(Event())
    assert s.watcher_completed(b"HTTP/1.1 408 x\r\n\r\n") == (v.H1_WATCH_IDLE_BYTES, None)
    assert not s.closed and s.take_watcher_result() == (None, None)


def test_idle_error():
    s, t = new_state()
    s.arm_watcher(Event())
    err = OSError("reset")
    assert s.watcher_completed(None, err) == (v.H1_WATCH_IDLE_ERROR, None)
    assert s.fail(err) is t and s.error is err


def test_idle_error_after_close_is_ignored():
    s, t = new_state()
    s.arm_watcher(Event())
    s.close_now()
    assert s.watcher_completed(None, OSError()) == (v.H1_WATCH_IGNORED, None)


def test_watcher_completed_without_slot():
    s, _ = new_state()
    assert s.watcher_completed(b"x") == (v.H1_WATCH_IGNORED, None)


def test_watcher_aborted():
    s, _ = new_state()
    s.arm_watcher(Event())
    s.watcher_aborted()
    assert s.has_watcher
    assert s.take_watcher_result() == (None, None)
    assert not s.has_watcher
    assert s.arm_watcher(Event()) is True


def test_parked_slot_survives_take_watcher_result():
    s, _ = new_state()
    s.arm_watcher(Event())
    assert s.take_watcher_result() == (None, None)
    assert s.has_watcher and s.arm_watcher(Event()) is False


def test_fail_keeps_the_first_error():
    s, t = new_state()
    e1, e2 = ValueError(1), ValueError(2)
    assert s.fail(e1) is t
    assert s.fail(e2) is None
    assert s.error is e1 and s.is_dead()
    assert repr(s).startswith("H1ClientState(closed=true, failed=true")


def test_fail_without_error():
    s, t = new_state()
    assert s.fail() is t
    assert s.is_dead() and s.error is None


def test_stored_error_refuses_watcher_but_not_exchanges():
    s, t = new_state()
    s.fail(ValueError())
    assert s.arm_watcher(Event()) is False
    assert s.try_begin_exchange() is True


@pytest.mark.parametrize("close", ["fail", "close_now"])
def test_arm_watcher_refused_after_close(close):
    s, _ = new_state()
    getattr(s, close)()
    assert s.arm_watcher(Event()) is False


def test_arm_watcher_refused_without_transport():
    s = v.H1ClientState(None)
    assert s.arm_watcher(Event()) is False


def test_upgrade():
    s, t = new_state()
    s.try_begin_exchange()
    s.exchange_started()
    assert s.upgrade() is t
    assert s.closed and s.upgraded
    assert s.close_now() is None
    assert s.mark_closed() == (None, None, None, False)


def test_writer_after_close_and_mark_closed_takes_it_once():
    s, t = new_state()
    s.try_begin_exchange()
    scope = object()
    s.store_writer(scope)
    assert s.mark_closed() == (t, None, scope, False)
    assert s.take_writer() is None
    other = object()
    assert s.store_writer(other) is other


def test_store_writer_after_close_now_is_refused():
    s, _ = new_state()
    s.close_now()
    scope = object()
    assert s.store_writer(scope) is scope


def test_mark_closed_idle_with_watcher():
    s, t = new_state()
    done = Event()
    s.arm_watcher(done)
    assert s.mark_closed() == (t, done, None, True)
    assert s.watcher_done() is done
    assert s.store_watcher_handle("h") == "h"


def test_peer_http10():
    s, _ = new_state()
    s.set_peer_http10(True)
    assert s.peer_http10
    s.set_peer_http10(False)
    assert not s.peer_http10


def test_arm_resets_exchange_active():
    s, t = new_state()
    s.try_begin_exchange()
    s.exchange_started()
    s.end_exchange()
    assert s.arm_watcher(Event())
    # an idle read is classified as idle, not handed to a finished exchange
    assert s.watcher_completed(b"x")[0] == v.H1_WATCH_IDLE_BYTES


def test_refused_objects_are_released_after_unlocking():
    """A refused object whose finalizer calls back into the state must not deadlock."""
    s, _ = new_state()
    seen = []

    class Reentrant:
        def __del__(self):
            seen.append((s.has_watcher, repr(s)))

    s.close_now()
    assert s.arm_watcher(Reentrant()) is False
    s.fail(ValueError())  # the first error is stored
    s.fail(Reentrant())  # later ones are released
    assert len(seen) == 2
    assert seen[1][1].startswith("H1ClientState(closed=true, failed=true")


# (keep_alive, request_close, close_delimited, writer_finished, peer_closed, leftover) -> reused
REUSE = [
    ((True, False, False, True, False, False), True),
    ((False, False, False, True, False, False), False),  # Connection: close, or HTTP/1.0
    ((True, True, False, True, False, False), False),  # the request asked to close
    ((True, False, True, True, False, False), False),  # the body ran until the close
    ((True, False, False, False, False, False), False),  # the request body was not sent in full
    ((True, False, False, True, True, False), False),  # the server ended its side
    ((True, False, False, True, False, True), False),  # bytes past the end of the response
]


@pytest.mark.parametrize("facts,reused", REUSE)
def test_reuse_decision(facts, reused):
    keep_alive, request_close, close_delimited, writer_finished, peer_closed, leftover = facts
    s, t = new_state()
    assert s.try_begin_exchange()
    s.exchange_started()
    s.response_head(keep_alive, request_close, close_delimited, False)
    if writer_finished:
        s.writer_done()
    if peer_closed:
        s.note_peer_closed()
    assert s.complete_exchange(leftover) == ((True, None) if reused else (False, t))
    assert (s.busy, s.closed) == (not reused, not reused)


def test_a_failed_connection_is_not_reused_and_http10_is_remembered():
    s, t = new_state()
    s.try_begin_exchange()
    s.response_head(True, False, False, True)
    s.writer_done()
    s.fail(ValueError())
    assert s.peer_http10 and s.complete_exchange(False) == (False, None)


def test_a_connection_the_server_ended_is_dead():
    s, _ = new_state()
    s.note_peer_closed()
    assert s.is_dead() and s.peer_closed and not s.closed
