"""The response object."""

from __future__ import annotations

import json as _json
from collections.abc import AsyncIterator
from http import HTTPStatus
from typing import Any

from velmora._velmora import HeaderMap, OnceLatch

from .errors import HTTPError, ResponseNotRead, StreamClosed, StreamConsumed
from .exchange import Exchange

__all__ = ["Response", "HTTPStatusError"]

_PHRASES = {s.value: s.phrase for s in HTTPStatus}


class HTTPStatusError(HTTPError):
    """Raised by :meth:`Response.raise_for_status` for a 4xx or 5xx status."""

    def __init__(self, message: str, *, response: Response) -> None:
        super().__init__(message)
        self.response = response


class Response:
    """An HTTP response: ``status``, ``headers`` (a :class:`velmora.HeaderMap`), ``http_version``
    and the body, read whole (``await read()``, then ``content``) or in pieces
    (``async for chunk in aiter_bytes()``). Use it as an async context manager (or call
    :meth:`aclose`) when streaming, so that an unread body gives its connection back."""

    __slots__ = ("status", "headers", "http_version", "method", "url", "_stream", "_content",
                 "_read_timeout", "_consumed", "_latch", "num_bytes_downloaded", "_trailers",
                 "__weakref__")

    def __init__(self, status: int, headers: HeaderMap, http_version: str = "HTTP/1.1", *,
                 method: str = "GET", url: str = "", content: bytes | None = None,
                 stream: Exchange | None = None, read_timeout: float | None = None) -> None:
        self.status = status
        self.headers = headers
        self.http_version = http_version
        self.method = method
        self.url = url
        self._stream = stream
        self._content = content
        self._read_timeout = read_timeout
        self._consumed = content is not None
        self._latch: OnceLatch | None = OnceLatch() if stream is not None else None
        self.num_bytes_downloaded = len(content) if content is not None else 0
        self._trailers: HeaderMap | None = None

    # ---- status -------------------------------------------------------------------------------

    @property
    def status_code(self) -> int:
        return self.status

    @property
    def reason_phrase(self) -> str:
        return _PHRASES.get(self.status, "")

    @property
    def is_success(self) -> bool:
        return 200 <= self.status < 300

    def raise_for_status(self) -> Response:
        if self.status >= 400:
            kind = "client error" if self.status < 500 else "server error"
            raise HTTPStatusError(
                f"{kind} {self.status} {self.reason_phrase} for {self.method} {self.url}",
                response=self)
        return self

    # ---- body ---------------------------------------------------------------------------------

    @property
    def content(self) -> bytes:
        """The whole body, once :meth:`read` returned."""
        if self._content is None:
            raise ResponseNotRead()
        return self._content

    @property
    def text(self) -> str:
        return self.content.decode(self.encoding, errors="replace")

    @property
    def encoding(self) -> str:
        ctype = self.headers.get("content-type")
        if ctype:
            for part in ctype.split(b";")[1:]:
                name, _, value = part.strip().partition(b"=")
                if name.lower() == b"charset" and value:
                    return value.strip(b"\"'").decode("ascii", "replace")
        return "utf-8"

    def json(self, **kwargs: Any) -> Any:
        return _json.loads(self.content, **kwargs)

    @property
    def trailers(self) -> HeaderMap | None:
        """Trailer fields of a chunked body, once it has been read to the end."""
        return self._trailers

    @property
    def is_closed(self) -> bool:
        return self._stream is None

    @property
    def is_stream_consumed(self) -> bool:
        return self._consumed

    async def read(self) -> bytes:
        """Read the rest of the body and return the whole of it."""
        if self._content is None:
            if self._consumed:
                raise StreamConsumed()
            parts = [chunk async for chunk in self.aiter_bytes()]
            self._content = parts[0] if len(parts) == 1 else b"".join(parts)
        return self._content

    async def aiter_bytes(self, chunk_size: int | None = None) -> AsyncIterator[bytes]:
        """The body in pieces as they arrive (or re-cut to ``chunk_size`` bytes)."""
        if self._content is not None:
            data = self._content
            step = chunk_size or len(data) or 1
            for i in range(0, len(data), step):
                yield data[i:i + step]
            return
        if self._consumed:
            raise StreamConsumed()
        if self._stream is None:
            raise StreamClosed()
        self._consumed = True
        if chunk_size is None:
            async for chunk in self._raw():
                yield chunk
            return
        buf = bytearray()
        async for chunk in self._raw():
            buf += chunk
            while len(buf) >= chunk_size:
                yield bytes(buf[:chunk_size])
                del buf[:chunk_size]
        if buf:
            yield bytes(buf)

    aiter_raw = aiter_bytes

    async def _raw(self) -> AsyncIterator[bytes]:
        stream: Exchange = self._stream  # type: ignore[assignment]  # checked by the caller
        timeout = self._read_timeout
        complete = False
        try:
            while True:
                chunk = await stream.read_chunk(timeout)
                if chunk is None:
                    complete = True
                    self._trailers = stream.trailers
                    return
                self.num_bytes_downloaded += len(chunk)
                yield chunk
        finally:
            self._finish(complete)

    def _finish(self, complete: bool) -> None:
        stream = self._stream
        if stream is None:
            return
        self._stream = None
        latch = self._latch
        if latch is not None and latch.try_acquire() and not complete:
            stream.abandon()

    async def aclose(self) -> None:
        """Close the response; an unread body closes its connection."""
        if self._stream is not None:
            self._consumed = True
            self._finish(False)

    async def __aenter__(self) -> Response:
        return self

    async def __aexit__(self, *exc: Any) -> None:
        await self.aclose()

    def __del__(self) -> None:
        stream = self._stream
        if stream is not None and self._latch is not None and self._latch.try_acquire():
            self._stream = None
            loop = stream.loop
            if not loop.is_closed():
                try:
                    loop.call_soon_threadsafe(stream.abandon)
                except RuntimeError:  # pragma: no cover - the loop is shutting down
                    pass

    def __repr__(self) -> str:
        return f"<Response [{self.status} {self.reason_phrase}]>"

