#!/usr/bin/env python3
"""Ramp a servo from one position to another and back, waiting for the done
notice after each ramp, as servo-sweep does.  usage: sweep.py FROM TO DURATION"""
import argparse
import sys

import servo

parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
for name in ("start", "end", "duration"):
    parser.add_argument(name, type=int)
parser.add_argument("--device", help=f"command device (default {servo.COMMAND_DEVICE})")
parser.add_argument("--status-device", help=f"status device (default {servo.STATUS_DEVICE})")
parser.add_argument("--timeout-ms", type=int, help="give up on a done notice after this long")
args = parser.parse_args()
try:
    with servo.Servo(command=args.device, status=args.status_device) as s:
        for a, b in ((args.start, args.end), (args.end, args.start)):
            s.move(a, b, args.duration)
            if not s.wait_done(args.timeout_ms):
                sys.exit(f"sweep.py: no done notice for the move {a} -> {b}")
except OSError as e:
    sys.exit(f"sweep.py: {e.filename}: {e.strerror}")
