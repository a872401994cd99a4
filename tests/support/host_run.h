// Running the command-line host as a child process from tests: its standard output and error
// captured through pipes, or its error output (and terminal) on a pseudo-terminal, with a bound on
// how long it may take.
#ifndef MDUMP_HOST_RUN_H
#define MDUMP_HOST_RUN_H

#include <sys/types.h>

#include <string>
#include <vector>

struct host_run_options {
  std::vector<std::string> env_set;    // NAME=VALUE added to (or replacing in) the environment
  std::vector<std::string> env_unset;  // names removed from it
  // Standard error and the controlling terminal are a pseudo-terminal of this width.
  bool terminal = false;
  int terminal_columns = 100;
  // With `terminal`: typed (with a line feed) once the terminal shows `answer_after`.
  std::string answer_after;
  std::string answer;
  int timeout_ms = 120000;
};

struct host_run_result {
  int exit_code = -1;  // -1 when the child did not exit normally
  int signal = 0;      // the signal that ended it, if one did
  bool timed_out = false;
  std::string out;
  std::string err;  // with `terminal`: everything the terminal showed
  long long wall_ms = 0;
};

struct host_child {
  pid_t pid = -1;
  int out_fd = -1;
  int err_fd = -1;  // the pipe, or the terminal's master side
  int tty_fd = -1;  // the terminal's own side, held open so that reading the master never fails early
  long long started_ms = 0;
  host_run_options opts;
};

// Starts the host (MDUMP_HOST_PATH) with `args`; standard input is /dev/null.
host_child host_spawn(const std::vector<std::string> &args, const host_run_options &opts = {});

// Collects the child's output until it ends (or kills it once its time is up).
host_run_result host_finish(host_child *child);

host_run_result run_host(const std::vector<std::string> &args, const host_run_options &opts = {});

#endif
