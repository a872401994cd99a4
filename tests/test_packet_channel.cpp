// The packet channel against the fake server: framing, sequence ids, buffer growth, continuation
// chains, the size ceiling, cancellation, a peer that vanishes, and server error packets.
#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "mysql_client/mysql_client.h"
#include "tests/support/fake_server.h"

namespace {

typedef std::chrono::steady_clock steady;

// A record on a bare connection to the fake, as my_connect leaves it before the handshake.
bool open_channel(my_conn *c, const fake_server &fs) {
  memset(c, 0, sizeof *c);
  c->sock = NET_INVALID_SOCKET;
  return net_connect_tcp("127.0.0.1", fs.port, &c->sock) == NET_CONNECTED;
}

bytes pattern(size_t n, unsigned seed) {
  bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>((i * 131 + seed) % 251);
  return b;
}

bytes payload_of(const my_conn &c) { return bytes(c.pkt, c.pkt + c.pkt_len); }

// A piece of exactly 0xFFFFFF bytes, which the next packet continues.
bytes full_piece(unsigned seed) { return pattern(MY_MAX_PIECE, seed); }

struct read_case {
  const char *name;
  std::vector<fake_step> script;
  bytes want_payload;
  uint64_t want_cap;
  uint8_t want_seq;
};

TEST(PacketRead, AssemblesPayloadsAndKeepsTheBufferInvariants) {
  bytes p70000 = pattern(70000, 1);
  bytes p65535 = pattern(65535, 2);
  bytes p65536 = pattern(65536, 3);
  bytes piece = full_piece(4);
  bytes tail10 = pattern(10, 5);
  bytes split = pattern(300, 6);
  bytes split_wire = frame(9, split);
  const read_case cases[] = {
      {"empty packet still allocates the first buffer", {send_packet(0, {})}, {}, 65536, 1},
      {"sequence 7 leaves 8", {send_packet(7, {1, 2})}, {1, 2}, 65536, 8},
      {"sequence 255 wraps to 0", {send_packet(255, {3})}, {3}, 65536, 0},
      {"65535 bytes fit the first buffer with the trailing zero", {send_packet(0, p65535)}, p65535, 65536, 1},
      {"65536 bytes need the next power", {send_packet(0, p65536)}, p65536, 131072, 1},
      {"70000 bytes", {send_packet(0, p70000)}, p70000, 131072, 1},
      {"header split 1 + 3, payload in pieces",
       {send_raw(bytes(split_wire.begin(), split_wire.begin() + 1)), pause_ms(50),
        send_raw(bytes(split_wire.begin() + 1, split_wire.begin() + 4)), pause_ms(50),
        send_raw(bytes(split_wire.begin() + 4, split_wire.begin() + 104)), pause_ms(50),
        send_raw(bytes(split_wire.begin() + 104, split_wire.end()))},
       split, 65536, 10},
      {"0xFFFFFF then an empty piece", {send_packet(3, piece), send_packet(4, {})}, piece, 0x1000000, 5},
      {"0xFFFFFF then 10 bytes", {send_packet(3, piece), send_packet(200, tail10)},
       concat({piece, tail10}), 0x2000000, 201},
  };
  for (const read_case &tc : cases) {
    SCOPED_TRACE(tc.name);
    fake_server fs;
    ASSERT_TRUE(fake_start(&fs, tc.script));
    my_conn c;
    ASSERT_TRUE(open_channel(&c, fs));
    ASSERT_EQ(pkt_read(&c), 0) << c.err_msg;
    EXPECT_EQ(c.pkt_len, tc.want_payload.size());
    EXPECT_TRUE(payload_of(c) == tc.want_payload);  // not EXPECT_EQ: no 16 MiB dump on failure
    EXPECT_EQ(c.pkt[c.pkt_len], 0);
    EXPECT_EQ(c.pkt_cap, tc.want_cap);
    EXPECT_EQ(c.seq, tc.want_seq);
    EXPECT_EQ(c.err_code, 0);
    my_close(&c);
    fake_join(&fs);
    EXPECT_EQ(fs.failure, "");
  }
}

TEST(PacketRead, BufferIsReusedAndGrowsByDoubling) {
  bytes big = pattern(300000, 7);
  fake_server fs;
  ASSERT_TRUE(fake_start(&fs, {send_packet(0, pattern(70000, 1)), send_packet(1, {5, 6}),
                               send_packet(2, big)}));
  my_conn c;
  ASSERT_TRUE(open_channel(&c, fs));
  ASSERT_EQ(pkt_read(&c), 0);
  EXPECT_EQ(c.pkt_cap, 131072u);
  ASSERT_EQ(pkt_read(&c), 0);
  EXPECT_EQ(payload_of(c), (bytes{5, 6}));
  EXPECT_EQ(c.pkt[2], 0);
  EXPECT_EQ(c.pkt_cap, 131072u);  // never shrinks
  ASSERT_EQ(pkt_read(&c), 0);
  EXPECT_TRUE(payload_of(c) == big);
  EXPECT_EQ(c.pkt_cap, 524288u);
  my_close(&c);
}

TEST(PacketRead, PeerClosingMidPacketFails) {
  struct close_case {
    const char *name;
    std::vector<fake_step> script;
    uint64_t want_len;  // the completed earlier pieces only
  };
  const close_case cases[] = {
      {"before any byte", {close_conn()}, 0},
      {"inside the header", {send_raw({5, 0}), close_conn()}, 0},
      {"inside the payload", {send_raw({10, 0, 0, 0, 1, 2, 3, 4}), close_conn()}, 0},
      {"inside a continuation piece",
       {send_packet(0, full_piece(1)), send_raw({10, 0, 0, 1, 9, 9}), close_conn()}, MY_MAX_PIECE},
  };
  for (const close_case &tc : cases) {
    SCOPED_TRACE(tc.name);
    fake_server fs;
    ASSERT_TRUE(fake_start(&fs, tc.script));
    my_conn c;
    ASSERT_TRUE(open_channel(&c, fs));
    EXPECT_EQ(pkt_read(&c), -1);
    EXPECT_EQ(c.err_code, MY_ERR_PROTOCOL);
    EXPECT_STREQ(c.err_msg, "socket read failed");
    EXPECT_EQ(c.pkt_len, tc.want_len);
    my_close(&c);
  }
}

TEST(PacketRead, CancelFlagSetBeforeTheReadConsumesNothing) {
  fake_server fs;
  ASSERT_TRUE(fake_start(&fs, {send_packet(4, {0xAB, 0xCD})}));
  my_conn c;
  ASSERT_TRUE(open_channel(&c, fs));
  std::atomic<int32_t> flag{1};
  c.cancel_ptr = &flag;
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the packet is waiting by now
  EXPECT_EQ(pkt_read(&c), -1);
  EXPECT_EQ(c.err_code, MY_ERR_CANCELLED);
  EXPECT_STREQ(c.err_msg, "cancelled");
  // Writes ignore the flag, so a cancelled connection can still say goodbye.
  EXPECT_EQ(pkt_write(&c, "\x01", 1), 0);
  // Nothing was taken off the socket: the whole packet is still there.
  flag.store(0);
  ASSERT_EQ(pkt_read(&c), 0) << c.err_msg;
  EXPECT_EQ(payload_of(c), (bytes{0xAB, 0xCD}));
  EXPECT_EQ(c.seq, 5);
  my_close(&c);
  fake_join(&fs);
  EXPECT_EQ(fs.received, concat({frame(0, {1}), frame(0, {1})}));
}

TEST(PacketRead, CancelWhileTheServerIsSilentReturnsPromptly) {
  struct silent_case {
    const char *name;
    std::vector<fake_step> script;
  };
  const silent_case cases[] = {
      {"waiting for a header", {go_silent()}},
      {"waiting inside a header", {send_raw({10, 0}), go_silent()}},
      {"waiting inside a payload", {send_raw({10, 0, 0, 0, 1, 2, 3}), go_silent()}},
  };
  for (const silent_case &tc : cases) {
    SCOPED_TRACE(tc.name);
    fake_server fs;
    fs.wait_ms = 20000;  // the fake outlasts any wait of the client
    ASSERT_TRUE(fake_start(&fs, tc.script));
    my_conn c;
    ASSERT_TRUE(open_channel(&c, fs));
    std::atomic<int32_t> flag{0};
    c.cancel_ptr = &flag;
    std::thread canceller([&flag] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      flag.store(1);
    });
    steady::time_point t0 = steady::now();
    int rc = pkt_read(&c);
    auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - t0).count();
    canceller.join();
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(c.err_code, MY_ERR_CANCELLED);
    EXPECT_STREQ(c.err_msg, "cancelled");
    EXPECT_LT(waited, 3000);  // does not wait for the server; not a speed target
    my_close(&c);
  }
}

