"""``velmora.serve``: one server process, or a supervisor of several (``workers``)."""

from __future__ import annotations

from typing import Any

from velmora.server.asgi import ASGIApp
from velmora.server.config import Config
from velmora.server.server import Server
from velmora.server.supervisor import Supervisor


def serve(app: ASGIApp | str, host: str = "127.0.0.1", port: int = 8000, **kwargs: Any) -> None:
    """Serve ``app`` (an ASGI application or ``"module:attribute"``) until interrupted."""
    config = Config(app, host=host, port=port, **kwargs)
    if config.workers > 1 or (config.limit_max_requests is not None
                              and isinstance(config.app, str)):
        Supervisor(config).run()
    else:
        Server(config).run()
