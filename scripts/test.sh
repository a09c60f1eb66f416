#!/usr/bin/env bash
# Installs what is missing, builds the module for every supported interpreter
# and runs every test (core, Python, embedded interpreter, virtual CAN bus).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${AXIOLINK_BUILD_DIR:-$root/build}
# shellcheck source=scripts/common.sh
source "$root/scripts/common.sh"

install_missing_packages cmake ninja-build g++ googletest libgtest-dev libgmock-dev \
    user-mode-linux kmod can-utils iproute2 strace

pythons=$(supported_pythons)
echo "building for: ${pythons//;/ }"
cmake -S "$root" -B "$build" -G Ninja -DAXIOLINK_PYTHONS="$pythons" -DAXIOLINK_BUS_TESTS=ON
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" "$@"
