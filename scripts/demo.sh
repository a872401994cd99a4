#!/usr/bin/env bash
# The whole main job in one command. On a fresh Debian 12 machine, as root: installs what is
# missing, builds the library and its command-line host, starts a throwaway MariaDB server of its
# own on a free loopback port, fills a sample shop database (a few hundred thousand rows made in
# SQL), lists its tables with the host, dumps it with the live progress bar, restores the dump into
# a second database with the mariadb client, compares every table's checksum, and stops the server
# on every exit path. The dump file stays under build/demo-out.
#
# The server lives in build/demo-server, apart from the test command's server, which it never
# touches.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
started=$(date +%s)
build=$root/build/demo
out_dir=$root/build/demo-out
dump_file=$out_dir/shop.sql
host=$build/quillfen-mysqldump
export MDUMP_SERVER_DIR=$root/build/demo-server

step() { printf '\n==== %s\n' "$*"; }
elapsed() { echo $(($(date +%s) - started)); }

stop_server() { scripts/test-server.sh stop >/dev/null 2>&1 || true; }
trap stop_server EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

step "1/7 packages"
scripts/deps.sh
echo "everything needed is installed"

step "2/7 build (release: the library and the command-line host)"
mkdir -p "$build"
if ! { cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMDUMP_BUILD_TESTS=OFF \
         -DMDUMP_BUILD_BENCH=OFF && cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)"; } \
       >"$build/demo-build.log" 2>&1; then
  tail -n 40 "$build/demo-build.log" >&2
  echo "demo: the build failed (whole log: $build/demo-build.log)" >&2
  exit 1
fi
echo "built ${host#"$root"/}"
echo "  and $(readlink -f "$build/libquillfen-mysqldump.so" | sed "s|^$root/||")"

step "3/7 a throwaway MariaDB server"
scripts/test-server.sh start >/dev/null
# shellcheck disable=SC1091
. "$MDUMP_SERVER_DIR/env"
port=$MDUMP_TEST_PORT
# The mariadb client, as the server's root over its socket: for making and checking data.
sql() { mariadb --no-defaults --default-character-set=utf8mb4 --socket="$MDUMP_TEST_SOCKET" -uroot "$@"; }
echo "listening on 127.0.0.1:$port (data in ${MDUMP_SERVER_DIR#"$root"/})"

step "4/7 the sample database 'shop'"
sql <<'SQL'
DROP DATABASE IF EXISTS shop;
DROP DATABASE IF EXISTS shop_copy;
CREATE DATABASE shop CHARACTER SET utf8mb4 COLLATE utf8mb4_unicode_ci;
USE shop;

CREATE TABLE customers (
  id INT UNSIGNED NOT NULL PRIMARY KEY,
  name VARCHAR(100) NOT NULL,
  email VARCHAR(190) NOT NULL UNIQUE,
  country CHAR(2) NOT NULL,
  created_at DATETIME NOT NULL,
  notes TEXT NULL
) ENGINE=InnoDB;

CREATE TABLE products (
  id INT UNSIGNED NOT NULL PRIMARY KEY,
  sku CHAR(12) NOT NULL UNIQUE,
  name VARCHAR(200) NOT NULL,
  price DECIMAL(10,2) NOT NULL,
  weight_g INT UNSIGNED NULL,
  thumbnail_sha256 BINARY(32) NULL,
  description TEXT NOT NULL,
  active BOOLEAN NOT NULL DEFAULT TRUE
) ENGINE=InnoDB;

CREATE TABLE orders (
  id INT UNSIGNED NOT NULL PRIMARY KEY,
  customer_id INT UNSIGNED NOT NULL,
  ordered_at DATETIME NOT NULL,
  status ENUM('new','paid','shipped','delivered','cancelled') NOT NULL,
  shipping_address VARCHAR(255) NULL,
  KEY by_customer (customer_id, ordered_at),
  CONSTRAINT fk_orders_customer FOREIGN KEY (customer_id) REFERENCES customers (id)
) ENGINE=InnoDB;

