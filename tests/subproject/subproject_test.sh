#!/usr/bin/env bash
# mordax_add_launcher called from an application's own project, which takes
# this tree in through add_subdirectory, with every optional argument left out:
# for each target, launchers from APP_DIR and from PAYLOAD unpack into
# tarvell-2.3.8 below the user's cache folder, never into a root folder, and a
# Windows launcher's version resource carries the default strings.
#   subproject_test.sh LINUX_RELEASE_TREE WINDOWS_TREE
# (Wine runs the .exe files, in $MORDAX_WINEPREFIX.)
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
linux_tree=$(cd "$1" && pwd) windows_tree=$(cd "$2" && pwd)
pack=$linux_tree/tools/mordax-pack
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0 passes=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }
ok() { echo "ok   $*"; passes=$((passes + 1)); }
source "$root/tests/support/large_tree.sh"
cp -r "$root/tests/subproject" "$scratch/project"

# build TARGET APP ENTRY [CMAKE ARGUMENTS...]: the project's launchers in $scratch/TARGET.
build() {
  local target=$1 app=$2 entry=$3
  shift 3
  "$pack" "$app" --entry "$entry" --level 3 -o "$scratch/$target.payload" || { fail "$target: payload"; return 1; }
  if ! cmake -S "$scratch/project" -B "$scratch/$target" -G Ninja -DCMAKE_BUILD_TYPE=Release \
       -DMORDAX_SOURCE="$root" -DAPP="$app" -DENTRY="$entry" -DPAYLOAD="$scratch/$target.payload" "$@" \
       >"$scratch/$target.log" 2>&1; then
    fail "$target: configure"; cat "$scratch/$target.log"; return 1
  fi
  if grep -q "mordax_add_launcher(app_tree): no TARGET_SPEC, so it unpacks into '{CACHE_DIR}.tarvell-2.3.8'" \
       "$scratch/$target.log"; then
    ok "$target: configuring says where a launcher without a target spec unpacks"
  else
    fail "$target: no word on the default target spec"; cat "$scratch/$target.log"
  fi
  cmake --build "$scratch/$target" --target app_tree app_payload >>"$scratch/$target.log" 2>&1 ||
    { fail "$target: build"; tail -30 "$scratch/$target.log"; return 1; }
}

# refused TARGET VARIABLE VALUE WHY: configuring with that call stops, saying WHY.
refused() {
  if cmake "-D$2=$3" "$scratch/$1" >"$scratch/refused.log" 2>&1; then
    fail "$1: configured with $2=$3"
  elif tr -s '\n ' '  ' <"$scratch/refused.log" | grep -qF -- "$4"; then  # CMake wraps its messages
    ok "$1: refused at configure time: $4"
  else
    fail "$1: $2=$3 refused without saying: $4"; cat "$scratch/refused.log"
  fi
  cmake "-U$2" "$scratch/$1" >/dev/null 2>&1
}

# unpacked_below CACHE LAUNCHER ENTRY: the launcher ran its entry from CACHE/tarvell-2.3.8, with its data.
unpacked_below() {
  [ -f "$1/tarvell-2.3.8/$3" ] && [ -f "$1/tarvell-2.3.8/data/readme.txt" ] &&
    grep -q "argument 1: first" "$scratch/run.out"
}

# Linux.
linux_app=$linux_tree/examples/demo-app
if build linux "$linux_app" hello; then
  for launcher in app_tree app_payload; do
    cache=$scratch/cache-$launcher
    mkdir -p "$cache"
    XDG_CACHE_HOME=$cache "$scratch/linux/$launcher" first >"$scratch/run.out" 2>&1
    if unpacked_below "$cache" "$launcher" hello; then
      ok "linux: $launcher unpacks below the cache folder into tarvell-2.3.8"
    else
      fail "linux: $launcher"; cat "$scratch/run.out"; find "$cache"
    fi
  done
  refused linux REFUSED_TARGET_SPEC / "TARGET_SPEC '/' is a root folder"
  refused linux REFUSED_TARGET_SPEC "" "TARGET_SPEC is empty"
  refused linux REFUSED_TARGET_SPEC .. \
    "TARGET_SPEC '..' is relative, so it would unpack below the folder the launcher is started from; begin it with /,"
  make_large_tree "$scratch/large" "$linux_app/hello"
  check_large_tree linux "$scratch/linux" "$pack" "$scratch/linux/large_cut" "$scratch/linux/large_whole" \
    "$scratch/linux/large_whole.launcher/frames" -DLARGE_APP="$scratch/large"
  refused linux REFUSED_TARGET_SPEC '{CACHE_DIR}\myapp-1.0' "holds a backslash; Linux separates folders with /"
