#!/usr/bin/env python3
"""Drive one motor through a smooth MIT position trajectory and show it following.

Runs unchanged against the emulator on a virtual bus or against a real motor:

    python demo.py --iface can0 --motor-id 0x01 --master-id 0x11 --preset dm4310

The motor is switched into MIT mode and enabled; from the position its enable
answer reports it is ramped at --ramp-speed (1 rad/s) to the trajectory's
start, never commanded there in one step; then it is driven at the chosen rate
for a few seconds (one line per tenth of a second) and disabled, and a plot of
commanded and measured position, tracking error and torque is saved at the end.
When the loop falls short of the asked rate, the summary says so and why.

Ctrl-C or SIGTERM ends the run early: the motor is disabled and what was
recorded so far is saved and plotted all the same.
"""

import argparse
import csv
import math
import os
import shutil
import signal
import subprocess
import sys
import time

import axiolink
from axiolink import Damiao, MitLimits, MitSetpoint, SocketCanTransport
from motion import RAMP_SPEED, Ticker, ramp_targets

PRESETS = [name for name in dir(MitLimits) if name.startswith("dm")]
ENABLED = 1  # MotorState.error of an enabled motor


class Stopped(Exception):
    """Ctrl-C or SIGTERM: end the run, keep what was recorded."""

    def __init__(self, signum):
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


def stop_on_signal(signum, frame):
    raise Stopped(signum)


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iface", default="vcan0", help="CAN interface (default vcan0)")
    parser.add_argument("--motor-id", type=lambda s: int(s, 0), default=0x01)
    parser.add_argument("--master-id", type=lambda s: int(s, 0), default=0x11)
    parser.add_argument("--preset", choices=PRESETS, default="dm4310", help="motor model limits")
    parser.add_argument("--rate", type=float, default=500.0, help="commands per second (500)")
    parser.add_argument("--seconds", type=float, default=4.0,
                        help="length of the trajectory (4; longer when the rate is not kept)")
    parser.add_argument("--amplitude", type=float, default=1.5, help="position swing (rad, 1.5)")
    parser.add_argument("--kp", type=float, default=30.0)
    parser.add_argument("--kd", type=float, default=1.0)
    parser.add_argument("--ramp-speed", type=float, default=RAMP_SPEED,
                        help=f"speed of the move to the start (rad/s, {RAMP_SPEED:g})")
    parser.add_argument("--timeout-ms", type=int, default=20,
                        help="wait for each answer (ms, 20)")
    parser.add_argument("--plot", default="demo-trajectory.png", help="where the plot goes")
    return parser.parse_args()


def trajectory(t, amplitude, period=2.0):
    """A smooth swing: position and velocity of a raised-cosine move back and forth."""
    phase = 2 * math.pi * t / period
    return amplitude * (1 - math.cos(phase)) / 2, amplitude * math.pi / period * math.sin(phase)


