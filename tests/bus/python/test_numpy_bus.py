"""NumPy arrays in and out of axiolink_ext on the virtual bus, against the
motor emulator: float64 arrays as setpoints and targets reach the wire as
asked, other arrays are taken as sequences of numbers, receive times fill an
int64 array, and a servo loop's states are read through NumPy without a copy.

Runs where the interpreter can import NumPy. The test build marks the
interpreters that could at configure time (AXIOLINK_TEST_NUMPY=required):
there a failing import is a failure, not a skip."""

import os
import sys
import time
import unittest

from axiolink import Damiao, MitLimits, MitSetpoint, SocketCanTransport
from axiolink_ext import MotorError, MotorGroup, ServoLoop

from bus_support import IFACE, REPLY_MS, Capture, Emulator

if hasattr(sys, "gettotalrefcount"):
    # A debug interpreter (the reference-leak hunt): NumPy is built for the
    # release one, and its own calls move a debug build's reference total
    # (np.array() by +5 a call, a memoryview of an array by -1), which would
    # read as leaks of whatever runs beside them.
    np, missing = None, "NumPy's reference counts are a release build's, not this debug one's"
else:
    try:
        import numpy as np
    except ImportError as error:
        if os.environ.get("AXIOLINK_TEST_NUMPY") == "required":
            raise
        np, missing = None, f"NumPy cannot be imported by this interpreter ({error})"
    else:
        missing = ""

MOTORS = (1, 2, 3)
LIMITS = MitLimits.dm4310()


def emulated(*ids):
    return [arg for i in ids for arg in ("--motor", f"{i}:0x{0x10 + i:x}")]


def arm(bus):
    return MotorGroup([Damiao(i, 0x10 + i, LIMITS, timeout_ms=REPLY_MS) for i in MOTORS], bus,
                      timeout_ms=REPLY_MS)


def decoded(data):
    """q, kp and tau of an MIT command frame, and the step of each field."""
    q_raw = (data[0] << 8) | data[1]
    kp_raw = ((data[3] & 0xF) << 8) | data[4]
    tau_raw = ((data[6] & 0xF) << 8) | data[7]
    q = q_raw / 0xFFFF * 2 * LIMITS.p_max - LIMITS.p_max
    kp = kp_raw / 0xFFF * LIMITS.kp_max
    tau = tau_raw / 0xFFF * 2 * LIMITS.t_max - LIMITS.t_max
    steps = (2 * LIMITS.p_max / 0xFFFF, LIMITS.kp_max / 0xFFF, 2 * LIMITS.t_max / 0xFFF)
    return (q, kp, tau), steps


def last_commands(capture):
    """Each motor's last MIT command until now, decoded, in the group's order
    (a running loop never lets the bus fall silent)."""
    last = {}
    for frame in capture.frames(until=time.time()):
        if frame.can_id in MOTORS and frame.data[:7] != b"\xff" * 7:
            last[frame.can_id] = decoded(frame.data)
    return [last[i] for i in MOTORS]


