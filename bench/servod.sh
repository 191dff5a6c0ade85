#!/usr/bin/env bash
# servod measured against references in the same run, on a stand-in PWM
# directory (regular files, channel already exported):
#   1. frame pacing: each ramp frame's wake-up against its absolute deadline,
#      beside cyclictest at the same priority, twice;
#   2. record to duty cycle, servod idle, alternating with a minimal C floor;
#   3. idle: no CPU time and no context switch while holding a width;
#   4. heap allocations: the same whether few or many records and frames.
# Timing figures are printed against their goals; a broken count (3, 4) or a
# failed measurement makes the script exit non-zero.
# usage: bench/servod.sh BUILD_DIR   (a build with relative device names rtf1, rtf2)
set -euo pipefail
build=$(cd "$1" && pwd)
servod=$build/bin/servod probe=$build/bench/servod_probe floor=$build/bench/pwm_floor
prio=${RT_PRIORITY:-50}
frames=${FRAMES:-520}    # frames of each of two ramps, and cyclictest loops
frame_ms=20
records=${RECORDS:-500}  # each, servod and the floor
idle_s=10
command -v cyclictest >/dev/null || { echo "servod.sh: needs cyclictest (apt-get install rt-tests)" >&2; exit 1; }

source "$(dirname "$0")/servod_common.sh"

# Starts servod in directory $1 with more options; its pid in $started.
start_servod() {
  local dir=$1; shift
  stand_in "$dir"
  (cd "$dir" && exec "$@" --pwm pwmchip0:0 --sysfs pwm >out 2>err) &
  started=$!
  pids+=("$started")
  await_pipe "$dir" rtf1
}

echo "servod: SCHED_FIFO $prio with mlockall where timed; stand-in PWM files on $(stat -f -c %T "$work");" \
  "load average $(cut -d' ' -f1-3 /proc/loadavg)"

# 1. Frame pacing. Run together with cyclictest: both see the same stretch
# of a noisy VM's weather (and cyclictest's /dev/cpu_dma_latency setting),
# and with 2 cores and wake-ups half a frame apart neither delays the other.
# Where a frame falls within the second matters here (two cyclictests half a
# frame apart differ as much), so the two swap places for a second ramp.
mkdir "$work/pace"
start_servod "$work/pace" "$servod" --frame-ms "$frame_ms" --rt-priority "$prio" --trace trace.csv \
  --initial-us 1500
declare -A pid before after allocs rows
pid[pace]=$started
half=$((frame_ms / 2))
for phases in "$half 0" "0 $half"; do
  read -r ours theirs <<<"$phases"
  cyclictest -i $((frame_ms * 1000)) -l "$frames" -h 10000 -p "$prio" -m -q --secaligned=$((theirs * 1000)) \
    >"$work/cyclictest.$theirs" 2>&1 &
  ct=$!
  "$probe" ramp "$work/pace/rtf1" "$work/pace/rtf2" "$frames" "$frame_ms" "$ours" ||
    miss "the ramp did not end with 'D'"
  wait "$ct" || miss "cyclictest failed: $(tail -3 "$work/cyclictest.$theirs")"
done
read -r s_n s_med s_p99 s_max < <("$probe" lateness "$work/pace/trace.csv" "$frame_ms" "$frames") ||
  miss "no lateness from servod's trace"
read -r c_n c_med c_p99 c_max < <("$probe" histogram "$work"/cyclictest.*) || miss "no cyclictest figures"
[ "${s_n:-0}" -eq $((2 * frames)) ] || miss "servod traced ${s_n:-0} frames, not $((2 * frames))"
[ "${c_n:-0}" -eq $((2 * frames)) ] || miss "cyclictest reported ${c_n:-0} loops, not $((2 * frames))"
r=$(ratio "${s_p99:-0}" "${c_p99:-0}")
echo "1. frame lateness, 2 x $frames frames of $frame_ms ms, phases swapped (us; median, p99, max):"
echo "   servod      ${s_med:-?}  ${s_p99:-?}  ${s_max:-?}"
echo "   cyclictest  ${c_med:-?}  ${c_p99:-?}  ${c_max:-?}"
echo "   median ratio $(ratio "${s_med:-0}" "${c_med:-0}"), p99 ratio $r (goal <= 1.2): $(verdict "$r" 1.2)"

