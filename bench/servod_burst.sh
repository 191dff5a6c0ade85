#!/usr/bin/env bash
# servod driving many servos that ramp at once, one [section] each in a
# configuration file, on a stand-in PWM chip (regular files, channels
# already exported), against a C floor that writes as many duty cycle files
# a frame:
#   5. each frame's deadline to the last width written in it, servod and the
#      floor side by side, half a frame apart;
#   6. the frame path counted: system calls (strace -c) and user-space
#      instructions (callgrind) per servo a frame;
#   7. idle: no CPU time and no context switch while every servo holds;
#   8. heap allocations: none from a further, long ramp.
# Timing figures are printed against their goals; a broken count (7, 8) or
# a failed measurement makes the script exit non-zero.
# usage: bench/servod_burst.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
servod=$build/bin/servod probe=$build/bench/servod_probe floor=$build/bench/pwm_floor
prio=${RT_PRIORITY:-50}
servos=${SERVOS:-16}
frames=${BURST_FRAMES:-250} # frames of each ramp
rounds=${BURST_ROUNDS:-3}   # timed ramps each, servod and the floor side by side
frame_ms=20
idle_s=10
source "$(dirname "$0")/servod_common.sh"

# Starts servod in directory $1 (more daemon keys after it) with one section
# a servo: channel N, pipes cmdN and statusN, with TRACE set a trace traceN.csv.
# Its pid in $started.
start_servod() {
  local dir=$1; shift
  mkdir "$dir"
  stand_in "$dir" "$servos"
  { printf '%s\n' "sysfs = pwm" "$@"
    for ((i = 0; i < servos; i++)); do
      printf '[s%d]\npwm = pwmchip0:%d\ncommand = cmd%d\nstatus = status%d\n' $i $i $i $i
      [ -z "${TRACE:-}" ] || echo "trace = trace$i.csv"
    done; } >"$dir/servod.conf"
  (cd "$dir" && exec ${VALGRIND:-} "$servod" --config servod.conf >out 2>err) &
  started=$!
  pids+=("$started")
  await_pipe "$dir" "cmd$((servos - 1))"
}
# Starts the floor in directory $1 at SCHED_FIFO $2 (0: none), frames of $3
# ms, on as many channels: its pipes cmd0 and status0. Its pid in $started.
start_floor() {
  mkdir "$1"
  stand_in "$1" "$servos"
  mkfifo "$1/cmd0" "$1/status0"
  (cd "$1" && exec ${VALGRIND:-} "$floor" -r cmd0 status0 "$3" "$2" \
     $(for ((i = 0; i < servos; i++)); do echo "pwm/pwmchip0/pwm$i/duty_cycle"; done) >out 2>err) &
  started=$!
  pids+=("$started")
}
# System calls of one ramp of $3 frames in directory $2 by process $1:
# "TOTAL NAME:COUNT...", nothing if the ramp did not end.
ramp_calls() {
  strace -c -U name,calls -p "$1" -o "$work/strace.$1" 2>/dev/null &
  local tracer=$! ended=0
  sleep 0.5 # attached
  "$probe" together "$2" "$3" && ended=1
  kill -INT "$tracer"
  wait "$tracer" || true
  [ $ended = 1 ] && awk '$1 == "total" { total = $2 } $2 ~ /^[0-9]+$/ && $1 != "total" { list = list " " $1 ":" $2 }
       END { print total list }' "$work/strace.$1"
}

echo "servod, $servos servos: SCHED_FIFO $prio with mlockall where timed; stand-in PWM files on" \
  "$(stat -f -c %T "$work"); load average $(cut -d' ' -f1-3 /proc/loadavg)"

# 5. Frame lateness with every servo ramping, beside the floor.
start_servod "$work/burst" "frame-ms = $frame_ms" "rt-priority = $prio"
servod_pid=$started
start_floor "$work/floor" "$prio" "$frame_ms"
floor_pid=$started
# One above both, so that the probe's stamps do not wait for the writer.
burst() {
  chrt -f $((prio + 1)) "$probe" burst "$1" "$2" "$frame_ms" "$servos" "$servod_pid" "$work/burst" \
    "$floor_pid" "$work/floor"
}
# A fresh servod reads back each channel's first 16 widths, to learn whether
# the chip rounds them: a short ramp first, shown apart.
if ! { read -r _ _ _ _ _ w_med w_p99 _ && read -r _ _ _ _ _ wf_med wf_p99 _; } < <(burst 1 20); then
  miss "the first ramp could not be measured"
fi
if { read -r s_n s_part s_one s_re s_unst s_med s_p99 s_max s_fmed s_fp99 &&
     read -r f_n f_part f_one f_re f_unst f_med f_p99 f_max f_fmed f_fp99; } < <(burst "$rounds" "$frames"); then
  m=$(ratio "$s_med" "$f_med") p=$(ratio "$s_p99" "$f_p99")
  echo "5. $servos servos ramping at once, $rounds ramps of $frames frames of $frame_ms ms each, side by side"
  echo "   (us from each frame's deadline; median, p99, max):"
  echo "   last width written   servod $s_med  $s_p99  $s_max    floor $f_med  $f_p99  $f_max"
  echo "   first width written  servod $s_fmed  $s_fp99           floor $f_fmed  $f_fp99"
  each() { awk -v l="$1" -v f="$2" -v n=$((servos - 1)) 'BEGIN { printf "%.1f", (l - f) / n }'; }
  echo "   each further width (from the medians): servod $(each "$s_med" "$s_fmed"), floor $(each "$f_med" "$f_fmed")"
  echo "   median ratio $m, p99 ratio $p (goal <= 1.2 each): $(verdict "$(printf '%s\n' "$m" "$p" | sort -g | tail -1)" 1.2)"
  echo "   frames measured: servod $s_n, floor $f_n; the records acted in one frame in $s_one ramps;" \
    "frames with fewer widths $s_part, $f_part; re-anchored $s_re, $f_re; not stamped $s_unst, $f_unst"
  echo "   servod's first ramp of 20 frames, widths read back: last width $w_med, $w_p99 (floor $wf_med, $wf_p99)"
