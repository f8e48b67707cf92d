#!/usr/bin/env bash
# The Windows window as a user gets it, under Wine on a private Xvfb display: the portable zip
# unpacked into an empty folder and started in a fresh Wine prefix with nothing on its path but
# that folder; a config.ini beside quillon.exe naming a chip and an image; the window found by
# its caption "Quillon V200" with its 962 x 498 client area; F9 pressed from another X client;
# the simulated chip's flash file then holds the image, and closing the window rewrites
# config.ini. Then the installer: installed silently for the current user, started, uninstalled
# (config.ini stays). Prints the start-to-painted time. Needs scripts/package-windows.sh first.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=$ROOT/build/windows
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD/CMakeCache.txt")
zip=$BUILD/quillon-$version-windows-x64.zip
setup=$BUILD/quillon-$version-windows-x64-setup.exe
probe=$BUILD/tests/gui/quillon_window_probe.exe
for f in "$zip" "$setup" "$probe"; do [ -f "$f" ] || { echo "test-windows-window: $f missing" >&2; exit 1; }; done
for tool in Xvfb xdotool unzip; do
  command -v "$tool" >/dev/null || { echo "test-windows-window: $tool missing (scripts/bootstrap.sh)" >&2; exit 1; }
done

work=$(mktemp -d)
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
unset WINEPATH QUILLON_WINE_DLL_DIRS
. scripts/xvfb.sh
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  stop_xvfb
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "test-windows-window: FAIL: $*" >&2; exit 1; }

# A display of our own.
start_xvfb 1280x1024x24 || fail "no X server"

wineboot -i >/dev/null 2>&1
wineserver -w

mkdir -p "$work/app" "$work/data"
unzip -q "$zip" -d "$work/app"
app=$work/app/quillon-$version-windows-x64
[ -f "$app/quillon.exe" ] && [ -f "$app/quillon-cli.exe" ] && [ -f "$app/platforms/qwindows.dll" ] \
  || fail "the zip lacks quillon.exe, quillon-cli.exe or platforms/qwindows.dll"
# quillon-cli.exe starts from the zip alone, in a prefix that knows no build folder: every DLL it
# loads (libpq.dll, for the store) came with it.
(cd "$app" && wine ./quillon-cli.exe --version > "$work/cli-version.out" 2>&1) \
  || fail "quillon-cli.exe from the zip does not start: $(cat "$work/cli-version.out")"
cp examples/blink/blink.ihx "$work/data/blink.hex"
winpath() { printf 'Z:%s' "${1//\//\\}"; }
printf '[CONFIG]\r\nchipidx=0\r\nfile=%s\r\nreload=1\r\nerase=1\r\nencry=0\r\nverify=1\r\nrstrun=1\r\nlang=en\r\n' \
  "$(winpath "$work/data/blink.hex")" > "$app/config.ini"

run_window() {  # run_window DIR: starts DIR/quillon.exe on the simulated chip, waits for its window
  local dir=$1
  rm -f "$work/data/chip.bin"
  local t0
  t0=$(date +%s%N)
  (cd "$dir" && wine ./quillon.exe --sim --sim-flash "$(winpath "$work/data/chip.bin")" \
     >"$work/window.out" 2>"$work/window.err") &
  window_pid=$!
  wine "$probe" wait "Quillon V200" 60000 > "$work/probe.out" 2>&1 \
    || { cat "$work/probe.out" "$work/window.err"; fail "no window captioned \"Quillon V200\""; }
  painted_ms=$(( ($(date +%s%N) - t0) / 1000000 ))
  grep -q '^client 962x498 ' "$work/probe.out" || fail "client area: $(cat "$work/probe.out")"
}

# F9 from another X client reaches the window's RegisterHotKey; the chip then holds the image.
run_window "$app"
echo "test-windows-window: $(cat "$work/probe.out"), first paint $painted_ms ms after start (zip, fresh prefix)"
xid=$(xdotool search --sync --name '^Quillon V200$' | head -1)
xdotool windowfocus --sync "$xid" 2>/dev/null || true
xdotool key F9
# The simulated chip's file is written when the programmer's link closes, that is when the
# window closes; an unpaced Write of blink.hex takes well under a second.
sleep 5
wine "$probe" close "Quillon V200" || fail "could not close the window"
wait "$window_pid" || fail "quillon.exe ended with status $?"
# The chip read back by the packed quillon-cli.exe from the same simulated chip file.
[ -f "$work/data/chip.bin" ] || fail "F9 left no simulated chip file"
(cd "$work/data" && wine "$app/quillon-cli.exe" --sim --sim-flash chip.bin read --chip NRF24LE1_16K dump.bin \
   >"$work/read.out" 2>&1) || { cat "$work/read.out"; fail "quillon-cli.exe read failed"; }
expected=$(stat -c %s examples/blink/blink.bin)
cmp -s -n "$expected" examples/blink/blink.bin "$work/data/dump.bin" || fail "after F9 the chip does not hold blink.bin"
tr -d '\r' < "$app/config.ini" | grep -qx 'chipidx=0' || fail "config.ini not rewritten: $(cat "$app/config.ini")"
grep -q $'\r$' "$app/config.ini" || fail "config.ini lost its CR LF"
echo "test-windows-window: F9 wrote blink.hex through the deployed window; config.ini rewritten"

# The installer, for the current user, silently; the installed window starts; the uninstaller
# leaves the user's config.ini and the folder that holds it.
wine "$setup" /S /CurrentUser || fail "installer status $?"
wineserver -w
installed=$(find "$WINEPREFIX/drive_c/users" -path '*Quillon/quillon.exe' -print -quit)
[ -n "$installed" ] || fail "no installed quillon.exe under the user's folder"
dir=$(dirname "$installed")
[ -f "$dir/platforms/qwindows.dll" ] && [ -f "$dir/quillon-cli.exe" ] && [ -f "$dir/uninstall.exe" ] || fail "installed folder incomplete"
find "$WINEPREFIX/drive_c/users" -name 'Quillon.lnk' | grep -q . || fail "no Start-menu entry"
cp "$app/config.ini" "$dir/config.ini"
run_window "$dir"
echo "test-windows-window: installed into C:${dir#"$WINEPREFIX"/drive_c}; window: $(cat "$work/probe.out")"
wine "$probe" close "Quillon V200"
wait "$window_pid" || fail "installed quillon.exe ended with status $?"
wine "$dir/uninstall.exe" /S "_?=$(printf 'C:%s' "${dir#"$WINEPREFIX"/drive_c}" | tr / '\\')" || fail "uninstaller status $?"
wineserver -w
[ ! -e "$dir/quillon.exe" ] && [ ! -e "$dir/platforms" ] || fail "uninstall left program files"
[ -f "$dir/config.ini" ] || fail "uninstall removed config.ini"
find "$WINEPREFIX/drive_c/users" -name 'Quillon.lnk' | grep -q . && fail "uninstall left the Start-menu entry"
echo "test-windows-window: installer installed, ran and uninstalled (config.ini kept)"
