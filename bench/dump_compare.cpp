// The dump benchmark's figures side by side: the library through its command-line host against
// the floor (read_discard: the same rows read and thrown away), the host's memory above what it
// needs to load the library at all, and four dumps at once against the same four one after
// another. Every run is a child process measured from here: wall time, its own CPU and peak RSS
// (wait4), and the server's CPU over the run (/proc/PID/stat of mariadbd). Each figure is the
// median over the rounds; within a round the tools take turns going first, so that neither
// always meets the server's caches, or the disk's writeback, in the same state.
//
//   dump_compare ROUNDS BIN_DIR OUT_DIR SERVER_PID HOST PORT USER PASSWORD
//
// BIN_DIR is the build directory (the host at its root, the benchmarks under bench/); the dump
// files go to OUT_DIR. The databases are the ones scripts/bench-dump.sh fills.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct bench_table {
  const char *database;
  long long rows;
};

const bench_table TABLES[] = {{"mdump_bench_100k", 100000}, {"mdump_bench_1m", 1000000}};
const char *const SESSION_DATABASES[] = {"mdump_bench_q1", "mdump_bench_q2", "mdump_bench_q3",
                                         "mdump_bench_q4"};
const long long SESSION_ROWS = 250000;  // in each of them
const int SESSION_COUNT = 4;
const char TABLE_NAME[] = "mixed";

struct settings {
  int rounds;
  std::string bin_dir, out_dir, host, port, user, password;
  int server_pid;
};

// What one child run cost.
struct run_cost {
  double wall;
  double wall_min, wall_max;  // of a median: the spread over the rounds
  double cpu;         // user + sys of the child
  double server_cpu;  // user + sys of mariadbd during the run
  double rss_mib;     // the child's peak
};

// One tool's runs over the rounds.
struct series {
  std::vector<run_cost> runs;
};

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

run_cost median_cost(const series &s) {
  std::vector<double> wall, cpu, server, rss;
  for (const run_cost &r : s.runs) {
    wall.push_back(r.wall);
    cpu.push_back(r.cpu);
    server.push_back(r.server_cpu);
    rss.push_back(r.rss_mib);
  }
  run_cost m = {median(wall), 0, 0, median(cpu), median(server), median(rss)};
  if (!wall.empty()) {
    m.wall_min = *std::min_element(wall.begin(), wall.end());
    m.wall_max = *std::max_element(wall.begin(), wall.end());
  }
  return m;
}

