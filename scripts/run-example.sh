#!/usr/bin/env bash
# Builds the example program (optimised, no sanitizers) and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DAPM_BUILD_TESTS=OFF -DAPM_BUILD_BENCH=OFF >/dev/null
cmake --build build/release --target example >/dev/null
export APM_CONTAINER_DIR="${APM_CONTAINER_DIR:-$PWD/build/example-container}"
exec build/release/examples/example "$@"