@unittest.skipIf(np is None, missing)
class NumpyTest(unittest.TestCase):
    def setUp(self):
        self.bus = SocketCanTransport(IFACE)

    def assert_on_wire(self, commands, asked):
        """`commands` as last_commands gives them carry `asked`, one (q, kp,
        tau) per motor, to within one step of each field."""
        for motor, ((values, steps), wanted) in zip(MOTORS, zip(commands, asked)):
            for name, value, step, want in zip(("q", "kp", "tau"), values, steps, wanted):
                self.assertAlmostEqual(value, float(want), delta=step, msg=f"motor {motor} {name}")

    def test_group_cycle_takes_array_values_and_fills_int64_times(self):
        with Emulator(*emulated(*MOTORS)), Capture() as capture:
            group = arm(self.bus)
            for state in group.enable():
                self.assertNotIsInstance(state, MotorError)
            try:
                q = np.array([0.25, -0.5, 1.0])
                kp = np.array([1.0, 2.5, 4.0])
                tau = np.array([0.0, -0.3, 0.6], dtype=np.float32)  # an element of any dtype
                times = np.zeros(len(MOTORS), dtype=np.int64)
                before = time.monotonic_ns()
                results = group.cycle(
                    [MitSetpoint(q=q[i], kp=kp[i], kd=0.5, tau=tau[i]) for i in range(3)],
                    times=times)
                after = time.monotonic_ns()
                sent = last_commands(capture)
                refused = {}
                for name, wrong in (("float64", np.zeros(3)),
                                    ("strided", np.zeros(6, dtype=np.int64)[::2]),
                                    ("read-only", np.zeros(3, dtype=np.int64)),
                                    ("two-dimensional", np.zeros((3, 1), dtype=np.int64))):
                    wrong.flags.writeable = name != "read-only"
                    with self.assertRaises(TypeError) as caught:
                        group.cycle([MitSetpoint(kd=0.5)] * 3, times=wrong)
                    refused[name] = str(caught.exception)
            finally:
                group.disable()
        for result in results:
            self.assertNotIsInstance(result, MotorError)
        self.assert_on_wire(sent, zip(q, kp, tau))
        for received in times.tolist():
            self.assertTrue(before <= received <= after, (before, times, after))
        self.assertEqual(refused, {
            "float64": "times: expected one-dimensional signed 64-bit integers (format 'q'), "
                       "got format 'd'",
            "strided": "times: expected a writable buffer of 64-bit integers or a list, got "
                       "'numpy.ndarray'",
            "read-only": "times: expected a writable buffer of 64-bit integers or a list, got "
                         "'numpy.ndarray'",
            "two-dimensional": "times: expected one-dimensional signed 64-bit integers (format "
                               f"'q'), got format '{memoryview(times).format}'"})

    def test_servo_loop_targets_from_arrays_and_states_without_a_copy(self):
        with Emulator(*emulated(*MOTORS)), Capture() as capture:
            with ServoLoop(arm(self.bus), rate_hz=200, stop_damping_ms=50) as loop:
                states = loop.states()
                q = np.asarray(states.q)
                # The array is the array('d')'s own memory, not a copy of it.
                self.assertEqual(q.dtype, np.float64)
                self.assertEqual(q.ctypes.data, states.q.buffer_info()[0])
                self.assertTrue(np.shares_memory(q, np.frombuffer(states.q)))
                self.assertEqual(np.asarray(states.status).dtype, np.uint8)
                home = q.copy()
                # Within what the limiter covers in a few cycles: the
                # commanded position then is the target itself.
                cases = [
                    ("float64", np.float64, lambda values: np.array(values)),
                    ("float32", np.float32, lambda values: np.array(values, dtype=np.float32)),
                    ("strided", np.float64, lambda values: np.repeat(values, 2)[::2]),
                    ("big-endian", np.float64, lambda values: np.array(values, dtype=">f8")),
                ]
                for offset, (name, dtype, made) in enumerate(cases, start=1):
                    asked = (home + 0.01 * offset, [1.0 + offset, 2.0, 3.0], [0.1 * offset, 0.0, -0.2])
                    given = [made(np.asarray(values, dtype=dtype)) for values in asked]
                    loop.set_targets(q=given[0], kp=given[1], tau=given[2])
                    time.sleep(0.3)
                    with self.subTest(name):
                        self.assertTrue(loop.running, loop.stop_reason)
                        self.assert_on_wire(last_commands(capture),
                                            zip(*(values.astype(np.float64) for values in given)))
                with self.assertRaises(ValueError) as caught:
                    loop.set_targets(kp=np.ones(2))
                self.assertEqual(str(caught.exception),
                                 "kp: expected one for every motor (3), got 2")


if __name__ == "__main__":
    unittest.main()
