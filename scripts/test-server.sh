#!/usr/bin/env bash
# A throwaway MariaDB server for the tests: Debian's packages, a data directory under the build
# tree, a free loopback port (never 3306), and a test account with a password and all privileges.
#
#   scripts/test-server.sh start   start it (or reuse the one already running) and print its address
#   scripts/test-server.sh stop    stop the server this script started, by its own pid
#
# The address and credentials are written to $MDUMP_SERVER_DIR/env as shell exports:
# MDUMP_TEST_HOST, MDUMP_TEST_PORT, MDUMP_TEST_USER, MDUMP_TEST_PASSWORD, MDUMP_TEST_SOCKET.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
dir=${MDUMP_SERVER_DIR:-$root/build/test-server}
pidfile=$dir/mariadbd.pid
sock=$dir/mariadbd.sock
user=mdump
password=mdump-test-pw

install_if_missing() {
  if command -v mariadbd >/dev/null && command -v mariadb >/dev/null && command -v mariadb-install-db >/dev/null; then
    return
  fi
  echo "test-server: installing MariaDB server and client"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends mariadb-server mariadb-client
}

running() {
  [ -f "$pidfile" ] && kill -0 "$(cat "$pidfile")" 2>/dev/null
}

port_in_use() {
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

pick_port() {
  local p=$((33100 + RANDOM % 2000))
  for _ in $(seq 1 200); do
    if ! port_in_use "$p"; then echo "$p"; return; fi
    p=$((p + 1))
  done
  echo "test-server: no free loopback port found" >&2
  exit 1
}

print_env() {
  cat "$dir/env"
}

start() {
  install_if_missing
  if running && [ -f "$dir/env" ]; then
    print_env
    return
  fi
  rm -rf "$dir"
  mkdir -p "$dir"
  mariadb-install-db --no-defaults --datadir="$dir/data" --user="$(id -un)" \
    --auth-root-authentication-method=socket --skip-test-db >"$dir/install.log" 2>&1 || {
    cat "$dir/install.log" >&2
    exit 1
  }
  local port
  port=$(pick_port)
  # max_allowed_packet is raised so that tests can send and read rows above 16 MiB. The buffer
  # pool holds all of scripts/bench-dump.sh's tables (about 260 MB), so that its figures time
  # sending rows, not fetching pages back from the page cache.
  mariadbd --no-defaults --datadir="$dir/data" --user="$(id -un)" \
    --bind-address=127.0.0.1 --port="$port" --socket="$sock" --pid-file="$pidfile" \
    --log-error="$dir/error.log" --skip-name-resolve --max-allowed-packet=64M \
    --innodb-buffer-pool-size=512M --innodb-flush-log-at-trx-commit=2 \
    >/dev/null 2>&1 &
  local launcher=$!
  for _ in $(seq 1 120); do
    if mariadb-admin --no-defaults --socket="$sock" -uroot ping >/dev/null 2>&1; then break; fi
    if ! kill -0 "$launcher" 2>/dev/null; then
      echo "test-server: mariadbd exited during start-up" >&2
      cat "$dir/error.log" >&2 || true
      exit 1
    fi
    sleep 0.5
  done
  if ! mariadb-admin --no-defaults --socket="$sock" -uroot ping >/dev/null 2>&1; then
    echo "test-server: mariadbd did not answer within 60 s" >&2
    cat "$dir/error.log" >&2 || true
    exit 1
  fi
  # Anonymous accounts would shadow the test account for some client hosts.
  mariadb --no-defaults --socket="$sock" -uroot <<SQL
DELETE FROM mysql.global_priv WHERE User = '';
FLUSH PRIVILEGES;
CREATE USER '$user'@'%' IDENTIFIED BY '$password';
GRANT ALL PRIVILEGES ON *.* TO '$user'@'%' WITH GRANT OPTION;
SQL
  cat >"$dir/env" <<ENV
export MDUMP_TEST_HOST=127.0.0.1
export MDUMP_TEST_PORT=$port
export MDUMP_TEST_USER=$user
export MDUMP_TEST_PASSWORD=$password
export MDUMP_TEST_SOCKET=$sock
ENV
  print_env
}

stop() {
  if ! [ -f "$pidfile" ]; then
    return
  fi
  local pid
  pid=$(cat "$pidfile")
  if kill -0 "$pid" 2>/dev/null; then
    kill "$pid"
    for _ in $(seq 1 60); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.5
    done
    kill -9 "$pid" 2>/dev/null || true
  fi
  rm -f "$pidfile" "$dir/env"
}

case "${1:-}" in
  start) start ;;
  stop) stop ;;
  *) echo "usage: $0 start|stop" >&2; exit 2 ;;
esac
