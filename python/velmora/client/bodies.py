"""Request bodies: ``json=``, ``data=`` (form encoding), ``files=`` (multipart/form-data, RFC
7578, streamed from the files) and raw ``content=``, each turned into what a connection sends
(bytes, or an iterable / async iterable of bytes) and the header fields that describe it."""

from __future__ import annotations

import io
import json as _json
import mimetypes
import os
import secrets
from collections.abc import AsyncIterable, AsyncIterator, Iterable, Iterator, Mapping
from typing import Any
from urllib.parse import urlencode

__all__ = ["encode_body", "MultipartStream"]

#: Bytes read from a file per piece of a multipart body.
CHUNK = 64 * 1024


def _quote(value: str) -> bytes:
    """A ``name``/``filename`` parameter value: quoted, with ``"``, CR and LF percent-encoded
    (RFC 7578, 4.2; what browsers send)."""
    return value.replace("\\", "\\\\").replace('"', "%22").replace("\r", "%0D") \
        .replace("\n", "%0A").encode("utf-8")


class _Field:
    __slots__ = ("head", "value")

    def __init__(self, boundary: bytes, name: str, value: Any) -> None:
        if not isinstance(value, (str, bytes, int, float)) or isinstance(value, bool):
            raise TypeError(f"form value for {name!r} must be str, bytes or a number")
        self.value = value if isinstance(value, bytes) else str(value).encode()
        self.head = (b"--" + boundary + b'\r\ncontent-disposition: form-data; name="' +
                     _quote(name) + b'"\r\n\r\n')

    def size(self) -> int | None:
        return len(self.head) + len(self.value) + 2

    def chunks(self) -> Iterator[bytes]:
        yield self.head + self.value + b"\r\n"


class _File:
    __slots__ = ("head", "file", "start")

    def __init__(self, boundary: bytes, name: str, value: Any) -> None:
        content_type = None
        headers: Mapping[str, str] = {}
        if isinstance(value, tuple):
            filename, file, *rest = value
            if rest:
                content_type = rest[0]
            if len(rest) > 1:
                headers = rest[1]
        else:
            file = value
            filename = os.path.basename(getattr(file, "name", "upload"))
        if isinstance(file, str):
            file = file.encode()
        if isinstance(file, bytes):
            file = io.BytesIO(file)
        if content_type is None and filename:
            content_type = mimetypes.guess_type(filename)[0] or "application/octet-stream"
        head = b"--" + boundary + b'\r\ncontent-disposition: form-data; name="' + _quote(name) \
            + b'"'
        if filename is not None:
            head += b'; filename="' + _quote(filename) + b'"'
        head += b"\r\n"
        for k, v in headers.items():
            head += k.encode("latin-1") + b": " + v.encode("latin-1") + b"\r\n"
        if content_type is not None:
            head += b"content-type: " + content_type.encode("latin-1") + b"\r\n"
        self.head = head + b"\r\n"
        self.file = file
        try:
            self.start: int | None = file.tell()
        except (AttributeError, OSError):
            self.start = None

    def size(self) -> int | None:
        try:
            end = os.fstat(self.file.fileno()).st_size
        except (AttributeError, OSError, io.UnsupportedOperation):
            buf = getattr(self.file, "getbuffer", None)
            if buf is None:
                return None
            end = len(buf())
        if self.start is None:
            return None
        return len(self.head) + end - self.start + 2

    def chunks(self) -> Iterator[bytes]:
        if self.start is not None:
            self.file.seek(self.start)  # a replay (a redirect or a retry) starts again
        yield self.head
        read = self.file.read
        while True:
            piece = read(CHUNK)
            if not piece:
                break
            yield piece if isinstance(piece, bytes) else piece.encode()
        yield b"\r\n"


class MultipartStream(Iterable[bytes], AsyncIterable[bytes]):
    """A multipart/form-data body read from its files as it is sent (sync or async
    iteration); ``content_length`` when every part's size is known."""

    def __init__(self, data: Mapping[str, Any] | None, files: Any,
                 boundary: bytes | None = None) -> None:
        self.boundary = boundary or secrets.token_hex(16).encode()
        parts: list[Any] = []
        for name, value in (data or {}).items():
            for v in value if isinstance(value, (list, tuple)) else [value]:
                parts.append(_Field(self.boundary, name, v))
        items = files.items() if isinstance(files, Mapping) else files
        for name, value in items:
            parts.append(_File(self.boundary, name, value))
        self._parts = parts
        self.content_type = "multipart/form-data; boundary=" + self.boundary.decode()
        sizes = [p.size() for p in parts]
        self.content_length = None if None in sizes else \
            sum(sizes) + len(self.boundary) + 6  # type: ignore[arg-type]
        self.replayable = all(isinstance(p, _Field) or p.start is not None for p in parts)

    def __iter__(self) -> Iterator[bytes]:
        for part in self._parts:
            yield from part.chunks()
        yield b"--" + self.boundary + b"--\r\n"

    async def __aiter__(self) -> AsyncIterator[bytes]:
        for chunk in self:
            yield chunk


_NO_FIELDS: list[tuple[str, str]] = []  # never changed


def encode_body(content: Any, data: Any, files: Any, json: Any
                ) -> tuple[Any, list[tuple[str, str]]]:
    """The body to send and the header fields it brings (``content-type``, ``content-length``
    when a stream's length is known)."""
    if json is not None:
        body = _json.dumps(json, separators=(",", ":"), ensure_ascii=False).encode()
        return body, [("content-type", "application/json")]
    if files:
        stream = MultipartStream(data if isinstance(data, Mapping) else None, files)
        extra = [("content-type", stream.content_type)]
        if stream.content_length is not None:
            extra.append(("content-length", str(stream.content_length)))
        return stream, extra
    if data is not None:
        if isinstance(data, Mapping):
            body = urlencode(list(data.items()), doseq=True).encode()
            return body, [("content-type", "application/x-www-form-urlencoded")]
        content = data
    if content is None or type(content) is bytes:
        return content, _NO_FIELDS
    if isinstance(content, str):
        return content.encode(), []
    if isinstance(content, (bytearray, memoryview)):
        return bytes(content), []
    if isinstance(content, (Iterable, AsyncIterable)):
        return content, []
    raise TypeError(f"unsupported request content {type(content).__name__}")
