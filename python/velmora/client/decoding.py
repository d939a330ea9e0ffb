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
    """gzip (``wbits=31``) or deflate: the zlib format, or raw deflate as some servers send
    (told apart by the zlib header, RFC 1950, 2.2, once its two bytes are in)."""

    __slots__ = ("_d", "_head", "_wbits", "gzip")

    def __init__(self, wbits: int) -> None:
        self._wbits = wbits
        self.gzip = wbits == 31
        self._d: Any = zlib.decompressobj(wbits) if self.gzip else None
        self._head = b""

    def feed(self, data: bytes) -> list[bytes]:
        d = self._d
        if d is None:  # deflate: zlib-wrapped or raw?
            data = self._head + data
            if len(data) < 2:
                self._head = data
                return []
            cmf, flg = data[0], data[1]
            wrapped = cmf & 0x0F == 8 and (cmf * 256 + flg) % 31 == 0
            self._d = d = zlib.decompressobj(zlib.MAX_WBITS if wrapped else -zlib.MAX_WBITS)
        out = [d.decompress(data, STEP)]
        while d.unconsumed_tail:
            out.append(d.decompress(d.unconsumed_tail, STEP))
        if self.gzip and d.eof and d.unused_data.strip(b"\0"):
            # concatenated gzip members (RFC 1952, 2.2)
            rest = d.unused_data
            self._d = zlib.decompressobj(31)
            out.extend(self.feed(rest))
        return out

    def flush(self) -> list[bytes]:
        return [self._d.flush()] if self._d is not None else []


class _Brotli:
    __slots__ = ("_d", "_seen")

    def __init__(self) -> None:
        self._d = _brotli.Decompressor()
        self._seen = False

    def feed(self, data: bytes) -> list[bytes]:
        d = self._d
        self._seen = True
        if not hasattr(d, "can_accept_more_data"):  # pragma: no cover - older brotli
            return [d.process(data)]
        out = [d.process(data, output_buffer_limit=STEP)]
        while not d.can_accept_more_data():
            out.append(d.process(b"", output_buffer_limit=STEP))
        return out

    def flush(self) -> list[bytes]:
        finished = getattr(self._d, "is_finished", None)
        if self._seen and finished is not None and not finished():
            raise DecodingError("the br-encoded response body is truncated")
        return []


class _Zstd:
    __slots__ = ("_d", "_seen")

    def __init__(self) -> None:
        d = _zstd.ZstdDecompressor()
        # zstandard's streaming object, or the standard library's decompressor itself
        self._d = d.decompressobj() if hasattr(d, "decompressobj") else d
        self._seen = False

    def feed(self, data: bytes) -> list[bytes]:
        self._seen = True
        out = []
        for i in range(0, len(data), 4096):  # bounds the output of one call
            out.append(self._d.decompress(data[i:i + 4096]))
        return out

    def flush(self) -> list[bytes]:
        if self._seen and not getattr(self._d, "eof", True):
            raise DecodingError("the zstd-encoded response body is truncated")
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
        return self._run([data], False)

    def flush(self) -> bytes:
        return self._run([], True)

    def _run(self, pieces: list[bytes], flush: bool) -> bytes:
        """``pieces`` through every step of the chain (each flushed too, at the end)."""
        try:
            for step in self._chain:
                nxt: list[bytes] = []
                for p in pieces:
                    if p:
                        nxt.extend(self._checked(step.feed(p)))
                if flush:
                    nxt.extend(self._checked(step.flush()))
                pieces = nxt
        except DecodingError:
            raise
        except Exception as exc:
            raise DecodingError(f"the response body could not be decoded: {exc}") from exc
        return b"".join(pieces)

    def decode_all(self, data: bytes) -> bytes:
        """The decoded form of a whole body (``decode`` and ``flush`` in one). A single gzip
        member is inflated in one call into a buffer of the size its trailer declares (once
        that size is within the expansion bound, and checked against it after)."""
        chain = self._chain
        if len(chain) == 1 and type(chain[0]) is _Zlib and chain[0].gzip and not self._in \
                and len(data) > 18 and data[:3] == b"\x1f\x8b\x08" \
                and data.find(b"\x1f\x8b\x08", 10) == -1:  # no second member can start
            size = int.from_bytes(data[-4:], "little")
            if size <= max(RATIO_FLOOR, MAX_RATIO * len(data)):
                try:
                    out = zlib.decompress(data, 31, max(size, 1))
                except zlib.error as exc:
                    raise DecodingError(f"the response body could not be decoded: {exc}") \
                        from exc
                if len(out) == size:
                    self._in = len(data)
                    self._out = size
                    return out
        return self.decode(data) + self.flush()

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
