#!/bin/bash
# exchange_rate.sh DM_EMULATOR DM_EMULATOR_PEER [COUNT]
#
# Measures how many MIT exchanges a second the emulator answers on vcan0,
# against the peer's minimal requester (one write and one blocking read per
# exchange). Run it through the virtual-bus runner, pinned, e.g.
#   tools/vbus/vbus-run --cpus 0 -- tools/emulator/exchange_rate.sh \
#       build/tools/emulator/dm-emulator build/tools/emulator/dm-emulator-peer
set -euo pipefail

emulator=${1:?usage: exchange_rate.sh DM_EMULATOR DM_EMULATOR_PEER [COUNT]}
peer=${2:?usage: exchange_rate.sh DM_EMULATOR DM_EMULATOR_PEER [COUNT]}
count=${3:-20000}
work=$(mktemp -d)
"$emulator" --iface vcan0 --motor 1:0x11 --ready-file "$work/ready" &
emulator_pid=$!
trap 'kill "$emulator_pid" 2>/dev/null; wait; rm -rf "$work"' EXIT
for ((i = 0; i < 400; i++)); do
    [[ -e $work/ready ]] && break
    sleep 0.025
done
"$peer" --iface vcan0 --send 001#FFFFFFFFFFFFFFFC --expect 011 >/dev/null
for run in 1 2 3; do
    "$peer" --iface vcan0 --send 001#7FFF7FF0000007FF --expect 011 --repeat "$count" 2>&1 >/dev/null |
        sed "s/^/run $run: /"
done
