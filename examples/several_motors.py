#!/usr/bin/env python3
"""Drive several motors on one bus from one loop and report its timing.

    python several_motors.py --iface can0 --motor 0x01:0x11:dm4310 --motor 0x02:0x12:dm4340

Every tick sends one MIT command to each motor in turn, on one
SocketCanTransport: the exchanges of one bus never overlap, so a tick costs
the sum of its exchanges (on a real 1 Mbit/s bus at least ~0.25 ms each).
Each motor first moves from where its enable answer says it stands to its
first target along a ramp at 1 rad/s (motion.py), never in one step. At the
end it prints, per motor, the exchange times and failures, and for the loop
the achieved rate and how often a tick overran its period, and why it fell
short of the asked rate when it did.
"""

import argparse
import math
import statistics
import time

from axiolink import Damiao, MitLimits, MitSetpoint, SocketCanTransport
from motion import Ticker, ramp

KP, KD = 20.0, 1.0


def parse_motor(text):
    """ID:MASTER:PRESET, ids decimal or 0x hex."""
    motor_id, master_id, preset = text.split(":")
    return int(motor_id, 0), int(master_id, 0), getattr(MitLimits, preset)()


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iface", default="can0")
    parser.add_argument("--motor", dest="motors", type=parse_motor, action="append",
                        help="ID:MASTER:PRESET, repeatable (default: 1:0x11, 2:0x12 and 3:0x13, "
                             "all dm4310)")
    parser.add_argument("--rate", type=float, default=200.0, help="ticks per second (200)")
    parser.add_argument("--seconds", type=float, default=3.0)
    # Three plain exchanges behind a USB adapter take about 3 ms of the 5 ms
    # tick (docs/timing.md); a silent motor's wait, which the kernel rounds up
    # to its scheduler tick, then costs one tick or two, not several.
    parser.add_argument("--timeout-ms", type=int, default=4,
                        help="wait for each answer (ms, 4)")
    args = parser.parse_args()
    motor_args = args.motors or [parse_motor(f"{i}:0x1{i}:dm4310") for i in (1, 2, 3)]
    args.motors = [Damiao(motor_id, master_id, limits, timeout_ms=args.timeout_ms)
                   for motor_id, master_id, limits in motor_args]
    return args


def swing(index, t):
    """Each motor swings about its own zero, a quarter turn out of phase."""
    return 0.5 * math.sin(2 * math.pi * 0.5 * t + index * math.pi / 2)


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def main():
    args = parse_args()
    bus = SocketCanTransport(args.iface)
    for motor in args.motors:
        motor.ensure_mit_mode(bus)
    exchange_us = {motor.motor_id: [] for motor in args.motors}
    failures = {motor.motor_id: 0 for motor in args.motors}
    periods = []
    try:
        starts = [motor.enable(bus).position for motor in args.motors]
        ramp(bus, [(motor, start, swing(index, 0.0))
                   for index, (motor, start) in enumerate(zip(args.motors, starts))],
             kp=KP, kd=KD, rate=args.rate)
        period = 1.0 / args.rate
        ticker = Ticker(args.rate)
        start = previous = ticker.started
        while (now := time.perf_counter()) - start < args.seconds:
            periods.append(now - previous)
            previous = now
            # The swing's clock is the tick count: after a late tick it goes
            # on from where it was instead of jumping ahead.
            at = ticker.ticks / args.rate
            for index, motor in enumerate(args.motors):
                sent = time.perf_counter()
                try:
                    motor.mit_control(bus, MitSetpoint(q=swing(index, at), kp=KP, kd=KD))
                except RuntimeError:
                    failures[motor.motor_id] += 1
                    continue
                exchange_us[motor.motor_id].append((time.perf_counter() - sent) * 1e6)
            ticker.wait()
    finally:
        for motor in args.motors:
            try:
                motor.disable(bus)
            except RuntimeError as error:
                print(f"motor {motor.motor_id:#04x}: disable failed: {error}")

    ticks = len(periods)
    elapsed = time.perf_counter() - start
    print(f"{len(args.motors)} motors, {ticks} ticks in {elapsed:.2f} s: {ticks / elapsed:.1f} Hz "
          f"(asked {args.rate:g}), {ticker.overruns} ticks overran")
    if ticks > 1:  # the first tick has no period before it
        jitter = [abs(p - period) * 1e6 for p in periods[1:]]
        print(f"tick period: median {statistics.median(periods[1:]) * 1e6:.0f} us, "
              f"|deviation| p99 {percentile(jitter, 0.99):.0f} us, max {max(jitter):.0f} us")
    for motor_id, times in exchange_us.items():
        if times:
            print(f"motor {motor_id:#04x}: {len(times)} exchanges, median "
                  f"{statistics.median(times):.0f} us, p99 {percentile(times, 0.99):.0f} us, "
                  f"max {max(times):.0f} us, {failures[motor_id]} without reply")
        else:
            print(f"motor {motor_id:#04x}: no reply at all ({failures[motor_id]} commands)")
    if ticker.achieved() < 0.95 * args.rate:
        print(ticker.shortfall(args.rate))
    return 1 if any(failures.values()) else 0


if __name__ == "__main__":
    raise SystemExit(main())
