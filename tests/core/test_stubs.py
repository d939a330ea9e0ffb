"""The type stubs agree with the built module."""

import os
import subprocess
import sys

import pytest

pytest.importorskip("mypy")


def test_stubtest_matches_module():
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "velmora._velmora"],
        capture_output=True,
        text=True,
        env=env,
        cwd=os.path.dirname(__file__),
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
