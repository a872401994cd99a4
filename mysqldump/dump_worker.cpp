// The body of a dump thread: connect, decide the tables, open the file, take a consistent
// snapshot, and stream every table's CREATE text and rows into SQL through the writer, while the
// slot tells the host how far it got. Every path ends in a final state with everything released.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mysql_client/mysql_client.h"
#include "mysqldump/dump_writer.h"
#include "mysqldump/session.h"
#include "mysqldump/sql_literal.h"
#include "mysqldump/table_list.h"
#include "platform/clock.h"
#include "platform/file.h"

namespace {

// The restoring session gets the settings the rows were read with: UTC for TIMESTAMP values, and
// an sql_mode that keeps a stored 0 in an AUTO_INCREMENT column and reads backslash escapes.
const char PREAMBLE[] =
    "SET NAMES utf8mb4;\nSET FOREIGN_KEY_CHECKS=0;\nSET TIME_ZONE='+00:00';\n"
    "SET SQL_MODE='NO_AUTO_VALUE_ON_ZERO';\n\n";
// The dump's own session: what it reads must not depend on the server's defaults (ANSI_QUOTES
// would quote names in CREATE texts with double quotes; the time zone would shift TIMESTAMPs).
const char *const SESSION_SETTINGS[] = {
    "SET NAMES utf8mb4",
    "SET SESSION SQL_MODE=''",
    "SET SESSION SQL_QUOTE_SHOW_CREATE=1",
    "SET TIME_ZONE='+00:00'",
};
const char FOOTER[] = "SET FOREIGN_KEY_CHECKS=1;\n";
// A statement that must give rows answered with a plain OK: the connection has no error text.
const char NO_RESULT_SET[] = "no result set from server";

// An INSERT statement is also closed once it has passed this size, so that no statement outgrows
// the max_allowed_packet of the server it is restored into.
const uint64_t INSERT_BYTES_LIMIT = 1048576;

enum {
  QNAME_SIZE = 2 * MDUMP_NAME_SIZE,  // every byte of a name may be a doubled back-tick
  STMT_SIZE = QNAME_SIZE + 64,
};

enum { TABLES_DONE = 0, TABLES_FAILED = -1, TABLES_CANCELLED = 1 };

struct worker {
  mdump_session *s;
  my_conn conn;
  dump_writer w;
  table_list tables;
  char qname[QNAME_SIZE];
  char stmt[STMT_SIZE];
  // the data loop of the current table
  int stmt_open;
  int32_t stmt_rows;
  uint64_t stmt_start;  // the writer's `produced` when the open INSERT began
  int64_t table_rows;
};

void refresh_elapsed(mdump_session *s) {
  s->elapsed_ms.store(now_ms() - s->start_ms, std::memory_order_relaxed);
}

bool cancel_requested(const mdump_session *s) {
  return s->cancel.load(std::memory_order_relaxed) != 0;
}

int fail_with_connection(worker *wk) { return session_fail(wk->s, "%s", wk->conn.err_msg); }

// The connection's text, or a fixed one when the server answered OK where rows were needed.
int fail_query(worker *wk, int query_rc) {
  if (query_rc == 0) return session_fail(wk->s, "%s", NO_RESULT_SET);
  return fail_with_connection(wk);
}

// A name goes into SQL only between back-ticks, with each back-tick doubled.
size_t quote_name(const char *name, char *out, size_t out_size) {
  size_t n = 0;
  for (size_t i = 0; name[i] != 0 && n + 2 < out_size; ++i) {
    if (name[i] == '`') out[n++] = '`';
    out[n++] = name[i];
  }
  out[n] = 0;
  return n;
}

// Header comment lines must stay comments: a control byte (a line feed in a database name or a
// server version) would otherwise start a live SQL line.
void comment_safe(const char *in, char *out, size_t out_size) {
  size_t i = 0;
  for (; in[i] != 0 && i < out_size - 1; ++i) {
    unsigned char c = static_cast<unsigned char>(in[i]);
    out[i] = c < 0x20 ? ' ' : in[i];
  }
  out[i] = 0;
}

// A statement's result set being read: its column list and one cell per column.
struct result_set {
  my_meta meta;
  my_cell *cells;
};

// Sends a statement that must answer rows and takes its column list. Returns 0, or -1 with the
// dump failed.
int open_result(worker *wk, const char *sql, result_set *rs) {
  int rc = my_query(&wk->conn, sql);
  if (rc != 1) return fail_query(wk, rc);
  if (my_read_meta(&wk->conn, &rs->meta) < 0) return fail_with_connection(wk);
  rs->cells = static_cast<my_cell *>(calloc(static_cast<size_t>(rs->meta.count), sizeof(my_cell)));
  if (rs->cells == nullptr) {
    my_meta_free(&rs->meta);
    return session_fail(wk->s, "out of memory");
  }
  return 0;
}

void close_result(result_set *rs) {
  free(rs->cells);
  rs->cells = nullptr;
  my_meta_free(&rs->meta);
}

int apply_session_settings(worker *wk) {
  for (const char *sql : SESSION_SETTINGS) {
    int rc = my_query(&wk->conn, sql);
    if (rc < 0) return fail_with_connection(wk);
    if (rc == 1) return session_fail(wk->s, "unexpected result set from server");
  }
  return 0;
}

// Decides the tables: the server's whole list, or the configured one; then, when the file will
// need them, the column facts (explicit column lists for data, column names for view stand-ins).
int build_table_list(worker *wk) {
  mdump_config *cfg = &wk->s->cfg;
  table_list *list = &wk->tables;
  int rc = cfg->table_count == 0 ? table_list_from_server(&wk->conn, list)
                                 : table_list_from_config(&wk->conn, cfg, list);
  if (rc < 0) return fail_with_connection(wk);
  bool any_view = false, any_table = false;
  for (int32_t i = 0; i < list->count; ++i) (list->items[i].is_view ? any_view : any_table) = true;
  if (((cfg->include_data && any_table) || (cfg->include_schema && any_view)) &&
      table_list_load_columns(&wk->conn, list) < 0)
    return fail_with_connection(wk);
  return 0;
}

// The server's CREATE text of the current table or view, preceded by its DROP when asked.
int write_create(worker *wk, bool drop, const char *drop_kind) {
  dump_writer *w = &wk->w;
  if (drop && dw_printf(w, "DROP %s IF EXISTS `%s`;\n", drop_kind, wk->qname) < 0)
    return session_fail(wk->s, "write failed");
  snprintf(wk->stmt, sizeof wk->stmt, "SHOW CREATE TABLE `%s`", wk->qname);
  result_set rs;
  if (open_result(wk, wk->stmt, &rs) < 0) return -1;
  const my_cell *cells = rs.cells;
  int r;
  int result = 0;
  while ((r = my_read_row(&wk->conn, &rs.meta, rs.cells)) == 1) {
    if (rs.meta.count < 2 || cells[1].data == nullptr) continue;
    if (dw_put(w, cells[1].data, cells[1].len) < 0 || dw_put(w, ";\n\n", 3) < 0) {
      result = session_fail(wk->s, "write failed");
      break;
    }
  }
  if (result == 0 && r < 0) result = fail_with_connection(wk);  // never skip a CREATE silently
  close_result(&rs);
  return result;
}

int write_value(worker *wk, const my_col *col, const my_cell *cell) {
  if (cell->data == nullptr) return dw_put(&wk->w, "NULL", 4);
  if (my_type_is_numeric(col->type)) {
    if (cell->len == 0) return dw_put(&wk->w, "NULL", 4);
    return dw_put(&wk->w, cell->data, cell->len);
  }
  if (my_type_is_binary(col->type, col->charset)) {
    if (cell->len == 0) return dw_put(&wk->w, "''", 2);
    return sql_put_hex(&wk->w, cell->data, cell->len);
  }
  return sql_put_string(&wk->w, cell->data, cell->len);
}

// The table's columns as "`a`,`b`", in a heap text the caller frees; null when out of memory.
// For a select list a FLOAT column is read as a DOUBLE ("`f`+0e0").
char *quoted_column_list(const dump_table *t, bool for_select) {
  size_t size = 1;
  for (const char *c = t->columns; c < t->columns + t->columns_len; c += strlen(c) + 1) size += 2 * strlen(c) + 8;
  char *list = static_cast<char *>(malloc(size));
  if (list == nullptr) return nullptr;
  size_t n = 0;
  int32_t k = 0;
  for (const char *c = t->columns; c < t->columns + t->columns_len; c += strlen(c) + 1, ++k) {
    if (n > 0) list[n++] = ',';
    list[n++] = '`';
    n += quote_name(c, list + n, size - n);
    list[n++] = '`';
    if (for_select && t->is_float[k]) {
      memcpy(list + n, "+0e0", 4);
      n += 4;
    }
  }
  list[n] = 0;
  return list;
}

// "INSERT INTO `t` VALUES\n(", with the column list for a table that needs one. Put piece by
// piece: a list of many columns is longer than one formatted text may be.
int write_insert_head(worker *wk, const char *columns) {
  dump_writer *w = &wk->w;
  if (dw_put(w, "INSERT INTO `", 13) < 0 || dw_put(w, wk->qname, strlen(wk->qname)) < 0) return -1;
  if (columns != nullptr &&
      (dw_put(w, "` (", 3) < 0 || dw_put(w, columns, strlen(columns)) < 0 || dw_put(w, ") VALUES\n(", 10) < 0))
    return -1;
  if (columns == nullptr && dw_put(w, "` VALUES\n(", 10) < 0) return -1;
  return 0;
}

int write_row(worker *wk, const my_meta *meta, const my_cell *cells, const char *columns) {
  dump_writer *w = &wk->w;
  mdump_session *s = wk->s;
  if (wk->stmt_open) {
    if (dw_put(w, ",\n(", 3) < 0) return -1;
  } else {
    wk->stmt_start = w->produced;
    if (write_insert_head(wk, columns) < 0) return -1;
    wk->stmt_rows = 0;
  }
  for (int32_t j = 0; j < meta->count; ++j) {
    if (j > 0 && dw_put(w, ",", 1) < 0) return -1;
    if (write_value(wk, &meta->cols[j], &cells[j]) < 0) return -1;
  }
  if (dw_put(w, ")", 1) < 0) return -1;
  wk->stmt_rows++;
  session_add(&s->rows_written, 1);
  refresh_elapsed(s);
  if (wk->stmt_rows >= s->cfg.rows_per_insert || w->produced - wk->stmt_start > INSERT_BYTES_LIMIT) {
    if (dw_put(w, ";\n", 2) < 0) return -1;
    wk->stmt_open = 0;
  } else {
    wk->stmt_open = 1;
  }
  wk->table_rows++;
  return 0;
}

// "SELECT * FROM `t`", or with a select list when the table has FLOAT, generated or invisible
// columns. `columns` gets the INSERT's column list when the table needs one (else null).
char *data_query(worker *wk, const dump_table *t, char **columns) {
  *columns = nullptr;
  char *select_list = nullptr;
  if ((t->explicit_columns || t->has_float) && t->column_count > 0) {
    select_list = quoted_column_list(t, true);
    if (select_list == nullptr) return nullptr;
    if (t->explicit_columns) {
      *columns = quoted_column_list(t, false);
      if (*columns == nullptr) {
        free(select_list);
        return nullptr;
      }
    }
  }
  const char *list = select_list != nullptr ? select_list : "*";
  size_t size = strlen(list) + strlen(wk->qname) + 32;
  char *sql = static_cast<char *>(malloc(size));
  if (sql != nullptr) snprintf(sql, size, "SELECT %s FROM `%s`", list, wk->qname);
  free(select_list);
  return sql;
}

int write_rows(worker *wk, const dump_table *t) {
  mdump_session *s = wk->s;
  char *columns = nullptr;
  char *sql = data_query(wk, t, &columns);
  if (sql == nullptr) {
    free(columns);
    return session_fail(s, "out of memory");
  }
  result_set rs;
  int opened = open_result(wk, sql, &rs);
  free(sql);
  if (opened < 0) {
    free(columns);
    return -1;
  }
  wk->stmt_open = 0;
  wk->stmt_rows = 0;
  wk->table_rows = 0;
  int result;
  for (;;) {
    int r = my_read_row(&wk->conn, &rs.meta, rs.cells);
    if (r == 1) {
      if (cancel_requested(s)) {
        s->state.store(MDUMP_ST_CANCELLED, std::memory_order_release);
        result = TABLES_CANCELLED;
        break;
      }
      if (write_row(wk, &rs.meta, rs.cells, columns) < 0) {
        result = session_fail(s, "write failed (disk full?)");
        break;
      }
      continue;
    }
    if (r < 0) {
      result = fail_with_connection(wk);
      break;
    }
    result = 0;
    if ((wk->stmt_open && dw_put(&wk->w, ";\n", 2) < 0) ||
        (wk->table_rows > 0 && dw_put(&wk->w, "\n", 1) < 0))
      result = session_fail(s, "write failed (disk full?)");
    break;
  }
  close_result(&rs);
  free(columns);
  return result;
}

// Stops the dump with state 4 when the host asked for it.
bool stop_on_cancel(mdump_session *s) {
  if (!cancel_requested(s)) return false;
  s->state.store(MDUMP_ST_CANCELLED, std::memory_order_release);
  return true;
}

void begin_table(worker *wk, const dump_table *t) {
  quote_name(t->name, wk->qname, sizeof wk->qname);
  session_set_table(wk->s, t->name);
}

// A view with the real one's column names and no dependencies, so that views over views restore
// in any order: "CREATE VIEW `v` AS SELECT 1 AS `a`,1 AS `b`;".
int write_stand_in(worker *wk, const dump_table *t) {
  dump_writer *w = &wk->w;
  if (wk->s->cfg.include_drop && dw_printf(w, "DROP VIEW IF EXISTS `%s`;\n", wk->qname) < 0) return -1;
  if (dw_printf(w, "CREATE VIEW `%s` AS SELECT ", wk->qname) < 0) return -1;
  if (t->column_count == 0) return dw_put(w, "1;\n\n", 4);
  int k = 0;
  for (const char *c = t->columns; c < t->columns + t->columns_len; c += strlen(c) + 1, ++k) {
    char quoted[QNAME_SIZE];
    quote_name(c, quoted, sizeof quoted);
    if (dw_printf(w, "%s1 AS `%s`", k > 0 ? "," : "", quoted) < 0) return -1;
  }
  return dw_put(w, ";\n\n", 3);
}

// Base tables first, in list order; then the views: stand-ins for all, then each real definition
// (which first drops its stand-in), so that a view finds everything it selects from.
int dump_tables(worker *wk) {
  mdump_session *s = wk->s;
  mdump_config *cfg = &s->cfg;
  const table_list *list = &wk->tables;
  int32_t done = 0;
  for (int32_t i = 0; i < list->count; ++i) {
    const dump_table *t = &list->items[i];
    if (t->is_view) continue;
    if (stop_on_cancel(s)) return TABLES_CANCELLED;
    begin_table(wk, t);
    if (cfg->include_schema && write_create(wk, cfg->include_drop, "TABLE") < 0) return TABLES_FAILED;
    if (cfg->include_data) {
      int rc = write_rows(wk, t);
      if (rc != 0) return rc;
    }
    s->tables_done.store(++done, std::memory_order_relaxed);
  }
  if (cfg->include_schema) {
    for (int32_t i = 0; i < list->count; ++i) {
      const dump_table *t = &list->items[i];
      if (!t->is_view) continue;
      if (stop_on_cancel(s)) return TABLES_CANCELLED;
      begin_table(wk, t);
      if (write_stand_in(wk, t) < 0) return session_fail(s, "write failed");
    }
  }
  for (int32_t i = 0; i < list->count; ++i) {
    const dump_table *t = &list->items[i];
    if (!t->is_view) continue;
    if (stop_on_cancel(s)) return TABLES_CANCELLED;
    begin_table(wk, t);
    if (cfg->include_schema && write_create(wk, true, "VIEW") < 0) return TABLES_FAILED;
    s->tables_done.store(++done, std::memory_order_relaxed);
  }
  return TABLES_DONE;
}

void write_header(worker *wk) {
  char version[sizeof wk->conn.server_version];
  char database[sizeof wk->s->cfg.database];
  comment_safe(wk->conn.server_version, version, sizeof version);
  comment_safe(wk->s->cfg.database, database, sizeof database);
  // Both fit the empty buffer: nothing can fail here.
  (void)dw_printf(&wk->w, "-- quillfen-mysqldump 1.0.0\n-- Server: %s\n-- Database: %s\n\n",
                  version, database);
  (void)dw_put(&wk->w, PREAMBLE, sizeof PREAMBLE - 1);
}

// From an open connection to a closed file: the slot's state says how it went. Only a dump whose
// every byte reached the file, footer included, and whose file closed cleanly reaches state 3.
void dump_to_file(worker *wk) {
  mdump_session *s = wk->s;
  mdump_config *cfg = &s->cfg;
  FILE *file = plat_fopen_write(cfg->out_path);
  if (file == nullptr) {
    session_fail(s, "cannot open output file");
    return;
  }
  // The writer gathers 1 MiB itself; a second buffer in the stream would only copy the bytes again
  // and let bytes_written count bytes the file has not taken yet.
  setvbuf(file, nullptr, _IONBF, 0);
  dump_writer *w = &wk->w;
  w->file = file;
  w->cap = DW_BUF_SIZE;
  w->buf = static_cast<unsigned char *>(malloc(DW_BUF_SIZE));
  w->session = s;
  if (w->buf == nullptr) {
    session_fail(s, "out of memory");
    fclose(file);
    return;
  }
  // Their answers are not needed: a server that refuses the snapshot still gets dumped.
  my_query(&wk->conn, "SET SESSION TRANSACTION ISOLATION LEVEL REPEATABLE READ");
  my_query(&wk->conn, "START TRANSACTION WITH CONSISTENT SNAPSHOT");
  s->state.store(MDUMP_ST_RUNNING, std::memory_order_release);
  write_header(wk);

  bool complete = dump_tables(wk) == TABLES_DONE;
  if (complete && dw_put(w, FOOTER, sizeof FOOTER - 1) < 0) {
    session_fail(s, "write failed");
    complete = false;
  }
  if (complete && dw_flush(w) < 0) {
    session_fail(s, "final flush failed");
    complete = false;
  }
  (void)dw_flush(w);  // after a failure: keep everything produced so far
  free(w->buf);
  w->buf = nullptr;
  bool closed = fclose(file) == 0;
  if (!complete) return;
  if (!closed) {
    session_fail(s, "cannot close output file");
    return;
  }
  refresh_elapsed(s);
  s->state.store(MDUMP_ST_DONE, std::memory_order_release);
}

void run_dump(worker *wk) {
  mdump_session *s = wk->s;
  mdump_config *cfg = &s->cfg;
  if (my_connect(&wk->conn, cfg->host, cfg->port, cfg->user, cfg->password, cfg->database) < 0) {
    fail_with_connection(wk);
    return;
  }
  wk->conn.cancel_ptr = &s->cancel;
  if (apply_session_settings(wk) == 0 && build_table_list(wk) == 0) {
    s->tables_total.store(wk->tables.count, std::memory_order_relaxed);
    dump_to_file(wk);
  }
  table_list_free(&wk->tables);
  my_close(&wk->conn);  // no COMMIT: the snapshot ends with the connection
}

}  // namespace

int dump_worker(void *slot) {
  mdump_session *s = static_cast<mdump_session *>(slot);
  s->start_ms = now_ms();
  worker wk;
  memset(&wk, 0, sizeof wk);
  wk.conn.sock = NET_INVALID_SOCKET;
  wk.s = s;
  run_dump(&wk);
  refresh_elapsed(s);
  int32_t st = s->state.load(std::memory_order_relaxed);
  if (st == MDUMP_ST_CONNECTING || st == MDUMP_ST_RUNNING)
    s->state.store(MDUMP_ST_ERROR, std::memory_order_release);
  return 0;
}
