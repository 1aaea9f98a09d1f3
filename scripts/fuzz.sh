#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for the given number of seconds
# (default 60) on its seed corpus, as many targets at a time as there are cores. Fails when a
# target finds a fault, after all have run, naming the targets and where their inputs are.
# Built at -O1 with line tables only (-g1): quicker to build, and faults still show their lines.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/parallel.sh
seconds="${1:-60}"
scripts/deps.sh cmake make clang libclang-rt-14-dev pkg-config libzmq3-dev
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEMO_FUZZ=ON \
  -DVEMO_BUILD_TESTS=OFF -DVEMO_BUILD_EXAMPLES=OFF -DVEMO_SANITIZE=address,undefined \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" >/dev/null
cmake --build build-fuzz -j"$(nproc)"
export ASAN_OPTIONS=detect_leaks=1
corpora=$(mktemp -d)
trap 'rm -rf "$corpora"' EXIT
fuzz() {
  local corpus="$corpora/$1"
  mkdir "$corpus"
  [ -d "fuzz/corpus/$1" ] && cp -r "fuzz/corpus/$1/." "$corpus/"
  "build-fuzz/fuzz/$1" -max_total_time="$seconds" -max_len=4096 \
    -artifact_prefix="build-fuzz/$1-" "$corpus"
}
failures=()
finished() {
  local log="build-fuzz/$1.log"
  if [ "$2" -eq 0 ]; then
    echo "$1: $(grep -E "^Done" "$log")"
  else
    echo "$1 failed (exit status $2); the input that failed is in build-fuzz/:"
    grep -E "ERROR|SUMMARY|runtime error|#[0-9]+ " "$log" | head -20 || true
    failures+=("$1")
  fi
}
targets=()
for target in build-fuzz/fuzz/*Fuzz; do targets+=("$(basename "$target")"); done
echo "fuzzing ${targets[*]} for ${seconds}s each"
run_parallel fuzz build-fuzz "${targets[@]}"
[ ${#failures[@]} -eq 0 ] || { echo "failed: ${failures[*]}"; exit 1; }
