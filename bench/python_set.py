#!/usr/bin/env python3
"""The cost of servo's set() from Python against os.write of the same 28 bytes
on the same pipe, in alternating rounds of one run, drained by a reader child.
Prints both medians, their ratio (goal <= 1.5), and the system calls one set()
makes (strace), which must be a single write.
usage: bench/python_set.py [CALLS_PER_ROUND [ROUNDS]]   (PYTHONPATH: the build's python/)"""
import os
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time

import servo

calls = int(sys.argv[1]) if len(sys.argv) > 1 else 100000
rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 9
work = tempfile.mkdtemp(prefix="servo-pybench-")
try:
    pipe = os.path.join(work, "rtf1")
    os.mkfifo(pipe, 0o600)
    reader = subprocess.Popen(["cat", pipe], stdout=subprocess.DEVNULL)
    record = b"N\0\0\0" + struct.pack("<qqq", servo.width(128), 0, 0)
    with servo.BaseServo(128, command=pipe) as s:
        fd = os.open(pipe, os.O_WRONLY)
        per_call = {"set": [], "write": []}
        for _ in range(rounds):
            begin = time.perf_counter_ns()
            for _ in range(calls):
                s.set(128)
            middle = time.perf_counter_ns()
            for _ in range(calls):
                os.write(fd, record)
            end = time.perf_counter_ns()
            per_call["set"].append((middle - begin) / calls)
            per_call["write"].append((end - middle) / calls)
        os.close(fd)
    reader.wait()
    a, b = statistics.median(per_call["set"]), statistics.median(per_call["write"])
    print(f"python set(): {a:.0f} ns a call, os.write of the record: {b:.0f} ns, "
          f"ratio {a / b:.3f} (goal <= 1.5; {rounds} rounds of {calls})")

    if shutil.which("strace"):
        trace = os.path.join(work, "trace")
        code = ("import servo, sys\ns = servo.BaseServo(command=sys.argv[1])\n"
                "for _ in range(1000): s.set(7)\n")
        sink = subprocess.Popen(["cat", pipe], stdout=subprocess.DEVNULL)
        subprocess.run(["strace", "-f", "-c", "-o", trace, sys.executable, "-c", code, pipe], check=True)
        sink.wait()
        writes = next((int(line.split()[3]) for line in open(trace) if line.split()[-1:] == ["write"]), 0)
        print(f"system calls: {writes} writes for 1000 set() calls and one construction "
              f"(goal: 1001)")
finally:
    shutil.rmtree(work)
