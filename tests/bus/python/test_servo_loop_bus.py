"""axiolink_ext.ServoLoop on the virtual bus, against the motor emulator: every
way a loop ends leaves every motor's last frame a disable; forks, plain
commands, a second loop, a long call holding the interpreter lock, and bad
targets."""

import os
import random
import signal
import subprocess
import sys
import textwrap
import threading
import time
import unittest

from axiolink import Damiao, SocketCanTransport
from axiolink_ext import MotorError, MotorGroup, ServoLoop, set_control_mode

from bus_support import IFACE, REPLY_MS, Capture, Emulator

DISABLE = "FFFFFFFFFFFFFFFD"
MOTORS = (1, 2, 3)


def emulated(*ids):
    return [arg for i in ids for arg in ("--motor", f"{i}:0x{0x10 + i:x}")]


def arm(bus, ids=MOTORS):
    return MotorGroup([Damiao(i, 0x10 + i, timeout_ms=REPLY_MS) for i in ids], bus,
                      timeout_ms=REPLY_MS)


def last_commands(capture, ids=MOTORS):
    """Each motor's last command frame's data, as hex."""
    last = {}
    for frame in capture.frames():
        if frame.can_id in ids:
            last[frame.can_id] = frame.data.hex().upper()
    return [last.get(i) for i in ids]


def mit_fields(data):
    """q, dq, kp, kd, tau of an MIT frame, raw."""
    return (data[0] << 8 | data[1], data[2] << 4 | data[3] >> 4, (data[3] & 0xF) << 8 | data[4],
            data[5] << 4 | data[6] >> 4, (data[6] & 0xF) << 8 | data[7])


def run_python(source, timeout=120):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(source), IFACE],
                          capture_output=True, text=True, timeout=timeout)