def run(args):
    bus = SocketCanTransport(args.iface)
    motor = Damiao(args.motor_id, args.master_id, getattr(MitLimits, args.preset)(),
                   timeout_ms=args.timeout_ms)
    print(f"axiolink {axiolink.__version__}: {motor!r} on {args.iface}, limits {args.preset}")

    started = time.perf_counter()
    motor.ensure_mit_mode(bus)
    took_ms = (time.perf_counter() - started) * 1000
    # A switch is read, write, a 100 ms settling pause and a read-back.
    how = "switched to it" if took_ms >= 100 else "it was already"
    print(f"control mode: MIT ({how}; ensure_mit_mode took {took_ms:.0f} ms)")
    rows, missed, stopped = [], 0, None
    ticker = None
    try:
        # Enabled inside the try: from here on, every way out disables.
        enabled = motor.enable(bus)
        print(f"enabled: {enabled!r}")
        first, _ = trajectory(0.0, args.amplitude)
        ramp = list(ramp_targets(enabled.position, first, args.ramp_speed, args.rate))
        print(f"ramp: {enabled.position:+.3f} -> {first:+.3f} rad at {args.ramp_speed:g} rad/s "
              f"({len(ramp) / args.rate:.2f} s)")
        # The ramp's samples come first, at negative times.
        ramp_ticker = Ticker(args.rate)
        for tick, (q, dq) in enumerate(ramp, start=-len(ramp)):
            state = motor.mit_control(bus, MitSetpoint(q=q, dq=dq, kp=args.kp, kd=args.kd))
            rows.append((tick / args.rate, q, state.position, state.velocity, state.torque))
            ramp_ticker.wait()
        ticker = Ticker(args.rate)
        next_report = 0.0
        # The trajectory's clock is the tick count, not the wall clock: after
        # a late tick it goes on from where it was, never jumps, and the run
        # takes longer on a machine that cannot keep the rate.
        while ticker.ticks < round(args.seconds * args.rate):
            t = ticker.ticks / args.rate
            q, dq = trajectory(t, args.amplitude)
            try:
                state = motor.mit_control(bus, MitSetpoint(q=q, dq=dq, kp=args.kp, kd=args.kd))
            except RuntimeError as error:
                missed += 1
                print(f"t={t:6.3f}s  {error}")
                ticker.wait()
                continue
            rows.append((t, q, state.position, state.velocity, state.torque))
            if t >= next_report:
                print(f"t={t:5.2f}s  target={q:+7.3f}  position={state.position:+7.3f}  "
                      f"error={q - state.position:+6.3f}  torque={state.torque:+6.2f}  "
                      f"t_mos={state.t_mos}")
                next_report += 0.1
            ticker.wait()
    except Stopped as signal_stop:
        stopped = signal_stop
        ran = max(rows[-1][0], 0.0) if rows else 0.0  # the ramp's samples are at t < 0
        print(f"stopped by {stopped} after {ran:.2f} s of the run")
    finally:
        # A second Ctrl-C must not cut the disable short.
        for signum in (signal.SIGINT, signal.SIGTERM):
            signal.signal(signum, signal.SIG_IGN)
        if stopped:
            # The signal may have cut a command's wait short, leaving its
            # answer queued: a new socket starts empty. An answer still on
            # its way can reach it too and would still show the motor
            # enabled, so the disable is then sent again.
            bus = SocketCanTransport(args.iface)
        try:
            state = motor.disable(bus)
            for _ in range(2):
                if state.error != ENABLED:
                    break
                state = motor.disable(bus)
            print(f"disabled: {state!r}")
        except RuntimeError as error:
            print(f"disable not confirmed: {error}")

    run_rows = [row for row in rows if row[0] >= 0]
    achieved = ticker.achieved() if ticker else 0.0
    print(f"{len(run_rows)} commands at {achieved:.0f} Hz, {missed} without reply")
    # A run cut short by a signal ends mid-tick; only a full run is judged.
    if ticker and not stopped and achieved < 0.95 * args.rate:
        print(ticker.shortfall(args.rate))
    settled = [abs(q - p) for t, q, p, _, _ in rows if t >= 1.0]
    if settled:
        print(f"largest tracking error after the first second: {max(settled):.3f}")
    return rows, stopped


def save_plot(rows, path):
    data = os.path.splitext(path)[0] + ".csv"
    with open(data, "w", newline="") as out:
        writer = csv.writer(out)
        writer.writerow(["t", "target", "position", "velocity", "torque"])
        writer.writerows(rows)
    print(f"samples: {data}")
    plotter = os.path.join(os.path.dirname(os.path.abspath(__file__)), "plot_trajectory.py")
    try:
        import matplotlib  # noqa: F401
        command = [sys.executable, plotter, data, path]
    except ImportError:  # e.g. a bare interpreter: use the system's, which may have it
        system_python = shutil.which("python3", path="/usr/bin:/usr/local/bin")
        command = [system_python, plotter, data, path] if system_python else None
    if command is None or subprocess.run(command).returncode != 0:
        print("no plot: matplotlib is not available (the CSV above has the samples)")
        return
    print(f"plot: {path}")


def main():
    args = parse_args()
    # Ctrl-C and SIGTERM alike end the run through the same path, which
    # disables the motor and keeps the samples.
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, stop_on_signal)
    try:
        rows, stopped = run(args)
    except Stopped as early:  # before the motor was enabled: nothing to save
        print(f"stopped by {early} before the run")
        return 128 + early.signum
    except (OSError, RuntimeError) as error:
        print(f"error: {error} (docs/troubleshooting.md says what to check)", file=sys.stderr)
        return 1
    if rows:
        save_plot(rows, args.plot)
    return 128 + stopped.signum if stopped else 0


if __name__ == "__main__":
    sys.exit(main())
