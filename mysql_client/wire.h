// Little-endian fields and length-encoded integers of the protocol, read with the bytes that
// remain always checked first. Internal to the client.
#ifndef MDUMP_MYSQL_WIRE_H
#define MDUMP_MYSQL_WIRE_H

#include <cstdint>

inline uint32_t wire_u16(const unsigned char *p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8;
}

inline void wire_put_u32(unsigned char *p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}

const unsigned char WIRE_NULL_MARKER = 0xFB;

// Decodes the length-encoded integer that starts at p[pos] of a payload of len bytes.
// Returns how many bytes it takes (1, 3, 4 or 9), or 0 when pos is at the end or the integer runs
// past it. The NULL marker 0xFB takes one byte and gives the value 0; callers that care look at
// the byte. 0xFF, undefined as a first byte, is read like 0xFE.
inline int wire_lenenc(const unsigned char *p, uint64_t len, uint64_t pos, uint64_t *value) {
  if (pos >= len) return 0;
  unsigned char first = p[pos];
  int size = first < 0xFB ? 1 : first == 0xFB ? 1 : first == 0xFC ? 3 : first == 0xFD ? 4 : 9;
  if (static_cast<uint64_t>(size) > len - pos) return 0;
  if (size == 1) {
    *value = first == WIRE_NULL_MARKER ? 0 : first;
    return 1;
  }
  uint64_t v = 0;
  for (int k = size - 1; k >= 1; --k) v = v << 8 | p[pos + k];
  *value = v;
  return size;
}

#endif
