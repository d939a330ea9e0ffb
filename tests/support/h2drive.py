"""Synchronous in-memory drivers for H2Streams and for the `h2` package, and the pump that joins
two of them. Each driver does what the asyncio driver does with a connection, minus the tasks:
it feeds received bytes to `receive`, applies every frame with the matching `recv_*` method,
answers violations the way the real driver does, keeps sending bodies as far as the windows
allow, and resumes a blocked sender only when the connection names its handle."""

import h2.config
import h2.connection
import h2.errors
import h2.events
import h2.exceptions
import h2.settings

from velmora import _velmora as v

DEFAULTS = dict(
    initial_window_size=65535,
    connection_window=65535,
    max_frame_size=16384,
    max_header_list_size=65536,
    max_send_buf_size=1 << 20,
)


class Handle:
    """What the driver's stream handle carries: the received message and the send progress."""

    def __init__(self, sid=None):
        self.sid = sid
        self.head = None  # H2FrameHeaders of the request or the final response head
        self.body = bytearray()
        self.trailers = None
        self.eof = False
        self.stop = None  # H2Stopped published by a reset, GOAWAY or failure
        self.send_stopped = None  # H2Stopped a send verdict reported
        self.sent_all = False

    def __repr__(self):
        return f"Handle(sid={self.sid}, eof={self.eof}, body={len(self.body)})"


class Outgoing:
    def __init__(self, data, trailers):
        self.data = data
        self.offset = 0
        self.trailers = trailers


