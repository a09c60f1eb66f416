"""Moving motors without a jump, at a steady rate: what the examples share.

A motor handed a position far from where it stands drives there with all the
torque its gains and limits allow. So every example reads where the motor is
from the answer to `enable`, and moves from there to its first target along a
straight ramp at RAMP_SPEED. Copy this file along with an example that
imports it.
"""

import math
import statistics
import time

from axiolink import MitSetpoint

RAMP_SPEED = 1.0  # rad/s: with the examples' gains this needs well under 2 N·m


class Ticker:
    """A loop at a fixed rate that keeps count of how it kept it.

    `wait()` sleeps until the next tick. A tick whose work ran past its
    deadline starts the next one at once and skips nothing; `late_wakeups`
    counts sleeps that ended more than a quarter period after their deadline
    (the scheduler, not the work, was late)."""

    def __init__(self, rate):
        if not rate > 0 or not math.isfinite(rate):
            raise ValueError(f"rate must be a positive number of ticks per second, not {rate}")
        self.period = 1.0 / rate
        self.started = self.next_tick = self.last = time.perf_counter()
        self.ticks = self.overruns = self.late_wakeups = 0
        self.oversleep = []  # seconds past the deadline, one per sleep

    def wait(self):
        self.ticks += 1
        self.next_tick += self.period
        delay = self.next_tick - time.perf_counter()
        if delay <= 0:
            self.overruns += 1
            self.next_tick = self.last = time.perf_counter()
            return
        time.sleep(delay)
        self.last = time.perf_counter()
        late = self.last - self.next_tick
        self.oversleep.append(late)
        if late > self.period / 4:
            self.late_wakeups += 1

    def achieved(self):
        """Ticks per second from the start to the end of the last tick."""
        elapsed = self.last - self.started
        return self.ticks / elapsed if elapsed > 0 else 0.0

    def shortfall(self, asked):
        """A sentence on why the loop ran slower than `asked` ticks per second."""
        wake = statistics.median(self.oversleep) * 1e6 if self.oversleep else 0.0
        return (f"fell short of the asked {asked:g} Hz: {self.achieved():.0f} Hz; "
                f"{self.overruns} of {self.ticks} ticks overran their period (the work took "
                f"longer), {self.late_wakeups} sleeps woke more than a quarter period late "
                f"(median {wake:.0f} us past the deadline: a busy or coarse-timer machine)")


def ramp_targets(start, target, speed=RAMP_SPEED, rate=200.0):
    """(q, dq) for each tick of a straight move from `start` to `target` at
    `speed` rad/s and `rate` ticks per second, ending at rest on `target`.

    Counted in ticks, not in time: a late tick makes the move slower, never
    a jump."""
    if not speed > 0 or not math.isfinite(speed):
        raise ValueError(f"speed must be a positive number of rad/s, not {speed}")
    ticks = max(1, math.ceil(abs(target - start) / speed * rate))
    velocity = (target - start) * rate / ticks
    for tick in range(1, ticks):
        yield start + (target - start) * tick / ticks, velocity
    yield target, 0.0


def ramp(bus, moves, *, kp, kd, speed=RAMP_SPEED, rate=200.0):
    """Moves each (motor, start, target) of `moves` along a ramp at up to
    `speed` rad/s, all arriving together; returns their last states."""
    longest = max(abs(target - start) for _, start, target in moves)
    # The longest move sets the pace; the others go proportionally slower.
    paths = [(motor, start, target - start) for motor, start, target in moves]
    ticker = Ticker(rate)
    states = []
    # With nothing to move, one tick holds every motor where it is.
    for share, pace in ramp_targets(0.0, 1.0, speed / longest if longest else rate, rate):
        states = [motor.mit_control(bus, MitSetpoint(q=start + share * span, dq=pace * span,
                                                     kp=kp, kd=kd))
                  for motor, start, span in paths]
        ticker.wait()
    return states
