"""The README example, the examples and the demo, run as users run them,
against the emulator on the virtual bus."""

import json
import os
import re
import signal
import subprocess
import sys
import threading
import time
import unittest

from axiolink import Damiao, MitLimits, MitSetpoint, SocketCanTransport

from user_support import (DMCTL, IFACE, REPLY_TIMEOUT_MS, REPO, Capture, Emulator, dmctl,
                          for_this_machine, run)

EXAMPLES = os.path.join(REPO, "examples")
OUTPUT = os.environ.get("AXIOLINK_TEST_OUTPUT", os.path.join(REPO, "build", "user-programs"))


def example(name, *args):
    return [sys.executable, os.path.join(EXAMPLES, name), "--timeout-ms", REPLY_TIMEOUT_MS, *args]


def status_of(motor_id, iface=IFACE):
    """The motor's enable status, by a command that changes nothing else."""
    done = dmctl("--json", "--timeout-ms", REPLY_TIMEOUT_MS, "clear", str(motor_id), iface=iface)
    return json.loads(done.stdout)["state"]["status"]


def readme_example():
    with open(os.path.join(REPO, "README.md")) as readme:
        return for_this_machine(re.search(r"```python\n(.*?)```", readme.read(), re.S).group(1))


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

    def test_seven_motors_by_a_servo_loop_while_python_is_busy(self):
        motors = [f"{i}:{0x10 + i:#x}:dm4310:{1 + i % 2}" for i in range(1, 8)]  # some not in MIT
        rate, seconds = 200, 2  # the example's own rate, for seven motors on one bus
        with Emulator(*[arg for m in motors for arg in ("--motor", m)]):
            done = run(example("servo_arm.py", "--iface", IFACE, "--seconds", str(seconds)),
                       timeout=120)
            statuses = [status_of(i) for i in range(1, 8)]
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        lines = done.stdout.splitlines()
        cycles = int(re.match(rf"7 motors, [\d.]+ s: (\d+) cycles \(asked {rate} Hz, \d+\), \d+ "
                              r"late periods, \d+ overruns$", lines[0]).group(1))
        # The main thread kept the interpreter busy throughout; an emulated
        # machine on a busy host still gives the loop's thread a fair share.
        self.assertGreater(cycles, 0.2 * rate * seconds, done.stdout)
        self.assertRegex(lines[1], r"^cycle start after its deadline: p50 \d+ us, p99 \d+ us, "
                                   r"p99.9 \d+ us, max \d+ us$")
        for motor_id, line in zip(range(1, 8), lines[5:12]):
            self.assertRegex(line, rf"^motor 0x0{motor_id}: \d+ missed, \d+ late answers$")
        self.assertEqual(lines[12:], [f"motor 0x0{i}: disabled" for i in range(1, 8)])
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
        self.assertRegex(done.stdout, r"^motor 0x01 holds [-+]\d\.\d{3} rad, where it stood\n"
                                      "motor 0x01 disabled \\(error=0\\)\nmotor 0x02: disable not "
                                      "confirmed: transport error: timeout waiting for frame\n$")
        self.assertEqual(status, "disabled")


FAR = 2.99  # rad: where the motors stand when a program starts
TORQUE_BOUND = 2.0  # N·m, a fifth of a dm4310's 10 N·m; a step from FAR saturates at 10
DM4310_T_MAX = 10.0


def park(motors, position):
    """Moves each emulated dm4310 (motor id, master id) slowly to its position
    in `position` and disables it there, where it then stays."""
    bus = SocketCanTransport(IFACE)
    parked = [Damiao(motor_id, master_id, MitLimits.dm4310(), timeout_ms=200)
              for motor_id, master_id in motors]
    starts = []
    for motor in parked:
        motor.ensure_mit_mode(bus)
        starts.append(motor.enable(bus).position)
    for step in range(1, 401):  # a ramp of 300 steps, then a settling hold
        for motor, start, target in zip(parked, starts, position):
            share = min(step / 300, 1.0)
            motor.mit_control(bus, MitSetpoint(q=start + (target - start) * share, kp=10.0,
                                               kd=0.5))
        time.sleep(0.005)
    return [motor.disable(bus).position for motor in parked]


class TorqueWatch:
    """The largest |torque| the motors report while enabled, decoded from
    every feedback frame on the bus while it runs: status 1 in the high
    nibble of the first byte (register replies carry 0 there), a dm4310's
    12-bit torque spanning -10 to 10 N·m."""

    def __init__(self, master_ids):
        self.master_ids = set(master_ids)
        self.largest = 0.0
        self.answers = 0
        self.capture = Capture()
        self.capture.sock.settimeout(0.05)
        self.running = True
        self.thread = threading.Thread(target=self.watch)
        self.thread.start()

    def watch(self):
        while self.running:
            for frame in self.capture.frames(settle=0.05):
                if (frame.can_id in self.master_ids and len(frame.data) == 8
                        and frame.data[0] >> 4 == 1):
                    raw = (frame.data[4] & 0x0F) << 8 | frame.data[5]
                    torque = raw * 2 * DM4310_T_MAX / 4095 - DM4310_T_MAX
                    self.largest = max(self.largest, abs(torque))
                    self.answers += 1

    def stop(self):
        self.running = False
        self.thread.join()
        self.capture.close()
        return self.largest


