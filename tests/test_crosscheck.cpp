// Checks that no test of ours can pass by agreeing with itself: the client's scrambles against
// OpenSSL, and the fake server against a real client library (MariaDB Connector/C), which must
// log in to it through every authentication path the fake plays for our client.
#include <gtest/gtest.h>

#include <mysql.h>

#include <string>

#include "mysql_client/mysql_client.h"
#include "tests/support/fake_server.h"

namespace {

TEST(Crosscheck, ScramblesMatchAnIndependentImplementation) {
  const std::string passwords[] = {
      "",
      "a",
      "secret",
      "p\xC3\xA4sswo\xCC\x88rd \xE2\x9C\x93",  // UTF-8 with a combining mark
      "\x01\x7F\x80\xFF tab\there",
      std::string(64, 'x'),                    // one SHA block exactly
      std::string(300, 'L'),
  };
  bytes zeros(20, 0), ff(20, 0xFF), counting(20), fixed = handshake_opts::default_nonce();
  for (int i = 0; i < 20; ++i) counting[i] = static_cast<uint8_t>(i);
  const bytes nonces[] = {zeros, ff, counting, fixed};
  for (const std::string &pw : passwords) {
    for (const bytes &nonce : nonces) {
      SCOPED_TRACE("password of " + std::to_string(pw.size()) + " bytes, nonce starting " +
                   std::to_string(nonce[1]));
      uint8_t native[20], sha2[32];
      scramble_native(pw.c_str(), nonce.data(), native);
      scramble_sha2(pw.c_str(), nonce.data(), sha2);
      EXPECT_EQ(bytes(native, native + 20), ref_scramble_native(pw, nonce));
      EXPECT_EQ(bytes(sha2, sha2 + 32), ref_scramble_sha2(pw, nonce));
    }
  }
}

const char *const USER = "app";
const char *const PASSWORD = "s3cret-\xC3\xA9";
const bytes NONCE = handshake_opts::default_nonce();
const bytes NONCE2{0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x07, 0x18, 0x29, 0x3A,
                   0x4B, 0x5C, 0x6D, 0x7E, 0x0F, 0x1E, 0x2D, 0x3C, 0x4B, 0x5A};

// What the fake saw, read by the test after fake_join.
struct login_record {
  handshake_response response;
  bool response_parsed = false;
  bytes switched_auth;
  bytes key_request;
  bytes plain;
  bool decrypted = false;
};

fake_step check_response(login_record *rec) {
  return call_step([rec](const std::vector<fake_packet> &got) {
    rec->response_parsed = parse_handshake_response(got.back().payload, &rec->response);
    return std::vector<fake_step>{};
  });
}

std::vector<fake_step> full_rsa_login(login_record *rec) {
  return {send_packet(0, handshake_v10(handshake_opts())),
          read_packet(),
          check_response(rec),
          send_packet(2, auth_more({4})),
          read_packet(),
          call_step([rec](const std::vector<fake_packet> &got) {
            rec->key_request = got.back().payload;
            return std::vector<fake_step>{};
          }),
          send_packet(4, auth_more(text_bytes(test_rsa_public_pem()))),
          read_packet(),
          call_step([rec](const std::vector<fake_packet> &got) {
            rec->decrypted = test_rsa_decrypt(got.back().payload, &rec->plain);
            bool right = rec->decrypted && rec->plain == xor_password(PASSWORD, NONCE);
            return std::vector<fake_step>{
                send_packet(6, right ? ok_packet() : err_packet(1045, "28000", "wrong password"))};
          })};
}

std::vector<fake_step> switch_to_native_login(login_record *rec) {
  return {send_packet(0, handshake_v10(handshake_opts())),
          read_packet(),
          check_response(rec),
          send_packet(2, auth_switch("mysql_native_password", NONCE2)),
          read_packet(),
          call_step([rec](const std::vector<fake_packet> &got) {
            rec->switched_auth = got.back().payload;
            bool right = rec->switched_auth == ref_scramble_native(PASSWORD, NONCE2);
            return std::vector<fake_step>{
                send_packet(4, right ? ok_packet() : err_packet(1045, "28000", "wrong password"))};
          })};
}

// Connector/C's caching_sha2_password plugin has no switch for asking the server for its key:
// without TLS, and without a key file (MYSQL_SERVER_PUBLIC_KEY), it sends the request (02) on its
// own after 01 04. That is the path checked here; TCP to 127.0.0.1 rather than "localhost",
// which it would take for the Unix socket.
TEST(Crosscheck, RealClientLogsInThroughTheFullRsaPath) {
  test_rsa_public_pem();
  login_record rec;
  fake_server fs;
  ASSERT_TRUE(fake_start(&fs, full_rsa_login(&rec)));
  MYSQL *m = mysql_init(nullptr);
  ASSERT_NE(m, nullptr);
  unsigned int timeout = 10;
  mysql_options(m, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
  mysql_options(m, MYSQL_OPT_READ_TIMEOUT, &timeout);
  mysql_options(m, MYSQL_OPT_WRITE_TIMEOUT, &timeout);
  MYSQL *got = mysql_real_connect(m, "127.0.0.1", USER, PASSWORD, nullptr,
                                  static_cast<unsigned int>(fs.port), nullptr, 0);
  EXPECT_NE(got, nullptr) << mysql_error(m);
  mysql_close(m);
  fake_join(&fs);
  EXPECT_EQ(fs.failure, "");
  ASSERT_TRUE(rec.response_parsed);
  EXPECT_EQ(rec.response.user, USER);
  EXPECT_EQ(rec.response.plugin, "caching_sha2_password");
  EXPECT_EQ(rec.response.auth, ref_scramble_sha2(PASSWORD, NONCE));
  EXPECT_EQ(rec.key_request, bytes{0x02});
  EXPECT_TRUE(rec.decrypted);
  EXPECT_EQ(rec.plain, xor_password(PASSWORD, NONCE));
}

TEST(Crosscheck, RealClientFollowsASwitchToNativePassword) {
  login_record rec;
  fake_server fs;
  ASSERT_TRUE(fake_start(&fs, switch_to_native_login(&rec)));
  MYSQL *m = mysql_init(nullptr);
  ASSERT_NE(m, nullptr);
  unsigned int timeout = 10;
  mysql_options(m, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
  mysql_options(m, MYSQL_OPT_READ_TIMEOUT, &timeout);
  MYSQL *got = mysql_real_connect(m, "127.0.0.1", USER, PASSWORD, "shop",
                                  static_cast<unsigned int>(fs.port), nullptr, 0);
  EXPECT_NE(got, nullptr) << mysql_error(m);
  mysql_close(m);
  fake_join(&fs);
  EXPECT_EQ(fs.failure, "");
  ASSERT_TRUE(rec.response_parsed);
  EXPECT_EQ(rec.response.database, "shop");
  EXPECT_EQ(rec.switched_auth, ref_scramble_native(PASSWORD, NONCE2));
}

// The same scripts, played to our client: what the real library does, ours must do too.
TEST(Crosscheck, OurClientPassesTheSameScripts) {
  test_rsa_public_pem();
  for (int which = 0; which < 2; ++which) {
    SCOPED_TRACE(which == 0 ? "full RSA path" : "switch to native");
    login_record rec;
    fake_server fs;
    ASSERT_TRUE(fake_start(&fs, which == 0 ? full_rsa_login(&rec) : switch_to_native_login(&rec)));
    my_conn c;
    EXPECT_EQ(my_connect(&c, "127.0.0.1", fs.port, USER, PASSWORD, which == 0 ? nullptr : "shop"), 0)
        << c.err_msg;
    my_close(&c);
    fake_join(&fs);
    EXPECT_EQ(fs.failure, "");
    ASSERT_TRUE(rec.response_parsed);
    EXPECT_EQ(rec.response.auth, ref_scramble_sha2(PASSWORD, NONCE));
  }
}

TEST(Crosscheck, RealClientIsRefusedOnAWrongPassword) {
  test_rsa_public_pem();
  login_record rec;
  fake_server fs;
  ASSERT_TRUE(fake_start(&fs, full_rsa_login(&rec)));
  MYSQL *m = mysql_init(nullptr);
  ASSERT_NE(m, nullptr);
  unsigned int timeout = 10;
  mysql_options(m, MYSQL_OPT_READ_TIMEOUT, &timeout);
  MYSQL *got = mysql_real_connect(m, "127.0.0.1", USER, "not the password", nullptr,
                                  static_cast<unsigned int>(fs.port), nullptr, 0);
  EXPECT_EQ(got, nullptr);
  EXPECT_EQ(mysql_errno(m), 1045u);
  EXPECT_STREQ(mysql_error(m), "wrong password");
  mysql_close(m);
  fake_join(&fs);
  EXPECT_TRUE(rec.decrypted);  // it got as far as the encrypted password, and that was checked
}

}  // namespace

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  mysql_library_init(0, nullptr, nullptr);
  int rc = RUN_ALL_TESTS();
  mysql_library_end();
  return rc;
}
