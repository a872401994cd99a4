// The scripted fake server: one listener, one client, one thread playing the steps. Plain POSIX
// sockets (Winsock in the Windows build) on purpose, so the fake shares no code with the client it
// tests.
#include "tests/support/fake_server.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
// No MSG_DONTWAIT in Winsock: the accepted socket is made non-blocking instead. No SIGPIPE either.
#define MSG_NOSIGNAL 0
#define MSG_DONTWAIT 0
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// How often a waiting fake looks at the stop flag.
const int SLICE_MS = 20;

#if defined(_WIN32)
int sock_poll(pollfd *p, int ms) { return WSAPoll(p, 1, ms); }
void sock_close(int s) { closesocket(static_cast<SOCKET>(s)); }
bool sock_retry() { return WSAGetLastError() == WSAEWOULDBLOCK || WSAGetLastError() == WSAEINTR; }
#else
int sock_poll(pollfd *p, int ms) { return poll(p, 1, ms); }
void sock_close(int s) { close(s); }
bool sock_retry() { return errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK; }
#endif

enum wait_result { READY, TIMED_OUT, STOPPED, FAILED };

wait_result wait_fd(fake_server *fs, int fd, short events) {
  int waited = 0;
  for (;;) {
    if (fs->stopping.load()) return STOPPED;
    pollfd p;
    p.fd = fd;
    p.events = events;
    p.revents = 0;
    int rc = sock_poll(&p, SLICE_MS);
    if (rc > 0) return READY;
    if (rc < 0 && !sock_retry()) return FAILED;
    waited += SLICE_MS;
    if (waited >= fs->wait_ms) return TIMED_OUT;
  }
}

std::string describe(wait_result w) {
  switch (w) {
    case TIMED_OUT: return "timed out";
    case STOPPED: return "stopped";
    case FAILED: return "poll failed";
    default: return "ready";
  }
}

