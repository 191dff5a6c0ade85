# Sourced by bench/servod.sh and bench/servod_burst.sh: a private directory
# on tmpfs, every process started ended on exit, failures remembered.

# sysfs lives in memory; a disk filesystem would add journal work to each O_TRUNC.
base=/tmp
[ "$(stat -f -c %T /dev/shm 2>/dev/null)" = tmpfs ] && base=/dev/shm
work=$(mktemp -d "$base/servod-bench-XXXXXX")
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  if [ -n "${KEEP:-}" ]; then echo "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
fail=0
miss() { echo "  !! $*"; fail=1; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "inf" }'; }
verdict() { awk -v r="$1" -v g="$2" 'BEGIN { print (r <= g ? "goal met" : "GOAL MISSED") }'; }

# A chip in $1/pwm with channels 0..$2-1 (default 1) exported and idle, as
# the kernel shows them.
stand_in() {
  local chip=$1/pwm/pwmchip0 n=${2:-1}
  mkdir -p "$chip"
  echo "$n" >"$chip/npwm"; : >"$chip/export"; : >"$chip/unexport"
  for ((i = 0; i < n; i++)); do
    mkdir "$chip/pwm$i"
    for f in period duty_cycle enable; do echo 0 >"$chip/pwm$i/$f"; done
    echo normal >"$chip/pwm$i/polarity"
  done
}
# Waits for servod in directory $1 to publish its pipe $2.
await_pipe() {
  for _ in $(seq 500); do [ -p "$1/$2" ] && return 0; sleep 0.02; done
  echo "$0: servod in $1 did not publish its pipes:" >&2; cat "$1/err" >&2; exit 1
}
counters() { # cpu ticks, on-cpu ns, timeslices, context switches
  local pid=$1
  kill -0 "$pid" 2>/dev/null || { echo "gone"; return; }
  echo "$(awk '{print $14 + $15}' "/proc/$pid/stat") $(awk '{print $1, $3}' "/proc/$pid/schedstat")" \
       "$(awk '/ctxt_switches/ {n += $2} END {print n}' "/proc/$pid/status")"
}
# Prints what grew between two counters() of an idle servod; anything is a miss.
idle_report() { # LABEL BEFORE AFTER
  if [ "$2" = gone ] || [ "$3" = gone ]; then miss "servod ($1) is no longer running"; return; fi
  local b1 b2 b3 b4 a1 a2 a3 a4
  read -r b1 b2 b3 b4 <<<"$2"
  read -r a1 a2 a3 a4 <<<"$3"
  printf '   %-19s +%d ticks, +%d ns, +%d timeslices, +%d switches\n' "$1:" \
    $((a1 - b1)) $((a2 - b2)) $((a3 - b3)) $((a4 - b4))
  [ "$2" = "$3" ] || miss "servod woke up while idle ($1)"
}
