#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the sample run need, and
# nothing that is already there. Usage: scripts/install-deps.sh [native|windows|all]
set -euo pipefail

what=${1:-all}
# Native: the build and its libraries, sqlite3 for run-sample.sh's balance listing,
# gcovr for the coverage figures of test.sh, clang and its runtime (libFuzzer, the
# sanitizers) for the fuzz targets of scripts/fuzz.sh.
native=(cmake ninja-build g++ libgtest-dev libgmock-dev libsqlite3-dev libjpeg62-turbo-dev sqlite3 gcovr
        clang libclang-rt-dev)
# Windows: the cross compilers, GoogleTest's sources for them, Wine under Xvfb (xvfb-run
# needs xauth), a Chinese locale and font for the dialogs, imagemagick for the screenshots.
windows=(cmake ninja-build g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 wine32:i386 xvfb xauth
         fonts-wqy-microhei imagemagick googletest locales)

wanted=()
case "$what" in
  native) wanted=("${native[@]}") ;;
  windows) wanted=("${windows[@]}") ;;
  all) wanted=("${native[@]}" "${windows[@]}") ;;
  *) echo "usage: $0 [native|windows|all]" >&2; exit 2 ;;
esac

missing=()
for package in "${wanted[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
for package in "${missing[@]}"; do
  if [[ "$package" == *:i386 ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
done
echo "Installing: ${missing[*]}" >&2
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >&2
