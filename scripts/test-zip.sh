#!/usr/bin/env bash
# Makes the Windows zips with cpack from the build trees that scripts/test-windows.sh builds
# (build-test-win64, build-test-win32), checks what each holds (the DLL of its word size and the
# runtime DLLs it needs, the import library, every header, the CMake package files and
# vemo_core.pc, nothing else), then builds the package consumer (tests/package) against the
# unpacked zip alone with find_package and runs it under Wine with the zip's DLLs (not on a
# machine that cannot run 32-bit programs, for win32: it says so). With arguments, only those
# word sizes (win64, win32). The zips stay in <build tree>/packages/.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/wine.sh
scripts/deps.sh cmake make unzip
fail() {
  echo "FAILED: $*" >&2
  exit 1
}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

architectures=("$@")
[ ${#architectures[@]} -eq 0 ] && architectures=(win64 win32)
for arch in "${architectures[@]}"; do
  case "$arch" in
    win64) toolchain=cmake/mingw-w64-x86_64.cmake triple=x86_64-w64-mingw32 format=pei-x86-64
      runtime_dlls=(libwinpthread-1.dll) ;;
    win32) toolchain=cmake/mingw-w64-i686.cmake triple=i686-w64-mingw32 format=pei-i386
      runtime_dlls=(libwinpthread-1.dll libgcc_s_dw2-1.dll libstdc++-6.dll) ;;
    *) echo "unknown word size: $arch (win64 or win32)" >&2; exit 2 ;;
  esac
  dir=build-test-$arch
  [ -f "$dir/CPackConfig.cmake" ] || fail "no $dir to package: scripts/test-windows.sh $arch builds it"
  echo "== $arch"
  out=$dir/packages
  rm -rf "$out"
  cpack --config "$dir/CPackConfig.cmake" -B "$out" >"$dir/cpack.log" 2>&1 ||
    { cat "$dir/cpack.log"; fail "cpack in $dir"; }
  rm -rf "$out/_CPack_Packages"
  version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$dir/CPackConfig.cmake")
  name=vemo_core-$version-$arch
  zip=$out/$name.zip
  [ -f "$zip" ] || fail "cpack made no $zip: $(ls "$out")"
  ls -l "$zip"

  # Every file lies under one top directory named like the zip.
  listing=$(unzip -Z1 "$zip")
  expected=(bin/vemo_core.dll lib/vemo_core.dll.a lib/pkgconfig/vemo_core.pc)
  for dll in "${runtime_dlls[@]}"; do expected+=("bin/$dll"); done
  for header in include/vemo/core/*.h; do expected+=("$header"); done
  for file in vemo_coreConfig.cmake vemo_coreConfigVersion.cmake vemo_coreTargets.cmake \
    vemo_coreTargets-release.cmake; do
    expected+=("lib/cmake/vemo_core/$file")
  done
  # vemo_net, where the Windows step built it (x86-64, on the libzmq it built, which goes along
  # with its licence texts: vemo-ctl.exe runs from the zip as it is).
  if [ -f "$dir/src/net/vemo_net.dll" ]; then
    expected+=(bin/vemo_net.dll bin/libzmq.dll bin/vemo-ctl.exe lib/vemo_net.dll.a
      lib/pkgconfig/vemo-net.pc share/doc/libzmq/COPYING.txt share/doc/libzmq/COPYING.LESSER.txt)
    for header in include/vemo/net/*.h; do expected+=("$header"); done
    for file in vemo_netTargets.cmake vemo_netTargets-release.cmake; do
      expected+=("lib/cmake/vemo_core/$file")
    done
  fi
  files=$(grep -v '/$' <<<"$listing" | sort)
  wanted=$(printf '%s\n' "${expected[@]/#/$name/}" | sort)
  [ "$files" = "$wanted" ] || {
    diff <(echo "$wanted") <(echo "$files") || true
    fail "$zip does not hold what it should (< missing, > not expected)"
  }
  echo "$(grep -c . <<<"$files") files: vemo_core.dll, ${runtime_dlls[*]}, vemo_core.dll.a," \
    "$(grep -c '\.h$' <<<"$files") headers, CMake package, vemo_core.pc"

  unzip -q "$zip" -d "$work/$arch"
  root=$work/$arch/$name
  objdump=$triple-objdump
  for dll in "$root"/bin/*.dll; do
    grep -q "file format $format" <<<"$("$objdump" -f "$dll")" || fail "$dll is not $format"
  done
  # The import library refers to vemo_core.dll.
  grep -qx 'vemo_core.dll' <<<"$(strings "$root/lib/vemo_core.dll.a")" ||
    fail "vemo_core.dll.a does not import from vemo_core.dll"

  # The consumer, cross-built against the unpacked zip alone, runs under Wine with its DLLs.
  consumer=$work/$arch-consumer
  mkdir -p "$consumer"
  cp tests/package/consumer.cpp tests/package/CMakeLists.txt "$consumer/"
  cmake -S "$consumer" -B "$consumer/build" -DCMAKE_TOOLCHAIN_FILE="$PWD/$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -Dvemo_core_DIR="$root/lib/cmake/vemo_core" >/dev/null
  cmake --build "$consumer/build" >/dev/null
  cp "$root"/bin/*.dll "$consumer/build/"
  if [ "$arch" = win32 ] && ! wine_runs_32bit; then
    echo "consumer.exe built against the zip, SKIPPED (not run): this machine does not run" \
      "32-bit programs ($WINE_32BIT_REASON)"
    continue
  fi
  export WINEPREFIX="$PWD/$dir/wineprefix" WINEDEBUG=-all
  wine_use "$arch"
  [ -d "$WINEPREFIX" ] || wine_boot
  (cd "$consumer/build" && timeout 300 "$WINE" ./consumer.exe >consumer.out 2>&1) ||
    { cat "$consumer/build/consumer.out"; fail "consumer.exe under Wine"; }
  if [ -f "$root/bin/vemo-ctl.exe" ]; then
    # Run where it was unpacked, with the DLLs of the zip alone: no arguments, its usage (64).
    status=0
    (cd "$root/bin" && timeout 120 "$WINE" ./vemo-ctl.exe >"$work/vemo-ctl.out" 2>&1) || status=$?
    [ "$status" -eq 64 ] && grep -q "usage" "$work/vemo-ctl.out" ||
      { cat "$work/vemo-ctl.out"; fail "vemo-ctl.exe from the zip exited with $status, not 64"; }
    echo "vemo-ctl.exe runs from the zip: ok"
  fi
  wineserver -k 2>/dev/null || true
  grep -q "^consumer: ok" "$consumer/build/consumer.out" ||
    { cat "$consumer/build/consumer.out"; fail "consumer.exe"; }
  echo "consumer.exe built against the zip: ok"
done
