"""The README's example command runs and shows the parsed head."""

import subprocess
import sys
from pathlib import Path

DEMO = Path(__file__).resolve().parents[2] / "examples" / "demo.py"


def test_demo_parses_and_prints_the_head():
    out = subprocess.run([sys.executable, str(DEMO)], capture_output=True, text=True, check=True)
    assert "method: POST  target: /search?q=velmora  body: length 5" in out.stdout
    assert "  accept: */*" in out.stdout
    assert "'HTTP/1.1 200 OK'" in out.stdout


def test_hello_app_answers_over_http():
    import httpx

    from server_util import Running

    root = str(DEMO.parent.parent)
    with Running("examples.hello:app", app_dir=root) as srv:
        r = httpx.get(srv.url("/"), timeout=10)
    assert r.status_code == 200 and r.text == "Hello, world!"
    assert r.headers["content-type"] == "text/plain" and r.headers["content-length"] == "13"
