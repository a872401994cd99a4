// COM_QUERY and text result sets: the column list, then rows handed out as cells that point into
// the connection's packet buffer. Nothing is allocated per row.
#include <cstdlib>
#include <cstring>

#include "mysql_client/mysql_client.h"
#include "mysql_client/wire.h"

namespace {

const unsigned char COM_QUERY = 0x03;
const unsigned char BINARY_CHARSET = 63;

bool is_eof_packet(const my_conn *conn) {
  return conn->pkt_len > 0 && conn->pkt[0] == 0xFE && conn->pkt_len <= 8;
}

// catalog | schema | table | org_table | name | org_name (length-encoded strings)
// | length of fixed fields [lenenc] | charset [2] | column length [4] | type [1] | flags [2]
// | decimals [1] | filler [2, optional]
int parse_column(my_conn *conn, my_col *col) {
  const unsigned char *p = conn->pkt;
  uint64_t len = conn->pkt_len;
  uint64_t pos = 0;
  memset(col, 0, sizeof *col);
  for (int field = 0; field < 6 && pos < len; ++field) {
    uint64_t n = 0;
    int taken = wire_lenenc(p, len, pos, &n);
    if (taken == 0 || n > len - pos - taken) return my_fail(conn, MY_ERR_PROTOCOL, "bad column def");
    if (field == 4) {
      uint64_t keep = n < sizeof col->name - 1 ? n : sizeof col->name - 1;
      memcpy(col->name, p + pos + taken, static_cast<size_t>(keep));
      col->name[keep] = 0;
    }
    pos += taken + n;
  }
  if (pos < len) {
    unsigned char first = p[pos];
    pos += first <= 0xFB ? 1 : first == 0xFC ? 3 : first == 0xFD ? 4 : 9;
  }
  if (pos > len || len - pos < 10) return my_fail(conn, MY_ERR_PROTOCOL, "bad column def tail");
  col->charset = static_cast<uint16_t>(wire_u16(p + pos));
  col->type = p[pos + 6];
  col->flags = static_cast<uint16_t>(wire_u16(p + pos + 7));
  return 0;
}

int meta_failed(my_meta *meta) {
  my_meta_free(meta);
  return -1;
}

}  // namespace

int my_query(my_conn *conn, const char *sql) {
  size_t n = strlen(sql);
  // The command always goes as one packet; a statement that would need continuation packets is
  // refused rather than split.
  if (n >= MY_MAX_PIECE - 1) return my_fail(conn, MY_ERR_PROTOCOL, "query too long");
  unsigned char *cmd = static_cast<unsigned char *>(malloc(n + 1));
  if (cmd == nullptr) return my_fail(conn, MY_ERR_NOMEM, "out of memory");
  cmd[0] = COM_QUERY;
  memcpy(cmd + 1, sql, n);
  conn->seq = 0;
  int rc = pkt_write(conn, cmd, n + 1);
  free(cmd);
  if (rc < 0) return -1;
  if (pkt_read(conn) < 0) return -1;
  if (conn->pkt_len == 0) return my_fail(conn, MY_ERR_PROTOCOL, "empty query response");
  if (conn->pkt[0] == 0x00) return 0;
  if (conn->pkt[0] == 0xFF) return my_set_server_error(conn);
  return 1;  // the column count stays in the buffer for my_read_meta
}

int my_read_meta(my_conn *conn, my_meta *meta) {
  uint64_t count = 0;
  int taken = wire_lenenc(conn->pkt, conn->pkt_len, 0, &count);
  if (taken == 0 || conn->pkt[0] == WIRE_NULL_MARKER || count == 0 || count > MY_MAX_COLUMNS)
    return my_fail(conn, MY_ERR_PROTOCOL, "bad column count");
  meta->cols = static_cast<my_col *>(calloc(static_cast<size_t>(count), sizeof(my_col)));
  if (meta->cols == nullptr) {
    meta->count = 0;
    return my_fail(conn, MY_ERR_NOMEM, "out of memory");
  }
  meta->count = static_cast<int32_t>(count);
  for (int32_t i = 0; i < meta->count; ++i) {
    if (pkt_read(conn) < 0 || parse_column(conn, &meta->cols[i]) < 0) return meta_failed(meta);
  }
  if (pkt_read(conn) < 0) return meta_failed(meta);
  if (!is_eof_packet(conn)) {
    my_fail(conn, MY_ERR_PROTOCOL, "expected EOF after columns");
    return meta_failed(meta);
  }
  return 0;
}

int my_read_row(my_conn *conn, const my_meta *meta, my_cell *cells) {
  if (pkt_read(conn) < 0) return -1;
  const unsigned char *p = conn->pkt;
  uint64_t len = conn->pkt_len;
  if (len == 0) return my_fail(conn, MY_ERR_PROTOCOL, "empty row packet");
  if (p[0] == 0xFF) return my_set_server_error(conn);
  if (is_eof_packet(conn)) return 0;
  uint64_t pos = 0;
  for (int32_t i = 0; i < meta->count; ++i) {
    if (pos >= len) {  // fewer values than columns: empty, not NULL
      cells[i].data = p + len;
      cells[i].len = 0;
      continue;
    }
    if (p[pos] == WIRE_NULL_MARKER) {
      cells[i].data = nullptr;
      cells[i].len = 0;
      ++pos;
      continue;
    }
    uint64_t n = 0;
    int taken = wire_lenenc(p, len, pos, &n);
    if (taken == 0 || n > len - pos - taken) return my_fail(conn, MY_ERR_PROTOCOL, "row overrun");
    cells[i].data = p + pos + taken;
    cells[i].len = n;
    pos += taken + n;
  }
  return 1;
}

void my_meta_free(my_meta *meta) {
  free(meta->cols);
  meta->cols = nullptr;
  meta->count = 0;
}

int my_type_is_numeric(uint8_t type) {
  // DECIMAL TINY SHORT LONG FLOAT DOUBLE LONGLONG INT24 YEAR, and NEWDECIMAL
  if (type <= 13) return (0x233F >> type) & 1;
  return type == 246;
}

int my_type_is_binary(uint8_t type, uint16_t charset) {
  if (charset != BINARY_CHARSET) return 0;
  return type == 15 || type == 16 || (type >= 249 && type <= 254);
}
