#!/usr/bin/env bash
# The database engines of the production line's store for the Windows build, built with mingw-w64
# (posix threads) from Debian's own source packages: the same uploads as the build machine's
# libsqlite3-dev and libpq-dev, so that both platforms run the same engine code.
#   SQLite 3  the amalgamation made from Debian's sqlite3 source, compiled with Debian's own
#             options into a static libsqlite3.a: programs need no DLL for it.
#   libpq     from Debian's postgresql-15 source (src/port, src/common, src/interfaces/libpq) as
#             libpq.dll with its import library. Not static: on Windows libpq brings its own
#             pthread_* emulation, which in one program with mingw's winpthread would clash; the
#             DLL keeps it private. OpenSSL, from Debian's openssl source, is linked into
#             libpq.dll (static libcrypto/libssl), so that sslmode=verify-full works on Windows
#             and libpq.dll is the only DLL a program needs.
# Each library is built once per key (its source version, the options below, the compiler and,
# for libpq, the OpenSSL it holds) into a cache outside the clone, then copied into the prefix
# given as the first argument (scripts/bootstrap-windows.sh gives build/windows-deps, where the
# Windows build finds jsoncpp too). Build times are kept in each cache entry's .complete file.
#   QUILLON_WINDOWS_DEPS_CACHE  the cache folder (default /var/cache/quillon/windows-deps)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PREFIX=${1:-$ROOT/build/windows-deps}
CACHE=${QUILLON_WINDOWS_DEPS_CACHE:-/var/cache/quillon/windows-deps}
HOST=x86_64-w64-mingw32
CC=$HOST-gcc-posix
. scripts/apt.sh
SUDO=$APT_SUDO
# tcl makes SQLite's amalgamation; the -dev packages name the uploads to build.
apt_install g++-mingw-w64-x86-64-posix dpkg-dev build-essential tcl perl libsqlite3-dev libpq-dev libssl-dev
. scripts/debian-source.sh

$SUDO mkdir -p "$CACHE"
[ -w "$CACHE" ] || $SUDO chown "$(id -u):$(id -g)" "$CACHE"
# One build at a time per cache: a second caller waits and then takes the first one's result.
exec 9>"$CACHE/.lock"
if ! flock -n 9; then
  echo "bootstrap-windows-store: waiting for the build already running"
  flock 9
fi
COMPILER=$($CC --version | head -1)

key_of() { { printf '%s\n' "$@"; echo "$COMPILER"; } | sha256sum | cut -c1-16; }
safe() { echo "${1//[^A-Za-z0-9.+]/_}"; }
# The source package and version of the upload an installed package was built from.
source_of() { dpkg-query -W -f='${source:Package}=${source:Version}' "$1"; }

# finish ENTRY START: marks a built entry complete, with its build time.
finish() {
  local entry=$1 started=$2
  { date -u +%FT%TZ; echo "$(( $(date +%s) - started )) s"; } > "$entry.tmp/.complete"
  rm -rf "$entry"
  mv "$entry.tmp" "$entry"
}

