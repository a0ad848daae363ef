#!/usr/bin/env bash
# The Linux writer and the Windows writer (under Wine) give the same bytes from
# the same tree, for a bare payload and its index, the record stream and both
# stubs, each writer finding the stubs beside itself; they refuse the same
# inputs with the same line; and they look inside what they wrote alike.
#   writer_hosts_test.sh WINE_RUN WINEPREFIX LINUX_PACK LINUX_STUB WINDOWS_PACK WINDOWS_STUB
set -u
wine_run=$1 prefix=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }
source "$(cd "$(dirname "$0")/../support" && pwd)/large_tree.sh"

# Each writer installed with both stubs beside it, as cmake --install lays them out.
mkdir -p "$scratch/linux" "$scratch/windows"
cp "$3" "$4" "$6" "$scratch/linux/"
cp "$5" "$4" "$6" "$scratch/windows/"
linux() { "$scratch/linux/mordax-pack" "$@"; }
windows() { MORDAX_WINEPREFIX=$prefix "$wine_run" "$scratch/windows/mordax-pack.exe" "$@"; }

# Both run in the scratch folder with the same relative names, so their lines can match.
cd "$scratch"
# Names whose order differs by UTF-8 bytes, by UTF-16 units (a character past the
# Basic Multilingual Plane against U+FF01) and by locale (case, accents, '.' and
# '/'); nested folders, an empty file, an empty folder and a path past MAX_PATH.
mkdir -p app/sub/deeper "app/dossier été" app/empty-folder
printf 'entry' >app/run.exe
: >app/empty
printf 'ü' >"app/dossier été/naïve.txt"
printf 'smile' >"app/$(printf '\xf0\x9f\x98\x80')"
printf 'bang' >"app/$(printf '\xef\xbc\x81')"
for f in sub/deeper/b sub/A sub.txt Zeta zeta-2 "日本語/ファイル"; do
  mkdir -p "app/$(dirname "$f")"
  printf '%s' "$f" >"app/$f"
