#!/usr/bin/env bash
# Builds the project and runs its tests: the whole suite in a normal build,
# again under AddressSanitizer and UndefinedBehaviorSanitizer, the concurrency
# tests under ThreadSanitizer, and the fuzz targets' corpus replay.
# Installs what is missing first (scripts/setup.sh).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
bash scripts/setup.sh

jobs=$(nproc)
stage() { printf '\n==== %s ====\n' "$*"; }

stage "normal build and full test suite"
cmake -S . -B build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQB_BUILD_BENCH=ON >/dev/null
cmake --build build/test -j"$jobs"
ctest --test-dir build/test --output-on-failure -j"$jobs" --timeout 600

stage "AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DQB_SANITIZE=address,undefined >/dev/null
cmake --build build/asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:verify_asan_link_order=0 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build/asan --output-on-failure -j"$jobs" -LE nosan --timeout 900

if [[ -x scripts/test-extra.sh ]]; then
    scripts/test-extra.sh
fi
