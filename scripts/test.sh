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

stage "ThreadSanitizer: the concurrency tests"
cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=Debug -DQB_SANITIZE=thread -DQB_ONLY_LABEL=tsan >/dev/null
cmake --build build/tsan -j"$jobs"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build/tsan --output-on-failure -j"$jobs" -L tsan --no-tests=ignore --timeout 900

if [[ -f tests/fuzz/CMakeLists.txt ]]; then
    stage "fuzz targets: corpus replay"
    CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=Debug -DQB_BUILD_FUZZ=ON \
        -DQB_BUILD_TESTS=OFF -DQB_SANITIZE=address,undefined >/dev/null
    cmake --build build/fuzz -j"$jobs"
    ctest --test-dir build/fuzz --output-on-failure -j"$jobs" -L fuzz --timeout 900
fi
