#!/usr/bin/env bash
# The Windows staging-copy benchmark under Wine: makes a source file, times cp of it
# natively, then runs velmora_win32_copy_benchmark on the same file through Wine.
#
# Usage: benchmarks/copy/wine-copy-benchmark.sh [--size-mib N] [--rounds N] [--preset mingw-x64|mingw-i686]
#   Needs the preset's build: cmake --preset mingw-x64
#   && cmake --build --preset mingw-x64 --target velmora_win32_copy_benchmark
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
size=1024
rounds=5
preset=mingw-x64
while (( $# > 0 )); do
  case "$1" in
    --size-mib) size=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --preset) preset=$2; shift 2 ;;
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
# This machine's page cache makes one copy of a gigabyte take anywhere from half a
# second to several: each round times cp and then the Windows copy right after it,
# so that both meet the same conditions.
export program source dir loader=$root/scripts/wine-run windows_source="Z:${source//\//\\}"
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  status=0
  for round in $(seq "$0"); do
    start=$(date +%s.%N)
    cp "$source" "$dir/cp.out"
    end=$(date +%s.%N)
    rm -f "$dir/cp.out"
    seconds=$(echo "$end - $start" | bc)
    echo "== round $round: cp $seconds s"
    "$loader" "$program" --source "$windows_source" --rounds 1 --cp-seconds "$seconds" | tee "$dir/round.txt" || status=1
    grep -h "^ratio:" "$dir/round.txt" | awk "{print \$2}" >>"$dir/ratios"
  done
  wineserver -w
  echo "ratios to cp, sorted: $(sort -n "$dir/ratios" | tr "\n" " ")(goal <= 1.5 for the median)"
  exit $status' "$rounds"
