"""H2StreamState: every (state, event) pair of the RFC 9113 section 5.1 lifecycle.

The expected behaviour comes from a small reference model below, written row by row from the
stream-state transition table; the test walks every reachable state against every event,
including the refused ones that must leave the state unchanged.
"""

import itertools

import pytest

from velmora import _velmora as v

AH, S = "AwaitingHeaders", "Streaming"
BROKEN_PIPE = "stream closed because of a broken pipe"

# ---- reference model --------------------------------------------------------------------------
#
# States: ("Idle",) ("ReservedLocal",) ("ReservedRemote",) ("Open", local, remote)
# ("HalfClosedLocal", remote) ("HalfClosedRemote", local) ("Closed", cause), where cause is
# ("EndStream",) | ("Error", err) | ("ErrorAfterEndStream", err) | ("ScheduledLibraryReset", r)
# and err is ("Reset", sid, reason, who) | ("Io",).

CLOSED_ES = ("Closed", ("EndStream",))
USER_ERR = ("raise", v.H2UserError, ("unexpected_frame_type", "unexpected frame type"))
PROTO_ERR = ("raise", v.H2ProtocolError, (1, "unspecific protocol error detected"))


def model(state, event, args):
    """(new state, result) for one event; result is a value or a ("raise", cls, args) triple."""
    kind = state[0]
    if event == "send_open":
        (eos,) = args
        if kind == "Idle":
            return (("HalfClosedLocal", AH) if eos else ("Open", S, AH)), None
        if kind == "Open" and state[1] == AH:
            return (("HalfClosedLocal", state[2]) if eos else ("Open", S, state[2])), None
        if state == ("HalfClosedRemote", AH) or kind == "ReservedLocal":
            return (CLOSED_ES if eos else ("HalfClosedRemote", S)), None
        return state, USER_ERR
    if event == "recv_open":
        eos, informational = args
        remote = AH if informational else S
        if kind == "Idle":
            return (("HalfClosedRemote", AH) if eos else ("Open", AH, remote)), True
        if kind == "ReservedRemote":
            if eos:
                return CLOSED_ES, True
            return (state if informational else ("HalfClosedLocal", S)), True
        if kind == "Open" and state[2] == AH:
            return (("HalfClosedRemote", state[1]) if eos else ("Open", state[1], remote)), False
        if state == ("HalfClosedLocal", AH):
            if eos:
                return CLOSED_ES, False
            return (state if informational else ("HalfClosedLocal", S)), False
        return state, PROTO_ERR
    if event == "reserve_remote":
        return (("ReservedRemote",), None) if kind == "Idle" else (state, PROTO_ERR)
    if event == "reserve_local":
        return (("ReservedLocal",), None) if kind == "Idle" else (state, USER_ERR)
    if event == "recv_close":
        if kind == "Open":
            return ("HalfClosedRemote", state[1]), None
        if kind == "HalfClosedLocal":
            return CLOSED_ES, None
        return state, PROTO_ERR
    if event == "send_close":
        if kind == "Open" and state[1] == S:
            return ("HalfClosedLocal", state[2]), True
        if state == ("HalfClosedRemote", S):
            return CLOSED_ES, True
        return state, False
    if event == "recv_reset":
        sid, reason, queued = args
        err = ("Reset", sid, reason, "Remote")
        if kind == "Closed" and not queued:
            return state, None
        if kind == "HalfClosedRemote" or (
            kind == "Closed" and state[1][0] in ("EndStream", "ErrorAfterEndStream")
        ):
            return ("Closed", ("ErrorAfterEndStream", err)), None
        return ("Closed", ("Error", err)), None
    if event == "recv_eof":
        return (state if kind == "Closed" else ("Closed", ("Error", ("Io",)))), None
    if event == "set_reset":
        sid, reason, who = args
        return ("Closed", ("Error", ("Reset", sid, reason, who.capitalize()))), None
    if event == "set_scheduled_reset":
        (reason,) = args
        if kind == "Closed":
            return state, False
        return ("Closed", ("ScheduledLibraryReset", reason)), True
    raise AssertionError(event)


def model_predicates(state):
    kind = state[0]
    cause = state[1][0] if kind == "Closed" else None
    err = state[1][1] if cause in ("Error", "ErrorAfterEndStream") else None
    return {
        "is_scheduled_reset": cause == "ScheduledLibraryReset",
        "is_local_error": cause == "ScheduledLibraryReset"
        or (err is not None and (err[0] == "Io" or err[3] != "Remote")),
        "is_remote_reset": err is not None and err[0] == "Reset" and err[3] == "Remote",
        "is_reset": kind == "Closed" and cause != "EndStream",
        "is_send_streaming": (kind == "Open" and state[1] == S) or state == ("HalfClosedRemote", S),
        "is_recv_headers": kind in ("Idle", "ReservedRemote")
        or (kind == "Open" and state[2] == AH)
        or state == ("HalfClosedLocal", AH),
        "is_recv_streaming": (kind == "Open" and state[2] == S) or state == ("HalfClosedLocal", S),
        "is_recv_end_stream": kind == "HalfClosedRemote"
        or cause in ("EndStream", "ErrorAfterEndStream"),
        "is_closed": kind == "Closed",
        "is_send_closed": kind in ("Closed", "HalfClosedLocal", "ReservedRemote"),
        "is_idle": kind == "Idle",
    }