class StopPathTest(unittest.TestCase):
    """Each way out ends with a disable to every motor, and says why."""

    def setUp(self):
        self.bus = SocketCanTransport(IFACE)

    def test_stop_leaving_the_block_by_an_exception_and_releasing_the_object(self):
        for way in ("stop", "exception", "release"):
            with self.subTest(way), Emulator(*emulated(*MOTORS)), Capture() as capture:
                loop = ServoLoop(arm(self.bus), rate_hz=200, stop_damping_ms=50)
                if way == "stop":
                    loop.start()
                    # Asked for by default; the guest's tests run as root.
                    if loop.real_time["sched_fifo"]:
                        self.assertEqual(loop.real_time["priority"], 40)
                    time.sleep(0.2)
                    stats = loop.stats()
                    self.assertEqual(stats["disabled"], (False,) * 3)
                    for count in ("misses", "consecutive_misses", "late_answers"):
                        self.assertEqual([type(n) for n in stats[count]], [int] * 3, count)
                    loop.stop()
                    self.assertFalse(loop.running)
                    self.assertIsNone(loop.stop_reason)
                    self.assertEqual(loop.stats()["disabled"], (True,) * 3)
                elif way == "exception":
                    with self.assertRaises(ZeroDivisionError), loop:
                        time.sleep(0.2)
                        1 / 0
                else:
                    loop.start()
                    time.sleep(0.2)
                    del loop
                self.assertEqual(last_commands(capture), [DISABLE] * 3)

    def test_ctrl_c_in_the_block(self):
        def interrupt():
            time.sleep(0.3)
            os.kill(os.getpid(), signal.SIGINT)

        with Emulator(*emulated(*MOTORS)), Capture() as capture:
            helper = threading.Thread(target=interrupt)
            with self.assertRaises(KeyboardInterrupt):
                with ServoLoop(arm(self.bus), rate_hz=200, stop_damping_ms=50):
                    helper.start()
                    time.sleep(30)
            helper.join()
            self.assertEqual(last_commands(capture), [DISABLE] * 3)

    def test_a_motor_that_stops_answering_stops_the_loop_and_is_named(self):
        # Motor 2 has an emulator of its own, which goes away mid-run.
        with Emulator(*emulated(1, 3)), Capture() as capture:
            second = Emulator(*emulated(2))
            second.__enter__()
            try:
                loop = ServoLoop(arm(self.bus), rate_hz=200, max_misses=5, stop_damping_ms=50)
                with self.assertRaises(MotorError) as caught:
                    with loop:
                        time.sleep(0.2)
                        second.__exit__(None, None, None)
                        deadline = time.monotonic() + 30
                        while loop.running and time.monotonic() < deadline:
                            time.sleep(0.01)
                        self.assertFalse(loop.running)
                        with self.assertRaises(MotorError):
                            loop.set_targets(q=[0.0] * 3)
            finally:
                second.__exit__(None, None, None)
            self.assertEqual((caught.exception.motor_id, caught.exception.kind), (2, "missed"))
            self.assertEqual(caught.exception.text, "did not answer 5 cycles in a row")
            self.assertEqual(str(loop.stop_reason), str(caught.exception))
            self.assertIn("stopped: motor 0x02 did not answer 5 cycles in a row", repr(loop))
            self.assertEqual(last_commands(capture), [DISABLE] * 3)

    def test_a_motor_reporting_a_fault_stops_the_loop_and_is_named(self):
        # Motor 3's driver stage overheats 0.3 s after it is enabled.
        with Emulator(*emulated(*MOTORS), "--fault", "overheat-after=300@3"), \
                Capture() as capture:
            loop = ServoLoop(arm(self.bus), rate_hz=200, stop_damping_ms=50)
            with self.assertRaises(MotorError) as caught:
                with loop:
                    deadline = time.monotonic() + 30
                    while loop.running and time.monotonic() < deadline:
                        time.sleep(0.01)
            self.assertEqual((caught.exception.motor_id, caught.exception.kind), (3, "motor_fault"))
            self.assertEqual(caught.exception.text,
                             "reports fault 11 (driver stage over-temperature)")
            self.assertEqual(last_commands(capture), [DISABLE] * 3)

    def test_interpreter_exit_with_a_daemon_threads_loop_and_sigterm_with_systemexit(self):
        daemon = """
            import sys, threading, time
            from axiolink import Damiao, SocketCanTransport
            from axiolink_ext import MotorGroup, ServoLoop
            started = threading.Event()

            def owner():
                bus = SocketCanTransport(sys.argv[1])
                group = MotorGroup([Damiao(i, 0x10 + i, timeout_ms=100) for i in (1, 2, 3)], bus,
                                   timeout_ms=100)
                with ServoLoop(group, rate_hz=200, stop_damping_ms=50):
                    started.set()
                    time.sleep(60)

            threading.Thread(target=owner, daemon=True).start()
            started.wait(30)
            print("started", flush=True)
        """
        sigterm = """
            import signal, sys, time
            from axiolink import Damiao, SocketCanTransport
            from axiolink_ext import MotorGroup, ServoLoop
            signal.signal(signal.SIGTERM, lambda number, frame: sys.exit(3))
            bus = SocketCanTransport(sys.argv[1])
            group = MotorGroup([Damiao(i, 0x10 + i, timeout_ms=100) for i in (1, 2, 3)], bus,
                               timeout_ms=100)
            with ServoLoop(group, rate_hz=200, stop_damping_ms=50):
                print("started", flush=True)
                time.sleep(60)
        """
        for name, source, status in (("daemon", daemon, 0), ("sigterm", sigterm, 3)):
            with self.subTest(name), Emulator(*emulated(*MOTORS)), Capture() as capture:
                process = subprocess.Popen([sys.executable, "-c", textwrap.dedent(source), IFACE],
                                           stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                           text=True)
                self.assertEqual(process.stdout.readline().strip(), "started")
                if name == "sigterm":
                    time.sleep(0.2)
                    process.send_signal(signal.SIGTERM)
                _, errors = process.communicate(timeout=60)
                self.assertEqual(process.returncode, status, errors)
                self.assertEqual(last_commands(capture), [DISABLE] * 3)


