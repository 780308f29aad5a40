#!/usr/bin/env bash
# Runs memory_waiting_on_channel.krvasm (N entries, default 1000000; with a callback on its channel when
# the third word is "callback"), reads the run's resident set one idle second after the script's report
# line, then ends the run and removes the ring it created. Prints the script's line and that figure.
#
#   bench/memory/memory_waiting_on_channel.sh build/default/host/krvhost [N] [callback]
set -euo pipefail
krvhost=$1
entries=${2:-1000000}
mode=${3:-}
script="$(dirname "$0")/memory_waiting_on_channel.krvasm"
channel="memory_waiting_$$"
report=$(mktemp)
trap 'rm -f "$report" "/dev/shm/krv_ipc_$channel"' EXIT
# Line-buffered, so the report line is there while the run waits.
stdbuf -oL "$krvhost" run "$script" "$entries" "$channel" $mode >"$report" 2>&1 &
run=$!
until grep -q "rss before parse" "$report"; do
  kill -0 "$run" 2>/dev/null || { cat "$report"; exit 1; }
  sleep 0.05
done
sleep 1
idle_rss=$(awk '/^VmRSS:/ { print $2 * 1024 }' "/proc/$run/status")
{ kill -9 "$run" && wait "$run"; } 2>/dev/null || true
before=$(sed -n 's/^rss before parse: \([0-9]*\).*/\1/p' "$report")
echo "$(cat "$report") after one idle second: $idle_rss after / before: $(awk -v a="$idle_rss" -v b="$before" 'BEGIN { printf "%.2f", a / b }')"