# 2. Record to duty cycle with servod idle, alternating with the floor.
mkdir "$work/cmd" "$work/floor"
start_servod "$work/cmd" "$servod" --frame-ms "$frame_ms" --rt-priority "$prio" --initial-us 1500
pid[cmd]=$started
mkfifo "$work/floor/rtf1"; echo 0 >"$work/floor/duty_cycle"
"$floor" "$work/floor/rtf1" "$work/floor/duty_cycle" "$prio" &
pids+=($!)
# One above both, so that the probe's wake-up on the closed file does not
# wait for the writer to go back to sleep.
if read -r s_med s_p99 f_med f_p99 < <(chrt -f $((prio + 1)) "$probe" latency "$records" "$frame_ms" \
     "$work/cmd/rtf1" "$work/cmd/pwm/pwmchip0/pwm0/duty_cycle" "$work/floor/rtf1" "$work/floor/duty_cycle"); then
  r=$(ratio "$s_p99" "$f_p99")
  echo "2. record written -> duty_cycle closed, $records records each, alternating (us; median, p99):"
  echo "   servod  $s_med  $s_p99"
  echo "   floor   $f_med  $f_p99"
  echo "   median ratio $(ratio "$s_med" "$f_med"), p99 ratio $r (goal <= 1.2): $(verdict "$r" 1.2)"
else
  miss "record-to-output measurement failed"
fi

# 3. Idle, holding a width: after the ramp (pace) and after the records (cmd).
# The window runs while the allocation counts below are taken.
sleep 0.1
for which in pace cmd; do before[$which]=$(counters "${pid[$which]}"); done
idle_end=$((SECONDS + idle_s))

# 4. Heap allocations: few records and frames, then many, under memcheck.
vg_frame=3
for run in small:1:2:3 large:12:40:40; do
  IFS=: read -r name rounds sets ramp_frames <<<"$run"
  dir=$work/vg-$name
  mkdir "$dir"
  start_servod "$dir" valgrind --log-file=valgrind.log "$servod" --frame-ms "$vg_frame" --trace trace.csv
  "$probe" load "$dir/rtf1" "$dir/rtf2" "$rounds" "$sets" "$ramp_frames" "$vg_frame" ||
    miss "servod under valgrind did not answer every ramp ($name)"
  kill -TERM "$started"
  wait "$started" || miss "servod under valgrind exited $? ($name)"
  allocs[$name]=$(sed -n 's/.*total heap usage: \([0-9,]*\) allocs.*/\1/p' "$dir/valgrind.log" | tr -d ,)
  rows[$name]=$(($(wc -l <"$dir/trace.csv") - 1))
done

while [ $SECONDS -lt $idle_end ]; do sleep 0.2; done
for which in pace cmd; do after[$which]=$(counters "${pid[$which]}"); done
echo "3. idle for $idle_s s holding a width (cpu ticks of 1/$(getconf CLK_TCK) s, on-cpu ns, timeslices, context switches):"
for which in pace cmd; do
  idle_report "$([ $which = pace ] && echo "after a ramp" || echo "after $records records")" \
    "${before[$which]}" "${after[$which]}"
done

echo "4. heap allocations under memcheck: ${allocs[small]:-?} allocs with ${rows[small]} widths traced," \
  "${allocs[large]:-?} with ${rows[large]} (expected equal)"
[ -n "${allocs[small]}" ] && [ "${allocs[small]}" = "${allocs[large]}" ] || miss "servod allocates per record or frame"
[ "${rows[large]}" -gt $((5 * rows[small])) ] || miss "the large run did not do much more than the small one"

for which in pace cmd; do
  if [ -s "$work/$which/err" ]; then echo "   servod ($which) said:"; sed 's/^/     /' "$work/$which/err"; fi
done
exit $fail
