#!/usr/bin/env bash
# System calls and heap allocations per library call, and setServo's calls on
# the command device. Exits non-zero when a count is not what we promise.
# usage: bench/calls.sh BUILD_DIR   (a build with relative device names rtf1, rtf2)
set -euo pipefail
build=$(cd "$1" && pwd)
n=1000
work=$(mktemp -d /tmp/servo-calls-XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
# Nobody reads: each program holds its own read-write handle, and what it
# wrote is dropped when it exits.
mkfifo rtf1 rtf2
fail=0

for k in 0 $n; do
  strace -f -c -e trace=read,write -o "strace.$k" "$build/bench/call_counts" "$k"
  valgrind --tool=memcheck "$build/bench/call_counts" "$k" 2>"vg.$k" >/dev/null
done
w0=$(awk '$NF=="write"{print $4}' strace.0); w1=$(awk '$NF=="write"{print $4}' strace.$n)
r0=$(awk '$NF=="read"{print $4}' strace.0); r1=$(awk '$NF=="read"{print $4}' strace.$n)
a0=$(sed -n 's/.*total heap usage: \([0-9,]*\) allocs.*/\1/p' vg.0 | tr -d ,)
a1=$(sed -n 's/.*total heap usage: \([0-9,]*\) allocs.*/\1/p' vg.$n | tr -d ,)
per_write=$(( (${w1:-0} - ${w0:-0}) ))
per_read=$(( (${r1:-0} - ${r0:-0}) ))
echo "per $n x (set + move): $per_write write(2)   (expected $((2 * n)))"
echo "per $n x isdone_moving: $per_read read(2)    (expected $n)"
echo "heap allocations, $n rounds vs none: $a1 vs $a0 (expected equal)"
[ "$per_write" -eq $((2 * n)) ] || fail=1
[ "$per_read" -eq "$n" ] || fail=1
[ -n "$a0" ] && [ "$a0" = "$a1" ] || fail=1

# wait_done in the common case: one poll and one read per notice, nothing allocated.
for k in 0 $n; do
  strace -f -c -e trace=read,poll,ppoll -o "wait.$k" "$build/bench/call_counts" "$k" wait
  valgrind --tool=memcheck "$build/bench/call_counts" "$k" wait 2>"vgw.$k" >/dev/null
done
calls() { awk -v re="^($1)\$" '$NF ~ re {n += $4} END {print n + 0}' "$2"; }
per_poll=$(( $(calls 'poll|ppoll' wait.$n) - $(calls 'poll|ppoll' wait.0) ))
per_read=$(( $(calls read wait.$n) - $(calls read wait.0) ))
a0=$(sed -n 's/.*total heap usage: \([0-9,]*\) allocs.*/\1/p' vgw.0 | tr -d ,)
a1=$(sed -n 's/.*total heap usage: \([0-9,]*\) allocs.*/\1/p' vgw.$n | tr -d ,)
echo "per $n notices x wait_done: $per_poll poll(2), $per_read read(2)   (expected $n each)"
echo "heap allocations, $n notices vs none: $a1 vs $a0 (expected equal)"
[ "$per_poll" -eq "$n" ] && [ "$per_read" -eq "$n" ] || fail=1
[ -n "$a0" ] && [ "$a0" = "$a1" ] || fail=1

# setServo on the command device, the build-time one or the one -d names:
# one open, one 28-byte write, one close, and nothing else traced.
mkfifo rtf9
tool_calls() { # device, setServo's arguments...
  local device=$1; shift
  strace -o tool.trace -e trace=open,openat,write,close,read "$build/bin/setServo" "$@"
  local opens writes closes
  opens=$(grep -c "open.*\"$device\"" tool.trace || true)
  writes=$(grep -c '^write(3, .*, 28) *= 28' tool.trace || true)
  closes=$(grep -c '^close(3) *= 0' tool.trace || true)
  echo "setServo $*: $opens open, $writes write of 28 bytes, $closes close on $device; $(grep -c . tool.trace) traced calls in all"
  [ "$opens" -eq 1 ] && [ "$writes" -eq 1 ] && [ "$closes" -eq 1 ] || fail=1
  [ "$(grep -c . tool.trace)" -eq 4 ] || { echo "unexpected calls:"; cat tool.trace; fail=1; }
}
tool_calls rtf1 128
tool_calls rtf9 -d rtf9 128
exit $fail
