#!/usr/bin/env python3
"""Drive a seven-joint arm with a servo loop while Python is busy.

    python servo_arm.py --iface can0 --rate 200 --seconds 10

An axiolink_ext.ServoLoop sends one group cycle of MIT commands per period on
a native thread of its own; Python only hands it targets and reads states.
Here a slow planner thread streams a smooth trajectory at 50 Hz: each joint
swings out from where it stood and back, with the trajectory's velocity
passed along so that the loop's motion limiter follows it without lag. The
main thread meanwhile does heavy pure-Python work the whole time (sorting
big lists, building objects) that holds the interpreter for milliseconds
at a stretch; the loop never waits for the interpreter, so this work does
not hold it up.

At the end it prints the loop's statistics (cycles against the rate asked,
late periods, how late cycles started, misses per motor) and leaves the
servo loop's block, which damps every motor and then disables it, each
disable verified by the motor's answer; the same happens on Ctrl-C, on
SIGTERM, on any exception, and when a motor faults or stops answering.
"""

import argparse
import math
import random
import signal
import sys
import threading
import time

from axiolink import Damiao, MitLimits, SocketCanTransport
from axiolink_ext import MotorError, MotorGroup, ServoLoop, set_control_mode

PLANNER_HZ = 50.0
SWING_PERIOD_S = 2.0  # out and back


def parse_motor(text):
    """ID:MASTER:PRESET, ids decimal or 0x hex."""
    motor_id, master_id, preset = text.split(":")
    return int(motor_id, 0), int(master_id, 0), getattr(MitLimits, preset.lower())()


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iface", default="can0")
    parser.add_argument("--motor", dest="motors", type=parse_motor, action="append",
                        help="ID:MASTER:PRESET, repeatable (default: 1:0x11 to 7:0x17, all dm4310)")
    # Seven motors behind a USB adapter take about 2.7 ms a cycle
    # (docs/timing.md): 200 Hz leaves room for a slow one, and a silent
    # motor's cycle (the time-out after the last send) still ends within the
    # 5 ms period.
    parser.add_argument("--rate", type=float, default=200.0, help="servo loop cycles per second (200)")
    parser.add_argument("--seconds", type=float, default=10.0, help="how long to run (10)")
    parser.add_argument("--amplitude", type=float, default=0.2,
                        help="how far each joint swings out from where it stood, rad (0.2)")
    # Each joint's range: set the robot's own. The loop clamps every target
    # to it and brakes before a limit; a joint that stands outside it at the
    # start is held there and may only move back in.
    parser.add_argument("--min-q", type=float, default=-1.5,
                        help="lowest position any joint is commanded to, rad (-1.5)")
    parser.add_argument("--max-q", type=float, default=1.5,
                        help="highest position any joint is commanded to, rad (1.5)")
    parser.add_argument("--kp", type=float, default=10.0, help="position gain, N·m/rad (10)")
    parser.add_argument("--kd", type=float, default=0.5, help="damping gain, N·m·s/rad (0.5)")
    parser.add_argument("--timeout-ms", type=int, default=4,
                        help="wait for the answers of each cycle, below the period, up to 100 (4)")
    args = parser.parse_args()
    motors = args.motors or [parse_motor(f"{i}:{0x10 + i:#x}:dm4310") for i in range(1, 8)]
    args.motors = [Damiao(motor_id, master_id, limits, timeout_ms=args.timeout_ms)
                   for motor_id, master_id, limits in motors]
    return args


def plan(loop, home, amplitude, done):
    """Streams the swing to the loop at PLANNER_HZ until `done` is set or the
    loop stops. The swing runs on the planner's own tick count, not the wall
    clock, so a stalled planner resumes where it stopped; it starts at rest
    where each joint stood: (1 - cos) has no slope at 0."""
    omega = 2 * math.pi / SWING_PERIOD_S
    sent, next_tick = 0, time.monotonic()
    while not done.is_set():
        t = sent / PLANNER_HZ
        offset = 0.5 * amplitude * (1 - math.cos(omega * t))
        speed = 0.5 * amplitude * omega * math.sin(omega * t)
        try:
            loop.set_targets(q=[q + offset for q in home], dq=[speed] * len(home))
        except RuntimeError:  # the loop stopped (MotorError too); the main thread says why
            return sent
        sent += 1
        next_tick += 1 / PLANNER_HZ
        delay = next_tick - time.monotonic()
        if delay < 0:  # late: go on from now, and make nothing up
            next_tick, delay = time.monotonic(), 0.0
        done.wait(delay)
    return sent


