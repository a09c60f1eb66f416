"""axiolink_ext on the virtual bus, against the motor emulator: group cycles,
register access and mode switching."""

import os
import signal
import threading
import time
import unittest
import warnings

import axiolink
from axiolink import ControlSetpoint, Damiao, MitSetpoint, MotorState, SocketCanTransport
from axiolink_ext import MotorError, MotorGroup, read_register, set_control_mode, write_register

from bus_support import IFACE, REPLY_MS, Capture, Emulator

OTHER_IFACE = "vcan1"
TIMEOUT_TEXT = "transport error: timeout waiting for frame"
NAMES = "master_id, motor_id, timeout, control_mode, hw_version, fw_version, p_max, v_max, t_max"


def motors(*ids):
    return [Damiao(i, 0x10 + i, timeout_ms=REPLY_MS) for i in ids]


def emulated(*motor_args):
    return [arg for motor_arg in motor_args for arg in ("--motor", motor_arg)]


class GroupCycleTest(unittest.TestCase):
    def setUp(self):
        self.bus = SocketCanTransport(IFACE)

    def test_each_motor_gets_its_own_state_in_group_order_whatever_its_mode(self):
        with Emulator(*emulated("1:0x11", "2:0x12:dm4340:2", "3:0x13:dm4310:3", "4:0x14:dm4310:4")):
            group = MotorGroup(motors(4, 2, 1, 3), self.bus, timeout_ms=REPLY_MS)
            states = group.cycle([ControlSetpoint.force_pos(0.0, 1.0, 0.1),
                                  ControlSetpoint.pos_vel(0.0, 1.0), MitSetpoint(),
                                  ControlSetpoint.vel(0.0)])
        self.assertEqual([type(s) for s in states], [MotorState] * 4)
        self.assertEqual([s.motor_id for s in states], [4, 2, 1, 3])
        self.assertEqual(len(group), 4)
        self.assertEqual(group.motors, tuple(group.motors))

    def test_a_silent_motor_is_a_motor_error_beside_the_others_states(self):
        with Emulator(*emulated("1:0x11", "2:0x12", "3:0x13"), "--fault", "silent@2"):
            states = MotorGroup(motors(1, 2, 3), self.bus, timeout_ms=REPLY_MS).cycle([MitSetpoint()] * 3)
        self.assertEqual((type(states[0]), type(states[2])), (MotorState, MotorState))
        self.assertIsInstance(states[1], MotorError)
        self.assertEqual((states[1].motor_id, states[1].text), (2, TIMEOUT_TEXT))
        self.assertEqual(str(states[1]), "motor 0x02: " + TIMEOUT_TEXT)

    def test_an_answer_that_came_after_its_cycle_is_never_taken_by_the_next(self):
        # Motor 2 answers 40 ms late: each cycle (20 ms) misses it, and its
        # late answer waits on the socket when the next cycle starts.
        with Emulator(*emulated("1:0x11", "2:0x12"), "--fault", "delay=40@2"):
            group = MotorGroup(motors(1, 2), self.bus, timeout_ms=20)
            for _ in range(3):
                states = group.cycle([MitSetpoint()] * 2)
                self.assertIs(type(states[0]), MotorState)
                self.assertIsInstance(states[1], MotorError)
                time.sleep(0.06)

    def test_two_buses_cycle_together(self):
        other = SocketCanTransport(OTHER_IFACE)
        with Emulator(*emulated("1:0x11", "2:0x12")), \
                Emulator(*emulated("1:0x11", "3:0x13"), iface=OTHER_IFACE):
            group = MotorGroup([Damiao(1, 0x11), Damiao(2, 0x12), Damiao(1, 0x11), Damiao(3, 0x13)],
                               [self.bus, self.bus, other, other])
            states = group.cycle([MitSetpoint()] * 4)
        self.assertEqual([s.motor_id for s in states], [1, 2, 1, 3])

    def test_what_cannot_work_is_refused_when_the_group_is_made_or_cycled(self):
        other = SocketCanTransport(OTHER_IFACE)
        cases = [
            ((motors(1) + [Damiao(5, 0x11)], self.bus), ValueError,
             "motors 0 and 1 of the group answer at the same master id 0x011 on one bus"),
            (([], self.bus), ValueError, "a motor group needs at least one motor"),
            ((motors(1, 2), [self.bus]), ValueError,
             "buses: expected one bus for every motor (2), got 1"),
            ((motors(1), self.bus, 101), ValueError,
             "timeout_ms must be at most 100, so that Ctrl-C ends a cycle soon"),
            ((motors(1), "vcan0"), TypeError, "argument 'buses': expected a list or tuple, got 'str'"),
        ]
        for args, error, text in cases:
            with self.subTest(text), self.assertRaises(error) as caught:
                MotorGroup(*args)
            self.assertEqual(str(caught.exception), text)
        MotorGroup([Damiao(1, 0x11), Damiao(2, 0x11)], [self.bus, other])  # one per bus is fine
        group = MotorGroup(motors(1, 2), self.bus, timeout_ms=REPLY_MS)
        with self.assertRaises(ValueError) as caught:
            group.cycle([MitSetpoint()])
        self.assertEqual(str(caught.exception), "setpoints: expected one for every motor (2), got 1")
        with self.assertRaises(TypeError):
            group.cycle([MitSetpoint(), 1.0])


