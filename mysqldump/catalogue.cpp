// The synchronous calls a host makes before a dump: test a login, list the databases, list the
// base tables of one database with the server's row and size estimates. Each parses, connects
// without a database, sends at most one statement, answers in g_sync_buf and closes.
#include "mysqldump/catalogue.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mysql_client/mysql_client.h"
#include "mysqldump/config.h"
#include "mysqldump/lib_frame.h"

namespace {

enum {
  ESCAPED_ERROR_SIZE = 1024,
  ESCAPED_NAME_SIZE = 512,
  ESCAPED_VERSION_SIZE = 128,
  NAME_SIZE = 256,
  NUMBER_SIZE = 32,
  SCHEMA_SIZE = 256,
  SQL_SIZE = 512,
  // An entry is added only while this much room remains for it and the closing "]}".
  LAST_ENTRY_END = MDUMP_SYNC_BUF_SIZE - 1,
};

const char *failure_answer(const char *text) {
  char escaped[ESCAPED_ERROR_SIZE];
  json_escape(text, escaped, sizeof escaped);
  snprintf(g_sync_buf, sizeof g_sync_buf, "{\"ok\":false,\"error\":\"%s\"}", escaped);
  return g_sync_buf;
}

// Parses the document and logs in without a database. On failure the answer is already in
// g_sync_buf and g_err holds its text.
int open_connection(const char *text, mdump_config *cfg, my_conn *conn) {
  if (text == nullptr || parse_config(text, cfg) < 0) {
    set_g_err("invalid config json");
    return -1;
  }
  if (cfg->user[0] == 0) {
    set_g_err("user required");
    return -1;
  }
  if (my_connect(conn, cfg->host, cfg->port, cfg->user, cfg->password, nullptr) < 0) {
    set_g_err("%s", conn->err_msg);
    return -1;
  }
  return 0;
}

// The connection's failure as the answer, its text taken before my_close can overwrite it.
const char *close_with_failure(my_conn *conn) {
  char err[MY_ERR_MSG_SIZE];
  memcpy(err, conn->err_msg, sizeof err);
  my_close(conn);
  return failure_answer(err);
}

void cell_text(const my_cell *cell, char *out, size_t out_size) {
  size_t n = static_cast<size_t>(cell->len);
  if (n > out_size - 1) {
    n = out_size - 1;
    n = utf8_boundary(reinterpret_cast<const char *>(cell->data), n, cell->data[n]);
  }
  memcpy(out, cell->data, n);
  out[n] = 0;
}

// A row or size estimate is placed in the answer unquoted, so only a plain integer may pass.
void number_text(const my_cell *cell, char out[NUMBER_SIZE]) {
  strcpy(out, "0");
  if (cell->data == nullptr || cell->len == 0 || cell->len > 21) return;
  size_t i = cell->data[0] == '-' ? 1 : 0;
  size_t digits = cell->len - i;
  if (digits < 1 || digits > 20) return;
  for (size_t k = i; k < cell->len; ++k)
    if (cell->data[k] < '0' || cell->data[k] > '9') return;
  memcpy(out, cell->data, static_cast<size_t>(cell->len));
  out[cell->len] = 0;
}

// The database name inside an SQL string literal: quote and backslash get a backslash.
void sql_string_escape(const char *in, char out[SCHEMA_SIZE]) {
  size_t n = 0;
  for (size_t i = 0; in[i] != 0 && n < SCHEMA_SIZE - 3; ++i) {
    if (in[i] == '\'' || in[i] == '\\') out[n++] = '\\';
    out[n++] = in[i];
  }
  out[n] = 0;
}

typedef size_t (*entry_fn)(const my_cell *cells, int32_t count, size_t pos, bool first);

// Reads the result set of the statement just sent into the list that g_sync_buf holds up to
// pos, then closes the list and the connection. A failure of the column list or of a row read
// answers the failure, never a shortened list.
const char *read_list(my_conn *conn, size_t pos, entry_fn add_entry) {
  my_meta meta;
  if (my_read_meta(conn, &meta) < 0) return close_with_failure(conn);
  my_cell *cells = static_cast<my_cell *>(calloc(static_cast<size_t>(meta.count), sizeof(my_cell)));
  if (cells == nullptr) {
    my_meta_free(&meta);
    my_close(conn);
    return failure_answer("out of memory");
  }
  bool first = true;
  int r;
  while ((r = my_read_row(conn, &meta, cells)) == 1) {
    if (cells[0].data == nullptr) continue;
    pos = add_entry(cells, meta.count, pos, first);
    first = false;
  }
  free(cells);
  my_meta_free(&meta);
  if (r < 0) return close_with_failure(conn);
  snprintf(g_sync_buf + pos, sizeof g_sync_buf - pos, "]}");
  my_close(conn);
  return g_sync_buf;
}

size_t add_database(const my_cell *cells, int32_t, size_t pos, bool first) {
  char name[NAME_SIZE], escaped[ESCAPED_NAME_SIZE];
  cell_text(&cells[0], name, sizeof name);
  json_escape(name, escaped, sizeof escaped);
  size_t len = strlen(escaped);
  if (pos + len + 8 > LAST_ENTRY_END) return pos;  // left out; the answer stays well-formed
  int n = snprintf(g_sync_buf + pos, sizeof g_sync_buf - pos, "%s\"%s\"", first ? "" : ",", escaped);
  return pos + static_cast<size_t>(n);
}

size_t add_table(const my_cell *cells, int32_t count, size_t pos, bool first) {
  char name[NAME_SIZE], escaped[ESCAPED_NAME_SIZE], rows[NUMBER_SIZE], bytes[NUMBER_SIZE];
  cell_text(&cells[0], name, sizeof name);
  const my_cell none = {nullptr, 0};
  number_text(count > 1 ? &cells[1] : &none, rows);
  number_text(count > 2 ? &cells[2] : &none, bytes);
  json_escape(name, escaped, sizeof escaped);
  size_t len = strlen(escaped);
  if (pos + len + 80 > LAST_ENTRY_END) return pos;
  int n = snprintf(g_sync_buf + pos, sizeof g_sync_buf - pos,
                   "%s{\"name\":\"%s\",\"rows\":%s,\"data_bytes\":%s}", first ? "" : ",", escaped,
                   rows, bytes);
  return pos + static_cast<size_t>(n);
}

}  // namespace

