"""Peers on the virtual bus for the Python bus tests: an independent capture
socket, the motor emulator, and a scripted responder process.

Commands hold the interpreter lock while they wait for a reply, so anything
that must answer during a command runs in another process."""

import os
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest
from dataclasses import dataclass

IFACE = "vcan0"
# A feedback frame for scripted motors to answer with (the decoding example).
ANY_REPLY = bytes.fromhex("117FFF7FF7FF1A1C")
EMULATOR = os.environ.get("AXIOLINK_EMULATOR", "")
# The reply time-out of commands that expect an answer: the module's default
# 20 ms, unless the test leg asks for more (an emulated machine on a busy
# host does not always answer that fast). Tests of time-outs themselves keep
# their own values.
REPLY_MS = int(os.environ.get("AXIOLINK_TEST_REPLY_TIMEOUT_MS", "20"))

CAN_EFF_FLAG = 0x80000000
CAN_RTR_FLAG = 0x40000000
CAN_ERR_FLAG = 0x20000000
SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", 35)  # Linux value; not every build exports it
SO_RCVBUFFORCE = getattr(socket, "SO_RCVBUFFORCE", 33)
# Option 35 is the original one: the kernel stamps with two C longs, 8 bytes on
# 32-bit ARM even where the C library's time_t has 64 bits, 16 on 64-bit hosts.
KERNEL_TIMESPEC = struct.Struct("@ll")
CLASSIC = struct.Struct("=IB3x8s")
FD = struct.Struct("=IBB2x64s")


@dataclass(frozen=True)
class Frame:
    can_id: int
    data: bytes
    extended: bool = False
    fd: bool = False

    def __str__(self):
        return f"{self.can_id:03X}#{self.data.hex().upper()}"


def open_raw(iface=IFACE):
    sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    sock.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FD_FRAMES, 1)
    sock.bind((iface,))
    return sock


def pack(frame):
    can_id = frame.can_id | (CAN_EFF_FLAG if frame.extended else 0)
    if frame.fd:
        return FD.pack(can_id, len(frame.data), 0x04, frame.data)
    return CLASSIC.pack(can_id, len(frame.data), frame.data)


def unpack(raw):
    if len(raw) == FD.size:
        can_id, length, _flags, data = FD.unpack(raw)
        fd = True
    else:
        can_id, length, data = CLASSIC.unpack(raw)
        fd = False
    extended = bool(can_id & CAN_EFF_FLAG)
    can_id &= 0x1FFFFFFF if extended else 0x7FF
    return Frame(can_id, data[:length], extended, fd)


class Capture:
    """An independent socket that sees every frame sent on the bus."""

    def __init__(self, iface=IFACE):
        self.sock = open_raw(iface)
        self.sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        # Room for every frame of a test's run (the default holds a few
        # hundred); beyond the system's limit only root may ask, as the
        # guest's tests run.
        try:
            self.sock.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 16 << 20)
        except OSError:
            pass

    def timed_frames(self, settle=0.05, until=None, nanoseconds=False):
        """(frame, kernel receive time in seconds) for every frame seen so
        far, waiting `settle` seconds for stragglers. On a bus that never
        falls silent (a running servo loop) `until`, a time.time(), ends the
        reading at the first frame received after it. `nanoseconds`: the
        time as whole nanoseconds, exact where a float of seconds today
        resolves only about a quarter of a microsecond."""
        seen = []
        self.sock.settimeout(settle)
        if until is not None and nanoseconds:
            until = until * 1e9
        while not (until is not None and seen and seen[-1][1] is not None and
                   seen[-1][1] > until):
            try:
                raw, ancillary, _flags, _address = self.sock.recvmsg(FD.size, socket.CMSG_SPACE(KERNEL_TIMESPEC.size))
            except (socket.timeout, BlockingIOError):
                return seen
            stamp = None
            for level, kind, payload in ancillary:
                if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS:
                    seconds, nanos = KERNEL_TIMESPEC.unpack(payload[: KERNEL_TIMESPEC.size])
                    stamp = (seconds * 1_000_000_000 + nanos if nanoseconds
                             else seconds + nanos / 1e9)
            seen.append((unpack(raw), stamp))
        return seen

    def frames(self, settle=0.05, until=None):
        """Every frame seen so far, waiting `settle` seconds for stragglers."""
        return [frame for frame, _ in self.timed_frames(settle, until)]

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class BusTestCase(unittest.TestCase):
    """A bus for the commands under test and an independent capture of it."""

    def setUp(self):
        # Imported here, not at the top: the responder process runs this file
        # and must stay independent of the code under test.
        from axiolink import SocketCanTransport

        self.bus = SocketCanTransport(IFACE)
        self.capture = Capture()

    def tearDown(self):
        self.capture.close()

    def sent_by_us(self, motor_answers_at=0x011):
        """What the capture saw, as ID#DATA texts, minus the motor's answers."""
        return [str(f) for f in self.capture.frames() if f.can_id != motor_answers_at]


