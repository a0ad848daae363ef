#!/usr/bin/env bash
# The benchmark suite (Linux native, release build): whole starts of the launcher,
# with and without the payload's index and on a payload made by the zstd
# command, against the floors (decoding with the
# window on huge pages, decoding the frames on every core, writing the tree,
# checking the unpacked files) and tar, first and later starts on a tree of
# many small files, peak memory, the start overhead on a tiny payload, and
# packing: from scratch, and again with the frame cache after a small change.
# Prints one table (also kept in build/bench/results.md). The commands compared
# in a row run in turn, round after round; before every timed first start the
# target is removed and written data flushed (sync), untimed; as root, clean
# caches are dropped too (see bench/timing.sh).
#   bench/run.sh [ROUNDS]      ROUNDS of each row (default 10)
# The workload and its payloads are made once and kept in build/bench.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
runs=${1:-10}
bash scripts/install-deps.sh >/dev/null
work=$root/build/bench
mkdir -p "$work"
# A tree of its own, so that the benchmark launchers (hundreds of megabytes)
# are never rebuilt by the builds of the demo and the tests.
release=build/bench-release
cmake --preset bench >/dev/null
cmake --build "$release" --target mordax-pack mordax-stub generate_workload decode_floor frames_floor check_floor \
  exit_at_once cores_shim >/dev/null
pack=$release/tools/mordax-pack
level=19

# The workload and its payloads, made once.
stamp=$work/workload.stamp
source bench/timing.sh
source_hash=$(workload_hash)
if [ "$(cat "$stamp" 2>/dev/null)" != "$source_hash" ]; then
  echo "making the workload (once)..." >&2
  "$release/bench/generate_workload" "$work/tree" "$release/bench/exit_at_once" >&2
  /usr/bin/time -f %e -o "$work/pack_default.seconds" "$pack" "$work/tree" --entry bin/app \
    --index "$work/app.index" -o "$work/app.payload"
  # The same with the stub finished around it, against the bare payload plus a copy.
  /usr/bin/time -f %e -o "$work/pack_stub.seconds" "$pack" "$work/tree" --entry bin/app \
    --stub linux-x64 -o "$work/app.launcher"
  sync
  /usr/bin/time -f %e -o "$work/copy.seconds" cp "$work/app.payload" "$work/app.copy"
  rm -f "$work/app.copy"
  mkdir -p "$work/tiny"
  cp "$release/bench/exit_at_once" "$work/tiny/app"
  "$pack" "$work/tiny" --entry app -o "$work/tiny.payload"
  (cd "$work/tree" && tar -cf "$work/app.tar" .)  # also the write floor's input
  /usr/bin/time -f %e -o "$work/zstd_default.seconds" zstd -q -f -$level --long=27 -T0 "$work/app.tar" -o "$work/app.tar.zst"
  # The same tree in frames, as the launchers of the faster design carry it.
  /usr/bin/time -f %e -o "$work/pack_frames.seconds" "$pack" "$work/tree" --entry bin/app --frames \
    --index "$work/frames.index" -o "$work/frames.payload"
  # A payload made elsewhere: the record stream compressed by the zstd command
  # into one frame (its size declared), without an index.
  "$pack" "$work/tree" --entry bin/app --records-only -o "$work/records"
  zstd -q -f -$level --long=27 --no-check -T0 "$work/records" -o "$work/other.zst"
  "$pack" --wrap-frame "$work/other.zst" -o "$work/other.payload"
  rm -f "$work/records" "$work/other.zst"
  echo "$source_hash" > "$stamp"
fi
# The shape of an interpreted application: many small files, many directories.
many_stamp=$work/many.stamp
if [ "$(cat "$many_stamp" 2>/dev/null)" != "$source_hash" ]; then
  echo "making the many-files workload (once)..." >&2
  "$release/bench/generate_workload" --many-small "$work/many" "$release/bench/exit_at_once" >&2
  "$pack" "$work/many" --entry bin/app --index "$work/many.index" -o "$work/many.payload"
  (cd "$work/many" && tar -cf "$work/many.tar" .)
  echo "$source_hash" >"$many_stamp"
fi
cmake --preset bench >/dev/null  # now that the payloads exist
cmake --build "$release" --target bench_launcher bench_unindexed bench_other bench_tiny bench_many \
  bench_frames >/dev/null
