"""The server's two loggers, ``velmora.error`` and ``velmora.access``, and their set-up for
the command line (both to stderr, or as a logging configuration file says)."""

from __future__ import annotations

import json
import logging
import logging.config
import os
import sys
import time
from typing import Any

logging.addLevelName(5, "TRACE")

error_log = logging.getLogger("velmora.error")
access_log = logging.getLogger("velmora.access")
_access_log = access_log  # (the parameter of ``configure_logging`` shadows the name)

# The fields of an access record, in the order of its arguments (``asgi.log_access``).
ACCESS_FIELDS = ("client", "method", "path", "http_version", "status", "bytes", "duration_ms")


class AccessFormatter(logging.Formatter):
    """Access records as ``fmt`` says: "json" writes one JSON object per line, any other
    text is a ``str.format`` template of the ``ACCESS_FIELDS`` (and ``time``)."""

    def __init__(self, fmt: str) -> None:
        super().__init__()
        self.template = fmt

    def format(self, record: logging.LogRecord) -> str:
        args = record.args
        if not isinstance(args, tuple) or len(args) != len(ACCESS_FIELDS):
            return super().format(record)
        fields: dict[str, Any] = dict(zip(ACCESS_FIELDS, args))
        fields["duration_ms"] = round(float(fields["duration_ms"]), 3)
        fields["time"] = time.strftime("%Y-%m-%dT%H:%M:%S%z", time.localtime(record.created))
        if self.template == "json":
            return json.dumps(fields, separators=(",", ":"))
        return self.template.format(**fields)


def configure_logging(level: int | None, *, access_log: bool = True,
                      log_config: str | dict[str, Any] | None = None,
                      access_format: str | None = None) -> None:
    """The loggers of the command line; ``log_config`` (a dict for ``dictConfig``, or a
    .json, .yaml/.yml or .ini file) replaces the default handlers."""
    if log_config is not None:
        apply_log_config(log_config)
    else:
        handler = logging.StreamHandler(sys.stderr)
        handler.setFormatter(logging.Formatter("%(levelname)-8s %(message)s"))
        for logger in (error_log, _access_log):
            logger.handlers[:] = [handler]
            logger.propagate = False
        if access_format is not None:
            access_handler = logging.StreamHandler(sys.stderr)
            access_handler.setFormatter(AccessFormatter(access_format))
            _access_log.handlers[:] = [access_handler]
    if level is not None or log_config is None:
        level = logging.INFO if level is None else level
        for logger in (error_log, _access_log):
            logger.setLevel(level)
    if not access_log:
        _access_log.setLevel(logging.WARNING)


def apply_log_config(log_config: str | dict[str, Any]) -> None:
    if isinstance(log_config, dict):
        logging.config.dictConfig(log_config)
        return
    if not os.path.isfile(log_config):
        raise OSError(f"logging configuration file {log_config!r} not found")
    if log_config.endswith(".json"):
        with open(log_config) as f:
            logging.config.dictConfig(json.load(f))
    elif log_config.endswith((".yaml", ".yml")):
        import yaml  # type: ignore[import-untyped]  # (PyYAML: only for YAML files)

        with open(log_config) as f:
            logging.config.dictConfig(yaml.safe_load(f))
    else:
        logging.config.fileConfig(log_config, disable_existing_loggers=False)
