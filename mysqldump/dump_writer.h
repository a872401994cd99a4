// The buffered writer through which every byte of a dump file passes. It gathers pieces in a
// 1 MiB buffer, writes it whole when the next piece does not fit, passes a piece larger than the
// buffer straight to the file, and keeps the slot's bytes_written equal to what the file accepted.
#ifndef MDUMP_DUMP_WRITER_H
#define MDUMP_DUMP_WRITER_H

#include <cstdint>
#include <cstdio>

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

// Each returns 0, or -1 when the file accepted fewer bytes than asked (dw_printf also when the
// formatting fails). A failed buffer write keeps the buffered bytes for a later dw_flush.
int dw_put(dump_writer *w, const void *data, uint64_t len);
int dw_printf(dump_writer *w, const char *fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
int dw_flush(dump_writer *w);

#endif
