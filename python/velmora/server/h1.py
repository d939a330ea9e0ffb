"""The HTTP/1 server connection: an asyncio protocol over the core's ``H1ServerState``.

Every protocol decision (which bytes are a head, body framing, reuse or close, 100-continue,
pipelining, whether a client's end-of-stream means it is gone) is the core's verdict; this
module adds the asynchronous machinery: transport callbacks, the request task, waiters,
deadlines and flow control.

The transport delivers reads to the protocol whenever it is not paused, so the core's
"parked reads" map onto where the next bytes go:

* between requests (``_IDLE``) the parked idle read is the next head's first bytes;
* while a head is incomplete (``_HEAD``) bytes go to ``accept_head``;
* while a request is current (``_REQ``) bytes go to its body decoder, or, once the core has
  armed the watcher, to ``watcher_completed``: the watcher's read is the one outstanding read
  until the core hands it back through ``begin_read``.
"""

from __future__ import annotations

import asyncio
import logging
import sys
from typing import Any, NoReturn

from velmora import _velmora as _v
from velmora.server.asgi import (
    SERVER_NAME,
    TASK_NAME,
    TEXT_PLAIN,
    ASGIProtocolError,
    ClientDisconnected,
    RequestCycle,
    http_scope,
    log_access,
    transport_addresses,
)

H1ServerState = _v.H1ServerState
HeaderMap = _v.HeaderMap
H1Codec = _v.H1Codec
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

# The "done event" stored in the core's watcher slot. The protocol's own reads are the
# watcher, so there is no task to wait for: one shared token stands for it.
_WATCHER = object()

_IDLE, _HEAD, _REQ, _CLOSED, _HANDED_OFF = range(5)

# Python 3.12+ runs a new task's first step at once ("eager"): an application that answers
# without waiting on anything completes inside the read callback, with no scheduling round
# and with ``asyncio.current_task()`` set as usual.
_EAGER = sys.version_info >= (3, 12)
_Task = asyncio.Task

_log = logging.getLogger("velmora.error")

# Responses written without the application, keyed by status.
_REASONS = {400: b"Bad Request", 414: b"URI Too Long", 431: b"Request Header Fields Too Large",
            500: b"Internal Server Error", 503: b"Service Unavailable"}
_COALESCE = 16384  # below this, a body and its end go out in one write


class _Accept(asyncio.Protocol):
    """Accept shim: creates the protocol for an accepted transport and steps aside.

    The state class needs the transport at construction, which only ``connection_made``
    provides; the shim builds the real protocol there and hands the transport to it.
    """

    __slots__ = ("_service",)

    def __init__(self, service: Any) -> None:
        self._service = service

    def connection_made(self, transport: Any) -> None:  # type: ignore[override]
        service = self._service
        if len(service.connections) >= service.max_connections or service.shutting_down:
            transport.abort()
            return
        if service.is_ssl and service.h2_factory is not None:
            sslobj = transport.get_extra_info("ssl_object")
            if sslobj is not None and sslobj.selected_alpn_protocol() == "h2":
                service.h2_factory(service, transport, b"")
                return
        proto = ServerConnection(service, transport)
        transport.set_protocol(proto)
        proto.connection_made(transport)

    def connection_lost(self, exc: BaseException | None) -> None:
        pass


