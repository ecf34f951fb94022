#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the sample run need, and
# nothing that is already there. Usage: scripts/install-deps.sh [native|windows|all]
set -euo pipefail

what=${1:-all}
# Native: the build and its libraries, sqlite3 for run-sample.sh's balance listing,
# gcovr for the coverage figures of test.sh, clang with its runtimes (sanitizers,
# libFuzzer) and lld for the sanitizer and fuzz builds.
native=(cmake ninja-build g++ libgtest-dev libgmock-dev libsqlite3-dev libjpeg62-turbo-dev sqlite3 gcovr
        clang libclang-rt-dev lld)
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

# scripts/test.sh checks everything once and says so, so that the scripts it runs do
# not try again what could not be installed (32-bit Wine, say) each time.
[[ "${VELMORA_DEPS_CHECKED:-}" == all || "${VELMORA_DEPS_CHECKED:-}" == "$what" ]] && exit 0

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
# A Debian mirror in the middle of a sync answers with lists of the wrong size for a
# while; the lists already on the machine usually still name every package wanted,
# so the install itself decides.
updated=0
for wait in 5 15 0; do
  if $sudo apt-get update -qq; then
    updated=1
    break
  fi
  if (( wait > 0 )); then sleep "$wait"; fi
done
(( updated )) || echo "note: apt-get update failed three times; installing from the package lists already here" >&2

# 32-bit Wine comes from the i386 lists, which a mirror can leave out of step with the
# rest; without it the 32-bit programs are built and checked but not run, so its
# failure is a note, not the end of the test run.
optional=()
required=()
for package in "${missing[@]}"; do
  if [[ "$package" == wine32:i386 ]]; then optional+=("$package"); else required+=("$package"); fi
done
apt_install() { DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$@" >&2; }
if (( ${#required[@]} > 0 )); then
  apt_install "${required[@]}"
fi
if (( ${#optional[@]} > 0 )) && ! apt_install "${optional[@]}"; then
  echo "note: ${optional[*]} could not be installed: the 32-bit Windows tests and the whole run of" \
       "the 32-bit DLL are left out (the DLL is still built and its exports checked)" >&2
fi
