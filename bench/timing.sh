# Helpers of the benchmark scripts, sourced from the project's root with $work
# set to where the seconds of every run are kept.

# What the workload and its payloads are made from: the generator, the writer
# and the payload's format.
workload_hash() {
  cat bench/generate_workload.cpp tools/*.cpp tools/*.h payload/format.h payload/index.h payload/attached.h |
    sha256sum | cut -c1-16
}

# alternate NAME ROUNDS [PREPARE COMMAND]...: runs the commands in turn, ROUNDS
# times, each after its untimed preparation; the seconds of every run go to
# $work/NAME.<i>, a line each.
alternate() {
  local name=$1 rounds=$2 i r start
  shift 2
  local -a pairs=("$@")
  local n=$((${#pairs[@]} / 2))
  for ((i = 0; i < n; i++)); do : >"$work/$name.$i"; done
  for ((r = 0; r < rounds; r++)); do
    for ((i = 0; i < n; i++)); do
      eval "${pairs[2 * i]}"
      start=$EPOCHREALTIME
      eval "${pairs[2 * i + 1]}" >/dev/null
      awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.4f\n", b - a }' >>"$work/$name.$i"
    done
  done
}
stat_of() {  # stat_of NAME INDEX FIELD (median, min or max, in seconds)
  sort -n "$work/$1.$2" | awk -v f="$3" '{ v[NR] = $1 } END {
    if (f == "min") print v[1]; else if (f == "max") print v[NR];
    else if (NR % 2) print v[(NR + 1) / 2]; else printf "%.4f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
range() { echo "$(stat_of "$1" "$2" median) ($(stat_of "$1" "$2" min)-$(stat_of "$1" "$2" max))"; }

# settle_for INPUT...: sets $settle, the untimed preparation of a first start
# after its target is removed, and $settled, its description. Written data is
# flushed. The project's disk here is ext4 without a journal, where each new
# inode first skips every inode deleted in the last minute whose inode table is
# still cached: right after removing the previous target, that skipping is most
# of a first start. Dropping the clean caches (as root) ends it; the inputs
# (files or folders) are then read back in, so that only the file system's own
# blocks start cold.
settle_for() {
  if [ -w /proc/sys/vm/drop_caches ]; then
    settle="sync && echo 1 >/proc/sys/vm/drop_caches && find -H $* -type f -exec cat {} + >/dev/null"
    settled="removed, written data flushed and clean caches dropped (the inputs read back in)"
  else
    settle="sync"
    settled="removed and written data flushed"
  fi
}
