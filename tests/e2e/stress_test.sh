#!/usr/bin/env bash
# A launcher on frames under the limits of real machines: a disk that fills
# while it unpacks leaves every file complete or empty and stops with the
# record loop's message; in a memory cgroup (Linux, release stub) its peak
# stays within a quarter of the limit. Needs root for the mount and the group;
# skipped (77) without them.
#   stress_test.sh PACK STUB_FILE linux-x64|windows-x64 [WINE_RUN PREFIX]
set -u
pack=$1 stub=$2 kind=$3 wine_run=${4:-} prefix=${5:-}
scratch=$(mktemp -d)
small=$scratch/small
group=
cleanup() {
  umount "$small" 2>/dev/null
  [ -n "$group" ] && rmdir "$group" 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT
failures=0
ok() { echo "ok   $1"; }
fail() { echo "FAIL $1"; failures=$((failures + 1)); }
mkdir -p "$small" && mount -t tmpfs -o size=8m tmpfs "$small" 2>/dev/null || { echo "no tmpfs mount here"; exit 77; }

if [ "$kind" = windows-x64 ]; then
  entry=probe.exe opts=(--stub windows-x64 --fast-start) target="Z:${small//\//\\}\\t"
  run() { "$wine_run" --prefix "$prefix" "$@"; }
else
  entry=probe opts=(--stub linux-x64) target=$small/t
  run() { "$@"; }
fi

# Small files, each one piece, then one that starts a frame of its own.
tree=$scratch/tree
mkdir -p "$tree/lib"
printf 'MZ not started' >"$tree/$entry"
for i in $(seq -w 1 230); do head -c 40K /dev/urandom >"$tree/lib/f$i.bin"; done
head -c 9M /dev/urandom >"$tree/z.bin"
"$pack" "$tree" --entry "$entry" --level 1 "${opts[@]}" --stub-file "$stub" --target-spec "$target" \
  -o "$scratch/full" 2>/dev/null
frames=$("$pack" list "$scratch/full" | sed -n 's/^frames: //p')
[ "${frames:-0}" -gt 1 ] && ok "the launcher has $frames frames" || fail "the launcher has frames ($frames)"
run "$scratch/full" >"$scratch/out" 2>"$scratch/err"
status=$?
[ "$status" = 2 ] && grep -q "Error, couldn't unpack file to target path\." "$scratch/err" &&
  ok "a full disk stops with status 2 and the message" || { fail "a full disk stops (status $status)"; cat "$scratch/err"; }
in_part=0
for file in $(cd "$small/t" && find . -type f); do
  [ -s "$small/t/$file" ] && ! cmp -s "$small/t/$file" "$tree/$file" && in_part=$((in_part + 1))
done
[ "$in_part" = 0 ] && ok "every file is complete or empty" || fail "$in_part files are left in part"
umount "$small"

# A quarter of a 256 MiB limit leaves the launcher one frame's buffer, not two.
memory=/sys/fs/cgroup/memory
if [ "$kind" = linux-x64 ] && [ -w "$memory" ] && mkdir "$memory/mordax-stress-$$" 2>/dev/null; then
  group=$memory/mordax-stress-$$
  limit=$((256 << 20))
  echo "$limit" >"$group/memory.limit_in_bytes"
  big=$scratch/big
  mkdir -p "$big"
  cp "$tree/$entry" "$big/"
  for i in $(seq -w 1 120); do head -c 1M /dev/urandom >"$big/d$i.dat"; done
  "$pack" "$big" --entry "$entry" --level 1 "${opts[@]}" --stub-file "$stub" --target-spec "$scratch/bt" \
    -o "$scratch/bounded" 2>/dev/null
  peak=$(/usr/bin/time -f %M sh -c "echo \$\$ >'$group/cgroup.procs' && exec '$scratch/bounded'" 2>&1 >/dev/null | tail -1)
  [ "$peak" -le $((limit / 4 / 1024)) ] 2>/dev/null && ok "peak memory $peak KiB within a quarter of the limit" ||
    fail "peak memory $peak KiB within a quarter of the limit"
  diff -r "$big" "$scratch/bt" >/dev/null && ok "the tree unpacks in the group" || fail "the tree unpacks in the group"
fi
exit $((failures > 0))
