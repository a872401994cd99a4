// Storage for the session table and the few operations that keep its sharing rules in one place.
#include "mysqldump/session.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <thread>

mdump_session g_sessions[MDUMP_MAX_SESSIONS];

void session_reset(mdump_session *s) {
  // Every field, atomics included, is zero in its all-zero bytes; this is also the load state.
  memset(static_cast<void *>(s), 0, sizeof *s);
}

void session_set_table(mdump_session *s, const char *name) {
  uint32_t seq = s->cur_table_seq.load(std::memory_order_relaxed);
  s->cur_table_seq.store(seq + 1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  size_t i = 0;
  for (; i < MDUMP_NAME_SIZE - 1 && name[i] != 0; ++i)
    s->cur_table[i].store(name[i], std::memory_order_relaxed);
  s->cur_table[i].store(0, std::memory_order_relaxed);
  s->cur_table_seq.store(seq + 2, std::memory_order_release);
}

void session_copy_table(mdump_session *s, char *out, size_t out_size) {
  if (out_size == 0) return;
  const size_t name_cap = MDUMP_NAME_SIZE;
  size_t limit = out_size < name_cap ? out_size : name_cap;
  for (;;) {
    uint32_t before = s->cur_table_seq.load(std::memory_order_acquire);
    if (before & 1) {  // the worker is rewriting it, which takes a moment
      std::this_thread::yield();
      continue;
    }
    size_t i = 0;
    for (; i < limit - 1; ++i) {
      out[i] = s->cur_table[i].load(std::memory_order_relaxed);
      if (out[i] == 0) break;
    }
    out[i] = 0;
    std::atomic_thread_fence(std::memory_order_acquire);
    if (s->cur_table_seq.load(std::memory_order_relaxed) == before) return;
  }
}

int session_fail(mdump_session *s, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(s->err_msg, sizeof s->err_msg, fmt, ap);
  va_end(ap);
  s->state.store(MDUMP_ST_ERROR, std::memory_order_release);
  return -1;
}
