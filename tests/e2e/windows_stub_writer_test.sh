#!/usr/bin/env bash
# The host writer finishing the Windows stub: the same inputs give the same
# bytes, and what is not an unfinished Windows stub is refused with one line.
#   windows_stub_writer_test.sh MORDAX_PACK STUB_EXE FINISHED_EXE CMAKE_BUILT_EXE APP_DIR
set -u
pack=$1 stub=$2 finished=$3 cmake_built=$4 app=$5
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

# refused WHY ARGS...: non-zero status, exactly one line holding WHY, no output left.
refused() {
  local why=$1
  shift
  if "$pack" "$@" -o "$scratch/out.exe" 2>"$scratch/err"; then fail "accepted: $why"; return; fi
  [ "$(wc -l <"$scratch/err")" = 1 ] && grep -qF -- "$why" "$scratch/err" || { fail "$why"; cat "$scratch/err"; return; }
  [ ! -e "$scratch/out.exe" ] && [ ! -e "$scratch/out.exe.partial" ] || { fail "output left: $why"; return; }
  echo "ok   refused: $why"
}

refused "already carries a payload" "$app" --entry probe.exe --stub windows-x64 --stub-file "$finished"
refused "is a stub for windows-x64, not for linux-x64" "$app" --entry probe.exe --stub linux-x64 --stub-file "$stub"
refused "is not a launcher stub" "$app" --entry probe.exe --stub windows-x64 --stub-file "$cmake_built"
refused "--file-version: each number of a Windows version must be at most 65535" \
  "$app" --entry probe.exe --stub windows-x64 --stub-file "$stub" --file-version 70000.1
"$pack" "$app" --entry probe.exe --records-only -o "$scratch/stream.bin" || fail "writing the record stream"
refused "not a payload" --attach "$scratch/stream.bin" --stub windows-x64 --stub-file "$stub"

# Names Windows cannot create, or would fold into one file, are refused for
# Windows (and only there: a bare payload takes them).
bad_app() {
  rm -rf "$scratch/bad"
  mkdir -p "$scratch/bad"
  cp "$app/probe.exe" "$scratch/bad/"
  for f in "$@"; do mkdir -p "$(dirname "$scratch/bad/$f")"; echo x >"$scratch/bad/$f"; done
}
windows_refuses() {  # windows_refuses WHY NAMES...
  local why=$1
  shift
  bad_app "$@"
  refused "$why" "$scratch/bad" --entry probe.exe --stub windows-x64 --stub-file "$stub"
  refused "$why" "$scratch/bad" --entry probe.exe --for windows-x64
  "$pack" "$scratch/bad" --entry probe.exe -o "$scratch/bare.bin" || fail "a bare payload refused: $*"
}
windows_refuses "lib/CON.txt: a device name that Windows reserves" lib/CON.txt
windows_refuses "a:b: a character Windows does not allow in names" a:b
windows_refuses "name.: a name ending in a dot or a space" name.
windows_refuses "Readme: the same name as README to Windows, which ignores case" Readme README
windows_refuses "App: the same name as the folder app to Windows, which ignores case" App app/x.dll
lower=$(printf 'x/\xc3\xa9t\xc3\xa9') upper=$(printf 'x/\xc3\x89T\xc3\x89')
windows_refuses "$lower: the same name as $upper" "$lower" "$upper"

# Windows would run a batch file through cmd.exe with the launcher's command
# line, which names the launcher: refused as the entry of a Windows launcher.
bad_app run.BAT
refused "run.BAT: a batch file, which a Windows launcher cannot start; make the entry an executable" \
  "$scratch/bad" --entry run.BAT --stub windows-x64 --stub-file "$stub"
refused "run.BAT: a batch file" "$scratch/bad" --entry run.BAT --for windows-x64
"$pack" "$scratch/bad" --entry run.BAT -o "$scratch/bare.bin" || fail "a bare payload refused a batch entry"
"$pack" "$scratch/bad" --entry run.BAT --for linux-x64 -o "$scratch/bare.bin" || fail "a Linux payload refused a .BAT"

# No launcher unpacks into a root folder.
for spec in 'C:\' 'c:' '\' 'C:/'; do
  refused "--target-spec '$spec' is a root folder" "$app" --entry probe.exe --stub windows-x64 --stub-file "$stub" \
    --target-spec "$spec"
done
refused "--target-spec is empty" "$app" --entry probe.exe --stub windows-x64 --stub-file "$stub" --target-spec ""
# Left at its default, the target spec is named, once the launcher is made.
"$pack" "$app" --entry probe.exe --level 3 --stub windows-x64 --stub-file "$stub" -o "$scratch/default.exe" \
  2>"$scratch/err" || fail "a launcher with the default target spec"
[ "$(cat "$scratch/err")" = "mordax-pack: no --target-spec, so the launcher unpacks into '{CACHE_DIR}\tarvell-2.3.8', which every launcher without one shares; name another with --target-spec" ] &&
  echo "ok   the default target spec is named" || { fail "the default target spec"; cat "$scratch/err"; }

cp "$stub" "$scratch/stub.exe"
if "$pack" "$app" --entry probe.exe --stub windows-x64 --stub-file "$scratch/stub.exe" -o "$scratch/./stub.exe" 2>"$scratch/err"; then
  fail "the stub was overwritten"
elif ! grep -q "would replace the stub" "$scratch/err" || ! cmp -s "$stub" "$scratch/stub.exe"; then
  fail "output onto the stub"; cat "$scratch/err"
else
  echo "ok   refused: the output would replace the stub"
fi

for n in 1 2; do
  "$pack" "$app" --entry probe.exe --level 3 --threads $n --stub windows-x64 --stub-file "$stub" --company "C" \
    -o "$scratch/same$n.exe" || fail "packing $n"
done
cmp -s "$scratch/same1.exe" "$scratch/same2.exe" && echo "ok   the same inputs give the same bytes" || fail "outputs differ"
[ "$failures" = 0 ]