class GroupThreadsTest(unittest.TestCase):
    def test_other_threads_run_and_plain_commands_wait_their_turn_during_cycles(self):
        # A plain command that finds a cycle's bus taken waits for it with the
        # interpreter lock held, so the two kinds of other thread run apart:
        # first one that only ticks, then one making plain commands.
        bus = SocketCanTransport(IFACE)
        failures, plain_states, ticks = [], [], []

        def plain_commands(stop):
            motor = Damiao(1, 0x11, timeout_ms=REPLY_MS)
            while not stop.is_set():
                try:
                    plain_states.append(motor.mit_control(bus, MitSetpoint()))
                except RuntimeError as error:
                    failures.append(str(error))

        def ticker(stop):
            while not stop.is_set():
                ticks.append(time.monotonic())
                time.sleep(0.001)

        with Emulator(*emulated("1:0x11", "2:0x12", "3:0x13"), "--fault", "silent@3"):
            group = MotorGroup(motors(2, 3), bus, timeout_ms=100)
            for other in (ticker, plain_commands):
                stop = threading.Event()
                thread = threading.Thread(target=other, args=(stop,))
                thread.start()
                windows = []
                try:
                    for _ in range(5):
                        started = time.monotonic()
                        states = group.cycle([MitSetpoint()] * 2)
                        windows.append((started, time.monotonic()))
                        self.assertIs(type(states[0]), MotorState)
                        self.assertEqual(states[1].text, TIMEOUT_TEXT)
                finally:
                    stop.set()
                    thread.join()
                if other is ticker:
                    # Each cycle waits its whole 100 ms for motor 3; the ticker
                    # ran meanwhile.
                    self.assertTrue(all(any(a < t < b for t in ticks) for a, b in windows))
        self.assertEqual(failures, [])
        self.assertGreater(len(plain_states), 0)

    def test_ctrl_c_ends_a_cycle_at_once(self):
        bus = SocketCanTransport(IFACE)
        group = MotorGroup([Damiao(0x7A, 0x7B)], bus, timeout_ms=100)  # nobody answers
        sent = []

        def interrupt():
            time.sleep(0.3)
            sent.append(time.monotonic())
            os.kill(os.getpid(), signal.SIGINT)

        threading.Thread(target=interrupt).start()
        ended = time.monotonic() + 5
        with self.assertRaises(KeyboardInterrupt):
            while time.monotonic() < ended:
                group.cycle([MitSetpoint()])
        self.assertLess(time.monotonic() - sent[0], 0.2)

    def test_a_child_forked_during_a_cycle_can_use_the_bus_at_once(self):
        bus = SocketCanTransport(IFACE)
        stop = threading.Event()
        with Emulator(*emulated("1:0x11")):
            # Nobody answers 0x7B: the cycles hold the bus nearly all the time.
            group = MotorGroup([Damiao(0x7A, 0x7B)], bus, timeout_ms=50)
            looping = threading.Thread(target=lambda: [group.cycle([MitSetpoint()])
                                                       for _ in iter(stop.is_set, True)])
            looping.start()
            try:
                time.sleep(0.1)
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads
                    child = os.fork()
                if child == 0:
                    # The child shares the parent's socket, whose cycles may
                    # still read the child's answer before they stop: a few
                    # tries. A bus lock left held would block the first.
                    for _ in range(5):
                        try:
                            Damiao(1, 0x11, timeout_ms=200).enable(bus)
                            os._exit(0)
                        except RuntimeError:
                            pass
                    os._exit(1)
                stop.set()
                deadline = time.monotonic() + 10
                while (status := os.waitpid(child, os.WNOHANG)) == (0, 0) and time.monotonic() < deadline:
                    time.sleep(0.01)
                if status == (0, 0):
                    os.kill(child, signal.SIGKILL)
                    os.waitpid(child, 0)
                    self.fail("the child hung on the bus")
                self.assertEqual(os.waitstatus_to_exitcode(status[1]), 0)
            finally:
                stop.set()
                looping.join()


