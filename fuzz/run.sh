#!/usr/bin/env bash
# Builds one libFuzzer target with ASan+UBSan and runs it.
#   fuzz/run.sh <target> [seconds] [extra libFuzzer flags...]
# <target> is the file fuzz/fuzz_<target>.cpp; it links the Python-free core sources.
# Findings go to fuzz/out/<target>/; the corpus grows in fuzz/corpus/<target>/ (seeded from
# fuzz/seeds/<target>/ when that exists).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
target=${1:?usage: fuzz/run.sh <target> [seconds]}
seconds=${2:-60}
shift $(( $# >= 2 ? 2 : 1 ))
cxx=${CXX_FUZZ:-clang++}
out="$here/out/$target"
corpus="$here/corpus/$target"
mkdir -p "$out" "$corpus"
bin="$out/fuzz_$target"
core=$(find "$root/src/core" -name '*.cpp')
"$cxx" -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -fno-omit-frame-pointer -I"$root/src/core" "$here/fuzz_$target.cpp" $core -lz -o "$bin"
seeds=()
[ -d "$here/seeds/$target" ] && seeds=("$here/seeds/$target")
cd "$out"
exec "$bin" -max_total_time="$seconds" -print_final_stats=1 "$@" "$corpus" "${seeds[@]}"
