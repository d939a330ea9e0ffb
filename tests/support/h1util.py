"""Helpers for feeding HTTP/1 heads to a codec in the ways the tests need."""

from velmora import _velmora as v


def parse_request(data, codec=None, **kw):
    codec = codec or v.H1Codec(**kw)
    return codec.receive_request_head(data), codec


def parse_response(data, method=None, codec=None, **kw):
    codec = codec or v.H1Codec(**kw)
    if method is not None:
        codec.serialize_request(method, "/", v.HeaderMap([("host", "h")]))
    return codec.receive_head(data), codec


def feed_ways(receive, data):
    """Feed `data` whole, byte by byte, and with trailing bytes; returns the three results.

    `receive(codec, chunk)` returns the head or None; a byte-by-byte feed must return None
    until the last byte.
    """
    results = []
    codec = v.H1Codec()
    results.append((receive(codec, data), codec.buffered()))
    codec = v.H1Codec()
    head = None
    for i in range(len(data)):
        head = receive(codec, data[i : i + 1])
        if i < len(data) - 1:
            assert head is None, f"head complete early at byte {i}"
    results.append((head, codec.buffered()))
    codec = v.H1Codec()
    results.append((receive(codec, data + b"TRAILING"), codec.buffered() - len(b"TRAILING")))
    return results


def request_error(data, **kw):
    codec = v.H1Codec(**kw)
    try:
        codec.receive_request_head(data)
    except v.H1ParseError as e:
        return e.args[0], codec.parse_error_status
    raise AssertionError(f"no error for {data!r}")


def response_error(data, method=None):
    codec = v.H1Codec()
    if method is not None:
        codec.serialize_request(method, "/", v.HeaderMap([("host", "h")]))
    try:
        codec.receive_head(data)
    except v.H1ParseError as e:
        return e.args[0]
    raise AssertionError(f"no error for {data!r}")
