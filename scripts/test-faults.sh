#!/usr/bin/env bash
# Fault tests on a real virtual bus (link down and up, the motor process
# killed, a flood of foreign frames, threads sharing a bus, 100k opens, a
# 200k-command soak), all in one boot of the virtual bus, with one
# interpreter. Uses the build of scripts/test.sh (AXIOLINK_BUILD_DIR, default
# build/), building only what it needs; another build works too, e.g. one
# configured with -DAXIOLINK_SANITIZE=undefined. Extra arguments go to
# unittest (e.g. -k Flood).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${AXIOLINK_BUILD_DIR:-$root/build}
# shellcheck source=scripts/common.sh
source "$root/scripts/common.sh"

install_missing_packages cmake ninja-build g++ ccache googletest libgtest-dev libgmock-dev \
    user-mode-linux kmod can-utils iproute2

python=$(find_python "${AXIOLINK_FAULTS_PYTHON:-3.12}")
tag=py$("$python" -c 'import sys; print(f"{sys.version_info[0]}{sys.version_info[1]}")')
if [ ! -f "$build/CMakeCache.txt" ]; then
    configure_build "$build" -DAXIOLINK_PYTHONS="$(supported_pythons)" -DAXIOLINK_BUS_TESTS=ON \
        >/dev/null
else
    # The folder's own compiler and cache, as the test command set them up.
    use_build_compiler "$build"
fi
cmake --build "$build" -j "${AXIOLINK_JOBS:-2}" --target dm-emulator "axiolink_$tag"

cd "$root/tests/faults"
exec "$root/tools/vbus/vbus-run" --timeout 600 -- env \
    PYTHONPATH="$build/$tag:$root/tests/bus/python" PYTHONDONTWRITEBYTECODE=1 \
    AXIOLINK_EMULATOR="$build/tools/emulator/dm-emulator" \
    "$python" -m unittest -v test_faults_bus "$@"