class ServerConnection(H1ServerState, asyncio.Protocol):
    """One HTTP/1 connection of the server: the core's state plus the transport callbacks."""

    __slots__ = ("_svc", "_t", "_mode", "_cycle", "_dec", "_paused", "_wpaused", "_drain",
                 "_watching", "_eof", "_stash", "_deadline", "_client", "_server", "_peer",
                 "_hd", "_codec", "_defer")

    def __new__(cls, service: Any, transport: Any) -> ServerConnection:
        return H1ServerState.__new__(cls, H1Codec(**service.codec_kwargs), transport,
                                     keep_alive=service.keep_alive)

    def __init__(self, service: Any, transport: Any) -> None:
        self._svc = service
        self._t = transport
        self._codec = self.codec
        self._defer = False  # a parse of buffered bytes is scheduled
        self._mode = _IDLE
        self._cycle: Cycle | None = None
        self._dec: Any = None
        self._paused = False
        self._wpaused = False
        self._drain: asyncio.Future[None] | None = None
        self._watching = False
        self._eof = False
        self._stash: list[bytes] | None = None
        self._deadline = 0.0
        self._client: tuple[str, int] | None = None
        self._server: tuple[str, int] | None = None
        self._peer = ""
        self._hd = False  # the deadline running is the head deadline

    def __repr__(self) -> str:
        return f"<ServerConnection {self._peer} {H1ServerState.__repr__(self)}>"

    # ---- transport callbacks ----------------------------------------------------------------

    def connection_made(self, transport: Any) -> None:  # type: ignore[override]
        svc = self._svc
        svc.connections.add(self)
        self._client, self._server, self._peer = transport_addresses(transport)
        transport.set_write_buffer_limits(high=svc.write_high)
        if svc.head_span:  # a fresh connection owes a complete head from the accept on
            self._hd = True
            self._deadline = svc.now + svc.head_span
        self._verdict(*self.begin_read())

    def data_received(self, data: bytes) -> None:
        mode = self._mode
        if mode == _REQ:
            if self._stash is not None:  # the watcher's read is complete: hold the rest
                self._stash.append(data)
            elif self._watching:
                self._watched(data)
            else:
                dec = self._dec
                dec.feed(data)
                if dec.buffered >= self._svc.body_buffer:
                    self._pause()
                cycle = self._cycle
                if cycle is not None and cycle.waiter is not None:
                    cycle.wake()
        elif mode == _HEAD:
            self._defer = False
            self._parse(data)
        elif mode == _IDLE:
            if self._watching:
                self._watching = False
                self.watcher_completed(data)
                self._from_watcher()
                return
            if self.unpark_idle_read():
                return  # a shutdown closed the connection while the read was parked
            self._mode = _HEAD
            self._parse(data)

    def eof_received(self) -> bool:
        self._eof = True
        mode = self._mode
        if mode == _REQ:
            if self._watching:
                self._watching = False
                if self.watcher_completed(b""):
                    self._peer_gone()
            elif self._stash is None:
                dec = self._dec
                if not dec.is_complete:
                    dec.mark_eof()
                    cycle = self._cycle
                    if cycle is not None and cycle.waiter is not None:
                        cycle.wake()
                else:
                    cycle = self._cycle
                    seq = cycle.seq if cycle is not None else 0
                    # the end of the stream is what a watcher would have read
                    if self.arm_watcher(seq, _WATCHER) and self.watcher_completed(b""):
                        self._peer_gone()
        elif mode == _IDLE:
            if self._watching:
                self._watching = False
                self.watcher_completed(b"")
                self._from_watcher()
            else:
                self.unpark_idle_read()
                self.stop_serving()
                self._close()
        elif mode == _HEAD and not self._defer:
            self._close(self.fail_read())  # the stream ended inside a head
        return True  # keep the write half: a response may still be on its way

    def connection_lost(self, exc: BaseException | None) -> None:
        self._svc.connections.discard(self)
        self._mode = _CLOSED
        self._deadline = 0.0
        if self._watching:
            self._watching = False
            self.watcher_completed(None, exc if exc is not None else ConnectionResetError())
        self.mark_closed()
        self._peer_gone()
        dec = self._dec
        if dec is not None and not dec.is_complete:
            dec.mark_eof()
        drain = self._drain
        if drain is not None:
            self._drain = None
            if not drain.done():
                drain.set_result(None)

    def pause_writing(self) -> None:
        self._wpaused = True

    def resume_writing(self) -> None:
        self._wpaused = False
        drain = self._drain
        if drain is not None:
            self._drain = None
            if not drain.done():
                drain.set_result(None)

    # ---- reading ----------------------------------------------------------------------------

    def _pause(self) -> None:
        if not self._paused:
            self._paused = True
            self._t.pause_reading()

    def _resume(self) -> None:
        if self._paused:
            self._paused = False
            self._t.resume_reading()

    def _verdict(self, code: int, obj: Any, defer: bool = False) -> None:
        """Act on a ``begin_read`` / ``drain_done`` verdict. With ``defer`` (called from inside
        an application's ``send``), buffered requests are parsed on the next loop pass, not
        nested in the previous request's call stack."""
        while True:
            if code == READ_TRANSPORT:
                self._mode = _IDLE
                if self._eof:  # the client already ended its stream
                    self.unpark_idle_read()
                    self.stop_serving()
                    self._close()
                    return
                if not self._hd:  # (a fresh connection keeps its head deadline)
                    svc = self._svc
                    span = svc.keep_alive_span
                    self._deadline = svc.now + span if span else 0.0
                if self._paused:
                    self._resume()
                return
            if code == READ_PARSE:
                self._mode = _HEAD
                if defer:
                    self._defer = True
                    self._svc.loop.call_soon(self._parse_buffered)
                else:
                    self._parse(b"")
                return
            if code == READ_WATCHER:
                self._mode = _IDLE
                if self._watching:  # the watcher's read is still out: it reads the next head
                    svc = self._svc
                    span = svc.keep_alive_span
                    self._deadline = svc.now + span if span else 0.0
                    self._resume()
                else:
                    self._from_watcher()
                return
            if code == NEXT_DRAIN:
                dec = self.current_decoder()
                complete = False
                if dec is not None:
                    try:  # one poll: what is buffered; a body still incoming closes
                        while dec.decode() is not None:
                            pass
                        complete = dec.is_complete
                    except H1BodyError:
                        complete = False
                code, obj = self.drain_done(complete)
                continue
            if code == READ_SHUTDOWN:
                self.stop_serving()
                self._close()
                return
            if code == NEXT_RAISE:  # a response is still owed: nothing to read yet
                return
            # NEXT_CLOSE, NEXT_NONE, READ_EOF
            self._close(obj)
            return

    def _from_watcher(self) -> None:
        """The watcher's read became the connection's read: parse what it read."""
        closed = self.unpark_idle_read()
        data, _err = self.take_watcher_result()
        stash = self._stash
        self._stash = None
        if closed:
            self._close()
            return
        if stash:
            data = (data or b"") + b"".join(stash)
        if data:
            self._mode = _HEAD
            self._resume()
            self._parse(data)
        else:
            self.stop_serving()
            self._close()

    def _watched(self, data: bytes) -> None:
        """The watcher's read returned ``data`` while a request is current."""
        self._watching = False
        if self.watcher_completed(data):
            self._peer_gone()
        elif data:
            # early bytes of the next request: the core keeps them; no more reads until it
            # hands the read back
            self._stash = []
            self._pause()

    def _parse(self, data: bytes) -> None:
        try:
            r = self.accept_head(data)
        except H1ParseError as exc:
            self._bad_head(exc)
            return
        svc = self._svc
        if r is None:
            if self._eof:  # no more bytes will come to complete it
                self._close(self.fail_read())
                return
            # the head is incomplete: it must be complete before its deadline (a fresh
            # connection's deadline runs from the accept)
            if not self._hd and svc.head_span:
                self._hd = True
                self._deadline = svc.now + svc.head_span
            if self._paused:  # (pipelined bytes paused reading; the parser caps the head)
                self._resume()
            return
        head, seq, dec = r
        self._mode = _REQ
        self._deadline = 0.0
        self._hd = False
        self._dec = dec
        past = dec.buffered
        if past >= svc.body_buffer:
            self._pause()
        elif self._paused:
            self._resume()
        self._cycle = cycle = Cycle(self, head)
        cycle.seq = seq
        cycle.dec = dec
        cycle.body_open = True
        limit = svc.limit_concurrency
        if limit is not None and (len(svc.connections) > limit or len(svc.cycles) >= limit):
            cycle.reject(503)
            return
        svc.cycles.add(cycle)
        cycle.scope = scope = http_scope(svc, "1.0" if head.http10 else "1.1", head.method,
                                         head.target, head.headers.raw_items(), self._client,
                                         self._server)
        if _EAGER:
            task = _Task(cycle.run(svc.app, scope), loop=svc.loop, name=TASK_NAME,
                         eager_start=True)  # type: ignore[call-arg]
            if not task.done():
                cycle.task = task
        else:  # (a given name spares formatting a unique one for every request)
            cycle.task = _Task(cycle.run(svc.app, scope), loop=svc.loop, name=TASK_NAME)

    def _parse_buffered(self) -> None:
        if self._defer:
            self._defer = False
            if self._mode == _HEAD:
                self._parse(b"")

    def _bad_head(self, exc: H1ParseError) -> None:
        kind = exc.args[0] if exc.args else ""
        svc = self._svc
        if self.current_seq == 0:
            if kind == "version_h2":
                if svc.h2_factory is not None:
                    self._hand_off_h2()
                    return
            elif kind == "version":
                # the HTTP/2 preface may still be arriving: wait for all 24 bytes
                codec = self.codec
                buffered = codec.take_body()
                codec.feed(buffered)
                if H2Codec.match_preface(buffered) is None:
                    return
        status = self.codec.parse_error_status
        transport = self.fail_read()
        if transport is not None and status is not None:
            body = b"%d %s" % (status, _REASONS.get(status, b""))
            codec = self.codec
            head = codec.serialize_response(status, HeaderMap(TEXT_PLAIN), keep_alive=False,
                                            content_length=len(body))
            transport.write(codec.serialize_head_and_body(head, body))
        _log.debug("%s: malformed request head: %s", self._peer, exc)
        self._close(transport)

    def _hand_off_h2(self) -> None:
        leftover = self.codec.take_body()
        transport = self.fail_read()
        self._mode = _HANDED_OFF
        self._deadline = 0.0
        svc = self._svc
        svc.connections.discard(self)
        if transport is None:
            return
        self._resume()
        svc.h2_factory(svc, transport, leftover)

    def _close(self, transport: Any = None) -> None:
        self._mode = _CLOSED
        self._deadline = 0.0
        taken, _done, _was_closed = self.mark_closed()
        if transport is not None:
            transport.close()
        if taken is not None and taken is not transport:
            taken.close()

    def _peer_gone(self) -> None:
        cycle = self._cycle
        if cycle is not None:
            cycle.peer_gone()
        drain = self._drain
        if drain is not None:  # a send waiting for the client to read: it never will
            self._drain = None
            if not drain.done():
                drain.set_result(None)

    # ---- called by the request cycle --------------------------------------------------------

    @property
    def closing(self) -> bool:
        """The connection serves no more (closed, or closing)."""
        return self._mode == _CLOSED

    def cycle_done(self, cycle: Cycle) -> None:
        """The application of ``cycle`` returned or failed."""
        self._svc.cycles.discard(cycle)

    def response_failed(self, cycle: Cycle) -> None:
        transport = self.fail_response(cycle.seq)
        if self._cycle is cycle:
            self._cycle = None
        self._close(transport)

    async def drain(self, cycle: Cycle) -> None:
        while self._wpaused and self._mode != _CLOSED and not cycle.gone:
            drain = self._drain
            if drain is None:
                self._drain = drain = self._svc.loop.create_future()
            await drain

    # ---- lifecycle --------------------------------------------------------------------------

    def deadline_expired(self) -> None:
        """The head or keep-alive deadline passed (slowloris, idle keep-alive)."""
        mode = self._mode
        self._deadline = 0.0
        if mode == _IDLE:
            if self._watching:
                self._watching = False
            self.unpark_idle_read()
            self.stop_serving()
            self._close()
        elif mode == _HEAD:
            _log.debug("%s: request head not complete in time", self._peer)
            self._close(self.fail_read())

    def shutdown(self) -> None:
        """Graceful shutdown: finish the request in flight, serve no more."""
        transport = self.request_shutdown()
        if transport is not None:
            self._close(transport)
        elif self._mode in (_IDLE, _HEAD):
            self._close(self.fail_read())

    def abort(self) -> None:
        self._mode = _CLOSED
        self.mark_closed()
        self._t.abort()


