#!/usr/bin/env bash
# Builds the extension with AddressSanitizer + UndefinedBehaviorSanitizer into the current
# environment and runs the test suite with the sanitizer runtimes preloaded.
set -euo pipefail
cd "$(dirname "$0")/.."
VELMORA_SANITIZE=ON python -m pip install -q --no-build-isolation -Cbuild-dir=build/asan .
export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"
export ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1
python -m pytest -q "$@"
