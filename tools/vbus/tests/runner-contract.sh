#!/bin/bash
# Checks vbus-run's promises from the caller's side: exit statuses, separate
# and merged output, argument survival, time limit, failure when no bus can
# be had, concurrent runs, cleanup after a signal, and the network-namespace
# route (exercised inside the guest, whose kernel has CAN).
# Usage: runner-contract.sh PATH/TO/vbus-run
set -euo pipefail

runner=$(readlink -f -- "$1")
scratch=$(mktemp -d "${VBUS_STATE_DIR:-/var/tmp}/vbus-contract.XXXXXX")
trap 'rm -rf -- "$scratch"' EXIT

# shellcheck source=tools/vbus/tests/checks.sh
source "$(dirname -- "${BASH_SOURCE[0]}")/checks.sh"

# Runs the runner with separate stdout/stderr captures named after $1.
run() { capture "$1" "$runner" "${@:2}"; }

# Two guests at once, as under ctest -j2: each must see its own result.
run exit3 sh -c 'echo to-stdout; echo to-stderr >&2; exit 3' &
first=$!
run exit0 sh -c 'ip -o link show vcan1 >/dev/null && echo fine' &
wait "$first" $!
check "status 3 propagates" 3 "$(status_of exit3)"
check "stdout stays on stdout" to-stdout "$(out_of exit3)"
check "stderr stays on stderr" to-stderr "$(err_of exit3)"
check "concurrent run: status 0" 0 "$(status_of exit0)"
check "concurrent run: output" fine "$(out_of exit0)"

# shellcheck disable=SC2016  # $HOME must arrive unexpanded
run args printf '<%s>\n' "two  words" "it's" 'say "hi"' '$HOME' '' 'back\slash' $'new\nline'
check "arguments survive" $'<two  words>\n<it\'s>\n<say "hi">\n<$HOME>\n<>\n<back\\slash>\n<new\nline>' \
    "$(out_of args)"

# Values with newlines, quotes and '=' survive, nothing of the guest's own
# environment (its kernel sets TERM) leaks in, and the umask comes along.
(
    umask 027
    # shellcheck disable=SC2016  # expanded inside the guest
    X=$'line one\nline two' Y="it's \"q\"=1" env -u TERM \
        "$runner" sh -c 'printf "%s|" "$X" "$Y" "${TERM-unset}" "$(umask)"' >"$scratch/context.out"
)
check "environment and umask survive" $'line one\nline two|it\'s "q"=1|unset|0027|' \
    "$(cat "$scratch/context.out")"

# A reader that goes away ends the command as a closed pipe would.
started=$SECONDS
statuses=$("$runner" yes 2>/dev/null | head -c 4 >/dev/null; echo "${PIPESTATUS[0]}")
check "closed output stops the command with 141" 141 "$statuses"
check "closed output stops it soon (under 60 s)" 1 "$((SECONDS - started < 60))"

status=0
"$runner" sh -c 'echo one; echo two >&2; echo three' >"$scratch/merged" 2>&1 || status=$?
check "merged streams keep their order" $'one\ntwo\nthree' "$(cat "$scratch/merged")"

started=$SECONDS
run timeout --timeout 3 sleep 120
check "time limit gives 124" 124 "$(status_of timeout)"
check "time limit is reported" 1 "$(grep -c 'did not finish within 3 s' "$scratch/timeout.err")"
check "time limit is kept (under 60 s)" 1 "$((SECONDS - started < 60))"

VBUS_MODE=uml VBUS_UML_BINARY=/bin/false run noboot true
check "guest that cannot boot gives 125" 125 "$(status_of noboot)"
check "guest that cannot boot is reported" 1 "$(grep -c 'no virtual CAN bus' "$scratch/noboot.err")"

# The kernel refusing vcan stands in for any failure to set up the bus.
VBUS_MODE=uml VBUS_EXTRA_KERNEL_ARGS=module_blacklist=vcan run nomodule echo ran
check "bus that cannot be set up gives 125" 125 "$(status_of nomodule)"
check "bus that cannot be set up names the module" 1 \
    "$(grep -c 'cannot load .*/vcan.ko -- no virtual CAN bus' "$scratch/nomodule.err")"
check "command is not run without a bus" "" "$(out_of nomodule)"

# (From outside /tmp: a caller working below it keeps the host's /tmp.)
(cd / && VBUS_STATE_DIR=/tmp/vbus-hidden run hidden true)
check "state folder hidden in the guest gives 125" 125 "$(status_of hidden)"

# A caller working below /tmp (a CI checkout there) shares the host's /tmp.
shared=$(mktemp -d /tmp/vbus-shared.XXXXXX)
echo seen >"$shared/probe"
(cd "$shared" && run sharedtmp cat "$shared/probe")
check "a caller below /tmp sees the host's /tmp" seen "$(out_of sharedtmp)"
rm -rf "$shared"

run badoption --no-such-option true
check "unknown option gives 125" 125 "$(status_of badoption)"

# Neither a signal to the runner nor its sudden death may leave a guest behind.
# A runner killed outright cannot remove its run folder: keep it in ours.
for signal in TERM KILL; do
    VBUS_STATE_DIR=$scratch/state "$runner" sleep 120 >/dev/null 2>&1 &
    victim=$!
    sleep 1.5
    kill "-$signal" "$victim"
    wait "$victim" 2>/dev/null || true
    sleep 1
    check "no guest outlives a runner killed by SIG$signal" "" "$(pgrep -f "umid=vbus-$victim-" || true)"
