#!/usr/bin/env bash
# Benchmarks, printed as ratios measured side by side in one run:
#   setServo against a minimal static C program (instructions, wall time),
#   the latency from a done notice to wait_done's return against a bare poll
#   loop and the old sleep-and-poll loop, set() against a raw write loop (from
#   C++, and from Python against os.write), and
#   the per-call system calls and allocations; then servod against cyclictest
#   and a C floor, idle and allocation counts, with one servo and with
#   16 ramping at once.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
build=${SERVO_BUILD_ROOT:-$PWD/build}/bench
runs=${RUNS:-300}
notices=${NOTICES:-4000}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSERVO_BUILD_BENCH=ON -DSERVO_WERROR=ON \
  -DSERVO_COMMAND_DEVICE=rtf1 -DSERVO_STATUS_DEVICE=rtf2 >/dev/null
cmake --build "$build" >/dev/null

echo "machine: $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1), $(uname -sr)"
work=$(mktemp -d /tmp/servo-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT
(
  cd "$work"
  mkfifo rtf1 rtf2
  instr() { valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 |
            sed -n 's/.*Collected : \([0-9]*\).*/\1/p'; }
  floor=$(instr "$build/bench/floor")
  tool=$(instr "$build/bin/setServo" 128)
  echo "instructions per run: setServo $tool, floor $floor, ratio $(awk -v a="$tool" -v b="$floor" 'BEGIN{printf "%.3f", a/b}') (goal <= 1.02)"
  read -r t_floor t_tool < <("$build/bench/spawn_timer" "$runs" "$build/bench/floor" -- "$build/bin/setServo" 128)
  echo "median wall time over $runs runs: setServo ${t_tool} us, floor ${t_floor} us, ratio $(awk -v a="$t_tool" -v b="$t_floor" 'BEGIN{printf "%.3f", a/b}')"
  "$build/bench/done_latency" "$notices"
  "$build/bench/set_bench" --benchmark_min_time=0.2 2>/dev/null | grep -E 'set\(\)|_median'
  if [ -d "$build/python/servo" ]; then
    PYTHONPATH=$build/python /usr/bin/python3 "$repo/bench/python_set.py"
  fi
)
status=0
bench/calls.sh "$build" || status=1
bench/servod.sh "$build" || status=1
bench/servod_burst.sh "$build" || status=1
exit $status
