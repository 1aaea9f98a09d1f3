#!/usr/bin/env bash
# Makes the Debian packages with cpack (libvemo-core0, libvemo-core-dev with the API reference,
# libvemo-core0-dbgsym, and where vemo_net is built libvemo-net0 and libvemo-net-dev), checks what
# each holds and what lintian says of them, installs them with dpkg, builds the package consumers
# (tests/package, tests/package/net) against /usr with find_package and with pkg-config, runs
# them, and removes the packages again, checking that everything they brought is gone: /usr is
# left as it was. Needs root (or sudo) for dpkg. With a build directory as argument
# (one that scripts/test.sh has built), packages that build; it is configured for the prefix /usr
# first, which builds nothing anew but the API reference. Alone, makes a fresh Release build in
# build-deb.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh cmake make g++ pkg-config dpkg-dev binutils libzmq3-dev doxygen
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
fail() {
  echo "FAILED: $*" >&2
  exit 1
}

packages=(libvemo-core0 libvemo-core-dev libvemo-core0-dbgsym)
for package in "${packages[@]}" libvemo-net0 libvemo-net-dev; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
  if [ -n "$status" ] && [ "$status" != not-installed ]; then
    fail "$package is installed already; remove it first (dpkg -r $package)"
  fi
done

build="${1:-}"
if [ -z "$build" ]; then
  build=build-deb
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DVEMO_BUILD_TESTS=OFF -DVEMO_BUILD_EXAMPLES=OFF -DVEMO_BUILD_DOCS=ON >/dev/null
  cmake --build "$build" -j"$(nproc)" >/dev/null
else
  # The packages install into /usr, the library into the multiarch directory chosen for /usr.
  cmake -S . -B "$build" -DCMAKE_INSTALL_PREFIX=/usr -DVEMO_BUILD_DOCS=ON >/dev/null
fi
# The API reference (the target docs) goes into libvemo-core-dev.
cmake --build "$build" --target docs >"$build/docs.log" 2>&1 || { cat "$build/docs.log"; fail "docs"; }
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
libdir=/usr/lib/$multiarch
grep -qx "CMAKE_INSTALL_LIBDIR:PATH=lib/$multiarch" "$build/CMakeCache.txt" ||
  fail "$build installs the library elsewhere than lib/$multiarch"

out="$build/packages"
rm -rf "$out"
cpack --config "$build/CPackConfig.cmake" -B "$out" >"$build/cpack.log" 2>&1 ||
  { cat "$build/cpack.log"; fail "cpack"; }
rm -rf "$out/_CPack_Packages"
version=$(dpkg-deb -f "$out"/libvemo-core0_*.deb Version)
arch=$(dpkg --print-architecture)
debs=()
for package in "${packages[@]}"; do
  deb="$out/${package}_${version}_$arch.deb"
  [ -f "$deb" ] || fail "cpack made no $deb"
  debs+=("$deb")
done
runtime_deb=${debs[0]} dev_deb=${debs[1]} dbgsym_deb=${debs[2]}
# vemo_net's packages, where the build has vemo_net.
net_packages=() net_debs=()
if [ -e "$build/src/net/libvemo_net.so.0" ]; then
  net_packages=(libvemo-net0 libvemo-net-dev)
  for package in "${net_packages[@]}"; do
    deb="$out/${package}_${version}_$arch.deb"
    [ -f "$deb" ] || fail "cpack made no $deb"
    net_debs+=("$deb")
  done
fi
echo "== packages (version $version)"
ls -l "${debs[@]}" "${net_debs[@]}"

