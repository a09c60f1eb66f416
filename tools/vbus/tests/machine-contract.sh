#!/bin/bash
# Checks vbus-run's promises on the emulated-machine route from the caller's
# side: status and streams, the time limit, failing with 125 when the bus or
# the machine is missing, and no machine left behind by a killed runner.
# Usage: machine-contract.sh RUNNER [ARGS...]   (e.g. vbus-run --machine DIR)
set -euo pipefail

runner=("$@")
scratch=$(mktemp -d "${VBUS_STATE_DIR:-/var/tmp}/vbus-machine-contract.XXXXXX")
trap 'rm -rf -- "$scratch"' EXIT

# shellcheck source=tools/vbus/tests/checks.sh
source "$(dirname -- "${BASH_SOURCE[0]}")/checks.sh"

capture exit3 "${runner[@]}" -- sh -c 'echo to-stdout; echo to-stderr >&2; exit 3'
check "status 3 propagates" 3 "$(status_of exit3)"
check "stdout stays on stdout" to-stdout "$(out_of exit3)"
check "stderr stays on stderr" to-stderr "$(err_of exit3)"

started=$SECONDS
capture timeout "${runner[@]}" --timeout 3 -- sleep 120
check "time limit gives 124" 124 "$(status_of timeout)"
check "time limit is reported" 1 "$(grep -c 'did not finish within 3 s' "$scratch/timeout.err")"
check "time limit is kept (under 60 s)" 1 "$((SECONDS - started < 60))"

# The kernel refusing vcan stands in for any failure to set up the bus.
VBUS_EXTRA_KERNEL_ARGS=module_blacklist=vcan capture nomodule "${runner[@]}" -- echo ran
check "bus that cannot be set up gives 125" 125 "$(status_of nomodule)"
check "bus that cannot be set up names the module" 1 \
    "$(grep -c 'cannot load vcan.ko -- no virtual CAN bus' "$scratch/nomodule.err")"
check "command is not run without a bus" "" "$(out_of nomodule)"

capture nomachine "${runner[@]}" --machine "$scratch/none" -- true
check "missing machine gives 125" 125 "$(status_of nomachine)"
check "missing machine is reported" 1 "$(grep -c 'make one with vbus-machine' "$scratch/nomachine.err")"

capture noshare "${runner[@]}" --share "$scratch/none" -- true
check "missing shared folder gives 125" 125 "$(status_of noshare)"

# A runner killed outright cannot remove its run folder: keep it in ours.
VBUS_STATE_DIR=$scratch/state "${runner[@]}" -- sleep 120 >/dev/null 2>&1 &
victim=$!
sleep 2
kill -KILL "$victim"
wait "$victim" 2>/dev/null || true
sleep 1
check "no machine outlives a runner killed by SIGKILL" "" \
    "$(pgrep -f "qemu-system-.*vbus.run=$scratch/state/" || true)"

((failures == 0)) || { echo "$failures check(s) failed"; exit 1; }
echo "all machine runner checks passed"
