#!/usr/bin/env bash
# Dump throughput and memory: fills the test server with a 1,000,000-row and a 100,000-row table
# of mixed column types (once; kept between runs), dumps each through the shared library and
# prints the figures. The two peak-memory figures show that memory does not grow with the table.
#
#   scripts/bench-dump.sh          (starts the test server if it is not running; leaves it running)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/deps.sh
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DMDUMP_BUILD_TESTS=OFF \
  -DMDUMP_BUILD_BENCH=ON >/dev/null
cmake --build build/bench --target dump_throughput
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
out=$(mktemp -d)
for db in mdump_bench_100k mdump_bench_1m; do
  echo "== $db"
  build/bench/bench/dump_throughput "$MDUMP_TEST_HOST" "$MDUMP_TEST_PORT" "$MDUMP_TEST_USER" \
    "$MDUMP_TEST_PASSWORD" "$db" "$out/$db.sql"
  rm -f "$out/$db.sql"
done
rmdir "$out"
