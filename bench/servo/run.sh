#!/usr/bin/env bash
# The servo benchmark: does a control loop keep its period while the same
# process's Python interpreter runs hostile workloads? For every workload
# (none, gc, sort, threads) and rate (500 Hz, 1 kHz) it runs the native loop
# and then the best Python loop (servo_bench), and cyclictest at the same
# priority and interval as the kernel's floor: idle, beside the same
# workload run alone, and during each native loop's case, at the same time
# as the loop, so that the two face the same machine. Writes
# bench/results/servo.md and servo.json.
#
# Then the guest variant: the same comparison through the Python API
# (axiolink_ext.ServoLoop against a loop around MotorGroup.cycle) on the
# virtual bus with dm-emulator's timed wire (guest_bench.py), ratios only.
#
# usage: bench/servo/run.sh [SECONDS|short] [PYTHON_SECONDS] [FLOOR_SECONDS] [GUEST_SECONDS]
#   SECONDS         per native-loop case and idle cyclictest run (default 300)
#   PYTHON_SECONDS  per Python-loop case (default SECONDS)
#   FLOOR_SECONDS   per cyclictest run beside a workload (default SECONDS)
#   GUEST_SECONDS   per case of the guest variant (default 60; 0: none)
#   short           5 s each: a quick check that everything works; its
#                   table goes to bench/out/servo/, not bench/results/
# SERVO_PRIORITY (default 80) is the SCHED_FIFO priority of the loops and
# cyclictest; SERVO_ADAPTER_US (default 0) the simulated adapter's latency;
# SERVO_SECONDS_500 (default SECONDS) the native loop's and idle cyclictest's
# time at 500 Hz. A subset: SERVO_RATES (default "500 1000") and
# SERVO_WORKLOADS (default "none gc sort threads"), space-separated, e.g.
#   SERVO_RATES=1000 SERVO_WORKLOADS="none gc" bench/servo/run.sh 60 10 60 0
# Builds into build-servo/ (or $AXIOLINK_SERVO_BUILD_DIR); raw outputs go to
# bench/out/servo/.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${AXIOLINK_SERVO_BUILD_DIR:-$root/build-servo}
out=$root/bench/out/servo
# shellcheck source=scripts/common.sh
source "$root/scripts/common.sh"

seconds=${1:-300}
mode=full
if [ "$seconds" = short ]; then
    seconds=5
    mode=short
fi
python_seconds=${2:-$seconds}
floor_seconds=${3:-$seconds}
guest_seconds=${4:-60}
[ "$mode" = short ] && guest_seconds=${4:-5}
priority=${SERVO_PRIORITY:-80}
adapter_us=${SERVO_ADAPTER_US:-0}
read -r -a rates <<<"${SERVO_RATES:-500 1000}"
# The goal is set at 1 kHz; the 500 Hz cases may run shorter.
seconds_at() { if [ "$1" = 500 ]; then echo "${SERVO_SECONDS_500:-$seconds}"; else echo "$seconds"; fi; }
read -r -a workloads <<<"${SERVO_WORKLOADS:-none gc sort threads}"

install_missing_packages cmake ninja-build g++ libbenchmark-dev rt-tests \
    user-mode-linux kmod can-utils iproute2

python=$(find_python 3.12) ||
    { echo "error: the benchmark needs CPython 3.12 (pyenv, PATH or AXIOLINK_PYTHON_3_12)" >&2; exit 1; }
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DAXIOLINK_PYTHONS="$python" \
    -DAXIOLINK_BENCHMARKS=ON -DBUILD_TESTING=OFF -DAXIOLINK_BUS_TESTS=OFF >/dev/null
tag=py$("$python" -c 'import sys; print("%d%d" % sys.version_info[:2])')
cmake --build "$build" -j "$(nproc)" --target servo_bench dm-emulator "axiolink_$tag" \
    "axiolink_ext_$tag"
rm -rf "$out"
mkdir -p "$out"

# What else the machine was doing, for the results page.
machine() {
    printf '{"when": "%s", "load": "%s", "running": %s}\n' "$(date -u +%FT%TZ)" \
        "$(cut -d' ' -f1-3 /proc/loadavg)" "$(ps -e --no-headers -o comm | grep -cE '^(cc1plus|cc1|ld|ninja|qemu|linux)')"
}
machine >"$out/machine-start.json"
# The load average every 30 s while the host cases run.
(while sleep 30; do machine; done >"$out/machine-during.jsonl") &
sampler=$!
# The case under way, should the script end early.
bench_pid='' floor_pid=''
trap 'kill "$sampler" $bench_pid $floor_pid 2>/dev/null || true' EXIT

