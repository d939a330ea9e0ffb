"""The response object."""

from __future__ import annotations

import codecs
import datetime
import json as _json
import time
from collections.abc import AsyncIterator, Iterator
from http import HTTPStatus
from typing import Any

from velmora._velmora import HeaderMap, OnceLatch

from .cookies import Cookies
from .decoding import ContentDecoder, decoder_for
from .errors import HTTPError, ResponseNotRead, StreamClosed, StreamConsumed
from .exchange import Exchange
from .headers import Headers

__all__ = ["BaseResponse", "Response", "HTTPStatusError"]

_PHRASES = {s.value: s.phrase for s in HTTPStatus}


class HTTPStatusError(HTTPError):
    """Raised by :meth:`Response.raise_for_status` for a 4xx or 5xx status."""

    def __init__(self, message: str, *, response: BaseResponse) -> None:
        super().__init__(message)
        self.response = response


class BaseResponse:
    """What a response is, whichever client read it: ``status``, ``headers`` (:class:`Headers`,
    text over the core's ``HeaderMap``), ``http_version``, ``url``, ``request``, ``history`` (the
    redirects followed to it), ``elapsed``, ``cookies`` and the body once read (``content``,
    ``text``, ``json()``), decoded from its ``Content-Encoding``."""

    __slots__ = ("status", "header_map", "http_version", "method", "url", "_stream", "_content",
                 "_read_timeout", "_consumed", "_latch", "num_bytes_downloaded", "_trailers",
                 "request", "history", "_started", "_elapsed", "_decode", "_headers", "_raw_body",
                 "__weakref__")

    def __init__(self, status: int, headers: HeaderMap, http_version: str = "HTTP/1.1", *,
                 method: str = "GET", url: str = "", content: bytes | None = None,
                 stream: Any = None, read_timeout: float | None = None,
                 decode: bool = True, started: float | None = None) -> None:
        self.status = status
        self.header_map = headers
        self._headers: Headers | None = None
        self.http_version = http_version
        self.method = method
        self.url = url
        #: The exchange the body is read from (an ``Exchange``, or a blocking connection).
        self._stream: Any = stream
        self._read_timeout = read_timeout
        self._consumed = content is not None
        self._latch: OnceLatch | None = OnceLatch() if stream is not None else None
        self.num_bytes_downloaded = len(content) if content is not None else 0
        self._trailers: HeaderMap | None = None
        self._decode = decode
        self.request: Any = None
        self.history: list[Any] = []
        self._started = time.perf_counter() if started is None else started
        self._elapsed: float | None = None
        #: A body that came whole with the head but still encoded: decoded when read.
        self._raw_body: bytes | None = None
        if content is not None:
            self._elapsed = time.perf_counter() - self._started
            if decode and "content-encoding" in headers and self._decoder() is not None:
                self._raw_body = content
                self._consumed = False
                content = None
        self._content = content

    @property
    def headers(self) -> Headers:
        h = self._headers
        if h is None:
            h = self._headers = Headers(self.header_map)
        return h

    def _decoder(self) -> ContentDecoder | None:
        if not self._decode:
            return None
        return decoder_for(self.header_map.get("content-encoding"))

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

    @property
    def is_redirect(self) -> bool:
        return self.status in (301, 302, 303, 307, 308) and "location" in self.header_map

    @property
    def is_error(self) -> bool:
        return self.status >= 400

    def raise_for_status(self) -> BaseResponse:
        if self.status >= 400:
            kind = "client error" if self.status < 500 else "server error"
            raise HTTPStatusError(
                f"{kind} {self.status} {self.reason_phrase} for {self.method} {self.url}",
                response=self)
        return self

    @property
    def elapsed(self) -> datetime.timedelta:
        """From sending the request to the end of the body (so far, while it is being read)."""
        e = self._elapsed
        if e is None:
            e = time.perf_counter() - self._started
        return datetime.timedelta(seconds=e)

    @property
    def cookies(self) -> Cookies:
        """The cookies this response sets."""
        c = Cookies()
        if self.request is not None:
            c.extract(self.header_map, self.request)
        return c

    @property
    def next_request(self) -> Any:
        return None

    # ---- body ---------------------------------------------------------------------------------

    @property
    def content(self) -> bytes:
        """The whole body (decoded), once it has been read."""
        if self._content is None:
            raise ResponseNotRead()
        return self._content

    @property
    def text(self) -> str:
        return self.content.decode(self.encoding, errors="replace")

    @property
    def charset_encoding(self) -> str | None:
        """The ``charset`` parameter of ``Content-Type``, if any."""
        ctype = self.header_map.get("content-type")
        if ctype:
            for part in ctype.split(b";")[1:]:
                name, _, value = part.strip().partition(b"=")
                if name.strip().lower() == b"charset" and value:
                    cs = value.strip().strip(b"\"'").decode("ascii", "replace")
                    try:
                        codecs.lookup(cs)
                    except LookupError:
                        return None
                    return cs
        return None

    @property
    def encoding(self) -> str:
        """The declared charset, else UTF-8."""
        return self.charset_encoding or "utf-8"

    def json(self, **kwargs: Any) -> Any:
        cs = self.charset_encoding
        if cs is None or cs.lower().replace("_", "-") in ("utf-8", "utf8"):
            return _json.loads(self.content, **kwargs)
        return _json.loads(self.text, **kwargs)

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

    def _pieces(self, data: bytes, chunk_size: int | None) -> Iterator[bytes]:
        step = chunk_size or len(data) or 1
        for i in range(0, len(data), step):
            yield data[i:i + step]

    def _finish(self, complete: bool) -> None:
        if self._elapsed is None:
            self._elapsed = time.perf_counter() - self._started
        stream = self._stream
        if stream is None:
            return
        self._stream = None
        latch = self._latch
        if latch is not None and latch.try_acquire() and not complete:
            stream.abandon()

    def __repr__(self) -> str:
        return f"<Response [{self.status} {self.reason_phrase}]>"


