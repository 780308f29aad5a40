#!/usr/bin/env bash
# Four multi_writer_send.krvasm writers stream MESSAGES messages of 64 KiB each into one
# multi_writer_read.krvasm reader, which checks every byte of every message; meanwhile each writer is
# stopped (SIGSTOP) STOPS times, for 2.5 to 6 s each, at random moments, and resumed (SIGCONT): a writer
# stopped while it holds a ring slot must cost only messages whose send answered false. Prints the
# reader's lines (per writer "sent S received R", then the totals with "wrong" messages), the writers'
# lines and the number of "no record" lines; any other line of either side follows.
#
#   bench/ipc/stopped_writers.sh build/default/host/krvhost [MESSAGES [STOPS]]
set -euo pipefail
krvhost=$1
messages=${2:-20000}
stops=${3:-1}
dir="$(dirname "$0")"
channel="stopped_writers_$$"
out=$(mktemp -d)
pids=()
trap 'kill -CONT "${pids[@]}" 2>/dev/null; kill "${pids[@]}" 2>/dev/null; rm -rf "$out" "/dev/shm/krv_ipc_$channel"' EXIT
"$krvhost" run "$dir/multi_writer_read.krvasm" "$channel" 4 65536 >"$out/reader" 2>"$out/reader.err" &
reader=$!
pids+=("$reader")
sleep 0.2
writers=()
for w in 0 1 2 3; do
  # A session of its own: a stopped writer in a process group that the exit of a process here leaves
  # orphaned would get SIGHUP from the kernel.
  setsid "$krvhost" run "$dir/multi_writer_send.krvasm" "$channel" "$w" "$messages" 65536 >"$out/writer$w" \
    2>"$out/writer$w.err" &
  writers+=($!)
  pids+=($!)
done
stop_now_and_then() {
  for _ in $(seq "$stops"); do
    sleep "0.$((RANDOM % 9 + 1))"
    kill -STOP "$1" 2>/dev/null || return 0
    local ms=$((2500 + RANDOM % 3500))
    sleep "$((ms / 1000)).$(printf '%03d' $((ms % 1000)))"
    kill -CONT "$1" 2>/dev/null || return 0
  done
}
stoppers=()
for pid in "${writers[@]}"; do stop_now_and_then "$pid" & stoppers+=($!); done
wait "${stoppers[@]}" "${writers[@]}" "$reader" || true
pids=()
cat "$out/reader" "$out"/writer?
echo "no record lines: $(cat "$out"/*.err | grep -c 'no record for ticket' || true)"
cat "$out"/*.err | grep -v 'no record for ticket' || true
