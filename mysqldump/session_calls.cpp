// The host's side of dump sessions: start a dump on a free slot, read its state, progress and
// result, cancel it, and free the slot. No lock: each call touches its own slot under the sharing
// rules of session.h.
#include "mysqldump/session_calls.h"

#include <cstdio>
#include <cstring>

#include "mysqldump/lib_frame.h"
#include "mysqldump/session.h"

namespace {

const int FREE_WAIT_RUNNING_MS = 10000;
const int FREE_WAIT_FINISHED_MS = 1000;

bool valid_session(int n) { return n >= 0 && n < MDUMP_MAX_SESSIONS; }

bool is_running(int32_t state) {
  return state == MDUMP_ST_CONNECTING || state == MDUMP_ST_RUNNING;
}

bool is_final(int32_t state) {
  return state == MDUMP_ST_DONE || state == MDUMP_ST_CANCELLED || state == MDUMP_ST_ERROR;
}

// Waits for the slot's worker; once it has ended, releases the thread and zeroes the slot. A
// worker still running keeps the slot reserved: zeroing it under a live worker would let the
// worker write into a slot handed to someone else.
void release_when_ended(mdump_session *s, int timeout_ms) {
  if (plat_thread_wait(&s->thread, timeout_ms)) {
    plat_thread_close(&s->thread);
    session_reset(s);
  } else {
    s->free_pending = 1;
  }
}

void reap_freed_slots() {
  for (mdump_session &s : g_sessions)
    if (s.free_pending && s.has_thread) release_when_ended(&s, 0);
}

}  // namespace

int session_start(const char *text) {
  static mdump_config cfg;  // 200 KB: kept off the host's stack; starts never overlap
  if (text == nullptr || parse_config(text, &cfg) < 0) {
    set_g_err("invalid config json");
    return -1;
  }
  if (cfg.user[0] == 0 || cfg.database[0] == 0 || cfg.out_path[0] == 0) {
    set_g_err("user, database and out_path required");
    return -1;
  }
  if (cfg.tables_dropped > 0) {
    set_g_err("too many tables: at most %d may be listed", MDUMP_MAX_TABLES);
    return -1;
  }
  reap_freed_slots();
  int chosen = -1;
  for (int i = 0; i < MDUMP_MAX_SESSIONS && chosen < 0; ++i) {
    mdump_session *s = &g_sessions[i];
    int32_t state = s->state.load(std::memory_order_acquire);
    if (state == MDUMP_ST_IDLE || (is_final(state) && !s->has_thread)) chosen = i;
  }
  if (chosen < 0) {
    set_g_err("no free sessions");
    return -2;
  }
  mdump_session *s = &g_sessions[chosen];
  session_reset(s);
  s->cfg = cfg;
  s->has_thread = 1;
  s->state.store(MDUMP_ST_CONNECTING, std::memory_order_release);
  if (plat_thread_start(&s->thread, dump_worker, s) < 0) {
    s->state.store(MDUMP_ST_ERROR, std::memory_order_release);
    s->has_thread = 0;
    set_g_err("thread create failed");
    return -1;
  }
  return chosen;
}

int session_status(int n) {
  if (!valid_session(n)) return -1;
  return g_sessions[n].state.load(std::memory_order_acquire);
}

const char *session_progress(int n) {
  if (!valid_session(n)) return "{\"error\":\"bad session\"}";
  mdump_session *s = &g_sessions[n];
  char table[MDUMP_NAME_SIZE];
  char escaped[MDUMP_NAME_SIZE * 6 + 1];  // a whole name, however it escapes
  session_copy_table(s, table, sizeof table);
  json_escape(table, escaped, sizeof escaped);
  long long rows = s->rows_written.load(std::memory_order_relaxed);
  long long bytes = s->bytes_written.load(std::memory_order_relaxed);
  long long elapsed = s->elapsed_ms.load(std::memory_order_relaxed);
  // tables_done before tables_total: total is set before any table is done, so this order never
  // shows more tables done than there are.
  int done = s->tables_done.load(std::memory_order_acquire);
  int total = s->tables_total.load(std::memory_order_acquire);
  int state = s->state.load(std::memory_order_acquire);
  snprintf(s->progress_json, sizeof s->progress_json,
           "{\"state\":%d,\"table\":\"%s\",\"tables_done\":%d,\"tables_total\":%d,"
           "\"rows_written\":%lld,\"bytes_written\":%lld,\"elapsed_ms\":%lld}",
           state, escaped, done, total, rows, bytes, elapsed);
  return s->progress_json;
}

const char *session_result(int n) {
  if (!valid_session(n)) return "{\"ok\":false,\"error\":\"bad session\"}";
  mdump_session *s = &g_sessions[n];
  int32_t state = s->state.load(std::memory_order_acquire);
  if (state == MDUMP_ST_DONE) {
    char path[sizeof s->cfg.out_path * 6];
    json_escape(s->cfg.out_path, path, sizeof path);
    snprintf(s->result_json, sizeof s->result_json,
             "{\"ok\":true,\"out_path\":\"%s\",\"tables\":%d,\"rows\":%lld,\"bytes\":%lld,"
             "\"elapsed_ms\":%lld}",
             path, s->tables_done.load(std::memory_order_relaxed),
             static_cast<long long>(s->rows_written.load(std::memory_order_relaxed)),
             static_cast<long long>(s->bytes_written.load(std::memory_order_relaxed)),
             static_cast<long long>(s->elapsed_ms.load(std::memory_order_relaxed)));
  } else if (state == MDUMP_ST_CANCELLED) {
    snprintf(s->result_json, sizeof s->result_json, "%s", "{\"ok\":false,\"error\":\"cancelled\"}");
  } else if (state == MDUMP_ST_ERROR) {
    char err[1024];
    json_escape(s->err_msg, err, sizeof err);
    snprintf(s->result_json, sizeof s->result_json, "{\"ok\":false,\"error\":\"%s\"}", err);
  } else {
    snprintf(s->result_json, sizeof s->result_json, "%s", "{\"ok\":false,\"error\":\"not finished\"}");
  }
  return s->result_json;
}

void session_cancel(int n) {
  if (!valid_session(n)) return;
  mdump_session *s = &g_sessions[n];
  if (is_running(s->state.load(std::memory_order_acquire)))
    s->cancel.store(1, std::memory_order_relaxed);
}

void session_free(int n) {
  if (!valid_session(n)) return;
  mdump_session *s = &g_sessions[n];
  if (!s->has_thread) {  // idle, or a start whose thread never came to be
    session_reset(s);
    return;
  }
  int timeout = FREE_WAIT_FINISHED_MS;
  if (is_running(s->state.load(std::memory_order_acquire))) {
    s->cancel.store(1, std::memory_order_relaxed);
    timeout = FREE_WAIT_RUNNING_MS;
  }
  release_when_ended(s, timeout);
}
