#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for the given number of seconds
# (default 60) on its seed corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
scripts/deps.sh cmake make clang libclang-rt-14-dev
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEMO_FUZZ=ON \
  -DVEMO_BUILD_TESTS=OFF -DVEMO_BUILD_EXAMPLES=OFF -DVEMO_SANITIZE=address,undefined >/dev/null
cmake --build build-fuzz -j"$(nproc)"
export ASAN_OPTIONS=detect_leaks=1
for target in build-fuzz/fuzz/*Fuzz; do
  name=$(basename "$target")
  corpus=$(mktemp -d)
  [ -d "fuzz/corpus/$name" ] && cp -r "fuzz/corpus/$name/." "$corpus/"
  echo "fuzzing $name for ${seconds}s"
  log="build-fuzz/$name.log"
  if ! "$target" -max_total_time="$seconds" -max_len=4096 -artifact_prefix="build-fuzz/$name-" \
      "$corpus" >"$log" 2>&1; then
    grep -E "ERROR|SUMMARY|runtime error|#[0-9]+ " "$log" | head -20
    echo "$name failed; the input that failed is in build-fuzz/"
    exit 1
  fi
  grep -E "^Done" "$log"
  rm -rf "$corpus"
done
