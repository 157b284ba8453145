#!/usr/bin/env bash
# Runs the libFuzzer targets, one after the other, each for a given time.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
#
# SECONDS defaults to 60; the targets default to all of them (fuzz_bird_load,
# fuzz_bird_scan, fuzz_attributes). Builds build/fuzz as scripts/test.sh does
# (clang, AddressSanitizer and UndefinedBehaviorSanitizer). Each target runs
# in one process; its growing corpus is kept in build/fuzz/work/<target>
# (the seeds are read from the build's seed corpus) and inputs that fail are
# written to fuzz-artifacts/. Ends with the executions of each target and
# exits non-zero when a target failed.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

seconds=${1:-60}
shift || true
targets=("$@")
if ((${#targets[@]} == 0)); then
    targets=(fuzz_bird_load fuzz_bird_scan fuzz_attributes)
fi

bash scripts/setup.sh
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=Debug -DQB_BUILD_FUZZ=ON \
    -DQB_BUILD_TESTS=OFF -DQB_SANITIZE=address,undefined >/dev/null
cmake --build build/fuzz -j2 --target "${targets[@]}"

mkdir -p fuzz-artifacts
summary=()
status=0
for target in "${targets[@]}"; do
    binary=build/fuzz/tests/fuzz/$target
    work=build/fuzz/work/$target
    mkdir -p "$work"
    log=build/fuzz/work/$target.log
    printf '\n==== %s for %s s ====\n' "$target" "$seconds"
    rc=0
    "$binary" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="fuzz-artifacts/$target-" \
        "$work" "build/fuzz/tests/fuzz/corpus/$target" 2>&1 | tee "$log" | grep -E '^(#[0-9]+ +(INITED|DONE|pulse))|ERROR|SUMMARY|Done' || true
    rc=${PIPESTATUS[0]}
    runs=$(grep -Eo 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -Eo '[0-9]+$' || echo "?")
    cov=$(grep -Eo 'DONE +cov: [0-9]+ ft: [0-9]+' "$log" | tail -1 || true)
    if ((rc != 0)); then
        status=1
        summary+=("$target: FAILED (exit $rc) after $runs executions, see $log and fuzz-artifacts/")
    else
        summary+=("$target: $runs executions in $seconds s, no failure ($cov, corpus $(ls "$work" | wc -l) inputs)")
    fi
done
printf '\n==== summary ====\n'
printf '%s\n' "${summary[@]}"
exit $status
