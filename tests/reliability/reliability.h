// What the reliability suite shares: its parameters (how many runs, which seed), the figures it
// hands to scripts/reliability-report.sh, the process's own resource counts, and a MariaDB server
// of the suite's own that it may kill, freeze and restart.
//
// Parameters come from the environment, so that the same binary runs short on its own (the
// defaults), bounded inside the test command and long under the report script, which sets them:
//   MDUMP_REL_SEED        seed of every random choice (default: from the clock; printed)
//   MDUMP_REL_KILLS       server kills in the middle of a dump
//   MDUMP_REL_STOPS       server freezes in the middle of a dump
//   MDUMP_REL_CYCLES      start / cancel / free cycles
//   MDUMP_REL_DISK_RUNS   dumps onto a filling disk
//   MDUMP_REL_SWITCHES    authentication method switches the hostile server asks for
//   MDUMP_REL_TMPFS       a small tmpfs mounted by the script, for the filling disk
//   MDUMP_REL_SERVER_DIR  where the script started the private server (else the suite starts one)
//   MDUMP_REL_FIGURES     file the figures are appended to, one "key value" line each
#ifndef MDUMP_TESTS_RELIABILITY_H
#define MDUMP_TESTS_RELIABILITY_H

#include <sys/types.h>

#include <cstdint>
#include <random>
#include <string>

long rel_param(const char *name, long fallback);
uint64_t rel_seed();
// A generator for one test, from the suite's seed and the test's own salt, so that a failing run
// is repeated by giving the printed seed back.
std::mt19937_64 rel_rng(uint64_t salt);

// Appends "key value" to MDUMP_REL_FIGURES when it is set.
void rel_figure(const std::string &key, const std::string &value);
void rel_figure(const std::string &key, long long value);

// The process's own resources, read from /proc.
int fd_count();
long long rss_kib();
long long peak_rss_kib();
// Restarts the peak (VmHWM) from the current RSS; false when the kernel refuses.
bool reset_peak_rss();
// Bytes the allocator has handed out and not taken back: the sanitizer allocator's count under a
// sanitizer, mallinfo2 otherwise.
long long heap_in_use();
bool under_sanitizer();

// A MariaDB server of the suite's own, never the shared test server: started by
// scripts/test-server.sh under its own directory, killed, frozen and restarted by pid.
struct private_server {
  std::string dir;       // MDUMP_SERVER_DIR of this server
  bool owned = false;    // started by this process (else by the report script)
  pid_t pid = 0;
  std::string host = "127.0.0.1";
  int port = 0;
  std::string user;
  std::string password;
  std::string version;   // as the server announces it
  bool frozen = false;
  int restarts = 0;

  // Attaches to MDUMP_REL_SERVER_DIR, or starts one in a temporary directory. "" on success.
  std::string open();
  // SIGKILL, then waits until the process is gone.
  std::string kill_hard();
  // Starts mariadbd again on the same data and port, detached, and waits until it logs a user in.
  std::string restart();
  // Alive and answering; restarts it when it is not.
  std::string ensure_up();
  std::string freeze();  // SIGSTOP
  std::string thaw();    // SIGCONT
  // Stops a server this process started (thawed first). One the script started is left to it.
  void close();
  bool alive() const;
  std::string config(const std::string &database, const std::string &out_path,
                      const std::string &extra = "") const;
};

// The one private server of this process, opened on first use and stopped at exit.
private_server &the_private_server();

#endif
