"""coro_step: one step of a coroutine in a context, a return reported as a value."""

import asyncio
import contextvars

import pytest

from velmora._velmora import coro_step

VAR: contextvars.ContextVar[str] = contextvars.ContextVar("VAR", default="outside")


async def returns() -> str:
    VAR.set("inside")
    return "result"


async def waits() -> None:
    await asyncio.sleep(0)


async def fails() -> None:
    raise KeyError("boom")


@pytest.mark.parametrize("fn, expected", [(returns, (True, "result")), (waits, (False, None))])
def test_step_result_and_context(fn, expected):
    ctx = contextvars.copy_context()
    coro = fn()
    assert coro_step(coro, ctx) == expected
    coro.close()
    assert VAR.get() == "outside"  # the step ran in ctx, not here
    assert ctx.get(VAR, "outside") == ("inside" if fn is returns else "outside")


def test_step_exception_propagates_and_context_is_left():
    ctx = contextvars.copy_context()
    with pytest.raises(KeyError, match="boom"):
        coro_step(fails(), ctx)
    assert coro_step(returns(), ctx) == (True, "result")  # (ctx was exited: it can be entered)