fi

# Windows, under Wine: the cache folder is the prefix's local application data.
windows_app=$windows_tree/examples/demo-app
if build windows "$windows_app" hello.exe -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
     -DMORDAX_PACK="$pack"; then
  prefix=${MORDAX_WINEPREFIX:-$windows_tree/wineprefix}
  for launcher in app_tree app_payload; do
    # Made on the prefix's first use; found by its name, whatever the user's.
    "$root/cmake/wine-run" cmd /c exit 0 >/dev/null 2>&1
    local_data=$(find "$prefix/drive_c/users" -maxdepth 3 -path '*/AppData/Local' -type d | head -1)
    rm -rf "$local_data/tarvell-2.3.8"
    "$root/cmake/wine-run" "$scratch/windows/$launcher.exe" first >"$scratch/run.out" 2>&1
    if [ -n "$local_data" ] && unpacked_below "$local_data" "$launcher" hello.exe; then
      ok "windows: $launcher unpacks below local application data into tarvell-2.3.8"
    else
      fail "windows: $launcher"; cat "$scratch/run.out"; find "$local_data" -maxdepth 2
    fi
    rm -rf "$local_data/tarvell-2.3.8"
    # The version resource's strings are UTF-16: with the zero bytes taken out,
    # each name runs straight into its value.
    missing=
    for pair in CompanyNameTarvell "ProductNameTarvell Pro" FileVersion2.3.8 ProductVersion2.3.8; do
      tr -d '\000' <"$scratch/windows/$launcher.exe" | grep -aqF "$pair" || missing="$missing $pair"
    done
    [ -z "$missing" ] && ok "windows: $launcher's version resource carries the default strings" ||
      fail "windows: $launcher's version resource lacks:$missing"
  done
  # With FAST_START a large tree is cut, unless ONE_FRAME; both unpack it.
  make_large_tree "$scratch/large-windows" "$windows_app/hello.exe"
  check_large_tree "windows, FAST_START" "$scratch/windows" "$pack" "$scratch/windows/large_cut.exe" \
    "$scratch/windows/large_whole.exe" "$scratch/windows/large_whole.launcher/frames" \
    -DLARGE_APP="$scratch/large-windows" -DLARGE_OPTIONS=FAST_START
  for launcher in large_cut large_whole; do
    rm -rf "$local_data/tarvell-2.3.8"
    "$root/cmake/wine-run" "$scratch/windows/$launcher.exe" first >"$scratch/run.out" 2>&1
    grep -q "argument 1: first" "$scratch/run.out" &&
      [ "$(tree_digest "$scratch/large-windows")" = "$(tree_digest "$local_data/tarvell-2.3.8")" ] &&
      ok "windows, FAST_START: $launcher unpacks the large tree" || fail "windows, FAST_START: $launcher"
  done
  rm -rf "$local_data/tarvell-2.3.8"
  refused windows REFUSED_TARGET_SPEC 'C:\' "TARGET_SPEC 'C:\' is a root folder"
  refused windows REFUSED_TARGET_SPEC 'C:app' "TARGET_SPEC 'C:app' is relative, so it would unpack below the folder"
  refused windows REFUSED_ENTRY run.Bat "ENTRY run.Bat is a batch file, which a Windows launcher cannot start"
  # Names NTFS folds into one file: the payload for a Windows launcher is refused.
  mkdir -p "$scratch/folded/data"
  cp "$windows_app/hello.exe" "$scratch/folded/"
  : >"$scratch/folded/data/LICENSE"
  echo "the text" >"$scratch/folded/data/license"
  if cmake -DFOLDED_APP="$scratch/folded" "$scratch/windows" >"$scratch/folded.log" 2>&1 &&
     ! cmake --build "$scratch/windows" --target folded >>"$scratch/folded.log" 2>&1 &&
     grep -qF "data/license: the same name as data/LICENSE to Windows, which ignores case" "$scratch/folded.log"; then
    ok "windows: a payload with names Windows folds into one is refused"
  else
    fail "windows: names Windows folds into one"; tail -20 "$scratch/folded.log"
  fi
fi
echo "subproject: $passes passed, $failures failed"
[ "$failures" = 0 ]
