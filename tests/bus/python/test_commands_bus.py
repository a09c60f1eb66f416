"""Motor commands end to end on the virtual bus, against the emulator, a
scripted responder and an independent capture socket."""

import gc
import sys
import time
import unittest

from axiolink import ControlSetpoint, Damiao, MitLimits, MitSetpoint, MotorState

from bus_support import ANY_REPLY, REPLY_MS, BusTestCase, Emulator, Frame, Responder

TIMEOUT_TEXT = "transport error: timeout waiting for frame"


class CommandFrameTest(BusTestCase):
    def test_special_commands(self):
        motor = Damiao(1, 0x11, timeout_ms=REPLY_MS)
        codes = {"enable": "FC", "disable": "FD", "set_zero": "FE", "clear_error": "FB"}
        with Responder({0x001: [Frame(0x011, ANY_REPLY)]}):
            for name, code in codes.items():
                with self.subTest(name):
                    state = getattr(motor, name)(self.bus)
                    self.assertIs(type(state), MotorState)
                    self.assertEqual([str(f) for f in self.capture.frames()],
                                     [f"001#FFFFFFFFFFFFFF{code}", "011#117FFF7FF7FF1A1C"])

    def test_mit_frames_match_the_worked_examples(self):
        motor = Damiao(1, 0x11, timeout_ms=REPLY_MS)
        examples = [
            (MitSetpoint(), "7FFF7FF0000007FF"),
            (MitSetpoint(1.0, -2.0, 20.0, 0.5, 0.25), "8A3C7770A3199832"),
            (MitSetpoint(12.5, 30, 500, 5, 10), "FFFFFFFFFFFFFFFF"),
            (MitSetpoint(-100, 100, -1, 99, -10), "0000FFF000FFF000"),
        ]
        with Responder({0x001: [Frame(0x011, ANY_REPLY)]}):
            for setpoint, data in examples:
                with self.subTest(data):
                    motor.mit_control(self.bus, setpoint)
                    self.assertEqual(self.sent_by_us(), [f"001#{data}"])

    def test_ids_are_cut_to_11_bits(self):
        motor = Damiao(0x801, 0x811)
        self.assertEqual(repr(motor), "Damiao(motor_id=0x801, master_id=0x811)")
        with Responder({0x001: [Frame(0x011, ANY_REPLY)]}):
            motor.enable(self.bus)
        self.assertEqual([str(f) for f in self.capture.frames()],
                         ["001#FFFFFFFFFFFFFFFC", "011#117FFF7FF7FF1A1C"])


class FeedbackDecodingTest(BusTestCase):
    CASES = [
        ("117FFF7FF7FF1A1C", (1, 1, -0.00019073486328125, -0.0073261260986328125,
                              -0.0024423599243164062, 26, 28),
         "MotorState(motor_id=1, error=1, position=-0.0002, velocity=-0.0073, torque=-0.0024, "
         "t_mos=26, t_rotor=28)"),
        ("0100000000000000", (1, 0, -12.5, -30.0, -10.0, 0, 0),
         "MotorState(motor_id=1, error=0, position=-12.5000, velocity=-30.0000, "
         "torque=-10.0000, t_mos=0, t_rotor=0)"),
        ("01FFFFFFFFFF0000", (1, 0, 12.5, 30.0, 10.0, 0, 0),
         "MotorState(motor_id=1, error=0, position=12.5000, velocity=30.0000, torque=10.0000, "
         "t_mos=0, t_rotor=0)"),
        ("F580008008 00FFFF".replace(" ", ""),
         (5, 15, 0.00019073486328125, 0.0073261260986328125, 0.0024423599243164062, 255, 255),
         "MotorState(motor_id=5, error=15, position=0.0002, velocity=0.0073, torque=0.0024, "
         "t_mos=255, t_rotor=255)"),
    ]

    def test_replies_decode_as_in_the_worked_examples(self):
        motor = Damiao(1, 0x11, timeout_ms=REPLY_MS)
        fields = ("motor_id", "error", "position", "velocity", "torque", "t_mos", "t_rotor")
        for data, expected, text in self.CASES:
            with self.subTest(data), Responder({0x001: [Frame(0x011, bytes.fromhex(data))]}):
                state = motor.enable(self.bus)
                self.assertEqual(tuple(getattr(state, name) for name in fields), expected)
                self.assertEqual(repr(state), text)
                self.assertEqual(str(state), text)
                with self.assertRaises(AttributeError):
                    state.position = 0.0

    def test_each_call_returns_a_new_object(self):
        motor = Damiao(1, 0x11, timeout_ms=REPLY_MS)
        with Responder({0x001: [Frame(0x011, ANY_REPLY)]}):
            first, second = motor.enable(self.bus), motor.enable(self.bus)
        self.assertIsNot(first, second)
        self.assertNotEqual(first, second)
        self.assertEqual(repr(first), repr(second))


