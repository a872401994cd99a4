// How fast the protocol client reads text result sets: rows per second and bytes per second through
// my_query, my_read_meta and my_read_row, for a few row shapes.
//
// A fake server on the other end of a socket pair logs the client in, then answers every query with
// the same result set, built once in memory. The figures therefore cover the client's parsing, its
// buffer handling and the socket copies, but no server work and no network.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "mysql_client/mysql_client.h"

namespace {

typedef std::vector<uint8_t> bytes;

const uint8_t TYPE_LONG = 3;
const uint8_t TYPE_DATETIME = 12;
const uint8_t TYPE_NEWDECIMAL = 246;
const uint8_t TYPE_BLOB = 252;
const uint8_t TYPE_VAR_STRING = 253;
const uint16_t CHARSET_UTF8MB4 = 45;
const uint16_t CHARSET_BINARY = 63;

struct column {
  const char *name;
  uint8_t type;
  uint16_t charset;
};

// A result set as the server sends it, every packet framed, plus what the client should see.
struct result_set {
  bytes stream;
  int64_t rows = 0;
  uint64_t value_bytes = 0;  // sum of the lengths of the non-NULL values
};

class stream_builder {
 public:
  explicit stream_builder(bytes *out) : out_(out) {}

  void packet(const bytes &payload) {
    size_t n = payload.size();
    out_->push_back(static_cast<uint8_t>(n));
    out_->push_back(static_cast<uint8_t>(n >> 8));
    out_->push_back(static_cast<uint8_t>(n >> 16));
    out_->push_back(seq_++);
    out_->insert(out_->end(), payload.begin(), payload.end());
  }

