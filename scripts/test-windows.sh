#!/usr/bin/env bash
# The Windows job: installs the cross toolchain and Wine, builds Qt 6 for mingw-w64 from Debian's
# source (or takes it from its cache, scripts/bootstrap-windows-qt.sh), builds the core, the
# simulator, quillon.exe, quillon-cli.exe and every test with mingw-w64 (warnings are errors),
# runs the whole suite under Wine (the window's tests on Qt's offscreen platform) with a
# PostgreSQL server of the job's own on 127.0.0.1 (scripts/pg-scratch.sh, run by the build
# machine, TLS on with a CA of the job's own, so that the store's tests reach it through the
# Windows libpq with sslmode=verify-full), writes the
# example firmware through quillon-cli.exe on the simulated programmer, packs the portable zip
# and the installer (scripts/package-windows.sh) and runs the deployed window on Xvfb
# (scripts/test-windows-window.sh).
# QUILLON_WINDOWS_GUI=0 leaves the window out: quillon-cli.exe and its tests only, no Qt build.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
bash scripts/bootstrap-windows.sh
gui=${QUILLON_WINDOWS_GUI:-1}
if [ "$gui" = 1 ]; then
  QUILLON_QT_PREFIX=$(bash scripts/bootstrap-windows-qt.sh | tail -1)
  export QUILLON_QT_PREFIX
  [ -f "$QUILLON_QT_PREFIX/lib/cmake/Qt6/Qt6Config.cmake" ] || { echo "test-windows: no Qt in $QUILLON_QT_PREFIX" >&2; exit 1; }
else
  export QUILLON_QT_PREFIX=""
fi
export WINEPREFIX="$ROOT/build/wineprefix"
pg_dir=$(mktemp -d "${TMPDIR:-/tmp}/quillon-windows-pg.XXXXXX")
cleanup() {
  WINEPREFIX="$WINEPREFIX" wineserver -k >/dev/null 2>&1 || true
  bash "$ROOT/scripts/pg-scratch.sh" stop "$pg_dir" >/dev/null 2>&1 || true
  rm -rf "$pg_dir"
}
trap cleanup EXIT

# The line's server, as the Linux tests start it; Windows programs see the build machine's files
# on drive Z: (forward slashes: libpq reads a backslash in a connection string as an escape).
QUILLON_TEST_POSTGRES_URL=$(bash scripts/pg-scratch.sh start "$pg_dir" | tail -1)
tls=$pg_dir/tls
mkdir -p "$tls"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=quillon-test-ca \
  -keyout "$tls/ca.key" -out "$tls/ca.crt" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout "$tls/server.key" -out "$tls/server.csr" 2>/dev/null
openssl x509 -req -in "$tls/server.csr" -CA "$tls/ca.crt" -CAkey "$tls/ca.key" -CAcreateserial -days 2 \
  -extfile <(printf 'subjectAltName=IP:127.0.0.1\n') -out "$tls/server.crt" 2>/dev/null
chmod 600 "$tls/server.key"
[ "$(id -u)" != 0 ] || chown -R "${PG_SCRATCH_USER:-nobody}" "$tls"
bash scripts/pg-scratch.sh psql "$pg_dir" -c "ALTER SYSTEM SET ssl_cert_file = '$tls/server.crt'" \
  -c "ALTER SYSTEM SET ssl_key_file = '$tls/server.key'" -c "ALTER SYSTEM SET ssl = on" -c "SELECT pg_reload_conf()" >/dev/null
# The reload reaches new sessions a moment later.
for _ in $(seq 20); do
  [ "$(bash scripts/pg-scratch.sh psql "$pg_dir" -At -c 'SHOW ssl')" = on ] && break
  sleep 0.5
done
[ "$(bash scripts/pg-scratch.sh psql "$pg_dir" -At -c 'SHOW ssl')" = on ] || { echo "test-windows: TLS did not start on the test server" >&2; exit 1; }
export QUILLON_TEST_POSTGRES_URL QUILLON_TEST_POSTGRES_ROOTCERT="Z:$tls/ca.crt"

cmake --preset windows >/dev/null
cmake --build --preset windows -j "$(nproc)"
# One entry per test program (tests/CMakeLists.txt): a Wine start per program, not per case.
ctest --preset windows -j "$(nproc)"

# The example firmware, written and verified by the Windows program.
work=$(mktemp -d)
trap 'rm -rf "$work"; cleanup' EXIT
cp examples/blink/blink.ihx "$work/blink.hex"
(cd "$work" && "$ROOT/scripts/wine-run.sh" "$ROOT/build/windows/cli/quillon-cli.exe" \
   --sim write --chip NRF24LE1_16K blink.hex) | tee "$work/write.log"
grep -q "Verify Success" "$work/write.log"

# A station under Wine on the line's server through the Windows libpq, over TLS with the server's
# certificate checked: two units on the simulated programmer; their records are read back here,
# and each chip holds the serial of its pass record.
pg_url=$(bash scripts/pg-scratch.sh url "$pg_dir")
psql_as() { "${PG_BIN:-/usr/lib/postgresql/15/bin}/psql" -X -q -At -v ON_ERROR_STOP=1 "$@"; }
psql_as "$pg_url" -c "CREATE DATABASE windows_station"
store="${pg_url%/postgres}/windows_station?sslmode=verify-full&sslrootcert=Z:$tls/ca.crt"
mkdir -p "$work/chips"
(cd "$work" && "$ROOT/scripts/wine-run.sh" "$ROOT/build/windows/cli/quillon-cli.exe" station --sim swap:2 \
   --sim-flash-dir chips --chip NRF24LE1_16K blink.hex --serial 0x3FFC:u32le --store "$store" \
   --station windows-1 --journal journal --count 2 --json) > "$work/station.log" \
  || { cat "$work/station.log"; echo "test-windows: the station on PostgreSQL failed" >&2; exit 1; }
# The store keeps a number with its top bit flipped (signed 64-bit columns): flipped back here.
mapfile -t serials < <(psql_as "${pg_url%/postgres}/windows_station" -c "SELECT serial::numeric + 9223372036854775808
  FROM units WHERE result = 'pass' AND station = 'windows-1' ORDER BY serial")
[ "${serials[*]}" = "1 2" ] || { cat "$work/station.log"; echo "test-windows: pass records ${serials[*]:-none}, not 1 2" >&2; exit 1; }
on_chips=$(for chip in "$work"/chips/*.bin; do od -An -tu4 -j $((0x3FFC)) -N4 "$chip"; done | tr -d ' ' | sort -n | xargs)
[ "$on_chips" = "1 2" ] || { echo "test-windows: the chips hold serials ${on_chips:-none}, not 1 2" >&2; exit 1; }
echo "test-windows: a station under Wine wrote 2 units with their records on PostgreSQL over TLS (verify-full)"

if [ "$gui" = 1 ]; then
  bash scripts/package-windows.sh
  bash scripts/test-windows-window.sh
else
  (cd build/windows && cpack -G ZIP >/dev/null)
  ls -l build/windows/quillon-cli-*-windows-x64.zip
fi
