// The floor of a dump on one connection: the same login, session settings, snapshot and SELECT a
// dump of the table sends, through our protocol client, with every row read and thrown away.
// Nothing is formatted and nothing written, so no dump of that table can finish sooner.
//
//   read_discard HOST PORT USER PASSWORD DATABASE TABLE      prints "rows N value_bytes M"
//
// The SELECT is the plain "SELECT * FROM `t`" a dump sends for a table without FLOAT, generated
// or invisible columns, which is what scripts/bench-dump.sh fills.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "mysql_client/mysql_client.h"

namespace {

// What the dump's session sets before it reads: each of them can change the bytes the server
// sends (character set, time zone) or what it must do to produce them.
const char *const SESSION_SETTINGS[] = {
    "SET NAMES utf8mb4",
    "SET SESSION SQL_MODE=''",
    "SET SESSION SQL_QUOTE_SHOW_CREATE=1",
    "SET TIME_ZONE='+00:00'",
    "SET SESSION TRANSACTION ISOLATION LEVEL REPEATABLE READ",
    "START TRANSACTION WITH CONSISTENT SNAPSHOT",
};

int fail(my_conn *conn, const char *what) {
  fprintf(stderr, "read_discard: %s: %s\n", what, conn->err_msg);
  my_close(conn);
  return 1;
}

std::string quoted_name(const char *name) {
  std::string out = "`";
  for (const char *c = name; *c != 0; ++c) {
    if (*c == '`') out += '`';
    out += *c;
  }
  return out + "`";
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 7) {
    fprintf(stderr, "usage: %s HOST PORT USER PASSWORD DATABASE TABLE\n", argv[0]);
    return 2;
  }
  my_conn conn;
  if (my_connect(&conn, argv[1], atoi(argv[2]), argv[3], argv[4], argv[5]) < 0)
    return fail(&conn, "connect");
  for (const char *sql : SESSION_SETTINGS)
    if (my_query(&conn, sql) < 0) return fail(&conn, sql);

  std::string select = "SELECT * FROM " + quoted_name(argv[6]);
  int rc = my_query(&conn, select.c_str());
  if (rc != 1) {
    if (rc == 0) snprintf(conn.err_msg, sizeof conn.err_msg, "no result set from server");
    return fail(&conn, "select");
  }
  my_meta meta;
  if (my_read_meta(&conn, &meta) < 0) return fail(&conn, "column list");
  my_cell *cells = static_cast<my_cell *>(calloc(static_cast<size_t>(meta.count), sizeof(my_cell)));
  if (cells == nullptr) {
    my_meta_free(&meta);
    my_close(&conn);
    fprintf(stderr, "read_discard: out of memory\n");
    return 1;
  }
  // The lengths are summed so that every cell is looked at, as a dump must.
  uint64_t rows = 0, value_bytes = 0;
  int r;
  while ((r = my_read_row(&conn, &meta, cells)) == 1) {
    ++rows;
    for (int32_t j = 0; j < meta.count; ++j) value_bytes += cells[j].len;
  }
  free(cells);
  my_meta_free(&meta);
  if (r < 0) return fail(&conn, "rows");
  my_close(&conn);
  printf("rows %llu value_bytes %llu\n", static_cast<unsigned long long>(rows),
         static_cast<unsigned long long>(value_bytes));
  return 0;
}
