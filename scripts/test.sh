#!/usr/bin/env bash
# Installs what is missing, builds both targets and runs every test: the Linux
# suite (Debug, AddressSanitizer and UndefinedBehaviorSanitizer) natively, then
# the Windows suite under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/install-deps.sh

cmake --preset linux-test
cmake --build build/linux-test
ctest --preset linux-test -j2

# The Windows build packs its payloads with the host writer of the release tree.
cmake --preset linux-release
cmake --build build/linux-release
cmake --preset windows
cmake --build build/windows
# One persistent Wine server for the whole run (it may already be up).
export MORDAX_WINEPREFIX=$root/build/windows/wineprefix
mkdir -p "$MORDAX_WINEPREFIX"
WINEPREFIX=$MORDAX_WINEPREFIX wineserver -p 2>/dev/null || true
trap 'WINEPREFIX=$MORDAX_WINEPREFIX wineserver -k 2>/dev/null || true' EXIT
cmake/wine-run cmd /c exit 0 >/dev/null 2>&1 || true   # makes the prefix once
ctest --preset windows -j2
