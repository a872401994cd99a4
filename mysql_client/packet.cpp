// The packet channel: whole protocol packets over the connection's socket, the one receive buffer
// every upper layer parses in place, the connection's failure record, and server ERR packets.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mysql_client/mysql_client.h"
#include "mysql_client/wire.h"

int my_fail(my_conn *conn, int32_t code, const char *fmt, ...) {
  conn->err_code = code;
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(conn->err_msg, sizeof conn->err_msg, fmt, ap);  // cuts and terminates
  va_end(ap);
  return -1;
}

namespace {

bool cancel_requested(const my_conn *conn) {
  return conn->cancel_ptr != nullptr && conn->cancel_ptr->load(std::memory_order_relaxed) != 0;
}

int send_all(my_conn *conn, const unsigned char *data, uint64_t len) {
  uint64_t sent = 0;
  while (sent < len) {
    long n = net_send(conn->sock, data + sent, static_cast<size_t>(len - sent));
    if (n <= 0) return my_fail(conn, MY_ERR_PROTOCOL, "socket write failed");
    sent += static_cast<uint64_t>(n);
  }
  return 0;
}

// Waits until a receive would not block. With a cancel flag the wait goes in short slices, so a
// cancel request is seen within MY_CANCEL_POLL_MS even when no data ever comes.
int wait_for_data(my_conn *conn) {
  if (conn->cancel_ptr == nullptr) return 0;  // the receive itself blocks
  int ready;
  while ((ready = net_wait_readable(conn->sock, MY_CANCEL_POLL_MS)) == 0) {
    if (cancel_requested(conn)) return my_fail(conn, MY_ERR_CANCELLED, "cancelled");
  }
  if (ready < 0) return my_fail(conn, MY_ERR_PROTOCOL, "socket read failed");
  return 0;
}

// One receive of up to len bytes into buf: at once when data is waiting, else after waiting.
long receive(my_conn *conn, unsigned char *buf, size_t len) {
  if (cancel_requested(conn)) return my_fail(conn, MY_ERR_CANCELLED, "cancelled");
  long n = net_recv_now(conn->sock, buf, len);
  if (n == NET_WOULD_BLOCK) {
    if (wait_for_data(conn) < 0) return -1;
    n = net_recv(conn->sock, buf, len);
  }
  if (n <= 0) return my_fail(conn, MY_ERR_PROTOCOL, "socket read failed");
  return n;
}

// Receives exactly len bytes: first what was read ahead, then from the socket. A short remainder
// is read through the read-ahead buffer, taking whatever else has arrived with it; a long one goes
// straight to its destination.
int recv_all(my_conn *conn, unsigned char *buf, uint64_t len) {
  uint64_t got = conn->ahead_len - conn->ahead_pos;
  if (got > len) got = len;
  if (got > 0) {
    memcpy(buf, conn->ahead + conn->ahead_pos, static_cast<size_t>(got));
    conn->ahead_pos += static_cast<uint32_t>(got);
  }
  while (got < len) {
    uint64_t rest = len - got;
    if (rest >= MY_AHEAD_SIZE) {
      long n = receive(conn, buf + got, static_cast<size_t>(rest));
      if (n < 0) return -1;
      got += static_cast<uint64_t>(n);
      continue;
    }
    if (conn->ahead == nullptr) {
      conn->ahead = static_cast<unsigned char *>(malloc(MY_AHEAD_SIZE));
      if (conn->ahead == nullptr) return my_fail(conn, MY_ERR_NOMEM, "out of memory");
    }
    long n = receive(conn, conn->ahead, MY_AHEAD_SIZE);
    if (n < 0) return -1;
    uint64_t take = static_cast<uint64_t>(n) < rest ? static_cast<uint64_t>(n) : rest;
    memcpy(buf + got, conn->ahead, static_cast<size_t>(take));
    conn->ahead_pos = static_cast<uint32_t>(take);
    conn->ahead_len = static_cast<uint32_t>(n);
    got += take;
  }
  return 0;
}

// Grows the buffer to hold `need` bytes: 64 KiB at first, then by doubling.
int reserve(my_conn *conn, uint64_t need) {
  if (conn->pkt_cap >= need) return 0;
  uint64_t cap;
  if (conn->pkt_cap == 0 && need <= MY_PKT_MIN_CAP) {
    cap = MY_PKT_MIN_CAP;
  } else {
    cap = conn->pkt_cap == 0 ? MY_PKT_MIN_CAP : conn->pkt_cap;
    do cap *= 2;
    while (cap < need);
  }
  if (cap > SIZE_MAX) return my_fail(conn, MY_ERR_NOMEM, "out of memory");
  void *grown = realloc(conn->pkt, static_cast<size_t>(cap));
  if (grown == nullptr) return my_fail(conn, MY_ERR_NOMEM, "out of memory");
  conn->pkt = static_cast<unsigned char *>(grown);
  conn->pkt_cap = cap;
  return 0;
}

}  // namespace