class Cycle(RequestCycle):
    """One request and its response: the ASGI ``receive`` and ``send`` of one ``http`` scope."""

    # (set by the connection right after construction: a constructor of its own would cost
    # every request a call)
    __slots__ = ("seq", "dec", "body_open")
    seq: int
    dec: Any
    body_open: bool

    # ---- receive ----------------------------------------------------------------------------

    def peer_gone(self) -> None:
        self.gone = True
        self.wake()

    async def receive(self) -> dict[str, Any]:
        if self.body_open and not self.gone:
            conn = self.conn
            seq = self.seq
            dec = self.dec
            if not conn.begin_body_read(seq):
                if dec.is_complete:
                    self.body_open = False
                    return {"type": "http.request", "body": b"", "more_body": False}
                return {"type": "http.disconnect"}
            complete = False
            try:
                if conn.try_send_continue(seq) and conn._mode != _CLOSED:
                    conn._t.write(CONTINUE)
                while True:
                    try:
                        piece = dec.decode()
                    except H1BodyError as exc:
                        conn.mark_unusable()
                        _log.debug("%s: request body: %s", conn._peer, exc)
                        self.bad_body = True
                        self.body_open = False
                        return {"type": "http.disconnect"}
                    complete = dec.is_complete
                    if piece is not None or complete:
                        if conn._paused and dec.buffered < conn._svc.body_buffer:
                            conn._resume()
                        if complete:
                            self.body_open = False
                        return {"type": "http.request", "body": piece or b"",
                                "more_body": not complete}
                    if self.gone or conn._mode == _CLOSED:
                        return {"type": "http.disconnect"}
                    conn._resume()
                    await self._wait()
            finally:
                conn.end_body_read(seq, complete)
        # the body was delivered: wait for the client to go away or the response to end
        if not self.gone and not self.finished:
            conn = self.conn
            state = conn.peer_closed_now(self.seq)
            if state is None:
                if conn.arm_watcher(self.seq, _WATCHER):
                    conn._watching = True
                    conn._resume()
                while not self.gone and not self.finished:
                    await self._wait()
        return {"type": "http.disconnect"}

    # ---- send -------------------------------------------------------------------------------

    async def send(self, message: Any) -> None:
        kind = message["type"]
        if kind == "http.response.body":
            if not self.started or self.body_done or self.finished:
                if self.gone:
                    raise ClientDisconnected("the client closed the connection")
                raise ASGIProtocolError(f"unexpected ASGI message {kind!r}")
            body = message.get("body", b"")
            if type(body) is not bytes:
                body = bytes(body)
            more = message.get("more_body", False)
            if self.gone:
                raise ClientDisconnected("the client closed the connection")
            self.sent += len(body)
            if not (more or self.head_sent or self.trailers):
                self._send_whole(body)
                return
            conn = self.conn
            codec = conn._codec
            transport = conn._t
            if not self.head_sent:
                head = self._respond_head(True)
                if head is None:
                    raise ClientDisconnected("the client closed the connection")
                try:
                    data = codec.serialize_data(body)
                except H1Error as exc:  # longer than its Content-Length
                    self._body_refused(exc, head)
                transport.write(head + data if len(data) < _COALESCE else head)
                if len(data) >= _COALESCE:
                    transport.write(data)
            else:
                try:
                    data = codec.serialize_data(body)
                except H1Error as exc:
                    self._body_refused(exc, b"")
                if not more and not self.trailers:
                    try:
                        end = codec.serialize_end()
                    except H1Error as exc:
                        transport.write(data)
                        self.body_done = True
                        self._fail()
                        raise ASGIProtocolError(str(exc)) from None
                    if len(data) < _COALESCE:
                        transport.write(data + end)
                    else:
                        transport.write(data)
                        transport.write(end)
                    self.body_done = True
                    self._complete()
                    return
                if data:
                    transport.write(data)
            if not more:
                self.body_done = True  # trailers follow
            if conn._wpaused:
                await conn.drain(self)
                if self.gone:
                    raise ClientDisconnected("the client closed the connection")
            elif transport.is_closing():
                # the write failed (the transport reports its loss on the next loop pass):
                # an application that never yields must still learn of it
                self.gone = True
                raise ClientDisconnected("the client closed the connection")
        elif kind == "http.response.start":
            self.response_start(message)
        elif kind == "http.response.trailers":
            if self.add_trailers(message):
                if self.gone:
                    raise ClientDisconnected("the client closed the connection")
                conn = self.conn
                try:
                    end = conn._codec.serialize_trailers(HeaderMap(self.trailer_list))
                except H1Error as exc:
                    self._fail()
                    raise ASGIProtocolError(str(exc)) from None
                conn._t.write(end)
                self._complete()
        else:
            raise ASGIProtocolError(f"unexpected ASGI message {kind!r}")

    def _body_refused(self, exc: BaseException, pending: bytes) -> NoReturn:
        """The codec refused the body (it disagrees with the declared length): what was framed
        is written and the connection closes, so the client sees an incomplete response."""
        if pending:
            self.conn._t.write(pending)
        self.body_done = True
        self._fail()
        raise ASGIProtocolError(str(exc)) from None

    def _send_whole(self, body: bytes) -> None:
        """The whole response in one write: head, body and end, and on to the next request."""
        conn = self.conn
        seq = self.seq
        server = SERVER_NAME if conn._svc.server_header else None
        code, data, after, obj = conn.respond_whole(seq, self.status, self.headers, body, server)
        if code == REQ_CONTINUE:  # the 100 Continue went out first: the claim stands
            code, data, after, obj = conn.respond_whole(seq, self.status, self.headers, body,
                                                        server)
        if code != REQ_OK:
            if code == REQ_PEER_CLOSED:
                self.gone = True
                raise ClientDisconnected("the client closed the connection")
            raise ASGIProtocolError("the response was already claimed")
        self.head_sent = self.body_done = True
        conn._t.write(data)
        if after == NEXT_RAISE:  # the body disagrees with its declared length
            self._fail()
            raise ASGIProtocolError(str(obj)) from None
        self._finished(after, obj)

    def _respond_head(self, stream: bool) -> bytes | None:
        """Claim and encode the head of a streamed response; ``None`` when the client is
        gone. The codec frames the body by the application's Content-Length, or chunked; a
        body that does not match its declared length fails the connection."""
        conn = self.conn
        hm = self.response_fields()
        code, head, armed = conn.respond_head(self.seq, self.status, hm, _WATCHER,
                                              chunked=True, want=stream)
        if code == REQ_CONTINUE:
            code, head, armed = conn.respond_head(self.seq, self.status, hm, _WATCHER,
                                                  chunked=True, want=stream)
        if code != REQ_OK:
            if code == REQ_PEER_CLOSED:
                self.gone = True
                return None
            raise ASGIProtocolError("the response was already claimed")
        if armed:
            conn._watching = True
            conn._resume()
        self.head_sent = True
        return head

    def _complete(self) -> None:
        """A streamed response is on the wire: on to what the core decides next."""
        switch, close, transport, _leftover = self.conn.finish_response(self.seq)
        if switch or close:
            # no tunnel is served over the http scope: a switch ends the connection as well
            self._finished(NEXT_CLOSE, transport)
        else:
            self._finished(*self.conn.begin_read())

    def _finished(self, code: int, obj: Any) -> None:
        """The response is complete; ``(code, obj)`` is the core's next-read verdict."""
        self.finished = True
        conn = self.conn
        if conn._svc.access:
            self._log_access()
        if self.waiter is not None:
            self.wake()
        if conn._cycle is self:
            conn._cycle = None
        conn._verdict(code, obj, True)

    def _fail(self) -> None:
        self.finished = True
        self.wake()
        self.conn.response_failed(self)

    def _log_access(self) -> None:
        head = self.head
        scope = self.scope
        path = scope["path"] if scope is not None else head.target
        query = scope["query_string"] if scope is not None else b""
        log_access(self.conn._peer, head.method, path, query, "1.0" if head.http10 else "1.1",
                   self.status, self.sent, self.t0)

    # ---- failures ---------------------------------------------------------------------------

    def reject(self, status: int) -> None:
        """Answer without running the application (over the concurrency limit, or a
        malformed request body); the connection closes after it."""
        self.started = True
        self.trailers = False
        self.status = status
        self.headers = TEXT_PLAIN + [(b"connection", b"close")]
        body = b"%d %s" % (status, _REASONS[status])
        self.conn.mark_unusable()
        self.sent = len(body)
        try:
            self._send_whole(body)
        except (ASGIProtocolError, ClientDisconnected, H1Error):
            if not self.finished:
                self._fail()

    def _internal_error(self) -> None:
        if self.head_sent:
            self._fail()  # the client sees a truncated body and a closed connection
            return
        self.reject(500)


