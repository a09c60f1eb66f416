#!/usr/bin/env bash
# Installs what is missing, builds the module for every supported interpreter
# found here and runs every test (core, Python, embedded interpreter, virtual
# CAN bus, and the wheel installed into a fresh virtual environment with its
# type checks). Arguments go to ctest.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${AXIOLINK_BUILD_DIR:-$root/build}
# shellcheck source=scripts/common.sh
source "$root/scripts/common.sh"

install_missing_packages cmake ninja-build g++ googletest libgtest-dev libgmock-dev \
    user-mode-linux kmod can-utils iproute2 strace valgrind ccache patchelf

# 3.14 and 3.15 come from Debian's unstable suite where the machine has none.
AXIOLINK_PYTHON_ROOT=$("$root/scripts/debian-pythons.sh")
export AXIOLINK_PYTHON_ROOT
pythons=$(supported_pythons)
tools=$("$root/scripts/python-tools.sh")
echo "building for: ${pythons//;/ }"
# The wheel tests compile what this build compiles, with the same command
# lines: the compiler cache of this build (configure_build sets it up, with
# the compiler named the same whichever script configured the folder first)
# hands them its objects. The working folder is left out of the cache's key
# (-g records it), as the wheels' build folders differ from this one.
# Warnings are errors here, in the project's own build, and nowhere else.
configure_build "$build" -DAXIOLINK_PYTHONS="$pythons" -DBUILD_TESTING=ON \
    -DAXIOLINK_BUS_TESTS=ON -DAXIOLINK_WERROR=ON -DAXIOLINK_PYTHON_TOOLS="$tools"
cmake --build "$build" -j "$(nproc)"
# A bus test runs for most of a minute without a line of its own.
started=$SECONDS
(while sleep 30; do echo "-- tests running for $((SECONDS - started)) s"; done) &
ticker=$!
trap 'kill "$ticker" 2>/dev/null' EXIT
# Commands in the bus tests that expect an answer wait this long for it
# (their programs' 20 ms default is a real board's): the guest is a process
# that a busy shared machine can hold back for tens of milliseconds. The
# tests of time-outs keep their own values.
AXIOLINK_TEST_REPLY_TIMEOUT_MS=${AXIOLINK_TEST_REPLY_TIMEOUT_MS:-100} \
    ctest --test-dir "$build" --output-on-failure -j "$(nproc)" "$@"
