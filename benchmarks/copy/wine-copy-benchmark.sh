#!/usr/bin/env bash
# The Windows staging-copy benchmark under Wine: makes a source file, times cp of it
# natively, then runs velmora_win32_copy_benchmark on the same file through Wine.
#
# Usage: benchmarks/copy/wine-copy-benchmark.sh [--size-mib N] [--rounds N] [--preset mingw-x64|mingw-i686]
#                                                [--peek-every-ms N]   (see Win32CopyBenchmark.cpp)
#   Needs a build with benchmarks: cmake --preset mingw-x64 -DVELMORA_BUILD_BENCHMARKS=ON
#   && cmake --build --preset mingw-x64 --target velmora_win32_copy_benchmark
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
size=1024
rounds=3
preset=mingw-x64
peek=0
while (( $# > 0 )); do
  case "$1" in
    --size-mib) size=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --preset) preset=$2; shift 2 ;;
    --peek-every-ms) peek=$2; shift 2 ;;
    *) sed -n '2,8p' "$0"; exit 2 ;;
  esac
done
program=$root/build/$preset/benchmarks/copy/velmora_win32_copy_benchmark.exe
[[ -x "$program" ]] || { echo "no $program: build it first (see --help)" >&2; exit 2; }

export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
WINEPREFIX=$("$root/scripts/wine-prefix.sh" --print)
"$root/scripts/wine-prefix.sh"

dir=$(mktemp -d "${TMPDIR:-/tmp}/velmora-wine-copy-XXXXXX")
trap 'rm -rf "$dir"' EXIT
source=$dir/UFDATA.BAK
# Data that nothing below can compress or skip.
head -c $((size << 20)) /dev/urandom >"$source"
sync "$source"

cp "$source" "$dir/warm" && rm -f "$dir/warm"
best=""
for _ in $(seq "$rounds"); do
  start=$(date +%s.%N)
  cp "$source" "$dir/cp.out"
  end=$(date +%s.%N)
  rm -f "$dir/cp.out"
  seconds=$(echo "$end - $start" | bc)
  if [[ -z "$best" ]] || (( $(echo "$seconds < $best" | bc) )); then best=$seconds; fi
done
echo "best cp: $best s"

windows_source="Z:${source//\//\\}"
xvfb-run -a -s "-screen 0 1024x768x24" sh -c \
  '"$0" "$1" --source "$2" --rounds "$3" --cp-seconds "$4" --peek-every-ms "$5"; status=$?; wineserver -w; exit $status' \
  "$root/scripts/wine-run" "$program" "$windows_source" "$rounds" "$best" "$peek"
