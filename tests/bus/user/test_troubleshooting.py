"""Every error text on the troubleshooting page is one the module produces,
and every error the module produces here is on the page."""

import os
import re
import signal
import subprocess
import unittest

from axiolink import (ControlSetpoint, Damiao, MitLimits, MitSetpoint,  # noqa: F401
                      SocketCanTransport)
from axiolink_ext import MotorGroup, ServoLoop

from user_support import IFACE, REPLY_MS, REPO, Emulator

PAGE = os.path.join(REPO, "docs", "troubleshooting.md")


def documented_texts():
    with open(PAGE) as page:
        return re.findall(r"^### `(.+)`$", page.read(), re.M)


def pattern_of(text):
    """The documented text as a regular expression: {placeholders} match anything."""
    parts = re.split(r"\{[^}]+\}", text)
    return re.compile("^" + ".+?".join(re.escape(part) for part in parts) + "$")


def raised(call):
    try:
        call()
    except (RuntimeError, OSError, TypeError, OverflowError, ValueError) as error:
        return str(error)
    raise AssertionError("no exception")


def backend_text(errno):
    return f"transport error: backend error: {os.strerror(errno)} (os error {errno})"


def servo_loop_texts(bus):
    """The servo loop's messages, each provoked."""
    def group(*ids):
        return MotorGroup([Damiao(i, 0x10 + i, timeout_ms=REPLY_MS) for i in ids], bus,
                          timeout_ms=REPLY_MS)

    texts = {}
    with Emulator("--motor", "1:0x11", "--motor", "2:0x12:dm4310:3", "--fault",
                  "overheat-after=300@3", "--motor", "3:0x13"):
        one = group(1)
        for name, given in (("range", dict(max_misses=-1)), ("gains", dict(kp=600)),
                            ("empty range", dict(min_q=1, max_q=0)), ("p_max", dict(max_q=13)),
                            ("limits", dict(max_velocity=-1)), ("count", dict(min_q=[1, 2]))):
            texts["loop " + name] = raised(lambda: ServoLoop(one, **given))
        texts["loop not started"] = raised(lambda: ServoLoop(one).states())
        texts["loop wait"] = raised(lambda: ServoLoop(one).wait(-1))
        texts["loop mode"] = raised(lambda: ServoLoop(group(2)).start())
        texts["loop silent"] = raised(lambda: ServoLoop(group(9)).start())
        with ServoLoop(one, rate_hz=100, stop_damping_ms=0) as loop:
            texts["loop twice"] = raised(loop.start)
            texts["loop taken"] = raised(ServoLoop(group(1)).start)
            texts["loop nan"] = raised(lambda: loop.set_targets(q=[float("nan")]))
            texts["loop q"] = raised(lambda: loop.set_targets(q=[13]))
            texts["loop tau"] = raised(lambda: loop.set_targets(tau=[11]))
            texts["loop kd"] = raised(lambda: loop.set_targets(kd=[-1]))
        texts["loop stopped"] = raised(lambda: loop.set_targets(q=[0]))
        fault = ServoLoop(group(3), rate_hz=100, stop_damping_ms=0)
        fault.start()
        fault.wait(30)
        texts["loop fault"] = str(fault.stop_reason)
    # A motor that goes away mid-run.
    with Emulator("--motor", "4:0x14"):
        missed = ServoLoop(group(4), rate_hz=100, max_misses=3, stop_damping_ms=0)
        missed.start()
    missed.wait(30)
    texts["loop missed"] = str(missed.stop_reason)
    return texts


class TroubleshootingPageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.produced = cls.produce()

    @staticmethod
    def produce():
        """The messages of the module, provoked on the bus, from the arguments
        and, for system errors this bus cannot cause, from the C library's
        texts in the format the provoked ones prove."""
        bus = SocketCanTransport(IFACE)
        live = {
            "missing": raised(lambda: Damiao(1, 0x11).enable()),
            "wrong class": raised(lambda: Damiao(1, 0x11).enable(None)),
            "not a number": raised(lambda: MitSetpoint(q="x")),
            "too many": raised(lambda: Damiao(1, 2, None, 4, 5)),
            "keyword": raised(lambda: Damiao(1, 2, speed=3)),
            "id range": raised(lambda: Damiao(70000, 1)),
            "negative": raised(lambda: Damiao(1, 2, timeout_ms=-1)),
            "no device": raised(lambda: SocketCanTransport("nocan0")),
            "bad name": raised(lambda: SocketCanTransport("can\0")),
            "timeout": raised(lambda: Damiao(9, 0x19, timeout_ms=5).enable(bus)),
            "limits": raised(lambda: Damiao(1, 0x11, MitLimits(p_max=-0.5))
                             .mit_control(bus, MitSetpoint())),
        }
        # A timer's signal in the middle of a long wait for a missing answer.
        previous = signal.signal(signal.SIGALRM, lambda *_: None)
        try:
            signal.setitimer(signal.ITIMER_REAL, 0.05)
            live["signal"] = raised(lambda: Damiao(9, 0x19, timeout_ms=5000).enable(bus))
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)

        with Emulator("--motor", "1:0x11:dm4310:2", "--motor", "2:0x12", "--fault",
                      "ignore-writes@1", "--fault", "short-reply=5@2"):
            live["mode"] = raised(lambda: Damiao(1, 0x11, timeout_ms=REPLY_MS).ensure_mit_mode(bus))
            live["short"] = raised(lambda: Damiao(2, 0x12, timeout_ms=REPLY_MS).enable(bus))

        live.update(servo_loop_texts(bus))

        down = SocketCanTransport("vcan1")
        subprocess.run(["ip", "link", "set", "vcan1", "down"], check=True)
        try:
            live["down"] = raised(lambda: Damiao(1, 0x11).enable(down))
        finally:
            subprocess.run(["ip", "link", "set", "vcan1", "up"], check=True)

        subprocess.run(["ip", "link", "add", "gone0", "type", "vcan"], check=True)
        subprocess.run(["ip", "link", "set", "gone0", "up"], check=True)
        unplugged = SocketCanTransport("gone0")
        subprocess.run(["ip", "link", "delete", "gone0"], check=True)
        live["unplugged"] = raised(lambda: Damiao(1, 0x11).enable(unplugged))

        assert live["down"] == backend_text(100), live["down"]
        assert live["no device"] == f"{os.strerror(19)} (os error 19)", live["no device"]
        library = [backend_text(105)] + [f"{os.strerror(n)} (os error {n})" for n in (93, 97)]
        # The servo loop's, for a fork, a stop during a start, the interpreter's
        # exit, a refused thread: provoked in the servo loop's own tests.
        library += ["the servo loop runs in another process (this one was forked from it)",
                    "the servo loop was stopped while it started",
                    "the servo loops of this process have been shut down (it is exiting)",
                    f"cannot start the servo loop's thread: {os.strerror(11)} (os error 11)",
                    "stop_kd must be finite and not negative, got -1",
                    "kp and kd must be finite and not negative, got -1 and 0.5"]
        return live, library

    def test_every_documented_text_is_produced(self):
        live, library = self.produced
        messages = list(live.values()) + library
        texts = documented_texts()
        self.assertGreater(len(texts), 15)
        for text in texts:
            with self.subTest(text):
                self.assertTrue(any(pattern_of(text).match(m) for m in messages),
                                f"no producer for {text!r} among {messages}")

    def test_every_produced_error_is_documented(self):
        live, _ = self.produced
        patterns = [pattern_of(text) for text in documented_texts()]
        for cause, message in live.items():
            with self.subTest(cause):
                self.assertTrue(any(p.match(message) for p in patterns),
                                f"{cause}: {message!r} is not on the page")

    def test_the_provoked_texts(self):
        live, _ = self.produced
        self.assertEqual(live["timeout"], "transport error: timeout waiting for frame")
        self.assertEqual(live["mode"], "control mode verification failed: wrote 1, motor reports 2")
        self.assertRegex(live["short"],
                         r"^malformed feedback: expected 8 data bytes, got 5: \[18(, \d+){4}\]$")
        self.assertEqual(live["unplugged"], backend_text(6))
        self.assertEqual(live["signal"], backend_text(4))
        self.assertEqual(live["limits"], "invalid MIT limit: p_max is -0.5, must be >= 0 and not NaN")


if __name__ == "__main__":
    unittest.main()
