# For the tests of the routes (the CMake ones, and the writers on both hosts):
# a tree large enough to cut into frames, which a CMake project builds twice,
# with the defaults or the options it is given and then with ONE_FRAME too;
# the first has frames, the second one frame and no frame cache.
#   make_large_tree TREE ENTRY_PROGRAM
#   check_large_tree LABEL BUILD_DIR PACK CUT_LAUNCHER WHOLE_LAUNCHER WHOLE_CACHE CMAKE_ARG...
#     (the targets are the launchers' names, less .exe)
#   tree_digest DIR       (every file's hash, by name)
# check_large_tree uses the caller's $scratch, ok and fail.
make_large_tree() {
  mkdir -p "$1"
  cp "$2" "$1/"
  head -c 9M /dev/urandom >"$1/a.bin"
  # Of another size, or it would share the frame of a.bin as a version of it.
  head -c 12M /dev/urandom >"$1/b.bin"
}

check_large_tree() {
  local label=$1 build=$2 pack=$3 cut_launcher=$4 whole_launcher=$5 whole_cache=$6 cut whole
  shift 6
  if ! cmake "$@" "$build" >"$scratch/large.log" 2>&1 ||
     ! cmake --build "$build" --target "$(basename "$cut_launcher" .exe)" "$(basename "$whole_launcher" .exe)" \
       >>"$scratch/large.log" 2>&1; then
    fail "$label: the large tree's launchers"; tail -20 "$scratch/large.log"; return
  fi
  cut=$("$pack" list "$cut_launcher" | sed -n 's/^frames: //p')
  whole=$("$pack" list "$whole_launcher" | sed -n 's/^frames: //p')
  # ONE_FRAME keeps the faster design's index, and so the rest of that design.
  if [ "$cut" -gt 1 ] 2>/dev/null && [ "$whole" = 1 ] && [ ! -e "$whole_cache" ] &&
     "$pack" list "$whole_launcher" | grep -q '^index: '; then
    ok "$label: a large tree is cut into $cut frames, and ONE_FRAME keeps one"
  else
    fail "$label: frames by default '$cut', with ONE_FRAME '$whole'"; "$pack" list "$whole_launcher" | grep -v '^ '
  fi
}

tree_digest() { (cd "$1" && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum); }
