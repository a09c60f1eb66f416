#!/usr/bin/env python3
"""Drive seven motors on one bus as one group: one cycle per control step.

    python group_loop.py --iface can0 --motor 0x01:0x11:dm4310 ... (up to the 7 default ones)

Each step sends every motor its MIT command first and then collects all the
answers (axiolink_ext.MotorGroup), so a step costs about what its 14 frames
take on the wire, not 7 reply waits one after the other. The group enables
and disables the motors too, checking each answer (enabled, then not
enabled): a late answer to an earlier command is never taken for a
confirmation. Every motor starts where it stands and swings smoothly away
from there and back: no target ever jumps. A motor that misses a step shows
up as a MotorError in that step's results; the others' states still arrive.
At the end it prints the rate reached, the step times and, per motor, the
states received and missed.
"""

import argparse
import math
import statistics
import time

from axiolink import Damiao, MitLimits, MitSetpoint, SocketCanTransport
from axiolink_ext import MotorError, MotorGroup, set_control_mode


def parse_motor(text):
    """ID:MASTER:PRESET, ids decimal or 0x hex."""
    motor_id, master_id, preset = text.split(":")
    return int(motor_id, 0), int(master_id, 0), getattr(MitLimits, preset)()


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iface", default="can0")
    parser.add_argument("--motor", dest="motors", type=parse_motor, action="append",
                        help="ID:MASTER:PRESET, repeatable (default: 1:0x11 to 7:0x17, all dm4310)")
    # Seven motors behind a USB adapter take about 2.7 ms a step
    # (docs/timing.md): 200 Hz leaves room, and a step with a silent motor
    # (the time-out after the last send) still ends within the 5 ms period.
    parser.add_argument("--rate", type=float, default=200.0, help="steps per second (200)")
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--swing", type=float, default=0.3, help="radians out and back (0.3)")
    parser.add_argument("--timeout-ms", type=int, default=4,
                        help="reply time-out of every command and step, up to 100 (4)")
    args = parser.parse_args()
    motors = args.motors or [parse_motor(f"{i}:{0x10 + i:#x}:dm4310") for i in range(1, 8)]
    args.motors = [Damiao(motor_id, master_id, limits, timeout_ms=args.timeout_ms)
                   for motor_id, master_id, limits in motors]
    return args


def until_confirmed(command):
    """A group command (enable, disable) sent again while a motor has not
    confirmed it, three times at most: on a busy machine an answer can come
    too late for one round, and the command again does no harm."""
    for _ in range(3):
        results = command()
        if not any(isinstance(result, MotorError) for result in results):
            break
    return results


def main():
    args = parse_args()
    bus = SocketCanTransport(args.iface)
    group = MotorGroup(args.motors, bus, timeout_ms=args.timeout_ms)
    for motor in args.motors:
        set_control_mode(motor, bus, "mit")
    received = {motor.motor_id: 0 for motor in args.motors}
    missed = {motor.motor_id: 0 for motor in args.motors}
    step_us, overruns = [], 0
    try:
        # Where each motor stands now is where its motion starts. Enabling
        # happens inside the try: a motor whose answer never came may still
        # have taken the command, and the finally disables it too.
        states = until_confirmed(group.enable)
        for state in states:
            if isinstance(state, MotorError):
                raise state
        home = [state.position for state in states]
        period = 1.0 / args.rate
        start = next_step = time.perf_counter()
        for step in range(round(args.seconds * args.rate)):
            now = time.perf_counter()
            # Out and back once every two seconds, from rest and back to rest:
            # (1 - cos) starts at zero with zero speed. The motion runs on the
            # step count, not the clock, so a stalled step never makes the
            # next target jump.
            offset = args.swing * 0.5 * (1 - math.cos(math.pi * step * period))
            setpoints = [MitSetpoint(q=q + offset, kp=20.0, kd=1.0) for q in home]
            for motor, result in zip(args.motors, group.cycle(setpoints)):
                if isinstance(result, MotorError):
                    missed[motor.motor_id] += 1
                else:
                    received[motor.motor_id] += 1
            step_us.append((time.perf_counter() - now) * 1e6)
            next_step += period
            delay = next_step - time.perf_counter()
            if delay > 0:
                time.sleep(delay)
            else:
                overruns += 1
                next_step = time.perf_counter()  # late: start the next step now, skip none
    finally:
        # Every motor, each answer checked; one that does not confirm does not
        # keep the others enabled.
        for result in until_confirmed(group.disable):
            if isinstance(result, MotorError):
                print(f"motor {result.motor_id:#04x}: disable not confirmed: {result.text}")

    steps = len(step_us)
    elapsed = time.perf_counter() - start
    print(f"{len(args.motors)} motors, {steps} steps in {elapsed:.2f} s: {steps / elapsed:.1f} Hz "
          f"(asked {args.rate:g}), {overruns} steps overran")
    if steps:
        ordered = sorted(step_us)
        print(f"step: median {statistics.median(step_us):.0f} us, "
              f"p99 {ordered[min(steps - 1, int(0.99 * steps))]:.0f} us, max {ordered[-1]:.0f} us")
    for motor in args.motors:
        print(f"motor {motor.motor_id:#04x}: {received[motor.motor_id]} states, "
              f"{missed[motor.motor_id]} missed")
    return 1 if any(missed.values()) else 0


if __name__ == "__main__":
    raise SystemExit(main())
