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
// bytes among them), a quote or a backslash. A false alarm (a tab, say) only sends that word down
// the exact byte loop.
inline uint64_t word_may_need_escape(uint64_t x) {
  uint64_t below_space = (x - 0x20 * ONES) & ~x;
  uint64_t q = x ^ ('\'' * ONES);
  uint64_t b = x ^ ('\\' * ONES);
  uint64_t quote = (q - ONES) & ~q;
  uint64_t backslash = (b - ONES) & ~b;
  return (below_space | quote | backslash) & HIGHS;
}

// The length of the run at p that needs no escape, at most n. Whole words are checked at a time;
// a word that may hold an escape is checked byte by byte, and the word loop resumes after it.
uint64_t plain_run(const unsigned char *p, uint64_t n) {
  uint64_t i = 0;
  for (;;) {
    while (i + 8 <= n) {
      uint64_t x;
      memcpy(&x, p + i, 8);
      if (word_may_need_escape(x) != 0) break;
      i += 8;
    }
    uint64_t stop = n - i > 8 ? i + 8 : n;
    for (; i < stop; ++i)
      if (ESCAPES.after_backslash[p[i]] != 0) return i;
    if (i == n) return i;
  }
}

// Digits are formed in a stack chunk and handed to the writer whole; the writer copies them once.
constexpr uint64_t HEX_CHUNK_BYTES = 1024;

}  // namespace

int sql_put_string(dump_writer *w, const unsigned char *data, uint64_t len) {
  if (dw_put(w, "'", 1) < 0) return -1;
  uint64_t i = 0;
  while (i < len) {
    uint64_t run = plain_run(data + i, len - i);
    if (run > 0 && dw_put(w, data + i, run) < 0) return -1;
    i += run;
    if (i == len) break;
    // A run stops only at a byte that needs an escape, or in a word with a false alarm; there
    // the byte loop above already passed every plain byte, so data[i] does need one.
    const char pair[2] = {'\\', ESCAPES.after_backslash[data[i]]};
    if (dw_put(w, pair, 2) < 0) return -1;
    ++i;
  }
  return dw_put(w, "'", 1);
}

int sql_put_hex(dump_writer *w, const unsigned char *data, uint64_t len) {
  if (dw_put(w, "0x", 2) < 0) return -1;
  char chunk[2 * HEX_CHUNK_BYTES];
  for (uint64_t i = 0; i < len;) {
    uint64_t n = len - i < HEX_CHUNK_BYTES ? len - i : HEX_CHUNK_BYTES;
    for (uint64_t k = 0; k < n; ++k) memcpy(chunk + 2 * k, HEX_PAIRS.pair[data[i + k]], 2);
    if (dw_put(w, chunk, 2 * n) < 0) return -1;
    i += n;
  }
  return 0;
}
