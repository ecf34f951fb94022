#!/usr/bin/env bash
# Builds everything and runs every test: the Linux build with its unit, stand-in and
# end-to-end tests, then the Windows DLLs under Wine. Installs missing packages first.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

scripts/install-deps.sh all

cmake --preset ci
cmake --build --preset ci
ctest --preset ci

if [[ -x scripts/test-windows.sh ]]; then
  scripts/test-windows.sh
fi
