"""Writes the servo benchmark's table (servo.md) and figures (servo.json)
from run.sh's raw outputs: cases.jsonl (servo_bench), cyclictest-*.txt and
machine-*.json.

usage: publish.py OUT_DIR RESULTS_DIR --mode full|short --priority P"""

import argparse
import json
import os
import pathlib
import platform

GOAL_RATE = 1000
GOAL_FACTOR, GOAL_MARGIN_US = 1.5, 20.0
QUANTILES = (("p50", 0.5), ("p99", 0.99), ("p99.9", 0.999))


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
    figures = {"samples": total, "max": float(maximum)}
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
              for path in sorted(args.out.glob("cyclictest-*.txt"))}
    machine = {
        "kernel": platform.release(),
        "cpus": os.cpu_count(),
        "start": json.loads((args.out / "machine-start.json").read_text()),
        "end": json.loads((args.out / "machine-end.json").read_text()),
    }

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

    args.results.mkdir(parents=True, exist_ok=True)
    (args.results / "servo.json").write_text(json.dumps(
        {"mode": args.mode, "priority": args.priority, "machine": machine, "cyclictest": floors,
         "cases": cases, "goal": goal}, indent=1) + "\n")

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
        "process (at 1 kHz).",
        "",
        "| workload | rate | loop | p50 | p99 | p99.9 | max | missed / periods | cycle p50 / max | cycles over a period | cyclictest idle p99.9 / max | cyclictest beside workload p99.9 / max |",
        "|---|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
        *rows,
        "",
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
        f"{end['load']} ({end['running']}).",
        f"- Wires: 7 emulated dm4310 motors in MIT mode, 1 Mbit/s, motor reaction 50 µs, adapter "
        f"latency {us(native[0]['adapter_latency_us']) if native else '?'} µs; "
        + ", ".join(sorted({f"{c['rate_hz']} Hz on {c['buses']} bus{'es' if c['buses'] > 1 else ''}"
                            for c in cases})) + ".",
        "",
    ]
    (args.results / "servo.md").write_text("\n".join(lines))


if __name__ == "__main__":
    main()
