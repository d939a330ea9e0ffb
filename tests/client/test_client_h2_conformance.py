"""The client role makes the RFC 9113 decisions the server makes: a scripted `h2` server
writes a faulty frame, the test asserts the exact frame the client answers with (GOAWAY with
its code, or RST_STREAM on the stream) and that after a stream error the connection serves on."""

from __future__ import annotations

import asyncio
import struct
import time

import pytest

from h2server import h2_server
from velmora.client import AsyncClient, Client, RemoteProtocolError, Timeout

PROTOCOL_ERROR, FLOW_CONTROL_ERROR, FRAME_SIZE_ERROR = 1, 3, 6


def frame(ftype, flags, sid, payload):
    return (struct.pack(">I", len(payload))[1:] + bytes([ftype, flags]) + struct.pack(">I", sid)
            + payload)


def head(fields, end_stream=True):
    """A response head encoded with the server's own HPACK context (it stays in step)."""
    return lambda conn, sid: frame(1, 4 | (1 if end_stream else 0), sid,
                                   conn.h2.encoder.encode(fields))


def raw(data):
    return lambda conn, sid: data


CL10 = [(b":status", b"200"), (b"content-length", b"10")]

# name: (what the server writes for the first request, the client's answer)
# ("goaway", code): GOAWAY(0, code); ("rst", code): RST_STREAM(1, code), the connection goes on;
# ("ok", status): a valid response
CASES = {
    "ping_length_7": (raw(frame(6, 0, 0, bytes(7))), ("goaway", FRAME_SIZE_ERROR)),
    "settings_ack_with_payload": (raw(frame(4, 1, 0, bytes(6))), ("goaway", FRAME_SIZE_ERROR)),
    "settings_initial_window_above_max": (
        raw(frame(4, 0, 0, struct.pack(">HI", 4, 2**31))), ("goaway", FLOW_CONTROL_ERROR)),
    "window_update_length_3": (raw(frame(8, 0, 0, bytes(3))), ("goaway", FRAME_SIZE_ERROR)),
    "goaway_length_7": (raw(frame(7, 0, 0, bytes(7))), ("goaway", FRAME_SIZE_ERROR)),
    "rst_stream_length_5": (lambda c, sid: frame(3, 0, sid, bytes(5)),
                            ("goaway", FRAME_SIZE_ERROR)),
    "priority_length_4": (lambda c, sid: frame(2, 0, sid, bytes(4)), ("rst", FRAME_SIZE_ERROR)),
    "content_length_with_end_stream": (head(CL10), ("rst", PROTOCOL_ERROR)),
    "content_length_values_disagree": (
        head([(b":status", b"200"), (b"content-length", b"1"), (b"content-length", b"2")], False),
        ("rst", PROTOCOL_ERROR)),
    "unknown_pseudo_header": (head([(b":status", b"200"), (b":foo", b"1")]),
                              ("rst", PROTOCOL_ERROR)),
    "bad_status": (head([(b":status", b"2x0")]), ("rst", PROTOCOL_ERROR)),
    # RFC 9113 section 8.1.1: these may declare a length they do not carry
    "head_response_with_content_length": (head(CL10), ("ok", 200)),
    "not_modified_with_content_length": (head([(b":status", b"304"), (b"content-length", b"10")]),
                                         ("ok", 304)),
}


async def exchange(name, blocking):
    write, expected = CASES[name]

    async def handler(conn, req):
        if req.path == b"/case":
            conn.flush()
            conn.writer.write(write(conn, req.sid))
        else:
            await conn.respond(req.sid, 200, b"after")

    def answered(srv):  # the client's answer is on its way to the server
        return srv.conns[0].terminated or srv.conns[0].resets or expected[0] == "ok"

    def seen(srv):  # what the server received before the client closes
        return srv.conns[0].terminated, dict(srv.conns[0].resets), srv.connections

    method = "HEAD" if name.startswith("head_") else "GET"
    async with h2_server(handler) as (srv, port):
        base = f"http://127.0.0.1:{port}"
        if blocking:
            def calls():
                with Client(http2_prior_knowledge=True, timeout=Timeout(5.0)) as c:
                    try:
                        first = c.request(method, base + "/case").status_code
                    except RemoteProtocolError:
                        first = None
                    after = None if expected[0] == "goaway" else c.get(base + "/next").content
                    for _ in range(100):
                        if answered(srv):
                            break
                        time.sleep(0.02)
                    return first, after, *seen(srv)

            return await asyncio.to_thread(calls)
        async with AsyncClient(http2_prior_knowledge=True, timeout=Timeout(5.0)) as c:
            try:
                r = await c.request(method, base + "/case")
                first = r.status
            except RemoteProtocolError:
                first = None
            after = None
            if expected[0] != "goaway":
                after = (await c.get(base + "/next")).content
            for _ in range(100):
                if answered(srv):
                    break
                await asyncio.sleep(0.02)
            return first, after, *seen(srv)


@pytest.mark.parametrize("blocking", [False, True], ids=["async", "blocking"])
@pytest.mark.parametrize("name", CASES)
def test_client_answers(name, blocking):
    first, after, terminated, resets, connections = asyncio.run(
        asyncio.wait_for(exchange(name, blocking), 30))
    kind, code = CASES[name][1]
    if kind == "goaway":
        assert first is None and terminated == (code, 0) and not resets
    elif kind == "rst":
        assert first is None and resets == {1: code} and terminated is None
        assert after == b"after" and connections == 1
    else:
        assert first == code and not resets and terminated is None
        assert after == b"after" and connections == 1


def test_server_preface_must_be_settings():
    async def handler(conn, req):
        await conn.respond(req.sid, 200, b"never")

    async def main():
        async with h2_server(handler, preface=frame(6, 0, 0, bytes(8))) as (srv, port):
            async with AsyncClient(http2_prior_knowledge=True, timeout=Timeout(5.0)) as c:
                with pytest.raises(RemoteProtocolError):
                    await c.get(f"http://127.0.0.1:{port}/")
                for _ in range(100):
                    if srv.conns[0].terminated:
                        break
                    await asyncio.sleep(0.02)
                return srv.conns[0].terminated

    assert asyncio.run(asyncio.wait_for(main(), 30)) == (PROTOCOL_ERROR, 0)


@pytest.mark.parametrize("blocking", [False, True], ids=["async", "blocking"])
def test_write_timeout_bounds_each_wait_for_window_not_the_whole_body(blocking):
    """A 4 KiB body through a 1000-byte stream window given back after 0.15 s: five waits of
    0.15 s each, under a write timeout of 0.5 s (the whole upload takes longer)."""
    async def handler(conn, req):
        await conn.respond(req.sid, 200, b"%d" % len(req.body))

    async def main():
        async with h2_server(handler, settings={4: 1000}, ack_delay=0.15) as (srv, port):
            url = f"http://127.0.0.1:{port}/upload"
            timeout = Timeout(5.0, write=0.5)
            if blocking:
                def call():
                    with Client(http2_prior_knowledge=True, timeout=timeout) as c:
                        return c.post(url, content=b"x" * 4096).content
                return await asyncio.to_thread(call)
            async with AsyncClient(http2_prior_knowledge=True, timeout=timeout) as c:
                return (await c.post(url, content=b"x" * 4096)).content

    assert asyncio.run(asyncio.wait_for(main(), 30)) == b"4096"
