"""Peer oracles: h11 and httptools read what we write, and we read what h11 writes, with the
same meaning."""

import pytest

from velmora import _velmora as v

h11 = pytest.importorskip("h11")
httptools = pytest.importorskip("httptools")

HM = v.HeaderMap


def drain(d):
    out = []
    while (piece := d.decode()) is not None:
        out.append(piece)
    return b"".join(out)


def h11_events(conn, data):
    conn.receive_data(data)
    events = []
    while True:
        ev = conn.next_event()
        if ev in (h11.NEED_DATA, h11.PAUSED):
            return events
        events.append(ev)
        if type(ev) is h11.ConnectionClosed:
            return events


def lower_items(headers):
    return [(bytes(n).lower(), bytes(val)) for n, val in headers]


def our_items(map_):
    return [(n.encode(), val) for n, val in map_.items()]


# ---- h11 writes, we read ----------------------------------------------------------------

REQUESTS = [
    ("GET", "/", [("Host", "a.example")], []),
    ("GET", "/p?q=1&r=%20", [("Host", "a"), ("Accept", "*/*"), ("X-Dup", "1"), ("X-Dup", "2")], []),
    ("POST", "/upload", [("Host", "a"), ("Content-Length", "11")], [b"hello", b" world"]),
    ("PUT", "/c", [("Host", "a"), ("Transfer-Encoding", "chunked")], [b"abc", b"x" * 300]),
    ("DELETE", "http://a.example/x", [("Host", "a.example")], []),
    ("OPTIONS", "*", [("Host", "a")], []),
]


@pytest.mark.parametrize("method,target,headers,body", REQUESTS)
def test_h11_request_parses_same(method, target, headers, body):
    client = h11.Connection(h11.CLIENT)
    wire = client.send(h11.Request(method=method, target=target, headers=headers))
    for chunk in body:
        wire += client.send(h11.Data(data=chunk))
    trailers = [("X-Sum", "42")] if ("Transfer-Encoding", "chunked") in headers else []
    wire += client.send(h11.EndOfMessage(headers=trailers))

    server = h11.Connection(h11.SERVER)
    req = h11_events(server, wire)[0]
    codec = v.H1Codec()
    head = codec.receive_request_head(wire)
    assert head.method == req.method.decode()
    assert head.target == req.target.decode()
    dup_free = [(n, val) for n, val in lower_items(req.headers)]
    assert sorted(our_items(head.headers)) == sorted(dup_free)
    d = v.H1BodyDecoder(head.body_kind, head.content_length or 0)
    codec.take_body_into(d)
    assert drain(d) == b"".join(body) and d.is_complete
    t = d.take_trailers()
    assert (t.items() if t else []) == [(n.lower(), val.encode()) for n, val in trailers]


RESPONSES = [
    ("GET", 200, [("Content-Length", "5")], [b"hello"]),
    ("GET", 404, [("Transfer-Encoding", "chunked"), ("X-A", "b")], [b"not ", b"found"]),
    ("HEAD", 200, [("Content-Length", "99")], []),
    ("GET", 204, [], []),
    ("GET", 304, [("ETag", '"x"')], []),
    ("GET", 200, [("Connection", "close")], [b"until close"]),
]


@pytest.mark.parametrize("method,status,headers,body", RESPONSES)
def test_h11_response_parses_same(method, status, headers, body):
    client = h11.Connection(h11.CLIENT)
    server = h11.Connection(h11.SERVER)
    h11_events(server, client.send(h11.Request(method=method, target="/", headers=[("Host", "a")])))
    h11_events(server, client.send(h11.EndOfMessage()))
    wire = server.send(h11.Response(status_code=status, headers=headers))
    for chunk in body:
        wire += server.send(h11.Data(data=chunk))
    wire += server.send(h11.EndOfMessage())

    ev = h11_events(client, wire)[0]
    codec = v.H1Codec()
    codec.serialize_request(method, "/", HM([("host", "a")]))
    head = codec.receive_head(wire)
    assert head.status == ev.status_code
    assert sorted(our_items(head.headers)) == sorted(lower_items(ev.headers))
    d = v.H1BodyDecoder(head.body_kind, head.content_length or 0)
    codec.take_body_into(d)
    if head.body_kind == "close":
        d.mark_eof()
    assert drain(d) == b"".join(body) and d.is_complete


# ---- we write, h11 reads ----------------------------------------------------------------


@pytest.mark.parametrize(
    "method,kwargs,body,trailers",
    [
        ("GET", {}, [], None),
        ("POST", {"content_length": 6}, [b"abc", b"def"], None),
        ("POST", {"chunked": True}, [b"abc", b"x" * 1000], None),
        ("POST", {"chunked": True}, [b"abc"], [("x-checksum", "1")]),
        ("PUT", {"http10": True, "content_length": 3}, [b"abc"], None),
    ],
)
def test_our_request_read_by_h11(method, kwargs, body, trailers):
    codec = v.H1Codec()
    fields = [("host", "a.example"), ("x-b", "1")]
    if trailers:
        fields.append(("trailer", "x-checksum"))
    wire = codec.serialize_request(method, "/path?x=1", HM(fields), **kwargs)
    for chunk in body:
        wire += codec.serialize_data(chunk)
    wire += codec.serialize_trailers(HM(trailers)) if trailers else codec.serialize_end()

    server = h11.Connection(h11.SERVER)
    events = h11_events(server, wire)
    req = events[0]
    assert req.method == method.encode() and req.target == b"/path?x=1"
    assert req.http_version == (b"1.0" if kwargs.get("http10") else b"1.1")
    assert (b"x-b", b"1") in lower_items(req.headers)
    assert b"".join(e.data for e in events if type(e) is h11.Data) == b"".join(body)
    end = events[-1]
    assert type(end) is h11.EndOfMessage
    assert lower_items(end.headers) == [(n.encode(), val.encode()) for n, val in (trailers or [])]


