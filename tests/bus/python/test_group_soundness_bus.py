"""A group cycle held to a plain command's standards on the virtual bus: forks
with cycles running, signals in the main thread and in workers, a flooded
bus, locks shared by groups and plain commands, late answers and the group's
special commands."""

import ctypes
import multiprocessing
import os
import signal
import statistics
import subprocess
import sys
import textwrap
import threading
import time
import unittest
from array import array
from contextlib import closing

from axiolink import Damiao, MitSetpoint, MotorState, SocketCanTransport
from axiolink_ext import MotorError, MotorGroup

from bus_support import IFACE, REPLY_MS, Emulator, Frame, open_raw, pack

OTHER_IFACE = "vcan1"
EMULATED = ["--motor", "1:0x11", "--motor", "2:0x12", "--motor", "3:0x13"]


def run_python(source, *args, timeout=120):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(source), IFACE, *args],
                          capture_output=True, text=True, timeout=timeout)


# Threads keep cycling groups (one answered, one silent) and a timer's
# handler keeps running while the main thread forks; each child's first
# cycle, on the parent's bus, must end.
FORK_DURING_CYCLES = """
    import os, signal, sys, threading, time, warnings
    from axiolink import Damiao, MitSetpoint, SocketCanTransport
    from axiolink_ext import MotorGroup
    warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads
    bus, other = SocketCanTransport(sys.argv[1]), SocketCanTransport("vcan1")
    answered = MotorGroup([Damiao(1, 0x11)], bus, timeout_ms=20)
    silent = MotorGroup([Damiao(0x7A, 0x7B)], bus, timeout_ms=20)
    elsewhere = MotorGroup([Damiao(0x7A, 0x7B)], other, timeout_ms=20)
    both = MotorGroup([Damiao(1, 0x11), Damiao(0x7C, 0x7D)], [bus, other], timeout_ms=100)
    stop = threading.Event()

    def loop(group):
        while not stop.is_set():
            group.cycle([MitSetpoint()] * len(group))

    signal.signal(signal.SIGALRM, lambda number, frame: None)
    signal.setitimer(signal.ITIMER_REAL, 0.005, 0.005)
    threads = [threading.Thread(target=loop, args=(group,))
               for group in (answered, silent, silent, elsewhere)]
    for thread in threads:
        thread.start()
    hung = 0
    for _ in range(10):
        time.sleep(0.01)
        pid = os.fork()
        if pid == 0:
            signal.setitimer(signal.ITIMER_REAL, 0)
            both.cycle([MitSetpoint()] * 2)  # both buses' locks were held by other threads
            os._exit(0)
        deadline = time.monotonic() + 10
        while (done := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
            time.sleep(0.01)
        if done[0] == 0:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            hung += 1
        elif done[1] != 0:
            hung += 1
    signal.setitimer(signal.ITIMER_REAL, 0)
    stop.set()
    for thread in threads:
        thread.join()
    print(hung)
"""

# multiprocessing's fork start method (the default on Linux before 3.14),
# with a cycle running in the parent: the worker makes its own bus and group.
MULTIPROCESSING_FORK = """
    import multiprocessing, sys, threading, warnings
    from axiolink import Damiao, MitSetpoint, MotorState, SocketCanTransport
    from axiolink_ext import MotorGroup
    warnings.simplefilter("ignore", DeprecationWarning)

    def worker(iface, results):
        bus = SocketCanTransport(iface)
        states = MotorGroup([Damiao(1, 0x11)], bus, timeout_ms=100).cycle([MitSetpoint()])
        results.put(type(states[0]).__name__)

    if __name__ == "__main__":
        bus = SocketCanTransport(sys.argv[1])
        silent = MotorGroup([Damiao(0x7A, 0x7B)], bus, timeout_ms=50)
        stop = threading.Event()
        looping = threading.Thread(target=lambda: [silent.cycle([MitSetpoint()])
                                                   for _ in iter(stop.is_set, True)])
        looping.start()
        context = multiprocessing.get_context("fork")
        results = context.Queue()
        outcomes = []
        for _ in range(3):
            process = context.Process(target=worker, args=(sys.argv[1], results))
            process.start()
            process.join(20)
            if process.is_alive():
                process.kill()
                outcomes.append("hung")
            else:
                outcomes.append(results.get(timeout=5))
        stop.set()
        looping.join()
        print(" ".join(outcomes))
"""