// Sends everything or says why not. MSG_DONTWAIT after a poll keeps every wait bounded even when
// the client stops reading in the middle of a large payload.
bool send_all(fake_server *fs, const uint8_t *data, size_t len, std::string *why) {
  size_t done = 0;
  while (done < len) {
    wait_result w = wait_fd(fs, fs->conn_fd, POLLOUT);
    if (w != READY) {
      *why = describe(w) + " after sending " + std::to_string(done) + " of " + std::to_string(len) + " bytes";
      return false;
    }
    ssize_t n = send(fs->conn_fd, reinterpret_cast<const char *>(data + done), len - done,
                     MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && sock_retry()) continue;
    if (n <= 0) {
      *why = std::string("send failed: ") + strerror(errno);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// Receives exactly len bytes, recording them. Sets *closed when the client closed first.
bool recv_exact(fake_server *fs, uint8_t *buf, size_t len, bool *closed, std::string *why) {
  size_t done = 0;
  *closed = false;
  while (done < len) {
    wait_result w = wait_fd(fs, fs->conn_fd, POLLIN);
    if (w != READY) {
      *why = describe(w) + " after receiving " + std::to_string(done) + " of " + std::to_string(len) + " bytes";
      return false;
    }
    ssize_t n = recv(fs->conn_fd, reinterpret_cast<char *>(buf + done), len - done, MSG_DONTWAIT);
    if (n < 0 && sock_retry()) continue;
    if (n <= 0) {
      *closed = true;
      *why = "client closed after " + std::to_string(done) + " of " + std::to_string(len) + " bytes";
      return false;
    }
    fs->received.insert(fs->received.end(), buf + done, buf + done + n);
    done += static_cast<size_t>(n);
  }
  return true;
}

// Reads and records until the client closes. Used for FAKE_SILENT and after the script.
void drain(fake_server *fs) {
  uint8_t buf[4096];
  for (;;) {
    wait_result w = wait_fd(fs, fs->conn_fd, POLLIN);
    if (w == STOPPED) return;
    if (w != READY) {
      fs->failure = "waiting for the client to close: " + describe(w);
      return;
    }
    ssize_t n = recv(fs->conn_fd, reinterpret_cast<char *>(buf), sizeof buf, MSG_DONTWAIT);
    if (n < 0 && sock_retry()) continue;
    if (n <= 0) {
      fs->client_closed = true;
      return;
    }
    fs->received.insert(fs->received.end(), buf, buf + n);
  }
}

void close_client(fake_server *fs) {
  if (fs->conn_fd >= 0) sock_close(fs->conn_fd);
  fs->conn_fd = -1;
}

// Plays steps; false when the script cannot go on (failure recorded, or the client closed).
bool play(fake_server *fs, const std::vector<fake_step> &steps) {
  for (size_t i = 0; i < steps.size(); ++i) {
    const fake_step &st = steps[i];
    std::string why;
    std::string where = "step " + std::to_string(i) + ": ";
    if (fs->conn_fd < 0 && st.action != FAKE_PAUSE && st.action != FAKE_CALL) {
      fs->failure = where + "connection already closed by the script";
      return false;
    }
    switch (st.action) {
      case FAKE_SEND: {
        bytes wire = frame(st.seq, st.data);
        if (!send_all(fs, wire.data(), wire.size(), &why)) {
          fs->failure = where + "send: " + why;
          return false;
        }
        break;
      }
      case FAKE_SEND_RAW:
        for (uint64_t r = 0; r < st.repeat; ++r) {
          if (!send_all(fs, st.data.data(), st.data.size(), &why)) {
            fs->failure = where + "send raw: " + why;
            return false;
          }
        }
        break;
      case FAKE_READ: {
        uint8_t h[4];
        bool closed = false;
        if (!recv_exact(fs, h, 4, &closed, &why)) {
          fs->client_closed = closed;
          fs->failure = where + "read header: " + why;
          return false;
        }
        fake_packet pk;
        pk.seq = h[3];
        pk.payload.resize(h[0] | h[1] << 8 | h[2] << 16);
        if (!pk.payload.empty() && !recv_exact(fs, pk.payload.data(), pk.payload.size(), &closed, &why)) {
          fs->client_closed = closed;
          fs->failure = where + "read payload: " + why;
          return false;
        }
        fs->packets.push_back(std::move(pk));
        break;
      }
      case FAKE_CALL:
        if (!play(fs, st.call(fs->packets))) return false;
        break;
      case FAKE_PAUSE:
        std::this_thread::sleep_for(std::chrono::milliseconds(st.ms));
        break;
      case FAKE_SILENT:
        drain(fs);
        return false;
      case FAKE_CLOSE:
        close_client(fs);
        break;
    }
  }
  return true;
}

void run(fake_server *fs) {
  wait_result w = wait_fd(fs, fs->listen_fd, POLLIN);
  if (w != READY) {
    if (w != STOPPED) fs->failure = "no client connected: " + describe(w);
    return;
  }
  fs->conn_fd = accept(fs->listen_fd, nullptr, nullptr);
  if (fs->conn_fd < 0) {
    fs->failure = std::string("accept failed: ") + strerror(errno);
    return;
  }
  // Small pieces go out as the script splits them, not merged by Nagle's algorithm.
  int one = 1;
  setsockopt(fs->conn_fd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
#if defined(_WIN32)
  u_long non_blocking = 1;
  ioctlsocket(fs->conn_fd, FIONBIO, &non_blocking);
#endif
  if (play(fs, fs->script) && fs->conn_fd >= 0) drain(fs);
  close_client(fs);
}

}  // namespace

static fake_step make_step(fake_action action, bytes data = {}) {
  fake_step s;
  s.action = action;
  s.data = std::move(data);
  return s;
}

fake_step send_packet(uint8_t seq, bytes payload) {
  fake_step s = make_step(FAKE_SEND, std::move(payload));
  s.seq = seq;
  return s;
}

fake_step send_raw(bytes data, uint64_t repeat) {
  fake_step s = make_step(FAKE_SEND_RAW, std::move(data));
  s.repeat = repeat;
  return s;
}

fake_step read_packet() { return make_step(FAKE_READ); }

fake_step call_step(fake_call_fn fn) {
  fake_step s = make_step(FAKE_CALL);
  s.call = std::move(fn);
  return s;
}

fake_step pause_ms(int ms) {
  fake_step s = make_step(FAKE_PAUSE);
  s.ms = ms;
  return s;
}

fake_step go_silent() { return make_step(FAKE_SILENT); }
fake_step close_conn() { return make_step(FAKE_CLOSE); }

bool fake_start(fake_server *fs, std::vector<fake_step> script, int flags) {
  fs->script = std::move(script);
#if defined(_WIN32)
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
#endif
  fs->listen_fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fs->listen_fd < 0) {
    fs->failure = "socket failed";
    return false;
  }
  sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  socklen_t alen = sizeof a;
  if (bind(fs->listen_fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
      listen(fs->listen_fd, 4) != 0 ||
      getsockname(fs->listen_fd, reinterpret_cast<sockaddr *>(&a), &alen) != 0) {
    fs->failure = std::string("listen failed: ") + strerror(errno);
    return false;
  }
  fs->port = ntohs(a.sin_port);
  if ((flags & FAKE_NEVER_ACCEPT) == 0) fs->thread = std::thread(run, fs);
  return true;
}

void fake_join(fake_server *fs) {
  if (fs->thread.joinable()) fs->thread.join();
}

void fake_stop(fake_server *fs) {
  fs->stopping.store(true);
  fake_join(fs);
}

fake_server::~fake_server() {
  fake_stop(this);
  close_client(this);
  if (listen_fd >= 0) sock_close(listen_fd);
}

// --- Packet builders ---------------------------------------------------------------------------

void put_le(bytes *out, uint64_t v, int n) {
  for (int i = 0; i < n; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

bytes frame(uint8_t seq, const bytes &payload) {
  if (payload.size() > 0xFFFFFF) {
    fprintf(stderr, "frame: %zu bytes do not fit one packet; use frame_chain\n", payload.size());
    abort();
  }
  bytes b;
  put_le(&b, payload.size(), 3);
  b.push_back(seq);
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}

bytes frame_chain(uint8_t seq, const bytes &payload) {
  bytes b;
  size_t at = 0;
  for (;;) {
    size_t n = payload.size() - at < 0xFFFFFF ? payload.size() - at : 0xFFFFFF;
    put_le(&b, n, 3);
    b.push_back(seq++);
    b.insert(b.end(), payload.begin() + at, payload.begin() + at + n);
    at += n;
    if (n < 0xFFFFFF) return b;
  }
}

bytes text_bytes(const std::string &s) { return bytes(s.begin(), s.end()); }

bytes concat(std::initializer_list<bytes> parts) {
  bytes b;
  for (const bytes &p : parts) b.insert(b.end(), p.begin(), p.end());
  return b;
}

bytes lenenc_int(uint64_t v) {
  bytes b;
  if (v < 0xFB) {
    b.push_back(static_cast<uint8_t>(v));
  } else if (v <= 0xFFFF) {
    b.push_back(0xFC);
    put_le(&b, v, 2);
  } else if (v <= 0xFFFFFF) {
    b.push_back(0xFD);
    put_le(&b, v, 3);
  } else {
    b.push_back(0xFE);
    put_le(&b, v, 8);
  }
  return b;
}

bytes lenenc_str(const bytes &s) { return concat({lenenc_int(s.size()), s}); }
bytes lenenc_str(const std::string &s) { return lenenc_str(text_bytes(s)); }

bytes handshake_opts::default_nonce() {
  bytes n;
  for (int i = 0; i < 20; ++i) n.push_back(static_cast<uint8_t>(0x31 + i * 3));
  return n;
}

bytes handshake_v10(const handshake_opts &o) {
  bytes p;
  p.push_back(o.protocol);
  p.insert(p.end(), o.version.begin(), o.version.end());
  p.push_back(0);
  put_le(&p, o.conn_id, 4);
  p.insert(p.end(), o.nonce.begin(), o.nonce.begin() + 8);
  p.push_back(0);  // filler
  put_le(&p, o.caps & 0xFFFF, 2);
  p.push_back(o.charset);
  put_le(&p, o.status, 2);
  put_le(&p, o.caps >> 16, 2);
  p.push_back(o.auth_len);
  p.insert(p.end(), 10, 0);  // reserved
  if (o.part2) {
    p.insert(p.end(), o.part2->begin(), o.part2->end());
  } else {
    p.insert(p.end(), o.nonce.begin() + 8, o.nonce.end());
    p.push_back(0);
  }
  p.insert(p.end(), o.plugin.begin(), o.plugin.end());
  if (o.plugin_nul) p.push_back(0);
  if (p.size() > o.truncate_at) p.resize(o.truncate_at);
  return p;
}

bytes ok_packet(uint64_t affected, uint64_t insert_id, uint16_t status, uint16_t warnings) {
  bytes p{0x00};
  bytes a = lenenc_int(affected), id = lenenc_int(insert_id);
  p.insert(p.end(), a.begin(), a.end());
  p.insert(p.end(), id.begin(), id.end());
  put_le(&p, status, 2);
  put_le(&p, warnings, 2);
  return p;
}

bytes err_packet(uint16_t code, const std::string &sqlstate, const std::string &message) {
  bytes p{0xFF};
  put_le(&p, code, 2);
  if (!sqlstate.empty()) {
    p.push_back('#');
    p.insert(p.end(), sqlstate.begin(), sqlstate.end());
  }
  p.insert(p.end(), message.begin(), message.end());
  return p;
}

bytes eof_packet(uint16_t warnings, uint16_t status) {
  bytes p{0xFE};
  put_le(&p, warnings, 2);
  put_le(&p, status, 2);
  return p;
}

bytes column_count(uint64_t n) { return lenenc_int(n); }

bytes column_def(const column_opts &o) {
  bytes p = concat({lenenc_str(o.catalog), lenenc_str(o.schema), lenenc_str(o.table),
                    lenenc_str(o.org_table), lenenc_str(o.name), lenenc_str(o.org_name)});
  p.push_back(0x0C);
  put_le(&p, o.charset, 2);
  put_le(&p, o.length, 4);
  p.push_back(o.type);
  put_le(&p, o.flags, 2);
  p.push_back(o.decimals);
  p.insert(p.end(), 2, 0);  // filler
  return p;
}

bytes column_def(const std::string &name, uint8_t type, uint16_t charset, uint16_t flags) {
  column_opts o;
  o.name = name;
  o.org_name = name;
  o.type = type;
  o.charset = charset;
  o.flags = flags;
  return column_def(o);
}

bytes text_row(const std::vector<std::optional<std::string>> &cells) {
  bytes p;
  for (const auto &c : cells) {
    if (!c) {
      p.push_back(0xFB);
    } else {
      bytes s = lenenc_str(*c);
      p.insert(p.end(), s.begin(), s.end());
    }
  }
  return p;
}

bytes auth_switch(const std::string &plugin, const bytes &nonce, bool nul_after_nonce) {
  bytes p{0xFE};
  p.insert(p.end(), plugin.begin(), plugin.end());
  p.push_back(0);
  p.insert(p.end(), nonce.begin(), nonce.end());
  if (!nonce.empty() && nul_after_nonce) p.push_back(0);
  return p;
}

bytes auth_more(const bytes &data) { return concat({bytes{0x01}, data}); }

bool parse_handshake_response(const bytes &p, handshake_response *out) {
  *out = handshake_response();
  size_t at = 32;
  if (p.size() < at) return false;
  out->caps = p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
  out->max_packet = p[4] | p[5] << 8 | p[6] << 16 | static_cast<uint32_t>(p[7]) << 24;
  out->charset = p[8];
  auto text_to_nul = [&](std::string *s) {
    size_t end = at;
    while (end < p.size() && p[end] != 0) ++end;
    if (end == p.size()) return false;
    s->assign(p.begin() + at, p.begin() + end);
    at = end + 1;
    return true;
  };
  if (!text_to_nul(&out->user)) return false;
  if (at >= p.size()) return false;
  size_t alen = p[at++];
  if (at + alen > p.size()) return false;
  out->auth.assign(p.begin() + at, p.begin() + at + alen);
  at += alen;
  if ((out->caps & CAP_CONNECT_WITH_DB) && !text_to_nul(&out->database)) return false;
  if (out->caps & CAP_PLUGIN_AUTH) {
    if (!text_to_nul(&out->plugin)) return false;
  }
  return true;
}

// --- Crypto ------------------------------------------------------------------------------------

#if !defined(_WIN32)  // Debian has no OpenSSL for mingw-w64: tests/windows/fake_crypto.cpp

namespace {

bytes digest(const EVP_MD *md, const bytes &in) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(in.data(), in.size(), out, &n, md, nullptr);
  return bytes(out, out + n);
}

bytes xor_bytes(const bytes &a, const bytes &b) {
  bytes r(a.size());
  for (size_t i = 0; i < a.size(); ++i) r[i] = a[i] ^ b[i];
  return r;
}

std::string public_pem(EVP_PKEY *key) {
  std::string pem;
  BIO *bio = BIO_new(BIO_s_mem());
  if (bio != nullptr && key != nullptr && PEM_write_bio_PUBKEY(bio, key) == 1) {
    char *data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    pem.assign(data, static_cast<size_t>(n));
  }
  BIO_free(bio);
  return pem;
}

// Made once and kept for the whole process: key generation is the slow part of these tests.
EVP_PKEY *test_rsa_key() {
  static EVP_PKEY *key = EVP_RSA_gen(2048);
  return key;
}

}  // namespace

// SHA1(password) XOR SHA1(nonce || SHA1(SHA1(password)))
bytes ref_scramble_native(const std::string &password, const bytes &nonce) {
  bytes h1 = digest(EVP_sha1(), text_bytes(password));
  bytes h2 = digest(EVP_sha1(), h1);
  return xor_bytes(h1, digest(EVP_sha1(), concat({nonce, h2})));
}

// SHA256(password) XOR SHA256(SHA256(SHA256(password)) || nonce)
bytes ref_scramble_sha2(const std::string &password, const bytes &nonce) {
  bytes h1 = digest(EVP_sha256(), text_bytes(password));
  bytes h2 = digest(EVP_sha256(), h1);
  return xor_bytes(h1, digest(EVP_sha256(), concat({h2, nonce})));
}

const std::string &test_rsa_public_pem() {
  static const std::string pem = public_pem(test_rsa_key());
  return pem;
}

bool test_rsa_decrypt(const bytes &ciphertext, bytes *plain) {
  plain->clear();
  EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(test_rsa_key(), nullptr);
  bool ok = ctx != nullptr && EVP_PKEY_decrypt_init(ctx) == 1 &&
            EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING) == 1 &&
            EVP_PKEY_CTX_set_rsa_oaep_md(ctx, EVP_sha1()) == 1 &&
            EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, EVP_sha1()) == 1;
  size_t n = 0;
  ok = ok && EVP_PKEY_decrypt(ctx, nullptr, &n, ciphertext.data(), ciphertext.size()) == 1;
  if (ok) {
    plain->resize(n);
    ok = EVP_PKEY_decrypt(ctx, plain->data(), &n, ciphertext.data(), ciphertext.size()) == 1;
    plain->resize(ok ? n : 0);
  }
  EVP_PKEY_CTX_free(ctx);
  return ok;
}

const std::string &test_ec_public_pem() {
  static const std::string pem = [] {
    EVP_PKEY *key = EVP_EC_gen("P-256");
    std::string p = public_pem(key);
    EVP_PKEY_free(key);
    return p;
  }();
  return pem;
}

#endif

bytes xor_password(const std::string &password, const bytes &nonce) {
  bytes p = text_bytes(password);
  p.push_back(0);
  for (size_t i = 0; i < p.size(); ++i) p[i] ^= nonce[i % nonce.size()];
  return p;
}
