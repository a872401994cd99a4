#include "mysqldump/dump_writer.h"

#include <cstdarg>
#include <cstring>

#include "mysqldump/session.h"

namespace {

// One file write of n bytes; counted only when the file took all of them.
int write_through(dump_writer *w, const void *data, uint64_t n) {
  size_t done = fwrite(data, 1, static_cast<size_t>(n), w->file);
  if (done != n) return -1;
  session_add(&w->session->bytes_written, static_cast<int64_t>(done));
  return 0;
}

// Writes out whatever is buffered; on failure the bytes stay buffered.
int empty_buffer(dump_writer *w) {
  if (w->used == 0) return 0;
  if (write_through(w, w->buf, w->used) < 0) return -1;
  w->used = 0;
  return 0;
}

}  // namespace

// The piece does not fit in what is left of the buffer (dw_put has checked).
int dw_put_spilling(dump_writer *w, const void *data, uint64_t len) {
  if (empty_buffer(w) < 0) return -1;
  if (len <= w->cap) {
    memcpy(w->buf, data, static_cast<size_t>(len));
    w->used = len;
  } else if (write_through(w, data, len) < 0) {  // larger than the whole buffer: never copied or split
    return -1;
  }
  w->produced += len;
  return 0;
}

// dw_reserve's path when the buffer lacks the room.
unsigned char *dw_reserve_spilling(dump_writer *w, uint64_t n) {
  if (n > w->cap || empty_buffer(w) < 0) return nullptr;
  return w->buf;
}

int dw_printf(dump_writer *w, const char *fmt, ...) {
  char text[DW_PRINTF_SIZE];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  if (n < 0) return -1;
  if (n > DW_PRINTF_SIZE - 1) n = DW_PRINTF_SIZE - 1;
  return dw_put(w, text, static_cast<uint64_t>(n));
}

int dw_flush(dump_writer *w) { return empty_buffer(w); }