class ForkTest(unittest.TestCase):
    def test_a_child_forked_while_threads_cycle_can_cycle_at_once(self):
        with Emulator("--motor", "1:0x11"):
            done = run_python(FORK_DURING_CYCLES, timeout=300)
        self.assertEqual(done.stdout.strip(), "0", done.stderr)

    def test_multiprocessing_with_fork_while_a_cycle_runs(self):
        # Written to a file: the fork start method needs the main module.
        with Emulator("--motor", "1:0x11"):
            done = run_python(MULTIPROCESSING_FORK, timeout=300)
        self.assertEqual(done.stdout.split(), ["MotorState"] * 3, done.stderr)


def interrupted_answers(group, cycles):
    """Runs cycles; returns how many results were a MotorError a signal
    caused, and how many cycles had every state."""
    interrupted = complete = 0
    for _ in range(cycles):
        states = group.cycle([MitSetpoint()] * len(group))
        interrupted += sum(isinstance(s, MotorError) and s.kind == "interrupted" for s in states)
        complete += all(type(s) is MotorState for s in states)
    return interrupted, complete


class SignalTest(unittest.TestCase):
    def setUp(self):
        self.bus = SocketCanTransport(IFACE)
        self.group = MotorGroup([Damiao(i, 0x10 + i, timeout_ms=REPLY_MS) for i in (1, 2, 3)],
                                self.bus, timeout_ms=REPLY_MS)
        self.alarms = []
        previous = signal.signal(signal.SIGALRM, lambda number, frame: self.alarms.append(number))
        self.addCleanup(signal.signal, signal.SIGALRM, previous)
        self.addCleanup(signal.setitimer, signal.ITIMER_REAL, 0)

    def test_a_signal_in_a_worker_costs_no_answer(self):
        # Blocked in the main thread, the timer's signal can only interrupt
        # the worker's waits; no handler can run there, so they go on.
        outcome = []

        def worker():
            signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGALRM})
            outcome.append(interrupted_answers(self.group, 300))

        with Emulator(*EMULATED):
            signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGALRM})
            try:
                thread = threading.Thread(target=worker)
                signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
                thread.start()
                thread.join(120)
                signal.setitimer(signal.ITIMER_REAL, 0)
            finally:
                signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGALRM})
        [(interrupted, complete)] = outcome
        self.assertEqual(interrupted, 0)
        self.assertGreater(complete, 150)
        self.assertGreater(len(self.alarms), 0)

    def test_a_handler_that_returns_lets_the_main_threads_cycle_go_on(self):
        with Emulator(*EMULATED):
            signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
            interrupted, complete = interrupted_answers(self.group, 300)
            signal.setitimer(signal.ITIMER_REAL, 0)
        self.assertEqual(interrupted, 0)
        self.assertGreater(complete, 150)
        self.assertGreater(len(self.alarms), 10)

    def test_what_a_handler_raises_is_what_the_cycle_raises(self):
        class Stop(Exception):
            pass

        def stop(number, frame):
            raise Stop(number)

        signal.signal(signal.SIGALRM, stop)
        silent = MotorGroup([Damiao(0x7A, 0x7B)], self.bus, timeout_ms=100)
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with self.assertRaises(Stop):
            for _ in range(100):
                silent.cycle([MitSetpoint()])


# Floods vcan0 with foreign frames until killed.
FLOODER = textwrap.dedent("""
    import socket, struct, sys, time
    sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    sock.bind((sys.argv[1],))
    frame = struct.pack("=IB3x8s", 0x123, 8, bytes(8))
    print("ready", flush=True)
    while True:
        try:
            sock.send(frame)
        except OSError:
            time.sleep(0.001)
""")


class FloodTest(unittest.TestCase):
    def test_ctrl_c_ends_a_flooded_cycle_long_before_its_deadline(self):
        bus = SocketCanTransport(IFACE)
        silent = MotorGroup([Damiao(0x7A, 0x7B)], bus, timeout_ms=100)  # nobody answers
        flooder = subprocess.Popen([sys.executable, "-c", FLOODER, IFACE], stdout=subprocess.PIPE,
                                   text=True)
        self.addCleanup(flooder.stdout.close)
        self.addCleanup(flooder.wait, 10)
        self.addCleanup(flooder.kill)
        self.assertEqual(flooder.stdout.readline().strip(), "ready")
        latencies = []
        for _ in range(5):
            cycling = threading.Event()
            signalled = []

            def interrupt():
                # Well inside a cycle: it would otherwise run 80 ms more.
                cycling.wait()
                time.sleep(0.02)
                signalled.append(time.monotonic())
                os.kill(os.getpid(), signal.SIGINT)

            helper = threading.Thread(target=interrupt)
            helper.start()
            try:
                with self.assertRaises(KeyboardInterrupt):
                    for _ in range(100):
                        cycling.set()
                        silent.cycle([MitSetpoint()])
                latencies.append(time.monotonic() - signalled[0])
            finally:
                helper.join()
        print(f"\n[ timing ] Ctrl-C in a flood ended the cycle {statistics.median(latencies) * 1000:.1f}"
              f" ms (median of 5; max {max(latencies) * 1000:.1f} ms) after the signal",
              file=sys.stderr)
        self.assertLess(statistics.median(latencies), 0.05)


