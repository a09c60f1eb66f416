"""The whole command path (binding, driver, transport, frame conversions) and
group cycles on a stand-in bus, for the sanitizer build on a host without CAN.

Runs with bench/exchange/null_bus.c preloaded: every CAN socket is fake, any
send succeeds and every plain read returns at once the same classic frame at
id 0x011, data 11 80 12 7F E8 05 1E 20. A group cycle's command to motor N is
answered once at N + 0x10 with that feedback, the motor's nibble and status
in the first byte; motors 0x70-0x7F are silent, and 0x60-0x6F answer a
disable with "enabled"."""

import os
import signal
import struct
import threading
import time
import unittest
import warnings
from array import array

from axiolink import ControlSetpoint, Damiao, MitLimits, MitSetpoint, MotorState, SocketCanTransport
from axiolink_ext import MotorError, MotorGroup, ServoLoop


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def unpack_symmetric(raw, limit, bits):
    """The decoding formula, one single-precision step at a time."""
    return f32(f32(f32(f32(limit + limit) * raw) / ((1 << bits) - 1)) - limit)


# What the fixed frame decodes to with the default limits: position raw
# 0x8012, velocity raw 0x7FE, torque raw 0x805.
EXPECTED = {"motor_id": 1, "error": 1, "t_mos": 30, "t_rotor": 32,
            "position": unpack_symmetric(0x8012, 12.5, 16),
            "velocity": unpack_symmetric(0x7FE, 30.0, 12),
            "torque": unpack_symmetric(0x805, 10.0, 12)}


