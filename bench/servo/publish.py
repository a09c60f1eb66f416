"""Writes the servo benchmark's table (servo.md) and figures (servo.json)
from run.sh's raw outputs: cases.jsonl (servo_bench), cyclictest-*.txt
(cyclictest-during-*.txt: run at the same time as a native loop's case) and
machine-*.json. The section on wake-ups per cycle comes from servo-wakeups.md
in RESULTS_DIR, measured apart (bench/servo/wakeups.sh).

usage: publish.py OUT_DIR RESULTS_DIR --mode full|short --priority P"""

import argparse
import json
import os
import pathlib
import platform

GOAL_RATE = 1000
GOAL_FACTOR, GOAL_MARGIN_US = 1.5, 20.0
QUANTILES = (("p50", 0.5), ("p99", 0.99), ("p99.9", 0.999))
LATE_US = 1000  # a whole period late at 1 kHz
HISTOGRAM_US = 50000  # cyclictest -h: the last bucket; beyond, overflows


def cyclictest_figures(path):
    """p50/p99/p99.9/max in µs from cyclictest's histogram (-h, 1 µs buckets);
    overflows beyond its last bucket count at its maximum."""
    buckets, overflows, maximum = [], 0, 0
    for line in path.read_text().splitlines():
        if line.startswith("# Histogram Overflows:"):
            overflows = int(line.split(":")[1])
        elif line.startswith("# Max Latencies:"):
            maximum = int(line.split(":")[1])
        elif line and not line.startswith("#"):
            value, count = line.split()[:2]
            buckets.append((int(value), int(count)))
    total = sum(count for _, count in buckets) + overflows
    figures = {
        "samples": total,
        "max": float(maximum),
        # Wake-ups a millisecond or more late, and the 1 ms periods they
        # cover by ServoLoop's rule for late_periods (lateness // period);
        # an overflow counts as 50, at least what it took.
        "late_1ms": sum(count for value, count in buckets if value >= LATE_US) + overflows,
        "periods_1ms": sum(count * (value // LATE_US) for value, count in buckets)
        + overflows * (HISTOGRAM_US // LATE_US),
    }
    for name, fraction in QUANTILES:
        rank, seen = fraction * total, 0
        figures[name] = float(maximum)
        for value, count in buckets:
            seen += count
            if seen >= rank:
                figures[name] = float(value)
                break
    return figures


def us(value):
    return f"{value:,.0f}" if value >= 1000 else f"{value:.0f}" if value >= 100 else f"{value:.1f}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("out", type=pathlib.Path)
    parser.add_argument("results", type=pathlib.Path)
    parser.add_argument("--mode", default="full")
    parser.add_argument("--priority", type=int, default=80)
    args = parser.parse_args()

    cases = [json.loads(line) for line in (args.out / "cases.jsonl").read_text().splitlines()
             if line.startswith("{")]
    floors = {path.stem.removeprefix("cyclictest-"): cyclictest_figures(path)
              for path in sorted(args.out.glob("cyclictest-*.txt"))
              if not path.stem.startswith("cyclictest-during-")}
    # cyclictest during each native loop's case, keyed WORKLOAD-RATE
    beside = {path.stem.removeprefix("cyclictest-during-"): cyclictest_figures(path)
              for path in sorted(args.out.glob("cyclictest-during-*.txt"))}
    machine = {
        "kernel": platform.release(),
        "cpus": os.cpu_count(),
        "start": json.loads((args.out / "machine-start.json").read_text()),
        "end": json.loads((args.out / "machine-end.json").read_text()),
    }
    during = args.out / "machine-during.jsonl"
    machine["during"] = [json.loads(line) for line in during.read_text().splitlines()] \
        if during.exists() else []

    goal = []
    idle_floor = floors.get(f"none-{GOAL_RATE}")
    for case in cases:
        if case["loop"] != "native" or case["rate_hz"] != GOAL_RATE or not idle_floor:
            continue
        bound = GOAL_FACTOR * idle_floor["p99.9"] + GOAL_MARGIN_US
        loaded = floors.get(f"{case['workload']}-{GOAL_RATE}", idle_floor)
        goal.append({
            "workload": case["workload"],
            "p99.9_us": case["period_error_us"]["p99.9"],
            "bound_us": bound,
            "bound_beside_workload_us": GOAL_FACTOR * loaded["p99.9"] + GOAL_MARGIN_US,
            "missed": case["missed"],
            "met": case["period_error_us"]["p99.9"] <= bound and case["missed"] == 0,
        })

    # The goal side by side: ServoLoop and cyclictest in the same run, at
    # the same time, so that both face the same machine.
    same_run = []
    for case in cases:
        key = f"{case['workload']}-{case['rate_hz']}"
        floor = beside.get(key)
        if case["loop"] != "native" or case["rate_hz"] != GOAL_RATE or not floor:
            continue
        periods = case["cycles"] + case["missed"]
        loads = [json.loads((args.out / f"machine-case-{key}-{edge}.json").read_text())
                 for edge in ("start", "end")
                 if (args.out / f"machine-case-{key}-{edge}.json").exists()]
        p999, floor_p999 = case["period_error_us"]["p99.9"], floor["p99.9"]
        same_run.append({
            "workload": case["workload"],
            "seconds": case["seconds"],
            "p99.9_us": p999,
            "missed": case["missed"],
            "periods": periods,
            "cyclictest_p99.9_us": floor_p999,
            "cyclictest_late_1ms": floor["late_1ms"],
            "cyclictest_periods_1ms": floor["periods_1ms"],
            "cyclictest_loops": floor["samples"],
            "cyclictest_max_us": floor["max"],
            "load": [load["load"] for load in loads],
            "p99.9_met": p999 <= floor_p999,
            "missed_met": case["missed"] <= floor["late_1ms"],
            "met": p999 <= floor_p999 and case["missed"] <= floor["late_1ms"],
        })

    guest_path = args.out / "guest.jsonl"
    guest = [json.loads(line) for line in guest_path.read_text().splitlines()
             if line.startswith("{")] if guest_path.exists() else []

    args.results.mkdir(parents=True, exist_ok=True)
    (args.results / "servo.json").write_text(json.dumps(
        {"mode": args.mode, "priority": args.priority, "machine": machine, "cyclictest": floors,
         "cyclictest_during": beside, "cases": cases, "goal": goal, "goal_same_run": same_run,
         "guest": guest}, indent=1) + "\n")

    rows = []
    native = [case for case in cases if case["loop"] == "native"]
    for case in cases:
        error = case["period_error_us"]
        floor = floors.get(f"{case['workload']}-{case['rate_hz']}") if case["workload"] != "none" \
            else floors.get(f"none-{case['rate_hz']}")
        idle = floors.get(f"none-{case['rate_hz']}")
        loop = "**ServoLoop**" if case["loop"] == "native" else "Python loop"
        rows.append(
            f"| {case['workload']} | {case['rate_hz']} Hz | {loop} | {us(error['p50'])} | "
            f"{us(error['p99'])} | {us(error['p99.9'])} | {us(error['max'])} | "
            f"{case['missed']:,} / {case['cycles'] + case['missed']:,} | "
            f"{us(case['cycle_us']['p50'])} / {us(case['cycle_us']['max'])} | {case['overruns']:,} | "
            f"{us(idle['p99.9']) if idle else '–'} / {us(idle['max']) if idle else '–'} | "
            f"{us(floor['p99.9']) + ' / ' + us(floor['max']) if floor and case['workload'] != 'none' else '–'} |")

    scheduled = sorted({(case["loop"], case["scheduled"]) for case in cases})
    seconds = sorted({(case["loop"], case["seconds"]) for case in cases})
    start, end = machine["start"], machine["end"]
    loads = [float(s["load"].split()[0]) for s in machine["during"]]
    lines = [
        "# Servo loop against a Python loop, under hostile Python workloads",
        "",
        "Written by `bench/servo/run.sh` (`bench/servo/publish.py`)"
        + (" — **a short check run, not for publishing**" if args.mode != "full" else "") + ".",
        "",
        "Period error: how late each cycle started against its deadline (µs). Missed: periods",
        "whose cycle could not start before the next period began (skipped, not made up), out of",
        "all periods. Both loops are measured the same way, at the start of each group cycle.",
        "cyclictest: `cyclictest -m -p PRIO -i INTERVAL -q -h 50000` at the loop's interval, the",
        "kernel's own wake-up latency: idle, and beside the same workload run alone in another",
        "process (at 1 kHz); the goal's tables compare ServoLoop with a cyclictest run at the",
        "same time as it.",
        "",
        "| workload | rate | loop | p50 | p99 | p99.9 | max | missed / periods | cycle p50 / max | cycles over a period | cyclictest idle p99.9 / max | cyclictest beside workload p99.9 / max |",
        "|---|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
        *rows,
        "",
        *same_run_section(same_run, args.priority),
        "## Goal: ServoLoop at 1 kHz, p99.9 ≤ 1.5 × cyclictest's p99.9 + 20 µs, no missed period",
        "",
        "| workload | ServoLoop p99.9 µs | bound (idle cyclictest) µs | bound (cyclictest beside workload) µs | missed | met |",
        "|---|---:|---:|---:|---:|---|",
        *[f"| {g['workload']} | {us(g['p99.9_us'])} | {us(g['bound_us'])} | "
          f"{us(g['bound_beside_workload_us'])} | {g['missed']} | {'yes' if g['met'] else '**no**'} |"
          for g in goal],
        "",
        "## Conditions",
        "",
        f"- Durations (s) per case: {', '.join(f'{loop} {s:g}' for loop, s in seconds)}; "
        f"SCHED_FIFO priority {args.priority}: "
        + ", ".join(f"{loop} {'granted' if ok else 'not granted (normal priority)'}"
                    for loop, ok in scheduled) + ".",
        f"- Machine: Linux {machine['kernel']}, {machine['cpus']} CPUs. Load average at the start "
        f"{start['load']} ({start['running']} compiler, linker or emulator processes), at the end "
        f"{end['load']} ({end['running']})"
        + (f"; sampled every 30 s in between, the 1-minute load average was "
           f"{min(loads):.1f} to {max(loads):.1f}, {sum(loads) / len(loads):.1f} on average, with "
           f"up to {max(s['running'] for s in machine['during'])} such processes "
           f"(other work sharing the 2 CPUs)." if loads else "."),
        f"- Wires: 7 emulated dm4310 motors in MIT mode, 1 Mbit/s, motor reaction 50 µs, adapter "
        f"latency {us(native[0]['adapter_latency_us']) if native else '?'} µs; "
        + ", ".join(sorted({f"{c['rate_hz']} Hz on {c['buses']} bus{'es' if c['buses'] > 1 else ''}"
                            for c in cases})) + ".",
        "",
        *guest_section(guest),
        *wakeups_section(args.results / "servo-wakeups.md"),
        *METHOD,
    ]
    (args.results / "servo.md").write_text("\n".join(lines))


def same_run_section(same_run, priority):
    if not same_run:
        return []
    rows = []
    for g in same_run:
        ratio = g["p99.9_us"] / max(1.0, g["cyclictest_p99.9_us"])
        missed_ratio = f"{g['missed'] / g['cyclictest_late_1ms']:.2f}×" \
            if g["cyclictest_late_1ms"] else "–"
        share = lambda count, of: f"{100 * count / max(1, of):.3f} %"
        rows.append(
            f"| {g['workload']} | {g['seconds']:g} s | {us(g['p99.9_us'])} | "
            f"{us(g['cyclictest_p99.9_us'])} | {ratio:.2f}× | "
            f"{g['missed']:,} ({share(g['missed'], g['periods'])}) | "
            f"{g['cyclictest_late_1ms']:,} ({share(g['cyclictest_late_1ms'], g['cyclictest_loops'])}) | "
            f"{missed_ratio} | {g['cyclictest_periods_1ms']:,} | {us(g['cyclictest_max_us'])} | "
            f"{' → '.join(load.split()[0] for load in g['load']) or '?'} | "
            f"{'yes' if g['p99.9_met'] else '**no**'} / {'yes' if g['missed_met'] else '**no**'} |")
    return [
        "## Goal: ServoLoop at 1 kHz against cyclictest in the same run",
        "",
        f"During each native loop's case `cyclictest -m -p {priority} -i 1000 -q -h 50000` ran at "
        "the same time, at the loop's priority and interval, from the loop's start until its "
        "process ended; both faced the same machine. Goal: missed periods (`late_periods`) no "
        "more than cyclictest's wake-ups 1 ms or more late, and a p99.9 period error no more "
        "than cyclictest's p99.9. On a shared machine the absolute figures move with its load; "
        "the ratios are what to compare. ServoLoop's percentiles are the upper edges of its "
        "buckets of about 3 %, cyclictest's are 1 µs buckets. A wake-up of cyclictest that is 3 ms "
        "late is one late wake-up; ServoLoop counts the 3 periods it lost: the column \"periods "
        "those cover\" counts cyclictest's late wake-ups by the loop's rule (lateness ÷ 1 ms).",
        "",
        "| workload | time | ServoLoop p99.9 µs | cyclictest p99.9 µs | p99.9 ServoLoop ÷ cyclictest "
        "| ServoLoop missed (of periods) | cyclictest ≥ 1 ms late (of loops) | missed ÷ late "
        "| periods those cover | cyclictest max µs | load average, start → end "
        "| met: p99.9 / missed |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|",
        *rows,
        "",
    ]


def wakeups_section(path):
    return [*path.read_text().rstrip("\n").splitlines(), ""] if path.exists() else []


def guest_section(guest):
    by = {(case["workload"], case["loop"]): case for case in guest}
    rows = []
    for workload in dict.fromkeys(case["workload"] for case in guest):
        native, python = by.get((workload, "native")), by.get((workload, "python"))
        if not native or not python:
            continue
        ratio = lambda key: python["period_error_ns"][key] / max(1, native["period_error_ns"][key])
        missed = lambda case: case["missed"] / max(1, case["missed"] + case["cycles"])
        rows.append(f"| {workload} | {ratio('p50'):.1f}× | {ratio('p99'):.1f}× | "
                    f"{ratio('p99.9'):.1f}× | {ratio('max'):.1f}× | {100 * missed(native):.1f} % | "
                    f"{100 * missed(python):.1f} % |")
    if not rows:
        return []
    case = guest[0]
    return [
        "## Guest variant: through the Python API, on the virtual bus",
        "",
        f"`axiolink_ext.ServoLoop` against the same Python loop around "
        f"`axiolink_ext.MotorGroup.cycle`, {case['rate_hz']:g} Hz, 7 motors on one vcan "
        f"bus played by `dm-emulator --bitrate 1000000 --reaction-us 50` (at SCHED_FIFO, as "
        f"hardware of its own), {case['seconds']:g} s per case, both loops at normal priority, "
        f"in a User-Mode Linux guest with one CPU (`bench/servo/guest_bench.py`). Its absolute "
        f"times mean nothing: the ratios of the Python loop's period error to ServoLoop's, and the "
        f"share of periods each missed. The GC storm makes 200 000 cycles per collection there "
        f"(the guest's memory mappings allow no more).",
        "",
        "| workload | p50 Python ÷ ServoLoop | p99 | p99.9 | max | missed, ServoLoop | missed, Python loop |",
        "|---|---:|---:|---:|---:|---:|---:|",
        *rows,
        "",
    ]


METHOD = """## Method

- A process (`bench/servo/servo_bench.cpp`) embeds CPython 3.12 and runs a loop for its
  duration over fresh simulated wires. `bench/servo/run.sh` runs, per workload, cyclictest
  beside that workload, then per rate one such process for the native loop, with cyclictest
  running at the same time, and one for the Python loop, so that each comparison is made under
  the same machine conditions.
- **Wires** (`bench/servo/simulated_bus_set.cpp`): a `transport::BusSet` whose frames go onto
  the emulator's timed wire model (`emulator::Wire`: every frame's exact bit time at 1 Mbit/s,
  arbitration by id, motor reaction 50 µs) with `emulator::Emulator` playing 7 dm4310 motors in
  MIT mode; its wait sleeps on the monotonic clock (`clock_nanosleep`, absolute) until the next
  answer reaches the host, so a cycle takes the wire's real time. 7 motors' commands and
  answers take 1.72 ms of wire at 1 Mbit/s, more than a 1 kHz period: at 1 kHz the 7 motors are
  spread over 3 buses (3, 2, 2 motors; about 0.74 ms per cycle), at 500 Hz they share one
  bus (about 1.7 ms per cycle), as a robot would have to wire them.
- **ServoLoop**: `control::ServoLoop` (kp 5, kd 0.5, default motion limits) at SCHED_FIFO
  priority PRIO; the workload runs on the main thread, a second Python thread hands it a new
  sine target every 10 ms (`set_targets`) and reads its states. Figures: its own `stats()`.
- **Python loop** (`servo_cases.python_loop`): the main thread at SCHED_FIFO priority PRIO
  (`os.sched_setscheduler`), `time.sleep` to an absolute `time.monotonic()` deadline, lost
  periods skipped without a burst, 7 `axiolink.MitSetpoint`s built per period and one group
  cycle through `servo_bench.cycle`, which releases the interpreter lock and runs
  `MotorGroup::cycle` as `axiolink_ext.MotorGroup.cycle` does; the workload runs in a second
  Python thread. Its period error is taken where ServoLoop takes its own, as the cycle starts,
  into the same histogram type (`control::LatencyHistogram`, buckets of about 3 %), and a period
  counts as missed by the same rule (a cycle that starts a whole period or more late).
- **Workloads** (`bench/servo/workloads.py`): *none*; *gc*: a million objects in reference
  cycles made, dropped and collected, over and over; *sort*: `sorted()` of 10⁷ floats, one C
  call holding the interpreter lock for seconds; *threads*: pure-Python arithmetic, which hands
  the interpreter lock over only at its switch interval (5 ms).
- **cyclictest** (Debian's rt-tests): `cyclictest -m -p PRIO -i INTERVAL -q -h 50000`, the
  kernel's own wake-up latency of a SCHED_FIFO thread at the loop's interval; idle, beside
  the workload running alone in another interpreter, and at the same time as each native
  loop's case (started when servo_bench starts the loop, stopped with SIGINT when it has
  ended). Percentiles and late wake-ups from its 1 µs histogram.
- What the floor leaves out: cyclictest wakes once per period; a cycle sleeps until each
  answer is due (as a wait on a real bus does), so it wakes several times per period, each
  time with the kernel's latency, and at 1 kHz the 0.74 ms cycle leaves 0.26 ms of the period
  for all of those delays together. A cycle that runs past its period makes the next start
  late. On a virtual machine a CPU that had nothing to do must first be scheduled again by the
  host, which shows as a higher floor with no workload than beside a busy one.
- The process locks its memory as mapped at start (`mlockall(MCL_CURRENT | MCL_ONFAULT)`), as
  cyclictest does with `-m`, for both loops alike.
""".splitlines()


if __name__ == "__main__":
    main()
