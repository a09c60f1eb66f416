#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang 16 (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs each one from its committed seed
# corpus for a while.
#
#   scripts/fuzz.sh                   every harness for 15 s (the CI leg)
#   scripts/fuzz.sh 3600 mit          one harness for an hour
#   FUZZ_JOBS=2 scripts/fuzz.sh 0     every harness until stopped, two workers each
#
# New inputs go to a working corpus beside the build (build-fuzz/corpus/NAME),
# never into the committed seeds; an input that breaks an oracle or trips a
# sanitizer is written to build-fuzz/crashes/ and the script fails. To keep a
# useful new input as a seed, minimise the working corpus into the seeds:
#   build-fuzz/fuzz_mit -merge=1 tests/fuzz/corpus/mit build-fuzz/corpus/mit
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${AXIOLINK_FUZZ_BUILD_DIR:-$root/build-fuzz}
seconds=${1:-15}
shift || true
harnesses=("$@")
[ ${#harnesses[@]} -gt 0 ] || harnesses=(group_matching kernel_frames mit number_text reply_matching)
# shellcheck source=scripts/common.sh
source "$root/scripts/common.sh"

# clang 14 cannot compile libstdc++ 12's std::expected; Debian 12 carries 16,
# which has what it needs (conditionally trivial special members) but still
# announces the older concepts level that <expected> tests for.
concepts_level="-U__cpp_concepts -D__cpp_concepts=202002L"
install_missing_packages cmake ninja-build clang-16 libclang-rt-16-dev googletest libgtest-dev \
    libgmock-dev

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang-16 -DCMAKE_CXX_COMPILER=clang++-16 \
    -DCMAKE_CXX_FLAGS="$concepts_level" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAXIOLINK_PYTHON_MODULE=OFF -DBUILD_TESTING=OFF \
    -DAXIOLINK_SANITIZE=address,undefined -DAXIOLINK_FUZZ=ON >/dev/null
cmake --build "$build" -j "${AXIOLINK_JOBS:-2}" --target "${harnesses[@]/#/fuzz_}"

mkdir -p "$build/crashes"
failed=()
for harness in "${harnesses[@]}"; do
    corpus=$build/corpus/$harness
    mkdir -p "$corpus"
    echo "fuzzing $harness for ${seconds}s"
    options=(-max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$build/crashes/$harness-")
    [ -n "${FUZZ_JOBS:-}" ] && options+=(-jobs="$FUZZ_JOBS" -workers="$FUZZ_JOBS")
    if ! ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$build/fuzz_$harness" "${options[@]}" "$corpus" "$root/tests/fuzz/corpus/$harness" \
        2>"$build/$harness.log"; then
        tail -n 40 "$build/$harness.log" >&2
        failed+=("$harness")
    else
        grep -E '^stat::number_of_executed_units|^#[0-9]+ *DONE' "$build/$harness.log" | tail -n 1
    fi
done
if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzzing found faults in: ${failed[*]} (inputs in $build/crashes)" >&2
    exit 1
fi
echo "fuzzing passed: ${harnesses[*]}"
