#!/usr/bin/env bash
# Creates, or reuses, the Wine prefix that the Windows tests run in (build/wine-prefix):
# a virtual desktop, so that dialogs close without waiting for a window manager and
# captions show on screenshots; and Chinese fonts linked behind the dialog fonts,
# so that Chinese text renders instead of boxes.
#
# Usage: scripts/wine-prefix.sh [--print]
#   Runs under its own Xvfb unless DISPLAY is set. --print writes the prefix path only.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$root/build/wine-prefix}
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko download prompts: nothing here needs them, and there is no network.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree=;mshtml="}

if [[ "${1:-}" == "--print" ]]; then
  echo "$WINEPREFIX"
  exit 0
fi

# Bump when the settings below change, so that existing prefixes are brought up to date.
stamp_version=3
stamp=$WINEPREFIX/.velmora-prefix
if [[ -f "$stamp" && "$(cat "$stamp")" == "$stamp_version" ]]; then
  exit 0
fi

if [[ -z "${DISPLAY:-}" ]]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

mkdir -p "$WINEPREFIX"
echo "Preparing the Wine prefix $WINEPREFIX ..." >&2
start=$(date +%s)
"$root/scripts/wine-run" wineboot -i >/dev/null 2>&1 || true

reg() { "$root/scripts/wine-run" reg add "$@" /f >/dev/null 2>&1; }

reg 'HKCU\Software\Wine\Explorer' /v Desktop /t REG_SZ /d Default
reg 'HKCU\Software\Wine\Explorer\Desktops' /v Default /t REG_SZ /d 1024x768
link='wqy-microhei.ttc,WenQuanYi Micro Hei'
for face in 'Tahoma' 'MS Shell Dlg' 'MS Shell Dlg 2' 'Microsoft Sans Serif' 'Segoe UI'; do
  reg 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' /v "$face" /t REG_MULTI_SZ /d "$link"
done
# The dialogs ask for SimSun by its Chinese name; draw it with the installed CJK font.
for face in '宋体' 'SimSun'; do
  reg 'HKCU\Software\Wine\Fonts\Replacements' /v "$face" /t REG_SZ /d 'WenQuanYi Micro Hei'
done

wineserver -w
echo "$stamp_version" >"$stamp"
echo "Wine prefix ready in $(( $(date +%s) - start )) s" >&2