# A jump from FAR to 0 rad at the hold gain of the old examples, for contrast:
# it must break the bound, or the watch could not see what it guards against.
STEP = """
import sys, time
from axiolink import Damiao, MitSetpoint, SocketCanTransport
bus = SocketCanTransport(sys.argv[1])
motor = Damiao(1, 0x11, timeout_ms=20)
motor.ensure_mit_mode(bus)
motor.enable(bus)
for _ in range(40):
    motor.mit_control(bus, MitSetpoint(q=0.0, kp=10.0, kd=0.5))
    time.sleep(0.005)
motor.disable(bus)
"""


class StartFromAFarPositionTest(unittest.TestCase):
    def test_torque_stays_below_the_bound_from_where_the_motors_stand(self):
        one, three = [(1, 0x11)], [(1, 0x11), (2, 0x12), (3, 0x13)]
        cases = [
            # name, motors, their positions, argv, mode the program needs
            ("a step, for contrast", one, [FAR], [sys.executable, "-c", for_this_machine(STEP), IFACE], None),
            ("demo", one, [FAR], example("demo.py", "--iface", IFACE, "--seconds", "1",
                                         "--rate", "100", "--plot",
                                         os.path.join(OUTPUT, "demo-far.png")), None),
            ("safe_shutdown", one + [(2, 0x12)], [FAR, -FAR],
             example("safe_shutdown.py", "--iface", IFACE, "--seconds", "1", "--motor",
                     "1:0x11:dm4310", "--motor", "2:0x12:dm4310"), None),
            ("several_motors", three, [FAR, -FAR, 0.0],
             example("several_motors.py", "--iface", IFACE, "--seconds", "1", "--rate", "50"),
             None),
            ("vel_mode", one, [FAR], example("vel_mode.py", "--iface", IFACE, "--seconds", "1"),
             "vel"),
            ("servo_arm", three, [FAR, -FAR, 0.0],
             example("servo_arm.py", "--iface", IFACE, "--seconds", "1", "--motor",
                     "1:0x11:dm4310", "--motor", "2:0x12:dm4310", "--motor", "3:0x13:dm4310"),
             None),
        ]
        os.makedirs(OUTPUT, exist_ok=True)
        for name, motors, positions, argv, mode in cases:
            with self.subTest(name), Emulator(*[arg for motor_id, master_id in motors
                                                for arg in ("--motor", f"{motor_id}:{master_id}")]):
                parked = park(motors, positions)
                for motor_id, _ in motors:
                    if mode:
                        self.assertEqual(dmctl("mode", str(motor_id), mode).returncode, 0)
                watch = TorqueWatch([master_id for _, master_id in motors])
                done = run(argv, timeout=120)
                largest = watch.stop()
                statuses = [status_of(motor_id) for motor_id, _ in motors]
                for at, wanted in zip(parked, positions):
                    self.assertAlmostEqual(at, wanted, delta=0.1)
                self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
                self.assertGreater(watch.answers, 20)
                if name == "a step, for contrast":
                    self.assertGreater(largest, 2 * TORQUE_BOUND)
                else:
                    self.assertLess(largest, TORQUE_BOUND, done.stdout)
                self.assertEqual(statuses, ["disabled"] * len(motors))
                print(f"{name}: largest torque {largest:.2f} N·m", file=sys.stderr)


class RateShortfallTest(unittest.TestCase):
    def test_the_demo_says_when_it_falls_short_of_the_asked_rate(self):
        # No machine keeps 100 kHz: the demo must say so, and why; at 10 Hz
        # it keeps up and says nothing of the kind (a tick would have to take
        # longer than a reply time-out to overrun).
        results = {}
        with Emulator("--motor", "1:0x11:dm4310:1"):
            for rate in ("100000", "10"):
                # 2000 and 10 ticks: the run is counted in ticks.
                seconds = "0.02" if rate == "100000" else "1"
                results[rate] = run(example("demo.py", "--iface", IFACE, "--seconds", seconds,
                                            "--rate", rate, "--plot",
                                            os.path.join(OUTPUT, "demo-rate.png")), timeout=120)
        fast, slow = results["100000"], results["10"]
        self.assertEqual(fast.returncode, 0, fast.stdout + fast.stderr)
        self.assertRegex(fast.stdout, r"\nfell short of the asked 100000 Hz: \d+ Hz; \d+ of \d+ "
                                      r"ticks overran their period \(the work took longer\), "
                                      r"\d+ sleeps woke more than a quarter period late")
        self.assertEqual(slow.returncode, 0, slow.stdout + slow.stderr)
        self.assertNotIn("fell short", slow.stdout)


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
