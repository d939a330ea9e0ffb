"""``--workers N``: N server processes sharing the port through SO_REUSEPORT, restarted when
one dies, stopped together on SIGINT/SIGTERM."""

from __future__ import annotations

import dataclasses
import multiprocessing
import signal
import time
from multiprocessing.connection import wait
from multiprocessing.process import BaseProcess
from types import FrameType

from velmora.server.config import Config
from velmora.server.logs import configure_logging
from velmora.server.logs import error_log as _log
from velmora.server.server import Server

STARTUP_FAILURE = 3


def _worker(config: Config, log_level: int | None) -> None:
    configure_logging(log_level, access_log=config.access_log)
    server = Server(config)
    server.run()
    if server.startup_failed:
        raise SystemExit(STARTUP_FAILURE)


class Supervisor:
    def __init__(self, config: Config) -> None:
        if not isinstance(config.app, str):
            raise ValueError("--workers needs the application as an import string "
                             '"module:attribute"')
        if config.port == 0:
            raise ValueError("--workers needs a fixed port")
        self.config = dataclasses.replace(config, workers=1, reuse_port=True)
        self.count = config.workers
        self.exit_code = 0
        self._stop = False
        self._ctx = multiprocessing.get_context("spawn")

    def _spawn(self) -> BaseProcess:
        proc = self._ctx.Process(target=_worker, name="velmora-worker", daemon=False,
                                 args=(self.config, self.config.log_level_number()))
        proc.start()
        _log.info("Started worker process [%d]", proc.pid)
        return proc

    def _signal(self, signum: int, frame: FrameType | None) -> None:
        self._stop = True

    def run(self) -> int:
        previous = {sig: signal.signal(sig, self._signal) for sig in (signal.SIGINT,
                                                                      signal.SIGTERM)}
        try:
            procs = [self._spawn() for _ in range(self.count)]
            started = {p.pid: time.monotonic() for p in procs}
            while not self._stop:
                wait([p.sentinel for p in procs], timeout=0.2)
                for i, proc in enumerate(procs):
                    if proc.is_alive() or self._stop:
                        continue
                    code = proc.exitcode
                    if code == STARTUP_FAILURE:
                        _log.error("Worker [%d] failed to start; stopping", proc.pid)
                        self.exit_code = STARTUP_FAILURE
                        self._stop = True
                        break
                    _log.warning("Worker [%d] died (exit code %s); restarting", proc.pid, code)
                    if time.monotonic() - started.get(proc.pid, 0.0) < 1.0:
                        time.sleep(1.0)  # a worker dying at once: don't spin
                    procs[i] = self._spawn()
                    started[procs[i].pid] = time.monotonic()
            for proc in procs:
                if proc.is_alive():
                    proc.terminate()  # SIGTERM: graceful in the worker
            grace = self.config.timeout_graceful_shutdown
            deadline = time.monotonic() + (grace if grace is not None else 30.0) + 5.0
            for proc in procs:
                proc.join(max(0.0, deadline - time.monotonic()))
                if proc.is_alive():
                    proc.kill()
                    proc.join()
            return self.exit_code
        finally:
            for sig, handler in previous.items():
                signal.signal(sig, handler)
