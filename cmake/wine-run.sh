#!/bin/sh
# usage: wine-run.sh PREFIX (--init | --kill | PROGRAM [ARG...])
# Runs a Windows console program under Wine in the build dir's own prefix; the exit code passes
# through. --init creates the prefix and starts a persistent wineserver; --kill stops that server
# (only this prefix's: Wine processes are never killed by name).
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
export WINEPREFIX="$1"; shift
export WINELOADER="$WINE" WINESERVER WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY

init_prefix() {
  [ -f "$WINEPREFIX/system.reg" ] && return 0
  mkdir -p "$(dirname "$WINEPREFIX")"
  # Parallel first users wait for a single wineboot.
  flock "$WINEPREFIX.lock" sh -c '[ -f "$WINEPREFIX/system.reg" ] || "$WINELOADER" wineboot -i >/dev/null 2>&1'
}

case "$1" in
  --init)
    # Background Wine processes must not inherit ctest's pipes, or the test never ends.
    "$WINESERVER" -w 2>/dev/null
    "$WINESERVER" -p </dev/null >/dev/null 2>&1
    init_prefix </dev/null >/dev/null 2>&1 || exit 1
    "$WINE" cmd.exe /c exit 0 </dev/null >/dev/null 2>&1
    exit $? ;;
  --kill)
    [ -d "$WINEPREFIX" ] && "$WINESERVER" -k 2>/dev/null
    exit 0 ;;
esac
init_prefix </dev/null >/dev/null 2>&1 || { echo "wine-run: prefix init failed" >&2; exit 125; }
exec "$WINE" "$@"
