"""``--workers N``: N server processes serving one listening socket that the supervisor binds
before it starts them (a taken address fails at once), restarted when one dies or stops
answering its health check, stopped together on SIGINT/SIGTERM. SIGHUP replaces the workers
one by one (each new one answers before an old one stops gracefully); SIGTTIN adds a worker,
SIGTTOU removes one."""

from __future__ import annotations

import asyncio
import dataclasses
import multiprocessing
import os
import signal
import socket
import time
from multiprocessing.connection import Connection, wait
from multiprocessing.process import BaseProcess
from types import FrameType

from velmora.server.config import Config
from velmora.server.logs import configure_logging
from velmora.server.logs import error_log as _log
from velmora.server.server import Server, run_loop
from velmora.server.sockets import bind_socket

STARTUP_FAILURE = 3
PING_INTERVAL = 2.0  # seconds between health checks of a worker


def _worker(config: Config, log_level: int | None, sock: socket.socket,
            health: Connection) -> None:
    configure_logging(log_level, access_log=config.access_log, log_config=config.log_config,
                      access_format=config.access_log_format)

    def ready() -> None:
        # Said unasked the moment the worker listens: from then on the supervisor holds it to
        # its health checks, even if a request blocks its loop before the first ping.
        try:
            health.send_bytes(b"ok")
        except OSError:
            pass

    server = Server(config, on_started=ready)

    async def main() -> None:
        loop = asyncio.get_running_loop()

        def answer() -> None:  # from the event loop: a worker whose loop is stuck stays silent
            try:
                health.recv_bytes()
                if server.started:
                    health.send_bytes(b"ok")
            except (EOFError, OSError):
                loop.remove_reader(health.fileno())
                server.shutdown_soon()  # the supervisor is gone

        loop.add_reader(health.fileno(), answer)
        await server.serve([sock])

    run_loop(main(), config.loop)
    if server.startup_failed:
        raise SystemExit(STARTUP_FAILURE)


@dataclasses.dataclass
class Worker:
    proc: BaseProcess
    health: Connection
    started: float
    pinged: float = 0.0  # when the unanswered ping went out (0: none)
    last_ping: float = 0.0
    ready: bool = False


