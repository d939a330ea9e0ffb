"""``--reload``: run the server as a child process and start a new one whenever a watched file
changes. Changes are seen through ``watchfiles`` when it is installed, else by polling
modification times."""

from __future__ import annotations

import fnmatch
import os
import signal
import subprocess
import threading
from pathlib import Path
from types import FrameType
from typing import Iterator

from velmora.server.logs import error_log as _log

EXCLUDED_DIRS = {".git", "__pycache__", ".venv", "venv", "node_modules", ".mypy_cache",
                 ".pytest_cache", ".tox"}


class Reloader:
    def __init__(self, argv: list[str], *, dirs: list[str], includes: list[str],
                 excludes: list[str], delay: float) -> None:
        self.argv = argv
        self.dirs = [Path(d).resolve() for d in dirs]
        self.includes = includes
        self.excludes = excludes
        self.delay = max(delay, 0.05)
        self._stop = threading.Event()

    def watched(self, path: Path) -> bool:
        name = path.name
        parts = set(path.parts)
        if parts & EXCLUDED_DIRS:
            return False
        if any(fnmatch.fnmatch(name, p) or fnmatch.fnmatch(str(path), p) or p in parts
               for p in self.excludes):
            return False
        return any(fnmatch.fnmatch(name, p) for p in self.includes)

    def _files(self) -> Iterator[Path]:
        for root in self.dirs:
            for dirpath, dirnames, filenames in os.walk(root):
                dirnames[:] = [d for d in dirnames
                               if d not in EXCLUDED_DIRS and d not in self.excludes]
                for name in filenames:
                    path = Path(dirpath, name)
                    if self.watched(path):
                        yield path

    def _snapshot(self) -> dict[Path, float]:
        out = {}
        for path in self._files():
            try:
                out[path] = path.stat().st_mtime
            except OSError:
                pass
        return out

    def changes(self) -> Iterator[list[Path]]:
        """Each batch of changed watched files, until stopped."""
        try:
            import watchfiles
        except ImportError:
            _log.info("Watching %s by polling (install watchfiles for change notification)",
                      ", ".join(map(str, self.dirs)))
            yield from self._poll()
            return
        _log.info("Watching %s for changes", ", ".join(map(str, self.dirs)))
        for batch in watchfiles.watch(*self.dirs, watch_filter=lambda _c, p: self.watched(
                Path(p)), stop_event=self._stop, debounce=max(50, int(self.delay * 1000)),
                rust_timeout=int(self.delay * 1000) + 500, yield_on_timeout=False):
            yield [Path(p) for _, p in batch]

    def _poll(self) -> Iterator[list[Path]]:
        before = self._snapshot()
        while not self._stop.wait(self.delay):
            now = self._snapshot()
            changed = [p for p in now.keys() | before.keys() if now.get(p) != before.get(p)]
            before = now
            if changed:
                yield changed

    def _signal(self, signum: int, frame: FrameType | None) -> None:
        self._stop.set()

    def run(self) -> int:
        previous = {sig: signal.signal(sig, self._signal)
                    for sig in (signal.SIGINT, signal.SIGTERM)}
        _log.info("Started reloader process [%d]", os.getpid())
        child = self._start()
        try:
            for changed in self.changes():
                if self._stop.is_set():
                    break
                _log.warning("%s changed, reloading",
                             ", ".join(str(p) for p in sorted(changed)[:3]))
                self._end(child)
                child = self._start()
        finally:
            self._end(child)
            for sig, handler in previous.items():
                signal.signal(sig, handler)
            _log.info("Stopping reloader process [%d]", os.getpid())
        return 0

    def _start(self) -> subprocess.Popen[bytes]:
        return subprocess.Popen(self.argv)

    def _end(self, child: subprocess.Popen[bytes]) -> None:
        if child.poll() is None:
            child.terminate()
            try:
                child.wait(30)
            except subprocess.TimeoutExpired:
                child.kill()
                child.wait()
