#!/usr/bin/env bash
# Builds everything and runs every test: the Linux suite, the benchmarks at a tiny size
# and the sample run under AddressSanitizer and UndefinedBehaviorSanitizer (clang), the
# core's tests again for line and branch coverage (gcc), both builds with warnings as
# errors; the fuzz targets for a short while; and both Windows DLLs under Wine, with a
# whole run of each on the sample company. Installs missing packages first.
#
# The Windows tests mostly wait on Wine, so they run beside the Linux builds, which go
# at a lower priority so as not to slow them. Ends with the time each part took, the
# core's coverage and the line "N passed, M failed"; exits non-zero when a part fails
# or the core's coverage falls below 95 % of lines or 85 % of branches.
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.." || exit 1
root=$(pwd)

scripts/install-deps.sh all || { echo "0 passed, 1 failed"; exit 1; }
export VELMORA_DEPS_CHECKED=all
logs=$root/build/test-logs
rm -rf "$logs" && mkdir -p "$logs"

timings=()
passed=0
failed=0
# Runs one part with its output shown and kept in $logs/NAME.log, and adds what it
# reports to the totals: CTest's "N tests failed out of M", or "N passed, M failed".
# A part that fails without saying how many (a build) counts as one failure.
part() {
  local name=$1 start=$SECONDS status
  shift
  "$@" 2>&1 | tee "$logs/$name.log"
  status=${PIPESTATUS[0]}
  count "$name" "$status"
  timings+=("$(printf '%-34s %4d s' "$name" $((SECONDS - start)))")
  return "$status"
}
count() {
  local name=$1 status=$2 line good bad
  line=$(grep -E "tests failed out of [0-9]+|^[0-9]+ passed, [0-9]+ failed$" "$logs/$name.log" | tail -1)
  if [[ "$line" =~ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]]; then
    bad=${BASH_REMATCH[1]} good=$((BASH_REMATCH[2] - BASH_REMATCH[1]))
  elif [[ "$line" =~ ^([0-9]+)\ passed,\ ([0-9]+)\ failed$ ]]; then
    good=${BASH_REMATCH[1]} bad=${BASH_REMATCH[2]}
  else
    good=0 bad=$(( status != 0 ))
  fi
  (( status != 0 && bad == 0 )) && bad=1
  passed=$((passed + good))
  failed=$((failed + bad))
}
# Builds go at a lower priority than the tests that run beside them.
build() { nice -n 10 cmake --build --preset "$@"; }

# The Windows builds first, so that their tests can start under Wine early.
part "Windows builds (both DLLs)" scripts/test-windows.sh --build
windows_built=$?
wine_start=$SECONDS
if (( windows_built == 0 )); then
  scripts/test-windows.sh --tests >"$logs/Windows tests under Wine.log" 2>&1 &
  wine_tests=$!
fi

export ASAN_OPTIONS=detect_leaks=1:check_initialization_order=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# The benchmarks are tests of this build, at a tiny size (label "benchmark").
part "sanitizers: build" sh -c 'cmake --preset asan >/dev/null && nice -n 10 cmake --build --preset asan'
asan_built=$?
if (( asan_built == 0 )); then
  part "sanitizers: tests and benchmarks" ctest --preset asan
  part "sanitizers: sample run" scripts/run-sample.sh --preset asan
fi
unset ASAN_OPTIONS UBSAN_OPTIONS

# Only the programs whose tests reach the core (label "core") count for its coverage.
coverage_targets=(velmora_core_tests velmora_ledger_tests velmora_plugin_tests)
coverage() {
  cmake --preset coverage >/dev/null &&
    build coverage --target "${coverage_targets[@]}" || return 1
  # Counts from an earlier run would add to this one's.
  find build/coverage -name '*.gcda' -delete
  ctest --preset coverage -L core
  local status=$?
  # Exception edges the compiler adds to every call are not branches of the code.
  # The counts are looked for in the coverage build alone: under the root lies the
  # Wine prefix, whose drive Z: leads back to / and to the same files again.
  gcovr --root "$root" --object-directory build/coverage --exclude-directories '.*/CMakeFiles/[0-9.]+/' \
    --filter "$root/preprocess/" --filter "$root/chooser/" --filter "$root/plugin/HostContract\." \
    --exclude-throw-branches --exclude-unreachable-branches --fail-under-line 95 --fail-under-branch 85 \
    --txt build/coverage/core-coverage.txt --print-summary build/coverage >build/coverage/core-summary.txt ||
    touch build/coverage/core-coverage-low
  return $status
}
rm -f build/coverage/core-coverage-low build/coverage/core-summary.txt
part "coverage of the core" coverage

# Each fuzz target for a short campaign (its build included, well under two minutes).
if [[ -x scripts/fuzz.sh ]]; then
  part "fuzz targets" nice -n 10 scripts/fuzz.sh --all 10
fi

if (( windows_built == 0 )); then
  wait "$wine_tests"
  count "Windows tests under Wine" $?
  cat "$logs/Windows tests under Wine.log"
  timings+=("$(printf '%-34s %4d s' "Windows tests under Wine" $((SECONDS - wine_start)))")
  part "Windows copy benchmark (tiny)" benchmarks/copy/wine-copy-benchmark.sh --size-mib 1 --rounds 1
  if (( asan_built == 0 )); then
    part "Windows whole runs" scripts/test-windows.sh --whole-runs --native-build build/asan
  fi
fi

echo
echo "Time taken (the Windows tests ran beside the parts after the Windows builds):"
printf '  %s\n' "${timings[@]}"
echo "Coverage of the core (preprocess/, chooser/, plugin/HostContract.*; per file in build/coverage/core-coverage.txt):"
sed 's/^/  /' build/coverage/core-summary.txt 2>/dev/null
if [[ ! -f build/coverage/core-summary.txt || -f build/coverage/core-coverage-low ]]; then
  echo "The core's coverage is below 95 % of lines or 85 % of branches" >&2
  failed=$((failed + 1))
fi
echo "$passed passed, $failed failed"
(( failed == 0 ))
