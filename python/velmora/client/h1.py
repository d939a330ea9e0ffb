"""The HTTP/1.1 client connection: an ``asyncio.Protocol`` on the core's ``H1ClientState``.

The core decides everything about the protocol: ``H1Codec`` writes request heads and frames
bodies, parses response heads and says how the body is delimited and whether the connection may
be reused; ``H1BodyDecoder`` decodes the body; ``H1ClientState`` decides who holds the connection,
what a read that completes while the connection is idle means (the server closed it, or sent bytes
nobody asked for), who tears down the request writer, and keeps the first error.

This module adds the transport callbacks, one future to wake the reader, one lazily re-armed timer
per connection for read timeouts, and flow control in both directions.
"""

from __future__ import annotations

import asyncio
import logging
from collections.abc import AsyncIterable, Iterable
from typing import Any

from velmora._velmora import (
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

from .errors import (
    LocalProtocolError,
    ReadError,
    ReadTimeout,
    RemoteProtocolError,
    TransportError,
    WriteError,
    WriteTimeout,
)

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


def content_bytes(chunk: Any) -> bytes:
    """A piece of request content as bytes (bytes-like objects and text are accepted)."""
    if isinstance(chunk, (bytes, bytearray, memoryview)):
        return bytes(chunk)
    if isinstance(chunk, str):
        return chunk.encode()
    raise TypeError(f"request content must yield bytes, not {type(chunk).__name__}")


class Disconnected(ReadError):
    """The server closed a connection before sending any byte of the response.

    On a reused connection this is the race of a keep-alive close with a new request: the request
    can be retried on a fresh connection when that is safe.
    """


def _copy_error(exc: BaseException) -> BaseException:
    """A traceback-free copy of ``exc`` to store in the connection state."""
    try:
        c = type(exc)(*exc.args)
    except Exception:  # pragma: no cover - exotic constructors
        c = RemoteProtocolError(str(exc))
    return c


class Connection(H1ClientState, asyncio.Protocol):
    """One HTTP/1.1 client connection.

    Serves one exchange at a time. The pool claims it (``try_begin_exchange``), :meth:`send`
    writes the request and returns the response once its head is in; the body is then read through
    :meth:`read_chunk`. When the exchange completes, the connection goes back to its pool or
    closes, as the core decided.
    """

    __slots__ = (
        "_loop", "_transport", "_codec", "_pool", "key", "_phase", "_waiter", "_exc", "_dec",
        "_fed", "_watching", "_read_paused", "_write_paused", "_drain", "_deadline", "_timer",
        "_expect", "_reusable", "served", "idle_since", "_release", "_lost", "_read_to",
        "proxy_auth", "forward_proxy", "_peer_eof", "_complete_body",
        "trailers_taken",
    )

    #: One exchange at a time: the pool keeps it in its idle list between exchanges.
    multiplexed = False

    def __new__(cls, transport: Any, *args: Any, **kwargs: Any) -> Connection:
        return H1ClientState.__new__(cls, transport)

    def __init__(self, transport: asyncio.Transport, pool: Any = None, key: Any = None,
                 *, proxy_auth: str | None = None, forward_proxy: bool = False) -> None:
        self._loop = asyncio.get_running_loop()
        self._transport = transport
        self._codec = H1Codec()
        self._pool = pool
        self.key = key
        self._phase = _IDLE
        self._waiter: asyncio.Future[Any] | None = None
        self._exc: BaseException | None = None
        self._dec: H1BodyDecoder | None = None
        self._fed = 0
        self._watching = False
        self._read_paused = False
        self._write_paused = False
        self._drain: asyncio.Future[None] | None = None
        self._deadline = 0.0
        self._read_to: float | None = None
        self._timer: asyncio.TimerHandle | None = None
        self._expect: asyncio.Future[None] | None = None
        self._reusable = False
        self.served = 0
        self.idle_since = 0.0
        self._release = pool._release if pool is not None else None
        self._lost = False
        self._peer_eof = False
        self.proxy_auth = proxy_auth
        self.forward_proxy = forward_proxy
        self._complete_body: bytes | None = None
        self.trailers_taken: HeaderMap | None = None
        transport.set_protocol(self)

    # ---- what the pool asks ----------------------------------------------------------------

    @property
    def http_version(self) -> str:
        return "HTTP/1.0" if self.peer_http10 else "HTTP/1.1"

    def is_available(self) -> bool:
        """Idle, alive and not closing: may take the next request."""
        return not self.busy and not self.is_dead() and not self._lost

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
            if dec.buffered >= READ_HIGH_WATER and not self._read_paused:
                self._read_paused = True
                self._transport.pause_reading()
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
                self._wake_error(self._protocol_error(exc))
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
            if head.is_upgrade:
                self._phase = _TUNNEL
            else:
                self._reusable = head.keep_alive and not codec.request_connection_close
                kind = head.body_kind
                if kind == "length":
                    if codec.buffered() == head.content_length:
                        self._complete_body = codec.take_body()
                    else:
                        self._dec = dec = H1BodyDecoder(kind, head.content_length or 0)
                        codec.take_body_into(dec)
                elif kind != "empty":
                    if kind == "close":
                        self._reusable = False
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
        self._peer_eof = True
        self._on_end(None)
        return False

    def connection_lost(self, exc: Exception | None) -> None:
        self._lost = True
        self._cancel_timer()
        self._on_end(exc)
        self._wake_drain(exc)
        if self._pool is not None:
            self._pool._lost(self)

    def pause_writing(self) -> None:
        self._write_paused = True

    def resume_writing(self) -> None:
        self._write_paused = False
        self._wake_drain(None)

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
            if self._pool is not None:
                self._pool._lost(self)
        elif verdict == H1_WATCH_IDLE_BYTES:
            self._unsolicited()
        elif verdict == H1_WATCH_IDLE_ERROR:
            transport = self.fail(ReadError("the connection failed while idle"))
            if transport is not None:
                transport.close()
            if self._pool is not None:
                self._pool._lost(self)

    def _unsolicited(self) -> None:
        exc = H1UnexpectedMessageError("received unexpected message from connection")
        transport = self.fail(exc)
        self._wake_error(RemoteProtocolError(
            "the server sent bytes that answer no request; the connection is closed"))
        if transport is not None:
            transport.close()
        if self._pool is not None:
            self._pool._lost(self)

    # ---- waking the reader -------------------------------------------------------------------

    def _wake_error(self, exc: BaseException) -> None:
        if self._exc is None:
            self._exc = exc
        w = self._waiter
        if w is not None and not w.done():
            w.set_exception(exc)
        if self._expect is not None:
            self._open_expect_gate()

    def _wake_drain(self, exc: BaseException | None) -> None:
        d = self._drain
        if d is not None and not d.done():
            if exc is None:
                d.set_result(None)
            else:
                d.set_exception(WriteError("the connection was lost while writing"))

    def _open_expect_gate(self) -> None:
        g = self._expect
        self._expect = None
        if g is not None and not g.done():
            g.set_result(None)

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
            if self._timer is None:
                self._timer = self._loop.call_at(deadline, self._on_timer)
        else:
            self._deadline = float("inf")
        try:
            return await fut
        finally:
            self._waiter = None

    @staticmethod
    def _protocol_error(exc: VelmoraError) -> BaseException:
        if isinstance(exc, H1BodyError):
            if exc.args and exc.args[0] == "unexpected_eof":
                err: BaseException = RemoteProtocolError(
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

    # ---- one exchange ---------------------------------------------------------------------

    async def send(self, method: str, target: str, headers: HeaderMap, content: Any,
                   timeout: Any, expect_continue: bool = False) -> Any:
        """Write the request and wait for the response head; returns the head.

        The caller claimed the connection (``try_begin_exchange``). On failure the connection is
        closed and the error raised; on success the body is read with :meth:`read_chunk` (or is
        already complete, see :meth:`take_complete_body`).
        """
        if self._lost or self._peer_eof:
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
            if content is None:
                if method in _NO_BODY_METHODS:
                    transport.write(codec.serialize_request(method, target, headers,
                                                            http10=http10))
                else:
                    transport.write(codec.serialize_request(method, target, headers,
                                                            http10=http10, content_length=0))
                self.writer_done()
            elif type(content) is bytes:
                declared = headers.get("content-length")
                if declared is not None and declared != str(len(content)).encode():
                    # The encoder would cut a longer body short without a word.
                    raise LocalProtocolError(
                        f"content-length {declared.decode('latin-1')!r} does not match the "
                        f"{len(content)}-byte body")
                head = codec.serialize_request(method, target, headers, http10=http10,
                                               content_length=len(content))
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
                if http10 and "content-length" not in headers:
                    raise LocalProtocolError(
                        "this server speaks HTTP/1.0, which cannot carry a request body of "
                        "unknown length: give a content-length header or bytes")
                if method in _NO_BODY_METHODS and "content-length" not in headers \
                        and "transfer-encoding" not in headers:
                    # A body of unknown length on a method that usually has none: frame it
                    # explicitly, or the serializer would send it as no body at all.
                    headers = HeaderMap(headers)
                    headers["transfer-encoding"] = "chunked"
                head = codec.serialize_request(method, target, headers, http10=http10,
                                               chunked=True)
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
        if head.http10:
            self.set_peer_http10(True)
        if head.is_upgrade:
            # Only the proxy tunnel asks for one (a 2xx to CONNECT); a 101 nobody asked for
            # leaves the connection unusable.
            if method != "CONNECT":
                self._abort()
                raise RemoteProtocolError(f"unexpected protocol switch ({head.status})")
            return head
        if self._dec is None:  # empty, or the whole body came with the head
            self._body_complete()
        return head

    def take_complete_body(self) -> bytes | None:
        """The whole body when it arrived with the head (the exchange is then already over)."""
        b = self._complete_body
        self._complete_body = None
        return b

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
                raise self._protocol_error(exc) from None
            if chunk:
                if self._read_paused and dec.buffered < READ_HIGH_WATER // 2:
                    self._read_paused = False
                    self._transport.resume_reading()
                return chunk
            if dec.is_complete:
                self._body_complete()
                return None
            if self._read_paused:
                self._read_paused = False
                self._transport.resume_reading()
            try:
                await self._wait(timeout)
            except BaseException:
                self._abort()
                raise

    def _body_complete(self) -> None:
        """The response is complete: reuse or close, as the core decided."""
        dec = self._dec
        self.trailers_taken = None
        if dec is not None:
            self._dec = None
            self.trailers_taken = dec.take_trailers()
            if dec.buffered:
                # Bytes past the end of the body: the server is out of step with us.
                self._reusable = False
        self._phase = _DONE
        self.served += 1
        if self._reusable and self.writer_finished and not self._lost and not self._peer_eof \
                and self._codec.buffered() == 0:
            self._phase = _IDLE
            self._codec.reset()
            if self.end_exchange():
                rel = self._release
                if rel is not None:
                    rel(self, True)
                return
        self._let_go(self.close_now())

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
        rel = self._release
        if rel is not None:
            rel(self, False)

    def _unclaim(self) -> None:
        """The request was refused before a byte of it was written: the connection is as good
        as before and goes back to the pool."""
        self._phase = _IDLE
        self._codec.reset()
        if self.end_exchange():
            rel = self._release
            if rel is not None:
                rel(self, True)

    def _abort(self) -> None:
        """The exchange failed or was abandoned: the connection cannot be trusted any more."""
        if self._phase == _DONE:
            return
        self._phase = _DONE
        self._dec = None
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
            self._expect = self._loop.create_future()
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
                    await asyncio.wait_for(asyncio.shield(gate), EXPECT_CONTINUE_WAIT)
                except asyncio.TimeoutError:
                    pass
                self._expect = None
                if self._phase != _HEAD or self._exc is not None:
                    # A final response came instead of 100 Continue: the body is not sent and
                    # the connection cannot carry another request.
                    self._reusable = False
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
        if self._lost or self._exc is not None:
            raise WriteError("the connection closed while the request body was being sent")
        transport.write(codec.serialize_data(chunk))
        if self._write_paused:
            d = self._drain = self._loop.create_future()
            try:
                await asyncio.wait_for(d, write_timeout)
            except asyncio.TimeoutError:
                raise WriteTimeout("timed out writing the request body") from None
            finally:
                self._drain = None