done

# A signal to the runner reaches every process of the command, which may
# finish in its own way within the grace period; one that does not is killed
# when it runs out. (A background job starts with SIGINT ignored, which a
# shell cannot trap: env gives the runner the default back.)
# Runs the runner in the background with output in $scratch/$1.*, waits until
# the command has printed "ready", sends SIG$2 and waits for the end.
signal_run() {
    local name=$1 signal=$2
    shift 2
    env --default-signal=INT,TERM "$runner" "$@" >"$scratch/$name.out" 2>"$scratch/$name.err" &
    local pid=$! _
    for _ in $(seq 600); do
        grep -q ready "$scratch/$name.out" && break
        sleep 0.1
    done
    kill "-$signal" "$pid"
    local status=0
    wait "$pid" || status=$?
    echo "$status" >"$scratch/$name.status"
}
# A caller at a terminal gets an interactive shell: what it types reaches
# the shell, Ctrl-C interrupts the command in the shell only, and the shell's
# status is the runner's. A pseudo-terminal stands in for the caller's.
python3 - "$runner" >"$scratch/terminal.out" 2>&1 <<'EOF' || true
import os, pty, select, sys, time
pid, fd = pty.fork()
if pid == 0:
    os.execv(sys.argv[1], [sys.argv[1], "--", "bash", "--norc", "--noprofile", "-i"])
seen = b""
def wait_for(token, seconds=120):
    global seen
    deadline = time.monotonic() + seconds
    while token not in seen and time.monotonic() < deadline:
        if select.select([fd], [], [], 0.5)[0]:
            try:
                data = os.read(fd, 4096)
            except OSError:
                break
            if not data:
                break
            seen += data
    return token in seen
wait_for(b"# ")
os.write(fd, b"echo $((6*7))x\n")
print("typed", wait_for(b"42x"))
os.write(fd, b"sleep 100\n")
time.sleep(2)
os.write(fd, b"\x03echo after-ctrl-c $?\n")
print("ctrl-c", wait_for(b"after-ctrl-c 130"))
os.write(fd, b"exit 3\n")
start = len(seen)
wait_for(b"end of output")  # to the end: the read fails once the runner is gone
# The guest's power-off leaves no kernel message on the terminal.
print("quiet", not any(word in seen[start:] for word in (b"sysrq:", b"reboot:")))
print("status", os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
EOF
check "terminal: an interactive shell" $'typed True\nctrl-c True\nquiet True\nstatus 3' \
    "$(cat "$scratch/terminal.out")"

# The namespace route is taken by a runner nested in the guest, which gets
# the signal from the outer one.
# "ready" only once the child has its trap: a loaded machine may otherwise
# deliver the signal before the child has set it.
# shellcheck disable=SC2016  # expanded inside the guest
script='
    trap "wait; echo finishing after INT; exit 130" INT
    marker=$(mktemp -u)
    env --default-signal=INT sh -c "trap \"echo child saw INT; exit 0\" INT; : >$marker
        while :; do sleep 0.1; done" &
    while [ ! -e "$marker" ]; do sleep 0.05; done
    echo ready
    while :; do sleep 0.1; done'
signal_run int-guest INT sh -c "$script"
signal_run int-netns INT env VBUS_MODE=netns "$runner" sh -c "$script"
for route in guest netns; do
    check "$route: SIGINT reaches the command: status" 130 "$(status_of "int-$route")"
    check "$route: SIGINT reaches every process of the command" \
        $'ready\nfinishing after INT\nchild saw INT' "$(sort -r "$scratch/int-$route.out")"
done
started=$SECONDS
VBUS_GRACE=2 signal_run grace TERM sh -c 'trap "" TERM; echo ready; sleep 120'
check "a command that outlives the grace period is killed: status" 143 "$(status_of grace)"
check "a command that outlives the grace period is reported" 1 \
    "$(grep -c 'did not finish within 2 s of SIGTERM' "$scratch/grace.err")"
check "the grace period is kept (under 60 s)" 1 "$((SECONDS - started < 60))"

# Inside the guest the kernel has CAN, so a nested runner takes the namespace
# route; it must get its own network namespace and leave nothing behind.
# shellcheck disable=SC2016  # expanded inside the guest
run netns sh -c '
    outer=$(readlink /proc/self/ns/net)
    before=$(ip -o link | wc -l)
    VBUS_MODE=netns "$0" sh -c "readlink /proc/self/ns/net; cat /sys/class/net/vcan1/mtu; exit 7"
    echo "status $?"
    echo "outer $outer"
    echo "links $before $(ip -o link | wc -l)"' "$runner"
mapfile -t lines <"$scratch/netns.out"
check "namespace route: status 7 propagates" "status 7" "${lines[2]-}"
check "namespace route: vcan1 mtu 72" 72 "${lines[1]-}"
[[ ${lines[0]-} != "${lines[3]#outer }" && ${lines[0]-} == net:* ]] && fresh=yes || fresh=no
check "namespace route: fresh namespace" yes "$fresh"
read -r -a links <<<"${lines[4]-}"
check "namespace route: host interfaces unchanged" "${links[1]-}" "${links[2]-}"

if ((failures)); then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all runner checks passed"
