#!/usr/bin/env bash
# A stand-in for /sys/class/pwm, for trying servod without hardware. It plays
# the kernel's part for one chip with two channels: writing N to export makes
# pwmN appear a moment later with period, duty_cycle and enable at 0 and
# polarity "normal"; writing N to unexport removes it. Runs until killed.
# usage: scripts/pwm-standin.sh DIR        (then: servod --sysfs DIR ...)
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 DIR" >&2; exit 2; }
chip=$1/pwmchip0
mkdir -p "$chip"
echo 2 > "$chip/npwm"
: > "$chip/export"
: > "$chip/unexport"
while :; do
  n=$(cat "$chip/export")
  if [ -n "$n" ]; then
    : > "$chip/export"
    if [ ! -d "$chip/pwm$n" ]; then
      sleep 0.05                  # the directory appears late, as it does
      rm -rf "$chip/.pwm$n"
      mkdir "$chip/.pwm$n"
      for f in period duty_cycle enable; do echo 0 > "$chip/.pwm$n/$f"; done
      echo normal > "$chip/.pwm$n/polarity"
      mv "$chip/.pwm$n" "$chip/pwm$n"   # whole, at once
    fi
  fi
  n=$(cat "$chip/unexport")
  if [ -n "$n" ]; then
    : > "$chip/unexport"
    rm -rf "$chip/pwm$n"
  fi
  sleep 0.02
done
