// Opening and closing server connections: the version-10 handshake, the protocol-41 response,
// and the authentication exchange with mysql_native_password and caching_sha2_password,
// including method switches and the RSA full authentication.
#include <cstdlib>
#include <cstring>

#include "mysql_client/mysql_client.h"
#include "mysql_client/rsa_password.h"
#include "mysql_client/wire.h"

namespace {

const uint32_t CLIENT_LONG_PASSWORD = 0x00000001;
const uint32_t CLIENT_LONG_FLAG = 0x00000004;
const uint32_t CLIENT_CONNECT_WITH_DB = 0x00000008;
const uint32_t CLIENT_PROTOCOL_41 = 0x00000200;
const uint32_t CLIENT_TRANSACTIONS = 0x00002000;
const uint32_t CLIENT_SECURE_CONNECTION = 0x00008000;
const uint32_t CLIENT_MULTI_RESULTS = 0x00020000;
const uint32_t CLIENT_PLUGIN_AUTH = 0x00080000;

// No TLS, no compression, no attributes, and no CLIENT_DEPRECATE_EOF: result sets keep their EOF
// packets, which the query layer relies on.
const uint32_t CLIENT_FLAGS = CLIENT_LONG_PASSWORD | CLIENT_LONG_FLAG | CLIENT_PROTOCOL_41 |
                              CLIENT_TRANSACTIONS | CLIENT_SECURE_CONNECTION |
                              CLIENT_MULTI_RESULTS | CLIENT_PLUGIN_AUTH;

const uint32_t MAX_PACKET_SENT = 65536;
const unsigned char CHARSET_UTF8MB4_GENERAL_CI = 45;
const size_t MAX_NAME_SENT = 256;

struct auth_state {
  uint8_t nonce[20];
  char plugin[64];
};

void copy_name(char *dst, size_t dst_size, const unsigned char *src, size_t len) {
  if (len > dst_size - 1) len = dst_size - 1;
  memcpy(dst, src, len);
  dst[len] = 0;
}

// Releases everything a failed my_connect holds, keeping the error. Returns -1.
int connect_failed(my_conn *conn) {
  net_close(conn->sock);
  conn->sock = NET_INVALID_SOCKET;
  pkt_release(conn);
  return -1;
}

bool has_text(const char *s) { return s != nullptr && s[0] != 0; }

// The scramble sent for the method in effect: none without a password, 32 bytes for
// caching_sha2_password, otherwise the 20-byte native scramble whatever the method's name.
size_t auth_data(const auth_state *st, const char *password, uint8_t out[32]) {
  if (!has_text(password)) return 0;
  if (strcmp(st->plugin, "caching_sha2_password") == 0) {
    scramble_sha2(password, st->nonce, out);
    return 32;
  }
  scramble_native(password, st->nonce, out);
  return 20;
}

int read_handshake(my_conn *conn, auth_state *st) {
  if (pkt_read(conn) < 0) return -1;
  const unsigned char *p = conn->pkt;
  uint64_t len = conn->pkt_len;
  if (len == 0) return my_fail(conn, MY_ERR_PROTOCOL, "empty handshake");
  if (p[0] == 0xFF) return my_set_server_error(conn);
  if (p[0] != 10) return my_fail(conn, MY_ERR_PROTOCOL, "unsupported protocol version");
  // protocol version [1] | server version [NUL-terminated] | then offsets from q
  const void *nul = memchr(p + 1, 0, static_cast<size_t>(len - 1));
  if (nul == nullptr) return my_fail(conn, MY_ERR_PROTOCOL, "short handshake");
  uint64_t version_len = static_cast<const unsigned char *>(nul) - (p + 1);
  copy_name(conn->server_version, sizeof conn->server_version, p + 1, version_len);
  uint64_t q = version_len + 2;
  if (len - q < 15) return my_fail(conn, MY_ERR_PROTOCOL, "short handshake");
  // connection id [4] | auth-plugin-data part 1 [8] | filler [1] | capability flags low [2]
  memcpy(st->nonce, p + q + 4, 8);
  uint32_t caps = wire_u16(p + q + 13);
  if (len >= q + 31) {
    // charset [1] | status [2] | capability flags high [2] | auth-data length [1] | reserved [10]
    caps |= wire_u16(p + q + 18) << 16;
    uint64_t cursor = q + 31;
    if (caps & CLIENT_SECURE_CONNECTION) {
      unsigned c = p[q + 20];
      uint64_t part2 = c < 9 ? 12 : (c - 9 < 12 ? c - 9 : 12);
      if (len - (q + 31) >= part2) {
        memcpy(st->nonce + 8, p + q + 31, static_cast<size_t>(part2));
        cursor = q + 31 + part2 + 1;  // and its terminator
      }
    }
    if ((caps & CLIENT_PLUGIN_AUTH) && cursor < len) {
      const void *end = memchr(p + cursor, 0, static_cast<size_t>(len - cursor));
      uint64_t name_len = end ? static_cast<const unsigned char *>(end) - (p + cursor) : len - cursor;
      copy_name(st->plugin, sizeof st->plugin, p + cursor, name_len);
    }
  }
  conn->server_caps = caps;
  return 0;
}

int send_response(my_conn *conn, const auth_state *st, const char *user, const char *password,
                  const char *database) {
  uint8_t auth[32];
  size_t auth_len = auth_data(st, password, auth);
  size_t user_len = strlen(user);
  if (user_len > MAX_NAME_SENT) return my_fail(conn, MY_ERR_PROTOCOL, "username too long");
  bool with_db = has_text(database);
  size_t db_len = with_db ? strlen(database) : 0;
  if (db_len > MAX_NAME_SENT) return my_fail(conn, MY_ERR_PROTOCOL, "db name too long");

  // flags [4] | max packet [4] | charset [1] | zeros [23] | user NUL | auth length [1] | auth
  // | database NUL (only with one) | method name NUL
  unsigned char r[1024];
  size_t n = 0;
  wire_put_u32(r, CLIENT_FLAGS | (with_db ? CLIENT_CONNECT_WITH_DB : 0));
  wire_put_u32(r + 4, MAX_PACKET_SENT);
  r[8] = CHARSET_UTF8MB4_GENERAL_CI;
  memset(r + 9, 0, 23);
  n = 32;
  memcpy(r + n, user, user_len);
  n += user_len;
  r[n++] = 0;
  r[n++] = static_cast<unsigned char>(auth_len);
  memcpy(r + n, auth, auth_len);
  n += auth_len;
  if (with_db) {
    memcpy(r + n, database, db_len);
    n += db_len;
    r[n++] = 0;
  }
  size_t plugin_len = strlen(st->plugin);
  memcpy(r + n, st->plugin, plugin_len);
  n += plugin_len;
  r[n++] = 0;
  return pkt_write(conn, r, n);
}

// Full authentication: ask for the server's public key, then send the password encrypted with it.
int send_encrypted_password(my_conn *conn, const auth_state *st, const char *password) {
  const unsigned char request = 0x02;
  if (pkt_write(conn, &request, 1) < 0) return -1;
  if (pkt_read(conn) < 0) return -1;
  const unsigned char *p = conn->pkt;
  uint64_t len = conn->pkt_len;
  if (len < 2) {
    if (len == 1 && p[0] == 0xFF) return my_fail(conn, MY_ERR_PROTOCOL, "malformed error packet");
    return my_fail(conn, MY_ERR_PROTOCOL, "pubkey response invalid");
  }
  if (p[0] == 0xFF) return my_set_server_error(conn);
  if (p[0] != 0x01) return my_fail(conn, MY_ERR_PROTOCOL, "pubkey response invalid");
  // The PEM text runs to the end of the payload; the NUL the channel keeps after every payload
  // is part of what the PEM parser needs.
  unsigned char cipher[MY_RSA_MAX_BYTES];
  size_t cipher_len = 0;
  if (rsa_encrypt_password(conn, password, st->nonce, p + 1, static_cast<size_t>(len), cipher,
                           &cipher_len) < 0)
    return -1;
  return pkt_write(conn, cipher, cipher_len);
}

int authenticate(my_conn *conn, auth_state *st, const char *password) {
  for (;;) {
    if (pkt_read(conn) < 0) return -1;
    const unsigned char *p = conn->pkt;
    uint64_t len = conn->pkt_len;
    if (len == 0) return my_fail(conn, MY_ERR_PROTOCOL, "empty auth packet");
    if (p[0] == 0x00) return 0;
    if (p[0] == 0xFF) return my_set_server_error(conn);
    if (p[0] == 0xFE) {
      // AuthSwitchRequest: method name NUL | new nonce [20] (anything after ignored)
      const void *nul = memchr(p + 1, 0, static_cast<size_t>(len - 1));
      if (nul == nullptr) return my_fail(conn, MY_ERR_PROTOCOL, "unexpected auth packet");
      uint64_t name_len = static_cast<const unsigned char *>(nul) - (p + 1);
      copy_name(st->plugin, sizeof st->plugin, p + 1, name_len);
      if (len >= name_len + 22) memcpy(st->nonce, p + name_len + 2, 20);
      uint8_t auth[32];
      size_t auth_len = auth_data(st, password, auth);
      if (pkt_write(conn, auth, auth_len) < 0) return -1;
      continue;
    }
    if (len == 1 || p[0] != 0x01) return my_fail(conn, MY_ERR_PROTOCOL, "unexpected auth packet");
    if (p[1] == 3) continue;  // fast authentication succeeded; the OK follows
    if (p[1] != 4) return my_fail(conn, MY_ERR_PROTOCOL, "unexpected auth packet");
    if (send_encrypted_password(conn, st, password) < 0) return -1;
  }
}

}  // namespace

