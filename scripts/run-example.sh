#!/usr/bin/env bash
# Builds the example program (optimised, no sanitizers) and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DAPM_BUILD_TESTS=OFF -DAPM_BUILD_BENCH=OFF >/dev/null
cmake --build build/release --target example >/dev/null
# The experiment section talks to a server of its own on 127.0.0.1: keep any proxy out of it.
export no_proxy="127.0.0.1,localhost${no_proxy:+,$no_proxy}" NO_PROXY="127.0.0.1,localhost${NO_PROXY:+,$NO_PROXY}"
export APM_CONTAINER_DIR="${APM_CONTAINER_DIR:-$PWD/build/example-container}"
exec build/release/examples/example "$@"