launcher=$release/bench/bench_launcher
frames=$release/bench/bench_frames
many=$release/bench/bench_many
unindexed=$release/bench/bench_unindexed
other=$release/bench/bench_other
tiny=$release/bench/bench_tiny

export TMPDIR=$work/tmp
mkdir -p "$TMPDIR" "$work/tar-out"

peak() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1; }
settle_for "$launcher" "$many" "$frames" "$work/app.tar" "$work/app.tar.zst" "$work/many.tar" "$work/app.payload" \
  "$work/frames.payload" "$work/frames.index" "$work/other.payload" "$(command -v tar)" "$(command -v zstd)"
fresh() { echo "rm -rf $1 && $settle"; }
fresh_dir() { echo "rm -rf $1 && $settle && mkdir -p $1"; }

later=(: "$launcher" : "$release/bench/check_floor $TMPDIR/mordax-bench"
       : "$unindexed" : "$release/bench/decode_floor --huge-pages $work/app.payload"
       : "$other" : "$release/bench/decode_floor --huge-pages $work/other.payload")
"$launcher" >/dev/null  # the targets in place for the later starts
"$unindexed" >/dev/null
"$other" >/dev/null
alternate later 2 "${later[@]}"  # warm-up
alternate later "$runs" "${later[@]}"
alternate first "$runs" "$(fresh "$TMPDIR/mordax-bench")" "$launcher" \
  "$(fresh_dir "$work/tar-out")" "tar -xf $work/app.tar -C $work/tar-out" \
  "$(fresh_dir "$work/tar-out")" "tar -I 'zstd -d --long=27' -xf $work/app.tar.zst -C $work/tar-out" \
  "$(fresh "$work/tar-out")" "$release/bench/decode_floor $work/app.payload"
# Frames, decoded on every core and on one.
alternate frames_first "$runs" "$(fresh "$TMPDIR/mordax-bench-frames")" "$frames" \
  "$(fresh_dir "$work/tar-out")" "tar -xf $work/app.tar -C $work/tar-out" \
  "$(fresh_dir "$work/tar-out")" "tar -I 'zstd -d --long=27' -xf $work/app.tar.zst -C $work/tar-out" \
  "$(fresh "$TMPDIR/mordax-bench-frames")" "taskset -c 0 $frames" \
  "$(fresh "$TMPDIR/mordax-bench")" "taskset -c 0 $launcher" \
  "$(fresh "$TMPDIR/mordax-bench-frames")" "$release/bench/frames_floor $work/frames.index $work/frames.payload"
# One byte changed of the smallest file of 8 MB or more, its size and time kept.
"$frames" >/dev/null
changed=$(cd "$TMPDIR/mordax-bench-frames" && find . -type f -size +8M -printf '%s %p\n' | sort -n | head -1 | cut -d' ' -f2-)
change="printf x | dd of=$TMPDIR/mordax-bench-frames/$changed bs=1 seek=4096 conv=notrunc status=none && touch -r $work/tree/$changed $TMPDIR/mordax-bench-frames/$changed"
alternate frames_repair "$runs" "$change" "$frames" : "$release/bench/check_floor $TMPDIR/mordax-bench-frames"
# The same first start with the target only removed and flushed.
alternate first_flushed "$runs" "rm -rf $TMPDIR/mordax-bench && sync" "$launcher" \
  "rm -rf $work/tar-out && sync && mkdir -p $work/tar-out" "tar -xf $work/app.tar -C $work/tar-out"
alternate many_first "$runs" "$(fresh "$TMPDIR/mordax-bench-many")" "$many" \
  "$(fresh_dir "$work/tar-out")" "tar -xf $work/many.tar -C $work/tar-out"
many_later=(: "$many" : "$release/bench/check_floor $TMPDIR/mordax-bench-many")
alternate many_later 1 "${many_later[@]}"  # warm-up: the first-start row's preparation dropped the files
alternate many_later "$runs" "${many_later[@]}"
rm -rf "$work/tar-out"
"$tiny" >/dev/null
hyperfine -N --style none --export-json "$work/tiny.json" --warmup 5 --runs $((runs * 10)) "$tiny" "$work/tiny/app" >/dev/null
tiny_ms() { jq -r ".results[$1].median * 1000" "$work/tiny.json"; }

