"""The server's two loggers, ``velmora.error`` and ``velmora.access``, and their set-up for
the command line (both to stderr)."""

from __future__ import annotations

import logging
import sys

logging.addLevelName(5, "TRACE")

error_log = logging.getLogger("velmora.error")
access_log = logging.getLogger("velmora.access")
_access_log = access_log  # (the parameter of ``configure_logging`` shadows the name)


def configure_logging(level: int | None, *, access_log: bool = True) -> None:
    level = logging.INFO if level is None else level
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(levelname)-8s %(message)s"))
    for logger in (error_log, _access_log):
        logger.handlers[:] = [handler]
        logger.setLevel(level)
        logger.propagate = False
    if not access_log:
        _access_log.setLevel(logging.WARNING)
