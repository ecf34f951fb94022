#!/usr/bin/env bash
# Builds Velmora.dll for 32-bit and 64-bit Windows (MinGW-w64 cross builds, presets
# mingw-i686 and mingw-x64) and runs the Windows tests under Wine, headless under
# Xvfb: the 32-bit programs under 32-bit Wine with a Chinese system locale (ANSI code
# page 936, as the likely host has), the 64-bit ones under 64-bit Wine with the
# default one (1252). Screenshots of the dialogs go to build/wine-screens/.
#
# Usage: scripts/test-windows.sh [--build | --tests | --whole-runs] [--native-build DIR]
#   --build         only build both presets
#   --tests         only run the test programs under Wine (built before)
#   --whole-runs    only the whole job of each DLL on the sample company, against the
#                   Linux run of the native build DIR (default: build/asan, else build/dev)
#   With none of them, all three in turn.
# Ends with the line "N passed, M failed" and exits non-zero on any failure.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
screens=$root/build/wine-screens

if [[ "${1:-}" == "--inside-x" ]]; then
  # Runs inside one Xvfb: one Wine session for everything, ended with wineserver -w.
  wine=$root/scripts/wine-run
  session=build/mingw-i686/tests/win32/WineSession.exe
  "$wine" --can-run-32bit || session=build/mingw-x64/tests/win32/WineSession.exe
  "$wine" "$session" hold >/dev/null 2>&1 &
  holder=$!
  sleep 1
  status=0
  for preset in mingw-i686 mingw-x64; do
    arch=${preset#mingw-}
    mkdir -p "$screens/$arch"
    locale=C.UTF-8
    [[ "$preset" == mingw-i686 ]] && locale=$chinese_locale
    echo "=== Windows tests, $arch (Wine locale $locale)"
    if [[ "$preset" == mingw-i686 ]] && ! "$wine" --can-run-32bit; then
      # The DLL is still built and its exports and imports checked; only running it needs
      # 32-bit execution (ctest itself would start the programs to list their tests).
      echo "note: this machine cannot execute 32-bit programs: only the build checks of the $arch DLL run" >&2
      if cmake -DOBJDUMP=i686-w64-mingw32-objdump -DDLL="build/$preset/plugin/win32/Velmora.dll" \
           -P tests/win32/CheckExports.cmake >"build/$preset/wine-tests.log" 2>&1; then
        echo "100% tests passed, 0 tests failed out of 1" >>"build/$preset/wine-tests.log"
      else
        echo "0% tests passed, 1 tests failed out of 1" >>"build/$preset/wine-tests.log"
        status=1
      fi
      continue
    fi
    VELMORA_SCREENS_DIR="Z:${screens//\//\\}\\$arch" LC_ALL=$locale \
      ctest --test-dir "build/$preset/tests/win32" --output-on-failure --timeout 300 >"build/$preset/wine-tests.log" 2>&1 || status=1
    grep -E "\*\*\*(Failed|Exception|Timeout)|tests passed|: Failure$|^Expected|Which is|actual:" \
      "build/$preset/wine-tests.log" | grep -v " Passed " || true
  done
  "$wine" "$session" release >/dev/null 2>&1 || true
  wait "$holder" 2>/dev/null || true
  wineserver -w
  exit $status
fi

do_build=1 do_tests=1 do_whole=1
native_build=""
while [[ $# -gt 0 ]]; do
  case "$1" in
    --build) do_tests=0 do_whole=0; shift ;;
    --tests) do_build=0 do_whole=0; shift ;;
    --whole-runs) do_build=0 do_tests=0; shift ;;
    --native-build) native_build=$(cd "${2:?--native-build needs a folder}" && pwd); shift 2 ;;
    *) sed -n '2,16p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
  esac
done

start=$(date +%s)
"$root/scripts/install-deps.sh" windows || { echo "0 passed, 1 failed"; exit 1; }

build_failed=0
for preset in mingw-i686 mingw-x64; do
  (( do_build )) || break
  echo "=== Building $preset"
  mkdir -p "build/$preset"
  log=build/$preset/build.log
  if ! { cmake --preset "$preset" >"$log" 2>&1 && cmake --build --preset "$preset" -j2 >>"$log" 2>&1; }; then
    tail -40 "$log"
    build_failed=$((build_failed + 1))
  fi
done
if (( build_failed > 0 )); then
  echo "0 passed, $build_failed failed"
  exit 1
fi
if (( do_build && !do_tests && !do_whole )); then
  echo "Windows builds took $(( $(date +%s) - start )) s"
  exit 0
fi

# Wine takes the Windows code page from the locale's name, but the encoding of file
# names from the C library's locale: a Chinese locale that glibc lacks makes every
# Chinese file name fail. Generate it when it is missing (the locales package has the sources).
export chinese_locale=zh_CN.UTF-8
if ! locale -a 2>/dev/null | grep -qix 'zh_CN.utf-\?8'; then
  sudo=""
  [[ $(id -u) -eq 0 ]] || sudo="sudo"
  if ! $sudo localedef -i zh_CN -c -f UTF-8 zh_CN.UTF-8 >/dev/null 2>&1; then
    echo "note: no zh_CN.UTF-8 locale; the 32-bit tests run with code page 1252 instead of 936" >&2
    chinese_locale=C.UTF-8
  fi
fi

"$root/scripts/wine-prefix.sh" || { echo "0 passed, 1 failed"; exit 1; }
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
WINEPREFIX=$("$root/scripts/wine-prefix.sh" --print)
WINEDEBUG=-all
WINEDLLOVERRIDES="mscoree=;mshtml="

