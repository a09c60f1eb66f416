"""One case of the servo benchmark's guest variant, through the Python API on a
real (virtual) CAN bus with dm-emulator's timed wire: axiolink_ext.ServoLoop,
or the best loop written in Python around axiolink_ext.MotorGroup.cycle,
while a hostile workload runs in the same interpreter. Prints one line of
JSON: the period error's percentiles (ns) and the periods missed.

usage: guest_cases.py native|python WORKLOAD RATE_HZ SECONDS PRIORITY"""

import gc
import json
import math
import os
import sys
import threading
import time

import axiolink
import axiolink_ext
from workloads import WORKLOADS, prepare

MOTORS = 7
KP, KD = 5.0, 0.5
AMPLITUDE, FREQUENCY, RAMP = 0.3, 0.5, 2.0
FEED_PERIOD = 0.01


def offsets_at(elapsed):
    gain = AMPLITUDE * min(1.0, elapsed / RAMP)
    phase = 2 * math.pi * FREQUENCY * elapsed
    return [gain * math.sin(phase + i) for i in range(MOTORS)]


def make_group():
    bus = axiolink.SocketCanTransport("vcan0")
    limits = axiolink.MitLimits.dm4310()
    motors = [axiolink.Damiao(i, 0x10 + i, limits, timeout_ms=20) for i in range(1, MOTORS + 1)]
    return axiolink_ext.MotorGroup(motors, bus, timeout_ms=20)


def percentiles(samples):
    ordered = sorted(samples)
    if not ordered:
        return {"p50": 0, "p99": 0, "p99.9": 0, "max": 0}
    rank = lambda p: ordered[min(len(ordered) - 1, max(0, math.ceil(p * len(ordered)) - 1))]
    return {"p50": rank(0.5), "p99": rank(0.99), "p99.9": rank(0.999), "max": ordered[-1]}


def native(group, workload, rate, seconds, priority):
    data = prepare(workload)
    stop = threading.Event()
    with axiolink_ext.ServoLoop(group, rate_hz=rate, kp=KP, kd=KD, priority=priority) as loop:
        base = list(loop.states().q)

        def feed():
            start = time.monotonic()
            while not stop.is_set():
                offsets = offsets_at(time.monotonic() - start)
                loop.set_targets(q=[base[i] + offsets[i] for i in range(MOTORS)])
                stop.wait(FEED_PERIOD)

        feeder = threading.Thread(target=feed)
        feeder.start()
        try:
            WORKLOADS[workload](time.monotonic() + seconds, stop, data)
        finally:
            stop.set()
            feeder.join()
        stats = loop.stats()
        scheduled = loop.real_time["sched_fifo"]
    return {"cycles": stats["cycles"], "missed": stats["late_periods"],
            "period_error_ns": stats["period_error_ns"], "scheduled": scheduled}


def python_loop(group, workload, rate, seconds, priority):
    data = prepare(workload)
    stop = threading.Event()
    worker = threading.Thread(target=WORKLOADS[workload],
                              args=(time.monotonic() + seconds + 60, stop, data))
    base = [state.position for state in group.enable()]
    scheduled = False
    if priority > 0:
        try:
            os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(priority))
            scheduled = True
        except OSError:
            pass
    if workload != "none":
        worker.start()
    errors, missed = [], 0
    setpoint, cycle = axiolink.MitSetpoint, group.cycle
    monotonic, sleep = time.monotonic, time.sleep
    period = 1.0 / rate
    try:
        start = monotonic()
        deadline = start + period
        end = start + seconds
        while deadline < end:
            now = monotonic()
            if now < deadline:
                sleep(deadline - now)
                now = monotonic()
            this_period = deadline
            late = now - deadline
            if late >= period:
                deadline += (late // period) * period
            offsets = offsets_at(now - start)
            setpoints = [setpoint(q=base[i] + offsets[i], kp=KP, kd=KD) for i in range(MOTORS)]
            # Measured where the native loop measures: as the cycle starts.
            lateness = max(0.0, monotonic() - this_period)
            errors.append(round(lateness * 1e9))
            missed += int(lateness // period)
            cycle(setpoints)
            deadline += period
    finally:
        if scheduled:
            os.sched_setscheduler(0, os.SCHED_OTHER, os.sched_param(0))
        stop.set()
        if workload != "none":
            worker.join()
        group.disable()
    return {"cycles": len(errors), "missed": missed, "period_error_ns": percentiles(errors),
            "scheduled": scheduled}


def main():
    loop, workload, rate, seconds, priority = sys.argv[1:6]
    run = native if loop == "native" else python_loop
    result = run(make_group(), workload, float(rate), float(seconds), int(priority))
    gc.collect()
    print(json.dumps({"loop": loop, "workload": workload, "rate_hz": float(rate),
                      "seconds": float(seconds), **result}), flush=True)


if __name__ == "__main__":
    main()
