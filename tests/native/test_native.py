"""Builds and runs the C++ core tests under tests/native (needs a C++20 compiler)."""

import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
NATIVE = ROOT / "tests" / "native"
CXX = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")


INCLUDE = re.compile(r'^#include "([^"]+)"', re.M)


def core_sources(test_file):
    """The core .cpp files a test needs: those beside every header it includes, transitively
    (a header's implementation may be split into <stem>_<part>.cpp files beside it)."""
    seen, sources, todo = set(), set(), [test_file]
    while todo:
        path = todo.pop()
        for inc in INCLUDE.findall(path.read_text()):
            header = ROOT / "src" / "core" / inc
            if header in seen or not header.exists():
                continue
            seen.add(header)
            todo.append(header)
            parts = [header.with_suffix(".cpp"), *header.parent.glob(header.stem + "_*.cpp")]
            for cpp in parts:
                if cpp.exists() and cpp not in sources and not cpp.name.startswith("py_"):
                    sources.add(cpp)
                    todo.append(cpp)
    return sorted(sources)


# Libraries a core source needs at link time.
LIBS = {"deflate.cpp": ["-lz"]}


@pytest.mark.skipif(CXX is None, reason="no C++ compiler")
@pytest.mark.parametrize("test", sorted(p.name for p in NATIVE.glob("test_*.cpp")))
def test_native(test, tmp_path):
    exe = tmp_path / test.removesuffix(".cpp")
    sources = core_sources(NATIVE / test)
    build = subprocess.run(
        [CXX, "-std=c++20", "-O1", "-g", "-Wall", "-Wextra", f"-I{ROOT / 'src' / 'core'}",
         str(NATIVE / test), *map(str, sources), "-o", str(exe),
         *[lib for src in sources for lib in LIBS.get(src.name, [])]],
        capture_output=True, text=True,
    )
    assert build.returncode == 0, build.stderr[-4000:]
    run = subprocess.run([str(exe)], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout[-4000:] + run.stderr[-2000:]
