#!/usr/bin/env bash
# Builds every libFuzzer target under fuzz/ with ASan+UBSan and runs each one over its committed
# seeds (fuzz/seeds/<target>/, regression seeds included) without fuzzing: any crash, sanitizer
# report, leak or timeout fails the run.
#   fuzz/replay.sh [target...]
# The core sources are compiled once, into objects every target links, in parallel; objects and
# binaries are kept in fuzz/out/replay/ and rebuilt when a source or a header changes.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
cxx=${CXX_FUZZ:-clang++}
jobs=${FUZZ_JOBS:-$(nproc 2>/dev/null || echo 2)}
out="$here/out/replay"
mkdir -p "$out/obj"

# -O0 by default: each seed runs once, so compile time is what counts (FUZZ_OPT=-O1 for binaries
# to fuzz with).
flags=(-std=c++20 "${FUZZ_OPT:--O0}" -gline-tables-only -fno-omit-frame-pointer
  -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -I"$root/src/core")
# Objects built with other flags are not reused.
if [ "$(cat "$out/flags" 2>/dev/null)" != "$cxx ${flags[*]}" ]; then
  rm -rf "$out/obj" && mkdir -p "$out/obj"
  echo "$cxx ${flags[*]}" >"$out/flags"
fi

if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for f in "$here"/fuzz_*.cpp; do
    t=$(basename "$f" .cpp)
    targets+=("${t#fuzz_}")
  done
fi

# The newest header: every object older than it is rebuilt (headers are few and shared).
newest_header=$(find "$root/src/core" "$here" -name '*.hpp' -o -name '*.inc' | xargs ls -t | head -n 1)

export cxx newest_header
export FLAGS_STR="${flags[*]}"

core=$(find "$root/src/core" -name '*.cpp' | sort)
pairs=()
objs=()
for src in $core; do
  obj="$out/obj/$(echo "${src#"$root/src/core/"}" | tr / _).o"
  pairs+=("$src" "$obj")
  objs+=("$obj")
done
for t in "${targets[@]}"; do
  [ -f "$here/fuzz_$t.cpp" ] || { echo "no target fuzz/fuzz_$t.cpp" >&2; exit 2; }
  pairs+=("$here/fuzz_$t.cpp" "$out/obj/fuzz_$t.o")
done

start=$(date +%s)
# shellcheck disable=SC2016
printf '%s\0%s\0' "${pairs[@]}" | xargs -0 -n 2 -P "$jobs" bash -c '
  read -r -a flags <<<"$FLAGS_STR"
  src=$0 obj=$1
  if [ -f "$obj" ] && [ "$obj" -nt "$src" ] && [ "$obj" -nt "$newest_header" ]; then exit 0; fi
  "$cxx" "${flags[@]}" -c "$src" -o "$obj.tmp" && mv "$obj.tmp" "$obj"
'

link() {  # <target>
  local t=$1 bin="$out/fuzz_$1"
  local newer=0
  [ -f "$bin" ] || newer=1
  for o in "$out/obj/fuzz_$t.o" "${objs[@]}"; do
    [ "$o" -nt "$bin" ] && newer=1
  done
  [ "$newer" = 1 ] || return 0
  "$cxx" -fsanitize=fuzzer,address,undefined "$out/obj/fuzz_$t.o" "${objs[@]}" -lz -o "$bin.tmp"
  mv "$bin.tmp" "$bin"
}
for t in "${targets[@]}"; do
  link "$t" &
  # At most `jobs` links at once.
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n; done
done
wait
built=$(date +%s)
echo "built ${#targets[@]} targets in $((built - start)) s"

failed=0
for t in "${targets[@]}"; do
  seeds="$here/seeds/$t"
  if [ ! -d "$seeds" ] || [ -z "$(ls -A "$seeds")" ]; then
    echo "fuzz_$t: no seeds in fuzz/seeds/$t" >&2
    failed=1
    continue
  fi
  n=$(find "$seeds" -type f | wc -l)
  # -runs=0: execute every seed once, mutate nothing. The seed directory is only read.
  if log=$(cd "$out" && "./fuzz_$t" -runs=0 -timeout=60 -rss_limit_mb=2048 "$seeds" 2>&1); then
    echo "fuzz_$t: $n seeds ok"
  else
    echo "$log" | tail -n 40 >&2
    echo "fuzz_$t: FAILED" >&2
    failed=1
  fi
done
echo "replayed in $(($(date +%s) - built)) s"
exit "$failed"
