"""Logging set-up for the command line: ``velmora.error`` and ``velmora.access`` to stderr."""

from __future__ import annotations

import logging
import sys

logging.addLevelName(5, "TRACE")


def configure_logging(level: int | None, *, access_log: bool = True) -> None:
    level = logging.INFO if level is None else level
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(levelname)-8s %(message)s"))
    for name in ("velmora.error", "velmora.access"):
        logger = logging.getLogger(name)
        logger.handlers[:] = [handler]
        logger.setLevel(level)
        logger.propagate = False
    if not access_log:
        logging.getLogger("velmora.access").setLevel(logging.WARNING)
