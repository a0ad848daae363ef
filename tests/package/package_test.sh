#!/usr/bin/env bash
# The installed package and the archives, used as a newcomer uses them:
# an outside CMake project against the installed prefix (not this source tree)
# makes a launcher for each target, and both run; each archive holds what its
# README lists, and its writer, unpacked into an empty folder, packages the
# demo application for both targets.
#   package_test.sh PREFIX LINUX_RELEASE_TREE WINDOWS_TREE
# (the prefix holds `cmake --install` of both trees; Wine runs the .exe files).
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
prefix=$(cd "$1" && pwd) linux_tree=$(cd "$2" && pwd) windows_tree=$(cd "$3" && pwd)
wine_run=$root/cmake/wine-run
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0 passes=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }
ok() { echo "ok   $*"; passes=$((passes + 1)); }
source "$root/tests/support/large_tree.sh"
linux_app=$linux_tree/examples/demo-app windows_app=$windows_tree/examples/demo-app

# The installed package names nothing of the source or build trees.
if grep -rlF -e "$root" "$prefix/lib/cmake"; then fail "the installed package refers to the source tree"; fi

# The outside project, from a folder of its own.
cp -r "$root/tests/package/outside" "$scratch/outside"
"$prefix/bin/mordax-pack" "$linux_app" --entry hello --level 3 -o "$scratch/hello.payload" || fail "payload"
if cmake -S "$scratch/outside" -B "$scratch/outside-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
     -DLINUX_APP="$linux_app" -DWINDOWS_APP="$windows_app" -DPAYLOAD="$scratch/hello.payload" >"$scratch/log" 2>&1 &&
   cmake --build "$scratch/outside-build" >>"$scratch/log" 2>&1; then
  ok "an outside project builds its launchers against the installed package"
else
  fail "the outside project"; cat "$scratch/log"
fi
out=$scratch/outside-build/launchers
# The Linux launcher's payload is cut into frames, which the function keeps
# for the next pack; the Windows one, without the opt-in, has one frame and no cache.
ls "$out/hello_linux.frames" | grep -q '^mordax-frame-' && [ ! -e "$out/hello_windows.frames" ] &&
  ok "the installed function keeps the Linux launcher's frames" || fail "the frame cache: $(ls "$out")"
# The installed function names the folder a launcher left at the default
# target spec shares, and refuses a root or relative folder before anything is built.
grep -q "mordax_add_launcher(hello_linux): no TARGET_SPEC, so it unpacks into '{CACHE_DIR}/tarvell-2.3.8'" \
  "$scratch/log" && ok "configuring names the shared default folder" || fail "no word on the default target spec"
