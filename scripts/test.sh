#!/usr/bin/env bash
# Builds everything and runs every test: the Linux build with its unit, stand-in and
# end-to-end tests (warnings as errors), the same suite and the sample run under
# AddressSanitizer and UndefinedBehaviorSanitizer, the suite again for line and branch
# coverage of the core, then the Windows DLLs under Wine. Installs missing packages
# first. Ends with the coverage figures and the time each part took; exits non-zero
# when a part fails or the core's coverage falls below 95 % of lines or 85 % of branches.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$(pwd)

scripts/install-deps.sh all

timings=()
timed() {
  local name=$1 start=$SECONDS
  shift
  "$@"
  timings+=("$(printf '%-28s %4d s' "$name" $((SECONDS - start)))")
}

native() {
  cmake --preset "$1"
  cmake --build --preset "$1"
  ctest --preset "$1"
}

timed "native (warnings as errors)" native ci

export ASAN_OPTIONS=detect_leaks=1:check_initialization_order=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
timed "native under sanitizers" native asan
timed "sample run under sanitizers" scripts/run-sample.sh --preset asan
unset ASAN_OPTIONS UBSAN_OPTIONS

coverage() {
  cmake --preset coverage
  cmake --build --preset coverage
  # Counts from an earlier run would add to this one's.
  find build/coverage -name '*.gcda' -delete
  ctest --preset coverage
  # Exception edges the compiler adds to every call are not branches of the code.
  gcovr --root "$root" --object-directory build/coverage --exclude-directories '.*/CMakeFiles/[0-9.]+/' \
    --filter "$root/preprocess/" --filter "$root/chooser/" --filter "$root/plugin/HostContract\." \
    --exclude-throw-branches --exclude-unreachable-branches --fail-under-line 95 --fail-under-branch 85 \
    --txt build/coverage/core-coverage.txt --print-summary >build/coverage/core-summary.txt || coverage_low=1
}
coverage_low=0
timed "native for coverage" coverage

if [[ -x scripts/test-windows.sh ]]; then
  timed "Windows under Wine" scripts/test-windows.sh
fi

echo
echo "Time taken:"
printf '  %s\n' "${timings[@]}"
echo "Coverage of the core (preprocess/, chooser/, plugin/HostContract.*; per file in build/coverage/core-coverage.txt):"
sed 's/^/  /' build/coverage/core-summary.txt
if (( coverage_low )); then
  echo "The core's coverage is below 95 % of lines or 85 % of branches" >&2
  exit 1
fi
