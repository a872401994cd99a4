// The fake server against plain sockets: it must send exactly what the script says, record
// exactly what the client sent, and never hold a test hostage. Every protocol test leans on it.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include "tests/support/fake_server.h"

namespace {

typedef std::chrono::steady_clock steady;

long ms_since(steady::time_point t0) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - t0).count());
}

// A client socket whose reads give up after two seconds, so a silent fake cannot hang the test.
int connect_loopback(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  timeval tv{2, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Reads until n bytes or the peer closes or the read times out; returns what came.
bytes read_n(int fd, size_t n) {
  bytes out(n);
  size_t got = 0;
  while (got < n) {
    ssize_t r = recv(fd, out.data() + got, n - got, 0);
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  out.resize(got);
  return out;
}

void send_bytes(int fd, const bytes &b) {
  ASSERT_EQ(send(fd, b.data(), b.size(), MSG_NOSIGNAL), static_cast<ssize_t>(b.size()));
}

// 1 when a read would return at once (data or end of stream), 0 when nothing comes in ms.
int readable_within(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, ms);
}

TEST(FakeServer, SendsPacketsAndRawBytesExactly) {
  fake_server fs;
  ASSERT_TRUE(fake_start(&fs, {send_packet(3, {1, 2, 3}), send_raw({9, 8}, 3), send_packet(255, {})}));
  int fd = connect_loopback(fs.port);
  ASSERT_GE(fd, 0);
  bytes want{3, 0, 0, 3, 1, 2, 3, 9, 8, 9, 8, 9, 8, 0, 0, 0, 255};
  EXPECT_EQ(read_n(fd, want.size()), want);
  EXPECT_EQ(readable_within(fd, 100), 0);  // and nothing more
  close(fd);
  fake_join(&fs);
  EXPECT_EQ(fs.failure, "");
  EXPECT_TRUE(fs.client_closed);
}

TEST(FakeServer, RecordsPacketsAndEveryByteIncludingAfterTheScript) {
  fake_server fs;
  ASSERT_TRUE(fake_start(&fs, {read_packet(), read_packet()}));
  int fd = connect_loopback(fs.port);
  ASSERT_GE(fd, 0);
  bytes all = concat({frame(5, text_bytes("abc")), frame(6, {}), text_bytes("xyz")});
  // Split inside the first header to check the fake assembles it.
  send_bytes(fd, bytes(all.begin(), all.begin() + 2));
  usleep(50 * 1000);
  send_bytes(fd, bytes(all.begin() + 2, all.end()));
  close(fd);
  fake_join(&fs);
  EXPECT_EQ(fs.failure, "");
  ASSERT_EQ(fs.packets.size(), 2u);
  EXPECT_EQ(fs.packets[0].seq, 5);
  EXPECT_EQ(fs.packets[0].payload, text_bytes("abc"));
  EXPECT_EQ(fs.packets[1].seq, 6);
  EXPECT_EQ(fs.packets[1].payload, bytes{});
  EXPECT_EQ(fs.received, all);
  EXPECT_TRUE(fs.client_closed);
}

TEST(FakeServer, CallStepAnswersFromWhatItRead) {
  fake_server fs;
  auto echo_reversed = [](const std::vector<fake_packet> &got) {
    bytes p(got.back().payload.rbegin(), got.back().payload.rend());
    return std::vector<fake_step>{send_packet(static_cast<uint8_t>(got.back().seq + 1), p)};
  };
  ASSERT_TRUE(fake_start(&fs, {read_packet(), call_step(echo_reversed), read_packet()}));
  int fd = connect_loopback(fs.port);
  ASSERT_GE(fd, 0);
  send_bytes(fd, frame(0, {1, 2, 3, 4}));
  EXPECT_EQ(read_n(fd, 8), (bytes{4, 0, 0, 1, 4, 3, 2, 1}));
  send_bytes(fd, frame(2, {7}));
  close(fd);
  fake_join(&fs);
  EXPECT_EQ(fs.failure, "");
  ASSERT_EQ(fs.packets.size(), 2u);
  EXPECT_EQ(fs.packets[1].payload, bytes{7});
}

TEST(FakeServer, PauseDelaysTheNextStep) {
  fake_server fs;
  ASSERT_TRUE(fake_start(&fs, {send_raw({1}), pause_ms(300), send_raw({2})}));
  int fd = connect_loopback(fs.port);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(read_n(fd, 1), bytes{1});
  steady::time_point t0 = steady::now();
  EXPECT_EQ(read_n(fd, 1), bytes{2});
  EXPECT_GE(ms_since(t0), 250);
  close(fd);
}

TEST(FakeServer, SilentHoldsTheConnectionOpenAndStillRecords) {
  fake_server fs;
  ASSERT_TRUE(fake_start(&fs, {send_raw({1}), go_silent(), send_raw({2})}));
  int fd = connect_loopback(fs.port);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(read_n(fd, 1), bytes{1});
  EXPECT_EQ(readable_within(fd, 300), 0);  // neither data nor end of stream
  send_bytes(fd, text_bytes("quit"));
  close(fd);
  fake_join(&fs);
  EXPECT_EQ(fs.failure, "");
  EXPECT_EQ(fs.received, text_bytes("quit"));
  EXPECT_TRUE(fs.client_closed);
}

TEST(FakeServer, CloseCutsAPacketShort) {
  fake_server fs;
  ASSERT_TRUE(fake_start(&fs, {send_raw({10, 0, 0, 0, 1, 2}), close_conn()}));
  int fd = connect_loopback(fs.port);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(read_n(fd, 16), (bytes{10, 0, 0, 0, 1, 2}));
  char c;
  EXPECT_EQ(recv(fd, &c, 1, 0), 0);  // end of stream, not a time-out
  close(fd);
  fake_join(&fs);
  EXPECT_EQ(fs.failure, "");
}

TEST(FakeServer, WaitsAreBounded) {
  struct wait_case {
    const char *name;
    bytes client_sends;
    bool client_closes;
    std::string failure_contains;
  };
  const wait_case cases[] = {
      {"quiet client", {}, false, "step 0: read header: timed out after receiving 0 of 4 bytes"},
      {"client closes inside the header", {2, 0}, true, "step 0: read header: client closed after 2 of 4 bytes"},
      {"client closes inside the payload", {9, 0, 0, 0, 1}, true,
       "step 0: read payload: client closed after 1 of 9 bytes"},
  };
  for (const wait_case &tc : cases) {
    SCOPED_TRACE(tc.name);
    fake_server fs;
    fs.wait_ms = 200;
    ASSERT_TRUE(fake_start(&fs, {read_packet(), send_raw({1})}));
    int fd = connect_loopback(fs.port);
    ASSERT_GE(fd, 0);
    if (!tc.client_sends.empty()) send_bytes(fd, tc.client_sends);
    if (tc.client_closes) close(fd);
    steady::time_point t0 = steady::now();
    fake_join(&fs);
    EXPECT_LT(ms_since(t0), 3000);
    EXPECT_EQ(fs.failure, tc.failure_contains);
    EXPECT_EQ(fs.client_closed, tc.client_closes);
    EXPECT_EQ(fs.received, tc.client_sends);
    if (!tc.client_closes) close(fd);
  }
}

TEST(FakeServer, StopEndsAScriptNobodyConnectedTo) {
  steady::time_point t0 = steady::now();
  {
    fake_server fs;  // default wait of five seconds for the accept
    ASSERT_TRUE(fake_start(&fs, {send_raw({1})}));
  }
  EXPECT_LT(ms_since(t0), 2000);
}

TEST(FakeServer, NeverAcceptLeavesConnectsUnanswered) {
  fake_server fs;
  ASSERT_TRUE(fake_start(&fs, {send_raw({1})}, FAKE_NEVER_ACCEPT));
  int fd = connect_loopback(fs.port);
  ASSERT_GE(fd, 0);  // the kernel completes the connect from the backlog
  EXPECT_EQ(readable_within(fd, 300), 0);
  close(fd);
}

struct bytes_case {
  const char *name;
  bytes got;
  bytes want;
};

void expect_bytes(const std::vector<bytes_case> &cases) {
  for (const bytes_case &tc : cases) {
    SCOPED_TRACE(tc.name);
    EXPECT_EQ(tc.got, tc.want);
  }
}

TEST(FakeServerBuilders, LengthEncodedIntegersAtEveryBoundary) {
  expect_bytes({
      {"250", lenenc_int(250), {0xFA}},
      {"251", lenenc_int(251), {0xFC, 0xFB, 0x00}},
      {"0xFFFF", lenenc_int(0xFFFF), {0xFC, 0xFF, 0xFF}},
      {"0x10000", lenenc_int(0x10000), {0xFD, 0x00, 0x00, 0x01}},
      {"0xFFFFFF", lenenc_int(0xFFFFFF), {0xFD, 0xFF, 0xFF, 0xFF}},
      {"0x1000000", lenenc_int(0x1000000), {0xFE, 0, 0, 0, 1, 0, 0, 0, 0}},
      {"string", lenenc_str(std::string("ab")), {2, 'a', 'b'}},
  });
}

TEST(FakeServerBuilders, StandardPacketsMatchTheWireFormat) {
  expect_bytes({
      {"frame", frame(7, {0xAA}), {1, 0, 0, 7, 0xAA}},
      {"OK", ok_packet(), {0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00}},
      {"OK with counts", ok_packet(300, 5, 0x22, 1), {0x00, 0xFC, 0x2C, 0x01, 0x05, 0x22, 0x00, 0x01, 0x00}},
      {"ERR with state", err_packet(1045, "28000", "no"),
       {0xFF, 0x15, 0x04, '#', '2', '8', '0', '0', '0', 'n', 'o'}},
      {"ERR without state", err_packet(1146, "", "no"), {0xFF, 0x7A, 0x04, 'n', 'o'}},
      {"EOF", eof_packet(1, 0x22), {0xFE, 0x01, 0x00, 0x22, 0x00}},
      {"column count 4096", column_count(4096), {0xFC, 0x00, 0x10}},
      {"column definition", column_def("id", 3, 63, 0x4203),
       concat({{3, 'd', 'e', 'f', 2, 'd', 'b', 1, 't', 1, 't', 2, 'i', 'd', 2, 'i', 'd'},
               {0x0C, 63, 0, 255, 0, 0, 0, 3, 0x03, 0x42, 0, 0, 0}})},
      {"text row", text_row({std::string("a"), std::nullopt, std::string("")}), {1, 'a', 0xFB, 0}},
      {"auth switch with nonce", auth_switch("x", {1, 2}), {0xFE, 'x', 0, 1, 2, 0}},
      {"auth switch without nonce", auth_switch("x", {}), {0xFE, 'x', 0}},
      {"auth more data", auth_more({4}), {0x01, 0x04}},
  });
}

TEST(FakeServerBuilders, LongPayloadsBecomeContinuationChains) {
  bytes full(0xFFFFFF, 'f');
  bytes over = concat({full, {1, 2, 3}});
  expect_bytes({
      {"short payload is one packet", frame_chain(5, {9}), {1, 0, 0, 5, 9}},
      {"exactly 0xFFFFFF ends with an empty piece", frame_chain(5, full),
       concat({{0xFF, 0xFF, 0xFF, 5}, full, {0, 0, 0, 6}})},
      {"three bytes over", frame_chain(255, over), concat({{0xFF, 0xFF, 0xFF, 255}, full, {3, 0, 0, 0, 1, 2, 3}})},
  });
}

TEST(FakeServerBuilders, HandshakeLayout) {
  handshake_opts o;
  o.version = "8.0";
  o.nonce = bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
  o.caps = 0x12345678;
  o.plugin = "p";
  bytes want{10, '8', '.', '0', 0,        // protocol, version
             42, 0, 0, 0,                 // connection id
             1, 2, 3, 4, 5, 6, 7, 8, 0,   // nonce part 1, filler
             0x78, 0x56, 255, 2, 0,       // caps low, charset, status
             0x34, 0x12, 21,              // caps high, auth-data length
             0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
             9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 0,
             'p', 0};
  EXPECT_EQ(handshake_v10(o), want);
  o.truncate_at = 5;
  EXPECT_EQ(handshake_v10(o), bytes(want.begin(), want.begin() + 5));
}

TEST(FakeServerBuilders, HandshakeResponseParses) {
  bytes p{0x0D, 0xA2, 0x0A, 0x00, 0, 0, 1, 0, 45};
  p.insert(p.end(), 23, 0);
  p = concat({p, text_bytes("root"), {0, 2, 0xAB, 0xCD}, text_bytes("db"), {0}, text_bytes("pl"), {0}});
  handshake_response r;
  ASSERT_TRUE(parse_handshake_response(p, &r));
  EXPECT_EQ(r.caps, 0x000AA20Du);
  EXPECT_EQ(r.max_packet, 65536u);
  EXPECT_EQ(r.charset, 45);
  EXPECT_EQ(r.user, "root");
  EXPECT_EQ(r.auth, (bytes{0xAB, 0xCD}));
  EXPECT_EQ(r.database, "db");
  EXPECT_EQ(r.plugin, "pl");
  for (size_t cut = 0; cut < p.size(); ++cut) {
    SCOPED_TRACE(cut);
    EXPECT_FALSE(parse_handshake_response(bytes(p.begin(), p.begin() + cut), &r));
  }
}

bytes hex(const char *h) {
  bytes b;
  for (size_t i = 0; h[i] && h[i + 1]; i += 2) b.push_back(static_cast<uint8_t>(std::stoi(std::string(h + i, 2), nullptr, 16)));
  return b;
}

bytes sha(const EVP_MD *md, const bytes &in) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(in.data(), in.size(), out, &n, md, nullptr);
  return bytes(out, out + n);
}

// The reference scrambles, checked the way a server checks them: from the stored hash alone.
TEST(FakeServerCrypto, ReferenceScramblesPassTheServersCheck) {
  bytes nonce = handshake_opts::default_nonce();
  // mysql_native_password stores SHA1(SHA1(password)); for "password" that is the well-known
  // 2470C0C06DEE42FD1618BB99005ADCA2EC9D1E19.
  bytes stored = hex("2470C0C06DEE42FD1618BB99005ADCA2EC9D1E19");
  bytes s = ref_scramble_native("password", nonce);
  bytes mask = sha(EVP_sha1(), concat({nonce, stored}));
  bytes candidate(20);
  for (int i = 0; i < 20; ++i) candidate[i] = s[i] ^ mask[i];
  EXPECT_EQ(sha(EVP_sha1(), candidate), stored);

  // caching_sha2_password keeps SHA256(SHA256(password)).
  bytes stored2 = sha(EVP_sha256(), sha(EVP_sha256(), text_bytes("password")));
  bytes s2 = ref_scramble_sha2("password", nonce);
  bytes mask2 = sha(EVP_sha256(), concat({stored2, nonce}));
  bytes cand2(32);
  for (int i = 0; i < 32; ++i) cand2[i] = s2[i] ^ mask2[i];
  EXPECT_EQ(sha(EVP_sha256(), cand2), stored2);
  EXPECT_NE(ref_scramble_sha2("passwore", nonce), s2);
}

TEST(FakeServerCrypto, RsaKeyRoundTripsOaepSha1) {
  const std::string &pem = test_rsa_public_pem();
  ASSERT_EQ(pem.rfind("-----BEGIN PUBLIC KEY-----\n", 0), 0u);
  BIO *bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  EVP_PKEY *pub = PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  ASSERT_NE(pub, nullptr);
  EXPECT_EQ(EVP_PKEY_get_bits(pub), 2048);
  EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(pub, nullptr);
  ASSERT_EQ(EVP_PKEY_encrypt_init(ctx), 1);
  ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING), 1);
  bytes plain = xor_password("secret", handshake_opts::default_nonce());
  bytes ct(256);
  size_t n = ct.size();
  ASSERT_EQ(EVP_PKEY_encrypt(ctx, ct.data(), &n, plain.data(), plain.size()), 1);
  EVP_PKEY_CTX_free(ctx);
  EVP_PKEY_free(pub);
  ASSERT_EQ(n, 256u);
  bytes back;
  ASSERT_TRUE(test_rsa_decrypt(ct, &back));
  EXPECT_EQ(back, plain);
  ct[100] ^= 1;
  EXPECT_FALSE(test_rsa_decrypt(ct, &back));

  EXPECT_EQ(xor_password("ab", bytes{1, 2}), (bytes{'a' ^ 1, 'b' ^ 2, 0 ^ 1}));
  EXPECT_EQ(test_ec_public_pem().rfind("-----BEGIN PUBLIC KEY-----\n", 0), 0u);
  EXPECT_NE(test_ec_public_pem(), pem);
}

}  // namespace
