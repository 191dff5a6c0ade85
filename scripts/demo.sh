#!/usr/bin/env bash
# Builds the tools for private pipes, starts servosim, moves the simulated
# servo with setServo and servo-sweep, then plots what the servo did.
# usage: scripts/demo.sh [--doc]   --doc: also keep the trace and its picture
# as doc/demo-trace.csv and doc/demo.svg, the README's picture.
set -euo pipefail
cd "$(dirname "$0")/.."
doc=0
case "${1:-}" in
  "") ;;
  --doc) doc=1 ;;
  *) echo "usage: scripts/demo.sh [--doc]" >&2; exit 2 ;;
esac
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
if [ "$doc" = 1 ]; then
  cp "$run/trace.csv" doc/demo-trace.csv
  "$out/bin/servoplot" doc/demo-trace.csv doc/demo.svg
  echo "doc:   doc/demo-trace.csv and doc/demo.svg made again"
fi
echo
echo "trace: $run/trace.csv"
echo "plot:  $run/servo.svg   (open it in a browser, e.g. xdg-open $run/servo.svg)"
