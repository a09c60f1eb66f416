"""SocketCanTransport objects on a real virtual bus."""

import collections
import gc
import os
import struct
import subprocess
import sys
import tempfile
import textwrap
import unittest

from axiolink import Damiao, SocketCanTransport

from bus_support import IFACE, Capture, Emulator


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


class SocketCanTransportTest(unittest.TestCase):
    def test_opens_by_position_and_keyword(self):
        for bus in [SocketCanTransport(IFACE), SocketCanTransport(iface=IFACE)]:
            self.assertIs(type(bus), SocketCanTransport)
        self.assertTrue(repr(bus).startswith("<axiolink.SocketCanTransport object at 0x"))
        self.assertIsNone(SocketCanTransport.__doc__)

    def test_dropping_the_object_closes_its_socket(self):
        gc.collect()
        before = open_descriptors()
        bus = SocketCanTransport(IFACE)
        self.assertEqual(open_descriptors(), before + 1)
        del bus
        self.assertEqual(open_descriptors(), before)
        SocketCanTransport(IFACE)  # the same interface opens again at once

    def test_failed_opens_leave_no_descriptor(self):
        before = open_descriptors()
        for name, text in [("nosuchcan0", "No such device (os error 19)"),
                           ("vcan0\0", "Invalid argument (os error 22)"),
                           ("lo", None)]:
            with self.subTest(name), self.assertRaises(OSError) as caught:
                SocketCanTransport(name)
            if text is not None:
                self.assertEqual(str(caught.exception), text)
        self.assertEqual(open_descriptors(), before)

    def test_many_buses_on_one_interface(self):
        buses = [SocketCanTransport(IFACE) for _ in range(50)]
        self.assertEqual(len({id(bus) for bus in buses}), 50)

    def test_a_failed_command_leaves_the_bus_usable_and_unlocked(self):
        bus = SocketCanTransport(IFACE)
        silent = Damiao(0x7E, 0x7F, timeout_ms=5)
        for _ in range(3):
            with self.assertRaises(RuntimeError):
                silent.enable(bus)


# `count` MIT commands to an emulated motor, in a process of its own. The
# time-out is generous because tracing on an emulated machine is slow; its
# length does not change which system calls a command makes.
COMMANDS = textwrap.dedent("""
    import sys
    from axiolink import Damiao, MitSetpoint, SocketCanTransport
    bus = SocketCanTransport(sys.argv[1])
    motor = Damiao(0x01, 0x11, timeout_ms=2000)
    for _ in range(int(sys.argv[2])):
        motor.mit_control(bus, MitSetpoint(q=0.5, kp=5.0))
""")


def traced(script, *args, inject=None):
    """The socket calls `script` makes, as (name, strace line).

    Some architectures (32-bit ARM) have send and recv of their own, others
    only sendto and recvfrom; both are named send and recv here. `inject`
    is a strace fault for the sends, e.g. "error=EINTR:when=1"."""
    same = {"sendto": "send", "recvfrom": "recv"}
    options = ["-xx", "-e", "trace=setsockopt,sendto,recvfrom,?send,?recv"]
    if inject:
        options += ["-e", f"inject=sendto,?send:{inject}"]
    with tempfile.NamedTemporaryFile("r", suffix=".strace") as trace:
        subprocess.run(["strace", "-o", trace.name, *options, "--", sys.executable, "-c", script,
                        IFACE, *map(str, args)], check=True)
        calls = [line.strip() for line in trace if "(" in line]
    return [(same.get(name, name), line) for name, line in
            ((line.split("(", 1)[0], line) for line in calls)]


# A motor with the default time-out that nobody answers.
DEFAULT_TIMEOUT = textwrap.dedent("""
    import sys
    from axiolink import Damiao, SocketCanTransport
    try:
        Damiao(0x7A, 0x7B).enable(SocketCanTransport(sys.argv[1]))
    except RuntimeError as error:
        print(error)
""")


class SystemCallTest(unittest.TestCase):
    def test_a_steady_command_sets_the_time_out_sends_and_receives(self):
        # The receive time-out is set before every read, as another holder of
        # the socket (a forked child) may have changed it; the first
        # setsockopt enables FD frames at open. The one clock reading is a
        # system call only where there is no vDSO.
        with Emulator("--motor", "1:0x11"):
            calls = collections.Counter(name for name, _ in traced(COMMANDS, 200))
        self.assertEqual(calls, {"setsockopt": 201, "send": 200, "recv": 200})

    def test_an_interrupted_send_is_made_again_and_the_default_wait_is_20_ms(self):
        with Capture() as capture:
            calls = traced(DEFAULT_TIMEOUT, inject="error=EINTR:when=1")
            frames = [str(frame) for frame in capture.frames()]
        sends = [line for name, line in calls if name == "send"]
        self.assertEqual(len(sends), 2, calls)
        self.assertIn("EINTR", sends[0])
        self.assertEqual(frames, ["07A#FFFFFFFFFFFFFFFC"])
        timeouts = [receive_timeout(line) for name, line in calls if "SO_RCVTIMEO" in line]
        self.assertEqual(timeouts[0], (0, 20000))


def receive_timeout(line):
    """(seconds, microseconds) of a traced SO_RCVTIMEO, whose timeval strace
    shows as hexadecimal bytes: two 32-bit or two 64-bit numbers."""
    raw = bytes.fromhex(line.split('"')[1].replace("\\x", ""))
    return struct.unpack("=qq" if len(raw) == 16 else "=ii", raw)


if __name__ == "__main__":
    unittest.main()
