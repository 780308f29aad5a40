#!/usr/bin/env bash
# Three multi_writer_send.krvasm writers stream MESSAGES messages of 64 KiB each into a reader that
# created the channel; 0.2 to 0.9 s in, the reader is killed (SIGKILL) and started again with the same
# name. With STOP 1, writer 0 is first stopped (SIGSTOP) while it holds a ring slot (its process id in a
# slot mark), and resumed 2.5 s after the restart. The reader is multi_writer_read.krvasm with a line per
# arrival ("got W I") and per message whose bytes differ ("WRONG W I"), so that what each reader got can
# be put together: prints, per writer, the messages lost although their send answered true, the sends
# that answered false, the wrong messages, how long the new reader ran and the lines of every side.
#
#   bench/ipc/restarted_reader.sh build/default/host/krvhost [MESSAGES [STOP]]
set -euo pipefail
krvhost=$1
messages=${2:-60000}
stop=${3:-0}
dir="$(dirname "$0")"
channel="restarted_reader_$$"
out=$(mktemp -d)
pids=()
trap 'kill -CONT "${pids[@]}" 2>/dev/null || true; kill -KILL "${pids[@]}" 2>/dev/null || true; rm -rf "$out" "/dev/shm/krv_ipc_$channel"' EXIT
# The reader with a line per arrival: after the label of a message, and after a wrong one is counted.
python3 - "$dir/multi_writer_read.krvasm" "$out/reader.krvasm" <<'PY'
import sys
text = open(sys.argv[1]).read()
def line_of(tag):  # print(tag, w, i) with the strings added at the end of the table
    return f"  args_open 3\n  load_string {tag}\n  arg 0\n  load_local 1\n  arg_copy 1\n  load_local 2\n  arg_copy 2\n  call_native @N5\n"
strings = text.count('\nstring "')
text = text.replace('string "wrong"\n', 'string "wrong"\nstring "got"\nstring "WRONG"\n', 1)
text = text.replace("a_message:\n", "a_message:\n" + line_of(strings), 1)
text = text.replace("whole:\n", line_of(strings + 1) + "whole:\n", 1)
open(sys.argv[2], "w").write(text)
PY
stdbuf -oL "$krvhost" run "$out/reader.krvasm" "$channel" 3 65536 >"$out/r1" 2>"$out/r1.err" &
first=$!
pids+=("$first")
sleep 0.3
writers=()
for w in 0 1 2; do
  setsid "$krvhost" run "$dir/multi_writer_send.krvasm" "$channel" "$w" "$messages" 65536 >"$out/w$w" 2>"$out/w$w.err" &
  writers+=($!)
  pids+=($!)
done
sleep "0.$((RANDOM % 8 + 2))"
held="none"
if [ "$stop" = 1 ]; then
  # Stops writer 0 at random moments until it is stopped holding a slot (its process id in the mark).
  held=$(python3 - "/dev/shm/krv_ipc_$channel" "${writers[0]}" <<'PY'
import os, random, signal, struct, sys, time
path, pid = sys.argv[1], int(sys.argv[2])
def stopped():
    return open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()[0] == "T"
for _ in range(5000):
    try:
        os.kill(pid, signal.SIGSTOP)
    except ProcessLookupError:  # it sent all its messages first
        break
    while not stopped():
        time.sleep(0.0002)
    ring = open(path, "rb").read()
    for slot in range(1024):
        if (struct.unpack_from("<Q", ring, 1062016 + 64 * slot)[0] >> 32) & 0x3FFFFFFF == pid:
            print(f"slot {slot} state {ring[128 + slot]}")
            sys.exit()
    os.kill(pid, signal.SIGCONT)
    time.sleep(random.random() * 0.003)
print("none")
PY
)
fi
kill -KILL "$first" 2>/dev/null || true
wait "$first" 2>/dev/null || true
started=$(date +%s%N)
stdbuf -oL "$krvhost" run "$out/reader.krvasm" "$channel" 3 65536 >"$out/r2" 2>"$out/r2.err" &
second=$!
pids+=("$second")
if [ "$stop" = 1 ]; then
  sleep 2.5
  kill -CONT "${writers[0]}"
fi
wait "${writers[@]}" || true
# The new reader ends at the last writer's end, unless the killed one took an end: then it is stopped.
for _ in $(seq 100); do kill -0 "$second" 2>/dev/null || break; sleep 0.05; done
kill -TERM "$second" 2>/dev/null || true
wait "$second" 2>/dev/null || true
echo "writer 0 held at the restart: $held; the new reader ran $((($(date +%s%N) - started) / 1000000)) ms"
python3 - "$out" "$messages" <<'PY'
import re, sys
out, messages = sys.argv[1], int(sys.argv[2])
got = [set(), set(), set()]
wrong = 0
for reader in ("r1", "r2"):
    for line in open(f"{out}/{reader}"):
        word = line.split()
        if word[0] == "got": got[int(word[1])].add(int(word[2]))
        wrong += word[0] == "WRONG"
for w in range(3):
    said = re.search(r"returned false (\d+) times", open(f"{out}/w{w}").read())
    refused = int(said.group(1)) if said else -1
    print(f"writer {w}: lost with send true {messages - len(got[w]) - refused}, send false {refused}")
ended = sum(line.startswith("multi_writer_read: writer ") for line in open(f"{out}/r1"))
print(f"wrong messages {wrong}; writers that ended before the restart {ended}")
PY
cat "$out"/*.err
