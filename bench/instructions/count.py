"""Instructions per command, and per servo loop period, counted by callgrind
on the null bus (every socket call answered in the process, nothing in the
kernel): the same figure on a loaded machine as on an idle one, unlike any
time.

Each figure is the difference between two runs of different lengths,
divided by the difference in commands, so start-up and import cancel out.

usage: count.py --build DIR --python PYTHON [--write FILE] [--check FILE]
  --write FILE  store the figures (bench/results/instructions.json)
  --check FILE  fail when a figure is more than 10 % above the stored one"""

import argparse
import json
import os
import pathlib
import re
import subprocess
import sys

SHORT, LONG = 200, 1200
GROUP = 7
TOLERANCE = 1.10
PYTHON_LOOP = """
import sys
from axiolink import Damiao, MitSetpoint, SocketCanTransport
from axiolink_ext import MotorGroup
kind, count = sys.argv[1], int(sys.argv[2])
bus = SocketCanTransport("vcan0")
setpoint = MitSetpoint(1.0, -2.0, 20.0, 0.5, 0.25)
if kind == "mit":
    motor = Damiao(1, 0x11)
    for _ in range(count):
        motor.mit_control(bus, setpoint)
else:
    group = MotorGroup([Damiao(i, 0x10 + i) for i in range(1, %d + 1)], bus)
    setpoints = [setpoint] * len(group)
    for _ in range(count):
        group.cycle(setpoints)
""" % GROUP


def instructions(argv, env):
    out = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", *argv],
                         capture_output=True, text=True, env=env, timeout=900)
    found = re.search(r"Collected : (\d+)", out.stderr)
    if out.returncode != 0 or not found:
        sys.exit(f"{argv}: failed:\n{out.stderr[-2000:]}")
    return int(found[1])


def per_command(make_argv, env, commands_per_run=1):
    short, long = (instructions(make_argv(n), env) for n in (SHORT, LONG))
    return round((long - short) / (LONG - SHORT) / commands_per_run)


def measure(build, python):
    tag = subprocess.run([python, "-c", "import sys; print('py%d%d' % sys.version_info[:2])"],
                         capture_output=True, text=True, check=True).stdout.strip()
    env = {**os.environ, "LD_PRELOAD": str(build / "bench/instructions/libinstruction_null_bus.so"),
           "PYTHONPATH": str(build / tag), "PYTHONHASHSEED": "0", "PYTHONDONTWRITEBYTECODE": "1"}
    program = str(build / "bench/instructions/command_count")
    return {
        "mit_control, C++": per_command(lambda n: [program, "mit", str(n)], env),
        "mit_control, Python": per_command(lambda n: [python, "-c", PYTHON_LOOP, "mit", str(n)], env),
        f"group cycle per motor ({GROUP} motors), C++":
            per_command(lambda n: [program, "group", str(GROUP), str(n)], env, GROUP),
        f"group cycle per motor ({GROUP} motors), Python":
            per_command(lambda n: [python, "-c", PYTHON_LOOP, "group", str(n)], env, GROUP),
        # What one period of the servo loop's thread does, on the calling
        # thread: the loop itself runs its periods on a thread of its own.
        f"servo loop period ({GROUP} motors), C++":
            per_command(lambda n: [program, "servo", str(GROUP), str(n)], env),
    }


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", type=pathlib.Path, required=True)
    parser.add_argument("--python", required=True)
    parser.add_argument("--write", type=pathlib.Path)
    parser.add_argument("--check", type=pathlib.Path)
    args = parser.parse_args()
    figures = measure(args.build, args.python)
    for name, count in figures.items():
        print(f"{name}: {count} instructions")
    if args.write:
        args.write.write_text(json.dumps(figures, indent=1) + "\n")
    if args.check:
        stored = json.loads(args.check.read_text())
        grown = [f"{name}: {figures[name]} instructions, stored {limit}"
                 for name, limit in stored.items() if figures.get(name, 0) > limit * TOLERANCE]
        if grown or stored.keys() != figures.keys():
            sys.exit("more than 10 % above the stored figures (or other rows):\n" + "\n".join(grown))


if __name__ == "__main__":
    main()
