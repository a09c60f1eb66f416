"""Heap allocations per command of the Python requesters, on a live bus.

    python python_allocations.py blocks KIND   # interpreter's own allocator
    PYTHONMALLOC=malloc LD_PRELOAD=libaxiolink_malloc_counter.so \\
        python python_allocations.py calls KIND

`blocks` (axiolink requesters only) reports how many interpreter memory
blocks each command leaves behind: with every result kept, and with every
result dropped (a leak shows there), plus tracemalloc's view of the kept
results. `calls` counts every allocation call made during the commands,
freed or not, as the difference of two run lengths so that the measuring
itself cancels out. Prints one JSON object.
"""

import gc
import json
import sys
import tracemalloc
from itertools import repeat

import requesters

WARM_UP, SHORT, LONG = 200, 200, 1200


def command_of(session):
    if isinstance(session, requesters.AxiolinkSession):
        motor, bus, setpoint = session.motor, session.bus, session.setpoint
        if session.run_block == session.mit_block:
            return lambda: motor.mit_control(bus, setpoint)
        return lambda: motor.enable(bus)
    raise SystemExit("blocks: only the axiolink requesters return one object per command")


def blocks_left(command, count, keep):
    """Interpreter blocks still held after `count` commands, their results
    kept in a list or dropped."""
    before = sys.getallocatedblocks()
    if keep:
        results = [command() for _ in repeat(None, count)]
        left = sys.getallocatedblocks() - before
        assert len(results) == count
        return left
    for _ in repeat(None, count):
        command()
    return sys.getallocatedblocks() - before


def blocks_per_command(command, keep):
    """The difference of two run lengths, so that what the measuring itself
    holds (the list of results) cancels out."""
    return (blocks_left(command, LONG, keep) - blocks_left(command, SHORT, keep)) / (LONG - SHORT)


def traced_results(command, count):
    tracemalloc.start()
    results = [command() for _ in repeat(None, count)]
    snapshot = tracemalloc.take_snapshot()
    tracemalloc.stop()
    here = snapshot.filter_traces([tracemalloc.Filter(True, __file__)])
    top = max(here.statistics("lineno"), key=lambda stat: stat.count)
    del results
    return {"blocks_per_command": round(top.count / count, 2),
            "bytes_per_command": round(top.size / count, 1)}


def measure_blocks(kind):
    session = requesters.open_session(kind)
    command = command_of(session)
    for _ in repeat(None, WARM_UP):
        command()
    gc.disable()
    kept = blocks_per_command(command, keep=True)
    dropped = blocks_per_command(command, keep=False)
    gc.enable()
    traced = traced_results(command, LONG)
    session.close()
    return {"kind": kind, "python": sys.version.split()[0],
            "kept_blocks_per_command": round(kept, 3),
            "dropped_blocks_per_command": round(dropped, 3),
            "tracemalloc_kept": traced}


def measure_calls(kind):
    import ctypes
    counter = ctypes.CDLL(None).axiolink_bench_allocations
    counter.restype = ctypes.c_ulonglong
    session = requesters.open_session(kind)
    session.run_block(WARM_UP)
    gc.disable()

    def calls_during(count):
        before = counter()
        session.run_block(count)
        return counter() - before

    short, long = calls_during(SHORT), calls_during(LONG)
    gc.enable()
    session.close()
    return {"kind": kind, "python": sys.version.split()[0],
            "allocation_calls_per_command": round((long - short) / (LONG - SHORT), 3)}


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in ("blocks", "calls"):
        raise SystemExit(__doc__)
    measure = measure_blocks if sys.argv[1] == "blocks" else measure_calls
    print(json.dumps(measure(sys.argv[2])), flush=True)
