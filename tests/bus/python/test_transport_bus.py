"""SocketCanTransport objects on a real virtual bus."""

import collections
import gc
import os
import subprocess
import sys
import tempfile
import textwrap
import unittest

from axiolink import Damiao, SocketCanTransport

from bus_support import IFACE, Emulator


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


def system_calls(count):
    """System calls of `count` commands, by name, as strace lists them.

    Some architectures (32-bit ARM) have send and recv of their own, others
    only sendto and recvfrom; both count as send and recv here."""
    same = {"sendto": "send", "recvfrom": "recv"}
    with tempfile.NamedTemporaryFile("r", suffix=".strace") as trace:
        subprocess.run(["strace", "-o", trace.name, "-e",
                        "trace=setsockopt,sendto,recvfrom,?send,?recv",
                        "--", sys.executable, "-c", COMMANDS, IFACE, str(count)], check=True)
        names = (line.split("(", 1)[0] for line in trace if "(" in line)
        return dict(collections.Counter(same.get(name, name) for name in names))


class SystemCallTest(unittest.TestCase):
    def test_a_steady_command_sends_and_receives_without_setting_the_time_out(self):
        # The receive time-out is the same for every command, so only the
        # first one sets it (the other setsockopt enables FD frames at open).
        # Its one clock reading is a system call only where there is no vDSO.
        with Emulator("--motor", "1:0x11"):
            calls = system_calls(200)
        self.assertEqual(calls, {"setsockopt": 2, "send": 200, "recv": 200})


if __name__ == "__main__":
    unittest.main()