class CostTest(BusTestCase):
    """A command creates no Python object but its result, and failures leak nothing."""

    def test_a_command_allocates_only_its_result(self):
        motor, setpoint = Damiao(1, 0x11, timeout_ms=REPLY_MS), MitSetpoint(q=1.0, kp=20.0, kd=0.5)
        with Emulator("--motor", "1:0x11"):
            for call in [lambda: motor.mit_control(self.bus, setpoint), lambda: motor.enable(self.bus)]:
                # Small ints and ready iterators allocate nothing; the first
                # pass takes any one-time cost of the interpreter.
                warm, measured = [None] * 200, [None] * 200
                warm_loop, measured_loop = iter(range(200)), iter(range(200))
                for i in warm_loop:
                    warm[i] = call()
                # The collector stays off while counting: garbage of earlier
                # tests that it would free meanwhile is not this command's.
                # (No collection first: a full one empties the free lists,
                # which the counted commands would then refill.)
                gc.disable()
                try:
                    before = sys.getallocatedblocks()
                    counting_cost = sys.getallocatedblocks() - before  # the int `before` itself
                    for i in measured_loop:
                        measured[i] = call()
                    grown = sys.getallocatedblocks() - before - counting_cost
                finally:
                    gc.enable()
                self.assertEqual(grown, 200)
                self.assertEqual(len({id(result) for result in measured}), 200)

    def test_failed_commands_leak_nothing(self):
        motor = Damiao(0x7E, 0x7F, timeout_ms=0)
        def fail_many(count):
            for _ in range(count):
                try:
                    motor.enable(self.bus)
                except RuntimeError:
                    pass
        fail_many(20)
        before = sys.getallocatedblocks()
        fail_many(500)
        self.assertLessEqual(sys.getallocatedblocks() - before, 5)


class MatchingTest(BusTestCase):
    def test_other_ids_and_extended_frames_are_skipped_and_the_first_match_taken(self):
        replies = [Frame(0x012, bytes(8)), Frame(0x011, bytes.fromhex("0100000000000000"), extended=True),
                   Frame(0x011, bytes.fromhex("01FFFFFFFFFF0000")), Frame(0x011, bytes(8))]
        with Responder({0x001: replies}):
            state = Damiao(1, 0x11, timeout_ms=REPLY_MS).enable(self.bus)
        self.assertEqual(state.position, 12.5)

    def test_emulator_noise_and_extended_replies(self):
        # Matching, not timing: a slow machine may take longer than the
        # default 20 ms to put the eight noise frames before the reply.
        with Emulator("--motor", "1:0x11", "--fault", "noise=8"):
            self.assertEqual(Damiao(1, 0x11, timeout_ms=1000).enable(self.bus).motor_id, 1)
        with Emulator("--motor", "1:0x11", "--fault", "extended-reply"):
            with self.assertRaises(RuntimeError) as caught:
                Damiao(1, 0x11).enable(self.bus)
        self.assertEqual(str(caught.exception), TIMEOUT_TEXT)

    def test_a_late_reply_is_taken_by_the_next_command(self):
        motor = Damiao(1, 0x11, timeout_ms=10)
        with Emulator("--motor", "1:0x11", "--fault", "delay=40"):
            with self.assertRaises(RuntimeError):
                motor.enable(self.bus)
            time.sleep(0.1)  # the late reply is now waiting in the socket
            # Its own answer comes 40 ms late, past its 10 ms: only the
            # waiting one can make this call succeed.
            state = motor.disable(self.bus)
        self.assertEqual(state.error, 1)  # the enable's answer: the motor was enabled

    def test_two_motors_share_one_bus(self):
        with Emulator("--motor", "1:0x11", "--motor", "2:0x12:dm4340"):
            first = Damiao(1, 0x11, timeout_ms=REPLY_MS)
            second = Damiao(2, 0x12, MitLimits.dm4340(), timeout_ms=REPLY_MS)
            for _ in range(20):
                self.assertEqual(first.enable(self.bus).motor_id, 1)
                self.assertEqual(second.mit_control(self.bus, MitSetpoint(kd=1.0)).motor_id, 2)


