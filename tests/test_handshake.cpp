// Logins against the fake server: how handshakes of every shape are read, the response byte for
// byte, the authentication loop (switches, fast and full caching_sha2_password with a real RSA
// key), every refusal, and COM_QUIT.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "mysql_client/mysql_client.h"
#include "tests/support/fake_server.h"

namespace {

const char *const USER = "app";
const bytes NONCE = handshake_opts::default_nonce();

bytes nonce_with_zero_tail(size_t keep) {
  bytes n(NONCE.begin(), NONCE.begin() + keep);
  n.resize(20, 0);
  return n;
}

enum auth_kind { AUTH_NONE, AUTH_NATIVE, AUTH_SHA2 };

bytes auth_for(auth_kind kind, const char *password, const bytes &nonce) {
  if (kind == AUTH_NATIVE) return ref_scramble_native(password, nonce);
  if (kind == AUTH_SHA2) return ref_scramble_sha2(password, nonce);
  return {};
}

// The HandshakeResponse41 the client must send, laid out independently of the client.
bytes expected_response(const std::string &user, const bytes &auth, const char *database,
                        const std::string &plugin) {
  bool with_db = database != nullptr && database[0] != 0;
  bytes p;
  put_le(&p, with_db ? 0x000AA20D : 0x000AA205, 4);
  put_le(&p, 65536, 4);
  p.push_back(45);
  p.insert(p.end(), 23, 0);
  p.insert(p.end(), user.begin(), user.end());
  p.push_back(0);
  p.push_back(static_cast<uint8_t>(auth.size()));
  p.insert(p.end(), auth.begin(), auth.end());
  if (with_db) p = concat({p, text_bytes(database), {0}});
  return concat({p, text_bytes(plugin), {0}});
}

// A failed my_connect must leave nothing to release.
void expect_released(const my_conn &c) {
  EXPECT_EQ(c.sock, NET_INVALID_SOCKET);
  EXPECT_EQ(c.pkt, nullptr);
  EXPECT_EQ(c.pkt_cap, 0u);
  EXPECT_EQ(c.pkt_len, 0u);
}

// q, the offset just after the version's terminator, in a default handshake.
size_t after_version(const handshake_opts &o) { return 1 + o.version.size() + 1; }

struct variant_case {
  const char *name;
  std::function<void(handshake_opts &)> shape;
  const char *user;
  const char *password;
  const char *database;
  bytes nonce;         // what the client must have taken from the handshake
  auth_kind auth;
  std::string plugin;  // the method name the response must carry
  std::string version;
  uint32_t caps;
};

void no_change(handshake_opts &) {}

TEST(Handshake, VariantsAreReadAndAnsweredExactly) {
  const std::string long_version(100, 'v');
  const std::string long_plugin(70, 'p');
  const std::string user256(256, 'u');
  const std::string db256(256, 'd');
  const variant_case cases[] = {
      {"caching_sha2_password, auth-data length 21", no_change, USER, "secret", nullptr, NONCE,
       AUTH_SHA2, "caching_sha2_password", "8.0.36", FAKE_SERVER_CAPS},
      {"auth-data length 0 still gives 12 bytes", [](handshake_opts &o) { o.auth_len = 0; }, USER,
       "secret", nullptr, NONCE, AUTH_SHA2, "caching_sha2_password", "8.0.36", FAKE_SERVER_CAPS},
      {"auth-data length 20 gives 11 bytes",
       [](handshake_opts &o) {
         o.auth_len = 20;
         o.part2 = concat({bytes(o.nonce.begin() + 8, o.nonce.begin() + 19), {0}});
       },
       USER, "secret", nullptr, nonce_with_zero_tail(19), AUTH_SHA2, "caching_sha2_password", "8.0.36",
       FAKE_SERVER_CAPS},
      {"auth-data length 9 gives none and skips the terminator",
       [](handshake_opts &o) {
         o.auth_len = 9;
         o.part2 = bytes{0};
       },
       USER, "secret", nullptr, nonce_with_zero_tail(8), AUTH_SHA2, "caching_sha2_password", "8.0.36",
       FAKE_SERVER_CAPS},
      {"ends 15 bytes after the version", [](handshake_opts &o) { o.truncate_at = after_version(o) + 15; },
       USER, "secret", nullptr, nonce_with_zero_tail(8), AUTH_NATIVE, "mysql_native_password", "8.0.36",
       FAKE_SERVER_CAPS & 0xFFFF},
      {"ends one byte before the second nonce part",
       [](handshake_opts &o) { o.truncate_at = after_version(o) + 30; }, USER, "secret", nullptr,
       nonce_with_zero_tail(8), AUTH_NATIVE, "mysql_native_password", "8.0.36", FAKE_SERVER_CAPS & 0xFFFF},
      {"no plugin-auth capability: the name is not read",
       [](handshake_opts &o) { o.caps &= ~CAP_PLUGIN_AUTH; }, USER, "secret", nullptr, NONCE, AUTH_NATIVE,
       "mysql_native_password", "8.0.36", FAKE_SERVER_CAPS & ~CAP_PLUGIN_AUTH},
      {"method name running to the end of the payload", [](handshake_opts &o) { o.plugin_nul = false; },
       USER, "secret", nullptr, NONCE, AUTH_SHA2, "caching_sha2_password", "8.0.36", FAKE_SERVER_CAPS},
      {"100-character version keeps 63 and the fields after it",
       [&](handshake_opts &o) { o.version = long_version; }, USER, "secret", nullptr, NONCE, AUTH_SHA2,
       "caching_sha2_password", long_version.substr(0, 63), FAKE_SERVER_CAPS},
      {"unknown method gets the native scramble under its own name",
       [](handshake_opts &o) { o.plugin = "mystery_auth"; }, USER, "secret", nullptr, NONCE, AUTH_NATIVE,
       "mystery_auth", "8.0.36", FAKE_SERVER_CAPS},
      {"70-character method name is cut to 63", [&](handshake_opts &o) { o.plugin = long_plugin; }, USER,
       "secret", nullptr, NONCE, AUTH_NATIVE, long_plugin.substr(0, 63), "8.0.36", FAKE_SERVER_CAPS},
      {"native method", [](handshake_opts &o) { o.plugin = "mysql_native_password"; }, USER, "secret",
       nullptr, NONCE, AUTH_NATIVE, "mysql_native_password", "8.0.36", FAKE_SERVER_CAPS},
      {"empty password sends no auth data", no_change, USER, "", nullptr, NONCE, AUTH_NONE,
       "caching_sha2_password", "8.0.36", FAKE_SERVER_CAPS},
      {"null password sends no auth data", no_change, USER, nullptr, nullptr, NONCE, AUTH_NONE,
       "caching_sha2_password", "8.0.36", FAKE_SERVER_CAPS},
      {"database given", no_change, USER, "secret", "shop", NONCE, AUTH_SHA2, "caching_sha2_password",
       "8.0.36", FAKE_SERVER_CAPS},
      {"empty database is no database", no_change, USER, "secret", "", NONCE, AUTH_SHA2,
       "caching_sha2_password", "8.0.36", FAKE_SERVER_CAPS},
      {"user and database of 256 bytes", no_change, user256.c_str(), "secret", db256.c_str(), NONCE,
       AUTH_SHA2, "caching_sha2_password", "8.0.36", FAKE_SERVER_CAPS},
  };
  for (const variant_case &tc : cases) {
    SCOPED_TRACE(tc.name);
    handshake_opts o;
    tc.shape(o);
    fake_server fs;
    ASSERT_TRUE(fake_start(&fs, {send_packet(0, handshake_v10(o)), read_packet(), send_packet(2, ok_packet())}));
    my_conn c;
    memset(&c, 0xA5, sizeof c);  // my_connect must not rely on anything already in the record
    ASSERT_EQ(my_connect(&c, "127.0.0.1", fs.port, tc.user, tc.password, tc.database), 0) << c.err_msg;
    EXPECT_EQ(std::string(c.server_version), tc.version);
    EXPECT_EQ(c.server_caps, tc.caps);
    EXPECT_EQ(c.err_code, 0);
    EXPECT_STREQ(c.err_msg, "");
    EXPECT_EQ(c.cancel_ptr, nullptr);
    EXPECT_EQ(c.pkt_len, ok_packet().size());  // the OK packet stays in the buffer
    my_close(&c);
    fake_join(&fs);
    ASSERT_EQ(fs.packets.size(), 1u) << fs.failure;
    EXPECT_EQ(fs.packets[0].seq, 1);
    EXPECT_EQ(fs.packets[0].payload,
              expected_response(tc.user, auth_for(tc.auth, tc.password, tc.nonce), tc.database, tc.plugin));
  }
}

TEST(Handshake, ResponseFollowsTheHandshakesSequenceId) {
  fake_server fs;
  ASSERT_TRUE(fake_start(&fs, {send_packet(9, handshake_v10(handshake_opts())), read_packet(),
                               send_packet(11, ok_packet())}));
  my_conn c;
  ASSERT_EQ(my_connect(&c, "127.0.0.1", fs.port, USER, "secret", nullptr), 0) << c.err_msg;
  my_close(&c);
  fake_join(&fs);
  ASSERT_EQ(fs.packets.size(), 1u);
  EXPECT_EQ(fs.packets[0].seq, 10);
}

struct failure_case {
  const char *name;
  std::vector<fake_step> server;  // everything the fake does after the client connects
  const char *user;
  const char *database;
  int32_t code;
  std::string msg;
};

void run_failures(const std::vector<failure_case> &cases, const char *password = "secret") {
  for (const failure_case &tc : cases) {
    SCOPED_TRACE(tc.name);
    fake_server fs;
    ASSERT_TRUE(fake_start(&fs, tc.server));
    my_conn c;
    EXPECT_EQ(my_connect(&c, "127.0.0.1", fs.port, tc.user, password, tc.database), -1);
    EXPECT_EQ(c.err_code, tc.code);
    EXPECT_EQ(std::string(c.err_msg), tc.msg);
    expect_released(c);
    my_close(&c);  // harmless on a failed record
    expect_released(c);
    EXPECT_EQ(c.err_code, tc.code);  // and the error stays readable
  }
}

TEST(Handshake, BadHandshakesAndOverlongNamesFail) {
  handshake_opts v9;
  v9.protocol = 9;
  handshake_opts o;
  bytes hs = handshake_v10(o);
  bytes short14(hs.begin(), hs.begin() + after_version(o) + 14);
  std::string u257(257, 'u'), d257(257, 'd');
  run_failures({
      {"empty handshake", {send_packet(0, {})}, USER, nullptr, MY_ERR_PROTOCOL, "empty handshake"},
      {"error in place of the handshake", {send_packet(0, err_packet(1130, "HY000", "Host not allowed"))},
       USER, nullptr, 1130, "Host not allowed"},
      {"malformed error in place of the handshake", {send_packet(0, {0xFF, 0x6A})}, USER, nullptr,
       MY_ERR_PROTOCOL, "malformed error packet"},
      {"protocol version 9", {send_packet(0, handshake_v10(v9))}, USER, nullptr, MY_ERR_PROTOCOL,
       "unsupported protocol version"},
      {"version without its terminator", {send_packet(0, {10, '8', '.', '0'})}, USER, nullptr,
       MY_ERR_PROTOCOL, "short handshake"},
      {"only the protocol byte", {send_packet(0, {10})}, USER, nullptr, MY_ERR_PROTOCOL, "short handshake"},
      {"14 bytes after the version", {send_packet(0, short14)}, USER, nullptr, MY_ERR_PROTOCOL,
       "short handshake"},
      {"server closes before the handshake", {close_conn()}, USER, nullptr, MY_ERR_PROTOCOL,
       "socket read failed"},
      {"server closes inside the handshake", {send_raw({80, 0, 0, 0, 10, '8'}), close_conn()}, USER, nullptr,
       MY_ERR_PROTOCOL, "socket read failed"},
      {"user name of 257 bytes", {send_packet(0, hs)}, u257.c_str(), nullptr, MY_ERR_PROTOCOL,
       "username too long"},
      {"database name of 257 bytes", {send_packet(0, hs)}, USER, d257.c_str(), MY_ERR_PROTOCOL,
       "db name too long"},
  });
}

TEST(Handshake, NothingListeningFails) {
  int port;
  {
    fake_server fs;
    ASSERT_TRUE(fake_start(&fs, {}));
    port = fs.port;
  }  // the listener is gone: connects are refused
  my_conn c;
  EXPECT_EQ(my_connect(&c, "127.0.0.1", port, USER, "secret", nullptr), -1);
  EXPECT_EQ(c.err_code, MY_ERR_PROTOCOL);
  EXPECT_STREQ(c.err_msg, "connect failed to 127.0.0.1");
  expect_released(c);
}

TEST(Handshake, LocalhostReachesAServerOnIpv4Only) {
  fake_server fs;
  ASSERT_TRUE(fake_start(&fs, {send_packet(0, handshake_v10(handshake_opts())), read_packet(),
                               send_packet(2, ok_packet())}));
  my_conn c;
  EXPECT_EQ(my_connect(&c, "localhost", fs.port, USER, "secret", nullptr), 0) << c.err_msg;
  my_close(&c);
}

// A server that takes the connection and never speaks: my_connect has no time-out of its own, so
// it waits until the connection goes away, and then fails cleanly.
TEST(Handshake, ServerThatNeverSpeaksHoldsTheConnectUntilItGoes) {
  auto fs = std::make_unique<fake_server>();
  ASSERT_TRUE(fake_start(fs.get(), {}, FAKE_NEVER_ACCEPT));
  // On the heap: should the client never return, the thread is left behind with its record.
  my_conn *c = new my_conn;
  std::atomic<int> rc{1};
  std::thread client([&rc, c, port = fs->port] {
    rc.store(my_connect(c, "127.0.0.1", port, USER, "secret", nullptr));
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(rc.load(), 1);  // still waiting for the handshake
  fs.reset();  // closing the listener resets the connection still in its backlog
  for (int waited = 0; rc.load() == 1 && waited < 5000; waited += 10)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (rc.load() == 1) {
    client.detach();
    FAIL() << "my_connect still waiting after the server went away";
  }
  client.join();
  EXPECT_EQ(rc.load(), -1);
  EXPECT_EQ(c->err_code, MY_ERR_PROTOCOL);
  EXPECT_STREQ(c->err_msg, "socket read failed");
  expect_released(*c);
  delete c;
}

struct loop_case {
  const char *name;
  const char *password;
  std::vector<fake_step> after_response;
  int rc;
  int32_t code;
  std::string msg;
  std::vector<fake_packet> client_sends;  // what must follow the response, in order
};

const bytes NONCE2{0x70, 0x71, 0x72, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79,
                   0x7A, 0x7B, 0x7C, 0x7D, 0x7E, 0x60, 0x61, 0x62, 0x63, 0x64};

TEST(Handshake, AuthenticationLoop) {
  bytes nonce19(NONCE2.begin(), NONCE2.begin() + 19);
  const loop_case cases[] = {
      {"OK at once", "secret", {send_packet(2, ok_packet())}, 0, 0, "", {}},
      {"OK with anything after its first byte", "secret", {send_packet(2, {0x00, 0xFF, 0xFE})}, 0, 0, "", {}},
      {"fast authentication then OK", "secret",
       {send_packet(2, auth_more({3})), send_packet(3, ok_packet())}, 0, 0, "", {}},
      {"refused", "secret", {send_packet(2, err_packet(1045, "28000", "Access denied for user 'app'"))}, -1,
       1045, "Access denied for user 'app'", {}},
      {"empty packet", "secret", {send_packet(2, {})}, -1, MY_ERR_PROTOCOL, "empty auth packet", {}},
      {"lone 01", "secret", {send_packet(2, {0x01})}, -1, MY_ERR_PROTOCOL, "unexpected auth packet", {}},
      {"01 05", "secret", {send_packet(2, {0x01, 0x05})}, -1, MY_ERR_PROTOCOL, "unexpected auth packet", {}},
      {"unknown first byte", "secret", {send_packet(2, {0x02, 0x03})}, -1, MY_ERR_PROTOCOL,
       "unexpected auth packet", {}},
      {"switch to native with a nonce", "secret",
       {send_packet(2, auth_switch("mysql_native_password", NONCE2)), read_packet(),
        send_packet(4, ok_packet())},
       0, 0, "", {{3, ref_scramble_native("secret", NONCE2)}}},
      {"switch to native without a password sends an empty packet", "",
       {send_packet(2, auth_switch("mysql_native_password", NONCE2)), read_packet(),
        send_packet(4, ok_packet())},
       0, 0, "", {{3, {}}}},
      {"switch without a nonce keeps the handshake's", "secret",
       {send_packet(2, auth_switch("caching_sha2_password", {})), read_packet(), send_packet(4, ok_packet())},
       0, 0, "", {{3, ref_scramble_sha2("secret", NONCE)}}},
      {"switch with 20 nonce bytes and no terminator", "secret",
       {send_packet(2, auth_switch("caching_sha2_password", NONCE2, false)), read_packet(),
        send_packet(4, ok_packet())},
       0, 0, "", {{3, ref_scramble_sha2("secret", NONCE2)}}},
      {"switch with 19 nonce bytes keeps the old nonce", "secret",
       {send_packet(2, auth_switch("caching_sha2_password", nonce19, false)), read_packet(),
        send_packet(4, ok_packet())},
       0, 0, "", {{3, ref_scramble_sha2("secret", NONCE)}}},
      {"switch then fast authentication", "secret",
       {send_packet(2, auth_switch("caching_sha2_password", NONCE2)), read_packet(),
        send_packet(4, auth_more({3})), send_packet(5, ok_packet())},
       0, 0, "", {{3, ref_scramble_sha2("secret", NONCE2)}}},
      {"switch then refused", "secret",
       {send_packet(2, auth_switch("mysql_native_password", NONCE2)), read_packet(),
        send_packet(4, err_packet(1045, "28000", "no"))},
       -1, 1045, "no", {{3, ref_scramble_native("secret", NONCE2)}}},
      {"switch whose method name has no terminator", "secret",
       {send_packet(2, text_bytes("\xFEmysql_native_password"))}, -1, MY_ERR_PROTOCOL,
       "unexpected auth packet", {}},
  };
  for (const loop_case &tc : cases) {
    SCOPED_TRACE(tc.name);
    std::vector<fake_step> script{send_packet(0, handshake_v10(handshake_opts())), read_packet()};
    script.insert(script.end(), tc.after_response.begin(), tc.after_response.end());
    fake_server fs;
    ASSERT_TRUE(fake_start(&fs, script));
    my_conn c;
    EXPECT_EQ(my_connect(&c, "127.0.0.1", fs.port, USER, tc.password, nullptr), tc.rc);
    EXPECT_EQ(c.err_code, tc.code);
    EXPECT_EQ(std::string(c.err_msg), tc.msg);
    if (tc.rc != 0) expect_released(c);
    my_close(&c);
    fake_join(&fs);
    ASSERT_EQ(fs.packets.size(), 1 + tc.client_sends.size()) << fs.failure;
    for (size_t i = 0; i < tc.client_sends.size(); ++i) {
      EXPECT_EQ(fs.packets[1 + i].seq, tc.client_sends[i].seq);
      EXPECT_EQ(fs.packets[1 + i].payload, tc.client_sends[i].payload);
    }
    // Nothing else went out but COM_QUIT after a successful login.
    size_t sent = 0;
    for (const fake_packet &p : fs.packets) sent += 4 + p.payload.size();
    EXPECT_EQ(fs.received.size(), sent + (tc.rc == 0 ? 5 : 0));
  }
}

// What the fake learns from the encrypted password, read by the test after fake_join.
struct rsa_verdict {
  bool decrypted = false;
  bytes plain;
};

// The full caching_sha2_password path as a MySQL server plays it: 01 04, the key on request,
// then the password decrypted and compared; OK only when it matches.
std::vector<fake_step> full_auth_script(const std::string &password, rsa_verdict *v,
                                        bytes final_answer = ok_packet()) {
  return {send_packet(0, handshake_v10(handshake_opts())),
          read_packet(),
          send_packet(2, auth_more({4})),
          read_packet(),
          send_packet(4, auth_more(text_bytes(test_rsa_public_pem()))),
          read_packet(),
          call_step([password, v, final_answer](const std::vector<fake_packet> &got) {
            v->decrypted = test_rsa_decrypt(got.back().payload, &v->plain);
            bool right = v->decrypted && v->plain == xor_password(password, NONCE);
            return std::vector<fake_step>{
                send_packet(6, right ? final_answer : err_packet(1045, "28000", "wrong password"))};
          })};
}

TEST(Handshake, FullAuthenticationEncryptsThePasswordForTheServer) {
  struct rsa_case {
    const char *name;
    std::string password;
  };
  const rsa_case cases[] = {
      {"plain password", "secret"},
      {"empty password encrypts the terminator alone", ""},
      {"non-ASCII password", "p\xC3\xA4sswo\xCC\x88rd \xE2\x9C\x93"},
      {"213 bytes, the most OAEP under a 2048-bit key takes", std::string(213, 'k')},
  };
  test_rsa_public_pem();  // make the key before any client waits on it
  for (const rsa_case &tc : cases) {
    SCOPED_TRACE(tc.name);
    rsa_verdict v;
    fake_server fs;
    ASSERT_TRUE(fake_start(&fs, full_auth_script(tc.password, &v)));
    my_conn c;
    EXPECT_EQ(my_connect(&c, "127.0.0.1", fs.port, USER, tc.password.c_str(), nullptr), 0) << c.err_msg;
    my_close(&c);
    fake_join(&fs);
    ASSERT_EQ(fs.packets.size(), 3u) << fs.failure;
    EXPECT_EQ(fs.packets[1].seq, 3);
    EXPECT_EQ(fs.packets[1].payload, bytes{0x02});
    EXPECT_EQ(fs.packets[2].seq, 5);
    EXPECT_EQ(fs.packets[2].payload.size(), 256u);
    EXPECT_TRUE(v.decrypted);
    EXPECT_EQ(v.plain, xor_password(tc.password, NONCE));
  }
}

TEST(Handshake, FullAuthenticationRefusedAfterTheKey) {
  rsa_verdict v;
  fake_server fs;
  ASSERT_TRUE(fake_start(&fs, full_auth_script("secret", &v, err_packet(1045, "28000", "expired"))));
  my_conn c;
  EXPECT_EQ(my_connect(&c, "127.0.0.1", fs.port, USER, "secret", nullptr), -1);
  EXPECT_EQ(c.err_code, 1045);
  EXPECT_STREQ(c.err_msg, "expired");
  expect_released(c);
  fake_join(&fs);
  EXPECT_TRUE(v.decrypted);
}

// A 4104-bit RSA public key: one byte longer than the client's 512-byte ciphertext buffer.
const char *const RSA_4104_PEM =
    "-----BEGIN PUBLIC KEY-----\n"
    "MIICIzANBgkqhkiG9w0BAQEFAAOCAhAAMIICCwKCAgIAth5hEslHWDK0y2DJVd2W\n"
    "Ix5YjUz75bq+qcP1bt50rm0s8dcP2JSjDgRAFSgoiC/hPAYy+tAvBGveqn/usDk3\n"
    "Rcb11f8J9XnsandNC/moD1xDNInQZTJf88XC2OVS8RV3fJUOUj0WeSeqBNi3QNEF\n"
    "ICCrw0rD+hS8nmtm/Y6SIHKT7PhkXpTLctEbwHwezR9j6+MTmh8hV95wIhNxS/vr\n"
    "igzU2rfmutcbtkKsRwRP7d0wIQlRXlfBb8E20H43ntVZRQxv7v9otEQCzEFIRgKo\n"
    "P03P/Kna5kEL9NCNVWGZ2AT3R9U37d1m6GM/apFFurpdww8KcT/UeroqIivBIl+W\n"
    "oxVH/Ew3QZqUEy0CuoPfK7De2N1YUzWUVdwUGLuvgfFMIrUut4TJQoNaPnfCKZGm\n"
    "vcV+AXIye5uX4SqwY2QJKAJbCqmOywko8hp32Ky9Fgz8u7w7KEiI/WCfCD3Z8+BQ\n"
    "vM8JwiEZCUUUz+SH7hBoo3ZM/XSxceUrx1D6cYmJCJPtI8lYz8FHBcFYQ9uK2QGX\n"
    "nPmKoZGI4COk3Ss8CxPG0H9r+TxJkeOxY5LBi45Gx7UpcNNMvWufKDbO9SF6dcHC\n"
    "RyXBYjSD7pPHB+qApEyGwy71E62ATVIZdNPL+qwRbRT2M/9MevzIWp4+B3GiwxRV\n"
    "fkvgnl6FFsxFjrwpPBvePK+BAgMBAAE=\n"
    "-----END PUBLIC KEY-----\n";

TEST(Handshake, FullAuthenticationFailures) {
  test_rsa_public_pem();
  auto after_key_request = [](bytes answer) {
    return std::vector<fake_step>{send_packet(0, handshake_v10(handshake_opts())), read_packet(),
                                  send_packet(2, auth_more({4})), read_packet(), send_packet(4, answer)};
  };
  bytes rsa_key = auth_more(text_bytes(test_rsa_public_pem()));
  bytes ec_key = auth_more(text_bytes(test_ec_public_pem()));
  std::string pw511(511, 'p'), pw512(512, 'p'), pw214(214, 'p');
  struct case_t {
    const char *name;
    bytes answer;
    std::string password;
    int32_t code;
    const char *msg;
  };
  const case_t cases[] = {
      {"error with state", err_packet(1045, "28000", "Access denied"), "secret", 1045, "Access denied"},
      {"lone FF", {0xFF}, "secret", MY_ERR_PROTOCOL, "malformed error packet"},
      {"FF with a code only", {0xFF, 0x15}, "secret", MY_ERR_PROTOCOL, "malformed error packet"},
      {"lone 01", {0x01}, "secret", MY_ERR_PROTOCOL, "pubkey response invalid"},
      {"empty", {}, "secret", MY_ERR_PROTOCOL, "pubkey response invalid"},
      {"02 and a key", concat({{0x02}, text_bytes(test_rsa_public_pem())}), "secret", MY_ERR_PROTOCOL,
       "pubkey response invalid"},
      {"not a key", auth_more(text_bytes("-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n")),
       "secret", MY_ERR_CRYPTO, "server pubkey parse failed"},
      {"EC key", ec_key, "secret", MY_ERR_CRYPTO, "server key not RSA"},
      {"214-byte password is one over what OAEP takes", rsa_key, pw214, MY_ERR_CRYPTO, "rsa encrypt failed"},
      {"511-byte password reaches the encryption", rsa_key, pw511, MY_ERR_CRYPTO, "rsa encrypt failed"},
      {"512-byte password", rsa_key, pw512, MY_ERR_CRYPTO, "password too long"},
      {"key over 4096 bits", auth_more(text_bytes(RSA_4104_PEM)), "secret", MY_ERR_CRYPTO, "rsa out too small"},
  };
  for (const case_t &tc : cases) {
    SCOPED_TRACE(tc.name);
    fake_server fs;
    ASSERT_TRUE(fake_start(&fs, after_key_request(tc.answer)));
    my_conn c;
    EXPECT_EQ(my_connect(&c, "127.0.0.1", fs.port, USER, tc.password.c_str(), nullptr), -1);
    EXPECT_EQ(c.err_code, tc.code);
    EXPECT_STREQ(c.err_msg, tc.msg);
    expect_released(c);
    fake_join(&fs);
    EXPECT_EQ(fs.packets.size(), 2u) << fs.failure;  // nothing was sent after the key request
    EXPECT_TRUE(fs.client_closed);
  }
}

TEST(Handshake, CloseSendsQuitOnceAndKeepsTheError) {
  fake_server fs;
  ASSERT_TRUE(fake_start(&fs, {send_packet(0, handshake_v10(handshake_opts())), read_packet(),
                               send_packet(2, ok_packet())}));
  my_conn c;
  ASSERT_EQ(my_connect(&c, "127.0.0.1", fs.port, USER, "secret", nullptr), 0) << c.err_msg;
  my_fail(&c, 1146, "kept for the caller");
  my_close(&c);
  expect_released(c);
  EXPECT_STREQ(c.server_version, "8.0.36");
  EXPECT_EQ(c.err_code, 1146);
  EXPECT_STREQ(c.err_msg, "kept for the caller");
  my_close(&c);
  expect_released(c);
  fake_join(&fs);
  EXPECT_EQ(fs.failure, "");
  EXPECT_TRUE(fs.client_closed);
  ASSERT_EQ(fs.packets.size(), 1u);
  bytes response = frame(1, fs.packets[0].payload);
  EXPECT_EQ(fs.received, concat({response, {0x01, 0x00, 0x00, 0x00, 0x01}}));
}

}  // namespace