class Ours:
    """A driver around one H2Streams."""

    def __init__(self, role, *, auto_accept=True, auto_release=True, cls=None, **kw):
        args = dict(DEFAULTS)
        args.update(kw)
        self.conn = (cls or v.H2Streams)(role, **args)
        self.role = role
        self.auto_accept = auto_accept
        self.auto_release = auto_release
        self.handles = {}  # sid -> Handle
        self.opened = []  # server: handles of requests received, in order
        self.outgoing = {}  # sid -> Outgoing
        self.error = None  # the connection error this side detected
        self.stream_errors = []  # args of every stream error raised while applying frames
        self.goaway = None  # the peer's last GOAWAY frame
        self.pings = 0
        self.unreleased = {}  # sid -> bytes received and not yet released (manual release)
        self.budgeted = []  # (sid, payload_len) charges awaiting release_data_frame
        self.wire_out = 0
        self.queued = {}  # sid -> DATA bytes queued since the last take_pending

    # ---- the write pump
    def take(self):
        mv, stopping = self.conn.take_pending()
        try:
            assert mv.readonly
            data = bytes(mv)
        finally:
            mv.release()
        self.queued.clear()
        for h in self.conn.credit_written():
            self._resume(h)
        self.wire_out += len(data)
        return data

    # ---- the read pump
    def feed(self, data):
        if self.error is not None:
            return
        try:
            frames = self.conn.receive(data)
        except v.H2ProtocolError as e:
            self._conn_error(e)
            return
        for f in frames:
            if self.error is not None:
                return
            self.apply(f)
        if self.error is None:
            self.conn.maybe_goaway_reply()

    def apply(self, f):
        try:
            self._apply(f)
        except v.H2StreamError as e:
            self.stream_errors.append(e.args)
            self._reset_on_error(e.args[0], e.args[1])
        except (v.H2ProtocolError, v.H2FlowControlError) as e:
            self._conn_error(e)

    def _reset_on_error(self, sid, reason):
        try:
            r = self.conn.reset_on_error(sid, reason)
        except v.H2ProtocolError as e:
            self._conn_error(e)
            return
        if r.handle is not None:
            r.handle.stop = r.stop
            self.outgoing.pop(r.handle.sid, None)

    def _conn_error(self, e):
        self.error = e
        reason = e.args[0] if isinstance(e, v.H2ProtocolError) else 3
        self.conn.send_goaway(1 if reason is None else reason)
        for h, stop in self.conn.fail(e):
            h.stop = stop

    def _apply(self, f):
        c = self.conn
        if isinstance(f, v.H2FrameSettings):
            _initial, wake, _flags = c.recv_settings(f)
            for h in wake:
                self._resume(h)
        elif isinstance(f, v.H2FramePing):
            self.pings += 1
            c.recv_ping(f)
        elif isinstance(f, v.H2FrameHeaders):
            spare = Handle(f.stream_id) if self.role == "server" else None
            vd = c.recv_headers(f, spare)
            if vd.kind == v.H2_HEADERS_OPENED:
                assert vd.handle is spare
                spare.head = f
                self.handles[f.stream_id] = spare
                self.opened.append(spare)
                if self.auto_accept:
                    c.accepted(f.stream_id)
            elif vd.kind == v.H2_HEADERS_HEAD:
                vd.handle.head = f
            elif vd.kind == v.H2_HEADERS_TRAILERS:
                vd.handle.trailers = f.headers
            if vd.eof and vd.handle is not None:
                vd.handle.eof = True
        elif isinstance(f, v.H2FrameData):
            vd = c.recv_data(f)
            h = vd.handle
            if vd.payload is not None:
                h.body += vd.payload
            n = len(f.data)
            if h is not None:
                if self.auto_release:
                    if n:
                        c.release_capacity(f.stream_id, n)
                    if vd.budgeted:
                        c.release_data_frame(f.stream_id, n)
                else:
                    self.unreleased[f.stream_id] = self.unreleased.get(f.stream_id, 0) + n
                    if vd.budgeted:
                        self.budgeted.append((f.stream_id, n))
                if vd.eof:
                    h.eof = True
        elif isinstance(f, v.H2FrameWindowUpdate):
            for h in c.recv_window_update(f):
                self._resume(h)
        elif isinstance(f, v.H2FrameRstStream):
            r = c.recv_reset(f)
            if r is not None:
                h, stop, _notify, _flags = r
                h.stop = stop
        elif isinstance(f, v.H2FrameGoAway):
            self.goaway = f
            pairs, _flags = c.recv_go_away(f)
            for h, stop in pairs:
                h.stop = stop
        elif isinstance(f, v.H2FrameStreamError):
            self._reset_on_error(f.stream_id, f.error_code)

    def release_all(self):
        """The application consumes everything buffered (manual release mode)."""
        for sid, n in list(self.unreleased.items()):
            self.conn.release_capacity(sid, n)
        self.unreleased.clear()
        for sid, n in self.budgeted:
            self.conn.release_data_frame(sid, n)
        self.budgeted.clear()

    # ---- sending
    def request(self, method="GET", target="/", headers=None, body=b"", trailers=None,
                authority="example.com", scheme="https"):
        assert self.conn.try_claim_slot()
        h = Handle()
        end = not body and trailers is None
        sid = self.conn.open_stream(method, target, headers, end, method == "HEAD", h,
                                    scheme=scheme, authority=authority)
        assert sid is not None
        h.sid = sid
        self.handles[sid] = h
        if not end:
            self.outgoing[sid] = Outgoing(body, trailers)
            self._resume(h)
        else:
            h.sent_all = True
        return h

    def respond(self, h, status=200, headers=None, body=b"", trailers=None):
        end = not body and trailers is None
        vd = self.conn.send_response_head(h.sid, status, headers, end)
        if vd.stopped is not None:
            h.send_stopped = vd.stopped
            return vd
        if end:
            h.sent_all = True
        else:
            self.outgoing[h.sid] = Outgoing(body, trailers)
            self._resume(h)
        return vd

    def _resume(self, h):
        out = self.outgoing.get(h.sid)
        if out is None:
            return
        c = self.conn
        while True:
            last = out.trailers is None
            vd = c.send_data(h.sid, out.data, out.offset, last)
            if vd.stopped is not None:
                h.send_stopped = vd.stopped
                del self.outgoing[h.sid]
                return
            out.offset += vd.sent
            if vd.sent:
                self.queued[h.sid] = self.queued.get(h.sid, 0) + vd.sent
            if vd.done:
                if not last:
                    tv = c.send_trailers(h.sid, out.trailers)
                    if tv.stopped is not None:
                        h.send_stopped = tv.stopped
                        del self.outgoing[h.sid]
                        return
                h.sent_all = True
                del self.outgoing[h.sid]
                return
            if vd.sent == 0:
                return  # wait for a wake: window update, settings, or credit


