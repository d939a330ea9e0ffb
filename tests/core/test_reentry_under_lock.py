"""No Python code runs while an object's lock is held.

Every error path below builds an exception, which allocates objects the cyclic collector
tracks; with the collector's threshold at 1, that allocation starts a collection, and the
collection runs a `gc.callbacks` hook (or a finalizer) that calls back into the very object
whose method is failing. If the method still held its (non-recursive) lock at that point, the
thread would deadlock on itself. Each scenario therefore runs in a subprocess with a timeout:
a deadlock fails the test instead of hanging the suite.

Each scenario also counts the collections that happened *during* the failing call, so a test
that stopped exercising the window (no collection inside the call) fails instead of passing
vacuously.
"""

import os
import subprocess
import sys
import textwrap

import pytest

TIMEOUT = 30

PRELUDE = """
import gc, sys
from velmora import _velmora as v

HM = v.HeaderMap
inside = False
hits = 0
touch = None


def hook(phase, info):
    global hits
    if phase == "start" and inside and touch is not None:
        hits += 1
        touch()


def expect(exc, fn, *args, **kwargs):
    # Runs fn 30 times with collections as frequent as possible; each call must raise exc.
    global inside
    gc.collect()
    gc.callbacks.append(hook)
    gc.set_threshold(1)
    try:
        for _ in range(30):
            inside = True
            try:
                fn(*args, **kwargs)
            except exc:
                pass
            else:
                raise AssertionError(f"{fn!r} did not raise {exc.__name__}")
            finally:
                inside = False
    finally:
        gc.set_threshold(700)
        gc.callbacks.remove(hook)
    assert hits > 0, "no collection ran during the failing call: the scenario tests nothing"
    print("ok", hits)
"""

SCENARIOS = {
    "h1codec_serialize_end": """
        c = v.H1Codec()
        touch = c.buffered
        def call():
            c.serialize_request("POST", "/", content_length=5)
            c.serialize_end()
        expect(v.H1UserError, call)
    """,
    "h1codec_serialize_trailers": """
        c = v.H1Codec()
        touch = c.buffered
        def call():
            c.serialize_request("POST", "/", content_length=1)
            c.serialize_trailers(HM([("x", "y")]))
        expect(v.H1UserError, call)
    """,
    "h1codec_serialize_head_and_body": """
        c = v.H1Codec()
        touch = c.buffered
        def call():
            head = c.serialize_response(200, content_length=4)
            c.serialize_head_and_body(head, b"ab")
        expect(v.H1UserError, call)
    """,
    "h1codec_serialize_request": """
        c = v.H1Codec()
        touch = c.buffered
        expect(ValueError, c.serialize_request, "GE T", "/")
    """,
    "h1codec_serialize_response": """
        c = v.H1Codec()
        touch = c.buffered
        expect(ValueError, c.serialize_response, 1000)
    """,
    "h1codec_serialize_response_interim": """
        c = v.H1Codec()
        touch = c.buffered
        expect(v.H1UserError, c.serialize_response, 100)
    """,
    "h1codec_serialize_data_without_encoder": """
        c = v.H1Codec()
        touch = c.buffered
        expect(ValueError, c.serialize_data, b"x")
    """,
    "h1codec_receive_head": """
        c = v.H1Codec()
        touch = c.buffered
        def call():
            c.reset()
            c.take_body()
            c.receive_request_head(b"GET / HTTP/1.1\\r\\nbad header\\r\\n\\r\\n")
        expect(v.H1ParseError, call)
    """,
    "header_map_setdefault_in_except_block": """
        m = HM()
        touch = lambda: len(m)
        def call():
            try:
                raise KeyError("handled")
            except KeyError:
                m.setdefault("x-absent", 5)
        expect(TypeError, call)
    """,
    "header_map_setdefault_invalid_value": """
        m = HM()
        touch = lambda: m.get("x-absent")
        expect(ValueError, m.setdefault, "x-absent", "a\\r\\nb")
    """,
    "header_map_subscript_missing": """
        m = HM([("a", "1")])
        touch = m.items
        expect(KeyError, lambda: m["x-absent"])
    """,
    "header_map_delete_missing": """
        m = HM([("a", "1")])
        touch = m.keys
        def call():
            del m["x-absent"]
        expect(KeyError, call)
    """,
    "body_decoder_decode_error": """
        def call():
            d = v.H1BodyDecoder("chunked")
            global touch
            touch = lambda: d.buffered
            d.feed(b"zz\\r\\n")
            d.decode()
        expect(v.H1BodyError, call)
    """,
    "server_state_respond_head_error": """
        def call():
            codec = v.H1Codec()
            s = v.H1ServerState(codec, object())
            global touch
            touch = lambda: (s.closed, codec.buffered())
            _, seq, _ = s.accept_head(b"GET / HTTP/1.1\\r\\nhost: a\\r\\n\\r\\n")
            s.respond_head(seq, 100, None, None)
        expect(v.H1UserError, call)
    """,
    "server_state_accept_head_error": """
        def call():
            codec = v.H1Codec()
            s = v.H1ServerState(codec, object())
            global touch
            touch = lambda: (s.closed, codec.buffered())
            s.accept_head(b"GET / HTTP/1.1\\r\\nbad header\\r\\n\\r\\n")
        expect(v.H1ParseError, call)
    """,
    "h2codec_receive_connection_error": """
        c = v.H2Codec(role="client")
        touch = c.buffered
        def call():
            c.receive(b"\\x00\\x00\\x08\\x06\\x00\\x00\\x00\\x00\\x01" + b"12345678")
        expect(v.H2ProtocolError, call)
    """,
    "h2codec_serialize_data_too_big": """
        c = v.H2Codec()
        touch = c.buffered
        expect(v.H2UserError, c.serialize_data, 1, b"x" * 16385)
    """,
    "h2_stream_state_transition_error": """
        s = v.H2StreamState()
        touch = s.is_closed
        def call():
            s.recv_close()
        expect(v.H2Error, call)
    """,
    "h2_flow_control_error": """
        f = v.H2FlowControl()
        touch = f.available
        f.claim_capacity(2**31 - 1)
        expect(v.H2FlowControlError, f.claim_capacity, 2)
    """,
    "h2_data_frame_budget_flood": """
        b = v.H2DataFrameBudget(configured=1)
        touch = lambda: b.available
        def call():
            for _ in range(1000):
                b.record(0)
        expect(v.H2ProtocolError, call)
    """,
}


