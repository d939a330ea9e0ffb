"""The two waiting primitives every driver uses: a one-shot `Signal` and a transport's
`FlowControl` (read pausing and the writers' wait for the transport to drain).

Both are loop-bound, single-threaded helpers: no protocol decision is made here.
"""

from __future__ import annotations

import asyncio
from collections.abc import Callable
from typing import Any, Generic, Protocol, TypeVar

T = TypeVar("T")


class Signal(Generic[T]):
    """A one-shot outcome for one waiting task: `wait()` returns the value given to `set()`
    (or raises the exception given to `fail()`), at once when it was already given. The first
    outcome stands; later `set`/`fail` calls are ignored."""

    __slots__ = ("_loop", "_fut")

    def __init__(self, loop: asyncio.AbstractEventLoop) -> None:
        self._loop = loop
        self._fut: asyncio.Future[T] | None = None

    def _future(self) -> asyncio.Future[T]:
        fut = self._fut
        if fut is None:
            fut = self._fut = self._loop.create_future()
        return fut

    @property
    def is_set(self) -> bool:
        fut = self._fut
        return fut is not None and fut.done()

    def set(self, value: T = None) -> None:  # type: ignore[assignment]
        fut = self._future()
        if not fut.done():
            fut.set_result(value)

    def fail(self, exc: BaseException) -> None:
        fut = self._future()
        if not fut.done():
            fut.set_exception(exc)
        # A failure nobody waits for is not "never retrieved".
        fut.exception()

    async def wait(self, timeout: float | None = None,
                   on_timeout: Callable[[], BaseException] | None = None) -> T:
        """The outcome; after `timeout` seconds without one, `on_timeout()` is raised (or
        `TimeoutError`) and the signal stays unset, as it does when the waiter is cancelled."""
        fut = self._future()
        if fut.done():
            return fut.result()
        timer = None if timeout is None else self._loop.call_later(timeout, _expire, fut)
        try:
            return await fut
        except _Expired:
            self._fut = None
            raise (on_timeout() if on_timeout is not None else TimeoutError()) from None
        except asyncio.CancelledError:
            if fut.cancelled():
                self._fut = None
            raise
        finally:
            if timer is not None:
                timer.cancel()


class _Expired(Exception):
    pass


def _expire(fut: asyncio.Future[Any]) -> None:
    if not fut.done():
        fut.set_exception(_Expired())


class PausableTransport(Protocol):
    def pause_reading(self) -> None: ...
    def resume_reading(self) -> None: ...


class FlowControl:
    """Backpressure of one transport, both ways.

    Reading: `pause_reading` / `resume_reading` act on the transport once per change.
    Writing: the protocol forwards its `pause_writing` / `resume_writing` callbacks here (or
    inherits them), and a writer awaits `drain()` after a write; `transport_lost(exc)` ends every
    wait for good: waiters return, or raise `exc` when one is given.
    """

    __slots__ = ("_transport", "_loop", "read_paused", "write_paused", "closed", "_closed_exc",
                 "_drained")

    def __init__(self, transport: PausableTransport, loop: asyncio.AbstractEventLoop) -> None:
        self._transport = transport
        self._loop = loop
        self.read_paused = False
        self.write_paused = False
        self.closed = False
        self._closed_exc: BaseException | None = None
        self._drained: asyncio.Future[None] | None = None

    # ---- reading ----

    def pause_reading(self) -> None:
        if not self.read_paused and not self.closed:
            self.read_paused = True
            self._transport.pause_reading()

    def resume_reading(self) -> None:
        if self.read_paused and not self.closed:
            self.read_paused = False
            self._transport.resume_reading()

    # ---- writing ----

    def pause_writing(self) -> None:
        self.write_paused = True

    def resume_writing(self) -> None:
        self.write_paused = False
        self._wake()

    async def drain(self, timeout: float | None = None,
                    on_timeout: Callable[[], BaseException] | None = None, *,
                    stop: Callable[[], bool] | None = None) -> None:
        """Returns once the transport takes writes again (at once when it does); raises the
        exception given to `transport_lost`, or `on_timeout()` after `timeout` seconds. With
        `stop`, also returns when `stop()` is true once `wake_writers` was called."""
        while self.write_paused and not self.closed and (stop is None or not stop()):
            fut = self._drained
            if fut is None:
                fut = self._drained = self._loop.create_future()
            if timeout is None:
                await asyncio.shield(fut)
                continue
            done, _ = await asyncio.wait((fut,), timeout=timeout)
            if not done:
                raise on_timeout() if on_timeout is not None else TimeoutError()
        if self.closed and self._closed_exc is not None:
            raise self._closed_exc

    def wake_writers(self) -> None:
        """Wakes the writers waiting in `drain` to check their `stop` (the transport's state
        is unchanged: the others wait on)."""
        self._wake()

    def transport_lost(self, exc: BaseException | None = None) -> None:
        if not self.closed:
            self.closed = True
            self._closed_exc = exc
            self._wake()

    def _wake(self) -> None:
        fut = self._drained
        if fut is not None:
            self._drained = None
            if not fut.done():
                fut.set_result(None)
