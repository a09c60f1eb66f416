#!/usr/bin/env bash
# Wake-ups of the servo loop's thread per cycle on the emulator's timed wire
# (bench/servo/wakeups.py), with the module of a build folder.
# usage: bench/servo/wakeups.sh [BUILD] [TAG]   (default: build py312)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${1:-$root/build}
tag=${2:-py312}
# shellcheck source=scripts/common.sh
source "$root/scripts/common.sh"
python=$(find_python "${tag:2:1}.${tag:3}")
"$root/tools/vbus/vbus-run" -- env PYTHONPATH="$build/$tag" bash -c '
    emulator=$1 python=$2 script=$3
    motors=()
    for i in 1 2 3 4 5 6 7; do motors+=(--motor "$i:0x1$i"); done
    "$emulator" --iface vcan0 --bitrate 1000000 --reaction-us 50 --adapter-latency-us 250 \
        "${motors[@]}" & emulator_pid=$!
    sleep 0.5
    "$python" "$script" vcan0
    kill "$emulator_pid"' wakeups "$build/tools/emulator/dm-emulator" "$python" \
    "$root/bench/servo/wakeups.py"
