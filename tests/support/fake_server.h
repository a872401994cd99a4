// A scripted MySQL server on 127.0.0.1 for protocol tests: it plays a list of steps on its own
// thread against the one client that connects, and records every byte that client sent, so a
// test can give the server's exact bytes and check the client's exact answer.
//
// Every wait inside the fake is bounded (wait_ms without progress), so a client that misbehaves
// fails the test instead of hanging it. The recordings belong to the fake's thread until
// fake_join() or fake_stop() has returned; read them only after that.
//
// Below the server: builders for the standard packets, and the crypto the fake does on its own
// (reference scrambles, RSA keys, OAEP decryption) with OpenSSL, independent of the client's.
#ifndef MDUMP_TESTS_FAKE_SERVER_H
#define MDUMP_TESTS_FAKE_SERVER_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

typedef std::vector<uint8_t> bytes;

struct fake_packet {
  uint8_t seq;
  bytes payload;
};

enum fake_action {
  FAKE_SEND,         // one packet: header with `seq`, then `data` as its payload
  FAKE_SEND_RAW,     // `data` as it is, `repeat` times (split headers, bad framing, bulk)
  FAKE_READ,         // one client packet, appended to fake_server::packets
  FAKE_CALL,         // `call` with the packets read so far; the steps it returns play next
  FAKE_PAUSE,        // sleep `ms`
  FAKE_SILENT,       // write nothing more, keep reading until the client closes; ends the script
  FAKE_CLOSE,        // close the connection now, whatever has been sent of a packet
};

struct fake_step;
typedef std::function<std::vector<fake_step>(const std::vector<fake_packet> &read_so_far)> fake_call_fn;

struct fake_step {
  fake_action action = FAKE_PAUSE;
  bytes data;
  uint8_t seq = 0;
  uint64_t repeat = 1;
  int ms = 0;
  fake_call_fn call;
};

fake_step send_packet(uint8_t seq, bytes payload);
fake_step send_raw(bytes data, uint64_t repeat = 1);
fake_step read_packet();
fake_step call_step(fake_call_fn fn);
fake_step pause_ms(int ms);
fake_step go_silent();
fake_step close_conn();

enum { FAKE_NEVER_ACCEPT = 1 };

struct fake_server {
  int listen_fd = -1;
  int conn_fd = -1;
  int port = 0;
  int wait_ms = 5000;  // longest wait for the client to make progress in any one step
  std::vector<fake_step> script;
  std::thread thread;
  std::atomic<bool> stopping{false};

  // Results, written by the fake's thread; read them after fake_join() or fake_stop().
  bytes received;                    // every byte the client sent, in order
  std::vector<fake_packet> packets;  // the packets FAKE_READ steps took, in order
  bool client_closed = false;        // the client closed its side
  std::string failure;               // why the script stopped early; empty when it played whole

  fake_server() = default;
  fake_server(const fake_server &) = delete;
  fake_server &operator=(const fake_server &) = delete;
  ~fake_server();
};

// Listens on 127.0.0.1 (port 0, so the kernel picks one; see fs->port) and starts the thread
// that accepts one client and plays the script. After the script the fake keeps reading and
// recording until the client closes, unless the script closed the connection itself.
// With FAKE_NEVER_ACCEPT it only listens: connects complete in the kernel's backlog, and nothing
// is ever read or written. Returns false (with fs->failure set) when the listener cannot be made.
bool fake_start(fake_server *fs, std::vector<fake_step> script, int flags = 0);

// Waits for the script thread to finish by itself (client closed, script closed, or a wait ran
// out). Safe to call more than once.
void fake_join(fake_server *fs);

// Ends the script now (bounded by one poll slice) and joins. The destructor does this.
void fake_stop(fake_server *fs);

// --- Packet builders ---------------------------------------------------------------------------

// One packet as on the wire: header + payload. A payload over 0xFFFFFF bytes does not fit one
// header; asking for it is a mistake in the test and aborts.
bytes frame(uint8_t seq, const bytes &payload);
// A logical payload as a server sends it: pieces of 0xFFFFFF bytes with rising sequence ids,
// ended by a shorter piece (empty when the payload is a multiple of 0xFFFFFF).
bytes frame_chain(uint8_t seq, const bytes &payload);
bytes text_bytes(const std::string &s);
bytes concat(std::initializer_list<bytes> parts);
bytes lenenc_int(uint64_t v);
bytes lenenc_str(const bytes &s);
bytes lenenc_str(const std::string &s);
void put_le(bytes *out, uint64_t v, int n);

