"""The README example, the examples and the demo, run as users run them,
against the emulator on the virtual bus."""

import json
import os
import re
import signal
import subprocess
import sys
import unittest

from user_support import DMCTL, IFACE, REPO, Emulator, dmctl, run

EXAMPLES = os.path.join(REPO, "examples")
OUTPUT = os.environ.get("AXIOLINK_TEST_OUTPUT", os.path.join(REPO, "build", "user-programs"))


def example(name, *args):
    return [sys.executable, os.path.join(EXAMPLES, name), *args]


def status_of(motor_id, iface=IFACE):
    """The motor's enable status, by a command that changes nothing else."""
    done = dmctl("--json", "clear", str(motor_id), iface=iface)
    return json.loads(done.stdout)["state"]["status"]


def readme_example():
    with open(os.path.join(REPO, "README.md")) as readme:
        return re.search(r"```python\n(.*?)```", readme.read(), re.S).group(1)


class Started:
    """A program that runs until a signal stops it; ready once `ready_line`
    (a prefix) has been printed."""

    def __init__(self, argv, ready_line, lines_before=1):
        self.process = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                        text=True)
        self.seen = []
        while len([line for line in self.seen if line.startswith(ready_line)]) < lines_before:
            line = self.process.stdout.readline()
            if not line:
                raise AssertionError(f"{argv} ended before {ready_line!r}: {self.seen}")
            self.seen.append(line)

    def stop(self, signum):
        self.process.send_signal(signum)
        rest, _ = self.process.communicate(timeout=120)
        return self.process.returncode, "".join(self.seen) + rest


class ReadmeExampleTest(unittest.TestCase):
    def setUp(self):
        # The example names can0: here that is one more virtual interface.
        subprocess.run(["ip", "link", "add", "can0", "type", "vcan"], check=True)
        subprocess.run(["ip", "link", "set", "can0", "mtu", "72", "up"], check=True)
        self.addCleanup(subprocess.run, ["ip", "link", "delete", "can0"], check=True)

    def test_runs_as_written_and_leaves_the_motor_disabled(self):
        # Shipped in POS_VEL mode: the example switches it itself.
        with Emulator("--motor", "1:0x11:dm4310:2", iface="can0"):
            done = run([sys.executable, "-c", readme_example()])
            status = status_of(1, iface="can0")
        self.assertEqual(done.returncode, 0, done.stderr)
        first, held, last = done.stdout.splitlines()
        self.assertTrue(first.startswith("MotorState(motor_id=1, error=1, "), first)
        position = float(re.search(r"position=([-\d.]+)", held).group(1))
        self.assertAlmostEqual(position, 1.0, delta=0.1)
        self.assertTrue(last.startswith("MotorState(motor_id=1, error=0, "), last)
        self.assertEqual(status, "disabled")


