#!/usr/bin/env bash
# run-example.sh [--motors N] EXAMPLE [ARGS...]
#
# Runs examples/EXAMPLE against emulated motors without hardware: a virtual
# CAN bus with N emulated motors (default 7: ids 1 to N, answering at 0x11 to
# 0x10+N, dm4310, MIT mode), and the example on it with the interpreter and
# the build folder of ./scripts/demo.sh (AXIOLINK_BUILD_DIR, default build/),
# given `--iface vcan0` and then ARGS:
#
#   ./scripts/run-example.sh servo_arm.py --seconds 5
#   ./scripts/run-example.sh --motors 3 several_motors.py
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${AXIOLINK_BUILD_DIR:-$root/build}
# shellcheck source=scripts/common.sh
source "$root/scripts/common.sh"

usage() {
    echo "usage: $0 [--motors N] EXAMPLE [ARGS...]   (EXAMPLE: one of examples/*.py)" >&2
    exit 2
}
motors=7
if [[ ${1:-} == --motors ]]; then
    [[ ${2:-} =~ ^[1-9][0-9]*$ && $2 -le 15 ]] || usage
    motors=$2
    shift 2
fi
[[ $# -ge 1 ]] || usage
example=$root/examples/${1##*/}
shift
[[ -f $example ]] || { echo "error: no example $example" >&2; exit 2; }
[[ -f $build/CMakeCache.txt ]] ||
    { echo "error: $build is not built yet: run ./scripts/demo.sh first" >&2; exit 1; }

python=$(demo_python)
tag=$(python_tag "$python")
# What the demo built, and the companion module the examples use beside it:
# nothing to do when it is up to date.
use_build_compiler "$build"
cmake --build "$build" -j "$(nproc)" --target "axiolink_$tag" "axiolink_ext_$tag" dm-emulator \
    >/dev/null
export PYTHONPATH=$build/$tag
motor_args=()
for ((i = 1; i <= motors; i++)); do
    motor_args+=(--motor "$i:$(printf '0x%x' $((0x10 + i))):dm4310:1")
done
# As in the demo: Ctrl-C reaches the example, which stops its motors, while
# the emulator, in a session of its own, keeps answering until it has ended.
"$root/tools/vbus/vbus-run" -- bash -c '
    set -euo pipefail
    emulator=$1 python=$2 example=$3 motors=$4; shift 4
    ready=$(mktemp -u)
    setsid "$emulator" --iface vcan0 --ready-file "$ready" "${@:1:motors*2}" &
    emulator_pid=$!
    trap "kill $emulator_pid 2>/dev/null || true; rm -f \"$ready\"" EXIT
    trap : INT TERM
    shift $((motors * 2))
    for _ in $(seq 500); do [ -e "$ready" ] && break; sleep 0.01; done
    "$python" "$example" --iface vcan0 "$@"
' run-example "$build/tools/emulator/dm-emulator" "$python" "$example" "$motors" \
    "${motor_args[@]}" "$@"
