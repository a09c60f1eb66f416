"""Ctrl-C during a command's reply wait, on the virtual bus: quiet, and while
foreign frames keep arriving."""

import signal
import subprocess
import sys
import textwrap
import time
import unittest

from axiolink import Damiao, SocketCanTransport

from bus_support import IFACE

# Nobody answers at this id, so every command waits for its whole time-out.
SILENT_MOTOR = dict(motor_id=0x7A, master_id=0x7B)
WAIT_MS = 3000
# How long after the signal the command may still take.
LATENCY = 0.2

# A separate process (the command holds the interpreter lock while it waits):
# says it is ready and sends SIGINT to its parent `delay` seconds later,
# printing when it did so. Flooding, it sends frames of another id all along,
# a burst of them just before the signal (so that they are still queued when
# it comes, and no read is interrupted) and more for half a second after it;
# it also prints how many it had sent by the signal.
SIGNALLER = textwrap.dedent("""
    import os, signal, socket, struct, sys, time
    iface, delay, flood = sys.argv[1], float(sys.argv[2]), sys.argv[3] == "flood"
    sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    sock.bind((iface,))
    frame = struct.pack("=IB3x8s", 0x123, 8, bytes(8))
    def flood_until(end, pause):
        sent = 0
        while time.monotonic() < end:
            if flood:
                sock.send(frame)
                sent += 1
            time.sleep(pause)
        return sent
    print("ready", flush=True)
    sent = flood_until(time.monotonic() + delay, 0.0001)
    for _ in range(200 if flood else 0):
        sock.send(frame)
        sent += 1
    signalled = time.monotonic()
    os.kill(os.getppid(), signal.SIGINT)
    flood_until(signalled + 0.5, 0.0001)
    print(signalled, sent, flush=True)
""")


# A handler that runs Python for a while during a wait, releasing the
# interpreter lock (time.sleep), while another thread calls a command on the
# same bus. Run in a process of its own so that a deadlock ends with it.
CONTENDED = textwrap.dedent("""
    import os, signal, subprocess, sys, threading, time
    from axiolink import Damiao, SocketCanTransport
    iface, signaller = sys.argv[1], sys.argv[2]
    bus = SocketCanTransport(iface)
    outcomes = []
    handler_running = threading.Event()

    def other_thread():
        handler_running.wait(10)
        try:
            Damiao(0x7C, 0x7D, timeout_ms=5).disable(bus)
        except RuntimeError as error:
            outcomes.append(str(error))

    def on_sigint(number, frame):
        handler_running.set()
        time.sleep(0.3)

    signal.signal(signal.SIGINT, on_sigint)
    thread = threading.Thread(target=other_thread)
    thread.start()
    with subprocess.Popen([sys.executable, "-c", signaller, iface, "0.3", "quiet"],
                          stdout=subprocess.PIPE, text=True) as child:
        child.stdout.readline()
        try:
            Damiao(0x7A, 0x7B, timeout_ms=3000).enable(bus)
        except RuntimeError as error:
            outcomes.append(str(error))
        child.stdout.read()
    thread.join(10)
    print(sorted(outcomes))
""")


class InterruptedWaitTest(unittest.TestCase):
    def setUp(self):
        self.bus = SocketCanTransport(IFACE)
        self.motor = Damiao(**SILENT_MOTOR, timeout_ms=WAIT_MS)
        self.addCleanup(signal.signal, signal.SIGINT, signal.getsignal(signal.SIGINT))

    def interrupted_command(self, flood=False, delay=0.3):
        """Runs enable() until SIGINT comes; returns (what it raised, seconds
        from the signal to the end of the command, frames flooded)."""
        signaller = subprocess.Popen([sys.executable, "-c", SIGNALLER, IFACE, str(delay),
                                      "flood" if flood else "quiet"],
                                     stdout=subprocess.PIPE, text=True)
        self.addCleanup(signaller.wait, 10)
        self.addCleanup(signaller.stdout.close)
        self.assertEqual(signaller.stdout.readline().strip(), "ready")
        raised = None
        try:
            try:
                self.motor.enable(self.bus)
            except (KeyboardInterrupt, RuntimeError) as exception:
                raised = exception
                ended = time.monotonic()  # a signal left pending is handled at this call
        except KeyboardInterrupt:
            raised = f"KeyboardInterrupt after the command raised {raised!r}"
            ended = time.monotonic()
        signalled, sent = signaller.stdout.readline().split()
        return raised, ended - float(signalled), int(sent)

    def test_ctrl_c_ends_the_wait_as_keyboard_interrupt(self):
        for flood in [False, True]:
            with self.subTest(flood=flood):
                raised, latency, flooded = self.interrupted_command(flood)
                print(f"\n[ timing ] Ctrl-C {'flooded' if flood else 'quiet'}: ended "
                      f"{latency * 1000:.1f} ms after the signal, {flooded} foreign frames",
                      file=sys.stderr)
                self.assertIs(type(raised), KeyboardInterrupt, raised)
                self.assertLess(latency, LATENCY)
                if flood:
                    self.assertGreater(flooded, 100)

    def test_a_handler_that_does_not_raise_leaves_the_interrupted_read_an_error(self):
        calls = []
        signal.signal(signal.SIGINT, lambda number, frame: calls.append(number))
        raised, latency, _ = self.interrupted_command()
        self.assertEqual(calls, [signal.SIGINT])
        self.assertIs(type(raised), RuntimeError)
        self.assertEqual(str(raised),
                         "transport error: backend error: Interrupted system call (os error 4)")
        self.assertLess(latency, LATENCY)

    def test_a_handler_using_the_same_bus_gets_an_error_instead_of_a_deadlock(self):
        other = Damiao(0x01, 0x11, timeout_ms=5)
        signal.signal(signal.SIGINT, lambda number, frame: other.disable(self.bus))
        raised, latency, _ = self.interrupted_command()
        self.assertIs(type(raised), RuntimeError)
        self.assertEqual(str(raised), "the bus is busy with an unfinished command of this thread")
        self.assertLess(latency, LATENCY)
        with self.assertRaises(RuntimeError) as again:  # the bus is free again
            other.disable(self.bus)
        self.assertEqual(str(again.exception), "transport error: timeout waiting for frame")

    def test_another_thread_waits_for_the_bus_while_a_handler_runs(self):
        try:
            done = subprocess.run([sys.executable, "-c", CONTENDED, IFACE, SIGNALLER],
                                  capture_output=True, text=True, timeout=20)
        except subprocess.TimeoutExpired:
            self.fail("deadlock: the other thread held the interpreter lock waiting for the bus")
        self.assertEqual(done.stdout.strip(), str(sorted([
            "transport error: backend error: Interrupted system call (os error 4)",
            "transport error: timeout waiting for frame"])), done.stderr)


if __name__ == "__main__":
    unittest.main()
