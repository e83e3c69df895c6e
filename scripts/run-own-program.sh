#!/usr/bin/env bash
# The README's "Use it from your own program", as CI runs it: installs the
# libraries of the example's optimised build (build/example; built here
# when scripts/run-example.sh has not built it yet) into build/install,
# compiles each installed header alone against that folder, builds
# examples/own_program against the installed package alone, and runs it in
# a fresh container.
set -euo pipefail
cd "$(dirname "$0")/.."
# The README shows the program in full: the copy must not drift from it.
sed -n '/^<!-- examples\/own_program\/own_program.cpp/,/^```$/p' README.md | sed '1,2d;$d' |
  diff -u - examples/own_program/own_program.cpp ||
  { echo "README.md's copy of examples/own_program/own_program.cpp differs from the file" >&2; exit 1; }
echo "== checking the packages the build needs (installing what is missing) =="
bash scripts/deps.sh
echo "== building the libraries in build/example (nothing to do after scripts/run-example.sh) =="
cmake -S . -B build/example -G Ninja -DCMAKE_BUILD_TYPE=Release -DAPM_BUILD_TESTS=OFF -DAPM_BUILD_BENCH=OFF >/dev/null
cmake --build build/example
echo "== installing into build/install =="
rm -rf build/install
cmake --install build/example --prefix "$PWD/build/install" >/dev/null
echo "== compiling each installed header alone, against the installed package =="
bash scripts/check-installed-headers.sh "$PWD/build/install"
echo "== building examples/own_program against the installed package, in build/own-program =="
rm -rf build/own-program
cmake -S examples/own_program -B build/own-program -G Ninja -DCMAKE_PREFIX_PATH="$PWD/build/install" >/dev/null
cmake --build build/own-program
container=$(mktemp -d)
trap 'rm -rf "$container"' EXIT
echo "== running build/own-program/own_program (container $container) =="
APM_CONTAINER_DIR="$container" build/own-program/own_program
