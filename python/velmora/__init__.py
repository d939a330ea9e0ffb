"""velmora: the protocol core of an HTTP/1.1 and HTTP/2 client and server library.

The native module ``velmora._velmora`` holds all protocol state and byte work; this package
re-exports it. ``serve`` runs the ASGI server (``velmora.server``); the async client is
``velmora.client``.
"""

from typing import Any

from velmora import _velmora
from velmora._velmora import *  # noqa: F401,F403

__all__ = list(_velmora.__all__)


def serve(app: Any, host: str = "127.0.0.1", port: int = 8000, **kwargs: Any) -> None:
    """Serve the ASGI application ``app`` (or ``"module:attribute"``) until interrupted; see
    ``velmora.server.Config`` for the keyword arguments."""
    from velmora.server.run import serve as _serve

    _serve(app, host=host, port=port, **kwargs)
