"""The Python side of servo_bench: the workloads, the feeder of the native
loop, and the best control loop that can be written in Python.

servo_bench.cpp embeds the interpreter, registers the module `servo_bench`
(its functions reach the simulated wire and the loop of the current case)
and calls run_native_case or run_python_loop_case once per case."""

import gc
import math
import os
import threading
import time

import axiolink
import servo_bench
from workloads import WORKLOADS, prepare

MOTORS = 7
KP, KD = 5.0, 0.5
AMPLITUDE = 0.3      # rad: each joint follows a sine about where it started
FREQUENCY = 0.5      # Hz
RAMP = 2.0           # s: the amplitude grows from 0 over this long, no jump
FEED_PERIOD = 0.01   # s: the application's own pace for the native loop's targets


def targets_at(elapsed):
    gain = AMPLITUDE * min(1.0, elapsed / RAMP)
    phase = 2 * math.pi * FREQUENCY * elapsed
    return [gain * math.sin(phase + i) for i in range(MOTORS)]


def real_time(priority):
    """SCHED_FIFO for the calling thread; False when not permitted."""
    if priority <= 0:
        return False
    try:
        os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(priority))
        return True
    except OSError:
        return False


def normal_time():
    os.sched_setscheduler(0, os.SCHED_OTHER, os.sched_param(0))


# --- (a) the native loop: Python only feeds targets and reads states -------

def feed(stop, counts):
    start = time.monotonic()
    while not stop.is_set():
        servo_bench.set_targets(targets_at(time.monotonic() - start))
        servo_bench.states()
        counts["feeds"] += 1
        stop.wait(FEED_PERIOD)


def run_native_case(workload, seconds):
    """The loop runs on its own thread (started by the caller); the main
    thread runs the workload, another thread feeds targets."""
    data = prepare(workload)
    stop = threading.Event()
    counts = {"feeds": 0}
    feeder = threading.Thread(target=feed, args=(stop, counts))
    feeder.start()
    try:
        rounds = WORKLOADS[workload](time.monotonic() + seconds, stop, data)
    finally:
        stop.set()
        feeder.join()
        del data
        gc.collect()
    return {"workload_rounds": rounds, "feeds": counts["feeds"]}


# --- (b) the best Python loop ---------------------------------------------

def python_loop(period, seconds):
    """Sleeps until an absolute deadline, skips periods it lost (no burst to
    catch up), builds the setpoints and runs one group cycle, which releases
    the interpreter lock while it waits for the wire. servo_bench.cycle
    measures each cycle's start against the deadline it is given."""
    setpoint = axiolink.MitSetpoint
    cycle = servo_bench.cycle
    monotonic, sleep = time.monotonic, time.sleep
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
        q = targets_at(now - start)
        cycle([setpoint(q=q[i], kp=KP, kd=KD) for i in range(MOTORS)], this_period)
        deadline += period


def run_python_loop_case(workload, rate_hz, seconds, priority):
    data = prepare(workload)
    stop = threading.Event()
    result = {}

    def work():
        result["workload_rounds"] = WORKLOADS[workload](time.monotonic() + seconds + 60, stop,
                                                        data)

    worker = threading.Thread(target=work)
    if workload != "none":
        worker.start()
    scheduled = real_time(priority)
    try:
        python_loop(1.0 / rate_hz, seconds)
    finally:
        if scheduled:
            normal_time()
        stop.set()
        if workload != "none":
            worker.join()
        del data
        gc.collect()
    return {"workload_rounds": result.get("workload_rounds", 0), "scheduled": scheduled}
