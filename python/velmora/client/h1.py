"""The HTTP/1.1 client connection: an ``asyncio.Protocol`` on the core's ``H1ClientState``.

The core decides everything about the protocol: ``H1Codec`` writes request heads and frames
bodies, parses response heads and says how the body is delimited and whether the response keeps
the connection alive; ``H1BodyDecoder`` decodes the body; ``H1ClientState`` decides who holds the
connection, whether a finished exchange leaves it reusable, what a read that completes while the
connection is idle means (the server closed it, or sent bytes nobody asked for), who tears down
the request writer, and keeps the first error.

This module adds the transport callbacks, one future to wake the reader (re-armed for every wait,
with one lazily re-armed timer per connection for read timeouts), the ``100 Continue`` gate (a
``Signal``) and the transport's ``FlowControl``. The connection is its own
:class:`~velmora.client.exchange.Exchange`: one exchange at a time.
"""

from __future__ import annotations

import asyncio
import logging
from collections.abc import AsyncIterable, Hashable, Iterable
from typing import Any

from velmora._velmora import (
    H1_IO_UNEXPECTED_EOF,
    H1_WATCH_HANDOFF,
    H1_WATCH_IDLE_BYTES,
    H1_WATCH_IDLE_EOF,
    H1_WATCH_IDLE_ERROR,
    H1BodyDecoder,
    H1BodyError,
    H1ClientState,
    H1Codec,
    H1IncompleteMessageError,
    H1UnexpectedMessageError,
    H1UserError,
    HeaderMap,
    VelmoraError,
)
from velmora.flow import FlowControl, Signal

from .errors import (
    LocalProtocolError,
    ReadError,
    ReadTimeout,
    RemoteProtocolError,
    TransportError,
    WriteError,
    WriteTimeout,
)
from .exchange import Disconnected, PoolCallbacks, content_bytes

log = logging.getLogger("velmora.client")

# Exchange phases.
_IDLE = 0  # no exchange reads the connection
_HEAD = 1  # waiting for the response head
_BODY = 2  # reading the response body
_DONE = 3  # the exchange is over; the connection is released or closed
_TUNNEL = 4  # a 2xx to CONNECT: the bytes that follow belong to the tunnel

#: Received body bytes buffered before reading from the socket pauses.
READ_HIGH_WATER = 256 * 1024
#: A head and a body up to this size go out in one write.
COALESCE_LIMIT = 64 * 1024
#: How long to wait for ``100 Continue`` before sending the body anyway (RFC 9110, 10.1.1).
EXPECT_CONTINUE_WAIT = 1.0

_VERDICTS = {H1_WATCH_IDLE_EOF: "closed by the server",
             H1_WATCH_IDLE_BYTES: "unsolicited bytes from the server",
             H1_WATCH_IDLE_ERROR: "failed"}
_EMPTY = b""
#: The watcher's "done" marker: the idle watcher here is the protocol callback itself, not a task.
_NO_TASK = object()
_NO_BODY_METHODS = frozenset(("GET", "HEAD", "OPTIONS", "DELETE", "TRACE", "CONNECT"))


def request_head(codec: H1Codec, method: str, target: str, headers: HeaderMap, content: Any,
                 http10: bool) -> bytes:
    """The request head that opens a request with ``content`` (``None``, bytes or a stream):
    ``content-length: 0`` for a missing body on a method that usually has one, the bytes'
    length (which a declared ``content-length`` must match), chunked framing for a stream
    unless a length is declared (a stream to an HTTP/1.0 server needs one)."""
    if content is None:
        if method in _NO_BODY_METHODS:
            return codec.serialize_request(method, target, headers, http10=http10)
        return codec.serialize_request(method, target, headers, http10=http10, content_length=0)
    if type(content) is bytes:
        declared = headers.get("content-length")
        if declared is not None and declared != str(len(content)).encode():
            # The encoder would cut a longer body short without a word.
            raise LocalProtocolError(
                f"content-length {declared.decode('latin-1')!r} does not match the "
                f"{len(content)}-byte body")
        return codec.serialize_request(method, target, headers, http10=http10,
                                       content_length=len(content))
    if http10 and "content-length" not in headers:
        raise LocalProtocolError(
            "this server speaks HTTP/1.0, which cannot carry a request body of "
            "unknown length: give a content-length header or bytes")
    if method in _NO_BODY_METHODS and "content-length" not in headers \
            and "transfer-encoding" not in headers:
        # A body of unknown length on a method that usually has none: frame it explicitly,
        # or the serializer would send it as no body at all.
        headers = HeaderMap(headers)
        headers["transfer-encoding"] = "chunked"
    return codec.serialize_request(method, target, headers, http10=http10, chunked=True)


