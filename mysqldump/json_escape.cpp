// JSON string escaping for every text placed in an answer. The output is bounded by out_size and
// always terminated; bytes from 0x7F up pass through unchanged, so UTF-8 stays UTF-8.
#include "mysqldump/lib_frame.h"

#include <cstring>

namespace {

// How many bytes `c` becomes in the output, written into `piece`.
size_t escape_byte(unsigned char c, char piece[7]) {
  static const char hex[] = "0123456789abcdef";
  switch (c) {
    case '\r': memcpy(piece, "\\r", 2); return 2;
    case '\t': memcpy(piece, "\\t", 2); return 2;
    case '\n': memcpy(piece, "\\n", 2); return 2;
    case '"': memcpy(piece, "\\\"", 2); return 2;
    case '\\': memcpy(piece, "\\\\", 2); return 2;
    default: break;
  }
  if (c < 0x20) {
    memcpy(piece, "\\u00", 4);
    piece[4] = hex[c >> 4];
    piece[5] = hex[c & 0x0F];
    return 6;
  }
  piece[0] = static_cast<char>(c);
  return 1;
}

bool is_utf8_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

}  // namespace

size_t utf8_boundary(const char *s, size_t n, unsigned char next) {
  if (!is_utf8_continuation(next)) return n;  // the cut falls between characters
  const unsigned char *u = reinterpret_cast<const unsigned char *>(s);
  size_t k = n;
  for (int back = 0; back < 3 && k > 0; ++back) {
    --k;
    if (!is_utf8_continuation(u[k])) return u[k] >= 0xC0 ? k : n;
  }
  return n;
}

void json_escape(const char *text, char *out, size_t out_size) {
  if (out_size == 0) return;
  size_t used = 0;
  const unsigned char *in = reinterpret_cast<const unsigned char *>(text);
  for (size_t i = 0; in[i] != 0; ++i) {
    char piece[7];
    size_t n = escape_byte(in[i], piece);
    if (used + n + 1 > out_size) break;  // only reachable with out_size below 7
    memcpy(out + used, piece, n);
    used += n;
    if (in[i + 1] == 0) break;
    // Room for the longest escape (6) plus the terminator must remain before the next byte.
    if (used + 6 >= out_size) {
      // Never leave half a character behind. Escapes are plain ASCII, so walking back over
      // continuation bytes stays inside bytes that were passed through unchanged.
      used = utf8_boundary(out, used, in[i + 1]);
      break;
    }
  }
  out[used] = 0;
}
