"""Response content decoding (``Content-Encoding``, RFC 9110, 8.4): gzip, deflate, br and zstd,
incremental, with a bound on how far a body may expand.

``br`` needs ``brotli`` (or ``brotlicffi``) and ``zstd`` needs ``zstandard`` (or Python 3.14's
``compression.zstd``); :data:`ACCEPT_ENCODING` lists only what can be decoded here.
"""

from __future__ import annotations

import importlib
import zlib
from collections.abc import Callable
from typing import Any

from .errors import DecodingError

__all__ = ["ACCEPT_ENCODING", "ContentDecoder", "decoder_for", "MAX_RATIO", "RATIO_FLOOR"]

#: A body may expand to this many times its encoded size ...
MAX_RATIO = 1000
#: ... once it has decoded past this many bytes.
RATIO_FLOOR = 8 * 1024 * 1024
#: Decoded bytes produced per step at most (the rest stays in the decoder until asked).
STEP = 256 * 1024

def _optional(*names: str) -> Any:
    for name in names:
        try:
            return importlib.import_module(name)
        except ImportError:
            continue
    return None


_brotli: Any = _optional("brotli", "brotlicffi")
_zstd: Any = _optional("zstandard", "compression.zstd")


class _Zlib:
    """gzip (``wbits=31``) or deflate: the zlib format, or raw deflate as some servers send."""

    __slots__ = ("_d", "_raw_fallback", "_started")

    def __init__(self, wbits: int) -> None:
        self._d = zlib.decompressobj(wbits)
        self._raw_fallback = wbits == zlib.MAX_WBITS
        self._started = False

    def feed(self, data: bytes) -> list[bytes]:
        out = []
        d = self._d
        try:
            piece = d.decompress(data, STEP)
        except zlib.error:
            if self._raw_fallback and not self._started:
                self._d = d = zlib.decompressobj(-zlib.MAX_WBITS)
                piece = d.decompress(data, STEP)
            else:
                raise
        self._started = True
        out.append(piece)
        while d.unconsumed_tail:
            out.append(d.decompress(d.unconsumed_tail, STEP))
        if d.eof and d.unused_data and self._d.unused_data.strip(b"\0"):
            # concatenated gzip members (RFC 1952, 2.2)
            rest = d.unused_data
            self._d = zlib.decompressobj(31 if not self._raw_fallback else zlib.MAX_WBITS)
            out.extend(self.feed(rest))
        return out

    def flush(self) -> list[bytes]:
        return [self._d.flush()]


class _Brotli:
    __slots__ = ("_d",)

    def __init__(self) -> None:
        self._d = _brotli.Decompressor()

    def feed(self, data: bytes) -> list[bytes]:
        d = self._d
        if not hasattr(d, "can_accept_more_data"):  # pragma: no cover - older brotli
            return [d.process(data)]
        out = [d.process(data, output_buffer_limit=STEP)]
        while not d.can_accept_more_data():
            out.append(d.process(b"", output_buffer_limit=STEP))
        return out

    def flush(self) -> list[bytes]:
        return []


class _Zstd:
    __slots__ = ("_d",)

    def __init__(self) -> None:
        d = _zstd.ZstdDecompressor()
        # zstandard's streaming object, or the standard library's decompressor itself
        self._d = d.decompressobj() if hasattr(d, "decompressobj") else d

    def feed(self, data: bytes) -> list[bytes]:
        out = []
        for i in range(0, len(data), 4096):  # bounds the output of one call
            out.append(self._d.decompress(data[i:i + 4096]))
        return out

    def flush(self) -> list[bytes]:
        return []


_FACTORIES: dict[str, Callable[[], Any]] = {
    "gzip": lambda: _Zlib(31),
    "x-gzip": lambda: _Zlib(31),
    "deflate": lambda: _Zlib(zlib.MAX_WBITS),
}
if _brotli is not None:
    _FACTORIES["br"] = _Brotli
if _zstd is not None:
    _FACTORIES["zstd"] = _Zstd

ACCEPT_ENCODING = ", ".join(n for n in ("gzip", "deflate", "br", "zstd") if n in _FACTORIES)


class ContentDecoder:
    """Decodes a body encoded with one or more codings (applied in order, undone in reverse)."""

    __slots__ = ("_chain", "_in", "_out")

    def __init__(self, codings: list[str]) -> None:
        self._chain = [_FACTORIES[c]() for c in reversed(codings)]
        self._in = 0
        self._out = 0

    def decode(self, data: bytes) -> bytes:
        self._in += len(data)
        pieces = [data]
        try:
            for step in self._chain:
                nxt: list[bytes] = []
                for p in pieces:
                    if p:
                        nxt.extend(self._checked(step.feed(p)))
                pieces = nxt
        except DecodingError:
            raise
        except Exception as exc:
            raise DecodingError(f"the response body could not be decoded: {exc}") from exc
        return b"".join(pieces)

    def flush(self) -> bytes:
        pieces: list[bytes] = []
        try:
            for step in self._chain:
                nxt: list[bytes] = []
                for p in pieces:
                    if p:
                        nxt.extend(self._checked(step.feed(p)))
                nxt.extend(self._checked(step.flush()))
                pieces = nxt
        except DecodingError:
            raise
        except Exception as exc:
            raise DecodingError(f"the response body could not be decoded: {exc}") from exc
        return b"".join(pieces)

    def _checked(self, pieces: list[bytes]) -> list[bytes]:
        self._out += sum(len(p) for p in pieces)
        if self._out > RATIO_FLOOR and self._out > MAX_RATIO * max(self._in, 1):
            raise DecodingError(
                f"the response body expands more than {MAX_RATIO} times "
                f"({self._in} bytes decoded to more than {self._out}): refused as a "
                "decompression bomb")
        return pieces


def decoder_for(content_encoding: bytes | None) -> ContentDecoder | None:
    """The decoder of a ``Content-Encoding`` value, or ``None`` for identity or a coding this
    client does not know (the body is then handed over as it came, as httpx does)."""
    if not content_encoding:
        return None
    codings = [c.strip().lower() for c in content_encoding.decode("latin-1").split(",")]
    codings = [c for c in codings if c and c != "identity"]
    if not codings or any(c not in _FACTORIES for c in codings):
        return None
    return ContentDecoder(codings)
