"""Timeout configuration."""

from __future__ import annotations

from typing import Any

__all__ = ["Timeout", "DEFAULT_TIMEOUT"]

_UNSET: Any = object()


class Timeout:
    """Timeouts in seconds; ``None`` waits forever.

    - ``connect``: opening a connection (TCP, proxy tunnel, TLS handshake), all together.
    - ``read``: the longest silence while a response is awaited or its body is read.
    - ``write``: the longest time a request body write may wait for the socket to drain.
    - ``pool``: waiting for a connection when the pool's limits are reached.

    ``Timeout(5.0)`` sets all four; ``Timeout(5.0, connect=1.0)`` overrides one;
    ``Timeout(None, read=3.0)`` leaves the others unbounded.
    """

    __slots__ = ("connect", "read", "write", "pool")
    connect: float | None
    read: float | None
    write: float | None
    pool: float | None

    def __init__(
        self,
        timeout: float | None | Timeout = _UNSET,
        *,
        connect: float | None = _UNSET,
        read: float | None = _UNSET,
        write: float | None = _UNSET,
        pool: float | None = _UNSET,
    ) -> None:
        if isinstance(timeout, Timeout):
            base = timeout
            self.connect, self.read, self.write, self.pool = (
                base.connect, base.read, base.write, base.pool)
        else:
            if timeout is _UNSET:
                timeout = 5.0
            t = _check(timeout, "timeout")
            self.connect = self.read = self.write = self.pool = t
        if connect is not _UNSET:
            self.connect = _check(connect, "connect")
        if read is not _UNSET:
            self.read = _check(read, "read")
        if write is not _UNSET:
            self.write = _check(write, "write")
        if pool is not _UNSET:
            self.pool = _check(pool, "pool")

    @classmethod
    def coerce(cls, value: Any) -> Timeout:
        """A :class:`Timeout` from a ``Timeout``, a number, ``None`` or a mapping of the four."""
        if isinstance(value, Timeout):
            return value
        if isinstance(value, dict):
            return cls(None, **value)
        if isinstance(value, tuple):
            raise TypeError("give timeouts as Timeout(...) or a number, not a tuple")
        return cls(value)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Timeout) and (
            self.connect, self.read, self.write, self.pool) == (
            other.connect, other.read, other.write, other.pool)

    def __repr__(self) -> str:
        return (f"Timeout(connect={self.connect}, read={self.read}, write={self.write}, "
                f"pool={self.pool})")


def _check(value: Any, name: str) -> float | None:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"timeout {name!r} must be a number of seconds or None")
    if value < 0:
        raise ValueError(f"timeout {name!r} must not be negative")
    return float(value)


DEFAULT_TIMEOUT = Timeout(5.0)