def model_ensure_recv_open(state):
    kind = state[0]
    if kind == "Closed":
        cause = state[1]
        if cause[0] == "Error":
            err = cause[1]
            if err[0] == "Io":
                return ("raise", v.ConnectionClosedError, (BROKEN_PIPE,))
            return ("raise", v.H2StreamError, (err[1], err[2], err[3].lower()))
        if cause[0] == "ScheduledLibraryReset":
            return ("raise", v.H2ProtocolError, (cause[1], REASONS.get(cause[1], "unknown reason")))
        return False
    return kind not in ("HalfClosedRemote", "ReservedLocal")


REASONS = {2: "unexpected internal error encountered", 8: "stream no longer needed"}


def render(state):
    kind = state[0]
    if kind == "Open":
        return f"Open {{ local: {state[1]}, remote: {state[2]} }}"
    if kind in ("HalfClosedLocal", "HalfClosedRemote"):
        return f"{kind}({state[1]})"
    if kind != "Closed":
        return kind
    cause = state[1]
    if cause[0] == "EndStream":
        return "Closed(EndStream)"
    if cause[0] == "ScheduledLibraryReset":
        return f"Closed(ScheduledLibraryReset({cause[1]}))"
    err = cause[1]
    text = f'Io(BrokenPipe, "{BROKEN_PIPE}")' if err[0] == "Io" else "Reset({}, {}, {})".format(*err[1:])
    return f"Closed({cause[0]}({text}))"


# ---- reachable states, each with the calls that reach it from Idle ---------------------------

STATES = {
    ("Idle",): [],
    ("ReservedLocal",): [("reserve_local", ())],
    ("ReservedRemote",): [("reserve_remote", ())],
    ("Open", AH, AH): [("recv_open", (False, True))],
    ("Open", AH, S): [("recv_open", (False, False))],
    ("Open", S, AH): [("send_open", (False,))],
    ("Open", S, S): [("send_open", (False,)), ("recv_open", (False, False))],
    ("HalfClosedLocal", AH): [("send_open", (True,))],
    ("HalfClosedLocal", S): [("send_open", (True,)), ("recv_open", (False, False))],
    ("HalfClosedRemote", AH): [("recv_open", (True, False))],
    ("HalfClosedRemote", S): [("recv_open", (True, False)), ("send_open", (False,))],
    CLOSED_ES: [("send_open", (True,)), ("recv_open", (True, False))],
    ("Closed", ("Error", ("Reset", 3, 8, "Remote"))): [("recv_reset", (3, 8, False))],
    ("Closed", ("ErrorAfterEndStream", ("Reset", 3, 8, "Remote"))): [
        ("recv_open", (True, False)),
        ("recv_reset", (3, 8, False)),
    ],
    ("Closed", ("Error", ("Reset", 5, 2, "User"))): [("set_reset", (5, 2, "user"))],
    ("Closed", ("Error", ("Reset", 7, 1, "Library"))): [("set_reset", (7, 1, "library"))],
    ("Closed", ("Error", ("Reset", 9, 0, "Remote"))): [("set_reset", (9, 0, "remote"))],
    ("Closed", ("Error", ("Io",))): [("recv_eof", ())],
    ("Closed", ("ScheduledLibraryReset", 8)): [("set_scheduled_reset", (8,))],
}

EVENTS = (
    [("send_open", (eos,)) for eos in (False, True)]
    + [("recv_open", args) for args in itertools.product((False, True), repeat=2)]
    + [("reserve_remote", ()), ("reserve_local", ()), ("recv_close", ()), ("send_close", ())]
    + [("recv_reset", (11, 5, queued)) for queued in (False, True)]
    + [("recv_eof", ())]
    + [("set_reset", (13, 4, who)) for who in ("user", "library", "remote")]
    + [("set_scheduled_reset", (2,))]
)


def reach(state):
    s = v.H2StreamState()
    for name, args in STATES[state]:
        getattr(s, name)(*args)
    assert repr(s) == render(state)
    return s


def call(s, name, args):
    try:
        return getattr(s, name)(*args)
    except v.VelmoraError as e:
        return ("raise", type(e), e.args)


