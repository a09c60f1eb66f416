"""Argument matching and conversion errors, the same for every callable."""

import unittest

from axiolink import ControlSetpoint, Damiao, MitLimits, MitSetpoint, SocketCanTransport, mit_setpoint

D = Damiao(1, 2)

# (call, exception type, exact message)
CASES = [
    # missing arguments: one, two, three names
    (lambda: Damiao(1), TypeError, "Damiao.__new__() missing 1 required positional argument: 'master_id'"),
    (lambda: Damiao(), TypeError,
     "Damiao.__new__() missing 2 required positional arguments: 'motor_id' and 'master_id'"),
    (lambda: ControlSetpoint.force_pos(), TypeError,
     "ControlSetpoint.force_pos() missing 3 required positional arguments: "
     "'position', 'velocity_limit', and 'torque_ratio'"),
    (lambda: ControlSetpoint.pos_vel(1.0), TypeError,
     "ControlSetpoint.pos_vel() missing 1 required positional argument: 'velocity'"),
    (lambda: ControlSetpoint.force_pos(velocity_limit=1), TypeError,
     "ControlSetpoint.force_pos() missing 2 required positional arguments: 'position' and 'torque_ratio'"),
    (lambda: D.enable(), TypeError, "Damiao.enable() missing 1 required positional argument: 'bus'"),
    (lambda: D.control(1), TypeError, "Damiao.control() missing 1 required positional argument: 'setpoint'"),
    (lambda: SocketCanTransport(), TypeError,
     "SocketCanTransport.__new__() missing 1 required positional argument: 'iface'"),
    # too many positional arguments
    (lambda: MitLimits(1, 2, 3, 4, 5, 6), TypeError,
     "MitLimits.__new__() takes from 0 to 5 positional arguments but 6 were given"),
    (lambda: MitSetpoint(1, 2, 3, 4, 5, 6, 7), TypeError,
     "MitSetpoint.__new__() takes from 0 to 5 positional arguments but 7 were given"),
    (lambda: mit_setpoint(1, 2, 3, 4, 5, 6), TypeError,
     "mit_setpoint() takes from 0 to 5 positional arguments but 6 were given"),
    (lambda: Damiao(1, 2, 3, 4, 5), TypeError,
     "Damiao.__new__() takes from 2 to 4 positional arguments but 5 were given"),
    (lambda: D.ensure_mit_mode(1, 2), TypeError,
     "Damiao.ensure_mit_mode() takes 1 positional arguments but 2 were given"),
    (lambda: ControlSetpoint.vel(1, 2), TypeError,
     "ControlSetpoint.vel() takes 1 positional arguments but 2 were given"),
    (lambda: SocketCanTransport("a", "b"), TypeError,
     "SocketCanTransport.__new__() takes 1 positional arguments but 2 were given"),
    # unexpected keyword, multiple values
    (lambda: ControlSetpoint.mit(q=1.0), TypeError,
     "ControlSetpoint.mit() got an unexpected keyword argument 'q'"),
    (lambda: MitLimits(p_maxx=1), TypeError, "MitLimits.__new__() got an unexpected keyword argument 'p_maxx'"),
    (lambda: MitLimits(1, p_max=2), TypeError, "MitLimits.__new__() got multiple values for argument 'p_max'"),
    (lambda: D.mit_control(1, bus=2), TypeError, "Damiao.mit_control() got multiple values for argument 'bus'"),
    (lambda: D.disable(bus=1, iface=2), TypeError, "Damiao.disable() got an unexpected keyword argument 'iface'"),
    # a keyword that has no UTF-8 form can match no parameter
    (lambda: MitSetpoint(**{"\udcff": 1}), TypeError,
     "MitSetpoint.__new__() got an unexpected keyword argument '\udcff'"),
    (lambda: mit_setpoint(**{"q\ud800": 1}), TypeError,
     "mit_setpoint() got an unexpected keyword argument 'q\ud800'"),
    # conversions: first bad parameter in declaration order, TypeError prefixed
    (lambda: MitLimits(t_max="x", p_max="y"), TypeError, "argument 'p_max': must be real number, not str"),
    (lambda: MitLimits(p_max=None), TypeError, "argument 'p_max': must be real number, not NoneType"),
    (lambda: MitSetpoint(tau=b"1"), TypeError, "argument 'tau': must be real number, not bytes"),
    (lambda: ControlSetpoint.force_pos(0, "v", None), TypeError,
     "argument 'velocity_limit': must be real number, not str"),
    (lambda: Damiao(1.0, 2), TypeError, "argument 'motor_id': 'float' object cannot be interpreted as an integer"),
    (lambda: Damiao(1, "2"), TypeError, "argument 'master_id': 'str' object cannot be interpreted as an integer"),
    (lambda: Damiao(1, 2, timeout_ms=None), TypeError,
     "argument 'timeout_ms': 'NoneType' object cannot be interpreted as an integer"),
    (lambda: Damiao(1, 2, limits=(12.5, 30.0, 500.0, 5.0, 10.0)), TypeError,
     "argument 'limits': 'tuple' object cannot be converted to 'MitLimits'"),
    (lambda: Damiao(1, 2, limits=MitSetpoint()), TypeError,
     "argument 'limits': 'MitSetpoint' object cannot be converted to 'MitLimits'"),
    (lambda: D.enable("can0"), TypeError, "argument 'bus': 'str' object cannot be converted to 'SocketCanTransport'"),
    (lambda: D.mit_control(bus=None, setpoint=MitSetpoint()), TypeError,
     "argument 'bus': 'NoneType' object cannot be converted to 'SocketCanTransport'"),
    (lambda: ControlSetpoint.mit((1, 2, 3, 4, 5)), TypeError,
     "argument 'setpoint': 'tuple' object cannot be converted to 'MitSetpoint'"),
    (lambda: ControlSetpoint.mit(MitLimits()), TypeError,
     "argument 'setpoint': 'MitLimits' object cannot be converted to 'MitSetpoint'"),
    (lambda: SocketCanTransport(5), TypeError, "argument 'iface': 'int' object cannot be converted to 'PyString'"),
    (lambda: SocketCanTransport(iface=b"vcan0"), TypeError,
     "argument 'iface': 'bytes' object cannot be converted to 'PyString'"),
    # overflow: no parameter name
    (lambda: Damiao(-1, 2), OverflowError, "out of range integral type conversion attempted"),
    (lambda: Damiao(65536, 2), OverflowError, "out of range integral type conversion attempted"),
    (lambda: Damiao(1, 70000), OverflowError, "out of range integral type conversion attempted"),
    (lambda: Damiao(2**70, 2), OverflowError, "Python int too large to convert to C long"),
    (lambda: Damiao(1, 2, timeout_ms=-1), OverflowError, "can't convert negative int to unsigned"),
    (lambda: Damiao(1, 2, timeout_ms=2**64), OverflowError, "int too big to convert"),
    (lambda: MitLimits(p_max=10**400), OverflowError, "int too large to convert to float"),
    (lambda: MitSetpoint(q=2**1024), OverflowError, "int too large to convert to float"),
    (lambda: mit_setpoint(q=2**1024), OverflowError, "int too large to convert to float"),
]


