"""velmora: the protocol core of an HTTP/1.1 and HTTP/2 client and server library.

The native module ``velmora._velmora`` holds all protocol state and byte work; this package
re-exports it. ``serve`` runs the ASGI server (``velmora.server``); the clients are in
``velmora.client``, and ``get``/``post``/... send one request with a blocking client.
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


def request(method: str, url: str, **kwargs: Any) -> Any:
    """One request with a short-lived blocking client (``velmora.client.Client``), as
    ``requests.request`` does: ``velmora.get(url, params=..., headers=..., timeout=...)``.
    Client options (``verify``, ``proxy``, ``follow_redirects``, ...) may be given too."""
    from velmora.client import Client

    options = {k: kwargs.pop(k) for k in _CLIENT_OPTIONS if k in kwargs}
    with Client(**options) as client:
        return client.request(method, url, **kwargs)


_CLIENT_OPTIONS = ("verify", "cert", "proxy", "trust_env", "http1", "http2", "base_url",
                   "max_redirects", "allow_insecure_redirects", "local_address")


def get(url: str, **kwargs: Any) -> Any:
    return request("GET", url, **kwargs)


def head(url: str, **kwargs: Any) -> Any:
    return request("HEAD", url, **kwargs)


def options(url: str, **kwargs: Any) -> Any:
    return request("OPTIONS", url, **kwargs)


def post(url: str, **kwargs: Any) -> Any:
    return request("POST", url, **kwargs)


def put(url: str, **kwargs: Any) -> Any:
    return request("PUT", url, **kwargs)


def patch(url: str, **kwargs: Any) -> Any:
    return request("PATCH", url, **kwargs)


def delete(url: str, **kwargs: Any) -> Any:
    return request("DELETE", url, **kwargs)
