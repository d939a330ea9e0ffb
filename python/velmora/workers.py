"""velmora's server as a gunicorn worker class:

    gunicorn -k velmora.workers.VelmoraWorker app:app

gunicorn's master binds the sockets (``--bind``), starts and restarts the workers
(``--workers``, ``--max-requests``, ``--timeout``, its signals); each worker serves them with
velmora's HTTP/1.1 and HTTP/2 server, ASGI or WSGI applications alike."""

from __future__ import annotations

import asyncio
import logging
import os
import signal
from typing import Any

from gunicorn.workers.base import Worker  # type: ignore[import-untyped]

from velmora.server.config import Config
from velmora.server.server import Server, run_loop

WORKER_BOOT_ERROR = 3  # the exit status by which gunicorn's master learns a worker cannot boot


class VelmoraWorker(Worker):  # type: ignore[misc]
    """A gunicorn worker running velmora's server (uvloop when installed)."""

    CONFIG_KWARGS: dict[str, Any] = {"loop": "auto"}

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        # velmora's loggers write through gunicorn's handlers, at its level.
        for name, source in (("velmora.error", self.log.error_log),
                             ("velmora.access", self.log.access_log)):
            logger = logging.getLogger(name)
            logger.handlers = source.handlers
            logger.setLevel(source.level)
            logger.propagate = False
        self.server: Server | None = None

    def config_for(self, app: Any) -> Config:
        cfg = self.cfg
        kwargs: dict[str, Any] = {
            "app": app,
            "workers": 1,
            "access_log": bool(cfg.accesslog),
            "timeout_keep_alive": float(cfg.keepalive),
            "timeout_graceful_shutdown": float(cfg.graceful_timeout),
            "limit_max_connections": max(1, int(cfg.worker_connections)),
            "backlog": int(cfg.backlog),
            "forwarded_allow_ips": ",".join(cfg.forwarded_allow_ips)
            if isinstance(cfg.forwarded_allow_ips, (list, tuple)) else cfg.forwarded_allow_ips,
            "limit_max_requests": self.max_requests if cfg.max_requests > 0 else None,
            "limit_max_requests_jitter": 0,  # (gunicorn chose the jitter in max_requests)
            "lifespan": "auto",
        }
        if cfg.is_ssl:
            kwargs.update(ssl_certfile=cfg.certfile, ssl_keyfile=cfg.keyfile,
                          ssl_ca_certs=cfg.ca_certs, ssl_cert_reqs=int(cfg.cert_reqs),
                          ssl_ciphers=cfg.ciphers)
        kwargs.update(self.CONFIG_KWARGS)
        return Config(**kwargs)

    def init_signals(self) -> None:
        # The server handles SIGINT/SIGTERM (graceful) and SIGQUIT (at once) on its loop;
        # gunicorn's handlers stay for the others (SIGUSR1, SIGWINCH, SIGABRT).
        super().init_signals()
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGQUIT):
            signal.signal(sig, signal.SIG_DFL)

    def run(self) -> None:
        config = self.config_for(self.wsgi)
        self.server = server = Server(config)
        run_loop(self._serve(server), config.loop)
        if server.startup_failed:
            raise SystemExit(WORKER_BOOT_ERROR)

    async def _serve(self, server: Server) -> None:
        loop = asyncio.get_running_loop()
        loop.add_signal_handler(signal.SIGQUIT, self._quit, server)
        heartbeat = loop.create_task(self._heartbeat(server))
        try:
            await server.serve(sockets=[s.sock for s in self.sockets])
        finally:
            heartbeat.cancel()
            loop.remove_signal_handler(signal.SIGQUIT)

    def _quit(self, server: Server) -> None:
        server.force_exit = True
        server.should_exit = True

    async def _heartbeat(self, server: Server) -> None:
        """Tells the master this worker lives (its ``--timeout``), and stops when the master
        is gone or asked this worker to."""
        interval = max(0.5, min(1.0, self.timeout / 4)) if self.timeout else 1.0
        while True:
            self.notify()
            if not self.alive or self.ppid != os.getppid():
                server.should_exit = True
                return
            await asyncio.sleep(interval)
