#!/usr/bin/env bash
# Whole dumps by the Windows build under Wine: each host program given loads
# quillfen-mysqldump.dll and dumps a database of the test server into a file whose folder and
# name have non-ASCII letters. The file must appear under exactly that name, restore with the
# mariadb client, and every restored table must have the source's row count and CHECKSUM TABLE.
#
#   wine_dump_test.sh WORKDIR HOST.exe...
# A host named minimal_host.exe takes the configuration file as its argument; any other is the
# command-line host (--config FILE dump --json). Needs the test server's MDUMP_TEST_* variables;
# without them it skips (exit 77), except under CI=true, where that is a failure.
set -euo pipefail

mkdir -p "$1"
work=$(cd "$1" && pwd)
shift
hosts=()
for h in "$@"; do hosts+=("$(cd "$(dirname "$h")" && pwd)/$(basename "$h")"); done
# The command-line host runs twice: with its configuration file, and with options, where the
# non-ASCII output path comes in through the command line.
for h in "${hosts[@]}"; do
  case $(basename "$h") in minimal_host*) ;; *) hosts+=("$h#options") ;; esac
done
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
wine_run=$root/scripts/wine-run.sh

if [ -z "${MDUMP_TEST_HOST:-}" ] || [ -z "${MDUMP_TEST_PORT:-}" ]; then
  if [ "${CI:-}" = true ]; then echo "CI=true but no test server: run scripts/test.sh"; exit 1; fi
  echo "no test server (MDUMP_TEST_* unset): skipped"
  exit 77
fi

sql() {
  mariadb --no-defaults --protocol=tcp -h "$MDUMP_TEST_HOST" -P "$MDUMP_TEST_PORT" \
    -u "$MDUMP_TEST_USER" -p"$MDUMP_TEST_PASSWORD" --default-character-set=utf8mb4 "$@"
}

