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
# True when a wineserver for this prefix runs (another prefix's server does not count).
server_running() {
  local pid
  for pid in $(pgrep -u "$(id -u)" -x 'wineserver(64)?' 2>/dev/null); do
    tr '\0' '\n' < "/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" && return 0
  done
  return 1
}
if [ ! -f "$WINEPREFIX/system.reg" ] || ! server_running; then
  (
    # One starter at a time: ctest runs tests in parallel.
    mkdir -p "$WINEPREFIX"
    exec 9>"$WINEPREFIX/.quillon-start.lock"
    flock 9
    if ! server_running; then
      # -p: stay up until killed (wineserver -k), so later programs find it and its helpers.
      wineserver -p >/dev/null 2>&1 </dev/null 9>&-
    fi
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      wineboot -i >/dev/null 2>&1 </dev/null 9>&-
    else
      wineboot >/dev/null 2>&1 </dev/null 9>&-
    fi
  )
fi
# The program's output goes through files, not the caller's pipes: a Windows handle to a pipe
# keeps it open in the wineserver for as long as any Wine process (a child of the program, a
# helper started for it) still holds that handle, and ctest would wait for it.
capture=$(mktemp -d "${TMPDIR:-/tmp}/wine-run.XXXXXX")
trap 'rm -rf "$capture"' EXIT
# A program that Wine leaves spinning is ended after QUILLON_WINE_RUN_LIMIT seconds (default 280,
# below ctest's 300 s per test), so the run reports a failure instead of hanging.
timeout --kill-after=10 "${QUILLON_WINE_RUN_LIMIT:-280}" wine "$@" >"$capture/out" 2>"$capture/err"
status=$?
cat "$capture/out"
cat "$capture/err" >&2
exit $status
