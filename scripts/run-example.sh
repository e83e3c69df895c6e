#!/usr/bin/env bash
# Builds the example program (optimised, no sanitizers) and runs it. It has
# a build folder of its own, so that an optimised build of the tests and
# benchmarks (build/release) keeps its own settings.
set -euo pipefail
cd "$(dirname "$0")/.."
echo "== checking the packages the build needs (installing what is missing) =="
bash scripts/deps.sh
echo "== configuring build/example =="
cmake -S . -B build/example -G Ninja -DCMAKE_BUILD_TYPE=Release -DAPM_BUILD_TESTS=OFF -DAPM_BUILD_BENCH=OFF >/dev/null
echo "== building the example: a few minutes the first time (ninja counts the steps) =="
cmake --build build/example --target example
# The experiment section talks to a server of its own on 127.0.0.1: keep any proxy out of it.
export no_proxy="127.0.0.1,localhost${no_proxy:+,$no_proxy}" NO_PROXY="127.0.0.1,localhost${NO_PROXY:+,$NO_PROXY}"
export APM_CONTAINER_DIR="${APM_CONTAINER_DIR:-$PWD/build/example-container}"
echo "== running build/example/examples/example${*:+ $*} =="
exec build/example/examples/example "$@"