@pytest.mark.parametrize(
    "req_method,req_version,status,kwargs,body",
    [
        ("GET", "1.1", 200, {"content_length": 5}, [b"hello"]),
        ("GET", "1.1", 200, {"chunked": True}, [b"he", b"llo"]),
        ("HEAD", "1.1", 200, {"content_length": 5}, []),
        ("GET", "1.1", 204, {}, []),
        ("GET", "1.1", 304, {"content_length": 3}, []),
        ("GET", "1.1", 500, {"keep_alive": False}, []),
        ("GET", "1.0", 200, {"http10": True, "chunked": True, "keep_alive": False}, [b"old", b"style"]),
    ],
)
def test_our_response_read_by_h11(req_method, req_version, status, kwargs, body):
    codec = v.H1Codec()
    codec.receive_request_head(f"{req_method} / HTTP/{req_version}\r\nHost: a\r\n\r\n".encode())
    wire = codec.serialize_response(status, HM([("server", "velmora")]), **kwargs)
    for chunk in body:
        wire += codec.serialize_data(chunk)
    wire += codec.serialize_end()

    client = h11.Connection(h11.CLIENT)
    client.send(h11.Request(method=req_method, target="/", headers=[("Host", "a")]))
    client.send(h11.EndOfMessage())
    events = h11_events(client, wire)
    if codec.response_close_delimited:
        events += h11_events(client, b"")
    resp = events[0]
    assert resp.status_code == status
    assert (b"server", b"velmora") in lower_items(resp.headers)
    assert b"".join(e.data for e in events if type(e) is h11.Data) == b"".join(body)
    assert any(type(e) is h11.EndOfMessage for e in events)
    # Keep-alive agrees with h11's view of the connection.
    assert (client.our_state is h11.DONE and client.their_state is h11.DONE) == (not codec.response_is_last)


def test_keep_alive_roundtrip_two_requests():
    server_codec = v.H1Codec()
    client = h11.Connection(h11.CLIENT)
    for i in range(2):
        wire = client.send(h11.Request(method="GET", target=f"/{i}", headers=[("Host", "a")]))
        wire += client.send(h11.EndOfMessage())
        head = server_codec.receive_request_head(wire)
        assert head.target == f"/{i}" and head.keep_alive
        out = server_codec.serialize_head_and_body(server_codec.serialize_response(200, content_length=2), b"ok")
        events = h11_events(client, out)
        assert events[0].status_code == 200 and events[1].data == b"ok"
        client.start_next_cycle()
        server_codec.reset()


# ---- httptools as a second parser -------------------------------------------------------


class Collector:
    def __init__(self):
        self.messages = []

    def on_message_begin(self):
        self.messages.append({"url": b"", "headers": [], "body": b""})

    def on_url(self, url):
        self.messages[-1]["url"] += url

    def on_header(self, name, value):
        self.messages[-1]["headers"].append((name.lower(), value))

    def on_body(self, body):
        self.messages[-1]["body"] += body


VALID = [
    b"GET / HTTP/1.1\r\nHost: a\r\n\r\n",
    b"GET /x?y=%41 HTTP/1.1\r\nHost: a\r\nAccept: */*\r\nCookie: a=b; c=d\r\n\r\n",
    b"POST /f HTTP/1.1\r\nHost: a\r\nContent-Length: 4\r\n\r\nbody",
    b"POST /f HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
    b"PATCH /p HTTP/1.0\r\nX-Tab:\tv\r\nContent-Length: 1\r\n\r\nz",
    b"GET http://h.example/abs HTTP/1.1\r\nHost: h.example\r\n\r\n",
]


@pytest.mark.parametrize("wire", VALID)
def test_httptools_agrees(wire):
    keep_alive = b"HTTP/1.0" not in wire
    stream = wire + wire if keep_alive else wire  # pipelined where the connection stays open
    col = Collector()
    p = httptools.HttpRequestParser(col)
    p.feed_data(stream)
    codec = v.H1Codec()
    codec.feed(stream)
    for msg in col.messages:
        head = codec.receive_request_head(b"")
        assert head.method == p.get_method().decode()
        assert head.target == msg["url"].decode()
        assert our_items(head.headers) == msg["headers"]
        assert head.keep_alive == keep_alive
        d = v.H1BodyDecoder(head.body_kind, head.content_length or 0)
        codec.take_body_into(d)
        assert drain(d) == msg["body"] and d.is_complete
        # Bytes past the body are the next request.
        if d.buffered:
            codec = v.H1Codec()
            codec.feed(stream[len(stream) - d.buffered :])
    assert len(col.messages) == (2 if keep_alive else 1)


def test_our_chunked_response_with_trailers_read_by_h11():
    codec = v.H1Codec()
    codec.receive_request_head(b"GET / HTTP/1.1\r\nHost: a\r\nTE: trailers\r\n\r\n")
    head = codec.serialize_response(200, HM([("trailer", "x-digest")]), chunked=True)
    wire = codec.serialize_head_and_body(head, b"payload", HM([("x-digest", "abc"), ("x-other", "no")]))
    client = h11.Connection(h11.CLIENT)
    client.send(h11.Request(method="GET", target="/", headers=[("Host", "a"), ("TE", "trailers")]))
    client.send(h11.EndOfMessage())
    events = h11_events(client, wire)
    assert events[0].status_code == 200 and events[1].data == b"payload"
    assert lower_items(events[-1].headers) == [(b"x-digest", b"abc")]
