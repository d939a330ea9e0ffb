"""Heads and bodies that arrive in many small pieces cost time linear in their size.

Each check compares the CPU time of feeding a message one byte per call at two sizes, four
times apart: linear work grows about fourfold, work that re-scans what is buffered on every
call about sixteenfold. The bound between them is generous, and the best of three runs is
taken, so load on the machine does not decide the outcome."""

import time

import pytest

from velmora import _velmora as v

SMALL = 24 * 1024
RATIO_LIMIT = 8.0


def fields(size):
    out, i = [], 0
    while sum(map(len, out)) < size:
        out.append(b"x-field-%06d: %s\r\n" % (i, b"v" * 40))
        i += 1
    return b"".join(out)


def long_target(size):
    # Half the size: four times the small one stays within the 65534-byte target limit.
    return b"GET /" + b"a" * (size // 2) + b" HTTP/1.1\r\nHost: h\r\n\r\n"


def cpu_best(run, data):
    best = float("inf")
    for _ in range(3):
        t0 = time.process_time()
        run(data)
        best = min(best, time.process_time() - t0)
    return best


def assert_linear(run, make):
    small, large = make(SMALL), make(4 * SMALL)
    run(small)  # warm up
    t_small = max(cpu_best(run, small), 1e-4)
    t_large = cpu_best(run, large)
    assert t_large / t_small < RATIO_LIMIT, (t_small, t_large)


def bytewise(receive, codec, data):
    for i in range(len(data) - 1):
        assert receive(codec, data[i : i + 1]) is None
    assert receive(codec, data[-1:]) is not None


def request_bytewise(data):
    bytewise(v.H1Codec.receive_request_head, v.H1Codec(max_headers=100000, max_buf_size=1 << 22), data)


def response_bytewise(data):
    bytewise(v.H1Codec.receive_head, v.H1Codec(max_buf_size=1 << 22), data)


def accept_bytewise(data):
    s = v.H1ServerState(v.H1Codec(max_headers=100000, max_buf_size=1 << 22), object())
    for i in range(len(data) - 1):
        assert s.accept_head(data[i : i + 1]) is None
    assert s.accept_head(data[-1:]) is not None


@pytest.mark.parametrize(
    "run,make",
    [
        (request_bytewise, lambda n: b"GET / HTTP/1.1\r\n" + fields(n) + b"\r\n"),
        (request_bytewise, long_target),
        # Response heads are limited to 100 fields: the size is in their values.
        (response_bytewise, lambda n: b"HTTP/1.1 200 OK\r\nx-big: " + b"v" * n + b"\r\n\r\n"),
        (accept_bytewise, lambda n: b"GET / HTTP/1.1\r\n" + fields(n) + b"\r\n"),
    ],
    ids=["request-fields", "request-target", "response-value", "accept-head"],
)
def test_head_fed_bytewise_is_linear(run, make):
    assert_linear(run, make)


def chunked_bytewise(data):
    d = v.H1BodyDecoder("chunked")
    for i in range(len(data)):
        d.feed(data[i : i + 1])
        while d.decode() is not None:
            pass
    assert d.is_complete


def test_chunked_body_fed_bytewise_is_linear():
    def make(n):
        chunk = b"40;ext=%s\r\n%s\r\n" % (b"e" * 10, b"d" * 64)
        return chunk * (n // len(chunk)) + b"0\r\nx-sum: 1\r\n\r\n"

    assert_linear(chunked_bytewise, make)


def test_progress_survives_a_failed_later_line_and_a_reset():
    # The remembered progress belongs to the bytes buffered: a failure, a drained buffer or a
    # consumed head starts it over, and the same bytes give the same answer again.
    codec = v.H1Codec()
    good = b"GET / HTTP/1.1\r\nHost: h\r\n"
    bad = good + b"Bad Name: x\r\n"
    for i in range(len(good)):
        assert codec.receive_request_head(good[i : i + 1]) is None
    with pytest.raises(v.H1ParseError):
        codec.receive_request_head(bad[len(good) :])
    with pytest.raises(v.H1ParseError):
        codec.receive_request_head(b"")
    assert codec.take_body() == bad
    assert codec.receive_request_head(b"GET /a HTTP/1.1\r\n") is None
    head = codec.receive_request_head(b"\r\nGET /b HTTP/1.1\r\n\r\n")
    assert head.target == "/a" and codec.buffered() == len(b"GET /b HTTP/1.1\r\n\r\n")
    assert codec.receive_request_head(b"").target == "/b" and codec.buffered() == 0


def test_progress_of_one_role_is_not_used_by_the_other():
    # A codec used for both roles: a request head half parsed, then the same bytes read as a
    # response head, fail as a response head would from scratch.
    codec = v.H1Codec()
    assert codec.receive_request_head(b"GET / HTTP/1.1\r\nX: 1\r\n") is None
    with pytest.raises(v.H1ParseError) as e:
        codec.receive_head(b"\r\n")
    assert e.value.args[0] == "version"
