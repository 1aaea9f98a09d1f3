#!/usr/bin/env bash
# Builds the library and every test, and runs them. With a first argument, builds with those
# sanitizers instead (e.g. address,undefined) into a directory of its own: at -O1 with line
# tables only (-g1), which builds in two thirds of the time of -O2 -g and reports the same faults
# with their files and lines, and without the example programs.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh cmake make g++ libgtest-dev libgmock-dev pkg-config libzmq3-dev
sanitize="${1:-}"
dir=build-test${sanitize:+-${sanitize//,/-}}
options=()
[ -n "$sanitize" ] &&
  options=(-DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DVEMO_BUILD_EXAMPLES=OFF)
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEMO_SANITIZE="$sanitize" \
  "${options[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export LSAN_OPTIONS=suppressions=$PWD/scripts/lsan.supp
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
ctest --test-dir "$dir" --output-on-failure -j"$(nproc)"
