"""Exceptions raised by the client.

Every failure of a request is a :class:`RequestError`; the subclass says what failed (connecting,
reading, writing, waiting for a pool slot, the peer breaking the protocol, a proxy refusing).
Errors that come from the protocol core keep the core's :class:`velmora.VelmoraError` as
``__cause__``.
"""

from __future__ import annotations

__all__ = [
    "HTTPError",
    "RequestError",
    "TransportError",
    "TimeoutException",
    "ConnectTimeout",
    "ReadTimeout",
    "WriteTimeout",
    "PoolTimeout",
    "NetworkError",
    "ConnectError",
    "ReadError",
    "WriteError",
    "CloseError",
    "ProtocolError",
    "LocalProtocolError",
    "RemoteProtocolError",
    "ProxyError",
    "UnsupportedProtocol",
    "DecodingError",
    "TooManyRedirects",
    "ResponseNotRead",
    "StreamConsumed",
    "StreamClosed",
    "ClientClosed",
]


class HTTPError(Exception):
    """Root of every exception of the client."""


class RequestError(HTTPError):
    """A request could not be completed. ``request`` names it as ``(method, url)`` when known."""

    def __init__(self, message: str, *, request: tuple[str, str] | None = None) -> None:
        super().__init__(message)
        self.request = request


class TransportError(RequestError):
    """The connection failed while the request was in flight."""


class TimeoutException(TransportError):
    """A timeout expired (connect, read, write or pool)."""


class ConnectTimeout(TimeoutException):
    """Opening the connection (TCP, proxy tunnel or TLS handshake) took too long."""


class ReadTimeout(TimeoutException):
    """The server sent nothing for longer than the read timeout."""


class WriteTimeout(TimeoutException):
    """The request body could not be written within the write timeout."""


class PoolTimeout(TimeoutException):
    """No connection became free within the pool timeout."""


class NetworkError(TransportError):
    """A socket-level failure."""


class ConnectError(NetworkError):
    """The connection could not be opened (refused, unreachable, name not resolved, TLS failed)."""


class ReadError(NetworkError):
    """Reading from the connection failed or it closed before the response was complete."""


class WriteError(NetworkError):
    """Writing the request to the connection failed."""


class CloseError(NetworkError):
    """Closing the connection failed."""


class ProtocolError(TransportError):
    """One side broke HTTP."""


class LocalProtocolError(ProtocolError):
    """This client was asked to send something HTTP does not allow (a body shorter than its
    declared length, an invalid method or URL)."""


class RemoteProtocolError(ProtocolError):
    """The server broke HTTP: a malformed head, a malformed or truncated body, unsolicited bytes,
    or a close before the response was complete."""


class ProxyError(TransportError):
    """The proxy refused the request or the tunnel."""


class UnsupportedProtocol(TransportError):
    """The URL's scheme, or a requested protocol feature, is not supported."""


class DecodingError(RequestError):
    """The response body could not be decoded (a corrupt or over-expanding ``Content-Encoding``)."""


class TooManyRedirects(RequestError):
    """More redirects than ``max_redirects`` were followed."""


class StreamError(RuntimeError):
    """Misuse of a response stream."""


class ResponseNotRead(StreamError):
    """The response body was accessed before ``read()``."""

    def __init__(self) -> None:
        super().__init__("the response body has not been read: call `await response.read()` first")


class StreamConsumed(StreamError):
    """The response body was already iterated."""

    def __init__(self) -> None:
        super().__init__("the response body was already consumed")


class StreamClosed(StreamError):
    """The response was closed before its body was read."""

    def __init__(self) -> None:
        super().__init__("the response was closed before its body was read")


class ClientClosed(HTTPError, RuntimeError):
    """A request was made on a closed client."""
