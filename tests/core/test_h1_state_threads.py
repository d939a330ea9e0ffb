"""OnceLatch and the connection states called from several threads at once."""

import random
import sys
import threading

import pytest

from velmora import _velmora as v


@pytest.fixture(autouse=True)
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def run_threads(n, target):
    barrier = threading.Barrier(n)
    errors = []

    def body(i):
        try:
            barrier.wait()
            target(i)
        except BaseException as e:  # reported below, in the main thread
            errors.append(e)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors


# ---- OnceLatch --------------------------------------------------------------------------------


def test_latch_single_thread():
    latch = v.OnceLatch()
    assert latch.is_set is False
    assert latch.try_acquire() is True
    assert [latch.try_acquire() for _ in range(5)] == [False] * 5
    assert latch.is_set is True


def test_latch_class():
    with pytest.raises(TypeError):
        v.OnceLatch(1)
    with pytest.raises(AttributeError):
        v.OnceLatch().is_set = True


@pytest.mark.parametrize("round_", range(20))
def test_latch_race_has_exactly_one_winner(round_):
    latch = v.OnceLatch()
    wins = []

    def race(i):
        for _ in range(50):
            if latch.try_acquire():
                wins.append(i)

    run_threads(8, race)
    assert len(wins) == 1 and latch.is_set


def test_latch_from_a_finalizer():
    latch = v.OnceLatch()
    results = []

    class Closer:
        def __del__(self):
            results.append(latch.try_acquire())

    Closer()
    results.append(latch.try_acquire())
    assert results == [True, False]


# ---- H1ServerState from several threads ---------------------------------------------------------

GET = b"GET / HTTP/1.1\r\nhost: a\r\n\r\n"


class Transport:
    pass


class Event:
    pass


def test_server_state_invariants_under_random_calls():
    """Reader, responders, watcher and closer race on one state; each request has one responder,
    the transport has one owner, and every stored handle is taken once."""
    t = Transport()
    s = v.H1ServerState(v.H1Codec(date_header=False), t)
    lock = threading.Lock()  # guards only the bookkeeping lists of this test
    owners, taken_handles, stored_handles = [], [], []
    responded = {}
    seqs = []

    def note_transport(obj, how):
        if obj is t:
            with lock:
                owners.append(how)

    def reader(i):
        rng = random.Random(i)
        for _ in range(300):
            code, obj = s.begin_read()
            if code == v.H1_NEXT_CLOSE:
                note_transport(obj, "begin_read")
            elif code in (v.H1_READ_TRANSPORT, v.H1_READ_WATCHER, v.H1_READ_PARSE):
                s.unpark_idle_read()
                data = s.take_watcher_result()[0] if code == v.H1_READ_WATCHER else None
                r = s.accept_head(data or (GET if rng.random() < 0.9 else b""))
                if r is not None:
                    with lock:
                        seqs.append(r[1])
            elif code == v.H1_NEXT_DRAIN:
                c, obj = s.drain_done(rng.random() < 0.5)
                note_transport(obj, "drain_done")

    def responder(i):
        rng = random.Random(100 + i)
        for _ in range(300):
            seq = s.current_seq + rng.choice((0, 0, 0, -1, 1))
            if seq < 0:
                continue
            op = rng.randrange(6)
            if op == 0:
                code, head, armed = s.respond_head(seq, 200, None, Event(), want=rng.random() < 0.5)
                if code == v.H1_REQ_OK:
                    with lock:
                        responded[seq] = responded.get(seq, 0) + 1
            elif op == 1:
                sw, close, obj, left = s.finish_response(seq)
                note_transport(obj, "finish_response")
            elif op == 2:
                s.arm_watcher(seq, Event())
            elif op == 3:
                s.close_window(seq)
            elif op == 4:
                code, obj, left = s.detach(seq)
                note_transport(obj, "detach")
                if code == v.H1_REQ_OK:
                    with lock:
                        responded[seq] = responded.get(seq, 0) + 1
            else:
                s.try_send_continue(seq)

    def watcher(i):
        rng = random.Random(200 + i)
        for _ in range(300):
            h = Event()
            if s.store_watcher_handle(h) is None:
                with lock:
                    stored_handles.append(h)
            op = rng.randrange(4)
            if op == 0:
                s.watcher_completed(rng.choice((b"", b"x", None)))
            elif op == 1:
                s.watcher_aborted()
            elif op == 2:
                got = s.take_watcher_handle()
                if got is not None:
                    with lock:
                        taken_handles.append(got)
            else:
                s.take_watcher_result()

    def closer(i):
        rng = random.Random(300 + i)
        for _ in range(300):
            op = rng.randrange(40)
            if op == 0:
                note_transport(s.request_shutdown(), "request_shutdown")
            elif op == 1:
                note_transport(s.fail_response(s.current_seq), "fail_response")
            elif op == 2:
                note_transport(s.mark_closed()[0], "mark_closed")
            else:
                repr(s)

    workers = [reader, responder, responder, watcher, closer]
    run_threads(len(workers), lambda i: workers[i](i))
    note_transport(s.mark_closed()[0], "final mark_closed")
    # the transport went to exactly one owner (the state hands it out once)
    assert len(owners) == 1, owners
    assert all(n == 1 for n in responded.values()), responded
    assert len(seqs) == len(set(seqs)) and seqs == sorted(seqs)
    remaining = s.take_watcher_handle()
    if remaining is not None:
        taken_handles.append(remaining)
    assert len(taken_handles) == len({id(h) for h in taken_handles})
    assert {id(h) for h in taken_handles} <= {id(h) for h in stored_handles}
    assert len(taken_handles) == len(stored_handles)


def test_client_state_invariants_under_random_calls():
    t = Transport()
    s = v.H1ClientState(t)
    lock = threading.Lock()
    owners, exchanges_live, max_live, writers = [], [0], [0], []

    def exchange(i):
        rng = random.Random(i)
        for _ in range(300):
            if not s.try_begin_exchange():
                continue
            with lock:
                exchanges_live[0] += 1
                max_live[0] = max(max_live[0], exchanges_live[0])
            s.exchange_started()
            scope = Event()
            s.store_writer(scope)
            got = s.take_writer()
            if got is not None:
                with lock:
                    writers.append(got)
            op = rng.randrange(20)
            if op == 0:
                obj = s.fail(ValueError())
            elif op == 1:
                obj = s.close_now()
            else:
                obj = None
            if obj is t:
                with lock:
                    owners.append("exchange")
            with lock:
                exchanges_live[0] -= 1
            assert s.end_exchange()
            s.arm_watcher(Event())

    def watcher(i):
        rng = random.Random(50 + i)
        for _ in range(300):
            verdict, obj = s.watcher_completed(rng.choice((b"", b"x", None)))
            if obj is t:
                with lock:
                    owners.append("watcher")
            s.take_watcher_result()
            s.take_watcher_handle()

    workers = [exchange, exchange, exchange, watcher]
    run_threads(len(workers), lambda i: workers[i](i))
    last = s.mark_closed()
    if last[0] is t:
        owners.append("mark_closed")
    assert max_live[0] == 1  # one exchange at a time
    assert len(owners) == 1
    assert len(writers) == len({id(w) for w in writers})
