"""Helpers shared by the HTTP/2 tests: framing header blocks and reading frames back."""
import struct

from velmora import _velmora as v


def frame(ftype, flags, stream_id, payload):
    return struct.pack(">I", len(payload))[1:] + bytes([ftype, flags]) + struct.pack(">I", stream_id) + payload


def headers_frame(stream_id, block, end_headers=True, end_stream=False):
    return frame(1, (4 if end_headers else 0) | (1 if end_stream else 0), stream_id, block)


def field_list(f):
    """A HEADERS frame object as (name, value) bytes pairs: pseudo-header fields, then the rest."""
    out = []
    for name in ("method", "scheme", "authority", "path"):
        val = getattr(f, name)
        if val is not None:
            out.append((b":" + name.encode(), val.encode()))
    if f.status is not None:
        out.append((b":status", str(f.status).encode()))
    out.extend((k.encode(), val) for k, val in f.headers.items())
    return out


def grouped(fields):
    """A field list as a HeaderMap orders it: pseudo-header fields in order, then each regular
    name at its first position followed by all of its values."""
    pseudo = [(n, val) for n, val in fields if n.startswith(b":")]
    order, values = [], {}
    for n, val in fields:
        if n.startswith(b":"):
            continue
        if n not in values:
            order.append(n)
            values[n] = []
        values[n].append(val)
    # HeaderMap lists the pseudo fields through the frame's attributes in a fixed order.
    rank = {b":method": 0, b":scheme": 1, b":authority": 2, b":path": 3, b":status": 4}
    pseudo.sort(key=lambda p: rank.get(p[0], 9))
    return pseudo + [(n, val) for n in order for val in values[n]]


def feed(codec, data, mode):
    """Feeds data whole, byte by byte, or whole followed by the first bytes of another frame."""
    if mode == "whole":
        return codec.receive(data)
    if mode == "bytewise":
        out = []
        for i in range(len(data)):
            out.extend(codec.receive(data[i : i + 1]))
        return out
    if mode == "trailing":
        out = codec.receive(data + b"\x00\x00\x08\x06")
        assert codec.buffered() == 4
        return out
    raise AssertionError(mode)


MODES = ["whole", "bytewise", "trailing"]

_FORBIDDEN = {b"connection", b"keep-alive", b"proxy-connection", b"transfer-encoding", b"upgrade"}


def violates_http2(fields):
    """True when a field list breaks a rule of RFC 9113 sections 8.2.1 and 8.2.2."""
    for n, val in fields:
        if n in _FORBIDDEN or (n == b"te" and val != b"trailers"):
            return True
        if val[:1] in (b" ", b"\t") or val[-1:] in (b" ", b"\t"):
            return True
        if n != n.lower():
            return True
    return False


__all__ = ["v", "frame", "headers_frame", "field_list", "grouped", "feed", "MODES", "violates_http2"]