class RegisterTest(unittest.TestCase):
    def setUp(self):
        self.bus = SocketCanTransport(IFACE)
        self.motor = Damiao(1, 0x11, timeout_ms=REPLY_MS)

    def test_reads_by_name_or_number_in_the_registers_own_type(self):
        with Emulator(*emulated("1:0x11:dm4340:3")):
            self.assertEqual(read_register(self.motor, self.bus, "master_id"), 0x11)
            self.assertEqual(read_register(self.motor, self.bus, 10), 3)
            self.assertEqual(read_register(self.motor, self.bus, "P_MAX"), 12.5)
            self.assertIs(type(read_register(self.motor, self.bus, "t_max")), float)

    def test_writes_are_read_back_and_checked(self):
        with Emulator(*emulated("1:0x11")):
            self.assertEqual(write_register(self.motor, self.bus, "p_max", 25), 25.0)
            self.assertEqual(write_register(self.motor, self.bus, "timeout", "0x10"), 16)
            self.assertEqual(write_register(self.motor, self.bus, "control_mode", "vel"), 3)
            self.assertEqual(read_register(self.motor, self.bus, 21), 25.0)
        with Emulator(*emulated("1:0x11"), "--fault", "ignore-writes"):
            with self.assertRaises(MotorError) as caught:
                write_register(self.motor, self.bus, "timeout", 7)
            self.assertEqual(str(caught.exception), "motor 0x01: register 9: wrote 7, motor reports 0")

    def test_refusals_say_what_was_wrong_and_which_motor(self):
        cases = [
            (("p_max", float("inf")), ValueError, "value inf is not a finite number for register 21"),
            (("p_max", 1e39), ValueError, "value 1e+39 is not a finite number for register 21"),
            (("timeout", 2**32), ValueError,
             "value 4294967296 is not a number from 0 to 0xFFFFFFFF for register 9"),
            (("timeout", -1), ValueError,
             "value -1 is not a number from 0 to 0xFFFFFFFF for register 9"),
            (("control_mode", "fast"), ValueError,
             "value 'fast' is not one of mit, pos_vel, vel, force_pos (or 1 to 4) for register 10"),
            (("t_max", 1e30), ValueError, "value 1e+30 is not a number up to 400 for register 23; "
             "no model's range is more than half that, and MIT values scaled to a wider range "
             "lose their precision"),
            # Motor 1 answering at 0x101 would take its answers for POS_VEL commands.
            (("master_id", 0x101), ValueError, "value 257 is not a master id other than the "
             "motor's command ids 0x001, 0x101, 0x201, 0x301 for register 7; the motor would take "
             "its own answers for commands"),
            (("motor_id", "0x711"), ValueError, "value '0x711' is not a motor id whose command ids "
             "(0x711, 0x011, 0x111, 0x211) leave out its master id 0x011 for register 8; the "
             "motor would take its own answers for commands"),
            (("speed", 1), ValueError, "register 'speed' is neither a register name nor a number "
             "from 0 to 255; the names: " + NAMES),
            ((13, 1), MotorError, "motor 0x01: register 13 is read-only"),
            ((5, 1), MotorError, "motor 0x01: register 5 is not in the Damiao register table"),
        ]
        for (register, value), error, text in cases:
            with self.subTest(text), self.assertRaises(error) as caught:
                write_register(self.motor, self.bus, register, value)
            self.assertEqual(str(caught.exception), text)
        with self.assertRaises(ValueError) as caught:
            read_register(self.motor, self.bus, "pmax")
        self.assertEqual(str(caught.exception), "register 'pmax' is neither a register name nor a "
                         "number from 0 to 255; the names: " + NAMES)
        with self.assertRaises(MotorError) as caught:
            read_register(Damiao(0x7A, 0x7B, timeout_ms=5), self.bus, "p_max")
        self.assertEqual((caught.exception.motor_id, caught.exception.text), (0x7A, TIMEOUT_TEXT))

    def test_a_register_read_waits_for_the_cycle_that_holds_the_bus(self):
        # Nobody answers the group's motor, so each cycle holds the bus for its
        # whole 100 ms after its command. A read of another thread that takes
        # the bus lock sends its request only after a cycle has ended; one that
        # did not would send it inside a cycle, within 80 ms of the command,
        # nearly every time (and might lose its answer to the cycle).
        group = MotorGroup([Damiao(0x7A, 0x7B)], self.bus, timeout_ms=100)
        stop = threading.Event()
        cycling = threading.Thread(target=lambda: [group.cycle([MitSetpoint()])
                                                   for _ in iter(stop.is_set, True)])
        with Emulator(*emulated("1:0x11")), Capture() as seen:
            cycling.start()
            try:
                for _ in range(6):
                    time.sleep(0.03)
                    self.assertEqual(read_register(self.motor, self.bus, "master_id"), 0x11)
            finally:
                stop.set()
                cycling.join()
            frames = seen.timed_frames()
        commands = [at for frame, at in frames if frame.can_id == 0x7A]
        requests = [at for frame, at in frames if frame.can_id == 0x7FF]
        since_command = [request - max(at for at in commands if at <= request)
                         for request in requests if commands[0] <= request]
        self.assertTrue(since_command)
        self.assertGreaterEqual(min(since_command), 0.08, since_command)

    def test_switches_to_each_of_the_four_modes_and_verifies(self):
        with Emulator(*emulated("1:0x11")):
            for mode in ["pos_vel", 3, "FORCE_POS", "mit"]:
                self.assertIsNone(set_control_mode(self.motor, self.bus, mode))
                expected = {"pos_vel": 2, 3: 3, "FORCE_POS": 4, "mit": 1}[mode]
                self.assertEqual(read_register(self.motor, self.bus, "control_mode"), expected)
        with Emulator(*emulated("1:0x11"), "--fault", "ignore-writes"):
            with self.assertRaises(MotorError) as caught:
                set_control_mode(self.motor, self.bus, "vel")
            self.assertEqual(caught.exception.text,
                             "control mode verification failed: wrote 3, motor reports 1")
        for mode in (0, 5):
            with self.assertRaises(ValueError):
                set_control_mode(self.motor, self.bus, mode)


if __name__ == "__main__":
    unittest.main()
