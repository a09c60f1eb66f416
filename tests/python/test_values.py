"""MitLimits, MitSetpoint, mit_setpoint and ControlSetpoint as Python values."""

import math
import struct
import unittest

from axiolink import ControlSetpoint, MitLimits, MitSetpoint, mit_setpoint

LIMIT_FIELDS = ["p_max", "v_max", "kp_max", "kd_max", "t_max"]
SETPOINT_FIELDS = ["q", "dq", "kp", "kd", "tau"]

# name -> (p_max, v_max, kp_max, kd_max, t_max), in the order the class lists them
PRESETS = {
    "dm3507": (12.566, 50.0, 500.0, 5.0, 5.0),
    "dm4310": (12.5, 30.0, 500.0, 5.0, 10.0),
    "dm4310p": (12.5, 50.0, 500.0, 5.0, 10.0),
    "dm4340": (12.5, 10.0, 500.0, 5.0, 28.0),
    "dm4340p": (12.5, 10.0, 500.0, 5.0, 28.0),
    "dm6006": (12.5, 45.0, 500.0, 5.0, 20.0),
    "dm6248p": (12.566, 20.0, 500.0, 5.0, 120.0),
    "dm8006": (12.5, 45.0, 500.0, 5.0, 40.0),
    "dm8009": (12.5, 45.0, 500.0, 5.0, 54.0),
    "dm10010": (12.5, 20.0, 500.0, 5.0, 200.0),
    "dm10010l": (12.5, 25.0, 500.0, 5.0, 200.0),
    "dmg6215": (12.5, 45.0, 500.0, 5.0, 10.0),
    "dmh3510": (12.5, 280.0, 500.0, 5.0, 1.0),
    "dmh6220": (12.5, 45.0, 500.0, 5.0, 10.0),
    "dmjh11": (12.5, 10.0, 500.0, 5.0, 12.0),
}


def f32(value):
    """The single-precision value nearest to `value`, widened back."""
    return struct.unpack("<f", struct.pack("<f", value))[0]


def values(obj, fields):
    return tuple(getattr(obj, name) for name in fields)


class MitLimitsTest(unittest.TestCase):
    def test_defaults_equal_dm4310_but_are_distinct_objects(self):
        self.assertEqual(values(MitLimits(), LIMIT_FIELDS), (12.5, 30.0, 500.0, 5.0, 10.0))
        self.assertEqual(values(MitLimits.dm4310(), LIMIT_FIELDS), values(MitLimits(), LIMIT_FIELDS))
        self.assertFalse(MitLimits() == MitLimits.dm4310())
        self.assertIsNot(MitLimits.dm4310(), MitLimits.dm4310())

    def test_presets_in_order_with_their_values(self):
        listed = [name for name, member in vars(MitLimits).items() if isinstance(member, staticmethod)
                  or (callable(member) and name.startswith("dm"))]
        self.assertEqual(listed, list(PRESETS))
        for name, row in PRESETS.items():
            preset = getattr(MitLimits, name)
            with self.subTest(name):
                self.assertEqual(values(preset(), LIMIT_FIELDS), tuple(f32(v) for v in row))
                self.assertEqual(preset.__text_signature__, "()")
                self.assertIsNone(preset.__doc__)
                self.assertEqual(values(getattr(MitLimits(), name)(), LIMIT_FIELDS),
                                 values(preset(), LIMIT_FIELDS))
                with self.assertRaises(TypeError):
                    preset(1)

    def test_12_566_is_the_nearest_float(self):
        self.assertEqual(MitLimits.dm3507().p_max, 12.565999984741211)
        self.assertEqual(struct.pack(">f", MitLimits.dm3507().p_max).hex(), "41490e56")

    def test_partial_arguments_keep_defaults(self):
        self.assertEqual(values(MitLimits(1), LIMIT_FIELDS), (1.0, 30.0, 500.0, 5.0, 10.0))
        self.assertEqual(MitLimits(t_max=True).t_max, 1.0)
        self.assertEqual(values(MitLimits(1, 2, 3, 4, 5), LIMIT_FIELDS), (1.0, 2.0, 3.0, 4.0, 5.0))

    def test_any_float_is_stored(self):
        self.assertEqual(MitLimits(p_max=1e39).p_max, math.inf)
        self.assertTrue(math.isnan(MitLimits(p_max=float("nan")).p_max))
        self.assertEqual(MitLimits(kd_max=-0.5).kd_max, -0.5)

    def test_representations(self):
        cases = [
            (MitLimits(), "MitLimits(p_max=12.5, v_max=30, kp_max=500, kd_max=5, t_max=10)"),
            (MitLimits.dm3507(), "MitLimits(p_max=12.566, v_max=50, kp_max=500, kd_max=5, t_max=5)"),
            (MitLimits(p_max=1e39, v_max=float("nan"), kp_max=-1e39, kd_max=1e-7, t_max=1e10),
             "MitLimits(p_max=inf, v_max=NaN, kp_max=-inf, kd_max=0.0000001, t_max=10000000000)"),
        ]
        for obj, text in cases:
            with self.subTest(text):
                self.assertEqual(repr(obj), text)
                self.assertEqual(str(obj), text)


