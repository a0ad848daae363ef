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
ctest --preset linux-test -j2 --timeout 900

# Short runs of the fuzz targets (clang's libFuzzer).
cmake --preset fuzz
cmake --build build/fuzz
ctest --preset fuzz -j2 --timeout 900

# The Windows build packs its payloads with the host writer of the release tree.
cmake --preset linux-release
cmake --build build/linux-release
# The cases that matter most, against the release launcher users get.
bash tests/e2e/release_e2e.sh build/linux-release build/linux-test
cmake --preset windows
cmake --build build/windows
# The prefix is made once, and everything Wine started for it has ended before
# the tests begin; the server stays up between the tests' processes by itself.
export MORDAX_WINEPREFIX=$root/build/windows/wineprefix
timeout 300 cmake/wine-run cmd /c exit 0 >/dev/null 2>&1 || true
WINEPREFIX=$MORDAX_WINEPREFIX timeout 120 wineserver -w 2>/dev/null || true
trap 'WINEPREFIX=$MORDAX_WINEPREFIX wineserver -k 2>/dev/null || true' EXIT
ctest --preset windows -j2 --timeout 900

# Packaging without a compiler: the installed writer finds the installed stubs
# beside itself, and what it finishes runs on both targets.
dist=$root/build/dist
rm -rf "$dist"
cmake --install build/linux-release --prefix "$dist" >/dev/null
cmake --install build/windows --prefix "$dist" >/dev/null
"$dist/bin/mordax-pack" build/linux-release/examples/demo-app --entry hello --stub linux-x64 \
  --target-spec '{PROGRAM_DIR}/hello.d' --product "Hello" -o "$dist/hello"
"$dist/bin/mordax-pack" build/windows/examples/demo-app --entry hello.exe --stub windows-x64 \
  --target-spec '{PROGRAM_DIR}\hello.d' --product "Hello" -o "$dist/hello.exe"
"$dist/hello" installed | grep -q 'argument 1: installed'
cmake/wine-run "$dist/hello.exe" installed | grep -q 'argument 1: installed'
# The Windows writer, installed beside the Linux one, finishes the same launcher.
cmake/wine-run "$dist/bin/mordax-pack.exe" build/windows/examples/demo-app --entry hello.exe --stub windows-x64 \
  --target-spec '{PROGRAM_DIR}\hello.d' --product "Hello" -o "$dist/hello-from-windows.exe"
cmp "$dist/hello.exe" "$dist/hello-from-windows.exe"
echo "installed writer and stubs: ok"

# The installed CMake package used by an outside project, and the archives.
bash tests/package/package_test.sh "$dist" build/linux-release build/windows
# This tree taken into an outside project with add_subdirectory, nothing optional given.
bash tests/subproject/subproject_test.sh build/linux-release build/windows