void ignore_signal(int) {}

// Signals keep arriving at the thread while it is blocked in the channel; a handler installed
// without SA_RESTART makes every blocking call return EINTR, which must not count as a failure.
struct signal_storm {
  struct sigaction old_action;
  std::atomic<bool> done{false};
  std::thread sender;

  explicit signal_storm(pthread_t target) {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = ignore_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGUSR1, &sa, &old_action);
    sender = std::thread([this, target] {
      while (!done.load()) {
        pthread_kill(target, SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    });
  }
  ~signal_storm() {
    done.store(true);
    sender.join();
    sigaction(SIGUSR1, &old_action, nullptr);
  }
};

TEST(PacketChannel, InterruptedCallsAreRetried) {
  bytes big = pattern(MY_MAX_PIECE - 1, 3);  // more than the socket buffers hold: the send blocks
  fake_server fs;
  ASSERT_TRUE(fake_start(&fs, {pause_ms(300), send_packet(6, {7, 7}), pause_ms(300), read_packet()}));
  my_conn c;
  ASSERT_TRUE(open_channel(&c, fs));
  {
    signal_storm storm(pthread_self());
    EXPECT_EQ(pkt_read(&c), 0) << c.err_msg;
    EXPECT_EQ(payload_of(c), (bytes{7, 7}));
    c.seq = 0;
    EXPECT_EQ(pkt_write(&c, big.data(), big.size()), 0) << c.err_msg;
  }
  my_close(&c);
  fake_join(&fs);
  ASSERT_EQ(fs.packets.size(), 1u) << fs.failure;
  EXPECT_TRUE(fs.packets[0].payload == big);
}

// The ceiling is on the logical payload, so reaching it takes a real gigabyte on the wire: 64
// pieces of 0xFFFFFF bytes are 64 bytes short of 1 GiB, and a 65-byte last piece goes one over.
// The refusal must come at that header, before the buffer doubles to 2 GiB for it.
TEST(PacketRead, PayloadOverOneGibibyteIsRefusedBeforeAllocating) {
  bytes piece = frame(0, full_piece(0));
  fake_server fs;
  fs.wait_ms = 20000;
  ASSERT_TRUE(fake_start(&fs, {send_raw(piece, 64), send_raw({65, 0, 0, 64}), go_silent()}));
  my_conn c;
  ASSERT_TRUE(open_channel(&c, fs));
  EXPECT_EQ(pkt_read(&c), -1);
  EXPECT_EQ(c.err_code, MY_ERR_PROTOCOL);
  EXPECT_STREQ(c.err_msg, "packet too large");
  EXPECT_LE(c.pkt_cap, static_cast<uint64_t>(MY_MAX_PAYLOAD));
  EXPECT_EQ(c.pkt_len, 64ull * MY_MAX_PIECE);
  my_close(&c);
}

TEST(PacketWrite, SendsHeaderAndPayloadExactly) {
  struct write_case {
    const char *name;
    uint8_t seq_before;
    bytes data;
    uint8_t seq_after;
  };
  const write_case cases[] = {
      {"empty payload is the bare header", 0, {}, 1},
      {"three bytes", 0, {'a', 'b', 'c'}, 1},
      {"sequence 255 wraps", 255, {'x'}, 0},
      {"five megabytes go out whole", 17, pattern(5000000, 9), 18},
  };
  for (const write_case &tc : cases) {
    SCOPED_TRACE(tc.name);
    fake_server fs;
    ASSERT_TRUE(fake_start(&fs, {read_packet()}));
    my_conn c;
    ASSERT_TRUE(open_channel(&c, fs));
    c.seq = tc.seq_before;
    EXPECT_EQ(pkt_write(&c, tc.data.data(), tc.data.size()), 0) << c.err_msg;
    EXPECT_EQ(c.seq, tc.seq_after);
    my_close(&c);
    fake_join(&fs);
    EXPECT_EQ(fs.failure, "");
    // The exact bytes, then my_close's COM_QUIT.
    EXPECT_TRUE(fs.received == concat({frame(tc.seq_before, tc.data), frame(0, {0x01})}));
    EXPECT_EQ(fs.received.size(), tc.data.size() + 4 + 5);
  }
}

// Runs in a child process: SIGPIPE's default action would kill it instead of letting it exit.
void write_to_closed_peer_and_exit() {
  signal(SIGPIPE, SIG_DFL);
  fake_server fs;
  if (!fake_start(&fs, {close_conn()})) exit(2);
  my_conn c;
  if (!open_channel(&c, fs)) exit(3);
  fake_join(&fs);
  // The first writes may still land in the kernel's buffers before the reset comes back.
  int rc = 0, tries = 0;
  while (rc == 0 && tries < 50) {
    uint8_t before = c.seq;
    rc = pkt_write(&c, "hello", 5);
    ++tries;
    if (c.seq != static_cast<uint8_t>(before + 1)) exit(4);
    if (rc == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  fprintf(stderr, "rc=%d code=%d msg=%s\n", rc, c.err_code, c.err_msg);
  my_close(&c);
  exit(0);
}

TEST(PacketWrite, ClosedPeerGivesAnErrorNotSigpipe) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(write_to_closed_peer_and_exit(), ::testing::ExitedWithCode(0),
              "rc=-1 code=-1 msg=socket write failed");
}

TEST(ServerError, DecodesEveryShapeOfErrorPacket) {
  struct err_case {
    const char *name;
    bytes packet;
    int32_t code;
    std::string msg;
  };
  std::string long_text(600, 'm');
  long_text[510] = 'L';
  long_text[511] = 'X';
  const err_case cases[] = {
      {"state and text", err_packet(1045, "28000", "Access denied"), 1045, "Access denied"},
      {"text without state", err_packet(1045, "", "Access denied"), 1045, "Access denied"},
      {"marker and state alone, 9 bytes, are the message", err_packet(1045, "28000", ""), 1045, "#28000"},
      {"marker, state and one character", err_packet(1045, "28000", "A"), 1045, "A"},
      {"code alone", {0xFF, 0x15, 0x04}, 1045, ""},
      {"code is unsigned", err_packet(0xFFFF, "", "x"), 65535, "x"},
      {"two bytes", {0xFF, 0x15}, MY_ERR_PROTOCOL, "malformed error packet"},
      {"one byte", {0xFF}, MY_ERR_PROTOCOL, "malformed error packet"},
      {"600-byte message keeps 511", err_packet(1064, "42000", long_text), 1064, long_text.substr(0, 511)},
  };
  for (const err_case &tc : cases) {
    SCOPED_TRACE(tc.name);
    fake_server fs;
    ASSERT_TRUE(fake_start(&fs, {send_packet(1, tc.packet)}));
    my_conn c;
    ASSERT_TRUE(open_channel(&c, fs));
    ASSERT_EQ(pkt_read(&c), 0);
    EXPECT_EQ(my_set_server_error(&c), -1);
    EXPECT_EQ(c.err_code, tc.code);
    EXPECT_EQ(std::string(c.err_msg), tc.msg);
    my_close(&c);
  }
}

TEST(ServerError, FailureTextIsCutTo511) {
  my_conn c;
  memset(&c, 0, sizeof c);
  std::string text(600, 'q');
  EXPECT_EQ(my_fail(&c, -2, "%s!", text.c_str()), -1);
  EXPECT_EQ(c.err_code, -2);
  EXPECT_EQ(std::string(c.err_msg), text.substr(0, 511));
}

}  // namespace
