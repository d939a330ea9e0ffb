"""Object lifetime of H2Streams: every object it stores takes part in cyclic garbage
collection, objects it lets go of are released only after its lock is dropped (a finalizer
that calls back into the connection must not deadlock), and write batches give their buffer
back even after their connection is gone."""

import gc
import os
import subprocess
import sys
import textwrap
import weakref

import pytest

from h2drive import DEFAULTS, Handle, ours_pair, pump, v

pytestmark = pytest.mark.skipif(not hasattr(v, "H2Streams"), reason="H2Streams is not built yet")


class Conn(v.H2Streams):
    pass


def new(role="client", cls=Conn, **kw):
    args = dict(DEFAULTS)
    args.update(kw)
    return cls(role, **args)


# ---- cyclic garbage collection --------------------------------------------------------------


def cycle(where):
    c = new()
    c.begin()
    h = Handle()
    h.owner = c  # the handle refers back to its connection
    if where == "stream":
        assert c.try_claim_slot()
        c.open_stream("GET", "/", None, False, False, h, authority="a")
    elif where == "tasks":
        c.store_task_handles(h, h)
    elif where == "exception":
        e = RuntimeError("x")
        e.conn = c
        c.fail(e)
    elif where == "batch":
        mv, _ = c.take_pending()
        c.keep = mv  # connection -> memoryview -> batch -> connection
    elif where == "verdict":
        assert c.try_claim_slot()
        sid = c.open_stream("POST", "/", None, False, False, h, authority="a")
        h.verdict = c.send_data(sid, b"x", 0, True)
        h.reset = c.reset_stream(sid, 8)
    return c


@pytest.mark.parametrize("where", ["stream", "tasks", "exception", "batch", "verdict"])
def test_subclass_cycles_are_collected(where):
    c = cycle(where)
    ref = weakref.ref(c)
    del c
    gc.collect()
    assert ref() is None


def test_verdicts_holding_handles_are_collected():
    c, s = ours_pair()
    h = c.request("POST", "/", body=b"x")
    pump(c, s)
    vd = s.conn.send_response_head(h.sid, 200, None, True)
    sh = vd.handle or s.opened[0]
    sh.verdict = vd
    ref = weakref.ref(sh)
    del sh, vd, s
    gc.collect()
    assert ref() is None


def test_a_batch_outlives_its_connection_and_gives_its_buffer_back():
    c = new()
    c.begin()
    mv, _ = c.take_pending()
    batch = mv.obj
    ref = weakref.ref(c)
    del c
    gc.collect()
    assert ref() is not None  # the batch keeps its connection
    assert bytes(mv).startswith(v.H2_PREFACE)
    mv.release()
    del batch
    gc.collect()
    assert ref() is None


def test_batch_buffers_recycle_across_many_takes():
    c, s = ours_pair()
    h = c.request("POST", "/", body=b"y" * 1000)
    for i in range(2000):
        c.conn.send_data(h.sid, b"z" * 100, 0, False) if i % 2 else None
        mv, _ = c.conn.take_pending()
        mv.release()
        c.conn.credit_written()
    assert c.conn.stream_send_buffered(h.sid) == 0


def test_many_connections_do_not_leak():
    import tracemalloc

    def churn():
        c, s = ours_pair()
        for _ in range(3):
            h = c.request("POST", "/", body=b"q" * 3000)
            pump(c, s)
            s.respond(s.opened[-1], 200, body=b"r" * 3000)
            pump(c, s)
            assert h.eof

    churn()
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(200):
            churn()
        gc.collect()
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    assert after - before < 200_000


# ---- objects released outside the lock ------------------------------------------------------

# Each scenario makes the connection drop a Python object whose finalizer calls back into the
# same connection. Released under the connection's (non-reentrant) lock it would deadlock, so
# each runs in a child process bounded in time.
SCENARIOS = {
    "stream handle of a removed record": """
        c.begin()
        assert c.try_claim_slot()
        sid = c.open_stream("GET", "/", None, False, False, Probe(c), authority="a")
        r = c.reset_stream(sid, 8)
        del r
    """,
    "replaced task handles": """
        c.store_task_handles(Probe(c), Probe(c))
        c.store_task_handles(None, None)
    """,
    "second failure's exception": """
        c.fail(RuntimeError("first"))
        c.fail(ProbeError(c))
    """,
    "handles dropped by fail": """
        for _ in range(3):
            assert c.try_claim_slot()
            c.open_stream("GET", "/", None, False, False, Probe(c), authority="a")
        c.fail()
    """,
    "collector clear": """
        c.store_task_handles(Probe(c), Probe(c))
        c.me = c
        c.fail(ProbeError(c))
        del c
        gc.collect()
    """,
    "batch holding the last reference": """
        class Fin(v.H2Streams):
            def __del__(self):
                calls.append(self.has_pending())

        f = Fin("client", **DEFAULTS)
        f.begin()
        mv, _ = f.take_pending()
        del f
        mv.release()
    """,
    "spare of an ignored head": """
        s = Conn("server", **DEFAULTS)
        s.receive(v.H2_PREFACE + v.H2Codec().serialize_settings())
        s.set_max_stream_id(0)
        import hpack
        blk = hpack.Encoder().encode([(b":method", b"GET"), (b":scheme", b"https"),
                                      (b":authority", b"a"), (b":path", b"/")])
        import struct
        f = s.receive(struct.pack(">I", len(blk))[1:] + bytes([1, 4]) + struct.pack(">I", 1) + blk)[0]
        vd = s.recv_headers(f, Probe(s))
        assert vd.kind == v.H2_HEADERS_IGNORED
    """,
}

SUPPORT = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support")

PRELUDE = """
import gc, sys
sys.path.insert(0, {tests!r})
from h2drive import DEFAULTS
from velmora import _velmora as v

class Conn(v.H2Streams):
    pass

calls = []

class Probe:
    def __init__(self, conn):
        self.conn = conn
    def __del__(self):
        # Calls into the connection that let go of this object.
        calls.append((self.conn.num_streams, self.conn.has_pending(), repr(self.conn)))

class ProbeError(Exception):
    def __init__(self, conn):
        super().__init__("probe")
        self.conn = conn
    def __del__(self):
        calls.append(self.conn.is_failed())

c = Conn("client", **DEFAULTS)
"""


@pytest.mark.parametrize("name", sorted(SCENARIOS))
def test_released_objects_may_call_back_into_the_connection(name):
    code = PRELUDE.format(tests=SUPPORT) + textwrap.dedent(SCENARIOS[name]) + \
        "\ngc.collect()\nprint(len(calls))\n"
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert int(proc.stdout.strip()) >= 1, "the probe was never released"
