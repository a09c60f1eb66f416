"""Runs unittest suites again and again in one debug interpreter and fails when
the interpreter's total reference count or its count of allocated memory
blocks grows on every checked repetition: the rule of CPython's own `-R`
leak hunting. The first repetitions warm caches up and are not checked.

Usage: python3.Xd hunt.py [--warmups N] [--checked N] FOLDER...
Each FOLDER is discovered as a unittest top-level folder."""

import argparse
import gc
import io
import logging
import sys
import unittest


def settle():
    # Objects in reference cycles are freed by the collector, not at once; a
    # few passes also free what finalizers of the first pass released.
    for _ in range(3):
        gc.collect()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


def run_suites(folders):
    loader = unittest.TestLoader()
    suite = unittest.TestSuite(loader.discover(folder, top_level_dir=folder) for folder in folders)
    stream = io.StringIO()
    result = unittest.TextTestRunner(stream=stream, verbosity=0).run(suite)
    if not result.wasSuccessful():
        sys.stderr.write(stream.getvalue())
    return result.testsRun, result.wasSuccessful()


def growing(deltas, least):
    # [3, 0, 0] or [8, -8, 1] are noise from caches filled late; a leak
    # shows on every repetition. The bus suites, with their threads, signal
    # handlers and peer processes, also vary by a few references from one
    # repetition to the next ([2, 15, 2] has been seen), so a repetition
    # counts as growing from `least` on: a leak in a command or one of its
    # failures grows by once per call, and the suites make tens of calls of
    # each in every repetition.
    return all(delta >= least for delta in deltas)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--warmups", type=int, default=2)
    parser.add_argument("--checked", type=int, default=3)
    parser.add_argument("--least", type=int, default=10,
                        help="growth per repetition that counts (default 10)")
    parser.add_argument("folders", nargs="+")
    options = parser.parse_args()
    if not hasattr(sys, "gettotalrefcount"):
        sys.exit("hunt.py needs a debug build of CPython (sys.gettotalrefcount)")
    for folder in options.folders:
        sys.path.insert(0, folder)
    # Whatever the suites log is formatted and dropped, so that records of
    # the module would pass through the whole of Python's logging.
    logging.basicConfig(level=logging.DEBUG, stream=io.StringIO())

    refs, blocks = [], []
    before = settle()
    for repetition in range(options.warmups + options.checked):
        count, passed = run_suites(options.folders)
        if not passed:
            sys.exit(f"repetition {repetition + 1}: the tests failed")
        after = settle()
        refs.append(after[0] - before[0])
        blocks.append(after[1] - before[1])
        before = after
        print(f"repetition {repetition + 1}: {count} tests, references {refs[-1]:+d}, "
              f"memory blocks {blocks[-1]:+d}", flush=True)
    checked = slice(options.warmups, None)
    leaks = [f"{name} grew by {deltas[checked]}" for name, deltas in
             (("the reference count", refs), ("the allocated blocks", blocks))
             if growing(deltas[checked], options.least)]
    if leaks:
        sys.exit("leak: " + "; ".join(leaks) + f" over the last {options.checked} repetitions")
    print(f"no leak over {options.checked} checked repetitions")


if __name__ == "__main__":
    main()