namespace {

int login(my_conn *conn, const char *user, const char *password, const char *database) {
  if (user == nullptr) user = "";
  auth_state st;
  memset(&st, 0, sizeof st);
  memcpy(st.plugin, "mysql_native_password", sizeof "mysql_native_password");
  if (read_handshake(conn, &st) < 0 || send_response(conn, &st, user, password, database) < 0 ||
      authenticate(conn, &st, password) < 0)
    return connect_failed(conn);
  return 0;
}

}  // namespace

int my_connect(my_conn *conn, const char *host, int32_t port, const char *user,
               const char *password, const char *database) {
  memset(conn, 0, sizeof *conn);
  conn->sock = NET_INVALID_SOCKET;
  net_startup();
  switch (net_connect_tcp(host, port, &conn->sock)) {
    case NET_CONNECTED:
      break;
    case NET_RESOLVE_FAILED:
      return my_fail(conn, MY_ERR_PROTOCOL, "cannot resolve host: %s", host);
    case NET_SOCKET_FAILED:
      return my_fail(conn, MY_ERR_PROTOCOL, "socket() failed");
    case NET_CONNECT_FAILED:
      return my_fail(conn, MY_ERR_PROTOCOL, "connect failed to %s", host);
  }
  return login(conn, user, password, database);
}

int my_login_on_socket(my_conn *conn, net_socket sock, const char *user, const char *password,
                       const char *database) {
  memset(conn, 0, sizeof *conn);
  conn->sock = sock;
  return login(conn, user, password, database);
}

void my_close(my_conn *conn) {
  if (conn->sock != NET_INVALID_SOCKET) {
    const unsigned char quit = 0x01;  // COM_QUIT; no answer is awaited
    conn->seq = 0;
    (void)pkt_write(conn, &quit, 1);
    net_close(conn->sock);
    conn->sock = NET_INVALID_SOCKET;
  }
  pkt_release(conn);
}
