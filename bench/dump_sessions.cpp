// Several databases dumped through the shared library, either all at once (one session each, as
// a host running parallel backups would) or one after another, so that the two can be timed
// against each other from outside. Each dump goes to OUT_DIR/DATABASE.sql.
//
//   dump_sessions concurrent|sequential HOST PORT USER PASSWORD OUT_DIR DATABASE...
//
// Exit status 0 only when every dump ended done (state 3).
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "quillfen_mysqldump.h"

namespace {

const int MAX_SESSIONS = 4;
// Short next to a dump, so the end of the last one is seen within a few milliseconds.
const int POLL_MS = 5;

bool finished(int state) { return state >= MDUMP_ST_DONE; }

int start_dump(char **argv, const char *database) {
  std::string out_path = std::string(argv[6]) + "/" + database + ".sql";
  std::string config = std::string("{\"host\":\"") + argv[2] + "\",\"port\":" + argv[3] +
                       ",\"user\":\"" + argv[4] + "\",\"password\":\"" + argv[5] +
                       "\",\"database\":\"" + database + "\",\"out_path\":\"" + out_path + "\"}";
  int session = mdump_start(config.c_str());
  if (session < 0) fprintf(stderr, "dump_sessions: %s: no start: %s\n", database, mdump_last_error());
  return session;
}

// Waits until every listed session has ended; true when all of them are done.
bool wait_all(const int *sessions, const char *const *databases, int count) {
  for (;;) {
    bool all_final = true;
    for (int i = 0; i < count; ++i) all_final = all_final && finished(mdump_status(sessions[i]));
    if (all_final) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(POLL_MS));
  }
  bool ok = true;
  for (int i = 0; i < count; ++i) {
    if (mdump_status(sessions[i]) != MDUMP_ST_DONE) {
      fprintf(stderr, "dump_sessions: %s: %s\n", databases[i], mdump_result(sessions[i]));
      ok = false;
    }
    mdump_free(sessions[i]);
  }
  return ok;
}

}  // namespace

int main(int argc, char **argv) {
  int count = argc - 7;
  bool concurrent = argc > 1 && strcmp(argv[1], "concurrent") == 0;
  if (count < 1 || count > MAX_SESSIONS || (!concurrent && strcmp(argv[1], "sequential") != 0)) {
    fprintf(stderr, "usage: %s concurrent|sequential HOST PORT USER PASSWORD OUT_DIR DATABASE...\n"
                    "(1 to %d databases)\n", argv[0], MAX_SESSIONS);
    return 2;
  }
  const char *const *databases = argv + 7;
  int sessions[MAX_SESSIONS];
  bool ok = true;
  if (concurrent) {
    int started = 0;
    for (; started < count; ++started) {
      sessions[started] = start_dump(argv, databases[started]);
      if (sessions[started] < 0) break;
    }
    ok = wait_all(sessions, databases, started) && started == count;
  } else {
    for (int i = 0; i < count && ok; ++i) {
      sessions[i] = start_dump(argv, databases[i]);
      ok = sessions[i] >= 0 && wait_all(&sessions[i], &databases[i], 1);
    }
  }
  return ok ? 0 : 1;
}