FORK_WITH_A_LOOP = """
    import os, sys, time, warnings
    from axiolink import Damiao, SocketCanTransport
    from axiolink_ext import MotorGroup, ServoLoop
    warnings.simplefilter("ignore", DeprecationWarning)
    bus = SocketCanTransport(sys.argv[1])
    group = MotorGroup([Damiao(i, 0x10 + i, timeout_ms=100) for i in (1, 2, 3)], bus,
                       timeout_ms=100)
    with ServoLoop(group, rate_hz=50, stop_damping_ms=50) as loop:
        time.sleep(0.2)
        pid = os.fork()
        if pid == 0:
            # The bus is free at once: the parent's loop thread is not here.
            # It shares the socket and may read this answer first (more often
            # on a slow machine, where its cycles take longer), hence tries.
            answered = False
            for _ in range(30):
                try:
                    Damiao(4, 0x14, timeout_ms=100).enable(bus)
                    answered = True
                    break
                except RuntimeError:
                    pass
            print("child", loop.running, "not running in this process" in repr(loop), answered,
                  flush=True)
            # Leaves the block and ends the interpreter as usual: the loop
            # object must neither command the parent's motors nor wait for
            # the parent's thread.
            sys.exit(0)
        deadline = time.monotonic() + 20
        while os.waitpid(pid, os.WNOHANG) == (0, 0):
            if time.monotonic() > deadline:
                os.kill(pid, 9)
                print("child hung", flush=True)
                break
            time.sleep(0.01)
        before = loop.stats()["cycles"]
        time.sleep(0.3)
        print("parent", loop.running, loop.stats()["cycles"] > before, flush=True)
"""


class ConcurrencyTest(unittest.TestCase):
    def setUp(self):
        self.bus = SocketCanTransport(IFACE)

    def test_a_fork_leaves_the_parents_loop_running_and_the_child_free(self):
        with Emulator(*emulated(1, 2, 3, 4)):
            done = run_python(FORK_WITH_A_LOOP)
        self.assertEqual(done.stdout.split("\n")[:2],
                         ["child False True True", "parent True True"], done.stderr)

    def test_plain_commands_run_between_cycles_and_a_second_loop_on_the_bus_is_refused(self):
        with Emulator(*emulated(1, 2, 3, 4, 5)), Capture() as capture:
            with ServoLoop(arm(self.bus), rate_hz=200, stop_damping_ms=50) as loop:
                for _ in range(5):
                    self.assertEqual(Damiao(4, 0x14, timeout_ms=REPLY_MS).disable(self.bus).error, 0)
                other = ServoLoop(arm(self.bus, (5,)), rate_hz=200)
                with self.assertRaises(RuntimeError) as caught:
                    other.start()
                self.assertEqual(str(caught.exception),
                                 "a bus of this group is driven by another running servo loop")
                self.assertTrue(loop.running)
            self.assertNotIn(5, [frame.can_id for frame in capture.frames()])

    def test_the_loop_keeps_cycling_while_one_call_holds_the_interpreter_lock(self):
        # A list whose sorting, one call that holds the interpreter lock
        # throughout, takes a good fraction of a second on this machine.
        values = [random.random() for _ in range(100_000)]
        while True:
            started = time.monotonic()
            sorted(values)
            if time.monotonic() - started > 0.3 or len(values) >= 8_000_000:
                break
            values = values * 2
        with Emulator(*emulated(*MOTORS)):
            with ServoLoop(arm(self.bus), rate_hz=200, stop_damping_ms=50) as loop:
                time.sleep(0.1)
                before, started = loop.stats()["cycles"], time.monotonic()
                sorted(values)
                held = time.monotonic() - started
                during = loop.stats()["cycles"] - before
        print(f"\n[ timing ] {during} cycles while sorted() held the interpreter lock for "
              f"{held:.2f} s at 200 Hz", file=sys.stderr)
        self.assertGreater(during, 0.25 * 200 * held)


