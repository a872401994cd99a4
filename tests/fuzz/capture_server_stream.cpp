// Records seeds for fuzz_protocol: the bytes a real server sends to this client during one login
// and one statement. The client runs on one end of a socket pair; a relay thread joins the other
// end to a TCP connection to the test server and keeps a copy of everything coming back. The
// copy is the seed, ready for the fuzz target to play back.
//
// Re-capturing (the nonces and the server's version text change with each run; nothing else
// should):
//
//   scripts/test-server.sh start && . build/test-server/env
//   cmake --build build/asan --target capture_server_stream
//   build/asan/tests/fuzz/capture_server_stream tests/fuzz/corpus/protocol
//
// The test server is MariaDB, which has no caching_sha2_password; the seeds for that method and
// for a method switch are assembled here from a captured handshake (its method name replaced),
// hand-made authentication packets (with a freshly generated RSA key), and a captured statement
// answer. The fuzz "server" never checks a password, so the scrambles in the stream need not
// match anything.
//
// The tool uses a scratch database of its own and drops it when done.
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/pk.h>
#include <mbedtls/rsa.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "mysql_client/mysql_client.h"

namespace {

typedef std::vector<uint8_t> bytes;

const char *const SCRATCH_DB = "mdump_fuzz_capture";

struct server_address {
  std::string host;
  int port = 0;
  std::string user;
  std::string password;
};

// What the server sent: up to the end of the login, and after it.
struct capture {
  bytes login;
  bytes rest;
};

struct relay_state {
  std::mutex lock;
  bytes from_server;
};

bool send_all(int fd, const uint8_t *p, size_t n) {
  while (n > 0) {
    ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    p += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

// Copies bytes both ways between the client's end and the server until the client closes its
// end. The server's bytes are kept before they are passed on, so by the time the client has read
// something it is already in the record.
void relay(int client_fd, int server_fd, relay_state *st) {
  bool server_open = true;
  for (;;) {
    pollfd p[2];
    p[0].fd = client_fd;
    p[0].events = POLLIN;
    p[0].revents = 0;
    p[1].fd = server_open ? server_fd : -1;
    p[1].events = POLLIN;
    p[1].revents = 0;
    if (poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    uint8_t buf[65536];
    if (p[1].revents != 0) {
      ssize_t n = recv(server_fd, buf, sizeof buf, 0);
      if (n > 0) {
        {
          std::lock_guard<std::mutex> hold(st->lock);
          st->from_server.insert(st->from_server.end(), buf, buf + n);
        }
        if (!send_all(client_fd, buf, static_cast<size_t>(n))) break;
      } else if (n == 0 || errno != EINTR) {
        server_open = false;
        shutdown(client_fd, SHUT_WR);
      }
    }
    if (p[0].revents != 0) {
      ssize_t n = recv(client_fd, buf, sizeof buf, 0);
      if (n == 0) break;
      if (n < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (server_open && !send_all(server_fd, buf, static_cast<size_t>(n))) server_open = false;
    }
  }
  close(client_fd);
  close(server_fd);
}

void drain_result(my_conn *conn) {
  my_meta meta;
  if (my_read_meta(conn, &meta) != 0) return;
  std::vector<my_cell> cells(static_cast<size_t>(meta.count));
  while (my_read_row(conn, &meta, cells.data()) == 1) {
  }
  my_meta_free(&meta);
}

// One login and, when it succeeds and `sql` is given, one statement read to its end.
bool record(const server_address &srv, const char *password, const char *database, const char *sql,
            capture *out) {
  net_socket tcp;
  if (net_connect_tcp(srv.host.c_str(), srv.port, &tcp) != NET_CONNECTED) {
    fprintf(stderr, "capture: cannot connect to %s:%d\n", srv.host.c_str(), srv.port);
    return false;
  }
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) {
    perror("capture: socketpair");
    net_close(tcp);
    return false;
  }
  relay_state st;
  std::thread relay_thread(relay, pair[1], tcp, &st);

  my_conn conn;
  int rc = my_login_on_socket(&conn, pair[0], srv.user.c_str(), password, database);
  size_t login_end;
  {
    std::lock_guard<std::mutex> hold(st.lock);
    login_end = st.from_server.size();
  }
  if (rc == 0 && sql != nullptr) {
    int q = my_query(&conn, sql);
    if (q == 1) drain_result(&conn);
    if (q < 0) fprintf(stderr, "capture: (expected for error seeds) %s\n", conn.err_msg);
  } else if (rc != 0) {
    fprintf(stderr, "capture: login refused: %s\n", conn.err_msg);
  }
  my_close(&conn);
  relay_thread.join();

  out->login.assign(st.from_server.begin(), st.from_server.begin() + static_cast<long>(login_end));
  out->rest.assign(st.from_server.begin() + static_cast<long>(login_end), st.from_server.end());
  return true;
}

bool run(const server_address &srv, const char *sql) {
  my_conn conn;
  if (my_connect(&conn, srv.host.c_str(), srv.port, srv.user.c_str(), srv.password.c_str(),
                 nullptr) != 0) {
    fprintf(stderr, "capture: connect: %s\n", conn.err_msg);
    return false;
  }
  int q = my_query(&conn, sql);
  if (q == 1) drain_result(&conn);
  if (q < 0) fprintf(stderr, "capture: %s: %s\n", sql, conn.err_msg);
  my_close(&conn);
  return q >= 0;
}

bool write_seed(const std::string &dir, const char *name, const bytes &a, const bytes &b = {}) {
  std::string path = dir + "/" + name;
  FILE *f = fopen(path.c_str(), "wb");
  if (f == nullptr) {
    perror(path.c_str());
    return false;
  }
  bool ok = fwrite(a.data(), 1, a.size(), f) == a.size() && fwrite(b.data(), 1, b.size(), f) == b.size();
  ok = fclose(f) == 0 && ok;
  printf("%-36s %6zu bytes\n", name, a.size() + b.size());
  return ok;
}

void append_packet(bytes *out, uint8_t seq, const bytes &payload) {
  size_t n = payload.size();
  out->push_back(static_cast<uint8_t>(n));
  out->push_back(static_cast<uint8_t>(n >> 8));
  out->push_back(static_cast<uint8_t>(n >> 16));
  out->push_back(seq);
  out->insert(out->end(), payload.begin(), payload.end());
}

bytes text_bytes(const char *s) { return bytes(s, s + strlen(s)); }

// The captured handshake with its method name replaced: the name is the last field, from the
// NUL that ends auth-plugin-data part 2 to the payload's end.
bool handshake_naming(const capture &real, const char *method, bytes *out) {
  const bytes &s = real.login;
  if (s.size() < 4) return false;
  size_t len = s[0] | s[1] << 8 | s[2] << 16;
  if (s.size() < 4 + len || len < 2) return false;
  bytes payload(s.begin() + 4, s.begin() + 4 + static_cast<long>(len));
  // version NUL | 31 fixed bytes | part 2 (12 bytes) NUL | method NUL
  const uint8_t *nul = static_cast<const uint8_t *>(memchr(payload.data() + 1, 0, len - 1));
  if (nul == nullptr) return false;
  size_t method_at = static_cast<size_t>(nul - payload.data()) + 1 + 31 + 13;
  if (method_at > payload.size()) return false;
  payload.resize(method_at);
  bytes name = text_bytes(method);
  payload.insert(payload.end(), name.begin(), name.end());
  payload.push_back(0);
  append_packet(out, 0, payload);
  return true;
}

// A fresh RSA public key in PEM, as a caching_sha2_password server hands it out.
bool make_public_key_pem(std::string *pem) {
  mbedtls_entropy_context entropy;
  mbedtls_ctr_drbg_context drbg;
  mbedtls_pk_context pk;
  mbedtls_entropy_init(&entropy);
  mbedtls_ctr_drbg_init(&drbg);
  mbedtls_pk_init(&pk);
  unsigned char text[4096];
  bool ok = mbedtls_ctr_drbg_seed(&drbg, mbedtls_entropy_func, &entropy, nullptr, 0) == 0 &&
            mbedtls_pk_setup(&pk, mbedtls_pk_info_from_type(MBEDTLS_PK_RSA)) == 0 &&
            mbedtls_rsa_gen_key(mbedtls_pk_rsa(pk), mbedtls_ctr_drbg_random, &drbg, 2048, 65537) == 0 &&
            mbedtls_pk_write_pubkey_pem(&pk, text, sizeof text) == 0;
  if (ok) pem->assign(reinterpret_cast<const char *>(text));
  mbedtls_pk_free(&pk);
  mbedtls_ctr_drbg_free(&drbg);
  mbedtls_entropy_free(&entropy);
  return ok;
}

const bytes OK_PACKET = {0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00};

// ERR 1045, SQL state 28000, as servers refuse a password.
bytes access_denied() {
  bytes p = {0xFF, 0x15, 0x04};
  bytes text = text_bytes("#28000Access denied for user 'user'@'localhost' (using password: YES)");
  p.insert(p.end(), text.begin(), text.end());
  return p;
}

bool assembled_seeds(const std::string &dir, const capture &real) {
  std::string pem;
  if (!make_public_key_pem(&pem)) {
    fprintf(stderr, "capture: RSA key generation failed\n");
    return false;
  }
  bytes key_answer = {0x01};
  key_answer.insert(key_answer.end(), pem.begin(), pem.end());

  // Sequence ids go on from the handshake's 0 as both sides alternate; the client's packets
  // (response 1, key request 3, encrypted password 5) are not in the stream.
  bytes sha2_full, sha2_fast, sha2_refused, switched;
  if (!handshake_naming(real, "caching_sha2_password", &sha2_full)) {
    fprintf(stderr, "capture: the captured handshake has an unexpected layout\n");
    return false;
  }
  sha2_fast = sha2_refused = sha2_full;
  append_packet(&sha2_full, 2, {0x01, 0x04});
  append_packet(&sha2_full, 4, key_answer);
  append_packet(&sha2_full, 6, OK_PACKET);

  append_packet(&sha2_fast, 2, {0x01, 0x03});
  append_packet(&sha2_fast, 3, OK_PACKET);

  append_packet(&sha2_refused, 2, {0x01, 0x04});
  append_packet(&sha2_refused, 4, key_answer);
  append_packet(&sha2_refused, 6, access_denied());

  // A server that starts with caching_sha2_password and asks for the native method with a new
  // nonce (20 bytes and the NUL servers add).
  handshake_naming(real, "caching_sha2_password", &switched);
  bytes request = {0xFE};
  bytes name = text_bytes("mysql_native_password");
  request.insert(request.end(), name.begin(), name.end());
  request.push_back(0);
  for (uint8_t i = 0; i < 20; ++i) request.push_back(static_cast<uint8_t>(0x21 + i * 3));
  request.push_back(0);
  append_packet(&switched, 2, request);
  append_packet(&switched, 4, OK_PACKET);

  return write_seed(dir, "sha2_full_auth_select.bin", sha2_full, real.rest) &&
         write_seed(dir, "sha2_fast_auth_select.bin", sha2_fast, real.rest) &&
         write_seed(dir, "sha2_full_auth_refused.bin", sha2_refused) &&
         write_seed(dir, "auth_switch_to_native_select.bin", switched, real.rest);
}

const char *const SETUP[] = {
    "DROP DATABASE IF EXISTS mdump_fuzz_capture",
    "CREATE DATABASE mdump_fuzz_capture CHARACTER SET utf8mb4",
    "CREATE TABLE mdump_fuzz_capture.t_values (id INT PRIMARY KEY, name VARCHAR(32) NULL,"
    " note TEXT, data VARBINARY(16), amount DECIMAL(10,2), made DATETIME, flags BIT(3))",
    "INSERT INTO mdump_fuzz_capture.t_values VALUES"
    " (1, 'plain', '', x'00FF7F', 12.50, '2024-01-02 03:04:05', b'101'),"
    " (2, NULL, 'it''s \"quoted\"\\n\\\\', NULL, -0.01, NULL, NULL),"
    " (3, 'ünïcødé', REPEAT('x', 300), x'', 0, '1999-12-31 23:59:59', b'000')",
    "CREATE TABLE mdump_fuzz_capture.t_empty (k BIGINT UNSIGNED, blob_col LONGBLOB)",
};

struct statement_seed {
  const char *name;
  const char *sql;
};

const statement_seed STATEMENTS[] = {
    {"native_select_values.bin", "SELECT * FROM t_values ORDER BY id"},
    {"native_select_empty.bin", "SELECT * FROM t_empty"},
    {"native_select_expressions.bin",
     "SELECT 1 AS a, 'two' AS b, NULL AS c, 3.5 AS d, X'DEAD00BEEF' AS e, '' AS f,"
     " CAST(NULL AS BINARY) AS g, -9223372036854775808 AS h, REPEAT('z', 70) AS i"},
    {"native_show_tables.bin", "SHOW TABLES"},
    {"native_show_create_table.bin", "SHOW CREATE TABLE t_values"},
    {"native_set_ok.bin", "SET NAMES utf8mb4"},
    {"native_error_statement.bin", "SELECT * FROM no_such_table"},
    // Fails after the column definitions: the error comes in place of a row.
    {"native_error_in_rows.bin", "SELECT id, (SELECT 1 UNION SELECT 2) AS two FROM t_values"},
};

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s OUTPUT_DIR   (with MDUMP_TEST_HOST/PORT/USER/PASSWORD set)\n",
            argv[0]);
    return 2;
  }
  const char *host = getenv("MDUMP_TEST_HOST");
  const char *port = getenv("MDUMP_TEST_PORT");
  const char *user = getenv("MDUMP_TEST_USER");
  const char *password = getenv("MDUMP_TEST_PASSWORD");
  if (host == nullptr || port == nullptr || user == nullptr || password == nullptr) {
    fprintf(stderr, "capture: MDUMP_TEST_* unset: source build/test-server/env first\n");
    return 2;
  }
  server_address srv;
  srv.host = host;
  srv.port = atoi(port);
  srv.user = user;
  srv.password = password;
  std::string dir = argv[1];
  net_startup();

  for (const char *sql : SETUP) {
    if (!run(srv, sql)) return 1;
  }
  bool ok = true;
  capture values;
  for (const statement_seed &s : STATEMENTS) {
    capture c;
    if (!record(srv, password, SCRATCH_DB, s.sql, &c) || !write_seed(dir, s.name, c.login, c.rest)) {
      ok = false;
      break;
    }
    if (strcmp(s.name, "native_select_values.bin") == 0) values = c;
  }
  capture refused, unknown_db;
  ok = ok && record(srv, "not-the-password", SCRATCH_DB, nullptr, &refused) &&
       write_seed(dir, "native_login_refused.bin", refused.login) &&
       record(srv, password, "mdump_no_such_database", nullptr, &unknown_db) &&
       write_seed(dir, "native_login_unknown_database.bin", unknown_db.login);
  ok = ok && assembled_seeds(dir, values);
  run(srv, "DROP DATABASE IF EXISTS mdump_fuzz_capture");
  return ok ? 0 : 1;
}
