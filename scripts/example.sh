#!/usr/bin/env bash
# Builds the library and runs the example program.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh cmake make g++
cmake -S . -B build-example -DCMAKE_BUILD_TYPE=Release -DVEMO_BUILD_TESTS=OFF >/dev/null
cmake --build build-example -j"$(nproc)" --target vemo_example >/dev/null
build-example/examples/vemo_example
