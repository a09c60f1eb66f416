"""Group cycles against plain commands on the emulator's timed wire, run
inside tools/vbus/vbus-run: for N motors on one bus, the time of one control
step (every motor commanded once, every answer back) as a loop of plain
mit_control calls, as a group cycle from Python and from C++, and the wire's
own time for the step's 2N frames; then two buses of 7 motors from one
process, from one thread and from two. Every row of one table comes from the
same run, side by side, since only ratios carry over to other machines. With
no adapter latency, the group cycle is also timed on an instant bus (no
--bitrate): the cost of the guest's machinery alone.

usage: group_bench.py --build DIR --python PYTHON --out DIR [--cycles N]"""

import argparse
import json
import os
import pathlib
import subprocess
import tempfile
import time

BITRATE = 1_000_000
REACTION_US = 50
LATENCIES_US = (0, 250)
COUNTS = (1, 2, 4, 7, 12)
TWO_BUS_MOTORS = 7
HERE = pathlib.Path(__file__).resolve().parent


class Emulators:
    """One dm-emulator per interface, each playing motors 1..count."""

    def __init__(self, build, count, latency_us, ifaces, timed=True):
        self.processes = []
        for iface in ifaces:
            ready = tempfile.mktemp(prefix="group-bench-ready-", dir="/var/tmp")
            motors = [arg for i in range(1, count + 1) for arg in ("--motor", f"{i}:{0x10 + i:#x}")]
            process = subprocess.Popen(
                [build / "tools/emulator/dm-emulator", "--iface", iface, *motors, "--ready-file", ready,
                 *(["--bitrate", str(BITRATE), "--reaction-us", str(REACTION_US),
                    "--adapter-latency-us", str(latency_us)] if timed else [])])
            deadline = time.monotonic() + 20
            while not os.path.exists(ready):
                if process.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError(f"dm-emulator on {iface} did not start")
                time.sleep(0.01)
            self.processes.append(process)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        for process in self.processes:
            process.terminate()
            process.wait(10)


def run_json(argv, env=None):
    out = subprocess.run(argv, capture_output=True, text=True, check=True, timeout=600, env=env)
    return json.loads(out.stdout)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", type=pathlib.Path, required=True)
    parser.add_argument("--python", required=True)
    parser.add_argument("--out", type=pathlib.Path, required=True)
    parser.add_argument("--cycles", type=int, default=300)
    args = parser.parse_args()
    tag = subprocess.run([args.python, "-c", "import sys; print('py%d%d' % sys.version_info[:2])"],
                         capture_output=True, text=True, check=True).stdout.strip()
    env = {**os.environ, "PYTHONPATH": str(args.build / tag), "WIRE_BITRATE": str(BITRATE)}
    python = [args.python, str(HERE / "python_requester.py")]
    cpp = [str(args.build / "bench/group_cycle")]
    cycles = str(args.cycles)
    rows = []
    for latency in LATENCIES_US:
        for count in COUNTS:
            with Emulators(args.build, count, latency, ["vcan0"]):
                cpp_group = run_json([*cpp, "group", str(count), cycles, "vcan0"], env)
                row = {
                    "latency_us": latency, "motors": count, "buses": 1,
                    "wire_us": cpp_group["wire_us"],
                    "plain_python": run_json([*python, "plain", str(count), cycles, "vcan0"], env),
                    "group_python": run_json([*python, "group", str(count), cycles, "vcan0"], env),
                    "group_cpp": cpp_group,
                }
            if latency == 0:
                # The same cycle where every frame is instant: what the guest's
                # machinery (system calls, wake-ups, the emulator itself) costs.
                with Emulators(args.build, count, latency, ["vcan0"], timed=False):
                    row["instant_cpp"] = run_json([*cpp, "group", str(count), cycles, "vcan0"], env)
            rows.append(row)
            print(json.dumps(row), flush=True)
        with Emulators(args.build, TWO_BUS_MOTORS, latency, ["vcan0", "vcan1"]):
            two = [str(TWO_BUS_MOTORS), cycles, "vcan0", "vcan1"]
            cpp_two = run_json([*cpp, "group", *two], env)
            row = {
                "latency_us": latency, "motors": TWO_BUS_MOTORS, "buses": 2,
                "wire_us": cpp_two["wire_us"],
                "group_python": run_json([*python, "group", *two], env),
                "threads_python": run_json([*python, "threads", *two], env),
                "group_cpp": cpp_two,
            }
        rows.append(row)
        print(json.dumps(row), flush=True)
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "group.json").write_text(json.dumps(rows, indent=1))


if __name__ == "__main__":
    main()