CREATE TABLE order_items (
  order_id INT UNSIGNED NOT NULL,
  line_no TINYINT UNSIGNED NOT NULL,
  product_id INT UNSIGNED NOT NULL,
  quantity SMALLINT UNSIGNED NOT NULL,
  unit_price DECIMAL(10,2) NOT NULL,
  line_total DECIMAL(12,2) AS (quantity * unit_price) STORED,
  PRIMARY KEY (order_id, line_no),
  CONSTRAINT fk_items_order FOREIGN KEY (order_id) REFERENCES orders (id),
  CONSTRAINT fk_items_product FOREIGN KEY (product_id) REFERENCES products (id)
) ENGINE=InnoDB;

CREATE VIEW order_totals AS
  SELECT o.id AS order_id, o.customer_id, o.ordered_at, COUNT(*) AS line_count, SUM(i.line_total) AS total
  FROM orders o JOIN order_items i ON i.order_id = o.id
  GROUP BY o.id, o.customer_id, o.ordered_at;

-- The rows, made by the server from its sequence tables. Names and notes carry what a dump must
-- get right: accents, CJK and emoji, quotes, backslashes, tabs, line feeds, NULLs, binary bytes.
INSERT INTO customers
SELECT seq,
       CONCAT(ELT(1 + seq % 8, 'Anna', 'Björn', 'Chloé', 'Dmitri', 'Eun-ji', 'Fatima', 'Gonzalo', '浩'),
              ' ', ELT(1 + (seq DIV 8) % 7, 'Müller', 'O''Brien', '中村', 'Smith', 'Søndergaard', 'García', 'Łukasiewicz')),
       CONCAT('customer', seq, '@example.com'),
       ELT(1 + seq % 6, 'DE', 'IE', 'JP', 'US', 'DK', 'PL'),
       TIMESTAMP('2022-01-01') + INTERVAL (seq * 7919) % 63072000 SECOND,
       CASE seq % 10
         WHEN 0 THEN CONCAT('Prefers "express" delivery;\nleave at the door #', seq)
         WHEN 1 THEN 'Path C:\\Orders\\new\tand a tab'
         WHEN 2 THEN 'Loves ☕ and 🍰'
         ELSE NULL END
FROM seq_1_to_20000;

INSERT INTO products
SELECT seq,
       CONCAT('SKU-', LPAD(seq, 8, '0')),
       CONCAT(ELT(1 + seq % 5, 'Green tea', 'Coffee beans', 'Mug', 'Notebook', 'Gift box 🎁'), ' no. ', seq),
       ROUND(1 + (seq * 37 % 20000) / 100, 2),
       IF(seq % 11 = 0, NULL, 50 + seq * 13 % 2000),
       IF(seq % 7 = 0, NULL, UNHEX(SHA2(seq, 256))),
       REPEAT(CONCAT('Description of product ', seq, ', it''s good. '), 1 + seq % 5),
       seq % 13 <> 0
FROM seq_1_to_2000;

INSERT INTO orders
SELECT seq,
       1 + (seq * 7) % 20000,
       TIMESTAMP('2023-01-01') + INTERVAL (seq * 613) % 31536000 SECOND,
       ELT(1 + seq % 5, 'new', 'paid', 'shipped', 'delivered', 'cancelled'),
       IF(seq % 9 = 0, NULL,
          CONCAT(1 + seq % 300, ' Example Street, ', ELT(1 + seq % 4, 'Berlin', 'Dublin', 'Tōkyō', 'Kraków')))
FROM seq_1_to_100000;

