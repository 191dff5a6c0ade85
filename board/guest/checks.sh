#!/bin/bash
# Runs on the board once it is up: installs the servo package as a user would,
# starts servod and checks it from inside and from the pulses on its GPIO
# line, which the kernel's own trace events time. Prints one line a check,
# "board: X. WHAT: ok" or "board: X. WHAT: FAILED: WHY", then the pulse table.
set -u
here=$(dirname "$0")
trace=/sys/kernel/tracing
period=20000 # µs: servod's default frame
tolerance=2  # µs
# The kernel's software PWM toggles the line from a timer, so an edge comes
# late by as long as the CPU keeps interrupts off. Widths are read where the
# board is quiet; across a restart an edge may come this late.
late=5000    # µs
as_user=(setpriv --reuid=pi --regid=pi --init-groups)
failed=0 checks=0 rows=()

say() { echo "board: $*"; }
# The host stops the board at the "end:" line; a script that dies early says so too.
trap 'say "end: $checks checks, $failed failed, then the checks script stopped early"' EXIT
verdict() { # what, why (empty: ok)
  checks=$((checks + 1))
  if [ -z "$2" ]; then say "$1: ok"; else say "$1: FAILED: $2"; failed=$((failed + 1)); fi
}
near() { [ "$1" -le $(($2 + tolerance)) ] && [ "$1" -ge $(($2 - tolerance)) ]; }
unit() { systemctl show -P "$1" servod; }
units() { systemctl show "${@/#/-p}" servod | sort | cut -d= -f2- | tr '\n' ' '; } # values by property name
configure() { sed -i "s|^SERVOD_OPTIONS=.*|SERVOD_OPTIONS=\"$*\"|" /etc/default/servod; }

# --- the trace: every edge of every line, markers, servod's 'D' writes
mark() { echo "$1" >"$trace/trace_marker"; }
fresh() { echo >"$trace/trace"; } # each check reads only its own events
events() { awk -v base="$gpio_base" -f "$here/edges.awk" "$trace/trace"; }
pulses_after() { # mark, line: "rise width period" of each whole pulse after the mark
  events | awk -v m="$1" -v l="$2" '$1 == "mark" && $2 == m { on = 1 } on && $1 == "pulse" && $2 == l { print $3, $4, $5 }'
}
wait_pulses() { # mark, line, count: waits until that many whole pulses followed the mark
  local i
  for i in $(seq 50); do # 5 s, 250 periods
    [ "$(pulses_after "$1" "$2" | wc -l)" -ge "$3" ] && return 0
    sleep 0.1
  done
  return 1
}
# servod gives the servo a width at the next frame, and the line takes it at
# the next period: from the fifth pulse after a command on, the line has it.
settled=5
settled_pulse() { # mark, line: median width and period of pulses 5 to 7 after the mark
  wait_pulses "$1" "$2" $((settled + 2)) &&
    pulses_after "$1" "$2" | sed -n "$settled,$((settled + 2))p" | sort -n -k2 | sed -n '2{s/^[0-9]* //;p}'
}
width_ns() { echo $(($1 * 1000000 / 256 + 1000000)); }
row() { # what, position, width and period measured: a line of the pulse table
  local ns
  ns=$(width_ns "$2")
  rows+=("$(printf '%-10s %-28s %5d.%03d %9s %9s' "$chip" "$1" $((ns / 1000)) $((ns % 1000)) "$3" "$4")")
}

