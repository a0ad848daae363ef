# For the tests of the CMake routes: a tree large enough to cut into frames,
# which the project builds as large_cut (the defaults) and large_whole
# (ONE_FRAME); the first has frames, the second one frame and no frame cache.
#   check_large_tree LABEL BUILD_DIR PACK ENTRY_PROGRAM CUT_LAUNCHER WHOLE_LAUNCHER WHOLE_CACHE
# Uses the caller's $scratch, ok and fail.
check_large_tree() {
  local label=$1 build=$2 pack=$3 cut whole
  mkdir -p "$scratch/large"
  cp "$4" "$scratch/large/"
  head -c 9M /dev/urandom >"$scratch/large/a.bin"
  head -c 9M /dev/urandom >"$scratch/large/b.bin"
  if ! cmake -DLARGE_APP="$scratch/large" "$build" >"$scratch/large.log" 2>&1 ||
     ! cmake --build "$build" --target large_cut large_whole >>"$scratch/large.log" 2>&1; then
    fail "$label: the large tree's launchers"; tail -20 "$scratch/large.log"; return
  fi
  cut=$("$pack" list "$5" | sed -n 's/^frames: //p')
  whole=$("$pack" list "$6" | sed -n 's/^frames: //p')
  if [ "$cut" -gt 1 ] 2>/dev/null && [ "$whole" = 1 ] && [ ! -e "$7" ]; then
    ok "$label: a large tree is cut into $cut frames, and ONE_FRAME keeps one"
  else
    fail "$label: frames by default '$cut', with ONE_FRAME '$whole'"
  fi
}
