// libFuzzer target for the protocol client: the input is everything a server says on one
// connection (handshake, authentication, the answer to one query), played over a socket pair to a
// real login, query and result-set read. The client is checked against its record's invariants,
// not against a second decoder.
//
// The fake server side runs on its own thread and polls: it writes the input while draining
// whatever the client sends, so neither side can block the other however the input steers the
// exchange (an input full of method switches makes the client write several times its size).
// After the input it shuts down its write side, so a client that wants more reads end-of-stream
// instead of waiting for ever.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "mysql_client/mysql_client.h"

namespace {

void check(bool ok) {
  if (!ok) abort();
}

bool terminated(const char *field, size_t size) { return memchr(field, 0, size) != nullptr; }

// Plays `data` as the server's byte stream on `fd` and swallows what the client writes, until the
// client has closed its end.
void serve(int fd, const uint8_t *data, size_t size) {
  size_t sent = 0;
  bool writing = true;
  if (size == 0) {
    shutdown(fd, SHUT_WR);
    writing = false;
  }
  for (;;) {
    pollfd p;
    p.fd = fd;
    p.events = static_cast<short>(POLLIN | (writing ? POLLOUT : 0));
    p.revents = 0;
    if (poll(&p, 1, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
      unsigned char sink[65536];
      ssize_t n = recv(fd, sink, sizeof sink, MSG_DONTWAIT);
      if (n == 0) break;  // the client closed: nothing more to serve
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) break;
    }
    if (writing && (p.revents & POLLOUT)) {
      ssize_t n = send(fd, data + sent, size - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) sent += static_cast<size_t>(n);
      if ((n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) || sent == size) {
        shutdown(fd, SHUT_WR);
        writing = false;
      }
    }
  }
  close(fd);
}

void check_error(const my_conn &conn) {
  check(terminated(conn.err_msg, sizeof conn.err_msg));
  // The cancel flag below never goes up, so -99 would be a fault too.
  check(conn.err_code == MY_ERR_PROTOCOL || conn.err_code == MY_ERR_NOMEM ||
        conn.err_code == MY_ERR_CRYPTO || (conn.err_code >= 0 && conn.err_code <= 65535));
}

// What holds after every successful packet read: the payload sits in the buffer with a 0 after it,
// and the buffer is 64 KiB times a power of two.
void check_buffer(const my_conn &conn) {
  check(conn.pkt != nullptr);
  check(conn.pkt_len < conn.pkt_cap);
  check(conn.pkt[conn.pkt_len] == 0);
  check(conn.pkt_cap >= MY_PKT_MIN_CAP && conn.pkt_cap % MY_PKT_MIN_CAP == 0);
  uint64_t units = conn.pkt_cap / MY_PKT_MIN_CAP;
  check((units & (units - 1)) == 0);
  check(conn.pkt_len <= MY_MAX_PAYLOAD);
}

void check_cells(const my_conn &conn, const my_cell *cells, int32_t count) {
  const unsigned char *begin = conn.pkt;
  const unsigned char *end = conn.pkt + conn.pkt_len;
  for (int32_t i = 0; i < count; ++i) {
    if (cells[i].data == nullptr) {
      check(cells[i].len == 0);
      continue;
    }
    check(cells[i].data >= begin && cells[i].data <= end);
    check(cells[i].len <= static_cast<uint64_t>(end - cells[i].data));
  }
}

// Reads the result set to its end; the cells live in a static array sized for the column limit.
void read_result(my_conn *conn) {
  my_meta meta;
  meta.cols = nullptr;
  meta.count = 0;
  if (my_read_meta(conn, &meta) != 0) {
    check_error(*conn);
    check(meta.cols == nullptr && meta.count == 0);
    return;
  }
  check_buffer(*conn);
  check(meta.count >= 1 && meta.count <= MY_MAX_COLUMNS && meta.cols != nullptr);
  for (int32_t i = 0; i < meta.count; ++i)
    check(terminated(meta.cols[i].name, sizeof meta.cols[i].name));

  static my_cell cells[MY_MAX_COLUMNS];
  for (;;) {
    memset(cells, 0xA5, sizeof(my_cell) * static_cast<size_t>(meta.count));
    int rc = my_read_row(conn, &meta, cells);
    check(rc == 1 || rc == 0 || rc == -1);
    if (rc < 0) {
      check_error(*conn);
      break;
    }
    check_buffer(*conn);
    if (rc == 0) break;
    check_cells(*conn, cells, meta.count);
  }
  my_meta_free(&meta);
  check(meta.cols == nullptr && meta.count == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) abort();
  std::thread server(serve, fds[1], data, size);

  static my_conn conn;  // stale content from the previous input must not matter
  int rc = my_login_on_socket(&conn, fds[0], "user", "password", "db");
  check(rc == 0 || rc == -1);
  check(terminated(conn.server_version, sizeof conn.server_version));
  if (rc < 0) {
    check_error(conn);
    check(conn.sock == NET_INVALID_SOCKET && conn.pkt == nullptr && conn.pkt_cap == 0 &&
          conn.pkt_len == 0);
  } else {
    check(conn.sock == fds[0]);
    check(conn.cancel_ptr == nullptr);
    check_buffer(conn);
    // The dump worker watches a cancel flag once connected; with one set, every receive waits
    // through the readiness poll first.
    static const std::atomic<int32_t> never{0};
    conn.cancel_ptr = &never;
    int q = my_query(&conn, "SELECT 1");
    check(q == 1 || q == 0 || q == -1);
    if (q < 0) {
      check_error(conn);
    } else {
      check_buffer(conn);
      if (q == 1) read_result(&conn);
    }
  }
  my_close(&conn);
  check(conn.sock == NET_INVALID_SOCKET && conn.pkt == nullptr && conn.pkt_cap == 0);
  check(terminated(conn.err_msg, sizeof conn.err_msg));

  server.join();
  return 0;
}
