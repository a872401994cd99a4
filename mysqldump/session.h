// The four dump slots a host addresses by number, and the rules by which the host's calls and a
// slot's worker thread share one without a lock: every shared field has one writer at a time,
// and `state` publishes (stored last with release order, read first with acquire order).
#ifndef MDUMP_SESSION_H
#define MDUMP_SESSION_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "mysqldump/config.h"
#include "platform/thread.h"
#include "quillfen_mysqldump.h"

enum {
  MDUMP_MAX_SESSIONS = 4,
  MDUMP_SESSION_ERR_SIZE = 512,
  // Room for the template and the longest name, however it escapes.
  MDUMP_PROGRESS_SIZE = 4096,
  // Room for the longest escaped out_path (every byte may take six characters) and the template.
  MDUMP_RESULT_SIZE = 8192,
};

struct mdump_session {
  std::atomic<int32_t> state;
  std::atomic<int32_t> cancel;         // host: 1 once a cancel was requested
  mdump_config cfg;                    // the dump's own copy of the configuration
  plat_thread thread;                  // host only
  int32_t has_thread;                  // host only: `thread` must still be waited for and closed
  int32_t free_pending;                // host only: freed while its worker ran; reap once ended
  std::atomic<int32_t> tables_total;
  std::atomic<int32_t> tables_done;
  // cur_table is rewritten in place while the host may copy it; the sequence number is odd
  // during a rewrite, so a reader can retry instead of mixing two names.
  std::atomic<uint32_t> cur_table_seq;
  std::atomic<char> cur_table[MDUMP_NAME_SIZE];
  std::atomic<int64_t> rows_written;
  std::atomic<int64_t> bytes_written;  // bytes the file accepted
  int64_t start_ms;                    // worker only
  std::atomic<int64_t> elapsed_ms;
  char err_msg[MDUMP_SESSION_ERR_SIZE];  // complete before state 5 is published
  char progress_json[MDUMP_PROGRESS_SIZE];
  char result_json[MDUMP_RESULT_SIZE];
};

extern mdump_session g_sessions[MDUMP_MAX_SESSIONS];

// Zeroes the whole slot: state idle, counters 0, texts empty. Never while its worker runs.
void session_reset(mdump_session *s);

// Worker: publish the name of the table being dumped (cut to fit).
void session_set_table(mdump_session *s, const char *name);

// Host: copy the current table name without ever mixing two names.
void session_copy_table(mdump_session *s, char *out, size_t out_size);

// Worker: write the failure text, then publish state 5. Returns -1.
int session_fail(mdump_session *s, const char *fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// Worker: add to the counters the host reads. Only the worker writes them, so a load and a
// store (each whole) are enough.
inline void session_add(std::atomic<int64_t> *counter, int64_t n) {
  counter->store(counter->load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

// The thread body that runs one dump on its slot.
int dump_worker(void *slot);

#endif
