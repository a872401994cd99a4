// The MySQL client/server protocol, client side, over plain TCP: packet framing, the version-10
// handshake with mysql_native_password and caching_sha2_password (including the RSA full
// authentication), COM_QUERY and text result sets with EOF packets.
//
// Every failing call returns -1 and leaves a code and a fixed English text in the connection.
#ifndef MDUMP_MYSQL_CLIENT_H
#define MDUMP_MYSQL_CLIENT_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/net.h"

// Codes in my_conn.err_code besides the server's own error numbers (0..65535).
enum {
  MY_ERR_PROTOCOL = -1,    // socket, resolution or connect failure; malformed packet; over a limit
  MY_ERR_NOMEM = -2,       // a buffer could not be allocated or grown
  MY_ERR_CRYPTO = -3,      // the RSA password-encryption step failed
  MY_ERR_CANCELLED = -99,  // the cancel flag was set before or while waiting for data
};

enum {
  MY_ERR_MSG_SIZE = 512,
  MY_MAX_COLUMNS = 4096,
  MY_CANCEL_POLL_MS = 100,  // how often a waiting receive looks at the cancel flag
};

constexpr uint64_t MY_PKT_MIN_CAP = 65536;
constexpr uint64_t MY_MAX_PIECE = 0xFFFFFF;      // a piece this long continues in the next packet
constexpr uint64_t MY_MAX_PAYLOAD = 1ull << 30;  // the largest logical payload accepted (1 GiB)
constexpr uint32_t MY_AHEAD_SIZE = 131072;       // read-ahead; larger reads go straight to `pkt`

struct my_conn {
  net_socket sock;
  uint8_t seq;                    // sequence id of the next packet sent
  char server_version[64];
  uint32_t server_caps;
  char err_msg[MY_ERR_MSG_SIZE];
  int32_t err_code;
  unsigned char *pkt;             // payload of the last packet read, 0 at pkt[pkt_len]
  uint64_t pkt_cap;
  uint64_t pkt_len;
  const std::atomic<int32_t> *cancel_ptr;  // non-zero flag: stop at the next receive
  // Bytes received ahead of the packet being read: one recv brings in many small packets (a
  // result set's rows), so a row costs no system call of its own.
  unsigned char *ahead;
  uint32_t ahead_pos;
  uint32_t ahead_len;
};

// One column of a result set.
struct my_col {
  char name[128];
  uint8_t type;
  uint16_t charset;  // 63 is the binary character set
  uint16_t flags;
};

struct my_meta {
  my_col *cols;
  int32_t count;
};

// One value of a row: a view into the connection's packet buffer, valid until the next packet is
// read on it. data is null for SQL NULL.
struct my_cell {
  const unsigned char *data;
  uint64_t len;
};

// Packet channel.
int pkt_write(my_conn *conn, const void *data, uint64_t len);
int pkt_read(my_conn *conn);
// Decodes the ERR packet in conn->pkt into err_code / err_msg. Always returns -1.
int my_set_server_error(my_conn *conn);
// Releases the packet buffer and the read-ahead (pkt null, pkt_cap and pkt_len 0).
void pkt_release(my_conn *conn);
// Records a failure in conn (text cut to fit) and returns -1.
int my_fail(my_conn *conn, int32_t code, const char *fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

// Connection set-up and tear-down. password and database may be null (same as empty).
int my_connect(my_conn *conn, const char *host, int32_t port, const char *user,
               const char *password, const char *database);
void my_close(my_conn *conn);
// The part of my_connect after the TCP connection: takes over `sock` (already connected) and runs
// the handshake and authentication on it. Same results and clean-up as my_connect. Lets tests and
// fuzz targets drive a login over a socket pair.
int my_login_on_socket(my_conn *conn, net_socket sock, const char *user, const char *password,
                       const char *database);

// out = SHA1(password) XOR SHA1(nonce || SHA1(SHA1(password)))
void scramble_native(const char *password, const uint8_t nonce[20], uint8_t out[20]);
// out = SHA256(password) XOR SHA256(SHA256(SHA256(password)) || nonce)
void scramble_sha2(const char *password, const uint8_t nonce[20], uint8_t out[32]);

// Queries: my_query returns 1 when a result set follows, 0 for OK, -1 on failure.
int my_query(my_conn *conn, const char *sql);
int my_read_meta(my_conn *conn, my_meta *meta);
// Returns 1 with cells[0..count-1] filled, 0 at the end of the rows, -1 on failure.
int my_read_row(my_conn *conn, const my_meta *meta, my_cell *cells);
void my_meta_free(my_meta *meta);

int my_type_is_numeric(uint8_t type);
int my_type_is_binary(uint8_t type, uint16_t charset);

#endif
