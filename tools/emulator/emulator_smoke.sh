#!/bin/bash
# emulator_smoke.sh DM_EMULATOR DM_EMULATOR_PEER
#
# Runs the emulator on vcan0 (inside the virtual-bus runner) and checks it
# from outside: exchanges through an independent raw-socket peer, the bus as
# candump records it, foreign frames (FD, remote), exit on SIGTERM and after
# --duration, and the exit statuses for bad options and a missing interface.
set -uo pipefail

emulator=${1:?usage: emulator_smoke.sh DM_EMULATOR DM_EMULATOR_PEER}
peer=${2:?usage: emulator_smoke.sh DM_EMULATOR DM_EMULATOR_PEER}
work=$(mktemp -d)
failures=0
pids=()

cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null
    done
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    printf 'FAIL: %s\n' "$*" >&2
    failures=$((failures + 1))
}

# expect_reply WHAT SEND EXPECT_ID WANTED: one exchange through the peer.
expect_reply() {
    local got
    got=$("$peer" --iface vcan0 --send "$2" --expect "$3" --timeout-ms 2000) ||
        { fail "$1: no reply to $2 at $3"; return; }
    [[ $got == "$4" ]] || fail "$1: sent $2, got $got, wanted $4"
}

expect_no_reply() {
    "$peer" --iface vcan0 --send "$2" --expect "$3" --timeout-ms 300 >/dev/null 2>&1 &&
        fail "$1: $2 was answered at $3"
}

# wait_for_file PATH PID: true once PATH exists, false if PID ends first.
wait_for_file() {
    local i
    for ((i = 0; i < 400; i++)); do
        [[ -e $1 ]] && return 0
        kill -0 "$2" 2>/dev/null || return 1
        sleep 0.025
    done
    return 1
}

# Record the bus with can-utils, and make sure candump listens before
# anything else happens: it must show a probe frame sent after it started.
candump -L vcan0 >"$work/bus.log" &
pids+=($!)
for ((i = 0; i < 400; i++)); do
    cansend vcan0 7AA#01
    grep -q ' 7AA#01$' "$work/bus.log" && break
    sleep 0.025
done
grep -q ' 7AA#01$' "$work/bus.log" || { echo "FAIL: candump never saw the bus" >&2; exit 1; }

"$emulator" --iface vcan0 --motor 1:0x11 --motor 0x2:0x12:dm4340:3 --fault register-junk@2 \
    --ready-file "$work/ready" 2>"$work/emulator.err" &
emulator_pid=$!
pids+=("$emulator_pid")
wait_for_file "$work/ready" "$emulator_pid" || { echo "FAIL: emulator never got ready" >&2; exit 1; }
[[ $(cat "$work/ready") == "$emulator_pid" ]] || fail "ready file does not hold the process id"

# Motor 1, MIT mode: special commands and register access.
expect_reply "enable" 001#FFFFFFFFFFFFFFFC 011 011#117FFF7FF7FF1919
cansend vcan0 001#FFFFFFFFFFFFFFFD
expect_reply "register read" 7FF#0100330A00000000 011 011#0100330A01000000
expect_no_reply "VEL frame in MIT mode" 201#0000A04000000000 011
expect_reply "enable again" 001#FFFFFFFFFFFFFFFC 011 011#117FFF7FF7FF1919
# An all-zero MIT setpoint asks for no torque at all: the motor stays put.
expect_reply "MIT frame" 001#7FFF7FF0000007FF 011 011#117FFF7FF7FF1919

# Frames that are no commands must not upset it: FD, remote, extended.
cansend vcan0 001##1FFFFFFFFFFFFFFFC0011
cansend vcan0 001#R8
cansend vcan0 00000001#FFFFFFFFFFFFFFFC
expect_reply "after foreign frames" 7FF#0100330A00000000 011 011#0100330A01000000

# Motor 2, VEL mode, answers register reads with junk first.
expect_reply "motor 2 enable" 002#FFFFFFFFFFFFFFFC 012 012#127FFF7FF7FF1919
expect_no_reply "MIT frame in VEL mode" 002#7FFF7FF0000007FF 012
expect_reply "motor 2 junk before the register reply" 7FF#0200330A00000000 012 012#0200330AFCFFFF
# The peer left with the junk; the register reply behind it must be on the
# bus before the next peer listens, or that peer would take it for its own.
for ((i = 0; i < 400; i++)); do
    grep -q ' 012#0200330A03000000$' "$work/bus.log" && break
    sleep 0.025
done
expect_reply "write mode 1" 7FF#0200550A01000000 012 012#0200550A01000000

kill -TERM "$emulator_pid"
wait "$emulator_pid"
status=$?
[[ $status == 0 ]] || fail "emulator exited with $status after SIGTERM: $(cat "$work/emulator.err")"
[[ -e $work/ready ]] && fail "ready file left behind"

# The bus as candump saw it: each request followed by exactly its answers.
sed -E 's/^\([0-9.]+\) vcan0 //' "$work/bus.log" | grep -v '^7AA#' >"$work/frames"
cat >"$work/expected" <<'EOF'
001#FFFFFFFFFFFFFFFC
011#117FFF7FF7FF1919
001#FFFFFFFFFFFFFFFD
011#017FFF7FF7FF1919
7FF#0100330A00000000
011#0100330A01000000
201#0000A04000000000
001#FFFFFFFFFFFFFFFC
011#117FFF7FF7FF1919
001#7FFF7FF0000007FF
011#117FFF7FF7FF1919
001##5FFFFFFFFFFFFFFFC00110000
001#R8
00000001#FFFFFFFFFFFFFFFC
7FF#0100330A00000000
011#0100330A01000000
002#FFFFFFFFFFFFFFFC
012#127FFF7FF7FF1919
002#7FFF7FF0000007FF
7FF#0200330A00000000
012#0200330AFCFFFF
012#0200550AFCFFFFFF
012#0200330A03000000
7FF#0200550A01000000
012#0200550A01000000
EOF
# (candump shows the FD frame with its FDF flag and padded to 12 bytes.)
diff "$work/expected" "$work/frames" >"$work/diff" ||
    fail "the bus carried other frames than expected:
$(cat "$work/diff")"

# --duration ends it by itself, with status 0.
"$emulator" --iface vcan0 --motor 1:0x11 --duration 0.3 --ready-file "$work/ready2" &
timed_pid=$!
wait "$timed_pid"
status=$?
[[ $status == 0 ]] || fail "--duration run exited with $status"

# Bad options: 2; an interface that does not exist: 1.
"$emulator" --iface vcan0 --motor 1 >/dev/null 2>"$work/usage.err"
status=$?
[[ $status == 2 ]] || fail "bad --motor exited with $status, wanted 2"
grep -q "^dm-emulator: --motor '1': expected ID:MASTER\[:PRESET\[:MODE\]\]$" "$work/usage.err" ||
    fail "bad --motor message: $(cat "$work/usage.err")"
"$emulator" --iface nosuch0 --motor 1:0x11 2>"$work/open.err"
status=$?
[[ $status == 1 ]] || fail "missing interface exited with $status, wanted 1"
grep -q '^dm-emulator: cannot open nosuch0: backend error: No such device (os error 19)$' \
    "$work/open.err" || fail "missing interface message: $(cat "$work/open.err")"

if ((failures > 0)); then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "emulator smoke test passed"
