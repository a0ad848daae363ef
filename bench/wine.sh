#!/usr/bin/env bash
# For information, not goals: the Windows launcher under Wine on the
# benchmark's workload, as built by default (the main thread alone, no index)
# and opted in (FAST_START: the index and the second core), on one frame and
# on frames (decoded on every core); first and later
# starts, and the child alone under Wine, whose start is in every figure. The
# workload is bench/run.sh's with a Windows program as its first record; its
# payloads are packed once and kept in build/bench/wine.
#   bench/wine.sh [ROUNDS]      ROUNDS of each row (default 6)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
runs=${1:-6}
source bench/timing.sh
if [ "$(cat build/bench/workload.stamp 2>/dev/null)" != "$(workload_hash)" ]; then
  echo "bench/wine.sh: no workload from the current writer yet; bash bench/run.sh makes it" >&2
  exit 1
fi
bash scripts/install-deps.sh >/dev/null
work=$root/build/bench/wine
mkdir -p "$work"
cmake --build build/bench-release --target mordax-pack >/dev/null
cmake --preset bench-windows --no-warn-unused-cli >/dev/null
cmake --build build/bench-windows --target exit_at_once >/dev/null
dir=build/bench-windows/bench

stamp=$work/payload.stamp
want="$(cat build/bench/workload.stamp) $(sha256sum <bench/exit_at_once.c | cut -c1-16)"
if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
  echo "packing the Windows workload (once)..." >&2
  rm -rf "$work/tree"
  cp -r build/bench/tree "$work/tree"
  cp "$dir/exit_at_once.exe" "$work/tree/bin/app"
  build/bench-release/tools/mordax-pack "$work/tree" --entry bin/app --index "$work/app.index" -o "$work/app.payload"
  build/bench-release/tools/mordax-pack "$work/tree" --entry bin/app --frames --index "$work/frames.index" \
    -o "$work/frames.payload"
  echo "$want" >"$stamp"
fi
cmake --preset bench-windows >/dev/null  # now that the payload exists
cmake --build build/bench-windows --target bench_wine bench_wine_fast bench_wine_frames >/dev/null

export MORDAX_WINEPREFIX=$work/wineprefix
cmake/wine-run "$dir/exit_at_once.exe"  # makes the prefix
# One server for the whole run, so that no start pays for a new one.
export WINEPREFIX=$MORDAX_WINEPREFIX
wineserver -k 2>/dev/null || true  # one left persistent by a run that was killed
wineserver -w
wineserver -p </dev/null >/dev/null 2>&1
trap 'wineserver -k' EXIT

wine_files=()
for place in /usr/lib/x86_64-linux-gnu/wine /usr/lib64/wine /usr/lib/wine /usr/share/wine /opt/wine*; do
  if [ -e "$place" ]; then wine_files+=("$place"); fi
done
settle_for "$dir/bench_wine.exe" "$dir/bench_wine_fast.exe" "$dir/bench_wine_frames.exe" "$dir/exit_at_once.exe" "${wine_files[@]}" \
  "$MORDAX_WINEPREFIX/drive_c/windows" "$MORDAX_WINEPREFIX"/*.reg
launch() { echo "cmake/wine-run $dir/$1.exe"; }
alternate wine_first "$runs" "rm -rf $dir/target && $settle" "$(launch bench_wine)" \
  "rm -rf $dir/target-fast && $settle" "$(launch bench_wine_fast)" \
  "rm -rf $dir/target-frames && $settle" "$(launch bench_wine_frames)"
later=(: "$(launch bench_wine)" : "$(launch bench_wine_fast)" : "$(launch bench_wine_frames)")
alternate wine_later 1 "${later[@]}"  # warm-up
alternate wine_later "$runs" "${later[@]}" : "$(launch exit_at_once)"
diff -r "$work/tree" "$dir/target" && diff -r "$work/tree" "$dir/target-fast" && diff -r "$work/tree" "$dir/target-frames"

row() {  # row NAME LABEL
  local base=$(stat_of "$1" 0 median)
  echo "| $2 | $(range "$1" 0) | $(range "$1" 1) | $(range "$1" 2) |" \
    "$(ratio "$(stat_of "$1" 1 median)" "$base") / $(ratio "$(stat_of "$1" 2 median)" "$base") |"
}
{
  echo "Windows launcher under Wine $(wine --version 2>/dev/null), for information; medians of $runs rounds, the"
  echo "commands of a row alternated; seconds (min-max). Before a timed first start the target is $settled, untimed."
  echo
  echo "| start | by default | opted in (FAST_START), one frame | opted in, frames | opted in / by default |"
  echo "|---|---|---|---|---|"
  row wine_first "first start"
  row wine_later "later start"
  echo "| the child alone under Wine | $(range wine_later 3) | | | |"
} | tee "$work/results.md"
