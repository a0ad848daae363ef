#!/usr/bin/env bash
# mordax-pack list, verify and extract on this build's launchers (built by CMake
# and finished from the stub) and bare payloads, and verify on every payload of
# the failure table.
#   inspect_test.sh MORDAX_PACK E2E_BIN EXE TARGET CASES_FILE
set -u
pack=$1 bin=$2 exe=$3 target=$4 cases=$5
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

# What verify says of each damaged payload of the table, as FILE; "" for a sound one.
expected_verdict() {  # expected_verdict NAME FILE
  case $1 in
    # Only a Windows launcher cannot start a batch file.
    batch_entry) case $2 in *.exe) echo "record 1 (run.bat) is a batch file, which a Windows launcher cannot start" ;; esac ;;
    bad_magic_*) echo 'the payload does not begin with the magic "QOB"' ;;
    not_a_frame) echo "the bytes after the magic do not begin a Zstandard frame" ;;
    truncated) echo "the frame is cut short or damaged" ;;
    window_28) echo "the frame's window is 256 MiB, more than the launcher's 128 MiB" ;;
    # The launcher reads it; the design's payloads store no content size.
    content_size) echo "the frame header stores the content size" ;;
    no_end_marker) echo "the record stream ends before its end marker" ;;
    empty_stream) echo "no records: the launcher would have nothing to start" ;;
    same_name | zstd_pieces) echo "" ;;
    *) echo "no verdict written down for this case" ;;
  esac
}

while IFS= read -r line; do
  name=${line%% *}
  for file in "$bin/payloads/$name.bin" "$bin/$name$exe" "$bin/stub/$name$exe"; do
    why=$(expected_verdict "$name" "$file")
    if [ -z "$why" ]; then
      "$pack" verify "$file" >"$scratch/out" 2>&1 || { fail "verify refused $file"; cat "$scratch/out"; }
      continue
    fi
    if "$pack" verify "$file" >"$scratch/out" 2>"$scratch/err"; then fail "verify passed $file"; continue; fi
    [ "$(wc -l <"$scratch/err")" = 1 ] && [ ! -s "$scratch/out" ] && grep -qF -- "$file: $why" "$scratch/err" ||
      { fail "verify of $file, wanted: $why"; cat "$scratch/err"; continue; }
  done
  echo "ok   verify: $name"
done < <(grep '^[a-z]' "$cases")

# The probe application through each kind of file: the same records, in the
# writer's order, and extracted, the same tree.
records='probe'$exe'
big.txt
chunk32768.bin
chunk32769.bin
d1/d2/d3/d4/d5/d6/d7/d8/d9/d10/ten.txt
empty.txt
small.txt'
sep=/
[ -n "$exe" ] && sep='\'
for file in "$bin/e2e_probe.launcher/payload.bin" "$bin/probe$exe" "$bin/stub/probe$exe"; do
  case $file in
    *.bin) kind=payload ;;
    */stub/*) kind="$target launcher finished from the stub" ;;
    *) kind="$target launcher built by CMake" ;;
  esac
  "$pack" list "$file" >"$scratch/list" || fail "list $file"
  [ "$(head -n 1 "$scratch/list")" = "$kind" ] || fail "list $file: not a $kind: $(head -n 1 "$scratch/list")"
  [ "$(grep -E '^ +[0-9]+  [0-9a-f]{8}  ' "$scratch/list" | sed -E 's/^ +[0-9]+  [0-9a-f]{8}  //')" = "$records" ] ||
    { fail "list $file: records"; cat "$scratch/list"; }
  if [ "$kind" != payload ]; then
    grep -qxF "target spec: {TEMP}${sep}mordax-e2e" "$scratch/list" || { fail "list $file: target spec"; cat "$scratch/list"; }
  fi
  "$pack" verify "$file" >"$scratch/out" 2>&1 && grep -qxF "$kind: 7 records, every checksum matches" "$scratch/out" ||
    { fail "verify $file"; cat "$scratch/out"; }
  rm -rf "$scratch/tree"
  "$pack" extract "$file" "$scratch/tree" >/dev/null || fail "extract $file"
  diff -r "$bin/apps/probe" "$scratch/tree" || fail "extract $file: another tree"
  echo "ok   list, verify, extract: $kind"
done

# The strings of a launcher built by CMake are found as surely as those of one
# finished from the stub with the same strings.
for file in "$bin/cmake_strings$exe" "$bin/stub/custom_strings$exe"; do
  "$pack" list "$file" >"$scratch/list" || fail "list $file"
  sed -n '2,7p' "$scratch/list" >"$scratch/strings.${file##*/}"
done
printf '%s\n' "target spec: {TEMP}${sep}{COMPANY}-{PRODUCT}-{VERSION}-{FILE_VERSION}-{PRODUCT_VERSION}" \
  "company: Örnek" "product: Widget Pro" "version: 4.5" "file version: 4.5.6.7" "product version: 4.5.6" >"$scratch/wanted"
for copy in "$scratch/strings.cmake_strings$exe" "$scratch/strings.custom_strings$exe"; do
  cmp -s "$scratch/wanted" "$copy" || { fail "strings of ${copy##*.}"; diff "$scratch/wanted" "$copy"; }
done
echo "ok   the strings of both kinds of launcher"
[ "$failures" = 0 ]
