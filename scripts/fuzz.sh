#!/usr/bin/env bash
# Runs the libFuzzer targets of fuzz/ (built by the `fuzz` preset, which this
# configures and builds when needed).
#   scripts/fuzz.sh TARGET SECONDS   one campaign of SECONDS on TARGET
#   scripts/fuzz.sh --all SECONDS    every target for SECONDS each, then one summary line
#   scripts/fuzz.sh --list           the targets
# Each target starts from its seeds in fuzz/corpus/TARGET/ (read only); a campaign
# keeps what it learns in build/fuzz/corpus/TARGET/ for the next one, while --all
# starts from the seeds alone, so that its time stays the same. An input
# that crashes, hangs or runs out of memory is copied into fuzz/corpus/TARGET/,
# where it stays as a regression input once the fault is mended. Exit status 1
# when any target found something.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/fuzz"
# Per input: a hang is anything beyond this many seconds, memory beyond this many MB.
input_timeout=${VELMORA_FUZZ_INPUT_TIMEOUT:-20}
rss_limit_mb=${VELMORA_FUZZ_RSS_LIMIT_MB:-2048}

usage() {
  echo "usage: $0 TARGET SECONDS | --all SECONDS | --list" >&2
  exit 2
}

build_targets() {
  cd "$root"
  if [[ ! -f "$build/build.ninja" ]]; then
    local launcher=()
    if command -v ccache >/dev/null; then
      launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    fi
    cmake --preset fuzz "${launcher[@]}" >/dev/null
  fi
  cmake --build --preset fuzz -j"${VELMORA_FUZZ_BUILD_JOBS:-2}" >/dev/null
}

list_targets() {
  find "$build/fuzz" -maxdepth 1 -type f -executable -name 'fuzz_*' -printf '%f\n' | sort
}

# Runs one target; prints "TARGET EXECUTIONS CPU_SECONDS FINDINGS". New inputs go
# to LEARNED, the log and what the fuzzer reports to FINDINGS.
run_target() {
  local target=$1 seconds=$2 learned=$3 findings=$4
  local binary="$build/fuzz/$target" seeds="$root/fuzz/corpus/$target"
  [[ -x "$binary" ]] || { echo "$0: no fuzz target '$target' (see --list)" >&2; exit 2; }
  mkdir -p "$learned" "$findings" "$seeds"
  local options=(-max_total_time="$seconds" -timeout="$input_timeout" -rss_limit_mb="$rss_limit_mb"
                 -print_final_stats=1 -artifact_prefix="$findings/")
  [[ -f "$root/fuzz/$target.dict" ]] && options+=(-dict="$root/fuzz/$target.dict")
  local log="$findings/last-run.log" status=0 cpu TIMEFORMAT='%U %S'
  # bash's time reports the fuzzer's user and system seconds.
  { time "$binary" "${options[@]}" "$learned" "$seeds" >"$log" 2>&1 || status=$?; } 2>"$findings/cpu"
  cpu=$(awk '{ printf "%.1f", $1 + $2 }' "$findings/cpu")
  local executions
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  local found=0 artifact
  for artifact in "$findings"/crash-* "$findings"/timeout-* "$findings"/oom-* "$findings"/leak-*; do
    [[ -f "$artifact" ]] || continue
    cp "$artifact" "$seeds/"
    rm "$artifact"
    echo "$target: finding kept as fuzz/corpus/$target/$(basename "$artifact") (log: $log)" >&2
    found=$((found + 1))
  done
  if [[ $status -ne 0 && $found -eq 0 ]]; then
    echo "$target: the fuzzer stopped with status $status (log: $log)" >&2
    found=1
  fi
  echo "$target ${executions:-0} $cpu $found"
}

[[ $# -ge 1 ]] || usage
case "$1" in
  --list)
    build_targets
    list_targets
    ;;
  --all)
    [[ $# -eq 2 && $2 =~ ^[0-9]+$ ]] || usage
    build_targets
    targets=$(list_targets)
    total_runs=0 total_findings=0 count=0
    scratch=$(mktemp -d)
    trap 'rm -rf "$scratch"' EXIT
    for target in $targets; do
      read -r name runs cpu found < <(run_target "$target" "$2" "$scratch/$target" "$build/findings/all/$target")
      printf '  %-28s %12s executions %8s s CPU %3s findings\n' "$name" "$runs" "$cpu" "$found"
      total_runs=$((total_runs + runs)) total_findings=$((total_findings + found)) count=$((count + 1))
    done
    echo "fuzz: $count targets, $2 s each, $total_runs executions, $total_findings findings"
    [[ $total_findings -eq 0 ]]
    ;;
  -*)
    usage
    ;;
  *)
    [[ $# -eq 2 && $2 =~ ^[0-9]+$ ]] || usage
    build_targets
    read -r name runs cpu found < <(run_target "$1" "$2" "$build/corpus/$1" "$build/findings/$1")
    echo "fuzz: $name, $2 s, $runs executions, $cpu s CPU, $found findings"
    [[ $found -eq 0 ]]
    ;;
esac
