#!/usr/bin/env python3
"""Runs one CTest entry's command with more arguments appended.

    ctest_subset.py --build build py312.bus_python -- -k test_companion_bus

The entry's command, environment and working directory come from
`ctest --show-only=json-v1`, so the paths stay those CMake configured. What
follows `--` goes after the command's own arguments: for the unittest
entries, `-k PATTERN` (repeatable) keeps only the matching tests, so a mutant
of one file runs the modules that exercise it instead of a whole suite that
runs inside one boot of the virtual bus. Exits with the command's status.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys


def ctest_entry(build: str, name: str) -> dict:
    shown = subprocess.run(["ctest", "--test-dir", build, "--show-only=json-v1"],
                           check=True, capture_output=True, text=True)
    for test in json.loads(shown.stdout)["tests"]:
        if test["name"] == name:
            return test
    raise SystemExit(f"ctest_subset: no CTest entry named {name!r} in {build}")


def property_of(test: dict, name: str, default=None):
    for prop in test.get("properties", []):
        if prop["name"] == name:
            return prop["value"]
    return default


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build", help="the CMake build folder")
    parser.add_argument("name", help="the CTest entry's exact name")
    parser.add_argument("extra", nargs=argparse.REMAINDER,
                        help="arguments appended to the entry's command (after --)")
    args = parser.parse_args(argv)
    extra = args.extra[1:] if args.extra[:1] == ["--"] else args.extra

    test = ctest_entry(args.build, args.name)
    env = dict(os.environ)
    for assignment in property_of(test, "ENVIRONMENT", []):
        key, _, value = assignment.partition("=")
        env[key] = value
    cwd = property_of(test, "WORKING_DIRECTORY")
    command = list(test["command"]) + extra
    print("ctest_subset:", " ".join(command), flush=True)
    return subprocess.call(command, env=env, cwd=cwd)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
