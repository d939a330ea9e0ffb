"""The HTTP/1 server connection: an asyncio protocol driving the core's ``H1ServerState``.

Every protocol decision (which bytes are a head, body framing, reuse or close, 100-continue,
pipelining, whether a client's end-of-stream means it is gone) is the core's verdict; this
module adds the asynchronous machinery: transport callbacks, deadlines and flow control, and
it turns the core's verdicts into the events of one `Stream` per request (which runs the
application) and answers that stream as its `Sink`.

The transport delivers reads to the protocol whenever it is not paused, so the core's
"parked reads" map onto where the next bytes go, the connection's one `Read` state:

* between requests (``IDLE``) the parked idle read is the next head's first bytes, or
  (``WATCH``) the core's watcher read, still out, reads them;
* while a head is incomplete (``HEAD``) bytes go to ``accept_head``;
* while a request is current (``BODY``) bytes go to its body decoder, or, while the core's
  watcher read is out (``watcher_parked``), to ``watcher_completed``;
* once the watcher read the next request's first bytes (``HOLD``), the rest is held until the
  core hands the read back through ``begin_read``.
"""

from __future__ import annotations

import asyncio
import contextvars
import enum
import sys
from typing import Any, Callable, NoReturn

from velmora import _velmora as _v
from velmora.flow import FlowControl
from velmora.server.asgi import (
    REASONS,
    SERVER_NAME,
    TASK_NAME,
    TEXT_PLAIN,
    ASGIProtocolError,
    ClientDisconnected,
    Message,
    PeerName,
    scope_amender,
    transport_addresses,
)
from velmora.server.logs import error_log
from velmora.server.runner import Runner
from velmora.server.state import Service
from velmora.server.stream import Refused, State, Stream, response_fields
from velmora.server.websocket import WebSocket, websocket_scope

H1ServerState = _v.H1ServerState
HeaderMap = _v.HeaderMap
H1Codec = _v.H1Codec
H1BodyDecoder = _v.H1BodyDecoder
H1ParseError = _v.H1ParseError
H1BodyError = _v.H1BodyError
H1Error = _v.H1Error
H2Codec = _v.H2Codec

READ_PARSE = _v.H1_READ_PARSE
READ_TRANSPORT = _v.H1_READ_TRANSPORT
READ_WATCHER = _v.H1_READ_WATCHER
READ_SHUTDOWN = _v.H1_READ_SHUTDOWN
READ_EOF = _v.H1_READ_EOF
NEXT_DRAIN = _v.H1_NEXT_DRAIN
NEXT_CLOSE = _v.H1_NEXT_CLOSE
NEXT_NONE = _v.H1_NEXT_NONE
NEXT_RAISE = _v.H1_NEXT_RAISE
REQ_OK = _v.H1_REQ_OK
REQ_CONTINUE = _v.H1_REQ_CONTINUE
REQ_PEER_CLOSED = _v.H1_REQ_PEER_CLOSED

CONTINUE = H1Codec.continue_response()
ws_check_request = _v.ws_check_request
WS_UPGRADE_FIELDS = [(b"upgrade", b"websocket"), (b"connection", b"Upgrade")]
WS_VERSION_FIELDS = [(b"sec-websocket-version", b"13")]

# The "done event" stored in the core's watcher slot. The protocol's own reads are the
# watcher, so there is no task to wait for: one shared token stands for it.
_WATCHER = object()


class Read(enum.Enum):
    """Where the connection's next bytes go."""

    IDLE = 0  # the next head's first bytes (the core's parked idle read)
    WATCH = 1  # the next head's first bytes, which the core's watcher read (still out) reads
    HEAD = 2  # the incomplete head
    BODY = 3  # the current request's body, or the watcher's read while it is out
    HOLD = 4  # held: the watcher read the next request's first bytes
    CLOSED = 5  # nowhere: the connection is closed or closing
    DETACHED = 6  # nowhere: refused at the accept, or the transport serves HTTP/2 now
    STALLED = 7  # held: the client does not read its responses; nothing more is read or parsed


_IDLE = Read.IDLE
_WATCH = Read.WATCH
_HEAD = Read.HEAD
_BODY = Read.BODY
_HOLD = Read.HOLD
_CLOSED = Read.CLOSED
_DETACHED = Read.DETACHED
_STALLED = Read.STALLED

