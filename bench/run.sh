#!/usr/bin/env bash
# Builds and runs every benchmark, then publishes the results:
#   - the core's microbenchmarks (Google Benchmark), on this machine;
#   - every requester on the null bus (socket calls answered without the
#     kernel), on this machine: a command's cost beyond its system calls;
#   - the exchange benchmark on a virtual CAN bus (tools/vbus/vbus-run), with
#     system call and allocation counts;
# and writes bench/results/latest.md and bench/results/latency.png.
# Raw outputs go to bench/out/. Arguments are passed to exchange/exchange.py
# (e.g. --rounds 5 for a shorter run). Takes a few minutes.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${AXIOLINK_BENCH_BUILD_DIR:-$root/build-bench}
out=$root/bench/out
# shellcheck source=scripts/common.sh
source "$root/scripts/common.sh"

install_missing_packages cmake ninja-build g++ googletest libgtest-dev libgmock-dev \
    libbenchmark-dev strace python3-can python3-matplotlib \
    user-mode-linux kmod can-utils iproute2

python=$(find_python 3.12) ||
    { echo "error: the benchmarks need CPython 3.12 (pyenv, PATH or AXIOLINK_PYTHON_3_12)" >&2; exit 1; }
tag=py$("$python" -c 'import sys; print("%d%d" % sys.version_info[:2])')
cmake -S "$root" -B "$build" -G Ninja -DAXIOLINK_PYTHONS="$python" -DAXIOLINK_BENCHMARKS=ON \
    -DAXIOLINK_BUS_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target axiolink_micro exchange_floor exchange_driver \
    exchange_responder axiolink_malloc_counter axiolink_null_bus dm-emulator "axiolink_$tag"
mkdir -p "$out"

echo "== core operations"
"$build/bench/axiolink_micro" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    --benchmark_out="$out/micro.json" --benchmark_out_format=json
/usr/bin/python3 "$root/bench/exchange/clock_syscalls.py" >"$out/clock_host.json"

echo "== commands on the null bus (no system calls), this machine"
/usr/bin/python3 "$root/bench/exchange/exchange.py" --build "$build" --out "$out" \
    --python "$python" --null-bus --rounds 5 --count 100000 --block 1000

echo "== exchanges on the virtual bus"
"$root/tools/vbus/vbus-run" --timeout 1800 -- /usr/bin/python3 "$root/bench/exchange/exchange.py" \
    --build "$build" --out "$out" --python "$python" "$@"

/usr/bin/python3 "$root/bench/publish.py" "$out" "$root/bench/results"
echo "== published bench/results/latest.md and bench/results/latency.png"
