"""Our client against our server as a state machine: random interleavings of opens, sends,
partial deliveries, takes and credits, releases, resets, stream limits, shutdowns and
failures. After every step: no window above 2^31-1, every stream's buffered count equals what
was queued and not yet credited, no closed stream holds a slot, and nothing but the module's
own errors is ever raised."""

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

from h2drive import Handle, Ours, hdrs, v
from h2drive import Outgoing

pytestmark = pytest.mark.skipif(not hasattr(v, "H2Streams"), reason="H2Streams is not built yet")

MAX_WINDOW = 2**31 - 1


class Pair(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        kw = dict(auto_release=False, initial_window_size=1000, connection_window=3000,
                  max_send_buf_size=2500)
        self.ends = {"client": Ours("client", **kw), "server": Ours("server", **kw)}
        self.wire = {"client": bytearray(), "server": bytearray()}  # bytes taken, not delivered
        self.inflight = {"client": {}, "server": {}}  # sid -> bytes taken, not yet credited
        self.responded = set()
        for e in self.ends.values():
            e.conn.begin()

    def other(self, side):
        return "server" if side == "client" else "client"

    def call(self, fn, *args):
        try:
            return fn(*args)
        except v.VelmoraError:
            return None

    # ---- the pumps, in pieces
    @rule(side=st.sampled_from(["client", "server"]))
    def take(self, side):
        e = self.ends[side]
        mv, _stopping = e.conn.take_pending()
        self.wire[side] += mv
        mv.release()
        for sid, n in e.queued.items():
            self.inflight[side][sid] = self.inflight[side].get(sid, 0) + n
        e.queued.clear()

    @rule(side=st.sampled_from(["client", "server"]))
    def credit(self, side):
        e = self.ends[side]
        handles = e.conn.credit_written()
        assert len(handles) == len({id(h) for h in handles})
        self.inflight[side].clear()
        for h in handles:
            e._resume(h)

    @rule(side=st.sampled_from(["client", "server"]), frac=st.floats(0.05, 1.0))
    def deliver(self, side, frac):
        buf = self.wire[side]
        n = max(1, int(len(buf) * frac)) if buf else 0
        chunk, self.wire[side] = bytes(buf[:n]), buf[n:]
        if chunk:
            self.ends[self.other(side)].feed(chunk)

    # ---- the application
    @rule(body=st.integers(0, 9000), trailers=st.booleans(), end=st.booleans())
    def open(self, body, trailers, end):
        c = self.ends["client"]
        if not c.conn.try_claim_slot():
            return
        h = Handle()
        end_now = end and body == 0 and not trailers
        sid = self.call(lambda: c.conn.open_stream("POST", "/", hdrs(("x-n", str(body))), end_now,
                                                   False, h, authority="a"))
        if sid is None:
            assert c.conn.num_open_streams >= 0
            return
        h.sid = sid
        c.handles[sid] = h
        if not end_now:
            c.outgoing[sid] = Outgoing(b"c" * body, hdrs(("x-t", "1")) if trailers else None)
            c._resume(h)

    @rule(idx=st.integers(0, 50), body=st.integers(0, 9000), trailers=st.booleans())
    def respond(self, idx, body, trailers):
        s = self.ends["server"]
        pending = [h for h in s.opened if h.sid not in self.responded]
        if not pending:
            return
        h = pending[idx % len(pending)]
        self.responded.add(h.sid)
        self.call(s.respond, h, 200, None, b"s" * body, hdrs(("x-t", "2")) if trailers else None)

    @rule(side=st.sampled_from(["client", "server"]), idx=st.integers(0, 50),
          reason=st.sampled_from([0, 1, 8]))
    def reset(self, side, idx, reason):
        e = self.ends[side]
        if not e.handles:
            return
        sid = sorted(e.handles)[idx % len(e.handles)]
        r = self.call(e.conn.reset_stream, sid, reason)
        e.outgoing.pop(sid, None)
        if r is not None and r.handle is not None:
            assert r.handle is e.handles[sid]

    @rule(side=st.sampled_from(["client", "server"]), idx=st.integers(0, 50),
          n=st.integers(0, 5000))
    def release(self, side, idx, n):
        e = self.ends[side]
        if not e.unreleased:
            return
        sid = sorted(e.unreleased)[idx % len(e.unreleased)]
        n = min(n, e.unreleased[sid])
        e.conn.release_capacity(sid, n)
        e.unreleased[sid] -= n

    @rule(side=st.sampled_from(["client", "server"]))
    def release_all(self, side):
        self.ends[side].release_all()

    @rule(side=st.sampled_from(["client", "server"]), idx=st.integers(0, 50))
    def close_body(self, side, idx):
        e = self.ends[side]
        if not e.handles:
            return
        sid = sorted(e.handles)[idx % len(e.handles)]
        self.call(e.conn.aclose_body, sid)
        e.unreleased.pop(sid, None)
        e.budgeted[:] = [(s, n) for s, n in e.budgeted if s != sid]

    @rule(limit=st.one_of(st.none(), st.integers(0, 4)))
    def stream_limit(self, limit):
        self.ends["client"].conn.apply_stream_limit(limit)

    @rule()
    def graceful(self):
        self.ends["server"].conn.begin_graceful_shutdown()

    @rule(side=st.sampled_from(["client", "server"]))
    def goaway_reply(self, side):
        self.ends[side].conn.maybe_goaway_reply()

    @precondition(lambda self: self.ends["client"].conn.num_streams > 3)
    @rule(side=st.sampled_from(["client", "server"]))
    def fail(self, side):
        e = self.ends[side]
        for h, stop in e.conn.fail():
            assert stop.conn is True and stop.reason is None
            e.outgoing.pop(h.sid, None)

    # ---- invariants
    @invariant()
    def windows_bounded(self):
        for e in self.ends.values():
            c = e.conn
            assert 0 <= c.conn_send_window <= MAX_WINDOW
            assert c.conn_recv_available <= MAX_WINDOW
            for sid in e.handles:
                w = c.stream_send_window(sid)
                assert w is None or 0 <= w <= MAX_WINDOW

    @invariant()
    def buffered_equals_queued_minus_credited(self):
        for side, e in self.ends.items():
            for sid in e.handles:
                b = e.conn.stream_send_buffered(sid)
                if b is None:
                    continue
                assert b == e.queued.get(sid, 0) + self.inflight[side].get(sid, 0), sid

    @invariant()
    def closed_streams_hold_no_slot(self):
        for side, e in self.ends.items():
            live = 0
            for sid in e.handles:
                state = e.conn.stream_state(sid)
                if state is not None and not state.startswith("Closed"):
                    live += 1
            assert e.conn.num_streams == live, (side, e.conn.num_streams, live)
            if side == "client":
                assert e.conn.num_open_streams == live
            assert e.conn.num_streams < 2**32


Pair.TestCase.settings = settings(max_examples=60, stateful_step_count=60, deadline=None,
                                  suppress_health_check=[HealthCheck.too_slow])
TestPair = Pair.TestCase