# Repacking with the frame cache after one byte of a file of about 10 MB
# changed (its size and time kept; another byte each round), against a pack
# from scratch in this run that fills the cache.
ten=$(cd "$work/tree" && find . -type f -size +8M -printf '%s %p\n' | sort -n | head -1 | cut -d' ' -f2-)
cp -p "$work/tree/$ten" "$work/ten.original"
rm -rf "$work/frames.cache"
repack="$pack $work/tree --entry bin/app --frames --frame-cache $work/frames.cache -o $work/repack.payload"
alternate pack_scratch 1 : "$repack"
round=0
flip="round=\$((round + 1)) && printf \$((round % 10)) | dd of=$work/tree/$ten bs=1 seek=4096 conv=notrunc status=none && touch -r $work/ten.original $work/tree/$ten"
alternate repack 3 "$flip" "$repack"
cp -p "$work/ten.original" "$work/tree/$ten"  # the workload as it was
rm -f "$work/ten.original" "$work/repack.payload"

rm -rf "$TMPDIR/mordax-bench"
first_kib=$(peak "$launcher")
second_kib=$(peak "$launcher")
rm -rf "$TMPDIR/mordax-bench-frames"
first_frames_kib=$(peak "$frames")
# The same on a machine of 8 and of 64 cores, as the launcher sees them.
peak_seeing() {
  rm -rf "$TMPDIR/mordax-bench-frames"
  MORDAX_BENCH_CORES=$1 LD_PRELOAD=$root/$release/bench/libcores_shim.so peak "$frames"
}
frames_kib_8=$(peak_seeing 8)
frames_kib_64=$(peak_seeing 64)
rm -rf "$TMPDIR/mordax-bench-unindexed"
first_unindexed_kib=$(peak "$unindexed")
second_unindexed_kib=$(peak "$unindexed")

payload_mb=$(awk -v b="$(stat -c %s "$work/app.payload")" 'BEGIN { printf "%.1f", b / 1e6 }')
frames_mb=$(awk -v b="$(stat -c %s "$work/frames.payload")" 'BEGIN { printf "%.1f", b / 1e6 }')
zstd_mb=$(awk -v b="$(stat -c %s "$work/app.tar.zst")" 'BEGIN { printf "%.1f", b / 1e6 }')
tree_mb=$(du -sb "$work/tree" | awk '{ printf "%.1f", $1 / 1e6 }')
files=$(find "$work/tree" -type f | wc -l)

