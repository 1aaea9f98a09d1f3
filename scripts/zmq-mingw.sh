#!/usr/bin/env bash
# Builds libzmq for Windows with mingw-w64 from Debian's source package of the libzmq this
# machine has (zeromq3), as a DLL with its import library, headers and pkg-config file, CURVE
# with the built-in TweetNaCl (no libsodium), without tests, tools or documents. The result is
# kept outside the clone, so that a second run costs nothing:
#   ${XDG_CACHE_HOME:-$HOME/.cache}/vemo/zmq-<version>-<arch>
# and its path is the last line printed. Configure the Windows build with
#   -DVEMO_NET=ON -DVEMO_ZMQ_ROOT=<that path>
#
# scripts/zmq-mingw.sh [ARCH]     ARCH: x86_64 (the default)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
arch=${1:-x86_64}
case "$arch" in
  x86_64) toolchain=$root/cmake/mingw-w64-x86_64.cmake triple=x86_64-w64-mingw32 ;;
  *) echo "zmq-mingw.sh: no build for $arch (x86_64)" >&2; exit 2 ;;
esac
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/vemo

# The version of the source package: that of the host's libzmq, so both sides speak alike.
version=$(dpkg-query -W -f='${source:Version}' libzmq5 2>/dev/null || true)
if [ -z "$version" ]; then
  "$root/scripts/deps.sh" libzmq5
  version=$(dpkg-query -W -f='${source:Version}' libzmq5)
fi
prefix=$cache/zmq-$version-$arch
if [ -f "$prefix/.complete" ]; then
  echo "$prefix"
  exit 0
fi
"$root/scripts/deps.sh" cmake make dpkg-dev g++-mingw-w64-x86-64-posix

# apt-get source needs a deb-src line for the suite the binary packages come from.
if ! apt-get source --print-uris "zeromq3=$version" >/dev/null 2>&1; then
  sources=/etc/apt/sources.list.d/vemo-deb-src.sources
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed -n '/^Types:/,/^$/p' /etc/apt/sources.list.d/debian.sources |
      sed 's/^Types:.*/Types: deb-src/' | "${sudo_cmd[@]}" tee "$sources" >/dev/null
  else
    grep -E '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' |
      "${sudo_cmd[@]}" tee /etc/apt/sources.list.d/vemo-deb-src.list >/dev/null
  fi
  "${sudo_cmd[@]}" apt-get update -qq
fi

work=$cache/zmq-$version-$arch.build
rm -rf "$work"
mkdir -p "$work"
started=$(date +%s)
(cd "$work" && apt-get source -qq "zeromq3=$version" >/dev/null)
source_dir=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'zeromq3-*' | head -1)
[ -n "$source_dir" ] || { echo "zmq-mingw.sh: apt-get source gave no zeromq3 tree" >&2; exit 1; }

# _WIN32_WINNT: libzmq derives it from CMAKE_SYSTEM_VERSION, which a cross build leaves empty
# (Windows 7 asked for here). ipc:// on Windows (AF_UNIX) is left out: this libzmq includes
# <afunix.h> for MSVC only, and the Windows tests use tcp://.
cmake -S "$source_dir" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DBUILD_SHARED=ON -DBUILD_STATIC=OFF -DBUILD_TESTS=OFF -DWITH_DOCS=OFF -DWITH_PERF_TOOL=OFF \
  -DENABLE_CURVE=ON -DWITH_LIBSODIUM=OFF -DWITH_LIBBSD=OFF -DENABLE_DRAFTS=OFF \
  -DENABLE_CPACK=OFF -DZMQ_BUILD_TESTS=OFF -DZMQ_WIN32_WINNT=0x0601 -DZMQ_HAVE_IPC=OFF >"$work/configure.log" 2>&1 ||
  { tail -30 "$work/configure.log" >&2; exit 1; }
flock /tmp/vemo-cpu.lock cmake --build "$work/build" -j"$(nproc)" >"$work/build.log" 2>&1 ||
  { tail -30 "$work/build.log" >&2; exit 1; }
rm -rf "$prefix"
cmake --install "$work/build" >"$work/install.log" 2>&1 || { tail -30 "$work/install.log" >&2; exit 1; }
# The import library and the pkg-config file, whatever names libzmq's build gave them.
dll=$(find "$prefix/bin" -name 'libzmq*.dll' | head -1)
[ -n "$dll" ] || { echo "zmq-mingw.sh: no libzmq DLL was installed" >&2; exit 1; }
if [ ! -f "$prefix/lib/pkgconfig/libzmq.pc" ]; then
  implib=$(find "$prefix/lib" -name 'libzmq*.dll.a' | head -1)
  mkdir -p "$prefix/lib/pkgconfig"
  cat >"$prefix/lib/pkgconfig/libzmq.pc" <<EOF
prefix=$prefix
Name: libzmq
Description: 0MQ c++ library (mingw-w64 $arch)
Version: ${version%%-*}
Libs: $implib
Cflags: -I$prefix/include
EOF
fi
rm -rf "$work"
touch "$prefix/.complete"
echo "libzmq $version for $triple built in $(($(date +%s) - started)) s" >&2
echo "$prefix"
