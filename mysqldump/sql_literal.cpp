#include "mysqldump/sql_literal.h"

#include <cstring>

namespace {

// What follows the backslash for a byte that needs one; 0 for a byte written as it is.
struct escape_table {
  char after_backslash[256];
};

constexpr escape_table make_escape_table() {
  escape_table t{};
  t.after_backslash[0x00] = '0';
  t.after_backslash[0x0A] = 'n';
  t.after_backslash[0x0D] = 'r';
  t.after_backslash[0x1A] = 'Z';
  t.after_backslash['\''] = '\'';
  t.after_backslash['\\'] = '\\';
  return t;
}

constexpr escape_table ESCAPES = make_escape_table();

// The two digits of every byte value, so that one byte costs one two-byte copy.
struct hex_table {
  char pair[256][2];
};

constexpr hex_table make_hex_table() {
  hex_table t{};
  const char digits[] = "0123456789ABCDEF";
  for (int b = 0; b < 256; ++b) {
    t.pair[b][0] = digits[b >> 4];
    t.pair[b][1] = digits[b & 0x0F];
  }
  return t;
}

constexpr hex_table HEX_PAIRS = make_hex_table();

constexpr uint64_t ONES = 0x0101010101010101ull;
constexpr uint64_t HIGHS = 0x8080808080808080ull;

// Non-zero when one of the eight bytes may need an escape: a byte below 0x20 (the four control
// bytes among them), a quote or a backslash. A false alarm (a tab, say) only sends that word
// through the exact per-byte path.
inline uint64_t word_may_need_escape(uint64_t x) {
  uint64_t below_space = (x - 0x20 * ONES) & ~x;
  uint64_t q = x ^ ('\'' * ONES);
  uint64_t b = x ^ ('\\' * ONES);
  uint64_t quote = (q - ONES) & ~q;
  uint64_t backslash = (b - ONES) & ~b;
  return (below_space | quote | backslash) & HIGHS;
}

// Input is encoded straight into the writer's buffer, this many bytes at a time (fewer when the
// buffer is smaller), with room reserved for the worst case: two output bytes for each.
constexpr uint64_t CHUNK_BYTES = 4096;

uint64_t chunk_for(const dump_writer *w, uint64_t left) {
  uint64_t most = w->cap / 2 < CHUNK_BYTES ? w->cap / 2 : CHUNK_BYTES;
  if (most == 0) most = 1;  // a buffer too small for one pair then fails in dw_reserve
  return left < most ? left : most;
}

// One byte as it is, or as a backslash pair; returns how many bytes were written. Both output
// bytes are always stored (the second is overwritten next when unused) so that nothing branches
// on the byte's value.
inline uint64_t put_string_byte(unsigned char c, unsigned char *out) {
  unsigned char e = static_cast<unsigned char>(ESCAPES.after_backslash[c]);
  out[0] = e != 0 ? '\\' : c;
  out[1] = e;
  return e != 0 ? 2 : 1;
}

// The escaped text of in[0..n) at out, which has room for 2n bytes; returns the length. Words
// with nothing to escape are copied whole.
uint64_t escape_chunk(const unsigned char *in, uint64_t n, unsigned char *out) {
  uint64_t j = 0;
  uint64_t k = 0;
  for (; k + 8 <= n; k += 8) {
    uint64_t x;
    memcpy(&x, in + k, 8);
    if (word_may_need_escape(x) == 0) {
      memcpy(out + j, &x, 8);
      j += 8;
      continue;
    }
    for (uint64_t m = k; m < k + 8; ++m) j += put_string_byte(in[m], out + j);
  }
  for (; k < n; ++k) j += put_string_byte(in[k], out + j);
  return j;
}

// The hex digits of in[0..n) at out, which has room for 2n bytes; returns the length.
uint64_t hex_chunk(const unsigned char *in, uint64_t n, unsigned char *out) {
  for (uint64_t k = 0; k < n; ++k) memcpy(out + 2 * k, HEX_PAIRS.pair[in[k]], 2);
  return 2 * n;
}

// Feeds data to an encoder chunk by chunk, each written in place into room for its worst case.
int encode_in_place(dump_writer *w, const unsigned char *data, uint64_t len,
                    uint64_t (*encode)(const unsigned char *, uint64_t, unsigned char *)) {
  for (uint64_t i = 0; i < len;) {
    uint64_t n = chunk_for(w, len - i);
    unsigned char *out = dw_reserve(w, 2 * n);
    if (out == nullptr) return -1;
    dw_commit(w, encode(data + i, n, out));
    i += n;
  }
  return 0;
}

}  // namespace

int sql_put_string(dump_writer *w, const unsigned char *data, uint64_t len) {
  if (dw_put(w, "'", 1) < 0 || encode_in_place(w, data, len, escape_chunk) < 0) return -1;
  return dw_put(w, "'", 1);
}

int sql_put_hex(dump_writer *w, const unsigned char *data, uint64_t len) {
  if (dw_put(w, "0x", 2) < 0) return -1;
  return encode_in_place(w, data, len, hex_chunk);
}
