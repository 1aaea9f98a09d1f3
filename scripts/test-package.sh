#!/usr/bin/env bash
# Installs a fresh build of the library into a temporary prefix and builds a consumer program
# against it outside the source tree, once with find_package and once with pkg-config, and runs
# both (and the net component's consumer where vemo_net is built). Fails when the installed
# package cannot be found or used. Then checks that the library builds only itself under
# add_subdirectory, and that a configuration without libzmq leaves vemo_net out with a word on
# why (and fails when vemo_net is asked for). With a build directory as argument (one that
# scripts/test.sh has built), installs that build instead of making one.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh cmake make g++ pkg-config libzmq3-dev
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

build="${1:-}"
if [ -z "$build" ]; then
  build=build-package
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVEMO_BUILD_TESTS=OFF \
    -DVEMO_BUILD_EXAMPLES=OFF >/dev/null
  cmake --build "$build" -j"$(nproc)" >/dev/null
fi
cmake --install "$build" --prefix "$prefix" >/dev/null
cp tests/package/consumer.cpp tests/package/CMakeLists.txt "$work/"
libdir=$(find "$prefix" -name 'libvemo_core.so.0' -printf '%h\n')
[ -n "$libdir" ] || { echo "no libvemo_core.so.0 in the install tree"; exit 1; }
[ -f "$prefix/include/vemo/core/Core.h" ] || { echo "headers not under include/vemo/core"; exit 1; }

echo "== consumer with find_package"
cmake -S "$work" -B "$work/build" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/build" >/dev/null
"$work/build/consumer" | tee "$work/consumer.out"
# Installed as built, the library keeps its debugging information: its frames in the consumer's
# call stack name their source files and lines.
grep -qE '/Log\.cpp \([0-9]+\): ' "$work/consumer.out" ||
  { echo "no source line of the library in the consumer's call stack"; exit 1; }

echo "== consumer with pkg-config"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046
g++ -std=c++17 "$work/consumer.cpp" -o "$work/consumer-pc" $(pkg-config --cflags --libs vemo_core)
LD_LIBRARY_PATH="$libdir" "$work/consumer-pc"

if [ -n "$(find "$prefix" -name 'libvemo_net.so.0')" ]; then
  echo "== net component: find_package(vemo_core COMPONENTS net) and pkg-config vemo-net"
  mkdir -p "$work/net"
  cp tests/package/net/CMakeLists.txt tests/package/net/net_consumer.cpp "$work/net/"
  cmake -S "$work/net" -B "$work/net/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
  cmake --build "$work/net/build" >/dev/null
  LD_LIBRARY_PATH="$libdir" "$work/net/build/net_consumer"
  # shellcheck disable=SC2046
  g++ -std=c++17 "$work/net/net_consumer.cpp" -o "$work/net/net-pc" $(pkg-config --cflags --libs vemo-net)
  LD_LIBRARY_PATH="$libdir" "$work/net/net-pc"
fi

echo "== added with add_subdirectory, the library builds only itself"
mkdir -p "$work/sub"
cat >"$work/sub/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.25)
project(vemo_embedder LANGUAGES CXX)
add_subdirectory("$PWD" vemo)
add_executable(consumer "$work/consumer.cpp")
target_link_libraries(consumer PRIVATE vemo::core)
CMAKE
cmake -S "$work/sub" -B "$work/sub/build" >/dev/null
targets=$(cmake --build "$work/sub/build" --target help)
grep -q "vemo_core" <<<"$targets" || { echo "vemo_core is not a target"; exit 1; }
if grep -qE "Test$|vemo_example|Bench$|Fuzz$" <<<"$targets"; then
  echo "tests, examples, benchmarks or fuzz targets are built by the embedding project"
  exit 1
fi
echo "only vemo_core"

echo "== without libzmq, vemo_net is left out and says why; asked for, the configuration fails"
mkdir -p "$work/nozmq/pkgconfig"
nozmq() {
  PKG_CONFIG_LIBDIR="$work/nozmq/pkgconfig" PKG_CONFIG_PATH="" cmake -S . -B "$work/nozmq/build" \
    -DVEMO_BUILD_TESTS=OFF -DVEMO_BUILD_EXAMPLES=OFF -DVEMO_INSTALL=OFF "$@" 2>&1
}
configured=$(nozmq) || { echo "$configured"; echo "without libzmq the configuration failed"; exit 1; }
grep -q "vemo_net: not built: libzmq 4.3 or later was not found by pkg-config" <<<"$configured" ||
  { echo "$configured"; echo "no word on vemo_net"; exit 1; }
if grep -q "vemo_net" <<<"$(cmake --build "$work/nozmq/build" --target help)"; then
  echo "vemo_net is a target without libzmq"
  exit 1
fi
rm -rf "$work/nozmq/build"
if configured=$(nozmq -DVEMO_NET=ON); then
  echo "-DVEMO_NET=ON without libzmq configured"
  exit 1
fi
grep -q "vemo_net: libzmq 4.3 or later was not found by pkg-config" <<<"$configured" ||
  { echo "$configured"; echo "-DVEMO_NET=ON without libzmq failed without saying why"; exit 1; }
echo "vemo_net left out, and refused when asked for"
