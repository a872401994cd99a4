// The buffered writer through which every byte of a dump file passes. It gathers pieces in a
// 1 MiB buffer, writes it whole when the next piece does not fit, passes a piece larger than the
// buffer straight to the file, and keeps the slot's bytes_written equal to what the file accepted.
#ifndef MDUMP_DUMP_WRITER_H
#define MDUMP_DUMP_WRITER_H

#include <cstdint>
#include <cstdio>
#include <cstring>

struct mdump_session;

enum { DW_BUF_SIZE = 1048576, DW_PRINTF_SIZE = 2048 };

struct dump_writer {
  FILE *file;
  mdump_session *session;
  unsigned char *buf;
  uint64_t cap;
  uint64_t used;
  uint64_t produced;  // every byte taken so far, written or still buffered
};

// dw_put's path for a piece that does not fit in what is left of the buffer.
int dw_put_spilling(dump_writer *w, const void *data, uint64_t len);

// Each returns 0, or -1 when the file accepted fewer bytes than asked (dw_printf also when the
// formatting fails). A failed buffer write keeps the buffered bytes for a later dw_flush.
//
// A dump is millions of pieces of a few bytes (separators, numbers, quotes): the common case, a
// piece that fits, is inline so that a constant-length piece becomes a plain store.
inline int dw_put(dump_writer *w, const void *data, uint64_t len) {
  if (len <= w->cap - w->used) {
    memcpy(w->buf + w->used, data, static_cast<size_t>(len));
    w->used += len;
    w->produced += len;
    return 0;
  }
  return dw_put_spilling(w, data, len);
}

// Room for n more bytes (n at most cap) at the end of the buffer, for an encoder to write into
// in place; the buffer is written out first when it lacks the room. Null when that write failed
// (the buffered bytes are kept, as with dw_put). dw_commit then takes the bytes actually used.
unsigned char *dw_reserve_spilling(dump_writer *w, uint64_t n);
inline unsigned char *dw_reserve(dump_writer *w, uint64_t n) {
  return n <= w->cap - w->used ? w->buf + w->used : dw_reserve_spilling(w, n);
}
inline void dw_commit(dump_writer *w, uint64_t n) {
  w->used += n;
  w->produced += n;
}

int dw_printf(dump_writer *w, const char *fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
int dw_flush(dump_writer *w);

#endif
