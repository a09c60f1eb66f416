"""The servo benchmark's guest variant, run inside tools/vbus/vbus-run: 7
motors played by dm-emulator on vcan0 with its timed wire (1 Mbit/s, motor
reaction 50 us), and for each workload the native loop and the Python loop
through the Python API (guest_cases.py, one fresh interpreter per case).
The guest's absolute times mean nothing (every system call costs it about
14 us, and the program, the workload and the emulator share one CPU): only
the ratios between the two loops, side by side, carry over.

usage: guest_bench.py --build DIR --python PYTHON --out FILE [--seconds S] [--rate HZ]
                      [--priority P]"""

import argparse
import os
import pathlib
import subprocess
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
MOTORS = 7
WORKLOADS = ("none", "gc", "sort", "threads")
# As many as the guest's memory mappings allow (see workloads.py).
GUEST_GC_CYCLES = 200_000
EMULATOR_PRIORITY = 90


def start_emulator(build):
    """The motors are hardware of their own on a real bus: no workload of the
    program's may hold them up, so they run at a real-time priority."""
    ready = tempfile.mktemp(prefix="servo-bench-ready-", dir="/var/tmp")
    motors = [arg for i in range(1, MOTORS + 1) for arg in ("--motor", f"{i}:{0x10 + i:#x}")]
    process = subprocess.Popen(
        ["chrt", "-f", str(EMULATOR_PRIORITY), build / "tools/emulator/dm-emulator", "--iface", "vcan0", *motors, "--ready-file", ready,
         "--bitrate", "1000000", "--reaction-us", "50"])
    deadline = time.monotonic() + 60
    while not os.path.exists(ready):
        if process.poll() is not None or time.monotonic() > deadline:
            raise RuntimeError("dm-emulator did not start")
        time.sleep(0.01)
    return process


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", type=pathlib.Path, required=True)
    parser.add_argument("--python", required=True)
    parser.add_argument("--out", type=pathlib.Path, required=True)
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--rate", type=float, default=250)
    parser.add_argument("--priority", type=int, default=80)
    args = parser.parse_args()
    tag = subprocess.run([args.python, "-c", "import sys; print('py%d%d' % sys.version_info[:2])"],
                         capture_output=True, text=True, check=True).stdout.strip()
    env = {**os.environ, "PYTHONPATH": f"{args.build / tag}:{HERE}", "PYTHONDONTWRITEBYTECODE": "1",
           "SERVO_GC_CYCLES": str(GUEST_GC_CYCLES)}
    emulator = start_emulator(args.build)
    try:
        with args.out.open("w") as out:
            for workload in WORKLOADS:
                for loop in ("native", "python"):
                    print(f"guest: {loop} loop, {workload}, {args.rate:g} Hz, {args.seconds:g} s",
                          flush=True)
                    line = subprocess.run(
                        [args.python, str(HERE / "guest_cases.py"), loop, workload, str(args.rate),
                         str(args.seconds), str(args.priority)],
                        env=env, capture_output=True, text=True, check=True,
                        timeout=args.seconds + 600).stdout.strip().splitlines()[-1]
                    print(line, flush=True)
                    out.write(line + "\n")
    finally:
        emulator.terminate()
        emulator.wait(10)


if __name__ == "__main__":
    main()
