#!/usr/bin/env bash
# Runs one Windows program under Wine for ctest and the scripts: a private, quiet prefix under
# build/, and one persistent wineserver whose helper processes (services, device manager) are
# started here with their output sent nowhere. Started by the first test instead, they would
# inherit that test's output pipes and keep ctest waiting long after the test ended.
set -u
ROOT=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$ROOT/build/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export WINEARCH=win64
if [ ! -f "$WINEPREFIX/system.reg" ] || ! pgrep -u "$(id -u)" -x 'wineserver(64)?' >/dev/null 2>&1; then
  (
    # One starter at a time: ctest runs tests in parallel.
    mkdir -p "$WINEPREFIX"
    exec 9>"$WINEPREFIX/.quillon-start.lock"
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      wineboot -i >/dev/null 2>&1 </dev/null
    fi
    # -p: stay up until killed (wineserver -k); a second call is a no-op while one runs.
    wineserver -p >/dev/null 2>&1 </dev/null 9>&-
    wineboot >/dev/null 2>&1 </dev/null 9>&-
  )
fi
# The program's output goes through files, not the caller's pipes: a Windows handle to a pipe
# keeps it open in the wineserver for as long as any Wine process (a child of the program, a
# helper started for it) still holds that handle, and ctest would wait for it.
capture=$(mktemp -d "${TMPDIR:-/tmp}/wine-run.XXXXXX")
trap 'rm -rf "$capture"' EXIT
wine "$@" >"$capture/out" 2>"$capture/err"
status=$?
cat "$capture/out"
cat "$capture/err" >&2
exit $status
