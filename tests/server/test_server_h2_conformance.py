"""RFC 9113 on the wire: raw frames against a `velmora serve` process, each case asserting the
exact frame that comes back (RST_STREAM or GOAWAY, its code and last-stream-id) and, for a
stream error, that the connection and its HPACK context go on and that a malformed request
never reached the application."""

from __future__ import annotations

import struct

import pytest

from h2wire import (
    DATA, GOAWAY, PING, PREFACE, PRIORITY, RST_STREAM, SETTINGS, WINDOW_UPDATE, Wire, frame,
    serve,
)
from test_server_clients import make_certificate

PROTOCOL_ERROR, FLOW_CONTROL_ERROR, STREAM_CLOSED, FRAME_SIZE_ERROR = 1, 3, 5, 6
CL10 = [("content-length", "10")]


def answered(w):
    """Stream 1 served to its end: the last stream id a GOAWAY must carry is 1."""
    assert w.get(1, "/") == (200, b"ok")
    return b""


# name: (frames after the handshake, built on the connection's encoder; expected frame)
# ("rst", sid, code): a stream error, the connection serves on; ("goaway", last id, code).
CASES = {
    # RFC 9113 section 6.3: a PRIORITY of a wrong length is a stream error
    "priority_length_4": (lambda w: w.headers(1, "/slow") + frame(PRIORITY, 0, 1, bytes(4)),
                          ("rst", 1, FRAME_SIZE_ERROR)),
    "priority_length_6": (lambda w: w.headers(1, "/slow") + frame(PRIORITY, 0, 1, bytes(6)),
                          ("rst", 1, FRAME_SIZE_ERROR)),
    # 6.4
    "rst_stream_length_3": (lambda w: answered(w) + frame(RST_STREAM, 0, 1, bytes(3)),
                            ("goaway", 1, FRAME_SIZE_ERROR)),
    "rst_stream_length_5": (lambda w: answered(w) + frame(RST_STREAM, 0, 1, bytes(5)),
                            ("goaway", 1, FRAME_SIZE_ERROR)),
    # 6.5
    "settings_ack_with_payload": (lambda w: frame(SETTINGS, 1, 0, bytes(6)),
                                  ("goaway", 0, FRAME_SIZE_ERROR)),
    "settings_length_not_multiple_of_6": (lambda w: frame(SETTINGS, 0, 0, bytes(3)),
                                          ("goaway", 0, FRAME_SIZE_ERROR)),
    # 6.5.2
    "settings_initial_window_above_max": (
        lambda w: frame(SETTINGS, 0, 0, struct.pack(">HI", 4, 2**31)),
        ("goaway", 0, FLOW_CONTROL_ERROR)),
    # 6.7
    "ping_length_0": (lambda w: frame(PING, 0, 0, b""), ("goaway", 0, FRAME_SIZE_ERROR)),
    "ping_length_7": (lambda w: frame(PING, 0, 0, bytes(7)), ("goaway", 0, FRAME_SIZE_ERROR)),
    "ping_length_9": (lambda w: frame(PING, 0, 0, bytes(9)), ("goaway", 0, FRAME_SIZE_ERROR)),
    "ping_ack_length_7": (lambda w: frame(PING, 1, 0, bytes(7)), ("goaway", 0, FRAME_SIZE_ERROR)),
    # 6.8
    "goaway_length_7": (lambda w: frame(GOAWAY, 0, 0, bytes(7)), ("goaway", 0, FRAME_SIZE_ERROR)),
    # 6.9
    "window_update_length_3": (lambda w: frame(WINDOW_UPDATE, 0, 0, b"\x00\x00\x01"),
                               ("goaway", 0, FRAME_SIZE_ERROR)),
    "window_update_length_5_on_a_stream": (
        lambda w: answered(w) + frame(WINDOW_UPDATE, 0, 1, b"\x00\x00\x00\x01\x00"),
        ("goaway", 1, FRAME_SIZE_ERROR)),
    # 5.1: DATA on a half-closed (remote) stream whose response is not finished
    "data_on_half_closed_remote": (lambda w: w.headers(1, "/slow") + frame(DATA, 0, 1, b"x"),
                                   ("rst", 1, STREAM_CLOSED)),
    # 8.1.1: a declared length the message does not carry
    "content_length_with_end_stream": (lambda w: w.headers(1, w.bad, CL10),
                                       ("rst", 1, PROTOCOL_ERROR)),
    "trailers_short_of_content_length": (
        lambda w: w.headers(1, "/echo", CL10, end_stream=False) + frame(DATA, 0, 1, b"12345")
        + w.fields(1, [("x-t", "1")]),
        ("rst", 1, PROTOCOL_ERROR)),
    "content_length_values_disagree": (
        lambda w: w.headers(1, w.bad, [("content-length", "5"), ("content-length", "6")],
                            end_stream=False),
        ("rst", 1, PROTOCOL_ERROR)),
    # 8.3: decoded fine, malformed as a message (not COMPRESSION_ERROR)
    "unknown_pseudo_header": (lambda w: w.headers(1, w.bad, [(":foo", "x")]),
                              ("rst", 1, PROTOCOL_ERROR)),
    "duplicated_pseudo_header": (lambda w: w.headers(1, w.bad, [(":path", w.bad)]),
                                 ("rst", 1, PROTOCOL_ERROR)),
    "pseudo_header_after_regular": (lambda w: w.headers(1, w.bad, [("x", "1"), (":foo", "y")]),
                                    ("rst", 1, PROTOCOL_ERROR)),
    "uppercase_field_name": (lambda w: w.headers(1, w.bad, [("X-Upper", "1")]),
                             ("rst", 1, PROTOCOL_ERROR)),
    "connection_specific_field": (lambda w: w.headers(1, w.bad, [("keep-alive", "1")]),
                                  ("rst", 1, PROTOCOL_ERROR)),
    "te_other_than_trailers": (lambda w: w.headers(1, w.bad, [("te", "gzip")]),
                               ("rst", 1, PROTOCOL_ERROR)),
    # 3.4: the preface must be followed by SETTINGS
    "preface_then_ping": (None, ("goaway", 0, PROTOCOL_ERROR)),
}


@pytest.fixture(scope="module")
def h2c(tmp_path_factory):
    with serve(str(tmp_path_factory.mktemp("h2c"))) as served:
        yield served


@pytest.fixture(scope="module")
def tls(tmp_path_factory):
    directory = tmp_path_factory.mktemp("tls")
    with serve(str(directory), tls=make_certificate(directory)) as served:
        yield served


def check(served, name):
    build, expected = CASES[name]
    w = Wire(served.connect())
    w.bad = "/bad/" + name  # the path of a request that must never run
    try:
        if build is None:
            w.send(PREFACE + frame(PING, 0, 0, bytes(8)))
        else:
            w.handshake()
            w.send(build(w))
        if expected[0] == "goaway":
            w.until(lambda: w.goaway() is not None)
            assert w.goaway() == expected[1:]
            assert not w.resets()
            w.until_closed()
            return
        w.until(lambda: w.resets())
        assert w.resets() == [expected[1:]]
        # the connection and its HPACK context go on; the malformed request never ran
        status, seen = w.get(3, "/seen")
        assert status == 200 and w.bad.encode() not in seen.split(b"\n")
        assert w.goaway() is None
    finally:
        w.close()


@pytest.mark.parametrize("name", CASES)
def test_h2c(h2c, name):
    check(h2c, name)


@pytest.mark.parametrize("name", ["priority_length_4", "ping_length_7", "unknown_pseudo_header",
                                  "preface_then_ping"])
def test_tls(tls, name):
    check(tls, name)