enum : uint32_t {
  CAP_LONG_PASSWORD = 0x00000001,
  CAP_LONG_FLAG = 0x00000004,
  CAP_CONNECT_WITH_DB = 0x00000008,
  CAP_PROTOCOL_41 = 0x00000200,
  CAP_TRANSACTIONS = 0x00002000,
  CAP_SECURE_CONNECTION = 0x00008000,
  CAP_MULTI_RESULTS = 0x00020000,
  CAP_PLUGIN_AUTH = 0x00080000,
  // What a MySQL 8 server offers up to CLIENT_PLUGIN_AUTH, less TLS and compression.
  FAKE_SERVER_CAPS = 0x000FF7DF,
};

// HandshakeV10 as servers send it. auth_len is the byte at q + 20; part2 follows the 10 reserved
// bytes as given (by default nonce bytes 8..19 and the terminating 0); plugin follows part2,
// ended by a 0 unless plugin_nul is false. Set truncate_at to cut the payload to that length.
struct handshake_opts {
  uint8_t protocol = 10;
  std::string version = "8.0.36";
  uint32_t conn_id = 42;
  bytes nonce = default_nonce();
  uint32_t caps = FAKE_SERVER_CAPS;
  uint8_t charset = 255;
  uint16_t status = 2;
  uint8_t auth_len = 21;
  std::optional<bytes> part2;  // default: nonce[8..19] + 0
  std::string plugin = "caching_sha2_password";
  bool plugin_nul = true;
  size_t truncate_at = SIZE_MAX;

  static bytes default_nonce();  // 20 fixed bytes, none of them 0
};
bytes handshake_v10(const handshake_opts &o);

bytes ok_packet(uint64_t affected = 0, uint64_t insert_id = 0, uint16_t status = 2,
                uint16_t warnings = 0);
// With an empty sqlstate no '#' marker is written.
bytes err_packet(uint16_t code, const std::string &sqlstate, const std::string &message);
bytes eof_packet(uint16_t warnings = 0, uint16_t status = 2);
bytes column_count(uint64_t n);

struct column_opts {
  std::string catalog = "def";
  std::string schema = "db";
  std::string table = "t";
  std::string org_table = "t";
  std::string name = "c";
  std::string org_name = "c";
  uint16_t charset = 45;
  uint32_t length = 255;
  uint8_t type = 253;
  uint16_t flags = 0;
  uint8_t decimals = 0;
};
bytes column_def(const column_opts &o);  // ColumnDefinition41 with 0x0C and the 2 filler bytes
bytes column_def(const std::string &name, uint8_t type, uint16_t charset = 45, uint16_t flags = 0);

// One text row: nullopt is SQL NULL (0xFB), anything else a length-encoded string.
bytes text_row(const std::vector<std::optional<std::string>> &cells);

// 0xFE, the method name and its 0, then nonce (which may be empty).
bytes auth_switch(const std::string &plugin, const bytes &nonce, bool nul_after_nonce = true);
bytes auth_more(const bytes &data);  // 0x01 then data

// The parts of a HandshakeResponse41 a server needs (no length-encoded auth data, no attributes).
struct handshake_response {
  uint32_t caps = 0;
  uint32_t max_packet = 0;
  uint8_t charset = 0;
  std::string user;
  bytes auth;
  std::string database;
  std::string plugin;
};
bool parse_handshake_response(const bytes &p, handshake_response *out);

// --- Crypto of the fake's own, with OpenSSL ----------------------------------------------------

bytes ref_scramble_native(const std::string &password, const bytes &nonce);
bytes ref_scramble_sha2(const std::string &password, const bytes &nonce);

// A 2048-bit RSA key made once per process; its public half as PEM (SubjectPublicKeyInfo).
const std::string &test_rsa_public_pem();
// RSAES-OAEP with SHA-1 and MGF1-SHA-1 under that key. False when decryption fails.
bool test_rsa_decrypt(const bytes &ciphertext, bytes *plain);
// A P-256 public key as PEM, for a server key of the wrong kind.
const std::string &test_ec_public_pem();

// What the client must encrypt on the full caching_sha2_password path: (password + 0) XOR nonce.
bytes xor_password(const std::string &password, const bytes &nonce);

#endif
