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
    user-mode-linux kmod can-utils iproute2 strace valgrind

pythons=$(supported_pythons)
tools=$("$root/scripts/python-tools.sh")
echo "building for: ${pythons//;/ }"
# Warnings are errors here, in the project's own build, and nowhere else.
cmake -S "$root" -B "$build" -G Ninja -DAXIOLINK_PYTHONS="$pythons" -DBUILD_TESTING=ON \
    -DAXIOLINK_BUS_TESTS=ON -DAXIOLINK_WERROR=ON -DAXIOLINK_PYTHON_TOOLS="$tools"
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" "$@"
