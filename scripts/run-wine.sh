#!/usr/bin/env bash
# The whole job with Velmora.dll under Wine, headless: the DLL's ADO objects are fakes
# that forward every statement to the embedded stand-in server (velmora-standin-bridge
# on 127.0.0.1), and a stand-in "MSSQLServer" service runs in Wine's service manager.
# The chooser's row is ticked through window messages and every message box is printed
# on stderr and closed. Screenshots of the stages go to build/wine-screens/.
#
# Usage: scripts/run-wine.sh --backup FILE --year YEAR [--set N] [--arch i686|x64] [--work DIR]
#   --backup FILE  stand-in backup media (velmora-backup create ...)
#   --year YEAR    the year whose opening balances are wanted
#   --set N        the chooser row to tick (default: leave the chooser as it opens)
#   --arch A       which DLL: i686 (32-bit) or x64 (default x64)
#   --work DIR     where the host folder goes: DIR/host/TempLateTemp/ufdata.mdf (default: a new temporary folder)
# The server directory is $VELMORA_SERVER_DIR when set, else DIR/server.
# Builds what it needs: the Linux bridge ($VELMORA_BRIDGE_BUILD or the dev preset) and the DLL's preset.
# Prints the result string on stdout; exit 0 for a connection string, 1 for "0", 2 for bad usage.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
backup="" year="" set_number=0 arch=x64 work=""
usage() { sed -n '2,15p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2; exit 2; }
while [[ $# -gt 0 ]]; do
  case "$1" in
    --backup) backup=${2:?}; shift 2 ;;
    --year) year=${2:?}; shift 2 ;;
    --set) set_number=${2:?}; shift 2 ;;
    --arch) arch=${2:?}; shift 2 ;;
    --work) work=${2:?}; shift 2 ;;
    -h|--help) usage ;;
    *) echo "run-wine.sh: unknown argument: $1" >&2; usage ;;
  esac
done
[[ -n "$backup" && -n "$year" ]] || usage
[[ "$arch" == i686 || "$arch" == x64 ]] || usage
[[ "$set_number" =~ ^[0-9]+$ ]] || usage
[[ -f "$backup" ]] || { echo "run-wine.sh: no backup file $backup" >&2; exit 2; }
backup=$(cd "$(dirname "$backup")" && pwd)/$(basename "$backup")

"$root/scripts/install-deps.sh" native >&2
"$root/scripts/install-deps.sh" windows >&2
# Rebuilds of the DLL's preset go faster through ccache, where the machine has it.
if [[ -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ]] && command -v ccache >/dev/null; then
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache
fi
# The bridge comes from a configured Linux build ($VELMORA_BRIDGE_BUILD, default the dev preset).
native=${VELMORA_BRIDGE_BUILD:-}
if [[ -z "$native" ]]; then
  (cd "$root" && cmake --preset dev >/dev/null)
  native=$root/build/dev
fi
cmake --build "$native" --target velmora-standin-bridge >&2
(cd "$root" && cmake --preset "mingw-$arch" >/dev/null && cmake --build --preset "mingw-$arch" --target VelmoraWineRun >&2)
bridge=$native/tools/standin-bridge/velmora-standin-bridge
runner=$root/build/mingw-$arch/tests/win32/VelmoraWineRun.exe

if [[ -z "$work" ]]; then
  work=$(mktemp -d "${TMPDIR:-/tmp}/velmora-wine.XXXXXX")
else
  mkdir -p "$work"
  work=$(cd "$work" && pwd)
fi
server=${VELMORA_SERVER_DIR:-$work/server}
mkdir -p "$server" "$work/host/TempLateTemp"
screens=$root/build/wine-screens
mkdir -p "$screens"

# Wine maps drive Z: to the root of the file system.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

"$bridge" --server-dir "$server" --port-file "$work/bridge.port" &
bridge_pid=$!
trap 'kill "$bridge_pid" 2>/dev/null || true' EXIT
for _ in $(seq 100); do [[ -s "$work/bridge.port" ]] && break; sleep 0.1; done

"$root/scripts/wine-prefix.sh" >&2
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
WINEPREFIX=$("$root/scripts/wine-prefix.sh" --print)
loader=$root/scripts/wine-run
if [[ "$arch" == i686 ]] && ! "$loader" --can-run-32bit; then
  echo "run-wine.sh: this machine cannot execute 32-bit programs; use --arch x64" >&2
  exit 2
fi

status=0
xvfb-run -a -s "-screen 0 1024x768x24" sh -c '"$@" >"$0" 2>"$0.log"; echo $? >"$0.status"; wineserver -w' \
  "$work/result.txt" "$loader" "$runner" "$(windows_path "$work/bridge.port")" "$(windows_path "$server/bridge.token")" \
  "$(windows_path "$work/host/")" \
  "$(windows_path "$backup")" "$year" "$set_number" "$(windows_path "$screens")" || true
status=$(cat "$work/result.txt.status" 2>/dev/null || echo 2)
grep -v '^\(fixme\|err\):' "$work/result.txt.log" >&2 || true

for bmp in "$screens"/wine-run-*.bmp; do
  [[ -e "$bmp" ]] || continue
  convert "$bmp" "${bmp%.bmp}-$arch.png" 2>/dev/null && rm -f "$bmp"
done
tr -d '\r' <"$work/result.txt"
exit "$status"
