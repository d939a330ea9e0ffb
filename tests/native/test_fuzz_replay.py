"""Every libFuzzer target under fuzz/ replays its committed seeds (regression inputs included)
built with AddressSanitizer and UndefinedBehaviorSanitizer, through fuzz/replay.sh."""

import os
import pathlib
import re
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
FUZZ = ROOT / "fuzz"
CXX = os.environ.get("CXX_FUZZ", "clang++")


def test_every_target_has_seeds():
    targets = sorted(p.stem.removeprefix("fuzz_") for p in FUZZ.glob("fuzz_*.cpp"))
    assert targets
    for t in targets:
        seeds = FUZZ / "seeds" / t
        assert seeds.is_dir() and any(seeds.iterdir()), f"fuzz/seeds/{t} is empty"


def test_fuzz_targets_replay_their_seeds():
    # Only a machine without clang skips; CI installs it (.ci/run), and a clang without its
    # libFuzzer runtime fails here rather than passing silently.
    if shutil.which(CXX) is None:
        pytest.skip(f"{CXX} is not installed")
    r = subprocess.run(["bash", str(FUZZ / "replay.sh")], capture_output=True, text=True,
                       timeout=1500)
    assert r.returncode == 0, r.stdout[-4000:] + r.stderr[-8000:]
    for p in FUZZ.glob("fuzz_*.cpp"):
        assert re.search(rf"^{p.stem}: [1-9][0-9]* seeds ok$", r.stdout, re.M), p.stem
