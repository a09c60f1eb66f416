"""Mode frames and control-mode switching on the virtual bus."""

import time
import unittest

from axiolink import ControlSetpoint, Damiao, MitSetpoint

from bus_support import ANY_REPLY, REPLY_MS, BusTestCase, Emulator, Frame, Responder

READ_MODE = "7FF#0100330A00000000"


class ControlFrameTest(BusTestCase):
    def test_mode_frames_match_the_worked_examples(self):
        cases = [
            (1, ControlSetpoint.pos_vel(1.0, 2.0), "101#0000803F00000040"),
            (1, ControlSetpoint.vel(-3.5), "201#000060C000000000"),
            (1, ControlSetpoint.force_pos(0.5, 12.345, 0.5), "301#0000003FD2048813"),
            (1, ControlSetpoint.force_pos(0.0, 150.0, -0.2), "301#0000000010270000"),
            (1, ControlSetpoint.force_pos(0.0, float("nan"), 2.0), "301#0000000000001027"),
            (1, ControlSetpoint.mit(MitSetpoint()), "001#7FFF7FF0000007FF"),
            (0x701, ControlSetpoint.vel(-3.5), "101#000060C000000000"),
        ]
        triggers = {0x001: [Frame(0x011, ANY_REPLY)], 0x101: [Frame(0x011, ANY_REPLY)],
                    0x201: [Frame(0x011, ANY_REPLY)], 0x301: [Frame(0x011, ANY_REPLY)]}
        with Responder(triggers):
            for motor_id, setpoint, frame in cases:
                with self.subTest(frame):
                    state = Damiao(motor_id, 0x11, timeout_ms=REPLY_MS).control(self.bus, setpoint)
                    self.assertEqual(state.t_mos, 26)
                    self.assertEqual(self.sent_by_us(), [frame])

    def test_control_mit_sends_the_same_frame_as_mit_control(self):
        motor = Damiao(1, 0x11, timeout_ms=REPLY_MS)
        setpoint = MitSetpoint(1.0, -2.0, 20.0, 0.5, 0.25)
        with Responder({0x001: [Frame(0x011, ANY_REPLY)]}):
            motor.mit_control(self.bus, setpoint)
            motor.control(self.bus, ControlSetpoint.mit(setpoint))
        self.assertEqual(self.sent_by_us(), ["001#8A3C7770A3199832"] * 2)

    def test_each_mode_against_the_emulator(self):
        setpoints = {1: ControlSetpoint.mit(MitSetpoint(q=1.0, kp=20, kd=1)),
                     2: ControlSetpoint.pos_vel(1.0, 2.0), 3: ControlSetpoint.vel(-3.5),
                     4: ControlSetpoint.force_pos(0.5, 12.345, 0.5)}
        for mode, setpoint in setpoints.items():
            with self.subTest(mode), Emulator("--motor", f"1:0x11:dm4310:{mode}"):
                motor = Damiao(1, 0x11, timeout_ms=REPLY_MS)
                motor.enable(self.bus)
                self.assertEqual(motor.control(self.bus, setpoint).motor_id, 1)

    def test_a_setpoint_of_another_mode_is_sent_and_times_out(self):
        with Emulator("--motor", "1:0x11:dm4310:1"):
            started = time.monotonic()
            with self.assertRaises(RuntimeError) as caught:
                Damiao(1, 0x11, timeout_ms=REPLY_MS).control(self.bus, ControlSetpoint.vel(1.0))
            elapsed = time.monotonic() - started
        self.assertEqual(str(caught.exception), "transport error: timeout waiting for frame")
        self.assertGreaterEqual(elapsed, 0.020)
        self.assertIn("201#0000803F00000000", self.sent_by_us())

    def test_argument_errors(self):
        motor = Damiao(1, 0x11, timeout_ms=REPLY_MS)
        with self.assertRaises(TypeError) as caught:
            motor.control(self.bus, MitSetpoint())
        self.assertEqual(str(caught.exception),
                         "argument 'setpoint': 'MitSetpoint' object cannot be converted to 'ControlSetpoint'")
        with self.assertRaises(TypeError) as caught:
            motor.control(self.bus)
        self.assertEqual(str(caught.exception),
                         "Damiao.control() missing 1 required positional argument: 'setpoint'")
        with self.assertRaises(TypeError):
            motor.ensure_mit_mode(self.bus, 1)
        self.assertEqual(self.capture.frames(), [])


