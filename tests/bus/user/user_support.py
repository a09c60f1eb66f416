"""What the tests of the user-facing programs share: the bus peers of the
Python bus tests, the programs under test and a way to run them."""

import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.abspath(os.path.join(HERE, "..", "..", ".."))
sys.path.insert(0, os.path.join(REPO, "tests", "bus", "python"))

from bus_support import IFACE, REPLY_MS, Capture, Emulator  # noqa: E402,F401

DMCTL = os.environ.get("AXIOLINK_DMCTL", "")
# The reply time-out of the programs under test, as an argument.
REPLY_TIMEOUT_MS = str(REPLY_MS)


def for_this_machine(source):
    """Python source with its 20 ms reply time-outs made this machine's."""
    return source.replace("timeout_ms=20", f"timeout_ms={REPLY_TIMEOUT_MS}")


def run(argv, timeout=60, **kwargs):
    """The finished process of `argv`, its output as text."""
    return subprocess.run(argv, capture_output=True, text=True, timeout=timeout, **kwargs)


def dmctl(*args, iface=IFACE, timeout=60):
    return run([DMCTL, "--iface", iface, *args], timeout=timeout)
