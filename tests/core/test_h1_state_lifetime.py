"""Object lifetime of the connection states: cyclic garbage collection, no leaks over many
connections, and objects the states let go of released only after their lock is dropped."""

import ctypes
import gc
import sys
import tracemalloc
import weakref

import pytest

from velmora import _velmora as v


class Event:
    pass


GET = b"GET / HTTP/1.1\r\nhost: a\r\n\r\n"


# ---- cyclic garbage collection --------------------------------------------------------------


class ServerConn(v.H1ServerState):
    pass


class ClientConn(v.H1ClientState):
    pass


def server_self_cycle(where):
    c = ServerConn(v.H1Codec(), None)
    if where == "transport":
        c2 = ServerConn(v.H1Codec(), c)  # transport -> c, and c -> c2 through an attribute
        c.peer = c2
        return c
    c = ServerConn(v.H1Codec(), object())
    head, seq, dec = c.accept_head(GET)
    assert c.arm_watcher(seq, Event())
    if where == "handle":
        assert c.store_watcher_handle(c) is None
    elif where == "done":
        c2 = ServerConn(v.H1Codec(), object())
        h2, s2, d2 = c2.accept_head(GET)
        assert c2.arm_watcher(s2, c)
        c.peer = c2
    elif where == "error":
        c.watcher_completed(None, c)
    return c


@pytest.mark.parametrize("where", ["handle", "done", "error", "transport"])
def test_server_subclass_cycle_is_collected(where):
    c = server_self_cycle(where)
    ref = weakref.ref(c)
    del c
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize("where", ["transport", "error", "writer", "handle", "done"])
def test_client_subclass_cycle_is_collected(where):
    c = ClientConn(object())
    if where == "transport":
        c = ClientConn(None)
        c.peer = ClientConn(c)
    elif where == "error":
        c.fail(c)
    elif where == "writer":
        c.store_writer(c)
    elif where == "handle":
        c.arm_watcher(Event())
        c.store_watcher_handle(c)
    elif where == "done":
        c.arm_watcher(c)
    ref = weakref.ref(c)
    del c
    gc.collect()
    assert ref() is None


def test_collected_state_releases_what_it_held():
    held = Event()
    held_ref = weakref.ref(held)
    c = ClientConn(held)
    c.store_writer(c)
    del held, c
    gc.collect()
    assert held_ref() is None


def test_gc_traverse_reports_stored_objects():
    t, done, handle = Event(), Event(), Event()
    s = v.H1ServerState(v.H1Codec(), t)
    head, seq, dec = s.accept_head(GET)
    s.arm_watcher(seq, done)
    s.store_watcher_handle(handle)
    refs = gc.get_referents(s)
    for o in (t, done, handle, s.codec, dec, type(s)):
        assert any(r is o for r in refs)


# ---- no leaks ---------------------------------------------------------------------------------


def _malloc_in_use():
    try:
        libc = ctypes.CDLL(None)

        class MallInfo2(ctypes.Structure):
            _fields_ = [(n, ctypes.c_size_t) for n in (
                "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
                "uordblks", "fordblks", "keepcost")]

        libc.mallinfo2.restype = MallInfo2
        return libc.mallinfo2().uordblks
    except (AttributeError, OSError):
        return None


def one_server_connection(n):
    t = Event()
    s = ServerConn(v.H1Codec(date_header=False), t)
    s.begin_read()
    s.unpark_idle_read()
    head, seq, dec = s.accept_head(b"POST / HTTP/1.1\r\ncontent-length: 3\r\n\r\nabc" + GET[:5])
    s.begin_body_read(seq)
    while dec.decode() is not None:
        pass
    s.end_body_read(seq, True)
    s.respond_head(seq, 200, v.HeaderMap([("x", "y")]), Event(), chunked=True, want=True)
    s.store_watcher_handle(Event())
    s.watcher_completed(b"" if n % 2 else b"zz", OSError() if n % 3 == 0 else None)
    s.take_watcher_handle()
    s.take_watcher_result()
    s.close_window(seq)
    s.finish_response(seq)
    s.begin_read()
    if n % 5 == 0:
        s.store_watcher_handle(s)  # a cycle left for the collector
    s.mark_closed()


def one_client_connection(n):
    s = ClientConn(Event())
    s.try_begin_exchange()
    s.exchange_started()
    s.store_writer(Event())
    s.take_writer()
    s.end_exchange()
    s.arm_watcher(Event())
    s.store_watcher_handle(Event())
    s.watcher_completed(b"x" * (n % 3))
    s.take_watcher_handle()
    s.take_watcher_result()
    s.fail(ValueError(n) if n % 2 else None)
    if n % 5 == 0:
        s.store_writer(s)
    s.mark_closed()


@pytest.mark.parametrize("cycle", [one_server_connection, one_client_connection])
def test_no_leak_over_10000_connections(cycle):
    for n in range(500):  # warm caches (date value, interned strings, free lists)
        cycle(n)
    gc.collect()
    tracemalloc.start()
    before_py = tracemalloc.get_traced_memory()[0]
    before_c = _malloc_in_use()
    for n in range(10000):
        cycle(n)
    gc.collect()
    after_py = tracemalloc.get_traced_memory()[0]
    after_c = _malloc_in_use()
    tracemalloc.stop()
    # One leaked object per connection would be hundreds of KiB.
    assert after_py - before_py < 64 * 1024
    if before_c is not None:
        assert after_c - before_c < 64 * 1024


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug interpreter")
@pytest.mark.parametrize("cycle", [one_server_connection, one_client_connection])
def test_refcount_total_is_stable(cycle):
    for n in range(100):
        cycle(n)
    gc.collect()
    before = sys.gettotalrefcount()
    for n in range(10000):
        cycle(n)
    gc.collect()
    assert abs(sys.gettotalrefcount() - before) < 100


# ---- releasing after unlocking ----------------------------------------------------------------


def test_server_releases_dropped_objects_after_unlocking():
    """A finalizer that calls back into the state would deadlock if run under its lock."""
    s = v.H1ServerState(v.H1Codec(), Event())
    seen = []

    class Reentrant:
        def __del__(self):
            seen.append(repr(s))

    head, seq, dec = s.accept_head(b"POST / HTTP/1.1\r\ncontent-length: 3\r\n\r\n")
    assert s.arm_watcher(seq, Reentrant()) is False  # body unread: refused
    assert s.arm_watcher(seq + 7, Reentrant()) is False  # stale
    assert s.respond_head(seq + 7, 200, None, Reentrant())[0] == v.H1_REQ_STALE
    assert s.watcher_completed(None, Reentrant()) is False  # no slot
    s.end_body_read(seq, False)
    assert len(seen) == 4
    s2 = v.H1ServerState(v.H1Codec(), Event())
    h2, q2, d2 = s2.accept_head(GET)
    assert s2.arm_watcher(q2, Reentrant())
    s2.watcher_completed(b"", Reentrant())
    s2.watcher_completed(b"", Reentrant())  # replaces the stored error
    s2.take_watcher_result()  # frees the slot and its done event
    assert len(seen) == 7
