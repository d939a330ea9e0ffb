"""Instructions per operation at the Python boundary, ours against the peers, under callgrind.

Run: python bench/boundary_instructions.py [--only NAME ...]

Each contender runs in a fresh interpreter under `valgrind --tool=callgrind`, twice (N1 and N2
iterations); the difference of the two totals divided by N2 - N1 is its instruction count per
iteration, start-up and imports cancelled out. The objects made at import are frozen out of the
cyclic collector first, so a full collection in one run and not the other does not skew the
difference, and the runs refuse outside control (callgrind_control from another process would
zero or dump them). Instruction counts do not depend on the machine's load, unlike the
wall-clock ratios of bench/h1_codec.py and bench/bench_header_map.py, which this complements
with the same work:

  parse    receive_request_head of the browser GET and every header to Python, vs httptools
  router   method, target and three header lookups, vs httptools
  build    HeaderMap from 20 pairs, vs multidict.CIMultiDict
  lookup   5 lookups on one map, vs CIMultiDict
  items    items() of one map, vs list(CIMultiDict.items())
"""

import argparse
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
N1, N2 = 2000, 10000

# name -> (ours, theirs): functions of this module taking an iteration count.
ROWS = {
    "parse": ("ours_full", "httptools_full"),
    "router": ("ours_router", "httptools_router"),
    "build": ("build_ours", "build_theirs"),
    "lookup": ("lookup_ours", "lookup_theirs"),
    "items": ("items_ours", "items_theirs"),
}


def build_ours(n):
    from bench_header_map import PAIRS

    from velmora._velmora import HeaderMap

    for _ in range(n):
        HeaderMap(PAIRS)


def build_theirs(n):
    from bench_header_map import PAIRS
    from multidict import CIMultiDict

    for _ in range(n):
        CIMultiDict(PAIRS)


def _lookups(m, n):
    from bench_header_map import LOOKUPS

    get = m.get
    for _ in range(n):
        for name in LOOKUPS:
            get(name)


def lookup_ours(n):
    from bench_header_map import PAIRS

    from velmora._velmora import HeaderMap

    _lookups(HeaderMap(PAIRS), n)


def lookup_theirs(n):
    from bench_header_map import PAIRS
    from multidict import CIMultiDict

    _lookups(CIMultiDict(PAIRS), n)


def items_ours(n):
    from bench_header_map import PAIRS

    from velmora._velmora import HeaderMap

    items = HeaderMap(PAIRS).items
    for _ in range(n):
        items()


def items_theirs(n):
    from bench_header_map import PAIRS
    from multidict import CIMultiDict

    m = CIMultiDict(PAIRS)
    for _ in range(n):
        list(m.items())


def ours_full(n):
    import h1_codec

    h1_codec.ours_full(n)


def httptools_full(n):
    import h1_codec

    h1_codec.httptools_full(n)


def ours_router(n):
    import h1_codec

    h1_codec.ours_router(n)


def httptools_router(n):
    import h1_codec

    h1_codec.httptools_router(n)


def total(fn: str, n: int) -> int:
    # Imports and warm-up (one iteration) happen before the collector is frozen.
    code = (
        f"import gc, sys; sys.path.insert(0, {HERE!r}); import boundary_instructions as b; "
        f"b.{fn}(1); gc.collect(); gc.freeze(); b.{fn}({n})"
    )
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        # --vgdb=no: callgrind_control run by anyone else on the machine cannot zero or dump
        # this run's counters.
        subprocess.run(["valgrind", "--tool=callgrind", "--vgdb=no", f"--callgrind-out-file={out}",
                        sys.executable, "-c", code], check=True, capture_output=True)
        with open(out) as f:
            for line in f:
                if line.startswith(("summary:", "totals:")):
                    return int(line.split()[1])
    raise RuntimeError(f"no total in the callgrind output of {fn}")


def per_iteration(fn: str) -> float:
    return (total(fn, N2) - total(fn, N1)) / (N2 - N1)


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--only", nargs="*", choices=sorted(ROWS), default=list(ROWS))
    args = ap.parse_args()
    print(f"{'work':<8}{'ours':>12}{'peer':>12}{'ratio':>9}   (instructions per iteration)")
    for name in args.only:
        ours, theirs = (per_iteration(fn) for fn in ROWS[name])
        print(f"{name:<8}{ours:>12,.0f}{theirs:>12,.0f}{theirs / ours:>8.2f}x", flush=True)


if __name__ == "__main__":
    main()
