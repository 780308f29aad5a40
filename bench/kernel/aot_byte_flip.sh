#!/usr/bin/env bash
# Hands std.kernel_aot_load one damaged copy of an ahead-of-time library per byte: copy N has byte N
# inverted (XOR 0xff). Each copy is loaded by its own krvhost (aot_load_one.krvasm), bounded to 20 s, and
# the ends are counted: loaded, refused with a script error (exit 1), a signal (SIGSEGV, SIGBUS, SIGILL,
# ...: the process crashed), the dynamic loader's assertion exit 127, a hang, anything else. The copies
# of a signal or an exit 127 are listed by offset.
#
#   bench/kernel/aot_byte_flip.sh build/default/host/krvhost kernels.so [FIRST [COUNT [JOBS]]]
set -euo pipefail
krvhost=$(realpath "$1")
library=$(realpath "$2")
size=$(stat -c %s "$library")
first=${3:-0}
count=${4:-$((size - first))}
jobs=${5:-4}
script="$(dirname "$(realpath "$0")")/aot_load_one.krvasm"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

flip_one() {  # OFFSET: prints "OFFSET END"
  local copy="$work/$1.so" status=0
  cp "$library" "$copy"
  printf "$(printf '\\%03o' $(( 0x$(xxd -s "$1" -l 1 -p "$library") ^ 0xff )))" |
    dd of="$copy" bs=1 seek="$1" conv=notrunc status=none
  timeout -s KILL 20 "$krvhost" run "$script" "$copy" > /dev/null 2>&1 || status=$?
  rm -f "$copy"
  case $status in
    0) echo "$1 loaded" ;;
    1) echo "$1 refused" ;;
    127) echo "$1 exit127" ;;
    137) echo "$1 hang-or-kill" ;;
    1[2-9][0-9]) echo "$1 signal$((status - 128))" ;;
    *) echo "$1 exit$status" ;;
  esac
}
export -f flip_one
export library krvhost script work
seq "$first" $((first + count - 1)) | xargs -P "$jobs" -I{} bash -c 'flip_one {}' > "$work/ends" 2> /dev/null
echo "copies: $count (bytes $first to $((first + count - 1)) of $(basename "$library"), $size bytes)"
awk '{ print $2 }' "$work/ends" | sort | uniq -c | sort -rn
crashed=$(awk '$2 ~ /^signal|^exit127|^hang/ { print $1 }' "$work/ends" | sort -n | tr '\n' ' ')
echo "crashed: ${crashed:-none}"
