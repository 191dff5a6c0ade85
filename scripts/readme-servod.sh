#!/usr/bin/env bash
# Runs README's "Try it by hand" block as written, with the one change it
# allows: the PWM class path points at a stand-in (scripts/pwm-standin.sh).
# It uses the real device paths of the rig build, so it runs as root.
set -euo pipefail
cd "$(dirname "$0")/.."
scratch=$(mktemp -d /tmp/servo-readme-XXXXXX)
scripts/pwm-standin.sh "$scratch/pwm" &
standin=$!
trap 'kill $standin 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$scratch"' EXIT

block=$(awk '/<!-- servod-by-hand/ { on = 1; next }
             on && /^```sh/ { next }
             on && /^```/ { exit }
             on { print }' README.md)
grep -q '^pwm=/sys/class/pwm$' <<<"$block" || { echo "readme: the block sets no pwm=/sys/class/pwm" >&2; exit 1; }
block=${block/pwm=\/sys\/class\/pwm/pwm=$scratch/pwm}

# As root, sudo (when there is one) is not needed; -b is its "in the background".
sudo() { if [ "$1" = -b ]; then shift; "$@" & else "$@"; fi; }
[ "$(id -u)" -eq 0 ] || unset -f sudo
out=$(eval "$block"; wait)
echo "$out"
grep -qx 1000000 <<<"$out" || { echo "readme: the duty cycle after the sweep is not 1000000" >&2; exit 1; }
[ ! -e /dev/rtf1 ] && [ ! -e /dev/rtf2 ] || { echo "readme: servod left its pipes" >&2; exit 1; }
for _ in $(seq 100); do [ -d "$scratch/pwm/pwmchip0/pwm0" ] || break; sleep 0.05; done
[ ! -d "$scratch/pwm/pwmchip0/pwm0" ] || { echo "readme: the channel was not released" >&2; exit 1; }
echo "readme: 'Try it by hand' works as written against a stand-in PWM class"