 private:
  bytes *out_;
  uint8_t seq_ = 1;  // the answer to a query follows the command's sequence id 0
};

void put_lenenc(bytes *p, uint64_t n) {
  if (n < 251) {
    p->push_back(static_cast<uint8_t>(n));
    return;
  }
  int size = n <= 0xFFFF ? 2 : n <= 0xFFFFFF ? 3 : 8;
  p->push_back(size == 2 ? 0xFC : size == 3 ? 0xFD : 0xFE);
  for (int k = 0; k < size; ++k) p->push_back(static_cast<uint8_t>(n >> (8 * k)));
}

void put_text(bytes *p, const std::string &s) {
  put_lenenc(p, s.size());
  p->insert(p->end(), s.begin(), s.end());
}

bytes column_definition(const column &c) {
  bytes p;
  for (const char *field : {"def", "bench", "t", "t"}) put_text(&p, field);
  put_text(&p, c.name);
  put_text(&p, c.name);
  p.push_back(0x0C);
  p.push_back(static_cast<uint8_t>(c.charset));
  p.push_back(static_cast<uint8_t>(c.charset >> 8));
  for (int k = 0; k < 4; ++k) p.push_back(0xFF);  // column length
  p.push_back(c.type);
  p.insert(p.end(), {0x00, 0x00, 0x00, 0x00, 0x00});  // flags, decimals, filler
  return p;
}

const bytes EOF_PAYLOAD = {0xFE, 0x00, 0x00, 0x22, 0x00};

// `row(i, &payload, &value_bytes)` appends row i's values.
template <typename RowFn>
result_set build(const std::vector<column> &cols, int64_t rows, RowFn row) {
  result_set r;
  stream_builder b(&r.stream);
  bytes count;
  put_lenenc(&count, cols.size());
  b.packet(count);
  for (const column &c : cols) b.packet(column_definition(c));
  b.packet(EOF_PAYLOAD);
  bytes payload;
  for (int64_t i = 0; i < rows; ++i) {
    payload.clear();
    row(i, &payload, &r.value_bytes);
    b.packet(payload);
  }
  b.packet(EOF_PAYLOAD);
  r.rows = rows;
  return r;
}

void value(bytes *p, uint64_t *counted, const std::string &s) {
  put_text(p, s);
  *counted += s.size();
}

// Four small integers, as in a link table.
const result_set &narrow_ints() {
  static const result_set r = build(
      {{"id", TYPE_LONG, CHARSET_BINARY},
       {"owner_id", TYPE_LONG, CHARSET_BINARY},
       {"kind", TYPE_LONG, CHARSET_BINARY},
       {"delta", TYPE_LONG, CHARSET_BINARY}},
      200000, [](int64_t i, bytes *p, uint64_t *n) {
        value(p, n, std::to_string(i + 1));
        value(p, n, std::to_string(i * 7 % 100003));
        value(p, n, std::to_string(i % 12));
        value(p, n, std::to_string(-i % 1000));
      });
  return r;
}

// A typical content row: a key, a short name, a 200-byte text, a decimal, a NULL and a date.
const result_set &mixed_text() {
  static const result_set r = build(
      {{"id", TYPE_LONG, CHARSET_BINARY},
       {"name", TYPE_VAR_STRING, CHARSET_UTF8MB4},
       {"body", TYPE_BLOB, CHARSET_UTF8MB4},
       {"price", TYPE_NEWDECIMAL, CHARSET_BINARY},
       {"deleted_at", TYPE_DATETIME, CHARSET_BINARY},
       {"created_at", TYPE_DATETIME, CHARSET_BINARY}},
      50000, [](int64_t i, bytes *p, uint64_t *n) {
        std::string body(200, 'a');
        for (size_t k = 0; k < body.size(); k += 7) body[k] = static_cast<char>('a' + (i + k) % 26);
        value(p, n, std::to_string(i + 1));
        value(p, n, "customer-" + std::to_string(i));
        value(p, n, body);
        value(p, n, std::to_string(i % 100000) + ".99");
        p->push_back(0xFB);  // NULL
        value(p, n, "2024-01-02 03:04:05");
      });
  return r;
}

// A key and a 1 MiB binary value per row.
const result_set &blob_rows() {
  static const result_set r = build(
      {{"id", TYPE_LONG, CHARSET_BINARY}, {"payload", TYPE_BLOB, CHARSET_BINARY}}, 64,
      [](int64_t i, bytes *p, uint64_t *n) {
        value(p, n, std::to_string(i + 1));
        std::string blob(1 << 20, '\0');
        for (size_t k = 0; k < blob.size(); ++k) blob[k] = static_cast<char>((k * 31 + i) & 0xFF);
        value(p, n, blob);
      });
  return r;
}

bool send_all(int fd, const uint8_t *p, size_t n) {
  while (n > 0) {
    ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
    if (k <= 0) return false;
    p += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

bool recv_all(int fd, uint8_t *p, size_t n) {
  while (n > 0) {
    ssize_t k = recv(fd, p, n, 0);
    if (k <= 0) return false;
    p += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

// Reads one client packet; false when the client has gone.
bool read_packet(int fd, bytes *payload) {
  uint8_t header[4];
  if (!recv_all(fd, header, 4)) return false;
  payload->resize(header[0] | header[1] << 8 | header[2] << 16);
  return recv_all(fd, payload->data(), payload->size());
}

// Handshake (the short form, without a method name: mysql_native_password), OK to the login, then
// the result set for every COM_QUERY until COM_QUIT.
void serve(int fd, const result_set *answer) {
  bytes hello = {0x04, 0x00, 0x00, 0x00, 0x0A};
  const char version[] = "bench";
  hello.insert(hello.end(), version, version + sizeof version);
  hello.insert(hello.end(), {1, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 0, 0x00, 0x82});
  hello[0] = static_cast<uint8_t>(hello.size() - 4);
  const bytes ok = {0x07, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00};
  bytes in;
  if (send_all(fd, hello.data(), hello.size()) && read_packet(fd, &in) &&
      send_all(fd, ok.data(), ok.size())) {
    while (read_packet(fd, &in) && !in.empty() && in[0] == 0x03) {
      if (!send_all(fd, answer->stream.data(), answer->stream.size())) break;
    }
  }
  close(fd);
}

void read_rows(benchmark::State &state, const result_set &(*shape)()) {
  const result_set &answer = shape();
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
    state.SkipWithError("socketpair failed");
    return;
  }
  std::thread server(serve, fds[1], &answer);
  my_conn conn;
  if (my_login_on_socket(&conn, fds[0], "bench", nullptr, nullptr) != 0) {
    state.SkipWithError(conn.err_msg);
    server.join();
    return;
  }
  std::vector<my_cell> cells(MY_MAX_COLUMNS);
  for (auto _ : state) {
    int64_t rows = 0;
    uint64_t value_bytes = 0;
    my_meta meta;
    if (my_query(&conn, "SELECT * FROM t") != 1 || my_read_meta(&conn, &meta) != 0) {
      state.SkipWithError(conn.err_msg);
      break;
    }
    int rc;
    while ((rc = my_read_row(&conn, &meta, cells.data())) == 1) {
      ++rows;
      for (int32_t c = 0; c < meta.count; ++c) value_bytes += cells[c].len;
    }
    my_meta_free(&meta);
    if (rc != 0 || rows != answer.rows || value_bytes != answer.value_bytes) {
      state.SkipWithError(rc != 0 ? conn.err_msg : "the rows read differ from the rows sent");
      break;
    }
    benchmark::DoNotOptimize(value_bytes);
  }
  my_close(&conn);
  server.join();
  state.SetItemsProcessed(state.iterations() * answer.rows);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(answer.stream.size()));
  state.counters["rows"] = static_cast<double>(answer.rows);
  state.counters["stream_MiB"] = static_cast<double>(answer.stream.size()) / (1 << 20);
}

}  // namespace

// Real time, not the main thread's CPU time: the socket copies count, and the server thread's
// writing overlaps the client's reading as it would with a real server.
BENCHMARK_CAPTURE(read_rows, narrow_ints, narrow_ints)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(read_rows, mixed_200B_text, mixed_text)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(read_rows, blob_1MiB, blob_rows)->UseRealTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
