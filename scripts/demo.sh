#!/usr/bin/env bash
# Sets up, builds the tool and runs it.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
bash scripts/setup.sh
cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQB_BUILD_TESTS=OFF >/dev/null
cmake --build build/demo -j"$(nproc)" --target kestrane-updater
./build/demo/updater/kestrane-updater -h
