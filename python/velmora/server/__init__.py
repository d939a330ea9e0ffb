"""velmora's ASGI server: ``velmora serve APP`` on the command line, ``velmora.serve(app)``
or ``await Server(Config(app)).serve()`` from Python."""

from velmora.server.asgi import ClientDisconnected
from velmora.server.config import Config
from velmora.server.run import serve
from velmora.server.server import Server

__all__ = ["ClientDisconnected", "Config", "Server", "serve"]
