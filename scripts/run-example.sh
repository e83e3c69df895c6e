#!/usr/bin/env bash
# Builds the example program (optimised, no sanitizers) and runs it. It has
# a build folder of its own, so that an optimised build of the tests and
# benchmarks (build/release) keeps its own settings.
set -euo pipefail
cd "$(dirname "$0")/.."
for arg in "$@"; do
  if [ "$arg" = "--help" ] || [ "$arg" = "-h" ]; then
    echo "usage: scripts/run-example.sh [--events N] [--collector URL] [--help]"
    echo "  installs the packages the build needs (apt), builds build/example/examples/example and runs it"
    echo "  without options: a tour of every layer in a fresh build/example-container, ending with the road of 2,000 events"
    echo "  --events N       only the road, in load mode: N events in chunks, a progress line per 100,000"
    echo "  --collector URL  only the road, uploading to URL instead of a collector of its own"
    exit 0
  fi
done
echo "== checking the packages the build needs (installing what is missing) =="
bash scripts/deps.sh
echo "== configuring build/example =="
cmake -S . -B build/example -G Ninja -DCMAKE_BUILD_TYPE=Release -DAPM_BUILD_TESTS=OFF -DAPM_BUILD_BENCH=OFF >/dev/null
echo "== building the example: a few minutes the first time (ninja counts the steps) =="
cmake --build build/example --target example
# The experiment section talks to a server of its own on 127.0.0.1: keep any proxy out of it.
export no_proxy="127.0.0.1,localhost${no_proxy:+,$no_proxy}" NO_PROXY="127.0.0.1,localhost${NO_PROXY:+,$NO_PROXY}"
if [ -z "${APM_CONTAINER_DIR:-}" ]; then
  # Every run starts from an empty container, so that it prints what the
  # last one did; the folder stays afterwards, to be looked at.
  rm -rf build/example-container
  export APM_CONTAINER_DIR="$PWD/build/example-container"
fi
echo "== running build/example/examples/example${*:+ $*} (container $APM_CONTAINER_DIR) =="
exec build/example/examples/example "$@"