# Two groups whose buses come in opposite orders, each in a thread, and
# plain commands holding one bus in a third: with the buses locked in one
# order, nothing waits in a circle.
OPPOSITE_ORDERS = """
    import sys, threading, time
    from axiolink import Damiao, MitSetpoint, SocketCanTransport
    from axiolink_ext import MotorGroup
    first, second = SocketCanTransport(sys.argv[1]), SocketCanTransport("vcan1")
    silent = [Damiao(0x7A, 0x7B), Damiao(0x7C, 0x7D)]
    groups = [MotorGroup(silent, [first, second], timeout_ms=2),
              MotorGroup(silent, [second, first], timeout_ms=2)]
    stop = threading.Event()
    rounds = []

    def cycles(group):
        n = 0
        while not stop.is_set():
            group.cycle([MitSetpoint()] * 2)
            n += 1
        rounds.append(n)

    def plain():
        while not stop.is_set():
            try:
                Damiao(0x7E, 0x7F, timeout_ms=2).enable(first)
            except RuntimeError:
                pass

    threads = [threading.Thread(target=cycles, args=(g,), daemon=True) for g in groups]
    threads.append(threading.Thread(target=plain, daemon=True))
    for thread in threads:
        thread.start()
    time.sleep(3)
    stop.set()
    for thread in threads:
        thread.join(20)
    print("stuck" if any(t.is_alive() for t in threads) else f"done {min(rounds)}", flush=True)
"""


class LockOrderTest(unittest.TestCase):
    def test_groups_sharing_buses_in_opposite_orders_never_wait_in_a_circle(self):
        try:
            done = run_python(OPPOSITE_ORDERS, timeout=120)
            out = done.stdout.strip()
        except subprocess.TimeoutExpired:
            out = "stuck"
        self.assertTrue(out.startswith("done"), out)
        self.assertGreater(int(out.split()[1]), 0)


class SendQueueTest(unittest.TestCase):
    """A transmit queue that really fills: a rate-limiting queue on vcan0 that
    holds ten frames and lets about 7800 a second out, as a 1 Mbit/s adapter
    with a transmit queue of 10 does."""

    def setUp(self):
        subprocess.run(["tc", "qdisc", "replace", "dev", IFACE, "root", "tbf", "rate", "1mbit",
                        "burst", "100", "limit", "160"], check=True)
        self.addCleanup(subprocess.run, ["tc", "qdisc", "del", "dev", IFACE, "root"], check=True)
        self.bus = SocketCanTransport(IFACE)

    def test_twelve_and_twenty_four_motors_cycle_with_no_error(self):
        for count in (12, 24):
            ids = range(1, count + 1)
            with self.subTest(motors=count), \
                    Emulator(*[arg for i in ids for arg in ("--motor", f"{i}:0x{0x40 + i:x}")]):
                group = MotorGroup([Damiao(i, 0x40 + i) for i in ids], self.bus,
                                   timeout_ms=REPLY_MS)
                errors, answered = [], [0] * count
                for _ in range(30):
                    for i, state in enumerate(group.cycle([MitSetpoint()] * count)):
                        if isinstance(state, MotorError):
                            errors.append(state)
                        else:
                            answered[i] += 1
                # A frame the queue could not take is a send error. An
                # emulated machine on a busy host may answer some cycles late
                # (a time-out); every motor's frames must still go out.
                self.assertEqual([str(e) for e in errors if e.kind != "timeout"], [])
                self.assertLess(len(errors), 0.1 * 30 * count, [str(e) for e in errors][:5])
                self.assertGreater(min(answered), 15, answered)


