"""Property test: any sequence of H1ServerState calls with arbitrary seq values raises only the
documented errors, hands the transport out at most once, and lets each request be answered
(or detached) at most once."""

from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

from velmora import _velmora as v


class Transport:
    pass


class Event:
    pass


REQUESTS = [
    b"GET / HTTP/1.1\r\nhost: a\r\n\r\n",
    b"POST /p HTTP/1.1\r\ncontent-length: 3\r\n\r\nabc",
    b"POST /p HTTP/1.1\r\ncontent-length: 5\r\n\r\nab",
    b"POST /c HTTP/1.1\r\ntransfer-encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
    b"POST /u HTTP/1.1\r\nexpect: 100-continue\r\ncontent-length: 2\r\n\r\n",
    b"GET /ws HTTP/1.1\r\nconnection: upgrade\r\nupgrade: x\r\n\r\n",
    b"CONNECT h:443 HTTP/1.1\r\nhost: h:443\r\n\r\n",
    b"GET / HTTP/1.0\r\n\r\n",
    b"GET / HTTP/1.1\r\nconnection: close\r\n\r\n",
    b"GET /",
    b"\r\n",
    b"G@T / HTTP/1.1\r\n\r\n",
]

# Errors the methods document: head parse failures and response encoder refusals.
DOCUMENTED = (v.H1ParseError, v.H1UserError, ValueError)

flags = st.booleans()


class ServerStateMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.transport = Transport()
        self.state = v.H1ServerState(v.H1Codec(date_header=False), self.transport,
                                     keep_alive=True, half_close=False)
        self.owners = []
        self.answered = {}
        self.handles = set()
        self.taken = []

    def seq(self, delta):
        return max(0, self.state.current_seq + delta)

    def own(self, obj, how):
        if obj is self.transport:
            self.owners.append(how)

    def answer(self, seq):
        self.answered[seq] = self.answered.get(seq, 0) + 1

    # ---- between requests

    @rule()
    def begin_read(self):
        code, obj = self.state.begin_read()
        assert 0 <= code <= 8
        if code == v.H1_NEXT_CLOSE:
            self.own(obj, "begin_read")
        elif code != v.H1_READ_TRANSPORT:
            assert obj is None or code == v.H1_READ_WATCHER

    @rule(complete=flags)
    def drain_done(self, complete):
        code, obj = self.state.drain_done(complete)
        if code == v.H1_NEXT_CLOSE:
            self.own(obj, "drain_done")

    @rule()
    def unpark_idle_read(self):
        assert self.state.unpark_idle_read() == self.state.closed

    @rule(data=st.sampled_from(REQUESTS), cut=st.integers(0, 80))
    def accept_head(self, data, cut):
        before = self.state.current_seq
        try:
            r = self.state.accept_head(data[:cut] if cut < len(data) else data)
        except v.H1ParseError:
            assert self.state.current_seq == before
            return
        if r is not None:
            head, seq, dec = r
            assert seq == before + 1 and self.state.current_decoder() is dec

    @rule()
    def fail_read(self):
        self.own(self.state.fail_read(), "fail_read")
        assert self.state.closed

    @rule()
    def stop_serving(self):
        self.state.stop_serving()

    @rule()
    def mark_closed(self):
        transport, done, was_closed = self.state.mark_closed()
        self.own(transport, "mark_closed")

    @rule()
    def mark_unusable(self):
        self.state.mark_unusable()

    @rule()
    def request_shutdown(self):
        self.own(self.state.request_shutdown(), "request_shutdown")

    # ---- per request

    @rule(d=st.integers(-1, 1))
    def try_send_continue(self, d):
        self.state.try_send_continue(self.seq(d))

    @rule(d=st.integers(-1, 1))
    def begin_body_read(self, d):
        self.state.begin_body_read(self.seq(d))

    @rule(d=st.integers(-1, 1), complete=flags)
    def end_body_read(self, d, complete):
        self.state.end_body_read(self.seq(d), complete)

    @rule(d=st.integers(-1, 1))
    def peer_closed(self, d):
        assert self.state.peer_closed_now(self.seq(d)) in (True, False, None)
        assert self.state.peer_closed_flag(self.seq(d)) in (True, False)

    @rule(d=st.integers(-1, 1))
    def close_window(self, d):
        self.state.close_window(self.seq(d))

    @rule(d=st.integers(-1, 1), want=flags, negotiated=flags)
    def arm_watcher(self, d, want, negotiated):
        had = self.state.has_watcher
        armed = self.state.arm_watcher(self.seq(d), Event(), want=want, head_negotiated=negotiated)
        assert not (armed and had)
        if armed:
            assert self.state.watcher_parked and not self.state.half_close

    @rule()
    def store_watcher_handle(self):
        h = Event()
        if self.state.store_watcher_handle(h) is None:
            self.handles.add(id(h))
            self.taken.append(h)  # keep it alive so ids stay unique

    @rule(data=st.sampled_from([None, b"", b"x", b"GET / HTTP/1.1\r\n\r\n"]), err=flags)
    def watcher_completed(self, data, err):
        self.state.watcher_completed(data, OSError() if err else None)
        assert not self.state.watcher_parked

    @rule()
    def watcher_aborted(self):
        self.state.watcher_aborted()

    @rule()
    def take_watcher_handle(self):
        h = self.state.take_watcher_handle()
        if h is not None:
            assert id(h) in self.handles
            self.handles.remove(id(h))

    @rule()
    def take_watcher_result(self):
        data, err = self.state.take_watcher_result()
        assert data is None or isinstance(data, bytes)

    @rule(d=st.integers(-1, 1), status=st.sampled_from([101, 103, 200, 204, 304, 404, 1000]),
          cl=st.one_of(st.none(), st.integers(0, 10)), chunked=flags, want=flags)
    def respond_head(self, d, status, cl, chunked, want):
        seq = self.seq(d)
        try:
            code, head, armed = self.state.respond_head(seq, status, None, Event(),
                                                        content_length=cl, chunked=chunked,
                                                        want=want)
        except DOCUMENTED:
            return
        assert 0 <= code <= 5
        if code == v.H1_REQ_OK:
            assert isinstance(head, bytes)
            self.answer(seq)
        else:
            assert head is None and armed is False

    @rule(d=st.integers(-1, 1))
    def finish_response(self, d):
        switch, close, transport, leftover = self.state.finish_response(self.seq(d))
        self.own(transport, "finish_response")
        assert not (switch and close)
        assert (leftover is not None) == switch

    @rule(d=st.integers(-1, 1))
    def fail_response(self, d):
        self.own(self.state.fail_response(self.seq(d)), "fail_response")

    @rule(d=st.integers(-1, 1))
    def detach(self, d):
        seq = self.seq(d)
        code, transport, leftover = self.state.detach(seq)
        self.own(transport, "detach")
        if code == v.H1_REQ_OK:
            assert isinstance(leftover, bytes)
            self.answer(seq)
        else:
            assert transport is None and leftover is None

    @rule(seq=st.integers(0, 2**64 - 1))
    def calls_with_any_seq(self, seq):
        before = self.state.current_seq
        self.state.try_send_continue(seq)
        self.state.begin_body_read(seq)
        self.state.end_body_read(seq, True)
        self.state.close_window(seq)
        self.state.arm_watcher(seq, Event())
        code, head, armed = self.state.respond_head(seq, 204, None, Event())
        if code == v.H1_REQ_OK:
            self.answer(seq)
        self.own(self.state.finish_response(seq)[2], "finish_response")
        if seq != before or seq == 0:
            assert code == v.H1_REQ_STALE
            assert self.state.detach(seq) == (v.H1_REQ_STALE, None, None)

    # ---- invariants

    @invariant()
    def transport_handed_out_at_most_once(self):
        assert len(self.owners) <= 1, self.owners
        if self.owners:
            assert self.state.transport_ref() is None

    @invariant()
    def one_response_per_request(self):
        assert all(n == 1 for n in self.answered.values()), self.answered

    @invariant()
    def closed_is_never_reusable(self):
        if self.state.closed:
            assert not self.state.reusable
        if self.state.upgraded:
            assert self.state.closed
        if self.state.watcher_parked:
            assert self.state.has_watcher


ServerStateMachine.TestCase.settings = settings(max_examples=300, stateful_step_count=40,
                                                deadline=None)
TestServerStateMachine = ServerStateMachine.TestCase