class ExamplesTest(unittest.TestCase):
    def test_several_motors_in_one_loop(self):
        motors = ["1:0x11:dm4310:1", "2:0x12:dm4310:2", "3:0x13:dm4340:3"]
        with Emulator(*[arg for m in motors for arg in ("--motor", m)]):
            done = run(example("several_motors.py", "--iface", IFACE, "--seconds", "1",
                               "--rate", "50", "--motor", "1:0x11:dm4310", "--motor",
                               "2:0x12:dm4310", "--motor", "3:0x13:dm4340"))
            statuses = [status_of(i) for i in (1, 2, 3)]
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        lines = done.stdout.splitlines()
        ticks = int(re.match(r"3 motors, (\d+) ticks in [\d.]+ s: [\d.]+ Hz \(asked 50\), \d+ "
                             r"ticks overran$", lines[0]).group(1))
        self.assertGreater(ticks, 10)
        self.assertRegex(lines[1], r"^tick period: median \d+ us, \|deviation\| p99 \d+ us, "
                                   r"max \d+ us$")
        for motor_id, line in zip((1, 2, 3), lines[2:]):
            self.assertRegex(line, rf"^motor 0x0{motor_id}: {ticks} exchanges, median \d+ us, "
                                   r"p99 \d+ us, max \d+ us, 0 without reply$")
        self.assertEqual(statuses, ["disabled"] * 3)

    def test_seven_motors_as_one_group(self):
        motors = [f"{i}:{0x10 + i:#x}:dm4310:{1 + i % 2}" for i in range(1, 8)]  # some not in MIT
        with Emulator(*[arg for m in motors for arg in ("--motor", m)]):
            done = run(example("group_loop.py", "--iface", IFACE, "--seconds", "1",
                               "--rate", "100"))
            statuses = [status_of(i) for i in range(1, 8)]
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        lines = done.stdout.splitlines()
        steps = int(re.match(r"7 motors, (\d+) steps in [\d.]+ s: [\d.]+ Hz \(asked 100\), \d+ "
                             r"steps overran$", lines[0]).group(1))
        self.assertGreater(steps, 10)
        self.assertRegex(lines[1], r"^step: median \d+ us, p99 \d+ us, max \d+ us$")
        self.assertEqual(lines[2:], [f"motor 0x0{i}: {steps} states, 0 missed" for i in range(1, 8)])
        self.assertEqual(statuses, ["disabled"] * 7)

    def test_vel_mode_after_switching_with_dmctl(self):
        with Emulator("--motor", "1:0x11:dm4310:1"):
            refused = run(example("vel_mode.py", "--iface", IFACE))
            refused_status = status_of(1)
            switched = dmctl("mode", "1", "vel")
            done = run(example("vel_mode.py", "--iface", IFACE, "--seconds", "1"))
            status = status_of(1)
        self.assertEqual(refused.returncode, 1)
        self.assertIn("is motor 0x01 in VEL mode? switch it with: dmctl --iface vcan0 mode 0x01 "
                      "vel", refused.stderr)
        self.assertEqual(refused_status, "disabled")
        self.assertEqual(switched.returncode, 0, switched.stderr)
        self.assertEqual(done.returncode, 0, done.stderr)
        velocities = [float(v) for v in re.findall(r"velocity\s+([-+][\d.]+) rad/s", done.stdout)]
        self.assertGreater(max(velocities), 1.0)
        self.assertTrue(done.stdout.splitlines()[-1].startswith(
            "disabled: MotorState(motor_id=1, error=0, "))
        self.assertEqual(status, "disabled")

    def test_safe_shutdown_disables_every_motor_on_sigint_and_sigterm(self):
        for signum, reason in ((signal.SIGINT, "Ctrl-C"), (signal.SIGTERM, "SIGTERM")):
            with self.subTest(reason):
                with Emulator("--motor", "1:0x11", "--motor", "2:0x12"):
                    program = Started(example("safe_shutdown.py", "--iface", IFACE), "running")
                    status, output = program.stop(signum)
                    statuses = [status_of(1), status_of(2)]
                self.assertEqual(status, 128 + signum, output)
                self.assertIn(f"stopping: {reason}\nmotor 0x01 disabled (error=0)\n"
                              "motor 0x02 disabled (error=0)\n", output)
                self.assertEqual(statuses, ["disabled", "disabled"])

    def test_safe_shutdown_when_a_motor_stops_answering(self):
        with Emulator("--motor", "1:0x11", "--motor", "2:0x12", "--fault", "silent@2"):
            done = run(example("safe_shutdown.py", "--iface", IFACE))
            status = status_of(1)
        self.assertEqual(done.returncode, 1)
        self.assertEqual(done.stderr, "stopping: transport error: timeout waiting for frame\n")
        self.assertEqual(done.stdout, "motor 0x01 disabled (error=0)\nmotor 0x02: disable not "
                                      "confirmed: transport error: timeout waiting for frame\n")
        self.assertEqual(status, "disabled")


class DemoTest(unittest.TestCase):
    def run_demo_until(self, signum, name):
        os.makedirs(OUTPUT, exist_ok=True)
        plot = os.path.join(OUTPUT, f"{name}.png")
        for path in (plot, plot[:-4] + ".csv"):
            if os.path.exists(path):
                os.unlink(path)
        with Emulator("--motor", "1:0x11:dm4310:2"):
            demo = Started(example("demo.py", "--iface", IFACE, "--seconds", "60", "--rate",
                                   "100", "--plot", plot), "t=", lines_before=3)
            status, output = demo.stop(signum)
            motor_status = status_of(1)
        return status, output, motor_status, plot

    def test_sigterm_disables_the_motor_and_keeps_the_samples(self):
        status, output, motor_status, plot = self.run_demo_until(signal.SIGTERM, "demo-sigterm")
        self.assertEqual(status, 128 + signal.SIGTERM, output)
        self.assertRegex(output, r"stopped by SIGTERM after [\d.]+ s of the run\n"
                                 r"disabled: MotorState\(motor_id=1, error=0, ")
        self.assertNotIn("Traceback", output)
        self.assertEqual(motor_status, "disabled")
        with open(plot[:-4] + ".csv") as samples:
            self.assertGreater(len(samples.readlines()), 10)

    def test_ctrl_c_saves_the_partial_run_and_its_plot(self):
        status, output, motor_status, plot = self.run_demo_until(signal.SIGINT, "demo-sigint")
        self.assertEqual(status, 128 + signal.SIGINT, output)
        self.assertIn("stopped by SIGINT", output)
        self.assertNotIn("Traceback", output)
        self.assertEqual(motor_status, "disabled")
        self.assertTrue(os.path.exists(plot[:-4] + ".csv"))
        if "no plot: matplotlib is not available" not in output:
            self.assertIn(f"plot: {plot}", output)
            self.assertGreater(os.path.getsize(plot), 10000)


if __name__ == "__main__":
    unittest.main()
