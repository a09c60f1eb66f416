#!/usr/bin/env bash
# Runs the demo without hardware: builds the module and the motor emulator,
# starts a virtual CAN bus with an emulated motor that ships in POS_VEL mode,
# and drives it from examples/demo.py. Extra arguments go to the demo.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${AXIOLINK_BUILD_DIR:-$root/build}
# shellcheck source=scripts/common.sh
source "$root/scripts/common.sh"

install_missing_packages cmake ninja-build g++ ccache googletest libgtest-dev libgmock-dev \
    user-mode-linux kmod can-utils iproute2
# The plot needs matplotlib and its dependencies, not what Debian recommends
# along with it.
no_recommends=$(mktemp)
trap 'rm -f "$no_recommends"' EXIT
echo 'APT::Install-Recommends "false";' >"$no_recommends"
APT_CONFIG=$no_recommends install_missing_packages python3-matplotlib

# The demo needs one interpreter: the oldest supported one found.
pythons=$(supported_pythons)
python=$(demo_python)
echo "demo with: $python"
# The test command builds in the same folder, with the same compiler: what
# the demo compiles, it finds in the compiler cache.
configure_build "$build" -DAXIOLINK_PYTHONS="$pythons" >/dev/null
tag=$(python_tag "$python")
# The companion module too: the other examples (scripts/run-example.sh) need it.
cmake --build "$build" -j "$(nproc)" --target "axiolink_$tag" "axiolink_ext_$tag" dm-emulator dmctl

out=$build/demo
mkdir -p "$out"
export PYTHONPATH=$build/$tag
# Ctrl-C reaches every process of the run (vbus-run passes it on): the demo
# then disables the motor and saves what it recorded, while the emulator, in a
# session of its own, keeps answering until the demo has finished.
"$root/tools/vbus/vbus-run" -- bash -c '
    set -euo pipefail
    emulator=$1 python=$2 demo=$3 out=$4; shift 4
    ready=$out/emulator.ready
    rm -f "$ready"
    # Motor 1 answers at 0x11 and ships in POS_VEL mode (2): the demo switches it to MIT.
    setsid "$emulator" --iface vcan0 --motor 0x01:0x11:dm4310:2 --ready-file "$ready" &
    emulator_pid=$!
    trap "kill $emulator_pid 2>/dev/null || true; rm -f \"$ready\"" EXIT
    # This shell waits for the demo to finish whatever the signal.
    trap : INT TERM
    for _ in $(seq 500); do [ -e "$ready" ] && break; sleep 0.01; done
    "$python" "$demo" --iface vcan0 --motor-id 0x01 --master-id 0x11 --preset dm4310 \
        --plot "$out/demo-trajectory.png" "$@"
' demo "$build/tools/emulator/dm-emulator" "$python" "$root/examples/demo.py" "$out" "$@"
