"""Wake-ups of a servo loop's thread per cycle: seven motors on the
emulator's timed wire (1 Mbit/s, 250 us adapter latency), a ServoLoop at
250 Hz for a few seconds, and the loop thread's system calls counted by
strace. Run inside the virtual bus (bench/servo/wakeups.sh does).

Prints the cycles traced and, per cycle, the calls that wait (ppoll, clock_nanosleep:
each one a wake-up) and that move frames (recvmmsg, sendmmsg)."""

import os
import re
import subprocess
import sys
import threading
import time

from axiolink import Damiao, SocketCanTransport
from axiolink_ext import MotorGroup, ServoLoop

SECONDS = float(os.environ.get("WAKEUP_SECONDS", "3"))
iface = sys.argv[1] if len(sys.argv) > 1 else "vcan0"

bus = SocketCanTransport(iface)
group = MotorGroup([Damiao(i, 0x10 + i, timeout_ms=10) for i in range(1, 8)], bus, timeout_ms=10)
with ServoLoop(group, rate_hz=250, priority=0, lock_memory=False, stop_damping_ms=0) as loop:
    time.sleep(0.5)  # the loop learns the wire
    # The loop's thread is the newest one of the process.
    tasks = sorted(int(t) for t in os.listdir(f"/proc/{os.getpid()}/task"))
    loop_thread = tasks[-1]
    before = loop.stats()["cycles"]
    tracer = subprocess.Popen(["strace", "-c", "-q", "-e", "trace=ppoll,recvmmsg,sendmmsg,clock_nanosleep",
                               "-p", str(loop_thread)], stderr=subprocess.PIPE, text=True)
    time.sleep(SECONDS)
    tracer.terminate()
    _, report = tracer.communicate(timeout=30)
    cycles = loop.stats()["cycles"] - before
counts = {name: int(calls) for calls, name in
          re.findall(r"^\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)\s+(?:\d+\s+)?(\w+)$", report, re.M)}
print(f"cycles {cycles}")
for name in ("ppoll", "clock_nanosleep", "recvmmsg", "sendmmsg"):
    print(f"{name} per cycle {counts.get(name, 0) / max(cycles, 1):.2f}")
