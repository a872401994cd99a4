// The body of a dump thread: connect, decide the tables, open the file, take a consistent
// snapshot, and stream every table's CREATE text and rows into SQL through the writer, while the
// slot tells the host how far it got. Every path ends in a final state with everything released.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mysql_client/mysql_client.h"
#include "mysqldump/dump_writer.h"
#include "mysqldump/session.h"
#include "platform/clock.h"

namespace {

const char PREAMBLE[] = "SET NAMES utf8mb4;\nSET FOREIGN_KEY_CHECKS=0;\n\n";
const char FOOTER[] = "SET FOREIGN_KEY_CHECKS=1;\n";
// A statement that must give rows answered with a plain OK: the connection has no error text.
const char NO_RESULT_SET[] = "no result set from server";
const char HEX[] = "0123456789ABCDEF";

enum {
  QNAME_SIZE = 298,
  STMT_SIZE = 600,
  STAGE_SIZE = 2048,
  HEX_STAGE_LIMIT = 1021,   // flush once more than this many digits are staged
  TEXT_STAGE_LIMIT = 2044,  // flush before a byte once more than this many are staged
};

enum { TABLES_DONE = 0, TABLES_FAILED = -1, TABLES_CANCELLED = 1 };

struct worker {
  mdump_session *s;
  my_conn conn;
  dump_writer w;
  char qname[QNAME_SIZE];
  char stmt[STMT_SIZE];
  unsigned char stage[STAGE_SIZE];
  // the data loop of the current table
  int stmt_open;
  int32_t stmt_rows;
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
void quote_name(const char *name, char out[QNAME_SIZE]) {
  size_t n = 0;
  for (size_t i = 0; name[i] != 0 && n < QNAME_SIZE - 2; ++i) {
    if (name[i] == '`') out[n++] = '`';
    out[n++] = name[i];
  }
  out[n] = 0;
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

int list_tables(worker *wk) {
  mdump_config *cfg = &wk->s->cfg;
  result_set rs;
  if (open_result(wk, "SHOW TABLES", &rs) < 0) return -1;
  const my_cell *cells = rs.cells;
  int r;
  while ((r = my_read_row(&wk->conn, &rs.meta, rs.cells)) == 1) {
    // Names past the 512th are read and dropped, so the result is always read to its end.
    if (cells[0].data == nullptr || cfg->table_count >= MDUMP_MAX_TABLES) continue;
    size_t n = cells[0].len < MDUMP_NAME_SIZE - 1 ? static_cast<size_t>(cells[0].len) : MDUMP_NAME_SIZE - 1;
    memcpy(cfg->tables[cfg->table_count], cells[0].data, n);
    cfg->tables[cfg->table_count][n] = 0;
    cfg->table_count++;
  }
  close_result(&rs);
  if (r < 0) return fail_with_connection(wk);  // a shortened list would be a partial backup
  return 0;
}

int write_create(worker *wk) {
  dump_writer *w = &wk->w;
  if (wk->s->cfg.include_drop && dw_printf(w, "DROP TABLE IF EXISTS `%s`;\n", wk->qname) < 0)
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

int put_staged(worker *wk, size_t *staged) {
  int rc = dw_put(&wk->w, wk->stage, *staged);
  *staged = 0;
  return rc;
}

int write_hex(worker *wk, const my_cell *cell) {
  if (dw_put(&wk->w, "0x", 2) < 0) return -1;
  size_t staged = 0;
  for (uint64_t i = 0; i < cell->len; ++i) {
    wk->stage[staged++] = static_cast<unsigned char>(HEX[cell->data[i] >> 4]);
    wk->stage[staged++] = static_cast<unsigned char>(HEX[cell->data[i] & 0x0F]);
    if (staged > HEX_STAGE_LIMIT && put_staged(wk, &staged) < 0) return -1;
  }
  return staged > 0 ? put_staged(wk, &staged) : 0;
}

int write_text(worker *wk, const my_cell *cell) {
  if (dw_put(&wk->w, "'", 1) < 0) return -1;
  size_t staged = 0;
  for (uint64_t i = 0; i < cell->len; ++i) {
    if (staged > TEXT_STAGE_LIMIT && put_staged(wk, &staged) < 0) return -1;
    unsigned char c = cell->data[i];
    char escaped = 0;
    switch (c) {
      case 0x00: escaped = '0'; break;
      case 0x0A: escaped = 'n'; break;
      case 0x0D: escaped = 'r'; break;
      case 0x1A: escaped = 'Z'; break;
      case '\'': escaped = '\''; break;
      case '\\': escaped = '\\'; break;
      default: break;
    }
    if (escaped != 0) {
      wk->stage[staged++] = '\\';
      wk->stage[staged++] = static_cast<unsigned char>(escaped);
    } else {
      wk->stage[staged++] = c;
    }
  }
  if (staged > 0 && put_staged(wk, &staged) < 0) return -1;
  return dw_put(&wk->w, "'", 1);
}

int write_value(worker *wk, const my_col *col, const my_cell *cell) {
  if (cell->data == nullptr) return dw_put(&wk->w, "NULL", 4);
  if (my_type_is_numeric(col->type)) {
    if (cell->len == 0) return dw_put(&wk->w, "NULL", 4);
    return dw_put(&wk->w, cell->data, cell->len);
  }
  if (my_type_is_binary(col->type, col->charset)) {
    if (cell->len == 0) return dw_put(&wk->w, "''", 2);
    return write_hex(wk, cell);
  }
  return write_text(wk, cell);
}

int write_row(worker *wk, const my_meta *meta, const my_cell *cells) {
  dump_writer *w = &wk->w;
  mdump_session *s = wk->s;
  if (wk->stmt_open) {
    if (dw_put(w, ",\n(", 3) < 0) return -1;
  } else {
    if (dw_printf(w, "INSERT INTO `%s` VALUES\n(", wk->qname) < 0) return -1;
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
  if (wk->stmt_rows >= s->cfg.rows_per_insert) {
    if (dw_put(w, ";\n", 2) < 0) return -1;
    wk->stmt_open = 0;
  } else {
    wk->stmt_open = 1;
  }
  wk->table_rows++;
  return 0;
}

int write_rows(worker *wk) {
  mdump_session *s = wk->s;
  snprintf(wk->stmt, sizeof wk->stmt, "SELECT * FROM `%s`", wk->qname);
  result_set rs;
  if (open_result(wk, wk->stmt, &rs) < 0) return -1;
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
      if (write_row(wk, &rs.meta, rs.cells) < 0) {
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
  return result;
}

int dump_tables(worker *wk) {
  mdump_session *s = wk->s;
  mdump_config *cfg = &s->cfg;
  for (int32_t i = 0; i < cfg->table_count; ++i) {
    if (cancel_requested(s)) {
      s->state.store(MDUMP_ST_CANCELLED, std::memory_order_release);
      return TABLES_CANCELLED;
    }
    quote_name(cfg->tables[i], wk->qname);
    session_set_table(s, cfg->tables[i]);
    if (cfg->include_schema && write_create(wk) < 0) return TABLES_FAILED;
    if (cfg->include_data) {
      int rc = write_rows(wk);
      if (rc != 0) return rc;
    }
    s->tables_done.store(i + 1, std::memory_order_relaxed);
  }
  return TABLES_DONE;
}

void write_header(worker *wk) {
  char version[sizeof wk->conn.server_version];
  char database[MDUMP_NAME_SIZE];
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
  FILE *file = fopen(cfg->out_path, "wb");
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
  my_query(&wk->conn, "SET NAMES utf8mb4");
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
  if (cfg->table_count == 0 && list_tables(wk) < 0) {
    my_close(&wk->conn);
    return;
  }
  s->tables_total.store(cfg->table_count, std::memory_order_relaxed);
  dump_to_file(wk);
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
