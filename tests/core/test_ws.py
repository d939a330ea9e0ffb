"""The WebSocket binding against wsproto as the peer: frames each side builds are read by the
other, in both roles, with and without permessage-deflate, and the seams of the Python API."""

import pytest
from wsproto.extensions import PerMessageDeflate
from wsproto.frame_protocol import CloseReason, FrameProtocol, Opcode

from velmora import _velmora as v

MESSAGES = ["Hello", "κόσμε " * 300, b"", bytes(range(256)) * 300]


def pair(our_client, compress):
    """Our connection and a wsproto one in the other role, after negotiating through both."""
    params, extensions = None, []
    if compress:
        # wsproto's extension speaks in parameters; its handshake adds the name.
        pmd = PerMessageDeflate()
        if our_client:
            accepted = pmd.accept(v.ws_deflate_offer().decode())
            params = v.ws_deflate_accept(f"permessage-deflate; {accepted}".encode())
        else:
            offer = f"permessage-deflate; {pmd.offer()}".encode()
            response, params = v.ws_deflate_negotiate(offer)
            pmd.finalize(response.decode())
        extensions = [pmd]
    return v.WSConnection(our_client, deflate=params), FrameProtocol(not our_client, extensions)


def feeds(data):
    """The same bytes whole, byte by byte, and followed by the first byte of another frame."""
    yield [data]
    yield [data[i : i + 1] for i in range(len(data))]
    yield [data + b"\x81"]


ROLES = [(client, compress) for client in (False, True) for compress in (False, True)]


@pytest.mark.parametrize("our_client,compress", ROLES)
@pytest.mark.parametrize("message", MESSAGES, ids=["ascii", "utf8", "empty", "binary"])
def test_wsproto_messages_read_by_us(our_client, compress, message):
    kind = v.WS_TEXT if isinstance(message, str) else v.WS_BINARY
    for pieces in feeds(bytes(pair(our_client, compress)[1].send_data(message))):
        ours, _ = pair(our_client, compress)
        ours_events = [e for p in pieces for e in ours.receive(memoryview(p))]
        assert ours_events == [(kind, message)]


@pytest.mark.parametrize("our_client,compress", ROLES)
def test_our_messages_read_by_wsproto(our_client, compress):
    ours, theirs = pair(our_client, compress)
    for message in MESSAGES:
        theirs.receive_bytes(ours.send(message))
        frames = list(theirs.received_frames())
        assert [(f.opcode, f.payload, f.message_finished) for f in frames] == [
            (Opcode.TEXT if isinstance(message, str) else Opcode.BINARY, message, True)
        ]
    theirs.receive_bytes(ours.ping(b"p") + ours.pong(bytearray(b"q")))
    assert [(f.opcode, f.payload) for f in theirs.received_frames()] == [
        (Opcode.PING, b"p"),
        (Opcode.PONG, b"q"),
    ]


@pytest.mark.parametrize("our_client,compress", ROLES)
def test_our_message_parts_read_by_wsproto(our_client, compress):
    ours, theirs = pair(our_client, compress)
    for message in MESSAGES:
        parts = ours.send_parts(message)
        theirs.receive_bytes(b"".join(parts))
        assert [(f.payload, f.message_finished) for f in theirs.received_frames()] == [
            (message, True)
        ]
        # a large payload a server sends uncompressed is written as it is, after its header
        as_is = not our_client and not compress and len(message) > 70000
        assert (len(parts) == 2 and parts[1] is message) == as_is


@pytest.mark.parametrize("our_client", [False, True])
def test_close_handshake_with_wsproto(our_client):
    ours, theirs = pair(our_client, False)
    assert ours.receive(bytes(theirs.ping(b"x"))) == [(v.WS_PING, b"x")]
    assert ours.receive(bytes(theirs.close(1001, "bye"))) == [(v.WS_CLOSE, (1001, "bye"))]
    assert (ours.state, ours.close_received, ours.close_sent, ours.failed) == (2, True, True, False)
    theirs.receive_bytes(ours.outgoing())
    frames = [(f.opcode, f.payload) for f in theirs.received_frames()]
    assert frames == [(Opcode.PONG, b"x"), (Opcode.CLOSE, (CloseReason.GOING_AWAY, ""))]
    assert ours.close() == b"" and ours.outgoing() == b""
    with pytest.raises(RuntimeError):
        ours.send("late")


def test_failure_reports_and_queues_the_code():
    server = v.WSConnection(False)
    # An unmasked frame from a client (RFC 6455 section 5.1), then bytes that are ignored.
    assert server.receive(b"\x81\x05Hello\x81\x05Hello") == [
        (v.WS_CLOSE, (1002, "unmasked frame from the client"))
    ]
    assert server.failed and server.state == v.WS_CLOSING
    assert server.outgoing()[:4] == b"\x88\x20\x03\xea"
    assert server.receive(b"\x88\x80\x00\x00\x00\x00") == []


@pytest.mark.parametrize(
    "call,error",
    [
        (lambda c: c.close(1004), ValueError),
        (lambda c: c.close(1005, "why"), ValueError),
        (lambda c: c.close(1000, "x" * 124), ValueError),
        (lambda c: c.ping(b"x" * 126), ValueError),
        (lambda c: c.send(3), TypeError),
        (lambda c: v.WSDeflate(server_max_window_bits=16), ValueError),
        (lambda c: v.ws_deflate_accept(b"permessage-deflate; bogus"), ValueError),
        (lambda c: v.WSConnection(False, deflate=1), TypeError),
    ],
)
def test_refused_arguments(call, error):
    with pytest.raises(error):
        call(v.WSConnection(False))


def test_check_request_reads_a_header_map():
    headers = v.HeaderMap(
        [
            ("Upgrade", "websocket"),
            ("Connection", "Upgrade"),
            ("Sec-WebSocket-Key", "dGhlIHNhbXBsZSBub25jZQ=="),
            ("Sec-WebSocket-Version", "13"),
            ("Sec-WebSocket-Protocol", "chat"),
            ("Sec-WebSocket-Protocol", "superchat, v2"),
        ]
    )
    r = v.ws_check_request(b"GET", False, headers)
    assert (r.status, r.message, r.key, r.subprotocols, r.extensions) == (
        0, "", b"dGhlIHNhbXBsZSBub25jZQ==", ["chat", "superchat", "v2"], b"",
    )
    assert v.ws_check_request(b"GET", False, v.HeaderMap()) is None
    assert v.ws_check_request(b"CONNECT", True, v.HeaderMap()).status == 426