class StandInBusTest(unittest.TestCase):
    def setUp(self):
        self.bus = SocketCanTransport("vcan0")
        self.motor = Damiao(0x01, 0x011, MitLimits.dm4310())

    def assert_feedback(self, state):
        self.assertEqual({name: getattr(state, name) for name in EXPECTED}, EXPECTED)

    def test_every_command_decodes_the_reply(self):
        commands = [
            self.motor.enable, self.motor.disable, self.motor.set_zero, self.motor.clear_error,
            lambda bus: self.motor.mit_control(bus, MitSetpoint(1.0, -2.0, 5.0, 0.5, 0.25)),
            lambda bus: self.motor.control(bus, ControlSetpoint.mit(MitSetpoint(q=3.0))),
            lambda bus: self.motor.control(bus, ControlSetpoint.pos_vel(1.0, 2.0)),
            lambda bus: self.motor.control(bus, ControlSetpoint.vel(-4.0)),
            lambda bus: self.motor.control(bus, ControlSetpoint.force_pos(1.0, 50.0, 0.5)),
        ]
        for command in commands:
            self.assert_feedback(command(self.bus))

    def test_failures_on_the_command_path(self):
        cases = [
            (lambda: Damiao(1, 0x012, timeout_ms=2).enable(self.bus),
             "transport error: timeout waiting for frame"),
            (lambda: Damiao(1, 0x011, timeout_ms=2).ensure_mit_mode(self.bus),
             "transport error: timeout waiting for frame"),
            (lambda: Damiao(1, 0x011, MitLimits(p_max=-1.0)).mit_control(self.bus, MitSetpoint()),
             "invalid MIT limit: p_max is -1, must be >= 0 and not NaN"),
        ]
        for command, text in cases:
            with self.subTest(text), self.assertRaises(RuntimeError) as caught:
                command()
            self.assertEqual(str(caught.exception), text)

    def test_many_commands_from_several_threads(self):
        deadline = time.monotonic() + 20
        failures = []

        def run():
            setpoint = MitSetpoint(0.5, 0.0, 10.0, 0.1, 0.0)
            for count in range(5000):
                try:
                    state = self.motor.mit_control(self.bus, setpoint)
                    if state.t_rotor != 32:
                        failures.append(repr(state))
                except Exception as error:  # recorded, reported below
                    failures.append(repr(error))
                if count % 500 == 0 and time.monotonic() > deadline:
                    return

        threads = [threading.Thread(target=run) for _ in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.assertEqual(failures, [])


SILENT = 0x7A
STAYS_ENABLED = 0x6A
SETPOINTS = [MitSetpoint(0.5, 0.0, 10.0, 0.1, 0.0), ControlSetpoint.pos_vel(1.0, 2.0),
             ControlSetpoint.vel(-4.0), ControlSetpoint.force_pos(1.0, 50.0, 0.5)]


class GroupCycleTest(unittest.TestCase):
    """Group cycles on two buses: sends in batches, reads what waits, waits
    on both buses at once, signals and forks around the waits."""

    def setUp(self):
        self.buses = [SocketCanTransport("vcan0"), SocketCanTransport("vcan1")]

    def group(self, *ids, timeout_ms=2):
        """Motors at master id N + 0x10, on the two buses in turn."""
        return MotorGroup([Damiao(i, 0x10 + i) for i in ids],
                          [self.buses[k % 2] for k in range(len(ids))], timeout_ms=timeout_ms)

    def wrong_in_cycle(self, group, times):
        """One cycle in every mode; what was wrong with its results."""
        ids = [motor.motor_id for motor in group.motors]
        states = group.cycle([SETPOINTS[k % 4] for k in range(len(ids))], times=times)
        wrong = []
        for motor_id, state, received in zip(ids, states, times):
            if motor_id == SILENT:
                fine = isinstance(state, MotorError) and state.kind == "timeout" and received == 0
            else:
                fine = (type(state) is MotorState and received > 0 and
                        (state.motor_id, state.error) == (motor_id & 0xF, 1) and
                        state.position == EXPECTED["position"] and state.t_rotor == 32)
            if not fine:
                wrong.append(f"motor {motor_id:#x}: {state!r} at {received}")
        return wrong

    def test_cycles_on_two_buses_from_several_threads_under_a_timer(self):
        # A silent motor in each group makes every cycle wait; the timer's
        # signal interrupts those waits, in the main thread (its handler runs
        # and returns) and in the workers (where no handler can run).
        alarms = []
        previous = signal.signal(signal.SIGALRM, lambda number, frame: alarms.append(number))
        self.addCleanup(signal.signal, signal.SIGALRM, previous)
        self.addCleanup(signal.setitimer, signal.ITIMER_REAL, 0)
        wrong = []

        def cycles(group, times):
            for _ in range(100):
                wrong.extend(self.wrong_in_cycle(group, times))

        groups = [self.group(1, 2, 3, SILENT), self.group(4, SILENT, 5), self.group(6, 7, SILENT),
                  MotorGroup([Damiao(8, 0x18), Damiao(SILENT, 0x10 + SILENT)], self.buses[1],
                             timeout_ms=2)]
        signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
        threads = [threading.Thread(target=cycles, args=(group, array("q", [0]) * len(group)))
                   for group in groups[1:]]
        for thread in threads:
            thread.start()
        cycles(groups[0], [None] * len(groups[0]))
        for thread in threads:
            thread.join()
        signal.setitimer(signal.ITIMER_REAL, 0)
        self.assertEqual(wrong, [])
        self.assertGreater(len(alarms), 0)

    def test_a_handler_that_raises_ends_the_cycle_and_the_buses_stay_usable(self):
        # The main thread's cycles wait on vcan0 nearly all the time (for the
        # silent motor), so the timer's signal interrupts a wait and its
        # handler raises from within the cycle; another thread cycles on
        # vcan1 meanwhile.
        def interrupt(number, frame):
            raise KeyboardInterrupt

        previous = signal.signal(signal.SIGALRM, interrupt)
        self.addCleanup(signal.signal, signal.SIGALRM, previous)
        self.addCleanup(signal.setitimer, signal.ITIMER_REAL, 0)
        stop = threading.Event()
        wrong = []

        def other_cycles():
            group = MotorGroup([Damiao(1, 0x11), Damiao(SILENT, 0x10 + SILENT)], self.buses[1],
                               timeout_ms=2)
            while not stop.is_set():
                wrong.extend(self.wrong_in_cycle(group, array("q", [0]) * 2))

        other = threading.Thread(target=other_cycles)
        other.start()
        group = MotorGroup([Damiao(2, 0x12), Damiao(SILENT, 0x10 + SILENT), Damiao(3, 0x13)],
                           self.buses[0], timeout_ms=5)
        try:
            for _ in range(3):
                signal.setitimer(signal.ITIMER_REAL, 0.02)
                with self.assertRaises(KeyboardInterrupt):
                    for _ in range(2000):
                        group.cycle([MitSetpoint()] * 3)
                wrong.extend(self.wrong_in_cycle(group, array("q", [0]) * 3))
        finally:
            stop.set()
            other.join()
        self.assertEqual(wrong, [])

    def test_group_enable_disable_and_clear_error(self):
        group = self.group(1, 2, STAYS_ENABLED, SILENT, timeout_ms=5)

        def outcomes(results):
            return [(state.motor_id, state.error) if type(state) is MotorState
                    else (state.motor_id, state.kind, state.text) for state in results]

        timeout = (SILENT, "timeout", "transport error: timeout waiting for frame")
        self.assertEqual(outcomes(group.enable()), [(1, 1), (2, 1), (0xA, 1), timeout])
        self.assertEqual(outcomes(group.disable()), [
            (1, 0), (2, 0),
            (STAYS_ENABLED, "unconfirmed",
             "disable not confirmed: the motor's last answer reports status 1 (enabled)"),
            timeout])
        self.assertEqual(outcomes(group.clear_error()), [(1, 1), (2, 1), (0xA, 1), timeout])
        # The three answers to the disable, each "enabled", were late answers.
        self.assertEqual(group.late_answers, (0, 0, 3, 0))

    def test_a_child_forked_while_threads_cycle_can_cycle_at_once(self):
        # The threads hold the buses nearly all the time (the silent motor's
        # waits): the child's first cycle needs them at once.
        stop = threading.Event()

        def loop(group):
            while not stop.is_set():
                group.cycle([MitSetpoint()] * len(group))

        threads = [threading.Thread(target=loop, args=(self.group(*ids),))
                   for ids in ((1, 2), (3, SILENT))]
        for thread in threads:
            thread.start()
        outcomes = []
        try:
            while len(outcomes) < 3 and "hung" not in outcomes:
                time.sleep(0.01)
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads
                    pid = os.fork()
                if pid == 0:
                    code = 1
                    try:
                        states = self.group(4, 5).cycle([MitSetpoint()] * 2)
                        code = 0 if [type(s) for s in states] == [MotorState] * 2 else 1
                    finally:
                        os._exit(code)
                deadline = time.monotonic() + 30
                while (done := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
                    time.sleep(0.01)
                if done[0] == 0:
                    os.kill(pid, signal.SIGKILL)
                    os.waitpid(pid, 0)
                    outcomes.append("hung")
                else:
                    outcomes.append(os.waitstatus_to_exitcode(done[1]))
        finally:
            stop.set()
            for thread in threads:
                thread.join()
        self.assertEqual(outcomes, [0, 0, 0])


    def test_a_servo_loop_beside_python_threads_that_hand_targets_in_and_read_out(self):
        group = self.group(1, 2, 3, timeout_ms=5)
        stop = threading.Event()
        problems = []

        def repeat(work):
            def run():
                try:
                    while not stop.is_set():
                        work()
                except Exception as error:  # noqa: BLE001 - reported below
                    problems.append(repr(error))
            return threading.Thread(target=run)

        with ServoLoop(group, rate_hz=1000, priority=0, lock_memory=False, log_capacity=64,
                       stop_damping_ms=20) as loop:
            targets = array("d", [0.1, 0.2, 0.3])
            threads = [repeat(lambda: loop.set_targets(q=targets)),
                       repeat(lambda: loop.set_targets(q=[0.0, 0.0, 0.0], kd=[1.0] * 3)),
                       repeat(loop.states), repeat(loop.stats), repeat(loop.log)]
            for thread in threads:
                thread.start()
            time.sleep(1)
            stop.set()
            for thread in threads:
                thread.join()
            cycles = loop.stats()["cycles"]
        self.assertEqual(problems, [])
        self.assertGreater(cycles, 100)
        self.assertEqual(loop.stats()["disabled"], (True,) * 3)

if __name__ == "__main__":
    unittest.main()
