#!/usr/bin/env bash
# Builds and runs every test: the whole suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, the thread suites under ThreadSanitizer, and
# every fuzz target over its committed seeds. The sanitizer build also
# compiles every public header on its own (target header_check).
set -euo pipefail
cd "$(dirname "$0")/.."
echo "== checking the packages the build needs (installing what is missing) =="
bash scripts/deps.sh
jobs=$(nproc)
# The HTTP tests talk to a server on 127.0.0.1: keep any proxy of the machine out of it.
export no_proxy="127.0.0.1,localhost${no_proxy:+,$no_proxy}" NO_PROXY="127.0.0.1,localhost${NO_PROXY:+,$NO_PROXY}"

echo "== configuring and building build/asan (address and undefined-behaviour sanitizers, every header alone) =="
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DAPM_SANITIZE=address -DAPM_BUILD_BENCH=ON
cmake --build build/asan -j "$jobs"
echo "== running the tests under the address and undefined-behaviour sanitizers =="
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan --output-on-failure -j "$jobs"

if [ -n "$(find tests -name '*_threads_test.cpp' | head -n 1)" ]; then
  echo "== configuring and building build/tsan (thread sanitizer, the thread suites) =="
  cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DAPM_SANITIZE=thread -DAPM_BUILD_BENCH=OFF
  cmake --build build/tsan -j "$jobs" --target thread_tests
  echo "== running the thread suites under the thread sanitizer =="
  TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/tsan --output-on-failure -j "$jobs"
fi

if compgen -G "fuzz/*_fuzz.cpp" >/dev/null; then
  echo "== configuring and building build/fuzz (clang, the fuzz targets) =="
  CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug -DAPM_FUZZ=ON
  cmake --build build/fuzz -j "$jobs"
  for source in fuzz/*_fuzz.cpp; do
    name=$(basename "$source" .cpp)
    echo "== replaying fuzz/corpus/$name =="
    "build/fuzz/fuzz/$name" -runs=0 "fuzz/corpus/$name"
  done
fi
echo "== all tests passed =="