const char *catalogue_test_connection(const char *text) {
  static mdump_config cfg;  // 200 KB: kept off the host's stack; these calls never overlap
  my_conn conn;
  if (open_connection(text, &cfg, &conn) < 0) return failure_answer(g_err);
  char version[ESCAPED_VERSION_SIZE];
  json_escape(conn.server_version, version, sizeof version);
  snprintf(g_sync_buf, sizeof g_sync_buf, "{\"ok\":true,\"server_version\":\"%s\"}", version);
  my_close(&conn);
  return g_sync_buf;
}

const char *catalogue_list_databases(const char *text) {
  static mdump_config cfg;  // 200 KB: kept off the host's stack; these calls never overlap
  my_conn conn;
  if (open_connection(text, &cfg, &conn) < 0) return failure_answer(g_err);
  size_t pos = static_cast<size_t>(snprintf(g_sync_buf, sizeof g_sync_buf, "{\"ok\":true,\"databases\":["));
  int rc = my_query(&conn, "SHOW DATABASES");
  if (rc < 0) return close_with_failure(&conn);
  if (rc == 0) {
    snprintf(g_sync_buf + pos, sizeof g_sync_buf - pos, "]}");
    my_close(&conn);
    return g_sync_buf;
  }
  return read_list(&conn, pos, add_database);
}

const char *catalogue_list_tables(const char *text) {
  static mdump_config cfg;  // 200 KB: kept off the host's stack; these calls never overlap
  my_conn conn;
  if (open_connection(text, &cfg, &conn) < 0) return failure_answer(g_err);
  if (cfg.database[0] == 0) {
    my_close(&conn);
    snprintf(g_sync_buf, sizeof g_sync_buf, "{\"ok\":false,\"error\":\"database required\"}");
    return g_sync_buf;
  }
  char schema[SCHEMA_SIZE], sql[SQL_SIZE];
  sql_string_escape(cfg.database, schema);
  snprintf(sql, sizeof sql,
           "SELECT TABLE_NAME, IFNULL(TABLE_ROWS,0), IFNULL(DATA_LENGTH,0) FROM "
           "information_schema.TABLES WHERE TABLE_SCHEMA='%s' AND TABLE_TYPE='BASE TABLE' "
           "ORDER BY TABLE_NAME",
           schema);
  size_t pos = static_cast<size_t>(snprintf(g_sync_buf, sizeof g_sync_buf, "{\"ok\":true,\"tables\":["));
  int rc = my_query(&conn, sql);
  if (rc < 0) return close_with_failure(&conn);
  if (rc == 0) {
    snprintf(g_sync_buf + pos, sizeof g_sync_buf - pos, "]}");
    my_close(&conn);
    return g_sync_buf;
  }
  return read_list(&conn, pos, add_table);
}
