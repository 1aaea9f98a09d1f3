# Sourced by the scripts that run Windows programs under Wine.
#
# Debian's `wine` launcher starts the 32-bit loader first, even for a 64-bit program, so on a
# kernel that refuses 32-bit x86 programs it fails before anything runs (status 126). Each word
# size therefore gets its own loader here, and whether this machine runs 32-bit programs at all
# is found out once, by starting the 32-bit loader.
#
# wine_use ARCH
#   For win64 or win32: sets WINE to the loader of that word size, exports WINELOADER (the
#   loader Wine starts further processes of the prefix with) and WINEARCH.
# wine_runs_32bit
#   Succeeds when this machine runs 32-bit x86 programs; otherwise fails with the reason in
#   WINE_32BIT_REASON. The answer is found once per script.
# wine_boot
#   Makes a fresh prefix at $WINEPREFIX with the current word size's loader and waits for it.

wine_loader() {
  local candidate
  case "$1" in
    win64) for candidate in /usr/lib/wine/wine64 "$(command -v wine64 || true)"; do
        [ -n "$candidate" ] && [ -x "$candidate" ] && { echo "$candidate"; return; }
      done ;;
    win32) for candidate in /usr/lib/wine/wine "$(command -v wine32 || true)"; do
        [ -n "$candidate" ] && [ -x "$candidate" ] && { echo "$candidate"; return; }
      done ;;
  esac
  command -v wine
}

wine_use() {
  WINE=$(wine_loader "$1")
  export WINELOADER=$WINE WINEARCH=$1
}

WINE_32BIT_REASON=
wine_runs_32bit() {
  if [ -z "${WINE_32BIT_ANSWER:-}" ]; then
    local loader output status=0
    loader=$(wine_loader win32)
    output=$("$loader" --version 2>&1) || status=$?
    if [ "$status" -eq 0 ]; then
      WINE_32BIT_ANSWER=yes
    else
      WINE_32BIT_ANSWER=no
      # The shell's own words for the refusal, e.g. "cannot execute binary file: Exec format
      # error", or the loader's, with the status it ended with.
      WINE_32BIT_REASON="$loader exited with $status: $(tail -1 <<<"$output" | sed "s|.*$loader: ||")"
    fi
  fi
  [ "$WINE_32BIT_ANSWER" = yes ]
}

wine_boot() {
  rm -rf "$WINEPREFIX"
  "$WINE" wineboot --init >/dev/null 2>&1
  wineserver -w || true
}
