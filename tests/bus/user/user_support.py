"""What the tests of the user-facing programs share: the bus peers of the
Python bus tests, the programs under test and a way to run them."""

import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.abspath(os.path.join(HERE, "..", "..", ".."))
sys.path.insert(0, os.path.join(REPO, "tests", "bus", "python"))

from bus_support import IFACE, Capture, Emulator  # noqa: E402,F401

DMCTL = os.environ.get("AXIOLINK_DMCTL", "")


def run(argv, timeout=60, **kwargs):
    """The finished process of `argv`, its output as text."""
    return subprocess.run(argv, capture_output=True, text=True, timeout=timeout, **kwargs)


def dmctl(*args, iface=IFACE, timeout=60):
    return run([DMCTL, "--iface", iface, *args], timeout=timeout)