src=mdump_wine_src
# Names with letters outside ASCII in the table names too: they travel through the same code.
sql <<SQL
DROP DATABASE IF EXISTS $src;
CREATE DATABASE $src CHARACTER SET utf8mb4;
USE $src;
SET SESSION max_recursive_iterations = 100000;
CREATE TABLE kinds (
  id INT PRIMARY KEY,
  big BIGINT UNSIGNED, neg BIGINT, dec_v DECIMAL(20,6), dbl DOUBLE, flt FLOAT,
  txt VARCHAR(200), long_txt MEDIUMTEXT, bin VARBINARY(300), blb BLOB,
  d DATE, dt DATETIME(6), tm TIME, ts TIMESTAMP NULL, yr YEAR,
  en ENUM('a','b','ç'), st SET('x','y','z'), bt BIT(10), js JSON
);
CREATE TABLE \`Bücher_Übersicht\` (
  nr INT AUTO_INCREMENT PRIMARY KEY,
  titel VARCHAR(100) CHARACTER SET utf8mb4 NOT NULL,
  preis DECIMAL(8,2),
  KEY (titel)
);
CREATE TABLE empty_one (a INT);
INSERT INTO kinds
WITH RECURSIVE s(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM s WHERE n < 6000)
SELECT n,
  18446744073709551615 - n, -9223372036854775807 + n, n * 1.000001 - 3000, n / 7.0e10, n * 0.5,
  CONCAT('row ', n, ' grüße, 日本語, 😀, it''s a "quote" \\\\ back\\\\slash'),
  IF(n % 500 = 0, REPEAT(CONCAT('line ', n, CHAR(10), 'tab', CHAR(9), 'cr', CHAR(13)), 2000), NULL),
  UNHEX(SHA2(n, 256)),
  IF(n % 1000 = 1, (SELECT GROUP_CONCAT(CHAR(x USING binary) ORDER BY x SEPARATOR '')
                    FROM (WITH RECURSIVE b(x) AS (SELECT 0 UNION ALL SELECT x + 1 FROM b WHERE x < 255)
                          SELECT x FROM b) bytes), NULL),
  DATE('2000-01-01') + INTERVAL n DAY, TIMESTAMP('2020-02-29 23:59:59.123456') + INTERVAL n SECOND,
  SEC_TO_TIME(n * 37 - 100000), IF(n % 3 = 0, NULL, FROM_UNIXTIME(1000000000 + n)), 1901 + n % 250,
  ELT(1 + n % 3, 'a', 'b', 'ç'), IF(n % 4 = 0, '', 'x,z'), n % 1024,
  JSON_OBJECT('n', n, 'name', CONCAT('ñandú ', n), 'list', JSON_ARRAY(1, 'two', NULL))
FROM s;
INSERT INTO kinds (id) VALUES (0);
INSERT INTO \`Bücher_Übersicht\` (titel, preis) VALUES
  ('Der Zauberberg', 24.90), ('Cien años de soledad', 19.50), ('Война и мир', NULL),
  ('源氏物語', 31.00), ('Ελληνικά 😀', 0.00);
SQL

# The source's own count and checksum per table, to compare the restored database with.
tables=(kinds Bücher_Übersicht empty_one)
summary() {
  local db=$1 t
  for t in "${tables[@]}"; do
    sql -N -e "SELECT '$t', COUNT(*) FROM \`$db\`.\`$t\`; CHECKSUM TABLE \`$db\`.\`$t\`" |
      awk -F'\t' '{printf "%s%s", (NR > 1 ? "\t" : ""), $2} END {print ""}'
  done
}
want=$(summary "$src")
echo "source $src (rows, checksum per table):"
paste <(printf '%s\n' "${tables[@]}") <(echo "$want") | sed 's/^/  /'

rm -rf "${work:?}"/*
fail=0
n=0
for entry in "${hosts[@]}"; do
  n=$((n + 1))
  host=${entry%#options}
  name=$(basename "$entry")
  dir="$work/$n-Sicherung Übersicht-日本語"
  mkdir -p "$dir"
  file_name="Ünïcödé-дамп-😀.sql"
  # Wine shows the build machine's root as drive Z:, so this is the same file as $dir/$file_name.
  win_dir="Z:$(sed 's|/|\\\\|g' <<<"$dir")"
  cat >"$work/config-$n.json" <<JSON
{"host":"$MDUMP_TEST_HOST","port":$MDUMP_TEST_PORT,"user":"$MDUMP_TEST_USER",
 "password":"$MDUMP_TEST_PASSWORD","database":"$src",
 "out_path":"$win_dir\\\\$file_name","include_drop":true}
JSON
  echo
  echo "== $name: dump to $dir/$file_name"
  rc=0
  case $name in
    minimal_host*) (cd "$work" && MDUMP_WINE_TIMEOUT=180 "$wine_run" "$host" "config-$n.json") \
                     >"$work/out-$n.txt" 2>"$work/err-$n.txt" || rc=$? ;;
    *'#options') (cd "$work" && MYSQL_PWD=$MDUMP_TEST_PASSWORD MDUMP_WINE_TIMEOUT=180 "$wine_run" "$host" \
                    -h "$MDUMP_TEST_HOST" -P "$MDUMP_TEST_PORT" -u "$MDUMP_TEST_USER" --add-drop-table \
                    -o "Z:$(sed 's|/|\\|g' <<<"$dir/$file_name")" --json dump "$src") \
                   >"$work/out-$n.txt" 2>"$work/err-$n.txt" || rc=$? ;;
    *) (cd "$work" && MDUMP_WINE_TIMEOUT=180 "$wine_run" "$host" --config "config-$n.json" dump --json) \
         >"$work/out-$n.txt" 2>"$work/err-$n.txt" || rc=$? ;;
  esac
  result=$(tail -n 1 "$work/out-$n.txt")
  echo "exit $rc, result: $result"
  if [ "$rc" -ne 0 ] || ! grep -q '^{"ok":true,' <<<"$result"; then
    echo "FAIL: $name did not report a complete dump; its stderr ends:"
    tail -n 5 "$work/err-$n.txt"
    fail=1
    continue
  fi
  found=$(ls -A "$dir")
  if [ "$found" != "$file_name" ]; then
    echo "FAIL: the folder holds '$found', not exactly '$file_name'"
    fail=1
    continue
  fi
  file="$dir/$file_name"
  echo "file: $(stat -c %s "$file") bytes"
  if LC_ALL=C grep -q $'\r' "$file"; then
    echo "FAIL: carriage returns in the file: it was written in text mode"
    fail=1
  fi
  dst="mdump_wine_restored_$n"
  if ! sql -e "DROP DATABASE IF EXISTS $dst; CREATE DATABASE $dst CHARACTER SET utf8mb4" ||
     ! sql "$dst" <"$file"; then
    echo "FAIL: the mariadb client could not restore the file"
    fail=1
    continue
  fi
  got=$(summary "$dst")
  if [ "$got" != "$want" ]; then
    echo "FAIL: the restored tables differ (rows, checksum):"
    diff <(echo "$want") <(echo "$got") || true
    fail=1
  else
    echo "restored into $dst: every table's row count and CHECKSUM TABLE equal the source's"
    sql -e "DROP DATABASE $dst"
  fi
done

[ "$fail" -eq 0 ] && sql -e "DROP DATABASE $src"
[ "$fail" -eq 0 ] && echo && echo "$n Windows hosts dumped under Wine; every restore compared equal"
exit "$fail"