else
  miss "the ramps could not be measured"
fi

# 6. The frame path counted, while nothing is timed: the system calls of one
# ramp each, and user-space instructions, a long ramp's less a short one's.
calls=50
read -r s_calls s_list < <(ramp_calls "$servod_pid" "$work/burst" "$calls") || miss "servod's ramp under strace failed"
read -r f_calls f_list < <(ramp_calls "$floor_pid" "$work/floor" "$calls") || miss "the floor's ramp under strace failed"

# 7. Idle, every servo holding its last width; counted while 6 and 8 run.
sleep 1 # the last 'D's are a period after the last widths
before=$(counters "$servod_pid")
idle_end=$((SECONDS + idle_s))

# Instructions (callgrind) of servod or the floor ($1) with one ramp of $2
# frames of 5 ms on every servo, start-up and exit included: in $counted.
count_instructions() {
  local dir=$work/cg-$1-$2
  local VALGRIND="valgrind --tool=callgrind --callgrind-out-file=/dev/null --log-file=valgrind.log"
  if [ "$1" = servod ]; then start_servod "$dir" "frame-ms = 5"; else start_floor "$dir" 0 5; fi
  "$probe" together "$dir" "$2" || miss "$1 under callgrind did not end its ramps"
  kill -TERM "$started"
  wait "$started" || true
  counted=$(sed -n 's/.*Collected : \([0-9]*\).*/\1/p' "$dir/valgrind.log")
}
declare -A instr
for who in servod floor; do
  for n in 20 220; do
    count_instructions "$who" "$n"
    instr[$who-$n]=${counted:-0}
  done
done

# 8. Heap allocations under memcheck, in one servod: its total after a ramp
# of 2 frames, and after a further ramp of 200. Not two servods: their
# start-up may differ by a few, as their pipes' staging names hold the pid.
declare -A allocs rows
VALGRIND="valgrind --log-file=valgrind.log --xtree-memory=full" TRACE=1 start_servod "$work/vg" "frame-ms = 5"
for n in 2 200; do
  "$probe" together "$work/vg" "$n" || miss "servod under valgrind did not end every ramp ($n frames)"
  vgdb --pid="$started" xtmemory "$work/vg/after-$n.kcg" >/dev/null 2>&1 || miss "vgdb could not reach servod"
  allocs[$n]=$(callgrind_annotate "$work/vg/after-$n.kcg" 2>/dev/null |
               awk '/PROGRAM TOTALS/ { gsub(",", "", $7); print $7 }')
  rows[$n]=$(cat "$work/vg"/trace*.csv | grep -vc '^t_ms' || true)
done
kill -TERM "$started"
wait "$started" || miss "servod under valgrind exited $?"
while [ $SECONDS -lt $idle_end ]; do sleep 0.2; done
after=$(counters "$servod_pid")

echo "6. the frame path: system calls of a ramp of $calls frames (strace -c), total, per servo a frame, by call:"
echo "   servod ${s_calls:-?}, $(ratio "${s_calls:-0}" $(((calls + 1) * servos))):${s_list:-}"
echo "   floor  ${f_calls:-?}, $(ratio "${f_calls:-0}" $(((calls + 1) * servos))):${f_list:-}"
s_i=$(ratio $((instr[servod-220] - instr[servod-20])) $((200 * servos)))
f_i=$(ratio $((instr[floor-220] - instr[floor-20])) $((200 * servos)))
echo "   user-space instructions per servo a frame (callgrind, a ramp of 220 frames less one of 20):" \
  "servod $s_i, floor $f_i"
for k in servod-20 servod-220 floor-20 floor-220; do
  [ "${instr[$k]:-0}" -gt 0 ] || miss "no instruction count from callgrind ($k)"
done

echo "7. idle for $idle_s s, $servos servos holding after their ramps (cpu ticks, on-cpu ns, timeslices, switches):"
idle_report "after the ramps" "$before" "$after"

echo "8. heap allocations under memcheck, $servos servos, one servod: ${allocs[2]:-?} after a ramp of 2 frames" \
  "(${rows[2]} widths traced), ${allocs[200]:-?} after a further ramp of 200 (${rows[200]}) (expected equal)"
[ -n "${allocs[2]}" ] && [ "${allocs[2]}" = "${allocs[200]}" ] || miss "servod allocates per frame"
[ "${rows[200]}" -gt $((20 * rows[2])) ] || miss "the long ramp did not write many more widths than the short"

if [ -s "$work/burst/err" ]; then echo "   servod said:"; sed 's/^/     /' "$work/burst/err"; fi
exit $fail