class EnsureMitModeTest(BusTestCase):
    def test_already_in_mit_mode_reads_once_and_writes_nothing(self):
        with Emulator("--motor", "1:0x11:dm4310:1"):
            self.assertIsNone(Damiao(1, 0x11, timeout_ms=REPLY_MS).ensure_mit_mode(self.bus))
        self.assertEqual(self.sent_by_us(), [READ_MODE])

    def test_switching_from_pos_vel(self):
        motor = Damiao(1, 0x11, timeout_ms=REPLY_MS)
        with Emulator("--motor", "1:0x11:dm4310:2"):
            started = time.monotonic()
            self.assertIsNone(motor.ensure_mit_mode(bus=self.bus))
            self.assertGreaterEqual(time.monotonic() - started, 0.100)
            self.assertEqual(motor.mit_control(self.bus, MitSetpoint()).motor_id, 1)
        sent = self.sent_by_us()
        self.assertEqual(sent[:3], [READ_MODE, "7FF#0100550A01000000", READ_MODE])

    def test_pause_between_write_and_read_back(self):
        with Emulator("--motor", "1:0x11:dm4310:2"):
            Damiao(1, 0x11, timeout_ms=REPLY_MS).ensure_mit_mode(self.bus)
        ours = [(str(frame), stamp) for frame, stamp in self.capture.timed_frames()
                if frame.can_id == 0x7FF]
        self.assertEqual([text for text, _ in ours], [READ_MODE, "7FF#0100550A01000000", READ_MODE])
        self.assertGreaterEqual(ours[2][1] - ours[1][1], 0.100)

    def test_verification_failures(self):
        cases = [(("--fault", "ignore-writes"), "control mode verification failed: wrote 1, motor reports 2"),
                 (("--fault", "report-mode=257"), "control mode verification failed: wrote 1, motor reports 1")]
        for fault, text in cases:
            with self.subTest(text), Emulator("--motor", "1:0x11:dm4310:2", *fault):
                with self.assertRaises(RuntimeError) as caught:
                    Damiao(1, 0x11, timeout_ms=REPLY_MS).ensure_mit_mode(self.bus)
                self.assertEqual(caught.exception.args, (text,))

    def test_silent_motor_times_out_and_writes_nothing(self):
        started = time.monotonic()
        with self.assertRaises(RuntimeError) as caught:
            Damiao(1, 0x11, timeout_ms=30).ensure_mit_mode(self.bus)
        elapsed = time.monotonic() - started
        self.assertEqual(str(caught.exception), "transport error: timeout waiting for frame")
        # It waited for the answer, not failed at once: the kernel counts the
        # socket's time-out in scheduler ticks from a tick already under way,
        # so the wait may end up to a tick (10 ms at 100 Hz) before 30 ms.
        self.assertGreaterEqual(elapsed, 0.030 - 0.010)
        self.assertLess(elapsed, 0.5)
        self.assertEqual(self.sent_by_us(), [READ_MODE])

    def test_replies_are_matched_by_their_data(self):
        faults = [("--fault", "register-reply-id=0x123"), ("--fault", "register-reply-motor-id=0x55"),
                  ("--fault", "register-junk"), ("--fault", "noise=5")]
        for fault in faults:
            with self.subTest(fault), Emulator("--motor", "1:0x11:dm4310:2", *fault):
                self.assertIsNone(Damiao(1, 0x11, timeout_ms=REPLY_MS).ensure_mit_mode(self.bus))


if __name__ == "__main__":
    unittest.main()
