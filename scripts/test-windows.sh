#!/usr/bin/env bash
# Cross-builds the library, its tests and the example for 64-bit and 32-bit Windows with
# mingw-w64 and runs every test program under Wine, each word size in a fresh Wine prefix of
# its own inside its build directory. Fails when a program fails; prints the number of test
# programs and tests run per word size at the end. With arguments, builds and runs only those
# word sizes (win64, win32). On a machine that cannot run 32-bit programs, the win32 programs
# are built but not run, and the summary says so and why: they count as skipped, never passed.
# The x86-64 build has vemo_net too, on a libzmq that scripts/zmq-mingw.sh builds once.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/parallel.sh
source scripts/wine.sh
lock=(flock /tmp/vemo-cpu.lock)

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" dpkg --add-architecture i386
  "${sudo_cmd[@]}" apt-get update -qq
fi
scripts/deps.sh cmake make mingw-w64 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix \
  googletest wine wine64 wine32:i386

architectures=("$@")
[ ${#architectures[@]} -eq 0 ] && architectures=(win64 win32)

summary=()
failed=0
for arch in "${architectures[@]}"; do
  case "$arch" in
    win64) toolchain=cmake/mingw-w64-x86_64.cmake triple=x86_64-w64-mingw32 winearch=win64 ;;
    win32) toolchain=cmake/mingw-w64-i686.cmake triple=i686-w64-mingw32 winearch=win32 ;;
    *) echo "unknown word size: $arch (win64 or win32)" >&2; exit 2 ;;
  esac
  dir=build-test-$arch
  # A changed toolchain file takes effect only in a fresh cache.
  for file in "$toolchain" cmake/mingw-w64.cmake; do
    [ "$file" -nt "$dir/CMakeCache.txt" ] && rm -f "$dir/CMakeCache.txt"
  done
  # vemo_net for x86-64, on a libzmq cross-built once from Debian's source (kept in a cache).
  net=()
  if [ "$arch" = win64 ]; then
    zmq_root=$(scripts/zmq-mingw.sh x86_64 | tail -1)
    net=(-DVEMO_ZMQ_ROOT="$zmq_root")
  fi
  cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DVEMO_BUILD_TESTS=ON -DVEMO_BUILD_EXAMPLES=ON "${net[@]}" >/dev/null
  "${lock[@]}" cmake --build "$dir" -j2

  # The programs find their DLLs beside them: the library's, the thread library's and, for
  # 32 bits, the shared GCC and C++ runtimes.
  dlls=("$dir/vemo_core.dll" "/usr/$triple/lib/libwinpthread-1.dll")
  if [ "$arch" = win32 ]; then
    for runtime in libgcc_s_dw2-1.dll libstdc++-6.dll; do
      dlls+=("$("$triple-g++-posix" -print-file-name="$runtime")")
    done
  fi
  if [ "$arch" = win64 ]; then
    dlls+=("$dir/src/net/vemo_net.dll" "$zmq_root/bin/libzmq.dll")
    # The net tests and the peer process they start, beside the other tests.
    cp "$dir/tests/net/NetLinkTest.exe" "$dir/tests/net/NetBoxTest.exe" \
      "$dir/tests/net/NetPeer.exe" "$dir/tests/"
  fi
  for target in "$dir/tests" "$dir/examples"; do
    cp "${dlls[@]}" "$target/"
  done

  names=()
  for exe in "$dir"/tests/*Test.exe; do names+=("$(basename "$exe" .exe)"); done
  if [ "$arch" = win32 ] && ! wine_runs_32bit; then
    echo "$arch: ${#names[@]} test programs and the example built, not run: this machine does" \
      "not run 32-bit programs ($WINE_32BIT_REASON)"
    summary+=("$arch: ${#names[@]} test programs built, SKIPPED (not run): this machine does not run 32-bit programs")
    continue
  fi

  export WINEPREFIX="$PWD/$dir/wineprefix" WINEDEBUG=-all
  wine_use "$winearch"
  wine_boot

  # The test programs run two at a time (as many as there are cores) with the lock held for
  # all of them; the programs themselves must not hold it, nor the Wine server they start.
  # Each program runs from its own directory, with no console of its own: output goes to the log.
  run() {
    exec {lockfd}>&-
    cd "$dir/tests" && timeout 600 "$WINE" "./$1.exe" --gtest_brief=1
  }
  tests=0 failures=()
  finished() {
    local log="$dir/tests/$1.log" status=ok ran
    [ "$2" -eq 0 ] || { status=FAILED; failures+=("$1"); }
    ran=$(sed -n 's/^\[==========\] \([0-9]*\) tests\? from .* ran\..*/\1/p' "$log" | tail -1)
    tests=$((tests + ${ran:-0}))
    printf '%-8s %-22s %4s tests  %s\n' "$arch" "$1" "${ran:-?}" "$status"
    [ "$status" = ok ] || grep -E '^\[  FAILED  \]|Failure|error' "$log" | head -20 || true
  }
  exec {lockfd}>/tmp/vemo-cpu.lock
  flock "$lockfd"
  # One Wine server for the whole run, started without the lock.
  (exec {lockfd}>&-; wineserver -p)
  run_parallel run "$dir/tests" "${names[@]}"
  (exec {lockfd}>&-; cd "$dir/examples" && timeout 120 "$WINE" ./vemo_example.exe >vemo_example.log 2>&1) ||
    failures+=(vemo_example)
  exec {lockfd}>&-
  programs=${#names[@]}
  [ ${#failures[@]} -eq 0 ] || mapfile -t failures < <(printf '%s\n' "${failures[@]}" | sort)
  wineserver -k || true
  summary+=("$arch: $programs test programs, $tests tests run; failed: ${failures[*]:-none}")
  [ ${#failures[@]} -eq 0 ] || failed=1
done

printf '%s\n' "${summary[@]}"
exit $failed
