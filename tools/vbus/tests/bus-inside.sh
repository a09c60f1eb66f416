#!/bin/bash
# Runs under vbus-run and checks that the promised bus and caller context are
# there: vcan0 and vcan1 up with mtu 72, frames crossing between processes,
# and the arguments, environment and working directory of the caller.
# Usage: bus-inside.sh EXPECTED_CWD ARG1 ARG2  (with VBUS_SMOKE_VALUE set)
set -euo pipefail

# shellcheck source=tools/vbus/tests/checks.sh
source "$(dirname -- "${BASH_SOURCE[0]}")/checks.sh"

for name in vcan0 vcan1; do
    check "$name mtu" 72 "$(cat "/sys/class/net/$name/mtu")"
    check_match "$name is up" '<([^>]*,)?UP[,>]' "$(ip -o link show dev "$name")"
    check "$name is a vcan" vcan "$(ip -d -o link show dev "$name" | grep -o -w vcan | head -1)"
done

# Receives one frame on $1 in a separate process while sending $2 from this
# one; resending until the receiver has it removes the race with its bind.
receive_one() {
    local interface=$1 frame=$2 dump=$3
    candump -L -n 1 "$interface" >"$dump" &
    local receiver=$!
    local attempt
    for ((attempt = 0; attempt < 50; attempt++)); do
        cansend "$interface" "$frame" >&2 || break
        kill -0 "$receiver" 2>/dev/null || break
        sleep 0.1
    done
    kill "$receiver" 2>/dev/null || true
    wait "$receiver" || true
    # Drop candump's timestamp: "(1700000000.000000) vcan0 123#DEADBEEF".
    cut -d' ' -f2- "$dump"
}
dump=$(mktemp)
check "classic frame crosses vcan0" "vcan0 123#DEADBEEF" "$(receive_one vcan0 123#DEADBEEF "$dump")"
# Newer kernels add the FD-frame marker bit (4) to the flags that were sent.
check_match "FD frame with bit-rate switch crosses vcan0" '^vcan0 123##[15]DEADBEEF$' \
    "$(receive_one vcan0 123##1DEADBEEF "$dump")"
long_payload=$(printf 'A%.0s' $(seq 128))
check_match "64-byte FD frame crosses vcan1" "^vcan1 7FF##[15]$long_payload\$" \
    "$(receive_one vcan1 "7FF##1$long_payload" "$dump")"

# vcan0 and vcan1 are separate buses: nothing sent on one shows on the other.
candump -L -T 300 vcan1 >"$dump" &
sleep 0.1
cansend vcan0 321#01
wait $!
check "vcan1 does not see vcan0 traffic" "" "$(cat "$dump")"
rm -f "$dump"

check "working directory" "$1" "$PWD"
check "argument with spaces" "two  spaced words" "$2"
check "argument with quotes" "it's \"quoted\" \$HOME" "$3"
check "argument count" 3 "$#"
check "exported variable" "value with spaces and 'quotes'" "${VBUS_SMOKE_VALUE-unset}"

((failures == 0)) || { echo "$failures check(s) failed"; exit 1; }
echo "all bus checks passed"
