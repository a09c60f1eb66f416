#!/usr/bin/env python3
"""Run a motor in VEL mode: a velocity ramp up and back down.

The Python module switches motors only into MIT mode, so put the motor into
VEL mode first with dmctl, once (the mode stays until it is changed again):

    dmctl --iface can0 mode 0x01 vel
    python vel_mode.py --iface can0 --motor-id 0x01 --master-id 0x11 --preset dm4310

The speed starts from 0 and changes gradually (top speed over half the run:
5 rad/s per second by default); a velocity command never names a position,
so the motor moves on from wherever it stands.

A motor in another mode ignores VEL frames: the first command then times
out, and this program says what to check.
"""

import argparse
import sys

from axiolink import ControlSetpoint, Damiao, MitLimits, SocketCanTransport
from motion import Ticker


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iface", default="can0")
    parser.add_argument("--motor-id", type=lambda s: int(s, 0), default=0x01)
    parser.add_argument("--master-id", type=lambda s: int(s, 0), default=0x11)
    parser.add_argument("--preset", default="dm4310", help="model limits (decode feedback)")
    parser.add_argument("--top-speed", type=float, default=5.0, help="rad/s (5)")
    parser.add_argument("--seconds", type=float, default=2.0, help="length of the ramp (2)")
    parser.add_argument("--rate", type=float, default=200.0, help="commands per second (200)")
    parser.add_argument("--timeout-ms", type=int, default=20,
                        help="wait for each answer (ms, 20)")
    return parser.parse_args()


def main():
    args = parse_args()
    bus = SocketCanTransport(args.iface)
    motor = Damiao(args.motor_id, args.master_id, getattr(MitLimits, args.preset)(),
                   timeout_ms=args.timeout_ms)
    motor.enable(bus)
    try:
        try:
            motor.control(bus, ControlSetpoint.vel(0.0))
        except RuntimeError as error:
            print(f"no answer to a VEL frame ({error}): is motor {args.motor_id:#04x} in VEL "
                  f"mode? switch it with: dmctl --iface {args.iface} mode {args.motor_id:#04x} "
                  f"vel", file=sys.stderr)
            return 1
        # Counted in commands, not in time: after a stall the speed goes on
        # from where it was instead of jumping.
        total = max(1, round(args.seconds * args.rate))
        ticker = Ticker(args.rate)
        for tick in range(total):
            # Up to the top speed in the first half, back to zero in the second.
            share = tick / total
            target = args.top_speed * (1 - abs(2 * share - 1))
            state = motor.control(bus, ControlSetpoint.vel(target))
            if tick % max(1, round(args.rate / 4)) == 0:
                print(f"t={tick / args.rate:4.2f}s  target {target:+6.2f} rad/s  "
                      f"velocity {state.velocity:+6.2f} rad/s  torque {state.torque:+5.2f} N·m")
            ticker.wait()
        motor.control(bus, ControlSetpoint.vel(0.0))
    finally:
        print(f"disabled: {motor.disable(bus)!r}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
