#!/usr/bin/env bash
# The dump benchmark in one command. Fills the test server (once; kept between runs) with tables
# of mixed column types: 100,000 and 1,000,000 rows, and four databases of 250,000 rows for the
# concurrent sessions. Then bench/dump_compare prints medians over ROUNDS rounds: the library's
# dumps through the command-line host against the floor (the same rows read and discarded by our
# protocol client), with client CPU, server CPU and peak RSS; the host's RSS above its baseline;
# four dumps at once against the same four in a row; and the sha256 of the 1M dump, so that a
# change which alters the file's bytes shows at one look.
#
#   scripts/bench-dump.sh [ROUNDS]    (default 5; starts the test server if it is not running and
#                                      leaves it running)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
rounds=${1:-5}
case $rounds in
  '' | *[!0-9]* | 0) echo "usage: scripts/bench-dump.sh [ROUNDS]   (a whole number, 1 or more)" >&2; exit 2 ;;
esac
scripts/deps.sh
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DMDUMP_BUILD_TESTS=OFF \
  -DMDUMP_BUILD_BENCH=ON >/dev/null
# Two jobs: the machines this runs on are small, and the build should not crowd the server.
cmake --build build/bench -j 2 --target mdump_host dump_compare read_discard dump_sessions
export MDUMP_SERVER_DIR=${MDUMP_SERVER_DIR:-$root/build/test-server}
scripts/test-server.sh start >/dev/null
# shellcheck disable=SC1091
. "$MDUMP_SERVER_DIR/env"
sql() { mariadb --no-defaults --socket="$MDUMP_TEST_SOCKET" -uroot "$@"; }

fill() {  # database rows
  local db=$1 rows=$2
  if [ "$(sql -N -e "SELECT COUNT(*) FROM information_schema.TABLES WHERE TABLE_SCHEMA='$db'" )" = 1 ] &&
     [ "$(sql -N -e "SELECT COUNT(*) FROM \`$db\`.mixed")" = "$rows" ]; then
    return
  fi
  echo "filling $db with $rows rows" >&2
  sql <<SQL
DROP DATABASE IF EXISTS \`$db\`;
CREATE DATABASE \`$db\` CHARACTER SET utf8mb4;
CREATE TABLE \`$db\`.mixed (
  id INT PRIMARY KEY,
  name VARCHAR(64),
  note TEXT,
  amount DECIMAL(12,2),
  ratio DOUBLE,
  created DATETIME,
  raw VARBINARY(20),
  flag TINYINT
) ENGINE=InnoDB;
USE \`$db\`;
INSERT INTO \`$db\`.mixed
SELECT seq,
       CONCAT('Zoë Ångström ', seq),
       IF(seq % 10 = 0, NULL, CONCAT('line "', seq, '"\nit''s a \\\\ backslash')),
       seq * 1.25,
       seq / 7,
       '2020-01-01' + INTERVAL seq SECOND,
       UNHEX(SHA1(seq)),
       seq % 128
FROM seq_1_to_$rows;
SQL
}

fill mdump_bench_1m 1000000
fill mdump_bench_100k 100000
for i in 1 2 3 4; do fill "mdump_bench_q$i" 250000; done
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
build/bench/bench/dump_compare "$rounds" build/bench "$out" "$(cat "$MDUMP_SERVER_DIR/mariadbd.pid")" \
  "$MDUMP_TEST_HOST" "$MDUMP_TEST_PORT" "$MDUMP_TEST_USER" "$MDUMP_TEST_PASSWORD"
