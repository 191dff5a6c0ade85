#!/usr/bin/env bash
# Builds the tools for private pipes, starts servosim, moves the simulated
# servo with setServo and servo-sweep, then plots what the servo did.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${SERVO_BUILD_ROOT:-$PWD/build}/demo
run=$out/run
mkdir -p "$run"
rm -f "$run/rtf1" "$run/rtf2"

echo "== building (devices: $run/rtf1, $run/rtf2)"
cmake -S . -B "$out" -G Ninja -DSERVO_COMMAND_DEVICE="$run/rtf1" \
  -DSERVO_STATUS_DEVICE="$run/rtf2" >/dev/null
cmake --build "$out" >/dev/null

"$out/bin/servosim" --trace "$run/trace.csv" &
sim=$!
trap 'kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -p "$run/rtf1" ] && break; sleep 0.05; done

say() { printf '\n$ %s\n' "$*"; }
setservo() {
  say "setServo $*"
  "$out/bin/setServo" "$@" 2>&1 || echo "(setServo exited with status $?)"
  sleep 0.4
}
setservo 0
setservo 128
setservo 255
setservo 64
setservo 12x
setservo 300

say "servo-sweep 0 255 10    # ramp up over about 1 s, wait for 'D', ramp back"
"$out/bin/servo-sweep" 0 255 10 && echo "(servo-sweep: both ramps reported done)"
sleep 0.2

kill -INT "$sim"
wait "$sim" || true
trap - EXIT
"$out/bin/servoplot" "$run/trace.csv" "$run/servo.svg"
echo
echo "trace: $run/trace.csv"
echo "plot:  $run/servo.svg   (open it in a browser, e.g. xdg-open $run/servo.svg)"