class Supervisor:
    def __init__(self, config: Config) -> None:
        if not isinstance(config.app, str):
            raise ValueError("--workers needs the application as an import string "
                             '"module:attribute"')
        self.config = dataclasses.replace(config, workers=1)
        self.count = config.workers
        self.exit_code = 0
        self._stop = False
        self._signals: list[int] = []
        self._ctx = multiprocessing.get_context("spawn")
        self._sock: socket.socket | None = None
        self._retired: list[Worker] = []  # stopping gracefully

    def _spawn(self) -> Worker:
        ours, theirs = self._ctx.Pipe()
        proc = self._ctx.Process(target=_worker, name="velmora-worker", daemon=False,
                                 args=(self.config, self.config.log_level_number(),
                                       self._sock, theirs))
        proc.start()
        theirs.close()
        _log.info("Started worker process [%d]", proc.pid)
        return Worker(proc, ours, time.monotonic())

    def _signal(self, signum: int, frame: FrameType | None) -> None:
        if signum in (signal.SIGINT, signal.SIGTERM):
            self._stop = True
        else:
            self._signals.append(signum)

    def run(self) -> int:
        try:
            self._sock = bind_socket(self.config)
        except OSError as exc:
            _log.error("%s", exc)
            return STARTUP_FAILURE
        handled = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGTTIN, signal.SIGTTOU)
        previous = {sig: signal.signal(sig, self._signal) for sig in handled}
        _log.info("Started parent process [%d]", os.getpid())
        workers: list[Worker] = []
        try:
            workers = [self._spawn() for _ in range(self.count)]
            while not self._stop:
                wait([w.proc.sentinel for w in workers] + [w.health for w in workers],
                     timeout=0.2)
                self._check_health(workers)
                if self._stop:
                    break
                self._replace_dead(workers)
                for w in [w for w in self._retired if not w.proc.is_alive()]:
                    w.proc.join()
                    w.health.close()
                    self._retired.remove(w)
                while self._signals and not self._stop:
                    self._on_signal(self._signals.pop(0), workers)
            self._stop_all(workers)
            return self.exit_code
        finally:
            for sig, handler in previous.items():
                signal.signal(sig, handler)
            if self._sock is not None:
                self._sock.close()
            if self.config.uds is not None:
                try:
                    os.unlink(self.config.uds)
                except OSError:
                    pass
            _log.info("Stopping parent process [%d]", os.getpid())

    # ---- health -------------------------------------------------------------------------------

    def _check_health(self, workers: list[Worker]) -> None:
        """Pings each worker every PING_INTERVAL (a starting one more often, until it first
        answers); one that answered before and then stays silent beyond the health-check
        timeout is killed (and restarted as a dead one)."""
        now = time.monotonic()
        timeout = self.config.timeout_worker_healthcheck
        for w in workers:
            try:
                while w.health.poll():
                    w.health.recv_bytes()
                    w.pinged = 0.0
                    w.ready = True
            except (EOFError, OSError):
                continue  # the worker is gone: _replace_dead restarts it
            if not w.proc.is_alive():
                continue
            if w.pinged:
                if w.ready and now - w.pinged > timeout:
                    _log.error("Worker [%d] did not answer its health check within %gs; "
                               "restarting it", w.proc.pid, timeout)
                    w.proc.kill()
                elif not w.ready and now - w.pinged > 0.5:
                    w.pinged = 0.0  # still starting: ask again
                continue
            if now - w.last_ping >= (PING_INTERVAL if w.ready else 0.2):
                try:
                    w.health.send_bytes(b"?")
                except OSError:
                    continue
                w.pinged = w.last_ping = now

    def _wait_ready(self, w: Worker, timeout: float) -> bool:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and w.proc.is_alive() and not self._stop:
            try:
                w.health.send_bytes(b"?")
                if w.health.poll(0.1):
                    w.health.recv_bytes()
                    w.ready = True
                    return True
            except (EOFError, OSError):
                return False
        return False

    # ---- restarts and signals -----------------------------------------------------------------

    def _replace_dead(self, workers: list[Worker]) -> None:
        for i, w in enumerate(workers):
            if w.proc.is_alive() or self._stop:
                continue
            code = w.proc.exitcode
            if code == STARTUP_FAILURE:
                _log.error("Worker [%d] failed to start; stopping", w.proc.pid)
                self.exit_code = STARTUP_FAILURE
                self._stop = True
                return
            if code == 0:
                _log.info("Worker [%d] stopped; restarting it", w.proc.pid)
            else:
                _log.warning("Worker [%d] died (exit code %s); restarting", w.proc.pid, code)
                if time.monotonic() - w.started < 1.0:
                    time.sleep(1.0)  # a worker dying at once: don't spin
            w.health.close()
            workers[i] = self._spawn()

    def _on_signal(self, sig: int, workers: list[Worker]) -> None:
        if sig == signal.SIGTTIN:
            self.count += 1
            _log.info("Adding a worker (now %d)", self.count)
            workers.append(self._spawn())
        elif sig == signal.SIGTTOU:
            if self.count <= 1:
                _log.info("Not removing the last worker")
                return
            self.count -= 1
            _log.info("Removing a worker (now %d)", self.count)
            self._retire(workers.pop())
        elif sig == signal.SIGHUP:
            _log.info("Reloading the workers one by one")
            for i in range(len(workers)):
                if self._stop:
                    return
                fresh = self._spawn()
                if not self._wait_ready(fresh, max(self.config.timeout_worker_healthcheck,
                                                   30.0)):
                    _log.error("Worker [%d] did not become ready; keeping the old one",
                               fresh.proc.pid)
                    self._retire(fresh)
                    continue
                old, workers[i] = workers[i], fresh
                self._retire(old)

    def _retire(self, w: Worker) -> None:
        """Stops a worker gracefully (SIGTERM: it finishes its requests) in the background."""
        if w.proc.is_alive():
            w.proc.terminate()
        self._retired.append(w)

    def _stop_all(self, workers: list[Worker]) -> None:
        everyone = workers + self._retired
        for w in everyone:
            if w.proc.is_alive():
                w.proc.terminate()  # SIGTERM: graceful in the worker
        grace = self.config.timeout_graceful_shutdown
        deadline = time.monotonic() + (grace if grace is not None else 30.0) + 5.0
        for w in everyone:
            w.proc.join(max(0.0, deadline - time.monotonic()))
            if w.proc.is_alive():
                w.proc.kill()
                w.proc.join()
