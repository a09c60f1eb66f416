"""The companion module axiolink_ext without a bus: its surface, its checks
of axiolink's objects, and that importing it changes nothing in axiolink."""

import inspect
import subprocess
import sys
import textwrap
import unittest

import axiolink

SURFACE = textwrap.dedent("""
    import axiolink
    def surface(objects):
        return {name: sorted(dir(obj)) for name, obj in objects}
    before = surface([("axiolink", axiolink), *[(n, getattr(axiolink, n)) for n in axiolink.__all__]])
    import axiolink_ext
    after = surface([("axiolink", axiolink), *[(n, getattr(axiolink, n)) for n in axiolink.__all__]])
    print(before == after)
""")


class CompanionTest(unittest.TestCase):
    def test_importing_it_adds_nothing_to_axiolink(self):
        out = subprocess.run([sys.executable, "-c", SURFACE], capture_output=True, text=True,
                             check=True)
        self.assertEqual(out.stdout.strip(), "True")

    def test_surface_and_version(self):
        import axiolink_ext
        self.assertEqual(axiolink_ext.__version__, axiolink.__version__)
        self.assertEqual(axiolink_ext.__all__, ["__version__", "MotorGroup", "MotorError",
                                                "ServoLoop", "ServoStates", "read_register",
                                                "write_register", "set_control_mode"])
        self.assertTrue(issubclass(axiolink_ext.MotorError, RuntimeError))
        signatures = {
            axiolink_ext.MotorGroup: "(motors, buses, timeout_ms=20)",
            axiolink_ext.MotorGroup.cycle: "(self, /, setpoints, times=None)",
            axiolink_ext.MotorGroup.enable: "(self, /)",
            axiolink_ext.MotorGroup.disable: "(self, /)",
            axiolink_ext.MotorGroup.clear_error: "(self, /)",
            axiolink_ext.ServoLoop: "(group, rate_hz=500, kp=5.0, kd=0.5, max_velocity=1.0, "
                                    "max_acceleration=5.0, min_q=None, max_q=None, "
                                    "max_misses=10, target_timeout_ms=0, stop_kd=1.0, "
                                    "stop_damping_ms=200, disable_timeout_ms=100, priority=40, "
                                    "lock_memory=True, log_capacity=0, cpu=-1, "
                                    "stop_on_sigterm=True)",
            axiolink_ext.ServoLoop.wait: "(self, /, timeout=None)",
            axiolink_ext.ServoLoop.set_targets: "(self, /, q=None, dq=None, tau=None, kp=None, "
                                                "kd=None)",
            axiolink_ext.read_register: "(motor, bus, register)",
            axiolink_ext.write_register: "(motor, bus, register, value)",
            axiolink_ext.set_control_mode: "(motor, bus, mode)",
        }
        for function, signature in signatures.items():
            with self.subTest(function=function):
                self.assertEqual(str(inspect.signature(function)), signature)
                self.assertTrue(inspect.getdoc(function))
        for final in (axiolink_ext.MotorGroup, axiolink_ext.ServoLoop):
            with self.assertRaises(TypeError):
                type("Arm", (final,), {})

    def test_only_axiolink_objects_are_taken(self):
        import axiolink_ext
        motor = axiolink.Damiao(1, 0x11)
        cases = [
            (lambda: axiolink_ext.MotorGroup([motor], "vcan0"),
             "argument 'buses': expected a list or tuple, got 'str'"),
            (lambda: axiolink_ext.MotorGroup([motor], [object()]),
             "argument 'buses': 'object' object cannot be converted to 'SocketCanTransport'"),
            (lambda: axiolink_ext.MotorGroup([(1, 0x11)], [None]),
             "argument 'motors': 'tuple' object cannot be converted to 'Damiao'"),
            (lambda: axiolink_ext.read_register(motor, None, "p_max"),
             "argument 'bus': 'NoneType' object cannot be converted to 'SocketCanTransport'"),
            (lambda: axiolink_ext.set_control_mode(None, None, 1),
             "argument 'motor': 'NoneType' object cannot be converted to 'Damiao'"),
        ]
        for call, text in cases:
            with self.subTest(text), self.assertRaises(TypeError) as caught:
                call()
            self.assertEqual(str(caught.exception), text)

    def test_a_sub_interpreter_is_refused_and_leaves_the_main_one_free(self):
        # Had the sub-interpreter imported axiolink, it would own it for good.
        script = textwrap.dedent("""
            import _testcapi
            print(_testcapi.run_in_subinterp("import axiolink_ext"))
            import axiolink_ext, axiolink
            print(axiolink_ext.__version__ == axiolink.__version__)
        """)
        out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
        if "No module named '_testcapi'" in out.stderr:
            self.skipTest("this interpreter has no _testcapi")
        self.assertEqual(out.stdout.split(), ["-1", "True"], out.stderr)
        self.assertIn("axiolink_ext does not support sub-interpreters", out.stderr)

    def test_the_entry_is_the_only_exported_symbol(self):
        import axiolink_ext
        listed = subprocess.run(["nm", "-D", "--defined-only", axiolink_ext.__file__],
                                capture_output=True, text=True, check=True).stdout
        self.assertEqual([line.split()[-1] for line in listed.splitlines()],
                         ["PyInit_axiolink_ext"])


if __name__ == "__main__":
    unittest.main()
