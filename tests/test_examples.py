"""The README's example command runs and shows the parsed head."""

import subprocess
import sys
from pathlib import Path

DEMO = Path(__file__).resolve().parent.parent / "examples" / "demo.py"


def test_demo_parses_and_prints_the_head():
    out = subprocess.run([sys.executable, str(DEMO)], capture_output=True, text=True, check=True)
    assert "method: POST  target: /search?q=velmora  body: length 5" in out.stdout
    assert "  accept: */*" in out.stdout
    assert "'HTTP/1.1 200 OK'" in out.stdout
