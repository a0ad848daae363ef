#!/usr/bin/env bash
# The main job: builds the demo launcher (the hello application and its data
# files, packed with the default settings) and starts it twice, so that the
# first start unpacks and the second finds everything in place.
#   scripts/demo.sh            Linux launcher
#   scripts/demo.sh --windows  Windows launcher (.exe), run under Wine
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
windows=0
[ "${1:-}" = "--windows" ] && windows=1

bash scripts/install-deps.sh
cmake --preset linux-release >/dev/null
cmake --build build/linux-release
# A cache of its own, so the demo shows a first start every time it is run.
cache=$(mktemp -d)
trap 'rm -rf "$cache"' EXIT
if [ $windows = 1 ]; then
  cmake --preset windows >/dev/null
  cmake --build build/windows --target demo
  launcher=(cmake/wine-run build/windows/examples/demo.exe)
  export MORDAX_WINEPREFIX=$root/build/windows/wineprefix
  cmake/wine-run cmd /c exit 0 >/dev/null 2>&1 || true   # makes the prefix once
  # Wine's local application-data folder lives in the prefix: start empty.
  find "$MORDAX_WINEPREFIX/drive_c/users" -maxdepth 5 -type d -name tarvell-2.3.8 -prune -exec rm -rf {} +
  target_note="Wine's local application data folder, \\tarvell-2.3.8"
else
  launcher=(build/linux-release/examples/demo)
  export XDG_CACHE_HOME=$cache
  target_note="$cache/tarvell-2.3.8"
fi

list_target() {
  local where=$cache
  [ $windows = 1 ] && where=$MORDAX_WINEPREFIX/drive_c/users
  find "$where" -path '*tarvell-2.3.8/*' -type f -printf '    %P  (%s bytes, written %TT)\n' | sort
}

echo "== first start: unpacks into $target_note"
"${launcher[@]}" first "second argument"
echo "   exit status $?"
list_target
sleep 1
echo "== second start: every file is already there; nothing is written"
"${launcher[@]}" again
echo "   exit status $?"
list_target