# --- the board: one line per pwm-gpio node of the device tree, its chip
# named by its device (servo0, servo1): chip numbers are not stable
gpio_base=$(for c in /sys/class/gpio/gpiochip*; do [ "$(cat "$c/label")" = 9030000.pl061 ] && cat "$c/base"; done)
declare -A line_of
wait_chips() {
  local node chips
  chips=$(grep -lx pwm-gpio /proc/device-tree/*/compatible | wc -l)
  for _ in $(seq 200); do
    [ "$(ls -d /sys/class/pwm/pwmchip* 2>/dev/null | wc -l)" -ge "$chips" ] && break
    sleep 0.1
  done
  line_of=()
  for c in /sys/class/pwm/pwmchip*; do
    node=$(readlink -f "$c/device/of_node") || continue
    line_of[$(basename "$(readlink "$c/device")")]=$(od -An -tu4 --endian=big "$node/gpios" | awk '{ print $2 }')
  done
  [ "${#line_of[@]}" -eq "$chips" ]
}
wait_chips || say "only ${#line_of[@]} PWM chips for the device tree's pwm-gpio nodes"
for c in $(printf '%s\n' "${!line_of[@]}" | sort); do say "$c drives PL061 line ${line_of[$c]}"; done
chip=servo0 chip2=servo1
line=${line_of[$chip]:-none} line2=${line_of[$chip2]:-none}

echo 8192 >"$trace/buffer_size_kb"
echo nopause-on-trace >"$trace/trace_options" # reading the trace must not stop it
echo 1 >"$trace/events/gpio/gpio_value/enable"
echo 'count == 1' >"$trace/events/syscalls/sys_enter_write/filter"
echo 1 >"$trace/events/syscalls/sys_enter_write/enable"
echo 1 >"$trace/tracing_on"

if grep -qw board.checks=boot /proc/cmdline; then
  # a. Installed and enabled before this boot, servod starts at boot while
  # udev is still loading the board's PWM driver from the device tree: it
  # waits for its chip, named by its device, and is ready on its first try.
  for _ in $(seq 300); do
    case $(unit ActiveState) in active | failed) break ;; esac
    sleep 0.1
  done
  why=""
  state="Type=$(unit Type) ActiveState=$(unit ActiveState) SubState=$(unit SubState) NRestarts=$(unit NRestarts)"
  [ "$state" = "Type=notify ActiveState=active SubState=running NRestarts=0" ] ||
    why+=" $state; $(journalctl -u servod -o cat -n 5 | tr '\n' ' ')"
  driver=$(for c in /sys/class/pwm/pwmchip*; do
    [ "$(basename "$(readlink "$c/device")")" = "$chip" ] && basename "$(readlink "$c/device/driver")"; done)
  [ "$driver" = pwm-gpio ] || why+=" $chip is bound to '$driver', not pwm-gpio;"
  listed=$(grep -rls 'pwm.gpio' /etc/modules /etc/modules-load.d /usr/lib/modules-load.d /run/modules-load.d)
  [ -z "$listed" ] || why+=" pwm-gpio is listed for loading in $listed;"
  waited=$(journalctl -q -u servod -o cat | grep -m1 "waiting up to")
  if [ -n "$waited" ]; then say "a. at boot servod came first and waited: $waited"; else say "a. at boot the chip was there before servod"; fi
  verdict "a. servod enabled: active at boot through Type=notify, NRestarts=0; pwm-gpio loaded by udev" "$why"
  trap - EXIT
  say "end: $checks checks, $failed failed"
  exit 0
fi

groupadd --system gpio && useradd --create-home --user-group --groups gpio pi
deb=$(ls /root/servo_*.deb)
why=""
out=$(dpkg -i "$deb" 2>&1) || why=$(tr '\n' ' ' <<<"$out")
configure "--pwm $chip:0 --group gpio --on-exit release"
systemctl enable --now servod 2>&1
[ "$(unit ActiveState)" = active ] || why+=" servod: $(unit ActiveState): $(journalctl -u servod -o cat -n 3 | tr '\n' ' ')"
verdict "install. dpkg -i ${deb##*/}, its Depends checked against what is installed; systemctl enable --now servod" "$why"

fresh
# b. Positions from a member of the group, none from anyone else.
why=""
for p in 128 0 255; do
  mark "b-$p"
  err=$("${as_user[@]}" setServo "$p" 2>&1) || { why+=" setServo $p: $err;"; continue; }
  read -r width got_period < <(settled_pulse "b-$p" "$line") || { why+=" setServo $p: no pulses on line $line;"; continue; }
  row "setServo $p" "$p" "$width" "$got_period"
  near "$width" $(($(width_ns "$p") / 1000)) && near "$got_period" "$period" ||
    why+=" setServo $p: $width µs every $got_period µs, asked $(width_ns "$p") ns every $period µs;"
done
err=$(setpriv --reuid=nobody --regid=nogroup --clear-groups setServo 128 2>&1) ||
  [[ $err == *"Permission denied"* ]] || why+=" a user outside the group: '$err', not refused by the pipe;"
verdict "b. setServo 128, 0, 255 as a member of the group: 1500, 1000, 1996 µs every $period µs" "$why"

fresh
# c. A sweep: one width step per period, in order, to the end width; the
# 'D' of each ramp only once the end width is on the line.
sweep=(0 255 2)
mark c
err=$("${as_user[@]}" servo-sweep "${sweep[@]}" 2>&1) || err="servo-sweep: $err;"
mark c-end
wait_pulses c-end "$line" 2
from=$(width_ns "${sweep[0]}") to=$(width_ns "${sweep[1]}") t5=$((5 * sweep[2]))
step=$((to / t5 - from / t5))
why=$(events | awk -v line="$line" -v from="$from" -v to="$to" -v step="$step" -v period="$period" -v tol="$tolerance" \
  -f "$here/ramps.awk") || why+=" the trace could not be read;"
why=$err$why
verdict "c. servo-sweep ${sweep[*]}: one step a period to the end width, D after it" "$why"

fresh
# d. servod killed, then restarted as an upgrade restarts it: systemd starts
# it again, and nothing a client sees changes. The client holds one t_Servo
# throughout; what it sends while servod is away is served when it is back.
configure "--pwm $chip:0 --group gpio" # hold: a restart must not move the servo
systemctl restart servod
coproc CLIENT { "${as_user[@]}" "$here/client" 2>&1; }
ask() { # a line to the client, its answer back
  [ -n "${CLIENT[1]:-}" ] || { echo "the client has ended"; return 1; }
  echo "$1" >&"${CLIENT[1]}" && read -r -t 10 answer <&"${CLIENT[0]}" && echo "$answer"
}
pipes() { stat -c '%n %i %A %G' /dev/rtf1 /dev/rtf2 | tr '\n' ' '; }
why=""
for how in kill restart; do
  held=64 after=192
  [ $how = kill ] || { held=192 after=64; }
  mark "d-$how-held"
  answer=$(ask "set $held")
  read -r width got_period < <(settled_pulse "d-$how-held" "$line") && row "client: set $held" $held "$width" "$got_period"
  near "${width:-0}" $(($(width_ns $held) / 1000)) || why+=" $how: the client's 'set $held' ($answer) gave ${width:-no} µs;"
  before=$(pipes) old_pid=$(unit MainPID)
  mark "d-$how"
  if [ $how = kill ]; then
    kill -9 "$old_pid"
  else
    systemctl restart --no-block servod
    answer=$(ask "set $after") # sent while servod is away
  fi
  for _ in $(seq 60); do
    read -r state pid < <(units ActiveState MainPID)
    [ "$state" = active ] && [ "$pid" != "$old_pid" ] && break
    sleep 0.5
  done
  [ "$(unit ActiveState)" = active ] && [ "$(unit MainPID)" != "$old_pid" ] ||
    why+=" $how: not back: $(unit ActiveState)/$(unit SubState), NRestarts=$(unit NRestarts);"
  if [ $how = kill ]; then
    mark d-kill-back
    wait_pulses d-kill-back "$line" $((settled + 2)) || why+=" kill: no pulses after the restart;"
    why+=$(events | awk -v from=d-kill -v line="$line" -v width="${width:-0}" -v period="$period" \
      -v tol="$tolerance" -v late="$late" -v settled=3 -f "$here/held.awk")
    answer=$(ask "set $after")
  fi
  [ "$(pipes)" = "$before" ] || why+=" $how: pipes were '$before', now '$(pipes)';"
  mark "d-$how-after"
  read -r width got_period < <(settled_pulse "d-$how-after" "$line") &&
    row "client: set $after, after $how" $after "$width" "$got_period"
  near "${width:-0}" $(($(width_ns $after) / 1000)) ||
    why+=" $how: the client's 'set $after' ($answer) did not reach servod: the line is at ${width:-no} µs;"
  answer=$(ask "move $after $held 1")
  [ "$answer" = done ] || why+=" $how: the client's move after it: '$answer', no D within 5 s;"
done
[ -z "${CLIENT[1]:-}" ] || eval "exec ${CLIENT[1]}>&-"
verdict "d. kill -9, then systemctl restart: width held, pipes kept, the client holding t_Servo goes on" "$why"

fresh
# e. Stopping: release ends the pulses with the line low, hold keeps them.
systemctl reset-failed servod # the restarts above count for no start limit
why=""
for how in release hold; do
  configure "--pwm $chip:0 --group gpio --on-exit $how"
  mark "e-$how-start"
  systemctl restart servod || why+=" $how: systemctl restart: $(unit ActiveState)/$(unit Result);"
  setServo 128
  wait_pulses "e-$how-start" "$line" 3 || why+=" $how: no pulses before the stop;"
  systemctl stop servod
  mark "e-$how"
  if [ "$how" = release ]; then
    sleep $((5 * period / 1000))e-3 # five periods of the guest's own clock
    after_stop=$(events | awk -v l="$line" '$1 == "mark" && $2 == "e-release" { on = 1 }
      on && $1 == "pulse" && $2 == l { n++ } $1 == "level" && $2 == l { v = $3 } END { print n + 0, v }')
    [ "$after_stop" = "0 0" ] || why+=" release: pulses after the stop, and the level: $after_stop;"
  else
    read -r width got_period < <(settled_pulse e-hold "$line") && row "setServo 128, stopped: hold" 128 "$width" "$got_period"
    near "${width:-0}" 1500 || why+=" hold: the line is at ${width:-no pulses} µs after the stop, not 1500;"
  fi
  # Stopped for good, servod leaves no pipe to write into unheard.
  err=$(setServo 1 2>&1) && why+=" $how: setServo after the stop exited 0;"
  [[ $err == *"No such file or directory"* ]] || why+=" $how: setServo after the stop said '$err';"
done
verdict "e. systemctl stop: --on-exit release leaves the line low, hold keeps the pulses; no pipe left" "$why"

fresh
# f. A chip that is not there: the unit ends failed after a few tries, and
# the reason is in the journal at error priority.
configure "--pwm pwmchip9:0 --group gpio"
systemctl reset-failed servod # the starts of the checks above count for no limit
systemctl restart servod 2>/dev/null
tries=10
for _ in $(seq 60); do
  read -r state restarts < <(units ActiveState NRestarts)
  [ "$state" = failed ] || [ "$restarts" -gt "$tries" ] && break
  sleep 1
done
why=""
read -r state restarts < <(units ActiveState NRestarts)
[ "$state" = failed ] && [ "$restarts" -le "$tries" ] ||
  why+=" $state/$(unit SubState) after $restarts restarts (StartLimitBurst=$(unit StartLimitBurst) in $(unit StartLimitIntervalUSec), RestartUSec=$(unit RestartUSec));"
errors=$(journalctl -p err -u servod -o cat)
if ! grep -q pwmchip9 <<<"$errors"; then
  said=$(for p in 4 5 6 7; do journalctl -q -p "$p..$p" -u servod -o cat | grep -m1 pwmchip9 | sed "s/^/at priority $p: /"; done)
  why+=" journalctl -p err -u servod does not name pwmchip9; it shows: $(head -3 <<<"$errors" | tr '\n' '|');"
  why+=" servod said ${said:-nothing about it}" # where its reason went instead
fi
verdict "f. a missing chip: failed within $tries tries, the reason at error priority" "$why"

fresh
# g. Two servos on one servod, from its configuration file: a move of both
# sent in one frame ends in one period on both lines.
cat >/etc/servod.conf <<CONF
group = gpio
[left]
pwm = $chip:0
command = /dev/rtf1
status = /dev/rtf2
[right]
pwm = $chip2:0
command = /dev/rtf3
status = /dev/rtf4
CONF
configure "--config /etc/servod.conf"
systemctl reset-failed servod
systemctl restart servod
why=""
[ "$(unit ActiveState)" = active ] || why+=" servod: $(journalctl -u servod -o cat -n 3 | tr '\n' ' ');"
coproc PAIR { "${as_user[@]}" "$here/client" /dev/rtf1 /dev/rtf2 /dev/rtf3 /dev/rtf4 2>&1; }
pask() { echo "$1" >&"${PAIR[1]}" && read -r -t 10 answer <&"${PAIR[0]}" && echo "$answer"; }
mark g-start
pask "set 0" >/dev/null
wait_pulses g-start "$line" $((settled + 2)) && wait_pulses g-start "$line2" $((settled + 2)) ||
  why+=" no pulses on both lines;"
pid=$(unit MainPID)
kill -STOP "$pid" # both records wait in their pipes: certainly one frame
mark g
pask "send 0 255 2" >/dev/null
kill -CONT "$pid"
answer=$(pask wait)
[ "$answer" = done ] || why+=" the move of both: '$answer';"
[ -z "${PAIR[1]:-}" ] || eval "exec ${PAIR[1]}>&-"
mark g-end
wait_pulses g-end "$line" 2 && wait_pulses g-end "$line2" 2 || why+=" no pulses after the move;"
end_rise() { # line: when the end width first rose on it after the mark
  pulses_after g "$1" | awk -v w=1996 -v tol="$tolerance" '$2 >= w - tol && $2 <= w + tol { print $1; exit }'
}
e1=$(end_rise "$line") e2=$(end_rise "$line2")
if [ -z "$e1" ] || [ -z "$e2" ]; then
  why+=" the end width never came on line ${line}${e1:+ 2} (${e1:-none}, ${e2:-none});"
else
  apart=$((e1 > e2 ? e1 - e2 : e2 - e1))
  [ "$apart" -lt "$period" ] || why+=" the ends came $apart µs apart: not in one period;"
  say "g. the end width rose $apart µs apart on lines $line and $line2"
fi
for c in "$chip" "$chip2"; do
  l=${line_of[$c]:-none}
  read -r width got_period < <(pulses_after g-end "$l" | sed -n '2{s/^[0-9]* //;p}') &&
    chip=$c row "both: move 0 -> 255, its end" 255 "$width" "$got_period"
done
verdict "g. two servos from /etc/servod.conf: a move of both sent in one frame ends in one period on both lines" "$why"

say "pulses measured on the line (µs):"
say "$(printf '%-10s %-28s %9s %9s %9s' chip command asked measured period)"
for r in "${rows[@]}"; do say "$r"; done
trap - EXIT
say "end: $checks checks, $failed failed"