class LateAnswerTest(unittest.TestCase):
    def setUp(self):
        self.bus = SocketCanTransport(IFACE)

    def test_receive_times_and_late_answers_are_told(self):
        # Motor 2 answers 40 ms late: each 20 ms cycle misses it, and its
        # answer waits on the socket when the next cycle starts.
        with Emulator("--motor", "1:0x11", "--motor", "2:0x12", "--fault", "delay=40@2"):
            group = MotorGroup([Damiao(1, 0x11), Damiao(2, 0x12)], self.bus, timeout_ms=20)
            times = array("q", [-1, -1])
            for _ in range(3):
                before = time.monotonic_ns()
                states = group.cycle([MitSetpoint()] * 2, times=times)
                after = time.monotonic_ns()
                self.assertIs(type(states[0]), MotorState)
                self.assertEqual((states[1].kind, times[1]), ("timeout", 0))
                self.assertTrue(before < times[0] < after, (before, times[0], after))
                time.sleep(0.06)
            listed = [None, None]
            group.cycle([MitSetpoint()] * 2, times=listed)
            self.assertIsInstance(listed[0], int)
            # A buffer that says its byte order (ctypes: "<q") is taken too.
            native = (ctypes.c_int64 * 2)()
            group.cycle([MitSetpoint()] * 2, times=native)
            self.assertGreater(native[0], 0)
        self.assertEqual(group.late_answers[0], 0)
        self.assertGreaterEqual(group.late_answers[1], 3)
        with self.assertRaises(ValueError):
            group.cycle([MitSetpoint()] * 2, times=array("q", [0]))
        for wrong in (array("d", [0, 0]), (ctypes.c_int64.__ctype_be__ * 2)()):
            with self.assertRaises(TypeError):
                group.cycle([MitSetpoint()] * 2, times=wrong)

    def test_a_late_enabled_answer_is_never_taken_for_a_groups_disable(self):
        # An enable whose caller gave up before its answer: the frame is sent
        # bare, so no wait of ours decides when "enabled" comes back (40 ms
        # later, while the disable waits).
        for taker in ("plain", "group"):
            with self.subTest(taker), Emulator("--motor", "1:0x11", "--fault", "delay=40"), \
                    closing(open_raw()) as raw:
                bus = SocketCanTransport(IFACE)
                raw.send(pack(Frame(0x001, bytes([0xFF] * 7 + [0xFC]))))
                if taker == "plain":
                    # A plain command takes the first answer at the master id.
                    self.assertEqual(Damiao(1, 0x11, timeout_ms=100).disable(bus).error, 1)
                else:
                    group = MotorGroup([Damiao(1, 0x11)], bus, timeout_ms=100)
                    [state] = group.disable()
                    self.assertEqual(state.error, 0)
                    # The stale answer, found waiting or taken during the wait.
                    self.assertGreaterEqual(group.late_answers[0], 1)


class RefusalTest(unittest.TestCase):
    def test_what_cannot_work_is_refused_before_anything_is_sent(self):
        bus = SocketCanTransport(IFACE)
        nine = [SocketCanTransport(IFACE) for _ in range(9)]
        motors = [Damiao(i, 0x20 + i) for i in range(1, 10)]
        cases = [
            ((motors, nine), "a motor group spans at most 8 buses"),
            (([Damiao(1, 0x11), Damiao(1, 0x12)], bus),
             "motors 0 and 1 of the group have the same motor id 0x001 on one bus: each would "
             "obey both"),
            (([Damiao(1, 0x11), Damiao(2, 0x101)], bus),
             "motor 1 of the group answers at 0x101, the POS_VEL command id of motor 0 on one "
             "bus: its answers would command that motor"),
        ]
        for args, text in cases:
            with self.subTest(text), self.assertRaises(ValueError) as caught:
                MotorGroup(*args)
            self.assertEqual(str(caught.exception), text)
        group = MotorGroup(motors[:8], nine[:8])
        self.assertEqual(group.timeout_ms, 20)
        with self.assertRaises(ValueError) as caught:
            group.cycle([MitSetpoint()] * 9)
        self.assertEqual(str(caught.exception), "setpoints: expected one for every motor (8), got 9")
        self.assertEqual(repr(MotorGroup([Damiao(1, 0x11), Damiao(0x12, 0x22)], bus)),
                         "MotorGroup(0x01@0x011, 0x12@0x022, timeout_ms=20)")
        self.assertEqual(repr(MotorGroup([Damiao(1, 0x11), Damiao(1, 0x11)], nine[:2])),
                         "MotorGroup(0x01@0x011 on bus 0, 0x01@0x011 on bus 1, timeout_ms=20)")


if __name__ == "__main__":
    unittest.main()