class MitSetpointTest(unittest.TestCase):
    def test_defaults_and_precision(self):
        self.assertEqual(values(MitSetpoint(), SETPOINT_FIELDS), (0.0,) * 5)
        self.assertEqual(MitSetpoint(q=0.1).q, 0.10000000149011612)
        self.assertEqual(repr(MitSetpoint(q=0.1)), "MitSetpoint(q=0.1, dq=0, kp=0, kd=0, tau=0)")

    def test_representations(self):
        cases = [
            (MitSetpoint(), "MitSetpoint(q=0, dq=0, kp=0, kd=0, tau=0)"),
            (MitSetpoint(q=-0.0), "MitSetpoint(q=-0, dq=0, kp=0, kd=0, tau=0)"),
            (MitSetpoint(1.0, -2.0, 20.0, 0.5, 0.25),
             "MitSetpoint(q=1, dq=-2, kp=20, kd=0.5, tau=0.25)"),
            (MitSetpoint(q=-math.inf, dq=float("-nan")),
             "MitSetpoint(q=-inf, dq=NaN, kp=0, kd=0, tau=0)"),
        ]
        for obj, text in cases:
            with self.subTest(text):
                self.assertEqual(repr(obj), text)

    def test_mit_setpoint_function_matches_the_constructor(self):
        self.assertEqual(values(mit_setpoint(kp=10, kd=0.5), SETPOINT_FIELDS),
                         values(MitSetpoint(0.0, 0.0, 10.0, 0.5, 0.0), SETPOINT_FIELDS))
        self.assertEqual(values(mit_setpoint(1, 2, 3, 4, 5), SETPOINT_FIELDS),
                         (1.0, 2.0, 3.0, 4.0, 5.0))
        self.assertEqual(type(mit_setpoint()), MitSetpoint)
        self.assertEqual(mit_setpoint.__doc__,
                         "Build a `MitSetpoint` (handy when keyword args are awkward).")
        self.assertEqual(mit_setpoint.__text_signature__, "(q=0.0, dq=0.0, kp=0.0, kd=0.0, tau=0.0)")

    def test_objects_with_float_and_index_are_accepted(self):
        class HasFloat:
            def __float__(self):
                return 2.5

        class HasIndex:
            def __index__(self):
                return 7

        self.assertEqual(MitSetpoint(q=HasFloat(), dq=HasIndex()).q, 2.5)
        self.assertEqual(MitSetpoint(dq=HasIndex()).dq, 7.0)


class ControlSetpointTest(unittest.TestCase):
    def test_modes(self):
        self.assertEqual(ControlSetpoint.mit(MitSetpoint()).mode, 1)
        self.assertEqual(ControlSetpoint.pos_vel(0, 0).mode, 2)
        self.assertEqual(ControlSetpoint.vel(0).mode, 3)
        self.assertEqual(ControlSetpoint.force_pos(0, 0, 0).mode, 4)

    def test_representations(self):
        cases = [
            (ControlSetpoint.vel(1.5), "ControlSetpoint.vel(1.5)"),
            (ControlSetpoint.vel(2.0), "ControlSetpoint.vel(2)"),
            (ControlSetpoint.mit(MitSetpoint(kp=20, kd=0.5)),
             "ControlSetpoint.mit(q=0, dq=0, kp=20, kd=0.5, tau=0)"),
            (ControlSetpoint.force_pos(1, 2, 0.5),
             "ControlSetpoint.force_pos(position=1, velocity_limit=2, torque_ratio=0.5)"),
            (ControlSetpoint.pos_vel(position=1.0, velocity=2.0),
             "ControlSetpoint.pos_vel(position=1, velocity=2)"),
            (ControlSetpoint.pos_vel(0.1, -math.inf), "ControlSetpoint.pos_vel(position=0.1, velocity=-inf)"),
            (ControlSetpoint.force_pos(0, 0, 2.0),
             "ControlSetpoint.force_pos(position=0, velocity_limit=0, torque_ratio=2)"),
        ]
        for obj, text in cases:
            with self.subTest(text):
                self.assertEqual(repr(obj), text)
                self.assertEqual(str(obj), text)

    def test_mit_copies_the_setpoint(self):
        setpoint = MitSetpoint(q=1.0)
        control = ControlSetpoint.mit(setpoint)
        del setpoint
        self.assertEqual(repr(control), "ControlSetpoint.mit(q=1, dq=0, kp=0, kd=0, tau=0)")

    def test_only_mode_is_exposed(self):
        with self.assertRaises(AttributeError):
            ControlSetpoint.vel(1.0).velocity
        self.assertEqual(ControlSetpoint.vel(1.0).vel(2.0).mode, 3)  # static, callable on instances

    def test_docs(self):
        docs = {
            "mit": ("(setpoint)", "MIT impedance setpoint (control mode 1)."),
            "pos_vel": ("(position, velocity)", "POS_VEL setpoint (control mode 2)."),
            "vel": ("(velocity)", "VEL setpoint (control mode 3)."),
            "force_pos": ("(position, velocity_limit, torque_ratio)",
                          "FORCE_POS setpoint (control mode 4)."),
        }
        for name, (signature, doc) in docs.items():
            method = getattr(ControlSetpoint, name)
            with self.subTest(name):
                self.assertEqual(method.__text_signature__, signature)
                self.assertEqual(method.__doc__, doc)
        self.assertEqual(ControlSetpoint.mode.__doc__,
                         "Numeric control mode (matches the value written to register 10).")


if __name__ == "__main__":
    unittest.main()