# --- SQLite -----------------------------------------------------------------------------------
SQLITE_SOURCE=$(source_of libsqlite3-dev)
# Debian's own compile options for libsqlite3 (debian/rules), so that both builds behave alike.
SQLITE_CFLAGS=(
  -O2 -fno-strict-aliasing
  -DSQLITE_SECURE_DELETE -DSQLITE_ENABLE_COLUMN_METADATA
  -DSQLITE_ENABLE_FTS3 -DSQLITE_ENABLE_FTS3_PARENTHESIS
  -DSQLITE_ENABLE_RTREE=1 -DSQLITE_SOUNDEX=1
  -DSQLITE_ENABLE_UNLOCK_NOTIFY
  -DSQLITE_OMIT_LOOKASIDE=1 -DSQLITE_ENABLE_DBSTAT_VTAB
  -DSQLITE_ALLOW_ROWID_IN_VIEW
  -DSQLITE_ENABLE_UPDATE_DELETE_LIMIT=1
  -DSQLITE_ENABLE_LOAD_EXTENSION
  -DSQLITE_ENABLE_JSON1
  -DSQLITE_LIKE_DOESNT_MATCH_BLOBS
  -DSQLITE_THREADSAFE=1
  -DSQLITE_ENABLE_FTS3_TOKENIZER=1
  -DSQLITE_USE_URI=1
  -DSQLITE_MAX_SCHEMA_RETRY=25
  -DSQLITE_ENABLE_PREUPDATE_HOOK
  -DSQLITE_ENABLE_SESSION
  -DSQLITE_ENABLE_STMTVTAB
  -DSQLITE_MAX_VARIABLE_NUMBER=250000
)
SQLITE=$CACHE/sqlite-$(safe "${SQLITE_SOURCE#*=}")-$(key_of "$SQLITE_SOURCE" "${SQLITE_CFLAGS[@]}")
if [ ! -f "$SQLITE/.complete" ]; then
  echo "bootstrap-windows-store: building SQLite ($SQLITE_SOURCE) for mingw"
  started=$(date +%s)
  work=$CACHE/build-sqlite
  rm -rf "$work" "$SQLITE.tmp"
  debian_source "$SQLITE_SOURCE" "$work/src" "$CACHE/apt" --download-only
  dpkg-source -x "$work"/src/*.dsc "$work/sqlite" >/dev/null 2>&1
  # The amalgamation is made by the source's own tools, on the build machine.
  mkdir -p "$work/amalgamation"
  (cd "$work/amalgamation" && ../sqlite/configure --disable-tcl > configure.log 2>&1 &&
     make sqlite3.c sqlite3.h sqlite3ext.h > make.log 2>&1) || { tail -30 "$work"/amalgamation/*.log; exit 1; }
  mkdir -p "$SQLITE.tmp/include" "$SQLITE.tmp/lib/pkgconfig" "$SQLITE.tmp/share/licenses/sqlite3"
  $CC "${SQLITE_CFLAGS[@]}" -c "$work/amalgamation/sqlite3.c" -o "$work/sqlite3.o"
  $HOST-ar crs "$SQLITE.tmp/lib/libsqlite3.a" "$work/sqlite3.o"
  cp "$work/amalgamation/sqlite3.h" "$work/amalgamation/sqlite3ext.h" "$SQLITE.tmp/include/"
  cp "$work/sqlite/LICENSE.md" "$SQLITE.tmp/share/licenses/sqlite3/"
  version=$(sed -n 's/^#define SQLITE_VERSION *"\(.*\)"/\1/p' "$work/amalgamation/sqlite3.h")
  cat > "$SQLITE.tmp/lib/pkgconfig/sqlite3.pc" <<EOF
prefix=\${pcfiledir}/../..
includedir=\${prefix}/include
libdir=\${prefix}/lib

Name: SQLite
Description: SQL database engine (static, mingw-w64, from Debian's $SQLITE_SOURCE)
Version: $version
Libs: -L\${libdir} -lsqlite3
Cflags: -I\${includedir}
EOF
  finish "$SQLITE" "$started"
  rm -rf "$work"
  echo "bootstrap-windows-store: SQLite built in $(( $(date +%s) - started )) s"
fi

# --- OpenSSL ----------------------------------------------------------------------------------
# The build machine's upload when the archive still serves its source, else the newest it serves
# (security updates replace uploads). A cached build with these options is kept until removed.
OPENSSL_OPTIONS=(
  mingw64 --cross-compile-prefix=$HOST- CC=gcc-posix --libdir=lib
  # The upstream default for Windows: a folder only administrators can write (a user-writable
  # OPENSSLDIR would let anyone plant a configuration that every program then loads).
  "--openssldir=C:/Program Files/Common Files/SSL"
  no-shared no-tests no-engine no-module
)
OPENSSL_KEY=$(key_of "${OPENSSL_OPTIONS[@]}")
OPENSSL=$(ls -d "$CACHE"/openssl-*-"$OPENSSL_KEY" 2>/dev/null | sort -V | tail -1 || true)
if [ -z "$OPENSSL" ] || [ ! -f "$OPENSSL/.complete" ]; then
  started=$(date +%s)
  work=$CACHE/build-openssl
  rm -rf "$work"
  host_version=$(dpkg-query -W -f='${source:Version}' libssl-dev)
  # apt-get source needs the archive's lists: one update, then the versions it offers.
  debian_source openssl "$work/probe" "$CACHE/apt" --print-uris >/dev/null
  mapfile -t offered < <(apt-cache -o "Dir::Etc::SourceList=$CACHE/apt/sources.list" \
      -o "Dir::Etc::SourceParts=$CACHE/apt/sources.list.d" -o "Dir::State::Lists=$CACHE/apt/lists" \
      -o "Dir::Cache=$CACHE/apt/cache" showsrc openssl | sed -n 's/^Version: //p' | sort -rV)
  fetched=""
  for v in "$host_version" "${offered[@]}"; do
    if debian_source "openssl=$v" "$work/src" "$CACHE/apt" --download-only 2>/dev/null; then fetched=$v; break; fi
    rm -rf "$work/src"
  done
  [ -n "$fetched" ] || { echo "bootstrap-windows-store: no openssl source in the archive" >&2; exit 1; }
  OPENSSL=$CACHE/openssl-$(safe "$fetched")-$OPENSSL_KEY
  echo "bootstrap-windows-store: building OpenSSL (openssl=$fetched) for mingw"
  rm -rf "$OPENSSL.tmp"
  dpkg-source -x "$work"/src/*.dsc "$work/openssl" >/dev/null 2>&1
  (cd "$work/openssl" && ./Configure "${OPENSSL_OPTIONS[@]}" --prefix="$OPENSSL.tmp" > configure.log 2>&1 &&
     make -j "$(nproc)" build_libs > make.log 2>&1 && make install_dev > install.log 2>&1) ||
    { tail -40 "$work"/openssl/*.log; exit 1; }
  mkdir -p "$OPENSSL.tmp/share/licenses/openssl"
  cp "$work/openssl/LICENSE.txt" "$OPENSSL.tmp/share/licenses/openssl/"
  echo "openssl=$fetched" > "$OPENSSL.tmp/source"
  finish "$OPENSSL" "$started"
  rm -rf "$work"
  echo "bootstrap-windows-store: OpenSSL built in $(( $(date +%s) - started )) s"
fi

# --- libpq ------------------------------------------------------------------------------------
PQ_SOURCE=$(source_of libpq-dev)
# Static OpenSSL needs these Windows libraries; libpq's own link line keeps $LIBS at its end.
PQ_OPTIONS=(
  --host=$HOST CC=$CC --without-readline --without-icu --without-zlib --with-ssl=openssl
  "LIBS=-lcrypt32 -lws2_32 -lgdi32 -luser32 -ladvapi32"
)
PQ=$CACHE/libpq-$(safe "${PQ_SOURCE#*=}")-$(key_of "$PQ_SOURCE" "${PQ_OPTIONS[@]}" "$(basename "$OPENSSL")")
if [ ! -f "$PQ/.complete" ]; then
  echo "bootstrap-windows-store: building libpq ($PQ_SOURCE, with $(cat "$OPENSSL/source")) for mingw"
  started=$(date +%s)
  work=$CACHE/build-libpq
  rm -rf "$work" "$PQ.tmp"
  debian_source "$PQ_SOURCE" "$work/src" "$CACHE/apt" --download-only
  dpkg-source -x "$work"/src/*.dsc "$work/postgresql" >/dev/null 2>&1
  mkdir -p "$work/build"
  (cd "$work/build" && ../postgresql/configure "${PQ_OPTIONS[@]}" CPPFLAGS="-I$OPENSSL/include" \
      LDFLAGS="-L$OPENSSL/lib" > configure.log 2>&1) || { tail -40 "$work/build/configure.log"; exit 1; }
  configured=$(date +%s)
  make -C "$work/build/src/interfaces/libpq" -j "$(nproc)" > "$work/build/make.log" 2>&1 ||
    { grep -B2 -A20 -E 'error|Error' "$work/build/make.log" | head -60; exit 1; }
  b=$work/build
  s=$work/postgresql
  mkdir -p "$PQ.tmp/bin" "$PQ.tmp/include/libpq" "$PQ.tmp/lib/pkgconfig" "$PQ.tmp/share/licenses/postgresql"
  $HOST-strip --strip-unneeded -o "$PQ.tmp/bin/libpq.dll" "$b/src/interfaces/libpq/libpq.dll"
  # The import library under the name PostgreSQL gives it: -lpq finds it even where programs
  # link with -static (which looks for lib*.a only), as it finds Windows' own import libraries.
  cp "$b/src/interfaces/libpq/libpq.a" "$PQ.tmp/lib/libpq.a"
  cp "$s/src/interfaces/libpq/libpq-fe.h" "$s/src/interfaces/libpq/libpq-events.h" "$s/src/include/postgres_ext.h" \
     "$b/src/include/pg_config_ext.h" "$b/src/include/pg_config.h" "$PQ.tmp/include/"
  cp "$s/src/include/libpq/libpq-fs.h" "$PQ.tmp/include/libpq/"
  cp "$s/COPYRIGHT" "$PQ.tmp/share/licenses/postgresql/"
  version=$(sed -n 's/^#define PG_VERSION "\(.*\)"/\1/p' "$b/src/include/pg_config.h")
  cat > "$PQ.tmp/lib/pkgconfig/libpq.pc" <<EOF
prefix=\${pcfiledir}/../..
includedir=\${prefix}/include
libdir=\${prefix}/lib

Name: libpq
Description: PostgreSQL's C client (libpq.dll, mingw-w64, from Debian's $PQ_SOURCE with $(cat "$OPENSSL/source") inside)
Version: $version
Libs: -L\${libdir} -lpq
Cflags: -I\${includedir}
EOF
  cp -r "$OPENSSL/share/licenses/openssl" "$PQ.tmp/share/licenses/"
  finish "$PQ" "$started"
  echo "configure $(( configured - started )) s, make $(( $(date +%s) - configured )) s" >> "$PQ/.complete"
  rm -rf "$work"
  echo "bootstrap-windows-store: libpq built in $(( $(date +%s) - started )) s"
fi

# Into the prefix, beside jsoncpp: the libraries, their headers and .pc files, libpq.dll in bin/
# and the licences the Windows packages carry.
mkdir -p "$PREFIX"
for entry in "$SQLITE" "$PQ"; do
  tar -C "$entry" --exclude=./.complete --exclude=./source -cf - . | tar -C "$PREFIX" -xf -
done
echo "bootstrap-windows-store: ready (sqlite: $(basename "$SQLITE"), libpq: $(basename "$PQ"))"
