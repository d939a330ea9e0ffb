"""The seams between the connection drivers (HTTP/1 in ``h1``, HTTP/2 in ``h2``), the pool and the
client.

- :class:`Exchange`: what a connection's ``send`` hands the client, the same for both protocols: the
  response ``head``, its body (``take_complete_body`` / ``read_chunk``), its ``trailers`` and
  ``abandon``.
- :class:`PooledConnection`: what the pool asks of a connection.
- :class:`PoolCallbacks`: how a connection reports back to its pool (injected at construction).

And the pieces both drivers share: :func:`content_bytes` and :class:`Disconnected`.
"""

from __future__ import annotations

import asyncio
from collections.abc import Hashable
from typing import Any, Protocol

from velmora._velmora import HeaderMap

from .errors import ReadError

__all__ = ["Exchange", "ResponseHead", "PooledConnection", "SharedConnection", "PoolCallbacks",
           "Disconnected", "content_bytes"]


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


class ResponseHead(Protocol):
    """The parts of a response head the client reads."""

    @property
    def status(self) -> int: ...

    @property
    def headers(self) -> HeaderMap: ...


class Exchange(Protocol):
    """One request's response, as ``send`` returns it once the head is in."""

    @property
    def head(self) -> ResponseHead: ...

    @property
    def trailers(self) -> HeaderMap | None:
        """Trailer fields, once the body has been read to the end."""
        ...

    @property
    def loop(self) -> asyncio.AbstractEventLoop:
        """The event loop the exchange runs on (``abandon`` must be called there)."""
        ...

    def take_complete_body(self) -> bytes | None:
        """The whole body when it is already here (the exchange is then over), else ``None``."""
        ...

    async def read_chunk(self, timeout: float | None) -> bytes | None:
        """The next piece of the body, or ``None`` once it is complete."""
        ...

    def abandon(self) -> None:
        """The response was closed before its body was read to the end."""
        ...


class PooledConnection(Protocol):
    """What the pool asks of a connection.

    ``try_begin_exchange`` claims it (HTTP/1) or one stream slot (HTTP/2) for one request;
    ``end_exchange`` gives back a claim that carried no request. ``multiplexed`` connections are
    shared by concurrent requests (the pool keeps one per route instead of an idle list).
    """

    multiplexed: bool
    key: Hashable
    served: int
    idle_since: float

    @property
    def http_version(self) -> str: ...

    def try_begin_exchange(self) -> bool: ...

    def end_exchange(self) -> bool: ...

    def is_dead(self) -> bool:
        """Closed, failed or ended by the server: never takes another request."""
        ...

    def is_available(self) -> bool:
        """Alive, not closing, and free to take a request now."""
        ...

    def idle(self) -> None:
        """The connection enters an idle period in the pool."""
        ...

    def close(self) -> None: ...

    async def send(self, method: str, target: str, headers: HeaderMap, content: Any,
                   timeout: Any, expect_continue: bool = False) -> Exchange:
        """Write the request (the caller claimed the connection) and return the exchange once
        the response head is in."""
        ...


class SharedConnection(PooledConnection, Protocol):
    """A ``multiplexed`` connection: requests wait on it for a free stream slot."""

    async def wait_slot(self, timeout: float | None) -> bool:
        """True once a slot is claimed for the caller, False when the connection is done."""
        ...


class PoolCallbacks(Protocol):
    """How a connection reports back to the pool that opened it."""

    def released(self, conn: PooledConnection, reusable: bool) -> None:
        """An exchange of ``conn`` ended; ``reusable`` is the core's verdict (a shared
        connection stays shared while it is alive)."""
        ...

    def lost(self, conn: PooledConnection) -> None:
        """``conn`` closed or will never take a request again, and has nothing left to finish."""
        ...

    def retired(self, conn: PooledConnection) -> None:
        """``conn`` takes no new requests but still finishes the ones it carries (HTTP/2
        GOAWAY); it reports :meth:`lost` once it closes."""
        ...