class _Process:
    """A peer process that signals readiness by creating a file. An emulated
    machine on a busy host can take well over ten seconds to start an
    interpreter; the wait only ends early when something is wrong."""

    def start(self, argv, ready_file, timeout=60.0):
        self.process = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                        text=True)
        deadline = time.monotonic() + timeout
        while not os.path.exists(ready_file):
            if self.process.poll() is not None or time.monotonic() > deadline:
                output = self.stop()
                raise RuntimeError(f"{argv[0]} did not become ready: {output}")
            time.sleep(0.005)

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            output, _ = self.process.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            output, _ = self.process.communicate()
        return output


class Emulator(_Process):
    """dm-emulator on the bus: Emulator("--motor", "1:0x11", "--fault", "silent")."""

    def __init__(self, *args, iface=IFACE):
        if not EMULATOR:
            raise RuntimeError("AXIOLINK_EMULATOR does not name the emulator program")
        self.args = [EMULATOR, "--iface", iface, *args]

    def __enter__(self):
        self.ready = tempfile.mktemp(prefix="emulator-ready-")
        self.start([*self.args, "--ready-file", self.ready], self.ready)
        return self

    def __exit__(self, *exc):
        self.output = self.stop()


class Responder(_Process):
    """Answers frames at given ids with scripted frames, once per trigger:
    Responder({0x001: [Frame(0x011, bytes(...))]}, delay=0.0)."""

    def __init__(self, script, delay=0.0, iface=IFACE):
        self.script = script
        self.delay = delay
        self.iface = iface

    def __enter__(self):
        self.ready = tempfile.mktemp(prefix="responder-ready-")
        rules = []
        for trigger, replies in self.script.items():
            for reply in replies:
                rules += [f"{trigger:x}", f"{reply.can_id:x}", reply.data.hex(),
                          "x" if reply.extended else "s"]
        self.start([sys.executable, __file__, self.iface, self.ready, str(self.delay), *rules],
                   self.ready)
        return self

    def __exit__(self, *exc):
        self.stop()
        if os.path.exists(self.ready):
            os.unlink(self.ready)


def _respond(iface, ready, delay, rules):
    script = {}
    for i in range(0, len(rules), 4):
        trigger, can_id, data, kind = rules[i:i + 4]
        script.setdefault(int(trigger, 16), []).append(
            Frame(int(can_id, 16), bytes.fromhex(data), extended=kind == "x"))
    sock = open_raw(iface)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    open(ready, "w").close()
    while True:
        frame = unpack(sock.recv(FD.size))
        if frame.extended or frame.can_id not in script:
            continue
        if delay:
            time.sleep(delay)
        for reply in script[frame.can_id]:
            sock.send(pack(reply))


if __name__ == "__main__":
    _respond(sys.argv[1], sys.argv[2], float(sys.argv[3]), sys.argv[4:])