class FailureTest(BusTestCase):
    def test_silent_motor_times_out_and_the_bus_stays_usable(self):
        with Emulator("--motor", "1:0x11", "--fault", "silent"):
            started = time.monotonic()
            with self.assertRaises(RuntimeError) as caught:
                Damiao(1, 0x11).enable(self.bus)
            elapsed = time.monotonic() - started
        self.assertEqual(caught.exception.args, (TIMEOUT_TEXT,))
        self.assertNotIsInstance(caught.exception, OSError)
        self.assertGreaterEqual(elapsed, 0.020)
        self.assertLess(elapsed, 0.5)
        with Emulator("--motor", "1:0x11"):
            self.assertEqual(Damiao(1, 0x11, timeout_ms=REPLY_MS).enable(self.bus).motor_id, 1)

    def test_argument_errors_send_nothing(self):
        motor = Damiao(1, 0x11)
        calls = [lambda: motor.enable("vcan0"),
                 lambda: motor.mit_control(self.bus, ControlSetpoint.mit(MitSetpoint())),
                 lambda: motor.mit_control(self.bus),
                 lambda: motor.disable(bus=self.bus, extra=1)]
        for call in calls:
            with self.assertRaises(TypeError):
                call()
        self.assertEqual(self.capture.frames(), [])

    def test_invalid_limits_send_nothing(self):
        cases = [(MitLimits(kd_max=-0.5), "invalid MIT limit: kd_max is -0.5, must be >= 0 and not NaN"),
                 (MitLimits(p_max=float("nan"), v_max=-1),
                  "invalid MIT limit: p_max is NaN, must be >= 0 and not NaN")]
        for limits, text in cases:
            with self.subTest(text), self.assertRaises(RuntimeError) as caught:
                Damiao(1, 0x11, limits).mit_control(self.bus, MitSetpoint())
            self.assertEqual(str(caught.exception), text)
        self.assertEqual(self.capture.frames(), [])
        with Responder({0x001: [Frame(0x011, ANY_REPLY)]}):
            Damiao(1, 0x11, MitLimits(kp_max=-0.0), timeout_ms=REPLY_MS).mit_control(self.bus, MitSetpoint())

    def test_a_short_reply_is_reported(self):
        with Responder({0x001: [Frame(0x011, bytes([1, 2, 3]))]}):
            with self.assertRaises(RuntimeError) as caught:
                Damiao(1, 0x11, timeout_ms=REPLY_MS).enable(self.bus)
        self.assertEqual(str(caught.exception),
                         "malformed feedback: expected 8 data bytes, got 3: [1, 2, 3]")
        with Emulator("--motor", "1:0x11", "--fault", "short-reply=7"):
            with self.assertRaises(RuntimeError) as caught:
                Damiao(1, 0x11, timeout_ms=REPLY_MS).enable(self.bus)
        self.assertTrue(str(caught.exception).startswith("malformed feedback: expected 8 data bytes, got 7: "))


if __name__ == "__main__":
    unittest.main()
