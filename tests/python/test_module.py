"""The module object: import, cache, attributes and the class conventions."""

import importlib
import inspect
import os
import subprocess
import sys
import textwrap
import unittest
import weakref

import axiolink

CLASSES = ["MitLimits", "MitSetpoint", "ControlSetpoint", "MotorState", "Damiao",
           "SocketCanTransport"]


def sample_instances():
    """One instance of every class that can be made without a bus."""
    return [axiolink.MitLimits(), axiolink.MitSetpoint(), axiolink.ControlSetpoint.vel(1.0),
            axiolink.Damiao(1, 2)]


class ModuleTest(unittest.TestCase):
    def test_version_doc_and_all(self):
        self.assertEqual(axiolink.__version__, "1.1.1")
        self.assertEqual(axiolink.__doc__, "")
        self.assertEqual(axiolink.__all__, ["__version__", *CLASSES, "mit_setpoint"])

    def test_star_import_includes_version(self):
        namespace = {}
        exec("from axiolink import *", namespace)
        self.assertEqual(namespace["__version__"], "1.1.1")
        self.assertIs(namespace["Damiao"], axiolink.Damiao)

    def test_reload_and_reimport_give_the_same_objects(self):
        classes = [getattr(axiolink, name) for name in CLASSES]
        self.assertIs(importlib.reload(axiolink), axiolink)
        del sys.modules["axiolink"]
        again = importlib.import_module("axiolink")
        self.assertIs(again, axiolink)
        self.assertEqual([getattr(again, name) for name in CLASSES], classes)

    def test_importing_installs_logging(self):
        code = "import sys; import axiolink; print('logging' in sys.modules)"
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             check=True, env={**os.environ, "PYTHONNOUSERSITE": "1"})
        self.assertEqual(out.stdout.strip(), "True")

    def test_mit_setpoint_is_bound_to_the_module(self):
        self.assertEqual(axiolink.mit_setpoint.__module__, "axiolink")
        self.assertIs(axiolink.mit_setpoint.__self__, axiolink)

    def test_the_entry_is_the_only_exported_symbol(self):
        listed = subprocess.run(["nm", "-D", "--defined-only", axiolink.__file__],
                                capture_output=True, text=True, check=True).stdout
        self.assertEqual([line.split()[-1] for line in listed.splitlines()], ["PyInit_axiolink"])

    def test_sub_interpreter_import_is_refused(self):
        code = textwrap.dedent("""
            import _testcapi, axiolink
            script = '''
            try:
                import axiolink
                result = "imported"
            except ImportError as error:
                result = "ImportError: " + str(error)
            import os
            os.write(1, result.encode())
            '''
            _testcapi.run_in_subinterp(script.replace("\\n            ", "\\n"))
        """)
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
        self.assertTrue(out.stdout.startswith("ImportError: "), out.stdout + out.stderr)
        self.assertIn("sub-interpreters", out.stdout)


class ClassConventionTest(unittest.TestCase):
    def test_names_and_modules(self):
        for name in CLASSES:
            cls = getattr(axiolink, name)
            with self.subTest(name):
                self.assertEqual(cls.__module__, "axiolink")
                self.assertEqual(cls.__name__, name)
                self.assertEqual(cls.__qualname__, name)
                self.assertEqual(cls.__bases__, (object,))

    def test_classes_are_final(self):
        for name in CLASSES:
            with self.subTest(name), self.assertRaises(TypeError):
                type("Sub", (getattr(axiolink, name),), {})

    def test_no_dict_no_weakref_no_new_attributes(self):
        for obj in sample_instances():
            with self.subTest(type(obj).__name__):
                self.assertFalse(hasattr(obj, "__dict__"))
                with self.assertRaises(TypeError):
                    weakref.ref(obj)
                with self.assertRaises(AttributeError):
                    obj.foo = 1

    def test_attributes_are_read_only(self):
        cases = [(axiolink.MitLimits(), "p_max"), (axiolink.MitSetpoint(), "tau"),
                 (axiolink.ControlSetpoint.vel(1.0), "mode"), (axiolink.Damiao(1, 2), "motor_id")]
        for obj, attribute in cases:
            before = getattr(obj, attribute)
            with self.subTest(attribute):
                with self.assertRaises(AttributeError):
                    setattr(obj, attribute, 3)
                with self.assertRaises(AttributeError):
                    delattr(obj, attribute)
                self.assertEqual(getattr(obj, attribute), before)

    def test_identity_comparison_and_hash(self):
        a, b = axiolink.MitLimits(), axiolink.MitLimits()
        self.assertNotEqual(a, b)
        self.assertEqual(a, a)
        self.assertEqual(hash(a), object.__hash__(a))
        self.assertEqual(str(a), repr(a))

    def test_docs_and_text_signatures(self):
        expected = {
            "MitLimits": ("", "(p_max=12.5, v_max=30.0, kp_max=500.0, kd_max=5.0, t_max=10.0)"),
            "MitSetpoint": ("", "(q=0.0, dq=0.0, kp=0.0, kd=0.0, tau=0.0)"),
            "Damiao": ("", "(motor_id, master_id, limits=None, timeout_ms=20)"),
            "SocketCanTransport": (None, "(iface)"),
            "MotorState": (None, None),
            "ControlSetpoint": (None, None),
        }
        for name, (doc, signature) in expected.items():
            cls = getattr(axiolink, name)
            with self.subTest(name):
                self.assertEqual(cls.__doc__, doc)
                self.assertEqual(cls.__text_signature__, signature)

    def test_classes_without_constructor(self):
        for name in ["MotorState", "ControlSetpoint"]:
            cls = getattr(axiolink, name)
            for args in [(), (1,)]:
                with self.subTest(name, args=args), self.assertRaises(TypeError) as caught:
                    cls(*args)
                self.assertEqual(str(caught.exception), f"No constructor defined for {name}")

    def test_method_text_signatures(self):
        self.assertEqual(str(inspect.signature(axiolink.Damiao)),
                         "(motor_id, master_id, limits=None, timeout_ms=20)")
        self.assertEqual(str(inspect.signature(axiolink.mit_setpoint)),
                         "(q=0.0, dq=0.0, kp=0.0, kd=0.0, tau=0.0)")


if __name__ == "__main__":
    unittest.main()