INSERT INTO order_items (order_id, line_no, product_id, quantity, unit_price)
SELECT o.seq, l.seq, p.id, 1 + (o.seq + l.seq) % 5, p.price
FROM seq_1_to_100000 o
JOIN seq_1_to_4 l ON l.seq <= 1 + o.seq % 4
JOIN products p ON p.id = 1 + (o.seq * 31 + l.seq * 17) % 2000;
SQL
# Fresh statistics, so that the host's row estimates are close.
sql -e "ANALYZE TABLE shop.customers, shop.products, shop.orders, shop.order_items" >/dev/null
rows=$(sql -N -e "SELECT (SELECT COUNT(*) FROM shop.customers) + (SELECT COUNT(*) FROM shop.products)
                       + (SELECT COUNT(*) FROM shop.orders) + (SELECT COUNT(*) FROM shop.order_items)")
echo "customers, products, orders and order_items: $rows rows, with foreign keys;"
echo "a generated column (order_items.line_total) and a view (order_totals)"

# The host reaches the server the way it would reach yours: over TCP, with an account and a
# password (taken from MYSQL_PWD here, so that it stays off the command line).
export MYSQL_PWD=$MDUMP_TEST_PASSWORD
connection=(-h 127.0.0.1 -P "$port" -u "$MDUMP_TEST_USER")

step "5/7 what the host sees"
echo "\$ quillfen-mysqldump ${connection[*]} ping"
"$host" "${connection[@]}" ping
echo "\$ quillfen-mysqldump ${connection[*]} tables shop"
"$host" "${connection[@]}" tables shop

step "6/7 the dump"
mkdir -p "$out_dir"
echo "\$ quillfen-mysqldump ${connection[*]} dump shop -o ${dump_file#"$root"/}"
"$host" "${connection[@]}" dump shop -o "$dump_file"

step "7/7 restore into 'shop_copy' with the mariadb client, and compare"
sql -e "CREATE DATABASE shop_copy CHARACTER SET utf8mb4 COLLATE utf8mb4_unicode_ci"
restored=yes
if ! sql shop_copy <"$dump_file" 2>"$out_dir/restore-errors.txt"; then
  restored=no
  echo "the mariadb client could not load the dump:"
  grep '^ERROR' "$out_dir/restore-errors.txt" | head -n 5 | sed 's/^/  /'
  echo "  (whole message: ${out_dir#"$root"/}/restore-errors.txt)"
fi

tables=$(sql -N -e "SELECT TABLE_NAME FROM information_schema.TABLES
                    WHERE TABLE_SCHEMA = 'shop' AND TABLE_TYPE = 'BASE TABLE' ORDER BY TABLE_NAME")
mismatches=0
matched=0
printf '  %-14s %9s %12s %12s\n' TABLE ROWS 'CHECKSUM' 'COPY'
for t in $tables; do
  original=$(sql -N -e "CHECKSUM TABLE shop.\`$t\`" | awk '{print $2}')
  copy=$(sql -N -e "CHECKSUM TABLE shop_copy.\`$t\`" 2>/dev/null | awk '{print $2}' || true)
  count=$(sql -N -e "SELECT COUNT(*) FROM shop.\`$t\`")
  verdict=same
  if [ -z "$copy" ] || [ "$copy" = NULL ] || [ "$copy" != "$original" ]; then
    verdict=DIFFERENT
    [ -n "$copy" ] && [ "$copy" != NULL ] || copy=missing
    mismatches=$((mismatches + 1))
  else
    matched=$((matched + 1))
  fi
  printf '  %-14s %9s %12s %12s  %s\n' "$t" "$count" "$original" "$copy" "$verdict"
done
# A view has no checksum of its own: its rows and the sum of its totals stand in for one.
view_query="SELECT CONCAT(COUNT(*), ' rows, total ', SUM(total)) FROM"
view_original=$(sql -N -e "$view_query shop.order_totals")
view_copy=$(sql -N -e "$view_query shop_copy.order_totals" 2>/dev/null || echo missing)
view_verdict=same
if [ "$view_copy" != "$view_original" ]; then
  view_verdict=DIFFERENT
  mismatches=$((mismatches + 1))
fi
echo "  view order_totals: $view_original; copy: $view_copy  $view_verdict"

echo
if [ "$restored" = yes ] && [ "$mismatches" -eq 0 ]; then
  echo "VERDICT: the restored copy matches the original: all $matched tables have equal checksums"
  echo "and the view order_totals gives the same totals."
  verdict=0
else
  echo "VERDICT: the restored copy DIFFERS from the original ($mismatches difference(s)$(
    [ "$restored" = yes ] || echo ", and the restore reported errors"))."
  verdict=1
fi

echo
echo "The dump file: ${dump_file#"$root"/} ($(du -h "$dump_file" | cut -f1))"
echo "To back up your own server with the same program:"
echo "  ${host#"$root"/} -h HOST -P 3306 -u USER -p databases"
echo "  ${host#"$root"/} -h HOST -P 3306 -u USER -p dump DATABASE -o DATABASE.sql"
echo "(-p asks for the password; MYSQL_PWD works too; --help lists every option.)"
echo
echo "Stopping the demo server. The demo took $(elapsed) s."
exit "$verdict"
