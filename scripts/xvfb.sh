# Sourced by the scripts that need an X server of their own. start_xvfb [GEOMETRY] starts Xvfb on
# a display it picks itself and returns once it accepts clients: -displayfd makes the server
# name its display when it is ready, so nothing guesses a free number from lock files (and two
# scripts side by side never race for one). Sets DISPLAY (exported) and XVFB_PID; stop_xvfb ends it.
start_xvfb() {
  local geometry=${1:-1280x1024x24} named i
  named=$(mktemp "${TMPDIR:-/tmp}/xvfb-display.XXXXXX")
  Xvfb -displayfd 3 -screen 0 "$geometry" -nolisten tcp 3>"$named" >/dev/null 2>&1 &
  XVFB_PID=$!
  for ((i = 0; i < 200; i++)); do
    if grep -qx '[0-9][0-9]*' "$named"; then
      DISPLAY=:$(cat "$named")
      export DISPLAY
      rm -f "$named"
      return 0
    fi
    kill -0 "$XVFB_PID" 2>/dev/null || break
    sleep 0.05
  done
  rm -f "$named"
  echo "$(basename "$0" .sh): Xvfb did not name a display within 10 s" >&2
  return 1
}

stop_xvfb() {
  if [ -n "${XVFB_PID:-}" ]; then
    kill "$XVFB_PID" 2>/dev/null || true
    wait "$XVFB_PID" 2>/dev/null || true
    XVFB_PID=""
  fi
}
