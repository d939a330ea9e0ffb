"""The task that runs the applications of one kept-alive HTTP/1.1 connection.

The requests of an HTTP/1.1 connection come one after another, so one long-lived task per
connection can run their applications in turn: a request does not pay for creating, scheduling
and collecting an `asyncio.Task` of its own. Each application starts at once, inside the read
callback that completed its head, with the connection's task entered as the loop's current
task (``asyncio.current_task()`` inside the application is that task, as it would be in a task
of its own started eagerly); an application that answers without waiting completes there. One
that waits is handed to the task, which relays every suspension and wake-up between the loop
and the application's coroutine.

Every request runs in the context its connection gives it (a fresh copy of the connection's):
context variables an application sets are not seen by the next request. The task
leaves nothing behind between requests: a cancellation an application asked for ends with its
request. A request whose head arrives while the previous application still runs (it answered
and goes on working) gets a task of its own.
"""

from __future__ import annotations

import asyncio
import contextvars
import types
from asyncio.tasks import _enter_task, _leave_task  # type: ignore[attr-defined]
from collections.abc import Coroutine, Generator
from typing import Any

from velmora._velmora import coro_step as _coro_step
from velmora.server.asgi import TASK_NAME

_Task = asyncio.Task
_CancelledError = asyncio.CancelledError


class Runner:
    """The application task of one connection. ``start`` runs a request's application;
    ``close`` ends the task once no application runs on it any more."""

    __slots__ = ("_loop", "task", "_work", "_job", "_closed", "_asked")

    def __init__(self, loop: asyncio.AbstractEventLoop, ctx: contextvars.Context) -> None:
        self._loop = loop
        self._closed = False
        self._asked = 0  # the cancellations the last application asked for inside ``start``
        self._job: tuple[Coroutine[Any, Any, None], contextvars.Context, Any, bool] | None = None
        # the future the idle task waits on; None while the task is not idle (starting up,
        # or relaying an application)
        self._work: asyncio.Future[None] | None = None
        # (``ctx``, not the context of the application whose response made the runner)
        self.task: asyncio.Task[None] = _Task(self._serve(), loop=loop, name=TASK_NAME,
                                              context=ctx)

    def start(self, coro: Coroutine[Any, Any, None], ctx: contextvars.Context) -> bool:
        """Runs ``coro`` (a request's application) in ``ctx`` as ``task`` until it first waits
        or completes; what waits is then relayed by the task. False (``coro`` untouched) when the
        task cannot take it now: the previous application still runs, the task has not started
        yet, or another task is running."""
        work = self._work
        if work is None or work.done():
            return False
        task = self.task
        loop = self._loop
        try:
            _enter_task(loop, task)
        except RuntimeError:  # called from inside a task: the application gets its own
            return False
        try:  # (a return is reported, not raised: no StopIteration per request)
            done, yielded = _coro_step(coro, ctx)
        finally:
            _leave_task(loop, task)
        if done:
            if work.cancelled():  # (the application cancelled its task: the idle wait)
                self._asked = task.cancelling()
            return True
        # the application waits: the task relays it from here on. A cancellation it asked
        # for while it ran here (it cancelled the idle wait) applies to what it waits on, as
        # it would in a task of its own; when that cannot be cancelled, the next wake-up
        # raises it.
        cancel = False
        if work.cancelled():
            self._asked = task.cancelling()
            cancel = yielded is None or not yielded.cancel()
        self._job = (coro, ctx, yielded, cancel)
        self._work = None
        if not work.done():
            work.set_result(None)
        return True

    def close(self) -> None:
        """No more requests: the task ends (after the application it runs, if any)."""
        self._closed = True
        work = self._work
        if work is not None and not work.done():
            work.set_result(None)

    async def _serve(self) -> None:
        loop = self._loop
        task = self.task
        while not self._closed:
            self._work = work = loop.create_future()
            try:
                await work
            except _CancelledError:
                # an application cancelled its task while it ran inside ``start``; any other
                # cancellation (the loop's teardown) ends the task
                if task.cancelling() > self._asked:
                    self._work = None
                    raise
                while task.cancelling():
                    task.uncancel()
            self._asked = 0
            job = self._job
            if job is not None:
                self._job = None
                await _relay(*job)
            # what an application asked of its task ends with its request; a cancellation
            # nobody withdrew (the server's shutdown) ends the task
            if task.cancelling():
                break
        self._work = None


@types.coroutine
def _relay(coro: Coroutine[Any, Any, None], ctx: contextvars.Context, yielded: Any,
           cancel: bool) -> Generator[Any, Any, None]:
    """Relays an application's coroutine, whose last step (in ``ctx``) yielded ``yielded``,
    until it returns: what it yields goes to the task, what the task sends or throws back goes
    to it, each step in its own context."""
    send = coro.send
    throw = coro.throw
    run = ctx.run
    while True:
        try:
            if cancel:
                cancel = False
                raise _CancelledError()
            value = yield yielded
        except BaseException as exc:  # noqa: BLE001 - every wake-up goes to the application
            try:
                yielded = run(throw, exc)
            except StopIteration:
                return
        else:
            try:
                yielded = run(send, value)
            except StopIteration:
                return