def protocol_error(exc: VelmoraError) -> RemoteProtocolError:
    """The client error for a malformed or cut response (the core's error as its cause)."""
    if isinstance(exc, H1BodyError):
        if exc.args and exc.args[0] == H1_IO_UNEXPECTED_EOF:
            err = RemoteProtocolError(
                "the server closed the connection before the response body was complete")
        else:
            err = RemoteProtocolError(f"malformed response body: {exc.args[-1]}")
    elif isinstance(exc, H1IncompleteMessageError):
        err = RemoteProtocolError("the server closed the connection before the response "
                                  "was complete")
    else:
        msg = exc.args[-1] if exc.args else str(exc)
        err = RemoteProtocolError(f"malformed response head: {msg}")
    err.__cause__ = exc
    return err


def _copy_error(exc: BaseException) -> BaseException:
    """A traceback-free copy of ``exc`` to store in the connection state."""
    try:
        c = type(exc)(*exc.args)
    except Exception:  # pragma: no cover - exotic constructors
        c = RemoteProtocolError(str(exc))
    return c


class H1Exchange(H1ClientState):
    """What the async and the blocking HTTP/1.1 connection do when a response body ends."""

    __slots__ = ()

    _codec: H1Codec
    _dec: H1BodyDecoder | None
    head: Any
    trailers: HeaderMap | None
    served: int

    def _end_body(self) -> tuple[bool, Any]:
        """Takes the trailers and asks the core whether the connection is reused; otherwise it
        names the transport to close."""
        dec = self._dec
        self.trailers = None
        # Bytes past the end of the body: the server is out of step with us.
        leftover = self._codec.buffered() > 0
        if dec is not None:
            self._dec = None
            self.trailers = dec.take_trailers()
            leftover = leftover or dec.buffered > 0
        self.head = None
        self.served += 1
        reuse, transport = self.complete_exchange(leftover)
        if reuse:
            self._codec.reset()
        return reuse, transport


