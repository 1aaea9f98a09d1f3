#!/usr/bin/env bash
# Builds the library and runs the example program; then, where vemo_net is built (libzmq found),
# the distributed example: a producer and worker processes over ZeroMQ, one of them killed and
# restarted half-way.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh cmake make g++ pkg-config libzmq3-dev
cmake -S . -B build-example -DCMAKE_BUILD_TYPE=Release -DVEMO_BUILD_TESTS=OFF >/dev/null
cmake --build build-example -j"$(nproc)" --target vemo_example >/dev/null
build-example/examples/vemo_example
if grep -q '^VEMO_ZMQ_FOUND:INTERNAL=1$' build-example/CMakeCache.txt; then
  cmake --build build-example -j"$(nproc)" --target distributed_jobs >/dev/null
  build-example/examples/distributed_jobs
fi
