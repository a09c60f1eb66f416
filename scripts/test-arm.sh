#!/usr/bin/env bash
# test-arm.sh armhf|arm64 [CTEST_ARGS...]
#
# Cross-builds everything for 32-bit ARMv7 hard-float (armhf) or 64-bit ARM
# (arm64) Linux with Debian's cross compilers and runs every test: those that
# need no bus under qemu-user, the bus tests (C++ and Python) inside an
# emulated ARM machine with a real ARM kernel (tools/vbus/vbus-machine). The
# armhf run builds and tests twice, with a 32-bit and with a 64-bit time_t.
# Everything comes from Debian's archive and is cached in AXIOLINK_ARM_CACHE
# (default ~/.cache/axiolink/arm); builds go to AXIOLINK_ARM_BUILD_DIR
# (default build-arm/ in the checkout). The armhf time64 build also installs
# a wheel per interpreter with pip on the emulated machine and runs the unit
# tests against it. Ends with "N passed, M failed".
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=scripts/common.sh
source "$root/scripts/common.sh"
# shellcheck source=tools/vbus/debian-packages.sh
source "$root/tools/vbus/debian-packages.sh"

arch=${1:-}
shift || true
case $arch in
armhf) triplet=arm-linux-gnueabihf qemu_name=arm variants=(time32 time64) ;;
arm64) triplet=aarch64-linux-gnu qemu_name=aarch64 variants=(time64) ;;
*) echo "usage: $0 armhf|arm64 [CTEST_ARGS...]" >&2; exit 2 ;;
esac
cache=${AXIOLINK_ARM_CACHE:-$HOME/.cache/axiolink/arm}
builds=${AXIOLINK_ARM_BUILD_DIR:-$root/build-arm}
machine=$cache/machine-$arch
started=$SECONDS

install_missing_packages cmake ninja-build "g++-$triplet" qemu-user-static qemu-system-arm \
    cpio kmod ccache

# Interpreters that start further interpreters (sys.executable) need the
# kernel to hand ARM programs to qemu-user by itself.
register_binfmt() {
    local binfmt=/proc/sys/fs/binfmt_misc
    [[ -e $binfmt/register ]] || mount -t binfmt_misc binfmt_misc "$binfmt" ||
        { echo "error: binfmt_misc is not available" >&2; return 1; }
    [[ -e $binfmt/qemu-$qemu_name ]] && return 0
    cat "/usr/lib/binfmt.d/qemu-$qemu_name.conf" >"$binfmt/register" ||
        { echo "error: cannot register qemu-$qemu_name with binfmt_misc" >&2; return 1; }
}
register_binfmt

# Host interpreters of the machine's versions byte-compile its libraries.
AXIOLINK_PYTHON_ROOT=$("$root/scripts/debian-pythons.sh")
VBUS_MACHINE_PYTHONS="$(find_python 3.13 || true) $(find_python 3.15 || true)" \
    "$root/tools/vbus/vbus-machine" "$arch" "$machine"
target_root=$machine/root
# The oldest and the newest version that Debian has for ARM. Systems with a
# 32-bit time_t are those of Debian 12 and older, which never get 3.15: that
# build is tested with 3.13 alone.
oldest=$target_root/usr/bin/python3.13 newest=$target_root/usr/bin/python3.15

# GoogleTest built by the same GCC 12 as the cross compiler, kept apart from
# the target root so that its headers are the only ones it adds.
gtest=$cache/gtest-$arch
if [[ ! -e $gtest/stamp ]]; then
    rm -rf -- "$gtest"
    debian_packages --with-dependencies bookworm "$arch" "$cache/apt" "$gtest" libgmock-dev
    touch "$gtest/stamp"
fi
# The wheel's build backend, for the install tests of the armhf time64 build.
tools=$("$root/scripts/python-tools.sh")
echo "ready to build after $((SECONDS - started)) s"

passed=0 failed=0
for variant in "${variants[@]}"; do
    build=$builds/$arch-$variant
    flags="" pythons="$oldest;$newest"
    # Current 32-bit distributions (Debian from trixie on) use a 64-bit
    # time_t; older ones and many board images still have 32 bits.
    [[ $arch == armhf && $variant == time64 ]] && flags="-D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64"
    [[ $variant == time32 ]] && pythons=$oldest
    # A board's user installs a wheel with pip: the armhf build that current
    # board images match builds one per interpreter and installs it on the
    # emulated machine. The compiler cache lets the wheel reuse this build's
    # objects.
    install_tools=""
    [[ $arch == armhf && $variant == time64 ]] && install_tools=$tools
    export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
    export CCACHE_DIR=$build/ccache CCACHE_NOHASHDIR=1 CCACHE_MAXSIZE=1G
    echo "== $arch, $variant time_t: building in $build"
    # The host build's optimisation without its debug information, which
    # only slows a build that is thrown away; GCC 12's -O3 also warns falsely
    # (-Wrestrict) on string concatenation.
    CXXFLAGS=$flags CFLAGS=$flags cmake -S "$root" -B "$build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/$arch.cmake" \
        -DAXIOLINK_TARGET_ROOT="$target_root" -DCMAKE_FIND_ROOT_PATH="$gtest" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
        -DAXIOLINK_PYTHONS="$pythons" -DAXIOLINK_BUS_TESTS=ON -DAXIOLINK_WERROR=ON \
        -DAXIOLINK_PYTHON_TOOLS="$install_tools" \
        -DAXIOLINK_VBUS_RUN="$root/tools/vbus/vbus-run;--machine;$machine;--share;$root;--share;$build" \
        >/dev/null
    cmake --build "$build" -j "$(nproc)"
    log=$build/ctest.log
    status=0
    # The programs under test wait 20 ms for a reply by default, which an
    # emulated machine on a busy host does not always keep.
    # The user programs' bus tests (dmctl, the examples, the docs' blocks)
    # run on x86-64 and in both armhf builds; the arm64 build, 64-bit like
    # x86-64, leaves them out to keep the CI run within its time.
    left_out=()
    [[ $arch == arm64 ]] && left_out=(-E '^bus_user_programs$')
    AXIOLINK_TEST_REPLY_TIMEOUT_MS=${AXIOLINK_TEST_REPLY_TIMEOUT_MS:-100} \
        ctest --test-dir "$build" --output-on-failure -j "$(nproc)" "${left_out[@]}" "$@" 2>&1 |
        tee "$log" || status=$?
    # "100% tests passed, 0 tests failed out of 262"
    summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
    if [[ -z $summary ]]; then
        echo "error: ctest gave no summary for $variant" >&2
        failed=$((failed + 1))
        continue
    fi
    total=${summary##* }
    failures=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$summary")
    passed=$((passed + total - failures))
    failed=$((failed + failures))
    ((status == 0 || failures > 0)) || failed=$((failed + 1))
    # A skipped test counts as passed in ctest's summary; here it must not.
    if grep -q '^The following tests did not run:' "$log"; then
        echo "error: tests were skipped in the $variant build" >&2
        failed=$((failed + 1))
    fi
done
echo "$arch: ${variants[*]} time_t, $((SECONDS - started)) s"
echo "$passed passed, $failed failed"
((failed == 0))