_RESPONSE = State.RESPONSE

# Python 3.12+ runs a new task's first step at once ("eager"): an application that answers
# without waiting on anything completes inside the read callback, with no scheduling round
# and with ``asyncio.current_task()`` set as usual.
_EAGER = sys.version_info >= (3, 12)
_Task = asyncio.Task

_GONE = "the client closed the connection"
_COALESCE = 16384  # below this, a body and its end go out in one write
_REJECT_FIELDS = TEXT_PLAIN + [(b"connection", b"close")]


class ServerConnection(FlowControl, PeerName, asyncio.Protocol):
    """One HTTP/1 connection of the server: the transport callbacks around the core's
    ``H1ServerState``, the sink of its requests' streams, and its transport's flow control
    (``pause_writing``/``resume_writing`` are the flow control's, as the transport calls
    them)."""

    gone_reason = _GONE

    __slots__ = ("_svc", "_t", "_core", "_codec", "_mode", "_stream", "_dec", "_eof",
                 "_stash", "_defer", "_hd", "deadline", "_client", "_server", "_peer", "access",
                 "_after", "_after_obj", "_amend", "_stalled", "_refused", "_runner", "_kept",
                 "_ctx", "_scope", "_server_name")

    def __init__(self, service: Service) -> None:
        self._svc = service
        self._mode = _IDLE
        self._stream: Stream[H1BodyDecoder] | None = None
        self._dec: H1BodyDecoder | None = None
        self._eof = False
        self._stash: list[bytes] | None = None  # bytes read while the core holds the read
        self._defer = False  # a parse of buffered bytes is scheduled
        self._hd = False  # the deadline running is the head deadline
        self.deadline = 0.0
        self._client: tuple[str, int] | None = None
        self._peer: str | None = None  # made on first use (the logs)
        self._amend: Callable[[dict[str, Any]], None] | None = None  # scope_amender's
        self.access = service.access
        self._server_name = SERVER_NAME if service.server_header else None  # (the default)
        self._after: int | None = None  # the next-read verdict of a whole response, until it ends
        self._after_obj: Any = None  # (its object: the transport, or the error)
        self._stalled: tuple[int, Any] | None = None  # a next-read verdict held while stalled
        self._refused = False  # over the connection limit: the request gets a 503, then close
        self._runner: Runner | None = None  # the applications' task, once the connection is reused
        self._kept = False  # a response ended and the connection stayed open
        # what every request's context starts from (a copy of the one the connection was made
        # in: a pipelined request, parsed from inside the previous application's call, must
        # not see that application's context)
        self._ctx = contextvars.copy_context()

    def __repr__(self) -> str:
        return f"<ServerConnection {self.peer} {self._mode.name}>"

    # ---- transport callbacks ----------------------------------------------------------------

    def connection_made(self, transport: asyncio.Transport) -> None:  # type: ignore[override]
        svc = self._svc
        # at the limit, an idle keep-alive connection makes room; else this one is refused with
        # a 503 once its head is read (a reset would reach the client before any answer)
        self._refused = refused = (len(svc.connections) >= svc.max_connections
                                   and not svc.make_room())
        # (accepted as the server began to stop: its requests are still served, each
        # response saying the connection ends; a client may have sent one already)
        if svc.is_ssl and svc.h2_factory is not None:
            sslobj = transport.get_extra_info("ssl_object")
            if sslobj is not None and sslobj.selected_alpn_protocol() == "h2":
                self._mode = _DETACHED
                if refused:
                    transport.abort()
                else:
                    conn = svc.h2_factory(svc, transport, b"")
                    if svc.shutting_down:
                        conn.shutdown()
                return
        self._t = transport
        self._core = core = H1ServerState(H1Codec(**svc.codec_kwargs), transport,
                                          keep_alive=svc.keep_alive)
        self._codec = core.codec
        FlowControl.__init__(self, transport, svc.loop)
        svc.connections.add(self)
        self._client, self._server = transport_addresses(transport)
        # what the http scopes of the connection share (a copy is cheaper than a build)
        self._scope = {**svc.scope_base, "client": self._client, "server": self._server}
        self._amend = scope_amender(svc, transport, self._client)
        transport.set_write_buffer_limits(high=svc.write_high)
        if svc.head_span:  # a fresh connection owes a complete head from the accept on
            self._hd = True
            self.deadline = svc.now + svc.head_span
        self._verdict(*core.begin_read())

    def data_received(self, data: bytes) -> None:
        mode = self._mode
        if mode is _BODY:
            if self._core.watcher_parked:
                self._watched(data)
                return
            dec = self._dec
            dec.feed(data)  # type: ignore[union-attr]
            if dec.buffered >= self._svc.body_buffer:  # type: ignore[union-attr]
                self.pause_reading()
            stream = self._stream
            if stream is not None:
                stream.body_arrived()
        elif mode is _HEAD:
            self._defer = False
            self._parse(data)
        elif mode is _IDLE:
            if self._core.unpark_idle_read():
                return  # a shutdown closed the connection while the read was parked
            self._mode = _HEAD
            self._parse(data)
        elif mode is _WATCH:
            self._core.watcher_completed(data)
            self._from_watcher()
        elif mode is _HOLD or mode is _STALLED:
            if self._stash is None:
                self._stash = [data]
            else:
                self._stash.append(data)

    def eof_received(self) -> bool:
        self._eof = True
        mode = self._mode
        core = self._core
        if mode is _BODY:
            if core.watcher_parked:
                if core.watcher_completed(b""):
                    self._peer_gone()
            else:
                dec = self._dec
                if not dec.is_complete:  # type: ignore[union-attr]
                    dec.mark_eof()  # type: ignore[union-attr]
                    stream = self._stream
                    if stream is not None:
                        stream.body_arrived()
                else:
                    stream = self._stream
                    seq = stream.key if stream is not None else 0
                    # the end of the stream is what a watcher would have read
                    if core.arm_watcher(seq, _WATCHER) and core.watcher_completed(b""):
                        self._peer_gone()
        elif mode is _IDLE:
            core.unpark_idle_read()
            core.stop_serving()
            self._close()
        elif mode is _WATCH:
            core.watcher_completed(b"")
            self._from_watcher()
        elif mode is _HEAD and not self._defer:
            self._close(core.fail_read())  # the stream ended inside a head
        return True  # keep the write half: a response may still be on its way

    def connection_lost(self, exc: BaseException | None) -> None:
        mode = self._mode
        if mode is _DETACHED:
            return
        self._svc.connections.discard(self)
        self._mode = _CLOSED
        self.deadline = 0.0
        if self._runner is not None:
            self._runner.close()
        core = self._core
        if core.watcher_parked:
            core.watcher_completed(None, exc if exc is not None else ConnectionResetError())
        core.mark_closed()
        self._peer_gone()
        dec = self._dec
        if dec is not None and not dec.is_complete:
            dec.mark_eof()
        self.transport_lost()

    # ---- reading ----------------------------------------------------------------------------

    def _keep(self) -> None:
        """A response ended and the connection stays open: from its second such response on,
        its applications run one after another on one task (a connection used for one request
        keeps no task while it idles)."""
        if self._kept:
            self._runner = Runner(self._svc.loop, self._ctx.copy())
        else:
            self._kept = True

    def _verdict(self, code: int, obj: Any, defer: bool = False) -> None:
        """Act on a ``begin_read`` / ``drain_done`` verdict. With ``defer`` (called from inside
        an application's ``send``), buffered requests are parsed on the next loop pass, not
        nested in the previous request's call stack."""
        while True:
            if (code == READ_TRANSPORT or code == READ_PARSE) and self.write_paused:
                # the client does not read what it asked for: no further request is parsed
                # and the socket is not read until the transport drains (pipelining from a
                # client that never reads would otherwise grow the write buffer for good)
                self._stalled = (code, obj)
                self._mode = _STALLED
                self.pause_reading()
                return
            if code == READ_TRANSPORT:
                self._mode = _IDLE
                if self._eof:  # the client already ended its stream
                    core = self._core
                    core.unpark_idle_read()
                    core.stop_serving()
                    self._close()
                    return
                if not self._hd:  # (a fresh connection keeps its head deadline)
                    svc = self._svc
                    span = svc.keep_alive_span
                    self.deadline = svc.now + span if span else 0.0
                if defer and self._runner is None:
                    self._keep()
                if self.read_paused:  # (the check saves a call per request)
                    self.resume_reading()
                return
            if code == READ_PARSE:
                if defer and self._runner is None:
                    self._keep()
                self._mode = _HEAD
                if defer:
                    self._defer = True
                    self._svc.loop.call_soon(self._parse_buffered)
                else:
                    self._parse(b"")
                return
            if code == READ_WATCHER:
                if self._core.watcher_parked:  # the watcher's read is out: it reads the next head
                    self._mode = _WATCH
                    svc = self._svc
                    span = svc.keep_alive_span
                    self.deadline = svc.now + span if span else 0.0
                    self.resume_reading()
                else:
                    self._mode = _IDLE
                    self._from_watcher()
                return
            if code == NEXT_DRAIN:
                core = self._core
                dec = core.current_decoder()
                complete = False
                if dec is not None:
                    try:  # one poll: what is buffered; a body still incoming closes
                        while dec.decode() is not None:
                            pass
                        complete = dec.is_complete
                    except H1BodyError:
                        complete = False
                code, obj = core.drain_done(complete)
                continue
            if code == READ_SHUTDOWN:
                self._core.stop_serving()
                self._close()
                return
            if code == NEXT_RAISE:  # a response is still owed: nothing to read yet
                return
            # NEXT_CLOSE, NEXT_NONE, READ_EOF
            self._close(obj)
            return

    def _from_watcher(self) -> None:
        """The watcher's read became the connection's read: parse what it read."""
        core = self._core
        closed = core.unpark_idle_read()
        data, _err = core.take_watcher_result()
        stash = self._stash
        if stash is not None:
            self._stash = None
        if closed:
            self._close()
            return
        if stash:
            data = (data or b"") + b"".join(stash)
        if data:
            self._mode = _HEAD
            self.resume_reading()
            self._parse(data)
        else:
            core.stop_serving()
            self._close()

    def _watched(self, data: bytes) -> None:
        """The watcher's read returned ``data`` while a request is current."""
        if self._core.watcher_completed(data):
            self._peer_gone()
        elif data:
            # early bytes of the next request: the core keeps them; no more reads until it
            # hands the read back
            self._mode = _HOLD
            self.pause_reading()

    def _parse(self, data: bytes) -> None:
        core = self._core
        svc = self._svc
        try:  # (the request's scope is made in the same call)
            r = core.accept_request(data, self._scope, svc.lifespan_state, svc.root_path)
        except H1ParseError as exc:
            self._bad_head(exc)
            return
        if r is None:
            if self._eof:  # no more bytes will come to complete it
                self._close(core.fail_read())
                return
            # the head is incomplete: it must be complete before its deadline (a fresh
            # connection's deadline runs from the accept)
            if not self._hd and svc.head_span:
                self._hd = True
                self.deadline = svc.now + svc.head_span
            self.resume_reading()  # (pipelined bytes paused reading; the parser caps the head)
            return
        head, seq, dec, scope, target, upgrade = r
        if svc.shutting_down:  # (a head completed after the server began to stop)
            core.request_shutdown()  # its response says connection: close
        self._mode = _BODY
        self.deadline = 0.0
        self._hd = False
        self._dec = dec
        if dec.buffered >= svc.body_buffer:
            self.pause_reading()
        elif self.read_paused:
            self.resume_reading()
        method = scope["method"]
        version = scope["http_version"]
        self._stream = stream = Stream(self, self, seq, dec, method, target, version)
        limit = svc.limit_concurrency
        if self._refused or (limit is not None and (len(svc.connections) > limit
                                                    or len(svc.cycles) >= limit)):
            stream.reject(503)
            return
        if upgrade and self._websocket(head, stream, version):
            return
        svc.cycles.add(stream)
        stream.scope = scope
        if self._amend is not None:
            self._amend(scope)
        coro = stream.run(svc.app, scope)
        ctx = self._ctx.copy()
        runner = self._runner
        if runner is not None:
            stream.task = runner.task  # (until the application returns)
            if runner.start(coro, ctx):
                return
        if _EAGER:
            task = _Task(coro, loop=svc.loop, name=TASK_NAME, context=ctx,
                         eager_start=True)  # type: ignore[call-arg]
            stream.task = None if task.done() else task
        else:  # (a given name spares formatting a unique one for every request)
            stream.task = _Task(coro, loop=svc.loop, name=TASK_NAME, context=ctx)

    # ---- WebSockets --------------------------------------------------------------------------

    def _websocket(self, head: Any, stream: Stream[H1BodyDecoder], version: str) -> bool:
        """An upgrade request: when it asks for a WebSocket, start its session (or refuse its
        handshake) and say so; False serves it as plain HTTP."""
        svc = self._svc
        request = ws_check_request(head.method.encode("latin-1"), False, head.headers)
        if request is None:
            return False
        if not svc.ws:
            if not svc.ws_hinted:
                svc.ws_hinted = True
                error_log.warning("WebSocket upgrade request served as plain HTTP: WebSockets "
                                  "are turned off (--ws none)")
            return False
        if request.status:
            error_log.debug("%s: WebSocket handshake refused: %s", self.peer, request.message)
            stream.reject(request.status, WS_VERSION_FIELDS if request.status == 426 else None)
            return True
        stream.scope = scope = websocket_scope(svc, version, stream.target,
                                               head.headers.raw_items(), self._client,
                                               self._server, request.subprotocols,
                                               self._amend)
        ws = WebSocket(svc, stream, request, scope, self._ws_open, self.peer)
        svc.cycles.add(ws)
        ws.task = _Task(ws.run(svc.app), loop=svc.loop, name=TASK_NAME, context=self._ctx.copy())
        return True

    def _ws_open(self, ws: WebSocket, stream: Stream[H1BodyDecoder],
                 fields: list[tuple[bytes, bytes]]) -> tuple[asyncio.Transport, bytes] | None:
        """The application accepted the WebSocket of ``stream``: answer 101 and hand the
        transport over (the core's switch); None when the client went away first."""
        if stream.gone or self._mode is _CLOSED:
            return None
        core = self._core
        seq = stream.key
        hm = response_fields(WS_UPGRADE_FIELDS + fields, self._svc.server_header)
        code, head, _armed = core.respond_head(seq, 101, hm, None)
        if code == REQ_CONTINUE:
            code, head, _armed = core.respond_head(seq, 101, hm, None)
        if code != REQ_OK:
            return None
        switched, _close, transport, leftover = core.finish_response(seq)
        if self._stream is stream:
            self._stream = None
        self._mode = _DETACHED
        self.deadline = 0.0
        self._svc.connections.discard(self)
        if self._runner is not None:  # (the session has a task of its own)
            self._runner.close()
        if not switched or transport is None:
            if transport is not None:
                transport.close()
            return None
        transport.write(head)  # type: ignore[arg-type]
        transport.set_protocol(ws)
        return transport, leftover or b""

    def _parse_buffered(self) -> None:
        if self._defer:
            self._defer = False
            if self._mode is _HEAD:
                self._parse(b"")

    def _bad_head(self, exc: H1ParseError) -> None:
        kind = exc.args[0] if exc.args else ""
        svc = self._svc
        core = self._core
        codec = self._codec
        if core.current_seq == 0:
            if kind == _v.H1_KIND_VERSION_H2:
                if svc.h2_factory is not None:
                    self._hand_off_h2()
                    return
            elif kind == _v.H1_KIND_VERSION:
                # the HTTP/2 preface may still be arriving: wait for all 24 bytes
                buffered = codec.take_body()
                codec.feed(buffered)
                if H2Codec.match_preface(buffered) is None:
                    return
        status = codec.parse_error_status
        transport = core.fail_read()
        if transport is not None and status is not None:
            body = b"%d %s" % (status, REASONS.get(status, b""))
            head = codec.serialize_response(status, HeaderMap(TEXT_PLAIN), keep_alive=False,
                                            content_length=len(body))
            transport.write(codec.serialize_head_and_body(head, body))
        error_log.debug("%s: malformed request head: %s", self.peer, exc)
        self._close(transport)

    def _hand_off_h2(self) -> None:
        core = self._core
        leftover = self._codec.take_body()
        transport = core.fail_read()
        self._mode = _DETACHED
        self.deadline = 0.0
        svc = self._svc
        svc.connections.discard(self)
        if self._runner is not None:
            self._runner.close()
        if transport is None:
            return
        if self._refused:  # over the connection limit: no head to answer 503 to
            transport.close()
            return
        self.resume_reading()
        assert svc.h2_factory is not None
        svc.h2_factory(svc, transport, leftover)

    def _close(self, transport: asyncio.BaseTransport | None = None) -> None:
        self._mode = _CLOSED
        self.deadline = 0.0
        taken, _done, _was_closed = self._core.mark_closed()
        if transport is not None:
            transport.close()
        if taken is not None and taken is not transport:
            taken.close()

    def _peer_gone(self) -> None:
        stream = self._stream
        if stream is not None:
            stream.client_gone()
        # a send waiting for the client to read: it never will
        self.wake_writers()

    # ---- the sink of the streams ------------------------------------------------------------

    @property
    def closing(self) -> bool:
        """The connection serves no more (closed, or closing)."""
        return self._mode is _CLOSED

    async def read_body(self, stream: Stream[H1BodyDecoder]) -> Message | None:
        if stream.gone:
            return {"type": "http.disconnect"}
        core = self._core
        seq = stream.key
        dec = stream.body
        if not core.begin_body_read(seq):
            if dec.is_complete:
                return {"type": "http.request", "body": b"", "more_body": False}
            return {"type": "http.disconnect"}
        complete = False
        try:
            if core.try_send_continue(seq) and self._mode is not _CLOSED:
                self._t.write(CONTINUE)
            while True:
                try:
                    piece = dec.decode()
                except H1BodyError as exc:
                    core.mark_unusable()
                    error_log.debug("%s: request body: %s", self.peer, exc)
                    return None
                complete = dec.is_complete
                if piece is not None or complete:
                    if self.read_paused and dec.buffered < self._svc.body_buffer:
                        self.resume_reading()
                    return {"type": "http.request", "body": piece or b"",
                            "more_body": not complete}
                if stream.gone or self._mode is _CLOSED:
                    return {"type": "http.disconnect"}
                self.resume_reading()
                await stream.wait()
        finally:
            core.end_body_read(seq, complete)

    def watch(self, stream: Stream[H1BodyDecoder]) -> bool:
        core = self._core
        seq = stream.key
        if core.peer_closed_now(seq) is not None:
            return False
        if core.arm_watcher(seq, _WATCHER):
            self.resume_reading()
        return True

    def write(self, stream: Stream[H1BodyDecoder], body: bytes, more: bool) -> None:
        if stream.state is not _RESPONSE or more or stream.trailers:
            self._write_streamed(stream, body, more)
            return
        # the whole response in one write: head, body and end (``end`` goes on to the next
        # request)
        core = self._core
        seq = stream.key
        server = self._server_name
        code, data, after, obj = core.respond_whole(seq, stream.status, stream.headers, body,
                                                    server)
        if code == REQ_CONTINUE:  # the 100 Continue went out first: the claim stands
            code, data, after, obj = core.respond_whole(seq, stream.status, stream.headers,
                                                        body, server)
        if code != REQ_OK:
            self._refused_claim(code)
        self._t.write(data)  # type: ignore[arg-type]  # (bytes, as the claim held)
        if after == NEXT_RAISE:  # the body disagrees with its declared length
            raise Refused(str(obj))
        self._after = after
        self._after_obj = obj

    def _write_streamed(self, stream: Stream[H1BodyDecoder], body: bytes, more: bool) -> None:
        transport = self._t
        if stream.state is _RESPONSE:
            head = self._respond_head(stream)
            data = self._frame(body, head)
            transport.write(head + data if len(data) < _COALESCE else head)
            if len(data) >= _COALESCE:
                transport.write(data)
        else:
            data = self._frame(body, b"")
            if not (more or stream.trailers):
                try:
                    end = self._codec.serialize_end()
                except H1Error as exc:
                    transport.write(data)
                    raise Refused(str(exc)) from None
                if len(data) < _COALESCE:
                    transport.write(data + end)
                else:
                    transport.write(data)
                    transport.write(end)
                return
            if data:
                transport.write(data)
        if not self.write_paused and transport.is_closing():
            # the write failed (the transport reports its loss on the next loop pass): an
            # application that never yields must still learn of it
            raise ClientDisconnected(_GONE)

    def _frame(self, body: bytes, pending: bytes) -> bytes:
        """The body piece framed by the codec; when the codec refuses it (it disagrees with
        the declared length) what was framed before is written and the response fails, so
        the client sees an incomplete response."""
        try:
            return self._codec.serialize_data(body)
        except H1Error as exc:
            if pending:
                self._t.write(pending)
            raise Refused(str(exc)) from None

    def _respond_head(self, stream: Stream[H1BodyDecoder]) -> bytes:
        """Claim and encode the head of a streamed response. The codec frames the body by the
        application's Content-Length, or chunked; a body that does not match its declared
        length fails the connection."""
        core = self._core
        seq = stream.key
        hm = response_fields(stream.headers, self._svc.server_header)
        code, head, armed = core.respond_head(seq, stream.status, hm, _WATCHER, chunked=True,
                                              want=True)
        if code == REQ_CONTINUE:
            code, head, armed = core.respond_head(seq, stream.status, hm, _WATCHER,
                                                  chunked=True, want=True)
        if code != REQ_OK:
            self._refused_claim(code)
        if armed:
            self.resume_reading()
        return head  # type: ignore[return-value]

    @staticmethod
    def _refused_claim(code: int) -> NoReturn:
        if code == REQ_PEER_CLOSED:
            raise ClientDisconnected(_GONE)
        raise ASGIProtocolError("the response was already claimed")

    def write_trailers(self, stream: Stream[H1BodyDecoder], fields: HeaderMap) -> None:
        try:
            end = self._codec.serialize_trailers(fields)
        except H1Error as exc:
            raise Refused(str(exc)) from None
        self._t.write(end)

    def reject_fields(self, stream: Stream[H1BodyDecoder]) -> list[tuple[bytes, bytes]]:
        self._core.mark_unusable()  # the connection closes after the answer
        return _REJECT_FIELDS

    def end(self, stream: Stream[H1BodyDecoder]) -> None:
        """The response is on the wire: on to what the core decides next."""
        if self._stream is stream:
            self._stream = None
        after = self._after
        if after is not None:  # a whole response: its verdict came with it
            self._after = None
            self._verdict(after, self._after_obj, True)
            return
        core = self._core
        switch, close, transport, _leftover = core.finish_response(stream.key)
        if switch or close:
            # no tunnel is served over the http scope: a switch ends the connection as well
            self._verdict(NEXT_CLOSE, transport, True)
        else:
            self._verdict(*core.begin_read(), True)

    def fail(self, stream: Stream[H1BodyDecoder]) -> None:
        transport = self._core.fail_response(stream.key)
        if self._stream is stream:
            self._stream = None
        self._close(transport)

    def app_done(self, stream: Stream[H1BodyDecoder]) -> None:
        self._svc.cycles.discard(stream)

    # ---- lifecycle --------------------------------------------------------------------------

    @property
    def idle(self) -> bool:
        """Between requests of a kept-alive connection: closing it loses no request."""
        mode = self._mode
        return (mode is _IDLE or mode is _WATCH) and not self._hd and self.deadline > 0

    def deadline_expired(self) -> None:
        """The head or keep-alive deadline passed (slowloris, idle keep-alive)."""
        mode = self._mode
        self.deadline = 0.0
        core = self._core
        if mode is _IDLE or mode is _WATCH:
            core.unpark_idle_read()
            core.stop_serving()
            self._close()
        elif mode is _HEAD:
            error_log.debug("%s: request head not complete in time", self.peer)
            self._close(core.fail_read())

    def shutdown(self) -> None:
        """Graceful shutdown: finish the request in flight, serve no more."""
        core = self._core
        transport = core.request_shutdown()
        if transport is not None:
            self._close(transport)
        elif self._mode is _IDLE or self._mode is _WATCH:
            self._close(core.fail_read())
        # a head being received is served (within its deadline), with connection: close

    def abort(self) -> None:
        self._mode = _CLOSED
        self._core.mark_closed()
        self._t.abort()

    def resume_writing(self) -> None:
        FlowControl.resume_writing(self)
        held = self._stalled
        if held is not None and self._mode is _STALLED:
            self._stalled = None
            stash = self._stash
            self._stash = None
            self._verdict(*held, True)
            if stash:
                self.data_received(b"".join(stash))
