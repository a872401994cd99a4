// The library-wide text buffers that carry answers and failures back to the host, and the JSON
// escaping every answer goes through. Unguarded by design: the host does not run two synchronous
// calls (or one and mdump_start) at the same time.
#ifndef MDUMP_LIB_FRAME_H
#define MDUMP_LIB_FRAME_H

#include <cstddef>

enum {
  MDUMP_ERR_SIZE = 512,
  MDUMP_SYNC_BUF_SIZE = 0x40000,
};

extern char g_err[MDUMP_ERR_SIZE];
extern char g_sync_buf[MDUMP_SYNC_BUF_SIZE];

// Formats into g_err, cut to fit with its terminating zero.
void set_g_err(const char *fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Copies `text` into `out` for use between double quotes in JSON. Input that does not fit is
// dropped from the end; an escape or a UTF-8 sequence is never split.
void json_escape(const char *text, char *out, size_t out_size);

// The length to cut s[0..n) to so that it does not end inside a UTF-8 sequence, given the byte
// `next` that followed it. Text that is not well-formed UTF-8 is left as it is.
size_t utf8_boundary(const char *s, size_t n, unsigned char next);

#endif
