"""User-space instructions per echoed WebSocket message of `velmora serve` against uvicorn (with
the websockets package), granian and the plain TCP echo of bench/ws_echo.py: a cost that does
not depend on what else the machine is doing, unlike round trips per second.

    python bench/ws_instructions.py [--messages 2000] [--loop uvloop]

Every server runs examples/ws_echo.py under valgrind's callgrind (children traced too), once per
case: 64-byte text messages, and 1 MiB binary ones (a tenth as many, at least 20). One
connection does the opening handshake and echoes warm-up messages (one in flight), then the
counters are zeroed, the measured round trips run and the counters are dumped: the
instructions executed in the server's processes, divided by the number of messages. Kernel
work (the system calls, the copies into and out of the sockets) is not counted.
"""

from __future__ import annotations

import argparse
import shutil
import socket
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from server_instructions import callgrind_count  # noqa: E402
from server_wrk import PORT  # noqa: E402
from ws_echo import HANDSHAKE, contenders, masked_frame, reply_size  # noqa: E402


def round_trips(s: socket.socket, frame: bytes, expect: int, count: int) -> None:
    for _ in range(count):
        s.sendall(frame)
        got = 0
        while got < expect:
            data = s.recv(1 << 20)
            if not data:
                raise RuntimeError("the server closed the connection")
            got += len(data)


def measure(cmd: list[str], size: int, count: int, tcp: bool) -> float:
    frame = masked_frame(1 if size <= 64 else 2, b"x" * size)
    expect = len(frame) if tcp else reply_size(size)
    conn: list[socket.socket] = []

    def warm() -> None:
        s = socket.create_connection(("127.0.0.1", PORT))
        conn.append(s)
        if not tcp:
            s.sendall(HANDSHAKE)
            head = b""
            while b"\r\n\r\n" not in head:
                head += s.recv(4096)
        round_trips(s, frame, expect, max(20, count // 5))

    try:
        total = callgrind_count(cmd, warm, lambda: round_trips(conn[0], frame, expect, count))
        return total / count
    finally:
        for s in conn:
            s.close()


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--messages", type=int, default=2000)
    ap.add_argument("--loop", default="uvloop", choices=["uvloop", "asyncio"])
    args = ap.parse_args()
    for tool in ("valgrind", "callgrind_control"):
        if shutil.which(tool) is None:
            sys.exit(f"{tool} is not installed (apt-get install valgrind)")
    cases = [("64 B", 64, args.messages), ("1 MiB", 1 << 20, max(20, args.messages // 10))]
    results: dict[tuple[str, str], float] = {}
    for name, cmd in contenders(args.loop).items():
        for label, size, count in cases:
            value = measure(cmd, size, count, name == "tcp-echo")
            results[(name, label)] = value
            print(f"{name:9s} {label:6s} {value:12.0f} instructions/message", flush=True)
    print(f"\nloop {args.loop}, user-space instructions per echoed message (lower is better):")
    for label, _, _ in cases:
        base = results[("uvicorn", label)]
        for name in contenders(args.loop):
            value = results[(name, label)]
            print(f"  {label:6s} {name:9s} {value:12.0f}  "
                  f"({base / value:5.2f}x fewer than uvicorn)")


if __name__ == "__main__":
    main()
