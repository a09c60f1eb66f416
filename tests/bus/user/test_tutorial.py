"""The Python tutorial read as a newcomer reads it, on the virtual bus: its
emulator started with the page's own line, block 1 set for the one-motor or
the two-motor path, every Python block typed in order into one interpreter,
going on after a block that fails. Whatever fails, and also with a motor
missing, every motor's last frame after every block must be a disable: a
reader may stop after any of them."""

import json
import os
import re
import shlex
import subprocess
import sys
import tempfile
import unittest

from test_docs import blocks
from user_support import REPO, Capture, Emulator, for_this_machine

PAGE = os.path.join(REPO, "docs", "tutorial.md")
DISABLE = "FFFFFFFFFFFFFFFD"

# A frame at an id no motor listens to, sent after each block with the
# block's line: where the capture is cut to look at the motors in between.
MARKER_ID = 0x7F0

# Runs the blocks of a JSON list in order in one namespace, as an interactive
# session does: a block that raises is reported and the next one still runs.
# After each block it puts a marker on the bus (through a socket of its own);
# at the end it prints the blocks that failed, with their exceptions' names.
TYPED_IN = r"""
import json, socket, struct, sys, traceback
namespace = {"__name__": "__main__"}
marker = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
marker.bind(("vcan0",))
failed = []
for line, code in json.load(open(sys.argv[1])):
    try:
        exec(compile(code, f"block at line {line}", "exec"), namespace)
    except Exception as error:
        traceback.print_exc()
        failed.append([line, type(error).__name__])
    marker.send(struct.pack("=IB3x8s", %d, 4, struct.pack("<I", line)))
print(json.dumps(failed))
""" % MARKER_ID


def page_blocks():
    return list(blocks(PAGE))


def emulator_motors():
    """The --motor arguments of the page's dm-emulator line, which must run
    on vcan0, as {motor id: argument}."""
    for _, language, code, _, _ in page_blocks():
        for line in code.splitlines():
            if language == "sh" and line.startswith("dm-emulator "):
                args = shlex.split(line)[1:]
                assert args[:2] == ["--iface", "vcan0"], line
                motors = args[3::2]
                assert args[2::2] == ["--motor"] * len(motors), line
                return {int(motor.split(":")[0], 0): motor for motor in motors}
    raise AssertionError("the page starts no emulator")


def python_for(motor_ids):
    """The page's Python blocks with block 1 set for `motor_ids` on vcan0."""
    typed = []
    for line, language, code, mark, _ in page_blocks():
        if language != "python" or mark == "not run":
            continue
        if not typed:
            code, named = re.subn(r'^IFACE = "[^"]*"', 'IFACE = "vcan0"', code, flags=re.M)
            code, listed = re.subn(r"^MOTOR_IDS = \[[^\]]*\]", f"MOTOR_IDS = {motor_ids}", code,
                                   flags=re.M)
            assert (named, listed) == (1, 1), "block 1 sets IFACE and MOTOR_IDS"
        typed.append((line, for_this_machine(code)))
    return typed


class TutorialTest(unittest.TestCase):
    def read(self, motor_ids, present):
        """Runs the page for `motor_ids` with the motors of `present`
        emulated; returns the failed blocks, the output and, after each
        block, (its line, each motor's last command frame as hex)."""
        emulated = emulator_motors()
        args = [arg for i in present for arg in ("--motor", emulated[i])]
        with tempfile.NamedTemporaryFile("w", suffix=".json") as listing, Capture() as capture:
            json.dump(python_for(motor_ids), listing)
            listing.flush()
            if args:
                with Emulator(*args):
                    done = self.type_in(listing.name)
            else:
                done = self.type_in(listing.name)
            last, after = {}, []
            for frame in capture.frames():
                if frame.can_id in motor_ids:
                    last[frame.can_id] = frame.data.hex().upper()
                elif frame.can_id == MARKER_ID:
                    line = int.from_bytes(frame.data, "little")
                    after.append((line, [last.get(i) for i in motor_ids]))
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        failed = json.loads(done.stdout.splitlines()[-1])
        return failed, done.stdout + done.stderr, after

    def type_in(self, listing):
        return subprocess.run([sys.executable, "-c", TYPED_IN, listing], capture_output=True,
                              text=True, timeout=300)

    def test_every_path_leaves_every_motor_disabled(self):
        paths = [
            # motor ids of the path, the motors that answer
            ([1], [1]),
            ([1, 2], [1, 2]),
            ([1], []),
            ([1, 2], [1]),
        ]
        for motor_ids, present in paths:
            with self.subTest(motors=motor_ids, answering=present):
                failed, output, after = self.read(motor_ids, present)
                if present == motor_ids:
                    self.assertEqual(failed, [], output)
                else:
                    # The missing motor's time-outs, and nothing else: no
                    # block trips over what an earlier failed block left.
                    self.assertTrue(failed, output)
                    self.assertLessEqual({kind for _, kind in failed},
                                         {"RuntimeError", "MotorError"}, output)
                self.assertEqual(len(after), len(python_for(motor_ids)), output)
                # Commanded or not yet, never left with anything but a disable.
                for line, last in after:
                    self.assertLessEqual(set(last), {DISABLE, None}, f"after the block at line "
                                                                     f"{line}\n{output}")
                self.assertEqual(after[-1][1], [DISABLE] * len(motor_ids), output)


if __name__ == "__main__":
    unittest.main()
