"""The Python side of the group benchmark: N motors per bus (ids 1..N,
answering at 0x10 + id) on each interface, commanded CYCLES times, and one
line of JSON: microseconds per step, and steps with a missing answer.

usage: python_requester.py plain|group|threads N CYCLES IFACE...
  plain    one mit_control per motor per step, bus after bus
  group    one MotorGroup over every bus, one cycle per step
  threads  one MotorGroup per bus, each looped by a thread of its own"""

import json
import sys
import threading
import time

from axiolink import Damiao, MitSetpoint, SocketCanTransport
from axiolink_ext import MotorGroup, MotorError

WARM_UP = 20


def timed(step, cycles):
    for _ in range(WARM_UP):
        step()
    missed = 0
    start = time.perf_counter()
    for _ in range(cycles):
        missed += 0 if step() else 1
    return (time.perf_counter() - start) / cycles * 1e6, missed


def group_step(group):
    setpoints = [MitSetpoint()] * len(group)
    return lambda: not any(isinstance(s, MotorError) for s in group.cycle(setpoints))


def main():
    mode, count, cycles, ifaces = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4:]
    buses = [SocketCanTransport(iface) for iface in ifaces]
    motors = [Damiao(i, 0x10 + i) for i in range(1, count + 1)]
    if mode == "plain":
        setpoint = MitSetpoint()

        def step():
            complete = True
            for bus in buses:
                for motor in motors:
                    try:
                        motor.mit_control(bus, setpoint)
                    except RuntimeError:
                        complete = False
            return complete
        us, missed = timed(step, cycles)
    elif mode == "group":
        group = MotorGroup(motors * len(buses), [bus for bus in buses for _ in motors])
        us, missed = timed(group_step(group), cycles)
    else:
        outcomes = []
        threads = [threading.Thread(target=lambda b=bus: outcomes.append(
            timed(group_step(MotorGroup(motors, b)), cycles))) for bus in buses]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        us = max(u for u, _ in outcomes)
        missed = sum(m for _, m in outcomes)
    print(json.dumps({"us_per_step": round(us, 1), "missed": missed}))


if __name__ == "__main__":
    main()