@pytest.mark.parametrize("state", list(STATES), ids=render)
@pytest.mark.parametrize("event", EVENTS, ids=lambda e: f"{e[0]}{e[1]}")
def test_transition_table(state, event):
    s = reach(state)
    name, args = event
    expected_state, expected_result = model(state, name, args)
    assert call(s, name, args) == expected_result
    assert repr(s) == render(expected_state)


@pytest.mark.parametrize("state", list(STATES), ids=render)
def test_predicates(state):
    s = reach(state)
    for name, expected in model_predicates(state).items():
        assert getattr(s, name)() is expected, name
    reason = state[1][1] if state[0] == "Closed" and state[1][0] == "ScheduledLibraryReset" else None
    assert s.get_scheduled_reset() == reason
    assert call(s, "ensure_recv_open", ()) == model_ensure_recv_open(state)
    assert repr(s) == render(state), "queries changed the state"


# ---- the document's worked cases -------------------------------------------------------------


def test_informational_heads_keep_awaiting():
    s = v.H2StreamState()
    assert s.recv_open(False, True) is True
    assert repr(s) == "Open { local: AwaitingHeaders, remote: AwaitingHeaders }"
    assert s.recv_open(False, False) is False
    assert s.is_recv_streaming()


def test_reset_after_end_stream_keeps_body_complete():
    s = v.H2StreamState()
    s.recv_open(False, False)
    s.send_open(False)
    s.recv_close()
    s.recv_reset(5, 8, False)
    assert s.is_reset() and s.is_remote_reset() and s.is_recv_end_stream()
    assert s.ensure_recv_open() is False


def test_scheduled_reset_raises_on_receive():
    s = v.H2StreamState()
    s.send_open(False)
    assert s.set_scheduled_reset(8) is True
    assert s.get_scheduled_reset() == 8
    with pytest.raises(v.H2ProtocolError) as info:
        s.ensure_recv_open()
    assert info.value.args == (8, "stream no longer needed")
    assert s.set_scheduled_reset(1) is False
    assert s.get_scheduled_reset() == 8


def test_eof_is_a_local_error():
    s = v.H2StreamState()
    s.send_open(False)
    s.recv_eof()
    assert s.is_local_error()
    with pytest.raises(v.ConnectionClosedError) as info:
        s.ensure_recv_open()
    assert info.value.args == (BROKEN_PIPE,)


# ---- bad arguments change nothing -------------------------------------------------------------


@pytest.mark.parametrize(
    "call_args, exc, message",
    [
        (("set_reset", 1, 8, "peer"), ValueError,
         "initiator must be 'user' | 'library' | 'remote', got \"peer\""),
        (("set_reset", 1, 8, "User"), ValueError,
         "initiator must be 'user' | 'library' | 'remote', got \"User\""),
        (("set_reset", 1, 8, 'a"b\n'), ValueError,
         "initiator must be 'user' | 'library' | 'remote', got \"a\\\"b\\n\""),
        (("set_reset", 2**31, 8, "user"), ValueError, "stream_id"),
        (("recv_reset", 2**31, 8, True), ValueError, "stream_id"),
        (("recv_reset", 2**32 - 1, 8, True), ValueError, "stream_id"),
        (("set_reset", 2**32, 8, "user"), OverflowError, None),
        (("set_reset", -1, 8, "user"), OverflowError, None),
        (("set_reset", 1, 2**32, "user"), OverflowError, None),
        (("set_reset", 1, 8, b"user"), TypeError, None),
        (("recv_reset", 1, 8, 1), TypeError, None),
        (("send_open", 1), TypeError, None),
        (("recv_open", True), TypeError, None),
        (("set_scheduled_reset", -1), OverflowError, None),
        (("set_scheduled_reset", 1.0), TypeError, None),
    ],
)
def test_bad_arguments_leave_state_unchanged(call_args, exc, message):
    s = v.H2StreamState()
    s.send_open(False)
    before = repr(s)
    name, *args = call_args
    with pytest.raises(exc) as info:
        getattr(s, name)(*args)
    if message is not None:
        if exc is ValueError and message == "stream_id":
            assert "stream_id" in str(info.value) and str(args[0]) in str(info.value)
        else:
            assert str(info.value) == message
    assert repr(s) == before


def test_largest_stream_id_is_accepted():
    s = v.H2StreamState()
    s.set_reset(2**31 - 1, 2**32 - 1, "remote")
    with pytest.raises(v.H2StreamError) as info:
        s.ensure_recv_open()
    assert info.value.args == (2**31 - 1, 2**32 - 1, "remote")


def test_keyword_arguments():
    s = v.H2StreamState()
    assert s.recv_open(eos=False, informational=False) is True
    s.recv_reset(stream_id=1, reason=8, queued=False)
    assert s.is_remote_reset()
    with pytest.raises(TypeError):
        v.H2StreamState(1)