int pkt_write(my_conn *conn, const void *data, uint64_t len) {
  // packet length [24 bit] | sequence id [8 bit] | payload
  unsigned char header[4];
  header[3] = conn->seq++;
  if (len >= MY_MAX_PIECE) return my_fail(conn, MY_ERR_PROTOCOL, "packet too large");
  header[0] = static_cast<unsigned char>(len);
  header[1] = static_cast<unsigned char>(len >> 8);
  header[2] = static_cast<unsigned char>(len >> 16);
  if (send_all(conn, header, 4) < 0) return -1;
  if (len == 0) return 0;
  return send_all(conn, static_cast<const unsigned char *>(data), len);
}

int pkt_read(my_conn *conn) {
  conn->pkt_len = 0;
  // Even with the next packet already read ahead, a cancel request stops the read.
  if (cancel_requested(conn)) return my_fail(conn, MY_ERR_CANCELLED, "cancelled");
  for (;;) {
    unsigned char header[4];
    if (recv_all(conn, header, 4) < 0) return -1;
    uint64_t n = header[0] | static_cast<uint64_t>(header[1]) << 8 |
                 static_cast<uint64_t>(header[2]) << 16;
    conn->seq = static_cast<uint8_t>(header[3] + 1);
    // A hostile server could announce continuation pieces without end; refuse before allocating.
    if (n > MY_MAX_PAYLOAD - conn->pkt_len)
      return my_fail(conn, MY_ERR_PROTOCOL, "packet too large");
    if (reserve(conn, conn->pkt_len + n + 1) < 0) return -1;
    if (n > 0) {
      if (recv_all(conn, conn->pkt + conn->pkt_len, n) < 0) return -1;
      conn->pkt_len += n;
    }
    if (n < MY_MAX_PIECE) break;
  }
  conn->pkt[conn->pkt_len] = 0;
  return 0;
}

void pkt_release(my_conn *conn) {
  free(conn->pkt);
  conn->pkt = nullptr;
  conn->pkt_cap = 0;
  conn->pkt_len = 0;
  free(conn->ahead);
  conn->ahead = nullptr;
  conn->ahead_pos = 0;
  conn->ahead_len = 0;
}

int my_set_server_error(my_conn *conn) {
  // 0xFF | error code [16 bit] | optional '#' + SQL state [5] | message (rest of the payload)
  const unsigned char *p = conn->pkt;
  uint64_t len = conn->pkt_len;
  if (len <= 2) return my_fail(conn, MY_ERR_PROTOCOL, "malformed error packet");
  const unsigned char *msg = p + 3;
  uint64_t m = len - 3;
  if (m > 6 && p[3] == '#') {
    msg = p + 9;
    m = len - 9;
  }
  if (m > sizeof conn->err_msg - 1) {
    m = sizeof conn->err_msg - 1;
    // A cut message must not end in half a character: the text ends up in JSON answers.
    if ((msg[m] & 0xC0) == 0x80) {
      uint64_t k = m;
      while (k > 0 && m - k < 3 && (msg[k - 1] & 0xC0) == 0x80) --k;
      if (k > 0 && msg[k - 1] >= 0xC0) m = k - 1;
    }
  }
  memcpy(conn->err_msg, msg, static_cast<size_t>(m));
  conn->err_msg[m] = 0;
  conn->err_code = static_cast<int32_t>(wire_u16(p + 1));
  return -1;
}