class TargetTest(unittest.TestCase):
    def setUp(self):
        self.bus = SocketCanTransport(IFACE)

    def test_bad_targets_change_nothing_and_say_which_motor_and_value(self):
        with Emulator(*emulated(*MOTORS)):
            with ServoLoop(arm(self.bus), rate_hz=200, max_velocity=5.0, max_acceleration=50.0,
                           stop_damping_ms=50) as loop:
                loop.set_targets(q=[0.3, 0.2, 0.1])
                cases = [
                    (dict(q=[float("nan"), 0, 0]), "q[0] = NaN for motor 0x01 is not finite"),
                    (dict(q=[0, 13, 0]), "q[1] = 13 for motor 0x02 is beyond its p_max 12.5"),
                    (dict(kp=[5, 5, -1]), "kp[2] = -1 for motor 0x03 is not within its [0, 500]"),
                    (dict(kd=[5, 5.5, 5]), "kd[1] = 5.5 for motor 0x02 is not within its [0, 5]"),
                    (dict(tau=[0, 0, float("inf")]), "tau[2] = inf for motor 0x03 is not finite"),
                    (dict(q=[0, 0]), "q: expected one for every motor (3), got 2"),
                ]
                for given, text in cases:
                    with self.subTest(text), self.assertRaises(ValueError) as caught:
                        loop.set_targets(**given)
                    self.assertEqual(str(caught.exception), text)
                deadline = time.monotonic() + 30
                while time.monotonic() < deadline:
                    if all(abs(q - want) < 0.05 for q, want in zip(loop.states().q, (0.3, 0.2, 0.1))):
                        break
                    time.sleep(0.02)
                states = loop.states()
                self.assertEqual([round(q, 1) for q in states.q], [0.3, 0.2, 0.1])
                # Every answer came in one of the loop's cycles, the last few.
                self.assertTrue(all(0 < c <= states.loop_cycle for c in states.cycle), states)
                self.assertTrue(all(t > 0 for t in states.time_ns), states)
                self.assertTrue(loop.running)
            # A new loop holds where the motors stand; targets without q keep
            # that position, they never command 0.
            with ServoLoop(arm(self.bus), rate_hz=200, max_velocity=5.0, max_acceleration=50.0,
                           stop_damping_ms=50) as loop:
                loop.set_targets(tau=[0.0] * 3)
                time.sleep(0.5)
                self.assertEqual([round(q, 1) for q in loop.states().q], [0.3, 0.2, 0.1])

    def test_arguments_out_of_range_are_refused_before_any_motor_is_enabled(self):
        cases = [
            (dict(rate_hz=0), "rate_hz must be from 1 to 4000, got 0"),
            (dict(kp=600), "kp 600 or kd 0.5 is beyond motor 0x01's kp_max 500 or kd_max 5"),
            (dict(max_velocity=[1, -1, 1]),
             "motor 1: invalid motion limit: v_max is -1, must be within [1e-06, 1e+06]"),
            (dict(max_acceleration=[1, 1]), "max_acceleration: expected one for every motor (3), got 2"),
            (dict(log_capacity=10_000_001), "log_capacity must be from 0 to 10000000, got 10000001"),
            (dict(priority=100), "priority must be from 0 to 99, got 100"),
            (dict(max_misses=-1), "max_misses must be from 1 to 1000000, got -1"),
            (dict(target_timeout_ms=-5), "target_timeout_ms must be from 0 to 3600000, got -5"),
            (dict(stop_damping_ms=-1), "stop_damping_ms must be from 0 to 3600000, got -1"),
            (dict(log_capacity=-(2**70)),
             "log_capacity must be from 0 to 10000000, got -1180591620717411303424"),
            (dict(max_q=13), "max_q[0] = 13 for motor 0x01 is beyond its p_max 12.5"),
            (dict(min_q=[0, 0.5, 0], max_q=[1, 0.5, 1]),
             "min_q[1] = 0.5 is not below max_q[1] = 0.5 for motor 0x02"),
        ]
        with Capture() as capture:
            for given, text in cases:
                with self.subTest(text), self.assertRaises(ValueError) as caught:
                    ServoLoop(arm(self.bus), **given)
                self.assertEqual(str(caught.exception), text)
            # The limits themselves are fine.
            ServoLoop(arm(self.bus), kp=500, kd=5, log_capacity=10_000_000, priority=99)
            self.assertEqual(capture.frames(), [])


def loop_script(body):
    """A program with a group of motors 1 to 3 on the bus named first, then `body`."""
    return textwrap.dedent("""
        import os, signal, sys, threading, time
        from axiolink import Damiao, SocketCanTransport
        from axiolink_ext import MotorGroup, ServoLoop
        bus = SocketCanTransport(sys.argv[1])
        group = MotorGroup([Damiao(i, 0x10 + i, timeout_ms=100) for i in (1, 2, 3)], bus,
                           timeout_ms=100)
    """) + textwrap.dedent(body)