run_status=0
if (( do_tests )); then
  rm -rf "$screens" && mkdir -p "$screens"
  xvfb-run -a -s "-screen 0 1024x768x24" "$0" --inside-x
  run_status=$?
fi

# The whole job under Wine on the sample company, each DLL against the Linux run's
# balances. (Outside the test session above: a run ends its own Wine session.)
whole_passed=0
whole_failed=0
if [[ -z "$native_build" ]]; then
  native_build=$root/build/asan
  [[ -f "$native_build/CMakeCache.txt" ]] || native_build=$root/build/dev
fi
whole_runs() {
  sample_work=$(mktemp -d "${TMPDIR:-/tmp}/velmora-wine-sample.XXXXXX")
  sql_tool=$(find "$native_build/tools" -name velmora-sql -type f -perm -u+x | head -1)
  # The balances as the stand-in serves them (its collation is unknown to other SQLite
  # clients); an empty answer is no balance at all, so it never counts as equal.
  balances() {
    local rows
    rows=$("$sql_tool" --server-dir "$1" --database UFDATA --query "SELECT * FROM Bal ORDER BY 1") || return 1
    [[ $(wc -l <<<"$rows") -gt 1 ]] || return 1
    printf '%s\n' "$rows"
  }
  if scripts/run-sample.sh --build-dir "$native_build" --work "$sample_work/linux" --year 2025 --set 2 \
      >"$sample_work/linux.log" 2>&1; then
    for arch in i686 x64; do
      if [[ "$arch" == i686 ]] && ! scripts/wine-run --can-run-32bit; then
        echo "note: this machine does not run 32-bit programs; the whole run of the i686 DLL is left out" >&2
        continue
      fi
      log=build/mingw-$arch/wine-run.log
      if VELMORA_BRIDGE_BUILD=$native_build VELMORA_SERVER_DIR=$sample_work/$arch/server \
          timeout 600 scripts/run-wine.sh --backup "$sample_work/linux/UFDATA.BAK" --year 2025 --set 2 --arch "$arch" \
          --work "$sample_work/$arch" >"$log" 2>&1 &&
        linux_bal=$(balances "$sample_work/linux/server") && wine_bal=$(balances "$sample_work/$arch/server") &&
        [[ "$linux_bal" == "$wine_bal" ]]; then
        whole_passed=$((whole_passed + 1))
        echo "=== Whole run under Wine, $arch: Bal equals the Linux run's ($(($(wc -l <<<"$wine_bal") - 1)) rows)"
      else
        whole_failed=$((whole_failed + 1))
        echo "=== Whole run under Wine, $arch: FAILED (see $log)"
        tail -5 "$log"
        continue
      fi
      # A set from a newer server on the same machine: foreseen, told by its number,
      # and the UFDATA just restored stays online with the same balances.
      [[ "$arch" == x64 ]] || continue
      log=build/mingw-$arch/wine-run-newer.log
      "$native_build/tools/velmora-backup/velmora-backup" create "$sample_work/newer.bak" --database UFDATA \
        --script examples/sample-company/schema.sql --server-version 9.00.1399 >/dev/null 2>&1 || true
      if ! VELMORA_WINE_RUN_TRACE=1 VELMORA_BRIDGE_BUILD=$native_build VELMORA_SERVER_DIR=$sample_work/$arch/server \
          timeout 600 scripts/run-wine.sh --backup "$sample_work/newer.bak" --year 2025 --arch "$arch" \
          --work "$sample_work/$arch" >"$log" 2>&1 &&
        grep -q "（SQL Server 错误 3169）" "$log" && grep -q "^boxes: 1," "$log" &&
        after=$(balances "$sample_work/$arch/server") && [[ "$after" == "$wine_bal" ]]; then
        whole_passed=$((whole_passed + 1))
        echo "=== Whole run under Wine, $arch, a newer server's set: one 3169 box, \"0\", UFDATA kept"
      else
        whole_failed=$((whole_failed + 1))
        echo "=== Whole run under Wine, $arch, a newer server's set: FAILED (see $log)"
        tail -5 "$log"
      fi
    done
  else
    whole_failed=1
    echo "=== The Linux run of the sample company failed (see $sample_work/linux.log)"
  fi
  rm -rf "$sample_work"
}
(( do_whole )) && whole_runs

# Screenshots for people to look at: build/wine-screens/<dialog>-<arch>.png
for bmp in "$screens"/*/*.bmp; do
  [[ -e "$bmp" ]] || continue
  arch=$(basename "$(dirname "$bmp")")
  name=$(basename "$bmp" .bmp)
  convert "$bmp" "$screens/$name-$arch.png" 2>/dev/null && rm -f "$bmp"
done
rmdir "$screens"/* 2>/dev/null || true

passed=0
failed=0
for preset in mingw-i686 mingw-x64; do
  (( do_tests )) || break
  log=build/$preset/wine-tests.log
  line=$(grep -E "tests passed, [0-9]+ tests failed out of [0-9]+" "$log" 2>/dev/null | tail -1)
  if [[ -z "$line" ]]; then
    echo "no test summary for $preset (see $log)"
    failed=$((failed + 1))
    continue
  fi
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
  bad=$(sed -E 's/.*tests passed, ([0-9]+) tests failed.*/\1/' <<<"$line")
  passed=$((passed + total - bad))
  failed=$((failed + bad))
done
(( run_status != 0 && failed == 0 )) && failed=1
passed=$((passed + whole_passed))
failed=$((failed + whole_failed))

echo "Windows tests took $(( $(date +%s) - start )) s; screenshots in $screens"
echo "$passed passed, $failed failed"
(( failed == 0 ))