class Peer:
    """A driver around an `h2` connection: echoes nothing by itself; the test decides."""

    def __init__(self, client_side, settings=None):
        cfg = h2.config.H2Configuration(client_side=client_side, header_encoding=None)
        self.c = h2.connection.H2Connection(cfg)
        if settings:
            self.c.local_settings = h2.settings.Settings(client=client_side, initial_values=settings)
        self.c.initiate_connection()
        self.streams = {}  # sid -> dict
        self.outgoing = {}  # sid -> Outgoing
        self.events = []
        self.terminated = None
        self.auto_ack = True
        self.client_side = client_side
        self.inbuf = b""
        self.preface_left = 0 if client_side else 24

    def take(self):
        return self.c.data_to_send()

    def st(self, sid):
        return self.streams.setdefault(
            sid, {"headers": None, "body": bytearray(), "trailers": None, "ended": False,
                  "reset": None})

    def feed(self, data):
        # Whole frames only, one call each: h2 applies a new frame-size limit from the next
        # call on, not to frames later in the same buffer.
        self.inbuf += data
        if self.preface_left:
            n = min(self.preface_left, len(self.inbuf))
            self._feed(self.inbuf[:n])
            self.inbuf = self.inbuf[n:]
            self.preface_left -= n
        while len(self.inbuf) >= 9:
            n = 9 + int.from_bytes(self.inbuf[:3], "big")
            if len(self.inbuf) < n:
                break
            one, self.inbuf = self.inbuf[:n], self.inbuf[n:]
            self._feed(one)

    def _feed(self, data):
        events = self.c.receive_data(data)
        self.events.extend(events)
        for ev in events:
            if isinstance(ev, (h2.events.RequestReceived, h2.events.ResponseReceived)):
                self.st(ev.stream_id)["headers"] = ev.headers
            elif isinstance(ev, h2.events.DataReceived):
                self.st(ev.stream_id)["body"] += ev.data
                if self.auto_ack and ev.flow_controlled_length:
                    self.c.acknowledge_received_data(ev.flow_controlled_length, ev.stream_id)
            elif isinstance(ev, h2.events.TrailersReceived):
                self.st(ev.stream_id)["trailers"] = ev.headers
            elif isinstance(ev, h2.events.StreamEnded):
                self.st(ev.stream_id)["ended"] = True
            elif isinstance(ev, h2.events.StreamReset):
                self.st(ev.stream_id)["reset"] = ev.error_code
                self.outgoing.pop(ev.stream_id, None)
            elif isinstance(ev, h2.events.ConnectionTerminated):
                self.terminated = ev
            elif isinstance(ev, (h2.events.WindowUpdated, h2.events.RemoteSettingsChanged)):
                pass
        self.push_all()

    def send(self, sid, headers, body=b"", trailers=None):
        end = not body and trailers is None
        self.c.send_headers(sid, headers, end_stream=end)
        if not end:
            self.outgoing[sid] = Outgoing(body, trailers)
            self.push_all()

    def push_all(self):
        for sid in list(self.outgoing):
            out = self.outgoing[sid]
            try:
                while out.offset < len(out.data):
                    n = min(len(out.data) - out.offset, self.c.local_flow_control_window(sid),
                            self.c.max_outbound_frame_size)
                    if n <= 0:
                        break
                    end = out.trailers is None and out.offset + n == len(out.data)
                    self.c.send_data(sid, out.data[out.offset : out.offset + n], end_stream=end)
                    out.offset += n
                if out.offset == len(out.data):
                    if out.trailers is not None:
                        self.c.send_headers(sid, out.trailers, end_stream=True)
                    del self.outgoing[sid]
            except (h2.exceptions.StreamClosedError, h2.exceptions.ProtocolError):
                del self.outgoing[sid]


def pump(a, b, *, chunk=None, rounds=100000):
    """Moves bytes both ways until neither side has anything to send. `chunk` splits every
    transfer into pieces of that size (1 feeds byte by byte)."""
    for _ in range(rounds):
        x = a.take()
        y = b.take()
        if not x and not y:
            return
        for src, dst in ((x, b), (y, a)):
            if not src:
                continue
            if chunk is None:
                dst.feed(src)
            else:
                for i in range(0, len(src), chunk):
                    dst.feed(src[i : i + chunk])
    raise AssertionError("the exchange did not settle")


def ours_pair(**kw):
    client_kw = dict(kw)
    server_kw = dict(kw)
    for k in list(kw):
        if k.startswith("client_"):
            client_kw[k[7:]] = client_kw.pop(k)
            server_kw.pop(k)
        elif k.startswith("server_"):
            server_kw[k[7:]] = server_kw.pop(k)
            client_kw.pop(k)
    c = Ours("client", **client_kw)
    s = Ours("server", **server_kw)
    c.conn.begin()
    s.conn.begin()
    pump(c, s)
    return c, s


def frames_of(data):
    """Splits wire bytes into (type, flags, stream id, payload) tuples (a leading client
    preface is skipped)."""
    if data.startswith(v.H2_PREFACE):
        data = data[len(v.H2_PREFACE):]
    out = []
    i = 0
    while i < len(data):
        n = int.from_bytes(data[i : i + 3], "big")
        out.append((data[i + 3], data[i + 4], int.from_bytes(data[i + 5 : i + 9], "big") & 0x7FFFFFFF,
                    bytes(data[i + 9 : i + 9 + n])))
        i += 9 + n
    assert i == len(data), "a partial frame"
    return out


def hdrs(*pairs):
    m = v.HeaderMap()
    for k, val in pairs:
        m.add(k, val)
    return m


__all__ = ["Handle", "Ours", "Peer", "pump", "ours_pair", "hdrs", "frames_of", "DEFAULTS", "v", "h2"]
