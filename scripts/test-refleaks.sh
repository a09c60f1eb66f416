#!/usr/bin/env bash
# Hunts reference leaks with CPython 3.14's debug build (from Debian's
# unstable suite, scripts/debian-pythons.sh): the Python unit and bus suites
# (every command, its failures, the argument errors) run again and again in
# one interpreter on the virtual bus (tests/refleak/hunt.py), which fails
# when the total reference count or the allocated memory blocks grow on every
# checked repetition; the embedded-interpreter tests, which feed the logging
# bridge from C++, then run on the debug build too.
# Builds in AXIOLINK_REFLEAK_BUILD_DIR (default build-refleak/ in the checkout).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${AXIOLINK_REFLEAK_BUILD_DIR:-$root/build-refleak}
# shellcheck source=scripts/common.sh
source "$root/scripts/common.sh"

install_missing_packages cmake ninja-build g++ libgtest-dev user-mode-linux kmod can-utils \
    iproute2 patchelf
python=$("$root/scripts/debian-pythons.sh")/usr/bin/python3.14d
started=$SECONDS

cmake -S "$root" -B "$build" -G Ninja -DAXIOLINK_PYTHONS="$python" -DBUILD_TESTING=ON \
    -DAXIOLINK_BUS_TESTS=OFF -DAXIOLINK_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target axiolink_py314d axiolink_ext_py314d embed_tests_py314d dm-emulator
echo "built in $((SECONDS - started)) s"

status=0
echo "== Python unit and bus suites"
# Sockets the bus tests leave to the collector (the responder processes too)
# are the tests' own matter, not what is hunted here.
PYTHONPATH=$build/py314d PYTHONDONTWRITEBYTECODE=1 PYTHONWARNINGS=ignore::ResourceWarning \
    AXIOLINK_EMULATOR=$build/tools/emulator/dm-emulator \
    AXIOLINK_TEST_REPLY_TIMEOUT_MS=${AXIOLINK_TEST_REPLY_TIMEOUT_MS:-100} \
    "$root/tools/vbus/vbus-run" --timeout 1800 -- \
    "$python" "$root/tests/refleak/hunt.py" "$root/tests/python" "$root/tests/bus/python" ||
    status=1
echo "== embedded-interpreter tests"
# Among them, records on every path of the logging bridge, counted by the
# debug build's reference total as well as by memory blocks.
"$build/tests/embed_tests_py314d" --gtest_brief=1 || status=1
echo "refleak check: $((SECONDS - started)) s"
exit "$status"
