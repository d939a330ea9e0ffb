"""Type stubs for the native core ``velmora._velmora``."""

from typing import Final, Iterable, Iterator, Mapping, Sequence, final, overload

__version__: Final[str]

# ---- errors ---------------------------------------------------------------------------------

class VelmoraError(Exception): ...
class ConnectionClosedError(VelmoraError): ...
class H1Error(VelmoraError): ...
class H1ParseError(H1Error): ...
class H1BodyError(H1Error): ...
class H1IncompleteMessageError(H1Error): ...
class H1UnexpectedMessageError(H1Error): ...
class H1UserError(H1Error): ...
class H2Error(VelmoraError): ...
class H2ProtocolError(H2Error): ...
class H2StreamError(H2Error): ...
class H2UserError(H2Error): ...
class H2FlowControlError(H2Error): ...

# ---- header map -----------------------------------------------------------------------------

_Name = str | bytes
_Value = str | bytes

@final
class HeaderMap:
    def __new__(
        cls,
        init: HeaderMap | Mapping[_Name, _Value] | Iterable[Sequence[_Name | _Value]] | None = None,
    ) -> HeaderMap: ...
    @overload
    def get(self, name: _Name) -> bytes | None: ...
    @overload
    def get(self, name: _Name, default: object) -> bytes | object: ...
    def get_all(self, name: _Name) -> list[bytes]: ...
    def add(self, name: _Name, value: _Value) -> None: ...
    def setdefault(self, name: _Name, value: _Value) -> bytes: ...
    def keys(self) -> list[str]: ...
    def values(self) -> list[bytes]: ...
    def items(self) -> list[tuple[str, bytes]]: ...
    def raw_items(self) -> list[tuple[bytes, bytes]]: ...
    def __getitem__(self, name: _Name, /) -> bytes: ...
    def __setitem__(self, name: _Name, value: _Value, /) -> None: ...
    def __delitem__(self, name: _Name, /) -> None: ...
    def __contains__(self, name: object, /) -> bool: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[str]: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: None  # type: ignore[assignment]

# ---- functions ------------------------------------------------------------------------------

def http_date() -> bytes: ...
def uri_parts(url: str) -> tuple[str | None, str | None, int | None, str | None]: ...

# ---- constants ------------------------------------------------------------------------------

H2_FLAG_WAKE: Final[int]
H2_FLAG_SLOT_FREED: Final[int]
H2_FLAG_CONN_DONE: Final[int]
H2_FLAG_STOP_ACCEPTING: Final[int]
H2_HEADERS_IGNORED: Final[int]
H2_HEADERS_OPENED: Final[int]
H2_HEADERS_HEAD: Final[int]
H2_HEADERS_TRAILERS: Final[int]
H2_DEFAULT_HEADER_TABLE_SIZE: Final[int]
H2_DEFAULT_INITIAL_WINDOW_SIZE: Final[int]
H2_DEFAULT_MAX_FRAME_SIZE: Final[int]
H2_MAX_MAX_FRAME_SIZE: Final[int]
H2_MAX_STREAM_ID: Final[int]
H2_DEFAULT_DATA_FRAME_OVERHEAD_THRESHOLD: Final[int]
H2_DEFAULT_DATA_FRAME_BUDGET: Final[int]
H2_MAX_RECV_EMPTY_DATA_FRAMES: Final[int]
H2_PREFACE: Final[bytes]
H1_WATCH_HANDOFF: Final[int]
H1_WATCH_IDLE_EOF: Final[int]
H1_WATCH_IDLE_BYTES: Final[int]
H1_WATCH_IDLE_ERROR: Final[int]
H1_WATCH_IGNORED: Final[int]
H1_NEXT_NONE: Final[int]
H1_NEXT_RAISE: Final[int]
H1_NEXT_CLOSE: Final[int]
H1_NEXT_DRAIN: Final[int]
H1_READ_PARSE: Final[int]
H1_READ_SHUTDOWN: Final[int]
H1_READ_WATCHER: Final[int]
H1_READ_TRANSPORT: Final[int]
H1_READ_EOF: Final[int]
H1_REQ_OK: Final[int]
H1_REQ_ALREADY: Final[int]
H1_REQ_STALE: Final[int]
H1_REQ_PARKED: Final[int]
H1_REQ_PEER_CLOSED: Final[int]
H1_REQ_CONTINUE: Final[int]

# ---- HTTP/2 classes -------------------------------------------------------------------------

# ---- HTTP/1 classes -------------------------------------------------------------------------

# ---- proxy selection ------------------------------------------------------------------------

# ---- exported names, in registration order ---------------------------------------------

__all__ = [
    "__version__",
    "VelmoraError",
    "ConnectionClosedError",
    "HeaderMap",
    "http_date",
    "uri_parts",
    "H2_FLAG_WAKE",
    "H2_FLAG_SLOT_FREED",
    "H2_FLAG_CONN_DONE",
    "H2_FLAG_STOP_ACCEPTING",
    "H2_HEADERS_IGNORED",
    "H2_HEADERS_OPENED",
    "H2_HEADERS_HEAD",
    "H2_HEADERS_TRAILERS",
    "H2Error",
    "H2ProtocolError",
    "H2StreamError",
    "H2UserError",
    "H2FlowControlError",
    "H2_DEFAULT_HEADER_TABLE_SIZE",
    "H2_DEFAULT_INITIAL_WINDOW_SIZE",
    "H2_DEFAULT_MAX_FRAME_SIZE",
    "H2_MAX_MAX_FRAME_SIZE",
    "H2_MAX_STREAM_ID",
    "H2_DEFAULT_DATA_FRAME_OVERHEAD_THRESHOLD",
    "H2_DEFAULT_DATA_FRAME_BUDGET",
    "H2_MAX_RECV_EMPTY_DATA_FRAMES",
    "H2_PREFACE",
    "H1Error",
    "H1ParseError",
    "H1BodyError",
    "H1IncompleteMessageError",
    "H1UnexpectedMessageError",
    "H1UserError",
    "H1_WATCH_HANDOFF",
    "H1_WATCH_IDLE_EOF",
    "H1_WATCH_IDLE_BYTES",
    "H1_WATCH_IDLE_ERROR",
    "H1_WATCH_IGNORED",
    "H1_NEXT_NONE",
    "H1_NEXT_RAISE",
    "H1_NEXT_CLOSE",
    "H1_NEXT_DRAIN",
    "H1_READ_PARSE",
    "H1_READ_SHUTDOWN",
    "H1_READ_WATCHER",
    "H1_READ_TRANSPORT",
    "H1_READ_EOF",
    "H1_REQ_OK",
    "H1_REQ_ALREADY",
    "H1_REQ_STALE",
    "H1_REQ_PARKED",
    "H1_REQ_PEER_CLOSED",
    "H1_REQ_CONTINUE",
]