done
long=app
for i in 1 2 3 4 5; do long=$long/folder-$i-with-a-name-long-enough-to-pass-the-old-limit; done
mkdir -p "$long"
# Compressible and over one encoder job (2 MiB at these levels), so that a
# single-threaded encoder, whose frames differ, would show.
head -c 4000000 /dev/urandom | base64 >"$long/data.txt"
[ ${#long} -gt 260 ] || fail "the long path is only ${#long} characters"

same() {  # same WHAT OUTPUT... -- ARGS...: both writers, every output identical
  local what=$1
  shift
  local outputs=()
  while [ "$1" != -- ]; do outputs+=("$1"); shift; done
  shift
  mkdir -p L W
  (cd L && linux ../app "$@") || { fail "Linux writer: $what"; return; }
  (cd W && windows ../app "$@") || { fail "Windows writer: $what"; return; }
  for o in "${outputs[@]}"; do
    [ -s "L/$o" ] && cmp -s "L/$o" "W/$o" || { fail "$what: $o differs"; return; }
  done
  echo "ok   the same bytes from both hosts: $what"
}
same "bare payload and its index" out.payload out.index -- --entry run.exe --level 5 --index out.index -o out.payload
same "record stream" out.records -- --entry run.exe --records-only -o out.records
same "Windows launcher" out.exe -- --entry run.exe --level 5 --stub windows-x64 --product "Prödukt ✓" \
  --target-spec '{CACHE_DIR}\été' --file-version 1.2.3.4 -o out.exe
same "Linux launcher" out -- --entry run.exe --level 5 --stub linux-x64 --company "Société" -o out
same "one worker" one.payload -- --entry run.exe --level 5 --threads 1 -o one.payload
cmp -s L/one.payload L/out.payload || fail "the worker count changed the payload"

# The frame cache, made two folders deep on either host: the next pack takes
# its frame from there, and removes only the cache's own files it did not use.
same "frames into a new cache" cold.payload -- --entry run.exe --level 5 --frames --frame-cache deep/cache -o cold.payload
for host in L W; do
  printf stale >$host/deep/cache/mordax-frame-v1-z1-l5-w20-5-0123abcd.zst && printf mine >$host/deep/cache/notes.txt
  touch -d '2000-01-01' $host/deep/cache/mordax-frame-v*
done
same "frames from the cache" warm.payload -- --entry run.exe --level 5 --frames --frame-cache deep/cache -o warm.payload
for host in L W; do
  entries=$(cd $host/deep/cache && ls | tr '\n' ' ')
  cmp -s $host/warm.payload L/out.payload && [ "$(find $host/deep/cache -newermt 2001-01-01 -name 'mordax-frame-*')" = "" ] &&
    [[ "$entries" =~ ^mordax-frame-v1-[^\ ]*\.zst\ notes.txt\ $ ]] && echo "ok   $host: the frame came from the cache" ||
    fail "$host: the frame cache holds $entries"
done

# An output inside the tree is left out of it, on either host.
same "level 1" one-level.payload -- --entry run.exe --level 1 -o one-level.payload
linux app --entry run.exe --level 1 -o app/inside.payload && mv app/inside.payload L/ &&
  windows app --entry run.exe --level 1 -o app/inside.payload && mv app/inside.payload W/ &&
  cmp -s L/inside.payload L/one-level.payload && cmp -s W/inside.payload L/one-level.payload &&
  echo "ok   an output inside the tree is left out" || fail "an output inside the tree"
# What the finished launchers unpack is the tree (the Windows one under Wine);
# their entry is no program, so they end in an error once the files are out.
same "a launcher that unpacks beside itself" unpack -- --entry run.exe --level 5 --stub linux-x64 \
  --target-spec '{PROGRAM_DIR}/unpacked' -o unpack
(cd W && windows ../app --entry run.exe --level 5 --stub windows-x64 --target-spec '{PROGRAM_DIR}\unpacked' \
  -o unpack.exe) || fail "Windows writer: a Windows launcher that unpacks beside itself"
L/unpack >/dev/null 2>&1
MORDAX_WINEPREFIX=$prefix "$wine_run" W/unpack.exe >/dev/null 2>&1
[ "$(tree_digest app)" = "$(tree_digest L/unpacked)" ] || fail "the Linux launcher unpacked another tree"
[ "$(tree_digest app)" = "$(tree_digest W/unpacked)" ] || fail "the Windows launcher unpacked another tree"

# A tree large enough to cut: a Windows launcher keeps one frame unless it opts
# in, then --one-frame keeps one again; each unpacks the tree under Wine.
make_large_tree large app/run.exe
for variant in "default:1:" "fast:many:--fast-start" "fast-whole:1:--fast-start --one-frame"; do
  IFS=: read -r name expected extra <<<"$variant"
  args=(../large --entry run.exe --level 1 --stub windows-x64 $extra --target-spec "{PROGRAM_DIR}\\large-$name"
        -o "large-$name.exe")
  (cd L && linux "${args[@]}") && (cd W && windows "${args[@]}") || { fail "a large tree, $name"; continue; }
  frames=$(linux list "L/large-$name.exe" | sed -n 's/^frames: //p')
  [ "$expected" = many ] && [ "$frames" -gt 1 ] && expected=$frames
  MORDAX_WINEPREFIX=$prefix "$wine_run" "W/large-$name.exe" >/dev/null 2>&1
  if cmp -s "L/large-$name.exe" "W/large-$name.exe" && [ "$frames" = "$expected" ] &&
     [ "$(tree_digest large)" = "$(tree_digest "W/large-$name")" ]; then
    echo "ok   a large tree ($name, frames: $frames): the same from both hosts, unpacked under Wine"
  else
    fail "a large tree ($name): $frames frames, expected $expected"
  fi
done

[ "$(linux --version)" = "$(windows --version)" ] && linux --version | grep -qx 'mordax-pack [0-9.]*' ||
  fail "--version: $(linux --version) / $(windows --version)"

# refused_alike WHY ARGS...: both fail with one line, the same line, holding WHY, and leave no output.
refused_alike() {
  local why=$1
  shift
  linux "$@" -o out.bin 2>linux.err && { fail "Linux writer accepted: $why"; return; }
  windows "$@" -o out.bin 2>windows.err && { fail "Windows writer accepted: $why"; return; }
  [ "$(wc -l <linux.err)" = 1 ] && grep -qF -- "$why" linux.err || { fail "Linux: $why"; cat linux.err; return; }
  cmp -s linux.err windows.err || { fail "different lines for: $why"; cat linux.err windows.err; return; }
  [ ! -e out.bin ] && [ ! -e out.bin.partial ] || { fail "output left: $why"; rm -f out.bin*; return; }
  echo "ok   refused alike: $why"
}
refused_alike "--level must be a whole number from 1 to 22" app --entry run.exe --level 30
refused_alike "missing.exe: No such file or directory" app --entry missing.exe
refused_alike "nowhere: not a directory" nowhere --entry run.exe
refused_alike "sub: not a regular file" app --entry sub
refused_alike "is a stub for windows-x64, not for linux-x64" app --entry run.exe --stub linux-x64 \
  --stub-file linux/mordax-stub-windows-x64.exe
refused_alike "not a payload" --attach app/run.exe --stub windows-x64
mkdir -p fold/x && cp app/run.exe fold/
printf a >"fold/x/$(printf '\xc3\xa9t\xc3\xa9')" && printf b >"fold/x/$(printf '\xc3\x89T\xc3\x89')"
# Case folded as Windows does on either host (a device name such as CON.txt cannot
# be a file on a Windows host, so that refusal is the Linux writer's alone).
refused_alike "the same name as" fold --entry run.exe --stub windows-x64

# On a terminal, which Wine gives the Windows writer as its console, both show
# the same progress and the same refusal, a name outside ASCII intact: the
# Windows writer speaks UTF-16 to a console. Lines as shown, control sequences left out.
on_terminal() {
  script -qec "$1 app --entry nü.exe -o t.bin; $1 app --entry run.exe --level 1 -o t.bin" /dev/null </dev/null |
    sed 's/\x1b\[[?0-9;]*[a-zA-Z]//g' | tr '\r' '\n' | grep -v '^$'
}
linux_shown=$(on_terminal "$scratch/linux/mordax-pack")
windows_shown=$(on_terminal "MORDAX_WINEPREFIX=$prefix $wine_run $scratch/windows/mordax-pack.exe")
records=$(find app -type f | wc -l)
if grep -qx "mordax-pack: nü.exe: No such file or directory" <<<"$linux_shown" &&
   grep -q "^mordax-pack: $records/$records files, 5/5 MiB$" <<<"$linux_shown" &&
   [ "$linux_shown" = "$windows_shown" ]; then
  echo "ok   the same lines on a terminal"
else
  fail "on a terminal"; echo "$linux_shown"; echo "--"; echo "$windows_shown"
fi
# Looking inside: both hosts list and verify alike, extract the same tree, and
# replace an existing file only with --force.
for what in L/out.payload L/out.exe L/out; do
  for command in list verify; do
    linux $command "$what" >linux.out 2>&1 || fail "Linux writer: $command $what"
    windows $command "$what" >windows.out 2>&1 || fail "Windows writer: $command $what"
    cmp -s linux.out windows.out || { fail "$command $what differs"; cat linux.out windows.out; }
  done
done
linux extract L/out.exe XL >/dev/null || fail "Linux writer: extract"
windows extract L/out.exe XW >/dev/null || fail "Windows writer: extract"
[ "$(tree_digest app)" = "$(tree_digest XL)" ] && [ "$(tree_digest app)" = "$(tree_digest XW)" ] || fail "extract gave another tree"
windows extract L/out.exe XW >/dev/null 2>windows.err && fail "Windows writer: extract over an existing tree"
grep -q "exists already (--force replaces it)" windows.err || { fail "Windows writer: extract over a tree"; cat windows.err; }
printf changed >XW/empty
windows extract L/out.exe XW --force >/dev/null && [ ! -s XW/empty ] || fail "Windows writer: extract --force"
cp L/out.payload damaged.payload && printf 'X' | dd of=damaged.payload bs=1 seek=1 conv=notrunc 2>/dev/null
linux verify damaged.payload >linux.out 2>&1 && fail "Linux writer: verify passed a damaged payload"
windows verify damaged.payload >windows.out 2>&1 && fail "Windows writer: verify passed a damaged payload"
cmp -s linux.out windows.out || { fail "verify of a damaged payload differs"; cat linux.out windows.out; }
echo "ok   list, verify and extract alike on both hosts"

[ "$failures" = 0 ]
