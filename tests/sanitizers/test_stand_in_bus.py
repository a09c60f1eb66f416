"""The whole command path (binding, driver, transport, frame conversions) on
a stand-in bus, for the sanitizer build on a host without CAN.

Runs with bench/exchange/null_bus.c preloaded: every CAN socket is fake, any
send succeeds and every read returns at once the same classic frame at id
0x011, data 11 80 12 7F E8 05 1E 20."""

import struct
import threading
import time
import unittest

from axiolink import ControlSetpoint, Damiao, MitLimits, MitSetpoint, SocketCanTransport


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


if __name__ == "__main__":
    unittest.main()