def busy_work(until):
    """Pure-Python work that keeps the interpreter busy until `until`;
    returns the rounds done."""
    rounds = 0
    while time.monotonic() < until:
        numbers = [random.random() for _ in range(100_000)]
        numbers.sort()
        records = [{"index": i, "value": v, "square": v * v} for i, v in enumerate(numbers[:20_000])]
        del numbers, records
        rounds += 1
    return rounds


def microseconds(percentiles):
    return ", ".join(f"{name} {value / 1000:.0f} us" for name, value in percentiles.items())


def report(args, stats, rounds, planned, elapsed):
    asked = round(args.rate * elapsed)
    print(f"{len(args.motors)} motors, {elapsed:.1f} s: {stats['cycles']} cycles (asked "
          f"{args.rate:g} Hz, {asked}), {stats['late_periods']} late periods, "
          f"{stats['overruns']} overruns")
    print(f"cycle start after its deadline: {microseconds(stats['period_error_ns'])}")
    print(f"cycle time: {microseconds(stats['cycle_ns'])}")
    real_time = stats["real_time"]
    print("real time: " + (f"SCHED_FIFO priority {real_time['priority']}" if real_time["sched_fifo"]
                           else "normal priority")
          + (", memory locked" if real_time["memory_locked"] else ", memory not locked"))
    print(f"meanwhile: {rounds} rounds of busy work in the main thread, {planned} targets from "
          f"the planner at {PLANNER_HZ:g} Hz")
    for motor, missed, late in zip(args.motors, stats["misses"], stats["late_answers"]):
        print(f"motor {motor.motor_id:#04x}: {missed} missed, {late} late answers")


def main():
    args = parse_args()
    # SIGTERM (kill, a service manager) ends the program through the with
    # block below, as Ctrl-C does, and the report still prints. (Without a
    # handler the loop would still stop every motor safely before the
    # process ends, but nothing more of this program would run.)
    signal.signal(signal.SIGTERM, lambda signum, frame: sys.exit(128 + signum))
    bus = SocketCanTransport(args.iface)
    for motor in args.motors:
        set_control_mode(motor, bus, "mit")
    group = MotorGroup(args.motors, bus, timeout_ms=args.timeout_ms)
    loop = ServoLoop(group, rate_hz=args.rate, kp=args.kp, kd=args.kd, min_q=args.min_q,
                     max_q=args.max_q)
    done = threading.Event()
    planned = []
    entered, status = False, 0
    try:
        # Entering enables every motor (each answer checked) and holds each
        # where its answer says it stands; leaving damps every motor and then
        # disables it, however the block ends.
        with loop:
            entered = True
            home = list(loop.states().q)
            planner = threading.Thread(
                target=lambda: planned.append(plan(loop, home, args.amplitude, done)))
            started = time.monotonic()
            planner.start()
            try:
                rounds = busy_work(started + args.seconds)
            finally:
                done.set()
                planner.join()
            report(args, loop.stats(), rounds, sum(planned), time.monotonic() - started)
    except MotorError as error:  # not enabled, or the loop stopped itself: a fault, a silent motor
        print(f"stopped: {error}", file=sys.stderr)
        status = 1
    except KeyboardInterrupt:
        print("stopped by Ctrl-C", file=sys.stderr)
        status = 128 + signal.SIGINT
    if not entered:
        return status  # not started: the start disabled every motor again
    for motor, confirmed in zip(args.motors, loop.stats()["disabled"]):
        print(f"motor {motor.motor_id:#04x}: " + ("disabled" if confirmed else
                                                  "disable not confirmed"))
        status = status or (0 if confirmed else 1)
    return status


if __name__ == "__main__":
    sys.exit(main())
