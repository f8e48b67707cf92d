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
# QUILLON_WINE_DLL_DIRS: build-machine folders (colon-separated) where the program finds its DLLs
# (a Qt program's Qt and mingw runtime), put on Wine's search path as drive Z: paths.
if [ -n "${QUILLON_WINE_DLL_DIRS:-}" ]; then
  winepath=""
  IFS=: read -r -a dll_dirs <<< "$QUILLON_WINE_DLL_DIRS"
  for d in "${dll_dirs[@]}"; do
    [ -n "$d" ] && winepath="${winepath:+$winepath;}Z:${d//\//\\}"
  done
  export WINEPATH="$winepath${WINEPATH:+;$WINEPATH}"
fi
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
      # Wine has no Segoe UI, Qt's Windows font, nor Courier New, the hex view's: without
      # stand-ins the window's text falls back to a serif face. The build machine's DejaVu Sans
      # and DejaVu Sans Mono (through fontconfig) take their places.
      reg=$(mktemp "${TMPDIR:-/tmp}/wine-fonts.XXXXXX.reg")
      printf 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n' > "$reg"
      for face in "Segoe UI" "MS Sans Serif" "MS Shell Dlg" "MS Shell Dlg 2"; do
        printf '"%s"="DejaVu Sans"\r\n' "$face" >> "$reg"
      done
      printf '"Courier New"="DejaVu Sans Mono"\r\n' >> "$reg"
      wine regedit /S "Z:${reg//\//\\}" >/dev/null 2>&1 </dev/null 9>&-
      rm -f "$reg"
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