@pytest.mark.parametrize("name", sorted(SCENARIOS))
def test_failing_call_survives_collection_that_reenters(name):
    code = PRELUDE + textwrap.dedent(SCENARIOS[name])
    try:
        r = subprocess.run(
            [sys.executable, "-c", code],
            capture_output=True,
            text=True,
            timeout=TIMEOUT,
            env={**os.environ, "PYTHONFAULTHANDLER": "1"},
        )
    except subprocess.TimeoutExpired:
        pytest.fail(f"{name}: deadlocked (a collection re-entered the object under its lock)")
    assert r.returncode == 0, r.stderr
    assert r.stdout.startswith("ok "), r.stdout + r.stderr


FINALIZER_SCENARIO = """
import gc, threading
from velmora import _velmora as v

c = v.H1Codec()
m = v.HeaderMap()


class Toucher:
    # Cyclic garbage whose finalizer uses both objects.
    def __init__(self):
        self.me = self

    def __del__(self):
        c.buffered()
        m.get("x")


def failing_calls():
    for _ in range(200):
        for _ in range(3):
            Toucher()
        try:
            c.serialize_request("POST", "/", content_length=5)
            c.serialize_end()
        except v.H1UserError:
            pass
        try:
            try:
                raise KeyError
            except KeyError:
                m.setdefault("x-absent", 1)
        except TypeError:
            pass


gc.set_threshold(1)
threads = [threading.Thread(target=failing_calls) for _ in range(3)]
for t in threads:
    t.start()
for t in threads:
    t.join()
print("ok")
"""


def test_finalizers_in_several_threads_never_deadlock():
    # Finalizers that touch the same codec and map run from collections started by failing
    # calls in three threads: neither the finalizing thread nor another thread waiting for the
    # lock (with the interpreter lock held) may hang.
    try:
        r = subprocess.run(
            [sys.executable, "-c", FINALIZER_SCENARIO],
            capture_output=True,
            text=True,
            timeout=TIMEOUT * 2,
        )
    except subprocess.TimeoutExpired:
        pytest.fail("deadlocked: a finalizer re-entered an object under its lock")
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "ok"
