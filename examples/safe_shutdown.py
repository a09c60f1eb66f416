#!/usr/bin/env python3
"""Hold several motors where they stand and leave them disabled however the program ends.

    python safe_shutdown.py --iface can0 --motor 0x01:0x11:dm4310 --motor 0x02:0x12:dm4310

Ctrl-C (SIGINT), `kill` (SIGTERM), a motor that stops answering, or any
other exception: every motor gets its disable command before the program
exits. The pieces worth copying:

- Each motor holds the position its enable answer reports, so enabling it
  moves nothing: a fixed target such as 0 rad would pull a motor standing
  elsewhere there at full torque.
- SIGTERM is turned into an exception like Ctrl-C's KeyboardInterrupt, so one
  `finally` covers both. The handler runs at once, also while a command waits
  for its reply, and its exception ends that command.
- While the motors are being disabled, SIGINT and SIGTERM are ignored, so a
  second Ctrl-C cannot cut the shutdown short.
- Each motor is disabled on its own; one that does not answer does not keep
  the others enabled.
- The disable commands go through a new SocketCanTransport: a signal that
  interrupts a command's wait leaves that command's answer queued on the old
  one, where the disable would take it for its own. An answer still on its
  way can reach the new one too, so a disable answered by a state that still
  says "enabled" is sent again (disable_confirmed).
- A single missed reply is tolerated; several in a row mean the motor is gone
  (power, cable), and the program stops everything.
"""

import argparse
import signal
import sys
import time

from axiolink import Damiao, MitLimits, MitSetpoint, SocketCanTransport

STOP_SIGNALS = {signal.SIGINT, signal.SIGTERM}
MAX_MISSED_IN_A_ROW = 5


class Terminated(Exception):
    """SIGTERM arrived."""


def on_sigterm(signum, frame):
    raise Terminated()


def parse_motor(text):
    """ID:MASTER:PRESET, ids decimal or 0x hex."""
    motor_id, master_id, preset = text.split(":")
    return int(motor_id, 0), int(master_id, 0), getattr(MitLimits, preset)()


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iface", default="can0")
    parser.add_argument("--motor", dest="motors", type=parse_motor, action="append",
                        help="ID:MASTER:PRESET, repeatable (default 1:0x11:dm4310 and "
                             "2:0x12:dm4310)")
    parser.add_argument("--seconds", type=float, default=0.0,
                        help="stop after this long (default: run until stopped)")
    parser.add_argument("--timeout-ms", type=int, default=20,
                        help="wait for each answer (ms, 20)")
    args = parser.parse_args()
    motor_args = args.motors or [parse_motor("1:0x11:dm4310"), parse_motor("2:0x12:dm4310")]
    args.motors = [Damiao(motor_id, master_id, limits, timeout_ms=args.timeout_ms)
                   for motor_id, master_id, limits in motor_args]
    return args


ENABLED = 1  # MotorState.error of an enabled motor


def disable_confirmed(motor, bus, attempts=3):
    """Sends disable until the answer no longer shows the motor enabled."""
    for _ in range(attempts):
        state = motor.disable(bus)
        if state.error != ENABLED:
            break
    return state


def disable_all(iface, bus, motors):
    """Disables every motor; returns how many did not confirm."""
    # Ignoring (rather than blocking) also drops a signal that arrived just
    # before and whose Python handler has not run yet.
    for signum in STOP_SIGNALS:
        signal.signal(signum, signal.SIG_IGN)
    try:
        bus = SocketCanTransport(iface)
    except OSError as error:
        print(f"reopening {iface} failed ({error}); disabling through the old transport")
    unconfirmed = 0
    for motor in motors:
        try:
            state = disable_confirmed(motor, bus)
            print(f"motor {motor.motor_id:#04x} disabled (error={state.error})", flush=True)
        except RuntimeError as error:
            unconfirmed += 1
            print(f"motor {motor.motor_id:#04x}: disable not confirmed: {error}", flush=True)
    return unconfirmed


def hold(bus, motors, positions, seconds):
    """Holds every motor at its position in `positions`, 200 commands per second."""
    missed = {motor.motor_id: 0 for motor in motors}
    start = time.monotonic()
    print("running; stop with Ctrl-C or SIGTERM", flush=True)
    while not seconds or time.monotonic() - start < seconds:
        for motor, position in zip(motors, positions):
            try:
                motor.mit_control(bus, MitSetpoint(q=position, kp=10.0, kd=0.5))
                missed[motor.motor_id] = 0
            except RuntimeError as error:
                missed[motor.motor_id] += 1
                if missed[motor.motor_id] >= MAX_MISSED_IN_A_ROW:
                    raise RuntimeError(f"motor {motor.motor_id:#04x} stopped answering: {error}")
        time.sleep(0.005)


def main():
    args = parse_args()
    signal.signal(signal.SIGTERM, on_sigterm)
    bus = SocketCanTransport(args.iface)
    status = 0
    try:
        positions = []
        for motor in args.motors:
            motor.ensure_mit_mode(bus)
            positions.append(motor.enable(bus).position)
            print(f"motor {motor.motor_id:#04x} holds {positions[-1]:+.3f} rad, where it stood",
                  flush=True)
        hold(bus, args.motors, positions, args.seconds)
    except KeyboardInterrupt:
        print("stopping: Ctrl-C", flush=True)
        status = 128 + signal.SIGINT
    except Terminated:
        print("stopping: SIGTERM", flush=True)
        status = 128 + signal.SIGTERM
    except RuntimeError as error:
        print(f"stopping: {error}", file=sys.stderr, flush=True)
        status = 1
    finally:
        if disable_all(args.iface, bus, args.motors):
            status = status or 1
    return status


if __name__ == "__main__":
    sys.exit(main())