# cyclictest's histogram goes up to 50 ms; longer latencies count as overflows.
floor() {  # floor NAME INTERVAL_US SECONDS
    cyclictest -m -p "$priority" -i "$2" -l $(($3 * 1000000 / $2)) -q -h 50000 >"$out/cyclictest-$1.txt"
}

# native_case WORKLOAD RATE: the native loop's case, with cyclictest at the
# same priority and interval running as long as the loop does: it starts when
# servo_bench says on stderr that it starts the loop, and is stopped (SIGINT:
# it still writes its histogram) when servo_bench has ended.
native_case() {
    local name="$1-$2" seconds_now status=0
    seconds_now=$(seconds_at "$2")
    machine >"$out/machine-case-$name-start.json"
    "$build/bench/servo_bench" --loops native --seconds "$seconds_now" --workloads "$1" \
        --rates "$2" --priority "$priority" --adapter-us "$adapter_us" \
        >"$out/native-$name.jsonl" 2>"$out/native-$name.err" &
    bench_pid=$!
    until grep -qs '^native loop' "$out/native-$name.err" || ! kill -0 "$bench_pid" 2>/dev/null; do
        sleep 0.02
    done
    # -D only bounds it should the stop below never come.
    cyclictest -m -p "$priority" -i $((1000000 / $2)) -q -h 50000 -D $((seconds_now + 900)) \
        >"$out/cyclictest-during-$name.txt" &
    floor_pid=$!
    wait "$bench_pid" || status=$?
    kill -INT "$floor_pid" 2>/dev/null || true
    wait "$floor_pid" || true
    bench_pid='' floor_pid=''
    machine >"$out/machine-case-$name-end.json"
    cat "$out/native-$name.err" >&2
    tee -a "$out/cases.jsonl" <"$out/native-$name.jsonl"
    return "$status"
}

for rate in "${rates[@]}"; do
    echo "== cyclictest, idle, $rate Hz, $(seconds_at "$rate") s"
    floor "none-$rate" $((1000000 / rate)) "$(seconds_at "$rate")"
done

for workload in "${workloads[@]}"; do
    if [ "$workload" != none ]; then
        echo "== cyclictest beside the workload $workload alone, 1000 Hz, $floor_seconds s"
        coproc load { exec "$python" "$root/bench/servo/workloads.py" "$workload" $((floor_seconds + 600)); }
        load_pid=$load_PID
        read -r _ <&"${load[0]}"  # "ready": its data is made
        floor "$workload-1000" 1000 "$floor_seconds"
        kill "$load_pid"
        wait "$load_pid" 2>/dev/null || true
    fi
    for rate in "${rates[@]}"; do
        echo "== native loop with cyclictest beside it, workload $workload, $rate Hz"
        native_case "$workload" "$rate"
        echo "== Python loop, workload $workload, $rate Hz"
        "$build/bench/servo_bench" --loops python --python-seconds "$python_seconds" \
            --workloads "$workload" --rates "$rate" --priority "$priority" \
            --adapter-us "$adapter_us" | tee -a "$out/cases.jsonl"
    done
done

machine >"$out/machine-end.json"
kill "$sampler" 2>/dev/null || true

if [ "$guest_seconds" != 0 ]; then
    # Both loops at normal priority: on the guest's one CPU a SCHED_FIFO
    # Python loop keeps its own workload thread from ever running. The
    # sorted() workload needs the memory.
    echo "== guest: ServoLoop and the Python loop through the Python API, $guest_seconds s each"
    VBUS_MEM=2G "$root/tools/vbus/vbus-run" --timeout 3600 -- /usr/bin/python3 \
        "$root/bench/servo/guest_bench.py" --build "$build" --python "$python" \
        --out "$out/guest.jsonl" --seconds "$guest_seconds" --priority 0
fi
# A short run checks that everything works; only a full one is published.
results=$root/bench/results
[ "$mode" = short ] && results=$out
/usr/bin/python3 "$root/bench/servo/publish.py" "$out" "$results" --mode "$mode" \
    --priority "$priority"
echo "== wrote $results/servo.md and $results/servo.json"
