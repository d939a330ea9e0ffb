"""The Autobahn WebSocket test suite against velmora's server and client.

    python bench/ws_autobahn.py [--server] [--client] [--cases 1.*,2.*] [--out build/autobahn-report]

`--server` runs `wstest -m fuzzingclient` against `velmora serve examples.ws_echo:app`;
`--client` runs `wstest -m fuzzingserver` and drives velmora's client through every case. With
neither, both run. `wstest` is set up by `bench/autobahn_setup.sh` (Python 2.7 under a scratch
folder). Prints the count of each outcome per side and lists every case not OK. Takes minutes.
"""

from __future__ import annotations

import argparse
import asyncio
import collections
import json
import socket
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
CASES = ["1.*", "2.*", "3.*", "4.*", "5.*", "6.*", "7.*", "9.*", "10.*", "12.*", "13.*"]


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


def wait_port(port: int, timeout: float = 20.0) -> None:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), 0.5).close()
            return
        except OSError:
            time.sleep(0.1)
    raise SystemExit(f"nothing listens on port {port}")


def summary(report: Path, agent: str) -> bool:
    index = json.loads((report / "index.json").read_text())[agent]
    counts = collections.Counter(case["behavior"] for case in index.values())
    closes = collections.Counter(case["behaviorClose"] for case in index.values())
    print(f"{agent}: {len(index)} cases, behaviour {dict(counts)}, close {dict(closes)}")
    bad = {
        cid: (case["behavior"], case["behaviorClose"])
        for cid, case in index.items()
        if case["behavior"] not in ("OK", "INFORMATIONAL", "NON-STRICT")
        or case["behaviorClose"] not in ("OK", "INFORMATIONAL")
    }
    for cid in sorted(bad, key=lambda c: [int(p) for p in c.split(".")]):
        print(f"  {cid}: {bad[cid]}")
    return not bad


def run_server_side(wstest: str, cases: list[str], out: Path) -> bool:
    port = free_port()
    server = subprocess.Popen(
        [sys.executable, "-m", "velmora", "serve", "examples.ws_echo:app", "--port", str(port),
         "--log-level", "warning", "--no-access-log", "--ws-max-size", str(16 * 1024 * 1024)],
        cwd=ROOT,
    )
    try:
        wait_port(port)
        config = {
            "outdir": str(out / "server"),
            "servers": [{"agent": "velmora", "url": f"ws://127.0.0.1:{port}"}],
            "cases": cases,
            "exclude-cases": [],
            "exclude-agent-cases": {},
        }
        config_file = out / "fuzzingclient.json"
        config_file.write_text(json.dumps(config))
        subprocess.run([wstest, "-m", "fuzzingclient", "-s", str(config_file)], check=True,
                       stdout=subprocess.DEVNULL, cwd=out)
    finally:
        server.terminate()
        server.wait(10)
    return summary(out / "server", "velmora")


async def drive_client(url: str, count: int) -> None:
    from velmora.client import AsyncClient

    async with AsyncClient() as client:
        for case in range(1, count + 1):
            try:
                async with client.websocket(
                    f"{url}/runCase?case={case}&agent=velmora", compression="deflate",
                    max_size=16 * 1024 * 1024,
                ) as ws:
                    async for message in ws:
                        await ws.send(message)
            except Exception as exc:  # a case that fails the connection goes on to the next
                print(f"case {case}: {type(exc).__name__}: {exc}", file=sys.stderr)
        async with client.websocket(f"{url}/updateReports?agent=velmora") as ws:
            await ws.close()


def run_client_side(wstest: str, cases: list[str], out: Path) -> bool:
    port = free_port()
    config = {
        "url": f"ws://127.0.0.1:{port}",
        "outdir": str(out / "client"),
        "cases": cases,
        "exclude-cases": [],
        "exclude-agent-cases": {},
    }
    config_file = out / "fuzzingserver.json"
    config_file.write_text(json.dumps(config))
    server = subprocess.Popen([wstest, "-m", "fuzzingserver", "-s", str(config_file)],
                              stdout=subprocess.DEVNULL, cwd=out)
    try:
        wait_port(port)
        from websockets.sync.client import connect  # an independent client asks the count

        with connect(f"ws://127.0.0.1:{port}/getCaseCount") as peer:
            count = int(peer.recv())
        asyncio.run(drive_client(f"ws://127.0.0.1:{port}", count))
    finally:
        server.terminate()
        server.wait(10)
    return summary(out / "client", "velmora")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--server", action="store_true")
    parser.add_argument("--client", action="store_true")
    parser.add_argument("--cases", default=",".join(CASES))
    parser.add_argument("--out", default=str(ROOT / "build" / "autobahn-report"))
    parser.add_argument("--wstest", help="a wstest to use instead of setting one up")
    args = parser.parse_args()
    out = Path(args.out).resolve()
    out.mkdir(parents=True, exist_ok=True)
    wstest = args.wstest or subprocess.run(
        ["bash", str(HERE / "autobahn_setup.sh"), str(ROOT / "build" / "autobahn")],
        check=True, capture_output=True, text=True,
    ).stdout.strip().splitlines()[-1]
    cases = args.cases.split(",")
    both = not (args.server or args.client)
    ok = True
    if args.server or both:
        ok &= run_server_side(wstest, cases, out)
    if args.client or both:
        ok &= run_client_side(wstest, cases, out)
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
