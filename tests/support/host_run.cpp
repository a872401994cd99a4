#include "tests/support/host_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace {

long long now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Everything below runs in the child between fork and exec: only async-signal-safe calls there
// (the argument and environment arrays are prepared before the fork).
[[noreturn]] void child_exec(const char *path, char **argv, int out_w, int err_w, const char *pty_name) {
  // A session of its own: without a terminal of the test's, /dev/tty cannot reach whoever runs
  // the tests; with one, opening it makes it the controlling terminal.
  setsid();
  if (pty_name != nullptr) {
    int tty = open(pty_name, O_RDWR);
    if (tty < 0) _exit(126);
    dup2(tty, STDERR_FILENO);
    if (tty != STDERR_FILENO) close(tty);
  } else {
    dup2(err_w, STDERR_FILENO);
  }
  int devnull = open("/dev/null", O_RDONLY);
  if (devnull >= 0) dup2(devnull, STDIN_FILENO);
  dup2(out_w, STDOUT_FILENO);
  // Default signal handling, whatever the test runner had.
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  signal(SIGPIPE, SIG_DFL);
  execv(path, argv);
  _exit(127);
}

void apply_env(const host_run_options &opts) {
  for (const std::string &name : opts.env_unset) unsetenv(name.c_str());
  for (const std::string &kv : opts.env_set) {
    size_t eq = kv.find('=');
    setenv(kv.substr(0, eq).c_str(), kv.substr(eq + 1).c_str(), 1);
  }
}

}  // namespace

host_child host_spawn(const std::vector<std::string> &args, const host_run_options &opts) {
  host_child child;
  child.opts = opts;
  int out_pipe[2] = {-1, -1};
  int err_pipe[2] = {-1, -1};
  if (pipe2(out_pipe, O_CLOEXEC) != 0) return child;
  int master = -1;
  std::string pty_name;
  if (opts.terminal) {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master >= 0) fcntl(master, F_SETFD, FD_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return child;
    pty_name = ptsname(master);
    struct winsize ws;
    memset(&ws, 0, sizeof ws);
    ws.ws_col = static_cast<unsigned short>(opts.terminal_columns);
    ws.ws_row = 24;
    child.tty_fd = open(pty_name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (child.tty_fd < 0) return child;
    ioctl(child.tty_fd, TIOCSWINSZ, &ws);
  } else if (pipe2(err_pipe, O_CLOEXEC) != 0) {
    return child;
  }

  std::vector<std::string> argv_text;
  argv_text.push_back(MDUMP_HOST_PATH);
  for (const std::string &a : args) argv_text.push_back(a);
  std::vector<char *> argv;
  for (std::string &a : argv_text) argv.push_back(&a[0]);
  argv.push_back(nullptr);

  // The environment is changed around the fork and put back at once, so the child inherits it.
  std::vector<std::pair<std::string, std::string>> saved;
  for (const std::string &name : opts.env_unset) {
    const char *v = getenv(name.c_str());
    saved.emplace_back(name, v != nullptr ? std::string("=") + v : std::string());
  }
  for (const std::string &kv : opts.env_set) {
    std::string name = kv.substr(0, kv.find('='));
    const char *v = getenv(name.c_str());
    saved.emplace_back(name, v != nullptr ? std::string("=") + v : std::string());
  }
  apply_env(opts);
  child.started_ms = now_ms();
  pid_t pid = fork();
  if (pid == 0)
    child_exec(MDUMP_HOST_PATH, argv.data(), out_pipe[1], err_pipe[1],
               opts.terminal ? pty_name.c_str() : nullptr);
  for (auto it = saved.rbegin(); it != saved.rend(); ++it) {
    if (it->second.empty())
      unsetenv(it->first.c_str());
    else
      setenv(it->first.c_str(), it->second.c_str() + 1, 1);
  }
  close(out_pipe[1]);
  if (err_pipe[1] >= 0) close(err_pipe[1]);
  child.pid = pid;
  child.out_fd = out_pipe[0];
  child.err_fd = opts.terminal ? master : err_pipe[0];
  return child;
}

host_run_result host_finish(host_child *child) {
  host_run_result r;
  if (child->pid < 0) {
    r.err = "could not start the host";
    return r;
  }
  bool answered = child->opts.answer_after.empty();
  int fds[2] = {child->out_fd, child->err_fd};
  std::string *sinks[2] = {&r.out, &r.err};
  long long deadline = child->started_ms + child->opts.timeout_ms;
  int status = 0;
  bool exited = false;
  while (!exited) {
    if (now_ms() >= deadline) {
      r.timed_out = true;
      kill(child->pid, SIGKILL);
      while (waitpid(child->pid, &status, 0) < 0 && errno == EINTR) {
      }
      exited = true;
    }
    struct pollfd p[2];
    for (int i = 0; i < 2; ++i) {
      p[i].fd = fds[i];
      p[i].events = POLLIN;
      p[i].revents = 0;
    }
    poll(p, 2, exited ? 0 : 50);
    if (!exited && waitpid(child->pid, &status, WNOHANG) == child->pid) {
      exited = true;
      // Whatever it wrote last is still buffered: read until nothing is left.
      for (int fd : fds)
        if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i] < 0 || (!exited && p[i].revents == 0)) continue;
      for (;;) {
        char buf[65536];
        ssize_t got = read(fds[i], buf, sizeof buf);
        if (got > 0) {
          sinks[i]->append(buf, static_cast<size_t>(got));
          if (!exited) break;
          continue;
        }
        if (got < 0 && errno == EINTR) continue;
        if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
          close(fds[i]);
          fds[i] = -1;
        }
        break;
      }
    }
    if (!answered && r.err.find(child->opts.answer_after) != std::string::npos) {
      std::string line = child->opts.answer + "\n";
      ssize_t w = write(child->err_fd, line.data(), line.size());
      (void)w;
      answered = true;
    }
  }
  for (int fd : fds)
    if (fd >= 0) close(fd);
  if (child->tty_fd >= 0) close(child->tty_fd);
  child->tty_fd = -1;
  r.wall_ms = now_ms() - child->started_ms;
  if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
  child->pid = -1;
  return r;
}

host_run_result run_host(const std::vector<std::string> &args, const host_run_options &opts) {
  host_child child = host_spawn(args, opts);
  return host_finish(&child);
}