class ArgumentErrorTest(unittest.TestCase):
    def test_messages(self):
        for call, exception, message in CASES:
            with self.subTest(message), self.assertRaises(exception) as caught:
                call()
            self.assertIs(type(caught.exception), exception)
            self.assertEqual(str(caught.exception), message)
            self.assertEqual(caught.exception.args, (message,))

    def test_other_exceptions_from_a_conversion_pass_unchanged(self):
        class Broken:
            def __init__(self, error):
                self.error = error

            def __float__(self):
                raise self.error

        for build in [MitSetpoint, mit_setpoint]:
            for error in [ValueError("no float here"), KeyboardInterrupt()]:
                with self.subTest(build=build, error=error):
                    with self.assertRaises(BaseException) as caught:
                        build(q=Broken(error))
                    self.assertIs(caught.exception, error)

    def test_keywords_are_accepted_in_any_order(self):
        d = Damiao(timeout_ms=20, limits=None, master_id=2, motor_id=1)
        self.assertEqual((d.motor_id, d.master_id), (1, 2))
        self.assertEqual(ControlSetpoint.force_pos(torque_ratio=0.5, velocity_limit=2, position=1).mode, 4)


class DamiaoConstructionTest(unittest.TestCase):
    def test_ids_and_representation(self):
        cases = [((1, 0x11), 1, 17, "Damiao(motor_id=0x1, master_id=0x11)"),
                 ((0, 0), 0, 0, "Damiao(motor_id=0x0, master_id=0x0)"),
                 ((0x801, 0xFFFF), 0x801, 0xFFFF, "Damiao(motor_id=0x801, master_id=0xffff)"),
                 ((True, 2), 1, 2, "Damiao(motor_id=0x1, master_id=0x2)")]
        for args, motor_id, master_id, text in cases:
            d = Damiao(*args)
            with self.subTest(text):
                self.assertEqual((d.motor_id, d.master_id), (motor_id, master_id))
                self.assertIs(type(d.motor_id), int)
                self.assertEqual(repr(d), text)
                self.assertEqual(str(d), text)

    def test_accepted_values(self):
        class Index:
            def __index__(self):
                return 5

        self.assertEqual(Damiao(Index(), 2).motor_id, 5)
        for kwargs in [{"limits": None}, {"limits": MitLimits(kd_max=-1)}, {"timeout_ms": 0},
                       {"timeout_ms": 2**64 - 1}, {"timeout_ms": 1500}]:
            with self.subTest(kwargs):
                Damiao(1, 2, **kwargs)

    def test_methods_carry_their_doc_texts(self):
        for name in ["enable", "disable", "set_zero", "clear_error"]:
            method = getattr(Damiao, name)
            with self.subTest(name):
                self.assertEqual(method.__text_signature__, "($self, bus)")
                self.assertIsNone(method.__doc__)
        self.assertEqual(Damiao.mit_control.__text_signature__, "($self, bus, setpoint)")
        self.assertEqual(Damiao.control.__text_signature__, "($self, bus, setpoint)")
        self.assertEqual(Damiao.control.__doc__,
                         "Unified send: dispatches to MIT / POS_VEL / VEL / FORCE_POS based on\n"
                         "the `ControlSetpoint` variant. The motor must already be in the\n"
                         "matching control mode (use `ensure_mit_mode()` or write register 10).")
        self.assertEqual(Damiao.ensure_mit_mode.__text_signature__, "($self, bus)")
        self.assertEqual(Damiao.ensure_mit_mode.__doc__,
                         "Force the firmware into MIT control mode (register 10 = 1). Some\n"
                         "motors ship in POS_VEL/VEL/FORCE_POS, in which case `mit_control` is\n"
                         "silently ignored.")


class SocketCanTransportOpenTest(unittest.TestCase):
    """Opening failures need no CAN support: they happen before any bus exists."""

    def test_missing_interface_and_embedded_nul(self):
        for name, text in [("nosuchcan0", "No such device (os error 19)"),
                           ("vcan\0x", "Invalid argument (os error 22)")]:
            with self.subTest(name), self.assertRaises(OSError) as caught:
                SocketCanTransport(name)
            self.assertIs(type(caught.exception), OSError)
            self.assertEqual(caught.exception.args, (text,))
            self.assertIsNone(caught.exception.errno)


if __name__ == "__main__":
    unittest.main()
