"""The hostile workloads of the servo benchmark, each run until a time or an
event: servo_cases.py runs them beside a control loop, and run.sh runs them
alone beside cyclictest, for the kernel's own latency under the same load.

usage: python3 workloads.py none|gc|sort|threads SECONDS"""

import gc
import os
import random
import sys
import threading
import time

SORTED_LENGTH = 10**7
# Objects in reference cycles per collection. A User-Mode Linux guest maps
# each page of its memory into the host process on its own, and freeing a
# million scattered objects there exceeds the host's count of mappings: the
# guest variant makes fewer.
GC_CYCLES = int(os.environ.get("SERVO_GC_CYCLES", 1_000_000))


# Each runs until `until` (monotonic seconds) or `stop`, and returns how many
# rounds it made.

def idle(until, stop, data):
    stop.wait(max(0.0, until - time.monotonic()))
    return 0


def gc_storm(until, stop, data):
    """Millions of objects in reference cycles, made and collected: every
    collection of the older generations runs with the interpreter lock held."""
    rounds = 0
    while not stop.is_set() and time.monotonic() < until:
        junk = []
        for _ in range(GC_CYCLES):
            node = {}
            node["self"] = [node]
            junk.append(node)
        del junk
        gc.collect()
        rounds += 1
    return rounds


def long_c_call(until, stop, data):
    """sorted() of 10**7 floats: one C call that holds the interpreter lock
    for seconds."""
    rounds = 0
    while not stop.is_set() and time.monotonic() < until:
        sorted(data)
        rounds += 1
    return rounds


def cpu_bound(until, stop, data):
    """Pure Python arithmetic: the interpreter lock is handed over only at
    its switch interval."""
    rounds = 0
    while not stop.is_set() and time.monotonic() < until:
        total = 0
        for i in range(100_000):
            total += i * i
        rounds += 1
    return rounds


WORKLOADS = {"none": idle, "gc": gc_storm, "sort": long_c_call, "threads": cpu_bound}


def prepare(workload):
    if workload == "sort":
        rng = random.Random(1)
        return [rng.random() for _ in range(SORTED_LENGTH)]
    return None




if __name__ == "__main__":
    name, seconds = sys.argv[1], float(sys.argv[2])
    data = prepare(name)
    print("ready", flush=True)
    print(WORKLOADS[name](time.monotonic() + seconds, threading.Event(), data), "rounds")