class Connection(H1Exchange, asyncio.Protocol):
    """One HTTP/1.1 client connection.

    Serves one exchange at a time. The pool claims it (``try_begin_exchange``), :meth:`send`
    writes the request and returns the exchange (the connection itself) once the response head is
    in; the body is then taken whole (:meth:`take_complete_body`) or read through
    :meth:`read_chunk`. When the exchange completes, the connection goes back to its pool or
    closes, as the core decided; it reports to the pool through ``callbacks``.
    """

    __slots__ = (
        "_loop", "_transport", "_codec", "_callbacks", "_released", "key", "_phase", "_waiter",
        "_exc", "_dec", "_fed", "_watching", "_flow", "_deadline", "_timer", "_expect", "served",
        "idle_since", "_read_to", "proxy_auth", "forward_proxy", "_complete_body", "head",
        "trailers",
    )

    #: One exchange at a time: the pool keeps it in its idle list between exchanges.
    multiplexed = False

    def __new__(cls, transport: Any, *args: Any, **kwargs: Any) -> Connection:
        return H1ClientState.__new__(cls, transport)

    def __init__(self, transport: asyncio.Transport, callbacks: PoolCallbacks | None = None,
                 key: Hashable = None, *, proxy_auth: str | None = None,
                 forward_proxy: bool = False) -> None:
        self._loop = asyncio.get_running_loop()
        self._transport = transport
        self._codec = H1Codec()
        self._callbacks = callbacks
        self._released = callbacks.released if callbacks is not None else None
        self.key = key
        self._phase = _IDLE
        self._waiter: asyncio.Future[Any] | None = None
        self._exc: BaseException | None = None
        self._dec: H1BodyDecoder | None = None
        self._fed = 0
        self._watching = False
        self._flow = FlowControl(transport, self._loop)
        self._deadline = 0.0
        self._read_to: float | None = None
        self._timer: asyncio.TimerHandle | None = None
        self._expect: Signal[None] | None = None
        self.served = 0
        self.idle_since = 0.0
        self.proxy_auth = proxy_auth
        self.forward_proxy = forward_proxy
        self._complete_body: bytes | None = None
        #: The response head of the exchange in progress (until its body is complete).
        self.head: Any = None
        self.trailers: HeaderMap | None = None
        transport.set_protocol(self)

    # ---- what the pool asks ----------------------------------------------------------------

    @property
    def http_version(self) -> str:
        return "HTTP/1.0" if self.peer_http10 else "HTTP/1.1"

    @property
    def loop(self) -> asyncio.AbstractEventLoop:
        return self._loop

    def is_available(self) -> bool:
        """Idle, alive and not closing: may take the next request."""
        return not self.busy and not self.is_dead()

    def idle(self) -> None:
        """Called by the pool when the connection enters its idle period: park the watcher so
        that a close or stray bytes from the server are noticed while nobody uses it."""
        if not self._watching:
            self._watching = self.arm_watcher(_NO_TASK)

    def close(self) -> None:
        """Close now, abandoning any exchange in flight."""
        transport, _done, writer, idle = self.mark_closed()
        if writer is not None:
            writer.cancel()
        self._cancel_timer()
        if not idle:
            self._wake_error(ReadError("the connection was closed by the client"))
        if transport is not None:
            transport.close()

    # ---- asyncio.Protocol ----------------------------------------------------------------------

    def data_received(self, data: bytes) -> None:
        if self._watching:
            self._watching = False
            verdict, transport = self.watcher_completed(data)
            if verdict == H1_WATCH_HANDOFF:
                data = self.take_watcher_result()[0] or _EMPTY
            else:
                self._idle_verdict(verdict, transport)
                return
        phase = self._phase
        if phase == _BODY:
            dec = self._dec
            if dec is None:  # the whole body came with the head: anything more is unsolicited
                self._unsolicited()
                return
            dec.feed(data)
            if dec.buffered >= READ_HIGH_WATER:
                self._flow.pause_reading()
            w = self._waiter
            if w is not None and not w.done():
                w.set_result(None)
        elif phase == _HEAD:
            if self._exc is not None:
                return
            self._fed += len(data)
            codec = self._codec
            try:
                head = codec.receive_head(data)
            except VelmoraError as exc:
                self._wake_error(protocol_error(exc))
                return
            if head is None:
                if self._read_to is not None:  # bytes arrived: the silence starts again
                    self._deadline = self._loop.time() + self._read_to
                if self._expect is not None and codec.buffered() < self._fed:
                    # An interim response was consumed: 100 Continue (or another 1xx).
                    self._open_expect_gate()
                return
            self._phase = _BODY
            if self._expect is not None:
                self._open_expect_gate()
            # Set up the body here, before the reader resumes, so that body bytes arriving
            # in the meantime already have their decoder.
            kind = head.body_kind
            self.response_head(head.keep_alive, codec.request_connection_close, kind == "close",
                               head.http10)
            if head.is_upgrade:
                self._phase = _TUNNEL
            elif kind == "length":
                if codec.buffered() == head.content_length:
                    self._complete_body = codec.take_body()
                else:
                    self._dec = dec = H1BodyDecoder(kind, head.content_length or 0)
                    codec.take_body_into(dec)
            elif kind != "empty":
                self._dec = dec = H1BodyDecoder(kind)
                codec.take_body_into(dec)
            w = self._waiter
            if w is not None and not w.done():
                w.set_result(head)
        elif phase == _TUNNEL:
            self._codec.feed(data)  # the tunnel's first bytes, for whoever takes the transport
        else:
            self._unsolicited()

    def eof_received(self) -> bool:
        self.note_peer_closed()
        self._on_end(None)
        return False

    def connection_lost(self, exc: Exception | None) -> None:
        self.note_peer_closed()
        self._flow.transport_lost(None if exc is None else
                                  WriteError("the connection was lost while writing"))
        self._cancel_timer()
        self._on_end(exc)
        self._report_lost()

    def pause_writing(self) -> None:
        self._flow.pause_writing()

    def resume_writing(self) -> None:
        self._flow.resume_writing()

    def _report_lost(self) -> None:
        if self._callbacks is not None:
            self._callbacks.lost(self)

    # ---- end of stream and idle verdicts -------------------------------------------------------

    def _on_end(self, exc: Exception | None) -> None:
        if self._watching:
            self._watching = False
            if exc is None:
                verdict, transport = self.watcher_completed(_EMPTY)
            else:
                verdict, transport = self.watcher_completed(None, exc)
            if verdict != H1_WATCH_HANDOFF:
                self._idle_verdict(verdict, transport)
                return
            self.take_watcher_result()
        phase = self._phase
        if phase == _HEAD:
            if self._fed == 0:
                err: BaseException = Disconnected(
                    "the server closed the connection without sending a response")
            else:
                err = RemoteProtocolError(
                    "the server closed the connection before the response head was complete")
            if exc is not None:
                err.__cause__ = exc
            self._wake_error(err)
        elif phase == _BODY:
            dec = self._dec
            if dec is not None:
                dec.mark_eof()
                w = self._waiter
                if w is not None and not w.done():
                    w.set_result(None)
        elif phase == _IDLE and not self.busy:
            transport = self.close_now()
            if transport is not None:
                transport.close()

    def _idle_verdict(self, verdict: int, transport: Any) -> None:
        log.debug("idle connection %s: %s", self.key, _VERDICTS.get(verdict, verdict))
        if verdict == H1_WATCH_IDLE_EOF:
            if transport is not None:
                transport.close()
            self._report_lost()
        elif verdict == H1_WATCH_IDLE_BYTES:
            self._unsolicited()
        elif verdict == H1_WATCH_IDLE_ERROR:
            transport = self.fail(ReadError("the connection failed while idle"))
            if transport is not None:
                transport.close()
            self._report_lost()

    def _unsolicited(self) -> None:
        exc = H1UnexpectedMessageError("received unexpected message from connection")
        transport = self.fail(exc)
        self._wake_error(RemoteProtocolError(
            "the server sent bytes that answer no request; the connection is closed"))
        if transport is not None:
            transport.close()
        self._report_lost()

    # ---- waking the reader -------------------------------------------------------------------

    def _wake_error(self, exc: BaseException) -> None:
        if self._exc is None:
            self._exc = exc
        w = self._waiter
        if w is not None and not w.done():
            w.set_exception(exc)
        if self._expect is not None:
            self._open_expect_gate()

    def _open_expect_gate(self) -> None:
        g = self._expect
        self._expect = None
        if g is not None:
            g.set()

    def _cancel_timer(self) -> None:
        t = self._timer
        if t is not None:
            self._timer = None
            t.cancel()

    def _on_timer(self) -> None:
        self._timer = None
        w = self._waiter
        if w is None or w.done():
            return
        deadline = self._deadline
        if deadline == float("inf"):
            return
        if self._loop.time() + 0.0005 < deadline:
            self._timer = self._loop.call_at(deadline, self._on_timer)
            return
        self._wake_error(ReadTimeout("timed out waiting for the server to send the response"))

    async def _wait(self, timeout: float | None) -> Any:
        if self._exc is not None:
            raise self._exc
        fut = self._loop.create_future()
        self._waiter = fut
        self._read_to = timeout
        if timeout is not None:
            deadline = self._loop.time() + timeout
            self._deadline = deadline
            timer = self._timer
            # The timer left by an earlier exchange is reused only when it fires no later than
            # this deadline (it then re-arms itself); a shorter timeout needs its own.
            if timer is None or timer.when() > deadline:
                if timer is not None:
                    timer.cancel()
                self._timer = self._loop.call_at(deadline, self._on_timer)
        else:
            self._deadline = float("inf")
        try:
            return await fut
        finally:
            self._waiter = None

    # ---- one exchange ---------------------------------------------------------------------

    async def send(self, method: str, target: str, headers: HeaderMap, content: Any,
                   timeout: Any, expect_continue: bool = False) -> Connection:
        """Write the request and wait for the response head; returns the exchange (this
        connection, its ``head`` set).

        The caller claimed the connection (``try_begin_exchange``). On failure the connection is
        closed and the error raised; on success the body is taken with
        :meth:`take_complete_body` or read with :meth:`read_chunk`.
        """
        if self.peer_closed:
            # The server closed the connection after it was handed over and before anything
            # was written: nothing was sent, so the request can go out on a fresh one.
            self._abort()
            raise Disconnected("the server closed the connection before the request was sent")
        self.exchange_started()
        self._phase = _HEAD
        self._fed = 0
        self._exc = None
        self._dec = None
        self._complete_body = None
        codec = self._codec
        transport = self._transport
        http10 = self.peer_http10
        try:
            head = request_head(codec, method, target, headers, content, http10)
            if content is None:
                transport.write(head)
                self.writer_done()
            elif type(content) is bytes:
                if expect_continue and content:
                    self._start_writer(head, (content,), timeout, True)
                elif len(content) <= COALESCE_LIMIT:
                    transport.write(codec.serialize_head_and_body(head, content))
                    self.writer_done()
                else:
                    transport.write(head)
                    transport.write(codec.serialize_data(content))
                    transport.write(codec.serialize_end())
                    self.writer_done()
            else:
                self._start_writer(head, content, timeout, expect_continue)
        except LocalProtocolError:
            self._unclaim()
            raise
        except (ValueError, H1UserError) as exc:
            self._unclaim()
            raise LocalProtocolError(str(exc)) from exc
        except BaseException:
            self._abort()
            raise
        try:
            head = await self._wait(timeout.read)
        except BaseException:
            self._abort()
            raise
        if head.is_upgrade and method != "CONNECT":
            # Only the proxy tunnel asks for one (a 2xx to CONNECT); a 101 nobody asked for
            # leaves the connection unusable.
            self._abort()
            raise RemoteProtocolError(f"unexpected protocol switch ({head.status})")
        self.head = head
        return self

    def take_tunnel(self) -> tuple[asyncio.Transport | None, bytes]:
        """After a 2xx answer to CONNECT: the transport, now the tunnel's (``None`` if it
        closed at that moment), and the bytes the proxy sent past its answer."""
        return self.upgrade(), self._codec.take_body()

    def take_complete_body(self) -> bytes | None:
        """The whole body when it arrived with the head (empty, or all of it at once): the
        exchange is then over. ``None`` when the body is still to be read."""
        if self._dec is not None or self._phase != _BODY:
            return None
        b = self._complete_body
        self._complete_body = None
        self._body_complete()
        return _EMPTY if b is None else b

    async def read_chunk(self, timeout: float | None) -> bytes | None:
        """The next piece of the response body, or ``None`` once it is complete."""
        dec = self._dec
        while True:
            if dec is None:
                return None
            if self._exc is not None:
                exc = self._exc
                self._abort()
                raise exc
            try:
                chunk = dec.decode()
            except H1BodyError as exc:
                self._abort()
                raise protocol_error(exc) from None
            if chunk:
                flow = self._flow
                if flow.read_paused and dec.buffered < READ_HIGH_WATER // 2:
                    flow.resume_reading()
                return chunk
            if dec.is_complete:
                self._body_complete()
                return None
            self._flow.resume_reading()
            try:
                await self._wait(timeout)
            except BaseException:
                self._abort()
                raise

    def _body_complete(self) -> None:
        """The response is complete: reuse or close, as the core decides."""
        self._phase = _DONE
        reuse, transport = self._end_body()
        if reuse:
            self._phase = _IDLE
            rel = self._released
            if rel is not None:
                rel(self, True)
            return
        self._let_go(transport)

    def _let_go(self, transport: Any) -> None:
        """The exchange ended and the connection with it: stop the body writer and the timer,
        close ``transport`` (the core's verdict) and leave the pool."""
        writer = self.take_writer()
        if writer is not None:
            writer.cancel()
        self._cancel_timer()
        self.end_exchange()
        if transport is not None:
            transport.close()
        rel = self._released
        if rel is not None:
            rel(self, False)

    def _unclaim(self) -> None:
        """The request was refused before a byte of it was written: the connection is as good
        as before and goes back to the pool."""
        self._phase = _IDLE
        self._codec.reset()
        if self.end_exchange():
            rel = self._released
            if rel is not None:
                rel(self, True)

    def _abort(self) -> None:
        """The exchange failed or was abandoned: the connection cannot be trusted any more."""
        if self._phase == _DONE:
            return
        self._phase = _DONE
        self._dec = None
        self.head = None
        exc = self._exc
        self._let_go(self.fail(_copy_error(exc) if exc is not None else None))

    def abandon(self) -> None:
        """The response was closed before its body was read to the end."""
        if self._phase == _BODY:
            self._abort()

    # ---- request body writer ---------------------------------------------------------------

    def _start_writer(self, head: bytes, content: Any, timeout: Any,
                      expect_continue: bool) -> None:
        self._transport.write(head)
        if expect_continue:
            self._expect = Signal(self._loop)
        task = self._loop.create_task(self._write_body(content, timeout.write))
        refused = self.store_writer(task)
        if refused is not None:
            task.cancel()
            raise WriteError("the connection closed before the request body could be sent")

    async def _write_body(self, content: Any, write_timeout: float | None) -> None:
        codec = self._codec
        transport = self._transport
        try:
            gate = self._expect
            if gate is not None:
                try:
                    await gate.wait(EXPECT_CONTINUE_WAIT)
                except TimeoutError:
                    pass
                self._expect = None
                if self._phase != _HEAD or self._exc is not None:
                    # A final response came instead of 100 Continue: the body is not sent (the
                    # writer never reports it done, so the core does not reuse the connection).
                    return
            if isinstance(content, (bytes, bytearray, memoryview)):
                content = (bytes(content),)
            if isinstance(content, AsyncIterable):
                async for chunk in content:
                    await self._write_chunk(codec, transport, chunk, write_timeout)
            elif isinstance(content, Iterable):
                for chunk in content:
                    await self._write_chunk(codec, transport, chunk, write_timeout)
            else:  # pragma: no cover - checked by the client
                raise TypeError(f"unsupported request content {type(content).__name__}")
            transport.write(codec.serialize_end())
            self.take_writer()
            self.writer_done()
        except asyncio.CancelledError:
            raise
        except H1UserError as exc:  # the body disagrees with its length: the request is cut
            self._wake_error(LocalProtocolError(str(exc)))
            transport = self.fail(_copy_error(exc))
            if transport is not None:
                transport.close()
        except TransportError as exc:
            self._wake_error(exc)
        except Exception as exc:  # the caller's iterator failed: the request is incomplete
            err = LocalProtocolError(f"the request body failed: {exc!r}")
            err.__cause__ = exc
            self._wake_error(err)
            transport = self.fail(_copy_error(exc))
            if transport is not None:
                transport.close()

    async def _write_chunk(self, codec: H1Codec, transport: Any, chunk: Any,
                           write_timeout: float | None) -> None:
        if not isinstance(chunk, bytes):
            chunk = content_bytes(chunk)
        if not chunk:
            return
        flow = self._flow
        if flow.closed or self._exc is not None:
            raise WriteError("the connection closed while the request body was being sent")
        transport.write(codec.serialize_data(chunk))
        if flow.write_paused:
            await flow.drain(write_timeout, _write_timeout)


def _write_timeout() -> BaseException:
    return WriteTimeout("timed out writing the request body")
