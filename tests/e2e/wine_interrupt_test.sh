#!/usr/bin/env bash
# Console events under Wine: a SIGINT to the launcher's process reaches its
# console control handler, which gives the child five seconds, then ends it.
#   wine_interrupt_test.sh WINE_RUN PREFIX LAUNCHER_EXE
set -u
wine_run=$1 prefix=$2 launcher=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0 passes=0
now() { date +%s.%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }
within() { awk -v x="$1" -v lo="$2" -v hi="$3" 'BEGIN { exit !(x >= lo && x < hi) }'; }
# Wine gives a process that an interrupt ended the status 0. When the
# launcher's own wait returns first, it passes on the status of the child it
# terminated, STATUS_CONTROL_C_EXIT (0xC000013A), of which a POSIX status keeps
# the low byte, 58. Any other status is Wine, or the run, failing.
ended_by_the_event() { [ "$1" = 0 ]; }
ended_by_the_event_or_with_the_terminated_child() { [ "$1" = 0 ] || [ "$1" = 58 ]; }

# start NAME SLEEP_MS: the launcher in the background, its child ignoring the event.
start() {
  TMP=$scratch/$1 TEMP=$scratch/$1 PROBE_SLEEP_MS=$2 PROBE_IGNORE_INTERRUPT=1 \
    "$wine_run" --prefix "$prefix" "$launcher" >"$scratch/$1.out" 2>&1 &
  pid=$!
  for _ in $(seq 600); do grep -q sleeping "$scratch/$1.out" 2>/dev/null && return 0; sleep 0.1; done
  echo "FAIL $1: the child never started"; cat "$scratch/$1.out"; failures=$((failures + 1)); return 1
}

check() {  # check NAME CONDITION MESSAGE
  if eval "$2"; then echo "ok   $1: $3"; passes=$((passes + 1)); else echo "FAIL $1: $3"; failures=$((failures + 1)); fi
}

mkdir -p "$scratch/late" "$scratch/prompt" "$scratch/twice"
if start late 8000; then
  t0=$(now); kill -INT "$pid"; wait "$pid"; status=$?; t1=$(now)
  elapsed=$(seconds "$t0" "$t1")
  # At least the grace; the upper bound leaves room for a loaded machine.
  check late "within $elapsed 4.5 15" "the launcher ended 5 s or a little more after the event ($elapsed s)"
  check late "ended_by_the_event_or_with_the_terminated_child $status" "the run ended cleanly, status $status"
  sleep 4  # past the child's own 8 s: had it survived, it would have written "woke"
  check late "! grep -q woke '$scratch/late.out'" "the child that ignored the event was terminated"
fi
# A second event during the grace must not end the launcher before the child.
if start twice 8000; then
  t0=$(now); kill -INT "$pid"; sleep 1; kill -INT "$pid"; wait "$pid"; t1=$(now)
  elapsed=$(seconds "$t0" "$t1")
  check twice "within $elapsed 4.5 15" "the launcher ended 5 s or a little more after the first event ($elapsed s)"
  sleep 4
  check twice "! grep -q woke '$scratch/twice.out'" "the child that ignored both events was terminated"
fi
if start prompt 1000; then
  t0=$(now); kill -INT "$pid"; wait "$pid"; status=$?; t1=$(now)
  elapsed=$(seconds "$t0" "$t1")
  check prompt "within $elapsed 0 4" "a child ending within the grace ends the wait early ($elapsed s)"
  check prompt "ended_by_the_event $status" "the run ended cleanly, status $status"
  check prompt "grep -q woke '$scratch/prompt.out'" "the child ended by itself, not terminated"
fi
echo "$passes passed, $failures failed"
[ "$failures" = 0 ]