work=$(mktemp -d)
installed=()
cleanup() {
  # A run that stops half-way still takes away what it installed.
  if [ ${#installed[@]} -gt 0 ]; then
    "${sudo_cmd[@]}" dpkg -r "${installed[@]}" >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "== contents"
# Each package's paths, as dpkg -c lists them (directories end in /), without the leading dot;
# links with their targets.
contents() { dpkg-deb -c "$1" | awk '{ print $6 }' | sed 's/^\.//'; }
links() { dpkg-deb -c "$1" | awk '$7 == "->" { print $6 " -> " $8 }' | sed 's/^\.//'; }
has() { grep -qx "$2" <<<"$1" || fail "$3 lacks $2"; }
lacks() { ! grep -qE "$2" <<<"$1" || fail "$3 holds $(grep -E "$2" <<<"$1" | head -1)"; }
runtime=$(contents "$runtime_deb")
dev=$(contents "$dev_deb")
dbgsym=$(contents "$dbgsym_deb")
so=$(readlink -f "$build/libvemo_core.so.0")
so=${so##*/}
has "$runtime" "$libdir/$so" libvemo-core0
has "$runtime" "$libdir/libvemo_core.so.0" libvemo-core0
has "$(links "$runtime_deb")" "$libdir/libvemo_core.so.0 -> $so" "libvemo-core0 (links)"
lacks "$runtime" "^/usr/(include|lib/$multiarch/(cmake|pkgconfig)|lib/$multiarch/libvemo_core\.so$)" \
  libvemo-core0
has "$dev" "$libdir/libvemo_core.so" libvemo-core-dev
has "$(links "$dev_deb")" "$libdir/libvemo_core.so -> libvemo_core.so.0" "libvemo-core-dev (links)"
for header in include/vemo/core/*.h; do
  has "$dev" "/usr/$header" libvemo-core-dev
done
for file in vemo_coreConfig.cmake vemo_coreConfigVersion.cmake vemo_coreTargets.cmake; do
  has "$dev" "$libdir/cmake/vemo_core/$file" libvemo-core-dev
done
has "$dev" "$libdir/pkgconfig/vemo_core.pc" libvemo-core-dev
has "$dev" "/usr/share/doc/libvemo-core-dev/api/index.html" libvemo-core-dev
has "$dev" "/usr/share/doc/libvemo-core-dev/api/classvemo_1_1JsonValue.html" libvemo-core-dev
lacks "$dev" "libvemo_core\.so\.0" libvemo-core-dev
for package in "${packages[@]}"; do
  list=$(contents "$out/${package}_${version}_$arch.deb")
  has "$list" "/usr/share/doc/$package/copyright" "$package"
  has "$list" "/usr/share/doc/$package/changelog.Debian.gz" "$package"
done
# The core packages hold nothing of vemo_net.
lacks "$runtime"$'\n'"$dev" "vemo_net|vemo/net|vemo-net|vemo-ctl" "the core packages"
if [ ${#net_packages[@]} -gt 0 ]; then
  net_runtime=$(contents "${net_debs[0]}")
  net_dev=$(contents "${net_debs[1]}")
  net_so=$(readlink -f "$build/src/net/libvemo_net.so.0")
  net_so=${net_so##*/}
  has "$net_runtime" "$libdir/$net_so" libvemo-net0
  has "$net_runtime" "$libdir/libvemo_net.so.0" libvemo-net0
  lacks "$net_runtime" "^/usr/(include|bin|lib/$multiarch/(cmake|pkgconfig))|libvemo_core|vemo/core" libvemo-net0
  has "$net_dev" "$libdir/libvemo_net.so" libvemo-net-dev
  for header in include/vemo/net/*.h; do
    has "$net_dev" "/usr/$header" libvemo-net-dev
  done
  has "$net_dev" "$libdir/cmake/vemo_core/vemo_netTargets.cmake" libvemo-net-dev
  has "$net_dev" "$libdir/pkgconfig/vemo-net.pc" libvemo-net-dev
  has "$net_dev" "/usr/bin/vemo-ctl" libvemo-net-dev
  has "$net_dev" "/usr/share/man/man1/vemo-ctl.1.gz" libvemo-net-dev
  lacks "$net_dev" "libvemo_net\.so\.0|libvemo_core|vemo/core|vemo_coreConfig" libvemo-net-dev
  for deb in "${net_debs[@]}"; do
    package=$(dpkg-deb -f "$deb" Package)
    has "$(contents "$deb")" "/usr/share/doc/$package/copyright" "$package"
  done
  echo "libvemo-net0:         $(grep -c -v '/$' <<<"$net_runtime") files, $net_so and its SONAME link"
  echo "libvemo-net-dev:      $(grep -c -v '/$' <<<"$net_dev") files: headers, CMake component, vemo-net.pc, vemo-ctl"
fi
echo "libvemo-core0:        $(grep -c -v '/$' <<<"$runtime") files, $so and its SONAME link"
echo "libvemo-core-dev:     $(grep -c -v '/$' <<<"$dev") files, $(grep -c '^/usr/include/.*\.h$' <<<"$dev") headers, CMake package, vemo_core.pc, $(grep -c '^/usr/share/doc/libvemo-core-dev/api/.*\.html$' <<<"$dev") pages of API reference"

# The packaged library: its SONAME, stripped, its debugging information in the dbgsym package
# under its build ID.
dpkg-deb -x "$runtime_deb" "$work/runtime"
packaged="$work/runtime$libdir/$so"
grep -q 'SONAME.*\[libvemo_core\.so\.0\]' <<<"$(readelf -d "$packaged")" ||
  fail "SONAME is not libvemo_core.so.0"
# The core library needs neither vemo_net nor libzmq.
lacks "$(readelf -d "$packaged" | grep NEEDED)" "zmq|vemo_net" "libvemo_core.so's NEEDED entries"
if grep -qE '\.symtab|\.debug_' <<<"$(readelf -S "$packaged")"; then
  fail "$so in libvemo-core0 is not stripped"
fi
build_id=$(readelf -n "$packaged" | sed -n 's/.*Build ID: \([0-9a-f]*\).*/\1/p')
[ -n "$build_id" ] || fail "$so has no build ID"
debug_file=/usr/lib/debug/.build-id/${build_id:0:2}/${build_id:2}.debug
has "$dbgsym" "$debug_file" libvemo-core0-dbgsym
echo "libvemo-core0-dbgsym: $debug_file"
echo "== control"
grep -q 'libc6' <<<"$(dpkg-deb -f "$runtime_deb" Depends)" || fail "libvemo-core0 declares no dependencies"
[ "$(dpkg-deb -f "$dev_deb" Depends)" = "libvemo-core0 (= $version)" ] ||
  fail "libvemo-core-dev does not depend on libvemo-core0 (= $version)"
[ "$(dpkg-deb -f "$dbgsym_deb" Depends)" = "libvemo-core0 (= $version)" ] ||
  fail "libvemo-core0-dbgsym does not depend on libvemo-core0 (= $version)"
dpkg-deb --ctrl-tarfile "$runtime_deb" | tar -x -C "$work" ./shlibs ./triggers
grep -qx "libvemo_core 0 libvemo-core0 (>= ${version%-*})" "$work/shlibs" || fail "shlibs"
grep -qx "activate-noawait ldconfig" "$work/triggers" || fail "no ldconfig trigger"
lacks "$(dpkg-deb -f "$runtime_deb" Depends)" "zmq|vemo-net" "libvemo-core0's dependencies"
if [ ${#net_packages[@]} -gt 0 ]; then
  net_depends=$(dpkg-deb -f "${net_debs[0]}" Depends)
  grep -q "libvemo-core0 (= $version)" <<<"$net_depends" ||
    fail "libvemo-net0 does not depend on libvemo-core0 (= $version)"
  grep -q "libzmq5" <<<"$net_depends" || fail "libvemo-net0 does not depend on libzmq5"
  grep -q 'libc6' <<<"$net_depends" || fail "libvemo-net0 declares no dependencies of its own"
  net_dev_depends=$(dpkg-deb -f "${net_debs[1]}" Depends)
  for wanted in "libvemo-net0 (= $version)" "libvemo-core-dev (= $version)" libc6; do
    grep -qF "$wanted" <<<"$net_dev_depends" || fail "libvemo-net-dev does not depend on $wanted"
  done
  dpkg-deb --ctrl-tarfile "${net_debs[0]}" | tar -x -C "$work" ./shlibs ./triggers
  grep -qx "libvemo_net 0 libvemo-net0 (>= ${version%-*})" "$work/shlibs" || fail "libvemo-net0's shlibs"
  grep -qx "activate-noawait ldconfig" "$work/triggers" || fail "libvemo-net0 has no ldconfig trigger"
fi
for deb in "${debs[@]}" "${net_debs[@]}"; do
  echo "$(dpkg-deb -f "$deb" Package): Depends: $(dpkg-deb -f "$deb" Depends)"
done

echo "== lintian"
if ! command -v lintian >/dev/null && ! scripts/deps.sh lintian; then
  echo "lintian is not installed and cannot be installed here: skipped"
elif ! command -v lintian >/dev/null; then
  echo "lintian is not installed: skipped"
else
  # As root, lintian says it would rather not be; that is all it says on stderr here.
  lintian --fail-on error,warning "${debs[@]}" "${net_debs[@]}" 2> >(grep -v 'root privileges' >&2) ||
    fail "lintian"
  echo "lintian: no errors, no warnings"
fi

# Nothing the packages hold may be on the machine before: dpkg would take it over and remove it.
# The directories that are there already must stay after the removal.
all=$(for deb in "${debs[@]}" "${net_debs[@]}"; do contents "$deb"; done | sed 's,/$,,' | sort -u)
existing=()
while read -r path; do
  [ -n "$path" ] || continue
  if [ -d "$path" ] && [ ! -L "$path" ]; then
    existing+=("$path")
  elif [ -e "$path" ] || [ -L "$path" ]; then
    fail "$path is on the machine already"
  fi
done <<<"$all"

echo "== dpkg -i"
installed=("${packages[@]}" "${net_packages[@]}")
"${sudo_cmd[@]}" dpkg -i "${debs[@]}" "${net_debs[@]}" >"$work/dpkg.log" 2>&1 ||
  { cat "$work/dpkg.log"; fail "dpkg -i"; }
for package in "${installed[@]}"; do
  [ "$(dpkg-query -W -f='${Status}' "$package")" = "install ok installed" ] ||
    fail "$package is not installed"
done
# dpkg -L puts a blank line between packages and names the root "/.".
listed=$(dpkg -L "${installed[@]}" | grep -vxE '|/\.' | sort -u)
[ "$listed" = "$all" ] || {
  diff <(echo "$all") <(echo "$listed") || true
  fail "dpkg -L differs from the packages' contents"
}
echo "installed: ${installed[*]} ($(grep -c . <<<"$listed") paths)"

cp tests/package/consumer.cpp tests/package/CMakeLists.txt "$work/"
# Programs built here find nothing but /usr: no prefix path, no library path.
unset CMAKE_PREFIX_PATH PKG_CONFIG_PATH LD_LIBRARY_PATH
check_program() {
  local program=$1 resolved
  # On a merged /usr, ld.so may name the library by /lib/<multiarch>, the link to /usr/lib's.
  resolved=$(ldd "$program" | sed -n 's/^\s*libvemo_core\.so\.0 => \(\S*\).*/\1/p')
  [ -n "$resolved" ] && [ "$(readlink -f "$resolved")" = "$libdir/$so" ] ||
    fail "$program loads libvemo_core.so.0 from '${resolved}', not $libdir"
  echo "ldd: libvemo_core.so.0 => $resolved ($(readlink -f "$resolved"))"
  "$program" >"$program.out" || { cat "$program.out"; fail "$program"; }
  grep -qx "consumer: ok" "$program.out" || { cat "$program.out"; fail "$program"; }
  # With the dbgsym package, the stripped library's frames name their source files and lines.
  grep -qE '/Log\.cpp \([0-9]+\): ' "$program.out" ||
    { cat "$program.out"; fail "$program: no source line of the library in its call stack"; }
  grep -E '/Log\.cpp \([0-9]+\): ' "$program.out" | head -1
}

echo "== consumer with find_package"
cmake -S "$work" -B "$work/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
grep -qx "vemo_core_DIR:PATH=$libdir/cmake/vemo_core" "$work/build/CMakeCache.txt" ||
  fail "find_package found $(grep '^vemo_core_DIR' "$work/build/CMakeCache.txt")"
cmake --build "$work/build" >/dev/null
check_program "$work/build/consumer"

echo "== consumer with pkg-config"
[ "$(pkg-config --modversion vemo_core)" = "${version%-*}" ] || fail "pkg-config --modversion"
# vemo_core.pc finds its prefix from where it lies (${pcfiledir}/../../..).
[ "$(readlink -f "$(pkg-config --variable=libdir vemo_core)")" = "$libdir" ] ||
  fail "pkg-config libdir is $(pkg-config --variable=libdir vemo_core)"
[ "$(readlink -f "$(pkg-config --variable=includedir vemo_core)")" = /usr/include ] ||
  fail "pkg-config includedir is $(pkg-config --variable=includedir vemo_core)"
# shellcheck disable=SC2046
g++ -std=c++17 "$work/consumer.cpp" -o "$work/consumer-pc" $(pkg-config --cflags --libs vemo_core)
check_program "$work/consumer-pc"

if [ ${#net_packages[@]} -gt 0 ]; then
  echo "== net consumer with find_package(vemo_core COMPONENTS net) and pkg-config vemo-net"
  mkdir -p "$work/net"
  cp tests/package/net/CMakeLists.txt tests/package/net/net_consumer.cpp "$work/net/"
  cmake -S "$work/net" -B "$work/net/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$work/net/build" >/dev/null
  # shellcheck disable=SC2046
  g++ -std=c++17 "$work/net/net_consumer.cpp" -o "$work/net/net-pc" $(pkg-config --cflags --libs vemo-net)
  for program in "$work/net/build/net_consumer" "$work/net/net-pc"; do
    resolved=$(ldd "$program" | sed -n 's/^\s*libvemo_net\.so\.0 => \(\S*\).*/\1/p')
    [ -n "$resolved" ] && [ "$(readlink -f "$resolved")" = "$libdir/$net_so" ] ||
      fail "$program loads libvemo_net.so.0 from '${resolved}', not $libdir"
    "$program" >"$program.out" || { cat "$program.out"; fail "$program"; }
    grep -q "^net consumer: bound tcp://127.0.0.1:" "$program.out" || { cat "$program.out"; fail "$program"; }
    cat "$program.out"
  done
  [ "$(vemo-ctl 2>/dev/null; echo $?)" = 64 ] || fail "vemo-ctl without arguments does not say how to use it"
  "${sudo_cmd[@]}" dpkg -r "${net_packages[@]}" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -r"; }
fi

echo "== without the dbgsym package"
"${sudo_cmd[@]}" dpkg -r libvemo-core0-dbgsym >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -r"; }
"$work/consumer-pc" >"$work/nodebug.out" || { cat "$work/nodebug.out"; fail "consumer"; }
if grep -qE '/Log\.cpp \([0-9]+\): ' "$work/nodebug.out"; then
  fail "source lines without the debugging information: the library is not stripped"
fi
grep -m1 'Log::' "$work/nodebug.out" || true

echo "== dpkg -r"
"${sudo_cmd[@]}" dpkg -r libvemo-core-dev libvemo-core0 >"$work/dpkg.log" 2>&1 ||
  { cat "$work/dpkg.log"; fail "dpkg -r"; }
installed=()
for package in "${packages[@]}" "${net_packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || echo not-installed)
  [ "$status" = not-installed ] || fail "$package is left $status"
done
left=0
while read -r path; do
  [ -n "$path" ] || continue
  if grep -qxF "$path" <<<"$(printf '%s\n' "${existing[@]}")"; then
    [ -d "$path" ] || fail "$path was there before and is gone"
  elif [ -e "$path" ] || [ -L "$path" ]; then
    echo "left behind: $path"
    left=1
  fi
done <<<"$all"
[ $left -eq 0 ] || fail "the packages left files behind"
if grep -q 'libvemo_core' <<<"$(ldconfig -p)"; then
  fail "the linker cache still names libvemo_core"
fi
echo "removed: nothing of the $(grep -c . <<<"$all") paths is left but the $((${#existing[@]})) directories that were there before"
