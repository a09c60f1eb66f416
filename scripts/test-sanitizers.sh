#!/usr/bin/env bash
# Runs the tests in a build with AddressSanitizer and UndefinedBehaviorSanitizer
# (and the threaded ones with ThreadSanitizer, below):
# the C++ tests as they are, the Python tests with the sanitizer runtime
# preloaded into the (uninstrumented) interpreter, and the command path from
# Python on a stand-in bus (bench/exchange/null_bus.c), since AddressSanitizer
# cannot run inside the User-Mode Linux guest that provides the real bus. The
# bus and fault tests then run in that guest from a build with
# UndefinedBehaviorSanitizer alone. Extra arguments go to ctest (e.g. -R core).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${AXIOLINK_SANITIZE_BUILD_DIR:-$root/build-sanitize}
# shellcheck source=scripts/common.sh
source "$root/scripts/common.sh"

install_missing_packages cmake ninja-build g++ googletest libgtest-dev libgmock-dev

pythons=$(supported_pythons)
cmake -S "$root" -B "$build" -G Ninja -DAXIOLINK_PYTHONS="$pythons" -DAXIOLINK_BUS_TESTS=OFF \
    -DAXIOLINK_SANITIZE=address,undefined >/dev/null
cmake --build "$build" -j "${AXIOLINK_JOBS:-2}"
asan_runtime=$(readlink -f "$(g++ -print-file-name=libasan.so)")
gcc -shared -fPIC -O2 -o "$build/null_bus.so" "$root/bench/exchange/null_bus.c" -ldl

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1
export LSAN_OPTIONS=suppressions=$root/tests/sanitizers/lsan.supp:print_suppressions=0

# The allocation-counting tests replace the allocation functions that
# AddressSanitizer has to own; the Python suites run below instead.
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" -E '^alloc\.|^py[0-9]+\.test_|^vbus_' "$@"

# In the interpreter, objects go through malloc so that the sanitizer sees
# each one; the interpreter's own allocations live until exit, so leaks are
# not reported there (the soak on the virtual bus checks for growth).
failed=()
IFS=';' read -r -a interpreters <<<"$pythons"
for python in "${interpreters[@]}"; do
    tag=py$("$python" -c 'import sys; print(f"{sys.version_info[0]}{sys.version_info[1]}")')
    run_python() {
        local directory=$1 preload=$2
        shift 2
        (cd "$directory" && env LD_PRELOAD="$preload" PYTHONMALLOC=malloc \
            PYTHONPATH="$build/$tag" PYTHONDONTWRITEBYTECODE=1 \
            ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=0" "$python" -m unittest "$@")
    }
    echo "== $tag: Python tests with the sanitizer runtime"
    run_python "$root/tests/python" "$asan_runtime" discover -s . -p 'test_*.py' ||
        failed+=("$tag python")
    echo "== $tag: the command path on a stand-in bus"
    run_python "$root/tests/sanitizers" "$asan_runtime $build/null_bus.so" test_stand_in_bus ||
        failed+=("$tag stand-in bus")
done

# ThreadSanitizer over what runs on threads of its own beside Python's: the
# C++ tests (the servo loop's handoffs with several writers and readers,
# group cycles), and the stand-in bus tests with the runtime preloaded, where
# Python threads cycle groups and hand a running servo loop its targets. The
# interpreter is not instrumented; its locks are the C library's, which the
# runtime sees.
tsan_build=${AXIOLINK_TSAN_BUILD_DIR:-$root/build-tsan}
python=${interpreters[0]}
tag=py$("$python" -c 'import sys; print(f"{sys.version_info[0]}{sys.version_info[1]}")')
cmake -S "$root" -B "$tsan_build" -G Ninja -DAXIOLINK_PYTHONS="$python" -DAXIOLINK_BUS_TESTS=OFF \
    -DAXIOLINK_SANITIZE=thread >/dev/null
cmake --build "$tsan_build" -j "${AXIOLINK_JOBS:-2}" --target core_tests "axiolink_$tag" \
    "axiolink_ext_$tag"
tsan_runtime=$(readlink -f "$(g++ -print-file-name=libtsan.so)")
echo "== $tag: C++ and stand-in bus tests under ThreadSanitizer"
TSAN_OPTIONS=halt_on_error=1 "$tsan_build/tests/core_tests" --gtest_brief=1 || failed+=("thread core")
(cd "$root/tests/sanitizers" && env LD_PRELOAD="$tsan_runtime $build/null_bus.so" \
    PYTHONMALLOC=malloc PYTHONPATH="$tsan_build/$tag" PYTHONDONTWRITEBYTECODE=1 \
    TSAN_OPTIONS=halt_on_error=1 "$python" -m unittest test_stand_in_bus) || failed+=("thread python")

# Inside the virtual bus's guest only UndefinedBehaviorSanitizer can run: a
# build with it alone takes the C++ and Python bus tests and the fault tests
# there, in one boot, with one interpreter (AXIOLINK_SANITIZE_GUEST=0 skips it).
if [ "${AXIOLINK_SANITIZE_GUEST:-1}" != 0 ]; then
    ubsan_build=${AXIOLINK_UBSAN_BUILD_DIR:-$root/build-ubsan}
    python=${interpreters[0]}
    tag=py$("$python" -c 'import sys; print(f"{sys.version_info[0]}{sys.version_info[1]}")')
    cmake -S "$root" -B "$ubsan_build" -G Ninja -DAXIOLINK_PYTHONS="$python" \
        -DAXIOLINK_BUS_TESTS=ON -DAXIOLINK_SANITIZE=undefined >/dev/null
    cmake --build "$ubsan_build" -j "${AXIOLINK_JOBS:-2}" \
        --target bus_transport_tests dm-emulator "axiolink_$tag" "axiolink_ext_$tag"
    echo "== $tag: bus and fault tests on the virtual bus, undefined behaviour checked"
    # Every suite runs even when one before it failed; the guest's status is
    # the count of suites that failed.
    # shellcheck disable=SC2016 # expanded by the inner shell
    inside='failed=0
        "$1/tests/bus/bus_transport_tests" || failed=$((failed + 1))
        (cd "$2/tests/bus/python" && "$3" -m unittest discover -s . -t .) || failed=$((failed + 1))
        (cd "$2/tests/faults" && "$3" -m unittest test_faults_bus) || failed=$((failed + 1))
        exit "$failed"'
    (cd "$root" && env PYTHONPATH="$ubsan_build/$tag:$root/tests/bus/python" \
        PYTHONDONTWRITEBYTECODE=1 AXIOLINK_EMULATOR="$ubsan_build/tools/emulator/dm-emulator" \
        AXIOLINK_TEST_REPLY_TIMEOUT_MS="${AXIOLINK_TEST_REPLY_TIMEOUT_MS:-100}" \
        "$root/tools/vbus/vbus-run" --timeout 900 -- bash -c "$inside" guest \
        "$ubsan_build" "$root" "$python") || failed+=("$tag virtual bus")
fi

if [ ${#failed[@]} -gt 0 ]; then
    echo "sanitizer runs failed: ${failed[*]}" >&2
    exit 1
fi
echo "sanitizer runs passed"