l_i=$(stat_of later 0 median) l_c=$(stat_of later 1 median) l_u=$(stat_of later 2 median) l_d=$(stat_of later 3 median)
f_l=$(stat_of first 0 median) f_w=$(stat_of first 1 median) f_t=$(stat_of first 2 median) f_d=$(stat_of first 3 median)
o_l=$(stat_of first_flushed 0 median) o_w=$(stat_of first_flushed 1 median)
t_l=$(tiny_ms 0) t_d=$(tiny_ms 1)
{
  echo "Workload: $files files, $tree_mb MB; payload $payload_mb MB at level $level ($(cat "$work/pack_default.seconds") s to pack);"
  echo "tar + zstd -$level --long=27: $zstd_mb MB ($(cat "$work/zstd_default.seconds") s). Machine: $(nproc) cores, $(uname -sr)."
  echo "Packing with --stub linux-x64 (frames): $(cat "$work/pack_stub.seconds") s, against the bare payload of frames $(cat "$work/pack_frames.seconds") s plus a copy of a payload $(cat "$work/copy.seconds") s."
  echo "Medians of $runs rounds, the commands of a row alternated; seconds (min-max). Before a timed first"
  echo "start the target is $settled, untimed."
  echo
  echo "| measure | launcher | reference | ratio | goal |"
  echo "|---|---|---|---|---|"
  echo "| later start, with index | $(range later 0) | check floor $(range later 1) | $(ratio "$l_i" "$l_c") | <= 1.5 |"
  echo "| later start, without index | $(range later 2) | huge-page decode floor $(range later 3) | $(ratio "$l_u" "$l_d") | <= 1.10 |"
  echo "| later start, a payload made by zstd -$level --long=27, without index | $(range later 4) | its huge-page decode floor $(range later 5) | $(ratio "$(stat_of later 4 median)" "$(stat_of later 5 median)") | <= 1.10 |"
  echo "| first start | $(range first 0) | write floor (tar -xf of the uncompressed tar) $(range first 1) | $(ratio "$f_l" "$f_w") | <= 1.15 |"
  echo "| first start against tar | $f_l | tar --zstd -xf $(range first 2) | $(ratio "$f_l" "$f_t") | <= 0.6 |"
  echo "| first start against decoding alone | $f_l | decode floor, normal pages, same preparation $(range first 3) | $(ratio "$f_l" "$f_d") | |"
  echo "| first start, the target only removed and flushed | $(range first_flushed 0) | write floor the same way $(range first_flushed 1) | $(ratio "$o_l" "$o_w") | |"
  echo "| first start, 20,000 small files in 3,000 directories | $(range many_first 0) | write floor $(range many_first 1) | $(ratio "$(stat_of many_first 0 median)" "$(stat_of many_first 1 median)") | |"
  echo "| later start, the same, with index | $(range many_later 0) | check floor $(range many_later 1) | $(ratio "$(stat_of many_later 0 median)" "$(stat_of many_later 1 median)") | |"
  echo "| first start on frames, a thread a core ($(nproc)) | $(range frames_first 0) | write floor $(range frames_first 1) | $(ratio "$(stat_of frames_first 0 median)" "$(stat_of frames_first 1 median)") | <= 1.5 |"
  echo "| first start on frames against tar | $(stat_of frames_first 0 median) | tar --zstd -xf $(range frames_first 2) | $(ratio "$(stat_of frames_first 0 median)" "$(stat_of frames_first 2 median)") | <= 0.5 |"
  echo "| frames decoded alone, a thread a core, writing nothing | $(range frames_first 5) | write floor $(stat_of frames_first 1 median) | $(ratio "$(stat_of frames_first 5 median)" "$(stat_of frames_first 1 median)") | |"
  echo "| first start on frames against decoding alone | $(stat_of frames_first 0 median) | frames decoded alone $(stat_of frames_first 5 median) | $(ratio "$(stat_of frames_first 0 median)" "$(stat_of frames_first 5 median)") | |"
  echo "| first start on frames, one core | $(range frames_first 3) | first start, one frame, one core $(range frames_first 4) | $(ratio "$(stat_of frames_first 3 median)" "$(stat_of frames_first 4 median)") | <= 1 |"
  echo "| later start on frames, one byte changed in a file of $(( $(stat -c %s "$work/tree/$changed") / 1000000 )) MB | $(range frames_repair 0) | check floor $(range frames_repair 1) | $(ratio "$(stat_of frames_repair 0 median)" "$(stat_of frames_repair 1 median)") | <= 3 |"
  echo "| repack at level $level with the frame cache, one byte changed in a file of $(( $(stat -c %s "$work/tree/$ten") / 1000000 )) MB | $(range repack 0) | pack from scratch $(stat_of pack_scratch 0 median) | $(ratio "$(stat_of repack 0 median)" "$(stat_of pack_scratch 0 median)") | <= 0.1 |"
  echo "| payload of frames, MB | $frames_mb ($(cat "$work/pack_frames.seconds") s to pack) | one frame $payload_mb | $(ratio "$frames_mb" "$payload_mb") | <= 1.015 |"
  echo "| peak memory, first start on frames | $((first_frames_kib / 1024)) MiB | | | <= 150 MiB |"
  echo "| peak memory, first start on frames, seeing 8 / 64 cores | $((frames_kib_8 / 1024)) / $((frames_kib_64 / 1024)) MiB | | | <= 320 MiB |"
  echo "| peak memory, first / later start, with index | $((first_kib / 1024)) / $((second_kib / 1024)) MiB | | | <= 150 MiB |"
  echo "| peak memory, first / later start, without index | $((first_unindexed_kib / 1024)) / $((second_unindexed_kib / 1024)) MiB | | | <= 150 MiB |"
  echo "| tiny payload, later start, median ms | $(awk -v a="$t_l" 'BEGIN{printf "%.2f", a}') | the program alone $(awk -v a="$t_d" 'BEGIN{printf "%.2f", a}') | +$(awk -v a="$t_l" -v b="$t_d" 'BEGIN{printf "%.2f", a-b}') ms | within 3 ms |"
} | tee "$work/results.md"
