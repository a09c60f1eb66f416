#!/usr/bin/env bash
# The group benchmark: builds what it needs with -DAXIOLINK_BENCHMARKS=ON into
# build-bench/ (or $AXIOLINK_BENCH_BUILD_DIR), runs bench/group/group_bench.py
# on the virtual bus and publishes bench/results/group.md and group.png.
# Arguments go to group_bench.py (e.g. --cycles 100). Takes a few minutes.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${AXIOLINK_BENCH_BUILD_DIR:-$root/build-bench}
out=$root/bench/out
# shellcheck source=scripts/common.sh
source "$root/scripts/common.sh"

install_missing_packages cmake ninja-build g++ libbenchmark-dev python3-matplotlib \
    user-mode-linux kmod can-utils iproute2

python=$(find_python 3.12) ||
    { echo "error: the benchmark needs CPython 3.12 (pyenv, PATH or AXIOLINK_PYTHON_3_12)" >&2; exit 1; }
tag=py$("$python" -c 'import sys; print("%d%d" % sys.version_info[:2])')
cmake -S "$root" -B "$build" -G Ninja -DAXIOLINK_PYTHONS="$python" -DAXIOLINK_BENCHMARKS=ON \
    -DAXIOLINK_BUS_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target group_cycle dm-emulator "axiolink_$tag" \
    "axiolink_ext_$tag"
mkdir -p "$out"
"$root/tools/vbus/vbus-run" --timeout 1800 -- /usr/bin/python3 "$root/bench/group/group_bench.py" \
    --build "$build" --python "$python" --out "$out" "$@"
/usr/bin/python3 "$root/bench/group/publish.py" "$out" "$root/bench/results"
echo "== published bench/results/group.md and bench/results/group.png"