class LifecycleTest(unittest.TestCase):
    """Starts from several threads, a start while the interpreter exits,
    SIGTERM, a motor in another mode, and wait(): each checked by the last
    frame every motor got."""

    def setUp(self):
        self.bus = SocketCanTransport(IFACE)

    def test_starts_from_two_threads_run_one_loop_only(self):
        with Emulator(*emulated(*MOTORS)), Capture() as capture:
            group = arm(self.bus)
            for same_object in (False, True, False, True, False):
                loops = [ServoLoop(group, rate_hz=200, stop_damping_ms=20)]
                loops.append(loops[0] if same_object else ServoLoop(group, rate_hz=200,
                                                                      stop_damping_ms=20))
                barrier = threading.Barrier(2)
                errors = []

                def start(loop):
                    barrier.wait()
                    try:
                        loop.start()
                    except RuntimeError as error:
                        errors.append(str(error))

                threads = [threading.Thread(target=start, args=(loop,)) for loop in loops]
                for thread in threads:
                    thread.start()
                for thread in threads:
                    thread.join()
                self.assertEqual(len(errors), 1, errors)
                self.assertIn(errors[0], ("the servo loop has been started already",
                                          "a bus of this group is driven by another running "
                                          "servo loop"))
                self.assertEqual(sum(loop.running for loop in set(loops)), 1)
                for loop in loops:
                    loop.stop()
            self.assertEqual(last_commands(capture), [DISABLE] * 3)

    def test_a_loop_starting_in_a_daemon_thread_while_the_interpreter_exits_is_stopped(self):
        source = loop_script("""
            loop = ServoLoop(group, rate_hz=200, stop_damping_ms=20)
            threading.Thread(target=loop.start, daemon=True).start()
            time.sleep(float(sys.argv[2]))
        """)
        with Emulator(*emulated(*MOTORS)), Capture() as capture:
            for delay in ("0", "0.001", "0.003", "0.01", "0.03", "0.1"):
                with self.subTest(delay=delay):
                    done = subprocess.run([sys.executable, "-c", source, IFACE, delay], capture_output=True, text=True, timeout=120)
                    self.assertEqual(done.returncode, 0, done.stderr)
                    last = last_commands(capture)
                    # Never enabled at all, or disabled again.
                    self.assertTrue(all(frame in (None, DISABLE) for frame in last), last)

    def test_sigterm_stops_the_loops_first_unless_the_program_says_otherwise(self):
        source = loop_script("""
            if sys.argv[2] == "handler":
                signal.signal(signal.SIGTERM, lambda number, frame: sys.exit(3))
            with ServoLoop(group, rate_hz=200, stop_damping_ms=50,
                           stop_on_sigterm=sys.argv[2] != "off"):
                print("started", flush=True)
                time.sleep(60)
        """)
        for how, status, last in (("default", -signal.SIGTERM, DISABLE),
                                  ("handler", 3, DISABLE), ("off", -signal.SIGTERM, None)):
            with self.subTest(how), Emulator(*emulated(*MOTORS)), Capture() as capture:
                process = subprocess.Popen([sys.executable, "-c", source, IFACE, how], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                           text=True)
                self.assertEqual(process.stdout.readline().strip(), "started")
                time.sleep(0.2)
                process.send_signal(signal.SIGTERM)
                _, errors = process.communicate(timeout=60)
                self.assertEqual(process.returncode, status, errors)
                if last:
                    self.assertEqual(last_commands(capture), [last] * 3)
                else:  # ended at once, mid-motion: an MIT command
                    self.assertNotIn(DISABLE, last_commands(capture))
        # SIGTERM is caught only while a loop runs (the process's caught
        # signals, as the kernel lists them).
        with Emulator(*emulated(*MOTORS)):
            done = run_python(loop_script("""
            def caught():
                mask = [line for line in open("/proc/self/status") if line.startswith("SigCgt")]
                return bool(int(mask[0].split()[1], 16) >> (signal.SIGTERM - 1) & 1)
            # A loop that never ran leaves a forked child the program's own handler.
            signal.signal(signal.SIGTERM, lambda number, frame: None)
            loop = ServoLoop(group, rate_hz=200, stop_damping_ms=20)
            pid = os.fork()
            if pid == 0:
                print(caught(), flush=True)
                os._exit(0)
            os.waitpid(pid, 0)
            signal.signal(signal.SIGTERM, signal.SIG_DFL)
            before = caught()
            with loop:
                during = caught()
            print(before, during, caught())
            """))
        self.assertEqual(done.stdout.split(), ["True", "False", "True", "False"], done.stderr)

    def test_a_motor_in_another_mode_is_refused_and_nothing_is_enabled(self):
        with Emulator("--motor", "1:0x11", "--motor", "2:0x12:dm4310:3", "--motor", "3:0x13"), \
                Capture() as capture:
            loop = ServoLoop(arm(self.bus), rate_hz=200)
            with self.assertRaises(MotorError) as caught:
                loop.start()
            self.assertEqual((caught.exception.motor_id, caught.exception.kind), (2, "wrong_mode"))
            self.assertEqual(caught.exception.text,
                             'is in VEL mode (control mode 3), not MIT: the loop sends MIT '
                             'commands only, which it would ignore; switch it first '
                             '(set_control_mode(motor, bus, "mit"), or dmctl mode ID mit)')
            self.assertEqual(last_commands(capture), [None] * 3)
            # Switched, the same loop starts.
            set_control_mode(Damiao(2, 0x12, timeout_ms=REPLY_MS), self.bus, "mit")
            with loop:
                self.assertTrue(loop.running)
            self.assertEqual(last_commands(capture), [DISABLE] * 3)

    def test_wait_tells_a_watcher_that_the_loop_stopped_by_itself(self):
        with Emulator(*emulated(1, 3)), Capture() as capture:
            second = Emulator(*emulated(2))
            second.__enter__()
            try:
                loop = ServoLoop(arm(self.bus), rate_hz=200, max_misses=5, stop_damping_ms=20,
                                 log_capacity=0)
                self.assertTrue(loop.wait(0))  # not started: not running
                with self.assertRaises(MotorError):
                    with loop:
                        self.assertEqual(loop.log()["cycle"].tolist(), [])
                        self.assertFalse(loop.wait(timeout=0.05))
                        seen = []
                        watcher = threading.Thread(target=lambda: seen.append(loop.wait()))
                        watcher.start()
                        second.__exit__(None, None, None)
                        watcher.join(60)
                        self.assertEqual(seen, [True])
                        self.assertFalse(loop.running)
            finally:
                second.__exit__(None, None, None)
            self.assertEqual(last_commands(capture), [DISABLE] * 3)

    def test_joint_ranges_and_gains_reach_the_wire_as_set(self):
        with Emulator(*emulated(*MOTORS)), Capture() as capture:
            with ServoLoop(arm(self.bus), rate_hz=200, max_velocity=2.0, max_acceleration=20.0,
                           min_q=-0.2, max_q=[0.2, 0.3, 0.4], stop_damping_ms=20, cpu=0) as loop:
                self.assertEqual(loop.real_time["cpu"], 0)
                start = loop.states().q
                loop.set_targets(q=[5.0, 5.0, start[2]], kp=[10.0, 20.0, 30.0], kd=[1.0, 2.0, 3.0])
                deadline = time.monotonic() + 30
                fastest = 0.0  # motor 2's, on its way up at up to 2 rad/s
                while time.monotonic() < deadline:
                    states = loop.states()
                    fastest = max(fastest, states.dq[1])
                    if abs(states.q[1] - 0.3) <= 0.02:
                        break
                    time.sleep(0.02)
                self.assertEqual(loop.stats()["clamped"], (1, 1, 0))
                self.assertGreater(fastest, 0.5)
            frames = capture.frames()
        by_motor = {i: [] for i in MOTORS}
        for frame in frames:
            if frame.can_id in MOTORS and frame.data[:7] != bytes([0xFF] * 7):
                by_motor[frame.can_id].append(mit_fields(frame.data))
        lsb = 25 / 65535
        for i, limit, kp, kd in ((1, 0.2, 10, 1), (2, 0.3, 20, 2), (3, 0.4, 30, 3)):
            commands = [fields for fields in by_motor[i] if fields[2] != 0]  # not the damping
            positions = [q * lsb - 12.5 for q, *_ in commands]
            self.assertLessEqual(max(positions), limit + lsb, i)
            # 2 rad/s at 200 Hz: 10 mrad a period at most.
            steps = [abs(b - a) for a, b in zip(positions, positions[1:])]
            self.assertLessEqual(max(steps), 0.01 + 2 * lsb, i)
            # kp and kd as set: 12 bits of 500 and of 5, truncated.
            self.assertEqual(commands[-1][2:4], (kp * 4095 // 500, kd * 4095 // 5), i)


if __name__ == "__main__":
    unittest.main()
