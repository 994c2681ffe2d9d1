#!/usr/bin/env bash
# Runs a command against a throwaway PostgreSQL cluster: Debian's server
# (installed if missing), started as the `postgres` user in a temporary
# folder, listening only on a Unix socket there (no TCP). The command sees the
# socket folder in QV_TEST_PG_SOCKET. The cluster is stopped and its folder
# removed on every exit path.
set -euo pipefail
PG_BIN=${PG_BIN:-/usr/lib/postgresql/15/bin}
if [ ! -x "$PG_BIN/pg_ctl" ]; then
  apt-get update -qq
  apt-get install -y -qq postgresql
fi
dir=$(mktemp -d /tmp/qv-pg.XXXXXX)
chown postgres: "$dir"
as_pg() { runuser -u postgres -- "$@"; }
stop() {
  if [ -f "$dir/data/postmaster.pid" ]; then
    as_pg "$PG_BIN/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null 2>&1 || true
  fi
  rm -rf "$dir"
}
trap stop EXIT
trap 'exit 130' INT TERM
as_pg "$PG_BIN/initdb" -D "$dir/data" -U postgres -A trust -E UTF8 --no-locale >"$dir/initdb.log"
as_pg "$PG_BIN/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w \
  -o "-c listen_addresses='' -c unix_socket_directories='$dir' -c fsync=off" start >/dev/null
QV_TEST_PG_SOCKET="$dir" "$@"
