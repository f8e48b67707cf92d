#!/usr/bin/env bash
# A scratch PostgreSQL server for tests and CI jobs, in a folder of its own: initdb on the first
# start, then the server on 127.0.0.1 and a free port (kept for every later start, so that URLs
# stay valid across a crash and restart), its unix socket in the folder. PostgreSQL refuses to
# run as root: as root the folder is handed to an unprivileged user and the server runs as that
# user. TCP connections need the superuser's password (scram-sha-256), so tests can try URLs
# with a password; the socket trusts local users.
#
#   pg-scratch.sh start DIR    initdb if needed, start, print the URL (also in DIR/url)
#   pg-scratch.sh stop DIR     a clean stop (nothing when not running)
#   pg-scratch.sh kill DIR     pg_ctl stop -m immediate: a crash, recovered at the next start
#   pg-scratch.sh restart DIR  stop, then start on the same port
#   pg-scratch.sh url DIR      print the URL
#   pg-scratch.sh psql DIR ... run psql as the superuser over TCP
#
# Environment: PG_BIN (default /usr/lib/postgresql/15/bin), PG_SCRATCH_USER (the user to run as
# when root, default nobody), PG_SCRATCH_PASSWORD (the superuser's password for a new folder),
# PG_SCRATCH_FSYNC=on (a new folder's server syncs as a production one does: for figures).
# Exit 77 when the server programs are missing (Debian package postgresql).
set -euo pipefail

usage() {
  echo "usage: $0 start|stop|kill|restart|url|psql DIR [ARGS...]" >&2
  exit 2
}
[ $# -ge 2 ] || usage
command=$1
dir=$2
shift 2

PG_BIN=${PG_BIN:-/usr/lib/postgresql/15/bin}
SUPERUSER=quillon
if [ ! -x "$PG_BIN/initdb" ] || [ ! -x "$PG_BIN/pg_ctl" ]; then
  echo "pg-scratch: no PostgreSQL server programs in $PG_BIN (Debian package postgresql)" >&2
  exit 77
fi

mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
data=$dir/data

if [ "$(id -u)" = 0 ]; then
  run_user=${PG_SCRATCH_USER:-nobody}
  as_server() { runuser -u "$run_user" -- "$@"; }
else
  run_user=$(id -un)
  as_server() { "$@"; }
fi

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

url() {
  printf 'postgresql://%s:%s@127.0.0.1:%s/postgres\n' "$SUPERUSER" "$(cat "$dir/password")" "$(cat "$dir/port")"
}

running() {
  [ -f "$data/PG_VERSION" ] && as_server "$PG_BIN/pg_ctl" -D "$data" status >/dev/null 2>&1
}

init() {
  [ -f "$data/PG_VERSION" ] && return 0
  if [ "$(id -u)" = 0 ]; then
    chown "$run_user" "$dir"
    if ! as_server test -w "$dir"; then
      echo "pg-scratch: the user $run_user cannot reach $dir (a folder above it is closed to it)" >&2
      exit 1
    fi
  fi
  local password=${PG_SCRATCH_PASSWORD:-quillon-Scratch-7e1}
  printf '%s\n' "$password" >"$dir/password"
  local pwfile=$dir/.pwfile
  printf '%s\n' "$password" >"$pwfile"
  [ "$(id -u)" = 0 ] && chown "$run_user" "$pwfile"
  if ! as_server "$PG_BIN/initdb" -D "$data" -U "$SUPERUSER" --pwfile="$pwfile" --auth-local=trust \
      --auth-host=scram-sha-256 -E UTF8 --locale=C --no-sync >"$dir/initdb.log" 2>&1; then
    rm -f "$pwfile"
    cat "$dir/initdb.log" >&2
    exit 1
  fi
  rm -f "$pwfile"
  # A crash test stops the server with -m immediate; the system's page cache keeps what was
  # written, so fsync is only time here (unless a figure wants the real cost).
  local sync=${PG_SCRATCH_FSYNC:-off}
  cat >>"$data/postgresql.conf" <<EOF
listen_addresses = '127.0.0.1'
unix_socket_directories = '$dir'
max_connections = 200
shared_buffers = 32MB
fsync = $sync
full_page_writes = $sync
logging_collector = off
EOF
}

start() {
  init
  if running; then
    url
    return 0
  fi
  local attempt
  for attempt in 1 2 3; do
    # The port is chosen once; a start after a crash comes back on it.
    [ -s "$dir/port" ] || free_port >"$dir/port"
    if as_server "$PG_BIN/pg_ctl" -D "$data" -l "$dir/server.log" -w -t 60 \
        -o "-p $(cat "$dir/port")" start >/dev/null; then
      url | tee "$dir/url"
      return 0
    fi
    # A port another program took since it was chosen: a new one, but only on the first start.
    if grep -q "could not bind" "$dir/server.log" 2>/dev/null && [ ! -f "$dir/started" ]; then
      rm -f "$dir/port"
      continue
    fi
    break
  done
  echo "pg-scratch: the server did not start; its log:" >&2
  tail -n 20 "$dir/server.log" >&2 || true
  exit 1
}

stop() {
  running || return 0
  as_server "$PG_BIN/pg_ctl" -D "$data" -w -t 60 -m "$1" stop >/dev/null
}

case $command in
  start) start; touch "$dir/started" ;;
  stop) stop fast ;;
  kill) stop immediate ;;
  restart) stop fast; start ;;
  url) url ;;
  psql) PGPASSWORD=$(cat "$dir/password") "$PG_BIN/psql" -X -q -v ON_ERROR_STOP=1 \
      "postgresql://$SUPERUSER@127.0.0.1:$(cat "$dir/port")/postgres" "$@" ;;
  *) usage ;;
esac
