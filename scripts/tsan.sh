#!/usr/bin/env bash
# Builds the test programs that exercise threads with ThreadSanitizer and runs them.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh cmake make g++ libgtest-dev libgmock-dev
programs=(AppBoxTest EventTest FileMutexTest LogTest MemoryStreamTest MessagePortTest PipeTest
  PropertyTest SemaphoreTest ServiceTest StringTest SystemTest ThreadTest TickTest UnknownTest UuidTest)
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEMO_SANITIZE=thread \
  -DVEMO_BUILD_EXAMPLES=OFF >/dev/null
cmake --build build-tsan -j"$(nproc)" --target "${programs[@]}"
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
for program in "${programs[@]}"; do
  echo "== $program"
  build-tsan/tests/"$program" --gtest_brief=1
done