class _Rechunk:
    """Re-cuts pieces to ``size`` bytes."""

    __slots__ = ("size", "buf")

    def __init__(self, size: int) -> None:
        self.size = size
        self.buf = bytearray()

    def feed(self, chunk: bytes) -> list[bytes]:
        buf = self.buf
        buf += chunk
        out = []
        size = self.size
        while len(buf) >= size:
            out.append(bytes(buf[:size]))
            del buf[:size]
        return out

    def rest(self) -> list[bytes]:
        return [bytes(self.buf)] if self.buf else []


class Response(BaseResponse):
    """A response of :class:`~velmora.client.AsyncClient`: the body is read whole
    (``await read()``, then ``content``) or in pieces (``async for chunk in aiter_bytes()``,
    decoded; ``aiter_raw()`` as it came). Use it as an async context manager (or call
    :meth:`aclose`) when streaming, so that an unread body gives its connection back."""

    __slots__ = ()

    async def read(self) -> bytes:
        """Read the rest of the body and return the whole of it (decoded)."""
        if self._content is None:
            if self._consumed:
                raise StreamConsumed()
            dec = self._decoder() if "content-encoding" in self.header_map else None
            parts = [chunk async for chunk in (self._raw() if dec else self.aiter_bytes())]
            body = parts[0] if len(parts) == 1 else b"".join(parts)
            self._content = body if dec is None else dec.decode_all(body)
        return self._content

    aread = read

    async def aiter_bytes(self, chunk_size: int | None = None) -> AsyncIterator[bytes]:
        """The body (decoded) in pieces as they arrive, or re-cut to ``chunk_size`` bytes."""
        if self._content is not None:
            for piece in self._pieces(self._content, chunk_size):
                yield piece
            return
        dec = self._decoder() if "content-encoding" in self.header_map else None
        if dec is None and chunk_size is None:
            async for chunk in self._raw():
                yield chunk
            return
        cut = _Rechunk(chunk_size) if chunk_size else None
        async for chunk in self._raw():
            if dec is not None:
                chunk = dec.decode(chunk)
            if cut is not None:
                for piece in cut.feed(chunk):
                    yield piece
            elif chunk:
                yield chunk
        tail = dec.flush() if dec is not None else b""
        if cut is not None:
            for piece in cut.feed(tail) + cut.rest():
                yield piece
        elif tail:
            yield tail

    async def aiter_raw(self, chunk_size: int | None = None) -> AsyncIterator[bytes]:
        """The body as it came (still encoded), in pieces."""
        if self._content is not None:
            if self._decode and self._decoder() is not None:
                raise StreamConsumed()  # decoded already: the raw bytes are gone
            for piece in self._pieces(self._content, chunk_size):
                yield piece
            return
        cut = _Rechunk(chunk_size) if chunk_size else None
        async for chunk in self._raw():
            if cut is None:
                yield chunk
            else:
                for piece in cut.feed(chunk):
                    yield piece
        if cut is not None:
            for piece in cut.rest():
                yield piece

    async def aiter_text(self, chunk_size: int | None = None) -> AsyncIterator[str]:
        dec = codecs.getincrementaldecoder(self.encoding)(errors="replace")
        async for chunk in self.aiter_bytes(chunk_size):
            text = dec.decode(chunk)
            if text:
                yield text
        text = dec.decode(b"", True)
        if text:
            yield text

    async def _raw(self) -> AsyncIterator[bytes]:
        if self._consumed:
            raise StreamConsumed()
        self._consumed = True
        if self._raw_body is not None:
            body, self._raw_body = self._raw_body, None
            yield body
            return
        if self._stream is None:
            raise StreamClosed()
        stream: Exchange = self._stream
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
