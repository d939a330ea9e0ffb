"""One H2Streams used from several threads at once, as the asyncio drivers' tasks and
finalizers may: a read pump, a write pump, application threads opening streams and sending
bodies, and an observer reading getters. Everything is bounded in time: a deadlock fails the
test instead of hanging it (each run happens in a child process)."""

import os
import subprocess
import sys
import textwrap

import pytest

from h2drive import v

pytestmark = pytest.mark.skipif(not hasattr(v, "H2Streams"), reason="H2Streams is not built yet")

SUPPORT = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support")

SCRIPT = r'''
import queue, sys, threading, time
sys.path.insert(0, {tests!r})
from h2drive import DEFAULTS, Ours
from velmora import _velmora as v

N_APPS, PER_APP, SIZE = {apps}, {per_app}, {size}
to_server, to_client = queue.Queue(), queue.Queue()
stop = threading.Event()
errors = []

client = v.H2Streams("client", **dict(DEFAULTS, max_send_buf_size=20000))
wake_writer = threading.Event()


class H:
    def __init__(self):
        self.window = threading.Event()
        self.done = threading.Event()
        self.body = bytearray()
        self.sid = None
        self.stop = None


def guard(fn):
    def run():
        try:
            fn()
        except BaseException as e:  # noqa: BLE001 - reported by the main thread
            errors.append(repr(e))
            stop.set()
    return run


@guard
def read_pump():
    while not stop.is_set():
        try:
            data = to_client.get(timeout=0.01)
        except queue.Empty:
            continue
        for f in client.receive(data):
            if isinstance(f, v.H2FrameSettings):
                _, wake, _ = client.recv_settings(f)
                for h in wake:
                    h.window.set()
            elif isinstance(f, v.H2FramePing):
                client.recv_ping(f)
            elif isinstance(f, v.H2FrameHeaders):
                vd = client.recv_headers(f)
                if vd.eof:
                    vd.handle.done.set()
            elif isinstance(f, v.H2FrameData):
                vd = client.recv_data(f)
                if vd.payload:
                    vd.handle.body += vd.payload
                    client.release_capacity(f.stream_id, len(f.data))
                if vd.budgeted:
                    client.release_data_frame(f.stream_id, len(f.data))
                if vd.eof:
                    vd.handle.done.set()
            elif isinstance(f, v.H2FrameWindowUpdate):
                for h in client.recv_window_update(f):
                    h.window.set()
            elif isinstance(f, v.H2FrameRstStream):
                r = client.recv_reset(f)
                if r:
                    r[0].stop = r[1]
                    r[0].done.set()
        wake_writer.set()


@guard
def write_pump():
    while not stop.is_set():
        wake_writer.wait(0.005)
        wake_writer.clear()
        mv, _ = client.take_pending()
        if len(mv):
            to_server.put(bytes(mv))
        mv.release()
        for h in client.credit_written():
            h.window.set()


@guard
def server_loop():
    s = Ours("server")
    s.conn.begin()
    to_client.put(s.take())
    answered = set()
    while not stop.is_set():
        try:
            data = to_server.get(timeout=0.01)
        except queue.Empty:
            continue
        s.feed(data)
        assert s.error is None, s.error
        for h in s.opened:
            if h.eof and h.sid not in answered:
                answered.add(h.sid)
                s.respond(h, 200, body=bytes(h.body)[::-1])
        out = s.take()
        if out:
            to_client.put(out)


def app(k):
    @guard
    def run():
        for j in range(PER_APP):
            body = bytes([k, j]) * (SIZE // 2)
            h = H()
            deadline = time.monotonic() + 20
            while not client.try_claim_slot():
                time.sleep(0.001)
                assert time.monotonic() < deadline
            h.sid = client.open_stream("POST", "/", None, False, False, h, authority="a")
            wake_writer.set()
            off = 0
            while True:
                h.window.clear()
                vd = client.send_data(h.sid, body, off, True)
                assert vd.stopped is None, vd.stopped
                off += vd.sent
                if vd.sent:
                    wake_writer.set()
                if vd.done:
                    break
                if vd.sent == 0:
                    assert h.window.wait(10), "no wake for a blocked sender"
            assert h.done.wait(20), "no response"
            assert h.stop is None and bytes(h.body) == body[::-1], (k, j)
            results.append(h.sid)
    return run


@guard
def observer():
    while not stop.is_set():
        r = repr(client)
        assert r.startswith("H2Streams(role=client, streams="), r
        assert 0 <= client.num_open_streams <= N_APPS
        assert 0 <= client.conn_send_window <= 2**31 - 1
        client.has_pending()


results = []
client.begin()
wake_writer.set()
infra = [threading.Thread(target=f, daemon=True) for f in (read_pump, write_pump, server_loop,
                                                           observer)]
apps = [threading.Thread(target=app(k), daemon=True) for k in range(N_APPS)]
for t in infra + apps:
    t.start()
for t in apps:
    t.join(60)
    assert not t.is_alive(), "an application thread is stuck"
stop.set()
for t in infra:
    t.join(10)
    assert not t.is_alive(), "a pump is stuck"
assert not errors, errors
assert len(results) == N_APPS * PER_APP == len(set(results))
assert client.num_streams == 0 and client.num_open_streams == 0
print("ok", len(results))
'''


@pytest.mark.parametrize("apps,per_app,size", [(6, 8, 70_000), (12, 20, 3000)])
def test_pumps_and_application_threads_share_one_connection(apps, per_app, size):
    code = SCRIPT.format(tests=SUPPORT, apps=apps, per_app=per_app, size=size)
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert proc.stdout.split() == ["ok", str(apps * per_app)]
