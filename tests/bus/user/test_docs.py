"""Every shell and Python block of the README and docs/, run as a reader
would type it, against the emulator on a virtual interface named can0.

A block that cannot run here says why in a comment on the line before it,
`<!-- not run: REASON -->` (it needs an adapter, installs packages, builds
the project); one that runs until it is stopped says
`<!-- until stopped -->` and must still be running after a few seconds. The
Python blocks of one page run in order in one interpreter, as a tutorial is
read; each shell block runs on its own. Each page and each shell block gets a
network namespace of its own with can0 (and vcan0, unless the block creates
it) and two emulated dm4310 motors on can0, 1:0x11 and 2:0x12, in POS_VEL
mode, as they ship."""

import glob
import json
import os
import re
import subprocess
import sys
import tempfile
import unittest

from user_support import DMCTL, REPLY_TIMEOUT_MS, REPO, for_this_machine

EMULATOR = os.environ.get("AXIOLINK_EMULATOR", "")
PAGES = [os.path.join(REPO, "README.md"), *sorted(glob.glob(os.path.join(REPO, "docs", "*.md")))]
BLOCK = re.compile(r"^```(sh|python)\n(.*?)^```$", re.M | re.S)
MARK = re.compile(r"<!-- (not run|until stopped)(?:: ([^>]*?))? -->\n*$")
STILL_RUNNING_AFTER = 3  # seconds

# Runs in the namespace before the block: the bus, the motors, then the block
# ($1: "sh" or "python", $2: the block or a file of blocks, $3: "stopped"
# when it runs until stopped).
SETUP = r"""
set -euo pipefail
ip link set lo up
ip link add can0 type vcan && ip link set can0 up
case $2 in *"ip link add vcan0"*) ;; *) ip link add vcan0 type vcan && ip link set vcan0 up ;; esac
ready=$(mktemp -u)
"$AXIOLINK_EMULATOR" --iface can0 --motor 0x01:0x11:dm4310:2 --motor 0x02:0x12:dm4310:2 \
    --ready-file "$ready" &
for _ in $(seq 1000); do [ -e "$ready" ] && break; sleep 0.01; done
if [ "$1" = python ]; then
    exec python -c "$PYTHON_BLOCKS" "$2"
elif [ "${3-}" = stopped ]; then
    status=0
    timeout -s INT "$STILL_RUNNING_AFTER" bash -euo pipefail -c "$2" || status=$?
    [ "$status" = 124 ] || { echo "ended with status $status before it was stopped" >&2; exit 1; }
else
    exec bash -euo pipefail -c "$2"
fi
"""

# Runs the Python blocks of one page in order in one namespace, saying which
# one failed.
PYTHON_BLOCKS = r"""
import json, sys, traceback
namespace = {"__name__": "__main__"}
for line, code in json.load(open(sys.argv[1])):
    try:
        exec(compile(code, f"block at line {line}", "exec"), namespace)
    except BaseException:
        traceback.print_exc()
        sys.exit(f"the block at line {line} failed")
"""


def blocks(path):
    """(line, language, code, mark, reason) of every shell and Python block."""
    with open(path) as page:
        text = page.read()
    for found in BLOCK.finditer(text):
        mark = MARK.search(text, 0, found.start())
        kind, reason = (mark.group(1), mark.group(2)) if mark else (None, None)
        yield text.count("\n", 0, found.start()) + 1, found.group(1), found.group(2), kind, reason


class DocumentationBlocksTest(unittest.TestCase):
    def setUp(self):
        # What a reader has: the tools and `python` on the PATH, and sudo
        # (here everything already runs as root).
        self.bin = tempfile.mkdtemp()
        shims = [("sudo", '"$@"'), ("python", f'"{sys.executable}" "$@"')]
        if REPLY_TIMEOUT_MS != "20":
            # A slow machine gives dmctl the reply time-out it needs.
            shims.append(("dmctl", f'"{DMCTL}" --timeout-ms {REPLY_TIMEOUT_MS} "$@"'))
        for name, target in shims:
            with open(os.path.join(self.bin, name), "w") as shim:
                shim.write(f"#!/bin/sh\nexec {target}\n")
            os.chmod(os.path.join(self.bin, name), 0o755)
        self.env = dict(os.environ, PYTHON_BLOCKS=PYTHON_BLOCKS,
                        STILL_RUNNING_AFTER=str(STILL_RUNNING_AFTER),
                        PATH=os.pathsep.join([self.bin, os.path.dirname(DMCTL),
                                              os.path.dirname(EMULATOR), os.environ["PATH"]]))

    def run_in_namespace(self, *args):
        # A PID namespace too: whatever the block leaves running ends with it.
        return subprocess.run(["unshare", "--net", "--pid", "--fork", "--kill-child", "--",
                               "bash", "-c", SETUP, "setup", *args], cwd=REPO, env=self.env,
                              capture_output=True, text=True, timeout=300)

    def test_every_block_that_can_run_runs(self):
        ran = 0
        for path in PAGES:
            name = os.path.relpath(path, REPO)
            python = []
            for line, language, code, mark, reason in blocks(path):
                with self.subTest(f"{name}:{line}"):
                    if mark == "not run":
                        self.assertTrue(reason, "a block that is not run says why")
                        continue
                    if language == "python":
                        python.append((line, for_this_machine(code)))
                        continue
                    done = self.run_in_namespace("sh", code, "stopped" if mark else "")
                    self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
                    ran += 1
            if python:
                with self.subTest(f"{name}: Python blocks"), \
                        tempfile.NamedTemporaryFile("w", suffix=".json") as listing:
                    json.dump(python, listing)
                    listing.flush()
                    done = self.run_in_namespace("python", listing.name)
                    self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
                    ran += len(python)
        # The pattern finds blocks at all: the README alone has several.
        self.assertGreater(ran, 10)


if __name__ == "__main__":
    unittest.main()