for refused in "/|is a root folder" "..|is relative"; do
  spec=${refused%%|*} why=${refused#*|}
  if cmake -DREFUSED_TARGET_SPEC="$spec" "$scratch/outside-build" >"$scratch/refused.log" 2>&1; then
    fail "the installed function took the target spec '$spec'"
  elif tr -s '\n ' '  ' <"$scratch/refused.log" | grep -qF "TARGET_SPEC '$spec' $why"; then
    ok "the installed function refuses the target spec '$spec'"
  else
    fail "the target spec '$spec' refused without saying so"; cat "$scratch/refused.log"
  fi
done
cmake -UREFUSED_TARGET_SPEC "$scratch/outside-build" >/dev/null 2>&1
make_large_tree "$scratch/large" "$linux_app/hello"
check_large_tree "the installed function" "$scratch/outside-build" "$prefix/bin/mordax-pack" \
  "$out/large_cut" "$out/large_whole" "$out/large_whole.frames" -DLARGE_APP="$scratch/large"
# A Windows launcher that opts in is cut too, unless ONE_FRAME; both unpack the tree under Wine.
make_large_tree "$scratch/large-windows" "$windows_app/hello.exe"
check_large_tree "the installed function, Windows with FAST_START" "$scratch/outside-build" \
  "$prefix/bin/mordax-pack" "$out/large_fast_cut.exe" "$out/large_fast_whole.exe" "$out/large_fast_whole.frames" \
  -DLARGE_WINDOWS_APP="$scratch/large-windows"
for launcher in large_fast_cut large_fast_whole; do
  "$wine_run" "$out/$launcher.exe" large 2>&1 | grep -q 'argument 1: large' &&
    [ "$(tree_digest "$scratch/large-windows")" = "$(tree_digest "$out/$launcher.d")" ] &&
    ok "the installed function's $launcher unpacks the tree under Wine" || fail "$launcher under Wine"
done

# Behaves as the source tree's demo launcher, built by today's function with the
# same defaults: the same output, the same files unpacked, the same second start.
# Two starts from one place and cache, their output (less the process id) and the files unpacked.
run_linux() {  # run_linux LAUNCHER RESULT
  rm -rf "$scratch/run"
  mkdir -p "$scratch/run/cache"
  cp "$1" "$scratch/run/launcher"
  for args in "one|two words" "again"; do
    IFS='|' read -r -a list <<<"$args"
    XDG_CACHE_HOME=$scratch/run/cache "$scratch/run/launcher" "${list[@]}" 2>&1 | grep -v MORDAX_ONEFILE_PARENT
    echo "status ${PIPESTATUS[0]}"
  done >"$2"
  tree_digest "$scratch/run/cache" >>"$2"
}
run_linux "$linux_tree/examples/demo" "$scratch/demo.out"
run_linux "$out/hello_linux" "$scratch/outside.out"
if grep -q 'argument 2: two words' "$scratch/outside.out" && cmp -s "$scratch/demo.out" "$scratch/outside.out"; then
  ok "the Linux launcher behaves as the one built from source"
else
  fail "the Linux launcher"; diff "$scratch/demo.out" "$scratch/outside.out"
fi
"$out/hello_attached" attached 2>&1 | grep -q 'argument 1: attached' && ok "the launcher around a payload runs" ||
  fail "the launcher around a payload"
"$wine_run" "$out/hello_windows.exe" windows 2>&1 | grep -q 'argument 1: windows' &&
  [ -f "$out/hello_windows.d/hello.exe" ] && ok "the Windows launcher runs under Wine" || fail "the Windows launcher"

# The archives: what the README lists, and a writer that works alone.
version=$(sed -n 's/^project(mordax VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
for tree in "$linux_tree" "$windows_tree"; do
  (cd "$tree" && cpack -C Release >"$scratch/cpack.log" 2>&1) || { fail "cpack in $tree"; cat "$scratch/cpack.log"; }
done
check_archive() {  # check_archive FILE TARGET WRITER
  local archive=$1 target=$2 writer=$3 name top
  name=mordax-$version-$target
  top=$scratch/unpacked-$target
  mkdir -p "$top"
  (cd "$top" && cmake -E tar xf "$archive") || { fail "unpacking $archive"; return; }
  local want="$name/README.txt
$name/bin/$writer
$name/bin/mordax-stub-linux-x64
$name/bin/mordax-stub-windows-x64.exe
$name/lib/cmake/Mordax/MordaxChecks.cmake
$name/lib/cmake/Mordax/MordaxConfig.cmake
$name/lib/cmake/Mordax/MordaxConfigVersion.cmake
$name/lib/cmake/Mordax/MordaxDefaults.cmake"
  local have
  have=$(cd "$top" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
  [ "$have" = "$want" ] || { fail "$archive holds:"; echo "$have"; return; }
  for listed in "bin/$writer" bin/mordax-stub-linux-x64 bin/mordax-stub-windows-x64.exe lib/cmake/Mordax/; do
    grep -qF "$listed" "$top/$name/README.txt" || fail "$archive: the README does not list $listed"
  done
  ok "$(basename "$archive") holds what its README lists"
}
check_archive "$linux_tree/packages/mordax-$version-linux-x64.tar.gz" linux-x64 mordax-pack
check_archive "$windows_tree/packages/mordax-$version-windows-x64.zip" windows-x64 mordax-pack.exe

# Each archive's writer, alone in its folder, packages the demo for both targets.
linux_bin=$scratch/unpacked-linux-x64/mordax-$version-linux-x64/bin
windows_bin=$scratch/unpacked-windows-x64/mordax-$version-windows-x64/bin
cd "$scratch"
"$linux_bin/mordax-pack" "$linux_app" --entry hello --stub linux-x64 --target-spec '{PROGRAM_DIR}/a.d' -o a &&
  ./a archive | grep -q 'argument 1: archive' && ok "the Linux archive's writer makes a Linux launcher that runs" ||
  fail "the Linux archive's writer, for Linux"
"$linux_bin/mordax-pack" "$windows_app" --entry hello.exe --stub windows-x64 --target-spec '{PROGRAM_DIR}\b.d' -o b.exe &&
  "$wine_run" b.exe archive | grep -q 'argument 1: archive' &&
  ok "the Linux archive's writer makes a Windows launcher that runs" || fail "the Linux archive's writer, for Windows"
"$wine_run" "$windows_bin/mordax-pack.exe" "$windows_app" --entry hello.exe --stub windows-x64 \
  --target-spec '{PROGRAM_DIR}\c.d' -o c.exe && "$wine_run" c.exe archive | grep -q 'argument 1: archive' &&
  ok "the Windows archive's writer makes a Windows launcher that runs" || fail "the Windows archive's writer, for Windows"
"$wine_run" "$windows_bin/mordax-pack.exe" "$linux_app" --entry hello --stub linux-x64 --target-spec '{PROGRAM_DIR}/d.d' \
  -o d && chmod +x d && ./d archive | grep -q 'argument 1: archive' &&
  ok "the Windows archive's writer makes a Linux launcher that runs" || fail "the Windows archive's writer, for Linux"
echo "package: $passes passed, $failures failed"
[ "$failures" = 0 ]
