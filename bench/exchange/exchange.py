"""The exchange benchmark, run where vcan0 exists (inside tools/vbus/vbus-run).

    exchange.py --build BUILD_DIR --out OUT_DIR --python PYTHON [options]

1. Picks the responder: the floor requester against the motor emulator and
   against the minimal C++ responder, alternately; the faster one serves the
   rest of the run, so that the responder adds as little as it can.
2. Runs every requester for --rounds rounds of --count exchanges each,
   interleaved (A B C D ... A B C D ...) so that drifts of the machine touch
   every row alike. Each requester reads the clock once every --block
   exchanges only; the per-exchange time of a round is its total / count.
3. Counts the system calls per exchange of every requester with strace -c:
   two run lengths, the difference divided by the difference of counts.
4. Counts the heap allocations per command of the Python requesters.

Writes exchange.csv (one line per block: requester, round, microseconds per
exchange), exchange.json (everything) and exchange.md (the tables) to OUT_DIR,
and prints the tables. Needs the system's python3 (3.11+) only.

With --null-bus it runs on any host instead, no bus needed: every requester
gets the preloaded null bus (null_bus.c), whose socket calls return at once
without entering the kernel, so each row shows what a command costs beyond
its system calls. Writes null_bus.json and null_bus.md.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

HERE = Path(__file__).resolve().parent
SYSTEM_PYTHON = "/usr/bin/python3"


@dataclass
class Requester:
    key: str
    label: str
    argv: list
    env: dict = field(default_factory=dict)
    python: str = ""  # interpreter of a Python requester, for allocation counts
    rounds: list = field(default_factory=list)  # microseconds per exchange, per round
    blocks: list = field(default_factory=list)  # (round, block, microseconds per exchange)

    def start(self):
        env = dict(os.environ, **self.env)
        return subprocess.Popen(self.argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                text=True, env=env, cwd=HERE)


def python_version(python):
    return subprocess.run([python, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"],
                          check=True, capture_output=True, text=True).stdout.strip()


def python_can_version():
    return subprocess.run([SYSTEM_PYTHON, "-c", "import can; print(can.__version__)"],
                          check=True, capture_output=True, text=True).stdout.strip()


def requesters(build, python):
    bench = build / "bench"
    module_dir = build / ("py" + python_version(python).replace(".", ""))
    axiolink_env = {"PYTHONPATH": str(module_dir), "PYTHONDONTWRITEBYTECODE": "1"}
    plain_env = {"PYTHONDONTWRITEBYTECODE": "1"}
    version = python_version(python)
    script = str(HERE / "requesters.py")
    return [
        Requester("floor", "floor (C++: send, setsockopt, recv)", [str(bench / "exchange_floor")]),
        Requester("floor+clock", "floor + one clock read (C++)",
                  [str(bench / "exchange_floor"), "--clock-read"]),
        Requester("cpp-mit", "axiolink C++ `Damiao::mit_control`",
                  [str(bench / "exchange_driver"), "mit"]),
        Requester("axiolink-mit", f"axiolink `Damiao.mit_control` (Python {version})",
                  [python, script, "axiolink-mit"], axiolink_env, python),
        Requester("axiolink-enable", f"axiolink `Damiao.enable` (Python {version})",
                  [python, script, "axiolink-enable"], axiolink_env, python),
        Requester("socket", f"by hand: `socket` + `struct` (Python {version})",
                  [python, script, "socket"], plain_env, python),
        Requester("python-can",
                  f"python-can {python_can_version()} `send`/`recv` "
                  f"(Python {python_version(SYSTEM_PYTHON)})",
                  [SYSTEM_PYTHON, script, "python-can"], plain_env, SYSTEM_PYTHON),
    ]


# ------------------------------------------------------------- responders
class Responder:
    def __init__(self, kind, build):
        self.kind = kind
        self.build = build
        self.process = None

    def __enter__(self):
        if self.kind == "emulator":
            ready = Path(tempfile.mkdtemp()) / "ready"
            self.process = subprocess.Popen(
                [str(self.build / "tools/emulator/dm-emulator"), "--iface", "vcan0",
                 "--motor", "1:0x11", "--ready-file", str(ready)])
            deadline = time.monotonic() + 10
            while not ready.exists():
                if self.process.poll() is not None or time.monotonic() > deadline:
                    raise SystemExit("the emulator did not come up")
                time.sleep(0.01)
        else:
            self.process = subprocess.Popen([str(self.build / "bench/exchange_responder")],
                                            stdout=subprocess.PIPE, text=True)
            if self.process.stdout.readline().strip() != "ready":
                raise SystemExit("the minimal responder did not come up")
        return self

    def __exit__(self, *_):
        self.process.terminate()
        self.process.wait()


# ------------------------------------------------------------------ rounds
def run_round(process, count, block):
    """Microseconds per exchange of each block of one round."""
    process.stdin.write(f"{count} {block}\n")
    process.stdin.flush()
    answer = process.stdout.readline().split()
    if not answer or answer[0] != "ok":
        raise SystemExit(f"requester failed: {' '.join(answer) or 'no answer'}")
    return [int(nanos) / block / 1000 for nanos in answer[1:]]


def choose_responder(args, floor):
    """Floor against each responder, alternately; the faster is used."""
    figures = {"emulator": [], "minimal": []}
    for _ in range(args.responder_rounds):
        for kind in figures:
            with Responder(kind, args.build):
                process = floor.start()
                run_round(process, args.warmup, args.warmup)
                blocks = run_round(process, args.count, args.block)
                process.stdin.close()
                process.wait()
            figures[kind].append(statistics.fmean(blocks))
    medians = {kind: statistics.median(values) for kind, values in figures.items()}
    chosen = min(medians, key=medians.get)
    return chosen, {kind: {"median_us": round(medians[kind], 2),
                           "rounds_us": [round(v, 2) for v in values]}
                    for kind, values in figures.items()}


def run_rounds(args, rows):
    processes = []
    try:
        # One at a time, each warmed up before the next starts: an interpreter
        # starting up beside a running round would hold up its replies.
        for row in rows:
            processes.append(row.start())
            run_round(processes[-1], args.warmup, args.warmup)
        for round_index in range(args.rounds):
            for row, process in zip(rows, processes):
                blocks = run_round(process, args.count, args.block)
                row.rounds.append(statistics.fmean(blocks))
                row.blocks.extend((round_index, index, us) for index, us in enumerate(blocks))
            print(f"  round {round_index + 1}/{args.rounds}: " +
                  " ".join(f"{row.key} {row.rounds[-1]:.4g}" for row in rows), flush=True)
    finally:
        for process in processes:
            process.stdin.close()
            process.wait()


# ---------------------------------------------------------------- syscalls
def strace_counts(row, count):
    with tempfile.NamedTemporaryFile("r", suffix=".strace") as report:
        env = dict(os.environ, **row.env)
        done = subprocess.run(["strace", "-f", "-c", "-o", report.name, "--", *row.argv],
                              input=f"{count} {count}\n", capture_output=True, text=True,
                              env=env, cwd=HERE)
        if done.returncode != 0 or not done.stdout.startswith("ok"):
            raise SystemExit(f"{row.key} under strace failed: {done.stdout}{done.stderr}")
        calls = {}
        for line in report.read().splitlines():
            fields = line.split()
            if len(fields) >= 5 and fields[3].isdigit() and fields[-1] != "total":
                calls[fields[-1]] = int(fields[3])
        return calls


def syscalls_per_exchange(row, short, long):
    few, many = strace_counts(row, short), strace_counts(row, long)
    per_exchange = {}
    for name in sorted(set(few) | set(many)):
        difference = (many.get(name, 0) - few.get(name, 0)) / (long - short)
        if abs(difference) >= 0.005:
            per_exchange[name] = round(difference, 3)
    return per_exchange


# ------------------------------------------------------------- allocations
def python_allocations(args, rows):
    results = []
    counter = args.build / "bench/libaxiolink_malloc_counter.so"
    for row in rows:
        if not row.python:
            continue
        kind = row.argv[-1]
        modes = ["blocks", "calls"] if kind.startswith("axiolink") else ["calls"]
        for mode in modes:
            env = dict(os.environ, **row.env)
            if mode == "calls":
                env.update(PYTHONMALLOC="malloc", LD_PRELOAD=str(counter))
            done = subprocess.run([row.python, str(HERE / "python_allocations.py"), mode, kind],
                                  capture_output=True, text=True, env=env, cwd=HERE)
            if done.returncode != 0:
                raise SystemExit(f"allocation count of {kind} failed: {done.stderr}")
            results.append(json.loads(done.stdout))
    return results


# ----------------------------------------------------------------- results
def summarise(rows):
    floor = statistics.median(rows[0].rounds)
    by_key = {row.key: statistics.median(row.rounds) for row in rows}
    table = []
    for row in rows:
        median = statistics.median(row.rounds)
        table.append({"key": row.key, "label": row.label, "median_us": round(median, 2),
                      "min_us": round(min(row.rounds), 2), "max_us": round(max(row.rounds), 2),
                      "ratio_to_floor": round(median / floor, 3)})
    targets = {
        "mit_control_over_floor": round(by_key["axiolink-mit"] / floor, 3),
        "mit_control_over_floor_with_clock_read": round(
            by_key["axiolink-mit"] / by_key["floor+clock"], 3),
        "python_can_over_mit_control": round(by_key["python-can"] / by_key["axiolink-mit"], 3),
    }
    return table, targets


def markdown(result):
    lines = [f"Exchanges of an 8-byte command and its 8-byte reply on vcan0, "
             f"{result['rounds']} interleaved rounds of {result['count']} exchanges per "
             f"requester, responder: {result['responder']}.", "",
             "| requester | median µs/exchange | min–max µs | × floor |",
             "|---|---:|---:|---:|"]
    for row in result["table"]:
        lines.append(f"| {row['label']} | {row['median_us']:.1f} | "
                     f"{row['min_us']:.1f}–{row['max_us']:.1f} | {row['ratio_to_floor']:.2f} |")
    targets = result["targets"]
    lines += ["", f"- `mit_control` / floor: {targets['mit_control_over_floor']:.3f} "
              f"(/ floor + one clock read: {targets['mit_control_over_floor_with_clock_read']:.3f})",
              f"- python-can / `mit_control`: {targets['python_can_over_mit_control']:.2f}"]
    responders = result["responders"]
    lines += [f"- responder check (floor, median µs/exchange): emulator "
              f"{responders['emulator']['median_us']:.1f}, minimal C++ responder "
              f"{responders['minimal']['median_us']:.1f}"]
    if result.get("syscalls"):
        lines += ["", "System calls per exchange (strace -c -f, difference of "
                  f"{result['strace_lengths'][1]} and {result['strace_lengths'][0]} exchanges):",
                  "", "| requester | per exchange | total |", "|---|---|---:|"]
        for row in result["table"]:
            calls = result["syscalls"][row["key"]]
            text = ", ".join(f"{name} {count:g}" for name, count in calls.items())
            lines.append(f"| {row['label']} | {text} | {sum(calls.values()):g} |")
    if result.get("allocations"):
        lines += ["", "Heap allocations per command of the Python requesters "
                  "(PYTHONMALLOC=malloc, every allocation call counted):", "",
                  "| requester | allocation calls per command |", "|---|---:|"]
        for entry in result["allocations"]:
            if "allocation_calls_per_command" in entry:
                lines.append(f"| {entry['kind']} (Python {entry['python']}) | "
                             f"{entry['allocation_calls_per_command']:g} |")
        lines.append("")
        for entry in result["allocations"]:
            if "kept_blocks_per_command" in entry:
                traced = entry["tracemalloc_kept"]
                lines.append(f"- {entry['kind']}: interpreter blocks left per command "
                             f"{entry['kept_blocks_per_command']:g} with the result kept "
                             f"(tracemalloc: {traced['blocks_per_command']:g} block of "
                             f"{traced['bytes_per_command']:g} bytes, the result), "
                             f"{entry['dropped_blocks_per_command']:g} with it dropped")
    return "\n".join(lines) + "\n"


def write_csv(path, rows):
    with open(path, "w") as out:
        out.write("requester,round,block,us_per_exchange\n")
        for row in rows:
            for round_index, block, us in row.blocks:
                out.write(f"{row.key},{round_index},{block},{us:.3f}\n")


def null_bus_markdown(rows, args):
    lines = [f"Time per command with every socket call answered at once by a preloaded "
             f"stand-in (no system call per command), {args.rounds} interleaved rounds of "
             f"{args.count} commands per requester:", "",
             "| requester | median ns/command | min–max ns |", "|---|---:|---:|"]
    for row in rows:
        nanos = [us * 1000 for us in row.rounds]
        lines.append(f"| {row.label} | {statistics.median(nanos):.0f} | "
                     f"{min(nanos):.0f}–{max(nanos):.0f} |")
    return "\n".join(lines) + "\n"


def run_null_bus(args, rows):
    shim = str(args.build / "bench/libaxiolink_null_bus.so")
    rows = [row for row in rows if row.key != "floor+clock"]
    for row in rows:
        row.env["LD_PRELOAD"] = shim
    print("null bus rounds", flush=True)
    run_rounds(args, rows)
    result = {"rounds": args.rounds, "count": args.count, "block": args.block,
              "ns_per_command": {row.key: round(statistics.median(row.rounds) * 1000, 1)
                                 for row in rows},
              "labels": {row.key: row.label for row in rows}}
    (args.out / "null_bus.json").write_text(json.dumps(result, indent=1) + "\n")
    text = null_bus_markdown(rows, args)
    (args.out / "null_bus.md").write_text(text)
    print()
    print(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", type=Path, required=True)
    parser.add_argument("--out", type=Path, required=True)
    parser.add_argument("--python", required=True, help="interpreter the module was built for")
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--count", type=int, default=2000)
    parser.add_argument("--block", type=int, default=50)
    parser.add_argument("--warmup", type=int, default=200)
    parser.add_argument("--responder-rounds", type=int, default=5)
    parser.add_argument("--strace-lengths", type=int, nargs=2, default=(200, 1200))
    parser.add_argument("--skip-strace", action="store_true")
    parser.add_argument("--skip-allocations", action="store_true")
    parser.add_argument("--null-bus", action="store_true",
                        help="measure on this host with the null bus instead")
    args = parser.parse_args()
    if args.count % args.block:
        parser.error("--count must be a multiple of --block")
    args.out.mkdir(parents=True, exist_ok=True)

    rows = requesters(args.build, args.python)
    if args.null_bus:
        return run_null_bus(args, rows)
    print("choosing the responder", flush=True)
    responder, responders = choose_responder(args, rows[0])
    print(f"  {json.dumps(responders)} -> {responder}", flush=True)

    result = {"rounds": args.rounds, "count": args.count, "block": args.block,
              "responder": {"emulator": "dm-emulator",
                            "minimal": "minimal C++ responder"}[responder],
              "responders": responders, "strace_lengths": list(args.strace_lengths)}
    with Responder(responder, args.build):
        print("exchange rounds", flush=True)
        run_rounds(args, rows)
        result["table"], result["targets"] = summarise(rows)
        if not args.skip_strace:
            print("system calls", flush=True)
            result["syscalls"] = {row.key: syscalls_per_exchange(row, *args.strace_lengths)
                                  for row in rows}
        if not args.skip_allocations:
            print("allocations", flush=True)
            result["allocations"] = python_allocations(args, rows)
    clock = subprocess.run([SYSTEM_PYTHON, str(HERE / "clock_syscalls.py")], check=True,
                           capture_output=True, text=True)
    result["clock_guest"] = json.loads(clock.stdout)
    result["rows"] = {row.key: [round(us, 3) for us in row.rounds] for row in rows}
    result["labels"] = {row.key: row.label for row in rows}

    write_csv(args.out / "exchange.csv", rows)
    (args.out / "exchange.json").write_text(json.dumps(result, indent=1) + "\n")
    text = markdown(result)
    (args.out / "exchange.md").write_text(text)
    print()
    print(text)


if __name__ == "__main__":
    sys.exit(main())