// utime + stime of a process in seconds, or -1 when it cannot be read. The command name in
// field 2 may hold spaces and parentheses, so the fields are counted from its closing one.
double process_cpu_seconds(int pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/stat", pid);
  FILE *f = fopen(path, "r");
  if (f == nullptr) return -1;
  char buf[1024];
  size_t n = fread(buf, 1, sizeof buf - 1, f);
  fclose(f);
  buf[n] = 0;
  const char *p = strrchr(buf, ')');
  if (p == nullptr) return -1;
  unsigned long long utime = 0, stime = 0;
  // after ')': state ppid pgrp session tty_nr tpgid flags minflt cminflt majflt cmajflt utime stime
  if (sscanf(p + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2)
    return -1;
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double seconds(const timeval &tv) {
  return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

// Runs argv as a child with its standard output in *out (null: inherited) and measures it.
// False, with the reason on stderr, unless it exited with 0.
bool run_measured(const settings &cfg, const std::vector<std::string> &args, run_cost *cost,
                  std::string *out) {
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  int pipe_fd[2] = {-1, -1};
  if (out != nullptr && pipe(pipe_fd) != 0) {
    perror("dump_compare: pipe");
    return false;
  }
  double server_before = process_cpu_seconds(cfg.server_pid);
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    if (out != nullptr) {
      dup2(pipe_fd[1], STDOUT_FILENO);
      close(pipe_fd[0]);
      close(pipe_fd[1]);
    }
    execv(argv[0], argv.data());
    fprintf(stderr, "dump_compare: cannot run %s: %s\n", argv[0], strerror(errno));
    _exit(127);
  }
  if (pid < 0) {
    perror("dump_compare: fork");
    if (out != nullptr) {
      close(pipe_fd[0]);
      close(pipe_fd[1]);
    }
    return false;
  }
  if (out != nullptr) {
    close(pipe_fd[1]);
    out->clear();
    char buf[4096];
    ssize_t n;
    while ((n = read(pipe_fd[0], buf, sizeof buf)) > 0) out->append(buf, static_cast<size_t>(n));
    close(pipe_fd[0]);
  }
  int status = 0;
  rusage ru;
  pid_t waited;
  while ((waited = wait4(pid, &status, 0, &ru)) < 0 && errno == EINTR) {
  }
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  double server_after = process_cpu_seconds(cfg.server_pid);
  if (waited != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    if (waited == pid && WIFEXITED(status))
      fprintf(stderr, "dump_compare: %s exited with %d\n", args[0].c_str(), WEXITSTATUS(status));
    else
      fprintf(stderr, "dump_compare: %s did not exit normally (status %d)\n", args[0].c_str(), status);
    return false;
  }
  if (server_before < 0 || server_after < 0) {
    fprintf(stderr, "dump_compare: cannot read /proc/%d/stat (is the server running?)\n",
            cfg.server_pid);
    return false;
  }
  cost->wall = cost->wall_min = cost->wall_max = wall;
  cost->cpu = seconds(ru.ru_utime) + seconds(ru.ru_stime);
  cost->server_cpu = server_after - server_before;
  cost->rss_mib = static_cast<double>(ru.ru_maxrss) / 1024.0;
  return true;
}

long long file_size(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

std::string dump_path(const settings &cfg, const char *database) {
  return cfg.out_dir + "/" + database + ".sql";
}

std::vector<std::string> host_dump_args(const settings &cfg, const char *database) {
  return {cfg.bin_dir + "/quillfen-mysqldump", "-h", cfg.host, "-P", cfg.port, "-u", cfg.user,
          "-p" + cfg.password, "dump", database, "-o", dump_path(cfg, database), "-q"};
}

std::vector<std::string> floor_args(const settings &cfg, const char *database) {
  return {cfg.bin_dir + "/bench/read_discard", cfg.host, cfg.port, cfg.user, cfg.password,
          database, TABLE_NAME};
}

std::vector<std::string> sessions_args(const settings &cfg, const char *mode) {
  std::vector<std::string> a = {cfg.bin_dir + "/bench/dump_sessions", mode, cfg.host, cfg.port,
                                cfg.user, cfg.password, cfg.out_dir};
  for (const char *db : SESSION_DATABASES) a.push_back(db);
  return a;
}

// Each timed dump starts without an old file to truncate, so that no run pays for freeing the
// previous one's pages.
void remove_session_dumps(const settings &cfg) {
  for (const char *db : SESSION_DATABASES) unlink(dump_path(cfg, db).c_str());
}

struct table_figures {
  series library, floor;
  long long dump_bytes = -1;
  std::string floor_output;  // "rows N value_bytes M"
};

// The library's dump and the floor of one table, in the given order.
bool run_table_round(const settings &cfg, const bench_table &t, bool floor_first, table_figures *fig) {
  for (int turn = 0; turn < 2; ++turn) {
    bool floor = (turn == 0) == floor_first;
    run_cost cost;
    if (floor) {
      std::string out;
      if (!run_measured(cfg, floor_args(cfg, t.database), &cost, &out)) return false;
      long long rows = -1;
      if (sscanf(out.c_str(), "rows %lld", &rows) != 1 || rows != t.rows) {
        fprintf(stderr, "dump_compare: read_discard on %s said '%s', expected %lld rows\n", t.database,
                out.c_str(), t.rows);
        return false;
      }
      while (!out.empty() && out.back() == '\n') out.pop_back();
      fig->floor_output = out;
      fig->floor.runs.push_back(cost);
    } else {
      unlink(dump_path(cfg, t.database).c_str());
      if (!run_measured(cfg, host_dump_args(cfg, t.database), &cost, nullptr)) return false;
      long long size = file_size(dump_path(cfg, t.database));
      if (size <= 0 || (fig->dump_bytes >= 0 && size != fig->dump_bytes)) {
        fprintf(stderr, "dump_compare: the dump of %s is %lld bytes, an earlier round's %lld\n",
                t.database, size, fig->dump_bytes);
        return false;
      }
      fig->dump_bytes = size;
      fig->library.runs.push_back(cost);
    }
  }
  return true;
}

struct session_figures {
  series concurrent, sequential;
  long long dump_bytes = -1;  // all four files together
};

bool run_sessions_round(const settings &cfg, bool sequential_first, session_figures *fig) {
  for (int turn = 0; turn < 2; ++turn) {
    bool sequential = (turn == 0) == sequential_first;
    remove_session_dumps(cfg);
    run_cost cost;
    if (!run_measured(cfg, sessions_args(cfg, sequential ? "sequential" : "concurrent"), &cost, nullptr))
      return false;
    long long total = 0;
    for (const char *db : SESSION_DATABASES) total += std::max(0LL, file_size(dump_path(cfg, db)));
    if (total <= 0 || (fig->dump_bytes >= 0 && total != fig->dump_bytes)) {
      fprintf(stderr, "dump_compare: the four dumps total %lld bytes, an earlier run's %lld\n", total,
              fig->dump_bytes);
      return false;
    }
    fig->dump_bytes = total;
    (sequential ? fig->sequential : fig->concurrent).runs.push_back(cost);
  }
  return true;
}

std::string with_commas(long long v) {
  std::string digits = std::to_string(v), out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

void print_cost_header() {
  printf("  %-26s %9s %14s %12s %12s %8s %11s\n", "", "wall", "(min..max)", "client CPU", "server CPU",
         "MB/s", "peak RSS");
}

void print_cost(const char *label, const run_cost &c, long long bytes) {
  printf("  %-26s %7.3f s  (%5.3f..%5.3f) %10.3f s %10.3f s %8.1f %7.1f MiB\n", label, c.wall,
         c.wall_min, c.wall_max, c.cpu, c.server_cpu, static_cast<double>(bytes) / 1e6 / c.wall,
         c.rss_mib);
}

// The machine's load when the rounds began: other work on it slows the server and the tools alike.
std::string load_average() {
  char buf[128] = "";
  FILE *f = fopen("/proc/loadavg", "r");
  if (f == nullptr) return "?";
  if (fgets(buf, sizeof buf, f) == nullptr) buf[0] = 0;
  fclose(f);
  std::string text = buf;
  size_t third_space = text.find(' ', text.find(' ', text.find(' ') + 1) + 1);
  return text.substr(0, third_space);
}

double ratio(double a, double b) { return b > 0 ? a / b : 0; }

// The same command once per round, for a figure that needs no turns (the baseline).
bool run_repeated(const settings &cfg, const std::vector<std::string> &args, series *out) {
  for (int r = 0; r < cfg.rounds; ++r) {
    run_cost cost;
    std::string ignored;
    if (!run_measured(cfg, args, &cost, &ignored)) return false;
    out->runs.push_back(cost);
  }
  return true;
}

bool run_untimed(const settings &cfg, const std::vector<std::string> &args) {
  run_cost ignored;
  std::string output;
  return run_measured(cfg, args, &ignored, &output);
}

std::string sha256_of(const settings &cfg, const std::string &path) {
  run_cost ignored;
  std::string out;
  if (!run_measured(cfg, {"/usr/bin/sha256sum", path}, &ignored, &out)) return "(sha256sum failed)";
  return out.substr(0, out.find(' '));
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 9 || atoi(argv[1]) < 1 || atoi(argv[4]) < 1) {
    fprintf(stderr, "usage: %s ROUNDS BIN_DIR OUT_DIR SERVER_PID HOST PORT USER PASSWORD\n", argv[0]);
    return 2;
  }
  settings cfg = {atoi(argv[1]), argv[2], argv[3], argv[5], argv[6], argv[7], argv[8], atoi(argv[4])};

  std::string load_at_start = load_average();
  // The host with the library loaded and nothing dumped: what every dump's memory starts from.
  series baseline, trivial;
  if (!run_repeated(cfg, {cfg.bin_dir + "/quillfen-mysqldump", "--version"}, &baseline) ||
      !run_repeated(cfg, {"/bin/true"}, &trivial))
    return 1;
  // One untimed read of every table first, so that the first round does not alone pay for
  // bringing them into the server's buffer pool.
  for (const bench_table &t : TABLES)
    if (!run_untimed(cfg, floor_args(cfg, t.database))) return 1;
  for (const char *db : SESSION_DATABASES)
    if (!run_untimed(cfg, floor_args(cfg, db))) return 1;

  table_figures tables[2];
  session_figures sessions;
  for (int r = 0; r < cfg.rounds; ++r) {
    fprintf(stderr, "round %d of %d\n", r + 1, cfg.rounds);
    for (int i = 0; i < 2; ++i)
      if (!run_table_round(cfg, TABLES[i], r % 2 == 1, &tables[i])) return 1;
    if (!run_sessions_round(cfg, r % 2 == 1, &sessions)) return 1;
  }

  printf("Dump benchmark: medians of %d round%s, the tools taking turns to go first in each.\n",
         cfg.rounds, cfg.rounds == 1 ? "" : "s");
  printf("client CPU: user + sys of the child process; server CPU: user + sys of mariadbd (pid %d)\n"
         "over the same run; MB/s: the library's dump size / wall, for the floor too.\n"
         "load average (1, 5, 15 min): %s at the start, %s at the end\n",
         cfg.server_pid, load_at_start.c_str(), load_average().c_str());
  run_cost lib[2], flo[2];
  for (int i = 0; i < 2; ++i) {
    const table_figures &f = tables[i];
    lib[i] = median_cost(f.library);
    flo[i] = median_cost(f.floor);
    printf("\n== %s: %s rows, dump %.1f MB (%s bytes)\n", TABLES[i].database,
           with_commas(TABLES[i].rows).c_str(), static_cast<double>(f.dump_bytes) / 1e6,
           with_commas(f.dump_bytes).c_str());
    print_cost_header();
    print_cost("library (host, dump -q)", lib[i], f.dump_bytes);
    print_cost("floor (read_discard)", flo[i], f.dump_bytes);
    printf("  library / floor: wall %.2f, client CPU %.2f, server CPU %.2f\n",
           ratio(lib[i].wall, flo[i].wall), ratio(lib[i].cpu, flo[i].cpu),
           ratio(lib[i].server_cpu, flo[i].server_cpu));
    printf("  wall / server CPU: library %.2f, floor %.2f\n", ratio(lib[i].wall, lib[i].server_cpu),
           ratio(flo[i].wall, flo[i].server_cpu));
    printf("  floor read: %s\n", f.floor_output.c_str());
  }

  run_cost base = median_cost(baseline);
  printf("\n== memory of the host\n");
  printf("  baseline (--version, library loaded): %.1f MiB peak RSS\n", base.rss_mib);
  printf("  peak RSS above baseline: 100k rows %.1f MiB, 1M rows %.1f MiB\n",
         lib[0].rss_mib - base.rss_mib, lib[1].rss_mib - base.rss_mib);
  printf("  (a child's peak counts the pages it inherits at fork: /bin/true measured here reads %.1f MiB)\n",
         median_cost(trivial).rss_mib);

  run_cost conc = median_cost(sessions.concurrent);
  run_cost seq = median_cost(sessions.sequential);
  printf("\n== %d sessions in one process (shared library): %s..%s\n"
         "   %s rows each, %.1f MB of dumps in all\n",
         SESSION_COUNT, SESSION_DATABASES[0], SESSION_DATABASES[SESSION_COUNT - 1],
         with_commas(SESSION_ROWS).c_str(), static_cast<double>(sessions.dump_bytes) / 1e6);
  print_cost_header();
  print_cost("concurrent (4 at once)", conc, sessions.dump_bytes);
  print_cost("sequential (one by one)", seq, sessions.dump_bytes);
  printf("  speedup (sequential wall / concurrent wall): %.2f\n", ratio(seq.wall, conc.wall));

  printf("\nsha256 of the 1M dump: %s\n",
         sha256_of(cfg, dump_path(cfg, TABLES[1].database)).c_str());
  return 0;
}
